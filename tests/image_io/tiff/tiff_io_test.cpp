// The TIFF reader and writer on files written by libtiff with chosen
// layouts, and on real files from the library's own test suite.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "file_failure.h"
#include "im_proc.h"
#include "reference_tiff_reader.h"
#include "test_tiff.h"

namespace tessvane {
namespace {

using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ReadTiffIndependently;
using testing_support::ReadWithLibtiff;
using testing_support::ScratchDirectory;
using testing_support::TiffLayout;
using testing_support::WriteTestTiff;

std::vector<std::uint8_t> PixelsOf(const TMyImage& image) {
  return {image.Pixels.Data(), image.Pixels.Data() + image.Pixels.Length()};
}

std::vector<std::uint8_t> Counting(std::size_t count) {
  std::vector<std::uint8_t> pixels(count);
  for (std::size_t i = 0; i < count; ++i) pixels[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return pixels;
}

// ---- reading -----------------------------------------------------------------

TEST(Reader, LaysStripsEndToEndAndFetchesTheTags) {
  ScratchDirectory dir;
  TiffLayout layout{.width = 4, .height = 10, .rows_per_strip = 3};
  layout.x_resolution = 300.5f;
  layout.y_resolution = 150;
  layout.resolution_unit = RESUNIT_CENTIMETER;
  layout.orientation = ORIENTATION_BOTLEFT;
  const auto pixels = Counting(40);
  WriteTestTiff(dir / "a.tif", layout, pixels);

  TMyImage image;
  const std::string path = dir / "a.tif";
  const char* name = path.c_str();
  ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
  EXPECT_EQ(PixelsOf(image), pixels);
  EXPECT_EQ(image.Width, 4);
  EXPECT_EQ(image.Height, 10);
  EXPECT_EQ(image.RowsPerStrip, 3);
  EXPECT_EQ(image.StripCount, 4);
  EXPECT_EQ(image.BitsPerSample, 8u);
  EXPECT_EQ(image.Compression, unsigned{COMPRESSION_NONE});
  EXPECT_EQ(image.Photometric, unsigned{PHOTOMETRIC_MINISBLACK});
  EXPECT_EQ(image.PlanarConfig, unsigned{PLANARCONFIG_CONTIG});
  EXPECT_EQ(image.XResolution, 300.5f);
  EXPECT_EQ(image.YResolution, 150.0f);
  EXPECT_EQ(image.ResolutionUnit, unsigned{RESUNIT_CENTIMETER});
  EXPECT_EQ(image.Orientation, unsigned{ORIENTATION_BOTLEFT});
}

TEST(Reader, ReadsSingleStripImages) {
  ScratchDirectory dir;
  const auto pixels = MakeTestPage(60, 40, 3);
  for (const std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_PACKBITS,
                                          COMPRESSION_ADOBE_DEFLATE}) {
    WriteTestTiff(dir / "one.tif", {.width = 60, .height = 40, .compression = compression}, pixels);
    TMyImage image;
    const std::string path = dir / "one.tif";
    const char* name = path.c_str();
    ASSERT_EQ(ReadTiffImage(name, image), StatusDone) << compression;
    EXPECT_EQ(image.StripCount, 1);
    EXPECT_EQ(PixelsOf(image), pixels) << compression;
  }
}

TEST(Reader, FileThatCannotBeOpenedLeavesTheRecordAlone) {
  TMyImage image;
  image.Width = 77;
  const char* name = "/nonexistent/page.tif";
  EXPECT_EQ(ReadTiffImage(name, image), -1);
  EXPECT_EQ(image.Width, 77);
  EXPECT_EQ(image.Pixels.Length(), 0u);
}

// Images the tool would mangle are refused before any pixel is held.
TEST(Reader, RefusesImagesItCannotRewriteWithoutLoss) {
  for (const char* file : {"minisblack-1c-16b.tiff", "minisblack-2c-8b-alpha.tiff",
                           "palette-1c-8b.tiff", "rgb-3c-8b.tiff", "quad-tile.jpg.tiff"}) {
    TMyImage image;
    const std::string path = testing_support::TestDataFile(file);
    const char* name = path.c_str();
    EXPECT_EQ(ReadTiffImage(name, image), 0) << file;
    EXPECT_EQ(image.Pixels.Length(), 0u) << file;
  }
}

TEST(Reader, RefusesSignedSamples) {
  ScratchDirectory dir;
  const auto pixels = Counting(32 * 32);
  {
    TIFF* tiff = TIFFOpen((dir / "signed.tif").c_str(), "w");
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 32);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 32);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_INT);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 8);
    for (std::uint32_t s = 0; s < 4; ++s) {
      TIFFWriteEncodedStrip(tiff, s, const_cast<std::uint8_t*>(pixels.data()) + s * 256, 256);
    }
    TIFFClose(tiff);
  }
  TMyImage image;
  const std::string path = dir / "signed.tif";
  const char* name = path.c_str();
  EXPECT_EQ(ReadTiffImage(name, image), 0);
}

