// libFuzzer target: the full-file rewriter on arbitrary bytes. A successful rewrite has
// no more lines than its input, ends in "\n", and can itself be rewritten.
#include <algorithm>

#include "fuzz_common.hpp"
#include "kelda/io/pdb_writer.hpp"

using namespace kelda;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string in = kelda_fuzz::scratch_path("rw-in");
  static const std::string out = kelda_fuzz::scratch_path("rw-out");
  static const std::string again = kelda_fuzz::scratch_path("rw-again");
  kelda_fuzz::write_file(in, data, size);
  Transform t;
  t.rotation = {{{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}};
  t.translation = {1e4, -3.5, 0.25};
  const std::optional<Char> chain = size && (data[0] & 1) ? std::optional<Char>(U'A') : std::nullopt;
  auto s = transform_pdb_file(in, out, t, chain);
  if (!s) {
    KELDA_FUZZ_CHECK(s.error().kind == ErrorKind::Io);
    return 0;
  }
  const std::string text = kelda_fuzz::read_file(out);
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto lines_in = std::count(input.begin(), input.end(), '\n') +
                        (input.empty() || input.back() == '\n' ? 0 : 1);
  KELDA_FUZZ_CHECK(std::count(text.begin(), text.end(), '\n') <= lines_in);
  KELDA_FUZZ_CHECK(text.empty() || text.back() == '\n');
  std::u32string decoded;
  KELDA_FUZZ_CHECK(from_utf8(text, decoded));
  KELDA_FUZZ_CHECK(transform_pdb_file(out, again, inverse(t), chain).has_value());
  return 0;
}
