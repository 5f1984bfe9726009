// Parallel loops: every item once, on several threads at a time, the
// lowest failing item's error, and the thread count from the affinity mask
// and the cgroup quota texts.
#include "parallel_for.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessvane {
namespace {

// With the CPUs taken as free, so that helpers are started whatever else
// the machine runs (no items at all once asked for four billion threads).
TEST(ParallelFor, RunsEveryItemOnceOnTheWorkersItIsGiven) {
  const BusyCpusOverride free_cpus(false);
  for (const std::uint32_t count : {0u, 1u, 5u, 1000u}) {
    for (const std::uint32_t workers : {1u, 2u, 7u}) {
      std::vector<std::atomic<int>> runs(count);
      std::atomic<bool> worker_in_range{true};
      ParallelFor(count, workers, [&](std::uint32_t item, std::uint32_t worker) {
        runs[item].fetch_add(1);
        if (worker >= workers) worker_in_range = false;
      });
      for (std::uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(runs[i].load(), 1) << "item " << i << " of " << count << ", " << workers;
      }
      EXPECT_TRUE(worker_in_range.load());
    }
  }
}

// Two items that each wait for the other to start can only both finish
// when they run at the same time.
TEST(ParallelFor, RunsItemsAtTheSameTime) {
  const BusyCpusOverride free_cpus(false);  // other tests may keep the CPUs busy
  std::atomic<int> started{0};
  std::atomic<bool> met{true};
  ParallelFor(2, 2, [&](std::uint32_t, std::uint32_t) {
    started.fetch_add(1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started.load() < 2) {
      if (std::chrono::steady_clock::now() > deadline) {
        met = false;
        return;
      }
      std::this_thread::yield();
    }
  });
  EXPECT_TRUE(met.load());
}

// Item 9 fails at once, item 3 only after a while: the error that comes out
// is item 3's, as a loop from 0 would raise it, and every item below it ran.
TEST(ParallelFor, RaisesTheErrorOfTheLowestFailingItem) {
  for (const std::uint32_t workers : {1u, 2u, 4u}) {
    std::vector<std::atomic<int>> runs(40);
    try {
      ParallelFor(40, workers, [&](std::uint32_t item, std::uint32_t) {
        runs[item].fetch_add(1);
        if (item == 9) throw std::runtime_error("item 9");
        if (item == 3) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          throw std::runtime_error("item 3");
        }
      });
      ADD_FAILURE() << "nothing raised with " << workers << " workers";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "item 3") << workers << " workers";
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(runs[i].load(), 1) << "item " << i;
    if (workers == 1) {
      EXPECT_EQ(runs[4].load(), 0);  // a plain loop stops at 3
    }
  }
}

// When every CPU is busy with other work, the calling thread takes every
// item, in order, and the other threads none.
TEST(ParallelFor, OnBusyCpusTheCallerTakesEveryItem) {
  const BusyCpusOverride busy(true);
  std::vector<std::uint32_t> taken;
  std::atomic<bool> helper_took{false};
  ParallelFor(200, 4, [&](std::uint32_t item, std::uint32_t worker) {
    if (worker != 0) {
      helper_took = true;
      return;
    }
    taken.push_back(item);
  });
  EXPECT_FALSE(helper_took.load());
  ASSERT_EQ(taken.size(), 200u);
  for (std::uint32_t i = 0; i < 200; ++i) EXPECT_EQ(taken[i], i);
}

TEST(ParallelFor, RunnableTasksComeFromTheLoadavgText) {
  EXPECT_EQ(RunnableOfLoadavg("0.52 0.58 0.59 3/178 12345\n"), 3u);
  EXPECT_EQ(RunnableOfLoadavg("12.00 9.50 8.00 17/2048 99"), 17u);
  EXPECT_EQ(RunnableOfLoadavg("0.52 0.58 0.59"), 0u);
  EXPECT_EQ(RunnableOfLoadavg("0.52 0.58 0.59 x/178 1"), 0u);
  EXPECT_EQ(RunnableOfLoadavg(""), 0u);
}

TEST(UsableCpus, QuotaTextsGiveWholeCpusRoundedUp) {
  struct Case {
    const char* cpu_max;
    std::uint32_t cpus;
  };
  for (const Case& c : {Case{"max 100000\n", 0}, Case{"100000 100000\n", 1},
                        Case{"150000 100000\n", 2}, Case{"50000 100000", 1},
                        Case{"400000 100000", 4}, Case{"", 0}, Case{"garbage", 0},
                        Case{"0 100000", 0}, Case{"100000 0", 0}}) {
    EXPECT_EQ(CpusOfCpuMax(c.cpu_max), c.cpus) << c.cpu_max;
  }
  EXPECT_EQ(CpusOfCfsQuota("-1\n", "100000\n"), 0u);
  EXPECT_EQ(CpusOfCfsQuota("250000\n", "100000\n"), 3u);
  EXPECT_EQ(CpusOfCfsQuota("", "100000"), 0u);
}

// The count follows the calling thread's affinity mask: one CPU, one thread.
TEST(UsableCpus, FollowTheAffinityMask) {
  cpu_set_t all;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  const std::uint32_t everything = UsableCpuCount();
  EXPECT_GE(everything, 1u);
  EXPECT_LE(everything, static_cast<std::uint32_t>(CPU_COUNT(&all)));

  cpu_set_t one;
  CPU_ZERO(&one);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  const std::uint32_t pinned = UsableCpuCount();
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  EXPECT_EQ(pinned, 1u);

  {
    const UsableCpuOverride seven(7);
    EXPECT_EQ(UsableCpuCount(), 7u);
  }
  EXPECT_EQ(UsableCpuCount(), everything);
}

}  // namespace
}  // namespace tessvane
