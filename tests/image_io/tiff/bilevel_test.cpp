// Pages of 1, 2 and 4 bits a sample: bilevel pages in every compression
// libtiff writes for them, either photometric, either fill order, in
// strips (odd widths, one strip) and tiles that reach past the image,
// cleared exactly as the page looks and written back 1-bit as they were
// stored; 2- and 4-bit pages at their depth by the nearest-level rule;
// mixed files of several depths; damaged CCITT strips refused; the same
// bytes on every thread count.  Every result is checked against the
// independent clearing through the tests' own decoder (which shares no
// code with libtiff) and through libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <optional>
#include <random>
#include <string>

#include "border_clearing.h"
#include "checked.h"
#include "im_proc.h"
#include "packed_samples.h"
#include "reference_clearing.h"
#include "reference_tiff_reader.h"
#include "run_process.h"
#include "run_sequence.h"
#include "test_tiff.h"
#include "thread_counts.h"
#include "tiff_directory.h"

namespace tessvane {
namespace {

using testing_support::ExpectSameOnEveryThreadCount;
using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ReadPagesIndependently;
using testing_support::ReadWithLibtiff;
using testing_support::ReferenceClearing;
using testing_support::RunTessvane;
using testing_support::ScratchDirectory;
using testing_support::TestPage;
using testing_support::TiffLayout;
using testing_support::WriteFileBytes;
using testing_support::WriteTestTiffPages;

using Bytes = std::vector<std::uint8_t>;

// A page of black and white that looks like a photocopy: the test page's
// dark border regions and gutter-like shading turned black, its strokes
// black, its paper white.
Bytes BilevelLook(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  Bytes look = MakeTestPage(width, height, seed);
  for (std::uint8_t& level : look) level = level < 110 ? 0 : 255;
  return look;
}

// The stored levels of look at bits bits (nearest level), as photometric
// stores them.
Bytes Stored(const Bytes& look, std::uint32_t bits, std::uint16_t photometric) {
  const std::uint32_t top = (1u << bits) - 1;
  Bytes stored(look.size());
  for (std::size_t i = 0; i < look.size(); ++i) {
    const std::uint32_t level = (look[i] * top + 127) / 255;
    stored[i] = static_cast<std::uint8_t>(photometric == PHOTOMETRIC_MINISWHITE ? top - level : level);
  }
  return stored;
}

// A tag of the first directory of path, if it is there.
std::optional<std::uint32_t> TagOf(const std::string& path, ttag_t tag) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return std::nullopt;
  std::uint32_t wide = 0;
  std::uint16_t narrow = 0;
  std::optional<std::uint32_t> value;
  const TIFFField* field = TIFFFindField(tiff, tag, TIFF_ANY);
  if (field != nullptr && TIFFFieldSetGetSize(field) == 2) {
    if (TIFFGetField(tiff, tag, &narrow)) value = narrow;
  } else if (field != nullptr && TIFFGetField(tiff, tag, &wide)) {
    value = wide;
  }
  TIFFClose(tiff);
  return value;
}

// The ImageDescription of path's first directory; empty when none.
std::string DescriptionOf(const std::string& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return {};
  const char* text = nullptr;
  std::string description;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEDESCRIPTION, &text) && text != nullptr) description = text;
  TIFFClose(tiff);
  return description;
}

struct Coding {
  const char* name;
  std::uint16_t compression;
  std::optional<std::uint32_t> t4_options{};
  std::optional<std::uint32_t> t6_options{};
};

const Coding BilevelCodings[] = {
    {"none", COMPRESSION_NONE},
    {"PackBits", COMPRESSION_PACKBITS},
    {"LZW", COMPRESSION_LZW},
    {"Deflate", COMPRESSION_ADOBE_DEFLATE},
    {"CCITT RLE", COMPRESSION_CCITTRLE},
    {"Group 3 1-D", COMPRESSION_CCITTFAX3, 0},
    {"Group 3 2-D, fill bits", COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS},
    {"Group 4", COMPRESSION_CCITTFAX4, std::nullopt, 0},
};

