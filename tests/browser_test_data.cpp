// browser-test-data: what tests/browser-test needs from the test support,
// which Python does not have.
//
//   browser-test-data pngs DIR
//     Writes edited pics as PNGs in several colour types and layouts, as
//     editors save them: 1.png 8-bit RGBA, 2.png palette with tRNS, 3.png
//     16-bit grey with alpha, 4.png interlaced RGB with a tRNS colour, 9.png
//     (past the demo archive's count) 8-bit RGBA, and 5.png, whose one
//     half-transparent pixel vorna-pack refuses without --alpha-cutoff.
//   browser-test-data rgba PNG...
//     Prints each PNG's pixels, read by libpng, as one line of hex: R G B A
//     for each of its 1,024 pixels; "-" for a file that is not a 32 x 32
//     8-bit RGBA PNG.

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <random>

#include "testsupport/png_reader.h"
#include "testsupport/png_writer.h"
#include "testsupport/sample_archives.h"

namespace {

using testsupport::PngLayout;
using testsupport::Sprite;

void writePngs(const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  std::mt19937 random(16);
  testsupport::writeSpritePng(dir / "1.png", testsupport::randomSprite(random));
  testsupport::writeSpritePng(dir / "9.png", testsupport::randomSprite(random));

  // Palette: index 0 transparent, 1..3 opaque colours, in a diagonal pattern.
  PngLayout palette;
  palette.colourType = PNG_COLOR_TYPE_PALETTE;
  palette.palette = {{0, 0, 0}, {200, 30, 30}, {30, 200, 30}, {30, 30, 200}};
  palette.paletteAlpha = {0};
  for (int p = 0; p < 1024; ++p) palette.rows.push_back(static_cast<std::uint8_t>((p / 32 + p % 32) % 4));
  writePngFile(dir / "2.png", palette);

  // 16-bit grey and alpha: the high byte counts.
  PngLayout grey;
  grey.colourType = PNG_COLOR_TYPE_GRAY_ALPHA;
  grey.bitDepth = 16;
  for (int p = 0; p < 1024; ++p) {
    const auto level = static_cast<std::uint8_t>(p % 251);
    const std::uint8_t alpha = p % 3 == 0 ? 0 : 255;
    grey.rows.insert(grey.rows.end(), {level, 0x5A, alpha, alpha});
  }
  writePngFile(dir / "3.png", grey);

  // Interlaced RGB whose colour 10, 20, 30 is transparent.
  PngLayout rgb;
  rgb.colourType = PNG_COLOR_TYPE_RGB;
  rgb.interlaced = true;
  rgb.transparentColour = png_color_16{0, 10, 20, 30, 0};
  for (int p = 0; p < 1024; ++p) {
    if (p % 5 == 0) {
      rgb.rows.insert(rgb.rows.end(), {10, 20, 30});
    } else {
      rgb.rows.insert(rgb.rows.end(), {static_cast<std::uint8_t>(p), static_cast<std::uint8_t>(p / 4), 99});
    }
  }
  writePngFile(dir / "4.png", rgb);

  // One pixel at alpha 128: refused without a cutoff, opaque with 128.
  Sprite sprite = testsupport::randomSprite(random);
  PngLayout refused;
  for (const auto& pixel : sprite) {
    if (pixel) {
      refused.rows.insert(refused.rows.end(), {pixel->red, pixel->green, pixel->blue, 255});
    } else {
      refused.rows.insert(refused.rows.end(), {0, 0, 0, 0});
    }
  }
  refused.rows[4 * 70 + 3] = 128;
  writePngFile(dir / "5.png", refused);
}

void printRgba(const char* path) {
  const auto png = testsupport::readPng(path);
  if (!png || png->width != 32 || png->height != 32 || png->bitDepth != 8 ||
      png->colourType != PNG_COLOR_TYPE_RGBA) {
    std::puts("-");
    return;
  }
  for (const std::uint8_t byte : png->pixels) std::printf("%02x", byte);
  std::putchar('\n');
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc == 3 && std::strcmp(argv[1], "pngs") == 0) {
      writePngs(argv[2]);
      return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "rgba") == 0) {
      for (int i = 2; i < argc; ++i) printRgba(argv[i]);
      return 0;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "browser-test-data: %s\n", error.what());
    return 1;
  }
  std::fprintf(stderr, "usage: browser-test-data pngs DIR | rgba PNG...\n");
  return 2;
}
