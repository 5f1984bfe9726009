// The run sequence when the file changes under it: a page read as a view
// of its file, cut short by another program while it is being cleared, is
// a failed read and nothing is written.
#include "run_sequence.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

#include "file_failure.h"
#include "test_tiff.h"
#include "thread_pool.h"

namespace tessvane {
namespace {

using testing_support::ScratchDirectory;

// True once this process maps the file at path.
bool MapsFile(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.size() >= path.size() && line.compare(line.size() - path.size(), path.size(), path) == 0) {
      return true;
    }
  }
  return false;
}

// Sets flag when it goes.
struct SetOnExit {
  std::atomic<bool>& flag;
  ~SetOnExit() { flag.store(true); }
};

// Another thread cuts the file to its first page as soon as the page is
// mapped.  The cut can come too late, after the clearing has read the
// whole view, so the run is tried a few times; a run that saw the cut must
// have failed and left the cut file as it was.
TEST(RunSequence, AFileCutShortWhileItIsClearedIsAFailedRead) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  constexpr std::uint32_t Side = 4096;
  const auto pixels = testing_support::MakeTestPage(Side, Side, 8);
  int failed_reads = 0;
  for (int attempt = 0; attempt < 5 && failed_reads == 0; ++attempt) {
    testing_support::WriteTestTiff(path, {.width = Side, .height = Side, .rows_per_strip = 64},
                                   pixels);
    std::atomic<bool> run_over{false};
    std::atomic<bool> cut{false};
    ThreadPool cutter(1);
    const SetOnExit over_on_exit{run_over};  // so the cutter's wait ends on every way out
    cutter.Add([&](std::uint32_t) {
      while (!run_over.load()) {
        if (MapsFile(path)) {
          cut.store(truncate(path.c_str(), 4096) == 0);
          return;
        }
      }
    });
    TMyImage image;
    const char* name = path.c_str();
    try {
      ClearFile(name, image);
    } catch (const EFileFailed& failure) {
      ++failed_reads;
      EXPECT_EQ(failure.Step(), FileStep::Read);
      EXPECT_EQ(failure.Reason(), "the file changed while it was cleared");
      EXPECT_TRUE(cut.load());
      EXPECT_EQ(testing_support::FileBytes(path).size(), 4096u);
    }
    run_over.store(true);
    cutter.Wait();
  }
  EXPECT_EQ(failed_reads, 1);
}

}  // namespace
}  // namespace tessvane