struct Shape {
  const char* name;
  std::uint32_t width, height, rows_per_strip;
  std::uint32_t tile_width = 0, tile_length = 0;
};

const Shape BilevelShapes[] = {
    {"strips, an odd width", 203, 61, 8},
    {"one strip", 77, 45, 0},
    {"tiles past the image", 83, 50, 0, 32, 16},
};

// The layout of a test page of shape in coding.
TiffLayout LayoutOf(const Shape& shape, const Coding& coding, std::uint16_t photometric,
                    std::uint16_t fill_order, std::uint16_t bits) {
  TiffLayout layout{.width = shape.width, .height = shape.height, .rows_per_strip = shape.rows_per_strip,
                    .compression = coding.compression, .photometric = photometric,
                    .bits_per_sample = bits, .x_resolution = 300, .y_resolution = 300,
                    .resolution_unit = RESUNIT_INCH, .tile_width = shape.tile_width,
                    .tile_length = shape.tile_length, .description = "a scanned page"};
  layout.more_tags = [coding, fill_order](TIFF* tiff) {
    TIFFSetField(tiff, TIFFTAG_FILLORDER, fill_order);
    if (coding.t4_options) TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, *coding.t4_options);
    if (coding.t6_options) TIFFSetField(tiff, TIFFTAG_GROUP4OPTIONS, *coding.t6_options);
  };
  return layout;
}

// Runs the tool on path; expects it to succeed.
void ExpectCleared(const std::string& path) {
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.exit_code, 0) << result.output << result.errors;
  ASSERT_EQ(result.errors.find("tessvane: "), std::string::npos) << result.errors;
}

// Page page of path as both readers see it: the same stored levels, and
// the independent reader's for the expectations.
testing_support::ReferenceImage ReadBothWays(const std::string& path, std::size_t page) {
  const auto pages = ReadPagesIndependently(path);
  EXPECT_LT(page, pages.size());
  if (page >= pages.size()) return {};
  EXPECT_EQ(ReadWithLibtiff(path, static_cast<int>(page)).pixels, pages[page].pixels);
  return pages[page];
}

// Every compression, photometric, fill order and layout of a bilevel page:
// cleared as it looks, read back alike by both readers, stored 1-bit in
// its own coding, options, fill order, layout and tags.
TEST(Bilevel, EveryCodingAndLayoutIsClearedAndKept) {
  ScratchDirectory dir;
  std::uint32_t seed = 0;
  for (const Coding& coding : BilevelCodings) {
    for (const Shape& shape : BilevelShapes) {
      for (const std::uint16_t photometric : {PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISBLACK}) {
        for (const std::uint16_t fill_order : {FILLORDER_MSB2LSB, FILLORDER_LSB2MSB}) {
          SCOPED_TRACE(::testing::Message() << coding.name << ", " << shape.name << ", photometric "
                                            << photometric << ", fill order " << fill_order);
          const std::string path = dir / "page.tif";
          const Bytes look = BilevelLook(shape.width, shape.height, ++seed);
          const TiffLayout layout = LayoutOf(shape, coding, photometric, fill_order, 1);
          WriteTestTiffPages(path, {{layout, Stored(look, 1, photometric)}});
          const auto before = ReadWithLibtiff(path);
          ExpectCleared(path);
          const auto page = ReadBothWays(path, 0);
          EXPECT_EQ(page.GrayLevels(), ReferenceClearing(look, static_cast<int>(shape.width),
                                                         static_cast<int>(shape.height)));
          const auto after = ReadWithLibtiff(path);
          EXPECT_EQ(after.layout.bits_per_sample, 1);
          EXPECT_EQ(after.layout.compression, coding.compression);
          EXPECT_EQ(after.layout.photometric, photometric);
          EXPECT_EQ(after.layout.rows_per_strip, before.layout.rows_per_strip);
          EXPECT_EQ(after.strip_count, before.strip_count);
          EXPECT_EQ(after.layout.tile_width, shape.tile_width);
          EXPECT_EQ(after.layout.tile_length, shape.tile_length);
          EXPECT_EQ(after.layout.x_resolution, 300);
          EXPECT_EQ(DescriptionOf(path), "a scanned page");
          EXPECT_EQ(TagOf(path, TIFFTAG_FILLORDER), fill_order);
          EXPECT_EQ(TagOf(path, TIFFTAG_GROUP3OPTIONS), coding.t4_options);
          EXPECT_EQ(TagOf(path, TIFFTAG_GROUP4OPTIONS), coding.t6_options);
        }
      }
    }
  }
}

