// The entry payload (coordinates exact to 0.001 A, labels, sequence, chain) and what the build
// reads files with: gzip under a cap, the format told by content, the mmCIF atom table.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "db_fixtures.hpp"
#include "io_test_files.hpp"
#include "kelda/db/entry_codec.hpp"
#include "kelda/io/gzip.hpp"
#include "kelda/io/mmcif_reader.hpp"
#include "kelda/io/structure_file.hpp"
#include "kelda/io/text.hpp"
#include "pairwise_fixtures.hpp"

using namespace kelda;

namespace {

// A chain with every kind of label a file holds and coordinates that need each coding.
Domain awkward_chain(std::size_t n, std::mt19937& g) {
  std::vector<Vec3> pts = fixtures::random_walk(n, g);
  std::uniform_real_distribution<double> far(-9999.0, 9999.0);
  const Vec3 offset{far(g), far(g), far(g)};
  for (std::size_t k = 0; k < n; ++k)
    for (int a = 0; a < 3; ++a) pts[k][a] += offset[a] + (k > n / 2 ? 40.0 : 0.0);  // a break
  Domain d;
  d.residues = fixtures::residues_from(pts);
  static const char* const kOdd[] = {"52A", "-3", "0", "007", "+5", "", "1000000", "9X", "-0"};
  int number = static_cast<int>(g() % 200) - 100;
  for (std::size_t k = 0; k < n; ++k) {
    const unsigned pick = g() % 10;
    if (pick == 0) d.residues[k].label = kOdd[g() % std::size(kOdd)];
    else if (pick == 1) d.residues[k].label = std::to_string(number -= 7);  // going back
    else d.residues[k].label = std::to_string(number += pick == 2 ? 3 : 1);  // gaps and runs
    d.residues[k].aa = static_cast<Char>("ACDEFGHIKLMNPQRSTVWYXUO"[g() % 23]);
  }
  EXPECT_TRUE(quantise_coordinates(d));
  return d;
}

}  // namespace

TEST(EntryCodec, RoundTripKeepsResiduesAndChain) {
  std::mt19937 g(5);
  for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 60u, 700u}) {
    for (int trial = 0; trial < 6; ++trial) {
      const Domain d = awkward_chain(n, g);
      const std::string chain = trial % 2 ? "AB12" : "";
      auto bytes = encode_entry(d, chain);
      ASSERT_TRUE(bytes) << bytes.error().message();
      const auto* p = reinterpret_cast<const std::uint8_t*>(bytes->data());
      auto back = decode_entry({p, bytes->size()}, static_cast<std::uint32_t>(n));
      ASSERT_TRUE(back) << back.error().message();
      EXPECT_EQ(back->chain, chain);
      ASSERT_EQ(back->domain.residues.size(), n);
      for (std::size_t k = 0; k < n; ++k) {
        const Residue &a = d.residues[k], &b = back->domain.residues[k];
        ASSERT_EQ(b.label, a.label) << n << " " << k;
        ASSERT_EQ(b.aa, a.aa);
        ASSERT_EQ(b.x, a.x);
        ASSERT_EQ(b.y, a.y);
        ASSERT_EQ(b.z, a.z);
        ASSERT_EQ(b.index, k);
      }
      EXPECT_EQ(entry_chain({p, bytes->size()}), std::string_view(chain));
    }
  }
}

TEST(EntryCodec, StoredCoordinatesAreTheFilesDecimals) {
  // A PDB coordinate read from its text and the stored integer read back are the same double:
  // both are the nearest double to the same three-decimal number.
  std::mt19937 g(11);
  for (int trial = 0; trial < 20000; ++trial) {
    const long milli = static_cast<long>(g() % 19999999) - 9999999;
    char text[32];
    std::snprintf(text, sizeof text, "%s%ld.%03ld", milli < 0 ? "-" : "", std::labs(milli) / 1000,
                  std::labs(milli) % 1000);
    const double parsed = *parse_decimal(text);
    Domain d;
    d.residues.resize(1);
    d.residues[0].x = parsed;
    ASSERT_TRUE(quantise_coordinates(d));
    ASSERT_EQ(d.residues[0].x, parsed) << text;
  }
}

