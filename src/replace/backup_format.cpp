// The bytes of a backup's header: see backup_format.h.
#include "backup_format.h"

#include <xxhash.h>

#include <charconv>
#include <cstring>
#include <memory>
#include <string_view>

#include "file_contents.h"

namespace tessvane {
namespace {

constexpr std::string_view Title = "tessvane backup\n";
// What the backups of the first versions began with: two 64-bit words of
// "tessvane backup", least significant byte first.
constexpr std::string_view FirstFormatTitle = "ttessvane backup";
constexpr char HexDigits[] = "0123456789abcdef";

std::string Hex(const std::uint8_t* bytes, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += HexDigits[bytes[i] >> 4];
    text += HexDigits[bytes[i] & 15];
  }
  return text;
}

std::string Hex64(std::uint64_t value) {
  std::uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (56 - 8 * i));
  return Hex(bytes, 8);
}

// The header's lines up to its check, for what header holds.
std::string Lines(const BackupHeader& header) {
  const std::string start = std::to_string(header.data_offset + 1);
  return std::string(Title) + "format " + std::to_string(BackupFormat) + "\n" +
         "old contents at byte " + start + ": tail -c +" + start + " THIS-FILE > OLD-FILE\n" +
         "old size " + std::to_string(header.old_size) + "\n" +
         "new size " + std::to_string(header.new_size) + "\n" +
         "file " + IdentityText(header.identity) + "\n" +
         "path key " + header.path_key + "\n" +
         "owner " + std::to_string(header.owner) + "\n" +
         "maker " + std::to_string(header.maker) + "\n" +
         "old hash " + Hex(header.old_hash.data(), header.old_hash.size()) + "\n" +
         "new page hashes at byte " + std::to_string(BackupHeaderSize) + ": " +
         std::to_string(header.new_pages.size()) + " of " + std::to_string(BackupPageSize) +
         " bytes each\n";
}

std::string Table(const std::vector<std::uint64_t>& pages) {
  std::string table(pages.size() * 8, '\0');
  for (std::size_t i = 0; i < pages.size(); ++i) {
    for (int b = 0; b < 8; ++b) table[i * 8 + b] = static_cast<char>(pages[i] >> (8 * b));
  }
  return table;
}

std::string CheckLine(const std::string& lines, const std::string& table) {
  XXH3_state_t* const state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> owned(state, &XXH3_freeState);
  XXH3_64bits_reset(state);
  XXH3_64bits_update(state, lines.data(), lines.size());
  XXH3_64bits_update(state, table.data(), table.size());
  return "check " + Hex64(XXH3_64bits_digest(state)) + "\n";
}

// The unsigned decimal number that text is exactly; false otherwise.
bool ParseNumber(std::string_view text, std::uint64_t& value) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// The text after prefix on line index of lines; empty when the line does
// not start so.
std::string_view Field(const std::vector<std::string_view>& lines, std::size_t index,
                       std::string_view prefix) {
  if (index >= lines.size() || lines[index].substr(0, prefix.size()) != prefix) return {};
  return lines[index].substr(prefix.size());
}

// The fields of the header's lines that its other lines follow from; false
// when one cannot be read.  The rest is checked by writing it again.
bool ParseFields(const std::vector<std::string_view>& lines, BackupHeader& header) {
  std::uint64_t pages = 0, start = 0;
  const std::string_view location = Field(lines, 2, "old contents at byte ");
  const std::string_view table = Field(lines, 10, "new page hashes at byte 4096: ");
  if (!ParseNumber(location.substr(0, location.find(':')), start) || start == 0 ||
      !ParseNumber(table.substr(0, table.find(' ')), pages) ||
      !ParseNumber(Field(lines, 3, "old size "), header.old_size) ||
      !ParseNumber(Field(lines, 4, "new size "), header.new_size) ||
      !ParseIdentityText(std::string(Field(lines, 5, "file ")), header.identity) ||
      !ParseNumber(Field(lines, 7, "owner "), header.owner) ||
      !ParseNumber(Field(lines, 8, "maker "), header.maker)) {
    return false;
  }
  header.path_key = std::string(Field(lines, 6, "path key "));
  const std::string_view hash = Field(lines, 9, "old hash ");
  if (hash.size() != 32) return false;
  for (std::size_t i = 0; i < 16; ++i) {
    const auto [end, error] = std::from_chars(hash.data() + 2 * i, hash.data() + 2 * i + 2, header.old_hash[i], 16);
    if (error != std::errc() || end != hash.data() + 2 * i + 2) return false;
  }
  header.data_offset = start - 1;
  if (pages != (header.new_size + BackupPageSize - 1) / BackupPageSize) return false;
  header.new_pages.resize(pages);
  return true;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) break;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace

