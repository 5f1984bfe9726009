// The next run on a file that an overwrite in place left marked, driven
// black-box through the executable: each test is a way such a file was
// once cleared while torn, or refused for ever, or a way a mark reached
// another user's backup (in_place.h, invariants 4 and 5).
//
// A torn file is made by killing a run in a closed directory once the new
// contents are on disk, then writing the old bytes back over the second
// half: every page old or new, as a power cut leaves it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "file_identity.h"
#include "names.h"
#include "replace_kit.h"
#include "test_tiff.h"

namespace {

using namespace testing_support;
using namespace replace_kit;

constexpr char Mark[] = "user.tessvane.pending";

// A page in a closed directory, torn by a cut-off overwrite, its mark and
// its backup in the runner's state directory.
struct TornPage {
  ClosedDirectory closed;
  Page page = WritePage(closed.dir / "first.tif", 600, 400, 21);
  Bytes torn;
  std::string mark;
  std::string backup;  // its path

  TornPage() {
    closed.Put(page.original, true);
    const ProcessResult killed = RunTool(closed.page, closed.launch({KillAt(SYS_ftruncate)}));
    EXPECT_EQ(killed.signal, SIGSYS) << killed.output << killed.errors;
    torn = page.cleared;
    std::copy(page.original.begin() + 8192 * 4, page.original.end(), torn.begin() + 8192 * 4);
    WriteFileBytes(closed.page, torn);  // same inode, same size
    mark = Attribute(closed.page, Mark);
    const auto files = FilesUnder(closed.state);
    EXPECT_EQ(files.size(), 1u);
    if (!files.empty()) backup = closed.state + "/tessvane/" + files[0];
  }
  ProcessResult Run() const { return RunTool(closed.page, closed.launch()); }
};

void ExpectRefusedKeepingEverything(const ProcessResult& result, const TornPage& torn, const Bytes& backup,
                                    const std::string& why) {
  EXPECT_EQ(result.output, "image read error\r\n") << why;
  EXPECT_EQ(result.exit_code, 1) << why;
  EXPECT_TRUE(Contains(result.errors, why)) << result.errors;
  EXPECT_EQ(FileBytes(torn.closed.page), torn.torn) << why;
  EXPECT_EQ(Attribute(torn.closed.page, Mark), torn.mark) << why;
  if (!backup.empty()) {
    EXPECT_EQ(FileBytes(torn.backup), backup) << why;
  }
}

// A marked file whose backup is damaged in any way, gone, or hard-linked
// elsewhere was once cleared while torn, or its backup unlinked without a
// word: now the file is refused and nothing is touched.
TEST(MarkedFile, ADamagedMissingOrLinkedBackupRefusesTheFileAndKeepsEverything) {
  const auto flip = [](std::size_t from_end) {
    return [from_end](TornPage& t) {
      Bytes bytes = FileBytes(t.backup);
      bytes[from_end < bytes.size() ? bytes.size() - from_end : 30] ^= 4;
      WriteFileBytes(t.backup, bytes);
    };
  };
  const std::vector<std::pair<std::string, std::function<void(TornPage&)>>> spoils = {
      {"has damaged old contents", flip(100)},
      {"has a damaged header", flip(std::size_t(-1))},  // byte 30, in the header's text
      {"has a damaged header", [](TornPage& t) {  // as a backup cut off while it was written
         const int fd = open(t.backup.c_str(), O_WRONLY | O_CLOEXEC);
         const Bytes zeros(4096, 0);
         EXPECT_EQ(pwrite(fd, zeros.data(), zeros.size(), 0), 4096);
         close(fd);
       }},
      {"has had its mode changed", [](TornPage& t) { EXPECT_EQ(chmod(t.backup.c_str(), 0644), 0); }},
      {"is not as long as its header says", [](TornPage& t) {
         std::filesystem::resize_file(t.backup, std::filesystem::file_size(t.backup) + 1);
       }},
      {"is not as long as its header says", [](TornPage& t) {
         std::filesystem::resize_file(t.backup, std::filesystem::file_size(t.backup) - 1);
       }},
      {"has 2 links", [](TornPage& t) { std::filesystem::create_hard_link(t.backup, t.closed.dir / "elsewhere"); }},
      {"is in none of the places", [](TornPage& t) { std::filesystem::rename(t.backup, t.closed.dir / "moved"); }},
      // A place that cannot be looked in may hold it: no way out is offered.
      {"tessvane: permission denied)", [](TornPage& t) {
         EXPECT_EQ(chmod((t.closed.state + "/tessvane").c_str(), 0), 0);
       }},
  };
  for (const auto& [why, spoil] : spoils) {
    TornPage torn;
    ASSERT_FALSE(torn.mark.empty());
    spoil(torn);
    const Bytes backup = std::filesystem::exists(torn.backup) ? FileBytes(torn.backup) : Bytes{};
    const ProcessResult result = torn.Run();
    ExpectRefusedKeepingEverything(result, torn, backup, why);
    // Only where nothing of the tool's own stands behind the mark is its
    // removal offered.
    EXPECT_EQ(Contains(result.errors, "setfattr -x"), why == "is in none of the places") << result.errors;
  }
  // The same torn file with its backup intact is put back and cleared.
  TornPage intact;
  const ProcessResult mended = intact.Run();
  EXPECT_EQ(mended.exit_code, 0) << mended.errors;
  EXPECT_EQ(FileBytes(intact.closed.page), intact.page.cleared);
  EXPECT_EQ(FilesUnder(intact.closed.state), std::vector<std::string>{});
}

// Anyone who may write a file may set the mark to anything.  A mark this
// tool did not write once refused the file for ever, naming users that do
// not exist; now the reason shows the mark, quoted, and how to remove it,
// and once it is removed the file is cleared.
TEST(MarkedFile, AMarkThisToolDidNotWriteIsShownWithTheWayToRemoveIt) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  ASSERT_EQ(getpwuid(4242), nullptr) << "the test takes user 4242 not to exist";
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  const Page page = WritePage(path, 300, 200, 22);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string key = tessvane::IdentityKey(tessvane::IdentityOf(fd));
  close(fd);
  const std::string own_name = tessvane::MakeName(tessvane::NameKind::Backup, path, key);
  const std::string other_name = tessvane::MakeName(tessvane::NameKind::Backup, path, "0123456789abcdef");
  struct Row {
    std::string value, shown, why;
  };
  const std::vector<Row> rows = {
      {"uid=-1", "'uid=-1'", "that this tool did not write"},
      {"uid=1005x backup=" + own_name, "'uid=1005x backup=", "that this tool did not write"},
      {std::string(600, 'A'), "'AAAA", "that this tool did not write"},
      {"uid=0 backup=../../state/tessvane/" + own_name, "backup=../../state", "that this tool did not write"},
      {"uid=0 backup=\x1b[2J" + own_name, "'uid=0 backup='$'\\033''[2J", "that this tool did not write"},
      {"uid=4242 backup=" + own_name, "'uid=4242 backup=", "of user 4242, who does not exist here"},
      {"uid=0 backup=" + other_name, "'uid=0 backup=" + other_name + "'", "names no backup of this file"},
      // Another user's mark is checked as far as anyone can check it.
      {"uid=65534 backup=" + other_name, "'uid=65534 backup=", "names no backup of this file"},
      {"uid=0 backup=" + own_name, own_name, "is in none of the places"},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(setxattr(path.c_str(), Mark, row.value.data(), row.value.size(), 0), 0);
    const ProcessResult result = RunTool(path, {.state_home = dir / "state"});
    EXPECT_EQ(result.output, "image read error\r\n") << row.value;
    EXPECT_TRUE(Contains(result.errors, row.why)) << result.errors;
    EXPECT_TRUE(Contains(result.errors, row.shown)) << result.errors;
    EXPECT_FALSE(Contains(result.errors, "an overwrite by user")) << result.errors;
    EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
    EXPECT_EQ(FileBytes(path), page.original);
    const std::string removal = "setfattr -x user.tessvane.pending '" + path + "'";
    ASSERT_TRUE(Contains(result.errors, removal)) << result.errors;
    ASSERT_EQ(RunProgram("/bin/sh", {"-c", removal}).exit_code, 0);
  }
  EXPECT_EQ(RunTool(path, {.state_home = dir / "state"}).exit_code, 0);
  EXPECT_EQ(FileBytes(path), page.cleared);
}

