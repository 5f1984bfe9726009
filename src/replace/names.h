// The names of the files the tool makes for a target: the one place that
// makes them and the one place that reads them back.
//
//   .STEM.tessvane-tmp-KEY-RANDOM     the new file before it is renamed in
//   .STEM.tessvane-bak-KEY-RANDOM     a backup of the old contents
//   .STEM.tessvane-aside-KEY-RANDOM   a backup that was not restored
//
// STEM is at most the first 64 bytes of the target's file name, for people
// reading a listing; RANDOM is 12 hex digits from the system's random
// source, so that no other user can foresee a name.  KEY, 16 hex digits,
// ties the name to its target: for a temporary file it is a 64-bit hash of
// the target's whole resolved path (TargetKey), so targets whose names
// share a long beginning, or that share a name in different directories,
// never share a KEY; for a backup and a set-aside one it is a hash of the
// target's identity (IdentityKey, file_identity.h), which stays the same
// whatever path reaches the file and after it is renamed.  Every name
// fits in NAME_MAX, and a name that parses is a plain entry name: no '/',
// never "." or "..".
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "file_identity.h"

namespace tessvane {

enum class NameKind { Temporary, Backup, SetAside };

// The KEY of temporary files for the target at resolved_path.
std::string TargetKey(std::string_view resolved_path);

// The KEY of backups of the file of identity.
std::string IdentityKey(const FileIdentity& identity);

// A fresh name of kind with key, its stem taken from the file name of
// resolved_path.  EFileFailed(Write) when the system has no random bytes.
std::string MakeName(NameKind kind, std::string_view resolved_path, std::string_view key);

// What a name made by MakeName says: its kind, KEY and STEM.
struct ParsedName {
  NameKind kind;
  std::string key;
  std::string stem;
};

// The STEM the names for the target at resolved_path get.
std::string StemOf(std::string_view resolved_path);

// The kind and KEY of entry when MakeName could have made it; nullopt for
// any other name.
std::optional<ParsedName> ParseName(std::string_view entry);

// True when entry is a name of kind made with key.
bool IsNameFor(std::string_view entry, NameKind kind, std::string_view key);

}  // namespace tessvane