TEST(Reader, ReadsTheLibrarysOwnGrayscaleSample) {
  TMyImage image;
  const std::string path = testing_support::TestDataFile("minisblack-1c-8b.tiff");
  const char* name = path.c_str();
  ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
  EXPECT_EQ(image.Width, 157);
  EXPECT_EQ(image.Height, 151);
  EXPECT_EQ(image.RowsPerStrip, 52);
  EXPECT_EQ(image.StripCount, 3);
  EXPECT_EQ(PixelsOf(image), ReadTiffIndependently(path).pixels);
}

TMyImage ReadBack(const std::string& path) {
  TMyImage image;
  const char* name = path.c_str();
  EXPECT_EQ(ReadTiffImage(name, image), StatusDone);
  return image;
}

// An uncompressed page of width × 10 rows, 3 rows a strip, written by
// libtiff with the given fill order, its four strips in the given order.
void WriteRawStrips(const std::string& path, std::uint32_t width,
                    const std::vector<std::uint8_t>& pixels, std::uint16_t fill_order,
                    const std::vector<std::uint32_t>& order) {
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 10u);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 3u);
  TIFFSetField(tiff, TIFFTAG_FILLORDER, fill_order);
  for (const std::uint32_t strip : order) {
    const std::uint32_t rows = strip == 3 ? 1 : 3;
    std::vector<std::uint8_t> bytes(pixels.begin() + strip * 3 * width,
                                    pixels.begin() + (strip * 3 + rows) * width);
    ASSERT_GE(TIFFWriteEncodedStrip(tiff, strip, bytes.data(), static_cast<tmsize_t>(bytes.size())), 0);
  }
  TIFFClose(tiff);
}

// Uncompressed strips back to back in the file are the pixels themselves:
// the reader maps them instead of copying, with the same result as a
// decoder that shares no code with libtiff.
TEST(Reader, ReadsUncompressedStripsBackToBackAsAViewOfTheFile) {
  ScratchDirectory dir;
  const auto pixels = MakeTestPage(61, 10, 5);
  for (const std::uint32_t rows_per_strip : {0u, 3u, 10u, 11u}) {
    WriteTestTiff(dir / "raw.tif", {.width = 61, .height = 10, .rows_per_strip = rows_per_strip},
                  pixels);
    const TMyImage image = ReadBack(dir / "raw.tif");
    EXPECT_TRUE(image.Pixels.IsFileView()) << rows_per_strip;
    EXPECT_EQ(PixelsOf(image), pixels) << rows_per_strip;
    EXPECT_EQ(PixelsOf(image), ReadTiffIndependently(dir / "raw.tif").pixels);
  }
  const TMyImage sample = ReadBack(testing_support::TestDataFile("minisblack-1c-8b.tiff"));
  EXPECT_TRUE(sample.Pixels.IsFileView());
}

