// libtiff handles: ownership of an open TIFF, the procedures every libtiff
// client of the tool shares, handles of a thread's own whose messages are
// kept, the reader's handle whose messages can be held back, and a TIFF
// written through a file descriptor whose every write is checked.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tessvane {

// An open libtiff handle, closed on destruction.
struct TiffCloser {
  void operator()(TIFF* tiff) const noexcept { TIFFClose(tiff); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

// The value of tag in tiff's open directory as Value: where the directory
// lacks it, the library's default (DefaultedField) or zero (FieldOrZero),
// zero too where the library has no default.  Each raises nothing.
template <typename Value>
Value DefaultedField(TIFF* tiff, ttag_t tag) {
  Value value{};
  TIFFGetFieldDefaulted(tiff, tag, &value);
  return value;
}

template <typename Value>
Value FieldOrZero(TIFF* tiff, ttag_t tag) {
  Value value{};
  TIFFGetField(tiff, tag, &value);
  return value;
}

// The container of a TIFF file: BigTIFF or classic, and its byte order.
struct TiffContainer {
  bool big_tiff = false;
  bool big_endian = false;
};

// The procedures of a libtiff client that keeps its own place in what it
// reads or writes: Client has the members position and length, and for
// ClientRead fd, read with pread at that place.  SeekedPosition is lseek's
// arithmetic on them: SEEK_CUR and SEEK_END take offset as signed; -1 (as
// a toff_t) for a place before the start, past what off_t holds, or
// another whence.  Each raises nothing.
toff_t SeekedPosition(std::uint64_t position, std::uint64_t length, toff_t offset, int whence);

template <class Client>
toff_t ClientSeek(thandle_t handle, toff_t offset, int whence) {
  auto* client = static_cast<Client*>(handle);
  const toff_t target = SeekedPosition(client->position, client->length, offset, whence);
  if (target != static_cast<toff_t>(-1)) client->position = target;
  return target;
}

template <class Client>
toff_t ClientSize(thandle_t handle) {
  return static_cast<Client*>(handle)->length;
}

// pread of size bytes at position into buffer, position moved past what
// was read; -1 when pread fails.
tmsize_t ReadAt(int fd, std::uint64_t& position, void* buffer, tmsize_t size);

template <class Client>
tmsize_t ClientRead(thandle_t handle, void* buffer, tmsize_t size) {
  auto* client = static_cast<Client*>(handle);
  return ReadAt(client->fd, client->position, buffer, size);
}

// The procedures that do nothing: a read that finds no byte (a client
// that only writes), a write that fails (one that only reads), a close
// that leaves the descriptor to its owner, and no memory map (the library
// reads instead).  Each raises nothing.
tmsize_t ClientReadsNothing(thandle_t, void*, tmsize_t);
tmsize_t ClientRefusesWrites(thandle_t, void*, tmsize_t);
int ClientKeepsOpen(thandle_t);
int ClientMapsNothing(thandle_t, void**, toff_t*);
void ClientUnmapsNothing(thandle_t, void*, toff_t);

// A warning or error the library raised on a handle, kept: format is the
// library's own, before its values were put in, and tells one kind of
// message from another.
struct LibraryMessage {
  bool error;
  bool has_module;
  std::string module;
  std::string text;
  std::string format;
};

// What the library says on a handle with a log: kept while recording, to
// be said later, or not at all.  Otherwise a handle that passes on (the
// reader's own) lets it go on to the library's default handlers; on any
// other handle (a thread's own, reading the directories the reader's
// handle has read and said already) it ends there.
// said counts what was said through a handle that passes on, so that a
// count taken before and after a call tells whether the call made the
// library say anything.
struct MessageLog {
  bool recording = false;
  bool passes_on = false;
  std::uint64_t said = 0;
  std::vector<LibraryMessage> messages;
};

// Opens a handle of a thread's own on client with read, write and seek,
// and size, the other procedures doing nothing; its messages go to log as
// MessageLog says (null: errors go on to the default handlers, warnings
// end there).  Null when the library cannot open it.  Raises nothing.
TIFF* OpenOwnHandle(const char* name, const char* mode, thandle_t client, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFSizeProc size, MessageLog* log);

// Opens the file at fd as libtiff's own descriptor client does (the
// handle closes fd), its messages going to log, which it makes pass on,
// and which MessageLogOf finds again.
// Null when the library cannot open it.  Raises nothing.
TIFF* OpenLoggedFdHandle(int fd, const char* name, const char* mode, MessageLog* log);

// The log of a handle OpenLoggedFdHandle opened; null for any other.
// Raises nothing.
MessageLog* MessageLogOf(TIFF* tiff);

// How many messages the library has said through tiff, a handle
// OpenLoggedFdHandle opened (held ones count once said); 0 for any other.
// Raises nothing.
std::uint64_t MessagesSaidOn(TIFF* tiff);

// Says messages through tiff, in order, as if tiff had raised them.
// Raises nothing.
void SayMessages(TIFF* tiff, const std::vector<LibraryMessage>& messages);

// While it lasts, what the library says on tiff is kept rather than said,
// where tiff has a log (MessageLogOf); Say says it, and what is not said
// is dropped.  For reading again what was read and said already.
class HeldMessages {
 public:
  explicit HeldMessages(TIFF* tiff) noexcept;
  ~HeldMessages();
  HeldMessages(const HeldMessages&) = delete;
  HeldMessages& operator=(const HeldMessages&) = delete;

  // True when tiff's messages are held.  Raises nothing.
  bool Holding() const noexcept { return log_ != nullptr; }
  // Stops holding and says what was kept.  Raises nothing.
  void Say() noexcept;

 private:
  TIFF* tiff_;
  MessageLog* log_;
};

// Writes a whole TIFF file, directory included, to the empty file open at
// fd, in container: encode sets up the image on the handle it is given.
// name is used in the library's diagnostics only.  EFileFailed
// (FileStep::Write): with the errno when fd cannot be examined or a write
// to it fails (whatever encode raised after it), without one when the
// library cannot begin or finish the file or encode returns false.  What
// else encode raises passes through.  The descriptor stays open.
void WriteTiffToFd(int fd, const char* name, TiffContainer container,
                   const std::function<bool(TIFF*)>& encode);

}  // namespace tessvane
