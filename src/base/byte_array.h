// ByteArray: a counted, bounds-checked array of bytes, the storage of an
// image's pixels and of the strip buffers.
//
// Invariant: Data() points at Length() zero-initialised-or-written bytes
// (nullptr when Length() is 0).  Every element access tests its index and
// raises ERangeError past the end; Data() gives the raw bytes to code that
// has already tested a whole range.
#pragma once

#include <cstddef>
#include <cstdint>

#include "checked.h"

namespace tessvane {

class ByteArray {
 public:
  ByteArray() = default;
  ByteArray(const ByteArray& other);
  ByteArray& operator=(const ByteArray& other);
  ByteArray(ByteArray&& other) noexcept;
  ByteArray& operator=(ByteArray&& other) noexcept;
  ~ByteArray();

  // Resizes to count bytes, keeping the old bytes and zeroing new ones;
  // 0 releases the storage.  Negative: ERangeError; no memory: EOutOfMemory.
  void SetLength(std::int32_t count);
  std::uint32_t Length() const noexcept { return length_; }

  std::uint8_t& operator[](std::uint32_t index) {
    if (index >= length_) RaiseRangeError();
    return bytes_[index];
  }
  std::uint8_t operator[](std::uint32_t index) const {
    if (index >= length_) RaiseRangeError();
    return bytes_[index];
  }

  std::uint8_t* Data() noexcept { return bytes_; }
  const std::uint8_t* Data() const noexcept { return bytes_; }

 private:
  void Release() noexcept;

  std::uint8_t* bytes_ = nullptr;
  std::uint32_t length_ = 0;
  std::size_t mapped_size_ = 0;  // size of the mapping holding bytes_, 0 if from malloc
};

}  // namespace tessvane
