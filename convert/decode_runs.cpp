#include "convert/decode_runs.h"

void putPicPixel(int p, int red, int green, int blue, gdImagePtr image) {
  // gd ignores pixels outside the image too; checking here keeps that promise
  // ours. Alpha 0 in bits 24..30 makes the pixel opaque.
  if (p < 0 || p > lastPixel) return;
  gdImageSetPixel(image, p % picSide, p / picSide, red << 16 | green << 8 | blue);
}

ReadStatus decodeRuns(PicEntry& entry, std::FILE* archive, gdImagePtr image) {
  const RunsOutcome outcome = walkRuns(entry, archive, [image](int p, const PicColour& colour) {
    putPicPixel(p, colour.red, colour.green, colour.blue, image);
  });
  reportPicRuns(outcome, entry.id);
  return outcome.status;
}
