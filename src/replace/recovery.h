// What the next run on a file does about an earlier run that was cut off,
// before the file is read: the recovery half of the protocol in
// in_place.h.
//
// With the file's lock held: a mark that this tool did not write, naming
// no backup of this file, or of another user refuses the file; a mark of
// the user's own puts the file back from its backup, when the backup is
// there, trusted and the file a state that the cut-off overwrite or
// restore leaves, and refuses it otherwise (invariant 5); then the
// temporary files that killed runs left beside the file are removed, and
// the backups of the file that no mark names are settled, none restored
// (in_place.h, last paragraph).
#pragma once

#include <string>
#include <vector>

namespace tessvane {

class Target;

// Puts right what cut-off runs left on the locked target, appending to
// notices what the user should be told.  EFileFailed(Lock) when the file
// is refused, nothing of the tool's changed; EFileFailed(Lock or Write)
// when the file cannot be put back, its mark and backup left.
void PutRightAfterCutOffRuns(const Target& target, std::vector<std::string>& notices);

}  // namespace tessvane
