// Strips and tiles decoded and encoded on several threads: see
// block_codec.h.
//
// Invariants: a handle is used by one thread at a time (a thread that
// decodes ahead its own handle, never the reader's, which says nothing
// until the reader takes the blocks in order; the writer's target by the
// in-order writer's writing thread); a block's encoded bytes are taken
// from the scratch file at the offset and length the scratch handle
// recorded for that block, so nothing else the library writes there (its
// header, its directory when the handle closes) can reach the target.
#include "block_codec.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "parallel_for.h"
#include "tiff_handle.h"

namespace tessvane {
namespace {

// True for the compressions whose blocks libtiff codes each from a fresh
// codec state, so that any handle codes any block alike.  Old-style JPEG,
// among others, keeps state from block to block and is left out.
bool CodesBlocksIndependently(TIFF* tiff) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  switch (compression) {
    case COMPRESSION_LZW:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_ZSTD:
    case COMPRESSION_LZMA:
    case COMPRESSION_JPEG: return true;
    default: return false;
  }
}

// Blocks smaller than this are coded on one thread: the work per block
// would not pay for handing it out, and the bookkeeping per block (a few
// dozen bytes) would grow the memory beyond a fifth of a byte a pixel.
constexpr tmsize_t MinParallelBlockBytes = 256;

// The bytes of one decoded block of tiff's page: a tile, or a strip of
// RowsPerStrip rows.
tmsize_t BlockSize(TIFF* tiff) { return TIFFIsTiled(tiff) ? TIFFTileSize(tiff) : TIFFStripSize(tiff); }

// What the library says on a thread's own reading handle: kept while the
// handle decodes a block (decoding), to be said in block order.  Other
// warnings end at the handle: it reads the same directory and sets the
// same tags as the caller's handle, whose warnings the user had already;
// other errors go on to the library's default handler.
struct MessageLog {
  bool decoding = false;
  std::vector<LibraryMessage> messages;
};

// The handlers of a handle's warnings (error false) and errors, log its
// MessageLog, or null to drop every warning; true when the message ends
// here.  A message that cannot be kept for want of memory is dropped.
int HandleMessage(bool error, void* log, const char* module, const char* format, va_list arguments) {
  auto* const kept = static_cast<MessageLog*>(log);
  if (kept == nullptr || !kept->decoding) return error ? 0 : 1;
  try {
    va_list again;
    va_copy(again, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, again);
    va_end(again);
    std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    const bool has_module = module != nullptr;
    kept->messages.push_back({error, has_module, has_module ? module : "", std::move(text)});
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

// TIFFClientOpen with the handle's messages handled as log says (null:
// warnings dropped, errors to the default handler); null when the library
// cannot open it.
TIFF* OpenExtraHandle(const char* name, const char* mode, thandle_t client,
                      TIFFReadWriteProc read, TIFFReadWriteProc write, TIFFSeekProc seek,
                      TIFFCloseProc close, TIFFSizeProc size, TIFFMapFileProc map,
                      TIFFUnmapFileProc unmap, MessageLog* log) {
  TIFFOpenOptions* const options = TIFFOpenOptionsAlloc();
  if (options == nullptr) return nullptr;
  TIFFOpenOptionsSetWarningHandlerExtR(options, HandleWarning, log);
  TIFFOpenOptionsSetErrorHandlerExtR(options, HandleError, log);
  TIFF* const tiff =
      TIFFClientOpenExt(name, mode, client, read, write, seek, close, size, map, unmap, options);
  TIFFOpenOptionsFree(options);
  return tiff;
}

// The threads for block_count blocks of tiff: what the process may use, at
// most one a block; 1 for blocks too small.
std::uint32_t ThreadsFor(TIFF* tiff, std::uint32_t block_count) {
  if (BlockSize(tiff) < MinParallelBlockBytes) return 1;
  const std::uint32_t cpus = UsableCpuCount();
  return block_count < cpus ? block_count : cpus;
}

// The memory one scratch encoder of tiff's compression keeps resident
// while it encodes blocks of block_size bytes, estimated on the safe side:
// LZMA's match finder at the library's default preset zeroes a hash table
// of 16 MiB and fills its tree as far as a block reaches, ZSTD's at its
// default level keeps tables of several MiB, the other coders a few
// hundred KiB.  Then the block's copy, the library's output buffer and the
// encoded block.
std::uint64_t EncoderMemory(TIFF* tiff, tmsize_t block_size) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  const std::uint64_t coder = compression == COMPRESSION_LZMA   ? std::uint64_t{24} << 20
                              : compression == COMPRESSION_ZSTD ? std::uint64_t{16} << 20
                                                                : std::uint64_t{1} << 20;
  return coder + 3 * static_cast<std::uint64_t>(block_size);
}

// The threads that encode block_count blocks of target: ThreadsFor, cut
// so that the encoders beyond the one the library would use anyway fit in
// what the page leaves free while it is written.  The clearing before held
// the image and its marker, two bytes a pixel, within the cap of 2.2 bytes
// a pixel plus the encoded blocks; the write holds the pixels and the
// encoded blocks, so 1.2 bytes a pixel of the image (not of its tiles,
// which may reach far past it) are free for the extra encoders.  The
// coder's tables of one extra encoder are allowed beyond that, a fixed
// cost like those of the encoder the library uses; its copies of a block
// must fit.
std::uint32_t EncodingThreadsFor(TIFF* target, std::uint32_t block_count) {
  const std::uint32_t threads = ThreadsFor(target, block_count);
  if (threads < 2) return threads;  // blocks too small to count, or one CPU
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  TIFFGetField(target, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(target, TIFFTAG_IMAGELENGTH, &height);
  const std::uint64_t free_bytes = std::uint64_t{width} * height * 6 / 5;
  const auto block_size = static_cast<std::uint64_t>(BlockSize(target));
  const std::uint64_t whole_encoders =
      free_bytes / EncoderMemory(target, static_cast<tmsize_t>(block_size));
  const std::uint64_t block_copies = free_bytes / (3 * block_size);
  const std::uint64_t affordable = 1 + std::min(whole_encoders + 1, block_copies);
  return affordable < threads ? static_cast<std::uint32_t>(affordable) : threads;
}

// ---- decoding ------------------------------------------------------------

// A file read by one thread's handle through pread, which leaves the
// descriptor's shared offset alone.
struct FileSource {
  int fd;
  std::uint64_t length;
  std::uint64_t position = 0;
};

tmsize_t SourceWrite(thandle_t, void*, tmsize_t) { return -1; }

int SourceClose(thandle_t) { return 0; }  // the descriptor is the caller's handle's
int SourceMap(thandle_t, void**, toff_t*) { return 0; }
void SourceUnmap(thandle_t, void*, toff_t) {}

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
    reading.tiff.reset(OpenExtraHandle(TIFFFileName(tiff), mode, &reading.source,
                                       ClientRead<FileSource>, SourceWrite, ClientSeek<FileSource>,
                                       SourceClose, ClientSize<FileSource>,
                                       SourceMap, SourceUnmap, &reading.log));
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
    reading.log.decoding = true;
    const bool done = decode(reading.tiff.get(), block, worker);
    reading.log.decoding = false;
    if (done) {
      decoded.done[block] = 1;
      decoded.messages[block] = std::move(reading.log.messages);
    }
    reading.log.messages.clear();
  });
  return decoded;
}

