// The replacement of the user's file under kills, termination, concurrent
// runs and files that are not regular files, driven black-box through the
// tessvane executable.
//
// Every way a file can reach the tool is set up here: the user's own file;
// a file with a second hard link; a file with extended attributes and an
// access control list; another user's world-writable file in a directory
// the user may write (a rename would change its owner) and in one the user
// may not write.  After every kill the path must hold the old contents or
// the complete new ones, byte for byte against a run on a private copy; or
// a file is left over (a backup), and then the next run must restore and
// complete, leaving one run's result and nothing else.
//
// The unprivileged runs are made as the user nobody, so the tests that
// need them run only as root; the ways of the user's own file run as any
// user (and CTest runs some of them as nobody too).  The sanitizer build makes fewer rounds.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <stdexcept>
#include <thread>

#include "run_process.h"
#include "syscall_faults.h"
#include "test_tiff.h"

namespace {

using namespace testing_support;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr uid_t Nobody = 65534;

// Each run of the sanitizer build takes several times as long, so its loops
// make a third of the rounds (at least two).
#if defined(__SANITIZE_ADDRESS__)
constexpr int RoundDivisor = 3;
#else
constexpr int RoundDivisor = 1;
#endif
int Rounds(int plain) { return std::max(2, plain / RoundDivisor); }

bool RunningAsRoot() { return geteuid() == 0; }

// Ends the test with a failure when a step of its set-up did not work.
void Require(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

// ---- starting runs -----------------------------------------------------------------

// How a run of the tool is started: the kit's options.  A run still going
// after a minute is ended by SIGALRM, so a blocked run fails the test
// instead of hanging the suite.
using Launch = ProcessOptions;

pid_t StartTool(const std::string& path, Launch launch) {
  launch.time_limit = 60;
  return StartTessvane({path}, launch);
}

int WaitFor(pid_t child) { return WaitForProcess(child); }

// True once child has ended, without reaping it.
bool HasEnded(pid_t child) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == child;
}

// Waits until the path names another file than before, or that file's
// modification time changed (the first write over it), or child ended.
void WaitForChange(const std::string& path, const struct stat& before, pid_t child) {
  for (;;) {
    struct stat now {};
    if (stat(path.c_str(), &now) == 0 &&
        (now.st_ino != before.st_ino || now.st_mtim.tv_sec != before.st_mtim.tv_sec ||
         now.st_mtim.tv_nsec != before.st_mtim.tv_nsec)) {
      return;
    }
    if (HasEnded(child)) return;
  }
}

bool EndedNormally(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

// ---- the ways a file reaches the tool ----------------------------------------------

enum class Way { OwnFile, HardLink, Attributes, OthersFileOpenDirectory, OthersFileClosedDirectory };

std::string WayName(Way way) {
  switch (way) {
    case Way::OwnFile: return "OwnFile";
    case Way::HardLink: return "HardLink";
    case Way::Attributes: return "Attributes";
    case Way::OthersFileOpenDirectory: return "OthersFileOpenDirectory";
    case Way::OthersFileClosedDirectory: return "OthersFileClosedDirectory";
  }
  return "?";
}

bool IsOthersFile(Way way) {
  return way == Way::OthersFileOpenDirectory || way == Way::OthersFileClosedDirectory;
}

// What a killed run left at the path.
enum class Outcome { Old, New, Restored, Damaged };

// Counts of outcomes over the rounds of one test, printed at its end.
struct Tally {
  int old_file = 0, new_file = 0, restored = 0, damaged = 0;
  void Add(Outcome outcome) {
    switch (outcome) {
      case Outcome::Old: ++old_file; break;
      case Outcome::New: ++new_file; break;
      case Outcome::Restored: ++restored; break;
      case Outcome::Damaged: ++damaged; break;
    }
  }
  void Print(const std::string& what) const {
    std::printf("[  tally   ] %s: %d runs: %d old, %d new, %d restored by the next run, %d damaged\n",
                what.c_str(), old_file + new_file + restored + damaged, old_file, new_file,
                restored, damaged);
  }
};

// A large page at the path of one way, with what one and two runs make of
// it (runs on a private copy), and the checks after a killed run.
//
// Layout of the scratch directory: work/ holds the target (and its second
// name), state/ is the runs' XDG_STATE_HOME, private/ the reference runs',
// out/ the runs' standard output.
class Bench {
 public:
  static constexpr std::uint32_t Width = 4800;
  static constexpr std::uint32_t Height = 3600;

  explicit Bench(Way way) : way_(way) {
    for (const char* sub : {"work", "state", "private", "out"}) {
      std::filesystem::create_directory(scratch_ / sub);
    }
    Require(chmod(scratch_.path().c_str(), 0755) == 0 &&
                chmod(work().c_str(), way == Way::OthersFileOpenDirectory ? 0777 : 0755) == 0 &&
                (!RunningAsRoot() || chown(state().c_str(), Nobody, Nobody) == 0) &&
                chmod(state().c_str(), 0700) == 0 &&
                chmod((scratch_ / "out").c_str(), 0777) == 0,
            "cannot set up the scratch directory");

    WriteTestTiff(target(), {.width = Width, .height = Height, .rows_per_strip = 64},
                  MakeTestPage(Width, Height, 11));
    original_ = FileBytes(target());
    MakeReferences();
    if (way == Way::Attributes) CaptureAttributes();
    Reset();
  }

  std::string work() const { return scratch_ / "work"; }
  std::string state() const { return scratch_ / "state"; }
  std::string target() const { return work() + "/page.tif"; }
  std::string other_name() const { return work() + "/other.tif"; }
  std::string output_file(int i) const { return scratch_ / ("out/run" + std::to_string(i)); }
  const Bytes& original() const { return original_; }
  const Bytes& cleared() const { return cleared_; }
  const Bytes& cleared_twice() const { return cleared_twice_; }
  Clock::duration full_run() const { return full_run_; }

  // How runs on this way's file are started.
  Launch launch(std::vector<SyscallFault> faults = {}) const {
    return {.state_home = state(), .as_nobody = IsOthersFile(way_), .faults = std::move(faults)};
  }

  // Puts the original file back at the path (and its other name), with
  // this way's owner, mode, links and attributes.
  void Reset() {
    std::filesystem::remove(target());
    std::filesystem::remove(other_name());
    WriteFileBytes(target(), original_);
    ASSERT_EQ(chmod(target().c_str(), IsOthersFile(way_) ? 0666 : 0644), 0);
    if (way_ == Way::HardLink) std::filesystem::create_hard_link(target(), other_name());
    if (way_ == Way::Attributes) {
      ASSERT_EQ(setxattr(target().c_str(), "user.origin", "scanner-7", 9, 0), 0);
      ASSERT_EQ(setxattr(target().c_str(), "system.posix_acl_access", acl_.data(), acl_.size(), 0),
                0);
    }
  }

  // Files left by runs: entries of work/ beyond the way's names, and
  // anything but directories under state/.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(work())) {
      const std::string name = entry.path().filename().string();
      if (name != "page.tif" && !(way_ == Way::HardLink && name == "other.tif")) {
        found.push_back(entry.path().string());
      }
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(state())) {
      if (!entry.is_directory()) found.push_back(entry.path().string());
    }
    return found;
  }

