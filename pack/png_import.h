#pragma once

// Reads an edited pic back from its PNG, with libpng and without any gamma
// or colour conversion: palette and grey images are expanded to RGB, tRNS to
// alpha, 16-bit samples keep their high byte, interlaced images are
// de-interlaced. Only 32 x 32 images are pics.

#include <string>

#include "convert/walk_runs.h"

// Every alpha from 1 to 255 is a valid cutoff; `exactAlpha` means none was
// given, and then only alpha 0 and 255 are allowed.
inline constexpr int exactAlpha = 0;

// Fills `pixels` from the PNG at `path`. An alpha of 255 (or at least
// `alphaCutoff`, when one is given) makes a pixel opaque in its colour, alpha
// 0 (or below the cutoff) transparent. False when the file cannot be read,
// is not a PNG libpng accepts, is not 32 x 32, or has any other alpha
// without a cutoff; `error` then says what is wrong, without the file name.
bool importPng(const std::string& path, int alphaCutoff, PicPixels& pixels, std::string& error);
