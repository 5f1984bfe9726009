// libFuzzer target: one whole tessvane run on the fuzzed bytes, in process.
//
// Each input is written to page.tif in a private directory on tmpfs and put
// through the run sequence that main runs (ClearFile: read, marker,
// reconstruction, mapping, write), with the run-ending errors caught as main
// catches them.  The harness then
// checks what the tool promises for any file:
//   - a completed run leaves one 8-bit gray image that libtiff decodes
//     whole, to exactly the computed pixels when the compression is lossless;
//   - any other end leaves the file holding the input's bytes;
//   - either way nothing else is left in the directory.
// A broken promise aborts, which libFuzzer reports as a crash.  Inputs of
// odd length get a second hard link first: the file is then replaced under
// its first name only, and the second must keep the input's bytes.
//
// The tool allocates what a file declares, up to 2^31 − 1 pixels twice over.
// Files with a page above PixelBudget are skipped here, and only here, so
// that a small file declaring a huge image is not taken for a leak or a
// memory blow-up.
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "checked.h"
#include "file_failure.h"
#include "run_sequence.h"

namespace {

using namespace tessvane;

// Two arrays of this many bytes are the most a run may allocate here.
constexpr std::int64_t PixelBudget = std::int64_t{1} << 22;

std::string workspace;  // the private directory
std::string page_path;  // workspace/page.tif
std::string link_path;  // workspace/link.tif, the second name of odd inputs

[[noreturn]] void BrokenPromise(const char* what) {
  std::fprintf(stderr, "tessvane broke its promise: %s\n", what);
  std::abort();
}

// True when path lies on a tmpfs file system.
bool OnTmpfs(const char* path) {
  struct statfs status {};
  return statfs(path, &status) == 0 && status.f_type == TMPFS_MAGIC;
}

// Removes the workspace and the files in it.
void RemoveWorkspace() {
  if (workspace.empty()) return;
  unlink(page_path.c_str());
  unlink(link_path.c_str());
  rmdir(workspace.c_str());
}

// Makes the workspace under TMPDIR if that is on tmpfs, else under /dev/shm,
// else (with a warning) under TMPDIR or /tmp.
void MakeWorkspace() {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string root = "/dev/shm";
  if (tmpdir != nullptr && OnTmpfs(tmpdir)) {
    root = tmpdir;
  } else if (!OnTmpfs(root.c_str())) {
    root = tmpdir != nullptr ? tmpdir : "/tmp";
    std::fprintf(stderr, "warning: no tmpfs found; temporary files go to %s\n", root.c_str());
  }
  std::string pattern = root + "/tessvane-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  workspace = pattern;
  page_path = workspace + "/page.tif";
  link_path = workspace + "/link.tif";
  std::atexit(RemoveWorkspace);
}

void WriteWhole(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) BrokenPromise("the harness cannot write its file");
  for (std::size_t done = 0; done < size;) {
    const ssize_t written = write(fd, data + done, size - done);
    if (written <= 0) BrokenPromise("the harness cannot write its file");
    done += static_cast<std::size_t>(written);
  }
  close(fd);
}

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  std::uint8_t chunk[65536];
  for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) bytes.insert(bytes.end(), chunk, chunk + got);
  close(fd);
  return bytes;
}

// The number of entries in the workspace.
int EntryCount() {
  DIR* dir = opendir(workspace.c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) ++count;
  }
  closedir(dir);
  return count;
}

// The pixel count the tool's reader would allocate for the open
// directory, or 0 where it allocates none: the size as the 32-bit product
// it forms.
std::int64_t DeclaredPixels(TIFF* tiff) {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  std::int32_t product = 0;
  if (__builtin_mul_overflow(static_cast<std::int32_t>(width), static_cast<std::int32_t>(height),
                             &product)) {
    return 0;
  }
  return product < 0 ? 0 : product;
}

// The most pixels the reader would allocate for a page of the file at
// path: the largest DeclaredPixels of its directories, each read once in
// one walk along the chain.
std::int64_t LargestDeclaredPixels(const char* path) {
  TIFF* tiff = TIFFOpen(path, "r");
  if (tiff == nullptr) return 0;
  std::int64_t largest = 0;
  do {
    largest = std::max(largest, DeclaredPixels(tiff));
  } while (TIFFReadDirectory(tiff));
  TIFFClose(tiff);
  return largest;
}