  // Judges the path after a run that was stopped: old or new contents, or a
  // leftover from which the next run restores and completes.
  // A run killed once the new contents were whole and its mark gone left
  // only its backup: the next run removes it and clears the new file, the
  // result of two runs.
  Outcome Inspect(const std::string& context) {
    ExpectKept(context);
    if (!Leftovers().empty()) {
      const bool finished = FileBytes(target()) == cleared_ && Attribute("user.tessvane.pending").empty();
      const int status = WaitFor(StartTool(target(), launch()));
      EXPECT_TRUE(EndedNormally(status)) << context << ": the run after the kill failed";
      EXPECT_TRUE(FileBytes(target()) == (finished ? cleared_twice_ : cleared_))
          << context << ": the run after the kill did not leave one run's result";
      EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << context;
      ExpectKept(context + ", after the next run");
      return Outcome::Restored;
    }
    const Bytes now = FileBytes(target());
    if (now == original_) return Outcome::Old;
    if (now == cleared_) return Outcome::New;
    ADD_FAILURE() << context << ": the file is neither the old one nor the new one, and no "
                  << "backup is left";
    return Outcome::Damaged;
  }

  // What the way keeps whatever happens: the other name's old contents,
  // the attributes, the owner and mode.
  void ExpectKept(const std::string& context) const {
    struct stat status {};
    ASSERT_EQ(stat(target().c_str(), &status), 0) << context;
    if (way_ == Way::HardLink) {
      EXPECT_TRUE(FileBytes(other_name()) == original_) << context << ": the other name changed";
    }
    if (way_ == Way::Attributes) {
      EXPECT_EQ(Attribute("user.origin"), "scanner-7") << context;
      EXPECT_EQ(Attribute("system.posix_acl_access"), acl_) << context;
      EXPECT_EQ(status.st_mode & 07777, 0644u) << context;
    }
    if (IsOthersFile(way_)) {
      EXPECT_EQ(status.st_uid, 0u) << context << ": the file changed its owner";
      EXPECT_EQ(status.st_gid, 0u) << context;
      EXPECT_EQ(status.st_mode & 07777, 0666u) << context;
    }
  }

