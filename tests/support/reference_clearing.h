// An independent computation of the border clearing, written in image
// coordinates, for comparison with the tool's output.
#pragma once

#include <cstdint>
#include <vector>

namespace testing_support {

// The tool's result for a width × height page, at least 2 × 2 with at least
// two pixels beyond its first row.  With the marker built from the page's
// frame, the frame never changes, so the two scans here visit only inner
// pixels, whose eight neighbours all lie inside the image.
std::vector<std::uint8_t> ReferenceClearing(const std::vector<std::uint8_t>& page,
                                            int width, int height);

// The mapping of one pixel: 255 when image and marker are both below 30,
// else 256 × image / marker rounded down, less one, floored at 0.
std::uint8_t ReferenceMapping(int image, int marker);

}  // namespace testing_support
