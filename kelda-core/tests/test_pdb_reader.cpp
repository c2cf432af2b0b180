// PDB reader: column rules, line rules, messages, robustness, and real wwPDB entries.
#include <gtest/gtest.h>

#include <cmath>  // signbit
#include <filesystem>
#include <fstream>
#include <map>

#include "io_test_files.hpp"
#include "kelda/io/line_reader.hpp"
#include "kelda/io/paths.hpp"
#include "kelda/io/pdb_reader.hpp"
#include "kelda/io/text.hpp"
#include "shared_data.hpp"  // MALVEN_SHARED_DATA, else ../shared/data

using namespace kelda;
using kelda_test::Atom;
using kelda_test::ca;
using kelda_test::join_lines;
using kelda_test::TempDir;
using kelda_test::write_bytes;

namespace {

// The atom with one field changed, as the cases below vary them.
template <class M, class V>
Atom with(Atom a, M Atom::*field, V value) {
  a.*field = value;
  return a;
}
Atom with_alt(Atom a, char altloc) { return with(a, &Atom::altloc, altloc); }
Atom with_res(Atom a, const char* res) { return with(a, &Atom::res, res); }
Atom with_icode(Atom a, char icode) { return with(a, &Atom::icode, icode); }
Atom with_name(Atom a, const char* name) { return with(a, &Atom::name, name); }
Atom hetatm(Atom a) { return with(a, &Atom::record, "HETATM"); }

std::string labels_of(const Domain& d) {
  std::string s;
  for (std::size_t i = 0; i < d.residues.size(); ++i) s += (i ? "," : "") + d.residues[i].label;
  return s;
}

std::string seq_of(const Domain& d) { return to_utf8(d.sequence()); }

Result<Domain> read_text(const TempDir& dir, const std::string& text,
                         std::optional<Char> chain = std::nullopt) {
  std::string path = dir.file("in.pdb");
  write_bytes(path, text);
  return read_pdb(path, chain);
}

// ---------------------------------------------------------------------------------
// Which records enter the trace.

struct SelectCase {
  const char* name;
  std::string text;
  std::optional<Char> chain;
  const char* labels;  // expected labels, comma-separated
  Char domain_chain;
};

std::vector<SelectCase> select_cases() {
  const std::string endmdl = "ENDMDL";
  return {
      {"FirstChainWins", join_lines({ca('B', "1").line(), ca('B', "2").line(), ca('A', "3").line(),
                                     ca('B', "4").line()}),
       std::nullopt, "1,2,4", U'B'},
      {"QuestionMarkIsNoChain", join_lines({ca('B', "1").line(), ca('A', "2").line()}), U'?', "1",
       U'B'},
      {"RequestedChain", join_lines({ca('B', "1").line(), ca('A', "2").line()}), U'A', "2", U'A'},
      {"BlankChainRequested", join_lines({ca('B', "1").line(), ca(' ', "2").line()}), U' ', "2",
       U' '},
      {"StopsAtEndmdlAfterResidues",
       join_lines({"MODEL        1", ca('A', "1").line(), ca('A', "2").line(), endmdl,
                   "MODEL        2", ca('A', "1").line(), ca('A', "2").line(), ca('A', "3").line()}),
       std::nullopt, "1,2", U'A'},
      {"EndmdlBeforeResiduesIgnored",
       join_lines({"MODEL        1", hetatm(ca('A', "1")).line(), endmdl, "MODEL        2",
                   ca('A', "7").line(), endmdl, ca('A', "8").line()}),
       std::nullopt, "7", U'A'},
      {"EndWithBlanksStops", join_lines({ca('A', "1").line(), "END   ", ca('A', "2").line()}),
       std::nullopt, "1", U'A'},
      {"BareEndDoesNotStop", join_lines({ca('A', "1").line(), "END", ca('A', "2").line()}),
       std::nullopt, "1,2", U'A'},
      {"AltlocAKeptBSkipped",
       join_lines({with_alt(ca('A', "1"), 'A').line(), with_alt(ca('A', "1", 9.0), 'B').line(),
                   with_alt(ca('A', "2"), 'B').line(), ca('A', "3").line()}),
       std::nullopt, "1,3", U'A'},
      {"AltlocOneLOAccepted",
       join_lines({with_alt(ca('A', "1"), '1').line(), with_alt(ca('A', "2"), 'L').line(),
                   with_alt(ca('A', "3"), 'O').line(), with_alt(ca('A', "4"), 'C').line(),
                   with_alt(ca('A', "5"), 'a').line()}),
       std::nullopt, "1,2,3", U'A'},
      {"BlankThenAltlocAIsDuplicate",
       join_lines({ca('A', "1").line(), with_alt(ca('A', "1", 9.0), 'A').line()}), std::nullopt,
       "1", U'A'},
      {"ChainFixedBeforeAltlocTest",
       join_lines({with_alt(ca('B', "1"), 'B').line(), ca('A', "2").line(), ca('B', "3").line()}),
       std::nullopt, "3", U'B'},
      {"OnlyConsecutiveRepeatsAreDuplicates",
       join_lines({ca('A', "5").line(), ca('A', "6").line(), ca('A', "5").line(),
                   ca('A', "5").line()}),
       std::nullopt, "5,6,5", U'A'},
      {"DuplicateTestUsesNumberValue", join_lines({ca('A', "05").line(), ca('A', "5").line()}),
       std::nullopt, "05", U'A'},
      {"UnreadableNumbersCountAsZero",
       join_lines({ca('A', "ab").line(), ca('A', "cd").line(), ca('A', "0").line(),
                   ca('A', "1").line()}),
       std::nullopt, "ab,1", U'A'},
      {"InsertionCodes",
       join_lines({ca('A', "52").line(), with_icode(ca('A', "52"), 'A').line(),
                   with_icode(ca('A', "52"), 'A').line(), with_icode(ca('A', "52"), 'B').line(),
                   ca('A', "-3").line()}),
       std::nullopt, "52,52A,52B,-3", U'A'},
      {"BlankNumberField", join_lines({ca('A', "").line(), ca('A', "1").line()}), std::nullopt,
       ",1", U'A'},
      {"OnlyExactCalphaName",
       join_lines({with_name(ca('A', "1"), "CA  ").line(), with_name(ca('A', "2"), " CB ").line(),
                   with_name(ca('A', "3"), " ca ").line(), with_name(ca('A', "4"), "  CA").line(),
                   ca('A', "5").line()}),
       std::nullopt, "5", U'A'},
      {"HetatmIgnored", join_lines({hetatm(with_res(ca('A', "1"), "MSE")).line(),
                                    with_res(ca('A', "2"), "MSE").line()}),
       std::nullopt, "2", U'A'},
      {"ShortCalphaLineSkipped",
       join_lines({ca('A', "1").line().substr(0, 53), ca('A', "2").line().substr(0, 54)}),
       std::nullopt, "2", U'A'},
      {"CrlfLineEnds", ca('A', "1").line().substr(0, 54) + "\r\n" + ca('A', "2").line() + "\r\n",
       std::nullopt, "1,2", U'A'},
      // One "\r" goes with the "\n": 53 bytes + "\r\r\n" keeps a 54-byte line.
      {"OnlyOneCarriageReturnRemoved",
       ca('A', "1").line().substr(0, 53) + "\r\n" + ca('A', "2").line().substr(0, 53) + "\r\r\n",
       std::nullopt, "2", U'A'},
      {"LastLineWithoutNewline", ca('A', "1").line() + "\n" + ca('A', "2").line(), std::nullopt,
       "1,2", U'A'},
      {"ShortAndBlankLinesSkipped",
       "\n\nATO\n" + ca('A', "1").line() + "\n\n" + std::string("TER") + "\n", std::nullopt, "1",
       U'A'},
  };
}

class PdbSelect : public ::testing::TestWithParam<SelectCase> {};

TEST_P(PdbSelect, Records) {
  const SelectCase& c = GetParam();
  TempDir dir;
  auto d = read_text(dir, c.text, c.chain);
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(labels_of(*d), c.labels);
  EXPECT_EQ(d->chain, c.domain_chain);
  for (std::size_t i = 0; i < d->residues.size(); ++i) EXPECT_EQ(d->residues[i].index, i);
}

// The toolkit's reader, held to read_pdb's rules (no CHARMM names, no segment chains), takes
// the same records from text in memory.
TEST_P(PdbSelect, ToolkitReaderAgrees) {
  const SelectCase& c = GetParam();
  PdbReadOptions options;
  options.charmm_names = false;
  options.segment_chains = false;
  auto model = read_pdb_model_text(c.text, options);
  ASSERT_TRUE(model) << model.error().message();
  ChainChoice choice;
  if (c.chain && *c.chain != U'?') choice.chain = to_utf8(std::u32string(1, *c.chain));
  auto read = choose_chain(*std::move(model), choice, "in", "in.pdb");
  ASSERT_TRUE(read) << read.error().message();
  EXPECT_EQ(labels_of(read->domain), c.labels);
  EXPECT_EQ(read->domain.chain, c.domain_chain);
  TempDir dir;
  auto d = read_text(dir, c.text, c.chain);
  ASSERT_TRUE(d);
  EXPECT_EQ(read->domain.residues, d->residues);
}

INSTANTIATE_TEST_SUITE_P(Rules, PdbSelect, ::testing::ValuesIn(select_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PdbReader, FillsEveryField) {
  TempDir dir;
  Atom a = ca('B', "42", -12.5);
  a.y = 0.25;
  a.z = 1000.125;
  a.res = "GLY";
  std::string path = dir.file("sub.dir.1abc.pdb");
  write_bytes(path, "HEADER    TEST\n" + a.line() + "\nEND\n");
  auto d = read_pdb(path);
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(d->id, "sub.dir.1abc");
  EXPECT_EQ(d->pdb_file, path);
  EXPECT_EQ(d->chain, U'B');
  EXPECT_FALSE(d->has_dssp);
  ASSERT_EQ(d->size(), 1u);
  const Residue& r = d->residues[0];
  EXPECT_EQ(r.label, "42");
  EXPECT_EQ(r.x, -12.5);
  EXPECT_EQ(r.y, 0.25);
  EXPECT_EQ(r.z, 1000.125);
  EXPECT_EQ(r.accessibility, 0.0);
  EXPECT_EQ(r.aa, U'G');
  EXPECT_EQ(r.ss, U'C');
  EXPECT_EQ(r.index, 0u);
}

TEST(PdbReader, ResidueNamesInFile) {
  // Nucleic-acid names right-justified as the PDB writes them, odd cases and unknowns.
  const char* names[] = {" DA", "  A", "URA", "ala", "UNK", "MSE", "XYZ", "   ", "Sec"};
  std::vector<std::string> lines;
  int seq = 1;
  for (const char* n : names) lines.push_back(with_res(ca('A', std::to_string(seq++).c_str()), n).line());
  TempDir dir;
  auto d = read_text(dir, join_lines(lines));
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(seq_of(*d), "AAUAXMXXU");
}

TEST(PdbReader, ResidueCodeTable) {
  const std::map<std::string, char> table = {
      {"ALA", 'A'}, {"ARG", 'R'}, {"ASN", 'N'}, {"ASP", 'D'}, {"CYS", 'C'}, {"GLN", 'Q'},
      {"GLU", 'E'}, {"GLY", 'G'}, {"HIS", 'H'}, {"ILE", 'I'}, {"LEU", 'L'}, {"LYS", 'K'},
      {"MET", 'M'}, {"MSE", 'M'}, {"PHE", 'F'}, {"PRO", 'P'}, {"SER", 'S'}, {"THR", 'T'},
      {"TRP", 'W'}, {"TYR", 'Y'}, {"VAL", 'V'}, {"SEC", 'U'}, {"PYL", 'O'}, {"ASX", 'B'},
      {"GLX", 'Z'}, {"XLE", 'J'}, {"ADE", 'A'}, {"DA", 'A'},  {"A", 'A'},   {"CYT", 'C'},
      {"DC", 'C'},  {"C", 'C'},   {"GUA", 'G'}, {"DG", 'G'},  {"G", 'G'},   {"THY", 'T'},
      {"DT", 'T'},  {"T", 'T'},   {"URA", 'U'}, {"U", 'U'},   {"UNK", 'X'}, {"", 'X'},
      {"HOH", 'X'}, {"DU", 'X'},  {"N", 'X'},   {"AL", 'X'},  {"ALAA", 'X'}};
  for (const auto& [name, code] : table) {
    EXPECT_EQ(residue_code(name), static_cast<Char>(code)) << name;
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(c));
    EXPECT_EQ(residue_code(lower), static_cast<Char>(code)) << lower;
    EXPECT_EQ(residue_code(" " + name + "\t"), static_cast<Char>(code)) << name;
  }
  EXPECT_EQ(residue_code("\xC2\xA0" "A"), U'A');  // no-break space is trimmed too
}

// ---------------------------------------------------------------------------------
// Failures and their exact texts.

struct ErrorCase {
  const char* name;
  std::string text;
  std::optional<Char> chain;
  std::string expected;  // full CoreError text; "@" stands for the file path
  ErrorKind kind;
};

std::vector<ErrorCase> error_cases() {
  Atom blank_x = ca('A', "2");
  std::string bx = blank_x.line().replace(30, 8, "        ");
  std::string by = blank_x.line().replace(38, 8, "   1.2.3");
  std::string bz = blank_x.line().replace(46, 8, "     nan");
  std::string bxy = blank_x.line().replace(30, 16, "   abc     abc  ");
  const std::string parse = "PDB parsing error: ";
  return {
      {"BlankX", join_lines({ca('A', "1").line(), bx}), std::nullopt,
       parse + "Invalid X coordinate in line: " + bx, ErrorKind::PdbParse},
      {"BadY", join_lines({by}), std::nullopt, parse + "Invalid Y coordinate in line: " + by,
       ErrorKind::PdbParse},
      {"NanZ", join_lines({bz}), std::nullopt, parse + "Invalid Z coordinate in line: " + bz,
       ErrorKind::PdbParse},
      {"XReportedBeforeY", join_lines({bxy}), std::nullopt,
       parse + "Invalid X coordinate in line: " + bxy, ErrorKind::PdbParse},
      {"CrlfLineReportedWithoutTerminator", bx + "\r\n", std::nullopt,
       parse + "Invalid X coordinate in line: " + bx, ErrorKind::PdbParse},
      {"NoCalphaNoChain", join_lines({"HEADER    NOTHING", hetatm(ca('A', "1")).line()}),
       std::nullopt, parse + "No C-alpha atoms found in chain '_' of @", ErrorKind::PdbParse},
      {"NoCalphaInRequestedChain", join_lines({ca('A', "1").line()}), U'C',
       parse + "No C-alpha atoms found in chain 'C' of @", ErrorKind::PdbParse},
      {"NoCalphaNonAsciiChain", join_lines({ca('A', "1").line()}), U'\u00e9',
       parse + "No C-alpha atoms found in chain '\xC3\xA9' of @", ErrorKind::PdbParse},
      {"EmptyFile", "", std::nullopt, parse + "No C-alpha atoms found in chain '_' of @",
       ErrorKind::PdbParse},
      {"OnlyRejectedAltloc", join_lines({with_alt(ca('B', "1"), 'B').line()}), std::nullopt,
       parse + "No C-alpha atoms found in chain 'B' of @", ErrorKind::PdbParse},
      {"InvalidUtf8", join_lines({ca('A', "1").line(), "REMARK \xff"}), std::nullopt,
       "I/O error: stream did not contain valid UTF-8", ErrorKind::Io},
      {"OverlongUtf8", "REMARK \xC0\xAF\n", std::nullopt,
       "I/O error: stream did not contain valid UTF-8", ErrorKind::Io},
      {"SurrogateUtf8", "REMARK \xED\xA0\x80\n", std::nullopt,
       "I/O error: stream did not contain valid UTF-8", ErrorKind::Io},
      {"BeyondUnicode", "REMARK \xF4\x90\x80\x80\n", std::nullopt,
       "I/O error: stream did not contain valid UTF-8", ErrorKind::Io},
      {"TruncatedSequenceAtEof", ca('A', "1").line() + "\nREMARK \xE2\x82", std::nullopt,
       "I/O error: stream did not contain valid UTF-8", ErrorKind::Io},
      {"BinaryGarbage", std::string("\x7f" "ELF\x02\x01\x01\0\0\0\x90\x91\n", 14), std::nullopt,
       "I/O error: stream did not contain valid UTF-8", ErrorKind::Io},
      {"BadCoordinateInOtherChainIgnored", join_lines({ca('A', "1").line(), [] {
                                                         Atom b = ca('B', "2");
                                                         return b.line().replace(30, 8, "   x    ");
                                                       }()}),
       std::nullopt, "", ErrorKind::Io},
      {"InvalidUtf8AfterFirstModelNeverRead",
       join_lines({ca('A', "1").line(), "ENDMDL", "REMARK \xff\xfe"}), std::nullopt, "",
       ErrorKind::Io},
  };
}

class PdbErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(PdbErrors, Message) {
  const ErrorCase& c = GetParam();
  TempDir dir;
  auto d = read_text(dir, c.text, c.chain);
  if (c.expected.empty()) {
    EXPECT_TRUE(d) << d.error().text();
    return;
  }
  ASSERT_FALSE(d);
  std::string expected = c.expected;
  if (auto at = expected.find('@'); at != std::string::npos)
    expected.replace(at, 1, dir.file("in.pdb"));
  EXPECT_EQ(d.error().text(), expected);
  EXPECT_EQ(d.error().kind, c.kind);
}

INSTANTIATE_TEST_SUITE_P(Rules, PdbErrors, ::testing::ValuesIn(error_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(PdbReader, FileSystemErrors) {
  TempDir dir;
  auto missing = read_pdb(dir.file("absent.pdb"));
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text(), "I/O error: No such file or directory (os error 2)");
  auto directory = read_pdb(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().text(), "I/O error: Is a directory (os error 21)");
  write_bytes(dir.file("plain"), "x");
  auto not_dir = read_pdb(dir.file("plain") + "/x.pdb");
  ASSERT_FALSE(not_dir);
  EXPECT_EQ(not_dir.error().text(), "I/O error: Not a directory (os error 20)");
  // A NUL inside the path would cut it short at the system call and name another file.
  write_bytes(dir.file("a"), Atom().line() + "\n");
  auto nul = read_pdb(dir.file("a") + std::string("\0.pdb", 5));
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "I/O error: file name contained an unexpected NUL byte");
}

// ---------------------------------------------------------------------------------
// Columns of non-ASCII lines: single columns count characters, fields are byte slices.

TEST(PdbReader, CharacterColumnsCountScalars) {
  // "é" (two bytes) in the residue-name field shifts every later character one byte
  // to the right of its column: column 22 is then the byte that holds the "1" of the
  // residue number, and the residue name slice "éA" is no name of the table.
  std::string line = ca('A', "1042").line();
  line.replace(17, 3, "\xC3\xA9" "A");
  ASSERT_EQ(line.size(), 78u);
  TempDir dir;
  auto d = read_text(dir, line + "\n");
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(d->chain, U'1');
  EXPECT_EQ(seq_of(*d), "X");
  EXPECT_EQ(d->residues[0].label, "1042");
}

TEST(PdbReader, NonAsciiChainAndInsertionCode) {
  // Chain "ß" occupies bytes 21-22, so the number field [22, 26) starts inside it and
  // reads as its default "0"; the insertion code column 27 is byte 27.
  std::string line = ca('A', "7").line();
  line.replace(21, 1, "\xC3\x9F");
  line.erase(26, 1);  // keep the coordinates on their bytes
  ASSERT_EQ(line.substr(30, 8), "   1.000");
  TempDir dir;
  auto d = read_text(dir, line + "\n");
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(d->chain, U'\u00DF');
  EXPECT_EQ(d->residues[0].label, "0");
  auto chosen = read_text(dir, line + "\n", U'\u00DF');
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->size(), 1u);
}

