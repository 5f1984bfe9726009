// ByteArray: bounds, growth and copies, and views of files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "im_proc.h"
#include "test_tiff.h"

namespace tessvane {
namespace {

TEST(ByteArray, EveryAccessIsTestedAgainstTheLength) {
  ByteArray empty;
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_THROW(empty[0], ERangeError);

  ByteArray bytes;
  bytes.SetLength(4);
  bytes[3] = 7;
  EXPECT_EQ(bytes[3], 7);
  EXPECT_THROW(bytes[4], ERangeError);
  EXPECT_THROW(bytes[UINT32_MAX], ERangeError);
  const ByteArray& read_only = bytes;
  EXPECT_THROW(read_only[4], ERangeError);
}

TEST(ByteArray, GrowingZeroesTheNewPartAndKeepsTheOld) {
  ByteArray bytes;
  bytes.SetLength(3);
  for (std::uint32_t i = 0; i < 3; ++i) EXPECT_EQ(bytes[i], 0);
  bytes[0] = 1;
  bytes[2] = 3;
  bytes.SetLength(2);
  bytes.SetLength(1000);
  EXPECT_EQ(bytes[0], 1);
  for (std::uint32_t i = 1; i < 1000; ++i) ASSERT_EQ(bytes[i], 0) << i;
  bytes.SetLength(0);
  EXPECT_EQ(bytes.Length(), 0u);
  EXPECT_EQ(bytes.Data(), nullptr);
}

TEST(ByteArray, NegativeLengthIsARangeError) {
  ByteArray bytes;
  bytes.SetLength(2);
  EXPECT_THROW(bytes.SetLength(-1), ERangeError);
  EXPECT_EQ(bytes.Length(), 2u);
}

TEST(ByteArray, CopiesOwnTheirBytes) {
  ByteArray original;
  original.SetLength(2);
  original[0] = 5;
  ByteArray copy = original;
  copy[0] = 6;
  EXPECT_EQ(original[0], 5);
  ByteArray assigned;
  assigned = original;
  EXPECT_EQ(assigned.Length(), 2u);
  EXPECT_NE(assigned.Data(), original.Data());
  assigned = ByteArray();
  EXPECT_EQ(assigned.Length(), 0u);
}

// A file of count bytes, byte k being k × 13 mod 251, open for reading.
class NumberedFile {
 public:
  explicit NumberedFile(std::size_t count) : path_(dir_ / "numbers") {
    for (std::size_t k = 0; k < count; ++k) bytes_.push_back(static_cast<std::uint8_t>(k * 13 % 251));
    testing_support::WriteFileBytes(path_, bytes_);
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  ~NumberedFile() { close(fd_); }
  int fd() const { return fd_; }
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  const std::string& path() const { return path_; }

 private:
  testing_support::ScratchDirectory dir_;
  std::string path_;
  std::vector<std::uint8_t> bytes_;
  int fd_ = -1;
};

// Offsets off a page boundary, and lengths of part of a page and of many.
TEST(ByteArray, AViewOfAFileHoldsItsBytesAndWritesStayInMemory) {
  const NumberedFile file(3 * 4096 + 500);
  for (const auto& [offset, length] : {std::pair{0u, 10u}, {100u, 5000u}, {4096u, 4096u},
                                       {4099u, 3u * 4096u + 500u - 4099u}}) {
    ByteArray view = ByteArray::ViewOfFile(file.fd(), offset, length);
    ASSERT_TRUE(view.IsFileView()) << offset;
    ASSERT_EQ(view.Length(), length);
    ASSERT_TRUE(std::equal(view.Data(), view.Data() + length, file.bytes().begin() + offset));
    EXPECT_THROW(view[length], ERangeError);
    view[0] = 0xEE;
    EXPECT_EQ(testing_support::FileBytes(file.path()), file.bytes());
  }
  EXPECT_FALSE(ByteArray::ViewOfFile(file.fd(), 0, 0).IsFileView());
  EXPECT_EQ(ByteArray::ViewOfFile(-1, 0, 10).Length(), 0u);
}

// Copies, MakePrivate and a new length give memory of the array's own,
// which a later change to the file cannot reach.
TEST(ByteArray, CopiesOfAViewAreMemoryOfTheirOwn) {
  const NumberedFile file(9000);
  const ByteArray view = ByteArray::ViewOfFile(file.fd(), 10, 8000);
  ASSERT_TRUE(view.IsFileView());
  ByteArray copy = view;
  ByteArray made_private = ByteArray::ViewOfFile(file.fd(), 10, 8000);
  made_private.MakePrivate();
  ByteArray resized = ByteArray::ViewOfFile(file.fd(), 10, 8000);
  resized.SetLength(8001);
  auto changed = file.bytes();
  changed[5000] ^= 0xFF;
  const int writer = open(file.path().c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(writer, &changed[5000], 1, 5000), 1);
  close(writer);
  EXPECT_EQ(view[4990], changed[5000]);  // the view shows the file as it is now
  for (const ByteArray* own : {&copy, &made_private, &resized}) {
    EXPECT_FALSE(own->IsFileView());
    EXPECT_EQ((*own)[4990], file.bytes()[5000]);
    EXPECT_TRUE(std::equal(own->Data(), own->Data() + 8000, file.bytes().begin() + 10));
  }
  EXPECT_EQ(resized[8000], 0);
}

// A view that cannot be guarded is never handed out: the caller gets an
// empty array and reads the file instead; released views free the guard.
TEST(ByteArray, ViewsBeyondTheGuardsReachAreRefusedUntilOneIsReleased) {
  const NumberedFile file(100);
  std::vector<ByteArray> views;
  while (views.size() < 64) {
    views.push_back(ByteArray::ViewOfFile(file.fd(), 0, 100));
    if (views.back().Length() == 0) break;
  }
  ASSERT_LT(views.size(), 64u);
  EXPECT_FALSE(views.back().IsFileView());
  views.front() = ByteArray();
  EXPECT_TRUE(ByteArray::ViewOfFile(file.fd(), 0, 100).IsFileView());
  views.clear();
  for (int round = 0; round < 64; ++round) {
    ASSERT_TRUE(ByteArray::ViewOfFile(file.fd(), 0, 100).IsFileView()) << round;
  }
}

}  // namespace
}  // namespace tessvane