// ---- encoding ------------------------------------------------------------

// The scratch file an encoder writes into, kept in memory from base on:
// what lies before base (the header, blocks already taken) is dropped, and
// writes there are accepted and forgotten.
struct MemorySink {
  std::vector<std::uint8_t> bytes;  // the file from base on
  std::uint64_t base = 0;
  std::uint64_t position = 0;
  std::uint64_t length = 0;
};

tmsize_t SinkRead(thandle_t, void*, tmsize_t) { return 0; }

// The library appends a block's bytes at the end of what it wrote, so a
// write is appended, not zeroed first and then copied over, unless it
// lands elsewhere.
tmsize_t SinkWrite(thandle_t handle, void* buffer, tmsize_t size) {
  auto* sink = static_cast<MemorySink*>(handle);
  const auto count = static_cast<std::uint64_t>(size);
  const std::uint64_t end = sink->position + count;
  if (end > sink->base) {
    const std::uint64_t from = sink->position > sink->base ? sink->position : sink->base;
    const auto* first = static_cast<const std::uint8_t*>(buffer) + (from - sink->position);
    const std::uint64_t at = from - sink->base;
    if (at == sink->bytes.size()) {
      sink->bytes.insert(sink->bytes.end(), first, first + (end - from));
    } else {
      if (sink->bytes.size() < end - sink->base) sink->bytes.resize(end - sink->base);
      std::memcpy(sink->bytes.data() + at, first, end - from);
    }
  }
  sink->position = end;
  if (end > sink->length) sink->length = end;
  return size;
}