TEST(PdbReader, UnicodeBlanksTrimmedFromNumber) {
  std::string line = ca('A', "42").line();
  line.replace(22, 2, "\xC2\xA0");  // no-break space where "  " stood
  TempDir dir;
  auto d = read_text(dir, line + "\n");
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(d->residues[0].label, "42");
}

TEST(PdbReader, CoordinateSplitInsideCharacterReadsDefault) {
  // A two-byte character straddling byte 38 removes the x and y slices; both read as
  // their default 0.0 instead of failing.
  std::string line = ca('A', "1", 5.0).line();
  line.replace(37, 2, "\xC3\xA9");
  TempDir dir;
  auto d = read_text(dir, line + "\n");
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(d->residues[0].x, 0.0);
  EXPECT_EQ(d->residues[0].y, 0.0);
  EXPECT_EQ(d->residues[0].z, 3.0);
}

// ---------------------------------------------------------------------------------
// Line reading limits.

TEST(PdbReader, LongLinesAcrossBufferRefills) {
  // A 100 kB remark spans many 8192-byte reads; the record after it still counts.
  std::string text = "REMARK " + std::string(100000, 'x') + "\n" + ca('A', "1").line() + "\n" +
                     "REMARK " + std::string(8192 * 3 - 7, 'y') + "\n" + ca('A', "2").line();
  TempDir dir;
  auto d = read_text(dir, text);
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(labels_of(*d), "1,2");
}

