// side_by_side_png: puts two 8-bit grayscale TIFFs of the same size side by
// side, scaled down, into one PNG, for the README's before/after picture.
//
// Usage: side_by_side_png BEFORE.tif AFTER.tif SCALE OUTPUT.png
//
// Each SCALE × SCALE block becomes one pixel (its mean).  The PNG is written
// here with zlib: signature, IHDR, one IDAT, IEND.
#include <arpa/inet.h>
#include <tiffio.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Gray {
  std::uint32_t width = 0, height = 0;
  std::vector<unsigned char> pixels;
};

bool ReadGray(const char* path, Gray& image) {
  TIFF* tiff = TIFFOpen(path, "r");
  if (tiff == nullptr) return false;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &image.width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &image.height);
  image.pixels.resize(std::size_t{image.width} * image.height);
  bool ok = TIFFScanlineSize(tiff) == static_cast<tmsize_t>(image.width);
  for (std::uint32_t row = 0; ok && row < image.height; ++row) {
    ok = TIFFReadScanline(tiff, image.pixels.data() + std::size_t{row} * image.width, row) >= 0;
  }
  TIFFClose(tiff);
  return ok;
}

void Chunk(std::FILE* out, const char* type, const std::vector<unsigned char>& data) {
  const std::uint32_t length = htonl(static_cast<std::uint32_t>(data.size()));
  std::fwrite(&length, 4, 1, out);
  std::fwrite(type, 1, 4, out);
  std::fwrite(data.data(), 1, data.size(), out);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
  crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  const std::uint32_t stored = htonl(static_cast<std::uint32_t>(crc));
  std::fwrite(&stored, 4, 1, out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: side_by_side_png BEFORE.tif AFTER.tif SCALE OUTPUT.png\n");
    return 2;
  }
  Gray before, after;
  const int scale = std::atoi(argv[3]);
  if (!ReadGray(argv[1], before) || !ReadGray(argv[2], after) || before.width != after.width ||
      before.height != after.height || scale < 1) {
    std::fprintf(stderr, "side_by_side_png: need two 8-bit gray TIFFs of one size\n");
    return 1;
  }
  const std::uint32_t gap = 12;
  const std::uint32_t half = before.width / scale;
  const std::uint32_t width = 2 * half + gap;
  const std::uint32_t height = before.height / scale;
  std::vector<unsigned char> raw;  // filter byte 0, then the row
  for (std::uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    for (std::uint32_t x = 0; x < width; ++x) {
      const Gray* source = x < half ? &before : x >= half + gap ? &after : nullptr;
      if (source == nullptr) {
        raw.push_back(128);
        continue;
      }
      const std::uint32_t sx = (x < half ? x : x - half - gap) * scale;
      unsigned sum = 0;
      for (int dy = 0; dy < scale; ++dy) {
        for (int dx = 0; dx < scale; ++dx) {
          sum += source->pixels[std::size_t{y * scale + dy} * source->width + sx + dx];
        }
      }
      raw.push_back(static_cast<unsigned char>(sum / (scale * scale)));
    }
  }
  std::vector<unsigned char> packed(compressBound(static_cast<uLong>(raw.size())));
  uLongf packed_size = static_cast<uLongf>(packed.size());
  compress2(packed.data(), &packed_size, raw.data(), static_cast<uLong>(raw.size()), 9);
  packed.resize(packed_size);

  std::FILE* out = std::fopen(argv[4], "wb");
  if (out == nullptr) return 1;
  std::fwrite("\x89PNG\r\n\x1a\n", 1, 8, out);
  std::vector<unsigned char> header(13);
  const std::uint32_t be_width = htonl(width), be_height = htonl(height);
  std::copy_n(reinterpret_cast<const unsigned char*>(&be_width), 4, header.begin());
  std::copy_n(reinterpret_cast<const unsigned char*>(&be_height), 4, header.begin() + 4);
  header[8] = 8;  // bit depth; colour type 0 (gray), default methods
  Chunk(out, "IHDR", header);
  Chunk(out, "IDAT", packed);
  Chunk(out, "IEND", {});
  return std::fclose(out) == 0 ? 0 : 1;
}