// A user who may set the mark on a file of their own made it name, as a
// path, the private backup of another user's torn file; that user's run on
// the forged file renamed the backup into the forger's directory.  Now the
// forged file is refused, the backup stays, and its own file is put back.
TEST(MarkedFile, AForgedMarkNeverReachesAnotherFilesBackup) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  TornPage victim;
  ASSERT_FALSE(victim.backup.empty());
  const std::string name = std::filesystem::path(victim.backup).filename();
  const Bytes backup = FileBytes(victim.backup);
  ScratchDirectory forger;
  ASSERT_EQ(chmod(forger.path().c_str(), 0777), 0);
  const std::string forged = forger / "bait.tif";
  const Page bait = WritePage(forged, 200, 100, 23);
  ASSERT_EQ(chmod(forged.c_str(), 0666), 0);
  const std::string up = std::filesystem::relative(victim.closed.state + "/tessvane", forger.path());
  for (const std::string& pointer : {up + "/" + name, victim.closed.state + "/tessvane/" + name, name}) {
    const std::string value = "uid=65534 backup=" + pointer;
    ASSERT_EQ(setxattr(forged.c_str(), Mark, value.data(), value.size(), 0), 0);
    const ProcessResult result = RunTool(forged, victim.closed.launch());
    EXPECT_EQ(result.output, "image read error\r\n") << pointer;
    EXPECT_TRUE(Contains(result.errors, pointer == name ? "names no backup of this file" : "did not write"))
        << result.errors;
    EXPECT_EQ(FileBytes(forged), bait.original) << pointer;
    EXPECT_EQ(FileBytes(victim.backup), backup) << pointer;
    EXPECT_EQ(EntriesOf(forger.path()), std::vector<std::string>{"bait.tif"}) << pointer;
  }
  const ProcessResult mended = victim.Run();
  EXPECT_EQ(mended.exit_code, 0) << mended.errors;
  EXPECT_EQ(FileBytes(victim.closed.page), victim.page.cleared);
}