 private:
  // One and two runs on a private copy, and the time of one run on the
  // way's own path.
  void MakeReferences() {
    const std::string copy = scratch_ / "private/page.tif";
    WriteFileBytes(copy, original_);
    ASSERT_EQ(WaitFor(StartTool(copy, {})), 0);
    cleared_ = FileBytes(copy);
    ASSERT_EQ(WaitFor(StartTool(copy, {})), 0);
    cleared_twice_ = FileBytes(copy);
    ASSERT_NE(cleared_, original_);
    ASSERT_NE(cleared_twice_, cleared_);

    Reset();
    const auto start = Clock::now();
    ASSERT_TRUE(EndedNormally(WaitFor(StartTool(target(), launch()))));
    full_run_ = Clock::now() - start;
    ASSERT_TRUE(FileBytes(target()) == cleared_);
  }

  void CaptureAttributes() {
    std::filesystem::remove(target());
    std::filesystem::remove(other_name());
    WriteFileBytes(target(), original_);
    const auto result = RunProgram("/usr/bin/setfacl", {"-m", "u:nobody:r", target()});
    ASSERT_EQ(result.exit_code, 0) << result.errors;
    const std::string acl = Attribute("system.posix_acl_access");
    ASSERT_FALSE(acl.empty());
    acl_ = acl;
  }

  std::string Attribute(const char* name) const {
    char value[256];
    const ssize_t size = getxattr(target().c_str(), name, value, sizeof value);
    return size < 0 ? std::string() : std::string(value, static_cast<std::size_t>(size));
  }

  Way way_;
  ScratchDirectory scratch_;
  Bytes original_, cleared_, cleared_twice_;
  std::string acl_;
  Clock::duration full_run_{};
};

class ReplaceCrash : public ::testing::TestWithParam<Way> {
 public:
  void SetUp() override {
    if (IsOthersFile(GetParam()) && !RunningAsRoot()) {
      GTEST_SKIP() << "needs root to make files of another owner";
    }
    bench_.emplace(GetParam());
  }
  Bench& bench() { return *bench_; }
  std::string way() const { return WayName(GetParam()); }

  // Starts a run on a fresh copy of the bench's file, sends signal_number
  // delay after the file is first written over (or the path names the new
  // file), and returns the run's wait status.
  int SignalAfterFirstChange(int signal_number, std::chrono::milliseconds delay) {
    bench().Reset();
    struct stat before {};
    EXPECT_EQ(stat(bench().target().c_str(), &before), 0);
    const pid_t child = StartTool(bench().target(), bench().launch());
    WaitForChange(bench().target(), before, child);
    std::this_thread::sleep_for(delay);
    kill(child, signal_number);
    return WaitFor(child);
  }

 private:
  std::optional<Bench> bench_;
};

// ---- kills ---------------------------------------------------------------------------

// One way runs are stopped, tried over rounds: how round r of rounds is
// stopped (the run's wait status; context says how), and what the tally
// must show besides no damage.
struct Stop {
  const char* what;
  int rounds;
  std::function<int(ReplaceCrash&, int round, int rounds, std::string& context)> stop;
  bool handled = false;  // SIGTERM: nothing left behind, nothing to restore
  bool more_until_written = false;  // more rounds, up to twice as many, until one ends new or restored
};

