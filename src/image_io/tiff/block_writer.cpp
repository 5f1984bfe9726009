// Blocks encoded on several threads and written in order: see
// block_writer.h.
//
// Invariant: the target is used by one thread at a time, the in-order
// writer's writing thread.
#include "block_writer.h"

#include <mutex>
#include <utility>
#include <vector>

#include "codec_budget.h"
#include "parallel_for.h"

namespace tessvane {
namespace {

// Writes bytes as block index of tiff, as they are; false when the
// library fails.
bool WriteRawBlock(TIFF* tiff, std::uint32_t index, const std::vector<std::uint8_t>& bytes) {
  auto* const data = const_cast<std::uint8_t*>(bytes.data());  // the library only reads it
  const auto size = static_cast<tmsize_t>(bytes.size());
  return (TIFFIsTiled(tiff) ? TIFFWriteRawTile(tiff, index, data, size)
                            : TIFFWriteRawStrip(tiff, index, data, size)) >= 0;
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

}  // namespace

BlockWrite WriteBlocksInParallel(TIFF* target, std::uint32_t count,
                                 const std::function<BlockSource(std::uint32_t)>& source_of,
                                 const std::function<bool(TIFF*)>& set_up,
                                 std::uint32_t& failed_block, EarlyBlocks* early) {
  const std::uint32_t threads = EncodingThreads(target, count);
  if (threads < 2) return BlockWrite::NotTried;
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

}  // namespace tessvane
