// The TIFF writer: image records into a new TIFF, through libtiff's strip
// and tile interfaces, written to a descriptor it is handed.
//
// Each page is written in the layout its record describes (RowsPerStrip
// rows a strip and StripCount strips, or tiles of TileWidth × TileLength)
// with the record's tags, pages one after another in one file.  The first
// page's layout can be checked before the disk is touched
// (CheckPageLayout).  Where the descriptor comes from, and how the new
// file takes the old one's place, is the caller's: the run sequence hands
// it a Replacement's descriptor, and the old file stays until the new one
// is whole.
//
// Pixels are gray levels as the page looks; a min-is-white page is stored
// inverted again, on a copy, so the record's pixels are never changed.  A
// page of 1, 2 or 4 bits a sample is stored packed, each level the nearest
// of its depth, a 1-bit page's levels 0 or 255 only (packed_samples.h).
//
// The strips or tiles of a page are encoded on several threads and written
// in order (block_writer.h), byte for byte as encoding them one after the
// other writes them.
#include "tiff_writer.h"

#include <tiffio.h>

#include <algorithm>
#include <string>

#include "block_writer.h"
#include "codec_budget.h"
#include "file_failure.h"
#include "packed_samples.h"
#include "tag_table.h"
#include "tiff_handle.h"

