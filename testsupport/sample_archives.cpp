#include "testsupport/sample_archives.h"

#include <algorithm>
#include <vector>

namespace testsupport {

namespace {

Sprite stripes(std::size_t first, std::size_t count, std::size_t step, Rgb colour) {
  Sprite sprite;
  for (std::size_t i = 0; i < count; ++i) sprite.at(first + i * step) = colour;
  return sprite;
}

Rgb randomColour(std::mt19937& random) {
  switch (random() % 8) {
    case 0: return Rgb{0, 0, 0};
    case 1: return Rgb{128, 128, 128};
    default:
      return Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                 static_cast<std::uint8_t>(random())};
  }
}

}  // namespace

Bytes handArchive() {
  return {0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
          0x00, 0x00, 0x0A, 0x00, 0x02, 0x00, 0x02, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00};
}

Bytes mixedArchive() {
  ArchiveWriter writer;
  Sprite first = stripes(0, 3, 1, Rgb{255, 0, 0});
  first[40] = Rgb{0, 0, 0};
  first[41] = Rgb{128, 128, 128};
  writer.addSprite(first);
  writer.addEmptySlot(0x55);
  writer.addSprite(stripes(1020, 4, 1, Rgb{1, 2, 3}));
  writer.addCopyOf(1);
  return writer.bytes();
}

Bytes reversedArchive() {
  ArchiveWriter writer;
  writer.addSprite(stripes(5, 4, 7, Rgb{9, 200, 9}), /*preferOne=*/true);
  writer.addPic(encodeRuns({{1100, {Rgb{1, 1, 1}}}}));
  writer.addPic({});
  writer.addSprite(stripes(0, 2, 31, Rgb{0, 0, 255}), /*preferOne=*/true);
  return writer.bytes(/*reverseBlocks=*/true);
}

Bytes farArchive() {
  std::mt19937 random(24);
  const std::uint32_t top = 0xFFFFFF;
  const std::vector<std::uint32_t> offsets = {top, 1u << 23, (1u << 24) - 5000, top};
  Bytes archive = {'F', 'A', 'R', '!'};
  appendLe16(archive, static_cast<unsigned>(offsets.size()));
  for (const std::uint32_t offset : offsets) appendLe32(archive, offset);
  archive.resize(std::size_t{top} + 5 + 65535);
  const auto place = [&](std::uint32_t at, const Bytes& runs, std::size_t size) {
    Bytes block = {0x11, 0x22, 0x33};
    appendLe16(block, static_cast<unsigned>(size));
    block.insert(block.end(), runs.begin(), runs.end());
    std::copy(block.begin(), block.end(), archive.begin() + at);
  };
  Run longest{1, std::vector<Rgb>(21843)};
  for (Rgb& colour : longest.colours) colour = randomColour(random);
  place(top, encodeRuns({longest}), 65535);
  for (const std::uint32_t at : {offsets[1], offsets[2]}) {
    const Bytes runs = encodeRuns(runsForSprite(randomSprite(random)));
    place(at, runs, runs.size());
  }
  return archive;
}

Sprite randomSprite(std::mt19937& random) {
  const double density = std::uniform_real_distribution<double>(0.0, 1.0)(random);
  const bool streaky = random() % 2 == 0;
  Sprite sprite;
  bool opaque = false;
  for (auto& pixel : sprite) {
    if (!streaky || random() % 6 == 0) opaque = std::bernoulli_distribution(density)(random);
    if (opaque) pixel = randomColour(random);
  }
  return sprite;
}

PicPixels pixelsOf(const Sprite& sprite) {
  PicPixels pixels{};
  for (std::size_t p = 0; p < pixels.size(); ++p) {
    const auto& colour = sprite[p];
    pixels[p] = colour ? colour->red << 16 | colour->green << 8 | colour->blue : transparentPixel;
  }
  return pixels;
}

}  // namespace testsupport
