// libFuzzer target: the DSSP loader on arbitrary bytes; the first byte picks the
// domain's chain. A failed load must leave the domain untouched.
#include "fuzz_common.hpp"
#include "kelda/io/dssp_reader.hpp"

using namespace kelda;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = kelda_fuzz::scratch_path("dssp");
  if (size == 0) return 0;
  static constexpr Char chains[] = {U'A', U'_', U' ', U'B'};
  Domain d;
  d.id = "fuzz";
  d.chain = chains[data[0] & 3];
  for (int i = 0; i < 40; ++i) {
    Residue r;
    r.label = i == 39 ? std::string("27A") : std::to_string(i - 2);
    r.x = i;
    r.index = static_cast<std::uint32_t>(i);
    d.residues.push_back(r);
  }
  kelda_fuzz::write_file(path, data + 1, size - 1);
  const Domain before = d;
  auto loaded = load_dssp(d, path);
  if (!loaded) {
    KELDA_FUZZ_CHECK(loaded.error().kind == ErrorKind::Io);
    KELDA_FUZZ_CHECK(d == before);
    return 0;
  }
  KELDA_FUZZ_CHECK(d.has_dssp);
  KELDA_FUZZ_CHECK(d.residues.size() == before.residues.size());
  for (std::size_t i = 0; i < d.residues.size(); ++i) {
    const Residue& r = d.residues[i];
    KELDA_FUZZ_CHECK(r.ss == U'H' || r.ss == U'E' || r.ss == U'C');
    KELDA_FUZZ_CHECK(r.label == before.residues[i].label && r.x == before.residues[i].x);
    KELDA_FUZZ_CHECK(r.accessibility == r.accessibility);  // never NaN
  }
  return 0;
}
