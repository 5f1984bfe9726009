// The thread and memory budget of coding a page's blocks (strips or
// tiles) on several threads: which compressions may be coded so, how many
// threads each kind of work gets, and how much memory it may take.
//
// A run holds at most 2.2 bytes a pixel of the page it works on, beside
// its encoded blocks: the pixels (1 byte a pixel) while a page is read or
// written, the pixels and the marker (2) while it is cleared.  What that
// leaves free is all the threads beyond the caller's may take for their
// buffers and encoders; the library's own encoder and one block's buffer
// on the caller's thread are a fixed cost outside it.  The threads are
// those UsableCpuCount() allows, never more than the blocks, and one for
// blocks too small to be worth handing out.
#pragma once

#include <tiffio.h>

#include <cstdint>

namespace tessvane {

// The bytes free for other threads' buffers while a page of pixel_count
// pixels is read or written (1.2 a pixel), and while it is cleared (0.2
// a pixel).  Raise nothing.
std::uint64_t FreeWhileReadingOrWriting(std::uint64_t pixel_count);
std::uint64_t FreeWhileClearing(std::uint64_t pixel_count);

// The most bytes a tile may hold that is wider or longer than its page of
// pixel_count pixels needs: the tile's buffer on the caller's thread and
// the library's buffer for its coded bytes (a tenth larger) must fit in
// what the run's cap leaves beside the pixels.  Raises nothing.
std::uint64_t MostOversizedTileBytes(std::uint64_t pixel_count);

// True for the compressions whose blocks libtiff codes each from a fresh
// codec state, so that any handle codes any block alike.  Raises nothing.
bool CodesBlocksIndependently(TIFF* tiff);

// The bytes of one decoded block of tiff's page: a tile, or a strip of
// RowsPerStrip rows.  Raises nothing.
tmsize_t BlockSize(TIFF* tiff);

// The threads that decode block_count strips of tiff's page: 1 where they
// are not to be decoded ahead (another compression, blocks too small, one
// CPU).  Raises nothing.
std::uint32_t StripDecodingThreads(TIFF* tiff, std::uint32_t block_count);

// The same for tiles of tile_bytes, each thread beyond the caller's
// holding a tile's buffer within free_bytes.  Raises nothing.
std::uint32_t TileDecodingThreads(TIFF* tiff, std::uint32_t block_count, std::uint32_t tile_bytes,
                                  std::uint64_t free_bytes);

// The threads that encode block_count blocks of target's page when it is
// written, the encoders beyond the one the library would use anyway
// within FreeWhileReadingOrWriting of the image's pixels (not of its
// tiles, which may reach far past it); 1 where the blocks are to be
// encoded in turn.  Raises nothing.
std::uint32_t EncodingThreads(TIFF* target, std::uint32_t block_count);

// The threads beyond the caller's that encode block_count blocks while
// the page is cleared, probe being a scratch encoder with the page's
// tags, their encoders within free_bytes; 0 where none is to.  Raises
// nothing.
std::uint32_t EarlyEncodingThreads(TIFF* probe, std::uint32_t block_count, std::uint64_t free_bytes);

}  // namespace tessvane
