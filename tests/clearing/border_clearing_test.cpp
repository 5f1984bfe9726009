// The marker, the reconstruction and the mapping, on the worked examples of
// the algorithm and against an independent computation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "im_proc.h"
#include "reference_clearing.h"
#include "test_tiff.h"

namespace tessvane {
namespace {

TMyImage MakeImage(std::int32_t width, std::int32_t height, const std::vector<std::uint8_t>& pixels) {
  TMyImage image;
  image.Width = width;
  image.Height = height;
  image.Pixels.SetLength(static_cast<std::int32_t>(pixels.size()));
  if (!pixels.empty()) std::memcpy(image.Pixels.Data(), pixels.data(), pixels.size());
  return image;
}

TMyImage Filled(std::int32_t width, std::int32_t height, std::uint8_t value) {
  return MakeImage(width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height, value));
}

std::vector<std::uint8_t> PixelsOf(const TMyImage& image) {
  return {image.Pixels.Data(), image.Pixels.Data() + image.Pixels.Length()};
}

void Set(TMyImage& image, int row, int column, std::uint8_t value) {
  image.Pixels[static_cast<std::uint32_t>(row * image.Width + column)] = value;
}

// ---- MakeBorderMarker ------------------------------------------------------

TEST(BorderMarker, KeepsTheFrameAndWhitensTheInside) {
  std::vector<std::uint8_t> pixels(20);
  for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(i);
  const TMyImage image = MakeImage(5, 4, pixels);
  const TMyImage marker = MakeBorderMarker(image);
  std::vector<std::uint8_t> expected = pixels;
  for (int row = 1; row <= 2; ++row) {
    for (int column = 1; column <= 3; ++column) expected[row * 5 + column] = 255;
  }
  EXPECT_EQ(PixelsOf(marker), expected);

  const TMyImage small = MakeImage(3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_EQ(PixelsOf(MakeBorderMarker(small)), (std::vector<std::uint8_t>{1, 2, 3, 4, 255, 6, 7, 8, 9}));
}

TEST(BorderMarker, ThinImagesAreAllFrame) {
  for (const auto& [width, height] : {std::pair{1, 1}, {1, 5}, {5, 1}, {2, 6}, {6, 2}, {2, 2}}) {
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<std::uint8_t>(3 * i);
    EXPECT_EQ(PixelsOf(MakeBorderMarker(MakeImage(width, height, pixels))), pixels)
        << width << " x " << height;
  }
}

TEST(BorderMarker, CopiesTheFieldsAndOwnsItsPixels) {
  TMyImage image = Filled(4, 4, 9);
  image.BitsPerSample = 8;
  image.Compression = 5;
  image.Photometric = 1;
  image.RowsPerStrip = 3;
  image.XResolution = std::nanf("7");
  image.YResolution = 300.5f;
  image.ResolutionUnit = 2;
  image.StripCount = 2;
  image.PlanarConfig = 1;
  image.Orientation = 6;
  TMyImage marker = MakeBorderMarker(image);
  EXPECT_EQ(std::memcmp(static_cast<const TImageFields*>(&marker),
                        static_cast<const TImageFields*>(&image), sizeof(TImageFields)),
            0);
  marker.Pixels[0] = 1;
  EXPECT_EQ(image.Pixels[0], 9);
  EXPECT_EQ(PixelsOf(image), std::vector<std::uint8_t>(16, 9));
}

TEST(BorderMarker, ImpossibleSizesEndTheRun) {
  TMyImage huge;
  huge.Width = 46341;
  huge.Height = 46341;
  EXPECT_THROW(MakeBorderMarker(huge), EIntOverflow);
  TMyImage negative;
  negative.Width = -1;
  negative.Height = 3;
  EXPECT_THROW(MakeBorderMarker(negative), ERangeError);
  TMyImage no_columns;
  no_columns.Height = 4;
  EXPECT_THROW(MakeBorderMarker(no_columns), EIntOverflow);
  TMyImage no_rows;
  no_rows.Width = 4;
  EXPECT_THROW(MakeBorderMarker(no_rows), ERangeError);
}

// ---- ReconstructByErosion ---------------------------------------------------

TMyImage Reconstructed(const TMyImage& image) {
  TMyImage marker = MakeBorderMarker(image);
  EXPECT_EQ(ReconstructByErosion(image, marker), 1);
  return marker;
}

TEST(Reconstruction, FollowsDarkRegionsJoinedToTheBorderAndFillsEnclosedOnes) {
  TMyImage image = Filled(6, 5, 200);
  Set(image, 1, 0, 20);
  Set(image, 1, 1, 20);
  Set(image, 2, 3, 100);
  TMyImage expected = Filled(6, 5, 200);
  Set(expected, 1, 0, 20);
  Set(expected, 1, 1, 20);
  EXPECT_EQ(PixelsOf(Reconstructed(image)), PixelsOf(expected));

  TMyImage centre = Filled(5, 5, 200);
  Set(centre, 2, 2, 0);
  EXPECT_EQ(PixelsOf(Reconstructed(centre)), std::vector<std::uint8_t>(25, 200));

  TMyImage inlet = Filled(5, 5, 200);
  for (int row = 0; row <= 2; ++row) Set(inlet, row, 2, 0);
  EXPECT_EQ(PixelsOf(Reconstructed(inlet)), PixelsOf(inlet));
}

TEST(Reconstruction, NeverGoesBelowTheImage) {
  TMyImage raised = Filled(6, 5, 180);
  for (int column = 0; column < 6; ++column) {
    Set(raised, 0, column, 100);
    Set(raised, 4, column, 100);
  }
  for (int row = 0; row < 5; ++row) {
    Set(raised, row, 0, 100);
    Set(raised, row, 5, 100);
  }
  EXPECT_EQ(PixelsOf(Reconstructed(raised)), PixelsOf(raised));

  TMyImage diagonal = Filled(3, 3, 9);
  Set(diagonal, 0, 0, 0);
  Set(diagonal, 1, 1, 5);
  EXPECT_EQ(PixelsOf(Reconstructed(diagonal)), PixelsOf(diagonal));

  for (std::uint8_t value : {0, 77, 255}) {
    const TMyImage uniform = Filled(7, 6, value);
    EXPECT_EQ(PixelsOf(Reconstructed(uniform)), PixelsOf(uniform));
  }
}

// A corridor from the top edge that runs down, right, up, right and down:
// one forward and one backward scan follow it only as far as row 1,
// column 5; a second call reaches the rest.
TEST(Reconstruction, OneCallFollowsOnlyWhatOneScanEachWayCanReach) {
  TMyImage image = Filled(9, 8, 200);
  for (int row = 0; row <= 6; ++row) Set(image, row, 2, 0);
  for (int column = 2; column <= 4; ++column) Set(image, 6, column, 0);
  for (int row = 1; row <= 6; ++row) Set(image, row, 4, 0);
  for (int column = 4; column <= 6; ++column) Set(image, 1, column, 0);
  for (int row = 1; row <= 6; ++row) Set(image, row, 6, 0);

  TMyImage marker = MakeBorderMarker(image);
  ReconstructByErosion(image, marker);
  TMyImage expected = Filled(9, 8, 200);
  for (int row = 0; row <= 6; ++row) Set(expected, row, 2, 0);
  for (int column = 2; column <= 4; ++column) Set(expected, 6, column, 0);
  for (int row = 1; row <= 6; ++row) Set(expected, row, 4, 0);
  Set(expected, 1, 5, 0);
  EXPECT_EQ(PixelsOf(marker), PixelsOf(expected));

  ReconstructByErosion(image, marker);
  EXPECT_EQ(PixelsOf(marker), PixelsOf(image));
}

TEST(Reconstruction, NeighboursWrapAcrossRowEnds) {
  const TMyImage image = Filled(3, 3, 0);
  TMyImage marker = Filled(3, 3, 200);
  Set(marker, 1, 2, 10);
  ReconstructByErosion(image, marker);
  EXPECT_EQ(PixelsOf(marker), std::vector<std::uint8_t>(9, 10));

  const TMyImage square = MakeImage(2, 2, {10, 20, 30, 40});
  TMyImage unvisited = MakeImage(2, 2, {10, 255, 255, 40});
  ReconstructByErosion(square, unvisited);
  EXPECT_EQ(PixelsOf(unvisited), (std::vector<std::uint8_t>{10, 255, 255, 40}));
}

TEST(Reconstruction, ImagesWithoutAnInsideEndTheRunUntouched) {
  for (const auto& [width, height] : {std::pair{1, 2}, {5, 1}, {1, 1}, {0, 4}, {4, 0}}) {
    const TMyImage image = Filled(width, height, 10);
    TMyImage marker = Filled(width, height, 50);
    EXPECT_THROW(ReconstructByErosion(image, marker), EIntOverflow) << width << " x " << height;
    EXPECT_EQ(PixelsOf(marker), std::vector<std::uint8_t>(marker.Pixels.Length(), 50));
  }
  TMyImage huge;
  huge.Width = 65536;
  huge.Height = 32768;
  TMyImage marker;
  EXPECT_THROW(ReconstructByErosion(huge, marker), EIntOverflow);
  huge.Width = -3;
  EXPECT_THROW(ReconstructByErosion(huge, marker), ERangeError);
}

TEST(Reconstruction, AShortMarkerFailsAtItsEnd) {
  const TMyImage image = Filled(4, 4, 0);
  TMyImage marker = Filled(4, 3, 100);
  marker.Pixels[0] = 0;
  EXPECT_THROW(ReconstructByErosion(image, marker), ERangeError);
  // The forward scan rewrote what it reached before the end of the array.
  EXPECT_EQ(marker.Pixels[5], 0);
}

// ---- NormalizeAndClear -------------------------------------------------------

TEST(Mapping, WorkedValues) {
  const std::vector<std::pair<int, int>> pairs = {
      {200, 200}, {50, 50}, {100, 200}, {20, 40}, {128, 255}, {254, 255}, {60, 255}, {2, 255},
      {1, 255},   {0, 255}, {10, 31},   {29, 30}, {30, 30},   {29, 29},   {10, 20}, {0, 0}};
  const std::vector<std::uint8_t> expected = {255, 255, 127, 127, 127, 253, 59, 1,
                                              0,   0,   81,  246, 255, 255, 255, 255};
  std::vector<std::uint8_t> image_pixels, marker_pixels;
  for (const auto& [i, m] : pairs) {
    image_pixels.push_back(static_cast<std::uint8_t>(i));
    marker_pixels.push_back(static_cast<std::uint8_t>(m));
  }
  TMyImage image = MakeImage(4, 4, image_pixels);
  const TMyImage marker = MakeImage(4, 4, marker_pixels);
  EXPECT_EQ(NormalizeAndClear(image, marker), 1);
  EXPECT_EQ(PixelsOf(image), expected);
  EXPECT_EQ(PixelsOf(marker), marker_pixels);
}

TEST(Mapping, AgreesWithTheRuleForEveryAdmissiblePair) {
  std::vector<std::uint8_t> image_pixels, marker_pixels;
  for (int m = 0; m < 256; ++m) {
    for (int i = 0; i < 256; ++i) {
      if (i > m && m >= 1 && i >= 30) continue;  // the marker is never below the image
      image_pixels.push_back(static_cast<std::uint8_t>(i));
      marker_pixels.push_back(static_cast<std::uint8_t>(m));
    }
  }
  TMyImage image = MakeImage(static_cast<std::int32_t>(image_pixels.size()), 1, image_pixels);
  NormalizeAndClear(image, MakeImage(image.Width, 1, marker_pixels));
  for (std::size_t k = 0; k < image_pixels.size(); ++k) {
    ASSERT_EQ(image.Pixels[static_cast<std::uint32_t>(k)],
              testing_support::ReferenceMapping(image_pixels[k], marker_pixels[k]))
        << "image " << int{image_pixels[k]} << " marker " << int{marker_pixels[k]};
  }
}

TEST(Mapping, AnImagePixelAboveItsMarkerEndsTheRunThere) {
  TMyImage image = MakeImage(4, 1, {100, 100, 31, 100});
  const TMyImage marker = MakeImage(4, 1, {200, 200, 30, 200});
  EXPECT_THROW(NormalizeAndClear(image, marker), ERangeError);
  EXPECT_EQ(PixelsOf(image), (std::vector<std::uint8_t>{127, 127, 31, 100}));

  TMyImage empty = Filled(0, 3, 0);
  EXPECT_THROW(NormalizeAndClear(empty, empty), EIntOverflow);
  TMyImage negative = Filled(2, 2, 0);
  negative.Height = -2;
  EXPECT_THROW(NormalizeAndClear(negative, negative), ERangeError);
}

// ---- the three together ------------------------------------------------------

TEST(BorderClearing, MatchesAnIndependentComputationOnPages) {
  const std::vector<std::pair<int, int>> sizes = {{2, 2},  {3, 3},   {2, 5},  {5, 2},  {1, 3},
                                                  {1, 7},  {7, 3},   {37, 23}, {64, 64},
                                                  {101, 57}, {256, 300}};
  std::uint32_t seed = 1;
  for (const auto& [width, height] : sizes) {
    for (int variant = 0; variant < 3; ++variant, ++seed) {
      std::vector<std::uint8_t> page = testing_support::MakeTestPage(width, height, seed);
      if (variant == 1) {  // noise: many small regions of every level
        std::mt19937 random(seed);
        for (auto& pixel : page) pixel = static_cast<std::uint8_t>(random());
      }
      TMyImage image = MakeImage(width, height, page);
      TMyImage marker = MakeBorderMarker(image);
      ReconstructByErosion(image, marker);
      NormalizeAndClear(image, marker);
      EXPECT_EQ(PixelsOf(image), testing_support::ReferenceClearing(page, width, height))
          << width << " x " << height << " variant " << variant;
    }
  }
}

// ---- ClearImage ----------------------------------------------------------------

// The three steps one after the other, as the run made them.
TMyImage ClearedStepByStep(const TMyImage& image) {
  TMyImage result = image;
  TMyImage marker = MakeBorderMarker(result);
  ReconstructByErosion(result, marker);
  NormalizeAndClear(result, marker);
  return result;
}

TEST(ClearImage, GivesTheBytesOfTheThreeSteps) {
  std::mt19937 random(13);
  for (const auto& [width, height] : {std::pair{2, 2}, {3, 3}, {1, 5}, {5, 2}, {40, 30}, {300, 260}}) {
    for (const int levels : {256, 3}) {
      std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
      for (auto& pixel : pixels) pixel = static_cast<std::uint8_t>(random() % levels * (255 / (levels - 1)));
      TMyImage image = MakeImage(width, height, pixels);
      const TMyImage expected = ClearedStepByStep(image);
      EXPECT_EQ(ClearImage(image), 1);
      EXPECT_EQ(PixelsOf(image), PixelsOf(expected)) << width << " x " << height;
    }
  }
}

// On a page of several bands the clearing tells of final pixels from the
// bottom up, never the last row, and last of all with null pixels; what it
// told of then never changes again, and the page ends as cleared without
// being told anything.
TEST(ClearImage, TellsOfPixelsOnlyOnceTheyAreFinal) {
  std::mt19937 random(17);
  const std::int32_t width = 1100;
  const std::int32_t height = 700;
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height);
  for (auto& pixel : pixels) pixel = static_cast<std::uint8_t>(random() % 256);
  TMyImage image = MakeImage(width, height, pixels);
  const TMyImage expected = ClearedStepByStep(image);
  struct Told {
    std::uint32_t begin, end;
    std::vector<std::uint8_t> bytes;
  };
  std::vector<Told> told;
  bool last_was_null = false;
  EXPECT_EQ(ClearImage(image, [&](const std::uint8_t* cleared, std::uint32_t begin, std::uint32_t end) {
              last_was_null = cleared == nullptr;
              if (cleared != nullptr) told.push_back({begin, end, {cleared + begin, cleared + end}});
            }),
            1);
  EXPECT_EQ(PixelsOf(image), PixelsOf(expected));
  EXPECT_TRUE(last_was_null);
  ASSERT_GE(told.size(), 2u);
  const auto last_row = static_cast<std::uint32_t>(width * (height - 1));
  for (std::size_t k = 0; k < told.size(); ++k) {
    EXPECT_LE(told[k].end, last_row);
    if (k > 0) {
      EXPECT_LT(told[k].begin, told[k - 1].begin);
    }
    const std::vector<std::uint8_t> now(image.Pixels.Data() + told[k].begin,
                                        image.Pixels.Data() + told[k].end);
    EXPECT_TRUE(now == told[k].bytes) << "report " << k;
  }
}

// Pixels that are a view of their file are only read: the file keeps its
// bytes, and the cleared page is memory of the image's own.
TEST(ClearImage, ClearsAViewOfAFileWithoutWritingThroughIt) {
  testing_support::ScratchDirectory dir;
  const std::string path = dir / "page.tif";
  testing_support::WriteTestTiff(path, {.width = 300, .height = 200, .rows_per_strip = 16},
                                 testing_support::MakeTestPage(300, 200, 4));
  const auto file_before = testing_support::FileBytes(path);
  TMyImage image;
  const char* name = path.c_str();
  ASSERT_EQ(ReadTiffImage(name, image), StatusDone);
  ASSERT_TRUE(image.Pixels.IsFileView());
  const TMyImage expected = ClearedStepByStep(image);
  EXPECT_EQ(ClearImage(image), 1);
  EXPECT_FALSE(image.Pixels.IsFileView());
  EXPECT_EQ(PixelsOf(image), PixelsOf(expected));
  EXPECT_EQ(testing_support::FileBytes(path), file_before);
}

// Each shape where a step raises ends ClearImage with the same error,
// whichever step raises it.
TEST(ClearImage, RaisesWhatTheThreeStepsRaise) {
  const auto error_of = [](auto&& run) -> std::string {
    try {
      run();
    } catch (const EIntOverflow&) {
      return "overflow";
    } catch (const ERangeError&) {
      return "range";
    }
    return "none";
  };
  for (const auto& [width, height] : {std::pair{1, 2}, {5, 1}, {1, 1}, {0, 4}, {4, 0}, {-1, 3},
                                      {3, -2}, {-3, -4}, {46341, 46341}}) {
    TMyImage image;
    image.Width = width;
    image.Height = height;
    // Pixels for every small shape, so that only the shape can fail.
    const std::int64_t size = std::abs(std::int64_t{width} * height);
    if (size > 0 && size < 100) image.Pixels.SetLength(static_cast<std::int32_t>(size));
    TMyImage copy = image;
    const std::string expected = error_of([&] { ClearedStepByStep(copy); });
    EXPECT_NE(expected, "none") << width << " x " << height;
    EXPECT_EQ(error_of([&] { ClearImage(image); }), expected) << width << " x " << height;
  }
  TMyImage short_pixels = Filled(5, 4, 100);
  short_pixels.Height = 5;  // one row short of its pixels
  EXPECT_THROW(ClearImage(short_pixels), ERangeError);
}

}  // namespace
}  // namespace tessvane
