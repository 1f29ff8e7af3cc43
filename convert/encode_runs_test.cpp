#include "convert/encode_runs.h"

#include <gtest/gtest.h>

#include <random>

#include "archive/read_index.h"
#include "testsupport/archive_writer.h"
#include "testsupport/model_unpack.h"
#include "testsupport/sample_archives.h"

namespace {

using testsupport::pixelsOf;

using testsupport::Bytes;
using testsupport::Rgb;
using testsupport::Sprite;

std::vector<Sprite> sprites() {
  std::vector<Sprite> all(6);
  all[1].fill(Rgb{1, 2, 3});                                                   // wholly opaque
  for (std::size_t p = 0; p < 1024; p += 2) all[2][p + (p / 32) % 2] = Rgb{};  // checkerboard, black
  all[3][0] = Rgb{9, 9, 9};                                                    // pixel 0 alone
  all[4][1023] = Rgb{128, 128, 128};                                           // the last pixel alone
  all[5][1] = all[5][2] = Rgb{255, 0, 0};                                      // after a transparent pixel 0
  std::mt19937 random(7);
  for (int i = 0; i < 200; ++i) all.push_back(testsupport::randomSprite(random));
  return all;
}

// The encoder's runs, read back by the converter's own decoder and by a plain
// reading, place every pixel where it was, and follow the rule: t = 0 first,
// t >= 1 with a whole opaque stretch after.
TEST(EncodePicRuns, BothReadingsGiveThePixelsBack) {
  for (const Sprite& sprite : sprites()) {
    const PicPixels pixels = pixelsOf(sprite);
    Bytes runs;
    encodePicRuns(pixels, runs);
    ASSERT_LE(runs.size(), mostRunBytes);
    testsupport::ArchiveWriter writer;
    writer.addPic(runs);
    const Bytes archive = writer.bytes();

    const testsupport::ArchiveFile file(archive);
    PicEntry entry(1);
    entry.offset = 10;
    ASSERT_EQ(readBlockHeader(entry, file.get()), ReadStatus::ok);
    PicPixels decoded{};
    decoded.fill(transparentPixel);
    const RunsOutcome outcome = drawRuns(entry, file.get(), decoded);
    EXPECT_EQ(outcome.status, ReadStatus::ok);
    EXPECT_EQ(outcome.warningAt, -1);
    EXPECT_EQ(outcome.consumed, static_cast<int>(runs.size()));
    EXPECT_EQ(decoded, pixels);
    EXPECT_EQ(testsupport::readPlainly(archive, 1), sprite);

    bool opaque = false;
    for (const auto& pixel : sprite) opaque = opaque || pixel.has_value();
    EXPECT_EQ(runs.empty(), !opaque);
    for (std::size_t at = 0, run = 0; at < runs.size(); ++run) {
      const int t = runs[at] | runs[at + 1] << 8;
      const int c = runs[at + 2] | runs[at + 3] << 8;
      if (run == 0) {
        EXPECT_EQ(t, 0);
      } else {
        EXPECT_GE(t, 1);
        EXPECT_GE(c, 1);
      }
      at += 4 + 3 * static_cast<std::size_t>(c);
    }
  }
}

}  // namespace
