// Draws a small demo archive in code: make-demo-archive DIR [COUNT] writes
// DIR/vorna.spr with these seven slots, repeated to COUNT slots if given (a
// quick archive for timing runs):
//   1 a red disc          2 a blue square outline   3 a colour gradient
//   4 an empty slot       5 a green checkerboard    6 a wholly transparent pic
//   7 a yellow smiley
// Converting it gives 1.png, 2.png, 3.png, 5.png, 6.png and 7.png.

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>

#include "testsupport/archive_writer.h"

using testsupport::Rgb;
using testsupport::Sprite;

namespace {

Sprite draw(const std::function<std::optional<Rgb>(int x, int y)>& paint) {
  Sprite sprite;
  for (int p = 0; p < 1024; ++p) sprite[static_cast<std::size_t>(p)] = paint(p % 32, p / 32);
  return sprite;
}

bool inDisc(int x, int y, double cx, double cy, double r) {
  const double dx = x + 0.5 - cx;
  const double dy = y + 0.5 - cy;
  return dx * dx + dy * dy <= r * r;
}

std::uint8_t byte(int value) { return static_cast<std::uint8_t>(value); }

}  // namespace

int main(int argc, char** argv) {
  const long count = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 7;
  if (argc < 2 || argc > 3 || count < 7 || count > 65535) {
    std::fprintf(stderr, "usage: make-demo-archive DIR [COUNT]   (COUNT 7..65535, default 7)\n");
    return 2;
  }
  testsupport::ArchiveWriter archive;
  archive.addSprite(draw([](int x, int y) -> std::optional<Rgb> {
    if (!inDisc(x, y, 16, 16, 13)) return std::nullopt;
    return Rgb{byte(255 - 4 * (x + y) / 2), 0, 0};
  }));
  archive.addSprite(draw([](int x, int y) -> std::optional<Rgb> {
    const bool edge = x >= 3 && x <= 28 && y >= 3 && y <= 28 && (x <= 5 || x >= 26 || y <= 5 || y >= 26);
    if (!edge) return std::nullopt;
    return Rgb{0, 64, 255};
  }));
  archive.addSprite(draw([](int x, int y) -> std::optional<Rgb> {
    return Rgb{byte(x * 8), byte(y * 8), byte(255 - (x + y) * 4)};
  }));
  archive.addEmptySlot();
  archive.addSprite(draw([](int x, int y) -> std::optional<Rgb> {
    if ((x / 4 + y / 4) % 2 != 0) return std::nullopt;
    return Rgb{0, 160, 0};
  }));
  archive.addSprite(Sprite{});
  archive.addSprite(draw([](int x, int y) -> std::optional<Rgb> {
    const Rgb black{0, 0, 0};
    if (inDisc(x, y, 11, 12, 2.5) || inDisc(x, y, 21, 12, 2.5)) return black;
    if (y >= 19 && y <= 22 && inDisc(x, y, 16, 15, 8) && !inDisc(x, y, 16, 15, 6)) return black;
    if (inDisc(x, y, 16, 16, 15)) return Rgb{255, 220, 0};
    return std::nullopt;
  }));

  for (int id = 8; id <= count; ++id) archive.addCopyOf((id - 1) % 7 + 1);

  try {
    const std::filesystem::path path = std::filesystem::path(argv[1]) / "vorna.spr";
    testsupport::writeFile(path, archive.bytes());
    std::printf("%s\n", path.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make-demo-archive: %s\n", e.what());
    return 1;
  }
  return EXIT_SUCCESS;
}
