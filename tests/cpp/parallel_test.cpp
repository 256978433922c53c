// Numbered tasks on several threads: every index runs once, whatever the
// thread count.
#include "tessarin/common/parallel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tessarin {
namespace {

class ForEachIndexTest : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(ForEachIndexTest, RunsEveryIndexOnce) {
  auto [count, threads] = GetParam();
  std::vector<std::atomic<int>> runs(count);
  parallel::for_each_index(count, threads, [&](std::size_t i) { ++runs[i]; });
  for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << "index " << i;
}

INSTANTIATE_TEST_SUITE_P(Counts, ForEachIndexTest,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 4},
                                           std::pair<std::size_t, std::size_t>{1, 0},
                                           std::pair<std::size_t, std::size_t>{1, 8},
                                           std::pair<std::size_t, std::size_t>{7, 2},
                                           std::pair<std::size_t, std::size_t>{1000, 3},
                                           std::pair<std::size_t, std::size_t>{3, 64}));

TEST(ForEachIndex, UsesSeveralThreadsAndTheCallingOne) {
  std::mutex mutex;
  std::set<std::thread::id> seen;
  std::atomic<int> waiting{0};
  // Each of the two tasks waits for the other to start: they can only both
  // finish when they run at once.
  parallel::for_each_index(2, 2, [&](std::size_t) {
    {
      std::lock_guard lock(mutex);
      seen.insert(std::this_thread::get_id());
    }
    ++waiting;
    while (waiting.load() < 2) std::this_thread::yield();
  });
  EXPECT_EQ(seen.size(), 2u);
  EXPECT_TRUE(seen.count(std::this_thread::get_id()));
}

TEST(ForEachIndex, CoreCountIsPositive) { EXPECT_GE(parallel::core_count(), 1u); }

}  // namespace
}  // namespace tessarin
