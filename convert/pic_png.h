#pragma once

// A pic's PNG as vorna-unpack writes it: a 32 x 32 true-colour gd image,
// transparent grey where no run puts a colour, encoded by gd with its alpha
// channel. One place for gd's settings, so that every PNG of a pic, whoever
// asks for it, has the same bytes.

#include <gd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "convert/walk_runs.h"

// Transparent (gd alpha 127) over grey 128, 128, 128: what every pixel that no
// run colours keeps.
inline constexpr int picBackground = 0x7F808080;

struct GdFree {
  void operator()(void* bytes) const { gdFree(bytes); }
};

// A PNG encoded in memory by gd.
struct EncodedPng {
  std::unique_ptr<void, GdFree> bytes;
  std::size_t size = 0;
};

// A fresh image for a pic: every pixel transparent grey, and blending off, so
// that every write stores its value, alpha included, as it is. Null when gd
// fails.
gdImagePtr makePicImage();

// Encodes the image as PNG, with its alpha channel, and releases it. Empty
// when gd fails. (Encoding into memory gives a result to check: gdImagePng
// writes to a stream and says nothing when libpng or the write fails.)
EncodedPng encodeImage(gdImagePtr image);

// The PNG vorna-unpack writes for a pic that draws `pixels`. Empty when gd
// fails.
std::vector<std::uint8_t> encodePicPng(const PicPixels& pixels);
