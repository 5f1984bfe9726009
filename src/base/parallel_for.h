// Parallel loops: how many threads the process may keep busy, and a loop
// whose items run on that many threads.
//
// The thread count is the CPUs of the affinity mask, cut to the CPU quota
// of the cgroups the process runs in, so `taskset -c 0` or a container
// limited to one CPU gives one thread.  There is no option to change it.
//
// ParallelFor hands out items one at a time in increasing order, so a
// thread the scheduler holds up (other processes busy on every core) delays
// only the item it holds while the others take the rest.  The threads
// beyond the caller's start only when a CPU is free for them, and take an
// item only while no task waits for a CPU: when every core is busy
// already (a batch run with `xargs -P "$(nproc)"`), a second thread would
// only take turns with the other processes, and its start, its codec's
// memory and the switches cost more than it gains, so the calling thread
// does the work alone until a core is free again.  Its outcome is
// that of a plain loop from item 0: when items raise, the lowest one's
// error is the one that comes out, provided each item's error depends on
// the item alone.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

namespace tessvane {

// The threads the process may keep busy: the CPUs of its affinity mask,
// at most its cgroup CPU quota rounded up, at least 1.  Raises nothing.
std::uint32_t UsableCpuCount();

// The CPUs a cgroup v2 `cpu.max` text allows ("150000 100000" → 2, rounded
// up, at least 1); 0 for no limit ("max 100000") or text it cannot parse.
std::uint32_t CpusOfCpuMax(std::string_view text);

// The CPUs a cgroup v1 `cpu.cfs_quota_us` and `cpu.cfs_period_us` pair
// allows, as CpusOfCpuMax; 0 for no limit (a quota of -1) or bad text.
std::uint32_t CpusOfCfsQuota(std::string_view quota, std::string_view period);

// True when more tasks are runnable, counting more threads about to
// start, than the system has CPUs online, so that some task waits for
// one: a thread beyond the caller's would only take turns.  False when it
// cannot tell.  Raises nothing.
bool EveryCpuBusy(std::uint32_t more = 0);

// The runnable tasks a /proc/loadavg text counts (its fourth field,
// "running/total"); 0 for text it cannot parse.
std::uint32_t RunnableOfLoadavg(std::string_view text);

// While one lives, every CPU counts as busy (true) or as free (false) for
// ParallelFor, whatever the system's load: lets the tests fix who takes
// the items.  Not for nesting across threads.
class BusyCpusOverride {
 public:
  explicit BusyCpusOverride(bool busy) noexcept;
  ~BusyCpusOverride();
  BusyCpusOverride(const BusyCpusOverride&) = delete;
  BusyCpusOverride& operator=(const BusyCpusOverride&) = delete;

 private:
  int previous_;
};

// While one lives, UsableCpuCount() returns count instead, and every
// thread takes items however busy the CPUs are: lets the tests run the
// same work on one thread and on several.  Not for nesting across
// threads.
class UsableCpuOverride {
 public:
  explicit UsableCpuOverride(std::uint32_t count) noexcept;
  ~UsableCpuOverride();
  UsableCpuOverride(const UsableCpuOverride&) = delete;
  UsableCpuOverride& operator=(const UsableCpuOverride&) = delete;

 private:
  std::uint32_t previous_;
};

// Runs work(item, worker) for every item in 0 .. count − 1 on at most
// workers threads, the calling thread one of them; worker, in 0 ..
// workers − 1, names the thread, for state of its own (worker 0 is the
// caller).  The other threads start only when a CPU is free, and wait
// while every CPU is busy (see above).  Returns when every item started has finished.  Once an item
// raises, no item above it starts, and the error of the lowest item that
// raised is raised again here.  A thread the system will not start leaves
// its share to the others.
void ParallelFor(std::uint32_t count, std::uint32_t workers,
                 const std::function<void(std::uint32_t item, std::uint32_t worker)>& work);

}  // namespace tessvane
