// Strips and tiles coded on several threads: the reader and the writer
// give the same pixels and the same file bytes on one thread (the
// reference path, where every block is coded in turn) as on many, for
// every compression the tool writes, with and without a predictor, for
// strips of one row, of several rows with a short last strip, and of the
// whole page, and for tiles that do and do not reach past the image;
// failures and failing checks come out as on one thread.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "block_writer.h"
#include "decode_ahead.h"
#include "early_encoder.h"
#include "file_failure.h"
#include "im_proc.h"
#include "parallel_for.h"
#include "run_process.h"
#include "run_sequence.h"
#include "test_tiff.h"
#include "thread_counts.h"
#include "tiff_bytes.h"

namespace tessvane {
namespace {

using testing_support::ExpectSameOnEveryThreadCount;
using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ReadWithLibtiff;
using testing_support::ScratchDirectory;
using testing_support::WriteTestTiffPages;

struct Codec {
  std::uint16_t compression;
  std::uint16_t predictor;  // 0: no Predictor tag
};

struct Geometry {
  std::uint32_t width, height, rows_per_strip;
  std::uint32_t tile_width = 0, tile_length = 0;  // tiles instead of strips
};

std::string Describe(const Geometry& page) {
  const std::string size = std::to_string(page.width) + "x" + std::to_string(page.height);
  if (page.tile_width != 0) {
    return size + " in tiles of " + std::to_string(page.tile_width) + "x" +
           std::to_string(page.tile_length);
  }
  return size + " in strips of " + std::to_string(page.rows_per_strip);
}


// The pages of a file: how many, and how each stores its gray levels.
struct Pages {
  std::uint32_t count = 1;
  std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;  // or min-is-white, palette
};

// The pages of a file of pages.count pages of width × height with
// scanner-like noise, so that every codec has work to do, each stored with
// codec in strips of rows_per_strip rows, page k a little different from
// the others and every other page's predictor switched.  A palette page
// has the identity gray map.  Tiles instead where page has a tile size.
std::vector<testing_support::TestPage> NoisyPages(const Codec& codec, const Geometry& page,
                                                  const Pages& pages = {}) {
  std::vector<testing_support::TestPage> written;
  for (std::uint32_t k = 0; k < pages.count; ++k) {
    auto pixels = MakeTestPage(page.width, page.height, page.width + page.height + k);
    std::mt19937 noise(page.rows_per_strip + k);
    for (auto& pixel : pixels) pixel = static_cast<std::uint8_t>(pixel ^ (noise() & 3));
    // Every other page with the predictor the others lack, or without theirs.
    std::uint16_t predictor = codec.predictor;
    if (k % 2 == 1) predictor = predictor != 0 ? std::uint16_t{0} : std::uint16_t{PREDICTOR_HORIZONTAL};
    testing_support::TiffLayout layout{.width = page.width,
                                       .height = page.height,
                                       .rows_per_strip = page.tile_width != 0 ? 0 : page.rows_per_strip,
                                       .compression = codec.compression,
                                       .photometric = pages.photometric,
                                       .tile_width = page.tile_width,
                                       .tile_length = page.tile_length,
                                       .predictor = predictor};
    if (pages.photometric == PHOTOMETRIC_PALETTE) {
      layout.colormap = testing_support::GrayColormap([](int i) { return static_cast<std::uint8_t>(i); });
    }
    written.push_back({std::move(layout), std::move(pixels)});
  }
  return written;
}

std::vector<std::uint8_t> PixelsOf(const TMyImage& image) {
  return {image.Pixels.Data(), image.Pixels.Data() + image.Pixels.Length()};
}

// Reads path on threads threads and writes the record to copy: the pixels
// read and the bytes written.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> ReadAndWrite(
    const std::string& path, const std::string& copy, std::uint32_t threads) {
  const UsableCpuOverride cpus(threads);
  TMyImage image;
  const char* name = path.c_str();
  EXPECT_EQ(ReadTiffImage(name, image), StatusDone);
  testing_support::WriteFileBytes(copy, {});
  const char* copy_name = copy.c_str();
  EXPECT_EQ(WriteTiffImage(copy_name, image), StatusDone);
  return {PixelsOf(image), FileBytes(copy)};
}

// Every page below in each of codecs, read and written on one thread and
// on several: the same pixels, the same file.
void ExpectTheSameBytesOnEveryThreadCount(const std::vector<Codec>& codecs) {
  const Geometry pages[] = {
      {300, 23, 1},    // one-row strips
      {300, 40, 7},    // several rows, the last strip short
      {300, 40, 40},   // the whole page one strip
      {517, 203, 16},  // a larger page, the last strip short
      {260, 64, 8},    // strips that end exactly at the last row
      {300, 45, 8},    // JPEG's strips are whole blocks: a short last one
      {100, 75, 0, 16, 16},    // tiles reaching past the right and the bottom
      {256, 96, 0, 128, 48},   // tiles that end exactly at the edges
      {517, 203, 0, 64, 32},   // more tiles than threads, some reaching past
  };
  ScratchDirectory dir;
  for (const Codec& codec : codecs) {
    for (const Geometry& page : pages) {
      const bool whole_blocks = page.rows_per_strip % 8 == 0 || page.rows_per_strip == page.height;
      if (codec.compression == COMPRESSION_JPEG && !whole_blocks) continue;
      const std::string what = "compression " + std::to_string(codec.compression) +
                               ", predictor " + std::to_string(codec.predictor) + ", " + Describe(page);
      const std::string input = dir / "in.tif";
      WriteTestTiffPages(input, NoisyPages(codec, page));
      const auto reference = ExpectSameOnEveryThreadCount(what, [&](std::uint32_t threads) {
        return ReadAndWrite(input, dir / (threads == 1 ? "one.tif" : "many.tif"), threads);
      });
      // The reference itself against libtiff reading the files alone; JPEG
      // loses again on every encode.
      EXPECT_EQ(reference.first, ReadWithLibtiff(input).pixels) << what;
      if (codec.compression != COMPRESSION_JPEG) {
        EXPECT_EQ(ReadWithLibtiff(dir / "one.tif").pixels, reference.first) << what;
      }
    }
  }
}

TEST(BlockCodec, EveryThreadCountReadsAndWritesTheSameBytes) {
  ExpectTheSameBytesOnEveryThreadCount({
      {COMPRESSION_NONE, 0},
      {COMPRESSION_LZW, 0},
      {COMPRESSION_LZW, PREDICTOR_HORIZONTAL},
      {COMPRESSION_PACKBITS, 0},
      {COMPRESSION_ADOBE_DEFLATE, 0},
      {COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL},
      {COMPRESSION_JPEG, 0},
  });
}

// The coders with megabytes of tables each, apart: under ThreadSanitizer
// each of their tables costs seconds, and they run the same code of ours
// as the others.
TEST(BlockCodec, EveryThreadCountReadsAndWritesTheSameBytesWithLargeCoders) {
  ExpectTheSameBytesOnEveryThreadCount({
      {COMPRESSION_ZSTD, 0},
      {COMPRESSION_ZSTD, PREDICTOR_HORIZONTAL},
      {COMPRESSION_LZMA, 0},
      {COMPRESSION_LZMA, PREDICTOR_HORIZONTAL},
  });
}

// Writes image to path through WriteTiffPagesTo, with early: the bytes.
std::vector<std::uint8_t> WriteWithEarlyBlocks(const std::string& path, const TMyImage& image,
                                               EarlyBlocks& early) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  WriteTiffPagesTo(fd, path.c_str(), image, 1, {}, &early);
  close(fd);
  return FileBytes(path);
}

