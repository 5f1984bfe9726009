// The file replaced as one transaction on one resolved target, driven
// black-box through the executable: each test is a way the user's file was
// once lost or damaged (a symbolic link swapped in after the read, planted
// or stale backups, another program's update, closed standard descriptors,
// unreadable or append-only directories, strays, no /proc, a torn file
// seen by another user), set up as a careful or a hostile user would.
//
// Runs as another user are made as nobody, so those tests run only as
// root; the rest run as any user.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "file_identity.h"
#include "names.h"
#include "replace_kit.h"
#include "run_process.h"
#include "syscall_faults.h"
#include "test_tiff.h"
#include "thread_pool.h"

namespace {

using namespace testing_support;
using namespace replace_kit;

// Runs the tool on path in a thread and calls act once the tool first
// reads the file, while it is still clearing.
ProcessResult RunAndActAtFirstRead(const std::string& path, const std::function<void()>& act) {
  const int watch = inotify_init1(IN_CLOEXEC);
  EXPECT_GE(inotify_add_watch(watch, path.c_str(), IN_ACCESS), 0);
  ProcessResult result;
  tessvane::ThreadPool runner(1);
  runner.Add([&](std::uint32_t) { result = RunTool(path); });
  char event[4096];
  if (read(watch, event, sizeof event) > 0) act();
  runner.Wait();
  close(watch);
  return result;
}

// ---- one resolved target; commit only what was read ---------------------------------

// A user who controls the page's directory renames a symbolic link to a
// private file over the page while the tool clears it: the write must not
// follow the link.
TEST(Transaction, ASymlinkSwappedInAfterTheReadIsNeverWrittenThrough) {
  ScratchDirectory dir;
  std::filesystem::create_directory(dir / "private");
  ASSERT_EQ(chmod((dir / "private").c_str(), 0700), 0);
  const std::string secret = dir / "private/secret.tif";
  const Page victim = WritePage(secret, 64, 64, 3);
  const std::string page = dir / "page.tif";
  const Page scan = WritePage(page, 4000, 3000, 5);
  std::filesystem::create_symlink(secret, dir / "swap");
  const ProcessResult result = RunAndActAtFirstRead(page, [&] {
    std::filesystem::rename(dir / "swap", page);
  });
  EXPECT_EQ(FileBytes(secret), victim.original);
  EXPECT_TRUE(std::filesystem::is_symlink(page));
  EXPECT_EQ(result.output, "image write error\r\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(Contains(result.errors, "replaced by another")) << result.errors;
}

// Another program replaces the page (mv) or writes into it (dd
// conv=notrunc) during the run: its update stays, the run fails.
TEST(Transaction, AnotherProgramsUpdateDuringTheRunIsKept) {
  struct Case {
    const char* what;
    bool in_place;  // the run overwrites in place (another user's file)
    bool by_rename; // the other program renames a file over the page
  };
  std::vector<Case> cases = {{"mv over the user's file", false, true},
                             {"dd into the user's file", false, false}};
  if (RunningAsRoot()) {
    cases.push_back({"mv over another user's file", true, true});
    cases.push_back({"dd into another user's file", true, false});
  }
  for (const Case& c : cases) {
    ScratchDirectory dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string page = dir / "page.tif";
    WritePage(page, 4000, 3000, 9);
    if (c.in_place) {
      ASSERT_EQ(chmod(page.c_str(), 0666), 0);
    }
    const Bytes update = WritePage(dir / "update.tif", 100, 100, 2).original;
    Bytes expected;
    const auto act = [&] {
      if (c.by_rename) {
        std::filesystem::rename(dir / "update.tif", page);
        expected = update;
      } else {
        std::filesystem::remove(dir / "update.tif");
        const int fd = open(page.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, "other program", 13, 4096), 13);
        close(fd);
        expected = FileBytes(page);
      }
    };
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(watch, page.c_str(), IN_ACCESS), 0);
    ProcessResult result;
    tessvane::ThreadPool runner(1);
    runner.Add([&](std::uint32_t) { result = RunTool(page, {.as_nobody = c.in_place, .state_home = {}}); });
    char event[4096];
    if (read(watch, event, sizeof event) > 0) act();
    runner.Wait();
    close(watch);
    EXPECT_EQ(FileBytes(page), expected) << c.what;
    EXPECT_EQ(result.output, "image write error\r\n") << c.what;
    EXPECT_EQ(result.exit_code, 1) << c.what;
    EXPECT_EQ(EntriesOf(dir.path()), (std::vector<std::string>{"page.tif"})) << c.what;
  }
}

