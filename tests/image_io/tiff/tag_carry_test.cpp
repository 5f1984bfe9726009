// What a user stored in a page survives a run of the tessvane executable:
// the descriptive tags, the colour profile and metadata packets, the EXIF
// directory, the predictor, the container (BigTIFF, byte order), a single
// strip, and the JPEG quality; what the new pixels make false is gone.
//
// Inputs are written through libtiff (and one through Pillow), rewritten by
// the executable, and read back as raw directories (tiff_directory.h), by
// the independent decoder and through libtiff.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <numeric>
#include <set>
#include <sstream>
#include <stdexcept>

#include "im_proc.h"
#include "jpeg_quality.h"
#include "reference_clearing.h"
#include "reference_tiff_reader.h"
#include "run_process.h"
#include "tag_table.h"
#include "test_tiff.h"
#include "tiff_bytes.h"
#include "tiff_directory.h"

namespace {

using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::RawDirectory;
using testing_support::RawEntry;
using testing_support::ReadRawDirectory;
using testing_support::ReadTiffIndependently;
using testing_support::ReadWithLibtiff;
using testing_support::ReferenceClearing;
using testing_support::RunTessvane;
using testing_support::ScratchDirectory;

// The carried tags that belong to a codec or to bilevel pages: the library
// takes them only under their codec, or they change how the bits are
// stored.  Predictor is tested on its own below; the CCITT options, the
// fax receiver's tags and the fill order with the bilevel pages.
const std::set<ttag_t> CodecTags = {
    TIFFTAG_PREDICTOR,      TIFFTAG_GROUP3OPTIONS,          TIFFTAG_GROUP4OPTIONS,
    TIFFTAG_BADFAXLINES,    TIFFTAG_CLEANFAXDATA,           TIFFTAG_CONSECUTIVEBADFAXLINES,
    TIFFTAG_FAXRECVPARAMS,  TIFFTAG_FAXRECVTIME,            TIFFTAG_FAXSUBADDRESS,
    TIFFTAG_FILLORDER};

// The tags the tool carries from the first directory when the input has
// them: the tag table's carried rows but the codecs', so that a row added
// there fails the tests below until the test page holds a value for it.
const std::vector<std::uint16_t> CarriedTags = [] {
  std::vector<std::uint16_t> tags;
  for (const ttag_t tag : tessvane::CarriedTagNumbers()) {
    if (!CodecTags.contains(tag)) tags.push_back(static_cast<std::uint16_t>(tag));
  }
  return tags;
}();

// A tag number of the private range, for an EXIF entry of the scanner's own.
constexpr ttag_t PrivateExifTag = 65000;

// How a test page is stored.  Zero leaves a tag out.
struct PageOptions {
  std::uint32_t width = 96;
  std::uint32_t height = 64;
  std::uint32_t rows_per_strip = 16;
  std::uint16_t compression = COMPRESSION_NONE;
  std::uint16_t predictor = 0;
  int jpeg_quality = 0;
  bool jpeg_tables = true;   // false: each JPEG strip carries its own tables
  bool big_tiff = false;
  bool big_endian = false;
  bool metadata = false;     // the carried descriptive tags and packets
  bool exif = false;         // an EXIF directory
  bool dropped = false;      // a thumbnail SubIFD and the sample ranges
};

std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t seed) {
  std::vector<std::uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + seed);
  return bytes;
}

