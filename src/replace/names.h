// The names of the files the tool makes for a target: the one place that
// makes them and the one place that reads them back.
//
//   .STEM.tessvane-tmp-KEY-RANDOM     the new file before it is renamed in
//   .STEM.tessvane-bak-KEY-RANDOM     a backup of the old contents
//   .STEM.tessvane-aside-KEY-RANDOM   a backup that was not restored
//
// STEM is at most the first 64 bytes of the target's file name, for people
// reading a listing; KEY is a 64-bit hash of the target's whole resolved
// path in 16 hex digits, so targets whose names share a long beginning, or
// that share a name in different directories, never share a KEY; RANDOM is
// 12 hex digits from the system's random source, so that no other user can
// foresee a name.  Every name fits in NAME_MAX.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessvane {

enum class NameKind { Temporary, Backup, SetAside };

// The KEY of the target at resolved_path.
std::string TargetKey(std::string_view resolved_path);

// A fresh name of kind for the target at resolved_path.  EFileFailed
// (Write) when the system has no random bytes to give.
std::string MakeName(NameKind kind, std::string_view resolved_path);

// What a name made by MakeName says: its kind and its target's KEY.
struct ParsedName {
  NameKind kind;
  std::string key;
};

// The kind and KEY of entry when MakeName could have made it; nullopt for
// any other name.
std::optional<ParsedName> ParseName(std::string_view entry);

// True when entry is a name of kind made for the target at resolved_path.
bool IsNameFor(std::string_view entry, NameKind kind, std::string_view resolved_path);

}  // namespace tessvane
