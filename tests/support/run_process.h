// Running programs from tests, the tessvane executable above all: the one
// way the tests launch the tool, waited for with its output captured
// (RunTessvane) or left running to be killed or raced (StartTessvane).
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "syscall_faults.h"

namespace testing_support {

struct ProcessResult {
  int exit_code = -1;    // -1 when the process was killed by a signal
  int signal = 0;        // the signal that ended it, or 0
  std::string output;    // standard output
  std::string errors;    // standard error
};

// How a child is started.  In the child, in this order: the environment,
// in_child, the user, the faults, the time limit; then the program.
struct ProcessOptions {
  std::string input{};                // standard input, then end of input
  bool close_input = false;           // start with standard input closed
  bool close_output = false;          // standard output is a pipe closed at once
  std::function<void()> in_child{};   // runs in the child before exec
  std::optional<std::string> state_home{};  // XDG_STATE_HOME: unset when empty
  std::optional<std::string> home{};        // HOME, when given
  bool as_nobody = false;             // runs as user and group nobody (needs root)
  std::vector<SyscallFault> faults{};  // seccomp faults or kill points
  unsigned time_limit = 0;            // seconds until SIGALRM ends it; 0: none
  std::string output_file{};          // StartTessvane: standard output; else discarded
};

// Runs program with arguments and waits for it, its output and errors
// captured.  std::runtime_error when it cannot be started.
ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// Runs the tessvane executable under test, as RunProgram.
ProcessResult RunTessvane(const std::vector<std::string>& arguments,
                          const ProcessOptions& options = {});

// Starts the tessvane executable under test with standard input and error
// on /dev/null and standard output to options.output_file (/dev/null when
// empty), and returns at once: its pid, for WaitForProcess.  std::
// runtime_error when it cannot be started.
pid_t StartTessvane(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

// Waits for child to end; its wait status.
int WaitForProcess(pid_t child);

// For in_child: pins the child to the first CPU of its affinity mask, so
// that the tool runs on one thread; the child exits with 97 when it
// cannot.
void PinToOneCpu();

}  // namespace testing_support
