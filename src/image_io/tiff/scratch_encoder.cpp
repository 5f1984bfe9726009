// Blocks to encode and scratch encoders: see scratch_encoder.h.
#include "scratch_encoder.h"

#include <algorithm>
#include <cstring>

#include "packed_samples.h"

namespace tessvane {
namespace {

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

}  // namespace

bool ChangesBytesGiven(TIFF* tiff) {
  std::uint16_t predictor = PREDICTOR_NONE;
  if (TIFFGetField(tiff, TIFFTAG_PREDICTOR, &predictor) && predictor != PREDICTOR_NONE) return true;
  std::uint16_t compression = COMPRESSION_NONE;
  std::uint16_t fill_order = FILLORDER_MSB2LSB;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fill_order);
  return compression == COMPRESSION_NONE && fill_order != FILLORDER_MSB2LSB;
}

void StoreLevels(const std::uint8_t* data, std::uint32_t size, bool inverted, std::uint8_t* stored) {
  if (!inverted) {
    std::memcpy(stored, data, size);
    return;
  }
  for (std::uint32_t i = 0; i < size; ++i) stored[i] = static_cast<std::uint8_t>(255 - data[i]);
}

std::uint64_t PixelsSpanned(const BlockSource& source) {
  if (source.shape.width == 0) return source.size;
  return std::uint64_t{source.shape.rows - 1} * source.shape.stride + source.shape.columns;
}

void StoreBlock(const BlockSource& source, std::vector<std::uint8_t>& buffer) {
  buffer.resize(source.size);
  if (source.shape.width == 0) {
    StoreLevels(source.data, source.size, source.inverted, buffer.data());
    return;
  }
  const TileShape& shape = source.shape;
  const std::uint32_t row_bytes = PackedRowBytes(shape.width, source.bits);
  // Only a tile that reaches past the image has padding to zero.
  if (shape.columns < shape.width || std::uint64_t{shape.rows} * row_bytes < source.size) {
    std::fill(buffer.begin(), buffer.end(), 0);
  }
  for (std::uint32_t r = 0; r < shape.rows; ++r) {
    const std::uint8_t* const row = source.data + std::size_t{r} * shape.stride;
    std::uint8_t* const stored = buffer.data() + std::size_t{r} * row_bytes;
    if (source.bits < 8) {
      PackRow(row, shape.columns, source.bits, source.inverted, stored);
    } else {
      StoreLevels(row, shape.columns, source.inverted, stored);
    }
  }
}

std::uint8_t* BytesToEncode(TIFF* tiff, const BlockSource& source, std::vector<std::uint8_t>& copy) {
  if (source.shape.width == 0 && !source.inverted && !ChangesBytesGiven(tiff)) {
    return const_cast<std::uint8_t*>(source.data);  // only read without a predictor
  }
  StoreBlock(source, copy);
  return copy.data();
}

bool WriteEncodedBlock(TIFF* tiff, std::uint32_t index, std::uint8_t* data, std::uint32_t size) {
  return (TIFFIsTiled(tiff) ? TIFFWriteEncodedTile(tiff, index, data, size)
                            : TIFFWriteEncodedStrip(tiff, index, data, size)) >= 0;
}

bool OpenScratchEncoder(const std::function<bool(TIFF*)>& set_up, ScratchEncoder& encoder) {
  if (!encoder.tried) {
    encoder.tried = true;
    encoder.tiff.reset(OpenOwnHandle("scratch strip", "w8", &encoder.sink, ClientReadsNothing,
                                     SinkWrite, ClientSeek<MemorySink>, ClientSize<MemorySink>,
                                     nullptr));
    if (encoder.tiff && !set_up(encoder.tiff.get())) encoder.tiff.reset();
  }
  return encoder.tiff != nullptr;
}

// The bytes the library recorded as the block are taken out of the sink,
// which then forgets everything so far.  (The library keeps a tile's
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

std::vector<std::uint8_t> JpegTablesOf(ScratchEncoder& encoder) {
  std::uint32_t length = 0;
  void* tables = nullptr;
  if (!TIFFGetField(encoder.tiff.get(), TIFFTAG_JPEGTABLES, &length, &tables) || tables == nullptr) {
    return {};
  }
  const auto* bytes = static_cast<const std::uint8_t*>(tables);
  return {bytes, bytes + length};
}

}  // namespace tessvane