// Distinct values for every carried tag; the texts hold UTF-8 bytes, which
// must come back unchanged.
void SetDescriptiveTags(TIFF* tiff) {
  TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, "Kirchenbuch \xE2\x80\x93 Seite 12");
  TIFFSetField(tiff, TIFFTAG_DOCUMENTNAME, "Parish register 1871");
  TIFFSetField(tiff, TIFFTAG_PAGENAME, "folio 12 recto");
  TIFFSetField(tiff, TIFFTAG_PAGENUMBER, 11, 240);
  TIFFSetField(tiff, TIFFTAG_MAKE, "ScanCo");
  TIFFSetField(tiff, TIFFTAG_MODEL, "BookEye 5");
  TIFFSetField(tiff, TIFFTAG_SOFTWARE, "Capture 4.2");
  TIFFSetField(tiff, TIFFTAG_DATETIME, "2019:03:14 15:09:26");
  TIFFSetField(tiff, TIFFTAG_ARTIST, "Archive staff");
  TIFFSetField(tiff, TIFFTAG_HOSTCOMPUTER, "scan-station-3");
  TIFFSetField(tiff, TIFFTAG_COPYRIGHT, "(c) County Archive");
  TIFFSetField(tiff, TIFFTAG_XPOSITION, 1.5);
  TIFFSetField(tiff, TIFFTAG_YPOSITION, 2.25);
  TIFFSetField(tiff, TIFFTAG_THRESHHOLDING, THRESHHOLD_HALFTONE);
  const auto icc = Pattern(560, 7);
  TIFFSetField(tiff, TIFFTAG_ICCPROFILE, static_cast<std::uint32_t>(icc.size()), icc.data());
  const std::string xmp = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/></x:xmpmeta>";
  TIFFSetField(tiff, TIFFTAG_XMLPACKET, static_cast<std::uint32_t>(xmp.size()), xmp.data());
  // An IPTC record version and an object name, padded to four bytes.
  const std::string iptc("\x1c\x02\x00\x00\x02\x00\x04\x1c\x02\x05\x00\x07Page 12\0\0\0\0\0", 24);
  TIFFSetField(tiff, TIFFTAG_RICHTIFFIPTC, static_cast<std::uint32_t>(iptc.size()), iptc.data());
  const auto photoshop = Pattern(90, 3);
  TIFFSetField(tiff, TIFFTAG_PHOTOSHOP, static_cast<std::uint32_t>(photoshop.size()),
               photoshop.data());
}

// Writes the EXIF directory of the page that was just written and points the
// first directory to it.
void AppendExifDirectory(TIFF* tiff) {
  TIFFCreateEXIFDirectory(tiff);
  TIFFSetField(tiff, EXIFTAG_EXPOSURETIME, 1.0 / 250);
  TIFFSetField(tiff, EXIFTAG_FNUMBER, 5.6);
  TIFFSetField(tiff, EXIFTAG_FOCALLENGTH, 35.0);
  const std::uint16_t iso[] = {200};
  TIFFSetField(tiff, EXIFTAG_ISOSPEEDRATINGS, 1, iso);
  TIFFSetField(tiff, EXIFTAG_DATETIMEORIGINAL, "2019:03:14 15:09:26");
  TIFFSetField(tiff, EXIFTAG_COLORSPACE, 1);
  TIFFSetField(tiff, EXIFTAG_PIXELXDIMENSION, 96u);
  const std::string comment("ASCII\0\0\0Page twelve", 19);
  TIFFSetField(tiff, EXIFTAG_USERCOMMENT, static_cast<int>(comment.size()), comment.data());
  const auto maker_note = Pattern(40, 11);
  TIFFSetField(tiff, EXIFTAG_MAKERNOTE, static_cast<int>(maker_note.size()), maker_note.data());
  // A private entry that the library knows by no name when it reads it.
  static char name[] = "PrivateScannerData";
  const TIFFFieldInfo private_field = {PrivateExifTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_SHORT,
                                       FIELD_CUSTOM, 1, 1, name};
  TIFFMergeFieldInfo(tiff, &private_field, 1);
  const std::uint16_t private_values[] = {7, 65535, 300};
  TIFFSetField(tiff, PrivateExifTag, 3u, private_values);
  std::uint64_t exif_offset = 0;
  if (!TIFFWriteCustomDirectory(tiff, &exif_offset)) throw std::runtime_error("EXIF not written");
  TIFFSetDirectory(tiff, 0);
  TIFFSetField(tiff, TIFFTAG_EXIFIFD, exif_offset);
}

// A small thumbnail as a SubIFD of the directory just written.
void AppendThumbnail(TIFF* tiff) {
  TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 8);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 8);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 8);
  auto thumbnail = Pattern(64, 1);
  TIFFWriteEncodedStrip(tiff, 0, thumbnail.data(), 64);
  TIFFWriteDirectory(tiff);
}