// Where the file's bytes are not the pixels in order, the strips are
// decoded as before: compressed, bit-reversed or out of order.
TEST(Reader, DecodesStripsThatAreNotThePixelsInOrder) {
  ScratchDirectory dir;
  const auto pixels = MakeTestPage(61, 10, 6);
  WriteTestTiff(dir / "lzw.tif", {.width = 61, .height = 10, .rows_per_strip = 3,
                                  .compression = COMPRESSION_LZW}, pixels);
  WriteRawStrips(dir / "reversed-bits.tif", 61, pixels, FILLORDER_LSB2MSB, {0, 1, 2, 3});
  // Strip 0 first and the file long enough for a view from there.
  WriteRawStrips(dir / "swapped-strips.tif", 61, pixels, FILLORDER_MSB2LSB, {0, 2, 1, 3});
  for (const std::string name : {"lzw.tif", "reversed-bits.tif", "swapped-strips.tif"}) {
    const TMyImage image = ReadBack(dir / name);
    EXPECT_FALSE(image.Pixels.IsFileView()) << name;
    EXPECT_EQ(PixelsOf(image), ReadWithLibtiff(dir / name).pixels) << name;
  }
  EXPECT_EQ(PixelsOf(ReadBack(dir / "swapped-strips.tif")), pixels);
}

// ---- writing -------------------------------------------------------------------


TEST(Writer, RoundTripKeepsLayoutTagsAndPixels) {
  ScratchDirectory dir;
  const auto pixels = MakeTestPage(90, 70, 8);
  TiffLayout layout{.width = 90, .height = 70, .rows_per_strip = 16,
                    .compression = COMPRESSION_LZW};
  layout.x_resolution = 600;
  layout.y_resolution = 300;
  layout.resolution_unit = RESUNIT_INCH;
  layout.orientation = ORIENTATION_RIGHTTOP;
  WriteTestTiff(dir / "p.tif", layout, pixels);
  const TMyImage image = ReadBack(dir / "p.tif");
  ASSERT_EQ(WriteTiffImage((dir / "p.tif").c_str(), image), StatusDone);

  const auto written = ReadWithLibtiff(dir / "p.tif");
  EXPECT_EQ(written.layout.width, 90u);
  EXPECT_EQ(written.layout.height, 70u);
  EXPECT_EQ(written.layout.rows_per_strip, 16u);
  EXPECT_EQ(written.layout.compression, COMPRESSION_LZW);
  EXPECT_EQ(written.layout.photometric, PHOTOMETRIC_MINISBLACK);
  EXPECT_EQ(written.layout.bits_per_sample, 8);
  EXPECT_EQ(written.layout.samples_per_pixel, 1);
  EXPECT_EQ(written.planar_config, PLANARCONFIG_CONTIG);
  EXPECT_EQ(written.layout.x_resolution, 600.0f);
  EXPECT_EQ(written.layout.y_resolution, 300.0f);
  EXPECT_EQ(written.layout.resolution_unit, RESUNIT_INCH);
  EXPECT_EQ(written.layout.orientation, ORIENTATION_RIGHTTOP);
  EXPECT_EQ(written.strip_count, 5u);
  EXPECT_EQ(written.directories, 1);
  EXPECT_EQ(written.pixels, pixels);
}