// Started with standard output and error closed, the run's own files took
// descriptors 1 and 2, and libtiff's complaint about a write cut short by
// the file-size limit went into the user's file (overwritten in place, it
// was open for writing as descriptor 2).
TEST(Transaction, ClosedStandardDescriptorsNeverBecomeTheFile) {
  for (const bool in_place : {false, true}) {
    if (in_place && !RunningAsRoot()) continue;  // another user's file needs root
    ScratchDirectory dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string page = dir / "page.tif";
    const Page scan = WritePage(page, 600, 400, 4);
    if (in_place) {
      ASSERT_EQ(chmod(page.c_str(), 0666), 0);
    }
    const ProcessResult result = RunTool(page, {.as_nobody = in_place,
                                                .state_home = dir / "state",
                                                .also = [] {
                                                  // Standard input open, 1 and 2 closed.
                                                  if (open("/dev/null", O_RDONLY) != STDIN_FILENO) _exit(96);
                                                  close(STDOUT_FILENO);
                                                  close(STDERR_FILENO);
                                                  const rlimit limit{20000, 20000};
                                                  setrlimit(RLIMIT_FSIZE, &limit);
                                                }});
    EXPECT_EQ(result.exit_code, 1) << "in place: " << in_place;
    EXPECT_EQ(FileBytes(page), scan.original) << "in place: " << in_place;
    EXPECT_EQ(EntriesOf(dir.path()), (std::vector<std::string>{"page.tif"}));
  }
}

// ---- never report failure after success ---------------------------------------------

// A directory of mode 0300 lets a user rename into it but not open it to
// flush it; the run used to rename, then fail at the flush with exit 1.
// Root ignores directory modes, so as root the run is made as nobody.
TEST(Transaction, AWriteOnlyDirectoryGivesOneRunsResultAndExitZero) {
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "drop");
  std::filesystem::create_directory(dir / "state");
  Own(dir / "state", Nobody, 0700);
  const std::string page = dir / "drop/page.tif";
  const Page scan = WritePage(page, 600, 400, 6);
  Own(page, Nobody, 0644);
  Own(dir / "drop", Nobody, 0300);
  const ProcessResult result =
      RunTool(page, {.as_nobody = RunningAsRoot(), .state_home = dir / "state"});
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(FileBytes(page), scan.cleared);
  ASSERT_EQ(chmod((dir / "drop").c_str(), 0700), 0);
  EXPECT_EQ(EntriesOf(dir / "drop"), (std::vector<std::string>{"page.tif"}));
  EXPECT_EQ(FilesUnder(dir / "state"), std::vector<std::string>{});
}

// ---- backups that cannot lie ----------------------------------------------------------

// In a sticky directory another user plants files under the names of
// backups, old and new style, and a FIFO: none is restored, none blocks
// the run, none is removed.
TEST(Transaction, BackupsPlantedByAnotherUserAreNeverRestored) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "shared");
  std::filesystem::create_directory(dir / "state");
  Own(dir / "state", Nobody, 0700);
  ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
  const std::string page = dir / "shared/page.tif";
  const Page scan = WritePage(page, 600, 400, 8);
  Own(page, 0, 0666);  // rewritten in place by nobody, backed up beside it
  struct stat status {};
  ASSERT_EQ(stat(page.c_str(), &status), 0);
  const int page_fd = open(page.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string key = tessvane::IdentityKey(tessvane::IdentityOf(page_fd));
  close(page_fd);
  const std::string planted_file = tessvane::MakeName(tessvane::NameKind::Backup, page, key);
  const std::string planted_fifo =
      tessvane::MakeName(tessvane::NameKind::Backup, page, tessvane::TargetKey(page));
  std::ostringstream old_style;
  old_style << ".page.tif.tessvane-backup-" << std::hex << status.st_dev << "-" << status.st_ino;
  const Bytes planted(17, 'A');
  WriteFileBytes(dir / ("shared/" + planted_file), planted);
  WriteFileBytes(dir / ("shared/" + old_style.str()), planted);
  ASSERT_EQ(mkfifo((dir / ("shared/" + planted_fifo)).c_str(), 0666), 0);
  const ProcessResult result = RunTool(page, {.as_nobody = true, .state_home = dir / "state"});
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(FileBytes(page), scan.cleared);
  EXPECT_EQ(FileBytes(dir / ("shared/" + planted_file)), planted);
  EXPECT_EQ(FileBytes(dir / ("shared/" + old_style.str())), planted);
  EXPECT_TRUE(std::filesystem::is_fifo(dir / ("shared/" + planted_fifo)));
  EXPECT_TRUE(Contains(result.errors, "is not ours")) << result.errors;
}