// The tags that go before the pixels: the descriptive ones, what the tool
// drops (the sample ranges, a SubIFD to be filled), the EXIF directory's
// pointer to be filled.
void SetMoreTags(TIFF* tiff, const PageOptions& options) {
  if (options.metadata) SetDescriptiveTags(tiff);
  if (options.dropped) {
    TIFFSetField(tiff, TIFFTAG_MINSAMPLEVALUE, 3);
    TIFFSetField(tiff, TIFFTAG_MAXSAMPLEVALUE, 251);
    TIFFSetField(tiff, TIFFTAG_SMINSAMPLEVALUE, 3.0);
    TIFFSetField(tiff, TIFFTAG_SMAXSAMPLEVALUE, 251.0);
    std::uint64_t placeholder = 0;
    TIFFSetField(tiff, TIFFTAG_SUBIFD, 1, &placeholder);
  }
  if (options.exif) TIFFSetField(tiff, TIFFTAG_EXIFIFD, std::uint64_t{0});
}

// The test kit's layout of a page stored as options say, at 300 dpi.
testing_support::TiffLayout LayoutOf(const PageOptions& options) {
  return {.width = options.width,
          .height = options.height,
          .rows_per_strip = options.rows_per_strip,
          .compression = options.compression,
          .x_resolution = 300,
          .y_resolution = 300,
          .resolution_unit = RESUNIT_INCH,
          .predictor = options.predictor,
          .jpeg_quality = options.jpeg_quality,
          .jpeg_tables = options.jpeg_tables,
          .more_tags = [options](TIFF* tiff) { SetMoreTags(tiff, options); },
          .after_page = [options](TIFF* tiff) {
            if (options.dropped) AppendThumbnail(tiff);
            if (options.exif) AppendExifDirectory(tiff);
          }};
}

// Writes a page of pixels stored as options say, through the test kit's
// page writer; std::runtime_error when libtiff refuses.
void WriteOptionsPage(const std::string& path, const PageOptions& options,
                      const std::vector<std::uint8_t>& pixels) {
  std::string mode = "w";
  if (options.big_tiff) mode += "8";
  mode += options.big_endian ? "b" : "l";
  testing_support::WriteTestTiffPages(path, {{LayoutOf(options), pixels}}, mode.c_str());
}

// Standard error without the library's warnings about EXIF entries it does
// not know by number (it says so while reading them; they are carried).
std::string WithoutUnknownTagWarnings(const std::string& errors) {
  std::istringstream lines(errors);
  std::string rest;
  for (std::string line; std::getline(lines, line);) {
    if (line.find("Warning, Unknown field with tag") == std::string::npos) rest += line + "\n";
  }
  return rest;
}

// Runs the tool on path and expects a silent success: nothing on standard
// output, and on standard error no more than the library's reading warnings.
void RunExpectingSuccess(const std::string& path) {
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.output, "");
  ASSERT_EQ(WithoutUnknownTagWarnings(result.errors), "");
  ASSERT_EQ(result.exit_code, 0);
}

RawDirectory RawFirstDirectory(const std::string& path) { return ReadRawDirectory(FileBytes(path)); }

RawDirectory RawExifDirectory(const std::string& path) {
  const auto bytes = FileBytes(path);
  const RawDirectory main = ReadRawDirectory(bytes);
  return ReadRawDirectory(bytes, main.Numbers(TIFFTAG_EXIFIFD).at(0));
}

// Every entry of before is in after with the same type, count and bytes.
void ExpectEntriesKept(const RawDirectory& before, const RawDirectory& after,
                       const std::vector<std::uint16_t>& tags) {
  for (const std::uint16_t tag : tags) {
    SCOPED_TRACE(::testing::Message() << "tag " << tag);
    ASSERT_TRUE(before.Has(tag));
    ASSERT_TRUE(after.Has(tag));
    const RawEntry& old_entry = before.entries.at(tag);
    const RawEntry& new_entry = after.entries.at(tag);
    EXPECT_EQ(new_entry.type, old_entry.type);
    EXPECT_EQ(new_entry.count, old_entry.count);
    EXPECT_EQ(new_entry.value, old_entry.value);
  }
}

