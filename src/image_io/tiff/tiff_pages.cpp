// Opening a TIFF file and checking its pages, before any pixel memory is
// had: see tiff_reader.h.
//
// It accepts only what the tool can rewrite without loss: pages of 1-,
// 2-, 4- or 8-bit unsigned gray samples, one sample per pixel, stored
// min-is-black, min-is-white or through a gray palette, in strips or in
// tiles no larger than the page needs.  Every refusal names its reason
// (EFileFailed), and all of them are made for every page before any pixel
// memory is had.  The strips and tiles of the whole file must lie inside
// it and share no byte: a small file whose strips all point at one
// compressed strip would otherwise decode to any size it claims.
//
// Each directory is found once, in one walk along the file's chain, and
// opened again by where it lies, not by its number; the library then says
// what it has to say about a directory once, when the walk reads it.
//
// The order of the checks is part of the tool's behaviour: which error a
// malformed file reports, and at which check, is what users and scripts
// see, so each check below stands where it fires and says why.
#include "tiff_pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codec_budget.h"
#include "file_failure.h"

namespace tessvane {
namespace {

// ---- what is accepted ------------------------------------------------------------

constexpr char OnlyGray[] = "; only grayscale of 1, 2, 4 or 8 bits is accepted";

// The photometric interpretations that are not gray, as a user knows them.
std::string PhotometricName(std::uint16_t photometric) {
  switch (photometric) {
    case PHOTOMETRIC_RGB: return "RGB colour";
    case PHOTOMETRIC_SEPARATED: return "CMYK colour";
    case PHOTOMETRIC_YCBCR: return "YCbCr colour";
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB: return "Lab colour";
    case PHOTOMETRIC_MASK: return "a transparency mask";
    default: return "photometric interpretation " + std::to_string(photometric);
  }
}

// True when every entry of the map, one a stored level of bits bits, is a
// gray: red, green and blue equal.
bool IsGrayMap(const ColourMap& map, std::uint32_t bits) {
  if (map.red == nullptr || map.green == nullptr || map.blue == nullptr) return false;
  for (std::uint32_t i = 0; i < 1u << bits; ++i) {
    if (map.red[i] != map.green[i] || map.red[i] != map.blue[i]) return false;
  }
  return true;
}

// Why the open directory is not a page the tool can rewrite without loss;
// empty when it is one (TIFF defaults applied to absent tags).
std::string RefusalOf(TIFF* tiff) {
  const auto bits = DefaultedField<std::uint16_t>(tiff, TIFFTAG_BITSPERSAMPLE);
  const auto samples = DefaultedField<std::uint16_t>(tiff, TIFFTAG_SAMPLESPERPIXEL);
  const auto format = DefaultedField<std::uint16_t>(tiff, TIFFTAG_SAMPLEFORMAT);
  std::uint16_t photometric = 0;
  if (samples != 1) return std::to_string(samples) + " samples per pixel" + OnlyGray;
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return std::to_string(bits) + " bits per sample" + OnlyGray;
  if (format == SAMPLEFORMAT_INT) return std::string("signed samples") + OnlyGray;
  if (format != SAMPLEFORMAT_UINT) return std::string("floating-point or complex samples") + OnlyGray;
  if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric)) return "no photometric interpretation";
  if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE) return {};
  if (photometric != PHOTOMETRIC_PALETTE) return PhotometricName(photometric) + OnlyGray;
  if (!IsGrayMap(ColourMapOf(tiff), bits)) return "a colour palette; only gray palettes are accepted";
  // Any other gray palette comes back as 8-bit gray, which the CCITT
  // coders cannot store.
  const bool ccitt = IsCcitt(DefaultedField<std::uint16_t>(tiff, TIFFTAG_COMPRESSION));
  if (bits == 1 && ccitt && !ShowsBlackAndWhite(ColourMapOf(tiff))) {
    return "a CCITT page whose palette is not black and white";
  }
  return {};
}

// True when the open directory is a reduced-resolution image of another.
bool IsReducedImage(TIFF* tiff) {
  std::uint32_t type = 0;
  return TIFFGetField(tiff, TIFFTAG_SUBFILETYPE, &type) && (type & FILETYPE_REDUCEDIMAGE) != 0;
}

// The most a side of a tile may hold for a page side of size pixels: the
// side rounded up to 16, the step of tile sizes TIFF allows.
std::uint64_t MostTileSide(std::uint32_t size) { return (std::uint64_t{size} + 15) / 16 * 16; }

