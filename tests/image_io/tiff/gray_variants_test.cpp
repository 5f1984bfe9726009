// The 8-bit gray pages the tool accepts besides plain min-is-black strips:
// min-is-white, gray palettes, tiles and files of several pages, each
// cleared as the page looks and stored back as it was.  Inputs are written
// through libtiff, rewritten by the executable, and checked pixel for pixel
// against the independent clearing through the independent decoder and
// libtiff.  Also the files whose strips break the layout rules.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <tiffio.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <chrono>
#include <filesystem>

#include "reference_clearing.h"
#include "reference_tiff_reader.h"
#include "run_process.h"
#include "test_tiff.h"
#include "tiff_directory.h"

namespace {

using testing_support::FileBytes;
using testing_support::MakeTestPage;
using testing_support::ReadPagesIndependently;
using testing_support::ReadWithLibtiff;
using testing_support::ReferenceClearing;
using testing_support::RunTessvane;
using testing_support::ScratchDirectory;
using testing_support::TestPage;
using testing_support::TiffLayout;

using Bytes = std::vector<std::uint8_t>;

std::uint8_t Identity(int i) { return static_cast<std::uint8_t>(i); }
// A gray palette that is not the identity: entry i shows level 255 − i.
std::uint8_t Reversed(int i) { return static_cast<std::uint8_t>(255 - i); }

// A page of the given look stored as layout says: the samples that make
// the gray levels gray under layout's photometric and colour map.
TestPage StoredPage(TiffLayout layout, const Bytes& gray) {
  Bytes stored = gray;
  for (std::uint8_t& value : stored) {
    if (layout.photometric == PHOTOMETRIC_MINISWHITE) value = static_cast<std::uint8_t>(255 - value);
    if (layout.colormap == testing_support::GrayColormap(Reversed)) value = static_cast<std::uint8_t>(255 - value);
  }
  return {std::move(layout), stored};
}

// Standard error without the library's warnings.
bool OnlyLibraryWarnings(const std::string& errors) {
  return errors.find("tessvane: ") == std::string::npos;
}

// Runs the tool on path, which holds pages of the given looks (one per
// page, in order), and checks every page of the result: the independent
// clearing of its look, through the independent decoder and libtiff,
// stored with what layouts say the output keeps.
void ExpectPagesCleared(const std::string& path, const std::vector<TestPage>& inputs,
                        const std::vector<Bytes>& looks) {
  const auto result = RunTessvane({path}, {.close_input = true});
  ASSERT_EQ(result.output, "");
  ASSERT_TRUE(OnlyLibraryWarnings(result.errors)) << result.errors;
  ASSERT_EQ(result.exit_code, 0);
  const auto pages = ReadPagesIndependently(path);
  ASSERT_EQ(pages.size(), looks.size());
  for (std::size_t p = 0; p < pages.size(); ++p) {
    SCOPED_TRACE(::testing::Message() << "page " << p + 1);
    const TiffLayout& in = inputs[p].layout;
    const Bytes expected = ReferenceClearing(looks[p], static_cast<int>(in.width), static_cast<int>(in.height));
    EXPECT_EQ(pages[p].GrayLevels(), expected);
    const auto libtiff = ReadWithLibtiff(path, static_cast<int>(p));
    EXPECT_EQ(libtiff.pixels, pages[p].pixels);
    EXPECT_EQ(libtiff.layout.compression, in.compression);
    EXPECT_EQ(libtiff.layout.tile_width, in.tile_width);
    EXPECT_EQ(libtiff.layout.tile_length, in.tile_length);
    EXPECT_EQ(libtiff.layout.rows_per_strip, in.tile_width != 0 ? 0u : in.rows_per_strip);
    const bool keeps_palette = in.colormap == testing_support::GrayColormap(Identity);
    EXPECT_EQ(libtiff.layout.photometric, in.colormap.empty() || keeps_palette ? in.photometric
                                                                               : PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(libtiff.colormap, keeps_palette ? in.colormap : std::vector<std::uint16_t>{});
  }
}

TiffLayout Layout(std::uint32_t width, std::uint32_t height, std::uint16_t compression) {
  return {.width = width, .height = height, .rows_per_strip = 16, .compression = compression};
}

// A one-page file stored as layout says, of a test page made from seed,
// cleared as ExpectPagesCleared checks.
void ExpectOnePageCleared(const TiffLayout& layout, std::uint32_t seed) {
  ScratchDirectory dir;
  const Bytes look = MakeTestPage(layout.width, layout.height, seed);
  const TestPage page = StoredPage(layout, look);
  testing_support::WriteTestTiffPages(dir / "page.tif", {page});
  ExpectPagesCleared(dir / "page.tif", {page}, {look});
}

// ---- min-is-white and gray palettes ---------------------------------------------------

TEST(GrayVariants, MinIsWhiteAndGrayPalettesAreClearedAsTheyLook) {
  std::uint32_t seed = 60;
  for (const std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE}) {
    for (int kind = 0; kind < 3; ++kind) {
      SCOPED_TRACE(::testing::Message() << "compression " << compression << ", kind " << kind);
      TiffLayout layout = Layout(90, 70, compression);
      if (kind == 0) layout.photometric = PHOTOMETRIC_MINISWHITE;
      if (kind > 0) layout.photometric = PHOTOMETRIC_PALETTE;
      if (kind == 1) layout.colormap = testing_support::GrayColormap(Identity);
      if (kind == 2) layout.colormap = testing_support::GrayColormap(Reversed);
      ExpectOnePageCleared(layout, seed++);
    }
  }
}

// ---- tiles ----------------------------------------------------------------------------

TEST(GrayVariants, TiledPagesKeepTheirTiles) {
  std::uint32_t seed = 70;
  for (const std::uint16_t compression : {COMPRESSION_NONE, COMPRESSION_LZW, COMPRESSION_ADOBE_DEFLATE,
                                          COMPRESSION_ZSTD}) {
    for (const auto& [tile_width, tile_length] : {std::pair{16u, 16u}, {32u, 48u}, {128u, 16u}}) {
      SCOPED_TRACE(::testing::Message() << "compression " << compression << ", tiles " << tile_width
                                        << " x " << tile_length);
      TiffLayout layout = Layout(100, 75, compression);  // edge tiles reach past the image
      layout.tile_width = tile_width;
      layout.tile_length = tile_length;
      layout.rows_per_strip = 0;
      if (compression == COMPRESSION_ADOBE_DEFLATE) layout.predictor = PREDICTOR_HORIZONTAL;
      ExpectOnePageCleared(layout, seed++);
    }
  }
}

// ---- several pages ----------------------------------------------------------------------

// Pages of every kind and compression in one file, each cleared on its own
// and written back in order with its own layout, in either container; a
// reduced-resolution image among them is dropped.
TEST(GrayVariants, EveryPageIsClearedAndKeepsItsLayout) {
  std::uint32_t seed = 80;
  for (const char* mode : {"w", "w8b"}) {
    for (const std::size_t count : {2u, 5u}) {
      SCOPED_TRACE(::testing::Message() << count << " pages, mode " << mode);
      std::vector<TestPage> pages;
      std::vector<Bytes> looks;
      const std::uint16_t compressions[] = {COMPRESSION_LZW, COMPRESSION_NONE, COMPRESSION_ADOBE_DEFLATE,
                                            COMPRESSION_PACKBITS, COMPRESSION_ZSTD};
      for (std::size_t p = 0; p < count; ++p) {
        const std::uint32_t width = 60 + 13 * static_cast<std::uint32_t>(p);
        const std::uint32_t height = 50 + 7 * static_cast<std::uint32_t>(p);
        TiffLayout layout = Layout(width, height, compressions[p]);
        layout.description = "page " + std::to_string(p + 1);
        if (p == 1) layout.photometric = PHOTOMETRIC_MINISWHITE;
        if (p == 2) layout.tile_width = layout.tile_length = 32, layout.rows_per_strip = 0;
        if (p == 3) layout.photometric = PHOTOMETRIC_PALETTE, layout.colormap = testing_support::GrayColormap(Identity);
        looks.push_back(MakeTestPage(width, height, seed++));
        pages.push_back(StoredPage(layout, looks.back()));
      }
      std::vector<TestPage> stored = pages;
      // A thumbnail after the first page, which the output leaves out.
      TiffLayout thumbnail = Layout(8, 8, COMPRESSION_NONE);
      thumbnail.subfile_type = FILETYPE_REDUCEDIMAGE;
      stored.insert(stored.begin() + 1, TestPage{thumbnail, Bytes(64, 200)});
      ScratchDirectory dir;
      testing_support::WriteTestTiffPages(dir / "pages.tif", stored, mode);
      ExpectPagesCleared(dir / "pages.tif", pages, looks);
      for (const auto& page : ReadPagesIndependently(dir / "pages.tif")) EXPECT_EQ(page.subfile_type, 0u);
      // Each page keeps its own tags.
      const Bytes file = FileBytes(dir / "pages.tif");
      auto directory = testing_support::ReadRawDirectory(file);
      for (std::size_t p = 0; p < count; ++p) {
        const Bytes& text = directory.entries.at(TIFFTAG_IMAGEDESCRIPTION).value;
        EXPECT_EQ(std::string(text.begin(), text.end()), "page " + std::to_string(p + 1) + '\0');
        if (directory.next_offset != 0) directory = testing_support::ReadRawDirectory(file, directory.next_offset);
      }
    }
  }
}

// A file with one page the tool cannot take is refused whole, with the
// page named, and left as it was.
TEST(GrayVariants, OneBadPageRefusesTheWholeFile) {
  ScratchDirectory dir;
  std::vector<TestPage> pages;
  for (int p = 0; p < 3; ++p) pages.push_back({Layout(40, 30, COMPRESSION_LZW), MakeTestPage(40, 30, 90 + p)});
  pages[2].layout.bits_per_sample = 16;
  pages[2].pixels.resize(40 * 30 * 2);
  testing_support::WriteTestTiffPages(dir / "pages.tif", pages);
  const Bytes before = FileBytes(dir / "pages.tif");
  const auto result = RunTessvane({dir / "pages.tif"}, {.close_input = true});
  EXPECT_EQ(result.output, "image read error\r\n");
  EXPECT_EQ(result.errors, "tessvane: " + dir / "pages.tif" +
                               ": page 3: 16 bits per sample; only grayscale of 1, 2, 4 or 8 bits is accepted\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(FileBytes(dir / "pages.tif"), before);
}

// ---- files from other tools -------------------------------------------------------------

// Writes a binary PGM of a width × height page at path.
void WritePgm(const std::string& path, const Bytes& page, std::uint32_t width, std::uint32_t height) {
  const std::string header = "P5\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
  Bytes bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), page.begin(), page.end());
  testing_support::WriteFileBytes(path, bytes);
}

