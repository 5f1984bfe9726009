// Writes the generated part of the fuzzer's seed corpus: small 8-bit gray
// pages in every compression this libtiff can write for them, in every
// strip layout the tool keeps (one strip, several full ones, a partial last
// one, a strip a row), in tiles that reach past the page's edges and tiles
// that end at them, in both byte orders, plus the thinnest images; and
// files of several pages in each compression, strips and tiles,
// min-is-black and min-is-white, with a reduced-resolution image among
// them, so that the campaign mutates the directory chain and the tile
// tables as well as the strips; then bilevel pages in every compression
// libtiff writes for them (CCITT RLE, Group 3 one- and two-dimensional,
// Group 4 and the others), either photometric and fill order, in strips
// and in tiles, 2- and 4-bit pages, and files of several pages of mixed
// depths.
//
// Usage: make_fuzz_seeds DIRECTORY
// A compression whose file does not read back to its pixels is left out.
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Compression {
  std::uint16_t code;
  const char* name;
};

// Everything libtiff may be built to encode for 8-bit gray; the lossy ones
// are read back with a tolerance.
const Compression Compressions[] = {
    {COMPRESSION_NONE, "none"},       {COMPRESSION_LZW, "lzw"},
    {COMPRESSION_PACKBITS, "packbits"}, {COMPRESSION_ADOBE_DEFLATE, "deflate"},
    {COMPRESSION_DEFLATE, "deflate-old"}, {COMPRESSION_JPEG, "jpeg"},
    {COMPRESSION_LZMA, "lzma"},       {COMPRESSION_ZSTD, "zstd"},
    {COMPRESSION_LERC, "lerc"},       {COMPRESSION_WEBP, "webp"},
};

struct Layout {
  const char* name;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t rows_per_strip;  // 0: no tag, one strip
  std::uint32_t tile_width = 0;  // with tile_length: tiles instead of strips
  std::uint32_t tile_length = 0;
};

const Layout Layouts[] = {
    {"one-strip", 16, 12, 0},     {"full-strips", 16, 12, 4}, {"partial-last", 16, 12, 5},
    {"strip-a-row", 16, 6, 1},    {"3x3", 3, 3, 0},           {"one-row", 16, 1, 0},
    {"tiles-past-edges", 40, 24, 0, 16, 16},                  {"tiles-at-edges", 32, 32, 0, 16, 16},
};

// A page of a file: its layout, how it stores its levels, and whether it
// is a reduced-resolution image of the page before.
struct Page {
  const Layout* layout;
  std::uint16_t photometric = PHOTOMETRIC_MINISBLACK;
  bool reduced = false;
};

// The several-page file written in each compression: strips, tiles and a
// min-is-white page, a thumbnail among them.
const Page SeveralPages[] = {
    {&Layouts[0]},
    {&Layouts[6], PHOTOMETRIC_MINISWHITE},
    {&Layouts[4], PHOTOMETRIC_MINISBLACK, true},
    {&Layouts[7]},
};

// The samples of a page with a dark frame on two sides, paper and a few
// strokes.
std::vector<std::uint8_t> Samples(const Layout& layout) {
  std::vector<std::uint8_t> pixels(std::size_t{layout.width} * layout.height);
  for (std::uint32_t y = 0; y < layout.height; ++y) {
    for (std::uint32_t x = 0; x < layout.width; ++x) {
      std::uint8_t value = static_cast<std::uint8_t>(180 + (x * 3 + y * 5) % 60);
      if (x == 0 || y == 0) value = 12;
      if ((x + 2 * y) % 7 == 3) value = 40;
      pixels[std::size_t{y} * layout.width + x] = value;
    }
  }
  return pixels;
}

// Sets the tags of page on tiff; false when libtiff refuses one.
bool SetTags(TIFF* tiff, const Compression& compression, const Page& page) {
  const Layout& layout = *page.layout;
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, layout.width) &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, layout.height) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.photometric) &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression.code) &&
            TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 300.0) &&
            TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 300.0) &&
            TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
            TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  if (ok && page.reduced) ok = TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
  if (ok && layout.tile_width != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_TILEWIDTH, layout.tile_width) &&
         TIFFSetField(tiff, TIFFTAG_TILELENGTH, layout.tile_length);
  } else if (ok && layout.rows_per_strip != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rows_per_strip);
  }
  return ok;
}

