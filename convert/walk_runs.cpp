#include "convert/walk_runs.h"

#include <array>

ReadStatus readRunHeader(PicEntry& entry, std::FILE* archive) {
  return readBytes(archive, entry.run.data(), entry.run.size());
}

ReadStatus readRgb(std::FILE* archive, PicColour& colour) {
  std::array<std::uint8_t, 3> bytes{};
  const ReadStatus status = readBytes(archive, bytes.data(), bytes.size());
  if (status == ReadStatus::ok) colour = PicColour{bytes[0], bytes[1], bytes[2]};
  return status;
}

RunsOutcome drawRuns(PicEntry& entry, std::FILE* archive, PicPixels& pixels) {
  return walkRuns(entry, archive, [&pixels](int p, const PicColour& colour) {
    if (p <= lastPixel) {
      pixels[static_cast<std::size_t>(p)] = colour.red << 16 | colour.green << 8 | colour.blue;
    }
  });
}