// The clearing of a page of black and white gives black and white only,
// and exactly the independent clearing, on random pages of black blobs,
// joined to the border or not.
TEST(Bilevel, ABilevelPageIsClearedToBlackAndWhite) {
  std::mt19937 random(35);
  for (int round = 0; round < 40; ++round) {
    const int width = 3 + static_cast<int>(random() % 90);
    const int height = 3 + static_cast<int>(random() % 70);
    const std::uint32_t black_in_256 = random() % 256;
    Bytes look(static_cast<std::size_t>(width) * height);
    for (std::uint8_t& level : look) level = random() % 256 < black_in_256 ? 0 : 255;
    TMyImage image;
    image.Width = width;
    image.Height = height;
    image.Pixels.SetLength(width * height);
    std::copy(look.begin(), look.end(), image.Pixels.Data());
    TMyImage marker = MakeBorderMarker(image);
    ReconstructByErosion(image, marker);
    NormalizeAndClear(image, marker);
    const Bytes cleared(image.Pixels.Data(), image.Pixels.Data() + image.Pixels.Length());
    for (const std::uint8_t level : cleared) ASSERT_TRUE(level == 0 || level == 255) << int{level};
    EXPECT_EQ(cleared, ReferenceClearing(look, width, height)) << width << "x" << height;
  }
}

// A stored level of 2 or 4 bits as the page looks.
std::uint8_t LookOf(std::uint32_t stored, std::uint32_t bits) {
  return static_cast<std::uint8_t>(stored * 255 / ((1u << bits) - 1));
}

// 2- and 4-bit pages, min-is-black, min-is-white and through a palette
// that is the ramp of their levels, come back at their depth, each level
// the nearest to the cleared one; a gray palette that is not the ramp
// comes back as 8-bit min-is-black of the cleared levels, as 8-bit ones do.
TEST(Bilevel, TwoAndFourBitPagesKeepTheirDepthAtTheNearestLevel) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  for (const std::uint16_t bits : {2, 4}) {
    const std::uint32_t top = (1u << bits) - 1;
    for (const std::uint16_t photometric : {PHOTOMETRIC_MINISBLACK, PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_PALETTE}) {
      for (const bool ramp : {true, false}) {
        if (!ramp && photometric != PHOTOMETRIC_PALETTE) continue;
        for (const Shape& shape : BilevelShapes) {
          SCOPED_TRACE(::testing::Message() << bits << " bits, photometric " << photometric
                                            << (ramp ? "" : ", reversed palette") << ", " << shape.name);
          // The test page at the depth's levels, the nearest of each.
          const Bytes stored_look = Stored(MakeTestPage(shape.width, shape.height, bits), bits, PHOTOMETRIC_MINISBLACK);
          Bytes look(stored_look.size());
          Bytes stored(stored_look.size());
          for (std::size_t i = 0; i < look.size(); ++i) {
            const std::uint32_t v = ramp ? stored_look[i] : top - stored_look[i];
            look[i] = LookOf(stored_look[i], bits);
            stored[i] = static_cast<std::uint8_t>(photometric == PHOTOMETRIC_MINISWHITE ? top - v : v);
          }
          TiffLayout layout = LayoutOf(shape, {"LZW", COMPRESSION_LZW}, photometric, FILLORDER_MSB2LSB, bits);
          if (photometric == PHOTOMETRIC_PALETTE) {
            for (int channel = 0; channel < 3; ++channel) {
              for (std::uint32_t v = 0; v <= top; ++v) {
                layout.colormap.push_back(static_cast<std::uint16_t>(LookOf(ramp ? v : top - v, bits) * 257));
              }
            }
          }
          WriteTestTiffPages(path, {{layout, stored}});
          ExpectCleared(path);
          const auto page = ReadBothWays(path, 0);
          const Bytes cleared = ReferenceClearing(look, static_cast<int>(shape.width), static_cast<int>(shape.height));
          if (!ramp) {
            EXPECT_EQ(page.bits_per_sample, 8u);
            EXPECT_EQ(page.photometric, std::uint32_t{PHOTOMETRIC_MINISBLACK});
            EXPECT_EQ(page.pixels, cleared);
            continue;
          }
          EXPECT_EQ(page.bits_per_sample, bits);
          EXPECT_EQ(page.photometric, photometric);
          EXPECT_EQ(page.pixels, Stored(cleared, bits, photometric == PHOTOMETRIC_PALETTE ? PHOTOMETRIC_MINISBLACK : photometric));
          if (photometric == PHOTOMETRIC_PALETTE) {
            EXPECT_EQ(page.colormap, layout.colormap);
          }
        }
      }
    }
  }
}