// Strips and tiles encoded while a page is cleared, once they are told
// final, are written as they are: the file has the one-thread path's
// bytes.  Blocks from other pixels are never taken, whatever they hold.
// The page is large enough (6 megapixels) for the memory the clearing
// leaves to hold an encoder.
TEST(BlockCodec, BlocksEncodedWhileThePageIsClearedGiveTheSameBytes) {
  ScratchDirectory dir;
  const std::pair<Codec, Geometry> cases[] = {
      {{COMPRESSION_LZW, PREDICTOR_HORIZONTAL}, {3000, 2000, 16}},
      {{COMPRESSION_PACKBITS, 0}, {3000, 2000, 16}},
      {{COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL}, {3000, 2000, 0, 256, 128}},
  };
  for (const auto& [codec, page] : cases) {
    const std::string what = "compression " + std::to_string(codec.compression) + ", predictor " +
                             std::to_string(codec.predictor) + ", " + Describe(page);
    const std::string input = dir / "in.tif";
    WriteTestTiffPages(input, NoisyPages(codec, page));
    const auto reference = ReadAndWrite(input, dir / "one.tif", 1);
    const UsableCpuOverride cpus(3);
    TMyImage image;
    const char* name = input.c_str();
    ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
    // Every pixel final but those of the last row; the threads get
    // longer each time until they have encoded some.
    EarlyBlocks early;
    std::size_t encoded = 0;
    for (int attempt = 1; encoded == 0 && attempt <= 40; ++attempt) {
      const auto encoder = BeginEarlyBlocks(image);
      ASSERT_NE(encoder, nullptr) << what;
      encoder->Final(image.Pixels.Data(), 0, page.width * (page.height - 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(5 * attempt));
      early = encoder->Finish();
      encoded = static_cast<std::size_t>(std::count_if(
          early.bytes.begin(), early.bytes.end(), [](const auto& bytes) { return !bytes.empty(); }));
    }
    EXPECT_GT(encoded, 0u) << what;
    EXPECT_TRUE(early.bytes.back().empty()) << what << ": the last block was never final";
    EarlyBlocks foreign = early;
    foreign.pixels = nullptr;
    for (auto& bytes : foreign.bytes) std::fill(bytes.begin(), bytes.end(), 0x5a);
    EXPECT_TRUE(WriteWithEarlyBlocks(dir / "early.tif", image, early) == reference.second) << what;
    EXPECT_TRUE(WriteWithEarlyBlocks(dir / "foreign.tif", image, foreign) == reference.second) << what;

    // The whole run, the clearing and the early encoders at the same time.
    ExpectSameOnEveryThreadCount(
        what,
        [&](std::uint32_t) {
          const std::string copy = dir / "run.tif";
          testing_support::WriteFileBytes(copy, FileBytes(input));
          TMyImage record;
          const char* copy_name = copy.c_str();
          ClearFile(copy_name, record);
          return FileBytes(copy);
        },
        {1, 3});
  }
}

// Reads every page of path on threads threads and writes them all to
// copy: the pixels of every page, one after another, and the bytes
// written.
std::pair<std::vector<std::uint8_t>, std::vector<std::uint8_t>> ReadAndWritePages(
    const std::string& path, const std::string& copy, std::uint32_t threads) {
  const UsableCpuOverride cpus(threads);
  TiffPages input = OpenTiffPages(path.c_str());
  const auto count = static_cast<std::uint32_t>(input.directories.size());
  std::vector<TMyImage> images(count);
  std::vector<std::uint8_t> pixels;
  for (std::uint32_t k = 0; k < count; ++k) {
    ReadTiffPage(input, k, images[k]);
    const auto page = PixelsOf(images[k]);
    pixels.insert(pixels.end(), page.begin(), page.end());
  }
  testing_support::WriteFileBytes(copy, {});
  WriteTiffPages(copy.c_str(), images[0], count,
                 [&](std::uint32_t k) -> const TMyImage& { return images[k]; });
  return {pixels, FileBytes(copy)};
}

// Min-is-white pages (stored inverted, on a copy), identity-palette pages
// and files of several pages, in strips and in tiles, each page with its
// own codec tags: the same pixels and the same file on every thread
// count, and the gray levels as libtiff reads them, inverted for
// min-is-white.
TEST(BlockCodec, MinIsWhitePalettesAndSeveralPagesGiveTheSameBytes) {
  ScratchDirectory dir;
  const Pages variants[] = {
      {1, PHOTOMETRIC_MINISWHITE}, {1, PHOTOMETRIC_PALETTE},
      {3, PHOTOMETRIC_MINISBLACK}, {2, PHOTOMETRIC_MINISWHITE}};
  for (const Geometry& page : {Geometry{300, 45, 8}, Geometry{300, 45, 0, 32, 16}}) {
    for (const Codec codec : {Codec{COMPRESSION_ADOBE_DEFLATE, PREDICTOR_HORIZONTAL},
                              Codec{COMPRESSION_LZW, 0}}) {
      for (const Pages& pages : variants) {
        const std::string what = "compression " + std::to_string(codec.compression) + ", " +
                                 std::to_string(pages.count) + " pages, photometric " +
                                 std::to_string(pages.photometric) + ", " + Describe(page);
        const std::string input = dir / "in.tif";
        WriteTestTiffPages(input, NoisyPages(codec, page, pages));
        const auto reference = ExpectSameOnEveryThreadCount(what, [&](std::uint32_t threads) {
          return ReadAndWritePages(input, dir / (threads == 1 ? "one.tif" : "many.tif"), threads);
        });
        auto stored = ReadWithLibtiff(input).pixels;  // the first page, as stored
        if (pages.photometric == PHOTOMETRIC_MINISWHITE) {
          for (auto& level : stored) level = static_cast<std::uint8_t>(255 - level);
        }
        ASSERT_GE(reference.first.size(), stored.size()) << what;
        EXPECT_TRUE(std::equal(stored.begin(), stored.end(), reference.first.begin())) << what;
        // Written back as stored: the first page's blocks read back alike.
        EXPECT_EQ(ReadWithLibtiff(dir / "one.tif").pixels, ReadWithLibtiff(input).pixels) << what;
      }
    }
  }
}

// Where strip or tile index of path lies: its offset and byte count.
std::pair<std::uint64_t, std::uint64_t> BlockPlace(const std::string& path, std::uint32_t index) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  EXPECT_NE(tiff, nullptr);
  if (tiff == nullptr) return {0, 0};
  const std::pair<std::uint64_t, std::uint64_t> place{TIFFGetStrileOffset(tiff, index),
                                                      TIFFGetStrileByteCount(tiff, index)};
  TIFFClose(tiff);
  return place;
}

