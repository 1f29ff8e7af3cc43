#pragma once

// The run decoder as vorna-unpack uses it: onto a gd image, with its messages.
// The arithmetic is in convert/walk_runs.h.

#include <gd.h>

#include <cstdio>

#include "convert/walk_runs.h"

// Sets pixel number p to the opaque colour; numbers past 1023 are dropped.
void putPicPixel(int p, int red, int green, int blue, gdImagePtr image);

// Decodes the entry's run data (`size` bytes) onto `image`, reading on from
// where readPicHeader left the stream: just past the block header, where the
// run data starts. (A seek there would cost a system call per pic for
// nothing.) When the archive ends, or cannot be read, inside a run header or a
// colour, decoding stops there, the colours read whole are kept, and the cut
// is reported after any warning line.
ReadStatus decodeRuns(PicEntry& entry, std::FILE* archive, gdImagePtr image);
