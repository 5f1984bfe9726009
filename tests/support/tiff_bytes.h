// Raw access to the bytes of a classic little-endian TIFF file, for tests
// that damage valid files on purpose: the first directory's entries, found
// by parsing, and 16- and 32-bit values put anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testing_support {

// One 12-byte entry of a directory, as stored.
struct IfdEntry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint32_t value = 0;    // the value-or-offset field
  std::size_t position = 0;   // file offset of the entry's first byte
};

// Byte sizes of the field types, by type number (0 for unknown types).
std::size_t FieldTypeSize(std::uint16_t type);

// The first directory of a classic little-endian TIFF; std::runtime_error
// when the bytes are not one or the directory lies outside them.
struct FirstDirectory {
  std::uint32_t offset = 0;               // where the header points
  std::vector<IfdEntry> entries;
  std::size_t next_offset_position = 0;   // file offset of the next-directory link

  explicit FirstDirectory(const std::vector<std::uint8_t>& file);
  // The entry with tag; std::runtime_error when there is none.
  const IfdEntry& Entry(std::uint16_t tag) const;
};

// The same file laid out with its first directory right after the header,
// then the values stored outside it, then the strips or tiles: cutting it
// short damages them while the directory stays whole.  Only the next-
// directory link is dropped.
std::vector<std::uint8_t> DirectoryFirst(const std::vector<std::uint8_t>& file);

std::uint32_t GetU32(const std::vector<std::uint8_t>& file, std::size_t position);
// Little-endian stores; the file must already hold the bytes written.
void PutU16(std::vector<std::uint8_t>& file, std::size_t position, std::uint16_t value);
void PutU32(std::vector<std::uint8_t>& file, std::size_t position, std::uint32_t value);

}  // namespace testing_support
