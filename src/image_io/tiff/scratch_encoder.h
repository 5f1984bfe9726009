// Blocks (strips or tiles) of a page to encode, and the scratch encoders
// that encode them apart from the target.
//
// libtiff encodes every block on its own, but one handle encodes one block
// at a time.  A scratch encoder is a handle of a thread's own, writing to
// memory, set up with the target's tags: the bytes it records for a block
// are the bytes the target would write for it, so the target can take
// them as they are (TIFFWriteRawStrip, TIFFWriteRawTile).
//
// Invariant: a block's encoded bytes are taken from the scratch file at
// the offset and length the scratch handle recorded for that block, so
// nothing else the library writes there (its header, its directory when
// the handle closes) can reach the target.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "tiff_handle.h"

namespace tessvane {

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
// samples, zeros past the image.  Each level is stored as 255 minus it
// when inverted (a min-is-white page).  A page of fewer than 8 bits a
// sample stores its levels packed (packed_samples.h), each row from a
// byte on; its strips too are given as rows, shape.width the image's.
struct BlockSource {
  std::uint32_t index;
  const std::uint8_t* data;
  std::uint32_t size;
  bool inverted;
  TileShape shape;
  std::uint32_t bits = 8;
};

// True when tiff changes the bytes it is given to encode: a predictor
// differences them in place, and an uncompressed page stored in fill
// order 2 has their bits reversed in place (libtiff 4.5).  Raises nothing.
bool ChangesBytesGiven(TIFF* tiff);

// Copies size gray levels from data to stored, as the page stores them:
// each as 255 minus it when inverted.  Raises nothing.
void StoreLevels(const std::uint8_t* data, std::uint32_t size, bool inverted, std::uint8_t* stored);

// The pixels from source.data on that hold its last pixel: where the
// block's pixels end.  Raises nothing.
std::uint64_t PixelsSpanned(const BlockSource& source);

// Puts source into buffer (source.size bytes) as the page stores it:
// inverted where the page is, packed where it has fewer than 8 bits a
// sample, a tile's padding zero.  Raises std::bad_alloc; ERangeError for a
// level of a 1-bit page that is not 0 or 255 (PackRow).
void StoreBlock(const BlockSource& source, std::vector<std::uint8_t>& buffer);

// The bytes of source to hand to tiff, which may change them: a strip's
// own where nothing will (ChangesBytesGiven false, not stored inverted,
// 8 bits), else
// a copy in copy, as the page stores it.  Raises what StoreBlock raises.
std::uint8_t* BytesToEncode(TIFF* tiff, const BlockSource& source, std::vector<std::uint8_t>& copy);

// Encodes the size bytes at data as block index of tiff, a tile on a
// tiled page; false when the library fails.  Raises nothing.
bool WriteEncodedBlock(TIFF* tiff, std::uint32_t index, std::uint8_t* data, std::uint32_t size);

// The scratch file an encoder writes into, kept in memory from base on:
// what lies before base (the header, blocks already taken) is dropped, and
// writes there are accepted and forgotten.
struct MemorySink {
  std::vector<std::uint8_t> bytes;  // the file from base on
  std::uint64_t base = 0;
  std::uint64_t position = 0;
  std::uint64_t length = 0;
};

// One thread's scratch encoder, opened once: a BigTIFF in memory (no 4 GiB
// limit on what it collects; the container does not change a block's
// bytes) with the target's tags, and the copy of each block the library is
// given.  The handle is declared after the sink it writes to, so it closes
// first.
struct ScratchEncoder {
  MemorySink sink;
  TiffHandle tiff;
  std::vector<std::uint8_t> copy;
  bool tried = false;
};

// Opens encoder's scratch handle, once, set_up giving it the target's
// tags; false when it cannot be had or set_up fails on it.  Raises what
// set_up raises.
bool OpenScratchEncoder(const std::function<bool(TIFF*)>& set_up, ScratchEncoder& encoder);

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

// Encodes source with encoder (opened), the bytes put in buffer, whose
// memory is used again: Encoded, or Failed when the library fails.
// Raises what StoreBlock raises.
EncodedBlock EncodeSource(ScratchEncoder& encoder, const BlockSource& source,
                          std::vector<std::uint8_t> buffer);

// The JPEG tables encoder made for its abbreviated blocks; empty when it
// made none.  Raises std::bad_alloc.
std::vector<std::uint8_t> JpegTablesOf(ScratchEncoder& encoder);

}  // namespace tessvane
