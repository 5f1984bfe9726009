// Backups judged against every state an in-place overwrite can leave the
// target in (in_place.h, invariant 3: page by page, new over old, at any
// length between the two, the old bytes cut at either length) and against
// states it cannot (any other change): only the former are restored.  And
// which files named as backups are trusted (invariant 5).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <chrono>
#include <functional>
#include <thread>

#include "backup.h"
#include "file_contents.h"
#include "names.h"
#include "run_process.h"
#include "test_tiff.h"
#include "unique_fd.h"

namespace tessvane {
namespace {

using testing_support::FileBytes;
using testing_support::ScratchDirectory;
using testing_support::WriteFileBytes;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t Page = 4096;

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 13);
  return bytes;
}

// new[0, cut) over old, as an overwrite cut off at cut leaves it, at
// length (the old one, or the new one when the file was cut or grown).
Bytes Torn(const Bytes& old_bytes, const Bytes& new_bytes, std::size_t cut, std::size_t length) {
  Bytes torn = old_bytes;
  torn.resize(std::max(old_bytes.size(), new_bytes.size()), 0);
  std::copy(new_bytes.begin(), new_bytes.begin() + static_cast<std::ptrdiff_t>(cut), torn.begin());
  torn.resize(length);
  return torn;
}

struct Fixture {
  ScratchDirectory dir;
  std::string target = dir / "page.tif";
  BackupPlaces places;

