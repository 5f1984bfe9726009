// ByteArray storage: zeroed on growth, released at length 0, copied deeply.
//
// Arrays of a few megabytes and more (whole images) are mapped from the
// system directly, in whole 2 MiB units, and marked for transparent huge
// pages: a 64-megapixel image then costs 32 page faults instead of 16,384,
// which matters most under virtualisation.  The system hands out mapped
// memory zeroed, and only touched pages take room.  Smaller arrays come
// from calloc.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "byte_array.h"

namespace tessvane {
namespace {

constexpr std::size_t HugePageSize = std::size_t{2} << 20;

// Zeroed storage for length bytes; its mapping size in mapped_size (0 for
// calloc).  nullptr when the system has no memory for it.
std::uint8_t* AllocateZeroed(std::uint32_t length, std::size_t& mapped_size) {
  mapped_size = 0;
  if (length < HugePageSize) return static_cast<std::uint8_t*>(std::calloc(length, 1));
  const std::size_t size = (length + HugePageSize - 1) / HugePageSize * HugePageSize;
  // An anonymous mapping takes no file: the descriptor is -1 by convention.
  // cppcheck-suppress invalidFunctionArg
  void* bytes = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (bytes == MAP_FAILED) return nullptr;
  madvise(bytes, size, MADV_HUGEPAGE);  // a hint; without huge pages it just does nothing
  mapped_size = size;
  return static_cast<std::uint8_t*>(bytes);
}

}  // namespace

ByteArray::ByteArray(const ByteArray& other) { *this = other; }

ByteArray& ByteArray::operator=(const ByteArray& other) {
  if (this == &other) return *this;
  ByteArray copy;
  if (other.length_ > 0) {
    copy.bytes_ = AllocateZeroed(other.length_, copy.mapped_size_);
    if (copy.bytes_ == nullptr) RaiseOutOfMemory();
    copy.length_ = other.length_;
    std::memcpy(copy.bytes_, other.bytes_, other.length_);
  }
  return *this = std::move(copy);
}

ByteArray::ByteArray(ByteArray&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      mapped_size_(std::exchange(other.mapped_size_, 0)) {}

ByteArray& ByteArray::operator=(ByteArray&& other) noexcept {
  std::swap(bytes_, other.bytes_);
  std::swap(length_, other.length_);
  std::swap(mapped_size_, other.mapped_size_);
  return *this;
}

ByteArray::~ByteArray() { Release(); }

void ByteArray::Release() noexcept {
  if (mapped_size_ > 0) {
    munmap(bytes_, mapped_size_);
  } else {
    std::free(bytes_);
  }
  bytes_ = nullptr;
  length_ = 0;
  mapped_size_ = 0;
}

void ByteArray::SetLength(std::int32_t count) {
  const std::uint32_t new_length = ToUnsigned(count);
  if (new_length == length_) return;
  if (new_length == 0) {
    Release();
    return;
  }
  std::size_t mapped_size;
  std::uint8_t* resized = AllocateZeroed(new_length, mapped_size);
  if (resized == nullptr) RaiseOutOfMemory();
  if (length_ > 0) std::memcpy(resized, bytes_, length_ < new_length ? length_ : new_length);
  Release();
  bytes_ = resized;
  length_ = new_length;
  mapped_size_ = mapped_size;
}

}  // namespace tessvane