int SinkClose(thandle_t) { return 0; }
int SinkMap(thandle_t, void**, toff_t*) { return 0; }
void SinkUnmap(thandle_t, void*, toff_t) {}

// One thread's scratch encoder, opened at its first block: a BigTIFF in
// memory (no 4 GiB limit on what it collects; the container does not
// change a block's bytes) with the target's tags, and the copy of each
// block the library is given.  The handle is declared after the sink it
// writes to, so it closes first.
struct ScratchEncoder {
  MemorySink sink;
  TiffHandle tiff;
  std::vector<std::uint8_t> copy;
  bool tried = false;
};

// Opens encoder's scratch handle, once; false when it cannot be had or
// set_up fails on it.
bool OpenScratchEncoder(const std::function<bool(TIFF*)>& set_up, ScratchEncoder& encoder) {
  if (!encoder.tried) {
    encoder.tried = true;
    encoder.tiff.reset(OpenExtraHandle("scratch strip", "w8", &encoder.sink, SinkRead, SinkWrite,
                                       ClientSeek<MemorySink>, SinkClose, ClientSize<MemorySink>,
                                       SinkMap, SinkUnmap, nullptr));
    if (encoder.tiff && !set_up(encoder.tiff.get())) encoder.tiff.reset();
  }
  return encoder.tiff != nullptr;
}

// One block's encoded bytes, or why there are none.
struct EncodedBlock {
  enum class State : std::uint8_t {
    ThroughTarget,  // to be encoded through the target itself when its turn comes
    Encoded,        // bytes hold it
    Failed,
  } state = State::ThroughTarget;
  bool ready = false;  // its thread is done with it
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> jpeg_tables;  // the encoder's, with the first block only
};

// The bytes of source to hand to tiff, which may change them: a strip's
// own where nothing will (no predictor, not stored inverted), else a copy
// in copy, as the page stores it.
std::uint8_t* BytesToEncode(TIFF* tiff, const BlockSource& source, std::vector<std::uint8_t>& copy) {
  if (source.shape.width == 0 && !source.inverted && !EncodesWithPredictor(tiff)) {
    return const_cast<std::uint8_t*>(source.data);  // only read without a predictor
  }
  StoreBlock(source, copy);
  return copy.data();
}

// Encodes the size bytes at data as block index of tiff, a tile on a
// tiled page; false when the library fails.
bool WriteEncodedBlock(TIFF* tiff, std::uint32_t index, std::uint8_t* data, std::uint32_t size) {
  return (TIFFIsTiled(tiff) ? TIFFWriteEncodedTile(tiff, index, data, size)
                            : TIFFWriteEncodedStrip(tiff, index, data, size)) >= 0;
}

// Writes bytes as block index of tiff, as they are; false when the
// library fails.
bool WriteRawBlock(TIFF* tiff, std::uint32_t index, const std::vector<std::uint8_t>& bytes) {
  auto* const data = const_cast<std::uint8_t*>(bytes.data());  // the library only reads it
  const auto size = static_cast<tmsize_t>(bytes.size());
  return (TIFFIsTiled(tiff) ? TIFFWriteRawTile(tiff, index, data, size)
                            : TIFFWriteRawStrip(tiff, index, data, size)) >= 0;
}

