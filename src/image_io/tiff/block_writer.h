// The blocks (strips or tiles) of a page encoded on several threads and
// written to the target in order.
//
// A thread whose block comes next in the file encodes it straight through
// the target; otherwise it encodes it into a scratch encoder of its own
// (scratch_encoder.h), whose encoded block is then written to the target
// unchanged once the blocks before it are: the file comes out byte for
// byte as one handle encoding every block in turn would write it.
//
// With one thread (codec_budget.h), or a compression whose blocks do not
// encode independently, nothing is done here and the writer encodes the
// blocks itself: that path stays the reference the tests compare against.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>

#include "early_blocks.h"
#include "scratch_encoder.h"

namespace tessvane {

// How writing the blocks in parallel went.
enum class BlockWrite {
  NotTried,  // nothing written: the caller writes every block itself
  Written,   // every source written to target, in order
  Failed,    // the library failed to encode or write a block
};

// Encodes source_of(0 .. count − 1), in increasing block order, in
// parallel: through target when a block comes next, else into scratch
// encoders that set_up gives target's tags (false when it cannot: that
// thread's blocks are then encoded through target in their turn),
// and writes them to target in that order, each as soon as the blocks
// before it are written, with the JPEG tables the encoders made.  Strips
// or tiles as target's page has.  The library, which may change what it
// is given, gets a copy of a block unless it is a strip stored as it is
// and encoded without a predictor.  Blocks in early that came from the
// same pixels are written as they are, not encoded again.  NotTried where
// EncodingThreads gives one thread; Failed with failed_block set to the
// first block, in order, that could not be encoded or written.  Raises
// std::bad_alloc.
BlockWrite WriteBlocksInParallel(TIFF* target, std::uint32_t count,
                                 const std::function<BlockSource(std::uint32_t)>& source_of,
                                 const std::function<bool(TIFF*)>& set_up,
                                 std::uint32_t& failed_block, EarlyBlocks* early);

}  // namespace tessvane