TEST(EntryCodec, RefusesWhatItCannotStore) {
  std::mt19937 g(3);
  Domain nan = awkward_chain(5, g);
  nan.residues[2].y = std::nan("");
  Domain far = awkward_chain(5, g);
  far.residues[1].z = 3.0e6;
  Domain wide = awkward_chain(5, g);
  wide.residues[3].aa = U'\u00e9';
  const struct {
    const Domain* d;
    std::string chain;
  } rows[] = {{&nan, "A"}, {&far, "A"}, {&wide, "A"}, {&nan, std::string(300, 'C')}};
  for (const auto& row : rows) {
    auto bytes = encode_entry(*row.d, row.chain);
    ASSERT_FALSE(bytes);
    EXPECT_EQ(bytes.error().kind, ErrorKind::InvalidParameter);
  }
  EXPECT_FALSE(quantise_coordinates(nan));
  EXPECT_FALSE(quantise_coordinates(far));
}

TEST(EntryCodec, DamagedPayloadIsOneError) {
  std::mt19937 g(8);
  const Domain d = awkward_chain(40, g);
  const std::string good = *encode_entry(d, "A");
  const auto* p = reinterpret_cast<const std::uint8_t*>(good.data());
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    auto r = decode_entry({p, cut}, 40);
    ASSERT_FALSE(r) << cut;
    EXPECT_EQ(r.error().kind, ErrorKind::Database);
  }
  std::string longer = good + "x";
  EXPECT_FALSE(decode_entry({reinterpret_cast<const std::uint8_t*>(longer.data()), longer.size()}, 40));
  // A length the payload was not written for.
  EXPECT_FALSE(decode_entry({p, good.size()}, 41));
  EXPECT_FALSE(decode_entry({p, good.size()}, 39));
}

TEST(EntryCodec, RealChainsTakeAboutSixBytesAResidue) {
  // Coordinates (5 bytes a residue) and sequence (1); the letters add one more in their file.
  std::string buffer, scratch;
  auto model = read_structure_model(db_test::bundled("1tii.pdb"), {}, buffer, scratch);
  ASSERT_TRUE(model);
  std::size_t residues = 0, bytes = 0;
  for (const ChainCa& c : model->model.chains) {
    Domain d;
    d.residues = c.trace.residues();
    ASSERT_TRUE(quantise_coordinates(d));
    residues += d.size();
    bytes += encode_entry(d, c.name)->size();
  }
  ASSERT_GT(residues, 300u);
  EXPECT_LT(static_cast<double>(bytes) / static_cast<double>(residues), 6.3);
}

// ---- gzip under a cap ----------------------------------------------------------------------

TEST(Gunzip, ReadsMembersAndRefusesDamageAndBombs) {
  const std::string text(200000, 'A');
  const std::string gz = db_test::gzip_bytes(text);
  std::string out;
  ASSERT_TRUE(gunzip(gz, 1 << 20, out));
  EXPECT_EQ(out, text);
  ASSERT_TRUE(gunzip(gz + db_test::gzip_bytes("tail"), 1 << 20, out));  // two members
  EXPECT_EQ(out, text + "tail");
  // Zero padding between and after members, as tape archives leave it.
  const std::string padded = gz + std::string(3, '\0') + db_test::gzip_bytes("tail") + std::string(7, '\0');
  ASSERT_TRUE(gunzip(padded, 1 << 20, out));
  EXPECT_EQ(out, text + "tail");

  std::string corrupt = gz;
  corrupt[12] = static_cast<char>(corrupt[12] ^ 0x55);
  corrupt[13] = static_cast<char>(corrupt[13] ^ 0x55);
  const struct {
    std::string bytes;
    std::size_t cap;
    const char* message;
  } rows[] = {
      {gz.substr(0, gz.size() / 2), 1 << 20, "truncated gzip file"},
      {gz.substr(0, gz.size() - 4), 1 << 20, "truncated gzip file"},
      {corrupt, 1 << 20, "corrupt gzip data"},
      {gz, 100000, "gzip data that inflates past 100000 bytes"},
      {gz + "junk", 1 << 20, "corrupt gzip data (data after the last gzip member is not gzip data)"},
      {padded + "x", 1 << 20, "corrupt gzip data (data after the last gzip member"},
  };
  for (const auto& row : rows) {
    auto ok = gunzip(row.bytes, row.cap, out);
    ASSERT_FALSE(ok) << row.message;
    EXPECT_NE(ok.error().message().find(row.message), std::string::npos) << ok.error().message();
    EXPECT_FALSE(ok.error().file_system_failure());
  }
}

