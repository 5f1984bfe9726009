// HeldSignals: the termination signals (SIGHUP, SIGINT, SIGQUIT, SIGTERM)
// held back for a scope, so that a step that must not be cut short (the
// overwrite of a file and its backup's life, or a restore) completes.  A
// signal that arrives meanwhile is delivered when the scope ends.  The
// mask is the calling thread's (pthread_sigmask): the thread that runs the
// step is the one that must not be interrupted.
#pragma once

#include <pthread.h>
#include <signal.h>

namespace tessvane {

class HeldSignals {
 public:
  // Blocks the four signals; cannot fail for valid signal numbers.
  HeldSignals() noexcept {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
      sigaddset(&held, signal_number);
    }
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
  HeldSignals(HeldSignals&&) = delete;
  HeldSignals& operator=(HeldSignals&&) = delete;
  // Restores the mask of before; pending signals are delivered now.
  ~HeldSignals() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_{};
};

}  // namespace tessvane
