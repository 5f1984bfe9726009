// The tag table and the passes over it; see the header.
//
// A carried value is taken from libtiff through the tag's field descriptor
// and handed back the same way: TIFFFieldSetGetSize gives the width of one
// value as the library holds it, TIFFFieldSetGetCountSize whether a count
// comes first.  Before a value is handed back, its bytes are checked against
// what the library will read for that tag, so a mismatch refuses the value
// instead of letting the library read past it.
#include "tag_table.h"

#include <algorithm>
#include <cstring>
#include <variant>

#include "jpeg_quality.h"

namespace tessvane {
namespace {

// How a row's value is fetched and set.
enum class TagKind {
  Long,           // record field; 32-bit unsigned in the library
  Short,          // record field; 16-bit in the library
  Float,          // record field; float in the library, set as double
  FirstStrip,     // record field: a strip table's first entry; read only
  One,            // not read; set as 1 (one sample per pixel)
  Text,           // carried: NUL-terminated text
  Pair,           // carried: two 16-bit values passed separately
  Value,          // carried: one value of the library's width for the tag
  Counted,        // carried: a count, then that many values
  Array,          // carried: a fixed number of values (EXIF entries only)
  ExifDirectory,  // the position of the EXIF directory: read, then written anew
  JpegQuality,    // read as the quality of JPEGTables; set as the encoder's quality
};

using Field = std::variant<std::monostate, std::int32_t TImageFields::*,
                           std::uint32_t TImageFields::*, float TImageFields::*>;

struct TagRow {
  ttag_t tag;
  TagKind kind;
  Field field = {};
  bool omit_zero = false;  // a zero field means the input had no such tag
};

// In the order the writer sets them: Compression comes before the codec's
// own tags (Predictor, the JPEG quality), which the library knows only then.
const TagRow TagTable[] = {
    {TIFFTAG_IMAGEWIDTH, TagKind::Long, &TImageFields::Width},
    {TIFFTAG_IMAGELENGTH, TagKind::Long, &TImageFields::Height},
    {TIFFTAG_BITSPERSAMPLE, TagKind::Short, &TImageFields::BitsPerSample},
    {TIFFTAG_SAMPLESPERPIXEL, TagKind::One},
    {TIFFTAG_ROWSPERSTRIP, TagKind::Long, &TImageFields::RowsPerStrip, true},
    {TIFFTAG_COMPRESSION, TagKind::Short, &TImageFields::Compression, true},
    {TIFFTAG_PHOTOMETRIC, TagKind::Short, &TImageFields::Photometric},
    {TIFFTAG_PLANARCONFIG, TagKind::Short, &TImageFields::PlanarConfig, true},
    {TIFFTAG_XRESOLUTION, TagKind::Float, &TImageFields::XResolution, true},
    {TIFFTAG_YRESOLUTION, TagKind::Float, &TImageFields::YResolution, true},
    {TIFFTAG_RESOLUTIONUNIT, TagKind::Short, &TImageFields::ResolutionUnit, true},
    {TIFFTAG_ORIENTATION, TagKind::Short, &TImageFields::Orientation, true},
    {TIFFTAG_STRIPOFFSETS, TagKind::FirstStrip, &TImageFields::StripOffsets},
    {TIFFTAG_STRIPBYTECOUNTS, TagKind::FirstStrip, &TImageFields::StripByteCounts},
    {TIFFTAG_PREDICTOR, TagKind::Value},
    {TIFFTAG_JPEGTABLES, TagKind::JpegQuality},
    {TIFFTAG_IMAGEDESCRIPTION, TagKind::Text},
    {TIFFTAG_DOCUMENTNAME, TagKind::Text},
    {TIFFTAG_PAGENAME, TagKind::Text},
    {TIFFTAG_PAGENUMBER, TagKind::Pair},
    {TIFFTAG_MAKE, TagKind::Text},
    {TIFFTAG_MODEL, TagKind::Text},
    {TIFFTAG_SOFTWARE, TagKind::Text},
    {TIFFTAG_DATETIME, TagKind::Text},
    {TIFFTAG_ARTIST, TagKind::Text},
    {TIFFTAG_HOSTCOMPUTER, TagKind::Text},
    {TIFFTAG_COPYRIGHT, TagKind::Text},
    {TIFFTAG_XPOSITION, TagKind::Value},
    {TIFFTAG_YPOSITION, TagKind::Value},
    {TIFFTAG_ICCPROFILE, TagKind::Counted},
    {TIFFTAG_XMLPACKET, TagKind::Counted},
    {TIFFTAG_RICHTIFFIPTC, TagKind::Counted},
    {TIFFTAG_PHOTOSHOP, TagKind::Counted},
    {TIFFTAG_EXIFIFD, TagKind::ExifDirectory},
};

// The quality a JPEG page is encoded at when its own cannot be estimated.
constexpr int FallbackJpegQuality = 95;

// ---- carried values ------------------------------------------------------------

// The library's descriptor of tag in the directory being read or written,
// or null.  Codec tags (Predictor) are known only under their codec, and an
// EXIF entry only once registered, so a miss is an ordinary answer here:
// the library's own lookup would print an "Internal error" for it.
const TIFFField* FindTag(TIFF* tiff, ttag_t tag) { return TIFFFindField(tiff, tag, TIFF_ANY); }

// The kind of an EXIF entry's value, from its field descriptor.
TagKind KindOfField(const TIFFField* field) {
  if (TIFFFieldSetGetCountSize(field) != 0) return TagKind::Counted;
  if (TIFFFieldDataType(field) == TIFF_ASCII) return TagKind::Text;
  return TIFFFieldReadCount(field) == 1 ? TagKind::Value : TagKind::Array;
}

// Copies count values of size bytes from data into value.
void Keep(TCarriedTag& value, std::uint32_t count, const void* data, std::size_t size) {
  value.Count = count;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  value.Bytes.assign(bytes, bytes + std::size_t{count} * size);
}

// Fetches tag's value of kind from the current directory; false when it is
// absent or of a shape the library does not describe.
bool FetchValue(TIFF* tiff, ttag_t tag, TagKind kind, TCarriedTag& value) {
  const TIFFField* field = FindTag(tiff, tag);
  if (field == nullptr) return false;
  const auto size = static_cast<std::size_t>(TIFFFieldSetGetSize(field));
  value.Tag = tag;
  value.Type = static_cast<std::uint16_t>(TIFFFieldDataType(field));
  const void* data = nullptr;
  switch (kind) {
    case TagKind::Counted: {
      std::uint32_t count = 0;
      std::uint16_t short_count = 0;
      const bool wide = TIFFFieldSetGetCountSize(field) == 4;
      if (!(wide ? TIFFGetField(tiff, tag, &count, &data) : TIFFGetField(tiff, tag, &short_count, &data))) {
        return false;
      }
      if (!wide) count = short_count;
      if (data == nullptr && count != 0) return false;
      Keep(value, count, data, size);
      return true;
    }
    case TagKind::Text: {
      const char* text = nullptr;
      if (!TIFFGetField(tiff, tag, &text) || text == nullptr) return false;
      Keep(value, static_cast<std::uint32_t>(std::strlen(text) + 1), text, 1);
      return true;
    }
    case TagKind::Pair: {
      std::uint16_t pair[2] = {0, 0};
      if (!TIFFGetField(tiff, tag, &pair[0], &pair[1])) return false;
      Keep(value, 2, pair, 2);
      return true;
    }
    case TagKind::Value: {
      std::uint64_t slot = 0;  // wide and aligned enough for any single value
      if (size == 0 || size > sizeof slot || !TIFFGetField(tiff, tag, &slot)) return false;
      Keep(value, 1, &slot, size);
      return true;
    }
    case TagKind::Array: {
      const int count = TIFFFieldReadCount(field);
      if (count < 1 || !TIFFGetField(tiff, tag, &data) || data == nullptr) return false;
      Keep(value, static_cast<std::uint32_t>(count), data, size);
      return true;
    }
    default: return false;
  }
}

// Sets one value of a numeric field from its bytes, widened as the library
// reads it from the argument list.
bool SetSingleValue(TIFF* tiff, const TIFFField* field, const TCarriedTag& value) {
  const ttag_t tag = value.Tag;
  const std::uint8_t* bytes = value.Bytes.data();
  const TIFFDataType type = TIFFFieldDataType(field);
  const bool real = type == TIFF_FLOAT || type == TIFF_DOUBLE || type == TIFF_RATIONAL ||
                    type == TIFF_SRATIONAL;
  const bool is_signed = type == TIFF_SBYTE || type == TIFF_SSHORT || type == TIFF_SLONG ||
                         type == TIFF_SLONG8;
  switch (value.Bytes.size()) {
    case 1: return TIFFSetField(tiff, tag, is_signed ? int{static_cast<std::int8_t>(bytes[0])} : int{bytes[0]});
    case 2: {
      std::uint16_t number;
      std::memcpy(&number, bytes, 2);
      return TIFFSetField(tiff, tag, is_signed ? int{static_cast<std::int16_t>(number)} : int{number});
    }
    case 4: {
      if (real) {
        float number;
        std::memcpy(&number, bytes, 4);
        return TIFFSetField(tiff, tag, static_cast<double>(number));
      }
      std::uint32_t number;
      std::memcpy(&number, bytes, 4);
      return TIFFSetField(tiff, tag, number);
    }
    case 8: {
      if (real) {
        double number;
        std::memcpy(&number, bytes, 8);
        return TIFFSetField(tiff, tag, number);
      }
      std::uint64_t number;
      std::memcpy(&number, bytes, 8);
      return TIFFSetField(tiff, tag, number);
    }
    default: return false;
  }
}

// Hands a carried value of kind back to the library; false when the library
// has no such tag, the bytes do not match what it will read, or it refuses.
bool SetValue(TIFF* tiff, TagKind kind, const TCarriedTag& value) {
  const TIFFField* field = FindTag(tiff, value.Tag);
  if (field == nullptr) return false;
  const auto size = static_cast<std::size_t>(TIFFFieldSetGetSize(field));
  const bool sized = value.Bytes.size() == std::size_t{value.Count} * size;
  void* data = const_cast<std::uint8_t*>(value.Bytes.data());  // the library only reads it
  switch (kind) {
    case TagKind::Counted:
      if (!sized) return false;
      return TIFFFieldSetGetCountSize(field) == 4
                 ? TIFFSetField(tiff, value.Tag, value.Count, data)
                 : value.Count <= UINT16_MAX && TIFFSetField(tiff, value.Tag, static_cast<int>(value.Count), data);
    case TagKind::Text:
      return !value.Bytes.empty() && value.Bytes.back() == 0 && TIFFSetField(tiff, value.Tag, data);
    case TagKind::Pair: {
      if (value.Bytes.size() != 4) return false;
      std::uint16_t pair[2];
      std::memcpy(pair, data, 4);
      return TIFFSetField(tiff, value.Tag, int{pair[0]}, int{pair[1]});
    }
    case TagKind::Value: return value.Count == 1 && sized && SetSingleValue(tiff, field, value);
    case TagKind::Array:
      return static_cast<int>(value.Count) == TIFFFieldReadCount(field) && sized &&
             TIFFSetField(tiff, value.Tag, data);
    default: return false;
  }
}

const TCarriedTag* FindCarried(const TCarried& carried, ttag_t tag) {
  const auto found = std::find_if(carried.Tags.begin(), carried.Tags.end(),
                                  [tag](const TCarriedTag& value) { return value.Tag == tag; });
  return found == carried.Tags.end() ? nullptr : &*found;
}

// ---- rows ------------------------------------------------------------------------

// Fetches one row into image.  Values land in typed temporaries first:
// libtiff stores 16 bits for the short tags and a pointer for the tables.
void FetchRow(TIFF* tiff, const TagRow& row, TMyImage& image) {
  std::uint32_t long_value;
  std::uint16_t short_value;
  float float_value;
  const std::uint64_t* table;
  std::uint32_t size;
  const void* data;
  switch (row.kind) {
    case TagKind::Long:
      if (TIFFGetField(tiff, row.tag, &long_value)) {
        image.*std::get<std::int32_t TImageFields::*>(row.field) = static_cast<std::int32_t>(long_value);
      }
      break;
    case TagKind::Short:
      if (TIFFGetField(tiff, row.tag, &short_value)) {
        image.*std::get<std::uint32_t TImageFields::*>(row.field) = short_value;
      }
      break;
    case TagKind::Float:
      if (TIFFGetField(tiff, row.tag, &float_value)) {
        image.*std::get<float TImageFields::*>(row.field) = float_value;
      }
      break;
    case TagKind::FirstStrip:
      // Recorded for information only: the first strip's position or
      // stored length, when it fits the 32-bit field.
      if (TIFFGetField(tiff, row.tag, &table) && table != nullptr && table[0] <= UINT32_MAX) {
        image.*std::get<std::uint32_t TImageFields::*>(row.field) = static_cast<std::uint32_t>(table[0]);
      }
      break;
    case TagKind::ExifDirectory:
      if (!TIFFGetField(tiff, row.tag, &image.Carried.ExifOffset)) image.Carried.ExifOffset = 0;
      break;
    case TagKind::JpegQuality:
      if (TIFFGetField(tiff, row.tag, &size, &data) && data != nullptr) {
        image.Carried.JpegQuality = EstimateJpegQuality(static_cast<const std::uint8_t*>(data), size);
      }
      break;
    case TagKind::One: break;
    default: {
      TCarriedTag value;
      if (FetchValue(tiff, row.tag, row.kind, value)) image.Carried.Tags.push_back(std::move(value));
      break;
    }
  }
}

// Sets one row from image; true when it is left out.
bool SetRow(TIFF* tiff, const TagRow& row, const TMyImage& image, std::uint64_t exif_offset) {
  switch (row.kind) {
    case TagKind::Long: {
      const std::int32_t value = image.*std::get<std::int32_t TImageFields::*>(row.field);
      return (row.omit_zero && value == 0) || TIFFSetField(tiff, row.tag, static_cast<std::uint32_t>(value));
    }
    case TagKind::Short: {
      const std::uint32_t value = image.*std::get<std::uint32_t TImageFields::*>(row.field);
      return (row.omit_zero && value == 0) || TIFFSetField(tiff, row.tag, value);
    }
    case TagKind::Float: {
      const float value = image.*std::get<float TImageFields::*>(row.field);
      return (row.omit_zero && value == 0) || TIFFSetField(tiff, row.tag, static_cast<double>(value));
    }
    case TagKind::One: return TIFFSetField(tiff, row.tag, 1);
    case TagKind::ExifDirectory: return exif_offset == 0 || TIFFSetField(tiff, row.tag, exif_offset);
    case TagKind::JpegQuality: {
      // JPEG is lossy: each run decodes and encodes again, at the input's
      // own quality so that the loss stays that of one encode at it.
      if (image.Compression != COMPRESSION_JPEG) return true;
      const int quality = image.Carried.JpegQuality > 0 ? image.Carried.JpegQuality : FallbackJpegQuality;
      return TIFFSetField(tiff, TIFFTAG_JPEGQUALITY, quality);
    }
    case TagKind::FirstStrip: return true;  // the library writes its own strip tables
    default: {
      const TCarriedTag* value = FindCarried(image.Carried, row.tag);
      return value == nullptr || SetValue(tiff, row.kind, *value);
    }
  }
}

// Makes an EXIF entry that the library does not know by number known to the
// new directory, as the library describes such tags when it reads them: any
// count of values of the stored type.
bool KnowTag(TIFF* tiff, const TCarriedTag& value) {
  if (FindTag(tiff, value.Tag) != nullptr) return true;
  static char name[] = "CarriedTag";  // the library keeps the pointer
  const TIFFFieldInfo info = {value.Tag, TIFF_VARIABLE2, TIFF_VARIABLE2,
                              static_cast<TIFFDataType>(value.Type), FIELD_CUSTOM, 1, 1, name};
  return TIFFMergeFieldInfo(tiff, &info, 1) == 0;
}

}  // namespace

void FetchTags(TIFF* tiff, TMyImage& image) {
  for (const TagRow& row : TagTable) FetchRow(tiff, row, image);
  image.Carried.BigTiff = TIFFIsBigTIFF(tiff) != 0;
  image.Carried.BigEndian = TIFFIsBigEndian(tiff) != 0;
}

bool FetchExifDirectory(TIFF* tiff, TCarried& carried) {
  if (carried.ExifOffset == 0) return true;
  if (!TIFFReadEXIFDirectory(tiff, carried.ExifOffset)) return false;
  const int count = TIFFGetTagListCount(tiff);
  for (int i = 0; i < count; ++i) {
    const ttag_t tag = TIFFGetTagListEntry(tiff, i);
    const TIFFField* field = FindTag(tiff, tag);
    if (field == nullptr) return false;
    // A directory position (the interoperability directory) points into
    // the old file and would be false in the new one.
    const TIFFDataType type = TIFFFieldDataType(field);
    if (type == TIFF_IFD || type == TIFF_IFD8) continue;
    TCarriedTag value;
    if (!FetchValue(tiff, tag, KindOfField(field), value)) return false;
    carried.Exif.push_back(std::move(value));
  }
  return true;
}

bool WriteExifDirectory(TIFF* tiff, const TCarried& carried, std::uint64_t& offset) {
  offset = 0;
  if (carried.Exif.empty()) return true;
  TIFFCreateEXIFDirectory(tiff);
  for (const TCarriedTag& value : carried.Exif) {
    if (!KnowTag(tiff, value)) return false;
    const TIFFField* field = FindTag(tiff, value.Tag);
    if (field == nullptr || !SetValue(tiff, KindOfField(field), value)) return false;
  }
  if (!TIFFWriteCustomDirectory(tiff, &offset)) return false;
  // The image directory that follows starts from the library's defaults.
  TIFFFreeDirectory(tiff);
  TIFFCreateDirectory(tiff);
  return offset != 0;
}

bool SetTags(TIFF* tiff, const TMyImage& image, std::uint64_t exif_offset) {
  return std::all_of(std::begin(TagTable), std::end(TagTable), [&](const TagRow& row) {
    return SetRow(tiff, row, image, exif_offset);
  });
}

}  // namespace tessvane