// What other programs write for gray pages: GraphicsMagick's gray palette,
// ImageMagick's tiles and pages, libvips' min-is-white and tiles, Pillow's
// pages.  Each comes back cleared as it looks, page by page, and reads the
// same in libtiff and the independent decoder.
TEST(GrayVariants, FilesFromOtherToolsAreClearedAsTheyLook) {
  ScratchDirectory dir;
  WritePgm(dir / "a.pgm", MakeTestPage(150, 110, 101), 150, 110);
  WritePgm(dir / "b.pgm", MakeTestPage(150, 110, 102), 150, 110);
  const std::string out = dir / "out.tif";
  const std::string pillow =
      "import sys\nfrom PIL import Image\na, b = Image.open(sys.argv[1]), Image.open(sys.argv[2])\n"
      "a.save(sys.argv[3], save_all=True, append_images=[b], compression='tiff_adobe_deflate')\n";
  const std::vector<std::pair<std::string, std::vector<std::string>>> makers = {
      {"/usr/bin/gm", {"convert", dir / "a.pgm", "-compress", "LZW", out}},
      {"/usr/bin/gm", {"convert", dir / "a.pgm", dir / "b.pgm", "-compress", "Zip", out}},
      {"/usr/bin/convert", {dir / "a.pgm", "-define", "tiff:tile-geometry=32x32", "-compress", "lzw", out}},
      {"/usr/bin/convert", {dir / "a.pgm", dir / "b.pgm", "-compress", "zip", out}},
      {"/usr/bin/vips", {"tiffsave", dir / "a.pgm", out, "--miniswhite", "--compression", "deflate"}},
      {"/usr/bin/vips", {"tiffsave", dir / "a.pgm", out, "--tile", "--tile-width", "64", "--tile-height",
                         "64", "--compression", "lzw"}},
      {"/usr/bin/python3", {"-c", pillow, dir / "a.pgm", dir / "b.pgm", out}},
  };
  for (const auto& [program, arguments] : makers) {
    SCOPED_TRACE(::testing::Message() << program << " " << arguments[0] << " ... " << arguments[arguments.size() - 3]);
    if (access(program.c_str(), X_OK) != 0) {
      ADD_FAILURE() << program << " is missing; tools/install-deps.sh test installs it";
      continue;
    }
    std::filesystem::remove(out);
    const auto made = testing_support::RunProgram(program, arguments);
    ASSERT_EQ(made.exit_code, 0) << made.errors;
    const auto before = ReadPagesIndependently(out);
    const auto result = RunTessvane({out}, {.close_input = true});
    ASSERT_EQ(result.output, "");
    ASSERT_EQ(result.exit_code, 0) << result.errors;
    const auto after = ReadPagesIndependently(out);
    ASSERT_EQ(after.size(), before.size());
    for (std::size_t p = 0; p < after.size(); ++p) {
      EXPECT_EQ(after[p].GrayLevels(), ReferenceClearing(before[p].GrayLevels(), 150, 110)) << p;
      EXPECT_EQ(after[p].photometric, before[p].photometric == 3 && before[p].colormap !=
                                              testing_support::GrayColormap(Identity)
                                          ? 1u : before[p].photometric);
      EXPECT_EQ(after[p].tile_width, before[p].tile_width);
      EXPECT_EQ(ReadWithLibtiff(out, static_cast<int>(p)).pixels, after[p].pixels) << p;
    }
  }
}

