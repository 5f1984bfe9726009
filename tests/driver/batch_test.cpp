// Several files named on one command line, a batch whose standard output
// fails, and the reason every failure gives on standard error, through the
// tessvane executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <tiffio.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "reference_clearing.h"
#include "reference_tiff_reader.h"
#include "run_process.h"
#include "syscall_faults.h"
#include "test_tiff.h"

namespace {

using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ReadTiffIndependently;
using testing_support::ReferenceClearing;
using testing_support::RunTessvane;
using testing_support::ScratchDirectory;
using testing_support::TiffLayout;
using testing_support::WriteFileBytes;
using testing_support::WriteTestPage;
using testing_support::WriteTestTiff;

using Bytes = std::vector<std::uint8_t>;

const std::regex IntOverflowReport(
    "Exception EIntOverflow in module tessvane at [0-9A-F]{8}\\.\nInteger overflow\\.\r\n");

// The lines of standard error that are the tool's own, without the
// library's diagnostics.
std::string ToolLines(const std::string& errors) {
  std::string lines;
  std::size_t start = 0;
  while (start < errors.size()) {
    const std::size_t end = errors.find('\n', start);
    const std::string line = errors.substr(start, end == std::string::npos ? end : end + 1 - start);
    if (line.rfind("tessvane: ", 0) == 0) lines += line;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The layout of the test pages: 60 × 40, in LZW strips of 8 rows.
const TiffLayout SmallPage{.width = 60, .height = 40, .rows_per_strip = 8,
                          .compression = COMPRESSION_LZW};

// What the tool should make of the pixels of a SmallPage.
Bytes ClearedSmallPage(const Bytes& pixels) {
  return ReferenceClearing(pixels, SmallPage.width, SmallPage.height);
}

// ---- several files ------------------------------------------------------------------

// Every file is cleared in order, in one process; with a broken file, a
// run-ending error or a name without ".tif" among them, the rest are still
// cleared, the failure is reported on both streams, the failed file is
// untouched, and the exit code is 1.  Standard input is closed: a pause
// would end in an input error.
TEST(SeveralFiles, EachIsClearedAndAFailureStopsNoOther) {
  struct Case {
    const char* what;
    const char* odd_name;      // the second argument, made as odd_kind says
    int odd_kind;              // 0 a page, 1 text, 2 a single-row page, 3 no file
    std::string output;        // standard output, or "" for the run-ending error's report
    std::string reason;        // standard error's reason for the second argument
  };
  const Case cases[] = {
      {"three pages", "b.tif", 0, "", ""},
      {"a broken file", "b.tif", 1, "image read error\r\n",
       "not a TIFF file, or its first directory cannot be read"},
      {"a run-ending error", "b.tif", 2, "", "integer overflow"},
      {"a missing file", "b.tif", 3, "image read error\r\n", "no such file or directory"},
      {"a name without .tif", "b.TIF", 0, "No TIFF file!\r\n", "the name does not contain \".tif\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDirectory dir;
    const std::string odd = dir / c.odd_name;
    const Bytes first = ClearedSmallPage(WriteTestPage(dir / "a.tif", SmallPage, 1));
    const Bytes third = ClearedSmallPage(WriteTestPage(dir / "c.tif", SmallPage, 3));
    Bytes odd_expected;
    if (c.odd_kind == 0) odd_expected = ClearedSmallPage(WriteTestPage(odd, SmallPage, 2));
    if (c.odd_kind == 1) WriteFileBytes(odd, {'t', 'e', 'x', 't'});
    if (c.odd_kind == 2) WriteTestTiff(odd, {.width = 50, .height = 1}, Bytes(50, 9));
    const Bytes odd_before = c.odd_kind == 3 ? Bytes{} : FileBytes(odd);

    const auto result = RunTessvane({dir / "a.tif", odd, dir / "c.tif"}, {.close_input = true});
    EXPECT_EQ(ReadTiffIndependently(dir / "a.tif").pixels, first);
    EXPECT_EQ(ReadTiffIndependently(dir / "c.tif").pixels, third);
    const bool fails = !c.reason.empty();
    if (!fails) {
      EXPECT_EQ(ReadTiffIndependently(odd).pixels, odd_expected);
    } else if (c.odd_kind != 3) {
      EXPECT_EQ(FileBytes(odd), odd_before);
    }
    if (c.odd_kind == 2) {
      EXPECT_TRUE(std::regex_match(result.output, IntOverflowReport)) << result.output;
    } else {
      EXPECT_EQ(result.output, c.output);
    }
    EXPECT_EQ(ToolLines(result.errors), fails ? "tessvane: " + odd + ": " + c.reason + "\n" : "");
    EXPECT_EQ(result.exit_code, fails ? 1 : 0);
  }
}

// ---- standard output that fails -----------------------------------------------------

// A way for standard output to fail, set up in the child before exec, and
// the reason the tool then gives.
struct OutputFailure {
  const char* what;
  void (*set_up)();
  const char* reason;
};

void CloseOutput() { close(STDOUT_FILENO); }

// A pipe whose reader has gone, with SIGPIPE at its default action, which
// would kill a process that did not ignore it.
void BreakOutput() {
  int fds[2];
  if (pipe(fds) != 0) _exit(98);
  close(fds[0]);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  std::signal(SIGPIPE, SIG_DFL);
}

void FillOutput() {
  const int full = open("/dev/full", O_WRONLY);
  if (full < 0) _exit(98);
  dup2(full, STDOUT_FILENO);
  close(full);
}

const OutputFailure OutputFailures[] = {
    {"closed (>&-)", CloseOutput, "bad file descriptor"},
    {"a pipe whose reader has gone", BreakOutput, "broken pipe"},
    {"/dev/full", FillOutput, "no space left on device"},
};

// A file of a batch and what the run must leave of it.
struct BatchFile {
  std::string path;
  Bytes cleared;       // a page's pixels after clearing; empty for a failing file
  Bytes before;        // a failing file's bytes, which the run keeps
  std::string reason;  // standard error's reason for a failing file
};

// Makes file n of a batch in dir: 'p' a page, 't' text (a read error), 'r'
// a single-row page (a run-ending error), 'n' a page whose name lacks ".tif".
BatchFile MakeBatchFile(const ScratchDirectory& dir, char kind, int n) {
  BatchFile file{dir / (std::to_string(n) + (kind == 'n' ? ".TIF" : ".tif")), {}, {}, ""};
  if (kind == 'p') file.cleared = ClearedSmallPage(WriteTestPage(file.path, SmallPage, static_cast<std::uint32_t>(n)));
  if (kind == 't') WriteFileBytes(file.path, {'t', 'e', 'x', 't'});
  if (kind == 'r') WriteTestTiff(file.path, {.width = 50, .height = 1}, Bytes(50, 9));
  if (kind == 'n') WriteTestPage(file.path, SmallPage, static_cast<std::uint32_t>(n));
  if (kind == 't') file.reason = "not a TIFF file, or its first directory cannot be read";
  if (kind == 'r') file.reason = "integer overflow";
  if (kind == 'n') file.reason = "the name does not contain \".tif\"";
  if (kind != 'p') file.before = FileBytes(file.path);
  return file;
}

// Runs the tool on files of the given kinds, with standard output failing
// as failure says, and checks what a batch must do then: every page
// cleared, every failing file unchanged and its reason given, the failure
// of standard output told once before the first of them, nothing else of
// the tool's on standard error, exit code 1 when any file failed.  With
// close_errors standard error is closed as well, and only the files and
// the exit code can tell.
void ExpectBatchGoesOn(const std::string& kinds, const OutputFailure& failure,
                       bool close_errors = false) {
  ScratchDirectory dir;
  std::vector<BatchFile> files;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    files.push_back(MakeBatchFile(dir, kinds[i], static_cast<int>(i)));
    paths.push_back(files.back().path);
  }
  testing_support::ProcessOptions options{.close_input = true};
  options.in_child = [&failure, close_errors] {
    failure.set_up();
    if (close_errors) close(STDERR_FILENO);
  };
  const auto result = RunTessvane(paths, options);
  std::string lines;
  for (const BatchFile& file : files) {
    if (file.reason.empty()) {
      EXPECT_EQ(ReadTiffIndependently(file.path).pixels, file.cleared) << file.path;
      continue;
    }
    EXPECT_EQ(FileBytes(file.path), file.before) << file.path;
    if (lines.empty()) lines = std::string("tessvane: standard output: ") + failure.reason + "\n";
    lines += "tessvane: " + file.path + ": " + file.reason + "\n";
  }
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_code, lines.empty() ? 0 : 1);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(ToolLines(result.errors), close_errors ? "" : lines);
}

// With several files, the first console write that fails is told once on
// standard error, and every later file is still cleared, each failure
// keeping its reason and exit code 1; with standard error closed too, the
// files are cleared all the same.  A batch whose files all succeed writes
// nothing, so its failing output changes nothing.
TEST(SeveralFiles, AFailingStandardOutputIsToldOnceAndStopsNoFile) {
  // Kinds as MakeBatchFile takes them; the first failure writes a line
  // ("t", "n") or the report of a run-ending error ("r").
  for (const char* kinds : {"tp", "trp", "rtp", "pnp", "pp"}) {
    for (const OutputFailure& failure : OutputFailures) {
      SCOPED_TRACE(::testing::Message() << kinds << ", standard output " << failure.what);
      ExpectBatchGoesOn(kinds, failure);
    }
  }
  for (const OutputFailure& failure : OutputFailures) {
    SCOPED_TRACE(::testing::Message() << "standard error closed, standard output " << failure.what);
    ExpectBatchGoesOn("tpp", failure, true);
  }
}

// One file keeps the console's rule: a failed line ends the run with the
// error report (lost with standard output), before the file's reason, and
// exit code 1; the report of a run-ending error is written as far as it
// can be, and the reason follows it.  A page cleared writes nothing and
// succeeds.
TEST(OneFile, AFailingStandardOutputEndsTheRunAsBefore) {
  for (const char kind : {'t', 'r', 'n', 'p'}) {
    for (const OutputFailure& failure : OutputFailures) {
      SCOPED_TRACE(::testing::Message() << kind << ", standard output " << failure.what);
      ScratchDirectory dir;
      const BatchFile file = MakeBatchFile(dir, kind, 0);
      testing_support::ProcessOptions options{.close_input = true};
      options.in_child = failure.set_up;
      const auto result = RunTessvane({file.path}, options);
      EXPECT_EQ(result.signal, 0);
      EXPECT_EQ(result.exit_code, kind == 'p' ? 0 : 1);
      EXPECT_EQ(ToolLines(result.errors),
                kind == 'r' ? "tessvane: " + file.path + ": " + file.reason + "\n" : "");
      if (kind == 'p') {
        EXPECT_EQ(ReadTiffIndependently(file.path).pixels, file.cleared);
      } else {
        EXPECT_EQ(FileBytes(file.path), file.before);
      }
    }
  }
}

// ---- one reason for each refusal ----------------------------------------------------

// A file the reader refuses: the line on standard output, the reason on
// standard error, exit 1, the file unchanged.
void ExpectRefused(const std::string& path, const std::string& reason,
                   const std::string& output = "image read error\r\n") {
  const bool exists = std::filesystem::exists(path);
  const Bytes before = exists && std::filesystem::is_regular_file(path) ? FileBytes(path) : Bytes{};
  const auto result = RunTessvane({path}, {.close_input = true});
  EXPECT_EQ(result.output, output) << path;
  EXPECT_EQ(ToolLines(result.errors), "tessvane: " + path + ": " + reason + "\n");
  EXPECT_EQ(result.exit_code, 1);
  if (exists && std::filesystem::is_regular_file(path)) {
    EXPECT_EQ(FileBytes(path), before) << path;
  }
}

TEST(Reasons, EveryRefusalOfTheReaderNamesItsReason) {
  ScratchDirectory dir;
  const Bytes gray = MakeTestPage(32, 24, 4);
  auto write = [&](const std::string& name, TiffLayout layout, std::size_t bytes_per_pixel = 1) {
    layout.width = 32;
    layout.height = 24;
    Bytes pixels(32 * 24 * bytes_per_pixel, 77);
    WriteTestTiff(dir / name, layout, pixels);
    return dir / name;
  };
  ExpectRefused(write("sixteen.tif", {.rows_per_strip = 8, .bits_per_sample = 16}, 2),
                "16 bits per sample; only grayscale of 1, 2, 4 or 8 bits is accepted");
  ExpectRefused(write("rgb.tif", {.rows_per_strip = 8, .photometric = PHOTOMETRIC_RGB,
                                  .samples_per_pixel = 3}, 3),
                "3 samples per pixel; only grayscale of 1, 2, 4 or 8 bits is accepted");
  ExpectRefused(write("mask.tif", {.rows_per_strip = 8, .photometric = PHOTOMETRIC_SEPARATED}),
                "CMYK colour; only grayscale of 1, 2, 4 or 8 bits is accepted");
  TiffLayout colour{.rows_per_strip = 8, .photometric = PHOTOMETRIC_PALETTE};
  colour.colormap = testing_support::GrayColormap([](int i) { return static_cast<std::uint8_t>(i); });
  colour.colormap[512 + 7] = 0;  // entry 7 is no longer gray
  ExpectRefused(write("colour.tif", colour), "a colour palette; only gray palettes are accepted");
  ExpectRefused(testing_support::TestDataFile("minisblack-2c-8b-alpha.tiff"),
                "2 samples per pixel; only grayscale of 1, 2, 4 or 8 bits is accepted");
  ExpectRefused(dir / "missing.tif", "no such file or directory");
  std::filesystem::create_directory(dir / "dir.tif");
  ExpectRefused(dir / "dir.tif", "a directory");
  // A file whose every page is a reduced image has nothing to clear.
  ExpectRefused(write("thumb.tif", {.rows_per_strip = 8, .subfile_type = FILETYPE_REDUCEDIMAGE}),
                "no full-resolution image in the file");
}

// A write that the disk refuses names the system's reason; the file keeps
// its old contents.
TEST(Reasons, AFullDiskIsNamed) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteTestPage(path, SmallPage, 5);
  const Bytes before = FileBytes(path);
  testing_support::ProcessOptions options{.close_input = true};
  options.in_child = [] {
    if (!testing_support::InstallSyscallFaults(
            {{.number = SYS_pwrite64, .error = ENOSPC}})) {
      _exit(98);
    }
  };
  const auto result = RunTessvane({path}, options);
  EXPECT_EQ(result.output, "image write error\r\n");
  EXPECT_EQ(ToolLines(result.errors), "tessvane: " + path + ": no space left on device\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(path), before);
}

}  // namespace

namespace {

// A path holding an escape sequence and a line feed was printed raw after
// "tessvane: ": the escape reached the terminal and the line feed forged
// a line of its own, in the tool's line and in libtiff's.  It is quoted as
// ls quotes it in both, one line each.
TEST(Reasons, APathWithControlCharactersIsQuoted) {
  ScratchDirectory dir;
  const std::string name = "bad\x1b[31m\nname.tif";
  WriteFileBytes(dir / name, Bytes(64, 'x'));
  const auto result = RunTessvane({dir / name}, {.close_input = true});
  EXPECT_EQ(result.output, "image read error\r\n");
  const std::string quoted = "'" + dir.path() + "/bad'$'\\033''[31m'$'\\n''name.tif'";
  EXPECT_EQ(ToolLines(result.errors).rfind("tessvane: " + quoted + ": ", 0), 0u) << result.errors;
  EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 2) << result.errors;
  EXPECT_EQ(result.errors.rfind(quoted + ": ", 0), 0u) << "libtiff's line: " << result.errors;
  EXPECT_EQ(result.errors.find('\x1b'), std::string::npos);
}

}  // namespace