// What a fax receiver recorded in a Group 3 or Group 4 page (its bad lines,
// its parameters, time and subaddress) and how the page was thresholded
// come back entry for entry: the same type, count and bytes.
TEST(Bilevel, FaxReceiverTagsAreKept) {
  ScratchDirectory dir;
  const std::string path = dir / "fax.tif";
  const std::uint16_t fax_tags[] = {TIFFTAG_BADFAXLINES,   TIFFTAG_CLEANFAXDATA, TIFFTAG_CONSECUTIVEBADFAXLINES,
                                    TIFFTAG_FAXRECVPARAMS, TIFFTAG_FAXRECVTIME,  TIFFTAG_FAXSUBADDRESS,
                                    TIFFTAG_THRESHHOLDING};
  for (const Coding& coding : {BilevelCodings[6], BilevelCodings[7]}) {
    SCOPED_TRACE(coding.name);
    TiffLayout layout = LayoutOf({"", 203, 61, 16}, coding, PHOTOMETRIC_MINISWHITE, FILLORDER_MSB2LSB, 1);
    layout.more_tags = [base = layout.more_tags](TIFF* tiff) {
      base(tiff);
      TIFFSetField(tiff, TIFFTAG_BADFAXLINES, 3u);
      TIFFSetField(tiff, TIFFTAG_CLEANFAXDATA, CLEANFAXDATA_REGENERATED);
      TIFFSetField(tiff, TIFFTAG_CONSECUTIVEBADFAXLINES, 2u);
      TIFFSetField(tiff, TIFFTAG_FAXRECVPARAMS, 0x1234u);
      TIFFSetField(tiff, TIFFTAG_FAXRECVTIME, 41u);
      TIFFSetField(tiff, TIFFTAG_FAXSUBADDRESS, "0815");
      TIFFSetField(tiff, TIFFTAG_THRESHHOLDING, THRESHHOLD_ERRORDIFFUSE);
    };
    WriteTestTiffPages(path, {{layout, Stored(BilevelLook(203, 61, 3), 1, PHOTOMETRIC_MINISWHITE)}});
    const auto before = testing_support::ReadRawDirectory(FileBytes(path));
    ExpectCleared(path);
    const auto after = testing_support::ReadRawDirectory(FileBytes(path));
    for (const std::uint16_t tag : fax_tags) {
      SCOPED_TRACE(::testing::Message() << "tag " << tag);
      ASSERT_TRUE(before.Has(tag));
      ASSERT_TRUE(after.Has(tag));
      EXPECT_TRUE(after.entries.at(tag) == before.entries.at(tag)) << "type, count or bytes changed";
    }
  }
}

