// The TIFF reader: the pages of a TIFF file, one at a time, into image
// records.
//
// A file is opened and every page checked first, before any pixel memory
// is had: each page must be 8-bit gray (min-is-black, min-is-white or a
// gray palette), in strips or tiles, and every strip or tile of the file
// must lie inside it without sharing a byte with another.  Then each page
// is read on its own, so only one page's pixels are held at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "image_record.h"
#include "tiff_handle.h"

namespace tessvane {

// A directory that is a page: where it lies in the file, by which it is
// opened, and its number in the file's chain of directories, counted from
// 0, by which reasons name it.
struct PageDirectory {
  std::uint64_t offset;
  std::uint32_t number;
};

// An input file open for reading and the directories that are its pages,
// in file order.  Reduced-resolution images (thumbnails, pyramid levels)
// are not pages: the new pixels would make them false.  The log, declared
// before the handle so that it outlives it, is where the handle's messages
// are held while a directory already read is read again.
struct TiffPages {
  std::unique_ptr<MessageLog> log;
  TiffHandle tiff;
  std::vector<PageDirectory> directories;
};

// Opens the TIFF file already open at fd (it stays open; the pages are
// read through a descriptor of their own) and checks every page: how the
// run reads the file it has locked, so that what is read is the file that
// will be replaced.  EFileFailed with FileStep::Lock when fd names no
// regular file or no TIFF file the library can open, with FileStep::Read
// and the reason when a page is not one the tool rewrites or the strips
// or tiles break the layout rules.
TiffPages OpenTiffPages(int fd, const char* name);

// Reads page index (below directories.size()) of input into image, a fresh
// record: fields, carried tags and Pixels as gray levels.  EFileFailed
// (FileStep::Read) when the page does not decode; ERangeError, EIntOverflow
// or EOutOfMemory for sizes and layouts that do not fit the record.
void ReadTiffPage(TiffPages& input, std::uint32_t index, TMyImage& image);

}  // namespace tessvane
