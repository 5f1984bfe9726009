// An independent baseline TIFF decoder for tests; see the header.
#include "reference_tiff_reader.h"

#include <zlib.h>

#include <algorithm>
#include <map>
#include <stdexcept>

#include "test_tiff.h"

namespace testing_support {
namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error("reference reader: " + what); }

class ByteReader {
 public:
  explicit ByteReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {
    if (bytes.size() < 8) Fail("short file");
    if (bytes[0] == 'I' && bytes[1] == 'I') {
      little_ = true;
    } else if (bytes[0] == 'M' && bytes[1] == 'M') {
      little_ = false;
    } else {
      Fail("no byte-order mark");
    }
    if (U16(2) != 42) Fail("not classic TIFF");
  }
  std::uint32_t U16(std::size_t at) const {
    Need(at, 2);
    return little_ ? bytes_[at] | bytes_[at + 1] << 8 : bytes_[at] << 8 | bytes_[at + 1];
  }
  std::uint32_t U32(std::size_t at) const {
    Need(at, 4);
    return little_ ? U16(at) | U16(at + 2) << 16 : U16(at) << 16 | U16(at + 2);
  }
  void Need(std::size_t at, std::size_t count) const {
    if (at + count > bytes_.size() || at + count < at) Fail("offset past the end");
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  bool little_ = true;
};

// The values of one IFD entry of type SHORT or LONG.
std::vector<std::uint32_t> EntryValues(const ByteReader& in, std::size_t entry) {
  const std::uint32_t type = in.U16(entry + 2);
  const std::uint32_t count = in.U32(entry + 4);
  const std::size_t size = type == 3 ? 2 : type == 4 ? 4 : 0;
  if (size == 0) return {};
  const std::size_t start = size * count <= 4 ? entry + 8 : in.U32(entry + 8);
  std::vector<std::uint32_t> values;
  for (std::uint32_t i = 0; i < count; ++i) {
    values.push_back(size == 2 ? in.U16(start + 2 * i) : in.U32(start + 4 * i));
  }
  return values;
}

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

}  // namespace

ReferenceImage ReadTiffIndependently(const std::string& path) {
  const std::vector<std::uint8_t> bytes = FileBytes(path);
  const ByteReader in(bytes);
  const std::size_t directory = in.U32(4);
  const std::uint32_t entries = in.U16(directory);
  std::map<std::uint32_t, std::vector<std::uint32_t>> tags;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::size_t entry = directory + 2 + 12 * i;
    tags[in.U16(entry)] = EntryValues(in, entry);
  }
  auto single = [&](std::uint32_t tag, std::uint32_t fallback) {
    const auto found = tags.find(tag);
    return found == tags.end() || found->second.empty() ? fallback : found->second[0];
  };
  ReferenceImage image;
  image.width = single(256, 0);
  image.height = single(257, 0);
  image.compression = single(259, 1);
  image.rows_per_strip = std::min(single(278, UINT32_MAX), image.height);
  if (single(258, 1) != 8 || single(277, 1) != 1) Fail("not 8-bit gray");
  if (single(317, 1) != 1) Fail("predictor not handled");
  const std::vector<std::uint32_t>& offsets = tags[273];
  const std::vector<std::uint32_t>& counts = tags[279];
  if (image.rows_per_strip == 0 || offsets.size() != counts.size()) Fail("bad strip tables");
  const std::size_t strips = (image.height + image.rows_per_strip - 1) / image.rows_per_strip;
  if (offsets.size() < strips) Fail("too few strips");
  for (std::size_t s = 0; s < strips; ++s) {
    const std::uint32_t rows = std::min(image.rows_per_strip, image.height - image.rows_per_strip * static_cast<std::uint32_t>(s));
    const std::size_t wanted = std::size_t{rows} * image.width;
    in.Need(offsets[s], counts[s]);
    const std::uint8_t* data = bytes.data() + offsets[s];
    std::vector<std::uint8_t> decoded;
    switch (image.compression) {
      case 1: decoded.assign(data, data + std::min<std::size_t>(counts[s], wanted)); break;
      case 5: decoded = DecodeLzw(data, counts[s], wanted); break;
      case 8:
      case 32946: decoded = Inflate(data, counts[s], wanted); break;
      case 32773: decoded = UnpackBits(data, counts[s], wanted); break;
      default: Fail("compression " + std::to_string(image.compression) + " not handled");
    }
    if (decoded.size() < wanted) Fail("strip " + std::to_string(s) + " too short");
    image.pixels.insert(image.pixels.end(), decoded.begin(), decoded.begin() + static_cast<std::ptrdiff_t>(wanted));
  }
  return image;
}

}  // namespace testing_support
