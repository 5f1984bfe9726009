// The TIFF reader: the first image of a TIFF file into an image record,
// through libtiff's strip interface.
//
// It accepts only what the tool can rewrite without loss: one image of
// 8-bit unsigned min-is-black samples, one sample per pixel, in strips.  It
// decodes each strip straight into Pixels, strip i at i × S, where S is the
// library's strip size; the last strip supplies whatever remains.  Strips
// that land whole in Pixels are decoded ahead on several threads
// (strip_codec.h); the loops that check each strip then take their outcome
// in strip order, so failures and checks come in the same order as with
// one thread.
//
// A page stored uncompressed with its strips back to back is one range of
// the file, exactly the bytes decoding would copy.  Pixels are then a view
// of that range (ByteArray::ViewOfFile) rather than a copy: no fresh
// memory to fill, no copy to make.  Whoever reads the view must compare
// LostFileViews() before and after, in case the file is cut short
// meanwhile.
//
// The order of the checks is part of the tool's behaviour: which error a
// malformed file reports, and at which check, is what users and scripts
// see, so each check below stands where it fires and says why.
#include "tiff_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "io_status.h"
#include "strip_codec.h"
#include "tag_table.h"
#include "tiff_handle.h"

namespace tessvane {
namespace {

// True when the open image is one the tool can rewrite without loss: the
// file's only image, in strips, of 8-bit unsigned min-is-black samples, one
// a pixel (TIFF defaults applied to absent tags).  Anything else would lose
// its colour map, other images or samples, or come out inverted.
bool IsSingleGrayImage(TIFF* tiff) {
  std::uint16_t bits = 0;
  std::uint16_t samples = 0;
  std::uint16_t format = 0;
  std::uint16_t photometric = 0;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
  return bits == 8 && samples == 1 && format == SAMPLEFORMAT_UINT &&
         TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) &&
         photometric == PHOTOMETRIC_MINISBLACK && !TIFFIsTiled(tiff) &&
         TIFFLastDirectory(tiff);
}

// The library's mode for the file: "c", a page stored as one large
// uncompressed strip is read as that one strip, and so written back, rather
// than in the pieces the library cuts; "m", no memory map, as reading is
// measured faster without.
constexpr char ReadMode[] = "rmc";

// Strips decoded ahead on several threads, by strip index; empty when
// none was (every strip then decodes in the loops below).
using DecodedAhead = std::vector<StripDecode>;

// Decodes strip index into destination, which takes wanted bytes, unless
// it was decoded there ahead.  False when the library fails or delivers
// fewer bytes than wanted.
bool DecodeStrip(TIFF* tiff, std::uint32_t index, std::uint8_t* destination,
                 std::uint32_t wanted, const DecodedAhead& ahead) {
  if (wanted == 0) return true;
  if (index < ahead.size() && ahead[index] != StripDecode::NotTried) {
    return ahead[index] == StripDecode::Decoded;
  }
  return TIFFReadEncodedStrip(tiff, index, destination, wanted) >= static_cast<tmsize_t>(wanted);
}

// The strip geometry the reader works with: the library's strip size and
// count, checked as the record's signed fields must hold them.
struct StripLayout {
  std::int32_t strip_size;   // bytes of a whole strip
  std::uint32_t size;        // the same, unsigned
  std::uint32_t strip_count;
  std::uint32_t pixel_count;  // Width × Height
};

// Every strip but the last, each decoded straight into its place.  A strip
// that would reach past the pixels is decoded into overhang and copied up to
// the end of the pixels, so that the range error comes after the bytes
// before it are stored, as a byte-by-byte copy would fail.  Failed: a strip
// does not decode.  ERangeError / EIntOverflow as the byte copy meets them.
IoStatus ReadFullStrips(TIFF* tiff, const StripLayout& layout, ByteArray& pixels,
                        ByteArray& overhang, const DecodedAhead& ahead) {
  for (std::uint32_t i = 0; i + 1 < layout.strip_count; ++i) {
    const std::uint64_t start = std::uint64_t{i} * layout.size;
    const bool fits = start + layout.size <= layout.pixel_count;
    if (!fits && overhang.Length() == 0) overhang.SetLength(layout.strip_size);
    if (!DecodeStrip(tiff, i, fits ? pixels.Data() + start : overhang.Data(), layout.size,
                     fits ? ahead : DecodedAhead{})) {
      return IoStatus::Failed;
    }
    // The strip's first and last index are formed (and may overflow) even
    // when the strip fits, as the copy into Pixels forms them.
    const std::int32_t low = CheckedMul(static_cast<std::int32_t>(i), layout.strip_size);
    const std::uint32_t high = CheckedSubUnsigned(
        static_cast<std::uint32_t>(CheckedMul(static_cast<std::int32_t>(i + 1), layout.strip_size)),
        1);
    if (!fits) {
      for (auto j = static_cast<std::uint32_t>(low); j <= high; ++j) {
        pixels[j] = overhang[j - static_cast<std::uint32_t>(low)];
      }
    }
  }
  return IoStatus::Done;
}

// The last strip, which supplies the rest of the pixels, at most one strip's
// worth.  Failed: it does not decode.  Then the last strip's first pixel
// and the image's last pixel must both be formable (EIntOverflow), and the
// rest may not be longer than one strip (ERangeError).
IoStatus ReadLastStrip(TIFF* tiff, const StripLayout& layout, ByteArray& pixels,
                       ByteArray& overhang, const DecodedAhead& ahead) {
  const std::uint32_t last = layout.strip_count - 1;
  const std::uint64_t start = std::uint64_t{last} * layout.size;
  const std::uint64_t rest = layout.pixel_count > start ? layout.pixel_count - start : 0;
  const auto wanted = static_cast<std::uint32_t>(rest < layout.size ? rest : layout.size);
  if (wanted > 0) {
    if (!DecodeStrip(tiff, last, pixels.Data() + start, wanted, ahead)) return IoStatus::Failed;
  } else {
    // Nothing of it is kept, but a strip that does not decode still means
    // a damaged file.
    if (overhang.Length() == 0) overhang.SetLength(layout.strip_size);
    if (!DecodeStrip(tiff, last, overhang.Data(), layout.size, {})) return IoStatus::Failed;
  }
  CheckedMul(static_cast<std::int32_t>(last), layout.strip_size);
  CheckedSubUnsigned(layout.pixel_count, 1);
  if (rest > layout.size) RaiseRangeError();
  return IoStatus::Done;
}

// Sizes Pixels and works out the strips: EIntOverflow when Width × Height
// does not fit 32 bits, ERangeError for a strip size or count outside the
// record's signed fields, EIntOverflow for a file without strips.  The
// pixels are sized before the strips are looked at, so a too-large image
// reports its size first.
StripLayout PlanReading(TIFF* tiff, TMyImage& image) {
  const std::int32_t signed_count = CheckedMul(image.Width, image.Height);
  image.Pixels.SetLength(signed_count);
  const std::int32_t strip_size = ToInt32(TIFFStripSize(tiff));
  const std::uint32_t size = ToUnsigned(strip_size);
  const std::uint32_t strip_count = TIFFNumberOfStrips(tiff);
  if (strip_count > INT32_MAX) RaiseRangeError();
  image.StripCount = static_cast<std::int32_t>(strip_count);
  if (strip_count == 0) RaiseIntOverflow();  // there is no last strip
  return {strip_size, size, strip_count, static_cast<std::uint32_t>(signed_count)};
}

// The first strip's place in the file when the pixels can be a view of it:
// strips stored uncompressed and unreversed (so decoding copies them
// unchanged), strip i at the first strip's offset plus i × S, each strip as
// long as the library would read it (so every strip would decode whole),
// and the file holding them all.  0 otherwise (no strip starts at 0, where
// the header is).
std::uint64_t StripsAsOneRange(TIFF* tiff, const StripLayout& layout) {
  std::uint16_t compression = 0;
  std::uint16_t fill_order = 0;
  std::uint32_t height = 0;
  std::uint32_t rows_per_strip = 0;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_FILLORDER, &fill_order);
  TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
  if (compression != COMPRESSION_NONE || fill_order != FILLORDER_MSB2LSB || height == 0) return 0;
  // The library's own rule for the rows of each strip, the last one short.
  if (rows_per_strip == 0 || rows_per_strip > height) rows_per_strip = height;
  const std::uint32_t last = layout.strip_count - 1;
  const std::uint64_t last_start = std::uint64_t{last} * layout.size;
  if (layout.strip_count != (height - 1) / rows_per_strip + 1 ||
      last_start >= layout.pixel_count ||
      TIFFVStripSize(tiff, rows_per_strip) != static_cast<tmsize_t>(layout.size) ||
      TIFFVStripSize(tiff, height - last * rows_per_strip) !=
          static_cast<tmsize_t>(layout.pixel_count - last_start)) {
    return 0;
  }
  const std::uint64_t first = TIFFGetStrileOffset(tiff, 0);
  for (std::uint32_t i = 1; i < layout.strip_count; ++i) {
    if (TIFFGetStrileOffset(tiff, i) != first + std::uint64_t{i} * layout.size) return 0;
  }
  struct stat status;
  if (fstat(TIFFFileno(tiff), &status) != 0 || status.st_size < 0 ||
      first > static_cast<std::uint64_t>(status.st_size) ||
      static_cast<std::uint64_t>(status.st_size) - first < layout.pixel_count) {
    return 0;
  }
  return first;
}