// ---- decompression bombs ------------------------------------------------------------------

void PutLittle(Bytes& file, std::size_t at, std::uint64_t value, int size) {
  for (int i = 0; i < size; ++i) file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
}

// A classic TIFF of one side × side Deflate page in strips of one row or,
// with tile set, in tiles of tile × tile, every block at the same place:
// one compressed block of zeros.  With outside, every block instead
// starts past the end of the file.
Bytes SharedBlockBomb(std::uint32_t side, bool outside, std::uint32_t tile = 0) {
  const std::uint32_t across = tile == 0 ? 1 : (side + tile - 1) / tile;
  const std::uint32_t blocks = tile == 0 ? side : across * across;
  Bytes block(tile == 0 ? side : std::size_t{tile} * tile, 0);
  uLongf packed_size = compressBound(static_cast<uLong>(block.size()));
  Bytes packed(packed_size);
  compress(packed.data(), &packed_size, block.data(), static_cast<uLong>(block.size()));
  packed.resize(packed_size);
  // Tag, type, count, value; the offsets and byte counts are filled in below.
  const std::uint16_t offsets_tag = tile == 0 ? 273 : 324;
  const std::uint16_t counts_tag = tile == 0 ? 279 : 325;
  std::vector<std::array<std::uint32_t, 4>> table = {
      {256, 4, 1, side}, {257, 4, 1, side}, {258, 3, 1, 8}, {259, 3, 1, 8}, {262, 3, 1, 1}};
  if (tile == 0) {
    table.insert(table.end(), {{273, 4, blocks, 0}, {278, 3, 1, 1}, {279, 4, blocks, 0}});
  } else {
    table.insert(table.end(), {{322, 4, 1, tile}, {323, 4, 1, tile}, {324, 4, blocks, 0}, {325, 4, blocks, 0}});
  }
  const auto entries = static_cast<std::uint16_t>(table.size());
  const std::size_t directory = 8;
  const std::size_t offsets = directory + 2 + 12 * entries + 4;
  const std::size_t counts = offsets + 4 * std::size_t{blocks};
  const std::size_t data = counts + 4 * std::size_t{blocks};
  Bytes file(data + packed.size());
  file[0] = 'I', file[1] = 'I', file[2] = 42;
  PutLittle(file, 4, directory, 4);
  PutLittle(file, directory, entries, 2);
  for (std::size_t e = 0; e < table.size(); ++e) {
    const std::size_t at = directory + 2 + 12 * e;
    PutLittle(file, at, table[e][0], 2);
    PutLittle(file, at + 2, table[e][1], 2);
    PutLittle(file, at + 4, table[e][2], 4);
    const std::uint32_t value = table[e][0] == offsets_tag  ? offsets
                                : table[e][0] == counts_tag ? counts
                                                            : table[e][3];
    PutLittle(file, at + 8, value, 4);
  }
  for (std::uint32_t s = 0; s < blocks; ++s) {
    PutLittle(file, offsets + 4 * std::size_t{s}, outside ? file.size() + s : data, 4);
    PutLittle(file, counts + 4 * std::size_t{s}, packed.size(), 4);
  }
  std::copy(packed.begin(), packed.end(), file.begin() + static_cast<std::ptrdiff_t>(data));
  return file;
}

