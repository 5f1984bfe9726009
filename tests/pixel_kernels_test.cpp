// The scalar and vector kernels give the same bytes, on random images with
// arbitrary markers (not only border markers) and widths around the vector
// block size, where the vector kernels change strategy.
#include "pixel_kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace tessvane {
namespace {

TEST(PixelKernels, ScalarAndVectorScansAgreeOnArbitraryMarkers) {
  std::mt19937 random(2026);
  for (const std::uint32_t width : {2u, 3u, 15u, 16u, 17u, 18u, 31u, 32u, 33u, 47u, 64u, 65u, 257u}) {
    for (const std::uint32_t height : {2u, 3u, 5u, 19u}) {
      for (int trial = 0; trial < 4; ++trial) {
        const std::uint32_t count = width * height;
        std::vector<std::uint8_t> image(count), marker(count);
        // Trials: any values; few values; a marker above the image, where
        // low values travel far; an all-black image, where the running
        // minimum runs through whole blocks.
        const std::uint32_t image_range[] = {256, 8, 64, 1};
        for (auto& pixel : image) pixel = static_cast<std::uint8_t>(random() % image_range[trial]);
        for (auto& pixel : marker) {
          pixel = static_cast<std::uint8_t>(trial < 2 ? random() % image_range[trial] : 64 + random() % 192);
        }
        if (count - width < 2) continue;
        auto scalar = marker, vector = marker;
        for (std::vector<std::uint8_t>* m : {&scalar, &vector}) {
          const KernelPath path = m == &scalar ? KernelPath::Scalar : FastestKernelPath();
          ForwardScan(path, m->data(), image.data(), width, count - 1);
          BackwardScan(path, m->data(), image.data(), width, count - width - 2);
        }
        ASSERT_EQ(scalar, vector) << width << " x " << height << ", trial " << trial;
      }
    }
  }
}

}  // namespace
}  // namespace tessvane
