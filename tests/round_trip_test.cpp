// Random sprites, written into an archive by the test-support writer,
// converted by the real program and read back with libpng: every pixel must
// come back as drawn.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testsupport/archive_writer.h"
#include "testsupport/png_reader.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::Rgb;
using testsupport::Sprite;

Rgb randomColour(std::mt19937& random) {
  // Now and then the colours most easily mistaken for the background.
  switch (random() % 8) {
    case 0: return Rgb{0, 0, 0};
    case 1: return Rgb{128, 128, 128};
    default:
      return Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                 static_cast<std::uint8_t>(random())};
  }
}

// Opaque pixels with a random density, from none to all, sometimes in
// horizontal streaks so that long runs and row crossings occur.
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

TEST(RoundTrip, RandomSpritesComeBackPixelForPixel) {
  for (unsigned seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    testsupport::ArchiveWriter writer;
    std::vector<std::optional<Sprite>> sprites;
    std::string expectedOutput;
    const int count = 150;
    for (int id = 1; id <= count; ++id) {
      if (random() % 30 == 0) {
        writer.addEmptySlot(static_cast<std::uint8_t>(random()));
        sprites.emplace_back();
        continue;
      }
      Sprite sprite = id == 1 ? Sprite{} : randomSprite(random);
      if (id == 2) sprite.fill(Rgb{4, 5, 6});
      writer.addSprite(sprite, /*preferOne=*/random() % 2 == 0);
      sprites.emplace_back(sprite);
      expectedOutput += "Pics done: " + std::to_string(id) + "\n";
    }

    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "vorna.spr", writer.bytes(/*reverseBlocks=*/seed == 2));
    const testsupport::ProgramRun run = testsupport::runProgram(VORNA_UNPACK, dir.path());
    ASSERT_EQ(run.exitStatus, 0) << "seed " << seed;
    ASSERT_EQ(run.output, "Number of pics: " + std::to_string(count) + "\n" + expectedOutput);
    for (int id = 1; id <= count; ++id) {
      const std::string name = std::to_string(id) + ".png";
      const auto& sprite = sprites[static_cast<std::size_t>(id - 1)];
      if (!sprite) {
        EXPECT_FALSE(std::filesystem::exists(dir / name)) << name;
        continue;
      }
      const auto png = testsupport::readPng(dir / name);
      ASSERT_TRUE(png) << name;
      EXPECT_EQ(testsupport::compareWithSprite(*png, *sprite), "") << "seed " << seed << ", " << name;
    }
  }
}

}  // namespace