// AddressSanitizer cannot start under an address-space limit.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAddressSanitizer = true;
#else
constexpr bool UnderAddressSanitizer = false;
#endif

// Strips or tiles that share their bytes, or lie outside the file, are
// refused at once and in little memory, however large the image they
// claim (under a 100 MB address-space limit, except under
// AddressSanitizer): 46,000 strips of a row, or 3,969 tiles of 256 × 256
// of a 16,000 × 16,000 page.
TEST(Bombs, SharedOrOutsideStripsOrTilesAreRefusedAtOnce) {
  for (const bool outside : {false, true}) {
    for (const bool tiles : {false, true}) {
      SCOPED_TRACE(std::string(outside ? "outside" : "shared") + (tiles ? ", tiles" : ", strips"));
      ScratchDirectory dir;
      const std::string path = dir / "bomb.tif";
      testing_support::WriteFileBytes(
          path, tiles ? SharedBlockBomb(16000, outside, 256) : SharedBlockBomb(46000, outside));
      const auto start = std::chrono::steady_clock::now();
      const auto result = RunTessvane({path}, {.close_input = true, .in_child = [] {
        if (!UnderAddressSanitizer) {
          const rlimit limit{100u << 20, 100u << 20};
          setrlimit(RLIMIT_AS, &limit);
        }
        alarm(10);
      }});
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      EXPECT_EQ(result.output, "image read error\r\n");
      const std::string block = tiles ? "tile " : "strip ";
      EXPECT_EQ(result.errors.substr(result.errors.rfind("tessvane: ")),
                "tessvane: " + path + (outside ? ": " + block + "0 lies outside the file\n"
                                               : ": " + block + "0 and " + block + "1 share bytes\n"));
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_LT(seconds, 1.0);
      RecordProperty(std::string(outside ? "outside" : "shared") + (tiles ? "_tiles" : "") + "_seconds",
                     std::to_string(seconds));
    }
  }
}

