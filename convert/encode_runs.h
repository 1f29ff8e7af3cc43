#pragma once

// The run encoder: the inverse of the run decoder for the pics vorna-pack
// writes.
//
// The first run always has t = 0 and holds the opaque pixels from pixel 0 on
// (none when pixel 0 is transparent). Every later run starts at the next
// opaque pixel: its t is the number of transparent pixels skipped, so t >= 1,
// and it holds the whole stretch of opaque pixels that follows. A wholly
// transparent pic has no runs at all.
//
// With t >= 1 after every run, the decoder's t - 1 and the extra step it takes
// after each run cancel out, and with t = 0 first there is nothing to cancel.
// So the decoder's arithmetic and a plain reading (t transparent pixels, then
// c colours) put every colour on the same pixel: the archive means the same
// to any reader that follows either.

#include <cstdint>
#include <vector>

#include "convert/walk_runs.h"

// The longest run data of a pic: a checkerboard starting with a transparent
// pixel, an empty first run and 512 runs of one colour. It always fits the
// block's 16-bit size.
inline constexpr std::size_t mostRunBytes = 4 + 512 * (4 + 3);

// Appends the run data for `pixels` to `out`: at most mostRunBytes.
void encodePicRuns(const PicPixels& pixels, std::vector<std::uint8_t>& out);