// The last strip holds only its own rows: no stale rows of the strip before
// (which a Deflate decoder may or may not stop before).
TEST(Writer, LastStripCarriesOnlyItsRows) {
  ScratchDirectory dir;
  WriteTestTiff(dir / "s.tif", {.width = 4, .height = 10, .rows_per_strip = 3}, Counting(40));
  ASSERT_EQ(WriteTiffImage((dir / "s.tif").c_str(), ReadBack(dir / "s.tif")), StatusDone);
  EXPECT_EQ(ReadWithLibtiff(dir / "s.tif").strip_byte_counts,
            (std::vector<std::uint64_t>{12, 12, 12, 4}));

  for (std::uint32_t seed = 0; seed < 6; ++seed) {
    const auto pixels = MakeTestPage(97, 61, seed);
    WriteTestTiff(dir / "d.tif", {.width = 97, .height = 61, .rows_per_strip = 13,
                                  .compression = COMPRESSION_ADOBE_DEFLATE}, pixels);
    ASSERT_EQ(WriteTiffImage((dir / "d.tif").c_str(), ReadBack(dir / "d.tif")), StatusDone);
    EXPECT_EQ(ReadWithLibtiff(dir / "d.tif").pixels, pixels);
    EXPECT_EQ(ReadTiffIndependently(dir / "d.tif").pixels, pixels);
  }
}

TEST(Writer, WritesOneStripWhateverRowsPerStripHolds) {
  ScratchDirectory dir;
  const auto pixels = MakeTestPage(30, 20, 4);
  testing_support::WriteFileBytes(dir / "o.tif", {});
  for (const std::int32_t rows : {0, -1, 20, 500}) {
    TMyImage image;
    image.Width = 30;
    image.Height = 20;
    image.BitsPerSample = 8;
    image.Compression = COMPRESSION_LZW;
    image.Photometric = PHOTOMETRIC_MINISBLACK;
    image.RowsPerStrip = rows;
    image.StripCount = 1;
    image.Pixels.SetLength(600);
    std::memcpy(image.Pixels.Data(), pixels.data(), 600);
    ASSERT_EQ(WriteTiffImage((dir / "o.tif").c_str(), image), StatusDone) << rows;
    const auto written = ReadWithLibtiff(dir / "o.tif");
    EXPECT_EQ(written.strip_count, 1u) << rows;
    EXPECT_EQ(written.pixels, pixels) << rows;
  }
}

// Fields of zero are tags the input did not have: none is written as 0.
TEST(Writer, LeavesOutTagsTheInputDidNotHave) {
  ScratchDirectory dir;
  TMyImage image;
  image.Width = 8;
  image.Height = 4;
  image.BitsPerSample = 8;
  image.Photometric = PHOTOMETRIC_MINISBLACK;
  image.RowsPerStrip = 2;
  image.StripCount = 2;
  image.Pixels.SetLength(32);
  testing_support::WriteFileBytes(dir / "bare.tif", {});
  ASSERT_EQ(WriteTiffImage((dir / "bare.tif").c_str(), image), StatusDone);
  TIFF* tiff = TIFFOpen((dir / "bare.tif").c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  float resolution;
  std::uint16_t value;
  EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resolution));
  EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &resolution));
  EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &value));
  EXPECT_FALSE(TIFFGetField(tiff, TIFFTAG_ORIENTATION, &value));
  ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_COMPRESSION, &value));
  EXPECT_EQ(value, COMPRESSION_NONE);
  TIFFClose(tiff);
}

TEST(Writer, AFileThatCannotBeOpenedIsNotCreated) {
  ScratchDirectory dir;
  const TMyImage image = ReadBack(testing_support::TestDataFile("minisblack-1c-8b.tiff"));
  EXPECT_EQ(WriteTiffImage((dir / "absent.tif").c_str(), image), -1);
  EXPECT_EQ(WriteTiffImage((dir / "no/such/dir.tif").c_str(), image), -1);
  EXPECT_TRUE(dir.Entries().empty());
}