// Makes pixels a view of the strips where they form one range of the
// file; false where they do not, or the system maps nothing, and the
// strips are to be decoded.  Where it is true, decoding every strip would
// succeed and form no index that fails, so the view skips no check.
bool ViewStrips(TIFF* tiff, const StripLayout& layout, ByteArray& pixels) {
  const std::uint64_t offset = StripsAsOneRange(tiff, layout);
  if (offset == 0) return false;
  ByteArray view = ByteArray::ViewOfFile(TIFFFileno(tiff), offset, layout.pixel_count);
  if (view.Length() == 0) return false;
  pixels = std::move(view);
  return true;
}

// Decodes ahead, on several threads, every strip that the loops above
// decode straight into the pixels, into the same place: the loops then
// meet each strip's outcome, and so the first failure or failing check,
// in the same order as if they decoded it themselves.
DecodedAhead DecodeAhead(TIFF* tiff, const StripLayout& layout, ByteArray& pixels) {
  return DecodeStripsAhead(tiff, ReadMode, layout.strip_count, [&](std::uint32_t i) {
    const std::uint64_t start = std::uint64_t{i} * layout.size;
    std::uint64_t wanted = 0;
    if (i + 1 < layout.strip_count) {
      if (start + layout.size <= layout.pixel_count) wanted = layout.size;
    } else if (layout.pixel_count > start) {
      wanted = std::min<std::uint64_t>(layout.pixel_count - start, layout.size);
    }
    return StripTarget{i, wanted > 0 ? pixels.Data() + start : nullptr,
                       static_cast<std::uint32_t>(wanted)};
  });
}

