// The model of a disk after a power cut: see power_loss.h.
//
// strace -xx writes every string and every path in \xHH form, so a line
// holds no quote, comma or bracket of a file's own: it is split by its
// punctuation alone.
#include "power_loss.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <stdexcept>
#include <tuple>

namespace power_loss {
namespace {

constexpr std::int64_t PageSize = 4096;
constexpr std::size_t PagesTriedAlone = 48;
constexpr int RandomMixes = 12;

std::runtime_error Unfollowable(const std::string& what, const std::string& line) {
  return std::runtime_error("the model cannot follow " + what + ": " + line.substr(0, 300));
}

Bytes Unhex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "\\x") == 0 && i + 4 <= text.size()) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i + 2, 2), nullptr, 16)));
      i += 4;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(text[i++]));
    }
  }
  return bytes;
}

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// One argument of a call: a string, a descriptor with its path, or a word.
struct Argument {
  std::string word;
  Bytes bytes;   // a string's
  int fd = -1;   // a descriptor's; AT_FDCWD is -100
  std::string path;
  bool is_string = false, is_fd = false;
};

Argument ParseArgument(const std::string& text, const std::string& line) {
  Argument argument;
  argument.word = text;
  static const std::regex Descriptor(R"re(^(-?\d+|AT_FDCWD)<(.*)>(\(deleted\))?$)re");
  std::smatch match;
  if (text.size() >= 2 && text.front() == '"') {
    if (text.back() != '"') throw Unfollowable("a string cut short", line);
    argument.is_string = true;
    argument.bytes = Unhex(text.substr(1, text.size() - 2));
  } else if (std::regex_match(text, match, Descriptor)) {
    argument.is_fd = true;
    argument.fd = match[1] == "AT_FDCWD" ? -100 : std::stoi(match[1]);
    argument.path = Text(Unhex(match[2]));
  } else if (text == "AT_FDCWD") {
    argument.fd = -100;
  } else if (!text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-')) {
    argument.fd = std::stoi(text);
  }
  return argument;
}

// Splits the text between a call's parentheses at its top-level commas.
std::vector<Argument> ParseArguments(const std::string& text, const std::string& line) {
  std::vector<Argument> arguments;
  int depth = 0;
  bool quoted = false;
  std::string current;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == '(' || c == '[' || c == '{' || c == '<')) ++depth;
    if (!quoted && (c == ')' || c == ']' || c == '}' || c == '>')) --depth;
    if (!quoted && depth == 0 && c == ',' && i + 1 < text.size() && text[i + 1] == ' ') {
      arguments.push_back(ParseArgument(current, line));
      current.clear();
      ++i;
      continue;
    }
    current += c;
  }
  if (!current.empty()) arguments.push_back(ParseArgument(current, line));
  return arguments;
}

bool HasFlag(const std::string& flags, const std::string& flag) {
  return std::regex_search(flags, std::regex("(^|\\|)" + flag + "($|\\|)"));
}

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }
std::string Leaf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// The full path of name (absolute, or relative to the directory at).
std::string Resolve(const Argument& at, const Bytes& name) {
  const std::string text = Text(name);
  if (!text.empty() && text[0] == '/') return text;
  if (text == ".") return at.path;
  return at.path + "/" + text;
}

}  // namespace

bool DiskState::operator<(const DiskState& other) const {
  return std::lexicographical_compare(
      files.begin(), files.end(), other.files.begin(), other.files.end(), [](const auto& a, const auto& b) {
        return std::tie(a.first, a.second.inode, a.second.contents, a.second.attributes) <
               std::tie(b.first, b.second.inode, b.second.contents, b.second.attributes);
      });
}

// One recorded call that succeeded.
struct Disk::Call {
  std::string name, line;
  std::vector<Argument> arguments;
  long long result = 0;
  Argument returned;  // the descriptor an open returns, with its path

  const Argument& at(std::size_t i) const {
    if (i >= arguments.size()) throw Unfollowable("a call with too few arguments", line);
    return arguments[i];
  }
};