// Why the tiles of the open directory are larger than its page needs:
// wider or longer than MostTileSide of its width or height, and holding
// more than MostOversizedTileBytes of its pixels; empty when they are
// not, or the page is stored in strips.  A tile is decoded and encoded
// whole, so a larger one would cost its own pixels, not the page's, in
// memory and time: a few pixels in one tile of 23168 × 23168, half a
// gigabyte.  A small page in tiles of a common size (100 × 75 in tiles
// of 128 × 16) stays within its page's memory.
std::string TileRefusalOf(TIFF* tiff) {
  if (!TIFFIsTiled(tiff)) return {};
  const auto width = FieldOrZero<std::uint32_t>(tiff, TIFFTAG_IMAGEWIDTH);
  const auto height = FieldOrZero<std::uint32_t>(tiff, TIFFTAG_IMAGELENGTH);
  const auto tile_width = FieldOrZero<std::uint32_t>(tiff, TIFFTAG_TILEWIDTH);
  const auto tile_length = FieldOrZero<std::uint32_t>(tiff, TIFFTAG_TILELENGTH);
  const std::uint64_t most_bytes = MostOversizedTileBytes(std::uint64_t{width} * height);
  if ((tile_width <= MostTileSide(width) && tile_length <= MostTileSide(height)) ||
      std::uint64_t{tile_width} * tile_length <= most_bytes) {
    return {};
  }
  return "tiles of " + std::to_string(tile_width) + " x " + std::to_string(tile_length) +
         " are larger than a page of " + std::to_string(width) + " x " + std::to_string(height) +
         " needs (at most " + std::to_string(MostTileSide(width)) + " x " +
         std::to_string(MostTileSide(height)) + ", or " + std::to_string(most_bytes) +
         " pixels a tile)";
}

// ---- where the strips lie ----------------------------------------------------------

// The bytes a strip or tile takes in the file.
struct StoredBlock {
  std::uint64_t offset;
  std::uint64_t end;      // one past its last byte
  std::uint32_t page;     // index among the pages
  std::uint32_t index;    // strip or tile number in its page
  bool tile;
};

std::string BlockName(const TiffPages& input, const StoredBlock& block) {
  std::string name = input.directories.size() < 2 ? "" : "page " + std::to_string(block.page + 1) + " ";
  return name + (block.tile ? "tile " : "strip ") + std::to_string(block.index);
}

// Adds the strips or tiles of the open directory, page page, to blocks;
// refuses one that is empty or reaches past file_size.  (The library
// counts strips from RowsPerStrip, which a tiled page need not have: its
// tiles are counted apart.)
void CollectBlocks(TiffPages& input, std::uint32_t page, std::uint64_t file_size,
                   std::vector<StoredBlock>& blocks) {
  TIFF* const tiff = input.tiff.get();
  const bool tile = TIFFIsTiled(tiff) != 0;
  const std::uint32_t count = tile ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t offset = TIFFGetStrileOffset(tiff, i);
    const std::uint64_t size = TIFFGetStrileByteCount(tiff, i);
    const StoredBlock block{offset, offset + size, page, i, tile};
    if (size == 0) Refuse(BlockName(input, block) + " holds no data");
    if (offset > file_size || size > file_size - offset) {
      Refuse(BlockName(input, block) + " lies outside the file");
    }
    blocks.push_back(block);
  }
}

// Refuses blocks of which two share a byte.
void RefuseSharedBytes(const TiffPages& input, std::vector<StoredBlock>& blocks) {
  // Ties in file order of the pages and blocks, so the reason names the
  // first two that share.
  std::sort(blocks.begin(), blocks.end(), [](const StoredBlock& a, const StoredBlock& b) {
    return std::tie(a.offset, a.page, a.index) < std::tie(b.offset, b.page, b.index);
  });
  for (std::size_t i = 1; i < blocks.size(); ++i) {
    if (blocks[i].offset < blocks[i - 1].end) {
      Refuse(BlockName(input, blocks[i - 1]) + " and " + BlockName(input, blocks[i]) + " share bytes");
    }
  }
}

// Lists the directories of input that are pages, where each lies found
// once, in one walk along the chain from the first, which the handle has
// open.  The chain ends where the library's count of it ends: before a
// next directory that cannot be reached or that leads back into the chain
// (a loop); a directory it counts but cannot read refuses the file.  So
// the time grows in step with the directories, where opening each by its
// number would walk the chain from the first again.
void ListPages(TiffPages& input) {
  TIFF* const tiff = input.tiff.get();
  const tdir_t directories = TIFFNumberOfDirectories(tiff);
  for (tdir_t d = 0; d < directories; ++d) {
    if (d > 0 && !TIFFReadDirectory(tiff)) Refuse("directory " + std::to_string(d + 1) + " cannot be read");
    if (!IsReducedImage(tiff)) input.directories.push_back({TIFFCurrentDirOffset(tiff), d});
  }
  if (input.directories.empty()) Refuse("no full-resolution image in the file");
}

