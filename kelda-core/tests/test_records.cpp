// Record defaults, deep copies and CoreError texts.
#include <gtest/gtest.h>

#include <cerrno>

#include "kelda/error.hpp"
#include "kelda/records.hpp"

using namespace kelda;

TEST(CoreError, Texts) {
  struct Row { CoreError e; const char* text; };
  const Row rows[] = {
      {CoreError::too_small(2, 3), "Structure too small: 2 residues (minimum 3)"},
      {CoreError::no_common_atoms(), "No common atoms for superposition"},
      {CoreError::pdb_parse("x"), "PDB parsing error: x"},
      {CoreError::dssp_parse("y"), "DSSP parsing error: y"},
      {CoreError::domain_file("z"), "Domain file error: z"},
      {CoreError::invalid_parameter("p"), "Invalid parameter: p"},
      {CoreError::alignment_failed("q"), "Alignment failed: q"},
      {CoreError::io_errno(ENOENT), "I/O error: No such file or directory (os error 2)"},
      {CoreError::io("stream did not contain valid UTF-8"),
       "I/O error: stream did not contain valid UTF-8"},
  };
  for (const auto& r : rows) EXPECT_EQ(r.e.text(), r.text);
}

TEST(Result, ValueAndErrorAccess) {
  Result<int> ok = 4;
  Result<int> bad = CoreError::no_common_atoms();
  ASSERT_TRUE(ok);
  EXPECT_EQ(*ok, 4);
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind, ErrorKind::NoCommonAtoms);
  EXPECT_THROW((void)bad.value(), InternalFault);
  EXPECT_THROW((void)ok.error(), InternalFault);
}

TEST(Records, ParameterDefaults) {
  Parameters p;
  EXPECT_EQ(p.n_passes, 2u);
  EXPECT_EQ(p.e1, 2.0);
  EXPECT_EQ(p.e2, 5.0);
  EXPECT_EQ(p.gap_open, 3.0);
  EXPECT_EQ(p.gap_extend, 0.5);
  EXPECT_TRUE(p.use_secondary);
  EXPECT_EQ(p.max_iter, 100u);
  EXPECT_EQ(p.cutoff_dist, 10.0);
  EXPECT_EQ(p.score_cutoff, 2.0);
  EXPECT_EQ(p.convergence, 0.01);
  EXPECT_EQ(p.verbosity, 1u);
}

TEST(Records, DomainCopyIsDeep) {
  Domain d{"d1", "", {Residue{"1", 1, 2, 3, 0, U'A', U'C', 0}}, U'A', false};
  Domain c = d;
  c.residues[0].x = 99;
  c.residues.push_back(Residue{});
  EXPECT_EQ(d.residues.size(), 1u);
  EXPECT_EQ(d.residues[0].x, 1.0);
}

TEST(Utf8, RoundTripAndRejection) {
  const std::u32string s = U"A\u00C5\u4E2D\U0001F600";
  std::u32string back;
  ASSERT_TRUE(from_utf8(to_utf8(s), back));
  EXPECT_EQ(back, s);
  for (std::string bad : {std::string("\xff"), std::string("\xC3"), std::string("\xC0\x80"),
                          std::string("\xED\xA0\x80")})
    EXPECT_FALSE(from_utf8(bad, back)) << bad;
}
