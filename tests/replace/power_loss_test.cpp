// Power cuts at every moment of a run, on every way the tool replaces a
// file: the run is recorded with strace, every state the disk may come
// back in after a power cut at any of its calls is listed by the model of
// power_loss.h (what fsync promises and no more), each state is put on
// disk in turn, and the next run must leave the result of one run on the
// old file (or of two, where the state was the finished new file) and
// nothing else.  This is how the ALICE study (OSDI 2014) and SQLite test
// crash safety.
//
// Two writers planted here (an overwrite with no flush, a rename of data
// never flushed) show that the replay catches what is unsafe.  To replay
// another build of the tool, name it in TESSVANE_REPLAY_TOOL.
//
// The recorded run keeps to one CPU, so that its calls come in one order.
// The ways through another user's files run only as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "power_loss.h"
#include "replace_kit.h"
#include "test_tiff.h"

namespace {

using namespace testing_support;
using namespace replace_kit;

constexpr char Mark[] = "user.tessvane.pending";
constexpr const char* TracedCalls =
    "trace=open,openat,creat,close,dup,dup2,dup3,fcntl,write,pwrite64,writev,pwritev,pwritev2,lseek,"
    "ftruncate,truncate,fallocate,fsync,fdatasync,sync,syncfs,fsetxattr,setxattr,fremovexattr,removexattr,"
    "link,linkat,rename,renameat,renameat2,unlink,unlinkat,mkdir,mkdirat,copy_file_range,sendfile";

std::string Tool() {
  const char* const other = std::getenv("TESSVANE_REPLAY_TOOL");
  return other != nullptr ? other : TESSVANE_PATH;
}

// One way a file is replaced: its page, its directories, who runs.
struct Way {
  ScratchDirectory scratch;
  std::string work = scratch / "work", state = scratch / "state", keep = scratch / "keep";
  std::string target = work + "/page.tif";
  bool as_nobody = false;
  Bytes cleared_once, cleared_twice;

  // work/ of mode work_mode holding pixels as the page, owned by owner with
  // page_mode; the runs as nobody or as the tester.
  Way(const TiffLayout& layout, const Bytes& pixels, uid_t owner, mode_t page_mode, mode_t work_mode, bool nobody)
      : as_nobody(nobody) {
    EXPECT_EQ(chmod(scratch.path().c_str(), 0755), 0);
    for (const std::string& sub : {work, state, state + "/tessvane", keep}) std::filesystem::create_directory(sub);
    Own(state, as_nobody ? Nobody : geteuid(), 0700);
    Own(state + "/tessvane", as_nobody ? Nobody : geteuid(), 0700);
    WriteTestTiff(target, layout, pixels);
    cleared_once = ClearedCopy(FileBytes(target));
    cleared_twice = ClearedCopy(cleared_once);
    Own(target, owner, page_mode);
    Own(work, as_nobody ? Nobody : geteuid(), work_mode);
    // Holds the page's inode while a state names another file at its path.
    EXPECT_EQ(link(target.c_str(), (keep + "/page").c_str()), 0);
  }
  std::vector<std::string> Watched() const { return {work, state + "/tessvane"}; }
  Launch launch() const { return {.as_nobody = as_nobody, .state_home = state, .program = Tool()}; }