// The disk of a torn file came back under another device number (a disk
// plugged in again, a loop device attached again): the backup's identity
// held the device number, and the torn file was cleared.  Now the file
// system's own identity finds it, at the same mount point or another.
TEST(MarkedFile, ATornFileOnADiskMountedAgainUnderAnotherDeviceIsPutBack) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root for loop devices";
  for (const bool elsewhere : {false, true}) {
    ScratchDirectory dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    for (const char* sub : {"disk", "again", "spare", "state"}) std::filesystem::create_directory(dir / sub);
    Own(dir / "state", Nobody, 0700);
    const std::string image = dir / "ext4.img";
    if (!MakeImage(image, "ext4", 32 << 20)) GTEST_SKIP() << "no mkfs.ext4";
    LoopMount disk(image);
    if (!disk.MountAt(dir / "disk")) GTEST_SKIP() << "no loop device can be attached here";
    const std::string closed = dir / "disk/closed", page = closed + "/page.tif";
    std::filesystem::create_directory(closed);
    const Page scan = WritePage(page, 600, 400, 24);
    Own(page, Nobody, 0644);
    Own(closed, Nobody, 0555);
    const Launch nobody{.as_nobody = true, .state_home = dir / "state"};
    Launch killed = nobody;
    killed.faults = {KillAt(SYS_ftruncate)};
    ASSERT_EQ(RunTool(page, killed).signal, SIGSYS);
    struct stat before {}, after {};
    ASSERT_EQ(stat(page.c_str(), &before), 0);
    disk.Unmount();
    // A disk that takes the freed loop device, so that this one comes back
    // under another.
    const std::string spare_image = dir / "spare.img";
    ASSERT_TRUE(MakeImage(spare_image, "ext4", 8 << 20));
    LoopMount spare(spare_image);
    ASSERT_TRUE(spare.MountAt(dir / "spare"));
    const std::string again_at = elsewhere ? dir / "again" : dir / "disk";
    ASSERT_TRUE(disk.MountAt(again_at));
    const std::string moved = again_at + "/closed/page.tif";
    ASSERT_EQ(stat(moved.c_str(), &after), 0);
    EXPECT_NE(before.st_dev, after.st_dev) << "the disk came back under the same device number";
    const ProcessResult mended = RunTool(moved, nobody);
    EXPECT_EQ(mended.exit_code, 0) << mended.output << mended.errors;
    EXPECT_EQ(FileBytes(moved), scan.cleared) << "elsewhere: " << elsewhere;
    EXPECT_EQ(FilesUnder(dir / "state"), std::vector<std::string>{});
    EXPECT_EQ(Attribute(moved, Mark), "");
  }
}

