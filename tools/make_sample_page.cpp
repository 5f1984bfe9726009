// make_sample_page: writes a synthetic scanned page for the demo and the
// README.
//
// Usage: make_sample_page OUTPUT.tif
//
// The page has what real scans of book pages have: paper lit unevenly
// (brighter in the middle, darker towards one corner), lines of text-like
// strokes, a dark scanner margin along the left and bottom edges, the dark
// shadow of a fold running in from the top edge, and a dark stamp enclosed
// by the paper.  It is written as an 8-bit min-is-black TIFF, LZW
// compressed, 64 rows a strip, 150 dots per inch.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

constexpr int PageWidth = 1275;
constexpr int PageHeight = 1650;
constexpr int RowsPerStrip = 64;

class Page {
 public:
  Page() : pixels_(static_cast<std::size_t>(PageWidth) * PageHeight) {}

  // Paper: a broad lighting falloff from the centre and towards the lower
  // right, plus fine grain.
  void Paper(std::mt19937& random) {
    std::normal_distribution<double> grain(0, 3);
    for (int y = 0; y < PageHeight; ++y) {
      for (int x = 0; x < PageWidth; ++x) {
        const double dx = (x - PageWidth * 0.45) / PageWidth;
        const double dy = (y - PageHeight * 0.4) / PageHeight;
        const double light = 232 - 110 * (dx * dx + dy * dy) - 30.0 * (x + y) / (PageWidth + PageHeight);
        Set(x, y, light + grain(random));
      }
    }
  }

  // Darkens the pixels of a disc of radius r to at most level.
  void Dot(double cx, double cy, double r, double level) {
    for (int y = static_cast<int>(cy - r - 1); y <= static_cast<int>(cy + r + 1); ++y) {
      for (int x = static_cast<int>(cx - r - 1); x <= static_cast<int>(cx + r + 1); ++x) {
        const double d = std::hypot(x - cx, y - cy);
        if (d > r + 0.5) continue;
        const double cover = std::clamp(r + 0.5 - d, 0.0, 1.0);
        const double old = Get(x, y);
        Set(x, y, std::min(old, old - cover * (old - level)));
      }
    }
  }

  // A pen stroke from (x0, y0) to (x1, y1).
  void Stroke(double x0, double y0, double x1, double y1, double width, double level) {
    const int steps = static_cast<int>(std::hypot(x1 - x0, y1 - y0) * 2) + 1;
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
    for (double y = 150; y < PageHeight - 170; y += 34) {
      if (static_cast<int>(y) % 340 < 34) continue;  // paragraph break
      double x = 150;
      const double line_end = PageWidth - 140 - (random() % 4 == 0 ? 300 : 0);
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
    for (int y = 0; y < PageHeight; ++y) {
      const int width = 38 + static_cast<int>(6 * std::sin(y / 57.0)) + static_cast<int>(random() % 3);
      for (int x = 0; x < width; ++x) Set(x, y, 14 + random() % 10);
    }
    for (int x = 0; x < PageWidth; ++x) {
      const int depth = 30 + static_cast<int>(5 * std::sin(x / 41.0)) + static_cast<int>(random() % 3);
      for (int y = PageHeight - depth; y < PageHeight; ++y) Set(x, y, 14 + random() % 10);
    }
  }

  // The shadow of a fold: a dark band from the top edge, fading as it goes.
  void FoldShadow(std::mt19937& random) {
    for (int y = 0; y < 620; ++y) {
      const double centre = 900 + y * 0.08;
      for (int x = static_cast<int>(centre) - 14; x <= static_cast<int>(centre) + 14; ++x) {
        const double level = 20 + y * 0.02 + std::abs(x - centre) * 0.6 + random() % 5;
        Set(x, y, std::min(Get(x, y), level));
      }
    }
  }

  // An enclosed dark stamp: a ring with a solid core, not touching any edge.
  void Stamp() {
    const double cx = 860, cy = 1030;
    for (int y = 880; y < 1180; ++y) {
      for (int x = 700; x < 1020; ++x) {
        const double d = std::hypot(x - cx, (y - cy) * 1.05);
        if ((d > 118 && d < 136) || d < 60) Set(x, y, std::min(Get(x, y), 38.0));
      }
    }
  }

  bool Write(const char* path) const {
    TIFF* tiff = TIFFOpen(path, "w");
    if (tiff == nullptr) return false;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, PageWidth);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, PageHeight);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, RowsPerStrip);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 150.0);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 150.0);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    std::vector<unsigned char> bytes(pixels_.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      bytes[i] = static_cast<unsigned char>(std::lround(std::clamp(pixels_[i], 0.0, 255.0)));
    }
    bool ok = true;
    for (int row = 0, strip = 0; row < PageHeight; row += RowsPerStrip, ++strip) {
      const int rows = std::min(RowsPerStrip, PageHeight - row);
      ok = ok && TIFFWriteEncodedStrip(tiff, static_cast<std::uint32_t>(strip),
                                       bytes.data() + static_cast<std::size_t>(row) * PageWidth,
                                       static_cast<tmsize_t>(rows) * PageWidth) >= 0;
    }
    ok = ok && TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    return ok;
  }

 private:
  double Get(int x, int y) const {
    if (x < 0 || y < 0 || x >= PageWidth || y >= PageHeight) return 255;
    return pixels_[static_cast<std::size_t>(y) * PageWidth + x];
  }
  void Set(int x, int y, double value) {
    if (x < 0 || y < 0 || x >= PageWidth || y >= PageHeight) return;
    pixels_[static_cast<std::size_t>(y) * PageWidth + x] = value;
  }

  std::vector<double> pixels_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_page OUTPUT.tif\n");
    return 2;
  }
  std::mt19937 random(20061206);
  Page page;
  page.Paper(random);
  page.Text(random);
  page.Stamp();
  page.FoldShadow(random);
  page.ScannerMargin(random);
  if (!page.Write(argv[1])) {
    std::fprintf(stderr, "make_sample_page: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