  // What one run of the tool makes of bytes, on a private copy.
  Bytes ClearedCopy(const Bytes& bytes) {
    const std::string copy = scratch / "private.tif";
    WriteFileBytes(copy, bytes);
    EXPECT_EQ(RunTool(copy, {.state_home = scratch / "private-state", .program = Tool()}).exit_code, 0);
    Bytes result = FileBytes(copy);
    std::filesystem::remove(copy);
    return result;
  }
};

// Runs program with arguments under strace as the way's runner, on one
// CPU; the trace's lines.
std::vector<std::string> Record(const Way& way, const std::vector<std::string>& program,
                                const std::vector<SyscallFault>& faults = {}) {
  const std::string trace = way.scratch / "trace";
  std::vector<std::string> arguments = {"-f", "-qq", "-y", "-xx", "-s", "67108864", "-e", TracedCalls, "-o", trace};
  if (way.as_nobody) {
    arguments.insert(arguments.end(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
  }
  arguments.insert(arguments.end(), {"/usr/bin/env", "XDG_STATE_HOME=" + way.state, "ASAN_OPTIONS=detect_leaks=0"});
  arguments.insert(arguments.end(), program.begin(), program.end());
  const ProcessResult result = RunProgram("/usr/bin/strace", arguments, {.close_input = true, .in_child = [faults] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    if (sched_setaffinity(0, sizeof one, &one) != 0) _exit(97);
    if (!faults.empty() && !InstallSyscallFaults(faults)) _exit(98);
  }});
  EXPECT_NE(result.exit_code, 97);
  std::vector<std::string> lines;
  std::ifstream file(trace);
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return lines;
}

// Puts state on the way's disk: the page's own inode wherever the state
// has it, new files (the runner's) for the others.
void PutOnDisk(const Way& way, const power_loss::DiskState& state) {
  const uid_t runner = way.as_nobody ? Nobody : geteuid();
  for (const std::string& directory : way.Watched()) {
    for (const auto& entry : std::filesystem::directory_iterator(directory)) std::filesystem::remove(entry.path());
  }
  for (const auto& [path, file] : state.files) {
    int fd;
    if (file.inode == 0) {
      EXPECT_EQ(link((way.keep + "/page").c_str(), path.c_str()), 0) << path;
      fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    } else {
      fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, path == way.target ? 0644 : 0600);
      EXPECT_EQ(fchown(fd, runner, runner), 0);
    }
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, file.contents.data(), file.contents.size(), 0), static_cast<ssize_t>(file.contents.size()));
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(file.contents.size())), 0);
    fremovexattr(fd, Mark);
    for (const auto& [name, value] : file.attributes) {
      EXPECT_EQ(fsetxattr(fd, name.c_str(), value.data(), value.size(), 0), 0);
    }
    close(fd);
  }
}

// What the replay of one recording found.
struct Replay {
  int states = 0, damaged = 0;
  std::string first_damage;
};

// Lists every crash state of the recorded lines (after starting_state, the
// disk as it was before), puts each on disk, runs the tool once and judges
// what it leaves.
Replay ReplayCrashes(const Way& way, const std::vector<std::vector<std::string>>& recordings,
                     const Bytes& old_bytes) {
  power_loss::Disk disk(way.Watched(), way.target);
  std::set<power_loss::DiskState> states;
  for (const power_loss::DiskState& state : disk.CrashStates(0)) states.insert(state);
  unsigned seed = 1;
  for (const auto& lines : recordings) {
    for (const std::string& line : lines) {
      if (!disk.Follow(line)) continue;
      for (const power_loss::DiskState& state : disk.CrashStates(seed++)) states.insert(state);
    }
  }
  Replay replay;
  for (const power_loss::DiskState& state : states) {
    PutOnDisk(way, state);
    const auto at_target = state.files.find(way.target);
    const Bytes before = at_target == state.files.end() ? Bytes{} : at_target->second.contents;
    const ProcessResult result = RunTool(way.target, way.launch());
    std::vector<std::string> left;
    for (const std::string& directory : way.Watched()) {
      for (const std::string& name : EntriesOf(directory)) {
        if (directory + "/" + name != way.target) left.push_back(name);
      }
    }
    const Bytes after = std::filesystem::exists(way.target) ? FileBytes(way.target) : Bytes{};
    const bool one_run = after == way.cleared_once;
    const bool two_runs = before == way.cleared_once && after == way.cleared_twice;
    ++replay.states;
    if (result.exit_code == 0 && left.empty() && (one_run || two_runs)) continue;
    ++replay.damaged;
    if (replay.first_damage.empty()) {
      replay.first_damage = "exit " + std::to_string(result.exit_code) + ", " + result.errors +
                            (before == old_bytes ? "state: the old file" : "state: " + std::to_string(before.size()) +
                                                                               " bytes at the path") +
                            ", " + std::to_string(left.size()) + " files left beside";
    }
  }
  std::printf("[  tally   ] %d distinct crash states, %d damaged\n", replay.states, replay.damaged);
  return replay;
}

