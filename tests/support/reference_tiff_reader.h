// A TIFF decoder that shares no code with libtiff: baseline strips of 8-bit
// gray, classic or BigTIFF, uncompressed, PackBits, LZW, Deflate (through
// zlib), ZSTD or LZMA, with or without horizontal differencing.  Used to
// check that written files mean the same to another reader.
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
  std::vector<std::uint8_t> pixels;  // width × height bytes
};

// Decodes the first image of the file at path; std::runtime_error for a
// file outside what this decoder handles or a damaged one.  Each strip
// supplies exactly the rows it holds; bytes it decodes beyond them are
// ignored.
ReferenceImage ReadTiffIndependently(const std::string& path);

}  // namespace testing_support
