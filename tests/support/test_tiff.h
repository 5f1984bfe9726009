// Test TIFF files: written with chosen layouts through libtiff (the one
// page writer of the tests), and read back through libtiff with their
// directory values.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// The layout and tags of a test file.  Zero leaves a tag out.
struct TiffLayout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint32_t rows_per_strip = 0;  // 0: no tag, one strip
  std::uint16_t compression = 1;
  std::uint16_t photometric = 1;     // min-is-black
  std::uint16_t bits_per_sample = 8;
  std::uint16_t samples_per_pixel = 1;
  float x_resolution = 0;
  float y_resolution = 0;
  std::uint16_t resolution_unit = 0;
  std::uint16_t orientation = 0;
  std::uint32_t tile_width = 0;      // with tile_length: tiles instead of strips
  std::uint32_t tile_length = 0;
  std::uint32_t subfile_type = 0;
  std::uint16_t predictor = 0;
  std::vector<std::uint16_t> colormap{};  // 3 × 2^bits entries for a palette page
  std::string description{};              // ImageDescription; empty for none
  int jpeg_quality = 0;                   // the JPEG encoder's quality; 0: the library's
  bool jpeg_tables = true;                // false: each JPEG block carries its own tables
  std::function<void(TIFF*)> more_tags{};   // sets further tags before the pixels are written
  std::function<void(TIFF*)> after_page{};  // runs once the page's directory is written
};

// Writes the tiles of one 8-bit page of layout's size and tile size,
// edge tiles padded with zeros; false when the library fails.
bool WriteTiles(TIFF* tiff, const TiffLayout& layout, const std::vector<std::uint8_t>& pixels);

// Writes a one-image TIFF of pixels (rows of width × samples bytes; below 8
// bits a sample, one level a byte, packed as the file stores them) at
// path; std::runtime_error when libtiff refuses.
void WriteTestTiff(const std::string& path, const TiffLayout& layout,
                   const std::vector<std::uint8_t>& pixels);

// Writes a one-image TIFF of the test page seed (MakeTestPage, below) of
// layout's size at path; returns its pixels.  std::runtime_error when
// libtiff refuses.
std::vector<std::uint8_t> WriteTestPage(const std::string& path, const TiffLayout& layout,
                                        std::uint32_t seed);

// One page of a test file: its layout and stored samples.
struct TestPage {
  TiffLayout layout;
  std::vector<std::uint8_t> pixels;
};

// Writes the pages as one TIFF, in order, each in strips or tiles as its
// layout says; mode is libtiff's ("w", "w8b").  std::runtime_error when
// libtiff refuses.
void WriteTestTiffPages(const std::string& path, const std::vector<TestPage>& pages,
                        const char* mode = "w");

// A gray colour map whose entry i shows level level(i), as 16-bit values.
std::vector<std::uint16_t> GrayColormap(std::uint8_t (*level)(int));

// A file as libtiff reads it: its tags (0 for absent ones), strip count and
// decoded pixels.
struct TiffContents {
  TiffLayout layout;
  std::uint32_t strip_count = 0;
  std::uint16_t planar_config = 0;
  std::vector<std::uint64_t> strip_byte_counts;
  std::vector<std::uint8_t> pixels;  // stored samples, one a byte below 8 bits
  std::vector<std::uint16_t> colormap;
  int directories = 0;
};
// Directory directory of the file at path, strips or tiles.
TiffContents ReadWithLibtiff(const std::string& path, int directory = 0);

// The whole content of a file.
std::vector<std::uint8_t> FileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);

// A fresh directory, removed with everything in it on destruction.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

// A page-like test image of width × height: a shaded background, text-like
// strokes, dark regions touching the border and enclosed dark spots; seed
// varies it.
std::vector<std::uint8_t> MakeTestPage(std::uint32_t width, std::uint32_t height,
                                       std::uint32_t seed);

// Path of a file of the real test images kept under tests/data.
std::string TestDataFile(const std::string& name);

}  // namespace testing_support
