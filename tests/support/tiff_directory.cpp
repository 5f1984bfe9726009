// TIFF directories parsed from the bytes; see the header.
#include "tiff_directory.h"

#include <stdexcept>
#include <string>

namespace testing_support {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("raw directory: " + what);
}

// Reads unsigned integers of 2, 4 or 8 bytes in the file's byte order.
class Bytes {
 public:
  Bytes(const std::vector<std::uint8_t>& file, bool big_endian)
      : file_(file), big_endian_(big_endian) {}
  std::uint64_t Unsigned(std::uint64_t at, std::size_t size) const {
    Need(at, size);
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint64_t byte = file_[at + (big_endian_ ? i : size - 1 - i)];
      value = value << 8 | byte;
    }
    return value;
  }
  void Need(std::uint64_t at, std::uint64_t count) const {
    if (at > file_.size() || count > file_.size() - at) Fail("offset past the end");
  }

 private:
  const std::vector<std::uint8_t>& file_;
  bool big_endian_;
};

}  // namespace

std::size_t RawTypeSize(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: case 16: case 17: case 18: return 8;
    default: return 0;
  }
}

std::vector<std::uint64_t> RawDirectory::Numbers(std::uint16_t tag) const {
  const auto found = entries.find(tag);
  if (found == entries.end()) Fail("no tag " + std::to_string(tag));
  const RawEntry& entry = found->second;
  const std::size_t size = RawTypeSize(entry.type);
  const bool integer = entry.type == 1 || entry.type == 3 || entry.type == 4 ||
                       entry.type == 13 || entry.type == 16 || entry.type == 18;
  if (!integer) Fail("tag " + std::to_string(tag) + " is not an integer");
  const Bytes in(entry.value, big_endian);
  std::vector<std::uint64_t> numbers;
  for (std::uint64_t i = 0; i < entry.count; ++i) numbers.push_back(in.Unsigned(i * size, size));
  return numbers;
}

RawDirectory ReadRawDirectory(const std::vector<std::uint8_t>& file,
                              std::optional<std::uint64_t> offset) {
  if (file.size() < 8) Fail("short file");
  RawDirectory directory;
  if (file[0] == 'M' && file[1] == 'M') {
    directory.big_endian = true;
  } else if (file[0] != 'I' || file[1] != 'I') {
    Fail("no byte-order mark");
  }
  const Bytes in(file, directory.big_endian);
  const std::uint64_t version = in.Unsigned(2, 2);
  if (version != 42 && version != 43) Fail("not a TIFF file");
  directory.big_tiff = version == 43;
  const std::size_t word = directory.big_tiff ? 8 : 4;        // offsets and counts
  const std::size_t count_size = directory.big_tiff ? 8 : 2;  // entries in a directory
  const std::size_t entry_size = directory.big_tiff ? 20 : 12;
  const std::uint64_t start = offset ? *offset : in.Unsigned(directory.big_tiff ? 8 : 4, word);

  const std::uint64_t entries = in.Unsigned(start, count_size);
  for (std::uint64_t i = 0; i < entries; ++i) {
    const std::uint64_t at = start + count_size + i * entry_size;
    RawEntry entry;
    const auto tag = static_cast<std::uint16_t>(in.Unsigned(at, 2));
    entry.type = static_cast<std::uint16_t>(in.Unsigned(at + 2, 2));
    entry.count = in.Unsigned(at + 4, word);
    const std::size_t size = RawTypeSize(entry.type);
    if (size == 0) Fail("unknown type of tag " + std::to_string(tag));
    if (entry.count > file.size()) Fail("count past the end");
    const std::uint64_t length = entry.count * size;
    const std::uint64_t place = length <= word ? at + 4 + word : in.Unsigned(at + 4 + word, word);
    in.Need(place, length);
    entry.value.assign(file.begin() + static_cast<std::ptrdiff_t>(place),
                       file.begin() + static_cast<std::ptrdiff_t>(place + length));
    directory.entries[tag] = std::move(entry);
  }
  directory.next_offset = in.Unsigned(start + count_size + entries * entry_size, word);
  return directory;
}

}  // namespace testing_support