// Encodes source with encoder: the bytes the library recorded as the
// block, taken out of the sink, which then forgets everything so far, and
// put in buffer, whose memory is used again.  (The library keeps a tile's
// offset and byte count in the strip tables.)
EncodedBlock EncodeSource(ScratchEncoder& encoder, const BlockSource& source,
                          std::vector<std::uint8_t> buffer) {
  EncodedBlock block;
  block.bytes = std::move(buffer);
  TIFF* const tiff = encoder.tiff.get();
  std::uint8_t* const given = BytesToEncode(tiff, source, encoder.copy);
  const std::uint64_t* offsets = nullptr;
  const std::uint64_t* counts = nullptr;
  MemorySink& sink = encoder.sink;
  if (!WriteEncodedBlock(tiff, source.index, given, source.size) ||
      !TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &offsets) ||
      !TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &counts) || offsets == nullptr ||
      counts == nullptr || offsets[source.index] < sink.base ||
      offsets[source.index] + counts[source.index] > sink.base + sink.bytes.size()) {
    block.state = EncodedBlock::State::Failed;
    return block;
  }
  const auto first = sink.bytes.begin() + static_cast<std::ptrdiff_t>(offsets[source.index] - sink.base);
  block.bytes.assign(first, first + static_cast<std::ptrdiff_t>(counts[source.index]));
  block.state = EncodedBlock::State::Encoded;
  sink.bytes.clear();
  sink.base = sink.length;
  return block;
}

// The JPEG tables encoder made for its abbreviated blocks; empty when it
// made none.
std::vector<std::uint8_t> JpegTablesOf(ScratchEncoder& encoder) {
  std::uint32_t length = 0;
  void* tables = nullptr;
  if (!TIFFGetField(encoder.tiff.get(), TIFFTAG_JPEGTABLES, &length, &tables) || tables == nullptr) {
    return {};
  }
  const auto* bytes = static_cast<const std::uint8_t*>(tables);
  return {bytes, bytes + length};
}

// Gives target the JPEG tables a scratch encoder made, which the library
// otherwise makes only when it encodes a block itself, and which must be
// set before the first block is written.  True when there are none.
bool CarryJpegTables(TIFF* target, const std::vector<std::uint8_t>& tables) {
  return tables.empty() ||
         TIFFSetField(target, TIFFTAG_JPEGTABLES, static_cast<std::uint32_t>(tables.size()),
                      tables.data()) == 1;
}

// Writes encoded blocks to the target in order, each as soon as it and
// every block before it are ready; so the blocks waiting in memory are
// few, and their buffers are handed out again (fresh memory costs a page
// fault a page, which on a large page cost more than a tenth of the run).
//
// A block taken when every block before it is written (most of them when
// other processes keep the other threads from running) is encoded straight
// through the target when delivered, as one thread would encode it: no
// scratch encoder, no copy.
//
// One thread at a time writes, outside the lock: a thread that delivers a
// block while another is writing leaves it for that one and goes on to
// its next block.  No thread ever waits for another's write, which on a
// busy machine (a batch on every core) would put it to sleep and cost a
// wake-up.
class InOrderWriter {
 public:
  InOrderWriter(TIFF* target, std::uint32_t count,
                const std::function<BlockSource(std::uint32_t)>& source_of)
      : target_(target), source_of_(source_of), blocks_(count) {}

  // Hands over block k, and writes every block it completes the run of
  // unless another thread is writing already.
  void Deliver(std::uint32_t k, EncodedBlock block) {
    std::unique_lock lock(mutex_);
    blocks_[k] = std::move(block);
    blocks_[k].ready = true;
    if (writing_) return;  // the writing thread will reach it
    writing_ = true;
    while (next_ < blocks_.size() && blocks_[next_].ready) {
      const auto index = static_cast<std::uint32_t>(next_);
      EncodedBlock& ready = blocks_[index];  // no other thread touches it now
      const bool write = !failed_;
      lock.unlock();
      const bool written = !write || Write(index, ready);
      lock.lock();
      if (!written) {
        failed_ = true;
        failed_block_ = index;
      }
      spare_.push_back(std::move(ready.bytes));  // written: its buffer serves again
      ++next_;
    }
    writing_ = false;
  }

