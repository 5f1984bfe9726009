// ByteArray storage: zeroed on growth, released at length 0, copied deeply.
//
// Arrays of a few megabytes and more (whole images) are mapped from the
// system directly, in whole 2 MiB units, and marked for transparent huge
// pages: a 64-megapixel image then costs 32 page faults instead of 16,384,
// which matters most under virtualisation.  The system hands out mapped
// memory zeroed, and only touched pages take room.  Smaller arrays come
// from calloc.  A file view maps whole pages of the file around its range.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "byte_array.h"
#include "file_view_guard.h"

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
    if (copy.mapped_size_ > 0) copy.mapping_ = copy.bytes_;
    copy.length_ = other.length_;
    std::memcpy(copy.bytes_, other.bytes_, other.length_);
  }
  return *this = std::move(copy);
}

ByteArray::ByteArray(ByteArray&& other) noexcept
    : bytes_(std::exchange(other.bytes_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      mapping_(std::exchange(other.mapping_, nullptr)),
      mapped_size_(std::exchange(other.mapped_size_, 0)),
      file_view_(std::exchange(other.file_view_, false)) {}

ByteArray& ByteArray::operator=(ByteArray&& other) noexcept {
  std::swap(bytes_, other.bytes_);
  std::swap(length_, other.length_);
  std::swap(mapping_, other.mapping_);
  std::swap(mapped_size_, other.mapped_size_);
  std::swap(file_view_, other.file_view_);
  return *this;
}

ByteArray::~ByteArray() { Release(); }

void ByteArray::Release() noexcept {
  if (file_view_) UnguardFileView(mapping_);
  if (mapping_ != nullptr) {
    munmap(mapping_, mapped_size_);
  } else {
    std::free(bytes_);
  }
  bytes_ = nullptr;
  length_ = 0;
  mapping_ = nullptr;
  mapped_size_ = 0;
  file_view_ = false;
}

ByteArray ByteArray::ViewOfFile(int fd, std::uint64_t offset, std::uint32_t length) noexcept {
  ByteArray view;
  const long page = sysconf(_SC_PAGESIZE);
  if (length == 0 || page <= 0) return view;
  const std::uint64_t lead = offset % static_cast<std::uint64_t>(page);
  const std::size_t size = lead + length;
  void* const mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd,
                             static_cast<off_t>(offset - lead));
  if (mapping == MAP_FAILED) return view;
  if (!GuardFileView(mapping, size)) {
    munmap(mapping, size);
    return view;
  }
  view.bytes_ = static_cast<std::uint8_t*>(mapping) + lead;
  view.length_ = length;
  view.mapping_ = mapping;
  view.mapped_size_ = size;
  view.file_view_ = true;
  return view;
}

void ByteArray::MakePrivate() {
  if (!file_view_) return;
  ByteArray own(*this);
  *this = std::move(own);
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
  mapping_ = mapped_size > 0 ? resized : nullptr;
  mapped_size_ = mapped_size;
}

}  // namespace tessvane
