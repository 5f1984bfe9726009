// An independent baseline TIFF decoder for tests; see the header.
#include "reference_tiff_reader.h"

#include "reference_ccitt.h"

#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <stdexcept>

#include "test_tiff.h"
#include "tiff_directory.h"

namespace testing_support {
namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("reference reader: " + what); }

std::vector<std::uint8_t> UnpackBits(const std::uint8_t* data, std::size_t size, std::size_t wanted) {
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < size && out.size() < wanted) {
    const auto n = static_cast<std::int8_t>(data[i++]);
    if (n >= 0) {
      if (i + n + 1 > size) Fail("PackBits literal past the strip");
      out.insert(out.end(), data + i, data + i + n + 1);
      i += n + 1;
    } else if (n != -128) {
      if (i >= size) Fail("PackBits run past the strip");
      out.insert(out.end(), static_cast<std::size_t>(1 - n), data[i++]);
    }
  }
  return out;
}

// TIFF LZW: codes of 9 to 12 bits, most significant bit first, the width
// growing one code early; 256 clears the table, 257 ends the strip.
std::vector<std::uint8_t> DecodeLzw(const std::uint8_t* data, std::size_t size, std::size_t wanted) {
  std::vector<std::vector<std::uint8_t>> table;
  auto reset = [&] {
    table.assign(258, {});
    for (int i = 0; i < 256; ++i) table[i] = {static_cast<std::uint8_t>(i)};
  };
  reset();
  std::vector<std::uint8_t> out;
  std::size_t bit = 0;
  int width = 9;
  int previous = -1;
  while (out.size() < wanted) {
    if (bit + width > size * 8) break;
    int code = 0;
    for (int k = 0; k < width; ++k, ++bit) code = code << 1 | (data[bit / 8] >> (7 - bit % 8) & 1);
    if (code == 257) break;
    if (code == 256) {
      reset();
      width = 9;
      previous = -1;
      continue;
    }
    std::vector<std::uint8_t> entry;
    if (code < static_cast<int>(table.size())) {
      entry = table[code];
      if (previous >= 0) {
        auto grown = table[previous];
        grown.push_back(entry[0]);
        table.push_back(grown);
      }
    } else {
      if (previous < 0 || code != static_cast<int>(table.size())) Fail("bad LZW code");
      entry = table[previous];
      entry.push_back(entry[0]);
      table.push_back(entry);
    }
    out.insert(out.end(), entry.begin(), entry.end());
    previous = code;
    const std::size_t next = table.size() + 1;
    width = next >= 2048 ? 12 : next >= 1024 ? 11 : next >= 512 ? 10 : 9;
  }
  return out;
}

std::vector<std::uint8_t> Inflate(const std::uint8_t* data, std::size_t size, std::size_t wanted) {
  std::vector<std::uint8_t> out(wanted);
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) Fail("zlib init");
  stream.next_in = const_cast<std::uint8_t*>(data);
  stream.avail_in = static_cast<uInt>(size);
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(wanted);
  const int result = inflate(&stream, Z_SYNC_FLUSH);
  inflateEnd(&stream);
  if (result != Z_OK && result != Z_STREAM_END) Fail("Deflate data damaged");
  out.resize(wanted - stream.avail_out);
  return out;
}

std::vector<std::uint8_t> DecodeZstd(const std::uint8_t* data, std::size_t size, std::size_t wanted) {
  std::vector<std::uint8_t> out(wanted);
  const std::size_t got = ZSTD_decompress(out.data(), wanted, data, size);
  if (ZSTD_isError(got)) Fail("ZSTD data damaged");
  out.resize(got);
  return out;
}

// An xz stream, as libtiff's LZMA codec writes each strip.
std::vector<std::uint8_t> DecodeXz(const std::uint8_t* data, std::size_t size, std::size_t wanted) {
  std::vector<std::uint8_t> out(wanted);
  std::uint64_t memory_limit = UINT64_MAX;
  std::size_t in_position = 0;
  std::size_t out_position = 0;
  const lzma_ret result = lzma_stream_buffer_decode(&memory_limit, 0, nullptr, data, &in_position,
                                                    size, out.data(), &out_position, wanted);
  if (result != LZMA_OK && result != LZMA_BUF_ERROR) Fail("LZMA data damaged");
  out.resize(out_position);
  return out;
}