TEST(PdbReader, LineBeyondLimitIsRefused) {
  TempDir dir;
  std::string path = dir.file("huge.pdb");
  {
    std::ofstream out(path, std::ios::binary);
    std::string chunk(1 << 20, 'A');
    for (std::size_t i = 0; i <= LineReader::max_line_bytes >> 20; ++i) out << chunk;
  }
  auto d = read_pdb(path);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().text(), "I/O error: line longer than 67108864 bytes");
}

TEST(LineReader, SplitsExactly) {
  TempDir dir;
  std::string path = dir.file("lines");
  // "\r" is dropped only directly before "\n"; a final line without "\n" keeps its "\r".
  write_bytes(path, "a\r\n\nb\r\r\nc\rd\n\r\ne\r");
  auto reader = LineReader::open(path);
  ASSERT_TRUE(reader);
  std::vector<std::string> got;
  std::string_view line;
  while (reader->next(line) == LineReader::Step::Line) got.emplace_back(line);
  EXPECT_EQ(got, (std::vector<std::string>{"a", "", "b\r", "c\rd", "", "e\r"}));
  EXPECT_EQ(reader->next(line), LineReader::Step::End);
}

// ---------------------------------------------------------------------------------
// Text helpers.

TEST(TextHelpers, ParseDecimal) {
  const std::pair<const char*, double> good[] = {
      {"1", 1.0},       {"-1", -1.0},     {"+1.5", 1.5},        {".5", 0.5},
      {"5.", 5.0},      {"1e3", 1000.0},  {"1E-3", 0.001},      {"1.5e+2", 150.0},
      {"00012.500", 12.5}, {"1.e1", 10.0}, {"-0.000", -0.0}, {"1e-400", 0.0},   {"-999.999", -999.999}};
  for (const auto& [text, value] : good) {
    auto v = parse_decimal(text);
    ASSERT_TRUE(v) << text;
    EXPECT_EQ(*v, value) << text;
  }
  EXPECT_TRUE(std::signbit(*parse_decimal("-1e-400")));
  const char* bad[] = {"", "+", "-", ".", "e5", "1e", "1e+", "nan", "NaN", "inf", "-inf",
                       "infinity", "1.2.3", " 1", "1 ", "0x10", "1e400", "1,5", "--1", "1e5.0"};
  for (const char* text : bad) EXPECT_FALSE(parse_decimal(text)) << text;
}