TEST(Gunzip, ABombStopsAtTheCapWithoutTakingItsSize) {
  // 256 MiB of zeros compress to about a megabyte; reading stops one byte past the cap.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string gz(2 << 20, '\0');
  const std::string zeros(1 << 20, '\0');
  z.next_out = reinterpret_cast<Bytef*>(gz.data());
  z.avail_out = static_cast<uInt>(gz.size());
  for (int k = 0; k < 256; ++k) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    z.avail_in = static_cast<uInt>(zeros.size());
    ASSERT_EQ(deflate(&z, k == 255 ? Z_FINISH : Z_NO_FLUSH), k == 255 ? Z_STREAM_END : Z_OK);
  }
  gz.resize(z.total_out);
  deflateEnd(&z);
  std::string out;
  auto ok = gunzip(gz, 16 << 20, out);
  ASSERT_FALSE(ok);
  EXPECT_NE(ok.error().message().find("inflates past 16 MiB"), std::string::npos);
  EXPECT_LE(out.capacity(), std::size_t{64} << 20);
}

// ---- reading structure files ---------------------------------------------------------------

TEST(StructureFile, FormatIsToldByContentThenName) {
  const struct {
    const char* path;
    const char* head;
    StructureFormat format;
  } rows[] = {
      {"x.pdb", "data_1ABC\n", StructureFormat::Mmcif},
      {"x.pdb", "# comment\n\n  DATA_x\n", StructureFormat::Mmcif},
      {"x.cif", "HEADER    x\nATOM      1  CA\n", StructureFormat::Pdb},
      {"x.cif.GZ", "loop_\n_atom_site.id\n", StructureFormat::Mmcif},
      {"x.mmcif", "", StructureFormat::Mmcif},
      {"x.ent", "loop_\n", StructureFormat::Pdb},
      {"x", "REMARK 1\n", StructureFormat::Pdb},
  };
  for (const auto& row : rows) EXPECT_EQ(structure_format(row.path, row.head), row.format) << row.path;
}

TEST(StructureFile, UnreadableFilesSayWhy) {
  kelda_test::TempDir dir;
  kelda_test::write_bytes(dir.file("empty.pdb"), "  \n\n");
  kelda_test::write_bytes(dir.file("empty.pdb.gz"), db_test::gzip_bytes("\n"));
  const std::string gz = db_test::gzip_bytes(kelda_test::read_bytes(db_test::bundled("1sp1.pdb")));
  kelda_test::write_bytes(dir.file("cut.pdb.gz"), gz.substr(0, gz.size() / 3));
  kelda_test::write_bytes(dir.file("nothing.cif"), "data_x\n_cell.length_a 1\n");
  kelda_test::write_bytes(dir.file("quote.cif"), "data_x\nloop_\n_atom_site.id\n'open\n");
  const struct {
    std::string file;
    const char* message;
  } rows[] = {
      {"empty.pdb", "empty file"},
      {"empty.pdb.gz", "empty file (once decompressed)"},
      {"cut.pdb.gz", "truncated gzip file"},
      {"missing.pdb", "No such file or directory"},
      {"nothing.cif", "no protein chain: no atoms (_atom_site) in the mmCIF file"},
      {"quote.cif", "mmCIF parse error: a quoted value is not closed on its line (line 4)"},
  };
  std::string buffer, scratch;
  for (const auto& row : rows) {
    auto r = read_structure_model(dir.file(row.file), {}, buffer, scratch);
    ASSERT_FALSE(r) << row.file;
    EXPECT_NE(r.error().message().find(row.message), std::string::npos) << r.error().message();
  }
}