// Writes the strips of a page of layout's size from pixels; false when
// libtiff cannot.
bool WriteStrips(TIFF* tiff, const Layout& layout, const std::vector<std::uint8_t>& pixels) {
  const std::uint32_t rows = layout.rows_per_strip == 0 ? layout.height : layout.rows_per_strip;
  auto* data = const_cast<std::uint8_t*>(pixels.data());
  bool ok = true;
  for (std::uint32_t strip = 0, row = 0; ok && row < layout.height; ++strip, row += rows) {
    const std::uint32_t strip_rows = std::min(rows, layout.height - row);
    ok = TIFFWriteEncodedStrip(tiff, strip, data + std::size_t{row} * layout.width,
                               static_cast<tmsize_t>(strip_rows) * layout.width) >= 0;
  }
  return ok;
}

// Writes the tiles of a page of layout's size from pixels, zeros past the
// page; false when libtiff cannot.
bool WriteTiles(TIFF* tiff, const Layout& layout, const std::vector<std::uint8_t>& pixels) {
  std::vector<std::uint8_t> tile(std::size_t{layout.tile_width} * layout.tile_length);
  bool ok = true;
  for (std::uint32_t y = 0; ok && y < layout.height; y += layout.tile_length) {
    for (std::uint32_t x = 0; ok && x < layout.width; x += layout.tile_width) {
      std::fill(tile.begin(), tile.end(), 0);
      for (std::uint32_t r = 0; r < layout.tile_length && y + r < layout.height; ++r) {
        const std::uint32_t columns = std::min(layout.tile_width, layout.width - x);
        std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(std::size_t{y + r} * layout.width + x),
                    columns, tile.begin() + static_cast<std::ptrdiff_t>(std::size_t{r} * layout.tile_width));
      }
      ok = TIFFWriteTile(tiff, tile.data(), x, y, 0, 0) >= 0;
    }
  }
  return ok;
}

// Writes pages as one file; false when libtiff cannot.
bool WriteSeed(const std::string& path, const char* mode, const Compression& compression,
               const std::vector<Page>& pages) {
  TIFF* tiff = TIFFOpen(path.c_str(), mode);
  if (tiff == nullptr) return false;
  bool ok = true;
  for (std::size_t p = 0; ok && p < pages.size(); ++p) {
    const Layout& layout = *pages[p].layout;
    const std::vector<std::uint8_t> pixels = Samples(layout);
    ok = SetTags(tiff, compression, pages[p]) &&
         (layout.tile_width != 0 ? WriteTiles(tiff, layout, pixels) : WriteStrips(tiff, layout, pixels));
    if (ok && p + 1 < pages.size()) ok = TIFFWriteDirectory(tiff);
  }
  TIFFClose(tiff);
  return ok;
}

// The open directory's samples, read strip by strip or tile by tile and
// laid out as the page's rows; empty when a block does not decode.
std::vector<std::uint8_t> ReadPage(TIFF* tiff) {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  std::vector<std::uint8_t> pixels(std::size_t{width} * height);
  if (TIFFIsTiled(tiff)) {
    std::uint32_t tile_width = 0;
    std::uint32_t tile_length = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_length);
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(TIFFTileSize(tiff)));
    for (std::uint32_t y = 0; y < height; y += tile_length) {
      for (std::uint32_t x = 0; x < width; x += tile_width) {
        if (TIFFReadTile(tiff, tile.data(), x, y, 0, 0) < 0) return {};
        for (std::uint32_t r = 0; r < tile_length && y + r < height; ++r) {
          std::copy_n(tile.begin() + static_cast<std::ptrdiff_t>(std::size_t{r} * tile_width),
                      std::min(tile_width, width - x),
                      pixels.begin() + static_cast<std::ptrdiff_t>(std::size_t{y + r} * width + x));
        }
      }
    }
    return pixels;
  }
  const tmsize_t strip_size = TIFFStripSize(tiff);
  if (strip_size <= 0) return {};
  std::vector<std::uint8_t> strip(static_cast<std::size_t>(strip_size));
  std::size_t done = 0;
  for (std::uint32_t i = 0; i < TIFFNumberOfStrips(tiff) && done < pixels.size(); ++i) {
    const tmsize_t got = TIFFReadEncodedStrip(tiff, i, strip.data(), strip_size);
    if (got <= 0) return {};
    const std::size_t take = std::min(static_cast<std::size_t>(got), pixels.size() - done);
    std::copy_n(strip.begin(), take, pixels.begin() + static_cast<std::ptrdiff_t>(done));
    done += take;
  }
  return done == pixels.size() ? pixels : std::vector<std::uint8_t>{};
}