TEST(TextHelpers, ParseI32) {
  const std::pair<const char*, std::optional<std::int32_t>> rows[] = {
      {"42", 42},          {"-3", -3},     {"+7", 7},   {"007", 7},
      {"", std::nullopt},  {"+", std::nullopt}, {"-", std::nullopt}, {"4a", std::nullopt},
      {"2147483647", 2147483647}, {"2147483648", std::nullopt},
      {"-2147483648", -2147483647 - 1}, {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt}, {" 1", std::nullopt}};
  for (const auto& [text, value] : rows) EXPECT_EQ(parse_i32(text), value) << text;
}

TEST(TextHelpers, TrimUnicode) {
  EXPECT_EQ(trim_unicode("\xC2\xA0 42\xE3\x80\x80"), "42");
  EXPECT_EQ(trim_unicode("\t\v\f x y \r\n"), "x y");
  EXPECT_EQ(trim_unicode("\x1c" "a"), "\x1c" "a");  // information separators are not blanks
  EXPECT_EQ(trim_unicode("   "), "");
  // A cut-off sequence whose partial value would be U+0085 is not taken for a blank.
  EXPECT_EQ(trim_unicode("\xE2\x85"), "\xE2\x85");
  EXPECT_EQ(trim_unicode("\xE2\x80\x8A" "\xC3\xA9" "\xE2\x80\xAF"), "\xC3\xA9");
}

