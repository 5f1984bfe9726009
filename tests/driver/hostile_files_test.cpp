// The tessvane executable on damaged and hostile files: valid files with
// flipped bytes, truncations, extreme tag values, wrong tag types and
// counts, directory offsets pointing anywhere, and images or tiles too
// large for the memory the process may use.
//
// Whatever a file holds, a run must end with exit 0 and a TIFF that libtiff
// reads (one gray page of 1, 2, 4 or 8 bits), or with exit 1, one of the tool's failure messages and the file
// untouched: never a signal, a hang, a stray file or (in the sanitizer
// build) a sanitizer report.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <random>
#include <regex>
#include <set>

#include "run_process.h"
#include "test_tiff.h"
#include "tiff_bytes.h"

#if defined(__SANITIZE_ADDRESS__)
#define TESSVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TESSVANE_ASAN 1
#endif
#endif

namespace {

using testing_support::FileBytes;
using testing_support::FirstDirectory;
using testing_support::IfdEntry;
using testing_support::PutU16;
using testing_support::PutU32;
using testing_support::ScratchDirectory;
using testing_support::TiffLayout;
using Bytes = std::vector<std::uint8_t>;

// A run that takes longer than this is taken for a hang and killed.
constexpr unsigned HangSeconds = 60;

// The values most likely to break size arithmetic: 46,341 is the smallest
// side whose square exceeds 2^31 − 1.
constexpr std::uint32_t ExtremeValues[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 46341};

// True when output is one of the tool's messages for a file it cannot
// process or write, or the report of a run-ending error.
bool IsFailureMessage(const std::string& output) {
  static const std::regex failure(
      "image read error\r\n|image write error\r\n|"
      "Exception (ERangeError in module tessvane at [0-9A-F]{8}\\.\nRange check error|"
      "EIntOverflow in module tessvane at [0-9A-F]{8}\\.\nInteger overflow|"
      "EOutOfMemory in module tessvane at [0-9A-F]{8}\\.\nOut of memory)\\.\r\n");
  return std::regex_match(output, failure);
}

// Runs the tool on a file holding bytes; returns how the run broke the
// promise above, or "" when it kept it.
std::string BrokenPromise(const Bytes& bytes) {
  ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  testing_support::WriteFileBytes(path, bytes);
  const auto result = testing_support::RunTessvane(
      {path}, {.close_input = true, .in_child = [] { alarm(HangSeconds); }});
  if (result.signal != 0) return "ended by signal " + std::to_string(result.signal);
  if (result.errors.find("Sanitizer") != std::string::npos ||
      result.errors.find("runtime error") != std::string::npos) {
    return "sanitizer report:\n" + result.errors;
  }
  if (dir.Entries() != std::vector<std::string>{"page.tif"}) return "files left behind";
  if (result.exit_code == 1) {
    if (!IsFailureMessage(result.output)) return "exit 1 with output \"" + result.output + "\"";
    if (FileBytes(path) != bytes) return "exit 1 with the file changed";
    return "";
  }
  if (result.exit_code != 0) return "exit code " + std::to_string(result.exit_code);
  if (!result.output.empty()) return "exit 0 with output \"" + result.output + "\"";
  try {
    const auto written = testing_support::ReadWithLibtiff(path);
    const std::uint16_t bits = written.layout.bits_per_sample;
    if (written.directories != 1 || (bits != 1 && bits != 2 && bits != 4 && bits != 8) ||
        written.layout.samples_per_pixel != 1 ||
        written.pixels.size() != std::size_t{written.layout.width} * written.layout.height) {
      return "exit 0 with a result that is not one whole gray image of 1, 2, 4 or 8 bits";
    }
  } catch (const std::exception& error) {
    return std::string("exit 0 with a result libtiff cannot read: ") + error.what();
  }
  return "";
}

// ---- the valid files that are damaged ------------------------------------------

struct BaseFile {
  const char* name;
  TiffLayout layout;
};

// Small pages in several compressions and strip layouts, with the optional
// tags the tool carries over.
const BaseFile BaseFiles[] = {
    {"uncompressed, 4 strips, last partial",
     {.width = 24, .height = 18, .rows_per_strip = 5, .x_resolution = 300, .y_resolution = 300,
      .resolution_unit = RESUNIT_INCH, .orientation = ORIENTATION_TOPLEFT}},
    {"LZW, 3 strips", {.width = 24, .height = 18, .rows_per_strip = 7, .compression = COMPRESSION_LZW}},
    {"PackBits, one strip", {.width = 20, .height = 12, .compression = COMPRESSION_PACKBITS}},
    {"Deflate, a strip a row",
     {.width = 16, .height = 6, .rows_per_strip = 1, .compression = COMPRESSION_ADOBE_DEFLATE}},
    {"Group 4 bilevel, 3 strips",
     {.width = 37, .height = 18, .rows_per_strip = 7, .compression = COMPRESSION_CCITTFAX4,
      .photometric = PHOTOMETRIC_MINISWHITE, .bits_per_sample = 1}},
    {"Group 3 bilevel tiles past the image",
     {.width = 40, .height = 20, .compression = COMPRESSION_CCITTFAX3, .bits_per_sample = 1,
      .tile_width = 16, .tile_length = 16}},
};

Bytes MakeBaseFile(const TiffLayout& layout) {
  ScratchDirectory dir;
  Bytes levels = testing_support::MakeTestPage(layout.width, layout.height, 7);
  for (std::uint8_t& level : levels) level = static_cast<std::uint8_t>(level >> (8 - layout.bits_per_sample));
  testing_support::WriteTestTiff(dir / "base.tif", layout, levels);
  return FileBytes(dir / "base.tif");
}

// Runs every mutant of every base file that mutate yields and expects the
// promise kept for each.  mutate(base, add) calls add(description, bytes).
template <typename Mutate>
void ExpectPromiseKept(std::initializer_list<int> bases, Mutate mutate) {
  int runs = 0;
  for (const int index : bases) {
    const BaseFile& base = BaseFiles[index];
    const Bytes original = MakeBaseFile(base.layout);
    ASSERT_EQ(BrokenPromise(original), "") << base.name << ": the unchanged file";
    mutate(original, [&](const std::string& what, const Bytes& mutant) {
      ++runs;
      EXPECT_EQ(BrokenPromise(mutant), "") << base.name << ": " << what;
    });
  }
  EXPECT_GT(runs, 0);
}

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// ---- mutations ---------------------------------------------------------------------

TEST(HostileFiles, FlippedBytes) {
  ExpectPromiseKept({0, 1, 2, 3, 4, 5}, [](const Bytes& original, auto add) {
    const FirstDirectory directory(original);
    std::mt19937 random(2024);
    for (int mutant = 0; mutant < 60; ++mutant) {
      Bytes bytes = original;
      std::string what = "flipped";
      const int changes = 1 + static_cast<int>(random() % 4);
      for (int change = 0; change < changes; ++change) {
        // Half the changes land in the header or the directory, where
        // one byte changes the meaning of the whole file.
        std::size_t position = random() % bytes.size();
        if (random() % 2 == 0) {
          const std::size_t span = bytes.size() - directory.offset + 8;
          position = random() % span;
          if (position >= 8) position += directory.offset - 8;
        }
        const auto mask = static_cast<std::uint8_t>(random() % 2 == 0 ? 1u << (random() % 8)
                                                                       : 1 + random() % 255);
        bytes[position] ^= mask;
        what += " " + std::to_string(position) + "^" + std::to_string(mask);
      }
      add(what, bytes);
    }
  });
}

// The pixels libtiff decodes from a file holding bytes.
Bytes DecodedPixels(const Bytes& bytes) {
  ScratchDirectory dir;
  testing_support::WriteFileBytes(dir / "page.tif", bytes);
  return testing_support::ReadWithLibtiff(dir / "page.tif").pixels;
}

// Cuts through the directory, which libtiff writes last, and through the
// strips of the same file laid out with its directory first.
TEST(HostileFiles, Truncations) {
  ExpectPromiseKept({0, 1, 2, 3, 4}, [](const Bytes& original, auto add) {
    const FirstDirectory directory(original);
    std::set<std::size_t> lengths;
    for (std::size_t length = 0; length <= 16; ++length) lengths.insert(length);
    for (std::size_t step = 1; step < 16; ++step) lengths.insert(original.size() * step / 16);
    for (std::size_t length = directory.offset; length < original.size(); length += 5) {
      lengths.insert(length);
    }
    lengths.insert(original.size() - 1);
    for (const std::size_t length : lengths) {
      add("cut to " + std::to_string(length) + " bytes",
          Bytes(original.begin(), original.begin() + static_cast<std::ptrdiff_t>(length)));
    }

    const Bytes relocated = testing_support::DirectoryFirst(original);
    ASSERT_EQ(DecodedPixels(relocated), DecodedPixels(original));
    const std::size_t strips = 8 + 2 + directory.entries.size() * 12 + 4;
    for (std::size_t length = strips; length < relocated.size(); length += 7) {
      add("directory first, cut to " + std::to_string(length) + " bytes",
          Bytes(relocated.begin(), relocated.begin() + static_cast<std::ptrdiff_t>(length)));
    }
  });
}

TEST(HostileFiles, ExtremeTagValues) {
  ExpectPromiseKept({0, 1, 2}, [](const Bytes& original, auto add) {
    for (const IfdEntry& entry : FirstDirectory(original).entries) {
      const std::string tag = "tag " + std::to_string(entry.tag);
      const std::size_t size = testing_support::FieldTypeSize(entry.type);
      const bool inline_value = std::size_t{entry.count} * size <= 4;
      for (const std::uint32_t value : ExtremeValues) {
        const std::string what = tag + " = " + Hex(value);
        if (entry.count == 1 && (entry.type == TIFF_SHORT || entry.type == TIFF_LONG)) {
          // The whole value as a LONG, and as the SHORT it was if it was one.
          Bytes bytes = original;
          PutU16(bytes, entry.position + 2, TIFF_LONG);
          PutU32(bytes, entry.position + 8, value);
          add(what + " as LONG", bytes);
          if (entry.type == TIFF_SHORT) {
            bytes = original;
            PutU32(bytes, entry.position + 8, value & 0xFFFF);
            add(what + " as SHORT", bytes);
          }
          continue;
        }
        // Arrays and rationals: the first and the last element (both
        // halves of a rational) set to the value.
        const std::size_t start = inline_value ? entry.position + 8 : entry.value;
        const std::size_t last = start + (std::size_t{entry.count} - 1) * size;
        for (const std::size_t element : {start, last}) {
          Bytes bytes = original;
          if (size == 2) {
            PutU16(bytes, element, static_cast<std::uint16_t>(value));
          } else if (size >= 4) {
            PutU32(bytes, element, value);
            if (entry.type == TIFF_RATIONAL) PutU32(bytes, element + 4, value);
          } else {
            continue;
          }
          add(what + " at element " + std::to_string((element - start) / size), bytes);
        }
      }
    }
  });
}

TEST(HostileFiles, WrongTagTypesAndCounts) {
  ExpectPromiseKept({0, 2}, [](const Bytes& original, auto add) {
    for (const IfdEntry& entry : FirstDirectory(original).entries) {
      const std::string tag = "tag " + std::to_string(entry.tag);
      for (const std::uint16_t type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16, 17, 18, 99}) {
        if (type == entry.type) continue;
        Bytes bytes = original;
        PutU16(bytes, entry.position + 2, type);
        add(tag + " of type " + std::to_string(type), bytes);
      }
      for (const std::uint32_t count : {0u, 2u, entry.count + 1, entry.count - 1, 0x7FFFFFFFu,
                                        0xFFFFFFFFu, 46341u}) {
        if (count == entry.count) continue;
        Bytes bytes = original;
        PutU32(bytes, entry.position + 4, count);
        add(tag + " with count " + Hex(count), bytes);
      }
    }
  });
}

