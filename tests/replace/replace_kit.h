// What the black-box tests of the file's replacement share: starting the
// tool as the tester or as nobody, with a state directory, system call
// faults and kill points; test pages with what one run makes of them; the
// closed directory whose page is rewritten in place; and looking at what
// runs left behind.
//
// Runs as another user are made as nobody, so the tests that need them run
// only as root.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "run_process.h"
#include "syscall_faults.h"
#include "test_tiff.h"

namespace replace_kit {

using Bytes = std::vector<std::uint8_t>;
using testing_support::ProcessResult;
using testing_support::ScratchDirectory;
using testing_support::SyscallFault;

inline constexpr uid_t Nobody = 65534;

bool RunningAsRoot();

// How a run is started: as nobody or as the tester, its state directory,
// and system call faults or kill points; the kit's ProcessOptions, for
// these tests' own few.
struct Launch {
  bool as_nobody = false;
  std::string state_home{};
  std::vector<SyscallFault> faults{};
  std::function<void()> also{};  // more set-up in the child, before the user changes
  std::string program{};         // another build of the tool; empty: the one under test
};

// Runs the tool on paths, standard input closed; a run still going after
// a minute ends with SIGALRM.
ProcessResult RunTool(const std::vector<std::string>& paths, const Launch& launch = {});
ProcessResult RunTool(const std::string& path, const Launch& launch = {});

SyscallFault KillAt(long call);

// A test page at path, and what one run of the tool makes of it (a run on
// a private copy).
struct Page {
  Bytes original;
  Bytes cleared;
};
Page WritePage(const std::string& path, std::uint32_t width, std::uint32_t height, int seed);

// Gives path owner (as root; an ordinary user's files stay the user's) and
// mode.
void Own(const std::string& path, uid_t owner, mode_t mode);

// The names in directory, sorted; the files anywhere under it.
std::vector<std::string> EntriesOf(const std::string& directory);
std::vector<std::string> FilesUnder(const std::string& directory);

bool Contains(const std::string& text, const std::string& part);

// The value of the extended attribute name of path; empty when it has none.
std::string Attribute(const std::string& path, const char* name);

// A file system image mounted through a loop device (mount -o loop) at a
// directory; unmounting it frees the loop device.
class LoopMount {
 public:
  explicit LoopMount(std::string image) : image_(std::move(image)) {}
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  ~LoopMount() { Unmount(); }
  bool MountAt(const std::string& at);  // false when it cannot be mounted
  void Unmount();

 private:
  std::string image_, at_;
};

// A fresh file system image of kind ("ext4", "btrfs") and size at path;
// false when it cannot be made.
bool MakeImage(const std::string& path, const std::string& kind, std::size_t size);

// Where the page is the runner's own file in a directory the runner may
// not write, it is rewritten in place.  Root ignores directory modes, so
// as root the runs are made as nobody.
struct ClosedDirectory {
  ScratchDirectory dir;
  std::string page = dir / "closed/page.tif";
  std::string state = dir / "state";
  uid_t user;

  ClosedDirectory();
  // Puts bytes at the page, owned by the runner, in its closed directory.
  void Put(const Bytes& bytes, bool new_inode);
  Launch launch(std::vector<SyscallFault> faults = {}) const;
};

}  // namespace replace_kit