namespace tessvane {
namespace {

[[noreturn]] void CannotWrite(std::string reason) {
  throw EFileFailed(FileStep::Write, 0, std::move(reason));
}

// The strip layout a record asks the writer for, checked against its pixels.
struct StripPlan {
  std::uint32_t strip_count;   // strips written
  std::uint32_t strip_size;    // bytes of every strip but the last
  std::uint32_t last_start;    // first pixel of the last strip
  std::uint32_t pixel_count;   // Width × Height
};

// Works out and checks the strips of image: EIntOverflow or ERangeError
// where a size cannot be formed or a strip would reach past the pixels.
//
// Each index below is formed and tested in the order in which a strip-by-
// strip copy out of Pixels would meet it, so that a layout that does not
// fit reports the same error at the same check as that copy would, before
// anything is written.  Some products are formed only to be checked.
StripPlan PlanStrips(const TMyImage& image) {
  const std::int32_t signed_count = CheckedMul(image.Width, image.Height);
  if (signed_count < 0) RaiseRangeError();
  const auto pixel_count = static_cast<std::uint32_t>(signed_count);
  if (image.StripCount < 0) RaiseRangeError();
  const auto strip_count = static_cast<std::uint32_t>(image.StripCount);
  const std::uint32_t available = image.Pixels.Length();

  std::int32_t strip_size;
  if (strip_count == 1) {
    // One strip holds every row, whatever RowsPerStrip says (0 when absent,
    // 2^32 − 1 as the TIFF default).
    auto rows = static_cast<std::uint32_t>(image.RowsPerStrip);
    const std::uint32_t height = ToUnsigned(image.Height);
    if (rows == 0 || rows > height) rows = height;
    strip_size = static_cast<std::int32_t>(rows * ToUnsigned(image.Width));
  } else {
    strip_size = CheckedMul(image.RowsPerStrip, image.Width);
    if (strip_size < 0) RaiseRangeError();
    if (strip_count == 0) RaiseIntOverflow();  // there is no last strip
  }

  for (std::uint32_t i = 0; i + 1 < strip_count; ++i) {  // full strips
    const std::uint32_t end = static_cast<std::uint32_t>(
        CheckedMul(static_cast<std::int32_t>(i + 1), strip_size));
    const std::uint32_t high = CheckedSubUnsigned(end, 1);
    if (high >= available) RaiseRangeError();
  }
  const auto last_start = static_cast<std::uint32_t>(
      CheckedMul(static_cast<std::int32_t>(strip_count - 1), strip_size));
  const std::uint32_t high = CheckedSubUnsigned(pixel_count, 1);
  if (high >= last_start) {
    if (high - last_start >= static_cast<std::uint32_t>(strip_size)) RaiseRangeError();
    if (high >= available) RaiseRangeError();
  }
  return {strip_count, static_cast<std::uint32_t>(strip_size), last_start, pixel_count};
}

// The tile grid a tiled record asks for: EIntOverflow or ERangeError where
// the image's or a tile's size cannot be formed or the pixels are fewer
// than the image holds.
struct TilePlan {
  std::uint32_t width;
  std::uint32_t length;
  std::uint32_t across;
  std::uint32_t down;
};

TilePlan PlanTiles(const TMyImage& image) {
  const std::uint32_t count = ToUnsigned(CheckedMul(image.Width, image.Height));
  if (count > image.Pixels.Length()) RaiseRangeError();
  const std::uint32_t width = image.TileWidth;
  const std::uint32_t length = image.TileLength;
  if (width == 0 || length == 0) RaiseRangeError();
  static_cast<void>(ToUnsigned(CheckedMul(ToInt32(width), ToInt32(length))));
  return {width, length, (ToUnsigned(image.Width) + width - 1) / width,
          (ToUnsigned(image.Height) + length - 1) / length};
}

// Checks the layout of image as PlanStrips or PlanTiles does.
void CheckLayout(const TMyImage& image) {
  if (image.TileWidth != 0) {
    static_cast<void>(PlanTiles(image));
  } else {
    static_cast<void>(PlanStrips(image));
  }
}

// True when every strip or tile of the page being written holds data.  The
// library reports success for compressions it cannot encode and leaves
// those strips empty.  (The library keeps tile byte counts in the strip
// table, but counts strips from RowsPerStrip, which a tiled page lacks.)
bool EveryBlockWritten(TIFF* tiff) {
  const std::uint64_t* byte_counts = nullptr;
  if (!TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &byte_counts) || byte_counts == nullptr) {
    return false;
  }
  const std::uint32_t blocks = TIFFIsTiled(tiff) ? TIFFNumberOfTiles(tiff) : TIFFNumberOfStrips(tiff);
  for (std::uint32_t i = 0; i < blocks; ++i) {
    if (byte_counts[i] == 0) return false;
  }
  return true;
}

// Hands strip index, size bytes at data, to the library.  The library takes
// a writable buffer and does not promise to leave it alone: its predictor
// differences samples in place (libtiff 4.5 happens to do so on a copy of
// its own for whole strips), and an uncompressed strip in fill order 2 has
// its bits reversed in place.  So then (ChangesBytesGiven), or for a
// min-is-white page, the strip is first stored into scratch and the
// record's pixels are never handed over; otherwise (scratch null) nothing
// changes the buffer and the pixels go uncopied.  EFileFailed when the library fails.
void WriteStrip(TIFF* tiff, std::uint32_t index, const std::uint8_t* data, std::uint32_t size,
                ByteArray* scratch, bool inverted) {
  auto* buffer = const_cast<std::uint8_t*>(data);  // only read when there is no scratch
  if (scratch != nullptr) {
    StoreLevels(data, size, inverted, scratch->Data());
    buffer = scratch->Data();
  }
  if (TIFFWriteEncodedStrip(tiff, index, buffer, size) < 0) {
    CannotWrite("strip " + std::to_string(index) + " cannot be encoded");
  }
}

// The strips the plan writes, in order: every full strip, then the last
// one with only the rows it holds, when it holds any.
std::uint32_t StripsWritten(const StripPlan& plan) {
  return plan.pixel_count > plan.last_start ? plan.strip_count : plan.strip_count - 1;
}

// Strip k of those, as a span of the pixels, inverted when stored so; on
// a page of fewer than 8 bits a sample (bits), as rows of width pixels,
// packed.
BlockSource StripOfPlan(const std::uint8_t* pixels, const StripPlan& plan, std::uint32_t k,
                        bool inverted, std::uint32_t bits, std::uint32_t width) {
  const bool last = k + 1 == plan.strip_count;
  const std::uint32_t start = last ? plan.last_start : k * plan.strip_size;
  const std::uint32_t size = last ? plan.pixel_count - plan.last_start : plan.strip_size;
  if (bits == 8) return {k, pixels + start, size, inverted, {}};
  const std::uint32_t rows = size / width;
  return {k, pixels + start, rows * PackedRowBytes(width, bits), inverted, {width, width, rows, width},
          bits};
}

// The bits a sample image is stored in, and whether it is stored inverted.
std::uint32_t BitsOf(const TMyImage& image) {
  const std::uint32_t bits = image.BitsPerSample;
  return bits == 1 || bits == 2 || bits == 4 ? bits : 8;
}
bool IsInverted(const TMyImage& image) { return image.Photometric == PHOTOMETRIC_MINISWHITE; }

// Strip k of image, as StripOfPlan.
BlockSource StripOfImage(const std::uint8_t* pixels, const TMyImage& image, const StripPlan& plan,
                         std::uint32_t k) {
  return StripOfPlan(pixels, plan, k, IsInverted(image), BitsOf(image), ToUnsigned(image.Width));
}

// Encodes the strips one after the other through tiff itself: the path
// for one thread, and the reference for the parallel one.  EOutOfMemory
// when a strip copy cannot be had, EFileFailed when the library fails.
void EncodeStripsInTurn(TIFF* tiff, const TMyImage& image, const StripPlan& plan) {
  const bool inverted = IsInverted(image);
  if (BitsOf(image) < 8) {
    std::vector<std::uint8_t> packed;
    for (std::uint32_t k = 0; k < StripsWritten(plan); ++k) {
      const BlockSource strip = StripOfImage(image.Pixels.Data(), image, plan, k);
      StoreBlock(strip, packed);
      if (TIFFWriteEncodedStrip(tiff, k, packed.data(), strip.size) < 0) {
        CannotWrite("strip " + std::to_string(k) + " cannot be encoded");
      }
    }
    return;
  }
  ByteArray scratch;
  if (inverted || ChangesBytesGiven(tiff)) scratch.SetLength(static_cast<std::int32_t>(plan.strip_size));
  ByteArray* const copy = scratch.Length() > 0 ? &scratch : nullptr;
  for (std::uint32_t k = 0; k < StripsWritten(plan); ++k) {
    const BlockSource strip = StripOfImage(image.Pixels.Data(), image, plan, k);
    WriteStrip(tiff, strip.index, strip.data, strip.size, copy, inverted);
  }
}

// Tile k of the plan's grid, in a page of width × height pixels, as a
// rectangle of the pixels: the part that lies inside the image.
BlockSource TileOfPlan(const std::uint8_t* pixels, const TilePlan& plan, std::uint32_t width,
                       std::uint32_t height, std::uint32_t k, bool inverted, std::uint32_t bits) {
  const std::uint32_t x = k % plan.across * plan.width;
  const std::uint32_t y = k / plan.across * plan.length;
  const TileShape shape{plan.width, std::min(plan.width, width - x), std::min(plan.length, height - y),
                        width};
  return {k, pixels + std::size_t{y} * width + x, PackedRowBytes(plan.width, bits) * plan.length,
          inverted, shape, bits};
}

// Tile k of image, as TileOfPlan.
BlockSource TileOfImage(const std::uint8_t* pixels, const TMyImage& image, const TilePlan& plan,
                        std::uint32_t k) {
  return TileOfPlan(pixels, plan, ToUnsigned(image.Width), ToUnsigned(image.Height), k,
                    IsInverted(image), BitsOf(image));
}

// Writes the tiles of image in turn, each assembled in a buffer of its own
// (the library may change it): the path for one thread, and the reference
// for the parallel one.  EFileFailed when the library fails.
void EncodeTilesInTurn(TIFF* tiff, const TMyImage& image, const TilePlan& plan) {
  std::vector<std::uint8_t> tile;
  for (std::uint32_t index = 0; index < plan.across * plan.down; ++index) {
    const BlockSource source = TileOfImage(image.Pixels.Data(), image, plan, index);
    StoreBlock(source, tile);
    if (TIFFWriteEncodedTile(tiff, index, tile.data(), source.size) < 0) {
      CannotWrite("tile " + std::to_string(index) + " cannot be encoded");
    }
  }
}

// Sets the page's tags but its EXIF directory (below, after SetPageTags).
void SetPageFields(TIFF* tiff, const TMyImage& image, std::uint64_t exif_offset);

// The quality a JPEG page is encoded at when its own cannot be estimated.
constexpr int FallbackJpegQuality = 95;

// Sets the tags of one page, as libtiff's tiffcp does: the EXIF directory
// is written first, as a directory of its own, since the page's directory
// can only point to where it already lies.  Then the record's fields, one
// sample a pixel among them, with Compression before the codec's tags
// (Predictor among the carried ones, the JPEG quality), which the library
// knows only once the compression is set.  The tile size and the colour
// map come after BitsPerSample, which sizes the map.  The strip and tile
// tables are left to the library, which writes its own.  EFileFailed when
// the library refuses one.
void SetPageTags(TIFF* tiff, const TMyImage& image) {
  std::uint64_t exif_offset = 0;
  if (!WriteExifDirectory(tiff, image.Carried, exif_offset)) {
    CannotWrite("the library refuses the EXIF directory");
  }
  SetPageFields(tiff, image, exif_offset);
}

// Sets every tag of one page but writes no EXIF directory: exif_offset,
// when not 0, is where it lies.  EFileFailed when the library refuses one.
void SetPageFields(TIFF* tiff, const TMyImage& image, std::uint64_t exif_offset) {
  if (!TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1) || !SetFieldTags(tiff, image) ||
      !SetCarriedTags(tiff, image.Carried)) {
    CannotWrite("the library refuses a tag value");
  }
  // JPEG is lossy: each run decodes and encodes again, at the input's own
  // quality so that the loss stays that of one encode at it.
  const int quality = image.Carried.JpegQuality > 0 ? image.Carried.JpegQuality : FallbackJpegQuality;
  if (image.Compression == COMPRESSION_JPEG && !TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, quality)) {
    CannotWrite("the library refuses the JPEG quality");
  }
  if (exif_offset != 0 && !TIFFSetField(tiff, TIFFTAG_EXIFIFD, exif_offset)) {
    CannotWrite("the library refuses the EXIF directory's position");
  }
  if (image.TileWidth != 0 && (!TIFFSetField(tiff, TIFFTAG_TILEWIDTH, image.TileWidth) ||
                               !TIFFSetField(tiff, TIFFTAG_TILELENGTH, image.TileLength))) {
    CannotWrite("the library refuses the tile size");
  }
  if (image.Photometric == PHOTOMETRIC_PALETTE) {
    const std::vector<std::uint16_t>& map = image.Carried.Colormap;
    const std::size_t entries = std::size_t{1} << BitsOf(image);
    if (map.size() != 3 * entries) CannotWrite("a palette page without its colour map");
    if (!TIFFSetField(tiff, TIFFTAG_COLORMAP, map.data(), map.data() + entries, map.data() + 2 * entries)) {
      CannotWrite("the library refuses the colour map");
    }
  }
}

