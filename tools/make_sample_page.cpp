// make_sample_page: writes a synthetic scanned page for the demo, the README
// and the benchmarks.
//
// Usage: make_sample_page OUTPUT.tif [WIDTH HEIGHT [ROWS_PER_STRIP [none|lzw|deflate|packbits|zstd|lzma|jpeg|g4 [NOISE]]]]
//
// The page has what real scans of book pages have: paper lit unevenly
// (brighter in the middle, darker towards one corner), lines of text-like
// strokes, a dark scanner margin along the left and bottom edges, the dark
// shadow of a fold running in from the top edge, and a dark stamp enclosed
// by the paper.  It is written as an 8-bit min-is-black TIFF, by default
// 1275 x 1650 pixels (letter size at 150 dots per inch), LZW compressed,
// 64 rows a strip.  Other sizes scale the whole layout, which is drawn in
// the coordinates of the default page.  NOISE (default 0) adds the sensor
// noise of a real scanner on top: Gaussian, with that standard deviation in
// gray levels, independent from pixel to pixel.  Compressors care: a smooth
// page packs several times faster and smaller than a noisy one.
//
// g4 writes the page as an archive's bilevel scan: a binding gutter is
// added along the right edge, every level below 128 becomes black and the
// rest white, stored 1-bit min-is-white in CCITT Group 4, at the dots per
// inch of an A4 page that wide (600 at 4960 x 7016).
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr double LayoutWidth = 1275;
constexpr double LayoutHeight = 1650;

class Page {
 public:
  Page(int width, int height)
      : width_(width), height_(height), sx_(width / LayoutWidth), sy_(height / LayoutHeight),
        pixels_(static_cast<std::size_t>(width) * height) {}

