// Helpers of the database tests: gzip written with zlib, the bundled PDB files, the toolkit's
// reading of a chain to compare the database against, and a directory listing.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "kelda/io/ca_trace.hpp"
#include "kelda/io/pdb_reader.hpp"

namespace db_test {

// `text` as one gzip member.
inline std::string gzip_bytes(const std::string& text, int level = 6) {
  z_stream z{};
  if (deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) throw std::runtime_error("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string bundled(const std::string& name) {
  return std::string(KELDA_TEST_DATA) + "/pdb/" + name;
}

inline std::vector<std::string> bundled_pdb_files() {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(std::string(KELDA_TEST_DATA) + "/pdb"))
    out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The names of the entries of a directory, sorted.
inline std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

// The toolkit's reading of one chain of a model (keldascope.read_structure): the chain chosen
// by name from the whole model, the structure's id, and a source file only for plain PDB.
inline kelda::Domain toolkit_chain(const kelda::ModelTrace& model, const std::string& chain,
                                   const std::string& path, bool plain_pdb,
                                   std::optional<double> min_b = std::nullopt) {
  auto read = kelda::choose_chain(model, kelda::ChainChoice{chain, min_b},
                                  kelda::structure_id_from_path(path), plain_pdb ? path : "");
  if (!read) throw std::runtime_error(read.error().message());
  return std::move(read->domain);
}

}  // namespace db_test
