#pragma once

// Reads an edited pic back from its PNG, with libpng and without any gamma
// or colour conversion: palette and grey images are expanded to RGB, tRNS to
// alpha, 16-bit samples keep their high byte, interlaced images are
// de-interlaced. Only 32 x 32 images are pics.
//
// A PNG is taken only as it is: one that libpng would read only with a
// warning or a repair (a bad CRC on any chunk, a tRNS out of place or longer
// than the palette, a palette index past the palette, data past the end of
// the image) is refused with libpng's reason. Whatever a file holds, it is
// accepted or refused within a bounded amount of memory and time: libpng's
// limits on chunk sizes, and no compressed data read past the image.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "convert/walk_runs.h"

// Every alpha from 1 to 255 is a valid cutoff; `exactAlpha` means none was
// given, and then only alpha 0 and 255 are allowed.
inline constexpr int exactAlpha = 0;

// The cutoff as --alpha-cutoff takes it: a number from 1 to 255, in decimal
// digits alone. False, with `error` saying so, for any other text.
bool parseAlphaCutoff(const std::string& text, int& cutoff, std::string& error);

// Whether `bytes` start with the PNG signature, as every PNG does: the first
// thing importPng asks of a file.
bool startsAsPng(const std::uint8_t* bytes, std::size_t size);

// Fills `pixels` from the PNG at `path`, which must be a regular file (it is
// opened without waiting, so a FIFO is refused, not waited on) and, when
// `writing` is given, not that file. An alpha of 255 (or at least
// `alphaCutoff`, when one is given) makes a pixel opaque in its colour, alpha
// 0 (or below the cutoff) transparent. False when the file cannot be read,
// is not a PNG taken as it is, is not 32 x 32, or has any other alpha without
// a cutoff; `error` then says what is wrong, without the file name.
bool importPng(const std::string& path, int alphaCutoff, PicPixels& pixels, std::string& error,
               const struct stat* writing = nullptr);

// The same for a PNG's bytes in memory.
bool importPngBytes(const std::uint8_t* data, std::size_t size, int alphaCutoff, PicPixels& pixels,
                    std::string& error);