// A run killed after its backup was made leaves it; the user then copies a
// new scan over the file (cp keeps the inode, and the mark) or deletes it
// and copies a new one in.  The old scan must not come back over the new
// one.  A marked file that matches its backup in no way is refused, with
// the mark and the backup (invariant 5), until the user takes the mark off.
TEST(Transaction, AStaleBackupIsSetAsideNotRestoredOverNewerWork) {
  for (const bool new_inode : {false, true}) {
    ClosedDirectory closed;
    const Page first = WritePage(closed.dir / "first.tif", 600, 400, 10);
    const Page second = WritePage(closed.dir / "second.tif", 600, 400, 11);
    closed.Put(first.original, true);
    const ProcessResult killed = RunTool(closed.page, closed.launch({KillAt(SYS_fallocate)}));
    ASSERT_EQ(killed.signal, SIGSYS) << killed.output << killed.errors;
    ASSERT_EQ(FilesUnder(closed.state).size(), 1u) << "the killed run left its backup";
    struct stat before {}, after {};
    ASSERT_EQ(stat(closed.page.c_str(), &before), 0);
    closed.Put(second.original, new_inode);
    ASSERT_EQ(stat(closed.page.c_str(), &after), 0);
    // ext4 hands a freed inode number to the next file: then only the birth
    // time in the backup's header tells the two files apart.
    if (new_inode) RecordProperty("inode_number_reused", before.st_ino == after.st_ino ? "yes" : "no");
    if (!new_inode) {
      const ProcessResult refused = RunTool(closed.page, closed.launch());
      EXPECT_EQ(refused.output, "image read error\r\n");
      EXPECT_TRUE(Contains(refused.errors, "changed since in a way it cannot have")) << refused.errors;
      EXPECT_EQ(FileBytes(closed.page), second.original);
      EXPECT_EQ(FilesUnder(closed.state).size(), 1u);
      ASSERT_EQ(RunProgram("/usr/bin/setfattr", {"-x", "user.tessvane.pending", closed.page}).exit_code, 0);
    }
    // A backup of the file that was deleted may still be that file's, if it
    // was only moved: it is left for it, and said so.
    const ProcessResult next = RunTool(closed.page, closed.launch());
    EXPECT_EQ(next.exit_code, 0) << next.output << next.errors;
    EXPECT_EQ(FileBytes(closed.page), second.cleared) << "new inode: " << new_inode;
    EXPECT_TRUE(Contains(next.errors, new_inode ? "kept as it is for that file" : "set aside as")) << next.errors;
    const auto left = FilesUnder(closed.state);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(Contains(left[0], new_inode ? ".tessvane-bak-" : ".tessvane-aside-")) << left[0];
  }
}

// A run cut off after the overwrite began, on a file of the runner's own:
// the next run restores and completes, leaving one run's result; also
// when the torn file was moved meanwhile (its mark names the backup).
TEST(Transaction, ACutOffOverwriteIsRestoredByTheSameUsersNextRun) {
  for (const bool moved : {false, true}) {
    ClosedDirectory closed;
    const Page page = WritePage(closed.dir / "first.tif", 600, 400, 12);
    closed.Put(page.original, true);
    const ProcessResult killed = RunTool(closed.page, closed.launch({KillAt(SYS_ftruncate)}));
    ASSERT_EQ(killed.signal, SIGSYS);
    std::string path = closed.page;
    if (moved) {
      path = closed.dir / "closed/moved.tif";
      ASSERT_EQ(chmod((closed.dir / "closed").c_str(), 0755), 0);
      std::filesystem::rename(closed.page, path);
      ASSERT_EQ(chmod((closed.dir / "closed").c_str(), 0555), 0);
    }
    const ProcessResult next = RunTool(path, closed.launch());
    EXPECT_EQ(next.exit_code, 0) << next.output << next.errors;
    EXPECT_TRUE(FileBytes(path) == page.cleared) << "moved: " << moved << "; " << next.errors;
    EXPECT_EQ(FilesUnder(closed.state), std::vector<std::string>{}) << "moved: " << moved;
    EXPECT_EQ(EntriesOf(closed.dir / "closed").size(), 1u);
  }
}

