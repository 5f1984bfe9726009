// libtiff handles and clients: see tiff_handle.h.
//
// Invariant: the sink's failed flag is set by the first write that does not
// complete, so a short or failed write can never pass as a whole file.
#include "tiff_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "file_failure.h"

namespace tessvane {
namespace {

// Bytes written between two writeback hints: large enough that the hints
// cost few system calls, small enough that the final flush finds little
// left to write.
constexpr std::uint64_t WritebackStep = std::uint64_t{4} << 20;

// The descriptor libtiff writes to, where the library stands in it, and
// whether any of its writes failed.  While the library writes, the sink is
// the only user of the descriptor, so it keeps the position and the length
// itself (reads and writes go through pread and pwrite) instead of asking
// the system at every strip.
struct Sink {
  int fd;
  std::uint64_t position = 0;       // where the next read or write starts
  std::uint64_t length = 0;         // the file's length
  std::uint64_t writeback_end = 0;  // bytes before it were handed to writeback
  bool failed = false;
  int error = 0;                    // errno of the first failed write
};

// Starts writing the file's new bytes to disk once a step of them is
// waiting, while the rest is being encoded, so that the final flush has
// less to wait for.  Only a hint: the flush checks every byte.
void StartWriteback(Sink& sink) {
  if (sink.length < sink.writeback_end + WritebackStep) return;
  sync_file_range(sink.fd, static_cast<off_t>(sink.writeback_end),
                  static_cast<off_t>(sink.length - sink.writeback_end), SYNC_FILE_RANGE_WRITE);
  sink.writeback_end = sink.length;
}

tmsize_t SinkWrite(thandle_t handle, void* buffer, tmsize_t size) {
  auto* sink = static_cast<Sink*>(handle);
  const auto* bytes = static_cast<const char*>(buffer);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t written = pwrite(sink->fd, bytes + done, static_cast<std::size_t>(size - done),
                                   static_cast<off_t>(sink->position));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      if (!sink->failed) sink->error = written < 0 ? errno : EIO;
      sink->failed = true;
      break;
    }
    done += written;
    sink->position += static_cast<std::uint64_t>(written);
  }
  if (sink->position > sink->length) sink->length = sink->position;
  StartWriteback(*sink);
  return done;
}

// The library's mode for a new file in container ("8": BigTIFF; "b"/"l":
// big- or little-endian, whatever the machine's order).
const char* WriteMode(TiffContainer container) {
  if (container.big_tiff) return container.big_endian ? "w8b" : "w8l";
  return container.big_endian ? "wb" : "wl";
}

// The name a handle's log is attached under (TIFFSetClientInfo).
constexpr char LogName[] = "tessvane message log";

// The handlers of a handle's warnings (error false) and errors, log its
// MessageLog or null; true when the message ends here.  A message that
// cannot be kept for want of memory is dropped.
int HandleMessage(bool error, void* log, const char* module, const char* format, va_list arguments) {
  auto* const kept = static_cast<MessageLog*>(log);
  if (kept == nullptr) return error ? 0 : 1;
  if (!kept->recording) {
    if (!kept->passes_on) return 1;
    ++kept->said;
    return 0;
  }
  try {
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    const bool has_module = module != nullptr;
    kept->messages.push_back({error, has_module, has_module ? module : "", std::move(text), format});
  } catch (...) {
  }
  return 1;
}

int HandleWarning(TIFF*, void* log, const char* module, const char* format, va_list arguments) {
  return HandleMessage(false, log, module, format, arguments);
}

int HandleError(TIFF*, void* log, const char* module, const char* format, va_list arguments) {
  return HandleMessage(true, log, module, format, arguments);
}

}  // namespace

tmsize_t ClientReadsNothing(thandle_t, void*, tmsize_t) { return 0; }
tmsize_t ClientRefusesWrites(thandle_t, void*, tmsize_t) { return -1; }
int ClientKeepsOpen(thandle_t) { return 0; }
int ClientMapsNothing(thandle_t, void**, toff_t*) { return 0; }
void ClientUnmapsNothing(thandle_t, void*, toff_t) {}

TIFF* OpenOwnHandle(const char* name, const char* mode, thandle_t client, TIFFReadWriteProc read,
                    TIFFReadWriteProc write, TIFFSeekProc seek, TIFFSizeProc size, MessageLog* log) {
  TIFFOpenOptions* const options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  TIFFOpenOptionsSetWarningHandlerExtR(options, HandleWarning, log);
  TIFFOpenOptionsSetErrorHandlerExtR(options, HandleError, log);
  TIFF* const tiff = TIFFClientOpenExt(name, mode, client, read, write, seek, ClientKeepsOpen, size,
                                       ClientMapsNothing, ClientUnmapsNothing, options);
  TIFFOpenOptionsFree(options);
  return tiff;
}