  // True when every block before k is written: k is then best encoded
  // straight through the target, with no scratch encoder and no copy.
  bool IsNext(std::uint32_t k) {
    const std::lock_guard lock(mutex_);
    return next_ == k;
  }

  // A buffer of a block already written, or an empty one.
  std::vector<std::uint8_t> SpareBuffer() {
    const std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    std::vector<std::uint8_t> buffer = std::move(spare_.back());
    spare_.pop_back();
    return buffer;
  }

  // True once a block failed to encode or write; later ones are not worth
  // encoding.
  bool Failed() {
    const std::lock_guard lock(mutex_);
    return failed_;
  }

  // Every block written whole.
  bool AllWritten() {
    const std::lock_guard lock(mutex_);
    return !failed_ && next_ == blocks_.size();
  }

  // The first block that failed, in order; meaningful once Failed().
  std::uint32_t FailedBlock() {
    const std::lock_guard lock(mutex_);
    return failed_block_;
  }

 private:
  // Writes block k: called by the writing thread alone.
  bool Write(std::uint32_t k, const EncodedBlock& block) {
    const BlockSource source = source_of_(k);
    switch (block.state) {
      case EncodedBlock::State::Encoded:
        return CarryJpegTables(target_, block.jpeg_tables) &&
               WriteRawBlock(target_, source.index, block.bytes);
      case EncodedBlock::State::ThroughTarget:
        return WriteEncodedBlock(target_, source.index, BytesToEncode(target_, source, copy_),
                                 source.size);
      case EncodedBlock::State::Failed: break;
    }
    return false;
  }

  TIFF* const target_;
  const std::function<BlockSource(std::uint32_t)>& source_of_;
  std::vector<std::uint8_t> copy_;  // the writing thread's copy of a block it encodes
  std::mutex mutex_;  // guards everything below; the writing thread alone uses the target
  std::vector<EncodedBlock> blocks_;
  std::vector<std::vector<std::uint8_t>> spare_;  // buffers of blocks written
  std::size_t next_ = 0;  // the first block not yet written
  bool writing_ = false;  // a thread is writing blocks from next_ on
  bool failed_ = false;
  std::uint32_t failed_block_ = 0;
};

// Decodes tile index through tiff into buffer, which it sizes to
// tile_bytes, and places it; false when the library fails.
bool DecodeTile(TIFF* tiff, std::uint32_t index, std::uint32_t tile_bytes,
                       std::vector<std::uint8_t>& buffer,
                       const std::function<void(std::uint32_t, const std::uint8_t*)>& place) {
  buffer.resize(tile_bytes);
  if (TIFFReadEncodedTile(tiff, index, buffer.data(), tile_bytes) < static_cast<tmsize_t>(tile_bytes)) {
    return false;
  }
  place(index, buffer.data());
  return true;
}

}  // namespace

std::uint64_t PixelsSpanned(const BlockSource& source) {
  if (source.shape.width == 0) return source.size;
  return std::uint64_t{source.shape.rows - 1} * source.shape.stride + source.shape.columns;
}

bool EncodesWithPredictor(TIFF* tiff) {
  std::uint16_t predictor = PREDICTOR_NONE;
  return TIFFGetField(tiff, TIFFTAG_PREDICTOR, &predictor) && predictor != PREDICTOR_NONE;
}

void StoreLevels(const std::uint8_t* data, std::uint32_t size, bool inverted, std::uint8_t* stored) {
  if (!inverted) {
    std::memcpy(stored, data, size);
    return;
  }
  for (std::uint32_t i = 0; i < size; ++i) stored[i] = static_cast<std::uint8_t>(255 - data[i]);
}

