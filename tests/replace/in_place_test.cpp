// What the overwrite in place makes sure of before it touches the file,
// driven black-box through the executable (in_place.h, invariants 6 to 8,
// and the places of backup_places.h): a file system without extended
// attributes, a copy-on-write file system short of space, planted or
// unfit state directories, and the reasons that say what really failed.
//
// Each test runs the tool as nobody on its own page in a closed
// directory, so it runs only as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "replace_kit.h"
#include "test_tiff.h"

namespace {

using namespace testing_support;
using namespace replace_kit;

// A file system mounted at a directory for one test, unmounted after it.
class Mounted {
 public:
  Mounted(const std::string& source, const std::string& at, const char* type, unsigned long flags = 0,
          const char* options = nullptr)
      : at_(at), ok_(mount(source.c_str(), at.c_str(), type, flags, options) == 0) {}
  ~Mounted() {
    if (ok_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool ok() const { return ok_; }

 private:
  std::string at_;
  bool ok_;
};

// A page of nobody's in directory, closed to nobody, with what one run
// makes of it.
Page ClosedPage(const std::string& directory, std::uint32_t width, std::uint32_t height, int seed) {
  std::filesystem::create_directories(directory);
  const Page page = WritePage(directory + "/page.tif", width, height, seed);
  Own(directory + "/page.tif", Nobody, 0644);
  Own(directory, Nobody, 0555);
  return page;
}

void ExpectWriteErrorLeavingNothing(const ProcessResult& result, const std::string& page, const Page& scan,
                                    const std::string& state, const std::string& why) {
  EXPECT_EQ(result.output, "image write error\r\n") << why << ": " << result.errors;
  EXPECT_EQ(result.exit_code, 1) << why;
  EXPECT_TRUE(Contains(result.errors, why)) << result.errors;
  EXPECT_EQ(FileBytes(page), scan.original) << why;
  EXPECT_EQ(Attribute(page, "user.tessvane.pending"), "") << why;
  EXPECT_EQ(FilesUnder(state), std::vector<std::string>{}) << why;
}

// Without extended attributes a file overwritten in place carried no mark,
// and a torn one reached by another path (a bind mount) was cleared as if
// whole.  Now the in-place way is refused there, by any path, the file
// untouched.
TEST(InPlace, IsRefusedWhereTheFileCannotCarryItsMark) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to mount and to act as nobody";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  for (const char* sub : {"ram", "bound", "state"}) std::filesystem::create_directory(dir / sub);
  Own(dir / "state", Nobody, 0700);
  const Mounted ram("none", dir / "ram", "ramfs");
  if (!ram.ok()) GTEST_SKIP() << "cannot mount ramfs here";
  ASSERT_EQ(chmod((dir / "ram").c_str(), 0755), 0);
  const Page scan = ClosedPage(dir / "ram/closed", 300, 200, 31);
  const Mounted bound(dir / "ram", dir / "bound", nullptr, MS_BIND);
  ASSERT_TRUE(bound.ok());
  for (const std::string& page : {dir / "ram/closed/page.tif", dir / "bound/closed/page.tif"}) {
    const ProcessResult result = RunTool(page, {.as_nobody = true, .state_home = dir / "state"});
    ExpectWriteErrorLeavingNothing(result, page, scan, dir / "state", "keeps no extended attributes");
  }
}

// On a copy-on-write file system fallocate holds no space for an
// overwrite: a nearly full btrfs ran out half-way, and so did the restore,
// leaving the file torn after "image write error".  Now the free space is
// measured first and the file left untouched.
TEST(InPlace, ACopyOnWriteFileSystemShortOfSpaceLeavesTheFileUntouched) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root for loop devices";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  for (const char* sub : {"disk", "state"}) std::filesystem::create_directory(dir / sub);
  Own(dir / "state", Nobody, 0700);
  const std::string image = dir / "btrfs.img";
  if (!MakeImage(image, "btrfs", 128 << 20)) GTEST_SKIP() << "no mkfs.btrfs";
  LoopMount disk(image);
  if (!disk.MountAt(dir / "disk")) GTEST_SKIP() << "no loop device can be attached here";
  const std::string page = dir / "disk/closed/page.tif";
  const Page scan = ClosedPage(dir / "disk/closed", 2000, 1500, 32);  // 3 MB, uncompressed
  // Fill the disk but for less than the page: an overwrite there needs the
  // page's size again, and a restore as much.  btrfs counts its space
  // loosely, so the disk is filled to the end and a megabyte set free.
  const std::string pad = dir / "disk/pad", fill = dir / "disk/fill";
  RunProgram("/bin/dd", {"if=/dev/zero", "of=" + pad, "bs=1M", "count=1"});
  RunProgram("/bin/dd", {"if=/dev/zero", "of=" + fill, "bs=1M"});
  sync();
  std::filesystem::remove(pad);
  sync();
  struct statvfs space {};
  ASSERT_EQ(statvfs(page.c_str(), &space), 0);
  ASSERT_LT(space.f_bavail * space.f_frsize, scan.original.size()) << "the disk was not filled";
  const ProcessResult result = RunTool(page, {.as_nobody = true, .state_home = dir / "state"});
  ExpectWriteErrorLeavingNothing(result, page, scan, dir / "state", "no space left on device");
}

// A state directory nobody may trust: /var/tmp/tessvane-UID planted as a
// symbolic link (followed, it took the backup to a folder in memory), a
// state directory in memory, one others may write.  None takes the backup;
// with no other place the file is left untouched, and the reason says why
// each place was refused.
TEST(InPlace, NoBackupGoesWhereItCannotBeTrusted) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to mount and to act as nobody";
  struct Row {
    const char* what;
    std::function<void(const ScratchDirectory&)> set_up;  // in the run's own mount namespace
    std::string why;
  };
  const auto in_memory = [](const ScratchDirectory& dir) {
    return mount("none", (dir / "memory").c_str(), "tmpfs", 0, nullptr) == 0 &&
           mkdir((dir / "memory/state").c_str(), 0700) == 0 &&
           chown((dir / "memory/state").c_str(), Nobody, Nobody) == 0;
  };
  const std::vector<Row> rows = {
      {"a planted link", [&](const ScratchDirectory& dir) {
         if (!in_memory(dir) || symlink((dir / "memory/state").c_str(), (dir / "var-tmp/tessvane-65534").c_str()) != 0) {
           _exit(97);
         }
       }, "/var/tmp/tessvane-65534: a symbolic link"},
      {"a state directory in memory", [&](const ScratchDirectory& dir) {
         if (!in_memory(dir) || setenv("XDG_STATE_HOME", (dir / "memory").c_str(), 1) != 0 ||
             rename((dir / "memory/state").c_str(), (dir / "memory/tessvane").c_str()) != 0) {
           _exit(97);
         }
       }, "memory/tessvane: in memory, lost on a power cut"},
      {"a state directory others may write", [&](const ScratchDirectory& dir) {
         if (mkdir((dir / "shared").c_str(), 0755) != 0 || mkdir((dir / "shared/tessvane").c_str(), 0777) != 0 ||
             chmod((dir / "shared/tessvane").c_str(), 0777) != 0 ||
             chown((dir / "shared/tessvane").c_str(), Nobody, Nobody) != 0 ||
             setenv("XDG_STATE_HOME", (dir / "shared").c_str(), 1) != 0) {
           _exit(97);
         }
       }, "shared/tessvane: others may write it"},
      {"a state directory inside another user's directory", [&](const ScratchDirectory& dir) {
         if (mkdir((dir / "theirs").c_str(), 0755) != 0 || chown((dir / "theirs").c_str(), 4242, 4242) != 0 ||
             mkdir((dir / "theirs/state").c_str(), 0700) != 0 ||
             chown((dir / "theirs/state").c_str(), Nobody, Nobody) != 0 ||
             setenv("XDG_STATE_HOME", (dir / "theirs/state").c_str(), 1) != 0) {
           _exit(97);
         }
       }, "theirs on its way is another user's"},
      {"a state directory with an escape in its name", [&](const ScratchDirectory& dir) {
         const std::string odd = dir / "shared\x1b[31m";
         if (mkdir(odd.c_str(), 0777) != 0 || chmod(odd.c_str(), 0777) != 0 ||
             setenv("XDG_STATE_HOME", odd.c_str(), 1) != 0) {
           _exit(97);
         }
       }, "/shared'$'\\033''[31m' on its way is writable by others"},
  };
  for (const Row& row : rows) {
    ScratchDirectory dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    for (const char* sub : {"memory", "var-tmp"}) std::filesystem::create_directory(dir / sub);
    const Page scan = ClosedPage(dir / "closed", 300, 200, 33);
    const ProcessResult result = RunTool(dir / "closed/page.tif", {.as_nobody = true, .also = [&] {
      // /var/tmp of this run alone, without a state directory of its own.
      unsetenv("XDG_STATE_HOME");
      unsetenv("HOME");
      if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount((dir / "var-tmp").c_str(), "/var/tmp", nullptr, MS_BIND, nullptr) != 0) {
        _exit(97);
      }
      row.set_up(dir);
    }});
    ASSERT_NE(result.exit_code, 97) << row.what << ": cannot set up the run's mount namespace";
    // What went into memory went with the run's mount namespace; a file
    // the run left in the shared state directory would show.
    ExpectWriteErrorLeavingNothing(result, dir / "closed/page.tif", scan, dir / "shared", row.why);
    EXPECT_TRUE(Contains(result.errors, "no place takes a backup of the file; ")) << result.errors;
    EXPECT_EQ(result.errors.find('\x1b'), std::string::npos) << row.what;
  }
}

// The new contents of an overwrite in place are held in memory; when that
// failed for want of descriptors, the reason said "no memory".
TEST(InPlace, AReasonNamesTheRealCause) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as nobody";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "state");
  Own(dir / "state", Nobody, 0700);
  const Page scan = ClosedPage(dir / "closed", 300, 200, 34);
  const ProcessResult result = RunTool(dir / "closed/page.tif", {.as_nobody = true, .state_home = dir / "state",
                                                                 .faults = {{SYS_memfd_create, EMFILE}}});
  ExpectWriteErrorLeavingNothing(result, dir / "closed/page.tif", scan, dir / "state",
                                 "the new contents cannot be held in memory: too many open files");
}

}  // namespace
