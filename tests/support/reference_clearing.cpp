// Reference border clearing; see the header.
#include "reference_clearing.h"

#include <algorithm>
#include <cmath>

namespace testing_support {

std::uint8_t ReferenceMapping(int image, int marker) {
  if (image < 30 && marker < 30) return 255;
  if (marker == 0) return 255;
  const double ratio = std::floor(256.0 * image / marker) - 1;
  return static_cast<std::uint8_t>(std::max(0.0, ratio));
}

std::vector<std::uint8_t> ReferenceClearing(const std::vector<std::uint8_t>& page, int width,
                                            int height) {
  auto at = [width](std::vector<int>& grid, int row, int column) -> int& {
    return grid[static_cast<std::size_t>(row) * width + column];
  };
  std::vector<int> image(page.begin(), page.end());
  std::vector<int> marker(image.size(), 255);
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      if (row == 0 || column == 0 || row == height - 1 || column == width - 1) {
        at(marker, row, column) = at(image, row, column);
      }
    }
  }
  for (int row = 1; row < height - 1; ++row) {  // forward: left and above
    for (int column = 1; column < width - 1; ++column) {
      const int lowest = std::min({at(marker, row, column), at(marker, row, column - 1),
                                   at(marker, row - 1, column - 1), at(marker, row - 1, column),
                                   at(marker, row - 1, column + 1)});
      at(marker, row, column) = std::max(lowest, at(image, row, column));
    }
  }
  for (int row = height - 2; row >= 1; --row) {  // backward: right and below
    for (int column = width - 2; column >= 1; --column) {
      const int lowest = std::min({at(marker, row, column), at(marker, row, column + 1),
                                   at(marker, row + 1, column - 1), at(marker, row + 1, column),
                                   at(marker, row + 1, column + 1)});
      at(marker, row, column) = std::max(lowest, at(image, row, column));
    }
  }
  std::vector<std::uint8_t> result(page.size());
  for (std::size_t i = 0; i < page.size(); ++i) result[i] = ReferenceMapping(image[i], marker[i]);
  return result;
}

}  // namespace testing_support