// Overwrites the encoded bytes of strip or tile index of path.
void DamageBlock(const std::string& path, std::uint32_t index) {
  const auto [offset, count] = BlockPlace(path, index);
  auto bytes = FileBytes(path);
  for (std::uint64_t k = offset; k < offset + count; ++k) bytes[k] = 0xFF;
  testing_support::WriteFileBytes(path, bytes);
}

// Reads path's first page, expecting status; returns what was said on
// standard error meanwhile.
std::string SaidWhileReading(const std::string& path, std::int32_t status) {
  TMyImage image;
  const char* name = path.c_str();
  testing::internal::CaptureStderr();
  EXPECT_EQ(ReadTiffImage(name, image), status) << path;
  return testing::internal::GetCapturedStderr();
}

// How a file is harmed: its blocks' bytes overwritten, a block's offset
// pointing past the end of the file, the file cut short in a block after
// the checks have passed (another program truncating it while the run
// reads), or its Orientation set to 9, a value the library refuses with
// a message and reads on.
enum class Harm { Overwritten, PastTheEnd, CutAfterTheChecks, BadOrientation };

struct Damage {
  Harm harm;
  std::vector<std::uint32_t> blocks;  // the first is the one a failure names
};

// Harms the file at path as damage says, but a cut, which comes later;
// the bytes it holds then.
std::vector<std::uint8_t> Harmed(const std::string& path, const Damage& damage) {
  auto bytes = FileBytes(path);
  const testing_support::FirstDirectory directory(bytes);
  if (damage.harm == Harm::Overwritten) {
    for (const std::uint32_t block : damage.blocks) DamageBlock(path, block);
    return FileBytes(path);
  }
  if (damage.harm == Harm::PastTheEnd) {
    const bool tiled = std::any_of(directory.entries.begin(), directory.entries.end(),
                                   [](const auto& entry) { return entry.tag == TIFFTAG_TILEOFFSETS; });
    const auto& offsets = directory.Entry(tiled ? TIFFTAG_TILEOFFSETS : TIFFTAG_STRIPOFFSETS);
    testing_support::PutU32(bytes, offsets.value + 4 * std::size_t{damage.blocks.front()},
                            static_cast<std::uint32_t>(bytes.size() + 1000));
  }
  if (damage.harm == Harm::BadOrientation) {
    testing_support::PutU16(bytes, directory.Entry(TIFFTAG_ORIENTATION).position + 8, 9);
  }
  // Cut short, the directory, which the library writes last, stays whole.
  if (damage.harm == Harm::CutAfterTheChecks) bytes = testing_support::DirectoryFirst(bytes);
  testing_support::WriteFileBytes(path, bytes);
  return bytes;
}

