// end_to_end: whole-run timings of tessvane against two floors, and against
// a peer's reconstruction call, in one run.
//
// Usage: end_to_end [OPTIONS] PAGE.tif ...
//   --tessvane PATH     the tool (default build/tessvane)
//   --durable PATH      the durable copy, durable_copy (default build/bench/durable_copy)
//   --workdir DIR       where the copies are made (default build/bench-data)
//   --rounds N          warm rounds for each page (default 7)
//   --cold-rounds N     cold rounds for each page (default 5; 0: none)
//   --pause SECONDS     idle time before each cold run (default 4)
//   --warm-only PAGE    a page timed warm only (may repeat)
//   --peer PATH         the peer program, timed on the first page, warm
//   --batch PAGE        a page copied --batch-pages times for the batch figure
//   --batch-pages N     (default 40)
//   --batch-rounds N    (default 5)
//   --page-count FILE   a file of many pages; given twice, the second with
//                       more pages, each is timed warm for --rounds rounds
//                       and the ratio of their times printed beside the
//                       ratio of their pages
//
// The floors are `tiffcp` copying the page into a new file (the TIFF
// library's own read and write, and nothing more) and durable_copy
// rewriting a copy of a page in place as safely as tessvane does
// (`tiffcp` to a temporary file, fsync, rename over the old file,
// directory fsync), once on the input page and once on tessvane's output
// for it (the cleared page, which codes faster or slower than the input):
// the single-thread codec floors.  tessvane runs on a fresh copy of the
// page in the working directory, its own fsyncs included, with every CPU
// it is given and pinned to one (`taskset -c 0`).
//
// Warm: the page is in the page cache and each timed run follows an
// untimed run of the same command at once, getting the memory that run
// just freed: a batch as users run it.  Cold: before each run the page
// cache is dropped (as root) and the process waits --pause seconds, long
// enough for this virtual machine to hand the freed memory back to its
// host; the run then reads from the disk and gets fresh memory, as a first
// run after idle does.
//
// The commands take turns in an order that rotates from round to round, so
// that each round's ratios compare runs made under the same load.  Prints
// median times, the medians of the per-round ratios, tessvane's peak
// resident memory per pixel (the larger of its two runs), and the batch figure: --batch-pages copies of
// a page rewritten through `xargs -0 -P 2 -n 1`, by tessvane and by
// durable_copy; and the page-count figure, which grows in step with the
// pages when each page of a file costs the same, however many come before
// it.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
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
  if (values.empty()) return 0;
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

struct Options {
  std::string tessvane = "build/tessvane";
  std::string durable = "build/bench/durable_copy";
  std::string workdir = "build/bench-data";
  std::string peer;
  std::string batch_page;
  int rounds = 7;
  int cold_rounds = 5;
  int pause_seconds = 4;
  int batch_pages = 40;
  int batch_rounds = 5;
  std::vector<std::string> pages;
  std::vector<std::string> warm_only;
  std::vector<std::string> page_counts;
};

// Reads the command line; exits with 2 on a malformed one.
Options ParseOptions(int argc, char** argv) {
  Options options;
  const std::map<std::string, std::string*> texts = {
      {"--tessvane", &options.tessvane}, {"--durable", &options.durable},
      {"--workdir", &options.workdir},   {"--peer", &options.peer},
      {"--batch", &options.batch_page}};
  const std::map<std::string, int*> numbers = {
      {"--rounds", &options.rounds},           {"--cold-rounds", &options.cold_rounds},
      {"--pause", &options.pause_seconds},     {"--batch-pages", &options.batch_pages},
      {"--batch-rounds", &options.batch_rounds}};
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.rfind("--", 0) != 0) {
      options.pages.push_back(word);
      continue;
    }
    if (i + 1 >= argc) std::exit(2);
    const std::string value = argv[++i];
    if (word == "--warm-only") {
      options.warm_only.push_back(value);
    } else if (word == "--page-count") {
      options.page_counts.push_back(value);
    } else if (texts.count(word) != 0) {
      *texts.at(word) = value;
    } else if (numbers.count(word) != 0) {
      *numbers.at(word) = std::atoi(value.c_str());
    } else {
      std::fprintf(stderr, "end_to_end: unknown option %s\n", word.c_str());
      std::exit(2);
    }
  }
  return options;
}

