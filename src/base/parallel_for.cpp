// Parallel loops: see parallel_for.h.
//
// Invariant of ParallelFor: an item is started only below the lowest item
// that has raised so far, so every item below the one whose error comes
// out has run to its end.
#include "parallel_for.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "thread_pool.h"

namespace tessvane {
namespace {

std::atomic<std::uint32_t> overridden_cpu_count{0};  // 0: none
std::atomic<int> overridden_busy{-1};                 // -1: none, else 0 or 1

// The CPUs in the calling thread's affinity mask; 1 when it cannot be read.
std::uint32_t AffinityCpuCount() {
  for (int cpus = 1024; cpus <= (1 << 20); cpus *= 4) {
    cpu_set_t* const set = CPU_ALLOC(cpus);
    if (set == nullptr) return 1;
    const std::size_t size = CPU_ALLOC_SIZE(cpus);
    const bool read = sched_getaffinity(0, size, set) == 0;
    const int count = read ? CPU_COUNT_S(size, set) : 0;
    CPU_FREE(set);
    if (read) return count > 0 ? static_cast<std::uint32_t>(count) : 1;
    if (errno != EINVAL) return 1;  // EINVAL: the mask is wider than cpus
  }
  return 1;
}

// The whole content of a small file; empty when it cannot be read.
std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A decimal integer at the start of text, after blanks; false when none.
bool ParseInteger(std::string_view text, std::int64_t& value) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\n')) text.remove_prefix(1);
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc{} && end != text.data();
}

// quota / period CPUs rounded up, at least 1; 0 when either is not positive.
std::uint32_t CpusOfQuota(std::int64_t quota, std::int64_t period) {
  if (quota <= 0 || period <= 0) return 0;
  const std::int64_t cpus = quota / period + (quota % period != 0 ? 1 : 0);
  return cpus > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(cpus);
}

// The tightest of limit over the cgroup at path under root and every
// cgroup above it (a parent's quota binds its children); 0 for none.
template <typename Limit>
std::uint32_t TightestUpward(const std::string& root, std::string path, Limit limit) {
  std::uint32_t tightest = 0;
  for (;;) {
    const std::uint32_t cpus = limit(root + path);
    if (cpus != 0 && (tightest == 0 || cpus < tightest)) tightest = cpus;
    if (path.empty() || path == "/") return tightest;
    path.resize(path.rfind('/'));
  }
}

// The CPU quota of the process's cgroups, version 2 or version 1 (whose
// cpu controller may be mounted alone or with cpuacct); 0 for none.
std::uint32_t CgroupCpuLimit() {
  std::istringstream lines(FileText("/proc/self/cgroup"));
  std::uint32_t tightest = 0;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string path = line.substr(second + 1);
    std::uint32_t cpus = 0;
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      cpus = TightestUpward("/sys/fs/cgroup", path, [](const std::string& dir) {
        return CpusOfCpuMax(FileText(dir + "/cpu.max"));
      });
    } else if (("," + controllers + ",").find(",cpu,") != std::string::npos) {
      cpus = TightestUpward("/sys/fs/cgroup/" + controllers, path, [](const std::string& dir) {
        return CpusOfCfsQuota(FileText(dir + "/cpu.cfs_quota_us"),
                              FileText(dir + "/cpu.cfs_period_us"));
      });
    }
    if (cpus != 0 && (tightest == 0 || cpus < tightest)) tightest = cpus;
  }
  return tightest;
}

// What the threads of one ParallelFor share.
struct LoopState {
  std::atomic<std::uint64_t> next{0};           // the next item to hand out
  std::atomic<std::uint64_t> stop{UINT64_MAX};  // no item from here on starts
  std::mutex mutex;                             // guards failed and error
  std::uint64_t failed = UINT64_MAX;            // the lowest item that raised
  std::exception_ptr error;                     // its error
  std::mutex done_mutex;                        // guards done
  std::condition_variable done_changed;         // wakes threads waiting for a CPU
  bool done = false;                            // the caller took its last item
};

// True while items are left to hand out.
bool ItemsLeft(const LoopState& state, std::uint32_t count) {
  const std::uint64_t next = state.next.load(std::memory_order_relaxed);
  return next < count && next < state.stop.load(std::memory_order_acquire);
}

// How a thread other than the caller waits for a free CPU: it looks at
// most once a millisecond while CPUs are free (the look costs a few
// system calls, an item may take microseconds), and while every CPU is
// busy it sleeps, a quarter of a millisecond at first (a kernel thread
// busy for a moment on an idle machine must not keep it out long) and up
// to eight, so that a saturated machine wakes it seldom; the caller wakes it when it is done,
// so that the loop never ends waiting on a sleeper.
class CpuWait {
 public:
  // True once a CPU is free; false when the items ran out meanwhile.
  bool UntilACpuIsFree(LoopState& state, std::uint32_t count) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_free_ < std::chrono::milliseconds(1)) return true;
    std::chrono::microseconds pause(250);
    while (EveryCpuBusy()) {
      if (!ItemsLeft(state, count)) return false;
      std::unique_lock lock(state.done_mutex);
      if (state.done_changed.wait_for(lock, pause, [&state] { return state.done; })) return false;
      if (pause < std::chrono::milliseconds(8)) pause *= 2;
    }
    last_free_ = std::chrono::steady_clock::now();
    return true;
  }

 private:
  std::chrono::steady_clock::time_point last_free_{};
};