TEST(HostileFiles, OffsetsPointingAnywhere) {
  ExpectPromiseKept({0, 1, 3}, [](const Bytes& original, auto add) {
    const FirstDirectory directory(original);
    const auto size = static_cast<std::uint32_t>(original.size());
    std::vector<std::uint32_t> targets = {0,        1,           2,        3,        4,
                                          7,        8,           9,        size - 2, size - 1,
                                          size,     size + 1,    46341,    0x7FFFFFFF,
                                          0x80000000, 0xFFFFFFFF, directory.offset - 1,
                                          directory.offset + 1,  directory.offset + 2,
                                          directory.offset + 14};
    for (std::uint32_t step = 1; step < 10; ++step) targets.push_back(8 + (size - 8) * step / 10);

    for (const std::uint32_t target : targets) {
      Bytes bytes = original;
      PutU32(bytes, 4, target);
      add("first directory at " + Hex(target), bytes);
      bytes = original;
      PutU32(bytes, directory.next_offset_position, target);
      add("next directory at " + Hex(target), bytes);
    }
    // A chain of directories that loops back on itself.
    Bytes bytes = original;
    PutU32(bytes, directory.next_offset_position, directory.offset);
    add("next directory is the first", bytes);

    // Values stored elsewhere (strip tables, rationals), and the strips.
    for (const IfdEntry& entry : directory.entries) {
      const std::size_t size_of = testing_support::FieldTypeSize(entry.type);
      if (std::size_t{entry.count} * size_of <= 4) continue;
      for (const std::uint32_t target : targets) {
        bytes = original;
        PutU32(bytes, entry.position + 8, target);
        add("values of tag " + std::to_string(entry.tag) + " at " + Hex(target), bytes);
      }
    }
    const IfdEntry& strips = directory.Entry(TIFFTAG_STRIPOFFSETS);
    const std::size_t first_strip =
        strips.count == 1 ? strips.position + 8 : static_cast<std::size_t>(strips.value);
    for (const std::uint32_t target : targets) {
      bytes = original;
      PutU32(bytes, first_strip, target);
      add("first strip at " + Hex(target), bytes);
    }
  });
}