void StoreBlock(const BlockSource& source, std::vector<std::uint8_t>& buffer) {
  buffer.resize(source.size);
  if (source.shape.width == 0) {
    StoreLevels(source.data, source.size, source.inverted, buffer.data());
    return;
  }
  const TileShape& shape = source.shape;
  // Only a tile that reaches past the image has padding to zero.
  if (shape.columns < shape.width || std::uint64_t{shape.rows} * shape.width < source.size) {
    std::fill(buffer.begin(), buffer.end(), 0);
  }
  for (std::uint32_t r = 0; r < shape.rows; ++r) {
    StoreLevels(source.data + std::size_t{r} * shape.stride, shape.columns, source.inverted,
                buffer.data() + std::size_t{r} * shape.width);
  }
}

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
  const std::uint32_t threads = ThreadsFor(tiff, strip_count);
  if (threads < 2 || !CodesBlocksIndependently(tiff)) return {};
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
  const auto threads = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(ThreadsFor(tiff, tile_count), 1 + free_bytes / tile_bytes));
  if (threads < 2 || !CodesBlocksIndependently(tiff)) return {};
  std::vector<std::vector<std::uint8_t>> buffers(threads);
  return DecodeBlocksAhead(tiff, mode, tile_count, threads,
                           [&](TIFF* handle, std::uint32_t tile, std::uint32_t worker) {
                             return DecodeTile(handle, tile, tile_bytes, buffers[worker], place);
                           });
}

BlockWrite WriteBlocksInParallel(TIFF* target, std::uint32_t count,
                                 const std::function<BlockSource(std::uint32_t)>& source_of,
                                 const std::function<bool(TIFF*)>& set_up,
                                 std::uint32_t& failed_block, EarlyBlocks* early) {
  const std::uint32_t threads = EncodingThreadsFor(target, count);
  if (threads < 2 || !CodesBlocksIndependently(target)) return BlockWrite::NotTried;
  std::vector<ScratchEncoder> encoders(threads);
  InOrderWriter writer(target, count, source_of);
  ParallelFor(count, threads, [&](std::uint32_t item, std::uint32_t worker) {
    EncodedBlock block;
    if (writer.Failed()) {
      block.state = EncodedBlock::State::Failed;
    } else if (early != nullptr && early->pixels == source_of(0).data &&
               item < early->bytes.size() && !early->bytes[item].empty()) {
      block.state = EncodedBlock::State::Encoded;
      block.bytes = std::move(early->bytes[item]);
      if (item == 0) block.jpeg_tables = early->jpeg_tables;
    } else if (!writer.IsNext(item) && OpenScratchEncoder(set_up, encoders[worker])) {
      block = EncodeSource(encoders[worker], source_of(item), writer.SpareBuffer());
      if (item == 0) block.jpeg_tables = JpegTablesOf(encoders[worker]);
    }
    writer.Deliver(item, std::move(block));
  });
  if (writer.AllWritten()) return BlockWrite::Written;
  failed_block = writer.FailedBlock();
  return BlockWrite::Failed;
}

// ---- blocks encoded while the page is cleared -----------------------------

// What the early encoder's threads share.  Invariant: blocks from
// lowest_seen on were queued, or passed over for good (they reach into the
// last rows, final only when the clearing ends).
struct EarlyBlockEncoder::Work {
  std::uint32_t count = 0;
  SourceOf source_of;
  std::vector<ScratchEncoder> encoders;  // one a thread, opened before the threads start
  std::vector<std::thread> threads;
  std::mutex mutex;                  // guards everything below
  std::condition_variable changed;   // a block queued, or stopping
  std::vector<std::uint32_t> queue;  // final blocks no thread has taken
  std::uint32_t lowest_seen = 0;
  const std::uint8_t* pixels = nullptr;
  bool stopping = false;
  EarlyBlocks blocks;

  // A thread's part: queued blocks until stopped, or until every CPU is
  // busy or a block cannot be had.
  void EncodeQueued(std::uint32_t worker) noexcept;
  // Stops the threads and joins them.
  void Stop() noexcept;
};