// True when every page of the file at path decodes to the samples it was
// written from, each within tolerance.
bool ReadsBack(const std::string& path, const std::vector<Page>& pages, int tolerance) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return false;
  bool ok = true;
  for (std::size_t p = 0; ok && p < pages.size(); ++p) {
    ok = (p == 0 || TIFFReadDirectory(tiff));
    const std::vector<std::uint8_t> expected = Samples(*pages[p].layout);
    const std::vector<std::uint8_t> decoded = ok ? ReadPage(tiff) : std::vector<std::uint8_t>{};
    ok = decoded.size() == expected.size();
    for (std::size_t i = 0; ok && i < expected.size(); ++i) {
      ok = std::abs(int{decoded[i]} - int{expected[i]}) <= tolerance;
    }
  }
  TIFFClose(tiff);
  return ok;
}

// Writes the seed of pages at path in both byte orders, keeping those that
// read back; how many were kept.
int WriteBothOrders(const std::string& path_stem, const Compression& compression,
                    const std::vector<Page>& pages) {
  const bool lossy = compression.code == COMPRESSION_JPEG || compression.code == COMPRESSION_WEBP;
  int kept = 0;
  for (const char* order : {"l", "b"}) {
    const std::string path = path_stem + "-" + (order[0] == 'l' ? "le" : "be") + ".tif";
    const std::string mode = std::string("w") + order;
    if (WriteSeed(path, mode.c_str(), compression, pages) && ReadsBack(path, pages, lossy ? 64 : 0)) {
      ++kept;
    } else {
      std::remove(path.c_str());
    }
  }
  return kept;
}

// ---- pages of 1, 2 and 4 bits, alone and among 8-bit pages -----------------------

// One page of a seed: its depth and coding, in strips or tiles.
struct SeedPage {
  std::uint16_t bits;
  std::uint16_t compression;
  std::uint16_t photometric;
  std::uint16_t fill_order = FILLORDER_MSB2LSB;
  std::uint32_t group3_options = 0;
  std::uint32_t tile = 0;  // tile width and length; 0: strips of 5 rows
};

// The page's levels packed at its depth, rows of row_bytes (one strip or
// tile of width × height levels from Page's 8-bit ones).
std::vector<std::uint8_t> Packed(std::uint32_t width, std::uint32_t height, std::uint16_t bits,
                                 std::size_t row_bytes) {
  const Layout layout{"", width, height, 0};
  const std::vector<std::uint8_t> gray = Samples(layout);
  std::vector<std::uint8_t> packed(row_bytes * height, 0);
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const std::size_t bit = std::size_t{x} * bits;
      const unsigned level = gray[std::size_t{y} * width + x] >> (8 - bits);
      packed[y * row_bytes + bit / 8] |= static_cast<std::uint8_t>(level << (8 - bits - bit % 8));
    }
  }
  return packed;
}

// Writes one page of 37 × 21 pixels; false when libtiff cannot.
bool WritePage(TIFF* tiff, const SeedPage& page) {
  constexpr std::uint32_t Width = 37, Height = 21;
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, Width) && TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, Height) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, page.bits) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, page.photometric) &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, page.compression) &&
            TIFFSetField(tiff, TIFFTAG_FILLORDER, page.fill_order);
  if (ok && page.compression == COMPRESSION_CCITTFAX3) {
    ok = TIFFSetField(tiff, TIFFTAG_GROUP3OPTIONS, page.group3_options);
  }
  if (page.tile == 0) {
    const std::size_t row_bytes = (std::size_t{Width} * page.bits + 7) / 8;
    std::vector<std::uint8_t> data = Packed(Width, Height, page.bits, row_bytes);
    ok = ok && TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, 5);
    for (std::uint32_t strip = 0; ok && strip * 5 < Height; ++strip) {
      const std::uint32_t rows = std::min(5u, Height - strip * 5);
      ok = TIFFWriteEncodedStrip(tiff, strip, data.data() + strip * 5 * row_bytes,
                                 static_cast<tmsize_t>(rows * row_bytes)) >= 0;
    }
    return ok && TIFFWriteDirectory(tiff);
  }
  ok = ok && TIFFSetField(tiff, TIFFTAG_TILEWIDTH, page.tile) && TIFFSetField(tiff, TIFFTAG_TILELENGTH, page.tile);
  const std::size_t row_bytes = (std::size_t{page.tile} * page.bits + 7) / 8;
  std::vector<std::uint8_t> tile = Packed(page.tile, page.tile, page.bits, row_bytes);
  for (std::uint32_t k = 0; ok && k < TIFFNumberOfTiles(tiff); ++k) {
    ok = TIFFWriteEncodedTile(tiff, k, tile.data(), static_cast<tmsize_t>(tile.size())) >= 0;
  }
  return ok && TIFFWriteDirectory(tiff);
}

