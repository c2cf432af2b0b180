// parallel_for: every index once for any thread count, the lowest failing index reported,
// stop requests, and faults carried back to the calling thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "kelda/exec/parallel.hpp"

using namespace kelda;

namespace {

class Threads : public ::testing::TestWithParam<unsigned> {};

TEST_P(Threads, EveryIndexExactlyOnce) {
  for (std::size_t n : {0u, 1u, 2u, 7u, 1000u}) {
    std::vector<std::atomic<int>> hits(n);
    ASSERT_TRUE(parallel_for(n, GetParam(), {}, [&](std::size_t k) -> Status {
      hits[k].fetch_add(1);
      return Unit{};
    }));
    for (std::size_t k = 0; k < n; ++k) EXPECT_EQ(hits[k].load(), 1) << k;
  }
}

TEST_P(Threads, TheLowestFailingIndexIsReported) {
  // Indices 300 and 700 fail; whichever a thread meets first, 300 is the one reported.
  for (int round = 0; round < 20; ++round) {
    const Status s = parallel_for(1000, GetParam(), {}, [](std::size_t k) -> Status {
      if (k == 700 || k == 300) return CoreError::invalid_parameter("index " + std::to_string(k));
      return Unit{};
    });
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text(), "Invalid parameter: index 300");
  }
}

TEST_P(Threads, AStopRequestCancelsTheRest) {
  std::stop_source source;
  std::atomic<std::size_t> done{0};
  const Status s = parallel_for(100000, GetParam(), source.get_token(), [&](std::size_t k) -> Status {
    if (k == 10) source.request_stop();
    done.fetch_add(1);
    return Unit{};
  });
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().kind, ErrorKind::Cancelled);
  EXPECT_LT(done.load(), 1000u);
  // A stop requested once the last index has started changes nothing: indices are handed out
  // in order, so every other one has started too.
  std::stop_source late;
  EXPECT_TRUE(parallel_for(5, GetParam(), late.get_token(), [&](std::size_t k) -> Status {
    if (k == 4) late.request_stop();
    return Unit{};
  }));
}

TEST_P(Threads, FaultsReachTheCaller) {
  EXPECT_THROW((void)parallel_for(50, GetParam(), {}, [](std::size_t k) -> Status {
                 if (k == 17) throw std::bad_alloc();
                 return Unit{};
               }),
               std::bad_alloc);
}

TEST_P(Threads, EachThreadKeepsItsOwnState) {
  // A state made per thread and reused from index to index: the indices it saw add up to
  // every index once, whatever the split.
  std::mutex m;
  std::vector<std::size_t> seen;
  struct Tally {
    std::vector<std::size_t> own;
    std::mutex* m;
    std::vector<std::size_t>* seen;
    ~Tally() {
      std::lock_guard lock(*m);
      seen->insert(seen->end(), own.begin(), own.end());
    }
  };
  ASSERT_TRUE(parallel_for_with(
      500, GetParam(), {}, [&] { return Tally{{}, &m, &seen}; },
      [](Tally& t, std::size_t k) -> Status {
        t.own.push_back(k);
        return Unit{};
      }));
  std::sort(seen.begin(), seen.end());
  ASSERT_EQ(seen.size(), 500u);
  for (std::size_t k = 0; k < 500; ++k) EXPECT_EQ(seen[k], k);
}

INSTANTIATE_TEST_SUITE_P(Counts, Threads, ::testing::Values(1u, 2u, 3u, 8u));

TEST(ThreadCount, TheUsableCoresAreTheDefaultAndTheCap) {
  const unsigned cores = usable_cores();
  ASSERT_GE(cores, 1u);
  EXPECT_EQ(thread_count(0, 100000), cores);
  EXPECT_EQ(thread_count(100000, 100000), cores);
  EXPECT_EQ(thread_count(1, 100000), 1u);
  EXPECT_EQ(thread_count(0, 0), 1u);  // never more than the items, never none
  EXPECT_EQ(thread_count(0, 1), 1u);
  EXPECT_EQ(thread_count(cores, 2), std::min(cores, 2u));
}

}  // namespace
