// The tag table: every tag the tool reads from a TIFF directory and writes
// back, one row each (the tag, the kind of its value, the record field that
// holds it), the way libtiff's tiffcp keeps the tags it copies in one list.
// Reading and writing are each one pass over the rows, so a tag is added or
// dropped in one place.  The EXIF directory's entries, whose set the input
// decides, are carried with the same kinds of value.
//
// Carried tags keep the value the library read, byte for byte; the file's
// history (Software, DateTime) is the user's and is not rewritten.  Not
// carried, because the new pixels make them false or the library writes its
// own: SubIFDs (thumbnails and reduced images), Min/MaxSampleValue and
// SMin/SMaxSampleValue, the strip tables, JPEGTables, and any tag that is
// not a row; in the EXIF directory, entries that point into the old file.
#pragma once

#include <tiffio.h>

#include <cstdint>

#include "image_record.h"

namespace tessvane {

// Fills image's fields, carried tags and container from the open first
// directory, one row at a time; a tag the directory lacks leaves its field
// as it was and carries nothing.  Raises nothing.
void FetchTags(TIFF* tiff, TMyImage& image);

// Reads the EXIF directory that FetchTags found into carried.Exif; true at
// once when there is none.  False when the library cannot read it or an
// entry's value.  Leaves the handle on the EXIF directory, so it comes after
// everything read from the first directory.
bool FetchExifDirectory(TIFF* tiff, TCarried& carried);

// Writes carried.Exif as a directory of the new file, before the image
// directory is begun, and sets offset to its position (0 when there is
// nothing to write).  False when the library refuses an entry or the write.
bool WriteExifDirectory(TIFF* tiff, const TCarried& carried, std::uint64_t& offset);

// Sets image's tags on the new image directory in table order, with
// exif_offset (0: none) as its EXIF directory.  A zero field whose row may
// be absent is left out.  False when the library refuses a value.
bool SetTags(TIFF* tiff, const TMyImage& image, std::uint64_t exif_offset);

}  // namespace tessvane