// A 1-bit palette of white then black is a bilevel page stored the other
// way round: it comes back 1-bit min-is-white in its own compression.  Any
// other 1-bit gray palette would come back 8-bit, which the CCITT coders
// cannot store: such a page is refused before it is read, the file left
// as it was.
TEST(Bilevel, OneBitPalettesOfCcittPagesAreKeptOrRefused) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  const Bytes look = BilevelLook(203, 61, 8);
  Bytes stored(look.size());
  for (std::size_t i = 0; i < look.size(); ++i) stored[i] = look[i] == 0 ? 1 : 0;  // entry 1 black
  const struct {
    Coding coding;
    std::uint16_t dark;  // what entry 1 shows; entry 0 shows white
    bool kept;
  } cases[] = {{BilevelCodings[7], 0, true}, {BilevelCodings[4], 0, true}, {BilevelCodings[2], 0, true},
               {BilevelCodings[7], 0x7000, false}, {BilevelCodings[5], 0x7000, false}};
  for (const auto& [coding, dark, kept] : cases) {
    SCOPED_TRACE(::testing::Message() << coding.name << ", entry 1 showing " << dark);
    TiffLayout layout = LayoutOf({"", 203, 61, 16}, coding, PHOTOMETRIC_PALETTE, FILLORDER_MSB2LSB, 1);
    layout.colormap = {0xFFFF, dark, 0xFFFF, dark, 0xFFFF, dark};
    WriteTestTiffPages(path, {{layout, stored}});
    const Bytes original = FileBytes(path);
    const auto result = RunTessvane({path}, {.close_input = true});
    if (!kept) {
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_NE(result.errors.find("a CCITT page whose palette is not black and white"), std::string::npos)
          << result.errors;
      EXPECT_TRUE(FileBytes(path) == original);
      continue;
    }
    ASSERT_EQ(result.exit_code, 0) << result.errors;
    const auto page = ReadBothWays(path, 0);
    EXPECT_EQ(page.bits_per_sample, 1u);
    EXPECT_EQ(page.compression, coding.compression);
    EXPECT_EQ(page.photometric, std::uint32_t{PHOTOMETRIC_MINISWHITE});
    EXPECT_EQ(page.GrayLevels(), ReferenceClearing(look, 203, 61));
  }
}

// A file of a 1-bit Group 4 page, a 4-bit LZW page in tiles and an 8-bit
// page: each cleared as it looks and kept as it is stored.
TEST(Bilevel, AMixedFileKeepsEachPageAsStored) {
  ScratchDirectory dir;
  const std::string path = dir / "mixed.tif";
  const Bytes bilevel = BilevelLook(301, 97, 1);
  const Bytes gray = MakeTestPage(120, 80, 2);
  const Bytes four = Stored(MakeTestPage(90, 70, 3), 4, PHOTOMETRIC_MINISBLACK);
  Bytes four_look(four.size());
  for (std::size_t i = 0; i < four.size(); ++i) four_look[i] = LookOf(four[i], 4);
  WriteTestTiffPages(path, {
      {LayoutOf({"", 301, 97, 16}, BilevelCodings[7], PHOTOMETRIC_MINISWHITE, FILLORDER_MSB2LSB, 1),
       Stored(bilevel, 1, PHOTOMETRIC_MINISWHITE)},
      {LayoutOf({"", 90, 70, 0, 32, 32}, {"LZW", COMPRESSION_LZW}, PHOTOMETRIC_MINISBLACK, FILLORDER_MSB2LSB, 4), four},
      {LayoutOf({"", 120, 80, 16}, {"Deflate", COMPRESSION_ADOBE_DEFLATE}, PHOTOMETRIC_MINISBLACK, FILLORDER_MSB2LSB, 8), gray},
  });
  ExpectCleared(path);
  const auto first = ReadBothWays(path, 0);
  EXPECT_EQ(first.bits_per_sample, 1u);
  EXPECT_EQ(first.compression, std::uint32_t{COMPRESSION_CCITTFAX4});
  EXPECT_EQ(first.GrayLevels(), ReferenceClearing(bilevel, 301, 97));
  const auto second = ReadBothWays(path, 1);
  EXPECT_EQ(second.bits_per_sample, 4u);
  EXPECT_EQ(second.tile_width, 32u);
  EXPECT_EQ(second.pixels, Stored(ReferenceClearing(four_look, 90, 70), 4, PHOTOMETRIC_MINISBLACK));
  const auto third = ReadBothWays(path, 2);
  EXPECT_EQ(third.bits_per_sample, 8u);
  EXPECT_EQ(third.pixels, ReferenceClearing(gray, 120, 80));
}


