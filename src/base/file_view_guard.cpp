// The guard over mappings of files: see file_view_guard.h.
//
// The ranges live in a fixed table of atomic slots, so that the signal
// handler reads them without locks.  A slot is claimed by its start and
// given its size after; it is freed start first.  A start seen with a
// size of 0 matches no address, so the handler never acts on half a slot.
// The handler uses only mmap, sigaction and atomics.
#include "file_view_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>

namespace tessvane {
namespace {

struct GuardedRange {
  std::atomic<std::uintptr_t> begin{0};  // 0: free
  std::atomic<std::size_t> size{0};
};

constexpr int SlotCount = 4;
GuardedRange slots[SlotCount];
std::atomic<std::uint32_t> lost_views{0};

void RestoreDefaultAction() noexcept {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, nullptr);
}

void OnBusError(int, siginfo_t* info, void*) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (GuardedRange& slot : slots) {
    const std::uintptr_t begin = slot.begin.load();
    const std::size_t size = slot.size.load();
    if (begin == 0 || address - begin >= size) continue;
    // Zero pages in place of the file's: the faulting access is retried
    // and now succeeds.
    void* const zeroes = mmap(reinterpret_cast<void*>(begin), size, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeroes == MAP_FAILED) break;
    lost_views.fetch_add(1);
    return;
  }
  // Not a guarded range, or no memory for the zero pages: returning with
  // the default action retries the access, which then ends the process as
  // it would have without the guard.
  RestoreDefaultAction();
}

bool InstallHandler() noexcept {
  struct sigaction action {};
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGBUS, &action, nullptr) == 0;
}

}  // namespace

bool GuardFileView(void* begin, std::size_t size) noexcept {
  static const bool installed = InstallHandler();
  if (!installed || begin == nullptr || size == 0) return false;
  for (GuardedRange& slot : slots) {
    std::uintptr_t free = 0;
    if (!slot.begin.compare_exchange_strong(free, reinterpret_cast<std::uintptr_t>(begin))) continue;
    slot.size.store(size);
    return true;
  }
  return false;
}

void UnguardFileView(void* begin) noexcept {
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  for (GuardedRange& slot : slots) {
    if (start != 0 && slot.begin.load() == start) {
      slot.begin.store(0);
      slot.size.store(0);
    }
  }
}

std::uint32_t LostFileViews() noexcept { return lost_views.load(); }

}  // namespace tessvane