// Tiles may reach past their page as far as it needs, each side rounded
// up to 16, or as far as a tile fits beside the page in the run's memory
// (100 x 75 in tiles of 128 x 16, which other tools write); a tile larger
// than both is refused before any pixel memory, on whichever page it is,
// the reason naming the most it may be.  The file is left as it was.
TEST(Bombs, TilesFarLargerThanTheirPageAreRefused) {
  struct Case {
    std::uint32_t width, height, tile_width, tile_length;
    bool second_page;       // the page after one of plain strips
    const char* refusal;    // null: cleared
  };
  const Case cases[] = {
      {37, 29, 48, 32, false, nullptr},
      {37, 29, 64, 16, false, "tiles of 64 x 16 are larger than a page of 37 x 29 needs (at most 48 x 32, or 613 pixels a tile)"},
      {37, 29, 16, 48, false, "tiles of 16 x 48 are larger than a page of 37 x 29 needs (at most 48 x 32, or 613 pixels a tile)"},
      {100, 75, 128, 16, false, nullptr},
      {100, 75, 256, 32, true, "page 2: tiles of 256 x 32 are larger than a page of 100 x 75 needs (at most 112 x 80, or 4285 pixels a tile)"},
  };
  std::uint32_t seed = 120;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " x " << c.height << " in tiles of " << c.tile_width
                                      << " x " << c.tile_length);
    TiffLayout layout = Layout(c.width, c.height, COMPRESSION_ADOBE_DEFLATE);
    layout.tile_width = c.tile_width;
    layout.tile_length = c.tile_length;
    layout.rows_per_strip = 0;
    if (c.refusal == nullptr) {
      ExpectOnePageCleared(layout, seed++);
      continue;
    }
    ScratchDirectory dir;
    std::vector<TestPage> pages;
    if (c.second_page) pages.push_back({Layout(40, 30, COMPRESSION_LZW), MakeTestPage(40, 30, seed++)});
    pages.push_back({layout, MakeTestPage(c.width, c.height, seed++)});
    testing_support::WriteTestTiffPages(dir / "tiles.tif", pages);
    const Bytes before = FileBytes(dir / "tiles.tif");
    const auto result = RunTessvane({dir / "tiles.tif"}, {.close_input = true});
    EXPECT_EQ(result.output, "image read error\r\n");
    EXPECT_EQ(result.errors, "tessvane: " + dir / "tiles.tif" + ": " + c.refusal + "\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(FileBytes(dir / "tiles.tif"), before);
  }
}

}  // namespace
