// The three PDB writers: C-alpha records from memory, the line-preserving full-file
// rewriter, and write_all over the structures of a multiple alignment.
#include "kelda/io/pdb_writer.hpp"

#include <algorithm>  // min
#include <cstring>    // memcmp

#include "kelda/io/line_reader.hpp"
#include "kelda/io/out_file.hpp"
#include "kelda/io/paths.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/text.hpp"

namespace kelda {

namespace {

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

bool is_char_boundary(std::string_view s, std::size_t at) {
  return at >= s.size() || (static_cast<unsigned char>(s[at]) & 0xC0) != 0x80;
}

std::size_t count_scalars(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// A line break inside a text field would split the record and could smuggle records
// into the file (ids come from file names, which may hold any byte); such characters
// are written as blanks.
void append_single_line(std::string& out, std::string_view text) {
  for (char c : text) out.push_back(c == '\n' || c == '\r' ? ' ' : c);
}

void append_ca_record(std::string& out, std::size_t serial, const Residue& r, Char chain,
                      const Vec3& p) {
  out += "ATOM  ";
  std::string number = std::to_string(serial);
  if (number.size() < 5) out.append(5 - number.size(), ' ');
  out += number;
  out += "  CA  ";
  out += residue_name(r.aa);
  out += ' ';
  if (chain == U' ') out += '_';
  else if (chain == U'\n' || chain == U'\r') out += ' ';
  else append_utf8(out, chain);
  append_single_line(out, r.label);
  std::size_t width = count_scalars(r.label);
  if (width < 4) out.append(4 - width, ' ');
  out += "    ";
  append_fixed3(out, p[0]);
  append_fixed3(out, p[1]);
  append_fixed3(out, p[2]);
  out += "  1.00  0.00           C\n";
}

// Moves the coordinates of one atom record into `out`, the rest of the line as it is.
void append_moved_record(std::string& out, std::string_view line, const Transform& transform) {
  Vec3 p;
  for (int k = 0; k < 3; ++k) {
    auto field = byte_slice(line, 30 + 8 * k, 38 + 8 * k);
    p[k] = field ? parse_decimal(trim_unicode(*field)).value_or(0.0) : 0.0;
  }
  const Vec3 moved = transform.apply(p);
  out.append(line.substr(0, 30));
  append_fixed3(out, moved[0]);
  append_fixed3(out, moved[1]);
  append_fixed3(out, moved[2]);
  out.append(line.substr(54));
}

bool movable(std::string_view line, bool ascii, std::optional<Char> chain) {
  return line.size() >= 54 && (!chain || char_column(line, 21, ascii) == *chain) &&
         is_char_boundary(line, 30) && is_char_boundary(line, 54);
}

bool is_atom_record(std::string_view line) {
  return starts_with(line, "ATOM") || starts_with(line, "HETATM");
}

enum class LineFate { Skip, Copy, Move };

// Writes each line to `sink` as fate(line) says: left out, copied, or an atom record moved by
// `transform`. Returns the reader's error when a line cannot be read.
template <class Lines, class Sink, class Fate>
Status rewrite_each_line(Lines& reader, Sink& sink, const Transform& transform, Fate&& fate) {
  std::string out;
  std::string_view line;
  while (true) {
    auto step = reader.next(line);
    if (step == LineReader::Step::End) return Unit{};
    if (step == LineReader::Step::Failed) return reader.error();
    const LineFate f = fate(line);
    if (f == LineFate::Skip) continue;
    out.clear();
    if (f == LineFate::Move)
      append_moved_record(out, line, transform);
    else
      out.append(line);
    out.push_back('\n');
    sink.write(out);
  }
}

// Copies every line to `sink`, moving the first model's atom records that pass the
// chain test; the atom records after the first model are left out.
template <class Lines, class Sink>
Status rewrite_lines(Lines& reader, Sink& sink, const Transform& transform,
                     std::optional<Char> chain) {
  bool first_model_ended = false;
  return rewrite_each_line(reader, sink, transform, [&](std::string_view line) {
    if (starts_with(line, "ENDMDL")) first_model_ended = true;
    if (!is_atom_record(line)) return LineFate::Copy;
    if (first_model_ended) return LineFate::Skip;
    return movable(line, reader.line_is_ascii(), chain) ? LineFate::Move : LineFate::Copy;
  });
}

// Copies the lines outside models and those of model `model` to `sink`, moving its atom
// records; the lines of other models, MODEL and ENDMDL records included, are left out.
template <class Lines, class Sink>
Status rewrite_model_lines(Lines& reader, Sink& sink, const Transform& transform,
                           std::int64_t model) {
  std::int64_t number = 1;
  bool other_model = false;
  return rewrite_each_line(reader, sink, transform, [&](std::string_view line) {
    if (starts_with(line, "MODEL")) {
      number = pdb_model_serial(line, number);
      other_model = number != model;
    } else if (starts_with(line, "ENDMDL")) {
      const bool skip = other_model;
      other_model = false;
      ++number;
      if (skip) return LineFate::Skip;
    }
    if (other_model) return LineFate::Skip;
    const bool move = is_atom_record(line) && movable(line, reader.line_is_ascii(), std::nullopt);
    return move ? LineFate::Move : LineFate::Copy;
  });
}

struct StringSink {
  std::string text;
  void write(std::string_view s) { text.append(s); }
};

}  // namespace

const char* residue_name(Char code) noexcept {
  if (code >= U'a' && code <= U'z') code = code - U'a' + U'A';
  switch (code) {
    case U'A': return "ALA";
    case U'B': return "ASX";
    case U'C': return "CYS";
    case U'D': return "ASP";
    case U'E': return "GLU";
    case U'F': return "PHE";
    case U'G': return "GLY";
    case U'H': return "HIS";
    case U'I': return "ILE";
    case U'J': return "XLE";
    case U'K': return "LYS";
    case U'L': return "LEU";
    case U'M': return "MET";
    case U'N': return "ASN";
    case U'O': return "PYL";
    case U'P': return "PRO";
    case U'Q': return "GLN";
    case U'R': return "ARG";
    case U'S': return "SER";
    case U'T': return "THR";
    case U'U': return "SEC";
    case U'V': return "VAL";
    case U'W': return "TRP";
    case U'Y': return "TYR";
    case U'Z': return "GLX";
    default: return "UNK";
  }
}

Status write_ca_pdb(const Domain& domain, const std::string& path, const Transform* transform) {
  auto created = OutFile::create(path);
  if (!created) return std::move(created).error();
  OutFile file = std::move(*created);

  std::string text = "REMARK   Generated by Keldaforge\nREMARK   Domain: ";
  append_single_line(text, domain.id);
  text += '\n';
  file.write(text);
  for (std::size_t i = 0; i < domain.residues.size(); ++i) {
    const Residue& r = domain.residues[i];
    Vec3 p = r.position();
    if (transform) p = transform->apply(p);
    text.clear();
    append_ca_record(text, i + 1, r, domain.chain, p);
    file.write(text);
  }
  file.write("END\n");
  return file.close();
}

Status transform_pdb_file(const std::string& input_path, const std::string& output_path,
                          const Transform& transform, std::optional<Char> chain) {
  auto opened = LineReader::open(input_path);
  if (!opened) return std::move(opened).error();
  LineReader reader = std::move(*opened);

  if (reader.same_file_as(output_path)) {
    // Truncating the output would empty the input before it is read, and a failure while
    // writing (a full disk, a file size limit) would lose it: the new content goes into a
    // file beside it that replaces it only once complete.
    auto created = OutFile::replacing(output_path);
    if (!created) return std::move(created).error();
    OutFile file = std::move(*created);
    if (auto read = rewrite_lines(reader, file, transform, chain); !read) return read;
    return file.close();
  }

  auto created = OutFile::create(output_path);
  if (!created) return std::move(created).error();
  OutFile file = std::move(*created);
  Status read = rewrite_lines(reader, file, transform, chain);
  Status closed = file.close();  // keeps the lines written before a read failure
  if (!read) return read;
  return closed;
}

Result<std::string> transform_pdb_model(const std::string& path, const Transform& transform,
                                        std::int64_t model) {
  auto opened = LineReader::open(path);
  if (!opened) return std::move(opened).error().while_reading_input();
  StringSink sink;
  if (auto read = rewrite_model_lines(*opened, sink, transform, model); !read)
    return std::move(read).error().while_reading_input();
  return std::move(sink.text);
}

Result<std::string> transform_pdb_model_text(std::string_view text, const Transform& transform,
                                             std::int64_t model) {
  MemoryLines lines(text);
  StringSink sink;
  if (auto read = rewrite_model_lines(lines, sink, transform, model); !read)
    return std::move(read).error().while_reading_input();
  return std::move(sink.text);
}

Status write_domain_pdb(const Domain& domain, const std::string& path, const Transform* transform,
                        bool full) {
  if (full && !domain.pdb_file.empty())
    return transform_pdb_file(domain.pdb_file, path, transform ? *transform : Transform{},
                              domain.chain);
  return write_ca_pdb(domain, path, transform);
}

std::string output_file_name(const std::string& source, std::uint64_t index,
                             const std::string& prefix) {
  auto stem = file_stem(source);
  return prefix + (stem ? *stem : "domain" + std::to_string(index)) + ".pdb";
}

Result<std::vector<std::string>> write_all(const MultipleAlignmentResult& result,
                                           const std::string& output_dir,
                                           const std::optional<std::string>& prefix) {
  const std::string head = prefix ? *prefix : std::string("aligned_");
  if (auto made = create_directories(output_dir); !made) {
    CoreError e = std::move(made).error();
    e.context = "Failed to create output directory: ";
    e.bare = true;  // the OS error text alone
    return e;
  }
  std::vector<std::string> paths;
  const std::size_t n = std::min({result.transforms.size(), result.pre_transforms.size(),
                                  result.pdb_files.size()});
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& source = result.pdb_files[i];
    if (source.empty())
      return CoreError::refusal(ErrorKind::DomainFile,
                                "No source PDB file for domain " + std::to_string(i));
    const Transform full = compose(result.transforms[i], result.pre_transforms[i]);
    std::string out_path = join_path(output_dir, output_file_name(source, i, head));
    if (auto written = transform_pdb_file(source, out_path, full); !written)
      return std::move(written).error().within("Failed to write " + out_path + ": ");
    paths.push_back(std::move(out_path));
  }
  return paths;
}

}  // namespace kelda
