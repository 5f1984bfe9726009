// Checked arithmetic: where each operation stops, and where its error says
// it stopped.
#include "checked.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>

namespace tessvane {
namespace {

TEST(CheckedArithmetic, SignedOperationsStopAtTheEdgesOfTheirRange) {
  EXPECT_EQ(CheckedMul(46340, 46340), 2147395600);
  EXPECT_THROW(static_cast<void>(CheckedMul(46341, 46341)), EIntOverflow);
  EXPECT_THROW(static_cast<void>(CheckedMul(65536, 32768)), EIntOverflow);
  EXPECT_EQ(CheckedMul(-65536, 32768), INT32_MIN);
}

TEST(CheckedArithmetic, UnsignedOperationsStopBelowZeroAndAboveTheirRange) {
  EXPECT_EQ(CheckedSubUnsigned(5, 5), 0u);
  EXPECT_THROW(static_cast<void>(CheckedSubUnsigned(0, 1)), EIntOverflow);
}

TEST(CheckedArithmetic, RequireHelpersMakeTheSameChecksWithoutAValue) {
  EXPECT_NO_THROW(RequireMulFits(46340, 46340));
  EXPECT_NO_THROW(RequireMulFits(-65536, 32768));
  EXPECT_THROW(RequireMulFits(46341, 46341), EIntOverflow);
  EXPECT_NO_THROW(RequireSubUnsignedFits(5, 5));
  EXPECT_THROW(RequireSubUnsignedFits(0, 1), EIntOverflow);
}

TEST(CheckedArithmetic, NarrowingConversionsAreRangeChecked) {
  EXPECT_EQ(ToUnsigned(INT32_MAX), 2147483647u);
  EXPECT_THROW(static_cast<void>(ToUnsigned(-1)), ERangeError);
  EXPECT_EQ(ToInt32(INT32_MIN), INT32_MIN);
  EXPECT_THROW(static_cast<void>(ToInt32(std::int64_t{INT32_MAX} + 1)), ERangeError);
  EXPECT_THROW(static_cast<void>(ToInt32(std::int64_t{INT32_MIN} - 1)), ERangeError);
}

TEST(CheckedArithmetic, ErrorsCarryTheirClassAndText) {
  try {
    static_cast<void>(ToUnsigned(-300));
    FAIL();
  } catch (const ERunError& error) {
    EXPECT_STREQ(error.ClassName(), "ERangeError");
    EXPECT_EQ(error.Message(), "Range check error");
  }
  try {
    RequireMulFits(INT32_MAX, 2);
    FAIL();
  } catch (const ERunError& error) {
    EXPECT_STREQ(error.ClassName(), "EIntOverflow");
    EXPECT_EQ(error.Message(), "Integer overflow");
  }
  EXPECT_STREQ(EOutOfMemory(0).ClassName(), "EOutOfMemory");
  EXPECT_EQ(EOutOfMemory(0).Message(), "Out of memory");
}

// The offset of the failing check: inside this executable's image, and
// different for checks at different places.
std::uintptr_t OffsetOf(void (*failing)()) {
  try {
    failing();
  } catch (const ERunError& error) {
    return error.Offset();
  }
  return 0;
}

TEST(CheckedArithmetic, ErrorsAreLocatedInsideTheExecutable) {
  struct stat executable;
  ASSERT_EQ(stat("/proc/self/exe", &executable), 0);
  const std::uintptr_t first = OffsetOf([] { static_cast<void>(ToUnsigned(-5)); });
  const std::uintptr_t second = OffsetOf([] { RequireSubUnsignedFits(1, 2); });
  EXPECT_GT(first, 0u);
  EXPECT_LT(first, static_cast<std::uintptr_t>(executable.st_size));
  EXPECT_GT(second, 0u);
  EXPECT_LT(second, static_cast<std::uintptr_t>(executable.st_size));
  EXPECT_NE(first, second);
}

TEST(InOutErrors, TextsFollowTheErrorNumber) {
  EXPECT_EQ(InOutErrorText(ENOENT), "File not found");
  EXPECT_EQ(InOutErrorText(ENOTDIR), "Invalid filename");
  EXPECT_EQ(InOutErrorText(ENAMETOOLONG), "Invalid filename");
  EXPECT_EQ(InOutErrorText(EMFILE), "Too many open files");
  EXPECT_EQ(InOutErrorText(ENFILE), "Too many open files");
  EXPECT_EQ(InOutErrorText(EACCES), "File access denied");
  EXPECT_EQ(InOutErrorText(EPERM), "File access denied");
  EXPECT_EQ(InOutErrorText(ENOSPC), "Disk full");
  EXPECT_EQ(InOutErrorText(EDQUOT), "Disk full");
  // Every other errno is reported by number, EIO (5) included.
  EXPECT_EQ(InOutErrorText(EIO), "I/O error 5");
  EXPECT_EQ(InOutErrorText(EPIPE), "I/O error 32");
  EXPECT_EQ(InOutErrorText(EBADF), "I/O error 9");
  EXPECT_EQ(EInOutError(EPIPE, 0).Message(), "I/O error 32");
}

}  // namespace
}  // namespace tessvane