// Drops the page cache and waits, so that the next run starts cold.  True
// when the cache could be dropped (root only).
bool GoCold(int pause_seconds) {
  sync();
  bool dropped = false;
  if (FILE* control = std::fopen("/proc/sys/vm/drop_caches", "w")) {
    dropped = std::fputs("3\n", control) >= 0;
    dropped = std::fclose(control) == 0 && dropped;
  }
  std::this_thread::sleep_for(std::chrono::seconds(pause_seconds));
  return dropped;
}

// The median times and ratios of one page in one mode.
struct Figures {
  std::vector<double> ours, one_cpu, copy, durable, durable_out, peer;
  std::vector<double> copy_ratios, durable_ratios, durable_out_ratios, one_cpu_ratios,
      one_cpu_out_ratios, peer_ratios;
  long peak_kib = 0;
};

// The commands a round times, by number; the peer last, as it is optional.
enum Command { Tessvane, TessvaneOneCpu, Tiffcp, DurableCopy, DurableOutput, Peer };
constexpr int CommandsWithoutPeer = Peer;

// The cleared page tessvane makes of page, kept in the working directory:
// what DurableOutput rewrites.
std::string ClearedPage(const Options& options, const std::string& page) {
  return options.workdir + "/cleared-" + std::filesystem::path(page).filename().string();
}

// The file command writes: a fresh copy of the page for tessvane and
// durable_copy, tiffcp's output file; tag keeps an untimed run's apart.
std::string Target(const Options& options, Command command, const std::string& tag) {
  if (command == Tessvane) return options.workdir + "/run" + tag + ".tif";
  if (command == TessvaneOneCpu) return options.workdir + "/run-one-cpu" + tag + ".tif";
  if (command == DurableCopy) return options.workdir + "/durable-run" + tag + ".tif";
  if (command == DurableOutput) return options.workdir + "/durable-out-run" + tag + ".tif";
  return options.workdir + "/tiffcp-out" + tag + ".tif";
}

// Makes command's target as a run expects to find it.
void Prepare(const Options& options, const std::string& page, Command command,
             const std::string& tag) {
  if (command == Tessvane || command == TessvaneOneCpu || command == DurableCopy) {
    FreshCopy(page, Target(options, command, tag));
  }
  if (command == DurableOutput) FreshCopy(ClearedPage(options, page), Target(options, command, tag));
  if (command == Tiffcp) std::filesystem::remove(Target(options, command, tag));
}

// Runs command on page (its target prepared); the peer's time is its call alone.
Run Perform(const Options& options, const std::string& page, Command command,
            const std::string& tag) {
  const std::string target = Target(options, command, tag);
  if (command == Tessvane) return Execute({options.tessvane, target});
  if (command == TessvaneOneCpu) return Execute({"taskset", "-c", "0", options.tessvane, target});
  if (command == Tiffcp) return Execute({"tiffcp", page, target});
  if (command == DurableCopy || command == DurableOutput) return Execute({options.durable, target});
  Run call = Execute({options.peer, page});
  call.seconds = std::atof(call.output.c_str());
  return call;
}

