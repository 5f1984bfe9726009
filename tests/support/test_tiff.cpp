// Test TIFF files through libtiff, scratch directories and test pages.
#include "test_tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace testing_support {

namespace {

// Sets the tags of layout on the directory being written.
void SetLayout(TIFF* tiff, const TiffLayout& layout) {
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, layout.width);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, layout.height);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, layout.bits_per_sample);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, layout.samples_per_pixel);
  TIFFSetField(tiff, TIFFTAG_COMPRESSION, layout.compression);
  if (layout.jpeg_quality != 0) TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, layout.jpeg_quality);
  if (!layout.jpeg_tables) TIFFSetField(tiff, TIFFTAG_JPEGTABLESMODE, 0);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, layout.photometric);
  TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  if (layout.rows_per_strip != 0) TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rows_per_strip);
  if (layout.x_resolution != 0) TIFFSetField(tiff, TIFFTAG_XRESOLUTION, layout.x_resolution);
  if (layout.y_resolution != 0) TIFFSetField(tiff, TIFFTAG_YRESOLUTION, layout.y_resolution);
  if (layout.resolution_unit != 0) TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, layout.resolution_unit);
  if (layout.orientation != 0) TIFFSetField(tiff, TIFFTAG_ORIENTATION, layout.orientation);
  if (layout.subfile_type != 0) TIFFSetField(tiff, TIFFTAG_SUBFILETYPE, layout.subfile_type);
  if (layout.predictor != 0) TIFFSetField(tiff, TIFFTAG_PREDICTOR, layout.predictor);
  if (!layout.description.empty()) TIFFSetField(tiff, TIFFTAG_IMAGEDESCRIPTION, layout.description.c_str());
  if (layout.tile_width != 0) {
    TIFFSetField(tiff, TIFFTAG_TILEWIDTH, layout.tile_width);
    TIFFSetField(tiff, TIFFTAG_TILELENGTH, layout.tile_length);
  }
  if (!layout.colormap.empty()) {
    const std::size_t entries = layout.colormap.size() / 3;
    TIFFSetField(tiff, TIFFTAG_COLORMAP, layout.colormap.data(), layout.colormap.data() + entries,
                 layout.colormap.data() + 2 * entries);
  }
  if (layout.more_tags) layout.more_tags(tiff);
}

// The bytes of a row of count samples of layout's depth.
std::size_t RowBytes(const TiffLayout& layout, std::size_t count) {
  return (count * layout.samples_per_pixel * layout.bits_per_sample + 7) / 8;
}

// Rows of levels (one a byte, rows stride apart) packed at bits bits a
// sample, each row from a byte on, into rows of row_bytes.
std::vector<std::uint8_t> PackRows(const std::uint8_t* levels, std::size_t columns, std::size_t rows,
                                   std::size_t stride, std::uint32_t bits, std::size_t row_bytes) {
  std::vector<std::uint8_t> packed(rows * row_bytes, 0);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < columns; ++c) {
      const std::size_t bit = c * bits;
      packed[r * row_bytes + bit / 8] |=
          static_cast<std::uint8_t>(levels[r * stride + c] << (8 - bits - bit % 8));
    }
  }
  return packed;
}

// Level c of a packed row of bits bits a sample.
std::uint8_t LevelAt(const std::uint8_t* row, std::size_t c, std::uint32_t bits) {
  const std::size_t bit = c * bits;
  return static_cast<std::uint8_t>(row[bit / 8] >> (8 - bits - bit % 8) & ((1u << bits) - 1));
}

