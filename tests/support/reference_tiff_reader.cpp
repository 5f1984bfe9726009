// An independent baseline TIFF decoder for tests; see the header.
#include "reference_tiff_reader.h"

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

ReferenceImage ReadTiffIndependently(const std::string& path) {
  const std::vector<std::uint8_t> bytes = FileBytes(path);
  const RawDirectory directory = ReadRawDirectory(bytes);
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
  image.rows_per_strip = std::min(single(278, UINT32_MAX), image.height);
  if (single(258, 1) != 8 || single(277, 1) != 1) Fail("not 8-bit gray");
  const std::uint32_t predictor = single(317, 1);
  if (predictor != 1 && predictor != 2) Fail("predictor not handled");
  const std::vector<std::uint64_t> offsets = numbers(273);
  const std::vector<std::uint64_t> counts = numbers(279);
  if (image.rows_per_strip == 0 || offsets.size() != counts.size()) Fail("bad strip tables");
  const std::size_t strips = (image.height + image.rows_per_strip - 1) / image.rows_per_strip;
  if (offsets.size() < strips) Fail("too few strips");
  for (std::size_t s = 0; s < strips; ++s) {
    const std::uint32_t rows = std::min(image.rows_per_strip, image.height - image.rows_per_strip * static_cast<std::uint32_t>(s));
    const std::size_t wanted = std::size_t{rows} * image.width;
    if (offsets[s] > bytes.size() || counts[s] > bytes.size() - offsets[s]) Fail("strip past the end");
    const std::uint8_t* data = bytes.data() + offsets[s];
    const auto size = static_cast<std::size_t>(counts[s]);
    std::vector<std::uint8_t> decoded;
    switch (image.compression) {
      case 1: decoded.assign(data, data + std::min(size, wanted)); break;
      case 5: decoded = DecodeLzw(data, size, wanted); break;
      case 8:
      case 32946: decoded = Inflate(data, size, wanted); break;
      case 32773: decoded = UnpackBits(data, size, wanted); break;
      case 34925: decoded = DecodeXz(data, size, wanted); break;
      case 50000: decoded = DecodeZstd(data, size, wanted); break;
      default: Fail("compression " + std::to_string(image.compression) + " not handled");
    }
    if (decoded.size() < wanted) Fail("strip " + std::to_string(s) + " too short");
    decoded.resize(wanted);
    if (predictor == 2) UndoHorizontalDifferencing(decoded, image.width);
    image.pixels.insert(image.pixels.end(), decoded.begin(), decoded.end());
  }
  return image;
}

}  // namespace testing_support