// Kills at the first call of each system call that changes files.
const std::vector<std::pair<const char*, std::vector<SyscallFault>>>& FileChangingCalls() {
  static const auto at = [](std::initializer_list<long> calls) {
    std::vector<SyscallFault> faults;
    for (long call : calls) faults.push_back({.number = call, .error = 0, .kill = true});
    return faults;
  };
  static const std::vector<std::pair<const char*, std::vector<SyscallFault>>> points = {
      {"write", at({SYS_write, SYS_pwrite64, SYS_writev, SYS_pwritev})},
      {"fsync", at({SYS_fsync, SYS_fdatasync})},
      {"ftruncate", at({SYS_ftruncate})},
      {"fallocate", at({SYS_fallocate})},
      {"link", at({SYS_link, SYS_linkat})},
      {"rename", at({SYS_rename, SYS_renameat, SYS_renameat2})},
      {"unlink", at({SYS_unlink, SYS_unlinkat})},
      {"fsetxattr", at({SYS_fsetxattr})},
      {"fremovexattr", at({SYS_fremovexattr})},
  };
  return points;
}

// Every way of stopping a run leaves the old file, the complete new one,
// or a backup the next run restores from; and since a kill that always
// landed before the first write would prove nothing, some rounds of each
// way must end new or restored.
TEST_P(ReplaceCrash, StoppedRunsLeaveOldOrNewOrARestorableBackup) {
  const std::vector<Stop> stops = {
      // SIGKILL at moments spread over a run and a little beyond, one in
      // each slice of the span, so the last rounds land at its end; rounds
      // past the planned ones land later still (a loaded machine runs
      // slower than the run that was timed).
      {"random SIGKILL", Rounds(10), [](ReplaceCrash& test, int round, int rounds, std::string& context) {
         static std::mt19937 random(20240611);
         const auto span = std::chrono::duration_cast<std::chrono::microseconds>(test.bench().full_run() * 6 / 5);
         std::uniform_int_distribution<long> within(0, span.count() / rounds);
         const auto delay = std::chrono::microseconds(span.count() * round / rounds + within(random));
         test.bench().Reset();
         const pid_t child = StartTool(test.bench().target(), test.bench().launch());
         std::this_thread::sleep_for(delay);
         kill(child, SIGKILL);
         context = "kill after " + std::to_string(delay.count()) + " us";
         return WaitFor(child);
       }, false, true},
      // SIGKILL from the moment the file is first written over (or the path
      // names the new file), each round a little later.
      {"SIGKILL at the overwrite", Rounds(6), [](ReplaceCrash& test, int round, int rounds, std::string& context) {
         const auto delay = std::chrono::milliseconds(round * 24 / rounds);
         context = "kill " + std::to_string(delay.count()) + " ms after the first change";
         return test.SignalAfterFirstChange(SIGKILL, delay);
       }},
      {"killed at a system call", static_cast<int>(FileChangingCalls().size()),
       [](ReplaceCrash& test, int round, int, std::string& context) {
         const auto& [name, faults] = FileChangingCalls()[static_cast<std::size_t>(round)];
         test.bench().Reset();
         context = std::string("killed at the first ") + name;
         return WaitFor(StartTool(test.bench().target(), test.bench().launch(faults)));
       }},
      // SIGTERM is handled: a run ended by it during the overwrite leaves
      // the old or the new file, and no backup or temporary file at all.
      {"SIGTERM at the overwrite", Rounds(4), [](ReplaceCrash& test, int round, int rounds, std::string& context) {
         context = "SIGTERM round " + std::to_string(round);
         return test.SignalAfterFirstChange(SIGTERM, std::chrono::milliseconds(round * 12 / rounds));
       }, true},
  };
  for (const Stop& stop : stops) {
    Tally tally;
    for (int round = 0; round < stop.rounds || (stop.more_until_written && tally.new_file + tally.restored == 0 &&
                                                round < 3 * stop.rounds);
         ++round) {
      std::string context;
      const int status = stop.stop(*this, round, stop.rounds, context);
      context = way() + ", " + context;
      if (stop.handled) {
        EXPECT_TRUE(EndedNormally(status) || (WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM))
            << context << ": status " << status;
        EXPECT_EQ(bench().Leftovers(), std::vector<std::string>{}) << context;
      }
      tally.Add(bench().Inspect(context));
    }
    tally.Print(way() + " " + stop.what);
    EXPECT_EQ(tally.damaged, 0) << stop.what;
    EXPECT_GT(tally.new_file + tally.restored, 0) << stop.what << ": every run was stopped before it wrote";
    if (stop.handled) {
      EXPECT_EQ(tally.restored, 0) << stop.what;
    }
  }
}