bool WriteStrips(TIFF* tiff, const TiffLayout& layout, const std::vector<std::uint8_t>& pixels) {
  const std::size_t row_bytes = RowBytes(layout, layout.width);
  const std::uint32_t rows = layout.rows_per_strip == 0 ? layout.height : layout.rows_per_strip;
  const std::vector<std::uint8_t> packed =
      layout.bits_per_sample < 8
          ? PackRows(pixels.data(), layout.width, layout.height, layout.width, layout.bits_per_sample, row_bytes)
          : std::vector<std::uint8_t>{};
  auto* data = const_cast<std::uint8_t*>(layout.bits_per_sample < 8 ? packed.data() : pixels.data());
  for (std::uint32_t strip = 0, row = 0; row < layout.height; ++strip, row += rows) {
    const std::uint32_t strip_rows = std::min(rows, layout.height - row);
    if (TIFFWriteEncodedStrip(tiff, strip, data + row * row_bytes,
                              static_cast<tmsize_t>(strip_rows * row_bytes)) < 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool WriteTiles(TIFF* tiff, const TiffLayout& layout, const std::vector<std::uint8_t>& pixels) {
  std::vector<std::uint8_t> tile(std::size_t{layout.tile_width} * layout.tile_length);
  for (std::uint32_t y = 0; y < layout.height; y += layout.tile_length) {
    for (std::uint32_t x = 0; x < layout.width; x += layout.tile_width) {
      std::fill(tile.begin(), tile.end(), 0);
      for (std::uint32_t r = 0; r < layout.tile_length && y + r < layout.height; ++r) {
        const std::uint32_t columns = std::min(layout.tile_width, layout.width - x);
        std::copy_n(pixels.begin() + static_cast<std::ptrdiff_t>(std::size_t{y + r} * layout.width + x),
                    columns, tile.begin() + static_cast<std::ptrdiff_t>(std::size_t{r} * layout.tile_width));
      }
      std::vector<std::uint8_t> stored = tile;
      if (layout.bits_per_sample < 8) {
        stored = PackRows(tile.data(), layout.tile_width, layout.tile_length, layout.tile_width,
                          layout.bits_per_sample, RowBytes(layout, layout.tile_width));
      }
      if (TIFFWriteTile(tiff, stored.data(), x, y, 0, 0) < 0) return false;
    }
  }
  return true;
}

void WriteTestTiff(const std::string& path, const TiffLayout& layout,
                   const std::vector<std::uint8_t>& pixels) {
  WriteTestTiffPages(path, {{layout, pixels}});
}

std::vector<std::uint8_t> WriteTestPage(const std::string& path, const TiffLayout& layout,
                                        std::uint32_t seed) {
  std::vector<std::uint8_t> pixels = MakeTestPage(layout.width, layout.height, seed);
  WriteTestTiff(path, layout, pixels);
  return pixels;
}

void WriteTestTiffPages(const std::string& path, const std::vector<TestPage>& pages,
                        const char* mode) {
  TIFF* tiff = TIFFOpen(path.c_str(), mode);
  if (tiff == nullptr) throw std::runtime_error("cannot create " + path);
  for (const TestPage& page : pages) {
    SetLayout(tiff, page.layout);
    const bool written = page.layout.tile_width != 0 ? WriteTiles(tiff, page.layout, page.pixels)
                                                     : WriteStrips(tiff, page.layout, page.pixels);
    const bool directory_now = pages.size() > 1 || page.layout.after_page;
    if (!written || (directory_now && !TIFFWriteDirectory(tiff))) {
      TIFFClose(tiff);
      throw std::runtime_error("cannot write a page of " + path);
    }
    if (page.layout.after_page) page.layout.after_page(tiff);
  }
  TIFFClose(tiff);
}

std::vector<std::uint16_t> GrayColormap(std::uint8_t (*level)(int)) {
  std::vector<std::uint16_t> map(768);
  for (int i = 0; i < 256; ++i) {
    const auto value = static_cast<std::uint16_t>(level(i) * 257);
    map[i] = map[256 + i] = map[512 + i] = value;
  }
  return map;
}

TiffContents ReadWithLibtiff(const std::string& path, int directory) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) throw std::runtime_error("libtiff cannot open " + path);
  if (!TIFFSetDirectory(tiff, static_cast<tdir_t>(directory))) {
    TIFFClose(tiff);
    throw std::runtime_error("libtiff cannot read a directory of " + path);
  }
  TiffContents contents;
  TiffLayout& layout = contents.layout;
  float resolution;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height);
  TIFFGetField(tiff, TIFFTAG_ROWSPERSTRIP, &layout.rows_per_strip);
  TIFFGetField(tiff, TIFFTAG_COMPRESSION, &layout.compression);
  TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &layout.photometric);
  TIFFGetField(tiff, TIFFTAG_BITSPERSAMPLE, &layout.bits_per_sample);
  TIFFGetField(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samples_per_pixel);
  if (TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &resolution)) layout.x_resolution = resolution;
  if (TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &resolution)) layout.y_resolution = resolution;
  TIFFGetField(tiff, TIFFTAG_RESOLUTIONUNIT, &layout.resolution_unit);
  TIFFGetField(tiff, TIFFTAG_ORIENTATION, &layout.orientation);
  TIFFGetField(tiff, TIFFTAG_PLANARCONFIG, &contents.planar_config);
  TIFFGetField(tiff, TIFFTAG_SUBFILETYPE, &layout.subfile_type);
  TIFFGetField(tiff, TIFFTAG_PREDICTOR, &layout.predictor);
  const std::uint16_t* map[3] = {nullptr, nullptr, nullptr};
  if (TIFFGetField(tiff, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2])) {
    const std::size_t entries = std::size_t{1} << layout.bits_per_sample;
    for (const std::uint16_t* channel : map) {
      contents.colormap.insert(contents.colormap.end(), channel, channel + entries);
    }
  }
  const std::uint32_t bits = layout.bits_per_sample;
  contents.directories = TIFFNumberOfDirectories(tiff);
  if (TIFFIsTiled(tiff)) {
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &layout.tile_width);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &layout.tile_length);
    contents.strip_count = TIFFNumberOfTiles(tiff);
    std::vector<std::uint8_t> tile(static_cast<std::size_t>(TIFFTileSize(tiff)));
    contents.pixels.resize(std::size_t{layout.width} * layout.height);
    for (std::uint32_t y = 0; y < layout.height; y += layout.tile_length) {
      for (std::uint32_t x = 0; x < layout.width; x += layout.tile_width) {
        if (TIFFReadTile(tiff, tile.data(), x, y, 0, 0) < 0) {
          TIFFClose(tiff);
          throw std::runtime_error("libtiff cannot decode a tile of " + path);
        }
        const std::size_t tile_row = RowBytes(layout, layout.tile_width);
        for (std::uint32_t r = 0; r < layout.tile_length && y + r < layout.height; ++r) {
          for (std::uint32_t c = 0; c < std::min(layout.tile_width, layout.width - x); ++c) {
            contents.pixels[std::size_t{y + r} * layout.width + x + c] =
                bits < 8 ? LevelAt(tile.data() + r * tile_row, c, bits) : tile[r * tile_row + c];
          }
        }
      }
    }
    TIFFClose(tiff);
    return contents;
  }
  contents.strip_count = TIFFNumberOfStrips(tiff);
  const std::uint64_t* counts = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &counts) && counts != nullptr) {
    contents.strip_byte_counts.assign(counts, counts + contents.strip_count);
  }
  const tmsize_t strip_size = TIFFStripSize(tiff);
  const std::size_t row_bytes = RowBytes(layout, layout.width);
  const std::size_t total = row_bytes * layout.height;
  std::vector<std::uint8_t> strip(static_cast<std::size_t>(strip_size));
  for (std::uint32_t i = 0; i < contents.strip_count && contents.pixels.size() < total; ++i) {
    const tmsize_t got = TIFFReadEncodedStrip(tiff, i, strip.data(), strip_size);
    if (got < 0) {
      TIFFClose(tiff);
      throw std::runtime_error("libtiff cannot decode a strip of " + path);
    }
    const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(got),
                                                   total - contents.pixels.size());
    contents.pixels.insert(contents.pixels.end(), strip.begin(),
                           strip.begin() + static_cast<std::ptrdiff_t>(take));
  }
  TIFFClose(tiff);
  if (bits < 8) {  // one level a byte, as the pixels of a test page
    const std::vector<std::uint8_t> packed = std::move(contents.pixels);
    contents.pixels.assign(std::size_t{layout.width} * layout.height, 0);
    for (std::size_t r = 0; r < layout.height && (r + 1) * row_bytes <= packed.size(); ++r) {
      for (std::size_t c = 0; c < layout.width; ++c) {
        contents.pixels[r * layout.width + c] = LevelAt(packed.data() + r * row_bytes, c, bits);
      }
    }
  }
  return contents;
}

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tessvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDirectory::Entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::uint8_t> MakeTestPage(std::uint32_t width, std::uint32_t height,
                                       std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> page(std::size_t{width} * height);
  // Shaded paper: brighter towards one corner, with grain.
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const int shade = 150 + static_cast<int>(80.0 * (x + y) / (width + height + 1.0));
      page[std::size_t{y} * width + x] =
          static_cast<std::uint8_t>(std::clamp(shade + static_cast<int>(random() % 21) - 10, 0, 255));
    }
  }
  auto fill = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h, int level) {
    for (std::uint32_t y = y0; y < std::min(height, y0 + h); ++y) {
      for (std::uint32_t x = x0; x < std::min(width, x0 + w); ++x) {
        page[std::size_t{y} * width + x] =
            static_cast<std::uint8_t>(std::clamp(level + static_cast<int>(random() % 7) - 3, 0, 255));
      }
    }
  };
  // Text-like strokes, a dark margin on the left, a band from the top edge
  // and enclosed dark spots.
  for (int stroke = 0; stroke < static_cast<int>(width * height / 200 + 1); ++stroke) {
    const bool across = random() % 2 == 0;
    fill(2 + random() % (width > 4 ? width - 4 : 1), 2 + random() % (height > 4 ? height - 4 : 1),
         across ? 2 + random() % 6 : 1 + random() % 2, across ? 1 + random() % 2 : 2 + random() % 6,
         static_cast<int>(random() % 90));
  }
  fill(0, 0, std::max(1u, width / 12), height, 15);
  fill(width / 2, 0, std::max(1u, width / 20), height / 3, 25);
  fill(width / 3, height / 2, std::max(1u, width / 15), std::max(1u, height / 15), 40);
  return page;
}

std::string TestDataFile(const std::string& name) { return std::string(TEST_DATA_DIR) + "/" + name; }

}  // namespace testing_support
