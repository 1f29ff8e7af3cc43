#pragma once

#include <gd.h>

#include <cstdio>

#include "archive/pic_entry.h"

// Transparent (gd alpha 127) over grey 128, 128, 128: what every pixel that no
// run colours keeps.
inline constexpr int picBackground = 0x7F808080;

enum class PicResult {
  done,             // N.png written; "Pics done: N" printed
  doneFromCutData,  // written, but the archive ended inside the pic's run data
  unwritable,       // nothing left behind; "Unable to write N.png!" printed
};

// Writes pic `entry` as N.png (32 x 32 RGBA) in the current directory, decoding
// its run data from the archive, which readPicHeader has left at the start of
// that data. The output is opened before anything else: if that fails the
// archive is not touched. A file that cannot be written whole is removed
// rather than left corrupt.
PicResult convertPic(PicEntry& entry, std::FILE* archive);

// Encodes `image` as PNG and writes it to `out`; false if gd, libpng or the
// write failed. `out` stays open.
bool writePng(gdImagePtr image, std::FILE* out);
