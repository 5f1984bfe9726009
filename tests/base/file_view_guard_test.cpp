// The guard over views of files: a view whose file is cut short reads
// zeroes and counts the loss instead of ending the process, and a fault
// outside every view still ends it.
#include "file_view_guard.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "byte_array.h"
#include "test_tiff.h"

namespace tessvane {
namespace {

using testing_support::ScratchDirectory;

constexpr std::size_t FileSize = 5 * 4096;

// Opens a new file of FileSize bytes of 0x5A at path for reading and writing.
int OpenFilledFile(const std::string& path) {
  testing_support::WriteFileBytes(path, std::vector<std::uint8_t>(FileSize, 0x5A));
  return open(path.c_str(), O_RDWR | O_CLOEXEC);
}

// Cut before the view is read, or after part of it was: the pages past the
// new end read as zero, one loss is counted for the view, and the view
// stays usable and is released normally.
TEST(FileViewGuard, AViewOfAFileCutShortReadsZeroesAndCountsTheLoss) {
  ScratchDirectory dir;
  for (const bool read_first : {false, true}) {
    const int fd = OpenFilledFile(dir / "cut");
    ByteArray view = ByteArray::ViewOfFile(fd, 100, FileSize - 100);
    ASSERT_TRUE(view.IsFileView());
    if (read_first) {
      for (std::uint32_t k = 0; k < view.Length(); k += 512) ASSERT_EQ(view[k], 0x5A);
    }
    const std::uint32_t lost_before = LostFileViews();
    ASSERT_EQ(ftruncate(fd, 4096), 0);
    EXPECT_EQ(view[FileSize - 101], 0);
    EXPECT_EQ(LostFileViews(), lost_before + 1);
    view[FileSize - 101] = 7;
    EXPECT_EQ(view[FileSize - 101], 7);
    EXPECT_EQ(view[0], 0);  // the whole range went, not only the lost page
    EXPECT_EQ(LostFileViews(), lost_before + 1);
    view = ByteArray();
    close(fd);
  }
}

// Only guarded ranges are mended: any other bus error keeps the default
// action, even once the guard's handler is installed.
TEST(FileViewGuardDeathTest, AFaultOutsideEveryViewStillEndsTheProcess) {
  ScratchDirectory dir;
  const std::string path = dir / "unguarded";
  EXPECT_EXIT(
      {
        const int fd = OpenFilledFile(path);
        const ByteArray view = ByteArray::ViewOfFile(fd, 0, FileSize);
        if (!view.IsFileView()) _exit(3);
        void* const plain = mmap(nullptr, FileSize, PROT_READ, MAP_SHARED, fd, 0);
        if (plain == MAP_FAILED || ftruncate(fd, 0) != 0) _exit(4);
        const volatile std::uint8_t* bytes = static_cast<const std::uint8_t*>(plain);
        _exit(bytes[FileSize - 1] == 0 ? 5 : 6);
      },
      testing::KilledBySignal(SIGBUS), "");
}

}  // namespace
}  // namespace tessvane