// ---- memory ---------------------------------------------------------------------------

// Limits the child's address space; AddressSanitizer cannot run under such
// a limit, so the tests that use it skip themselves in that build.
std::function<void()> AddressSpaceLimit(rlim_t bytes) {
  return [bytes] {
    const rlimit limit{bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    alarm(HangSeconds);
  };
}

#ifdef TESSVANE_ASAN
#define SKIP_UNDER_ASAN() GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit"
#else
#define SKIP_UNDER_ASAN() static_cast<void>(0)
#endif

const std::regex OutOfMemoryReport(
    "Exception EOutOfMemory in module tessvane at [0-9A-F]{8}\\.\nOut of memory\\.\r\n");

// A small file declaring 30,000 × 30,000 pixels in one compressed strip
// that lies inside it: the image cannot be allocated under a 256 MiB
// address space.  (Uncompressed, the strip the library works out for that
// size would lie outside the file, and the file is refused unread.)
TEST(Memory, AnImageThatCannotBeAllocatedIsReported) {
  SKIP_UNDER_ASAN();
  ScratchDirectory dir;
  const std::string path = dir / "huge.tif";
  testing_support::WriteTestTiff(path, {.width = 16, .height = 16, .rows_per_strip = 16,
                                        .compression = COMPRESSION_ADOBE_DEFLATE},
                                 Bytes(256, 120));
  Bytes bytes = FileBytes(path);
  const FirstDirectory directory(bytes);
  for (const std::uint16_t tag : {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP}) {
    const IfdEntry& entry = directory.Entry(tag);
    PutU16(bytes, entry.position + 2, TIFF_LONG);
    PutU32(bytes, entry.position + 8, 30000);
  }
  testing_support::WriteFileBytes(path, bytes);

  const auto result = testing_support::RunTessvane(
      {path}, {.close_input = true, .in_child = AddressSpaceLimit(256u << 20)});
  EXPECT_TRUE(std::regex_match(result.output, OutOfMemoryReport)) << result.output << result.errors;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(path), bytes);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"huge.tif"});
}

