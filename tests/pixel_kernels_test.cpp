// The scalar and vector kernels give the same bytes: the scans on random
// images with arbitrary markers (not only border markers) and widths around
// the vector block size, the mapping on every pair it admits.
#include "pixel_kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "checked.h"

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

namespace tessvane {
namespace {

// Every pair the mapping admits, shuffled; then the same with one pair
// above its marker at a random place, where both paths must stop alike.
TEST(PixelKernels, ScalarAndVectorMappingAgreeAndStopAtTheSamePixel) {
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
  auto scalar = image, vector = image;
  MapPixels(KernelPath::Scalar, scalar.data(), marker.data(), count);
  MapPixels(FastestKernelPath(), vector.data(), marker.data(), count);
  ASSERT_EQ(scalar, vector);
  for (std::uint32_t k = 0; k < count; ++k) ASSERT_EQ(scalar[k], MappedPixel(image[k], marker[k]));

  for (int trial = 0; trial < 20; ++trial) {
    const std::uint32_t bad = random() % count;
    auto bad_image = image;
    bad_image[bad] = static_cast<std::uint8_t>(31 + random() % 225);
    auto bad_marker = marker;
    bad_marker[bad] = static_cast<std::uint8_t>(1 + random() % (bad_image[bad] - 1));
    auto stopped_scalar = bad_image, stopped_vector = bad_image;
    EXPECT_THROW(MapPixels(KernelPath::Scalar, stopped_scalar.data(), bad_marker.data(), count),
                 ERangeError);
    EXPECT_THROW(MapPixels(FastestKernelPath(), stopped_vector.data(), bad_marker.data(), count),
                 ERangeError);
    ASSERT_EQ(stopped_scalar, stopped_vector) << "trial " << trial;
    EXPECT_EQ(stopped_scalar[bad], bad_image[bad]);
    if (bad > 0) {
      EXPECT_EQ(stopped_scalar[bad - 1], scalar[bad - 1]);
    }
  }
}

}  // namespace
}  // namespace tessvane