  Fixture(const Bytes& old_bytes, const Bytes& new_bytes) {
    WriteFileBytes(target, old_bytes);
    WriteFileBytes(dir / "new", new_bytes);
    places.usable.push_back({UniqueFd(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), "here"});
  }
  Backup Make() const {
    const UniqueFd file(open(target.c_str(), O_RDONLY | O_CLOEXEC));
    const UniqueFd contents(open((dir / "new").c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    EXPECT_EQ(fstat(file.get(), &status), 0);
    return Backup::Make(places, target, file.get(), status, contents.get());
  }
  // Writes bytes over the target in place (same inode), as the overwrite does.
  void Overwrite(const Bytes& bytes) const {
    const UniqueFd file(open(target.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(WriteAt(file.get(), bytes.data(), bytes.size(), 0));
    ASSERT_EQ(ftruncate(file.get(), static_cast<off_t>(bytes.size())), 0);
  }
  Backup::Verdict Judge(const Backup& backup) const {
    const UniqueFd file(open(target.c_str(), O_RDONLY | O_CLOEXEC));
    return backup.Judge(file.get());
  }
};

TEST(Backup, OnlyTheStatesAnOverwriteLeavesAreRestored) {
  using V = Backup::Verdict;
  const Bytes old_bytes = Pattern(5 * Page + 100, 1);
  for (const std::size_t new_size : {3 * Page + 77, 5 * Page + 100, 7 * Page + 9}) {
    const Bytes new_bytes = Pattern(new_size, 2);
    const std::size_t longer = std::max(old_bytes.size(), new_size);
    Bytes changed_old = old_bytes;
    changed_old[2 * Page + 5] ^= 1;
    Bytes changed_new = new_bytes;
    changed_new[Page + 1] ^= 1;
    // What is the whole new file when the new contents are at least as long.
    const V new_when_longer = new_size >= old_bytes.size() ? V::New : V::Torn;
    Bytes restore_lengthened = new_bytes;  // a restore's length kept, its write not
    restore_lengthened.resize(longer, 0);
    const std::vector<std::pair<std::string, std::pair<Bytes, V>>> states = {
        {"old", {old_bytes, V::Untouched}},
        {"new", {new_bytes, V::New}},
        {"two new pages", {Torn(old_bytes, new_bytes, 2 * Page, std::max(old_bytes.size(), longer)), V::Torn}},
        {"grown, nothing written", {Torn(old_bytes, new_bytes, 0, longer), longer == old_bytes.size() ? V::Untouched : V::Torn}},
        {"all new, not yet cut", {Torn(old_bytes, new_bytes, new_size, longer), new_when_longer}},
        {"all new, cut part of the way",
         {Torn(old_bytes, new_bytes, new_size, (new_size + longer + 1) / 2), new_when_longer}},
        {"new, lengthened by a restore", {restore_lengthened, new_when_longer}},
        {"old bytes cut at the new length", {Torn(old_bytes, new_bytes, 2 * Page, new_size), V::Torn}},
        {"longer than either", {Torn(old_bytes, new_bytes, new_size, longer + 1), V::Foreign}},
        {"shorter than either", {Torn(old_bytes, new_bytes, 0, std::min(old_bytes.size(), new_size) - 1), V::Foreign}},
        {"old, changed by another program", {changed_old, V::Foreign}},
        {"new, changed by another program", {changed_new, V::Foreign}},
        {"half a page of new", {Torn(old_bytes, new_bytes, Page / 2, longer), V::Foreign}},
        {"another file", {Pattern(old_bytes.size(), 9), V::Foreign}},
    };
    for (const auto& [what, state] : states) {
      Fixture fixture(old_bytes, new_bytes);
      const Backup backup = fixture.Make();
      fixture.Overwrite(state.first);
      const V verdict = fixture.Judge(backup);
      EXPECT_EQ(static_cast<int>(verdict), static_cast<int>(state.second)) << what << ", new size " << new_size;
      if (verdict == V::Torn || verdict == V::New) {
        const UniqueFd file(open(fixture.target.c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_TRUE(backup.RestoreTo(file.get())) << what;
        EXPECT_EQ(FileBytes(fixture.target), old_bytes) << what;
      }
    }
  }
}

// Rewrites byte at of the file at path with its bits flipped.
void FlipByte(const std::string& path, std::size_t at) {
  auto bytes = FileBytes(path);
  bytes[at] ^= 1;
  WriteFileBytes(path, bytes);
}

// Found by name: trusted only when whole, of this format, of this file,
// ours, one link, its old contents intact.
TEST(Backup, OnlyAWholeBackupOfThisFileWithOneLinkIsTrusted) {
  const Bytes old_bytes = Pattern(3 * Page, 3), new_bytes = Pattern(2 * Page, 4);
  const std::vector<std::pair<std::string, std::function<void(Fixture&, const std::string&)>>> cases = {
      {"", [](Fixture&, const std::string&) {}},
      {"is not as long as its header says", [](Fixture& f, const std::string& name) {
         std::filesystem::resize_file(f.dir / name, std::filesystem::file_size(f.dir / name) - 1);
       }},
      {"is not as long as its header says", [](Fixture& f, const std::string& name) {
         std::filesystem::resize_file(f.dir / name, std::filesystem::file_size(f.dir / name) + 1);
       }},
      {"has a damaged header", [](Fixture& f, const std::string& name) { FlipByte(f.dir / name, 40); }},
      {"has a damaged header", [](Fixture& f, const std::string& name) { FlipByte(f.dir / name, 4100); }},
      {"has damaged old contents", [](Fixture& f, const std::string& name) {
         FlipByte(f.dir / name, std::filesystem::file_size(f.dir / name) - 2 * Page);
       }},
      {"is of format 2, which this version does not restore", [](Fixture& f, const std::string& name) {
         auto bytes = FileBytes(f.dir / name);
         bytes[23] = '2';  // the digit of "format 1"
         WriteFileBytes(f.dir / name, bytes);
       }},
      {"was cut off while it was written", [](Fixture& f, const std::string& name) {
         const UniqueFd file(open((f.dir / name).c_str(), O_WRONLY | O_CLOEXEC));
         const Bytes zeros(Page, 0);
         ASSERT_TRUE(WriteAt(file.get(), zeros.data(), zeros.size(), 0));
       }},
      {"has 2 links", [](Fixture& f, const std::string& name) {
         std::filesystem::create_hard_link(f.dir / name, f.dir / "second-name");
       }},
      {"is of another file", [](Fixture& f, const std::string&) {  // same name, new file
         // ext4 reuses the inode number at once; the birth time, kept at
         // the clock's tick, tells the files apart once a tick has passed.
         std::this_thread::sleep_for(std::chrono::milliseconds(20));
         std::filesystem::remove(f.target);
         WriteFileBytes(f.target, Pattern(3 * Page, 3));
       }},
  };
  for (const auto& [why_not, spoil] : cases) {
    Fixture fixture(old_bytes, new_bytes);
    const std::string name = fixture.Make().name();
    const UniqueFd file(open(fixture.target.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(IsNameFor(name, NameKind::Backup, IdentityKey(IdentityOf(file.get()))));
    spoil(fixture, name);
    const UniqueFd now(open(fixture.target.c_str(), O_RDONLY | O_CLOEXEC));
    const auto found = FindBackupsOf(fixture.places, IdentityOf(now.get()), fixture.target, geteuid());
    ASSERT_EQ(found.size(), 1u) << why_not;
    EXPECT_EQ(found[0].backup.has_value(), why_not.empty()) << why_not;
    EXPECT_EQ(found[0].why_not, why_not);
    EXPECT_TRUE(found[0].ours);
    EXPECT_EQ(found[0].unfinished, why_not == "was cut off while it was written");
  }
}

// The header says in plain text where the old contents start, and tail
// takes them out byte for byte.
TEST(Backup, TheHeaderTellsHowToGetTheOldContentsOut) {
  const Bytes old_bytes = Pattern(70 * Page + 3, 5), new_bytes = Pattern(9 * Page, 6);
  Fixture fixture(old_bytes, new_bytes);
  const Backup backup = fixture.Make();
  const Bytes bytes = FileBytes(fixture.dir / backup.name());
  const std::string text(bytes.begin(), bytes.begin() + 400);
  const std::string start = std::to_string(backup.data_offset() + 1);
  EXPECT_EQ(text.rfind("tessvane backup\nformat 1\nold contents at byte " + start + ": tail -c +" + start, 0), 0u)
      << text;
  const auto result = testing_support::RunProgram(
      "/bin/sh", {"-c", "tail -c +" + start + " \"$0\" > \"$1\"", fixture.dir / backup.name(), fixture.dir / "old"});
  ASSERT_EQ(result.exit_code, 0) << result.errors;
  EXPECT_EQ(FileBytes(fixture.dir / "old"), old_bytes);
}

}  // namespace
}  // namespace tessvane