TEST(TextHelpers, ValidUtf8) {
  bool ascii;
  EXPECT_TRUE(valid_utf8("plain ASCII text that is long", ascii));
  EXPECT_TRUE(ascii);
  EXPECT_TRUE(valid_utf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", ascii));
  EXPECT_FALSE(ascii);
  const char* bad[] = {"\x80", "\xC3", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
                       "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF", "abcdefgh\xC3"};
  for (const char* s : bad) EXPECT_FALSE(valid_utf8(s, ascii)) << s;
}

TEST(Paths, FileStem) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"1abc.pdb", "1abc"},      {"dir/1abc.pdb", "1abc"}, {"/a/b/.hidden", ".hidden"},
      {"a.b.c", "a.b"},          {"noext", "noext"},       {"dir/", "dir"},
      {"a/b/.", "b"},            {"a/./b.pdb", "b"},       {"a.", "a"},
      {"..a", "."},              {"a/..", std::nullopt},   {"..", std::nullopt},
      {"/", std::nullopt},       {"", std::nullopt},       {".", std::nullopt},
      {"./", std::nullopt},      {"x/\xff.pdb", std::nullopt}, {"x/ok.\xff", "ok"}};
  for (const auto& [path, stem] : rows) EXPECT_EQ(file_stem(path), stem) << path;
  EXPECT_EQ(domain_id_from_path("x/.."), "unknown");
  EXPECT_EQ(domain_id_from_path("x/\xfe\xff"), "unknown");
}