std::vector<std::uint16_t> TagsOf(const RawDirectory& directory) {
  std::vector<std::uint16_t> tags;
  for (const auto& [tag, entry] : directory.entries) tags.push_back(tag);
  return tags;
}

double MeanError(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) throw std::runtime_error("pixel counts differ");
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(a.size());
}

// ---- carried tags ----------------------------------------------------------------

TEST(CarriedTags, SurviveEveryCompressionAndContainer) {
  std::uint32_t seed = 40;
  for (const std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_PACKBITS,
                                          COMPRESSION_ADOBE_DEFLATE, COMPRESSION_ZSTD,
                                          COMPRESSION_JPEG}) {
    for (const bool big_tiff : {false, true}) {
      for (const bool big_endian : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "compression " << compression << (big_tiff ? ", BigTIFF" : ", classic")
                                          << (big_endian ? ", big-endian" : ", little-endian"));
        ScratchDirectory dir;
        const std::string path = dir / "page.tif";
        const PageOptions options{.compression = compression, .big_tiff = big_tiff,
                                  .big_endian = big_endian, .metadata = true, .exif = true};
        const auto page = MakeTestPage(options.width, options.height, seed++);
        WriteOptionsPage(path, options, page);
        const RawDirectory before = RawFirstDirectory(path);
        const RawDirectory exif_before = RawExifDirectory(path);
        const auto decoded_before = ReadWithLibtiff(path).pixels;
        RunExpectingSuccess(path);

        const RawDirectory after = RawFirstDirectory(path);
        EXPECT_EQ(after.big_tiff, big_tiff);
        EXPECT_EQ(after.big_endian, big_endian);
        ExpectEntriesKept(before, after, CarriedTags);
        const RawDirectory exif_after = RawExifDirectory(path);
        ASSERT_TRUE(exif_before.Has(PrivateExifTag));
        EXPECT_EQ(TagsOf(exif_after), TagsOf(exif_before));
        ExpectEntriesKept(exif_before, exif_after, TagsOf(exif_before));
        const auto expected = ReferenceClearing(decoded_before, 96, 64);
        if (compression == COMPRESSION_JPEG) {
          EXPECT_LT(MeanError(ReadWithLibtiff(path).pixels, expected), 3.0);
        } else {
          EXPECT_EQ(ReadTiffIndependently(path).pixels, expected);
          EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
        }
      }
    }
  }
}

// libtiff finds the EXIF directory the output points to, with its values.
TEST(CarriedTags, ExifDirectoryReadsBackThroughTheLibrary) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteOptionsPage(path, {.compression = COMPRESSION_LZW, .exif = true}, MakeTestPage(96, 64, 2));
  RunExpectingSuccess(path);
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(tiff, nullptr);
  std::uint64_t offset = 0;
  ASSERT_TRUE(TIFFGetField(tiff, TIFFTAG_EXIFIFD, &offset));
  ASSERT_TRUE(TIFFReadEXIFDirectory(tiff, offset));
  const char* original = nullptr;
  ASSERT_TRUE(TIFFGetField(tiff, EXIFTAG_DATETIMEORIGINAL, &original));
  EXPECT_STREQ(original, "2019:03:14 15:09:26");
  float exposure = 0;  // the library holds this rational as a float
  ASSERT_TRUE(TIFFGetField(tiff, EXIFTAG_EXPOSURETIME, &exposure));
  EXPECT_FLOAT_EQ(exposure, 1.0f / 250);
  TIFFClose(tiff);
}

