// The first stage's vector kernels against the plain form, on every path this processor has.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kelda/database/first_stage.hpp"
#include "kelda/search/prefilter.hpp"

using namespace kelda;

namespace {

// The score by its definition: every pair of start points, every run length.
std::int32_t by_definition(const std::vector<std::uint8_t>& q, const std::vector<std::uint8_t>& t) {
  std::int32_t best = 0;
  for (std::size_t i = 0; i < q.size(); ++i)
    for (std::size_t j = 0; j < t.size(); ++j) {
      std::int32_t run = 0;
      for (std::size_t k = 0; i + k < q.size() && j + k < t.size(); ++k) {
        run += shape_letter_score(q[i + k], t[j + k]);
        best = std::max(best, run);
      }
    }
  return best;
}

std::vector<std::uint8_t> random_letters(std::size_t n, std::uint32_t alphabet, std::mt19937& g) {
  std::vector<std::uint8_t> out(n);
  for (auto& c : out) c = static_cast<std::uint8_t>(g() % alphabet * (kShapeAlphabet / alphabet));
  return out;
}

const UngappedKernel kKernels[] = {UngappedKernel::Scalar, UngappedKernel::Sse2, UngappedKernel::Avx2};

}  // namespace

TEST(UngappedScore, PlainFormIsTheDefinition) {
  std::mt19937 g(17);
  for (int trial = 0; trial < 300; ++trial) {
    const auto q = random_letters(g() % 40, trial % 2 ? 51 : 3, g);
    const auto t = random_letters(g() % 40, trial % 2 ? 51 : 3, g);
    ASSERT_EQ(reference::ungapped_score(q, t), by_definition(q, t)) << trial;
  }
}

TEST(UngappedScore, VectorKernelsMatchThePlainForm) {
  // Lengths around the lanes' multiples, few letters (long runs, and scores that saturate
  // byte lanes), targets holding copies of the query with mutations.
  std::mt19937 g(23);
  const std::size_t lengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 257, 600};
  for (UngappedKernel kernel : kKernels) {
    if (!ungapped_kernel_available(kernel)) {
      std::printf("kernel %d not available on this processor: not tested\n", static_cast<int>(kernel));
      continue;
    }
    for (int trial = 0; trial < 800; ++trial) {
      const std::uint32_t alphabet = trial % 3 == 0 ? 2 : trial % 3 == 1 ? 7 : 51;
      auto q = random_letters(lengths[g() % std::size(lengths)], alphabet, g);
      auto t = random_letters(lengths[g() % std::size(lengths)], alphabet, g);
      if (trial % 4 == 0 && q.size() > 4) {
        t.assign(q.begin() + 2, q.end());
        for (std::size_t k = 0; k < t.size(); k += 11) t[k] = static_cast<std::uint8_t>(g() % 51);
      }
      const UngappedProfile p = ungapped_profile(q, kernel);
      ASSERT_EQ(p.kernel, kernel);
      ASSERT_EQ(ungapped_score(p, t), reference::ungapped_score(q, t))
          << "kernel " << static_cast<int>(kernel) << " trial " << trial << " " << q.size() << "x" << t.size();
    }
    // A long copy saturates the byte lanes: the exact score is taken again.
    const auto long_q = random_letters(400, 51, g);
    const UngappedProfile p = ungapped_profile(long_q, kernel);
    std::int32_t self = 0;
    for (std::uint8_t c : long_q) self += shape_letter_score(c, c);
    ASSERT_GT(self, detail::kUngappedCap);
    EXPECT_EQ(ungapped_score(p, long_q), self);
  }
}
