// durable_copy: rewrites a TIFF file in place with the TIFF library's own
// copy tool, as durably as tessvane rewrites it: `tiffcp` into a new file
// beside it, fsync of the new file, rename over the old one, fsync of the
// directory.  It is the floor of a safe rewrite built on libtiff, and the
// benchmark's second reference beside a plain `tiffcp` copy.
//
// Usage: durable_copy FILE.tif
//
// Exits 0 when FILE.tif has been replaced and the replacement is on disk;
// 1 on any failure, with the temporary file removed.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Runs tiffcp from input to output; true when it exits with 0.
bool CopyWithTiffcp(const std::string& input, const std::string& output) {
  const pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    execlp("tiffcp", "tiffcp", input.c_str(), output.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Flushes the file or directory at path to disk; false on failure.
bool SyncPath(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: durable_copy FILE.tif\n");
    return 2;
  }
  const std::string target = argv[1];
  const std::size_t slash = target.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string temporary =
      directory + "/." + base + ".durable-" + std::to_string(getpid());

  if (CopyWithTiffcp(target, temporary) && SyncPath(temporary, O_RDONLY) &&
      rename(temporary.c_str(), target.c_str()) == 0 &&
      SyncPath(directory, O_RDONLY | O_DIRECTORY)) {
    return 0;
  }
  unlink(temporary.c_str());
  std::fprintf(stderr, "durable_copy: cannot rewrite %s\n", target.c_str());
  return 1;
}