// What gives a scratch encoder image's tags: false when the library
// refuses one (that encoder's blocks are then encoded otherwise).
std::function<bool(TIFF*)> ScratchSetUp(const TMyImage& image) {
  return [&image](TIFF* scratch) {
    try {
      SetPageFields(scratch, image, 0);
      return true;
    } catch (const EFileFailed&) {
      return false;
    }
  };
}

// Writes the count blocks of image that source_of gives on several
// threads where that pays, each thread's scratch handle given the page's
// own tags; false when that does not pay, and the caller writes them in
// turn.  The same bytes either way, and the same first failing block,
// named as kind ("strip", "tile").  EOutOfMemory when a block copy cannot
// be had, EFileFailed when the library fails.
bool EncodeBlocksInParallel(TIFF* tiff, const TMyImage& image, std::uint32_t count,
                            const std::function<BlockSource(std::uint32_t)>& source_of,
                            const char* kind, EarlyBlocks* early) {
  std::uint32_t failed = 0;
  const BlockWrite parallel =
      WriteBlocksInParallel(tiff, count, source_of, ScratchSetUp(image), failed, early);
  if (parallel == BlockWrite::Failed) {
    CannotWrite(std::string(kind) + " " + std::to_string(failed) + " cannot be encoded");
  }
  return parallel == BlockWrite::Written;
}

