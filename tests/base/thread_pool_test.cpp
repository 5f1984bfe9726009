// The thread pool: every job added runs once, on a thread of the pool
// named by a number below Threads(), and Wait returns only once they all
// have; with no thread a job runs on the caller; the pool's threads hold
// the termination signals blocked, and the caller's mask is as before.
#include "thread_pool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace tessvane {
namespace {

constexpr int TerminationSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// The calling thread's blocked signals among TerminationSignals.
std::set<int> BlockedTerminationSignals() {
  sigset_t mask;
  pthread_sigmask(SIG_BLOCK, nullptr, &mask);
  std::set<int> blocked;
  for (const int signal_number : TerminationSignals) {
    if (sigismember(&mask, signal_number) == 1) blocked.insert(signal_number);
  }
  return blocked;
}

TEST(ThreadPool, EveryJobRunsOnceAndWaitWaitsForAll) {
  struct Case {
    std::uint32_t threads;
    std::uint32_t jobs;
  };
  for (const Case c : {Case{1, 1}, Case{2, 50}, Case{4, 3}, Case{3, 400}}) {
    SCOPED_TRACE(::testing::Message() << c.threads << " threads, " << c.jobs << " jobs");
    ThreadPool pool(c.threads);
    ASSERT_EQ(pool.Threads(), c.threads);
    std::vector<std::atomic<int>> runs(c.jobs);
    std::atomic<bool> numbered_right{true};
    for (std::uint32_t k = 0; k < c.jobs; ++k) {
      pool.Add([&, k](std::uint32_t thread) {
        if (thread >= c.threads) numbered_right = false;
        if (k % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++runs[k];
      });
    }
    pool.Wait();
    for (std::uint32_t k = 0; k < c.jobs; ++k) EXPECT_EQ(runs[k].load(), 1) << "job " << k;
    EXPECT_TRUE(numbered_right.load());
  }
}

TEST(ThreadPool, WithNoThreadAJobRunsOnTheCaller) {
  ThreadPool pool(0);
  EXPECT_EQ(pool.Threads(), 0u);
  std::thread::id ran_on;
  std::uint32_t number = 99;
  pool.Add([&](std::uint32_t thread) {
    ran_on = std::this_thread::get_id();
    number = thread;
  });
  EXPECT_EQ(ran_on, std::this_thread::get_id());
  EXPECT_EQ(number, 0u);
  pool.Wait();
}

TEST(ThreadPool, ItsThreadsLeaveTheTerminationSignalsToTheMainThread) {
  const std::set<int> before = BlockedTerminationSignals();
  std::mutex mutex;
  std::vector<std::set<int>> seen;
  {
    ThreadPool pool(3);
    EXPECT_EQ(BlockedTerminationSignals(), before);
    for (int k = 0; k < 6; ++k) {
      pool.Add([&](std::uint32_t) {
        const std::set<int> blocked = BlockedTerminationSignals();
        const std::lock_guard lock(mutex);
        seen.push_back(blocked);
      });
    }
  }  // the destructor waits for every job
  const std::set<int> all(std::begin(TerminationSignals), std::end(TerminationSignals));
  ASSERT_EQ(seen.size(), 6u);
  for (const std::set<int>& blocked : seen) EXPECT_EQ(blocked, all);
}

}  // namespace
}  // namespace tessvane
