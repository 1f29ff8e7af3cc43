#include "convert/encode_runs.h"

#include <algorithm>

namespace {

void appendLe16(std::vector<std::uint8_t>& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
}

}  // namespace

void encodePicRuns(const PicPixels& pixels, std::vector<std::uint8_t>& out) {
  const auto transparent = [&pixels](std::size_t p) { return pixels[p] == transparentPixel; };
  if (std::all_of(pixels.begin(), pixels.end(),
                  [](std::int32_t pixel) { return pixel == transparentPixel; })) {
    return;
  }
  const std::size_t count = pixels.size();
  std::size_t p = 0;
  std::size_t skipped = 0;  // 0 for the first run only
  do {
    std::size_t end = p;
    while (end < count && !transparent(end)) ++end;
    appendLe16(out, skipped);
    appendLe16(out, end - p);
    for (; p < end; ++p) {
      const auto colour = static_cast<std::uint32_t>(pixels[p]);
      out.insert(out.end(), {static_cast<std::uint8_t>(colour >> 16), static_cast<std::uint8_t>(colour >> 8),
                             static_cast<std::uint8_t>(colour)});
    }
    for (skipped = 0; p < count && transparent(p); ++p) ++skipped;
  } while (p < count);
}
