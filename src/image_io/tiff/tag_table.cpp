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
#include <tuple>
#include <type_traits>

#include "jpeg_quality.h"

namespace tessvane {
namespace {

// ---- the record's fields ------------------------------------------------------------

// A record field held in one tag: Stored is the type the library reads and
// writes the tag's value as, Field the field's own type; the member
// pointer must be of Field.  omit_zero: a zero field means the input had
// no such tag, and none is written.
template <typename Stored, typename Field>
struct FieldRow {
  ttag_t tag;
  Field TImageFields::*field;
  bool omit_zero;
};
using LongRow = FieldRow<std::uint32_t, std::int32_t>;    // a 32-bit count in a signed field
using ShortRow = FieldRow<std::uint16_t, std::uint32_t>;  // a 16-bit tag in a 32-bit field
using FloatRow = FieldRow<float, float>;                  // set as a double

// In the order the writer sets them: Compression comes before the codec's
// own tags, which the library knows only then.
const std::tuple FieldRows = {
    LongRow{TIFFTAG_IMAGEWIDTH, &TImageFields::Width, false},
    LongRow{TIFFTAG_IMAGELENGTH, &TImageFields::Height, false},
    ShortRow{TIFFTAG_BITSPERSAMPLE, &TImageFields::BitsPerSample, false},
    LongRow{TIFFTAG_ROWSPERSTRIP, &TImageFields::RowsPerStrip, true},
    ShortRow{TIFFTAG_COMPRESSION, &TImageFields::Compression, true},
    ShortRow{TIFFTAG_PHOTOMETRIC, &TImageFields::Photometric, false},
    ShortRow{TIFFTAG_PLANARCONFIG, &TImageFields::PlanarConfig, true},
    FloatRow{TIFFTAG_XRESOLUTION, &TImageFields::XResolution, true},
    FloatRow{TIFFTAG_YRESOLUTION, &TImageFields::YResolution, true},
    ShortRow{TIFFTAG_RESOLUTIONUNIT, &TImageFields::ResolutionUnit, true},
    ShortRow{TIFFTAG_ORIENTATION, &TImageFields::Orientation, true},
};

template <typename Stored, typename Field>
void FetchField(TIFF* tiff, const FieldRow<Stored, Field>& row, TImageFields& fields) {
  Stored value{};
  if (TIFFGetField(tiff, row.tag, &value)) fields.*row.field = static_cast<Field>(value);
}

// The value as the library takes it from the argument list: the promoted
// type of what it stores (int for 16 bits, double for a float).
template <typename Stored, typename Field>
auto Passed(Field value) {
  if constexpr (std::is_same_v<Stored, float>) {
    return static_cast<double>(value);
  } else if constexpr (std::is_same_v<Stored, std::uint16_t>) {
    return static_cast<int>(value);
  } else {
    return static_cast<Stored>(value);
  }
}

// True when the row is set or left out.
template <typename Stored, typename Field>
bool SetField(TIFF* tiff, const FieldRow<Stored, Field>& row, const TImageFields& fields) {
  const Field value = fields.*row.field;
  return (row.omit_zero && value == 0) || TIFFSetField(tiff, row.tag, Passed<Stored>(value));
}

// ---- carried values ------------------------------------------------------------

// How a carried value is fetched and set.
enum class Shape {
  Text,     // NUL-terminated text
  Pair,     // two 16-bit values passed separately
  Value,    // one value of the library's width for the tag
  Counted,  // a count, then that many values
  Array,    // a fixed number of values (EXIF entries only)
};

struct CarriedRow {
  ttag_t tag;
  Shape shape;
};

const CarriedRow CarriedRows[] = {
    {TIFFTAG_PREDICTOR, Shape::Value},  // a codec tag: after Compression
    // The CCITT codecs' tags, as tiffcp copies them: the coding options
    // (T4Options, T6Options) and what a fax receiver recorded.
    {TIFFTAG_GROUP3OPTIONS, Shape::Value},
    {TIFFTAG_GROUP4OPTIONS, Shape::Value},
    {TIFFTAG_BADFAXLINES, Shape::Value},
    {TIFFTAG_CLEANFAXDATA, Shape::Value},
    {TIFFTAG_CONSECUTIVEBADFAXLINES, Shape::Value},
    {TIFFTAG_FAXRECVPARAMS, Shape::Value},
    {TIFFTAG_FAXRECVTIME, Shape::Value},
    {TIFFTAG_FAXSUBADDRESS, Shape::Text},
    // The order of the bits in a byte: the library reverses them as it
    // reads and writes, so the pixels do not depend on it.
    {TIFFTAG_FILLORDER, Shape::Value},
    {TIFFTAG_THRESHHOLDING, Shape::Value},
    {TIFFTAG_IMAGEDESCRIPTION, Shape::Text},
    {TIFFTAG_DOCUMENTNAME, Shape::Text},
    {TIFFTAG_PAGENAME, Shape::Text},
    {TIFFTAG_PAGENUMBER, Shape::Pair},
    {TIFFTAG_MAKE, Shape::Text},
    {TIFFTAG_MODEL, Shape::Text},
    {TIFFTAG_SOFTWARE, Shape::Text},
    {TIFFTAG_DATETIME, Shape::Text},
    {TIFFTAG_ARTIST, Shape::Text},
    {TIFFTAG_HOSTCOMPUTER, Shape::Text},
    {TIFFTAG_COPYRIGHT, Shape::Text},
    {TIFFTAG_XPOSITION, Shape::Value},
    {TIFFTAG_YPOSITION, Shape::Value},
    {TIFFTAG_ICCPROFILE, Shape::Counted},
    {TIFFTAG_XMLPACKET, Shape::Counted},
    {TIFFTAG_RICHTIFFIPTC, Shape::Counted},
    {TIFFTAG_PHOTOSHOP, Shape::Counted},
};

// The library's descriptor of tag in the directory being read or written,
// or null.  Codec tags (Predictor) are known only under their codec, and an
// EXIF entry only once registered, so a miss is an ordinary answer here:
// the library's own lookup would print an "Internal error" for it.
const TIFFField* FindTag(TIFF* tiff, ttag_t tag) { return TIFFFindField(tiff, tag, TIFF_ANY); }

// The shape of an EXIF entry's value, from its field descriptor.
Shape ShapeOfField(const TIFFField* field) {
  if (TIFFFieldSetGetCountSize(field) != 0) return Shape::Counted;
  if (TIFFFieldDataType(field) == TIFF_ASCII) return Shape::Text;
  return TIFFFieldReadCount(field) == 1 ? Shape::Value : Shape::Array;
}

// Copies count values of size bytes from data into value.
void Keep(TCarriedTag& value, std::uint32_t count, const void* data, std::size_t size) {
  value.Count = count;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  value.Bytes.assign(bytes, bytes + std::size_t{count} * size);
}

// Fetches tag's value of shape from the current directory; false when it
// is absent or of a shape the library does not describe.
bool FetchValue(TIFF* tiff, ttag_t tag, Shape shape, TCarriedTag& value) {
  const TIFFField* field = FindTag(tiff, tag);
  if (field == nullptr) return false;
  const auto size = static_cast<std::size_t>(TIFFFieldSetGetSize(field));
  value.Tag = tag;
  value.Type = static_cast<std::uint16_t>(TIFFFieldDataType(field));
  const void* data = nullptr;
  switch (shape) {
    case Shape::Counted: {
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
    case Shape::Text: {
      const char* text = nullptr;
      if (!TIFFGetField(tiff, tag, &text) || text == nullptr) return false;
      Keep(value, static_cast<std::uint32_t>(std::strlen(text) + 1), text, 1);
      return true;
    }
    case Shape::Pair: {
      std::uint16_t pair[2] = {0, 0};
      if (!TIFFGetField(tiff, tag, &pair[0], &pair[1])) return false;
      Keep(value, 2, pair, 2);
      return true;
    }
    case Shape::Value: {
      std::uint64_t slot = 0;  // wide and aligned enough for any single value
      if (size == 0 || size > sizeof slot || !TIFFGetField(tiff, tag, &slot)) return false;
      Keep(value, 1, &slot, size);
      return true;
    }
    case Shape::Array: {
      const int count = TIFFFieldReadCount(field);
      if (count < 1 || !TIFFGetField(tiff, tag, &data) || data == nullptr) return false;
      Keep(value, static_cast<std::uint32_t>(count), data, size);
      return true;
    }
  }
  return false;
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
  }
  return false;
}

// Hands a carried value of shape back to the library; false when the
// library has no such tag, the bytes do not match what it will read, or it
// refuses.
bool SetValue(TIFF* tiff, Shape shape, const TCarriedTag& value) {
  const TIFFField* field = FindTag(tiff, value.Tag);
  if (field == nullptr) return false;
  const auto size = static_cast<std::size_t>(TIFFFieldSetGetSize(field));
  const bool sized = value.Bytes.size() == std::size_t{value.Count} * size;
  void* data = const_cast<std::uint8_t*>(value.Bytes.data());  // the library only reads it
  switch (shape) {
    case Shape::Counted:
      if (!sized) return false;
      return TIFFFieldSetGetCountSize(field) == 4
                 ? TIFFSetField(tiff, value.Tag, value.Count, data)
                 : value.Count <= UINT16_MAX && TIFFSetField(tiff, value.Tag, static_cast<int>(value.Count), data);
    case Shape::Text:
      return !value.Bytes.empty() && value.Bytes.back() == 0 && TIFFSetField(tiff, value.Tag, data);
    case Shape::Pair: {
      if (value.Bytes.size() != 4) return false;
      std::uint16_t pair[2];
      std::memcpy(pair, data, 4);
      return TIFFSetField(tiff, value.Tag, int{pair[0]}, int{pair[1]});
    }
    case Shape::Value: return value.Count == 1 && sized && SetSingleValue(tiff, field, value);
    case Shape::Array:
      return static_cast<int>(value.Count) == TIFFFieldReadCount(field) && sized &&
             TIFFSetField(tiff, value.Tag, data);
  }
  return false;
}

const TCarriedTag* FindCarried(const TCarried& carried, ttag_t tag) {
  const auto found = std::find_if(carried.Tags.begin(), carried.Tags.end(),
                                  [tag](const TCarriedTag& value) { return value.Tag == tag; });
  return found == carried.Tags.end() ? nullptr : &*found;
}

// ---- the special cases read straight ---------------------------------------------

// The first strip's position and stored length, for information only, when
// they fit the 32-bit fields.
void FetchFirstStrip(TIFF* tiff, TImageFields& fields) {
  const std::uint64_t* table = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_STRIPOFFSETS, &table) && table != nullptr && table[0] <= UINT32_MAX) {
    fields.StripOffsets = static_cast<std::uint32_t>(table[0]);
  }
  table = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_STRIPBYTECOUNTS, &table) && table != nullptr && table[0] <= UINT32_MAX) {
    fields.StripByteCounts = static_cast<std::uint32_t>(table[0]);
  }
}

