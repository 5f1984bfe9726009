// The names of the tool's own files: see names.h.
#include "names.h"

#include <sys/random.h>
#include <xxhash.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "file_failure.h"

namespace tessvane {
namespace {

constexpr std::size_t StemLimit = 64;
constexpr std::size_t KeyDigits = 16;
constexpr std::size_t RandomDigits = 12;
constexpr char HexDigits[] = "0123456789abcdef";

std::string_view KindWord(NameKind kind) {
  switch (kind) {
    case NameKind::Temporary: return "tmp";
    case NameKind::Backup: return "bak";
    case NameKind::SetAside: return "aside";
  }
  return "";
}

std::optional<NameKind> KindOfWord(std::string_view word) {
  for (const NameKind kind : {NameKind::Temporary, NameKind::Backup, NameKind::SetAside}) {
    if (word == KindWord(kind)) return kind;
  }
  return std::nullopt;
}

bool IsHex(std::string_view text, std::size_t digits) {
  return text.size() == digits && text.find_first_not_of(HexDigits) == std::string_view::npos;
}

// FNV-1a over the whole path: stable across runs and machines.
std::uint64_t PathHash(std::string_view path) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : path) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return hash;
}

std::string BaseName(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string KeyOf(std::uint64_t hash) {
  std::string key(KeyDigits, '0');
  for (std::size_t i = KeyDigits; i-- > 0; hash >>= 4) key[i] = HexDigits[hash & 15];
  return key;
}

}  // namespace

std::string TargetKey(std::string_view resolved_path) { return KeyOf(PathHash(resolved_path)); }

std::string IdentityKey(const FileIdentity& identity) {
  const std::string text = IdentityText(identity);
  return KeyOf(XXH3_64bits(text.data(), text.size()));
}

std::string StemOf(std::string_view resolved_path) {
  std::string stem = BaseName(resolved_path);
  if (stem.size() <= StemLimit) return stem;
  // Cut before a character, not inside one: a UTF-8 continuation byte
  // (10xxxxxx) never starts the part cut off.
  std::size_t cut = StemLimit;
  while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xc0u) == 0x80u) --cut;
  return stem.substr(0, cut);
}

std::string MakeName(NameKind kind, std::string_view resolved_path, std::string_view key) {
  unsigned char random[RandomDigits / 2];
  ssize_t got;
  while ((got = getrandom(random, sizeof random, 0)) < 0 && errno == EINTR) {
  }
  if (got != static_cast<ssize_t>(sizeof random)) {
    throw EFileFailed(FileStep::Write, errno, "no random bytes for a file name");
  }
  std::string name = "." + StemOf(resolved_path) + ".tessvane-";
  name += KindWord(kind);
  name += "-";
  name += key;
  name += "-";
  for (const unsigned char byte : random) {
    name += HexDigits[byte >> 4];
    name += HexDigits[byte & 15];
  }
  return name;
}

std::optional<ParsedName> ParseName(std::string_view entry) {
  // From the end: "-RANDOM", "-KEY", then ".tessvane-KIND"; the stem may
  // hold anything but '/' and NUL, ".tessvane-" included, up to its limit.
  const std::size_t tail = 1 + KeyDigits + 1 + RandomDigits;
  if (entry.size() < 1 + tail || entry.size() > NAME_MAX || entry[0] != '.' ||
      entry.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view random = entry.substr(entry.size() - RandomDigits);
  const std::string_view key = entry.substr(entry.size() - tail + 1, KeyDigits);
  if (entry[entry.size() - RandomDigits - 1] != '-' || entry[entry.size() - tail] != '-' ||
      !IsHex(random, RandomDigits) || !IsHex(key, KeyDigits)) {
    return std::nullopt;
  }
  const std::string_view head = entry.substr(0, entry.size() - tail);
  const std::size_t marker = head.rfind(".tessvane-");
  if (marker == std::string_view::npos || marker == 0 || marker > 1 + StemLimit) return std::nullopt;
  const std::optional<NameKind> kind = KindOfWord(head.substr(marker + 10));
  if (!kind) return std::nullopt;
  return ParsedName{*kind, std::string(key), std::string(head.substr(1, marker - 1))};
}

bool IsNameFor(std::string_view entry, NameKind kind, std::string_view key) {
  const std::optional<ParsedName> parsed = ParseName(entry);
  return parsed && parsed->kind == kind && parsed->key == key;
}

}  // namespace tessvane
