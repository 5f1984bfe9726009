// JPEG quality from quantization tables; see the header.
#include "jpeg_quality.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numeric>
#include <optional>

namespace tessvane {
namespace {

// The standard luminance table; the order of its values does not matter to
// the estimate, which uses only their sum.
constexpr std::array<int, 64> StandardLuminance = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

constexpr std::uint8_t MarkerStart = 0xFF;
constexpr std::uint8_t StartOfImage = 0xD8;
constexpr std::uint8_t DefineQuantization = 0xDB;

// The sum of the luminance table's 64 values in the DQT segment body
// [at, end), or nothing when the segment holds no table 0.
std::optional<long> LuminanceSum(const std::uint8_t* stream, std::size_t at, std::size_t end) {
  while (at < end) {
    const int precision = stream[at] >> 4;  // 0: 8-bit values, 1: 16-bit
    const int table = stream[at] & 0x0F;
    const std::size_t value_size = precision == 0 ? 1 : 2;
    if (precision > 1 || end - at - 1 < 64 * value_size) return std::nullopt;
    long sum = 0;
    for (std::size_t k = 0; k < 64; ++k) {
      const std::size_t place = at + 1 + k * value_size;
      sum += value_size == 1 ? stream[place] : stream[place] << 8 | stream[place + 1];
    }
    if (table == 0) return sum;
    at += 1 + 64 * value_size;
  }
  return std::nullopt;
}

// The quality whose scaling factor (in per cent of the standard table) is
// scale: the inverse of the IJG mapping 5000 / q below 50, 200 − 2q above.
int QualityForScale(double scale) {
  const double quality = scale <= 100 ? (200 - scale) / 2 : 5000 / scale;
  return std::clamp(static_cast<int>(std::lround(quality)), 1, 100);
}

}  // namespace

int EstimateJpegQuality(const std::uint8_t* stream, std::size_t size) {
  if (stream == nullptr || size < 4 || stream[0] != MarkerStart || stream[1] != StartOfImage) {
    return 0;
  }
  const long standard_sum = std::accumulate(StandardLuminance.begin(), StandardLuminance.end(), 0L);
  std::size_t at = 2;
  while (size - at >= 4 && stream[at] == MarkerStart) {
    const std::size_t length = std::size_t{stream[at + 2]} << 8 | stream[at + 3];
    if (length < 2 || length > size - at - 2) return 0;
    if (stream[at + 1] == DefineQuantization) {
      if (const auto sum = LuminanceSum(stream, at + 4, at + 2 + length)) {
        // Every value 1 is what quality 100 alone gives.
        if (*sum == 64) return 100;
        return QualityForScale(100.0 * static_cast<double>(*sum) / static_cast<double>(standard_sum));
      }
    }
    at += 2 + length;
  }
  return 0;
}

}  // namespace tessvane