// One round on page: each command once, in an order rotated by round.
// Warm, each timed run follows an untimed run of the same command at once,
// as in a batch: it gets the memory that run has just freed, not memory
// the system may have handed back to the host in the second or so another
// command took (see docs/performance.md).
void TimeRound(const Options& options, const std::string& page, bool cold, bool with_peer,
               int round, Figures& figures) {
  const int commands = with_peer ? CommandsWithoutPeer + 1 : CommandsWithoutPeer;
  std::array<Run, CommandsWithoutPeer + 1> runs;
  for (int turn = 0; turn < commands; ++turn) {
    const auto command = static_cast<Command>((turn + round) % commands);
    if (!cold) Prepare(options, page, command, "-untimed");
    Prepare(options, page, command, "");
    if (cold) GoCold(options.pause_seconds);
    if (!cold) Perform(options, page, command, "-untimed");
    runs[command] = Perform(options, page, command, "");
  }
  const Run& tool = runs[Tessvane];
  const Run& copy = runs[Tiffcp];
  const Run& one_cpu = runs[TessvaneOneCpu];
  const Run& durable = runs[DurableCopy];
  const Run& durable_out = runs[DurableOutput];
  figures.ours.push_back(tool.seconds);
  figures.one_cpu.push_back(one_cpu.seconds);
  figures.copy.push_back(copy.seconds);
  figures.durable.push_back(durable.seconds);
  figures.durable_out.push_back(durable_out.seconds);
  figures.copy_ratios.push_back(tool.seconds / copy.seconds);
  figures.durable_ratios.push_back(tool.seconds / durable.seconds);
  figures.durable_out_ratios.push_back(tool.seconds / durable_out.seconds);
  figures.one_cpu_ratios.push_back(one_cpu.seconds / durable.seconds);
  figures.one_cpu_out_ratios.push_back(one_cpu.seconds / durable_out.seconds);
  if (with_peer) {
    figures.peer.push_back(runs[Peer].seconds);
    figures.peer_ratios.push_back(tool.seconds / runs[Peer].seconds);
  }
  figures.peak_kib = std::max({figures.peak_kib, tool.peak_kib, one_cpu.peak_kib});
}

// Times page for rounds rounds and prints its line of the table.
void TimePage(const Options& options, const std::string& page, bool cold, bool with_peer,
              int rounds) {
  Figures figures;
  const std::string cleared = ClearedPage(options, page);
  FreshCopy(page, cleared);
  Execute({options.tessvane, cleared});
  for (int round = 0; round < rounds; ++round) {
    TimeRound(options, page, cold, with_peer, round, figures);
  }
  const std::string name = std::filesystem::path(page).filename().string();
  std::printf("%-24s %-4s %7.3f s %7.3f s %6.2f %7.3f s %6.2f %7.3f s %5.2f %5.2f %5.2f %5.2f"
              " %7.3f\n",
              name.c_str(), cold ? "cold" : "warm", Median(figures.ours), Median(figures.copy),
              Median(figures.copy_ratios), Median(figures.durable), Median(figures.durable_ratios),
              Median(figures.durable_out), Median(figures.durable_out_ratios),
              Median(figures.one_cpu), Median(figures.one_cpu_ratios),
              Median(figures.one_cpu_out_ratios), figures.peak_kib * 1024.0 / Pixels(page));
  if (with_peer) {
    std::printf("%-26s warm: peer reconstruction call %.3f s; tessvane whole run / peer call %.2f\n",
                name.c_str(), Median(figures.peer), Median(figures.peer_ratios));
  }
  std::fflush(stdout);
}

// The batch's pages, fresh copies of page, each flushed.
void FreshBatch(const Options& options, const std::string& directory) {
  std::filesystem::remove_all(directory);
  std::filesystem::create_directories(directory);
  for (int i = 0; i < options.batch_pages; ++i) {
    FreshCopy(options.batch_page, directory + "/page " + std::to_string(i) + ".tif");
  }
  sync();
}

// Seconds to rewrite every page of directory with tool through xargs -P 2.
double TimeBatch(const std::string& directory, const std::string& tool) {
  const std::string script = "find \"$1\" -name '*.tif' -print0 | xargs -0 -P 2 -n 1 \"$2\"";
  return Execute({"sh", "-c", script, "sh", directory, tool}).seconds;
}

// Times the batch for both tools and prints its line.
void TimeBatches(const Options& options) {
  const std::string directory = options.workdir + "/batch";
  std::vector<double> ours, durable, ratios;
  for (int round = 0; round < options.batch_rounds; ++round) {
    double times[2];
    for (int turn = 0; turn < 2; ++turn) {
      const int command = (turn + round) % 2;
      FreshBatch(options, directory);
      times[command] = TimeBatch(directory, command == 0 ? options.tessvane : options.durable);
    }
    ours.push_back(times[0]);
    durable.push_back(times[1]);
    ratios.push_back(times[0] / times[1]);
  }
  std::filesystem::remove_all(directory);
  std::printf("batch: %d x %s through xargs -P 2: tessvane %.2f s (%.1f pages/s), "
              "durable tiffcp %.2f s; tessvane / durable tiffcp %.2f (medians of %d rounds)\n",
              options.batch_pages, std::filesystem::path(options.batch_page).filename().c_str(),
              Median(ours), options.batch_pages / Median(ours), Median(durable), Median(ratios),
              options.batch_rounds);
}

