// Blocks (strips or tiles) of one page encoded while the page was still
// being cleared.
//
// Invariant: bytes[k], when not empty, is block k of the page exactly as
// the writer's encoders make it from pixels, the cleared page's memory;
// the writer takes them only for the page whose pixels they came from.
#pragma once

#include <cstdint>
#include <vector>

namespace tessvane {

struct EarlyBlocks {
  const std::uint8_t* pixels = nullptr;          // the cleared pixels they were encoded from
  std::vector<std::vector<std::uint8_t>> bytes;  // by block index; empty: not encoded
  std::vector<std::uint8_t> jpeg_tables;         // the encoder's, when block 0 is among them
};

}  // namespace tessvane