// Horizontal differencing of 8-bit samples: each byte after the first of a
// row was stored as its difference from the byte before.
void UndoHorizontalDifferencing(std::vector<std::uint8_t>& rows, std::size_t width) {
  for (std::size_t start = 0; start + width <= rows.size() && width > 0; start += width) {
    for (std::size_t i = start + 1; i < start + width; ++i) {
      rows[i] = static_cast<std::uint8_t>(rows[i] + rows[i - 1]);
    }
  }
}

}  // namespace

namespace {

// Reverses the order of the bits in each byte (FillOrder 2).
void ReverseBits(std::vector<std::uint8_t>& bytes) {
  for (std::uint8_t& byte : bytes) {
    std::uint8_t reversed = 0;
    for (int i = 0; i < 8; ++i) reversed = static_cast<std::uint8_t>(reversed << 1 | (byte >> i & 1));
    byte = reversed;
  }
}

// Sample c of a row of bits-bit samples, most significant bits first.
std::uint8_t SampleAt(const std::uint8_t* row, std::size_t c, std::uint32_t bits) {
  const std::size_t bit = c * bits;
  return static_cast<std::uint8_t>(row[bit / 8] >> (8 - bits - bit % 8) & ((1u << bits) - 1));
}

bool IsCcitt(std::uint32_t compression) {
  return compression == 2 || compression == 3 || compression == 4 || compression == 32771;
}

// The bytes block decodes to: wanted bytes of stored samples.
std::vector<std::uint8_t> DecodeBlock(std::uint32_t compression, const std::uint8_t* data,
                                      std::size_t size, std::size_t wanted) {
  switch (compression) {
    case 1: return {data, data + std::min(size, wanted)};
    case 5: return DecodeLzw(data, size, wanted);
    case 8:
    case 32946: return Inflate(data, size, wanted);
    case 32773: return UnpackBits(data, size, wanted);
    case 34925: return DecodeXz(data, size, wanted);
    case 50000: return DecodeZstd(data, size, wanted);
    default: Fail("compression " + std::to_string(compression) + " not handled");
  }
}

// Decodes the directory of bytes.
ReferenceImage DecodeDirectory(const std::vector<std::uint8_t>& bytes, const RawDirectory& directory) {
  auto single = [&](std::uint16_t tag, std::uint32_t fallback) {
    if (!directory.Has(tag)) return fallback;
    const std::vector<std::uint64_t> values = directory.Numbers(tag);
    return values.empty() ? fallback : static_cast<std::uint32_t>(values[0]);
  };
  auto numbers = [&](std::uint16_t tag) {
    return directory.Has(tag) ? directory.Numbers(tag) : std::vector<std::uint64_t>{};
  };
  ReferenceImage image;
  image.width = single(256, 0);
  image.height = single(257, 0);
  image.compression = single(259, 1);
  image.photometric = single(262, 1);
  image.subfile_type = single(254, 0);
  image.tile_width = single(322, 0);
  image.tile_length = single(323, 0);
  for (const std::uint64_t value : numbers(320)) image.colormap.push_back(static_cast<std::uint16_t>(value));
  image.bits_per_sample = single(258, 1);
  const std::uint32_t bits = image.bits_per_sample;
  if ((bits != 1 && bits != 2 && bits != 4 && bits != 8) || single(277, 1) != 1) Fail("not gray");
  const bool reversed = single(266, 1) == 2;  // FillOrder: least significant bit first
  const std::uint32_t predictor = single(317, 1);
  if (predictor != 1 && predictor != 2) Fail("predictor not handled");
  const bool tiled = image.tile_width != 0;
  // Blocks: strips of rows_per_strip full rows, or tiles of the tile size.
  const std::uint32_t block_width = tiled ? image.tile_width : image.width;
  image.rows_per_strip = tiled ? 0 : std::min(single(278, UINT32_MAX), image.height);
  const std::uint32_t block_length = tiled ? image.tile_length : image.rows_per_strip;
  const std::vector<std::uint64_t> offsets = numbers(tiled ? 324 : 273);
  const std::vector<std::uint64_t> counts = numbers(tiled ? 325 : 279);
  if (block_width == 0 || block_length == 0 || offsets.size() != counts.size()) Fail("bad block tables");
  const std::size_t across = (image.width + block_width - 1) / block_width;
  const std::size_t down = (image.height + block_length - 1) / block_length;
  if (offsets.size() < across * down) Fail("too few strips or tiles");
  image.pixels.assign(std::size_t{image.width} * image.height, 0);
  for (std::size_t b = 0; b < across * down; ++b) {
    const std::size_t x = b % across * block_width;
    const std::size_t y = b / across * block_length;
    // A strip holds only the rows it has; a tile is always whole.
    const std::size_t rows = tiled ? block_length : std::min<std::size_t>(block_length, image.height - y);
    const std::size_t row_bytes = (std::size_t{block_width} * bits + 7) / 8;
    const std::size_t wanted = rows * row_bytes;
    if (offsets[b] > bytes.size() || counts[b] > bytes.size() - offsets[b]) Fail("block past the end");
    std::vector<std::uint8_t> stored(bytes.begin() + static_cast<std::ptrdiff_t>(offsets[b]),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(offsets[b] + counts[b]));
    if (reversed) ReverseBits(stored);
    std::vector<std::uint8_t> decoded =
        IsCcitt(image.compression)
            ? DecodeCcitt(CcittOf(image.compression, single(292, 0), single(293, 0)), stored.data(),
                          stored.size(), block_width, rows)
            : DecodeBlock(image.compression, stored.data(), stored.size(), wanted);
    if (decoded.size() < wanted) Fail("block " + std::to_string(b) + " too short");
    decoded.resize(wanted);
    if (predictor == 2) UndoHorizontalDifferencing(decoded, block_width);
    for (std::size_t r = 0; r < rows && y + r < image.height; ++r) {
      const std::size_t columns = std::min<std::size_t>(block_width, image.width - x);
      for (std::size_t c = 0; c < columns; ++c) {
        image.pixels[(y + r) * image.width + x + c] = SampleAt(decoded.data() + r * row_bytes, c, bits);
      }
    }
  }
  return image;
}

}  // namespace

