// Helpers shared by the structure-file tests: scratch directories, byte-exact files
// and PDB ATOM records laid out column by column.
#pragma once

#include <unistd.h>  // mkdtemp

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelda_test {

// A fresh directory under /tmp, removed with everything in it at scope exit.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = "/tmp/kelda-io-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

inline std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// One atom record in the wwPDB column layout (80 columns).
struct Atom {
  std::string record = "ATOM";
  int serial = 1;
  std::string name = " CA ";
  char altloc = ' ';
  std::string res = "ALA";  // columns 18-20 as written, right-justified by the caller
  char chain = 'A';
  std::string seq = "1";     // right-justified in columns 23-26
  char icode = ' ';
  double x = 1.0, y = 2.0, z = 3.0;

  std::string line() const {
    char buf[96];
    std::snprintf(buf, sizeof buf,
                  "%-6s%5d %-4s%c%3s %c%4s%c   %8.3f%8.3f%8.3f%6.2f%6.2f          %2s",
                  record.c_str(), serial, name.c_str(), altloc, res.c_str(), chain, seq.c_str(),
                  icode, x, y, z, 1.0, 0.0, " C");
    return buf;
  }
};

// A C-alpha record of residue `seq` of `chain`.
inline Atom ca(char chain, const char* seq, double x = 1.0) {
  Atom a;
  a.chain = chain;
  a.seq = seq;
  a.x = x;
  return a;
}

inline std::string join_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  return text;
}

}  // namespace kelda_test
