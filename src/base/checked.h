// Checked arithmetic and the errors that end a run.
//
// Every product, sum and difference that sizes or indexes the image is
// formed here and tested: a result outside its type raises EIntOverflow,
// a value that does not fit the narrower or unsigned type it is converted
// to raises ERangeError.  The helpers that return a value are [[nodiscard]];
// a check made only for the error it may raise goes through a Require...
// helper, which returns nothing, so no such call reads as dead code.  The
// raise helpers are never inlined, so each
// error records where it was raised: the return address into the code that
// made the failing check, as an offset from the executable's load address.
// Nothing below main catches these errors.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace tessvane {

// Base of every run-ending error: a class name, a message text and the
// offset of the failing check from the executable's load address.
class ERunError : public std::exception {
 public:
  ERunError(std::string message, std::uintptr_t offset)
      : message_(std::move(message)), offset_(offset) {}
  virtual const char* ClassName() const noexcept = 0;
  const std::string& Message() const noexcept { return message_; }
  std::uintptr_t Offset() const noexcept { return offset_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
  std::uintptr_t offset_;
};

// A run-ending error of a fixed class name and message: each pair makes a
// type of its own, caught apart from the others.
template <const char* Name, const char* Text>
class EFixedRunError : public ERunError {
 public:
  explicit EFixedRunError(std::uintptr_t offset) : ERunError(Text, offset) {}
  const char* ClassName() const noexcept override { return Name; }
};

inline constexpr char RangeErrorName[] = "ERangeError";
inline constexpr char RangeErrorText[] = "Range check error";
inline constexpr char IntOverflowName[] = "EIntOverflow";
inline constexpr char IntOverflowText[] = "Integer overflow";
inline constexpr char OutOfMemoryName[] = "EOutOfMemory";
inline constexpr char OutOfMemoryText[] = "Out of memory";
using ERangeError = EFixedRunError<RangeErrorName, RangeErrorText>;
using EIntOverflow = EFixedRunError<IntOverflowName, IntOverflowText>;
using EOutOfMemory = EFixedRunError<OutOfMemoryName, OutOfMemoryText>;

// A console read or write that failed, described by the system's errno.
class EInOutError : public ERunError {
 public:
  EInOutError(int errno_value, std::uintptr_t offset);
  const char* ClassName() const noexcept override { return "EInOutError"; }
};

// Raise helpers: each throws its error, located at the caller's call site.
[[noreturn]] void RaiseRangeError();
[[noreturn]] void RaiseIntOverflow();
[[noreturn]] void RaiseOutOfMemory();
// Raises EInOutError for a failed system call that set errno_value.
[[noreturn]] void RaiseInOutError(int errno_value);

// The message text for a failed console read or write, from its errno:
// "File not found" for ENOENT, ..., "I/O error 32" for EPIPE.
[[nodiscard]] std::string InOutErrorText(int errno_value);

// a × b as a signed 32-bit product; EIntOverflow when it does not fit.
[[nodiscard]] inline std::int32_t CheckedMul(std::int32_t a, std::int32_t b) {
  std::int32_t product;
  if (__builtin_mul_overflow(a, b, &product)) RaiseIntOverflow();
  return product;
}

// The check of CheckedMul without its value: EIntOverflow when a × b does
// not fit a signed 32-bit integer.
inline void RequireMulFits(std::int32_t a, std::int32_t b) { static_cast<void>(CheckedMul(a, b)); }

// a − b as an unsigned 32-bit difference; EIntOverflow when b > a.
[[nodiscard]] inline std::uint32_t CheckedSubUnsigned(std::uint32_t a, std::uint32_t b) {
  if (b > a) RaiseIntOverflow();
  return a - b;
}

// The check of CheckedSubUnsigned without its value: EIntOverflow when b > a.
inline void RequireSubUnsignedFits(std::uint32_t a, std::uint32_t b) {
  static_cast<void>(CheckedSubUnsigned(a, b));
}

// A signed value used as an unsigned count; ERangeError when negative.
[[nodiscard]] inline std::uint32_t ToUnsigned(std::int32_t value) {
  if (value < 0) RaiseRangeError();
  return static_cast<std::uint32_t>(value);
}

// A 64-bit value narrowed to a signed 32-bit one; ERangeError outside it.
[[nodiscard]] inline std::int32_t ToInt32(std::int64_t value) {
  if (value < INT32_MIN || value > INT32_MAX) RaiseRangeError();
  return static_cast<std::int32_t>(value);
}


}  // namespace tessvane
