// Rewriting in place without ever losing the user's file: the usual rename
// path, the in-place path for files a rename would change, and every
// failure we can inject (unwritable targets, a full file system, a file
// size limit, failing syscalls, damaged input, kills mid-write).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "im_proc.h"
#include "names.h"
#include "reference_clearing.h"
#include "run_process.h"
#include "syscall_faults.h"
#include "test_tiff.h"

namespace tessvane {
namespace {

using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ProcessOptions;
using testing_support::ReadWithLibtiff;
using testing_support::RunTessvane;
using testing_support::ScratchDirectory;
using testing_support::SyscallFault;
using testing_support::WriteTestTiff;

constexpr std::uint32_t PageWidth = 300;
constexpr std::uint32_t PageHeight = 200;

// Writes a test page at path; returns what the tool should turn it into.
std::vector<std::uint8_t> WritePage(const std::string& path, std::uint16_t compression = COMPRESSION_NONE) {
  const auto page = testing_support::WriteTestPage(
      path, {.width = PageWidth, .height = PageHeight, .rows_per_strip = 32, .compression = compression}, 42);
  return testing_support::ReferenceClearing(page, PageWidth, PageHeight);
}

struct stat StatOf(const std::string& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

// The run failed with message and left the file exactly as it was, and no
// temporary file beside it.
void ExpectUntouched(const testing_support::ProcessResult& result, const std::string& message,
                     const ScratchDirectory& dir, const std::string& path,
                     const std::vector<std::uint8_t>& before,
                     const std::vector<std::string>& entries) {
  EXPECT_EQ(result.output, message);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(FileBytes(path), before);
  EXPECT_EQ(dir.Entries(), entries);
}

bool RunningAsRoot() { return geteuid() == 0; }

// ---- the usual path and the files a rename would change ----------------------

TEST(SafeOutput, KeepsPermissionBitsAndOwnership) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  const auto expected = WritePage(path);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  if (RunningAsRoot()) {
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  }
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  const struct stat status = StatOf(path);
  EXPECT_EQ(status.st_mode & 07777, 0640u);
  if (RunningAsRoot()) {
    EXPECT_EQ(status.st_uid, 65534u);
    EXPECT_EQ(status.st_gid, 65534u);
  }
  EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"page.tif"});
}

TEST(SafeOutput, ASymbolicLinkStaysALinkAndItsTargetIsRewritten) {
  ScratchDirectory dir;
  std::filesystem::create_directory(dir / "real");
  const auto expected = WritePage(dir / "real/page.tif");
  std::filesystem::create_symlink("real/page.tif", dir / "link.tif");
  const auto result = RunTessvane({dir / "link.tif"}, {.close_input = true});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.tif"));
  EXPECT_EQ(ReadWithLibtiff(dir / "real/page.tif").pixels, expected);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link.tif", "real"}));
}

// Like sed -i: the name given gets a new file, the other names keep the
// old one, so nothing is lost and no reader of the other name sees a
// half-written file.
TEST(SafeOutput, AHardLinkedFileIsReplacedUnderTheNameGivenAndItsOtherNamesKeepTheOldOne) {
  ScratchDirectory dir;
  const auto expected = WritePage(dir / "a.tif");
  std::filesystem::create_hard_link(dir / "a.tif", dir / "b.tif");
  const auto before = FileBytes(dir / "a.tif");
  const ino_t inode = StatOf(dir / "a.tif").st_ino;
  const auto result = RunTessvane({dir / "a.tif"}, {.close_input = true});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_NE(StatOf(dir / "a.tif").st_ino, inode);
  EXPECT_EQ(StatOf(dir / "a.tif").st_nlink, 1u);
  EXPECT_EQ(StatOf(dir / "b.tif").st_ino, inode);
  EXPECT_EQ(ReadWithLibtiff(dir / "a.tif").pixels, expected);
  EXPECT_EQ(FileBytes(dir / "b.tif"), before);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"a.tif", "b.tif"}));
}

TEST(SafeOutput, ExtendedAttributesStayWithTheFile) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  const auto expected = WritePage(path);
  if (setxattr(path.c_str(), "user.origin", "scanner-7", 9, 0) != 0) {
    GTEST_SKIP() << "this file system has no user extended attributes";
  }
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.exit_code, 0) << result.output;
  char value[32] = {};
  EXPECT_EQ(getxattr(path.c_str(), "user.origin", value, sizeof value), 9);
  EXPECT_STREQ(value, "scanner-7");
  EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
}

