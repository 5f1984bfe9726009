// Blocks decoded ahead on several threads: see decode_ahead.h.
//
// Invariant: a handle is used by one thread at a time; a thread that
// decodes ahead uses its own, never the reader's, which says nothing until
// the reader takes the blocks in order.
#include "decode_ahead.h"

#include <sys/stat.h>

#include <new>
#include <set>
#include <string>
#include <utility>

#include "codec_budget.h"
#include "parallel_for.h"

namespace tessvane {
namespace {

// A file read by one thread's handle through pread, which leaves the
// descriptor's shared offset alone.
struct FileSource {
  int fd;
  std::uint64_t length;
  std::uint64_t position = 0;
};

// One thread's own handle on the file being read, opened at its first
// block, and the kinds of message (module and format) it has said.  The
// handle is declared after the source it reads through and the log it
// says things to, so it closes first.
struct ReadingHandle {
  FileSource source{-1, 0};
  MessageLog log;
  TiffHandle tiff;
  bool tried = false;
  std::set<std::pair<std::string, std::string>> kinds_said;
};

// Opens reading's handle on tiff's file, at the directory tiff has open,
// found by where it lies, once; false when it cannot be had.  Only the
// header is read first ("h"), not the first directory: the page's is
// read straight away, without a walk along the chain.
bool OpenReadingHandle(TIFF* tiff, const char* mode, ReadingHandle& reading) {
  if (!reading.tried) {
    reading.tried = true;
    struct stat status;
    const int fd = TIFFFileno(tiff);
    if (fstat(fd, &status) != 0 || status.st_size < 0) return false;
    reading.source = {fd, static_cast<std::uint64_t>(status.st_size)};
    const std::string header_only = std::string(mode) + "h";
    reading.tiff.reset(OpenOwnHandle(TIFFFileName(tiff), header_only.c_str(), &reading.source,
                                     ClientRead<FileSource>, ClientRefusesWrites,
                                     ClientSeek<FileSource>, ClientSize<FileSource>, &reading.log));
    if (reading.tiff && !TIFFSetSubDirectory(reading.tiff.get(), TIFFCurrentDirOffset(tiff))) {
      reading.tiff.reset();
    }
  }
  return reading.tiff != nullptr;
}

// True when the messages reading's handle kept say a kind of message
// (module and format) it had not said before, which it then has.  What a
// handle says once (a codec set up, a stream of an older kind noticed) it
// says on the first block that calls for it, so each thread's handle
// would say it again; a block whose messages are new to its handle is
// left to the reader, whose handle says what one thread's would.  Raises
// std::bad_alloc.
bool SaysSomethingNew(ReadingHandle& reading) {
  bool new_kind = false;
  for (const LibraryMessage& message : reading.log.messages) {
    new_kind = reading.kinds_said.emplace(message.module, message.format).second || new_kind;
  }
  return new_kind;
}

// Decodes target through tiff, as the reader would.
bool DecodeTarget(TIFF* tiff, const StripTarget& target) {
  const tmsize_t got = TIFFReadEncodedStrip(tiff, target.index, target.destination, target.wanted);
  return got >= static_cast<tmsize_t>(target.wanted);
}


// Decodes a block through a handle; true when its bytes are in place.
using BlockDecoder = std::function<bool(TIFF* tiff, std::uint32_t block, std::uint32_t worker)>;

// Decodes blocks 0 .. count − 1 on threads threads with decode, each
// thread through a handle of its own opened on tiff's file in mode, whose
// messages are kept for the block.  The caller's thread too: a message it
// raised through tiff would be said at once, before those of the blocks
// before it.
DecodedBlocks DecodeBlocksAhead(TIFF* tiff, const char* mode, std::uint32_t count,
                                std::uint32_t threads, const BlockDecoder& decode) {
  DecodedBlocks decoded{std::vector<std::uint8_t>(count, 0),
                        std::vector<std::vector<LibraryMessage>>(count), {}};
  std::vector<ReadingHandle> handles(threads);
  ParallelFor(count, threads, [&](std::uint32_t block, std::uint32_t worker) {
    ReadingHandle& reading = handles[worker];
    if (!OpenReadingHandle(tiff, mode, reading)) return;
    reading.log.recording = true;
    const bool decoded_here = decode(reading.tiff.get(), block, worker);
    reading.log.recording = false;
    const bool done = !SaysSomethingNew(reading) && decoded_here;
    if (done) {
      decoded.done[block] = 1;
      decoded.messages[block] = std::move(reading.log.messages);
    }
    reading.log.messages.clear();
  });
  return decoded;
}

}  // namespace

// One thread's handle has decoded every block before k when it comes to
// block k, block k − 1 last, and what the library says there before it
// sets out on a block (a read cut short: "Read error at row 16, col 0")
// names where the handle stands, the block before.  The reader's handle
// decoded none of the blocks taken from here, so before it decodes block
// k itself it decodes block k − 1 again, saying nothing, and stands where
// one thread's would.
bool DecodedBlocks::Take(TIFF* tiff, std::uint32_t k) const {
  if (k >= done.size()) return false;
  if (done[k] != 0) {
    SayMessages(tiff, messages[k]);
    return true;
  }
  if (k > 0 && done[k - 1] != 0 && decode_again) {
    HeldMessages quiet(tiff);
    try {
      if (quiet.Holding()) decode_again(tiff, k - 1);
    } catch (const std::bad_alloc&) {
      // Without memory for it the block is decoded all the same, only its
      // messages may name another place.
    }
  }
  return false;
}

DecodedBlocks DecodeStripsAhead(TIFF* tiff, const char* mode, std::uint32_t strip_count,
                                const std::function<StripTarget(std::uint32_t strip)>& target_of) {
  const std::uint32_t threads = StripDecodingThreads(tiff, strip_count);
  if (threads < 2) return {};
  DecodedBlocks decoded = DecodeBlocksAhead(tiff, mode, strip_count, threads,
                                            [&](TIFF* handle, std::uint32_t strip, std::uint32_t) {
                                              const StripTarget target = target_of(strip);
                                              return target.wanted != 0 && DecodeTarget(handle, target);
                                            });
  // Into the same place again: the same bytes.
  decoded.decode_again = [target_of](TIFF* handle, std::uint32_t strip) {
    DecodeTarget(handle, target_of(strip));
  };
  return decoded;
}

bool DecodeBuffered(TIFF* tiff, std::uint32_t index, std::uint32_t bytes,
                    std::vector<std::uint8_t>& buffer,
                    const std::function<void(std::uint32_t, const std::uint8_t*)>& place) {
  buffer.resize(bytes);
  const tmsize_t got = TIFFIsTiled(tiff) ? TIFFReadEncodedTile(tiff, index, buffer.data(), bytes)
                                         : TIFFReadEncodedStrip(tiff, index, buffer.data(), bytes);
  if (got < static_cast<tmsize_t>(bytes)) return false;
  place(index, buffer.data());
  return true;
}

DecodedBlocks DecodeTilesAhead(
    TIFF* tiff, const char* mode, std::uint32_t tile_count, std::uint32_t tile_bytes,
    std::uint64_t free_bytes,
    const std::function<void(std::uint32_t tile, const std::uint8_t* bytes)>& place) {
  return DecodeBlocksThroughBuffers(
      tiff, mode, tile_count, tile_bytes, [tile_bytes](std::uint32_t) { return tile_bytes; },
      free_bytes, place);
}

DecodedBlocks DecodeBlocksThroughBuffers(
    TIFF* tiff, const char* mode, std::uint32_t block_count, std::uint32_t most_bytes,
    const std::function<std::uint32_t(std::uint32_t block)>& bytes_of, std::uint64_t free_bytes,
    const std::function<void(std::uint32_t block, const std::uint8_t* bytes)>& place) {
  const std::uint32_t threads = TileDecodingThreads(tiff, block_count, most_bytes, free_bytes);
  if (threads < 2) return {};
  std::vector<std::vector<std::uint8_t>> buffers(threads);
  DecodedBlocks decoded = DecodeBlocksAhead(
      tiff, mode, block_count, threads, [&](TIFF* handle, std::uint32_t block, std::uint32_t worker) {
        return DecodeBuffered(handle, block, bytes_of(block), buffers[worker], place);
      });
  // Into a buffer of its own, placed nowhere: the block is in place already.
  decoded.decode_again = [bytes_of](TIFF* handle, std::uint32_t block) {
    std::vector<std::uint8_t> buffer;
    DecodeBuffered(handle, block, bytes_of(block), buffer, [](std::uint32_t, const std::uint8_t*) {});
  };
  return decoded;
}

}  // namespace tessvane
