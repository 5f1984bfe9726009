// Writes the generated part of the fuzzer's seed corpus: small 8-bit gray
// pages in every compression this libtiff can write for them and in every
// strip layout the tool keeps (one strip, several full ones, a partial last
// one, a strip a row), in both byte orders, plus the thinnest images.
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
};

const Layout Layouts[] = {
    {"one-strip", 16, 12, 0},     {"full-strips", 16, 12, 4}, {"partial-last", 16, 12, 5},
    {"strip-a-row", 16, 6, 1},    {"3x3", 3, 3, 0},           {"one-row", 16, 1, 0},
};

// A page with a dark frame on two sides, paper and a few strokes.
std::vector<std::uint8_t> Page(const Layout& layout) {
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

// Writes one file; false when libtiff cannot.
bool WriteSeed(const std::string& path, const char* mode, const Compression& compression,
               const Layout& layout, const std::vector<std::uint8_t>& pixels) {
  TIFF* tiff = TIFFOpen(path.c_str(), mode);
  if (tiff == nullptr) return false;
  bool ok = TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, layout.width) &&
            TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, layout.height) &&
            TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
            TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
            TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression.code) &&
            TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 300.0) &&
            TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 300.0) &&
            TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) &&
            TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  if (ok && layout.rows_per_strip != 0) {
    ok = TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, layout.rows_per_strip);
  }
  const std::uint32_t rows = layout.rows_per_strip == 0 ? layout.height : layout.rows_per_strip;
  auto* data = const_cast<std::uint8_t*>(pixels.data());
  for (std::uint32_t strip = 0, row = 0; ok && row < layout.height; ++strip, row += rows) {
    const std::uint32_t strip_rows = std::min(rows, layout.height - row);
    ok = TIFFWriteEncodedStrip(tiff, strip, data + std::size_t{row} * layout.width,
                               static_cast<tmsize_t>(strip_rows) * layout.width) >= 0;
  }
  TIFFClose(tiff);
  return ok;
}

// True when the file at path decodes to pixels, each within tolerance.
bool ReadsBack(const std::string& path, const std::vector<std::uint8_t>& pixels, int tolerance) {
  TIFF* tiff = TIFFOpen(path.c_str(), "r");
  if (tiff == nullptr) return false;
  std::vector<std::uint8_t> decoded;
  const tmsize_t strip_size = TIFFStripSize(tiff);
  std::vector<std::uint8_t> strip(static_cast<std::size_t>(strip_size > 0 ? strip_size : 1));
  bool ok = strip_size > 0;
  for (std::uint32_t i = 0; ok && i < TIFFNumberOfStrips(tiff); ++i) {
    const tmsize_t got = TIFFReadEncodedStrip(tiff, i, strip.data(), strip_size);
    ok = got > 0;
    if (ok) decoded.insert(decoded.end(), strip.begin(), strip.begin() + got);
  }
  TIFFClose(tiff);
  if (!ok || decoded.size() < pixels.size()) return false;
  for (std::size_t i = 0; i < pixels.size(); ++i) {
    if (std::abs(int{decoded[i]} - int{pixels[i]}) > tolerance) return false;
  }
  return true;
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
    const bool lossy = compression.code == COMPRESSION_JPEG || compression.code == COMPRESSION_WEBP;
    int kept = 0;
    for (const Layout& layout : Layouts) {
      const std::vector<std::uint8_t> pixels = Page(layout);
      for (const char* order : {"l", "b"}) {
        const std::string path = directory + "/" + compression.name + "-" + layout.name + "-" +
                                 (order[0] == 'l' ? "le" : "be") + ".tif";
        const std::string mode = std::string("w") + order;
        if (WriteSeed(path, mode.c_str(), compression, layout, pixels) &&
            ReadsBack(path, pixels, lossy ? 64 : 0)) {
          ++kept;
        } else {
          std::remove(path.c_str());
        }
      }
    }
    written += kept;
    std::printf("%-12s %d seeds\n", compression.name, kept);
  }
  std::printf("%d seeds in %s\n", written, directory.c_str());
  return written > 0 ? 0 : 1;
}