// The JPEG quality estimated from the page's JPEGTables; the EXIF
// directory's position; the container.
void FetchCarriedSpecials(TIFF* tiff, TCarried& carried) {
  std::uint32_t size = 0;
  const void* data = nullptr;
  if (TIFFGetField(tiff, TIFFTAG_JPEGTABLES, &size, &data) && data != nullptr) {
    carried.JpegQuality = EstimateJpegQuality(static_cast<const std::uint8_t*>(data), size);
  }
  if (!TIFFGetField(tiff, TIFFTAG_EXIFIFD, &carried.ExifOffset)) carried.ExifOffset = 0;
  carried.BigTiff = TIFFIsBigTIFF(tiff) != 0;
  carried.BigEndian = TIFFIsBigEndian(tiff) != 0;
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
  std::apply([&](const auto&... row) { (FetchField(tiff, row, image), ...); }, FieldRows);
  FetchFirstStrip(tiff, image);
  for (const CarriedRow& row : CarriedRows) {
    TCarriedTag value;
    if (FetchValue(tiff, row.tag, row.shape, value)) image.Carried.Tags.push_back(std::move(value));
  }
  FetchCarriedSpecials(tiff, image.Carried);
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
    if (!FetchValue(tiff, tag, ShapeOfField(field), value)) return false;
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
    if (field == nullptr || !SetValue(tiff, ShapeOfField(field), value)) return false;
  }
  if (!TIFFWriteCustomDirectory(tiff, &offset)) return false;
  // The page's directory that follows starts from the library's defaults.
  TIFFFreeDirectory(tiff);
  TIFFCreateDirectory(tiff);
  return offset != 0;
}

bool SetFieldTags(TIFF* tiff, const TImageFields& fields) {
  return std::apply([&](const auto&... row) { return (SetField(tiff, row, fields) && ...); }, FieldRows);
}

bool SetCarriedTags(TIFF* tiff, const TCarried& carried) {
  return std::all_of(std::begin(CarriedRows), std::end(CarriedRows), [&](const CarriedRow& row) {
    const TCarriedTag* value = FindCarried(carried, row.tag);
    return value == nullptr || SetValue(tiff, row.shape, *value);
  });
}

std::vector<ttag_t> CarriedTagNumbers() {
  std::vector<ttag_t> tags;
  for (const CarriedRow& row : CarriedRows) tags.push_back(row.tag);
  return tags;
}

}  // namespace tessvane
