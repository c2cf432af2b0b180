// Points as three doubles, and a read-only strided view over a list of them so that
// callers can hand in foreign memory (NumPy arrays of any layout) without copying.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace kelda {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<std::array<double, 3>, 3>;

class PointsView {
 public:
  PointsView() = default;
  PointsView(std::span<const Vec3> pts)
      : base_(reinterpret_cast<const std::byte*>(pts.data())),
        n_(pts.size()),
        row_stride_(sizeof(Vec3)),
        col_stride_(sizeof(double)) {}
  PointsView(const std::vector<Vec3>& pts) : PointsView(std::span<const Vec3>(pts)) {}
  // Element (i, c) lives at base + i * row_stride + c * col_stride.
  PointsView(const void* base, std::size_t n, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride)
      : base_(static_cast<const std::byte*>(base)),
        n_(n),
        row_stride_(row_stride),
        col_stride_(col_stride) {}

  std::size_t size() const noexcept { return n_; }
  bool empty() const noexcept { return n_ == 0; }

  double at(std::size_t i, std::size_t c) const noexcept {
    double v;
    // memcpy: foreign arrays need not be aligned for double
    std::memcpy(&v, base_ + static_cast<std::ptrdiff_t>(i) * row_stride_ +
                        static_cast<std::ptrdiff_t>(c) * col_stride_,
                sizeof v);
    return v;
  }
  Vec3 operator[](std::size_t i) const noexcept { return {at(i, 0), at(i, 1), at(i, 2)}; }

 private:
  const std::byte* base_ = nullptr;
  std::size_t n_ = 0;
  std::ptrdiff_t row_stride_ = 0;
  std::ptrdiff_t col_stride_ = 0;
};

}  // namespace kelda
