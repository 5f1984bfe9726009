// ByteArray storage: zeroed on growth, released at length 0, copied deeply.
#include <cstring>

#include "im_proc.h"

namespace tessvane {

ByteArray::ByteArray(const ByteArray& other) { *this = other; }

ByteArray& ByteArray::operator=(const ByteArray& other) {
  if (this == &other) return *this;
  if (other.length_ == 0) {
    bytes_.reset();
    length_ = 0;
    return *this;
  }
  auto* copy = static_cast<std::uint8_t*>(std::malloc(other.length_));
  if (copy == nullptr) RaiseOutOfMemory();
  std::memcpy(copy, other.bytes_.get(), other.length_);
  bytes_.reset(copy);
  length_ = other.length_;
  return *this;
}

// Fresh storage comes from calloc, whose large blocks are zero pages the
// system maps on demand: a new image costs no time until it is written.
void ByteArray::SetLength(std::int32_t count) {
  const std::uint32_t new_length = ToUnsigned(count);
  if (new_length == length_) return;
  if (new_length == 0) {
    bytes_.reset();
    length_ = 0;
    return;
  }
  std::uint8_t* grown;
  if (length_ == 0) {
    grown = static_cast<std::uint8_t*>(std::calloc(new_length, 1));
  } else {
    grown = static_cast<std::uint8_t*>(std::realloc(bytes_.get(), new_length));
    if (grown != nullptr && new_length > length_) {
      std::memset(grown + length_, 0, new_length - length_);
    }
  }
  if (grown == nullptr) RaiseOutOfMemory();
  static_cast<void>(bytes_.release());
  bytes_.reset(grown);
  length_ = new_length;
}

}  // namespace tessvane
