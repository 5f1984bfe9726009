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

// All paths, the scalar one included: the fused kernels have band and
// tail logic of their own.
std::vector<KernelPath> AllPaths() {
  std::vector<KernelPath> paths = VectorPaths();
  paths.push_back(KernelPath::Scalar);
  return paths;
}

// The border marker built by hand: the image on the frame, 255 inside.
std::vector<std::uint8_t> FrameMarker(const std::vector<std::uint8_t>& image, std::uint32_t width,
                                      std::uint32_t height) {
  std::vector<std::uint8_t> marker(image.size(), 255);
  for (std::uint32_t r = 0; r < height; ++r) {
    for (std::uint32_t c = 0; c < width; ++c) {
      if (r == 0 || r + 1 == height || c == 0 || c + 1 == width) marker[r * width + c] = image[r * width + c];
    }
  }
  return marker;
}

// Widths around the block sizes and the band length (65,536 pixels), and
// heights spanning several bands.
TEST(PixelKernels, FusedKernelsGiveTheStepByStepBytes) {
  std::mt19937 random(14);
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {
      {2, 3},    {3, 5},    {15, 19},  {16, 7},   {17, 9},    {31, 4},    {32, 6},
      {33, 19},  {34, 3},   {64, 5},   {65, 11},  {257, 300}, {1000, 140}, {4095, 40},
      {65535, 3}, {65536, 3}, {70001, 4}};
  for (const auto& [width, height] : sizes) {
    const std::uint32_t count = width * height;
    for (int trial = 0; trial < 2; ++trial) {
      // Any values, and dark regions of few values that travel far.
      std::vector<std::uint8_t> image(count);
      for (auto& pixel : image) {
        pixel = static_cast<std::uint8_t>(trial == 0 ? random() % 256 : 20 * (random() % 4));
      }
      auto expected_marker = FrameMarker(image, width, height);
      auto expected_image = image;
      ForwardScan(KernelPath::Scalar, expected_marker.data(), image.data(), width, count - 1);
      BackwardScan(KernelPath::Scalar, expected_marker.data(), image.data(), width,
                   count - width - 2);
      MapPixels(KernelPath::Scalar, expected_image.data(), expected_marker.data(), count);
      for (const KernelPath path : AllPaths()) {
        std::vector<std::uint8_t> marker(count, 7);
        MarkerAndForwardScan(path, marker.data(), image.data(), width, height);
        auto fused = FrameMarker(image, width, height);
        ForwardScan(KernelPath::Scalar, fused.data(), image.data(), width, count - 1);
        ASSERT_EQ(marker, fused) << "path " << static_cast<int>(path) << ", " << width << " x " << height;
        const auto unread = image;
        BackwardScanAndMap(path, marker.data(), image.data(), width, count - width - 2, count);
        ASSERT_EQ(marker, expected_image) << "path " << static_cast<int>(path) << ", " << width << " x " << height;
        ASSERT_EQ(image, unread) << "path " << static_cast<int>(path) << ", " << width << " x " << height;
      }
    }
  }
}

// From an arbitrary marker the backward scan leaves the pixels after its
// start alone, so a pair above its marker can only sit there: the fused
// pass raises at the same pixel, with the marker pixels before it mapped
// and the rest as the scan left them.
TEST(PixelKernels, FusedBackwardScanStopsAtTheSamePixel) {
  std::mt19937 random(15);
  for (const std::uint32_t width : {3u, 17u, 33u, 64u, 100u}) {
    const std::uint32_t height = 6;
    const std::uint32_t count = width * height;
    const std::uint32_t first = count - width - 2;
    for (int trial = 0; trial < 30; ++trial) {
      std::vector<std::uint8_t> image(count), marker(count);
      for (auto& pixel : image) pixel = static_cast<std::uint8_t>(30 + random() % 100);
      for (auto& pixel : marker) pixel = static_cast<std::uint8_t>(130 + random() % 126);
      const bool bad = trial % 3 != 0;
      const std::uint32_t at = first + 1 + random() % (count - first - 1);
      if (bad) marker[at] = static_cast<std::uint8_t>(1 + random() % (image[at] - 1));
      auto expected_marker = marker, expected_image = image;
      BackwardScan(KernelPath::Scalar, expected_marker.data(), image.data(), width, first);
      bool expected_raised = false;
      try {
        MapPixels(KernelPath::Scalar, expected_image.data(), expected_marker.data(), count);
      } catch (const ERangeError&) {
        expected_raised = true;
      }
      ASSERT_EQ(expected_raised, bad);
      // Mapped up to the failing pixel, the scanned marker from there on.
      const std::uint32_t mapped_end = bad ? at : count;
      std::copy(expected_image.begin(), expected_image.begin() + mapped_end,
                expected_marker.begin());
      for (const KernelPath path : AllPaths()) {
        auto fused_marker = marker;
        const auto unread = image;
        bool raised = false;
        try {
          BackwardScanAndMap(path, fused_marker.data(), image.data(), width, first, count);
        } catch (const ERangeError&) {
          raised = true;
        }
        EXPECT_EQ(raised, bad) << "path " << static_cast<int>(path) << ", width " << width;
        ASSERT_EQ(fused_marker, expected_marker) << "path " << static_cast<int>(path);
        ASSERT_EQ(image, unread) << "path " << static_cast<int>(path);
      }
    }
  }
}

}  // namespace
}  // namespace tessvane