// The toolkit names a structure after its file even when the name is not UTF-8: the stray
// bytes are escaped, well-formed characters kept.
TEST(Paths, StructureIdEscapesWhatIsNotUtf8) {
  const std::pair<std::string, std::string> rows[] = {
      {"d/caf\xe9.pdb", "caf\\xe9"},          {"caf\xc3\xa9.cif.gz", "caf\xc3\xa9"},
      {"1abc.pdb.gz", "1abc"},                 {"x/\xfe\xff.ent", "\\xfe\\xff"},
      {"a\xed\xa0\x80" "b.pdb", "a\\xed\\xa0\\x80b"}, {"x/..", "unknown"},
      {"\xc3.pdb", "\\xc3"}};
  for (const auto& [path, id] : rows) EXPECT_EQ(structure_id_from_path(path), id) << path;
  EXPECT_EQ(escape_invalid_utf8("plain"), "plain");
}

// ---------------------------------------------------------------------------------
// Real wwPDB entries copied from Debian packages into tests/data/pdb.

std::string test_pdb(const std::string& name) {
  return std::string(KELDA_TEST_DATA) + "/pdb/" + name + ".pdb";
}

// Residue names of one chain's SEQRES records, as one-letter codes.
std::string seqres(const std::string& path, char chain) {
  std::ifstream in(path);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("SEQRES", 0) != 0 || line.size() < 20 || line[11] != chain) continue;
    for (std::size_t col = 19; col + 3 <= line.size() && col < 70; col += 4) {
      std::string name = line.substr(col, 3);
      if (name != "   ") out += static_cast<char>(residue_code(name));
    }
  }
  return out;
}