// Encodes one page: its tags, then its strips or tiles, taking those of
// early's blocks that came from its pixels.  The directory is left for
// the caller to write.  EFileFailed, ERangeError, EIntOverflow.
void EncodePage(TIFF* tiff, const TMyImage& image, EarlyBlocks* early) {
  SetPageTags(tiff, image);
  const std::uint8_t* pixels = image.Pixels.Data();
  if (image.TileWidth != 0) {
    const TilePlan plan = PlanTiles(image);
    const auto tile_of = [&](std::uint32_t k) { return TileOfImage(pixels, image, plan, k); };
    if (!EncodeBlocksInParallel(tiff, image, plan.across * plan.down, tile_of, "tile", early)) {
      EncodeTilesInTurn(tiff, image, plan);
    }
  } else {
    const StripPlan plan = PlanStrips(image);
    const auto strip_of = [&](std::uint32_t k) { return StripOfImage(pixels, image, plan, k); };
    if (!EncodeBlocksInParallel(tiff, image, StripsWritten(plan), strip_of, "strip", early)) {
      EncodeStripsInTurn(tiff, image, plan);
    }
  }
  if (!EveryBlockWritten(tiff)) {
    CannotWrite("the library cannot encode compression " + std::to_string(image.Compression));
  }
}

}  // namespace