// What reading path's first page says on standard error, then why the
// read fails ("read whole" when it does not).  With cut, the file is cut
// to cut bytes once it is open and checked.
std::string SaidAndWhy(const std::string& path, std::uint64_t cut) {
  testing::internal::CaptureStderr();
  std::string why = "read whole";
  try {
    TiffPages input = OpenTiffPages(path.c_str());
    if (cut != 0) {
      EXPECT_EQ(truncate(path.c_str(), static_cast<off_t>(cut)), 0);
    }
    TMyImage image;
    ReadTiffPage(input, 0, image);
  } catch (const EFileFailed& failure) {
    why = failure.Reason();
  }
  return testing::internal::GetCapturedStderr() + why;
}

// How many times text occurs in said.
std::size_t Occurrences(const std::string& said, const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = said.find(text); at != std::string::npos; at = said.find(text, at + 1)) ++count;
  return count;
}

// Damaged strips and tiles anywhere, alone or with others after them, fail
// the read on every thread count, with the file left as it was and the
// library saying the same as on one thread: nothing of a block after the
// first damaged one; where a block cut short is read, the row and column
// of the block read before it, where one thread's handle stood; a tag
// value the library refuses, once.
TEST(BlockCodec, ADamagedBlockFailsTheReadOnEveryThreadCount) {
  ScratchDirectory dir;
  const std::string path = dir / "damaged.tif";
  const Damage damages[] = {
      {Harm::Overwritten, {0}},       {Harm::Overwritten, {12}},     {Harm::Overwritten, {24}},
      {Harm::Overwritten, {12, 20}},  {Harm::Overwritten, {3, 4, 5}}, {Harm::PastTheEnd, {12}},
      {Harm::CutAfterTheChecks, {1}}, {Harm::CutAfterTheChecks, {24}}, {Harm::BadOrientation, {}},
  };
  // 25 strips; 25 tiles, those of the last column and row reaching past.
  for (const Geometry& page : {Geometry{300, 200, 8}, Geometry{300, 200, 0, 64, 48}}) {
    for (const std::uint16_t compression : {COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE}) {
      for (const Damage& damage : damages) {
        auto pages = NoisyPages({compression, 0}, page);
        pages[0].layout.orientation = ORIENTATION_TOPLEFT;
        WriteTestTiffPages(path, pages);
        const auto before = Harmed(path, damage);
        const std::string block = (page.tile_width != 0 ? "tile " : "strip ") +
                                  (damage.blocks.empty() ? "" : std::to_string(damage.blocks.front()));
        std::uint64_t cut = 0;
        std::string reason = block + " does not decode";
        if (damage.harm == Harm::PastTheEnd) reason = block + " lies outside the file";
        if (damage.harm == Harm::BadOrientation) reason = "read whole";
        if (damage.harm == Harm::CutAfterTheChecks) {
          const auto [offset, count] = BlockPlace(path, damage.blocks.front());
          cut = offset + count / 2;
        }
        const std::string said = ExpectSameOnEveryThreadCount(reason, [&](std::uint32_t threads) {
          testing_support::WriteFileBytes(path, before);
          const std::string said_and_why = SaidAndWhy(path, cut);
          // The first damaged block is the one named, as on one thread.
          EXPECT_EQ(said_and_why.substr(said_and_why.size() - std::min(said_and_why.size(), reason.size())),
                    reason) << threads << " threads";
          if (cut == 0) {
            EXPECT_EQ(FileBytes(path), before);
            EXPECT_EQ(SaidWhileReading(path, reason == "read whole" ? StatusDone : 0) + reason,
                      said_and_why) << threads << " threads";
          }
          return said_and_why;
        });
        if (damage.harm == Harm::CutAfterTheChecks) {
          EXPECT_EQ(Occurrences(said, "Read error at "), 1u) << said;
          EXPECT_EQ(Occurrences(said, "4294967295"), 0u) << said;
        }
        if (damage.harm == Harm::BadOrientation) {
          EXPECT_EQ(Occurrences(said, "Bad value 9 for \"Orientation\" tag"), 1u) << said;
        }
      }
    }
  }
}