Replay RecordAndReplay(const Way& way, const std::vector<SyscallFault>& faults = {}) {
  const Bytes old_bytes = FileBytes(way.target);
  const auto lines = Record(way, {Tool(), way.target}, faults);
  if (lines.empty()) return {};
  EXPECT_EQ(FileBytes(way.target), way.cleared_once) << "the recorded run did not finish";
  // The replay starts from the disk as it was before the run.
  power_loss::DiskState before;
  before.files[way.target] = {0, old_bytes, {}};
  PutOnDisk(way, before);
  return ReplayCrashes(way, {lines}, old_bytes);
}

Bytes NoisyPage(std::uint32_t width, std::uint32_t height, int seed) {
  return MakeTestPage(width, height, static_cast<std::uint32_t>(seed));
}

// A page whose cleared form takes more room in Deflate: mid-gray paper
// around a block of dark noise, which the clearing stretches to twice its
// contrast against the paper.
Bytes GrowingPage() {
  Bytes pixels(300 * 200, 128);
  std::uint32_t state = 12345;
  for (std::size_t y = 40; y < 160; ++y) {
    for (std::size_t x = 50; x < 250; ++x) {
      state = state * 1103515245u + 12345u;
      pixels[y * 300 + x] = static_cast<std::uint8_t>((state >> 16) % 128);
    }
  }
  return pixels;
}

class PowerLoss : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run as nobody and to set up every way";
  }
};

// The user's own file in a directory the user may write: renamed over.
TEST_F(PowerLoss, ByRename) {
  const Way way({.width = 300, .height = 200, .rows_per_strip = 16, .compression = 5}, NoisyPage(300, 200, 41), 0,
                0644, 0755, false);
  const Replay replay = RecordAndReplay(way);
  EXPECT_GE(replay.states, 3);  // the old file, a named temporary beside it, the new file
  EXPECT_EQ(replay.damaged, 0) << replay.first_damage;
}

// In place, invariants 1 to 3 of in_place.h: shorter new contents (LZW),
// the same length (uncompressed), longer ones (GrowingPage in Deflate),
// the backup beside the file or in the state directory, and a backup
// written under a name from the start where no unnamed files can be made.
TEST_F(PowerLoss, InPlace) {
  constexpr std::uint32_t UnnamedTemporaryFlag = 020000000;
  struct Row {
    const char* what;
    std::uint16_t compression;
    bool growing, beside, named_backup;
  };
  for (const Row& row : std::vector<Row>{{"shorter, in the state directory", 5, false, false, false},
                                         {"the same length", 1, false, false, false},
                                         {"longer, beside the file", 8, true, true, false},
                                         {"a backup named from the start", 5, false, false, true}}) {
    SCOPED_TRACE(row.what);
    const Bytes pixels = row.growing ? GrowingPage() : NoisyPage(300, 200, 42);
    // Another user's world-writable file in an open directory, or
    // nobody's own in a closed one.
    const Way way({.width = 300, .height = 200, .rows_per_strip = 16, .compression = row.compression}, pixels,
                  row.beside ? 0 : Nobody, row.beside ? 0666 : 0644, row.beside ? 0777 : 0555, true);
    if (row.growing) {
      ASSERT_GT(way.cleared_once.size(), FileBytes(way.target).size()) << "the page no longer grows";
    }
    std::vector<SyscallFault> faults;
    if (row.named_backup) faults.push_back({SYS_openat, EOPNOTSUPP, 2, UnnamedTemporaryFlag, UnnamedTemporaryFlag});
    const Replay replay = RecordAndReplay(way, faults);
    EXPECT_GT(replay.states, 20);
    EXPECT_EQ(replay.damaged, 0) << replay.first_damage;
  }
}

