// end_to_end: whole-run timings of tessvane against tiffcp (the TIFF
// library's own read and write: the floor for any tool built on it), and
// against a peer's reconstruction call, in one run.
//
// Usage: end_to_end TESSVANE WORKDIR ROUNDS PEER|- PAGE.tif ...
//
// For each page and round, tessvane runs on a fresh copy of the page in
// WORKDIR (its fsync included), tiffcp copies the page into WORKDIR, and,
// for the first page, the peer program times its reconstruction call; the
// order rotates from round to round, so that each round's ratios compare
// runs made under the same load.  Prints median times, the medians of the
// per-round ratios, and tessvane's peak resident memory per pixel.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Run {
  double seconds = 0;
  long peak_kib = 0;  // ru_maxrss
  std::string output;
};

// Runs a command with standard input and error from /dev/null; returns its
// wall time, peak memory and standard output.  Exits on failure.
Run Execute(const std::vector<std::string>& command) {
  int out[2];
  if (pipe(out) != 0) std::exit(1);
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    close(out[0]);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  Run run;
  char buffer[256];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.peak_kib = usage.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "end_to_end: %s failed\n", command[0].c_str());
    std::exit(1);
  }
  return run;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Pixels(const std::string& page) {
  TIFF* tiff = TIFFOpen(page.c_str(), "r");
  if (tiff == nullptr) std::exit(1);
  std::uint32_t width = 0, height = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFClose(tiff);
  return static_cast<double>(width) * height;
}

// A fresh copy of page at path, flushed so that it costs the run nothing.
void FreshCopy(const std::string& page, const std::string& path) {
  std::filesystem::copy_file(page, path, std::filesystem::copy_options::overwrite_existing);
  const int fd = open(path.c_str(), O_RDONLY);
  fsync(fd);
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: end_to_end TESSVANE WORKDIR ROUNDS PEER|- PAGE.tif ...\n");
    return 2;
  }
  const std::string tessvane = argv[1];
  const std::string workdir = argv[2];
  const int rounds = std::atoi(argv[3]);
  const std::string peer = argv[4];
  const std::string work_copy = workdir + "/run.tif";
  const std::string tiffcp_copy = workdir + "/tiffcp-out.tif";

  for (int page_index = 5; page_index < argc; ++page_index) {
    const std::string page = argv[page_index];
    const std::string name = std::filesystem::path(page).filename().string();
    const bool with_peer = peer != "-" && page_index == 5;
    const int commands = with_peer ? 3 : 2;
    std::vector<double> ours, floor, calls, floor_ratios, peer_ratios;
    long peak_kib = 0;
    for (int round = 0; round < rounds; ++round) {
      Run tool, copy, call;
      for (int turn = 0; turn < commands; ++turn) {  // the order rotates with the round
        switch ((turn + round) % commands) {
          case 0:
            FreshCopy(page, work_copy);
            tool = Execute({tessvane, work_copy});
            break;
          case 1:
            std::filesystem::remove(tiffcp_copy);
            copy = Execute({"tiffcp", page, tiffcp_copy});
            break;
          default:
            call = Execute({peer, page});
            call.seconds = std::atof(call.output.c_str());  // the call alone
        }
      }
      ours.push_back(tool.seconds);
      floor.push_back(copy.seconds);
      floor_ratios.push_back(tool.seconds / copy.seconds);
      if (with_peer) {
        calls.push_back(call.seconds);
        peer_ratios.push_back(tool.seconds / call.seconds);
      }
      peak_kib = std::max(peak_kib, tool.peak_kib);
    }
    std::printf("%s: tessvane %.3f s, tiffcp %.3f s; tessvane / tiffcp %.2f\n", name.c_str(),
                Median(ours), Median(floor), Median(floor_ratios));
    if (with_peer) {
      std::printf("%s: peer reconstruction call %.3f s; tessvane whole run / peer call %.2f\n",
                  name.c_str(), Median(calls), Median(peer_ratios));
    }
    std::printf("%s: peak resident memory / pixels %.3f\n", name.c_str(),
                peak_kib * 1024.0 / Pixels(page));
  }
  std::printf("(medians of %d rounds; ratios are medians of the per-round ratios)\n", rounds);
  std::filesystem::remove(work_copy);
  std::filesystem::remove(tiffcp_copy);
  return 0;
}
