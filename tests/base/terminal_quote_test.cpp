// Names made safe for a terminal, against GNU ls as the oracle: the same
// quoting as `ls --quoting-style=shell-escape` for every name that holds a
// control character or bytes that are not UTF-8, and no change to any
// other name.
#include "terminal_quote.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "run_process.h"
#include "test_tiff.h"

namespace tessvane {
namespace {

using testing_support::RunProgram;
using testing_support::ScratchDirectory;

// How GNU ls quotes the name of the only entry of a directory holding a
// file of that name.
std::string QuotedByLs(const std::string& name, const char* style) {
  ScratchDirectory dir;
  testing_support::WriteFileBytes(dir / name, {});
  const auto result = RunProgram("/usr/bin/env", {"LC_ALL=C.UTF-8", "/bin/ls", std::string("--quoting-style=") + style,
                                                  dir.path()});
  EXPECT_EQ(result.exit_code, 0) << result.errors;
  return result.output.substr(0, result.output.size() - 1);
}

TEST(TerminalQuote, NamesWithControlsOrBadBytesAreQuotedAsLsQuotesThem) {
  const std::vector<std::string> names = {
      "a\nb", "e\x1b[31m", "\x01", "it's\tx", "\xff\xfeok", "x\x7fy", "csi\xc2\x9b" "2J", "trail\n",
      "over\xc0\xafong", "sur\xed\xa0\x80gate", "cut\xe2\x82", "space and\r", "caf\xc3\xa9\a",
  };
  for (const std::string& name : names) {
    EXPECT_EQ(QuotedForTerminal(name), QuotedByLs(name, "shell-escape")) << name;
    EXPECT_EQ(ShellQuoted(name), QuotedByLs(name, "shell-escape-always")) << name;
  }
}

// Quoted for a command to paste, every name comes back whole from bash,
// which reads $'...' as ls means it.
TEST(TerminalQuote, PrintableNamesAreLeftAsTheyAreAndShellQuotedOnesReadBack) {
  for (const std::string name : {"plain.tif", "sp ace.tif", "it's.tif", "caf\xc3\xa9.tif", "$x.tif", "\xe2\x82\xac"}) {
    EXPECT_EQ(QuotedForTerminal(name), name);
  }
  for (const std::string name : {"plain.tif", "it's.tif", "$x `y` \\z", "a\nb'c\x1b", "\xff"}) {
    const auto result = RunProgram("/bin/bash", {"-c", "printf %s " + ShellQuoted(name)});
    EXPECT_EQ(result.output, name) << ShellQuoted(name);
  }
}

}  // namespace
}  // namespace tessvane
