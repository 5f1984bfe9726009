// Parsing of a classic TIFF's first directory and little-endian stores.
#include "tiff_bytes.h"

#include <stdexcept>

namespace testing_support {
namespace {

std::uint16_t GetU16(const std::vector<std::uint8_t>& file, std::size_t position) {
  if (position + 2 > file.size()) throw std::runtime_error("read past the end of the file");
  return static_cast<std::uint16_t>(file[position] | file[position + 1] << 8);
}

}  // namespace

std::size_t FieldTypeSize(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;   // BYTE, ASCII, SBYTE, UNDEFINED
    case 3: case 8: return 2;                   // SHORT, SSHORT
    case 4: case 9: case 11: case 13: return 4; // LONG, SLONG, FLOAT, IFD
    case 5: case 10: case 12: return 8;         // RATIONAL, SRATIONAL, DOUBLE
    default: return 0;
  }
}

std::uint32_t GetU32(const std::vector<std::uint8_t>& file, std::size_t position) {
  if (position + 4 > file.size()) throw std::runtime_error("read past the end of the file");
  return static_cast<std::uint32_t>(file[position]) | static_cast<std::uint32_t>(file[position + 1]) << 8 |
         static_cast<std::uint32_t>(file[position + 2]) << 16 |
         static_cast<std::uint32_t>(file[position + 3]) << 24;
}

void PutU16(std::vector<std::uint8_t>& file, std::size_t position, std::uint16_t value) {
  if (position + 2 > file.size()) throw std::runtime_error("write past the end of the file");
  file[position] = static_cast<std::uint8_t>(value);
  file[position + 1] = static_cast<std::uint8_t>(value >> 8);
}

void PutU32(std::vector<std::uint8_t>& file, std::size_t position, std::uint32_t value) {
  if (position + 4 > file.size()) throw std::runtime_error("write past the end of the file");
  for (int i = 0; i < 4; ++i) file[position + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

FirstDirectory::FirstDirectory(const std::vector<std::uint8_t>& file) {
  if (file.size() < 8 || file[0] != 'I' || file[1] != 'I' || GetU16(file, 2) != 42) {
    throw std::runtime_error("not a classic little-endian TIFF");
  }
  offset = GetU32(file, 4);
  const std::uint16_t count = GetU16(file, offset);
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t position = offset + 2 + std::size_t{i} * 12;
    entries.push_back({GetU16(file, position), GetU16(file, position + 2),
                       GetU32(file, position + 4), GetU32(file, position + 8), position});
  }
  next_offset_position = offset + 2 + std::size_t{count} * 12;
  GetU32(file, next_offset_position);  // must lie inside the file
}

const IfdEntry& FirstDirectory::Entry(std::uint16_t tag) const {
  for (const IfdEntry& entry : entries) {
    if (entry.tag == tag) return entry;
  }
  throw std::runtime_error("no entry with tag " + std::to_string(tag));
}

}  // namespace testing_support