// ---- concurrent runs ------------------------------------------------------------------

// Two runs started together on one path: the file holds two runs' result,
// and neither run prints anything.
TEST_P(ReplaceCrash, TwoRunsTogetherOnOnePathGiveTwoRunsResult) {
  const int rounds = Rounds(5);
  int wrong = 0;
  for (int round = 0; round < rounds; ++round) {
    bench().Reset();
    Launch first = bench().launch(), second = bench().launch();
    first.output_file = bench().output_file(1);
    second.output_file = bench().output_file(2);
    const pid_t a = StartTool(bench().target(), first);
    const pid_t b = StartTool(bench().target(), second);
    EXPECT_TRUE(EndedNormally(WaitFor(a)));
    EXPECT_TRUE(EndedNormally(WaitFor(b)));
    EXPECT_EQ(FileBytes(bench().output_file(1)), Bytes{});
    EXPECT_EQ(FileBytes(bench().output_file(2)), Bytes{});
    if (FileBytes(bench().target()) != bench().cleared_twice()) ++wrong;
    EXPECT_EQ(bench().Leftovers(), std::vector<std::string>{});
    bench().ExpectKept(way() + ", two runs, round " + std::to_string(round));
  }
  EXPECT_EQ(wrong, 0) << "of " << rounds << " rounds of two runs together";
  std::printf("[  tally   ] %s two runs together: %d rounds, %d wrong\n", way().c_str(), rounds,
              wrong);
}

INSTANTIATE_TEST_SUITE_P(EveryWay, ReplaceCrash,
                         ::testing::Values(Way::OwnFile, Way::HardLink, Way::Attributes,
                                           Way::OthersFileOpenDirectory,
                                           Way::OthersFileClosedDirectory),
                         [](const ::testing::TestParamInfo<Way>& info) {
                           return WayName(info.param);
                         });

// Two runs started together, one on each name of a hard-linked file: each
// name ends with one run's result of the shared old contents.
TEST(ReplaceConcurrency, TwoRunsTogetherOnTwoHardLinksEachProcessTheirOwnName) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root for the scratch layout";
  Bench bench(Way::HardLink);
  const int rounds = Rounds(5);
  int wrong = 0;
  for (int round = 0; round < rounds; ++round) {
    bench.Reset();
    const pid_t a = StartTool(bench.target(), bench.launch());
    const pid_t b = StartTool(bench.other_name(), bench.launch());
    EXPECT_TRUE(EndedNormally(WaitFor(a)));
    EXPECT_TRUE(EndedNormally(WaitFor(b)));
    if (FileBytes(bench.target()) != bench.cleared() ||
        FileBytes(bench.other_name()) != bench.cleared()) {
      ++wrong;
    }
    EXPECT_EQ(bench.Leftovers(), std::vector<std::string>{});
  }
  EXPECT_EQ(wrong, 0) << "of " << rounds << " rounds of two runs on two names";
  std::printf("[  tally   ] two runs on two hard links: %d rounds, %d wrong\n", rounds, wrong);
}

// ---- backups that cannot be made, and the fallback state directory ----------------

// A file that must be rewritten in place but whose old contents cannot be
// saved anywhere (no file can be created) is left alone.
TEST(ReplaceBackup, AFileThatCannotBeBackedUpIsNotTouched) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run the tool as another user";
  constexpr std::uint32_t Create = O_CREAT, Unnamed = 020000000;
  const std::vector<SyscallFault> no_new_files = {
      {.number = SYS_openat, .error = EACCES, .argument = 2, .mask = Create, .value = Create},
      {.number = SYS_openat, .error = EACCES, .argument = 2, .mask = Unnamed, .value = Unnamed},
      {.number = SYS_open, .error = EACCES, .argument = 1, .mask = Create, .value = Create},
      {.number = SYS_creat, .error = EACCES},
  };
  for (const Way way : {Way::OthersFileOpenDirectory, Way::OthersFileClosedDirectory}) {
    Bench bench(way);
    bench.Reset();
    Launch launch = bench.launch(no_new_files);
    launch.output_file = bench.output_file(1);
    const int status = WaitFor(StartTool(bench.target(), launch));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << WayName(way);
    const Bytes printed = FileBytes(bench.output_file(1));
    EXPECT_EQ(std::string(printed.begin(), printed.end()), "image write error\r\n") << WayName(way);
    EXPECT_TRUE(FileBytes(bench.target()) == bench.original()) << WayName(way);
    EXPECT_EQ(bench.Leftovers(), std::vector<std::string>{}) << WayName(way);
  }
}