// The restore of a torn file is itself cut by power (invariant 5): the run
// after it must still put the file back.  The first run is killed where
// the new contents are whole but not yet cut (and torn again by hand),
// and where they are cut to a shorter or a longer length: the restore
// then lengthens or shortens the file.
TEST_F(PowerLoss, TheRestoreOfATornFile) {
  struct Row {
    const char* what;
    std::uint16_t compression;
    bool growing;
    long kill_at;
    bool tear;
  };
  for (const Row& row : std::vector<Row>{{"torn, at the old length", 5, false, SYS_ftruncate, true},
                                         {"new and shorter: the restore lengthens", 5, false, SYS_fremovexattr, false},
                                         {"new and longer: the restore shortens", 8, true, SYS_fremovexattr, false}}) {
    SCOPED_TRACE(row.what);
    const Bytes pixels = row.growing ? GrowingPage() : NoisyPage(300, 200, 43);
    const Way way({.width = 300, .height = 200, .rows_per_strip = 16, .compression = row.compression}, pixels,
                  Nobody, 0644, 0555, true);
    const Bytes old_bytes = FileBytes(way.target);
    if (row.growing) {
      ASSERT_GT(way.cleared_once.size(), old_bytes.size()) << "the page no longer grows";
    }
    Launch killed = way.launch();
    killed.faults = {KillAt(row.kill_at)};
    ASSERT_EQ(RunTool(way.target, killed).signal, SIGSYS);
    ASSERT_FALSE(Attribute(way.target, Mark).empty());
    if (row.tear) {
      Bytes torn = FileBytes(way.target);
      std::copy(old_bytes.begin(), old_bytes.begin() + 8192, torn.begin());
      const int fd = open(way.target.c_str(), O_WRONLY | O_CLOEXEC);
      ASSERT_EQ(pwrite(fd, torn.data(), torn.size(), 0), static_cast<ssize_t>(torn.size()));
      close(fd);
    }
    // The disk as the cut-off run left it is where the replay starts.
    const power_loss::Disk before(way.Watched(), way.target);
    const auto lines = Record(way, {Tool(), way.target});
    ASSERT_FALSE(lines.empty());
    PutOnDisk(way, before.CrashStates(0).front());
    const Replay replay = ReplayCrashes(way, {lines}, old_bytes);
    EXPECT_GT(replay.states, 20);
    EXPECT_EQ(replay.damaged, 0) << replay.first_damage;
  }
}

// Writers that are not safe are caught: dd over the file without a flush,
// and a new file written without a flush and renamed over the old one.
TEST_F(PowerLoss, UnsafeWritersAreCaught) {
  const Way way({.width = 300, .height = 200, .rows_per_strip = 16}, NoisyPage(300, 200, 44), 0, 0644, 0755, false);
  const std::string fresh = way.scratch / "fresh.tif";
  WriteFileBytes(fresh, way.cleared_once);
  const Bytes old_bytes = FileBytes(way.target);
  const power_loss::DiskState old_state{{{way.target, {0, old_bytes, {}}}}};
  const auto overwrite =
      Record(way, {"/bin/dd", "if=" + fresh, "of=" + way.target, "conv=notrunc", "bs=65536", "status=none"});
  PutOnDisk(way, old_state);
  EXPECT_GT(ReplayCrashes(way, {overwrite}, old_bytes).damaged, 0) << "dd over the file";

  PutOnDisk(way, old_state);
  const std::string part = way.target + ".part";
  const auto write = Record(way, {"/bin/dd", "if=" + fresh, "of=" + part, "bs=65536", "status=none"});
  const auto rename = Record(way, {"/bin/mv", part, way.target});
  PutOnDisk(way, old_state);
  EXPECT_GT(ReplayCrashes(way, {write, rename}, old_bytes).damaged, 0) << "a rename of unflushed data";
}

}  // namespace