  // Paper: a broad lighting falloff from the centre and towards the lower
  // right, plus fine grain.
  void Paper(std::mt19937& random) {
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        const double dx = x / static_cast<double>(width_) - 0.45;
        const double dy = y / static_cast<double>(height_) - 0.4;
        const double light = 232 - 110 * (dx * dx + dy * dy) -
                             30.0 * (x / static_cast<double>(width_) + y / static_cast<double>(height_)) / 2;
        Set(x, y, light + static_cast<int>(random() % 9) - 4);
      }
    }
  }

  // Darkens a disc of radius r (layout units) around (cx, cy) towards level.
  void Dot(double cx, double cy, double r, double level) {
    const double px = cx * sx_, py = cy * sy_, pr = r * std::min(sx_, sy_);
    for (int y = static_cast<int>(py - pr - 1); y <= static_cast<int>(py + pr + 1); ++y) {
      for (int x = static_cast<int>(px - pr - 1); x <= static_cast<int>(px + pr + 1); ++x) {
        const double cover = std::clamp(pr + 0.5 - std::hypot(x - px, y - py), 0.0, 1.0);
        if (cover > 0) Darken(x, y, Get(x, y) - cover * (Get(x, y) - level));
      }
    }
  }

  // A pen stroke from (x0, y0) to (x1, y1).
  void Stroke(double x0, double y0, double x1, double y1, double width, double level) {
    const int steps = static_cast<int>(std::hypot(x1 - x0, y1 - y0) * 2 * std::max(sx_, sy_)) + 1;
    for (int i = 0; i <= steps; ++i) {
      const double t = static_cast<double>(i) / steps;
      Dot(x0 + t * (x1 - x0), y0 + t * (y1 - y0), width / 2, level);
    }
  }

  // One text-like glyph in a cell of w × h at (x, y): a stem, bars and bowls
  // chosen at random.
  void Glyph(std::mt19937& random, double x, double y, double w, double h, double ink) {
    const unsigned shape = random();
    const double pen = 2.2;
    if (shape & 1) Stroke(x, y + h * 0.1, x, y + h, pen, ink);
    if (shape & 2) Stroke(x, y + h * 0.45, x + w, y + h * 0.45, pen, ink);
    if (shape & 4) Stroke(x, y + h, x + w, y + h, pen, ink);
    if (shape & 8) Stroke(x + w, y + h * 0.4, x + w, y + h, pen, ink);
    if ((shape & 16) || (shape & 15) == 0) {
      for (int a = 0; a < 24; ++a) {
        const double angle = a * M_PI / 12;
        Dot(x + w / 2 + w / 2 * std::cos(angle), y + h * 0.7 + h * 0.3 * std::sin(angle), pen / 2, ink);
      }
    }
    if (shape & 32) Stroke(x, y + h, x + w, y + h * 0.4, pen, ink);
  }

  // Paragraphs of text lines inside the margins, leaving a hole for the stamp.
  void Text(std::mt19937& random) {
    for (double y = 150; y < LayoutHeight - 170; y += 34) {
      if (static_cast<int>(y) % 340 < 34) continue;  // paragraph break
      double x = 150;
      const double line_end = LayoutWidth - 140 - (random() % 4 == 0 ? 300 : 0);
      while (x < line_end) {
        const int letters = 2 + static_cast<int>(random() % 8);
        for (int i = 0; i < letters && x < line_end; ++i) {
          const bool in_stamp = x > 700 && x < 1020 && y > 900 && y < 1160;
          if (!in_stamp) Glyph(random, x, y, 11, 18, 45 + random() % 30);
          x += 16;
        }
        x += 14;
      }
    }
  }

  // The dark margin a scanner lid leaves along the left and bottom edges,
  // with a ragged inner border.
  void ScannerMargin(std::mt19937& random) {
    for (int y = 0; y < height_; ++y) {
      const double width = (38 + 6 * std::sin(y / sy_ / 57.0) + random() % 3) * sx_;
      for (int x = 0; x < width; ++x) Set(x, y, 14 + random() % 10);
    }
    for (int x = 0; x < width_; ++x) {
      const double depth = (30 + 5 * std::sin(x / sx_ / 41.0) + random() % 3) * sy_;
      for (int y = height_ - static_cast<int>(depth); y < height_; ++y) Set(x, y, 14 + random() % 10);
    }
  }

  // The shadow of a fold: a dark band from the top edge, fading as it goes.
  void FoldShadow(std::mt19937& random) {
    for (int y = 0; y < 620 * sy_; ++y) {
      const double centre = (900 + y / sy_ * 0.08) * sx_;
      for (int x = static_cast<int>(centre - 14 * sx_); x <= static_cast<int>(centre + 14 * sx_); ++x) {
        Darken(x, y, 20 + y / sy_ * 0.02 + std::abs(x - centre) / sx_ * 0.6 + random() % 5);
      }
    }
  }

  // An enclosed dark stamp: a ring with a solid core, not touching any edge.
  void Stamp() {
    for (int y = static_cast<int>(880 * sy_); y < 1180 * sy_; ++y) {
      for (int x = static_cast<int>(700 * sx_); x < 1020 * sx_; ++x) {
        const double d = std::hypot(x / sx_ - 860, (y / sy_ - 1030) * 1.05);
        if ((d > 118 && d < 136) || d < 60) Darken(x, y, 38);
      }
    }
  }

  // Scanner sensor noise: every pixel moves by a Gaussian amount of
  // standard deviation sigma.
  void SensorNoise(std::mt19937& random, double sigma) {
    std::normal_distribution<double> noise(0.0, sigma);
    for (unsigned char& pixel : pixels_) {
      pixel = static_cast<unsigned char>(std::lround(std::clamp(pixel + noise(random), 0.0, 255.0)));
    }
  }

  // The shadow of the binding along the right edge: dark at the edge,
  // fading over 60 layout units into the page.
  void Gutter(std::mt19937& random) {
    for (int y = 0; y < height_; ++y) {
      for (int x = static_cast<int>(width_ - 60 * sx_); x < width_; ++x) {
        const double inside = (width_ - 1 - x) / sx_;
        Darken(x, y, 10 + inside * inside * 0.06 + random() % 5);
      }
    }
  }

  bool Write(const char* path, int rows_per_strip, int compression) const {
    if (compression == COMPRESSION_CCITTFAX4) return WriteBilevel(path, rows_per_strip);
    TIFF* tiff = TIFFOpen(path, "w");
    if (tiff == nullptr) return false;
    SetTags(tiff, 8, PHOTOMETRIC_MINISBLACK, compression, rows_per_strip, 150.0 * sx_, 150.0 * sy_);
    bool ok = true;
    auto* bytes = const_cast<unsigned char*>(pixels_.data());
    for (int row = 0, strip = 0; ok && row < height_; row += rows_per_strip, ++strip) {
      const int rows = std::min(rows_per_strip, height_ - row);
      ok = TIFFWriteEncodedStrip(tiff, static_cast<std::uint32_t>(strip),
                                 bytes + static_cast<std::size_t>(row) * width_,
                                 static_cast<tmsize_t>(rows) * width_) >= 0;
    }
    ok = ok && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return ok;
  }

 private:
  // The tags of the page: its size, one sample of bits bits, resolution in
  // dots per inch.
  void SetTags(TIFF* tiff, int bits, int photometric, int compression, int rows_per_strip, double x_dpi,
               double y_dpi) const {
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width_);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height_);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bits);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, x_dpi);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, y_dpi);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  }

  // The page thresholded at 128, 1-bit min-is-white (1 black), Group 4.
  bool WriteBilevel(const char* path, int rows_per_strip) const {
    TIFF* tiff = TIFFOpen(path, "w");
    if (tiff == nullptr) return false;
    const double dpi = std::round(width_ / (210 / 25.4));  // A4 is 210 mm wide
    SetTags(tiff, 1, PHOTOMETRIC_MINISWHITE, COMPRESSION_CCITTFAX4, rows_per_strip, dpi, dpi);
    const std::size_t row_bytes = (static_cast<std::size_t>(width_) + 7) / 8;
    std::vector<unsigned char> row(row_bytes);
    bool ok = true;
    for (int y = 0; ok && y < height_; ++y) {
      std::fill(row.begin(), row.end(), 0);
      for (int x = 0; x < width_; ++x) {
        if (pixels_[static_cast<std::size_t>(y) * width_ + x] < 128) row[x / 8] |= 0x80 >> (x % 8);
      }
      ok = TIFFWriteScanline(tiff, row.data(), static_cast<std::uint32_t>(y), 0) >= 0;
    }
    ok = ok && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return ok;
  }

  double Get(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 255;
    return pixels_[static_cast<std::size_t>(y) * width_ + x];
  }
  void Set(int x, int y, double value) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return;
    pixels_[static_cast<std::size_t>(y) * width_ + x] =
        static_cast<unsigned char>(std::lround(std::clamp(value, 0.0, 255.0)));
  }
  void Darken(int x, int y, double value) { Set(x, y, std::min(Get(x, y), value)); }

  int width_, height_;
  double sx_, sy_;
  std::vector<unsigned char> pixels_;
};