// Runs the tool as the unprivileged user nobody.
ProcessOptions AsNobody() {
  return {.close_input = true, .in_child = [] {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
          }};
}

TEST(SafeOutput, AFileTheUserMayNotWriteIsNotReplacedAroundItsPermissions) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run the tool as another user";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // nobody could replace it by rename
  const std::string path = dir / "page.tif";
  WritePage(path);
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  const auto before = FileBytes(path);
  ExpectUntouched(RunTessvane({path}, AsNobody()), "image write error\r\n", dir, path, before,
                  {"page.tif"});
}

// Another user's file that this user may write, in a directory this user
// may not write: rewritten in place, still the owner's.
TEST(SafeOutput, AnotherUsersWritableFileIsRewrittenInPlace) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run the tool as another user";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir / "page.tif";
  const auto expected = WritePage(path);
  ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  const auto result = RunTessvane({path}, AsNobody());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(StatOf(path).st_uid, 0u);
  EXPECT_EQ(StatOf(path).st_mode & 07777, 0666u);
  EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"page.tif"});
}

// The user's own file in a directory the user may not write: no temporary
// file can be made beside it, so it is rewritten in place.
TEST(SafeOutput, AFileInADirectoryTheUserMayNotWriteIsRewrittenInPlace) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to run the tool as another user";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir / "page.tif";
  const auto expected = WritePage(path);
  ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
  const auto result = RunTessvane({path}, AsNobody());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"page.tif"});
}

// ---- failures ------------------------------------------------------------------------

TEST(SafeOutput, ADamagedStripIsAReadError) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WritePage(path, COMPRESSION_LZW);
  const auto contents = ReadWithLibtiff(path);
  auto bytes = FileBytes(path);
  // Overwrite the middle of the file, which is strip data, with codes that
  // cannot occur at that point of an LZW stream.
  for (std::size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i) bytes[i] = 0xFF;
  testing_support::WriteFileBytes(path, bytes);
  ExpectUntouched(RunTessvane({path}, {.close_input = true}), "image read error\r\n", dir, path,
                  bytes, {"page.tif"});
  EXPECT_FALSE(contents.pixels.empty());
}

TEST(SafeOutput, ACompressionTheLibraryCannotEncodeIsAWriteError) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WritePage(path);
  const auto before = FileBytes(path);
  TMyImage image;
  const char* name = path.c_str();
  ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
  for (const std::uint32_t compression : {32766u, 32809u, 34712u, 12345u}) {
    image.Compression = compression;
    EXPECT_EQ(WriteTiffImage(path.c_str(), image), 0) << compression;
    EXPECT_EQ(FileBytes(path), before) << compression;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"page.tif"}) << compression;
  }
}

TEST(SafeOutput, AFileSizeLimitIsAWriteError) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WritePage(path);
  const auto before = FileBytes(path);
  const auto result = RunTessvane({path}, {.close_input = true, .in_child = [] {
                                             const rlimit limit{20000, 20000};
                                             setrlimit(RLIMIT_FSIZE, &limit);
                                           }});
  ExpectUntouched(result, "image write error\r\n", dir, path, before, {"page.tif"});
}

// A small file system of its own, mounted for the test and removed after.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(const std::string& where) : where_(where) {
    std::filesystem::create_directory(where);
    mounted_ = mount("tmpfs", where.c_str(), "tmpfs", 0, "size=256k") == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string where_;
  bool mounted_ = false;
};

TEST(SafeOutput, AFullFileSystemIsAWriteError) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to mount a small file system";
  ScratchDirectory dir;
  SmallFileSystem small(dir / "small");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount tmpfs here";
  const std::string path = dir / "small/page.tif";
  WritePage(path);
  {  // fill the file system up to its last byte
    const int filler = open((dir / "small/filler").c_str(), O_CREAT | O_WRONLY, 0600);
    const std::vector<char> block(4096, 1);
    while (write(filler, block.data(), block.size()) > 0) {
    }
    close(filler);
  }
  const auto before = FileBytes(path);
  const auto result = RunTessvane({path}, {.close_input = true});
  EXPECT_EQ(result.output, "image write error\r\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(path), before);
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir / "small")) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"filler", "page.tif"}));
}

