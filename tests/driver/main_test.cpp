// The tessvane executable end to end: console texts, exit codes, and the
// rewritten files against an independent computation and decoder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <filesystem>
#include <regex>

#include "reference_clearing.h"
#include "reference_tiff_reader.h"
#include "run_process.h"
#include "test_tiff.h"

namespace {

using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ProcessOptions;
using testing_support::ReadTiffIndependently;
using testing_support::ReadWithLibtiff;
using testing_support::ReferenceClearing;
using testing_support::RunTessvane;
using testing_support::ScratchDirectory;
using testing_support::TiffLayout;
using testing_support::WriteTestTiff;

const std::string Banner = "Tessvane v.0.0 alpha\r\n______12.06.06._______________\r\n";

TEST(Messages, BannerWhenThereIsNoArgument) {
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{}, {""}, {"\"\""}, {" ", "\"\"\"\""}}) {
    const auto result = RunTessvane(arguments);
    EXPECT_EQ(result.output, Banner);
    EXPECT_EQ(result.exit_code, 1);
  }
}

TEST(Messages, PathWithoutDotTifIsRefused) {
  for (const char* path : {"page.TIF", "page.ti", "page", "\" \""}) {
    const auto result = RunTessvane({path});
    EXPECT_EQ(result.output, "No TIFF file!\r\n") << path;
    EXPECT_EQ(result.exit_code, 1);
  }
}

// A read error does not pause: with standard input closed, a pause would
// end in an input error instead of the plain message.
TEST(Messages, UnreadableFileIsAReadErrorWithoutPause) {
  ScratchDirectory dir;
  testing_support::WriteFileBytes(dir / "text.tif", {'n', 'o', 't', ' ', 'a', ' ', 't', 'i', 'f', 'f'});
  for (const std::string& path : {dir / "missing.tiff", dir / "missing.tif.bak", dir / "text.tif"}) {
    const auto result = RunTessvane({path}, {.close_input = true});
    EXPECT_EQ(result.output, "image read error\r\n") << path;
    EXPECT_EQ(result.exit_code, 1);
  }
}

// Blank arguments are skipped; every other one is a file to clear, and
// among several a name without ".tif" is reported without a pause.
TEST(Messages, EveryNonBlankArgumentCountsAndNoneOfSeveralPauses) {
  const auto result = RunTessvane({"", " ", "missing.tif", "other"}, {.close_input = true});
  EXPECT_EQ(result.output, "image read error\r\nNo TIFF file!\r\n");
  EXPECT_EQ(result.exit_code, 1);
}

TEST(Messages, PauseWaitsForALineAndFailsOnAClosedInput) {
  const auto answered = RunTessvane({"x.TIF"}, {.input = "\r\n"});
  EXPECT_EQ(answered.output, "No TIFF file!\r\n");
  const auto closed = RunTessvane({}, {.close_input = true});
  EXPECT_TRUE(std::regex_match(
      closed.output, std::regex(Banner + "Exception EInOutError in module tessvane at [0-9A-F]{8}\\.\n"
                                         "I/O error 9\\.\r\n")))
      << closed.output;
  EXPECT_EQ(closed.exit_code, 1);
}

TEST(Messages, AClosedOutputEndsTheRunWithExitCode1) {
  const auto result = RunTessvane({}, {.close_output = true});
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.exit_code, 1);
}

// The report names the executable by its own file name.
TEST(Messages, ErrorReportNamesTheExecutableAndLeavesTheFileAlone) {
  ScratchDirectory dir;
  std::filesystem::copy_file(TESSVANE_PATH, dir / "renamed-tool");
  WriteTestTiff(dir / "row.tif", {.width = 50, .height = 1}, std::vector<std::uint8_t>(50, 9));
  const auto before = FileBytes(dir / "row.tif");
  const auto result =
      testing_support::RunProgram(dir / "renamed-tool", {dir / "row.tif"}, {.close_input = true});
  EXPECT_TRUE(std::regex_match(
      result.output, std::regex("Exception EIntOverflow in module renamed-tool at [0-9A-F]{8}\\.\n"
                                "Integer overflow\\.\r\n")))
      << result.output;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(dir / "row.tif"), before);
}

// ---- rewriting pages -----------------------------------------------------------

// Runs the tool on a page written with layout and checks everything a user
// relies on: silence on both streams, exit 0, the expected pixels through two
// unrelated decoders, and the layout and tags of the input.
void ExpectCleared(const TiffLayout& layout, const std::vector<std::uint8_t>& page) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteTestTiff(path, layout, page);
  const auto input = ReadWithLibtiff(path);
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.output, "");
  ASSERT_EQ(result.errors, "");
  ASSERT_EQ(result.exit_code, 0);

  const auto expected = ReferenceClearing(page, static_cast<int>(layout.width),
                                          static_cast<int>(layout.height));
  const auto output = ReadWithLibtiff(path);
  EXPECT_EQ(output.pixels, expected);
  EXPECT_EQ(ReadTiffIndependently(path).pixels, expected);
  EXPECT_EQ(output.layout.width, input.layout.width);
  EXPECT_EQ(output.layout.height, input.layout.height);
  EXPECT_EQ(output.layout.rows_per_strip, input.layout.rows_per_strip);
  EXPECT_EQ(output.layout.compression, input.layout.compression);
  EXPECT_EQ(output.layout.photometric, input.layout.photometric);
  EXPECT_EQ(output.layout.x_resolution, input.layout.x_resolution);
  EXPECT_EQ(output.layout.y_resolution, input.layout.y_resolution);
  EXPECT_EQ(output.layout.resolution_unit, input.layout.resolution_unit);
  EXPECT_EQ(output.layout.orientation, input.layout.orientation);
  EXPECT_EQ(output.layout.samples_per_pixel, 1);
  EXPECT_EQ(output.strip_count, input.strip_count);
  EXPECT_EQ(output.directories, 1);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"page.tif"});
}