// The compression named on the command line; -1 for an unknown name.
int CompressionNamed(const char* name) {
  if (std::strcmp(name, "lzw") == 0) return COMPRESSION_LZW;
  if (std::strcmp(name, "none") == 0) return COMPRESSION_NONE;
  if (std::strcmp(name, "deflate") == 0) return COMPRESSION_ADOBE_DEFLATE;
  if (std::strcmp(name, "packbits") == 0) return COMPRESSION_PACKBITS;
  if (std::strcmp(name, "zstd") == 0) return COMPRESSION_ZSTD;
  if (std::strcmp(name, "lzma") == 0) return COMPRESSION_LZMA;
  if (std::strcmp(name, "jpeg") == 0) return COMPRESSION_JPEG;
  if (std::strcmp(name, "g4") == 0) return COMPRESSION_CCITTFAX4;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const int width = argc > 3 ? std::atoi(argv[2]) : static_cast<int>(LayoutWidth);
  const int height = argc > 3 ? std::atoi(argv[3]) : static_cast<int>(LayoutHeight);
  const int rows_per_strip = argc > 4 ? std::atoi(argv[4]) : 64;
  const int compression = argc > 5 ? CompressionNamed(argv[5]) : COMPRESSION_LZW;
  const double noise = argc > 6 ? std::atof(argv[6]) : 0.0;
  if (argc < 2 || argc == 3 || argc > 7 || width < 16 || height < 16 || rows_per_strip < 1 ||
      compression < 0 || !(noise >= 0 && noise <= 64)) {
    std::fprintf(stderr,
                 "usage: make_sample_page OUTPUT.tif [WIDTH HEIGHT [ROWS_PER_STRIP "
                 "[none|lzw|deflate|packbits|zstd|lzma|jpeg|g4 [NOISE]]]]\n");
    return 2;
  }
  std::mt19937 random(20061206);
  Page page(width, height);
  page.Paper(random);
  page.Text(random);
  page.Stamp();
  page.FoldShadow(random);
  page.ScannerMargin(random);
  if (compression == COMPRESSION_CCITTFAX4) page.Gutter(random);
  if (noise > 0) page.SensorNoise(random, noise);
  if (!page.Write(argv[1], rows_per_strip, compression)) {
    std::fprintf(stderr, "make_sample_page: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