// Without XDG_STATE_HOME the backup of a file in a closed directory goes to
// the home directory's state directory, where the next run finds it.
TEST(ReplaceBackup, ABackupUnderTheHomeDirectoryIsFoundByTheNextRun) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run the tool as another user";
  Bench bench(Way::OthersFileClosedDirectory);
  ScratchDirectory home;
  ASSERT_EQ(chown(home.path().c_str(), Nobody, Nobody), 0);
  Launch launch = bench.launch();
  launch.state_home.reset();
  launch.home = home.path();
  const std::string backups = home / ".local/state/tessvane";
  auto files_in_backups = [&] {
    std::vector<std::string> files;
    if (!std::filesystem::exists(backups)) return files;
    for (const auto& entry : std::filesystem::directory_iterator(backups)) {
      files.push_back(entry.path().string());
    }
    return files;
  };

  bench.Reset();
  struct stat before {};
  ASSERT_EQ(stat(bench.target().c_str(), &before), 0);
  const pid_t child = StartTool(bench.target(), launch);
  WaitForChange(bench.target(), before, child);
  kill(child, SIGKILL);
  WaitFor(child);
  ASSERT_EQ(files_in_backups().size(), 1u) << "a kill during the overwrite leaves one backup";
  EXPECT_TRUE(EndedNormally(WaitFor(StartTool(bench.target(), launch))));
  EXPECT_TRUE(FileBytes(bench.target()) == bench.cleared());
  EXPECT_EQ(files_in_backups(), std::vector<std::string>{});
  EXPECT_EQ(bench.Leftovers(), std::vector<std::string>{});
}

// ---- files that are not regular files ------------------------------------------------

// Runs the tool on path; expects "image read error" and exit 1 within a
// few seconds.
void ExpectRefusedAtOnce(const std::string& path, const std::string& what) {
  const auto start = Clock::now();
  const auto result = RunTessvane({path}, {.close_input = true, .in_child = [] { alarm(4); }});
  EXPECT_EQ(result.signal, 0) << what << ": the run blocked";
  EXPECT_EQ(result.output, "image read error\r\n") << what;
  EXPECT_EQ(result.exit_code, 1) << what;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << what;
}

TEST(StrangeFiles, AFifoASocketAndDevicesAreRefusedWithoutBlocking) {
  ScratchDirectory dir;
  ASSERT_EQ(mkfifo((dir / "fifo.tif").c_str(), 0666), 0);
  ExpectRefusedAtOnce(dir / "fifo.tif", "a FIFO");

  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = dir / "socket.tif";
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  std::copy(socket_path.begin(), socket_path.end(), address.sun_path);
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ExpectRefusedAtOnce(socket_path, "a socket");
  close(listener);

  // A terminal nobody types into: a read of it waits forever.  Its device
  // node works only inside its own file system, so a link names it.
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  std::filesystem::create_symlink(ptsname(terminal), dir / "terminal.tif");
  ExpectRefusedAtOnce(dir / "terminal.tif", "a terminal device");
  close(terminal);

  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to make device nodes";

  struct stat zero {};
  ASSERT_EQ(stat("/dev/zero", &zero), 0);
  ASSERT_EQ(mknod((dir / "zero.tif").c_str(), S_IFCHR | 0666, zero.st_rdev), 0);
  ExpectRefusedAtOnce(dir / "zero.tif", "/dev/zero");
  EXPECT_EQ(dir.Entries(),
            (std::vector<std::string>{"fifo.tif", "socket.tif", "terminal.tif", "zero.tif"}));
}

}  // namespace
