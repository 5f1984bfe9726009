// Strips and tiles, the blocks of a page, decoded and encoded on several
// threads, as many as UsableCpuCount() allows and never more than the
// blocks.
//
// libtiff codes every block on its own, but one handle codes one block at
// a time.  So each thread but the caller's decodes through a handle of its
// own on the same file.  When encoding, a thread whose block comes next
// in the file encodes it straight through the target; otherwise it
// encodes it into a scratch handle of its own, set up with the target's
// tags, whose encoded block is then written to the target unchanged
// (TIFFWriteRawStrip, TIFFWriteRawTile) once the blocks before it are: the
// file comes out byte for byte as one handle coding every block in turn
// would write it.
//
// With one thread, or a compression not in the list whose blocks are
// known to code independently, nothing is done here and the caller codes
// the blocks itself: that path stays the reference the tests compare
// against.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "early_blocks.h"

namespace tessvane {

// A strip to decode: the first wanted bytes of strip index go to
// destination.  Destinations of different strips do not overlap.
struct StripTarget {
  std::uint32_t index;
  std::uint8_t* destination;
  std::uint32_t wanted;
};

// A warning or error the library raised on a thread's own handle while it
// decoded a block.
struct LibraryMessage {
  bool error;
  bool has_module;
  std::string module;
  std::string text;
};

// Blocks decoded ahead: which were (done, 1 for a block whose wanted
// bytes are in place; bytes, not bits, as threads set them at once), and
// what the library said while a thread's own handle decoded them, kept to
// be said in block order.  Empty when nothing was tried.  A block that
// failed on a thread's own handle counts as not done: the caller decodes
// it again, and the library says why as it would have with one thread.
struct DecodedBlocks {
  std::vector<std::uint8_t> done;
  std::vector<std::vector<LibraryMessage>> messages;

