// The places a backup may live in, and why each other place was refused.
//
// In the order tried: beside the target, where its directory can be
// flushed and entries removed, and nobody else may remove or rename them
// (the user's or root's directory that nobody else may write, or root's
// sticky one); the user's state directory
// ($XDG_STATE_HOME/tessvane, else $HOME/.local/state/tessvane); else
// /var/tmp/tessvane-UID.  A state directory is used only when it is a
// directory opened without following a symbolic link in its last step,
// the user's own, writable by nobody else, reached through directories
// that keep their entries from others as beside does, and, unless the target itself
// lives in memory, on a file system that keeps its files over a power cut
// (not tmpfs or ramfs): a backup that a power cut loses cannot put back a
// file the same power cut tore.  Each directory made for one (mode 0700)
// is flushed in its parent before anything is put in it.
#pragma once

#include <string>
#include <vector>

#include "unique_fd.h"

namespace tessvane {

// A directory a backup may live in, and how to name it to the user.
struct BackupPlace {
  UniqueFd directory;
  std::string description;  // "beside the file", or the directory's path, quoted to print
  bool listable = true;     // opened for reading: its entries can be listed
};

struct BackupPlaces {
  std::vector<BackupPlace> usable;   // in the order tried
  std::vector<std::string> refused;  // "PLACE: why", for the reasons of a failure
};

// The places for backups of the target open at target, whose directory is
// open at beside (-1: not a place; beside_listable: it was opened for
// reading).  create: make a state directory that is missing.  Raises
// nothing but std::bad_alloc.
BackupPlaces FindBackupPlaces(int beside, bool beside_listable, int target, bool create);

}  // namespace tessvane
