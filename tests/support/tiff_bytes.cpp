// Parsing of a classic TIFF's first directory and little-endian stores.
#include "tiff_bytes.h"

#include <algorithm>
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

std::vector<std::uint8_t> DirectoryFirst(const std::vector<std::uint8_t>& file) {
  const FirstDirectory directory(file);
  const std::size_t directory_size = 2 + directory.entries.size() * 12 + 4;
  std::vector<std::uint8_t> out(file.begin(), file.begin() + 8);
  PutU32(out, 4, 8);
  out.insert(out.end(), file.begin() + directory.offset,
             file.begin() + static_cast<std::ptrdiff_t>(directory.offset + directory_size));
  PutU32(out, 8 + directory_size - 4, 0);

  // Values stored outside the directory follow it, each at an even offset.
  std::vector<std::size_t> values(directory.entries.size(), 0);  // where each lands, or 0
  for (std::size_t i = 0; i < directory.entries.size(); ++i) {
    const IfdEntry& entry = directory.entries[i];
    const std::size_t size = std::size_t{entry.count} * FieldTypeSize(entry.type);
    if (size <= 4) continue;
    if (out.size() % 2 != 0) out.push_back(0);
    values[i] = out.size();
    out.insert(out.end(), file.begin() + entry.value,
               file.begin() + static_cast<std::ptrdiff_t>(entry.value + size));
    PutU32(out, 8 + 2 + i * 12 + 8, static_cast<std::uint32_t>(values[i]));
  }

  // Then the strips or tiles, with their offsets updated.  The tables hold
  // SHORT or LONG elements, inline or not.
  const bool tiled = std::any_of(directory.entries.begin(), directory.entries.end(),
                                 [](const IfdEntry& entry) { return entry.tag == 324; });
  const IfdEntry& offsets = directory.Entry(tiled ? 324 : 273);
  const IfdEntry& counts = directory.Entry(tiled ? 325 : 279);
  auto position = [&](const IfdEntry& entry, std::size_t index) {
    const auto i = static_cast<std::size_t>(&entry - directory.entries.data());
    const std::size_t size = FieldTypeSize(entry.type);
    if (entry.type != 3 && entry.type != 4) throw std::runtime_error("strip table neither SHORT nor LONG");
    return (values[i] != 0 ? values[i] : 8 + 2 + i * 12 + 8) + index * size;
  };
  auto get = [&](const IfdEntry& entry, std::size_t index) -> std::uint32_t {
    const std::size_t at = position(entry, index);
    return entry.type == 3 ? GetU16(out, at) : GetU32(out, at);
  };
  for (std::size_t strip = 0; strip < offsets.count; ++strip) {
    const std::uint32_t start = get(offsets, strip);
    const std::uint32_t length = get(counts, strip);
    const auto moved = static_cast<std::uint32_t>(out.size());
    if (offsets.type == 3) {
      PutU16(out, position(offsets, strip), static_cast<std::uint16_t>(moved));
    } else {
      PutU32(out, position(offsets, strip), moved);
    }
    out.insert(out.end(), file.begin() + start,
               file.begin() + static_cast<std::ptrdiff_t>(start + length));
  }
  return out;
}

}  // namespace testing_support