// True when every strip or tile of every page of path decodes.
bool Decodes(const std::string& path) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return false;
  bool ok = true;
  do {
    const bool tiled = TIFFIsTiled(tiff) != 0;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(tiled ? TIFFTileSize(tiff) : TIFFStripSize(tiff)));
    for (std::uint32_t k = 0; ok && k < TIFFNumberOfStrips(tiff); ++k) {
      ok = (tiled ? TIFFReadEncodedTile(tiff, k, block.data(), -1) : TIFFReadEncodedStrip(tiff, k, block.data(), -1)) > 0;
    }
  } while (ok && TIFFReadDirectory(tiff));
  TIFFClose(tiff);
  return ok;
}

// Writes the seeds of pages of 1, 2 and 4 bits, and files mixing them
// with 8-bit pages; returns how many were kept.
int WriteMoreSeeds(const std::string& directory) {
  const std::vector<std::pair<std::string, std::vector<SeedPage>>> seeds = [] {
    std::vector<std::pair<std::string, std::vector<SeedPage>>> list;
    const Compression bilevel[] = {{COMPRESSION_NONE, "none"}, {COMPRESSION_PACKBITS, "packbits"},
                                   {COMPRESSION_LZW, "lzw"}, {COMPRESSION_ADOBE_DEFLATE, "deflate"},
                                   {COMPRESSION_CCITTRLE, "rle"}, {COMPRESSION_CCITTFAX3, "g3"},
                                   {COMPRESSION_CCITTFAX4, "g4"}};
    for (const Compression& compression : bilevel) {
      for (const std::uint16_t photometric : {PHOTOMETRIC_MINISWHITE, PHOTOMETRIC_MINISBLACK}) {
        const std::string name = std::string("bilevel-") + compression.name +
                                 (photometric == PHOTOMETRIC_MINISWHITE ? "-white" : "-black");
        list.push_back({name, {{1, compression.code, photometric}}});
        list.push_back({name + "-lsb", {{1, compression.code, photometric, FILLORDER_LSB2MSB}}});
        list.push_back({name + "-tiles", {{1, compression.code, photometric, FILLORDER_MSB2LSB, 0, 16}}});
      }
    }
    list.push_back({"bilevel-g3-2d", {{1, COMPRESSION_CCITTFAX3, PHOTOMETRIC_MINISWHITE, FILLORDER_MSB2LSB,
                                       GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS}}});
    list.push_back({"gray2-lzw", {{2, COMPRESSION_LZW, PHOTOMETRIC_MINISBLACK}}});
    list.push_back({"gray4-white-tiles", {{4, COMPRESSION_NONE, PHOTOMETRIC_MINISWHITE, FILLORDER_MSB2LSB, 0, 16}}});
    list.push_back({"pages-g4-gray4-gray8", {{1, COMPRESSION_CCITTFAX4, PHOTOMETRIC_MINISWHITE},
                                             {4, COMPRESSION_LZW, PHOTOMETRIC_MINISBLACK, FILLORDER_MSB2LSB, 0, 16},
                                             {8, COMPRESSION_ADOBE_DEFLATE, PHOTOMETRIC_MINISBLACK}}});
    list.push_back({"pages-gray8-g3", {{8, COMPRESSION_NONE, PHOTOMETRIC_MINISBLACK},
                                       {1, COMPRESSION_CCITTFAX3, PHOTOMETRIC_MINISBLACK}}});
    return list;
  }();
  int kept = 0;
  for (const auto& [name, pages] : seeds) {
    const std::string path = directory + "/" + name + ".tif";
    TIFF* tiff = TIFFOpen(path.c_str(), "w");
    bool ok = tiff != nullptr;
    for (const SeedPage& page : pages) ok = ok && WritePage(tiff, page);
    if (tiff != nullptr) TIFFClose(tiff);
    if (ok && Decodes(path)) {
      ++kept;
    } else {
      std::remove(path.c_str());
    }
  }
  std::printf("%-12s %d seeds\n", "1, 2, 4 bits", kept);
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  const std::string directory = argv[1];
  int written = 0;
  for (const Compression& compression : Compressions) {
    int kept = 0;
    for (const Layout& layout : Layouts) {
      kept += WriteBothOrders(directory + "/" + compression.name + "-" + layout.name, compression,
                              {Page{&layout}});
    }
    kept += WriteBothOrders(directory + "/" + compression.name + "-pages", compression,
                            {std::begin(SeveralPages), std::end(SeveralPages)});
    written += kept;
    std::printf("%-12s %d seeds\n", compression.name, kept);
  }
  written += WriteMoreSeeds(directory);
  std::printf("%d seeds in %s\n", written, directory.c_str());
  return written > 0 ? 0 : 1;
}