// A valid 12,000 × 12,000 page (144 MB of pixels, a small file): the image
// fits under the limit, the marker of the same size does not.
TEST(Memory, AMarkerThatCannotBeAllocatedIsReported) {
  SKIP_UNDER_ASAN();
  ScratchDirectory dir;
  const std::string path = dir / "large.tif";
  constexpr std::uint32_t Side = 12000;
  constexpr std::uint32_t Rows = 500;
  {
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tiff, nullptr);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, Side);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, Side);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tiff, TIFFTAG_ZIPQUALITY, 1);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, Rows);
    Bytes strip(std::size_t{Side} * Rows, 200);
    for (std::uint32_t i = 0; i < Side / Rows; ++i) {
      ASSERT_GE(TIFFWriteEncodedStrip(tiff, i, strip.data(), static_cast<tmsize_t>(strip.size())), 0);
    }
    TIFFClose(tiff);
  }
  const Bytes before = FileBytes(path);
  const auto result = testing_support::RunTessvane(
      {path}, {.close_input = true, .in_child = AddressSpaceLimit(224u << 20)});
  EXPECT_TRUE(std::regex_match(result.output, OutOfMemoryReport)) << result.output << result.errors;
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(path), before);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"large.tif"});
}

// A 37 × 29 page stored as one Deflate tile of side × side pixels, the
// page a gray ramp and the rest of the tile zeros, written to path: for a
// tile of 23168 × 23168 half a gigabyte decoded, a couple of megabytes
// stored.  The tile is deflated a row at a time and written raw, so the
// test never holds it.
void WriteTinyPageInAHugeTile(const std::string& path, std::uint32_t side) {
  z_stream stream{};
  ASSERT_EQ(deflateInit(&stream, Z_BEST_SPEED), Z_OK);
  Bytes row(side, 0);
  Bytes packed;
  std::uint8_t chunk[1 << 16];
  for (std::uint32_t y = 0; y < side; ++y) {
    for (std::uint32_t x = 0; x < 37; ++x) row[x] = y < 29 ? static_cast<std::uint8_t>(60 + x + y) : 0;
    stream.next_in = row.data();
    stream.avail_in = side;
    const int flush = y + 1 == side ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = chunk;
      stream.avail_out = sizeof chunk;
      deflate(&stream, flush);
      packed.insert(packed.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  TIFF* tiff = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  const std::pair<ttag_t, std::uint32_t> tags[] = {
      {TIFFTAG_IMAGEWIDTH, 37}, {TIFFTAG_IMAGELENGTH, 29}, {TIFFTAG_BITSPERSAMPLE, 8},
      {TIFFTAG_SAMPLESPERPIXEL, 1}, {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK},
      {TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE}, {TIFFTAG_TILEWIDTH, side},
      {TIFFTAG_TILELENGTH, side}};
  for (const auto& [tag, value] : tags) ASSERT_TRUE(TIFFSetField(tiff, tag, value)) << tag;
  ASSERT_GT(TIFFWriteRawTile(tiff, 0, packed.data(), static_cast<tmsize_t>(packed.size())), 0);
  TIFFClose(tiff);
}

// The 37 × 29 page in one tile of 23168 × 23168 took half a gigabyte and
// seconds to clear; its memory is its page's now: it is refused, with the
// reason, before any pixel memory, under a 100 MiB address space.
TEST(Memory, ATinyPageInAHugeTileIsRefusedInItsPagesMemory) {
  SKIP_UNDER_ASAN();
  ScratchDirectory dir;
  const std::string path = dir / "tile.tif";
  WriteTinyPageInAHugeTile(path, 23168);
  const Bytes before = FileBytes(path);
  const auto result = testing_support::RunTessvane(
      {path}, {.close_input = true, .in_child = AddressSpaceLimit(100u << 20)});
  EXPECT_EQ(result.output, "image read error\r\n");
  EXPECT_EQ(result.errors, "tessvane: " + path +
                               ": tiles of 23168 x 23168 are larger than a page of 37 x 29 needs "
                               "(at most 48 x 32, or 613 pixels a tile)\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(path), before);
  EXPECT_EQ(dir.Entries(), std::vector<std::string>{"tile.tif"});
}

}  // namespace
