// The image processing unit's public face: the image record and the five
// operations the driver runs on it, in the order it runs them.
//
//   ReadTiffImage       path -> record           (image_files.h)
//   MakeBorderMarker    record -> marker          (clearing/border_clearing.h)
//   ReconstructByErosion  marker lowered to the image
//   NormalizeAndClear   record mapped through the marker
//   (ClearImage         the three steps above as one, in fewer passes)
//   WriteTiffImage      record -> the same path  (image_files.h)
//
// Nothing is written to disk before WriteTiffImage; a run-ending error
// (base/checked.h) anywhere before it leaves the input file intact.
#pragma once

#include "border_clearing.h"
#include "image_files.h"
#include "image_record.h"
#include "tiff_reader.h"
#include "tiff_writer.h"