Disk::Disk(const std::vector<std::string>& directories, const std::string& original) {
  inodes_.emplace_back();  // inode 0: the original
  for (const std::string& path : directories) {
    Directory& directory = directories_[path];
    DIR* const listing = opendir(path.c_str());
    if (listing == nullptr) throw std::runtime_error("cannot list " + path);
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name, full = path + "/" + name;
      struct stat status {};
      if (lstat(full.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
      std::ifstream file(full, std::ios::binary);
      const Bytes bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
      const int inode = full == original ? 0 : Create();
      inodes_[static_cast<std::size_t>(inode)].durable = bytes;
      char value[4096];
      const ssize_t size = getxattr(full.c_str(), "user.tessvane.pending", value, sizeof value);
      if (size >= 0) {
        inodes_[static_cast<std::size_t>(inode)].durable_attributes["user.tessvane.pending"] =
            std::string(value, static_cast<std::size_t>(size));
      }
      directory.durable[name] = inode;
    }
    closedir(listing);
  }
}

int Disk::Create() {
  inodes_.emplace_back();
  return static_cast<int>(inodes_.size()) - 1;
}

bool Disk::Follow(const std::string& line) {
  if (line.find("<unfinished") != std::string::npos || line.find("resumed>") != std::string::npos) {
    throw Unfollowable("calls of several threads at once", line);
  }
  // PID NAME(ARGUMENTS) = RESULT[<PATH>][(deleted)][ ...]; anything else is
  // a signal or an exit.
  const std::size_t name_at = line.find_first_not_of("0123456789 ");
  const std::size_t open = line.find('(', name_at);
  const std::size_t close = line.rfind(") = ");
  if (name_at == 0 || name_at == std::string::npos || open == std::string::npos || close == std::string::npos ||
      close < open) {
    return false;
  }
  Call call;
  call.line = line;
  call.name = line.substr(name_at, open - name_at);
  call.arguments = ParseArguments(line.substr(open + 1, close - open - 1), line);
  const std::string result = line.substr(close + 4);
  const std::size_t result_end = result.find_first_of("< ");
  call.result = std::stoll(result.substr(0, result_end), nullptr, 0);
  if (call.result < 0) return false;
  if (result_end != std::string::npos && result[result_end] == '<') {
    call.returned = ParseArgument(result.substr(0, result.find('>') + 1), line);
  }
  Argument pid;
  pid.word = line.substr(0, line.find(' '));
  handles_[std::stoi(pid.word)];  // a process seen
  call.arguments.insert(call.arguments.begin(), pid);  // the pid first
  return Apply(call);
}

Disk::Handle* Disk::HandleOf(int pid, int fd) {
  const auto found = handles_[pid].find(fd);
  return found == handles_[pid].end() ? nullptr : &found->second;
}

int Disk::Lookup(const std::string& path) const {
  const auto directory = directories_.find(Parent(path));
  if (directory == directories_.end()) return -1;
  const std::map<std::string, int> entries = CurrentEntries(directory->first);
  const auto entry = entries.find(Leaf(path));
  return entry == entries.end() ? -1 : entry->second;
}

bool Disk::Open(int pid, const Call& call) {
  const bool at = call.name == "openat";
  const std::string flags = call.at(at ? 3 : 2).word;
  const std::string path = call.returned.path;
  Handle handle;
  if (directories_.count(path) != 0) {
    handle.directory = path;
  } else if (HasFlag(flags, "O_TMPFILE")) {
    if (directories_.count(Parent(path)) == 0) return false;
    handle.inode = Create();
  } else if (directories_.count(Parent(path)) != 0) {
    handle.inode = Lookup(path);
    if (handle.inode < 0) {
      handle.inode = Create();
      directories_[Parent(path)].pending.push_back({EntryChange::Kind::Link, Leaf(path), "", handle.inode});
    } else if (HasFlag(flags, "O_TRUNC") || call.name == "creat") {
      inodes_[static_cast<std::size_t>(handle.inode)].pending.push_back({InodeChange::Kind::Length, 0, {}, ""});
    }
  } else {
    return false;
  }
  handles_[pid][static_cast<int>(call.result)] = handle;
  return true;
}

void Disk::Sync(const Handle& handle, bool data_only) {
  if (!handle.directory.empty()) {
    Directory& directory = directories_[handle.directory];
    directory.durable = CurrentEntries(handle.directory);
    directory.pending.clear();
    return;
  }
  Inode& inode = inodes_[static_cast<std::size_t>(handle.inode)];
  Keep keep = KeepAll(true);
  if (data_only) keep.attributes[handle.inode] = 0;
  const FileState now = InodeState(handle.inode, keep);
  inode.durable = now.contents;
  std::vector<InodeChange> left;
  for (const InodeChange& change : inode.pending) {
    const bool attribute = change.kind == InodeChange::Kind::SetAttribute ||
                           change.kind == InodeChange::Kind::RemoveAttribute;
    if (data_only && attribute) left.push_back(change);
  }
  if (!data_only) inode.durable_attributes = now.attributes;
  inode.pending = left;
}

bool Disk::Apply(const Call& call) {
  const int pid = std::stoi(call.arguments[0].word);
  const auto arg = [&](std::size_t i) -> const Argument& { return call.at(i + 1); };
  const std::string& name = call.name;
  if (name == "open" || name == "openat" || name == "creat") {
    return Open(pid, call);
  }
  if (name == "clone" || name == "clone3" || name == "fork" || name == "vfork") {
    handles_[static_cast<int>(call.result)] = handles_[pid];
    return false;
  }
  if (name == "rename" || name == "renameat" || name == "renameat2" || name == "link" || name == "linkat" ||
      name == "unlink" || name == "unlinkat" || name == "mkdir" || name == "mkdirat") {
    const bool at = name.back() == 't' || name == "renameat2";
    const std::string from = at ? Resolve(arg(0), arg(1).bytes) : Text(arg(0).bytes);
    if (name.rfind("unlink", 0) == 0 || name.rfind("mkdir", 0) == 0) {
      if (directories_.count(Parent(from)) == 0) return false;
      if (name.rfind("mkdir", 0) == 0 || HasFlag(at ? arg(2).word : "", "AT_REMOVEDIR")) {
        throw Unfollowable("a directory made or removed", call.line);
      }
      directories_[Parent(from)].pending.push_back({EntryChange::Kind::Unlink, Leaf(from), "", -1});
      return true;
    }
    const std::string to = at ? Resolve(arg(2), arg(3).bytes) : Text(arg(1).bytes);
    if (directories_.count(Parent(to)) == 0) return false;
    if (name.rfind("link", 0) == 0) {
      int inode = Lookup(from);
      const std::string proc = "/proc/self/fd/";
      if (from.rfind(proc, 0) == 0) {
        const Handle* const source = HandleOf(pid, std::stoi(from.substr(proc.size())));
        inode = source == nullptr ? -1 : source->inode;
      }
      if (inode < 0) throw Unfollowable("a link of a file not followed", call.line);
      directories_[Parent(to)].pending.push_back({EntryChange::Kind::Link, Leaf(to), "", inode});
      return true;
    }
    if (Parent(from) != Parent(to)) throw Unfollowable("a rename across directories", call.line);
    directories_[Parent(to)].pending.push_back({EntryChange::Kind::Rename, Leaf(from), Leaf(to), -1});
    return true;
  }
  if (name == "sync" || name == "syncfs") {
    for (auto& [path, directory] : directories_) Sync(Handle{-1, path, 0}, false);
    for (std::size_t i = 0; i < inodes_.size(); ++i) Sync(Handle{static_cast<int>(i), "", 0}, false);
    return true;
  }
  Handle* const handle = arg(0).is_fd || arg(0).fd >= 0 ? HandleOf(pid, arg(0).fd) : nullptr;
  if (name == "close") {
    handles_[pid].erase(arg(0).fd);
    return false;
  }
  if (name == "dup" || name == "dup2" || name == "dup3" || (name == "fcntl" && arg(1).word.rfind("F_DUPFD", 0) == 0)) {
    if (handle != nullptr) handles_[pid][static_cast<int>(call.result)] = *handle;
    return false;
  }
  if (name == "fsync" || name == "fdatasync") {
    if (handle != nullptr) Sync(*handle, name == "fdatasync");
    return handle != nullptr;
  }
  if (handle == nullptr || handle->inode < 0) return false;
  Inode& inode = inodes_[static_cast<std::size_t>(handle->inode)];
  if (name == "write" || name == "pwrite64") {
    const std::int64_t offset = name == "write" ? handle->position : std::stoll(arg(3).word);
    Bytes data = arg(1).bytes;
    data.resize(static_cast<std::size_t>(call.result));
    const std::int64_t end = offset + static_cast<std::int64_t>(data.size());
    const bool longer = end > CurrentLength(handle->inode);
    inode.pending.push_back({InodeChange::Kind::Write, offset, std::move(data), ""});
    if (longer) inode.pending.push_back({InodeChange::Kind::Length, end, {}, ""});
    if (name == "write") handle->position = end;
  } else if (name == "lseek") {
    handle->position = call.result;
  } else if (name == "ftruncate") {
    inode.pending.push_back({InodeChange::Kind::Length, std::stoll(arg(1).word), {}, ""});
  } else if (name == "fallocate") {
    const std::int64_t end = std::stoll(arg(2).word) + std::stoll(arg(3).word);
    if (arg(1).word != "0" && !HasFlag(arg(1).word, "FALLOC_FL_KEEP_SIZE")) {
      throw Unfollowable("an fallocate that changes contents", call.line);
    }
    if (arg(1).word == "0" && end > CurrentLength(handle->inode)) {
      inode.pending.push_back({InodeChange::Kind::Length, end, {}, ""});
    }
  } else if (name == "fsetxattr" || name == "fremovexattr") {
    const std::string attribute = Text(arg(1).bytes);
    if (attribute.rfind("user.", 0) != 0) return false;
    if (name == "fsetxattr") {
      Bytes value = arg(2).bytes;
      value.resize(static_cast<std::size_t>(std::stoll(arg(3).word)));
      inode.pending.push_back({InodeChange::Kind::SetAttribute, 0, std::move(value), attribute});
    } else {
      inode.pending.push_back({InodeChange::Kind::RemoveAttribute, 0, {}, attribute});
    }
  } else if (name == "writev" || name == "pwritev" || name == "pwritev2" || name == "copy_file_range" ||
             name == "sendfile" || name == "truncate" || name == "setxattr" || name == "removexattr") {
    throw Unfollowable("a call the model has no rule for", call.line);
  }
  return true;
}

std::map<std::string, int> Disk::Entries(const std::string& path, std::size_t kept) const {
  const Directory& directory = directories_.at(path);
  std::map<std::string, int> entries = directory.durable;
  for (std::size_t i = 0; i < kept && i < directory.pending.size(); ++i) {
    const EntryChange& change = directory.pending[i];
    if (change.kind == EntryChange::Kind::Link) {
      entries[change.name] = change.inode;
    } else if (change.kind == EntryChange::Kind::Unlink) {
      entries.erase(change.name);
    } else if (const auto from = entries.find(change.name); from != entries.end()) {
      const int inode = from->second;
      entries.erase(from);
      entries[change.to] = inode;
    }
  }
  return entries;
}

std::map<std::string, int> Disk::CurrentEntries(const std::string& directory) const {
  return Entries(directory, directories_.at(directory).pending.size());
}

std::int64_t Disk::CurrentLength(int inode) const {
  return static_cast<std::int64_t>(InodeState(inode, KeepAll(true)).contents.size());
}

// The pages that pending writes of inode touch, and how many writes each.
std::map<std::int64_t, std::size_t> Disk::PendingPages(int inode) const {
  std::map<std::int64_t, std::size_t> pages;
  for (const InodeChange& change : inodes_[static_cast<std::size_t>(inode)].pending) {
    if (change.kind != InodeChange::Kind::Write || change.bytes.empty()) continue;
    const std::int64_t end = change.offset + static_cast<std::int64_t>(change.bytes.size());
    for (std::int64_t page = change.offset / PageSize; page * PageSize < end; ++page) ++pages[page];
  }
  return pages;
}

std::size_t Disk::CountOf(int inode, InodeChange::Kind kind) const {
  const auto& pending = inodes_[static_cast<std::size_t>(inode)].pending;
  return static_cast<std::size_t>(std::count_if(pending.begin(), pending.end(), [&](const InodeChange& change) {
    return change.kind == kind ||
           (kind == InodeChange::Kind::SetAttribute && change.kind == InodeChange::Kind::RemoveAttribute);
  }));
}

Disk::Keep Disk::KeepAll(bool all) const {
  Keep keep;
  for (std::size_t i = 0; i < inodes_.size(); ++i) {
    const int inode = static_cast<int>(i);
    auto& pages = keep.pages[inode];
    for (const auto& [page, writes] : PendingPages(inode)) pages[page] = all ? writes : 0;
    keep.lengths[inode] = all ? CountOf(inode, InodeChange::Kind::Length) : 0;
    keep.attributes[inode] = all ? CountOf(inode, InodeChange::Kind::SetAttribute) : 0;
  }
  for (const auto& [path, directory] : directories_) keep.entries[path] = all ? directory.pending.size() : 0;
  return keep;
}

FileState Disk::InodeState(int index, const Keep& keep) const {
  const Inode& inode = inodes_[static_cast<std::size_t>(index)];
  FileState state{index, inode.durable, inode.durable_attributes};
  Bytes& bytes = state.contents;
  auto length = static_cast<std::int64_t>(bytes.size());
  std::map<std::int64_t, std::size_t> writes_seen;
  std::size_t lengths_seen = 0, attributes_seen = 0;
  const auto kept = [&](const auto& map, auto key) {
    const auto found = map.find(key);
    return found == map.end() ? std::size_t{0} : found->second;
  };
  for (const InodeChange& change : inode.pending) {
    if (change.kind == InodeChange::Kind::Write) {
      const std::int64_t end = change.offset + static_cast<std::int64_t>(change.bytes.size());
      for (std::int64_t page = change.offset / PageSize; page * PageSize < end; ++page) {
        if (writes_seen[page]++ >= kept(keep.pages.at(index), page)) continue;
        const std::int64_t from = std::max(change.offset, page * PageSize), to = std::min(end, (page + 1) * PageSize);
        if (static_cast<std::int64_t>(bytes.size()) < to) bytes.resize(static_cast<std::size_t>(to), 0);
        std::copy(change.bytes.begin() + (from - change.offset), change.bytes.begin() + (to - change.offset),
                  bytes.begin() + from);
      }
    } else if (change.kind == InodeChange::Kind::Length) {
      if (lengths_seen++ >= kept(keep.lengths, index)) continue;
      length = change.offset;
      bytes.resize(static_cast<std::size_t>(std::min<std::int64_t>(length, static_cast<std::int64_t>(bytes.size()))));
    } else if (attributes_seen++ < kept(keep.attributes, index)) {
      if (change.kind == InodeChange::Kind::SetAttribute) {
        state.attributes[change.name] = Text(change.bytes);
      } else {
        state.attributes.erase(change.name);
      }
    }
  }
  bytes.resize(static_cast<std::size_t>(length), 0);
  return state;
}

DiskState Disk::Materialize(const Keep& keep) const {
  DiskState state;
  for (const auto& [path, directory] : directories_) {
    for (const auto& [name, inode] : Entries(path, keep.entries.at(path))) {
      state.files[path + "/" + name] = InodeState(inode, keep);
    }
  }
  return state;
}

std::vector<DiskState> Disk::CrashStates(unsigned seed) const {
  const Keep all = KeepAll(true), none = KeepAll(false);
  std::vector<Keep> keeps = {all, none};
  for (std::size_t i = 0; i < inodes_.size(); ++i) {
    const int inode = static_cast<int>(i);
    if (inodes_[i].pending.empty()) continue;
    for (const Keep* base : {&all, &none}) {
      const Keep& other = base == &all ? none : all;
      Keep pages = *base, lengths = *base, attributes = *base;
      pages.pages[inode] = other.pages.at(inode);
      lengths.lengths[inode] = other.lengths.at(inode);
      attributes.attributes[inode] = other.attributes.at(inode);
      keeps.insert(keeps.end(), {pages, lengths, attributes});
      for (std::size_t cut = 1; cut < all.lengths.at(inode); ++cut) {
        Keep partial = *base;
        partial.lengths[inode] = cut;
        keeps.push_back(partial);
      }
      const auto& page_map = all.pages.at(inode);
      const std::size_t step = std::max<std::size_t>(1, page_map.size() / PagesTriedAlone);
      std::size_t index = 0;
      for (const auto& [page, writes] : page_map) {
        if (index++ % step != 0 && index != page_map.size()) continue;
        Keep alone = *base;
        alone.pages[inode][page] = other.pages.at(inode).at(page);
        keeps.push_back(alone);
      }
    }
  }
  for (const auto& [path, directory] : directories_) {
    for (std::size_t cut = 0; cut < directory.pending.size(); ++cut) {
      for (const Keep* base : {&all, &none}) {
        Keep partial = *base;
        partial.entries[path] = cut;
        keeps.push_back(partial);
      }
    }
  }
  std::mt19937 random(seed);
  for (int mix = 0; mix < RandomMixes; ++mix) {
    Keep keep = all;
    const auto pick = [&](std::size_t most) { return std::uniform_int_distribution<std::size_t>(0, most)(random); };
    for (auto& [inode, pages] : keep.pages) {
      for (auto& [page, writes] : pages) writes = pick(writes);
    }
    for (auto& [inode, count] : keep.lengths) count = pick(count);
    for (auto& [inode, count] : keep.attributes) count = pick(count);
    for (auto& [path, count] : keep.entries) count = pick(count);
    keeps.push_back(keep);
  }
  std::set<DiskState> distinct;
  for (const Keep& keep : keeps) distinct.insert(Materialize(keep));
  return {distinct.begin(), distinct.end()};
}

}  // namespace power_loss
