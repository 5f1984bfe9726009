// Child processes for end-to-end tests: fork, pipes, exec, wait.
#include "run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace testing_support {
namespace {

void ReadInto(int fd, std::string& text, bool& open) {
  char buffer[4096];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got > 0) {
    text.append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    open = false;
  }
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
    if (options.in_child) options.in_child();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
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
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessResult RunTessvane(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  return RunProgram(TESSVANE_PATH, arguments, options);
}

}  // namespace testing_support
