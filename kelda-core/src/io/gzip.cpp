// zlib's inflate over a whole file in memory, with the output capped.
#include "kelda/io/gzip.hpp"

#include <fcntl.h>     // open
#include <sys/stat.h>  // fstat
#include <unistd.h>    // read, close
#include <zlib.h>

#include <algorithm>  // min, max
#include <cerrno>
#include <cstdint>
#include <cstring>  // memcpy
#include <limits>

#include "kelda/io/paths.hpp"

namespace kelda {

namespace {

CoreError input_error(std::string message) {
  return CoreError::refusal(ErrorKind::Io, std::move(message)).while_reading_input();
}

// One byte past a cap, the room that tells the cap is passed; no cap (SIZE_MAX) has none.
std::size_t past(std::size_t cap) noexcept { return cap == SIZE_MAX ? cap : cap + 1; }

std::string size_text(std::size_t bytes) {
  if (bytes % (std::size_t{1} << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  return std::to_string(bytes) + " bytes";
}

// The size of the last member's content as its trailer gives it (modulo 2^32): a first
// guess at the output's size, so that one allocation usually suffices.
std::size_t trailer_size(std::string_view compressed) {
  if (compressed.size() < 18) return 0;
  const auto* p = reinterpret_cast<const unsigned char*>(compressed.data() + compressed.size() - 4);
  return std::size_t{p[0]} | std::size_t{p[1]} << 8 | std::size_t{p[2]} << 16 |
         std::size_t{p[3]} << 24;
}

struct Inflater {
  z_stream z{};
  bool ready = false;
  Inflater() { ready = inflateInit2(&z, 15 + 16) == Z_OK; }  // 16: gzip wrapper only
  ~Inflater() {
    if (ready) inflateEnd(&z);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
};

}  // namespace

bool is_gzip(std::string_view bytes) noexcept {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
         static_cast<unsigned char>(bytes[1]) == 0x8b;
}

Status gunzip(std::string_view compressed, std::size_t max_bytes, std::string& out,
              std::string_view why_capped) {
  out.clear();
  Inflater inflater;
  if (!inflater.ready) throw std::bad_alloc();
  z_stream& z = inflater.z;
  // zlib counts in 32-bit units: feed the input in pieces it can hold.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  std::size_t consumed = 0, produced = 0;
  const auto capped = [&] {
    return input_error("gzip data that inflates past " + size_text(max_bytes) +
                       std::string(why_capped));
  };
  // The trailer of damaged data may say anything: believe it only within what text compresses
  // to (structure files shrink about five-fold).
  const std::size_t hint = std::min(trailer_size(compressed), compressed.size() * 32);
  out.resize(past(std::min(max_bytes, std::max<std::size_t>(hint, 1 << 16))));
  for (;;) {
    if (z.avail_in == 0 && consumed < compressed.size()) {
      const std::size_t piece = std::min(kPiece, compressed.size() - consumed);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data() + consumed));
      z.avail_in = static_cast<uInt>(piece);
      consumed += piece;
    }
    if (produced == out.size()) {
      // One byte past the cap is room enough to learn that the cap is passed.
      if (produced > max_bytes) return capped();
      out.resize(std::min(past(max_bytes), std::max(produced * 2, produced + (1 << 16))));
    }
    const std::size_t room = std::min<std::size_t>(out.size() - produced, kPiece);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    produced += room - z.avail_out;
    if (produced > max_bytes) return capped();
    if (rc == Z_STREAM_END) {
      // Archives pad members with zero bytes (tape blocks); anything else after a member
      // must be another member, or the file is damaged.
      std::size_t at = compressed.size() - (z.avail_in + (compressed.size() - consumed));
      while (at < compressed.size() && compressed[at] == '\0') ++at;
      if (at == compressed.size()) break;
      if (!is_gzip(compressed.substr(at)))
        return input_error("corrupt gzip data (data after the last gzip member is not gzip data)");
      inflateReset(&z);
      const std::size_t piece = std::min(kPiece, compressed.size() - at);
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data() + at));
      z.avail_in = static_cast<uInt>(piece);
      consumed = at + piece;
      continue;
    }
    if (rc == Z_BUF_ERROR && z.avail_in == 0 && consumed == compressed.size())
      return input_error("truncated gzip file (it ends inside the compressed data)");
    if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR)
      return input_error(std::string("corrupt gzip data (") + (z.msg ? z.msg : "invalid data") +
                         ")");
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK && rc != Z_BUF_ERROR)
      return input_error("corrupt gzip data (zlib status " + std::to_string(rc) + ")");
  }
  out.resize(produced);
  return Unit{};
}

Status read_whole_file(const std::string& path, std::size_t max_bytes, std::string& out,
                       std::size_t unsized_max_bytes) {
  out.clear();
  if (auto ok = check_path(path); !ok) return ok;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return CoreError::io_errno(errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    return CoreError::io_errno(err);
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return CoreError::io_errno(EISDIR);
  }
  if (!S_ISREG(st.st_mode)) max_bytes = std::min(max_bytes, unsized_max_bytes);
  const auto expected = static_cast<std::size_t>(std::max<off_t>(st.st_size, 0));
  if (expected > max_bytes) {
    ::close(fd);
    return input_error("the file holds " + std::to_string(expected) + " bytes, more than " +
                       size_text(max_bytes) + " a structure file may hold");
  }
  // Files that do not know their size (pipes, /proc) are read in growing pieces.
  out.resize(std::max<std::size_t>(expected, 1 << 16));
  std::size_t got = 0;
  for (;;) {
    if (got == out.size()) {
      if (got > max_bytes) break;
      out.resize(std::min(past(max_bytes), got * 2));
    }
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return CoreError::io_errno(err);
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got > max_bytes)
    return input_error("the file holds more than " + size_text(max_bytes) +
                       " a structure file may hold");
  out.resize(got);
  return Unit{};
}

}  // namespace kelda
