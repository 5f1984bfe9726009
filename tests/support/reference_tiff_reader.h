// A TIFF decoder that shares no code with libtiff: strips or tiles of 1-,
// 2-, 4- or 8-bit gray (min-is-black, min-is-white or a palette), every
// page of the file, classic or BigTIFF, uncompressed, PackBits, LZW,
// Deflate (through zlib), ZSTD, LZMA or CCITT (RLE, Group 3, Group 4;
// reference_ccitt.h), either fill order, with or without horizontal
// differencing.  Used to check
// that written files mean the same to another reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct ReferenceImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t rows_per_strip = 0;
  std::uint32_t compression = 1;
  std::uint32_t photometric = 1;
  std::uint32_t tile_width = 0;      // 0 for strips
  std::uint32_t tile_length = 0;
  std::uint32_t subfile_type = 0;
  std::uint32_t bits_per_sample = 8;
  std::vector<std::uint16_t> colormap;  // 3 × 2^bits entries of a palette page
  std::vector<std::uint8_t> pixels;  // width × height stored samples, one a byte

  // The pixels as the page looks, 0 black: a stored level v of b bits as
  // v × 255 / (2^b − 1), inverted for min-is-white, through the colour
  // map's high bytes for a palette.
  std::vector<std::uint8_t> GrayLevels() const;
};

// Decodes the first image of the file at path; std::runtime_error for a
// file outside what this decoder handles or a damaged one.  Each strip
// supplies exactly the rows it holds; bytes it decodes beyond them are
// ignored.
ReferenceImage ReadTiffIndependently(const std::string& path);

// Every directory of the file at path in chain order, decoded the same way.
std::vector<ReferenceImage> ReadPagesIndependently(const std::string& path);

}  // namespace testing_support