// Opens the file at name for reading without blocking on a FIFO or a
// device: a path that names no regular file gets no handle.  A path that
// cannot be opened at all goes to TIFFOpen, which reports it on standard
// error as it always has.
TIFF* OpenRegularFile(const char* name) {
  const int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return TIFFOpen(name, ReadMode);
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return nullptr;
  }
  TIFF* const tiff = TIFFFdOpen(fd, name, ReadMode);  // the handle closes fd
  if (tiff == nullptr) close(fd);
  return tiff;
}

// Asks the kernel to start reading the whole file now, once the image is
// known to be one the tool will read in full.  From a cold cache the disk
// then works while the strips are decoded into fresh memory, instead of
// each strip waiting for its own read.  A hint: its failure changes nothing.
void ReadAheadWholeFile(TIFF* tiff) {
  posix_fadvise(TIFFFileno(tiff), 0, 0, POSIX_FADV_WILLNEED);
}

// The reader behind ReadTiffImage, in the status vocabulary.
IoStatus ReadImage(const char* name, TMyImage& image) {
  const TiffHandle tiff(OpenRegularFile(name));
  if (!tiff) return IoStatus::CannotOpen;
  FetchTags(tiff.get(), image);
  if (!IsSingleGrayImage(tiff.get())) return IoStatus::Failed;
  const StripLayout layout = PlanReading(tiff.get(), image);
  ReadAheadWholeFile(tiff.get());
  if (!ViewStrips(tiff.get(), layout, image.Pixels)) {
    ByteArray overhang;
    const DecodedAhead ahead = DecodeAhead(tiff.get(), layout, image.Pixels);
    const IoStatus full = ReadFullStrips(tiff.get(), layout, image.Pixels, overhang, ahead);
    if (full != IoStatus::Done) return full;
    const IoStatus last = ReadLastStrip(tiff.get(), layout, image.Pixels, overhang, ahead);
    if (last != IoStatus::Done) return last;
  }
  // Last, as it leaves the first directory: an EXIF directory that cannot
  // be read cannot be carried, and the file is refused rather than lose it.
  return FetchExifDirectory(tiff.get(), image.Carried) ? IoStatus::Done : IoStatus::Failed;
}

}  // namespace

std::int32_t ReadTiffImage(const char* const& name, TMyImage& image) {
  return StatusCode(ReadImage(name, image));
}

}  // namespace tessvane