// Nobody overwrites root's group-writable page in place and is cut off;
// the backup sits in nobody's private state directory.  Root's run must
// refuse the torn file instead of clearing it; nobody's next run mends it.
TEST(Transaction, AnotherUsersRunRefusesAFileLeftTorn) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "state");
  Own(dir / "state", Nobody, 0700);
  const std::string page = dir / "page.tif";
  const Page scan = WritePage(page, 600, 400, 13);
  ASSERT_EQ(chmod(page.c_str(), 0666), 0);
  const Launch nobody{.as_nobody = true, .state_home = dir / "state"};
  Launch killed_nobody = nobody;
  killed_nobody.faults = {KillAt(SYS_ftruncate)};
  ASSERT_EQ(RunTool(page, killed_nobody).signal, SIGSYS);
  char mark[256] = {};
  ASSERT_GT(getxattr(page.c_str(), "user.tessvane.pending", mark, sizeof mark - 1), 0);
  const Bytes torn = FileBytes(page);
  const ProcessResult root_run = RunTool(page, {.state_home = dir / "root-state"});
  EXPECT_EQ(root_run.output, "image read error\r\n");
  EXPECT_EQ(root_run.exit_code, 1);
  EXPECT_TRUE(Contains(root_run.errors, "user 65534 was cut off")) << root_run.errors;
  EXPECT_EQ(FileBytes(page), torn);
  const ProcessResult mended = RunTool(page, nobody);
  EXPECT_EQ(mended.exit_code, 0) << mended.output << mended.errors;
  EXPECT_EQ(FileBytes(page), scan.cleared);
  EXPECT_LT(getxattr(page.c_str(), "user.tessvane.pending", mark, sizeof mark), 0);
}

// ---- durability, strays, fallbacks -----------------------------------------------------

// The state directory made by the run: each new directory is flushed in
// its parent (strace -y names the directory of each call).
TEST(Transaction, EachDirectoryTheRunMakesIsFlushedInItsParent) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run in place as another user";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "home");
  Own(dir / "home", Nobody, 0700);
  const std::string page = dir / "page.tif";
  WritePage(page, 300, 200, 14);
  ASSERT_EQ(chmod(page.c_str(), 0666), 0);
  const std::string trace = dir / "trace";
  const ProcessResult result = RunProgram(
      "/usr/bin/strace", {"-f", "-y", "-qq", "-e", "trace=mkdir,mkdirat,fsync,fdatasync", "-o", trace,
                          "/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                          "/usr/bin/env", "XDG_STATE_HOME=" + (dir / "home/a/b"),
                          // the sanitizer build's leak check cannot run under ptrace
                          "ASAN_OPTIONS=detect_leaks=0", TESSVANE_PATH, page},
      {.close_input = true});
  if (result.exit_code != 0 && !std::filesystem::exists(trace)) GTEST_SKIP() << "strace cannot run here";
  ASSERT_EQ(result.exit_code, 0) << result.output << result.errors;
  std::ifstream lines(trace);
  const std::regex made(R"re(mkdirat\(\d+<([^>]*)>, "([^"]+)".*\) = 0)re");
  const std::regex flushed(R"re(fsync\(\d+<([^>]*)>\) = 0)re");
  std::vector<std::string> unflushed;
  int made_count = 0;
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_search(line, match, made)) {
      unflushed.push_back(match[1]);
      ++made_count;
    } else if (std::regex_search(line, match, flushed)) {
      std::erase(unflushed, match[1].str());
    }
  }
  EXPECT_EQ(made_count, 3) << "tessvane, b and a are made";
  EXPECT_EQ(unflushed, std::vector<std::string>{});
}