// Writes path's tiles to cut with each cut to half its encoded bytes: JPEG
// tiles that the library decodes whole, with a warning each.
void CutTilesInHalf(const std::string& path, const std::string& cut) {
  TIFF* in = TIFFOpen(path.c_str(), "r");
  TIFF* out = TIFFOpen(cut.c_str(), "w");
  ASSERT_TRUE(in != nullptr && out != nullptr);
  for (const ttag_t tag :
       {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_TILEWIDTH, TIFFTAG_TILELENGTH}) {
    std::uint32_t value = 0;
    TIFFGetField(in, tag, &value);
    TIFFSetField(out, tag, value);
  }
  TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
  std::uint32_t length = 0;
  void* tables = nullptr;
  ASSERT_TRUE(TIFFGetField(in, TIFFTAG_JPEGTABLES, &length, &tables));
  TIFFSetField(out, TIFFTAG_JPEGTABLES, length, tables);
  for (std::uint32_t tile = 0; tile < TIFFNumberOfTiles(in); ++tile) {
    std::vector<std::uint8_t> raw(TIFFGetStrileByteCount(in, tile));
    ASSERT_GT(TIFFReadRawTile(in, tile, raw.data(), static_cast<tmsize_t>(raw.size())), 0);
    ASSERT_GT(TIFFWriteRawTile(out, tile, raw.data(), static_cast<tmsize_t>(raw.size() / 2)), 0);
  }
  TIFFClose(in);
  TIFFClose(out);
}

