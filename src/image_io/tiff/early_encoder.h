// The early encoder: blocks (strips or tiles) of a page encoded on the
// threads beyond the caller's while the caller's thread is still clearing
// the page, each block as soon as all its pixels are final, into scratch
// encoders as the block writer's (scratch_encoder.h); so the encoding
// overlaps the backward scan, which makes the page final from the bottom
// up.  The writer then takes those blocks (EarlyBlocks) instead of
// encoding them again, if they came from the page's own pixels.
//
// Threads: those EarlyEncodingThreads (codec_budget.h) gives for the
// memory the clearing leaves, run by a ThreadPool; none when no CPU is
// free for a thread (EveryCpuBusy).  Once a block finds every CPU busy,
// no more blocks are encoded early: the page's other blocks are encoded
// when it is written, as they would be without this.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "early_blocks.h"
#include "scratch_encoder.h"

namespace tessvane {

class EarlyBlockEncoder {
 public:
  using SourceOf = std::function<BlockSource(const std::uint8_t* pixels, std::uint32_t block)>;

  // count blocks, block k of the cleared pixels being source_of(pixels,
  // k); set_up gives a scratch encoder the page's tags; free_bytes, what
  // the clearing leaves for the encoders.  The encoders are opened here,
  // so that set_up, which reads the page's record, never runs while its
  // pixels are cleared.  Raises nothing.
  EarlyBlockEncoder(std::uint32_t count, SourceOf source_of, const std::function<bool(TIFF*)>& set_up,
                    std::uint64_t free_bytes);
  ~EarlyBlockEncoder();  // stops, and waits for the blocks being encoded
  EarlyBlockEncoder(const EarlyBlockEncoder&) = delete;
  EarlyBlockEncoder& operator=(const EarlyBlockEncoder&) = delete;

  // Pixels begin .. end − 1 of pixels are final: the blocks that lie
  // wholly among them are handed to the threads.  Raises nothing.
  void Final(const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end);

  // Stops once the blocks being encoded are done: the pixels are not
  // read after it.  Raises nothing.
  void Stop() noexcept;

  // Stops, then returns the blocks encoded.  Raises nothing.
  EarlyBlocks Finish();

 private:
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace tessvane
