#include "convert/encode_runs.h"

namespace {

std::uint8_t* putLe16(std::uint8_t* at, std::size_t value) {
  at[0] = static_cast<std::uint8_t>(value & 0xFF);
  at[1] = static_cast<std::uint8_t>(value >> 8 & 0xFF);
  return at + 2;
}

}  // namespace

void encodePicRuns(const PicPixels& pixels, std::vector<std::uint8_t>& out) {
  const std::size_t count = pixels.size();
  const auto transparent = [&pixels](std::size_t p) { return pixels[p] == transparentPixel; };
  std::size_t p = 0;
  while (p < count && transparent(p)) ++p;
  if (p == count) return;  // a wholly transparent pic has no runs
  // Written through a pointer into room for the longest runs there can be,
  // then cut to what was written.
  const std::size_t start = out.size();
  out.resize(start + mostRunBytes);
  std::uint8_t* at = out.data() + start;
  // The first run starts at pixel 0 with t = 0, whatever pixel 0 is: when it
  // is transparent, that run is empty and the next starts at the first colour.
  std::size_t skipped = p;
  if (p > 0) at = putLe16(putLe16(at, 0), 0);
  do {
    std::uint8_t* run = at;
    at += 4;
    const std::size_t first = p;
    for (; p < count && !transparent(p); ++p, at += 3) {
      const auto colour = static_cast<std::uint32_t>(pixels[p]);
      at[0] = static_cast<std::uint8_t>(colour >> 16);
      at[1] = static_cast<std::uint8_t>(colour >> 8);
      at[2] = static_cast<std::uint8_t>(colour);
    }
    putLe16(putLe16(run, skipped), p - first);
    const std::size_t gap = p;
    while (p < count && transparent(p)) ++p;
    skipped = p - gap;
  } while (p < count);
  out.resize(static_cast<std::size_t>(at - out.data()));
}
