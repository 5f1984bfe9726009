// Every kernel path gives the scalar path's bytes: the scans on random
// images with arbitrary markers (not only border markers) and widths around
// the vector block sizes, where the vector kernels change strategy; the
// mapping on every pair it admits, and stopping alike on a bad one.
#include "pixel_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "checked.h"

namespace tessvane {
namespace {

// The vector paths this build and processor can run.
std::vector<KernelPath> VectorPaths() {
  std::vector<KernelPath> paths;
  for (const KernelPath path : {KernelPath::Sse2, KernelPath::Avx2}) {
    if (KernelPathAvailable(path)) paths.push_back(path);
  }
  if (paths.empty()) ADD_FAILURE() << "no vector path to compare";
  return paths;
}

TEST(PixelKernels, EveryPathScansLikeTheScalarOne) {
  std::mt19937 random(2026);
  for (const std::uint32_t width : {2u, 3u, 15u, 16u, 17u, 18u, 31u, 32u, 33u, 34u, 47u, 64u, 65u, 257u}) {
    for (const std::uint32_t height : {2u, 3u, 5u, 19u}) {
      const std::uint32_t count = width * height;
      for (int trial = 0; trial < 4; ++trial) {
        // Trials: any values; few values; a marker above the image, where
        // low values travel far; an all-black image, where the running
        // minimum runs through whole blocks.
        const std::uint32_t image_range[] = {256, 8, 64, 1};
        std::vector<std::uint8_t> image(count), marker(count);
        for (auto& pixel : image) pixel = static_cast<std::uint8_t>(random() % image_range[trial]);
        for (auto& pixel : marker) {
          pixel = static_cast<std::uint8_t>(trial < 2 ? random() % image_range[trial] : 64 + random() % 192);
        }
        auto expected = marker;
        ForwardScan(KernelPath::Scalar, expected.data(), image.data(), width, count - 1);
        BackwardScan(KernelPath::Scalar, expected.data(), image.data(), width, count - width - 2);
        for (const KernelPath path : VectorPaths()) {
          auto scanned = marker;
          ForwardScan(path, scanned.data(), image.data(), width, count - 1);
          BackwardScan(path, scanned.data(), image.data(), width, count - width - 2);
          ASSERT_EQ(scanned, expected) << "path " << static_cast<int>(path) << ", " << width
                                       << " x " << height << ", trial " << trial;
        }
      }
    }
  }
}

TEST(PixelKernels, EveryPathMapsLikeTheScalarOneAndStopsAtTheSamePixel) {
  std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs;
  for (int i = 0; i < 256; ++i) {
    for (int m = 0; m < 256; ++m) {
      if (i <= m || m == 0 || (i < 30 && m < 30)) pairs.emplace_back(i, m);
    }
  }
  std::mt19937 random(7);
  std::shuffle(pairs.begin(), pairs.end(), random);
  std::vector<std::uint8_t> image, marker;
  for (const auto& [i, m] : pairs) {
    image.push_back(i);
    marker.push_back(m);
  }
  const auto count = static_cast<std::uint32_t>(image.size());
  auto expected = image;
  MapPixels(KernelPath::Scalar, expected.data(), marker.data(), count);
  for (std::uint32_t k = 0; k < count; ++k) ASSERT_EQ(expected[k], MappedPixel(image[k], marker[k]));

  for (const KernelPath path : VectorPaths()) {
    auto mapped = image;
    MapPixels(path, mapped.data(), marker.data(), count);
    ASSERT_EQ(mapped, expected) << "path " << static_cast<int>(path);
    // One pair above its marker at a random place: the same pixels mapped.
    for (int trial = 0; trial < 20; ++trial) {
      const std::uint32_t bad = random() % count;
      auto bad_image = image;
      bad_image[bad] = static_cast<std::uint8_t>(31 + random() % 225);
      auto bad_marker = marker;
      bad_marker[bad] = static_cast<std::uint8_t>(1 + random() % (bad_image[bad] - 1));
      auto by_scalar = bad_image, by_path = bad_image;
      EXPECT_THROW(MapPixels(KernelPath::Scalar, by_scalar.data(), bad_marker.data(), count),
                   ERangeError);
      EXPECT_THROW(MapPixels(path, by_path.data(), bad_marker.data(), count), ERangeError);
      ASSERT_EQ(by_path, by_scalar) << "path " << static_cast<int>(path) << ", trial " << trial;
      EXPECT_EQ(by_scalar[bad], bad_image[bad]);
      if (bad > 0) {
        EXPECT_EQ(by_scalar[bad - 1], expected[bad - 1]);
      }
    }
  }
}

}  // namespace
}  // namespace tessvane
