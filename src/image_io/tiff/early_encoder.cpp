// The early encoder: see early_encoder.h.
//
// Invariants: blocks from lowest_seen on were handed to the pool, or
// passed over for good (they reach into the last rows, final only when
// the clearing ends); a pool thread uses only the scratch encoder of its
// own number.
#include "early_encoder.h"

#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "codec_budget.h"
#include "parallel_for.h"
#include "thread_pool.h"

namespace tessvane {

// What the early encoder's threads share.
struct EarlyBlockEncoder::Work {
  SourceOf source_of;
  std::vector<ScratchEncoder> encoders;  // one a pool thread, opened before it starts
  std::mutex mutex;                      // guards everything below but pool
  std::uint32_t lowest_seen = 0;
  const std::uint8_t* pixels = nullptr;
  bool stopping = false;                 // stopped, or no block is worth encoding now
  EarlyBlocks blocks;
  std::optional<ThreadPool> pool;        // last: its threads end before the rest goes

  // A pool job: block k encoded on thread's encoder, unless stopping or
  // every CPU is busy (which stops the rest too).
  void Encode(std::uint32_t thread, std::uint32_t k) noexcept;
  // Stops, and waits for the blocks being encoded.
  void Stop() noexcept;
};

void EarlyBlockEncoder::Work::Encode(std::uint32_t thread, std::uint32_t k) noexcept {
  std::unique_lock lock(mutex);
  if (stopping) return;
  const std::uint8_t* const from = pixels;
  lock.unlock();
  try {
    if (EveryCpuBusy()) {
      lock.lock();
      stopping = true;  // the writer's threads encode what is left
      return;
    }
    ScratchEncoder& encoder = encoders[thread];
    EncodedBlock block = EncodeSource(encoder, source_of(from, k), {});
    if (block.state != EncodedBlock::State::Encoded) return;  // the writer finds out again
    lock.lock();
    blocks.bytes[k] = std::move(block.bytes);
    if (k == 0) blocks.jpeg_tables = JpegTablesOf(encoder);
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    stopping = true;  // no memory for a block: the writer encodes the rest
  }
}

void EarlyBlockEncoder::Work::Stop() noexcept {
  {
    const std::lock_guard lock(mutex);
    stopping = true;
  }
  if (pool) pool->Wait();
}

EarlyBlockEncoder::EarlyBlockEncoder(std::uint32_t count, SourceOf source_of,
                                     const std::function<bool(TIFF*)>& set_up, std::uint64_t free_bytes)
    : work_(std::make_unique<Work>()) {
  if (UsableCpuCount() < 2 || count < 2 || EveryCpuBusy(1)) return;  // no CPU free for a thread
  Work& work = *work_;
  try {
    work.encoders.resize(1);
    if (!OpenScratchEncoder(set_up, work.encoders[0])) return;
    const std::uint32_t threads = EarlyEncodingThreads(work.encoders[0].tiff.get(), count, free_bytes);
    if (threads == 0) return;
    work.encoders.resize(threads);
    std::uint32_t opened = 1;
    while (opened < threads && OpenScratchEncoder(set_up, work.encoders[opened])) ++opened;
    work.blocks.bytes.resize(count);
    work.source_of = std::move(source_of);
    work.lowest_seen = count;
    work.pool.emplace(opened);
  } catch (...) {
    work.pool.reset();  // no memory, or set_up raised: the writer encodes every block
  }
}

EarlyBlockEncoder::~EarlyBlockEncoder() { work_->Stop(); }

void EarlyBlockEncoder::Final(const std::uint8_t* pixels, std::uint32_t begin, std::uint32_t end) {
  Work& work = *work_;
  if (!work.pool || work.pool->Threads() == 0) return;
  const std::lock_guard lock(work.mutex);
  if (work.stopping) return;
  work.pixels = pixels;
  for (std::uint32_t k = work.lowest_seen; k-- > 0;) {
    const BlockSource block = work.source_of(pixels, k);
    const auto first = static_cast<std::uint64_t>(block.data - pixels);
    if (first < begin) break;
    work.lowest_seen = k;
    if (first + PixelsSpanned(block) > end) continue;
    try {
      work.pool->Add([&work, k](std::uint32_t thread) { work.Encode(thread, k); });
    } catch (const std::bad_alloc&) {
      work.stopping = true;  // the writer encodes the blocks not handed over
      return;
    }
  }
}

void EarlyBlockEncoder::Stop() noexcept { work_->Stop(); }

EarlyBlocks EarlyBlockEncoder::Finish() {
  Work& work = *work_;
  work.Stop();
  work.blocks.pixels = work.pixels;
  return std::move(work.blocks);
}

}  // namespace tessvane
