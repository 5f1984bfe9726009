// ByteArray: bounds, growth and copies.
#include <gtest/gtest.h>

#include "im_proc.h"

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

}  // namespace
}  // namespace tessvane
