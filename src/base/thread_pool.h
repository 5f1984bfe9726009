// ThreadPool: a few threads that run jobs handed to them, made, given jobs
// and waited for (create, add, wait).  The one place the tool starts
// threads.
//
// The threads start when the pool is made, as many of those asked for as
// the system will start, each with the termination signals (SIGHUP,
// SIGINT, SIGQUIT, SIGTERM) blocked: such a signal is then taken by the
// main thread, whose handlers and held-off steps expect it there, never
// by a thread that is coding a block.  Jobs run in the order they are
// added, each whole on one thread, which passes its own number so that a
// job can keep state of its thread's.
//
// Invariant: a job taken from the queue counts as running until it has
// returned, so Wait never returns while a job added before it runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tessvane {

class ThreadPool {
 public:
  // A job: what one thread runs, given its number, 0 .. Threads() − 1.  A
  // job must raise nothing (one that does ends the process).
  using Job = std::function<void(std::uint32_t thread)>;

  // Starts up to threads threads, fewer (none, maybe) when the system
  // refuses one.  Raises std::bad_alloc.
  explicit ThreadPool(std::uint32_t threads);
  // Waits for every job added, then ends the threads.  Raises nothing.
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  // The threads running jobs.  Raises nothing.
  std::uint32_t Threads() const noexcept { return static_cast<std::uint32_t>(threads_.size()); }

  // Queues job for the first thread free; with no thread at all, runs it
  // at once on the caller's, as thread 0.  Raises std::bad_alloc.
  void Add(Job job);

  // Returns once every job added so far has returned.  Raises nothing.
  void Wait() noexcept;

 private:
  // One thread's part: jobs until the pool ends and the queue is empty.
  void Serve(std::uint32_t thread) noexcept;

  std::mutex mutex_;                  // guards everything below but threads_
  std::condition_variable added_;     // a job queued, or the pool ending
  std::condition_variable finished_;  // the last job running returned
  std::deque<Job> queue_;
  std::uint32_t running_ = 0;         // jobs taken and not yet returned
  bool ending_ = false;
  std::vector<std::thread> threads_;  // last: they end before the rest goes
};

}  // namespace tessvane
