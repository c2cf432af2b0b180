// libFuzzer target: the PDB reader on arbitrary bytes, with and without a chain, and the
// toolkit's reading of every chain of a model from the same bytes in memory.
#include "fuzz_common.hpp"
#include "kelda/io/pdb_reader.hpp"

using namespace kelda;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = kelda_fuzz::scratch_path("pdb");
  kelda_fuzz::write_file(path, data, size);
  for (std::optional<Char> chain : {std::optional<Char>{}, std::optional<Char>{U'A'},
                                    std::optional<Char>{U' '}}) {
    auto d = read_pdb(path, chain);
    if (!d) {
      const ErrorKind k = d.error().kind;
      KELDA_FUZZ_CHECK(k == ErrorKind::Io || k == ErrorKind::PdbParse);
      continue;
    }
    KELDA_FUZZ_CHECK(!d->residues.empty());
    KELDA_FUZZ_CHECK(!chain || d->chain == *chain);
    KELDA_FUZZ_CHECK(!d->has_dssp);
    for (std::size_t i = 0; i < d->residues.size(); ++i) {
      const Residue& r = d->residues[i];
      KELDA_FUZZ_CHECK(r.index == i);
      KELDA_FUZZ_CHECK(r.ss == U'C' && r.accessibility == 0.0);
      KELDA_FUZZ_CHECK(r.x == r.x && r.y == r.y && r.z == r.z);  // never NaN
      std::u32string decoded;
      KELDA_FUZZ_CHECK(from_utf8(r.label, decoded));
    }
  }
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using Model = std::optional<std::int64_t>;
  for (Model model : {Model{}, Model{2}}) {
    auto traced = read_pdb_model_text(text, PdbReadOptions{model, true, true});
    if (!traced) {
      const ErrorKind k = traced.error().kind;
      KELDA_FUZZ_CHECK(k == ErrorKind::Io || k == ErrorKind::PdbParse);
      continue;
    }
    auto read = choose_chain(*std::move(traced), ChainChoice{std::nullopt, 50.0}, "x", "");
    if (!read) continue;
    KELDA_FUZZ_CHECK(!read->domain.residues.empty() && !read->chains.empty());
    for (std::size_t i = 0; i < read->domain.residues.size(); ++i)
      KELDA_FUZZ_CHECK(read->domain.residues[i].index == i);
  }
  return 0;
}