// What the library says while blocks decode on other threads is said as
// one thread says it: a page whose 64 tiles each warn, read on every
// thread count, gives the same standard error, every warning in it.
TEST(BlockCodec, TheLibrarySaysTheSameOnEveryThreadCount) {
  ScratchDirectory dir;
  WriteTestTiffPages(dir / "whole.tif", NoisyPages({COMPRESSION_JPEG, 0}, {256, 256, 0, 32, 32}));
  CutTilesInHalf(dir / "whole.tif", dir / "cut.tif");
  const std::string path = dir / "cut.tif";
  const std::string reference = ExpectSameOnEveryThreadCount(
      "what the library says", [&](std::uint32_t) { return SaidWhileReading(path, StatusDone); });
  std::size_t warnings = 0;
  const std::string warning = "Premature end of JPEG file";
  std::size_t at = reference.find(warning);
  while (at != std::string::npos) {
    ++warnings;
    at = reference.find(warning, at + 1);
  }
  EXPECT_EQ(warnings, 64u) << reference;
}

// A page of 160 x 3 pixels in ten tiles of 16 x 65536, a megabyte a tile:
// threads beyond the caller's would each hold tiles far larger than the
// image, so the tiles are decoded and encoded on one thread, while a page
// the tiles fit gets a thread a CPU.
TEST(BlockCodec, ThreadsAreCutToTheMemoryTheImageLeaves) {
  ScratchDirectory dir;
  const UsableCpuOverride cpus(6);
  for (const Geometry& page : {Geometry{160, 3, 0, 16, 65536}, Geometry{1024, 512, 0, 64, 64}}) {
    const bool huge_tiles = page.tile_length > page.height;
    SCOPED_TRACE(Describe(page));
    WriteTestTiffPages(dir / "in.tif", NoisyPages({COMPRESSION_ADOBE_DEFLATE, 0}, page));
    TIFF* in = TIFFOpen((dir / "in.tif").c_str(), "r");
    ASSERT_NE(in, nullptr);
    const std::uint32_t tiles = TIFFNumberOfTiles(in);
    const std::uint32_t tile_bytes = page.tile_width * page.tile_length;
    std::vector<std::uint8_t> pixels(std::size_t{page.width} * page.height);
    const DecodedBlocks decoded = DecodeTilesAhead(
        in, "r", tiles, tile_bytes, pixels.size() * 6 / 5, [](std::uint32_t, const std::uint8_t*) {});
    EXPECT_EQ(decoded.done.empty(), huge_tiles);
    TIFFClose(in);

    TIFF* out = TIFFOpen((dir / "out.tif").c_str(), "w");
    ASSERT_NE(out, nullptr);
    const auto set_up = [&](TIFF* tiff) {
      TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, page.width);
      TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, page.height);
      TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
      TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
      TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
      TIFFSetField(tiff, TIFFTAG_TILEWIDTH, page.tile_width);
      return TIFFSetField(tiff, TIFFTAG_TILELENGTH, page.tile_length) == 1;
    };
    ASSERT_TRUE(set_up(out));
    const std::uint32_t across = (page.width + page.tile_width - 1) / page.tile_width;
    const auto tile_of = [&](std::uint32_t k) {
      const std::uint32_t x = k % across * page.tile_width;
      const std::uint32_t y = k / across * page.tile_length;
      const TileShape shape{page.tile_width, std::min(page.tile_width, page.width - x),
                            std::min(page.tile_length, page.height - y), page.width};
      return BlockSource{k, pixels.data() + std::size_t{y} * page.width + x, tile_bytes, false, shape};
    };
    std::uint32_t failed = 0;
    const BlockWrite written = WriteBlocksInParallel(out, tiles, tile_of, set_up, failed, nullptr);
    EXPECT_EQ(written, huge_tiles ? BlockWrite::NotTried : BlockWrite::Written);
    TIFFClose(out);
  }
}