void EarlyBlockEncoder::Work::EncodeQueued(std::uint32_t worker) noexcept {
  try {
    for (;;) {
      std::unique_lock lock(mutex);
      changed.wait(lock, [this] { return stopping || !queue.empty(); });
      if (stopping) return;
      lock.unlock();
      if (EveryCpuBusy()) return;  // the writer's threads encode what is left
      lock.lock();
      if (queue.empty()) continue;  // taken meanwhile; the wait sees a stop
      const std::uint32_t k = queue.back();
      queue.pop_back();
      const std::uint8_t* const from = pixels;
      lock.unlock();
      ScratchEncoder& encoder = encoders[worker];
      EncodedBlock block = EncodeSource(encoder, source_of(from, k), {});
      if (block.state != EncodedBlock::State::Encoded) continue;  // the writer finds out again
      lock.lock();
      blocks.bytes[k] = std::move(block.bytes);
      if (k == 0) blocks.jpeg_tables = JpegTablesOf(encoder);
    }
  } catch (...) {
    return;  // no memory for a block: the writer encodes the rest
  }
}

void EarlyBlockEncoder::Work::Stop() noexcept {
  {
    const std::lock_guard lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  for (std::thread& thread : threads) thread.join();
  threads.clear();
}

EarlyBlockEncoder::EarlyBlockEncoder(std::uint32_t count, SourceOf source_of,
                                     const std::function<bool(TIFF*)>& set_up, std::uint64_t free_bytes)
    : work_(std::make_unique<Work>()) {
  const std::uint32_t cpus = UsableCpuCount();
  if (cpus < 2 || count < 2 || EveryCpuBusy(1)) return;  // no CPU free for a thread
  Work& work = *work_;
  work.count = count;
  work.source_of = std::move(source_of);
  work.encoders = std::vector<ScratchEncoder>(cpus - 1);
  if (!OpenScratchEncoder(set_up, work.encoders[0])) return;
  TIFF* const probe = work.encoders[0].tiff.get();
  const tmsize_t block_size = BlockSize(probe);
  if (!CodesBlocksIndependently(probe) || block_size < MinParallelBlockBytes) return;
  const std::uint64_t affordable = free_bytes / EncoderMemory(probe, block_size);
  const std::uint32_t threads = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      affordable, std::min<std::uint64_t>(cpus - 1, count)));
  try {
    work.queue.reserve(count);
    work.blocks.bytes.resize(count);
  } catch (const std::bad_alloc&) {
    return;
  }
  work.lowest_seen = count;
  for (std::uint32_t worker = 0; worker < threads; ++worker) {
    // Opened here, so that set_up, which reads the page's record, never
    // runs while the record's pixels are being cleared.
    if (!OpenScratchEncoder(set_up, work.encoders[worker])) break;
    try {
      work.threads.emplace_back([&work, worker] { work.EncodeQueued(worker); });
    } catch (const std::system_error&) {
      break;  // no more threads: the ones running share the blocks
    }
  }
}

EarlyBlockEncoder::~EarlyBlockEncoder() { work_->Stop(); }

void EarlyBlockEncoder::Final(const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end) {
  Work& work = *work_;
  if (work.threads.empty()) return;
  {
    const std::lock_guard lock(work.mutex);
    work.pixels = pixels;
    for (std::uint32_t k = work.lowest_seen; k-- > 0;) {
      const BlockSource block = work.source_of(pixels, k);
      const auto first = static_cast<std::uint64_t>(block.data - pixels);
      if (first < begin) break;
      work.lowest_seen = k;
      if (first + PixelsSpanned(block) <= end) work.queue.push_back(k);  // room reserved for every block
    }
  }
  work.changed.notify_all();
}

void EarlyBlockEncoder::Stop() noexcept { work_->Stop(); }

EarlyBlocks EarlyBlockEncoder::Finish() {
  Work& work = *work_;
  work.Stop();
  work.blocks.pixels = work.pixels;
  return std::move(work.blocks);
}

}  // namespace tessvane