// Pillow writes its own TIFF (one uncompressed strip of 120,000 bytes) with
// descriptive tags, an ICC profile and an XMP packet.
TEST(CarriedTags, AFileFromPillowKeepsThem) {
  ScratchDirectory dir;
  const std::string path = dir / "pillow.tif";
  const std::string script =
      "import sys\n"
      "from PIL import Image, TiffImagePlugin\n"
      "w, h = 300, 400\n"
      "img = Image.new('L', (w, h))\n"
      "img.putdata([min(255, 120 + (x * 7 + y * 3) % 136) if 20 < x < 280 else 10\n"
      "             for y in range(h) for x in range(w)])\n"
      "info = TiffImagePlugin.ImageFileDirectory_v2()\n"
      "info[270] = 'Scanned page 7'\n"
      "info[305] = 'Some scanner 1.0'\n"
      "info[306] = '2020:01:02 03:04:05'\n"
      "info[315] = 'Jane Doe'\n"
      "info[33432] = '(c) Archive'\n"
      "info[700] = b'<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF/></x:xmpmeta>'\n"
      "info.tagtype[700] = 1\n"
      "img.save(sys.argv[1], tiffinfo=info, icc_profile=bytes(range(256)) * 2, dpi=(300, 300))\n";
  const auto made = testing_support::RunProgram("/usr/bin/python3", {"-c", script, path});
  ASSERT_EQ(made.exit_code, 0) << made.errors;
  const RawDirectory before = RawFirstDirectory(path);
  ASSERT_EQ(before.Numbers(TIFFTAG_STRIPOFFSETS).size(), 1u);
  const auto page = ReadTiffIndependently(path).pixels;
  RunExpectingSuccess(path);

  const RawDirectory after = RawFirstDirectory(path);
  ExpectEntriesKept(before, after,
                    {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_SOFTWARE, TIFFTAG_DATETIME, TIFFTAG_ARTIST,
                     TIFFTAG_COPYRIGHT, TIFFTAG_XMLPACKET, TIFFTAG_ICCPROFILE,
                     TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION, TIFFTAG_RESOLUTIONUNIT});
  // The library may store RowsPerStrip as SHORT where Pillow chose LONG.
  EXPECT_EQ(after.Numbers(TIFFTAG_ROWSPERSTRIP), before.Numbers(TIFFTAG_ROWSPERSTRIP));
  EXPECT_EQ(after.Numbers(TIFFTAG_STRIPOFFSETS).size(), 1u);
  EXPECT_EQ(ReadTiffIndependently(path).pixels, ReferenceClearing(page, 300, 400));
}

// ---- dropped tags ----------------------------------------------------------------

// A thumbnail and the old sample range describe pixels that are gone; the
// output holds the layout tags, the carried ones and nothing else.
TEST(DroppedTags, ThumbnailsAndSampleRangesAreGone) {
  for (const std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW}) {
    SCOPED_TRACE(::testing::Message() << "compression " << compression);
    ScratchDirectory dir;
    const std::string path = dir / "page.tif";
    WriteOptionsPage(path, {.compression = compression, .metadata = true, .dropped = true},
              MakeTestPage(96, 64, 5));
    const RawDirectory before = RawFirstDirectory(path);
    for (const std::uint16_t tag : {TIFFTAG_SUBIFD, TIFFTAG_MINSAMPLEVALUE, TIFFTAG_MAXSAMPLEVALUE,
                                    TIFFTAG_SMINSAMPLEVALUE, TIFFTAG_SMAXSAMPLEVALUE}) {
      ASSERT_TRUE(before.Has(tag)) << tag;
    }
    RunExpectingSuccess(path);

    const RawDirectory after = RawFirstDirectory(path);
    std::set<std::uint16_t> allowed = {
        TIFFTAG_IMAGEWIDTH,  TIFFTAG_IMAGELENGTH,  TIFFTAG_BITSPERSAMPLE,  TIFFTAG_COMPRESSION,
        TIFFTAG_PHOTOMETRIC, TIFFTAG_STRIPOFFSETS, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_ROWSPERSTRIP,
        TIFFTAG_STRIPBYTECOUNTS, TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION, TIFFTAG_PLANARCONFIG,
        TIFFTAG_RESOLUTIONUNIT};
    allowed.insert(CarriedTags.begin(), CarriedTags.end());
    for (const std::uint16_t tag : TagsOf(after)) EXPECT_TRUE(allowed.count(tag)) << tag;
    ExpectEntriesKept(before, after, CarriedTags);
    EXPECT_EQ(after.next_offset, 0u);
    EXPECT_EQ(ReadWithLibtiff(path).directories, 1);
  }
}

// ---- encoding as stored ------------------------------------------------------------

