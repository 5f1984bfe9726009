// The directories of a TIFF file as stored, parsed without libtiff: classic
// and BigTIFF, either byte order.  Each entry keeps its type, count and the
// bytes of its value exactly as they lie in the file, so that two files can
// be compared tag by tag, byte for byte.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace testing_support {

// One directory entry: its field type, count and value bytes in file order.
struct RawEntry {
  std::uint16_t type = 0;
  std::uint64_t count = 0;
  std::vector<std::uint8_t> value;

  bool operator==(const RawEntry&) const = default;
};

struct RawDirectory {
  bool big_endian = false;
  bool big_tiff = false;
  std::uint64_t next_offset = 0;            // link to the next directory, 0 for none
  std::map<std::uint16_t, RawEntry> entries;

  bool Has(std::uint16_t tag) const { return entries.count(tag) != 0; }
  // The values of an integer entry (BYTE, SHORT, LONG, LONG8, IFD, IFD8);
  // std::runtime_error when the tag is absent or not of an integer type.
  std::vector<std::uint64_t> Numbers(std::uint16_t tag) const;
};

// Byte size of one value of a field type; 0 for a type unknown to TIFF.
std::size_t RawTypeSize(std::uint16_t type);

// The directory at offset (the first one when offset is empty) of file;
// std::runtime_error when the bytes are not a TIFF file or the directory
// lies outside them.
RawDirectory ReadRawDirectory(const std::vector<std::uint8_t>& file,
                              std::optional<std::uint64_t> offset = std::nullopt);

}  // namespace testing_support