std::unique_ptr<EarlyBlockEncoder> BeginEarlyBlocks(const TMyImage& image) {
  const bool inverted = IsInverted(image);
  const std::uint32_t bits = BitsOf(image);
  const std::uint64_t free_bytes = FreeWhileClearing(image.Pixels.Length());
  try {
    if (image.TileWidth != 0) {
      const TilePlan plan = PlanTiles(image);
      const std::uint32_t width = ToUnsigned(image.Width);
      const std::uint32_t height = ToUnsigned(image.Height);
      return std::make_unique<EarlyBlockEncoder>(
          plan.across * plan.down,
          [=](const std::uint8_t* pixels, std::uint32_t k) {
            return TileOfPlan(pixels, plan, width, height, k, inverted, bits);
          },
          ScratchSetUp(image), free_bytes);
    }
    const StripPlan plan = PlanStrips(image);
    const std::uint32_t width = ToUnsigned(image.Width);
    return std::make_unique<EarlyBlockEncoder>(
        StripsWritten(plan),
        [plan, inverted, bits, width](const std::uint8_t* pixels, std::uint32_t k) {
          return StripOfPlan(pixels, plan, k, inverted, bits, width);
        },
        ScratchSetUp(image), free_bytes);
  } catch (const ERunError&) {
    return nullptr;  // raised again, in its turn, when the page is written
  }
}

void CheckPageLayout(const TMyImage& image) { CheckLayout(image); }

void WriteTiffPagesTo(int fd, const char* name, const TMyImage& first, std::uint32_t page_count,
                      const NextPage& next, EarlyBlocks* early) {
  CheckLayout(first);
  const auto encode = [&](TIFF* tiff) {
    EncodePage(tiff, first, early);
    for (std::uint32_t index = 1; index < page_count; ++index) {
      if (!TIFFWriteDirectory(tiff)) CannotWrite("the library cannot write a directory");
      const TMyImage& page = next(index);
      EncodePage(tiff, page, early);
    }
    return true;
  };
  WriteTiffToFd(fd, name, {first.Carried.BigTiff, first.Carried.BigEndian}, encode);
}

}  // namespace tessvane
