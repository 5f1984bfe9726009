// A CCITT decoder written from ITU-T T.4 and T.6 for the tests' own TIFF
// reader, sharing no code or table with libtiff: modified Huffman rows
// (TIFF's CCITT RLE, byte- or word-aligned), Group 3 one- and two-
// dimensional rows after end-of-line codes (fill bits allowed), and Group
// 4.  Uncompressed mode is not handled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

struct CcittCoding {
  enum class Kind { Rle, RleWord, Group3, Group4 } kind = Kind::Group4;
  bool two_dimensional = false;  // Group 3 rows may be coded against the row above
};

// The coding of TIFF compression (2, 32771, 3 or 4) with its T4Options.
CcittCoding CcittOf(std::uint32_t compression, std::uint32_t t4_options, std::uint32_t t6_options);

// Decodes rows rows of width pixels from the size bytes at data, most
// significant bit first, into packed rows of (width + 7) / 8 bytes, black
// as 1.  std::runtime_error for data that is not such rows.
std::vector<std::uint8_t> DecodeCcitt(const CcittCoding& coding, const std::uint8_t* data,
                                      std::size_t size, std::uint32_t width, std::size_t rows);

}  // namespace testing_support