// The writer's checks raise the same error on every thread count, before
// anything is written.
TEST(BlockCodec, WriterChecksRaiseAsOnOneThread) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  WriteTestTiffPages(path, NoisyPages({COMPRESSION_ADOBE_DEFLATE, 0}, {300, 40, 7}));
  TMyImage good;
  const char* name = path.c_str();
  ASSERT_EQ(ReadTiffImage(name, good), StatusDone);
  const auto before = FileBytes(path);
  const std::function<void(TMyImage&)> changes[] = {
      [](TMyImage& i) { i.StripCount = 0; },   [](TMyImage& i) { i.StripCount = 7; },
      [](TMyImage& i) { i.StripCount = 5; },   [](TMyImage& i) { i.RowsPerStrip = 0; },
      [](TMyImage& i) { i.Height = 41; },      [](TMyImage& i) { i.RowsPerStrip = -1; },
  };
  for (const auto& change : changes) {
    ExpectSameOnEveryThreadCount("the error raised", [&](std::uint32_t) {
      TMyImage image = good;
      change(image);
      std::string raised = "nothing";
      try {
        WriteTiffImage(name, image);
      } catch (const ERunError& error) {
        raised = error.ClassName();
      }
      EXPECT_NE(raised, "nothing");
      EXPECT_EQ(FileBytes(path), before);
      return raised;
    });
  }
}

// The tool itself, pinned to one CPU and with every CPU it has: the same
// file from a page, and "image read error" for a damaged strip mid-page.
TEST(BlockCodec, TheToolWritesTheSameFileOnOneCpuAsOnAll) {
  ScratchDirectory dir;
  WriteTestTiffPages(dir / "page.tif", NoisyPages({COMPRESSION_LZW, PREDICTOR_HORIZONTAL}, {640, 480, 16}));
  const auto page = FileBytes(dir / "page.tif");
  testing_support::WriteFileBytes(dir / "one.tif", page);
  testing_support::WriteFileBytes(dir / "all.tif", page);
  const auto one = testing_support::RunTessvane({dir / "one.tif"}, {.in_child = testing_support::PinToOneCpu});
  const auto all = testing_support::RunTessvane({dir / "all.tif"});
  EXPECT_EQ(one.exit_code, 0) << one.output;
  EXPECT_EQ(all.output, one.output);
  EXPECT_TRUE(FileBytes(dir / "one.tif") == FileBytes(dir / "all.tif"));
  EXPECT_FALSE(FileBytes(dir / "all.tif") == page);

  DamageBlock(dir / "page.tif", 15);
  const auto damaged = testing_support::RunTessvane({dir / "page.tif"});
  EXPECT_EQ(damaged.exit_code, 1);
  EXPECT_NE(damaged.output.find("image read error\r\n"), std::string::npos) << damaged.output;
}

}  // namespace
}  // namespace tessvane
