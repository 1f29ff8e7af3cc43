#pragma once

// Writes PNG files with libpng directly, in any colour type, bit depth and
// interlacing, as the images people edit may come.

#include <png.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "testsupport/archive_writer.h"

namespace testsupport {

struct PngLayout {
  std::uint32_t width = 32;
  std::uint32_t height = 32;
  int colourType = PNG_COLOR_TYPE_RGBA;
  int bitDepth = 8;
  bool interlaced = false;
  std::vector<std::uint8_t> rows;                 // the rows back to back, packed as PNG stores them
  std::vector<png_color> palette;                 // PLTE, for palette images
  std::vector<std::uint8_t> paletteAlpha;         // tRNS for palette images
  std::optional<png_color_16> transparentColour;  // tRNS for grey and RGB images
};

void writePngFile(const std::filesystem::path& path, const PngLayout& layout);

// The sprite as an 8-bit RGBA PNG, the way an editor saves one: opaque
// pixels with alpha 255, transparent ones as 0, 0, 0, 0.
void writeSpritePng(const std::filesystem::path& path, const Sprite& sprite);

}  // namespace testsupport
