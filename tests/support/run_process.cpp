// Child processes for end-to-end tests: fork, pipes, exec, wait.
//
// Invariant: a child never returns into the test: it runs the program or
// ends with _exit (99: it could not become nobody, 98: the faults were
// refused, 97: it could not be pinned to one CPU, 127: no program).
#include "run_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace testing_support {
namespace {

constexpr uid_t Nobody = 65534;

void ReadInto(int fd, std::string& text, bool& open) {
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    open = false;
  }
}

// In the child, its descriptors in place: sets it up as options say and
// runs program.
[[noreturn]] void SetUpAndRun(const std::string& program, const std::vector<std::string>& arguments,
                              const ProcessOptions& options) {
  // A child forked on a thread of a pool inherits its blocked termination
  // signals; the program starts with none blocked, as from a shell.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  if (options.state_home) {
    if (options.state_home->empty()) {
      unsetenv("XDG_STATE_HOME");
    } else {
      setenv("XDG_STATE_HOME", options.state_home->c_str(), 1);
    }
  }
  if (options.home) setenv("HOME", options.home->c_str(), 1);
  if (options.in_child) options.in_child();
  if (options.as_nobody &&
      (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0)) {
    _exit(99);
  }
  if (!options.faults.empty() && !InstallSyscallFaults(options.faults)) _exit(98);
  if (options.time_limit != 0) alarm(options.time_limit);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    if (options.close_input) {
      close(STDIN_FILENO);
    } else {
      dup2(in[0], STDIN_FILENO);
    }
    if (options.close_output) close(out[0]);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    SetUpAndRun(program, arguments, options);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  // The input is small; a closed pipe (the child did not read) is fine.
  const auto old_handler = std::signal(SIGPIPE, SIG_IGN);
  if (!options.input.empty()) {
    [[maybe_unused]] const ssize_t ignored = write(in[1], options.input.data(), options.input.size());
  }
  close(in[1]);
  if (options.close_output) close(out[0]);

  ProcessResult result;
  bool out_open = !options.close_output;
  bool err_open = true;
  while (out_open || err_open) {
    pollfd fds[2] = {{out_open ? out[0] : -1, POLLIN, 0}, {err_open ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) break;
    if (out_open && fds[0].revents != 0) ReadInto(out[0], result.output, out_open);
    if (err_open && fds[1].revents != 0) ReadInto(err[0], result.errors, err_open);
  }
  if (!options.close_output) close(out[0]);
  close(err[0]);
  std::signal(SIGPIPE, old_handler);
  const int status = WaitForProcess(child);
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessResult RunTessvane(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  return RunProgram(TESSVANE_PATH, arguments, options);
}

pid_t StartTessvane(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    const int out = options.output_file.empty()
                        ? null
                        : open(options.output_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    SetUpAndRun(TESSVANE_PATH, arguments, options);
  }
  return child;
}

int WaitForProcess(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

void PinToOneCpu() {
  cpu_set_t all;
  cpu_set_t one;
  CPU_ZERO(&one);
  if (sched_getaffinity(0, sizeof all, &all) != 0) _exit(97);
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &all)) {
      CPU_SET(cpu, &one);
      break;
    }
  }
  if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(97);
}

}  // namespace testing_support