// Root's run killed at the rename in a user's directory leaves a named
// temporary file (the user's, as it has the target's owner); the next run,
// by root or by the user, removes it.
TEST(Transaction, AStrayOfAnotherUsersRunIsRemovedByTheNextRun) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  for (const bool next_as_nobody : {false, true}) {
    ScratchDirectory dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    std::filesystem::create_directory(dir / "user");
    const std::string page = dir / "user/page.tif";
    const Page scan = WritePage(page, 300, 200, 15);
    Own(page, Nobody, 0644);
    Own(dir / "user", Nobody, 0755);
    const ProcessResult killed =
        RunTool(page, {.faults = {KillAt(SYS_rename), KillAt(SYS_renameat), KillAt(SYS_renameat2)}});
    ASSERT_EQ(killed.signal, SIGSYS);
    ASSERT_EQ(EntriesOf(dir / "user").size(), 2u) << "the kill left the named temporary file";
    const ProcessResult next =
        RunTool(page, {.as_nobody = next_as_nobody, .state_home = dir / "state"});
    EXPECT_EQ(next.exit_code, 0) << next.output << next.errors;
    EXPECT_EQ(FileBytes(page), scan.cleared);
    EXPECT_EQ(EntriesOf(dir / "user"), (std::vector<std::string>{"page.tif"}))
        << "next run as nobody: " << next_as_nobody;
  }
}

// In an append-only directory nothing can be removed or renamed over: the
// file is rewritten in place, and nothing is left in the directory.
TEST(Transaction, AnAppendOnlyDirectoryIsLeftWithoutStrays) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to make a directory append-only";
  ScratchDirectory dir;
  std::filesystem::create_directory(dir / "log");
  const std::string page = dir / "log/page.tif";
  const Page scan = WritePage(page, 300, 200, 16);
  if (RunProgram("/usr/bin/chattr", {"+a", dir / "log"}).exit_code != 0) {
    GTEST_SKIP() << "this file system has no append-only directories";
  }
  const ProcessResult result = RunTool(page, {.state_home = dir / "state"});
  const std::vector<std::string> entries = EntriesOf(dir / "log");
  RunProgram("/usr/bin/chattr", {"-a", dir / "log"});
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(FileBytes(page), scan.cleared);
  EXPECT_EQ(entries, (std::vector<std::string>{"page.tif"}));
}

// Without /proc an unnamed temporary file cannot be named: a named one
// (fresh random name, O_EXCL) is used instead of failing.
TEST(Transaction, WithoutProcANamedTemporaryFileIsUsed) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to unmount /proc in a namespace";
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer runtime reads its options and checks leaks through /proc";
#endif
  ScratchDirectory dir;
  const std::string page = dir / "page.tif";
  const Page scan = WritePage(page, 300, 200, 17);
  const ProcessResult result = RunTool(page, {.also = [] {
                                           if (unshare(CLONE_NEWNS) != 0 ||
                                               mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                                               umount2("/proc", MNT_DETACH) != 0) {
                                             _exit(97);
                                           }
                                         }});
  if (result.exit_code == 97) GTEST_SKIP() << "cannot unmount /proc here";
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(FileBytes(page), scan.cleared);
  EXPECT_EQ(EntriesOf(dir.path()), (std::vector<std::string>{"page.tif"}));
}

// Where the file system has no unnamed files, the backup was written to a
// name another user could create first in a sticky directory, and that
// user's file received the image.
TEST(Transaction, FallbackFilesAreNeverOpenedUnderANameAnotherUserMade) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "shared");
  ASSERT_EQ(chmod((dir / "shared").c_str(), 01777), 0);
  const std::string page = dir / "shared/page.tif";
  const Page scan = WritePage(page, 300, 200, 18);
  ASSERT_EQ(chmod(page.c_str(), 0666), 0);
  struct stat status {};
  ASSERT_EQ(stat(page.c_str(), &status), 0);
  std::ostringstream trap;
  trap << ".page.tif.tessvane-backup-" << std::hex << status.st_dev << "-" << status.st_ino << ".partial";
  WriteFileBytes(dir / ("shared/" + trap.str()), {});
  ASSERT_EQ(chmod((dir / ("shared/" + trap.str())).c_str(), 0666), 0);
  constexpr std::uint32_t UnnamedTemporaryFlag = 020000000;
  const ProcessResult result =
      RunTool(page, {.as_nobody = true, .state_home = dir / "state",
                 .faults = {{SYS_openat, EOPNOTSUPP, 2, UnnamedTemporaryFlag, UnnamedTemporaryFlag}}});
  EXPECT_EQ(result.exit_code, 0) << result.output << result.errors;
  EXPECT_EQ(FileBytes(page), scan.cleared);
  EXPECT_EQ(FileBytes(dir / ("shared/" + trap.str())), Bytes{});
  EXPECT_EQ(EntriesOf(dir / "shared"), (std::vector<std::string>{trap.str(), "page.tif"}));
}

}  // namespace
