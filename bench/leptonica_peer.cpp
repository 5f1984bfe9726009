// leptonica_peer: times Leptonica's grayscale reconstruction by erosion,
// 8-connected, from the same border marker tessvane builds, for comparison.
//
// Usage: leptonica_peer PAGE.tif
//
// Prints the seconds taken by the pixSeedfillGrayInv call alone (reading
// the page and building the marker are not timed).  Leptonica iterates its
// raster and anti-raster scans until nothing changes, so it computes the
// full reconstruction where tessvane makes one scan in each direction.
#include <leptonica/allheaders.h>

#include <chrono>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: leptonica_peer PAGE.tif\n");
    return 2;
  }
  setMsgSeverity(L_SEVERITY_ERROR);
  PIX* image = pixRead(argv[1]);
  if (image == nullptr || pixGetDepth(image) != 8) {
    std::fprintf(stderr, "leptonica_peer: need an 8-bit gray page\n");
    return 1;
  }
  const l_int32 width = pixGetWidth(image);
  const l_int32 height = pixGetHeight(image);
  // The marker: the image on its frame, white inside.
  PIX* marker = pixCopy(nullptr, image);
  const l_int32 words = pixGetWpl(marker);
  l_uint32* data = pixGetData(marker);
  for (l_int32 y = 1; y < height - 1; ++y) {
    l_uint32* line = data + static_cast<std::ptrdiff_t>(y) * words;
    for (l_int32 x = 1; x < width - 1; ++x) SET_DATA_BYTE(line, x, 255);
  }
  const auto start = std::chrono::steady_clock::now();
  const l_ok failed = pixSeedfillGrayInv(marker, image, 8);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (failed) return 1;
  std::printf("%.6f\n", took.count());
  pixDestroy(&marker);
  pixDestroy(&image);
  return 0;
}