// Names planted in a shared folder to look like this file's backups are
// printed in the notices; one with an escape sequence and a line feed in
// its stem reached the user's terminal raw and forged a line.
TEST(MarkedFile, APlantedBackupNameIsQuotedInTheNotice) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  ScratchDirectory dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
  const std::string page = dir / "page.tif";
  WritePage(page, 300, 200, 25);
  const int fd = open(page.c_str(), O_RDONLY | O_CLOEXEC);
  const std::string key = tessvane::IdentityKey(tessvane::IdentityOf(fd));
  close(fd);
  const std::string planted = "." + std::string("\x1b]0;owned\x07\nfake") + ".tessvane-bak-" + key + "-0123456789ab";
  WriteFileBytes(dir / planted, Bytes(10, 'A'));
  Own(dir / planted, Nobody, 0644);
  const ProcessResult result = RunTool(page, {.state_home = dir / "state"});
  EXPECT_EQ(result.exit_code, 0) << result.errors;
  EXPECT_TRUE(Contains(result.errors, "is not ours; ignored: '.'$'\\033'']0;owned'$'\\a\\n''fake.tessvane-bak-"))
      << result.errors;
  EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1) << result.errors;
  EXPECT_EQ(result.errors.find('\x1b'), std::string::npos);
}

// A file without the mark is whole (invariant 2), so it is never put back:
// a backup the file matches goes, one that others may have written (its
// mode changed) is set aside.  A backup planted by another user that named
// the file's pages as new once made the run write the planter's bytes into
// the file.
TEST(UnmarkedFile, IsNeverPutBackFromABackup) {
  for (const bool mode_changed : {false, true}) {
    ClosedDirectory closed;
    const Page page = WritePage(closed.dir / "first.tif", 600, 400, 26);
    closed.Put(page.original, true);
    // Killed as the backup goes, once the mark is off: the new file, unmarked.
    ASSERT_EQ(RunTool(closed.page, closed.launch({KillAt(SYS_unlinkat), KillAt(SYS_unlink)})).signal, SIGSYS);
    ASSERT_EQ(FileBytes(closed.page), page.cleared);
    ASSERT_EQ(Attribute(closed.page, Mark), "");
    const auto files = FilesUnder(closed.state);
    ASSERT_EQ(files.size(), 1u);
    if (mode_changed) {
      EXPECT_EQ(chmod((closed.state + "/tessvane/" + files[0]).c_str(), 0644), 0);
    }
    const ProcessResult next = RunTool(closed.page, closed.launch());
    EXPECT_EQ(next.exit_code, 0) << next.errors;
    EXPECT_FALSE(Contains(next.errors, "put back")) << next.errors;
    EXPECT_EQ(Contains(next.errors, "has had its mode changed"), mode_changed) << next.errors;
    const auto left = FilesUnder(closed.state);
    EXPECT_EQ(left.size(), mode_changed ? 1u : 0u);
    ScratchDirectory twice;
    WriteFileBytes(twice / "p.tif", page.cleared);
    ASSERT_EQ(RunTool(twice / "p.tif").exit_code, 0);
    EXPECT_EQ(FileBytes(closed.page), FileBytes(twice / "p.tif")) << "the new file is cleared again";
  }
}

// A torn file moved away, and a new file at its old path: the run on the
// new file once set the torn file's backup aside, and the torn file was
// then refused for ever.  The backup is left to its file, which is put
// back; an entry planted beside the file under the backup's name (the mark
// tells it) does not stand in the way either.
TEST(MarkedFile, ItsBackupIsLeftToItWhateverRunsAtItsOldPath) {
  if (!RunningAsRoot()) GTEST_SKIP() << "needs root to act as two users";
  TornPage torn;
  ASSERT_FALSE(torn.backup.empty());
  const std::string closed = torn.closed.dir / "closed", moved = closed + "/moved.tif";
  ASSERT_EQ(chmod(closed.c_str(), 0755), 0);
  std::filesystem::rename(torn.closed.page, moved);
  WriteFileBytes(torn.closed.page, torn.page.original);
  ASSERT_EQ(chown(torn.closed.page.c_str(), Nobody, Nobody), 0);
  // Others may now put entries beside the files, but not remove any.
  ASSERT_EQ(chmod(closed.c_str(), 01777), 0);
  const std::string name = std::filesystem::path(torn.backup).filename();
  ASSERT_EQ(mkfifo((closed + "/" + name).c_str(), 0666), 0);
  const ProcessResult other = torn.Run();
  EXPECT_EQ(other.exit_code, 0) << other.errors;
  EXPECT_TRUE(Contains(other.errors, "kept as it is for that file")) << other.errors;
  EXPECT_TRUE(std::filesystem::exists(torn.backup));
  const ProcessResult mended = RunTool(moved, torn.closed.launch());
  EXPECT_EQ(mended.exit_code, 0) << mended.errors;
  EXPECT_EQ(FileBytes(moved), torn.page.cleared);
  EXPECT_FALSE(std::filesystem::exists(torn.backup));
}

}  // namespace
