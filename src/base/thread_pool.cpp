// ThreadPool: see thread_pool.h.
#include "thread_pool.h"

#include <pthread.h>

#include <csignal>
#include <system_error>
#include <utility>

namespace tessvane {
namespace {

// Blocks the termination signals on the calling thread while it lives, so
// that the threads it starts meanwhile inherit them blocked; restores the
// caller's mask when it goes.
class TerminationSignalsBlocked {
 public:
  TerminationSignalsBlocked() noexcept {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (const int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&blocked, signal_number);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~TerminationSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  TerminationSignalsBlocked(const TerminationSignalsBlocked&) = delete;
  TerminationSignalsBlocked& operator=(const TerminationSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace

ThreadPool::ThreadPool(std::uint32_t threads) {
  threads_.reserve(threads);
  const TerminationSignalsBlocked blocked;
  for (std::uint32_t thread = 0; thread < threads; ++thread) {
    try {
      threads_.emplace_back([this, thread] { Serve(thread); });
    } catch (const std::system_error&) {
      break;  // no more threads: the ones running take every job
    }
  }
}

ThreadPool::~ThreadPool() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  added_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void ThreadPool::Add(Job job) {
  if (threads_.empty()) {
    job(0);
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(job));
  }
  added_.notify_one();
}

void ThreadPool::Wait() noexcept {
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [this] { return queue_.empty() && running_ == 0; });
}

void ThreadPool::Serve(std::uint32_t thread) noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    added_.wait(lock, [this] { return ending_ || !queue_.empty(); });
    if (queue_.empty()) return;  // ending, and every job taken
    Job job = std::move(queue_.front());
    queue_.pop_front();
    ++running_;
    lock.unlock();
    job(thread);
    job = nullptr;  // what it holds goes before the job counts as done
    lock.lock();
    --running_;
    if (running_ == 0 && queue_.empty()) finished_.notify_all();
  }
}

}  // namespace tessvane
