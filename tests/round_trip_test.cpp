// Random sprites, written into an archive by the test-support writer,
// converted by the real program and read back with libpng: every pixel must
// come back as drawn.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "testsupport/archive_writer.h"
#include "testsupport/png_reader.h"
#include "testsupport/sample_archives.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::Rgb;
using testsupport::Sprite;

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
      Sprite sprite = id == 1 ? Sprite{} : testsupport::randomSprite(random);
      if (id == 2) sprite.fill(Rgb{4, 5, 6});
      writer.addSprite(sprite, /*preferOne=*/random() % 2 == 0);
      sprites.emplace_back(sprite);
      expectedOutput += "Pics done: " + std::to_string(id) + "\n";
    }

    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "vorna.spr", writer.bytes(/*reverseBlocks=*/seed == 2));
    const testsupport::ProgramRun run =
        testsupport::runProgram(testsupport::programUnderTest(VORNA_UNPACK), dir.path());
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
