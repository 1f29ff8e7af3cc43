#pragma once

// Archives and sprites shared by the sweeps, the round trip and the fuzz seeds.

#include <random>

#include "convert/walk_runs.h"
#include "testsupport/archive_writer.h"

namespace testsupport {

// The two-slot archive laid out by hand: pic 1 red at pixel 1 and green at 2,
// then an empty slot.
Bytes handArchive();

// Pics in id order, an empty slot, a shared block and a pic whose last run
// ends on pixel 1023.
Bytes mixedArchive();

// Blocks in reverse id order, t = 1 starts, a warning and an empty block.
Bytes reversedArchive();

// Opaque pixels with a random density, from none to all, sometimes in
// horizontal streaks so that long runs and row crossings occur; now and then
// in the colours most easily mistaken for the background.
Sprite randomSprite(std::mt19937& random);

// The sprite as the run code holds a pic: 0xRRGGBB or transparentPixel.
PicPixels pixelsOf(const Sprite& sprite);

}  // namespace testsupport
