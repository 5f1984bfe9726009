// Strips and tiles, the blocks of a page, decoded ahead on several
// threads before the reader takes them in order.
//
// libtiff decodes every block on its own, but one handle decodes one
// block at a time.  So each thread, the caller's too, decodes through a
// handle of its own on the same file, reading with pread, and keeps what
// the library says there with the block; the reader's handle says it in
// block order when the reader takes the block, so a damaged file's
// messages are the same on every thread count.  A block that fails on a
// thread's handle, or whose messages are of a kind new to that handle
// (what a handle says once, each handle would say), is left for the
// reader to decode again, which says what one thread would, its handle
// first brought to where one thread's stands.  Nothing else a thread's
// handle says is said: it reads what the reader's handle has read.
//
// With one thread (codec_budget.h), or a compression whose blocks do not
// decode independently, nothing is done here and the reader decodes every
// block itself: that path stays the reference the tests compare against.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "tiff_handle.h"

namespace tessvane {

// A strip to decode: the first wanted bytes of strip index go to
// destination.  Destinations of different strips do not overlap.
struct StripTarget {
  std::uint32_t index;
  std::uint8_t* destination;
  std::uint32_t wanted;
};

// Blocks decoded ahead: which were (done, 1 for a block whose wanted
// bytes are in place; bytes, not bits, as threads set them at once), and
// what the library said while a thread's own handle decoded them, kept to
// be said in block order.  Empty when nothing was tried.
struct DecodedBlocks {
  std::vector<std::uint8_t> done;
  std::vector<std::vector<LibraryMessage>> messages;
  // Decodes a block again through the caller's handle, as it was decoded
  // ahead, into the same place or none.
  std::function<void(TIFF* tiff, std::uint32_t block)> decode_again;

  // Says through tiff, the caller's handle, what the library said while
  // block k was decoded ahead, as if tiff had decoded it; true when it
  // was, false when it is left to the caller, with tiff then made to
  // stand where one thread's handle stands before block k, block k − 1
  // decoded last (again, what the library says held back where tiff has a
  // log, as the reader's has; left as it is where it has none).  Raises
  // nothing.
  bool Take(TIFF* tiff, std::uint32_t k) const;
};

// Decodes strips 0 .. strip_count − 1 in parallel where target_of gives
// them bytes to decode (wanted above 0), each thread through a handle of
// its own opened on tiff's file in mode; tiff itself is left to the
// caller.  Nothing tried where StripDecodingThreads gives one thread.
// Raises std::bad_alloc.
DecodedBlocks DecodeStripsAhead(
    TIFF* tiff, const char* mode, std::uint32_t strip_count,
    const std::function<StripTarget(std::uint32_t strip)>& target_of);

// Decodes tiles 0 .. tile_count − 1 of tiff's page in parallel, as
// DecodeStripsAhead does strips, each whole (tile_bytes) into a buffer of
// its thread's, which place(tile, bytes) then copies where the tile goes;
// place is called for different tiles at once and must write disjoint
// memory.  A tile that fails is not placed.  The threads are those
// TileDecodingThreads gives for free_bytes.  Raises std::bad_alloc, and
// what place raises.
DecodedBlocks DecodeTilesAhead(
    TIFF* tiff, const char* mode, std::uint32_t tile_count, std::uint32_t tile_bytes,
    std::uint64_t free_bytes,
    const std::function<void(std::uint32_t tile, const std::uint8_t* bytes)>& place);

// Decodes block index (a tile or a strip, as tiff's page has) whole
// through tiff into buffer, which it sizes to bytes, and places it; false
// when the library fails.  Raises std::bad_alloc, and what place raises.
bool DecodeBuffered(TIFF* tiff, std::uint32_t index, std::uint32_t bytes,
                    std::vector<std::uint8_t>& buffer,
                    const std::function<void(std::uint32_t, const std::uint8_t*)>& place);

// Decodes blocks 0 .. block_count − 1 of tiff's page, strips or tiles,
// as DecodeTilesAhead does tiles: block k whole, bytes_of(k) bytes (at
// most most_bytes), into a buffer of its thread's, which place(k, bytes)
// then copies where the block goes.  For pages whose blocks do not land
// in the pixels as they decode (fewer than 8 bits a sample).  Raises
// std::bad_alloc, and what place raises.
DecodedBlocks DecodeBlocksThroughBuffers(
    TIFF* tiff, const char* mode, std::uint32_t block_count, std::uint32_t most_bytes,
    const std::function<std::uint32_t(std::uint32_t block)>& bytes_of, std::uint64_t free_bytes,
    const std::function<void(std::uint32_t block, const std::uint8_t* bytes)>& place);

}  // namespace tessvane