// Writes a bilevel page of width × height, min-is-white Group 4 in strips
// of rows, the look of seed.
void WriteGroupFourPage(const std::string& path, std::uint32_t width, std::uint32_t height,
                        std::uint32_t rows, std::uint32_t seed) {
  WriteTestTiffPages(path, {{LayoutOf({"", width, height, rows}, BilevelCodings[7], PHOTOMETRIC_MINISWHITE,
                                      FILLORDER_MSB2LSB, 1),
                             Stored(BilevelLook(width, height, seed), 1, PHOTOMETRIC_MINISWHITE)}});
}

// A Group 4 strip damaged in its middle decodes, to libtiff, into guessed
// rows with warnings: the tool refuses the file as an image read error and
// leaves it as it was, saying the same on one CPU as on all.
TEST(Bilevel, ADamagedGroupFourStripIsAReadError) {
  ScratchDirectory dir;
  const std::string path = dir / "damaged.tif";
  WriteGroupFourPage(path, 640, 200, 20, 9);
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  const std::uint64_t offset = TIFFGetStrileOffset(tiff, 4);
  const std::uint64_t count = TIFFGetStrileByteCount(tiff, 4);
  TIFFClose(tiff);
  Bytes bytes = FileBytes(path);
  std::mt19937 random(4);
  for (std::uint64_t k = offset + count / 3; k < offset + count / 3 + 12; ++k) bytes[k] = static_cast<std::uint8_t>(random());
  WriteFileBytes(path, bytes);
  const auto all = RunTessvane({path}, {.close_input = true});
  const auto one = RunTessvane({path}, {.close_input = true, .in_child = testing_support::PinToOneCpu});
  EXPECT_EQ(all.exit_code, 1);
  EXPECT_NE(all.output.find("image read error\r\n"), std::string::npos) << all.output;
  EXPECT_NE(all.errors.find("strip 4 does not decode"), std::string::npos) << all.errors;
  EXPECT_EQ(one.errors, all.errors);
  EXPECT_TRUE(FileBytes(path) == bytes);
}

// The same file, byte for byte, on 1, 2 and 5 threads, for bilevel pages
// in many Group 4 strips, Group 3 tiles and LZW strips, and a 4-bit page.
TEST(Bilevel, TheSameBytesOnEveryThreadCount) {
  ScratchDirectory dir;
  const std::string input = dir / "input.tif";
  const std::vector<std::pair<TiffLayout, std::uint16_t>> pages = {
      {LayoutOf({"", 1001, 300, 7}, BilevelCodings[7], PHOTOMETRIC_MINISWHITE, FILLORDER_LSB2MSB, 1), 1},
      {LayoutOf({"", 700, 300, 0, 128, 64}, BilevelCodings[6], PHOTOMETRIC_MINISBLACK, FILLORDER_MSB2LSB, 1), 1},
      {LayoutOf({"", 999, 257, 3}, BilevelCodings[2], PHOTOMETRIC_MINISWHITE, FILLORDER_MSB2LSB, 1), 1},
      {LayoutOf({"", 999, 257, 5}, {"Deflate", COMPRESSION_ADOBE_DEFLATE}, PHOTOMETRIC_MINISBLACK, FILLORDER_MSB2LSB, 4), 4},
  };
  for (const auto& [layout, bits] : pages) {
    SCOPED_TRACE(::testing::Message() << "compression " << layout.compression << ", " << bits << " bits");
    const Bytes look = bits == 1 ? BilevelLook(layout.width, layout.height, 11) : MakeTestPage(layout.width, layout.height, 11);
    WriteTestTiffPages(input, {{layout, Stored(look, bits, layout.photometric)}});
    const Bytes original = FileBytes(input);
    ExpectSameOnEveryThreadCount("a cleared page", [&](std::uint32_t threads) {
      const std::string path = dir / ("page-" + std::to_string(threads) + ".tif");
      WriteFileBytes(path, original);
      TMyImage image;
      const char* name = path.c_str();
      ClearFile(name, image);
      return FileBytes(path);
    });
  }
}