std::uint64_t StripBytes(const std::string& path) {
  const auto counts = RawFirstDirectory(path).Numbers(TIFFTAG_STRIPBYTECOUNTS);
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

// The predictor comes back, and the strips are no larger than a fresh encode
// of the same result with it.
TEST(Encoding, PredictorIsKeptAndPays) {
  for (const std::uint16_t compression : {COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                                          COMPRESSION_ZSTD, COMPRESSION_LZMA}) {
    SCOPED_TRACE(::testing::Message() << "compression " << compression);
    ScratchDirectory dir;
    const std::string path = dir / "page.tif";
    const PageOptions options{.width = 640, .height = 480, .rows_per_strip = 32,
                              .compression = compression, .predictor = PREDICTOR_HORIZONTAL};
    const auto page = MakeTestPage(options.width, options.height, 21);
    WriteOptionsPage(path, options, page);
    RunExpectingSuccess(path);

    EXPECT_EQ(RawFirstDirectory(path).Numbers(TIFFTAG_PREDICTOR), std::vector<std::uint64_t>{2});
    const auto expected = ReferenceClearing(page, 640, 480);
    EXPECT_EQ(ReadTiffIndependently(path).pixels, expected);
    EXPECT_EQ(ReadWithLibtiff(path).pixels, expected);
    WriteOptionsPage(dir / "with.tif", options, expected);
    PageOptions plain = options;
    plain.predictor = 0;
    WriteOptionsPage(dir / "without.tif", plain, expected);
    const std::uint64_t written = StripBytes(path);
    const std::uint64_t with = StripBytes(dir / "with.tif");
    RecordProperty("compression_" + std::to_string(compression),
                   std::to_string(written) + " written, " + std::to_string(with) +
                       " fresh with predictor, " + std::to_string(StripBytes(dir / "without.tif")) +
                       " fresh without");
    EXPECT_LE(written, with + with / 50);
  }
}

// A page stored as one strip keeps it, whether RowsPerStrip is absent, the
// height or above it; the library would otherwise split it when reading.
TEST(Encoding, SingleStripPagesKeepTheirStrip) {
  for (const std::uint32_t rows : {0u, 80u, 1000u}) {
    SCOPED_TRACE(::testing::Message() << "RowsPerStrip " << rows);
    ScratchDirectory dir;
    const std::string path = dir / "page.tif";
    const auto page = MakeTestPage(500, 80, 8);
    WriteOptionsPage(path, {.width = 500, .height = 80, .rows_per_strip = rows}, page);
    const RawDirectory before = RawFirstDirectory(path);
    RunExpectingSuccess(path);

    const RawDirectory after = RawFirstDirectory(path);
    EXPECT_EQ(after.Numbers(TIFFTAG_STRIPOFFSETS).size(), 1u);
    EXPECT_EQ(after.Numbers(TIFFTAG_STRIPBYTECOUNTS), std::vector<std::uint64_t>{40000});
    if (before.Has(TIFFTAG_ROWSPERSTRIP)) {
      EXPECT_EQ(after.Numbers(TIFFTAG_ROWSPERSTRIP), before.Numbers(TIFFTAG_ROWSPERSTRIP));
    }
    EXPECT_EQ(ReadTiffIndependently(path).pixels, ReferenceClearing(page, 500, 80));
  }
}

// ---- JPEG quality ------------------------------------------------------------------

// libjpeg's baseline luminance table in natural order, and the order in
// which a DQT segment lists its values.
constexpr std::array<int, 64> Luminance = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::array<int, 64> ZigzagToNatural = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// The luminance table (DQT table 0, zigzag order) of a page's JPEGTables.
std::array<int, 64> LuminanceTableOf(const std::string& path) {
  const RawDirectory directory = RawFirstDirectory(path);
  const std::vector<std::uint8_t>& b = directory.entries.at(TIFFTAG_JPEGTABLES).value;
  for (std::size_t i = 2; i + 4 < b.size();) {
    if (b[i] != 0xFF) throw std::runtime_error("JPEGTables: no marker");
    const std::size_t length = std::size_t{b[i + 2]} << 8 | b[i + 3];
    if (b[i + 1] == 0xDB && (b[i + 4] & 0x0F) == 0 && (b[i + 4] >> 4) == 0 && i + 4 + 64 < b.size()) {
      std::array<int, 64> table{};
      for (int k = 0; k < 64; ++k) table[k] = b[i + 5 + k];
      return table;
    }
    i += 2 + length;
  }
  throw std::runtime_error("JPEGTables: no luminance table");
}

// The quality whose libjpeg table matches the stored one most closely.
int QualityOf(const std::string& path) {
  const std::array<int, 64> stored = LuminanceTableOf(path);
  int best = 0;
  long best_distance = LONG_MAX;
  for (int quality = 1; quality <= 100; ++quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    long distance = 0;
    for (int k = 0; k < 64; ++k) {
      const int value = std::clamp((Luminance[ZigzagToNatural[k]] * scale + 50) / 100, 1, 255);
      distance += std::abs(value - stored[k]);
    }
    if (distance < best_distance) best = quality, best_distance = distance;
  }
  return best;
}

// A JPEG page comes back at its own quality, no worse than a fresh encode of
// the exact result at that quality.
TEST(JpegQuality, PagesComeBackAtTheirOwnQuality) {
  for (const int quality : {50, 75, 90, 98}) {
    SCOPED_TRACE(::testing::Message() << "quality " << quality);
    ScratchDirectory dir;
    const std::string path = dir / "page.tif";
    const PageOptions options{.width = 256, .height = 192, .compression = COMPRESSION_JPEG,
                              .jpeg_quality = quality};
    WriteOptionsPage(path, options, MakeTestPage(256, 192, 30));
    ASSERT_EQ(QualityOf(path), quality);
    const auto exact = ReferenceClearing(ReadWithLibtiff(path).pixels, 256, 192);
    RunExpectingSuccess(path);

    const int estimate = QualityOf(path);
    EXPECT_NEAR(estimate, quality, 3);
    WriteOptionsPage(dir / "fresh.tif", options, exact);
    const double error = MeanError(ReadWithLibtiff(path).pixels, exact);
    const double fresh_error = MeanError(ReadWithLibtiff(dir / "fresh.tif").pixels, exact);
    RecordProperty("quality_" + std::to_string(quality),
                   "estimate " + std::to_string(estimate) + ", mean error " +
                       std::to_string(error) + " vs fresh " + std::to_string(fresh_error));
    EXPECT_LE(error, fresh_error * 1.02 + 0.01);
  }
}

// Without a JPEGTables tag there is nothing to estimate from: high quality.
TEST(JpegQuality, PagesWithoutSharedTablesComeBackAtHighQuality) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteOptionsPage(path, {.width = 256, .height = 192, .compression = COMPRESSION_JPEG,
                   .jpeg_quality = 60, .jpeg_tables = false},
            MakeTestPage(256, 192, 31));
  ASSERT_FALSE(RawFirstDirectory(path).Has(TIFFTAG_JPEGTABLES));
  RunExpectingSuccess(path);
  EXPECT_EQ(QualityOf(path), 95);
}

