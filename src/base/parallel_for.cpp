// Parallel loops: see parallel_for.h.
//
// Invariant of ParallelFor: an item is started only below the lowest item
// that has raised so far, so every item below the one whose error comes
// out has run to its end.
#include "parallel_for.h"

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <exception>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace tessvane {
namespace {

std::atomic<std::uint32_t> overridden_cpu_count{0};  // 0: none

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
};

// One thread's part of a ParallelFor: items until none is left.
void TakeItems(LoopState& state, std::uint32_t count, std::uint32_t worker,
               const std::function<void(std::uint32_t, std::uint32_t)>& work) {
  for (;;) {
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

// Joins every thread it holds when it goes, on every way out.
struct JoiningThreads {
  std::vector<std::thread> threads;
  ~JoiningThreads() {
    for (std::thread& thread : threads) thread.join();
  }
};

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
    JoiningThreads helpers;
    const std::uint32_t wanted = workers < count ? workers : count;
    if (wanted > 1) helpers.threads.reserve(wanted - 1);
    for (std::uint32_t worker = 1; worker < wanted; ++worker) {
      try {
        helpers.threads.emplace_back(
            [&state, count, worker, &work] { TakeItems(state, count, worker, work); });
      } catch (const std::system_error&) {
        break;  // no more threads: the ones running share the items
      }
    }
    TakeItems(state, count, 0, work);
  }
  if (state.error) std::rethrow_exception(state.error);
}

}  // namespace tessvane
