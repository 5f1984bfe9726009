// The bytes of a backup's header and the hashes it holds (backup.h shows
// the layout): written in one place and read back in one place, strictly.
//
// A header is accepted only in the exact form this code writes: every line
// in its order, numbers in decimal without signs or leading zeros, hashes
// in lower-case hex, the check over the lines and the table matching; the
// text it would write for what it read must be the text it read.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backup.h"

namespace tessvane {

inline constexpr std::size_t BackupPageSize = 4096;   // the unit of a torn write
inline constexpr std::size_t BackupHeaderSize = 4096; // the text, padded with NULs
inline constexpr std::size_t BackupReadSize = 64 * 1024;
inline constexpr int BackupFormat = 1;

// The header block (BackupHeaderSize bytes) and the table for header, whose
// data_offset is set here from its page count.
struct EncodedHeader {
  std::string block;
  std::string table;
};
EncodedHeader EncodeBackupHeader(BackupHeader& header);

// Why a header was not read.
enum class HeaderProblem { None, Unfinished, NotABackup, OtherFormat, Damaged, WrongLength };

// Reads the header of the backup open at file, of file_size bytes, into
// header; what kept it from being read, and in detail the format number of
// another format.  Raises nothing but std::bad_alloc.
HeaderProblem DecodeBackupHeader(int file, off_t file_size, BackupHeader& header, std::string& detail);

// The XXH3-128 of length bytes from offset of fd; nullopt when they cannot
// be read whole.
std::optional<std::array<std::uint8_t, 16>> HashOfRange(int fd, off_t offset, off_t length);

// The XXH3-64 of each BackupPageSize page of the first length bytes of fd;
// nullopt when they cannot be read whole.
std::optional<std::vector<std::uint64_t>> PageHashes(int fd, off_t length);

// The XXH3-64 of size bytes.
std::uint64_t PageHash(const unsigned char* bytes, std::size_t size);

}  // namespace tessvane
