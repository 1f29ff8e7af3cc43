#pragma once

// Reads PNG files with libpng directly, so that what the converter wrote
// through gd is checked by an independent decoder.

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "testsupport/archive_writer.h"

namespace testsupport {

struct PngImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 0;
  int colourType = 0;
  int interlace = 0;
  std::vector<std::uint8_t> pixels;  // rows top to bottom, as stored (RGBA for type 6)

  // Red, green, blue, alpha of pixel (x, y) in an 8-bit RGBA image.
  std::array<std::uint8_t, 4> rgba(int x, int y) const;
};

// The decoded file, or nullopt when libpng rejects it (or it is missing).
std::optional<PngImage> readPng(const std::filesystem::path& path);

// Empty when `png` is a 32 x 32 8-bit RGBA non-interlaced image that shows
// `sprite`: its opaque pixels in their colours with alpha 255, every other
// pixel transparent over grey 128. Otherwise a description of the first
// difference.
std::string compareWithSprite(const PngImage& png, const Sprite& sprite);

}  // namespace testsupport