TEST(MmcifReader, TakesAuthorColumnsFirstAndKeepsGemmisOrder) {
  // Row values follow gemmi's reading: the author's atom, residue and chain names and number
  // where given ('?' or '.' fall back to the label's), quoted values, text fields, comments.
  const std::string text =
      "data_t\n# a comment\nloop_\n_atom_site.group_PDB\n_atom_site.type_symbol\n"
      "_atom_site.label_atom_id\n_atom_site.auth_atom_id\n_atom_site.label_alt_id\n"
      "_atom_site.label_comp_id\n_atom_site.auth_comp_id\n_atom_site.label_asym_id\n"
      "_atom_site.auth_asym_id\n_atom_site.label_seq_id\n_atom_site.auth_seq_id\n"
      "_atom_site.pdbx_PDB_ins_code\n_atom_site.Cartn_x\n_atom_site.Cartn_y\n"
      "_atom_site.Cartn_z\n_atom_site.B_iso_or_equiv\n_atom_site.pdbx_PDB_model_num\n"
      "ATOM C CA CX . ALA GLY A B 1 5 ? 1 2 3 10 1\n"           // author atom name CX
      "ATOM C CB \"CA\" . ALA GLY A B 1 5 ? 1 2 3 10.4567 1\n"  // quoted author CA
      "ATOM C CA CA . SER ? A B 2 ? ? 4 5 6 10 1\n"              // label residue and number
      "ATOM C CA CA B ALA GLY A B 1 5 ? 1 2 3 10 1\n"           // residue 5 again, altloc B
      "ATOM C CA CA A THR THR A . 3 7 A 7 8 9 10 1\n"            // label chain, insertion
      "HETATM CA CA CA . CA CA C C . 1 ? 0 0 0 1 1\n"           // a calcium ion
      "ATOM C CA CA . VAL VAL A B 4 8 ? 1 1 1 1 2\n"             // model 2
      "ATOM C CA CA . ILE ILE A B 1 9 ? 9 9 9 9 1\n"             // model 1 again
      ";a text\nfield\n;\n";
  // A text field cannot stand in a row of this loop: the values end a row short.
  auto bad = read_mmcif_ca_rows(text);
  ASSERT_FALSE(bad);
  EXPECT_NE(bad.error().message().find("ends inside a row"), std::string::npos);

  const std::string good = text.substr(0, text.find(";a text"));
  auto rows = read_mmcif_ca_rows(good);
  ASSERT_TRUE(rows) << rows.error().message();
  std::vector<std::string> seen;
  for (const AtomRow& r : *rows)
    seen.push_back(r.residue_name + "/" + r.chain + "/" + r.number + "/" + std::to_string(r.model));
  // The second row of residue 5 joins the first; model 1's last row comes before model 2.
  const std::vector<std::string> expected = {"GLY/B/5/1", "GLY/B/5/1", "SER/B/2/1", "THR/A/7/1",
                                             "CA/C/1/1",  "ILE/B/9/1", "VAL/B/8/2"};
  EXPECT_EQ(seen, expected);
  EXPECT_DOUBLE_EQ((*rows)[0].b_factor, 10.457);  // single precision, three decimals
  EXPECT_EQ((*rows)[1].altloc, U'B');
  EXPECT_EQ((*rows)[3].insertion, U'A');
  EXPECT_EQ((*rows)[3].altloc, U'A');
  EXPECT_TRUE((*rows)[4].hetero && (*rows)[4].calcium);
  auto model = read_mmcif_model_text(good, std::nullopt);
  ASSERT_TRUE(model);
  ASSERT_EQ(model->chains.size(), 2u);  // B, A: the ion is not a C-alpha
  // Residues 5 (altloc B is not taken), 2 and 9.
  EXPECT_EQ(model->chains[0].trace.size(), 3u);
}