// One thread's part of a ParallelFor: items until none is left.
void TakeItems(LoopState& state, std::uint32_t count, std::uint32_t worker,
               const std::function<void(std::uint32_t, std::uint32_t)>& work) {
  CpuWait cpu_wait;
  for (;;) {
    if (worker != 0 && !cpu_wait.UntilACpuIsFree(state, count)) return;
    const std::uint64_t item = state.next.fetch_add(1, std::memory_order_relaxed);
    if (item >= count || item >= state.stop.load(std::memory_order_acquire)) return;
    try {
      work(static_cast<std::uint32_t>(item), worker);
    } catch (...) {
      const std::lock_guard lock(state.mutex);
      if (item < state.failed) {
        state.failed = item;
        state.error = std::current_exception();
        state.stop.store(item, std::memory_order_release);
      }
    }
  }
}

}  // namespace

std::uint32_t CpusOfCpuMax(std::string_view text) {
  std::int64_t quota = 0;
  std::int64_t period = 0;
  const std::size_t blank = text.find(' ');
  if (blank == std::string_view::npos || !ParseInteger(text.substr(0, blank), quota) ||
      !ParseInteger(text.substr(blank), period)) {
    return 0;  // "max" (no limit) lands here too
  }
  return CpusOfQuota(quota, period);
}

std::uint32_t CpusOfCfsQuota(std::string_view quota, std::string_view period) {
  std::int64_t quota_us = 0;
  std::int64_t period_us = 0;
  if (!ParseInteger(quota, quota_us) || !ParseInteger(period, period_us)) return 0;
  return CpusOfQuota(quota_us, period_us);
}

bool EveryCpuBusy(std::uint32_t more) {
  const int overridden = overridden_busy.load();
  if (overridden >= 0) return overridden == 1;
  if (overridden_cpu_count.load() != 0) return false;  // a test fixed the threads: all work
  const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[128];
  const ssize_t got = read(fd, text, sizeof text);
  close(fd);
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (got <= 0 || online <= 0) return false;
  const std::uint64_t runnable = RunnableOfLoadavg({text, static_cast<std::size_t>(got)});
  return runnable + more > static_cast<std::uint64_t>(online);
}

std::uint32_t RunnableOfLoadavg(std::string_view text) {
  for (int field = 0; field < 3; ++field) {  // past the three load averages
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) return 0;
    text.remove_prefix(blank + 1);
  }
  std::int64_t runnable = 0;
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos || !ParseInteger(text.substr(0, slash), runnable) ||
      runnable < 0 || runnable > UINT32_MAX) {
    return 0;
  }
  return static_cast<std::uint32_t>(runnable);
}

BusyCpusOverride::BusyCpusOverride(bool busy) noexcept
    : previous_(overridden_busy.exchange(busy ? 1 : 0)) {}

BusyCpusOverride::~BusyCpusOverride() { overridden_busy.store(previous_); }

std::uint32_t UsableCpuCount() {
  const std::uint32_t overridden = overridden_cpu_count.load();
  if (overridden != 0) return overridden;
  const std::uint32_t affinity = AffinityCpuCount();
  const std::uint32_t quota = CgroupCpuLimit();
  return quota != 0 && quota < affinity ? quota : affinity;
}

UsableCpuOverride::UsableCpuOverride(std::uint32_t count) noexcept
    : previous_(overridden_cpu_count.exchange(count)) {}

UsableCpuOverride::~UsableCpuOverride() { overridden_cpu_count.store(previous_); }

void ParallelFor(std::uint32_t count, std::uint32_t workers,
                 const std::function<void(std::uint32_t item, std::uint32_t worker)>& work) {
  LoopState state;
  {
    // A thread started when every CPU is busy would only wait; with no
    // items the caller alone finds that out.
    const std::uint32_t wanted =
        workers < 2 || count < 2 || EveryCpuBusy(1) ? 1 : workers < count ? workers : count;
    ThreadPool helpers(wanted - 1);
    for (std::uint32_t worker = 1; worker <= helpers.Threads(); ++worker) {
      helpers.Add([&state, count, worker, &work](std::uint32_t) { TakeItems(state, count, worker, work); });
    }
    TakeItems(state, count, 0, work);
    {
      const std::lock_guard lock(state.done_mutex);
      state.done = true;
    }
    state.done_changed.notify_all();
  }
  if (state.error) std::rethrow_exception(state.error);
}

}  // namespace tessvane
