// Blocks decoded ahead on several threads: see decode_ahead.h.
//
// Invariant: a handle is used by one thread at a time; a thread that
// decodes ahead uses its own, never the reader's, which says nothing until
// the reader takes the blocks in order.
#include "decode_ahead.h"

#include <sys/stat.h>

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
// block.  The handle is declared after the source it reads through and
// the log it says things to, so it closes first.
struct ReadingHandle {
  FileSource source{-1, 0};
  MessageLog log;
  TiffHandle tiff;
  bool tried = false;
};

// Opens reading's handle on tiff's file, at the directory tiff has open,
// once; false when it cannot be had.
bool OpenReadingHandle(TIFF* tiff, const char* mode, ReadingHandle& reading) {
  if (!reading.tried) {
    reading.tried = true;
    struct stat status;
    const int fd = TIFFFileno(tiff);
    if (fstat(fd, &status) != 0 || status.st_size < 0) return false;
    reading.source = {fd, static_cast<std::uint64_t>(status.st_size)};
    reading.tiff.reset(OpenOwnHandle(TIFFFileName(tiff), mode, &reading.source, ClientRead<FileSource>,
                                     ClientRefusesWrites, ClientSeek<FileSource>,
                                     ClientSize<FileSource>, &reading.log));
    const tdir_t directory = TIFFCurrentDirectory(tiff);
    if (reading.tiff && TIFFCurrentDirectory(reading.tiff.get()) != directory &&
        !TIFFSetDirectory(reading.tiff.get(), directory)) {
      reading.tiff.reset();
    }
  }
  return reading.tiff != nullptr;
}

// Decodes target through tiff, as the reader would.
bool DecodeTarget(TIFF* tiff, const StripTarget& target) {
  const tmsize_t got = TIFFReadEncodedStrip(tiff, target.index, target.destination, target.wanted);
  return got >= static_cast<tmsize_t>(target.wanted);
}

// Decodes block index (a tile or a strip, as tiff's page has) through
// tiff into buffer, which it sizes to bytes, and places it; false when the
// library fails.
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
                        std::vector<std::vector<LibraryMessage>>(count)};
  std::vector<ReadingHandle> handles(threads);
  ParallelFor(count, threads, [&](std::uint32_t block, std::uint32_t worker) {
    ReadingHandle& reading = handles[worker];
    if (!OpenReadingHandle(tiff, mode, reading)) return;
    reading.log.recording = true;
    const bool done = decode(reading.tiff.get(), block, worker);
    reading.log.recording = false;
    if (done) {
      decoded.done[block] = 1;
      decoded.messages[block] = std::move(reading.log.messages);
    }
    reading.log.messages.clear();
  });
  return decoded;
}

}  // namespace

bool DecodedBlocks::Take(TIFF* tiff, std::uint32_t k) const {
  if (k >= done.size()) return false;
  for (const LibraryMessage& message : messages[k]) {
    const char* const module = message.has_module ? message.module.c_str() : nullptr;
    if (message.error) {
      TIFFErrorExtR(tiff, module, "%s", message.text.c_str());
    } else {
      TIFFWarningExtR(tiff, module, "%s", message.text.c_str());
    }
  }
  return done[k] != 0;
}

DecodedBlocks DecodeStripsAhead(TIFF* tiff, const char* mode, std::uint32_t strip_count,
                                const std::function<StripTarget(std::uint32_t strip)>& target_of) {
  const std::uint32_t threads = StripDecodingThreads(tiff, strip_count);
  if (threads < 2) return {};
  return DecodeBlocksAhead(tiff, mode, strip_count, threads,
                           [&](TIFF* handle, std::uint32_t strip, std::uint32_t) {
                             const StripTarget target = target_of(strip);
                             return target.wanted != 0 && DecodeTarget(handle, target);
                           });
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
  return DecodeBlocksAhead(tiff, mode, block_count, threads,
                           [&](TIFF* handle, std::uint32_t block, std::uint32_t worker) {
                             return DecodeBuffered(handle, block, bytes_of(block), buffers[worker], place);
                           });
}

}  // namespace tessvane