// The directories of the TIFF file at path.
int DirectoryCount(const std::string& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) std::exit(1);
  const int count = static_cast<int>(TIFFNumberOfDirectories(tiff));
  TIFFClose(tiff);
  return count;
}

// Times tessvane on fresh copies of the two page-count files, warm (each
// timed run right after an untimed one), in an order that alternates from
// round to round, and prints the ratio of the second's time to the
// first's beside the ratio of their pages.
void TimePageCounts(const Options& options) {
  const std::string copy = options.workdir + "/page-count.tif";
  std::vector<double> times[2];
  std::vector<double> ratios;
  for (int round = 0; round < options.rounds; ++round) {
    double seconds[2];
    for (int turn = 0; turn < 2; ++turn) {
      const int file = (turn + round) % 2;
      FreshCopy(options.page_counts[file], copy);
      Execute({options.tessvane, copy});
      FreshCopy(options.page_counts[file], copy);
      seconds[file] = Execute({options.tessvane, copy}).seconds;
      times[file].push_back(seconds[file]);
    }
    ratios.push_back(seconds[1] / seconds[0]);
  }
  std::filesystem::remove(copy);
  const int pages[2] = {DirectoryCount(options.page_counts[0]), DirectoryCount(options.page_counts[1])};
  std::printf("page count: %d pages %.3f s, %d pages %.3f s: %.2f times the pages take %.2f times "
              "the time (medians of %d warm rounds)\n",
              pages[0], Median(times[0]), pages[1], Median(times[1]),
              static_cast<double>(pages[1]) / pages[0], Median(ratios), options.rounds);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  if (!options.page_counts.empty() && options.page_counts.size() != 2) {
    std::fprintf(stderr, "end_to_end: --page-count is given twice or not at all\n");
    return 2;
  }
  if (options.pages.empty() && options.warm_only.empty() && options.batch_page.empty() &&
      options.page_counts.empty()) {
    std::fprintf(stderr, "usage: end_to_end [OPTIONS] PAGE.tif ... (see bench/end_to_end.cpp)\n");
    return 2;
  }
  std::printf("%-24s %-4s %9s %9s %6s %9s %6s %9s %5s %9s %5s %5s %7s\n", "page", "mode",
              "tessvane", "tiffcp", "ratio", "dur.in", "ratio", "dur.out", "ratio", "1 cpu",
              "/in", "/out", "peak/px");
  std::vector<std::string> warm_pages = options.pages;
  warm_pages.insert(warm_pages.end(), options.warm_only.begin(), options.warm_only.end());
  for (std::size_t i = 0; i < warm_pages.size(); ++i) {
    TimePage(options, warm_pages[i], false, !options.peer.empty() && i == 0, options.rounds);
  }
  if (options.cold_rounds > 0 && !GoCold(0)) {
    std::printf("cold: the page cache cannot be dropped (not root); cold runs get fresh memory only\n");
  }
  for (const std::string& page : options.pages) {
    if (options.cold_rounds > 0) TimePage(options, page, true, false, options.cold_rounds);
  }
  std::printf("(times are medians of the rounds; ratios are medians of the per-round ratios:\n"
              " tessvane on every CPU / tiffcp, / durable tiffcp of the input (dur.in) and of\n"
              " tessvane's output (dur.out); then tessvane under taskset -c 0 in seconds and its\n"
              " ratios to the same two floors; peak/px: tessvane's peak resident bytes per pixel)\n");
  if (!options.batch_page.empty()) TimeBatches(options);
  if (!options.page_counts.empty()) TimePageCounts(options);
  for (const Command command : {Tessvane, TessvaneOneCpu, Tiffcp, DurableCopy, DurableOutput}) {
    std::filesystem::remove(Target(options, command, ""));
    std::filesystem::remove(Target(options, command, "-untimed"));
  }
  for (const std::string& page : warm_pages) std::filesystem::remove(ClearedPage(options, page));
  return 0;
}
