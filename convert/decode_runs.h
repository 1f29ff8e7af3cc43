#pragma once

// The run decoder places a pic's colours on its 32 x 32 image.
//
// It keeps a cursor p, the pixel number (32 * y + x) of the next colour, and
// the count n of run-data bytes read; both start at 0. While p <= 1023 and
// n < size it reads a run (t, c):
//   - if t > 0, p advances by t - 1, not t; if t = 0, p stays;
//   - if that took p past 1023, "warining: i is <p> in <id>" is printed and the
//     run is decoded anyway;
//   - each of the c colours lands at p, then p advances by 1;
//   - p advances by 1 more after the colours, also when c = 0.
// So a run with t > 0 that follows one with colours starts t + 1 numbers after
// that run's last colour, and a first run (t = 32, c = 1) colours pixel 31.
// Both bounds are tested only before a run: a run is always decoded whole, and
// its colours past pixel 1023 are read and dropped. Every image ever written
// from an archive depends on this arithmetic, odd steps included.

#include <gd.h>

#include <cstdio>

#include "archive/archive_stream.h"
#include "archive/pic_entry.h"

// One colour as stored, each component 0..255.
struct PicColour {
  int red;
  int green;
  int blue;
};

inline constexpr int picSide = 32;
inline constexpr int lastPixel = picSide * picSide - 1;

// Reads the next 4 bytes of the archive into entry.run.
ReadStatus readRunHeader(PicEntry& entry, std::FILE* archive);

// Reads the next 3 bytes of the archive as red, green, blue.
ReadStatus readRgb(std::FILE* archive, PicColour& colour);

// Sets pixel number p to the opaque colour; numbers past 1023 are dropped.
void putPicPixel(int p, int red, int green, int blue, gdImagePtr image);

// Decodes the entry's run data (`size` bytes) onto `image`, reading on from
// where readPicHeader left the stream: just past the block header, where the
// run data starts. (A seek there would cost a system call per pic for
// nothing.) When the archive ends, or cannot be read, inside a run header or a
// colour, decoding stops there, the colours read whole are kept, and the cut
// is reported after any warning line.
ReadStatus decodeRuns(PicEntry& entry, std::FILE* archive, gdImagePtr image);