// The step, errno and reason each failure carries to main.
TEST(Failures, CarryTheirStepErrnoAndReason) {
  ScratchDirectory dir;
  testing_support::WriteFileBytes(dir / "text.tif", {'t', 'e', 'x', 't'});
  WriteTestTiff(dir / "page.tif", {.width = 8, .height = 8, .rows_per_strip = 4}, Counting(64));
  TMyImage page = ReadBack(dir / "page.tif");
  const auto open = [](const std::string& path) { return [path] { OpenTiffPages(path.c_str()); }; };
  TMyImage unterminated = page;  // a carried text without its NUL
  unterminated.Carried.Tags.push_back({TIFFTAG_ARTIST, TIFF_ASCII, 1, {'x'}});
  TMyImage no_map = page;  // a palette page without its colour map
  no_map.Photometric = PHOTOMETRIC_PALETTE;
  const auto write = [&dir](const TMyImage& image) {
    return [&dir, &image] { WriteTiffPages((dir / "page.tif").c_str(), image, 1, {}); };
  };
  const struct {
    const char* what;
    std::function<void()> run;
    FileStep step;
    int error;
    std::string reason;
  } cases[] = {
      {"missing", open(dir / "missing.tif"), FileStep::Lock, ENOENT, "no such file or directory"},
      {"directory", open(dir.path()), FileStep::Lock, 0, "a directory"},
      {"not a TIFF", open(dir / "text.tif"), FileStep::Lock, 0,
       "not a TIFF file, or its first directory cannot be read"},
      {"unterminated text", write(unterminated), FileStep::Write, 0, "the library refuses a tag value"},
      {"palette without map", write(no_map), FileStep::Write, 0, "a palette page without its colour map"},
      {"no file to replace", [&] { WriteTiffPages((dir / "none/page.tif").c_str(), page, 1, {}); },
       FileStep::Lock, ENOENT, "no such file or directory"},
  };
  const auto before = FileBytes(dir / "page.tif");
  for (const auto& c : cases) {
    try {
      c.run();
      ADD_FAILURE() << c.what << ": nothing raised";
    } catch (const EFileFailed& failure) {
      EXPECT_EQ(failure.Step(), c.step) << c.what;
      EXPECT_EQ(failure.ErrorNumber(), c.error) << c.what;
      EXPECT_EQ(failure.Reason(), c.reason) << c.what;
    }
  }
  EXPECT_EQ(FileBytes(dir / "page.tif"), before);
}

// A record the writer cannot lay out ends the run before the file is touched.
TEST(Writer, ChecksEverythingBeforeTouchingTheFile) {
  ScratchDirectory dir;
  WriteTestTiff(dir / "keep.tif", {.width = 4, .height = 10, .rows_per_strip = 3}, Counting(40));
  const auto before = FileBytes(dir / "keep.tif");
  const TMyImage good = ReadBack(dir / "keep.tif");
  const std::string path = dir / "keep.tif";

  auto expect_error = [&](auto change, auto error, const char* what) {
    TMyImage image = good;
    change(image);
    EXPECT_THROW(WriteTiffImage(path.c_str(), image), decltype(error)) << what;
    EXPECT_EQ(FileBytes(path), before) << what;
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"keep.tif"}) << what;
  };
  expect_error([](TMyImage& i) { i.StripCount = 0; }, EIntOverflow{0}, "no strips");
  expect_error([](TMyImage& i) { i.StripCount = -1; }, ERangeError{0}, "negative strip count");
  expect_error([](TMyImage& i) { i.RowsPerStrip = 0; }, EIntOverflow{0}, "empty strips");
  expect_error([](TMyImage& i) { i.RowsPerStrip = -1; }, ERangeError{0}, "negative strip size");
  expect_error([](TMyImage& i) { i.StripCount = 5; }, ERangeError{0}, "strips past the pixels");
  expect_error([](TMyImage& i) { i.StripCount = 3; }, ERangeError{0}, "last strip too long");
  expect_error([](TMyImage& i) { i.Height = 11; }, ERangeError{0}, "pixels missing");
  expect_error([](TMyImage& i) { i.Width = 65536, i.Height = 32768; }, EIntOverflow{0},
               "pixel count");
  expect_error([](TMyImage& i) { i.Width = -4; }, ERangeError{0}, "negative width");
}

}  // namespace
}  // namespace tessvane