std::vector<std::uint8_t> ReferenceImage::GrayLevels() const {
  std::vector<std::uint8_t> levels = pixels;
  const std::uint32_t top = (1u << bits_per_sample) - 1;
  for (std::uint8_t& value : levels) {
    if (photometric == 3) {
      if (colormap.size() != 3 * (std::size_t{top} + 1)) Fail("palette without a colour map");
      value = static_cast<std::uint8_t>(colormap[value] >> 8);
      continue;
    }
    value = static_cast<std::uint8_t>(value * 255 / top);
    if (photometric == 0) value = static_cast<std::uint8_t>(255 - value);
  }
  return levels;
}

ReferenceImage ReadTiffIndependently(const std::string& path) {
  const std::vector<std::uint8_t> bytes = FileBytes(path);
  return DecodeDirectory(bytes, ReadRawDirectory(bytes));
}

std::vector<ReferenceImage> ReadPagesIndependently(const std::string& path) {
  const std::vector<std::uint8_t> bytes = FileBytes(path);
  std::vector<ReferenceImage> pages;
  RawDirectory directory = ReadRawDirectory(bytes);
  for (;;) {
    pages.push_back(DecodeDirectory(bytes, directory));
    if (directory.next_offset == 0) return pages;
    if (pages.size() > 1000) Fail("a loop of directories");
    directory = ReadRawDirectory(bytes, directory.next_offset);
  }
}

}  // namespace testing_support