// A level other than black or white on a 1-bit page cannot come from the
// clearing: the writer raises a range error rather than threshold it, on
// one thread and on several, and the file stays as it was.
TEST(Bilevel, AGrayLevelOnABilevelPageIsAnInternalError) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteGroupFourPage(path, 640, 300, 10, 5);
  const Bytes original = FileBytes(path);
  for (const std::uint32_t threads : {1u, 5u}) {
    const UsableCpuOverride cpus(threads);
    TMyImage image;
    const char* name = path.c_str();
    ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
    image.Pixels[640 * 200 + 17] = 128;
    EXPECT_THROW(WriteTiffImage(name, image), ERangeError) << threads << " threads";
    EXPECT_TRUE(FileBytes(path) == original);
  }
}

// Packing and unpacking against the plain rule, level by level, for every
// depth, both photometrics and rows of every length up to a few bytes
// (the 1-bit row is packed eight levels a word).
TEST(PackedSamples, RowsPackAndUnpackByTheNearestLevel) {
  std::mt19937 random(7);
  for (const std::uint32_t bits : {1u, 2u, 4u}) {
    const std::uint32_t top = (1u << bits) - 1;
    std::array<std::uint8_t, 256> levels{};
    for (std::uint32_t v = 0; v <= top; ++v) levels[v] = LevelOf(v, bits);
    const Unpacker unpack(bits, levels);
    for (const bool inverted : {false, true}) {
      for (std::uint32_t count = 1; count < 70; ++count) {
        Bytes gray(count);
        for (std::uint8_t& level : gray) level = bits == 1 ? (random() % 2 ? 255 : 0) : static_cast<std::uint8_t>(random());
        Bytes expected(PackedRowBytes(count, bits), 0);
        for (std::uint32_t c = 0; c < count; ++c) {
          const std::uint32_t level = (gray[c] * top + 127) / 255;
          expected[c * bits / 8] |= static_cast<std::uint8_t>((inverted ? top - level : level) << (8 - bits - c * bits % 8));
        }
        Bytes packed(expected.size() + 1, 0xAB);
        PackRow(gray.data(), count, bits, inverted, packed.data());
        EXPECT_EQ(Bytes(packed.begin(), packed.end() - 1), expected) << bits << " bits, " << count;
        EXPECT_EQ(packed.back(), 0xAB) << "written past the row";
        if (inverted) continue;
        Bytes back(count);
        unpack.Row(packed.data(), count, back.data());
        for (std::uint32_t c = 0; c < count; ++c) EXPECT_EQ(back[c], LevelOf((gray[c] * top + 127) / 255, bits));
      }
    }
  }
  const Bytes gray = {0, 255, 255, 0, 0, 0, 255, 1, 0};
  Bytes packed(2);
  EXPECT_THROW(PackRow(gray.data(), 9, 1, false, packed.data()), ERangeError);
  EXPECT_THROW(PackRow(gray.data() + 7, 1, 1, false, packed.data()), ERangeError);
}

// Writing a page leaves its record as it was, though libtiff reverses in
// place the bits of an uncompressed strip it is handed in fill order 2:
// the record then goes on serving, written again the same.
TEST(Bilevel, WritingAFillOrderTwoPageLeavesItsPixels) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  for (const std::uint32_t rows : {5u, 0u}) {
    SCOPED_TRACE(::testing::Message() << rows << " rows a strip");
    const Bytes look = MakeTestPage(99, 57, 11);
    WriteTestTiffPages(path, {{LayoutOf({"", 99, 57, rows}, BilevelCodings[0], PHOTOMETRIC_MINISBLACK,
                                        FILLORDER_LSB2MSB, 8), look}});
    TMyImage image;
    const char* name = path.c_str();
    ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
    for (int round = 0; round < 2; ++round) {
      ASSERT_EQ(WriteTiffImage(name, image), StatusDone);
      EXPECT_TRUE(Bytes(image.Pixels.Data(), image.Pixels.Data() + image.Pixels.Length()) == look);
      EXPECT_EQ(ReadWithLibtiff(path).pixels, look) << "written " << round + 1 << " times";
    }
  }
}

}  // namespace
}  // namespace tessvane