  // Says through tiff, the caller's handle, what the library said while
  // block k was decoded ahead, as if tiff had decoded it; true when it
  // was, false when it is left to the caller.  Raises nothing.
  bool Take(TIFF* tiff, std::uint32_t k) const;
};

// Decodes strips 0 .. strip_count − 1 in parallel where target_of gives
// them bytes to decode (wanted above 0), each thread, the caller's too,
// through a handle of its own opened on tiff's file in mode; tiff itself
// is left to the caller.
// Nothing tried with one thread, another compression or strips too small
// to be worth a thread.  Raises std::bad_alloc.
DecodedBlocks DecodeStripsAhead(
    TIFF* tiff, const char* mode, std::uint32_t strip_count,
    const std::function<StripTarget(std::uint32_t strip)>& target_of);

// Decodes tiles 0 .. tile_count − 1 of tiff's page in parallel, as
// DecodeStripsAhead does strips, each whole (tile_bytes) into a buffer of
// its thread's, which place(tile, bytes) then copies where the tile goes;
// place is called for different tiles at once and must write disjoint
// memory.  A tile that fails is not placed.  The threads beyond the
// caller's are as many as have room for their buffers in free_bytes.
// Nothing tried where DecodeStripsAhead would try nothing.  Raises
// std::bad_alloc, and what place raises.
DecodedBlocks DecodeTilesAhead(
    TIFF* tiff, const char* mode, std::uint32_t tile_count, std::uint32_t tile_bytes,
    std::uint64_t free_bytes,
    const std::function<void(std::uint32_t tile, const std::uint8_t* bytes)>& place);

// Where a tile's pixels lie in its page: columns × rows of them, from the
// tile's top-left pixel on, rows stride pixels apart, in a tile width
// pixels wide.  A strip has width 0: its pixels are one run.
struct TileShape {
  std::uint32_t width;
  std::uint32_t columns;
  std::uint32_t rows;
  std::uint32_t stride;
};

// A block to encode, block index of its page, the library given size
// bytes: a strip, the size pixels at data, or a tile, shape.rows rows of
// shape.columns pixels from data on, each row of the tile shape.width
// bytes, zeros past the image.  Each level is stored as 255 minus it when
// inverted (a min-is-white page).
struct BlockSource {
  std::uint32_t index;
  const std::uint8_t* data;
  std::uint32_t size;
  bool inverted;
  TileShape shape;
};

// True when tiff encodes with a predictor, which differences in place the
// bytes it is given.  Raises nothing.
bool EncodesWithPredictor(TIFF* tiff);

// Copies size gray levels from data to stored, as the page stores them:
// each as 255 minus it when inverted.  Raises nothing.
void StoreLevels(const std::uint8_t* data, std::uint32_t size, bool inverted, std::uint8_t* stored);

// The pixels from source.data on that hold its last pixel: where the
// block's pixels end.
std::uint64_t PixelsSpanned(const BlockSource& source);

// Puts source into buffer (source.size bytes) as the page stores it:
// inverted where the page is, a tile's padding zero.  Raises
// std::bad_alloc.
void StoreBlock(const BlockSource& source, std::vector<std::uint8_t>& buffer);

// How writing the blocks in parallel went.
enum class BlockWrite {
  NotTried,  // nothing written: the caller writes every block itself
  Written,   // every source written to target, in order
  Failed,    // the library failed to encode or write a block
};

// Encodes source_of(0 .. count − 1), in increasing block order, in
// parallel: through target when a block comes next, else into scratch
// handles that set_up gives target's tags (false when it cannot: that
// thread's blocks are then encoded through target in their turn),
// and writes them to target in that order, each as soon as the blocks
// before it are written, with the JPEG tables the encoders made.  Strips
// or tiles as target's page has.  The library, which may change what it
// is given, gets a copy of a block unless it is a strip stored as it is
// and encoded without a predictor.  NotTried with one thread, another
// compression, blocks too small to be worth a thread, or blocks too large
// for the memory the page leaves; Failed with failed_block set to the
// first block, in order, that could not be encoded or written.  Raises
// std::bad_alloc.  Blocks in early that came from the same pixels are
// written as they are, not encoded again.
BlockWrite WriteBlocksInParallel(TIFF* target, std::uint32_t count,
                                 const std::function<BlockSource(std::uint32_t)>& source_of,
                                 const std::function<bool(TIFF*)>& set_up,
                                 std::uint32_t& failed_block, EarlyBlocks* early);

// Encodes blocks of a page on the threads beyond the caller's while the
// caller's thread is still clearing it, each block as soon as all its
// pixels are final, into scratch handles as WriteBlocksInParallel does;
// so the encoding overlaps the backward scan, which makes the page final
// from the bottom up.  Threads: those UsableCpuCount() allows beyond the
// caller's, as many as the memory the clearing leaves (free_bytes) can
// hold encoders for; none for another compression, blocks too small, or
// when no CPU is free for a thread (EveryCpuBusy), and a thread that later
// finds every CPU busy stops: the page's blocks are then encoded when it
// is written, as they would be without this.
class EarlyBlockEncoder {
 public:
  using SourceOf = std::function<BlockSource(const std::uint8_t* pixels, std::uint32_t block)>;

  // count blocks, block k of the cleared pixels being source_of(pixels,
  // k); set_up gives a scratch handle the page's tags.  Raises nothing.
  EarlyBlockEncoder(std::uint32_t count, SourceOf source_of, const std::function<bool(TIFF*)>& set_up,
                    std::uint64_t free_bytes);
  ~EarlyBlockEncoder();  // stops and joins the threads
  EarlyBlockEncoder(const EarlyBlockEncoder&) = delete;
  EarlyBlockEncoder& operator=(const EarlyBlockEncoder&) = delete;

  // Pixels begin .. end − 1 of pixels are final: the blocks that lie
  // wholly among them are handed to the threads.  Raises EOutOfMemory.
  void Final(const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end);

  // Stops the threads once their current blocks are done, and joins
  // them: the pixels are not read after it.  Raises nothing.
  void Stop() noexcept;

  // Stops, then returns the blocks encoded.  Raises nothing.
  EarlyBlocks Finish();

 private:
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace tessvane
