// What the black-box tests of the file's replacement share: see
// replace_kit.h.
#include "replace_kit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace replace_kit {

using namespace testing_support;

bool RunningAsRoot() { return geteuid() == 0; }

ProcessResult RunTool(const std::vector<std::string>& paths, const Launch& launch) {
  ProcessOptions options{.close_input = true, .in_child = launch.also, .as_nobody = launch.as_nobody,
                         .faults = launch.faults, .time_limit = 60};
  if (!launch.state_home.empty()) options.state_home = launch.state_home;
  return RunProgram(launch.program.empty() ? TESSVANE_PATH : launch.program, paths, options);
}

ProcessResult RunTool(const std::string& path, const Launch& launch) {
  return RunTool(std::vector<std::string>{path}, launch);
}

SyscallFault KillAt(long call) { return {.number = call, .error = 0, .kill = true}; }

Page WritePage(const std::string& path, std::uint32_t width, std::uint32_t height, int seed) {
  WriteTestPage(path, {.width = width, .height = height, .rows_per_strip = 64}, static_cast<std::uint32_t>(seed));
  const std::string copy = path + ".reference.tif";
  std::filesystem::copy_file(path, copy);
  EXPECT_EQ(RunTool(copy).exit_code, 0);
  Page page{FileBytes(path), FileBytes(copy)};
  std::filesystem::remove(copy);
  return page;
}

void Own(const std::string& path, uid_t owner, mode_t mode) {
  if (RunningAsRoot()) {
    ASSERT_EQ(chown(path.c_str(), owner, owner), 0) << path;
  }
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::vector<std::string> EntriesOf(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> FilesUnder(const std::string& directory) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(directory)) return names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory)) {
    if (!entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  return names;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Attribute(const std::string& path, const char* name) {
  char value[4096];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? std::string() : std::string(value, static_cast<std::size_t>(size));
}

bool LoopMount::MountAt(const std::string& at) {
  Unmount();
  if (RunProgram("/usr/bin/mount", {"-o", "loop", image_, at}).exit_code != 0) return false;
  at_ = at;
  return true;
}

void LoopMount::Unmount() {
  if (at_.empty()) return;
  RunProgram("/usr/bin/umount", {at_});
  at_.clear();
}

bool MakeImage(const std::string& path, const std::string& kind, std::size_t size) {
  WriteFileBytes(path, {});
  std::filesystem::resize_file(path, size);
  const std::vector<std::string> quiet = kind == "btrfs" ? std::vector<std::string>{"-q", "-M", path}
                                                          : std::vector<std::string>{"-q", path};
  return RunProgram("/usr/sbin/mkfs." + kind, quiet).exit_code == 0;
}

ClosedDirectory::ClosedDirectory() : user(RunningAsRoot() ? Nobody : geteuid()) {
  EXPECT_EQ(chmod(dir.path().c_str(), 0755), 0);
  std::filesystem::create_directory(dir / "closed");
  std::filesystem::create_directory(state);
  if (RunningAsRoot()) Own(state, Nobody, 0700);
}

void ClosedDirectory::Put(const Bytes& bytes, bool new_inode) {
  EXPECT_EQ(chmod((dir / "closed").c_str(), 0755), 0);
  if (new_inode) std::filesystem::remove(page);
  std::ofstream(page, std::ios::binary | std::ios::in | std::ios::out | std::ios::trunc |
                          (new_inode ? std::ios::out : std::ios::in))
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  EXPECT_EQ(chown(page.c_str(), user, user), 0);
  EXPECT_EQ(chmod((dir / "closed").c_str(), 0555), 0);
}

Launch ClosedDirectory::launch(std::vector<SyscallFault> faults) const {
  return {.as_nobody = RunningAsRoot(), .state_home = state, .faults = std::move(faults)};
}

}  // namespace replace_kit