struct RealCase {
  const char* name;
  Char chain;            // chain of the first C-alpha (MANIFEST.tsv "chains", first entry)
  std::size_t n;         // MANIFEST.tsv "n_ca_first_chain"
  bool seqres_complete;  // every SEQRES residue has a C-alpha record
};

class RealPdb : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealPdb, MatchesManifest) {
  const RealCase& c = GetParam();
  auto d = read_pdb(test_pdb(c.name));
  ASSERT_TRUE(d) << d.error().text();
  EXPECT_EQ(d->id, c.name);
  EXPECT_EQ(d->chain, c.chain);
  EXPECT_EQ(d->size(), c.n);
  if (c.seqres_complete) EXPECT_EQ(seq_of(*d), seqres(test_pdb(c.name), static_cast<char>(c.chain)));
  EXPECT_EQ(seq_of(*d).find('X'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Debian, RealPdb,
    ::testing::Values(RealCase{"1hpv", U'A', 99, true}, RealCase{"1ni7", U'A', 149, false},
                      RealCase{"1sp1", U'A', 29, true}, RealCase{"1sp2", U'A', 31, true},
                      RealCase{"1tii", U'D', 98, false}, RealCase{"3al1", U'A', 12, false},
                      RealCase{"3znf", U'A', 30, true}, RealCase{"5eep", U'A', 140, false},
                      RealCase{"il2", U' ', 126, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RealPdb, NmrReadsFirstModelOnly) {
  // 1ni7 holds 20 models of 149 residues; only model 1 is read.
  std::ifstream in(test_pdb("1ni7"));
  std::size_t ca_records = 0;
  for (std::string line; std::getline(in, line);)
    ca_records += line.rfind("ATOM", 0) == 0 && line.size() >= 16 && line.substr(12, 4) == " CA ";
  EXPECT_EQ(ca_records, 20u * 149u);
  auto d = read_pdb(test_pdb("1ni7"));
  ASSERT_TRUE(d);
  EXPECT_EQ(d->size(), 149u);
  // First C-alpha of model 1: "ATOM      2  CA  MET A   1       6.963  22.789  22.822".
  EXPECT_EQ(d->residues[0].position(), (Vec3{6.963, 22.789, 22.822}));
}

TEST(RealPdb, SeveralChains) {
  // 1hpv: two protease chains of 99 residues; 1tii: seven chains. Counts by awk over
  // the CA records of each chain.
  const std::tuple<const char*, Char, std::size_t> rows[] = {
      {"1hpv", U'B', 99}, {"1tii", U'A', 186}, {"1tii", U'C', 36}, {"1tii", U'H', 98},
      {"3al1", U'B', 12}};
  for (const auto& [name, chain, n] : rows) {
    auto d = read_pdb(test_pdb(name), chain);
    ASSERT_TRUE(d) << name << d.error().text();
    EXPECT_EQ(d->chain, chain);
    EXPECT_EQ(d->size(), n) << name << " " << static_cast<char>(chain);
  }
  auto a = read_pdb(test_pdb("1hpv"), U'A');
  auto b = read_pdb(test_pdb("1hpv"), U'B');
  ASSERT_TRUE(a && b);
  EXPECT_EQ(a->sequence(), b->sequence());
  EXPECT_NE(a->residues[0].position(), b->residues[0].position());
  // Chain B of 3al1 starts at "ATOM    288  CA  GLU B 201     -14.782   8.198  -4.540".
  auto b3 = read_pdb(test_pdb("3al1"), U'B');
  EXPECT_EQ(b3->residues[0].label, "201");
  EXPECT_EQ(b3->residues[0].position(), (Vec3{-14.782, 8.198, -4.540}));
}

TEST(RealPdb, LigandsAndWatersIgnored) {
  // 1hpv: 115 HETATM lines (inhibitor 478 and 80 waters with a blank chain column).
  auto waters = read_pdb(test_pdb("1hpv"), U' ');
  ASSERT_FALSE(waters);
  EXPECT_EQ(waters.error().text(), "PDB parsing error: No C-alpha atoms found in chain ' ' of " +
                                       test_pdb("1hpv"));
}

// Every PDB file of the shared data set against the C-alpha counts of its MANIFEST.tsv.
TEST(SharedData, ManifestCalphaCounts) {
  const std::string root = kelda_test::shared_data();
  std::ifstream manifest(root + "/MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "shared data absent";
  std::size_t checked = 0;
  std::string line;
  std::getline(manifest, line);  // header
  while (std::getline(manifest, line)) {
    std::vector<std::string> cols;
    std::size_t start = 0;
    for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
      cols.push_back(line.substr(start, tab - start));
    cols.push_back(line.substr(start));
    if (cols.size() < 6 || cols[0].size() < 4 || cols[0].substr(cols[0].size() - 4) != ".pdb")
      continue;
    const std::size_t expected = std::stoul(cols[5]);
    auto d = read_pdb(root + "/" + cols[0]);
    if (expected == 0) {
      EXPECT_FALSE(d) << cols[0];
    } else {
      ASSERT_TRUE(d) << cols[0] << ": " << d.error().text();
      EXPECT_EQ(d->size(), expected) << cols[0];
    }
    ++checked;
  }
  EXPECT_GT(checked, 500u);
}

TEST(SharedData, AltlocsAndInsertionCodes) {
  const std::string root = kelda_test::shared_data();
  if (!std::filesystem::exists(root + "/biopython/2n0n_M1.pdb")) GTEST_SKIP() << "shared data absent";
  // 2n0n_M1 ends with residue 9A after 9; disordered.pdb has A/B alternate C-alphas.
  auto ins = read_pdb(root + "/biopython/2n0n_M1.pdb");
  ASSERT_TRUE(ins) << ins.error().text();
  EXPECT_EQ(ins->residues.back().label, "9A");
  auto alt = read_pdb(root + "/biopython/disordered.pdb");
  ASSERT_TRUE(alt) << alt.error().text();
  EXPECT_EQ(alt->size(), 6u);
}

// ---------------------------------------------------------------------------------
// Inputs kept from fuzzing (fuzz/fuzz_pdb_reader.cpp): each must read to a domain or an
// error, nothing else.

TEST(FuzzRegressions, PdbReader) {
  const std::filesystem::path dir = std::string(KELDA_TEST_DATA) + "/fuzz/pdb_reader";
  if (!std::filesystem::exists(dir)) GTEST_SKIP() << "no regression inputs";
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    auto d = read_pdb(entry.path().string());
    // The toolkit's reading of the same bytes from memory: a model or an error, and one
    // chain of it a domain or an error.
    auto model = read_pdb_model_text(kelda_test::read_bytes(entry.path().string()), {});
    if (model) {
      auto read = choose_chain(*std::move(model), {}, "x", "");
      if (read) EXPECT_FALSE(read->domain.residues.empty()) << entry.path();
    } else {
      EXPECT_TRUE(model.error().kind == ErrorKind::Io || model.error().kind == ErrorKind::PdbParse);
    }
    if (!d) continue;
    EXPECT_FALSE(d->residues.empty()) << entry.path();
    for (std::size_t i = 0; i < d->residues.size(); ++i) EXPECT_EQ(d->residues[i].index, i);
  }
}

}  // namespace