TIFF* OpenLoggedFdHandle(int fd, const char* name, const char* mode, MessageLog* log) {
  TIFFOpenOptions* const options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  log->passes_on = true;
  TIFFOpenOptionsSetWarningHandlerExtR(options, HandleWarning, log);
  TIFFOpenOptionsSetErrorHandlerExtR(options, HandleError, log);
  TIFF* const tiff = TIFFFdOpenExt(fd, name, mode, options);
  TIFFOpenOptionsFree(options);
  if (tiff != nullptr) TIFFSetClientInfo(tiff, log, LogName);
  return tiff;
}

MessageLog* MessageLogOf(TIFF* tiff) { return static_cast<MessageLog*>(TIFFGetClientInfo(tiff, LogName)); }

std::uint64_t MessagesSaidOn(TIFF* tiff) {
  const MessageLog* const log = MessageLogOf(tiff);
  return log == nullptr ? 0 : log->said;
}

void SayMessages(TIFF* tiff, const std::vector<LibraryMessage>& messages) {
  for (const LibraryMessage& message : messages) {
    const char* const module = message.has_module ? message.module.c_str() : nullptr;
    if (message.error) {
      TIFFErrorExtR(tiff, module, "%s", message.text.c_str());
    } else {
      TIFFWarningExtR(tiff, module, "%s", message.text.c_str());
    }
  }
}

HeldMessages::HeldMessages(TIFF* tiff) noexcept : tiff_(tiff), log_(MessageLogOf(tiff)) {
  // Already held by an outer hold: that one says or drops them.
  if (log_ != nullptr && log_->recording) log_ = nullptr;
  if (log_ != nullptr) log_->recording = true;
}

HeldMessages::~HeldMessages() {
  if (log_ == nullptr) return;
  log_->recording = false;
  log_->messages.clear();
}

void HeldMessages::Say() noexcept {
  if (log_ == nullptr) return;
  log_->recording = false;
  std::vector<LibraryMessage> kept = std::move(log_->messages);
  log_->messages.clear();
  SayMessages(tiff_, kept);
  log_ = nullptr;
}

toff_t SeekedPosition(std::uint64_t position, std::uint64_t length, toff_t offset, int whence) {
  std::uint64_t target = offset;
  if (whence == SEEK_CUR || whence == SEEK_END) {
    const std::uint64_t base = whence == SEEK_CUR ? position : length;
    const auto step = static_cast<std::int64_t>(offset);
    // -(step + 1) cannot overflow; base + step ≥ 0 means base > -(step + 1).
    const auto back = step < 0 ? static_cast<std::uint64_t>(-(step + 1)) : 0;
    if (step < 0 && back >= base) return static_cast<toff_t>(-1);
    target = step < 0 ? base - back - 1 : base + static_cast<std::uint64_t>(step);
  } else if (whence != SEEK_SET) {
    return static_cast<toff_t>(-1);
  }
  if (target > static_cast<std::uint64_t>(INT64_MAX)) return static_cast<toff_t>(-1);
  return target;
}

tmsize_t ReadAt(int fd, std::uint64_t& position, void* buffer, tmsize_t size) {
  const ssize_t got = pread(fd, buffer, static_cast<std::size_t>(size), static_cast<off_t>(position));
  if (got < 0) return -1;
  position += static_cast<std::uint64_t>(got);
  return got;
}

void WriteTiffToFd(int fd, const char* name, TiffContainer container,
                   const std::function<bool(TIFF*)>& encode) {
  Sink sink{fd};
  // The descriptor's own place and length, read once.
  struct stat status;
  const off_t start = lseek(fd, 0, SEEK_CUR);
  if (start < 0 || fstat(fd, &status) != 0 || status.st_size < 0) {
    const int error = errno;
    throw EFileFailed(FileStep::Write, error, ErrnoReason(error));
  }
  sink.position = static_cast<std::uint64_t>(start);
  sink.length = static_cast<std::uint64_t>(status.st_size);
  TiffHandle tiff(TIFFClientOpen(name, WriteMode(container), &sink, ClientRead<Sink>, SinkWrite,
                                 ClientSeek<Sink>, ClientKeepsOpen, ClientSize<Sink>, ClientMapsNothing,
                                 ClientUnmapsNothing));
  if (!tiff) {
    // The library could not write the header: a failed write's errno if
    // that was the cause.
    if (sink.failed) throw EFileFailed(FileStep::Write, sink.error, ErrnoReason(sink.error));
    throw EFileFailed(FileStep::Write, 0, "the library cannot begin the file");
  }
  bool encoded = false;
  try {
    encoded = encode(tiff.get()) && TIFFWriteDirectory(tiff.get()) && TIFFFlush(tiff.get());
  } catch (const EFileFailed& failure) {
    // The library's failure after a failed write is the write's.
    if (!sink.failed || failure.Step() != FileStep::Write) throw;
  }
  tiff.reset();
  if (sink.failed) throw EFileFailed(FileStep::Write, sink.error, ErrnoReason(sink.error));
  if (!encoded) throw EFileFailed(FileStep::Write, 0, "the library cannot write the file");
}

}  // namespace tessvane