TEST(Rewrite, PagesInEveryCompressionAndStripLayout) {
  std::uint32_t seed = 10;
  for (const std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_PACKBITS,
                                          COMPRESSION_ADOBE_DEFLATE}) {
    for (const auto& [width, height, rows] :
         {std::tuple{120u, 90u, 10u},   // last strip full
          {133u, 97u, 16u},              // last strip partial
          {64u, 50u, 0u},                // one strip, no RowsPerStrip tag
          {64u, 50u, 49u},               // last strip one row
          {3u, 300u, 7u},                // narrow
          {300u, 3u, 1u}}) {             // a strip a row
      SCOPED_TRACE(::testing::Message() << "compression " << compression << ", " << width << " x "
                                        << height << ", rows " << rows);
      TiffLayout layout{.width = width, .height = height, .rows_per_strip = rows,
                        .compression = compression};
      layout.x_resolution = 300;
      layout.y_resolution = 300;
      layout.resolution_unit = RESUNIT_INCH;
      ExpectCleared(layout, MakeTestPage(width, height, seed++));
    }
  }
}

TEST(Rewrite, LargeUncompressedSingleStripLooksTheSameToTheLibrary) {
  // A reader that lets the library split an uncompressed single strip above
  // 8 KiB sees the same pieces in the output: it is one strip again (the
  // raw strip tables are checked in tag_carry_test.cpp).
  ExpectCleared({.width = 500, .height = 80, .orientation = ORIENTATION_BOTRIGHT},
                MakeTestPage(500, 80, 99));
}

TEST(Rewrite, TheLibrarysOwnGrayscaleSample) {
  ScratchDirectory dir;
  const std::string path = dir / "sample.tif";
  std::filesystem::copy_file(testing_support::TestDataFile("minisblack-1c-8b.tiff"), path);
  const auto input = ReadWithLibtiff(path);
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.output, "");
  const auto output = ReadWithLibtiff(path);
  EXPECT_EQ(output.pixels, ReferenceClearing(input.pixels, 157, 151));
  EXPECT_EQ(output.strip_count, 3u);
  EXPECT_EQ(output.layout.rows_per_strip, 52u);
}

TEST(Rewrite, PathsWithQuotesSpacesAndNoLengthLimit) {
  ScratchDirectory dir;
  const std::string nested = dir / std::string(100, 'd');
  std::filesystem::create_directory(nested);
  for (const std::string& path :
       {dir / "my \"page\".tif", dir / "a page with spaces.tif", nested + "/" + std::string(120, 'n') + ".tif"}) {
    const auto page = MakeTestPage(40, 30, 5);
    WriteTestTiff(path, {.width = 40, .height = 30, .rows_per_strip = 8}, page);
    const auto result = RunTessvane({path}, {.close_input = true});
    EXPECT_EQ(result.exit_code, 0) << path << result.output;
    EXPECT_EQ(ReadWithLibtiff(path).pixels, ReferenceClearing(page, 40, 30)) << path;
  }
}

TEST(Rewrite, ImagesWithoutAnInsideAreReportedAndLeftAlone) {
  ScratchDirectory dir;
  for (const auto& [width, height] : {std::pair{200u, 1u}, {1u, 2u}}) {
    WriteTestTiff(dir / "thin.tif", {.width = width, .height = height},
                  std::vector<std::uint8_t>(width * height, 3));
    const auto before = FileBytes(dir / "thin.tif");
    const auto result = RunTessvane({dir / "thin.tif"}, {.close_input = true});
    EXPECT_TRUE(std::regex_match(result.output,
                                 std::regex("Exception EIntOverflow in module tessvane at "
                                            "[0-9A-F]{8}\\.\nInteger overflow\\.\r\n")))
        << result.output;
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(FileBytes(dir / "thin.tif"), before);
  }
}

TEST(Rewrite, RefusedImagesAreLeftAlone) {
  ScratchDirectory dir;
  for (const char* file : {"palette-1c-8b.tiff", "minisblack-1c-16b.tiff", "rgb-3c-8b.tiff"}) {
    const std::string path = dir / file;
    std::filesystem::copy_file(testing_support::TestDataFile(file), path);
    const auto result = RunTessvane({path}, {.close_input = true});
    EXPECT_EQ(result.output, "image read error\r\n") << file;
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(FileBytes(path), FileBytes(testing_support::TestDataFile(file))) << file;
  }
}

}  // namespace
