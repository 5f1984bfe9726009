// The command line, the pause and the error report.
#include "console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>

namespace tessvane {
namespace {

TEST(CommandLine, BlankArgumentsHoldOnlySeparatorsAndEmptyQuotePairs) {
  EXPECT_TRUE(IsBlankArgument(""));
  EXPECT_TRUE(IsBlankArgument(" \t\x01 "));
  EXPECT_TRUE(IsBlankArgument("\"\""));
  EXPECT_TRUE(IsBlankArgument(" \"\"\"\" "));
  EXPECT_FALSE(IsBlankArgument("\""));       // an opening quote starts an argument
  EXPECT_FALSE(IsBlankArgument("\" \""));    // a quoted blank is an argument
  EXPECT_FALSE(IsBlankArgument("\"\"x"));
  EXPECT_FALSE(IsBlankArgument("\xc3\xa9"));  // bytes above 127 are characters
  EXPECT_FALSE(IsBlankArgument("!"));        // 33 is the first non-separator
}

TEST(CommandLine, PathArgumentsSkipBlankOnesAndKeepQuotes) {
  const char* none[] = {"tessvane"};
  EXPECT_TRUE(PathArguments(1, none).empty());
  const char* blanks[] = {"tessvane", "", "\"\"", " "};
  EXPECT_TRUE(PathArguments(4, blanks).empty());
  const char* quoted[] = {"tessvane", "", "my \"page\".tif", " ", "other.tif"};
  EXPECT_EQ(PathArguments(5, quoted), (std::vector<std::string>{"my \"page\".tif", "other.tif"}));
}

TEST(ErrorReport, NamesClassModuleOffsetAndText) {
  EXPECT_EQ(ErrorReport(ERangeError(0x1A2B), "tessvane"),
            "Exception ERangeError in module tessvane at 00001A2B.\nRange check error.\r\n");
  EXPECT_EQ(ErrorReport(EInOutError(EPIPE, 0xFFFFFFF), "t"),
            "Exception EInOutError in module t at 0FFFFFFF.\nI/O error 32.\r\n");
}

TEST(ErrorReport, ModuleIsTheExecutableFileName) {
  EXPECT_EQ(ExecutableName(), "tessvane_tests");
}

// Runs body with standard input reading from a pipe that holds input and
// is then closed; returns what body left unread.
template <typename Body>
std::string WithInput(const std::string& input, Body body) {
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  EXPECT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
  close(fds[1]);
  const int saved = dup(STDIN_FILENO);
  dup2(fds[0], STDIN_FILENO);
  close(fds[0]);
  body();
  std::string rest;
  char c;
  while (read(STDIN_FILENO, &c, 1) == 1) rest += c;
  dup2(saved, STDIN_FILENO);
  close(saved);
  return rest;
}

TEST(Pause, EndsAtLineFeedAndCharacter26ButNotAtALoneCarriageReturn) {
  EXPECT_EQ(WithInput("ab\rcd\r\nrest", WaitForEnter), "rest");
  EXPECT_EQ(WithInput("x\ry\nrest", WaitForEnter), "rest");
  EXPECT_EQ(WithInput("ab\r\x1arest", WaitForEnter), "rest");
  EXPECT_EQ(WithInput("no end of line", WaitForEnter), "");
  EXPECT_EQ(WithInput("", WaitForEnter), "");
}

TEST(Pause, AFailedReadIsAnInOutError) {
  const int saved = dup(STDIN_FILENO);
  close(STDIN_FILENO);
  try {
    WaitForEnter();
    ADD_FAILURE() << "a read from a closed descriptor succeeded";
  } catch (const EInOutError& error) {
    EXPECT_EQ(error.Message(), "I/O error 9");
  }
  dup2(saved, STDIN_FILENO);
  close(saved);
}

TEST(ConsoleLines, EndInCarriageReturnAndLineFeed) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  WriteConsoleLine("image read error");
  dup2(saved, STDOUT_FILENO);
  close(saved);
  char buffer[64];
  const ssize_t got = read(fds[0], buffer, sizeof buffer);
  close(fds[0]);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)), "image read error\r\n");
}

}  // namespace
}  // namespace tessvane
