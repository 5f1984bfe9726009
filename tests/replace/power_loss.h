// A model of what a disk keeps after a power cut, fed with the calls a run
// made (recorded with strace), which lists every state the disk may come
// back in at every moment of the run.
//
// What the model promises, as fsync(2) does and no more:
//  - A file's writes, its changes of length and of extended attributes are
//    kept only once the file is flushed (fsync; fdatasync keeps writes and
//    length, not attributes).  Until then each may be kept or lost: writes
//    page by page (4 KiB), each page as a prefix of the writes made to it;
//    changes of length as a prefix of their own, independent of the writes
//    (a truncation kept without the writes before it); attribute changes as
//    a prefix.
//  - A directory's entries (made, linked, renamed, removed) are kept only
//    once the directory is flushed; until then as a prefix, in order.
//  - A file no entry names after the cut is gone.
//
// The states are many; CrashStates lists, at one moment, those that
// differ in a way a recovery can tell: everything kept, nothing kept, each
// file's pages, lengths and attributes kept or lost on their own, each
// page alone kept or lost, each directory's entries cut at each point, and
// some random mixes.  Only calls on files under the watched directories
// count; a call the model cannot follow there (a write through writev, a
// rename across directories, a directory made) fails the recording
// instead of being left out.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace power_loss {

using Bytes = std::vector<std::uint8_t>;

// A file in a state of the disk.
struct FileState {
  int inode = 0;  // 0: the file that was at the path when the run began
  Bytes contents;
  std::map<std::string, std::string> attributes;  // user.* only
  bool operator==(const FileState&) const = default;
};

// A state of the watched directories: each entry, by its full path.
struct DiskState {
  std::map<std::string, FileState> files;
  bool operator<(const DiskState& other) const;
};

class Disk {
 public:
  // Watches directories (full paths, existing), whose regular files are
  // read now as the state before the run; the file at path original is
  // inode 0.  Throws std::runtime_error when
  // they cannot be read.
  Disk(const std::vector<std::string>& directories, const std::string& original);

  // Follows one line of `strace -f -y -xx -s N` output; true when it
  // changed what the disk may hold.  Throws std::runtime_error for a call
  // on a watched file it cannot follow.
  bool Follow(const std::string& line);

  // The states the disk may be found in after a power cut now; seed varies
  // the random mixes.
  std::vector<DiskState> CrashStates(unsigned seed) const;

 private:
  struct InodeChange {
    enum class Kind { Write, Length, SetAttribute, RemoveAttribute } kind;
    std::int64_t offset = 0;  // Write; Length: the new length
    Bytes bytes;              // Write: the data; attributes: the value
    std::string name;         // attribute name
  };
  struct Inode {
    Bytes durable;
    std::map<std::string, std::string> durable_attributes;
    std::vector<InodeChange> pending;
  };
  struct EntryChange {
    enum class Kind { Link, Unlink, Rename } kind;
    std::string name, to;
    int inode = -1;
  };
  struct Directory {
    std::map<std::string, int> durable;
    std::vector<EntryChange> pending;
  };
  struct Handle {
    int inode = -1;          // a file, or
    std::string directory;   // a watched directory
    std::int64_t position = 0;
  };
  // How much of each pending change a state keeps.
  struct Keep {
    std::map<int, std::map<std::int64_t, std::size_t>> pages;  // inode → page → writes kept
    std::map<int, std::size_t> lengths, attributes;            // inode → changes kept
    std::map<std::string, std::size_t> entries;                // directory → changes kept
  };
  struct Call;

  Keep KeepAll(bool all) const;
  DiskState Materialize(const Keep& keep) const;
  FileState InodeState(int inode, const Keep& keep) const;
  std::map<std::string, int> Entries(const std::string& directory, std::size_t kept) const;
  std::map<std::string, int> CurrentEntries(const std::string& directory) const;
  std::int64_t CurrentLength(int inode) const;
  std::map<std::int64_t, std::size_t> PendingPages(int inode) const;
  std::size_t CountOf(int inode, InodeChange::Kind kind) const;

  bool Apply(const Call& call);
  bool Open(int pid, const Call& call);
  int Lookup(const std::string& path) const;
  Handle* HandleOf(int pid, int fd);
  int Create();
  void Sync(const Handle& handle, bool data_only);

  std::vector<Inode> inodes_;
  std::map<std::string, Directory> directories_;
  std::map<int, std::map<int, Handle>> handles_;  // pid → fd → handle
};

}  // namespace power_loss
