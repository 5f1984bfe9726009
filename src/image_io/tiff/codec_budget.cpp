// The thread and memory budget of block coding: see codec_budget.h.
#include "codec_budget.h"

#include <algorithm>

#include "parallel_for.h"
#include "tiff_handle.h"

namespace tessvane {
namespace {

// The most memory a run holds, in tenths of a byte a pixel of its page,
// and what the pixels and the marker take of it.
constexpr std::uint64_t CapTenths = 22;
constexpr std::uint64_t PixelsTenths = 10;
constexpr std::uint64_t MarkerTenths = 10;
// A tile's buffer and the library's buffer for its coded bytes.
constexpr std::uint64_t TileAndCodedTenths = 21;

// Blocks smaller than this are coded on one thread: the work per block
// would not pay for handing it out, and the bookkeeping per block (a few
// dozen bytes) would grow the memory beyond a fifth of a byte a pixel.
constexpr tmsize_t MinParallelBlockBytes = 256;

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
  const auto compression = DefaultedField<std::uint16_t>(tiff, TIFFTAG_COMPRESSION);
  const std::uint64_t coder = compression == COMPRESSION_LZMA   ? std::uint64_t{24} << 20
                              : compression == COMPRESSION_ZSTD ? std::uint64_t{16} << 20
                                                                : std::uint64_t{1} << 20;
  return coder + 3 * static_cast<std::uint64_t>(block_size);
}

}  // namespace

std::uint64_t FreeWhileReadingOrWriting(std::uint64_t pixel_count) {
  return pixel_count * (CapTenths - PixelsTenths) / 10;
}

std::uint64_t FreeWhileClearing(std::uint64_t pixel_count) {
  return pixel_count * (CapTenths - PixelsTenths - MarkerTenths) / 10;
}

std::uint64_t MostOversizedTileBytes(std::uint64_t pixel_count) {
  return pixel_count * (CapTenths - PixelsTenths) / TileAndCodedTenths;
}

bool CodesBlocksIndependently(TIFF* tiff) {
  // Old-style JPEG, among others, keeps state from block to block.  The
  // CCITT coders start every strip or tile afresh (a white reference
  // line, the bits aligned to a byte).
  switch (DefaultedField<std::uint16_t>(tiff, TIFFTAG_COMPRESSION)) {
    case COMPRESSION_CCITTRLE:
    case COMPRESSION_CCITTRLEW:
    case COMPRESSION_CCITTFAX3:
    case COMPRESSION_CCITTFAX4:
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

tmsize_t BlockSize(TIFF* tiff) { return TIFFIsTiled(tiff) ? TIFFTileSize(tiff) : TIFFStripSize(tiff); }

std::uint32_t StripDecodingThreads(TIFF* tiff, std::uint32_t block_count) {
  const std::uint32_t threads = ThreadsFor(tiff, block_count);
  return threads < 2 || !CodesBlocksIndependently(tiff) ? 1 : threads;
}

std::uint32_t TileDecodingThreads(TIFF* tiff, std::uint32_t block_count, std::uint32_t tile_bytes,
                                  std::uint64_t free_bytes) {
  const auto threads = static_cast<std::uint32_t>(
      std::min<std::uint64_t>(ThreadsFor(tiff, block_count), 1 + free_bytes / tile_bytes));
  return threads < 2 || !CodesBlocksIndependently(tiff) ? 1 : threads;
}

// The clearing before held the image and its marker; the write holds the
// pixels and the encoded blocks.  The coder's tables of one extra encoder
// are allowed beyond what is free, a fixed cost like those of the encoder
// the library uses; its copies of a block must fit.
std::uint32_t EncodingThreads(TIFF* target, std::uint32_t block_count) {
  const std::uint32_t threads = ThreadsFor(target, block_count);
  if (threads < 2 || !CodesBlocksIndependently(target)) return 1;
  const std::uint64_t free_bytes =
      FreeWhileReadingOrWriting(std::uint64_t{FieldOrZero<std::uint32_t>(target, TIFFTAG_IMAGEWIDTH)} *
                                FieldOrZero<std::uint32_t>(target, TIFFTAG_IMAGELENGTH));
  const auto block_size = static_cast<std::uint64_t>(BlockSize(target));
  const std::uint64_t whole_encoders =
      free_bytes / EncoderMemory(target, static_cast<tmsize_t>(block_size));
  const std::uint64_t block_copies = free_bytes / (3 * block_size);
  const std::uint64_t affordable = 1 + std::min(whole_encoders + 1, block_copies);
  return affordable < threads ? static_cast<std::uint32_t>(affordable) : threads;
}

std::uint32_t EarlyEncodingThreads(TIFF* probe, std::uint32_t block_count, std::uint64_t free_bytes) {
  const tmsize_t block_size = BlockSize(probe);
  if (!CodesBlocksIndependently(probe) || block_size < MinParallelBlockBytes) return 0;
  const std::uint64_t affordable = free_bytes / EncoderMemory(probe, block_size);
  const std::uint32_t cpus = UsableCpuCount();
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(affordable, std::min<std::uint64_t>(cpus - 1, block_count)));
}

}  // namespace tessvane