// ---- what cannot be carried --------------------------------------------------

// An EXIF directory the library cannot read cannot be carried: the page is
// refused and left as it was rather than written without it.
TEST(Refusals, AnUnreadableExifDirectoryLeavesTheFileAlone) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteOptionsPage(path, {.exif = true}, MakeTestPage(96, 64, 3));
  auto bytes = FileBytes(path);
  const RawDirectory main = ReadRawDirectory(bytes);
  const std::uint64_t exif = main.Numbers(TIFFTAG_EXIFIFD).at(0);
  testing_support::PutU16(bytes, exif, 0xFFFF);  // more entries than the file holds
  testing_support::WriteFileBytes(path, bytes);
  const auto result = RunTessvane({path}, {.close_input = true});
  EXPECT_EQ(result.output, "image read error\r\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(path), bytes);
}

// A carried value the library will not take back fails the write and keeps
// the old file, in the first directory and in the EXIF one.
TEST(Refusals, AValueTheLibraryRefusesFailsTheWriteAndKeepsTheFile) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteOptionsPage(path, {.compression = COMPRESSION_LZW, .metadata = true, .exif = true},
            MakeTestPage(96, 64, 4));
  const auto before = FileBytes(path);
  tessvane::TMyImage good;
  ASSERT_EQ(tessvane::ReadTiffImage(path.c_str(), good), 1);
  ASSERT_FALSE(good.Carried.Tags.empty());
  ASSERT_FALSE(good.Carried.Exif.empty());

  tessvane::TMyImage unterminated = good;  // a text without its NUL
  for (auto& value : unterminated.Carried.Tags) {
    if (value.Tag == TIFFTAG_ARTIST) value.Bytes.pop_back();
  }
  tessvane::TMyImage short_exif = good;  // fewer bytes than its count needs
  short_exif.Carried.Exif.back().Bytes.pop_back();
  for (const auto* image : {&unterminated, &short_exif}) {
    EXPECT_EQ(tessvane::WriteTiffImage(path.c_str(), *image), 0);
    EXPECT_EQ(FileBytes(path), before);
  }
  EXPECT_EQ(tessvane::WriteTiffImage(path.c_str(), good), 1);
}