// Lists the pages of input and checks each: what it holds, and where its
// strips or tiles lie in a file of file_size bytes.
void CheckPages(TiffPages& input, std::uint64_t file_size) {
  TIFF* const tiff = input.tiff.get();
  ListPages(input);
  std::vector<StoredBlock> blocks;
  for (std::uint32_t page = 0; page < input.directories.size(); ++page) {
    OpenDirectory(input, page);
    const std::string refusal = RefusalOf(tiff);
    if (!refusal.empty()) Refuse(PagePrefix(input, page) + refusal);
    const std::string tiles = TileRefusalOf(tiff);
    if (!tiles.empty()) Refuse(PagePrefix(input, page) + tiles);
    CollectBlocks(input, page, file_size, blocks);
  }
  RefuseSharedBytes(input, blocks);
}

// ---- opening ---------------------------------------------------------------------------

// Opens the regular file already open at fd for reading, through a
// descriptor of its own (the handle closes it; fd stays open), its
// messages going to log, and sets file_size to its length.  EFileFailed
// (FileStep::Lock) with the reason when fd names no regular file or no
// TIFF file the library can open.
TiffHandle OpenOpenFile(int fd, const char* name, MessageLog* log, std::uint64_t& file_size) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    const int error = errno;
    throw EFileFailed(FileStep::Lock, error, ErrnoReason(error));
  }
  if (!S_ISREG(status.st_mode)) {
    throw EFileFailed(FileStep::Lock, 0, S_ISDIR(status.st_mode) ? "a directory" : "not a regular file");
  }
  file_size = static_cast<std::uint64_t>(status.st_size);
  const int own = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (own < 0) {
    const int error = errno;
    throw EFileFailed(FileStep::Lock, error, ErrnoReason(error));
  }
  TIFF* const tiff = OpenLoggedFdHandle(own, name, ReadMode, log);  // the handle closes own
  if (tiff == nullptr) {
    close(own);
    throw EFileFailed(FileStep::Lock, 0, "not a TIFF file, or its first directory cannot be read");
  }
  return TiffHandle(tiff);
}

// Asks the kernel to start reading the whole file now, once its pages are
// known to be ones the tool will read in full.  From a cold cache the disk
// then works while the strips are decoded into fresh memory, instead of
// each strip waiting for its own read.  A hint: its failure changes nothing.
void ReadAheadWholeFile(TIFF* tiff) {
  posix_fadvise(TIFFFileno(tiff), 0, 0, POSIX_FADV_WILLNEED);
}

// Checks every page of the file just opened in input and starts reading
// it ahead; what OpenTiffPages raises.
TiffPages CheckedPages(TiffPages input, std::uint64_t file_size) {
  CheckPages(input, file_size);
  ReadAheadWholeFile(input.tiff.get());
  return input;
}

}  // namespace

[[noreturn]] void Refuse(std::string reason) {
  throw EFileFailed(FileStep::Read, 0, std::move(reason));
}

std::string PagePrefix(const TiffPages& input, std::uint32_t index) {
  if (input.directories.size() < 2) return {};
  return "page " + std::to_string(index + 1) + ": ";
}

ColourMap ColourMapOf(TIFF* tiff) {
  ColourMap map;
  if (!TIFFGetField(tiff, TIFFTAG_COLORMAP, &map.red, &map.green, &map.blue)) return {};
  return map;
}

bool IsCcitt(std::uint32_t compression) {
  return compression == COMPRESSION_CCITTRLE || compression == COMPRESSION_CCITTRLEW ||
         compression == COMPRESSION_CCITTFAX3 || compression == COMPRESSION_CCITTFAX4;
}

bool ShowsBlackAndWhite(const ColourMap& map) {
  const int first = map.red[0] >> 8;
  const int second = map.red[1] >> 8;
  return (first == 0 && second == 255) || (first == 255 && second == 0);
}

void OpenDirectory(TiffPages& input, std::uint32_t page) {
  TIFF* const tiff = input.tiff.get();
  const PageDirectory& directory = input.directories.at(page);
  HeldMessages held(tiff);
  if (!TIFFSetSubDirectory(tiff, directory.offset)) {
    held.Say();
    Refuse("directory " + std::to_string(directory.number + 1) + " cannot be read");
  }
}

TiffPages OpenTiffPages(int fd, const char* name) {
  std::uint64_t file_size = 0;
  auto log = std::make_unique<MessageLog>();
  TiffHandle tiff = OpenOpenFile(fd, name, log.get(), file_size);
  return CheckedPages(TiffPages{std::move(log), std::move(tiff), {}}, file_size);
}

}  // namespace tessvane
