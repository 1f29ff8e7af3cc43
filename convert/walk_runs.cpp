#include "convert/walk_runs.h"

RunsOutcome drawRuns(PicEntry& entry, std::FILE* archive, PicPixels& pixels) {
  return walkRuns(entry, archive, [&pixels](int p, const PicColour& colour) {
    if (p <= lastPixel) {
      pixels[static_cast<std::size_t>(p)] = colour.red << 16 | colour.green << 8 | colour.blue;
    }
  });
}
