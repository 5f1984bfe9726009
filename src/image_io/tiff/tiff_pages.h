// What the TIFF reader's two files share: the library's reading mode,
// the refusal of a page, the page's colour map, and the open directory.
// Inside the TIFF room only.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <string>

#include "tiff_reader.h"

namespace tessvane {

// The library's mode for reading.  "c": a page stored as one large
// uncompressed strip is read as that one strip, and so written back,
// rather than in the pieces the library cuts.  "m": no memory map;
// reading is measured faster without.
inline constexpr char ReadMode[] = "rmc";

// Raises EFileFailed (FileStep::Read) with reason: the file is refused.
[[noreturn]] void Refuse(std::string reason);

// "page 3: " before a reason when the file has more than one page.
// Raises std::bad_alloc.
std::string PagePrefix(const TiffPages& input, std::uint32_t index);

// The palette page's colour map (256 entries a channel), or nulls.
struct ColourMap {
  const std::uint16_t* red = nullptr;
  const std::uint16_t* green = nullptr;
  const std::uint16_t* blue = nullptr;
};

// The open directory's colour map, or nulls.  Raises nothing.
ColourMap ColourMapOf(TIFF* tiff);

// Makes the directory of page (below input.directories.size()) the open
// one, found by where it lies.  Every directory was read once when the
// pages were listed, and what the library said then was said: so here it
// is held back, and said only when the library cannot read the directory
// again, which refuses it (EFileFailed).
void OpenDirectory(TiffPages& input, std::uint32_t page);

}  // namespace tessvane