// Runs the tool with the faults installed in its process.
testing_support::ProcessResult RunWithFaults(const std::string& path,
                                             std::vector<SyscallFault> faults) {
  return RunTessvane({path}, {.close_input = true, .in_child = [faults] {
                                if (!testing_support::InstallSyscallFaults(faults)) _exit(98);
                              }});
}

TEST(SafeOutput, AFailedFlushToDiskIsAWriteErrorOnBothPaths) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WritePage(path);
  const auto before = FileBytes(path);
  ExpectUntouched(RunWithFaults(path, {{SYS_fsync, EIO}}), "image write error\r\n", dir, path,
                  before, {"page.tif"});
  // A second link changes nothing: the new file is still renamed in, and
  // a failed flush still leaves the old one.
  std::filesystem::create_hard_link(path, dir / "other.tif");
  ExpectUntouched(RunWithFaults(path, {{SYS_fsync, EIO}}), "image write error\r\n", dir, path,
                  before, {"other.tif", "page.tif"});
}

// Where the file system has no unnamed temporary files, the temporary file
// is named; it still never outlives the run.
constexpr std::uint32_t UnnamedTemporaryFlag = 020000000;
const SyscallFault NoUnnamedTemporaries{SYS_openat, EOPNOTSUPP, 2, UnnamedTemporaryFlag,
                                        UnnamedTemporaryFlag};

TEST(SafeOutput, NamedTemporaryFilesAreRenamedOrRemoved) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  const auto expected = WritePage(path);
  const auto before = FileBytes(path);
  ExpectUntouched(RunWithFaults(path, {NoUnnamedTemporaries, {SYS_fsync, EIO}}),
                  "image write error\r\n", dir, path, before, {"page.tif"});
  const auto result = RunWithFaults(path, {NoUnnamedTemporaries});
  EXPECT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"page.tif"});
}

// ---- killed mid-run ------------------------------------------------------------------

// Kills runs on a large page at moments spread over a whole run, with the
// given signal: each leaves the old file or the complete new one, and
// nothing else; but for the named temporary that a SIGKILL in the moment
// between naming it and renaming it leaves (a loaded machine can stop the
// run right there), which the next run on the file removes.
void ExpectKillsLoseNothing(int signal_number, const std::vector<SyscallFault>& faults) {
  ScratchDirectory dir;
  const std::string path = dir / "big.tif";
  const std::uint32_t width = 3000, height = 2500;
  WriteTestTiff(path, {.width = width, .height = height, .rows_per_strip = 64},
                MakeTestPage(width, height, 7));
  const auto original = FileBytes(path);
  std::filesystem::copy_file(path, dir / "expected.tif");
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(RunTessvane({dir / "expected.tif"}, {.close_input = true}).exit_code, 0);
  const auto full_run = std::chrono::steady_clock::now() - start;
  const auto cleared = FileBytes(dir / "expected.tif");
  std::filesystem::remove(dir / "expected.tif");

  int old_seen = 0, new_seen = 0;
  for (int step = 1; step <= 12; ++step) {
    testing_support::WriteFileBytes(path, original);
    const pid_t child = testing_support::StartTessvane({path}, {.faults = faults});
    std::this_thread::sleep_for(full_run * step / 12);
    kill(child, signal_number);
    testing_support::WaitForProcess(child);
    const auto now = FileBytes(path);
    if (now == original) {
      ++old_seen;
    } else {
      EXPECT_EQ(now, cleared) << "step " << step << ": the file is neither old nor new";
      ++new_seen;
    }
    if (signal_number == SIGKILL && dir.Entries().size() == 2 &&
        IsNameFor(dir.Entries()[0], NameKind::Temporary, TargetKey(path))) {
      const auto before = FileBytes(path);
      EXPECT_EQ(RunTessvane({path}, {.close_input = true}).exit_code, 0) << "step " << step;
      EXPECT_NE(FileBytes(path), before) << "step " << step;
    }
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"big.tif"}) << "step " << step;
  }
  EXPECT_GT(old_seen, 0);
}

TEST(SafeOutput, KilledRunsLeaveTheOldOrTheNewFileAndNothingElse) {
  ExpectKillsLoseNothing(SIGKILL, {});
}

TEST(SafeOutput, TerminatedRunsRemoveTheirNamedTemporaryFile) {
  ExpectKillsLoseNothing(SIGTERM, {NoUnnamedTemporaries});
}

}  // namespace
}  // namespace tessvane