// With a predictor the library works on the buffer it is given; the record
// the writer was handed keeps its pixels.
TEST(Encoding, PredictedStripsLeaveTheRecordsPixelsAlone) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  const auto page = MakeTestPage(120, 90, 6);
  WriteOptionsPage(path, {.width = 120, .height = 90, .rows_per_strip = 20,
                   .compression = COMPRESSION_ADOBE_DEFLATE, .predictor = PREDICTOR_HORIZONTAL},
            page);
  tessvane::TMyImage image;
  ASSERT_EQ(tessvane::ReadTiffImage(path.c_str(), image), 1);
  ASSERT_EQ(tessvane::WriteTiffImage(path.c_str(), image), 1);
  EXPECT_EQ(std::vector<std::uint8_t>(image.Pixels.Data(), image.Pixels.Data() + image.Pixels.Length()),
            page);
  EXPECT_EQ(ReadTiffIndependently(path).pixels, page);
}

// The estimate straight from a stream: what libtiff writes, and streams cut
// short or holding other tables, which give no estimate and are never read
// past their end.
TEST(JpegQuality, EstimateFromTablesAndDamagedStreams) {
  ScratchDirectory dir;
  WriteOptionsPage(dir / "q.tif", {.compression = COMPRESSION_JPEG, .jpeg_quality = 83},
            MakeTestPage(96, 64, 9));
  const std::vector<std::uint8_t> tables =
      RawFirstDirectory(dir / "q.tif").entries.at(TIFFTAG_JPEGTABLES).value;
  EXPECT_EQ(tessvane::EstimateJpegQuality(tables.data(), tables.size()), 83);
  // SOI, the DQT marker and length, then table 0: 71 bytes in all.
  for (std::size_t size = 0; size < 2 + 4 + 1 + 64; ++size) {
    const std::vector<std::uint8_t> cut(tables.begin(), tables.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_EQ(tessvane::EstimateJpegQuality(cut.data(), cut.size()), 0) << size;
  }
  EXPECT_EQ(tessvane::EstimateJpegQuality(nullptr, 0), 0);

  // Table 1 first, then table 0 in 16-bit precision, all ones: quality 100.
  std::vector<std::uint8_t> stream = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 2 + 65 + 129, 0x01};
  stream.insert(stream.end(), 64, 50);
  stream.push_back(0x10);
  for (int k = 0; k < 64; ++k) stream.insert(stream.end(), {0x00, 0x01});
  EXPECT_EQ(tessvane::EstimateJpegQuality(stream.data(), stream.size()), 100);
  // The first table is table 0 now: its sum 3,200 is 86.3 % of the standard
  // table's 3,710, the scaling of quality (200 − 86.3) / 2 = 57.
  stream[6] = 0x00;
  EXPECT_EQ(tessvane::EstimateJpegQuality(stream.data(), stream.size()), 57);
  stream[5] = 0xFF;  // a segment longer than the stream
  EXPECT_EQ(tessvane::EstimateJpegQuality(stream.data(), stream.size()), 0);
}

}  // namespace
