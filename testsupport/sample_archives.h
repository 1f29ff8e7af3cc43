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

// Blocks as far out as 24-bit offsets reach: pic 1's at the highest offset,
// 16,777,215, with the largest data size (one run of 21,843 colours: 1,024
// land, the rest fall past the last pixel), pic 2's at 8 MiB, pic 3's just
// below 16 MiB, and pic 4 sharing pic 1's. Read in id order they take seeks
// back and forth, and reads, up to 16 MiB + 64 KiB, where a file position
// no longer fits in 24 bits.
Bytes farArchive();

// Opaque pixels with a random density, from none to all, sometimes in
// horizontal streaks so that long runs and row crossings occur; now and then
// in the colours most easily mistaken for the background.
Sprite randomSprite(std::mt19937& random);

// The sprite as the run code holds a pic: 0xRRGGBB or transparentPixel.
PicPixels pixelsOf(const Sprite& sprite);

}  // namespace testsupport