// True for the compressions whose decoded pixels equal the encoded ones.
bool IsLossless(std::uint32_t compression) {
  switch (compression) {
    case 0:
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_PACKBITS:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
    case COMPRESSION_LZMA:
    case COMPRESSION_ZSTD: return true;
    default: return false;
  }
}

// Reads the strips of the open page, total bytes at most.
std::vector<std::uint8_t> StripPixels(TIFF* tiff, std::size_t total) {
  std::vector<std::uint8_t> pixels;
  const tmsize_t strip_size = TIFFStripSize(tiff);
  std::vector<std::uint8_t> strip(static_cast<std::size_t>(strip_size > 0 ? strip_size : 1));
  for (std::uint32_t i = 0; i < TIFFNumberOfStrips(tiff) && pixels.size() < total; ++i) {
    const tmsize_t got = TIFFReadEncodedStrip(tiff, i, strip.data(), strip_size);
    if (got < 0) BrokenPromise("a strip of the result does not decode");
    const std::size_t take = std::min(static_cast<std::size_t>(got), total - pixels.size());
    pixels.insert(pixels.end(), strip.begin(), strip.begin() + static_cast<std::ptrdiff_t>(take));
  }
  return pixels;
}

// Checks that the last page of the file at path is the image written (the
// run leaves the last page in its record): 8-bit gray of image's size that
// libtiff decodes whole, to image's pixels when it is a min-is-black strip
// page of a lossless compression.
void CheckResult(const char* path, const TMyImage& image) {
  TIFF* tiff = TIFFOpen(path, "r");
  if (tiff == nullptr) BrokenPromise("libtiff cannot open the result");
  if (!TIFFSetDirectory(tiff, static_cast<tdir_t>(TIFFNumberOfDirectories(tiff) - 1))) {
    BrokenPromise("libtiff cannot read the result's last page");
  }
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t bits = 0;
  std::uint16_t samples = 0;
  TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  if (width != static_cast<std::uint32_t>(image.Width) ||
      height != static_cast<std::uint32_t>(image.Height) || bits != 8 || samples != 1 ||
      (TIFFIsTiled(tiff) != 0) != (image.TileWidth != 0)) {
    BrokenPromise("the result is not the image's kind or size");
  }
  const std::size_t total = std::size_t{width} * height;
  if (TIFFIsTiled(tiff) || image.Photometric != PHOTOMETRIC_MINISBLACK) {
    TIFFClose(tiff);
    return;
  }
  const std::vector<std::uint8_t> pixels = StripPixels(tiff, total);
  TIFFClose(tiff);
  if (pixels.size() != total) BrokenPromise("the result holds fewer pixels than the image");
  if (IsLossless(image.Compression) && image.Pixels.Length() >= total &&
      std::memcmp(pixels.data(), image.Pixels.Data(), total) != 0) {
    BrokenPromise("the result's pixels differ from the computed ones");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // libtiff's messages would only slow the run down and bury libFuzzer's.
  TIFFSetErrorHandler(nullptr);
  TIFFSetWarningHandler(nullptr);
  MakeWorkspace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  unlink(link_path.c_str());
  WriteWhole(page_path, data, size);
  if (LargestDeclaredPixels(page_path.c_str()) > PixelBudget) return -1;  // not kept in the corpus
  const bool linked = size % 2 == 1;
  if (linked && link(page_path.c_str(), link_path.c_str()) != 0) BrokenPromise("link failed");

  TMyImage image;
  bool replaced = false;
  try {
    const char* const name = page_path.c_str();
    ClearFile(name, image);
    replaced = true;
  } catch (const EFileFailed&) {
  } catch (const ERunError&) {
  } catch (const std::bad_alloc&) {
  }

  if (EntryCount() != (linked ? 2 : 1)) BrokenPromise("files were left behind or lost");
  // A file with a second name is replaced under the name given; the other
  // name keeps the old contents, whatever the run did.
  if (linked && ReadWhole(link_path) != std::vector<std::uint8_t>(data, data + size)) {
    BrokenPromise("the file's other name lost its contents");
  }
  if (replaced) {
    CheckResult(page_path.c_str(), image);
  } else {
    const std::vector<std::uint8_t> now = ReadWhole(page_path);
    if (now.size() != size || (size > 0 && std::memcmp(now.data(), data, size) != 0)) {
      BrokenPromise("a failed run changed the file");
    }
  }
  return 0;
}
