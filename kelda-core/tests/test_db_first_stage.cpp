// The first stage's vector kernels against the plain form, on every path this processor has.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "kelda/database/first_stage.hpp"
#include "kelda/search/prefilter.hpp"

using namespace kelda;

namespace {

// The score by its definition: every pair of start points, every run length.
std::int32_t by_definition(const std::vector<std::uint8_t>& q, const std::vector<std::uint8_t>& t,
                           Alphabet alphabet) {
  std::int32_t best = 0;
  for (std::size_t i = 0; i < q.size(); ++i)
    for (std::size_t j = 0; j < t.size(); ++j) {
      std::int32_t run = 0;
      for (std::size_t k = 0; i + k < q.size() && j + k < t.size(); ++k) {
        run += coarse_letter_score(alphabet, q[i + k], t[j + k]);
        best = std::max(best, run);
      }
    }
  return best;
}

// n letters of `distinct` kinds spread over the alphabet's letters.
std::vector<std::uint8_t> random_letters(std::size_t n, std::uint32_t distinct, std::mt19937& g,
                                         Alphabet alphabet = Alphabet::Shape) {
  std::vector<std::uint8_t> out(n);
  const std::size_t size = alphabet_size(alphabet);
  for (auto& c : out) c = static_cast<std::uint8_t>(g() % distinct * (size / distinct));
  return out;
}

const UngappedKernel kKernels[] = {UngappedKernel::Scalar, UngappedKernel::Sse2, UngappedKernel::Avx2};
const Alphabet kAlphabets[] = {Alphabet::Shape, Alphabet::Contact};

}  // namespace

TEST(UngappedScore, PlainFormIsTheDefinition) {
  std::mt19937 g(17);
  for (Alphabet a : kAlphabets)
    for (int trial = 0; trial < 300; ++trial) {
      const std::uint32_t distinct = trial % 2 ? static_cast<std::uint32_t>(alphabet_size(a)) : 3;
      const auto q = random_letters(g() % 40, distinct, g, a);
      const auto t = random_letters(g() % 40, distinct, g, a);
      ASSERT_EQ(reference::ungapped_score(q, t, a), by_definition(q, t, a)) << trial;
    }
}

TEST(UngappedScore, VectorKernelsMatchThePlainForm) {
  // Lengths around the lanes' multiples, few letters (long runs, and scores that saturate
  // byte lanes), targets holding copies of the query with mutations.
  std::mt19937 g(23);
  const std::size_t lengths[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 257, 600};
  for (UngappedKernel kernel : kKernels) {
    if (!ungapped_kernel_available(kernel)) {
      std::printf("kernel %d not available on this processor: not tested\n", static_cast<int>(kernel));
      continue;
    }
    for (Alphabet a : kAlphabets) {
      const auto size = static_cast<std::uint32_t>(alphabet_size(a));
      for (int trial = 0; trial < 800; ++trial) {
        const std::uint32_t distinct = trial % 3 == 0 ? 2 : trial % 3 == 1 ? 7 : size;
        auto q = random_letters(lengths[g() % std::size(lengths)], distinct, g, a);
        auto t = random_letters(lengths[g() % std::size(lengths)], distinct, g, a);
        if (trial % 4 == 0 && q.size() > 4) {
          t.assign(q.begin() + 2, q.end());
          for (std::size_t k = 0; k < t.size(); k += 11) t[k] = static_cast<std::uint8_t>(g() % size);
        }
        const UngappedProfile p = ungapped_profile(q, a, kernel);
        ASSERT_EQ(p.kernel, kernel);
        ASSERT_EQ(ungapped_score(p, t), reference::ungapped_score(q, t, a))
            << "kernel " << static_cast<int>(kernel) << " trial " << trial << " " << q.size() << "x" << t.size();
      }
      // A long copy saturates the byte lanes: the exact score is taken again (every letter
      // of either alphabet scores positively against itself).
      const auto long_q = random_letters(400, size, g, a);
      const UngappedProfile p = ungapped_profile(long_q, a, kernel);
      std::int32_t self = 0;
      for (std::uint8_t c : long_q) self += coarse_letter_score(a, c, c);
      ASSERT_GT(self, detail::ungapped_cap(p));
      EXPECT_GE(ungapped_score(p, long_q), self);
      EXPECT_EQ(ungapped_score(p, long_q), reference::ungapped_score(long_q, long_q, a));
    }
  }
}
