// ByteArray: a counted, bounds-checked array of bytes, the storage of an
// image's pixels and of the strip buffers.
//
// Invariant: Data() points at Length() zero-initialised-or-written bytes
// (nullptr when Length() is 0).  Every element access tests its index and
// raises ERangeError past the end; Data() gives the raw bytes to code that
// has already tested a whole range.
//
// An array made by ViewOfFile is instead a private, copy-on-write mapping
// of a range of a file: a byte written stays in memory, but a byte not yet
// written shows the file as it is at the moment of reading.  Copying,
// resizing to another length and MakePrivate give memory of the array's
// own.
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

  // The length bytes of the open file fd from offset on, mapped rather than
  // read, under the guard of file_view_guard.h.  An empty array when the
  // system maps nothing (the caller then reads the bytes instead); the
  // caller checks beforehand that the file holds the whole range.
  static ByteArray ViewOfFile(int fd, std::uint64_t offset, std::uint32_t length) noexcept;
  bool IsFileView() const noexcept { return file_view_; }

  // Copies a file view's bytes into memory of the array's own, so that
  // later changes to the file cannot reach them; other arrays are left
  // alone.  EOutOfMemory.
  void MakePrivate();

 private:
  void Release() noexcept;

  std::uint8_t* bytes_ = nullptr;
  std::uint32_t length_ = 0;
  void* mapping_ = nullptr;      // start of the mapping holding bytes_; nullptr if from malloc
  std::size_t mapped_size_ = 0;  // size of that mapping
  bool file_view_ = false;       // the mapping is a file's, guarded
};

}  // namespace tessvane