EncodedHeader EncodeBackupHeader(BackupHeader& header) {
  const std::uint64_t table_end = BackupHeaderSize + 8 * header.new_pages.size();
  header.data_offset = (table_end + BackupPageSize - 1) / BackupPageSize * BackupPageSize;
  EncodedHeader encoded{Lines(header), Table(header.new_pages)};
  encoded.block += CheckLine(encoded.block, encoded.table);
  encoded.block.resize(BackupHeaderSize, '\0');
  return encoded;
}

HeaderProblem DecodeBackupHeader(int file, off_t file_size, BackupHeader& header, std::string& detail) {
  std::string block(BackupHeaderSize, '\0');
  const ssize_t got = ReadAt(file, block.data(), block.size(), 0);
  if (got <= 0 || block[0] == '\0') return HeaderProblem::Unfinished;
  if (block.compare(0, FirstFormatTitle.size(), FirstFormatTitle) == 0) {
    detail = "0";
    return HeaderProblem::OtherFormat;
  }
  if (block.compare(0, Title.size(), Title) != 0) return HeaderProblem::NotABackup;
  const std::string_view text(block.data(), std::strlen(block.c_str()));
  const std::vector<std::string_view> lines = SplitLines(text);
  const std::string_view format = Field(lines, 1, "format ");
  if (format != std::to_string(BackupFormat)) {
    detail = std::string(format.substr(0, 20));
    return HeaderProblem::OtherFormat;
  }
  if (static_cast<std::size_t>(got) != BackupHeaderSize || lines.size() != 12 ||
      !ParseFields(lines, header)) {
    return HeaderProblem::Damaged;
  }
  std::string table(header.new_pages.size() * 8, '\0');
  if (ReadAt(file, table.data(), table.size(), BackupHeaderSize) != static_cast<ssize_t>(table.size())) {
    return HeaderProblem::Damaged;
  }
  for (std::size_t i = 0; i < header.new_pages.size(); ++i) {
    std::uint64_t hash = 0;
    for (int b = 7; b >= 0; --b) hash = hash << 8 | static_cast<unsigned char>(table[i * 8 + b]);
    header.new_pages[i] = hash;
  }
  BackupHeader written = header;
  const EncodedHeader again = EncodeBackupHeader(written);
  if (again.block != block || again.table != table || written.data_offset != header.data_offset) {
    return HeaderProblem::Damaged;
  }
  if (header.data_offset + header.old_size != static_cast<std::uint64_t>(file_size)) {
    return HeaderProblem::WrongLength;
  }
  return HeaderProblem::None;
}

std::optional<std::array<std::uint8_t, 16>> HashOfRange(int fd, off_t offset, off_t length) {
  XXH3_state_t* const state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  const std::unique_ptr<XXH3_state_t, decltype(&XXH3_freeState)> owned(state, &XXH3_freeState);
  XXH3_128bits_reset(state);
  const std::unique_ptr<unsigned char[]> chunk(new unsigned char[BackupReadSize]);
  for (off_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(length - done, BackupReadSize));
    if (ReadAt(fd, chunk.get(), want, offset + done) != static_cast<ssize_t>(want)) return std::nullopt;
    XXH3_128bits_update(state, chunk.get(), want);
    done += static_cast<off_t>(want);
  }
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state));
  std::array<std::uint8_t, 16> hash{};
  std::memcpy(hash.data(), canonical.digest, hash.size());
  return hash;
}

std::uint64_t PageHash(const unsigned char* bytes, std::size_t size) { return XXH3_64bits(bytes, size); }

std::optional<std::vector<std::uint64_t>> PageHashes(int fd, off_t length) {
  std::vector<std::uint64_t> hashes;
  const std::unique_ptr<unsigned char[]> chunk(new unsigned char[BackupReadSize]);
  for (off_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(length - done, BackupReadSize));
    if (ReadAt(fd, chunk.get(), want, done) != static_cast<ssize_t>(want)) return std::nullopt;
    for (std::size_t page = 0; page < want; page += BackupPageSize) {
      hashes.push_back(PageHash(chunk.get() + page, std::min(BackupPageSize, want - page)));
    }
    done += static_cast<off_t>(want);
  }
  return hashes;
}

}  // namespace tessvane
