// The tag table: the tags the tool reads from a TIFF directory and writes
// back, in two lists, the way libtiff's tiffcp keeps the tags it copies.
//
// The record's fields are rows of typed member pointers: each row names
// the tag, the width the library stores it in and the field that holds
// it, so a row whose field does not match its width fails to compile.
// The carried tags are rows of {tag, shape}: their values are kept byte
// for byte in the record's carried store, as the library read them, in
// one of five shapes (text, pair, value, counted, array).  Reading and
// writing are each one pass over the rows, so a tag is added or dropped in
// one place.  The EXIF directory's entries, whose set the input decides,
// are carried in the same shapes.
//
// The special cases are not rows: one sample per pixel, the JPEG quality,
// the EXIF directory's position and the strip tables are read straight
// into the record by FetchTags and written straight-line by the writer,
// in the order the library needs.
//
// Carried tags keep the value the library read; the file's history
// (Software, DateTime) is the user's and is not rewritten.  Not carried,
// because the new pixels make them false or the library writes its own:
// SubIFDs (thumbnails and reduced images), Min/MaxSampleValue and
// SMin/SMaxSampleValue, the strip and tile tables, JPEGTables, and any tag
// that is not a row; in the EXIF directory, entries that point into the
// old file.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <vector>

#include "image_record.h"

namespace tessvane {

// Fills image's fields, carried tags, JPEG quality, EXIF position, first
// strip and container from the open directory; a tag the directory lacks
// leaves its field as it was and carries nothing.  Raises nothing.
void FetchTags(TIFF* tiff, TMyImage& image);

// Reads the EXIF directory that FetchTags found into carried.Exif; true at
// once when there is none.  False when the library cannot read it or an
// entry's value.  Leaves the handle on the EXIF directory, so it comes after
// everything read from the page's directory.
bool FetchExifDirectory(TIFF* tiff, TCarried& carried);

// Writes carried.Exif as a directory of the new file, before the page's
// directory is begun, and sets offset to its position (0 when there is
// nothing to write).  False when the library refuses an entry or the write.
bool WriteExifDirectory(TIFF* tiff, const TCarried& carried, std::uint64_t& offset);

// Sets the record's fields on the new directory in row order (Compression
// before the fields that follow it).  A zero field whose row may be absent
// is left out.  False when the library refuses a value.
bool SetFieldTags(TIFF* tiff, const TImageFields& fields);

// Sets the carried tags on the new directory.  The codec's own tags among
// them (Predictor) need Compression set first.  False when the library
// refuses a value.
bool SetCarriedTags(TIFF* tiff, const TCarried& carried);

// The tags of the carried rows, in row order.  Raises std::bad_alloc.
std::vector<ttag_t> CarriedTagNumbers();

}  // namespace tessvane
