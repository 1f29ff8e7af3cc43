#include "convert/decode_runs.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "archive/read_index.h"
#include "convert/convert_pic.h"
#include "testsupport/archive_writer.h"

namespace {

using testsupport::ArchiveFile;
using testsupport::ArchiveWriter;
using testsupport::Bytes;
using testsupport::encodeRuns;
using testsupport::Rgb;

constexpr Rgb red{255, 0, 0};
constexpr Rgb green{0, 255, 0};
constexpr Rgb blue{0, 0, 255};
constexpr Rgb mixed{1, 2, 3};

struct Decoded {
  ReadStatus status;
  std::map<int, Rgb> pixels;  // every pixel that is not background
  std::string output;
};

enum class Cut { end, readError };

// Decodes `runData` as pic 7 of a one-pic archive on a background-filled
// image. `size` overrides the stored data size; `keep` cuts the archive that
// many bytes into the run data, by ending it there or by failing to read on.
Decoded decode(const Bytes& runData, std::optional<std::uint16_t> size = {},
               std::size_t keep = std::string::npos, Cut cut = Cut::end) {
  ArchiveWriter writer;
  writer.addPic(runData, size);
  Bytes bytes = writer.bytes();
  constexpr std::size_t runDataStart = 6 + 4 + 5;
  if (keep != std::string::npos && cut == Cut::end) bytes.resize(runDataStart + keep);
  const ArchiveFile archive = keep != std::string::npos && cut == Cut::readError
                                  ? ArchiveFile(bytes, runDataStart + keep)
                                  : ArchiveFile(bytes);

  PicEntry entry(7);
  entry.offset = 10;
  // As in a run: the header read leaves the stream at the run data.
  if (readPicHeader(entry, archive.get()) != ReadStatus::ok) ADD_FAILURE() << "block header cut";
  gdImagePtr image = gdImageCreateTrueColor(32, 32);
  gdImageAlphaBlending(image, 0);
  gdImageFilledRectangle(image, 0, 0, 31, 31, picBackground);

  Decoded decoded;
  testing::internal::CaptureStdout();
  decoded.status = decodeRuns(entry, archive.get(), image);
  decoded.output = testing::internal::GetCapturedStdout();
  for (int p = 0; p < 1024; ++p) {
    const int value = gdImageGetTrueColorPixel(image, p % 32, p / 32);
    if (value == picBackground) continue;
    EXPECT_EQ(value >> 24, 0) << "pixel " << p << " is not opaque";
    decoded.pixels[p] =
        Rgb{static_cast<std::uint8_t>(value >> 16 & 0xFF), static_cast<std::uint8_t>(value >> 8 & 0xFF),
            static_cast<std::uint8_t>(value & 0xFF)};
  }
  gdImageDestroy(image);
  return decoded;
}

Decoded decode(const std::vector<testsupport::Run>& runs) { return decode(encodeRuns(runs)); }

TEST(DecodeRuns, PlacesRunsWithTheCursorArithmeticWorkedByHand) {
  struct Case {
    std::vector<testsupport::Run> runs;
    std::map<int, Rgb> pixels;
  };
  const std::vector<Case> cases = {
      {{{0, {red, green}}, {3, {blue}}}, {{0, red}, {1, green}, {5, blue}}},
      {{{2, {red}}, {1, {green}}}, {{1, red}, {3, green}}},
      {{{0, {red}}, {0, {green}}}, {{0, red}, {2, green}}},
      {{{32, {mixed}}}, {{31, mixed}}},  // the last pixel of row 0, not the first of row 1
      {{{1, {red}}}, {{0, red}}},
      // A run without colours still moves the cursor one step: red at
      // 33 - 1 = 32, then 34 after its step, 35 after the empty run, and
      // green at 35 + 5 - 1 = 39.
      {{{33, {red}}, {0, {}}, {5, {green}}}, {{32, red}, {39, green}}},
  };
  for (const Case& c : cases) {
    const Decoded decoded = decode(c.runs);
    EXPECT_EQ(decoded.status, ReadStatus::ok);
    EXPECT_EQ(decoded.output, "");
    EXPECT_EQ(decoded.pixels, c.pixels) << "first run t = " << c.runs[0].transparent;
  }
}

TEST(DecodeRuns, OneRunOf1024ColoursFillsThePic) {
  std::mt19937 random(7);
  std::vector<Rgb> colours(1024);
  for (Rgb& colour : colours) {
    colour = Rgb{static_cast<std::uint8_t>(random()), static_cast<std::uint8_t>(random()),
                 static_cast<std::uint8_t>(random())};
  }
  for (const std::uint16_t transparent : {std::uint16_t{0}, std::uint16_t{1}}) {  // both start at pixel 0
    const Decoded decoded = decode({{transparent, colours}});
    ASSERT_EQ(decoded.pixels.size(), 1024u);
    for (int p = 0; p < 1024; ++p) EXPECT_EQ(decoded.pixels.at(p), colours[static_cast<std::size_t>(p)]);
  }
}

TEST(DecodeRuns, CursorPast1023WarnsOnceAndDropsTheRestOfTheRun) {
  // 1025 - 1 = 1024: warned, its colours read and dropped, and decoding stops
  // before the next run. The archive is cut inside that run; as it is never
  // read, no cut is reported.
  const Bytes data = encodeRuns({{1025, {red, green}}, {0, {blue}}});
  Decoded decoded = decode(data, {}, data.size() - 2);
  EXPECT_EQ(decoded.output, "warining: i is 1024 in 7\n");
  EXPECT_EQ(decoded.status, ReadStatus::ok);
  EXPECT_TRUE(decoded.pixels.empty());

  // A run's colours may cross pixel 1023 without a warning: the ones that fit
  // are placed, the rest dropped.
  decoded = decode({{1000, std::vector<Rgb>(30, mixed)}, {0, {red}}});
  EXPECT_EQ(decoded.output, "");
  ASSERT_EQ(decoded.pixels.size(), 25u);
  EXPECT_EQ(decoded.pixels.begin()->first, 999);
  EXPECT_EQ(decoded.pixels.rbegin()->first, 1023);

  // Colours that land nowhere are stepped over, not read: a read error among
  // them goes unseen, while the file ending among them is still a cut.
  const Bytes past = encodeRuns({{1000, std::vector<Rgb>(30, mixed)}});
  constexpr std::size_t inDropped = 4 + 3 * 27;
  decoded = decode(past, {}, inDropped, Cut::readError);
  EXPECT_EQ(decoded.status, ReadStatus::ok);
  EXPECT_EQ(decoded.pixels.size(), 25u);
  decoded = decode(past, {}, inDropped, Cut::end);
  EXPECT_EQ(decoded.status, ReadStatus::end);
  EXPECT_EQ(decoded.output, "vorna.spr ends inside pic 7!\n");
}

TEST(DecodeRuns, SizeIsTestedOnlyBeforeEachRun) {
  const Bytes data = encodeRuns({{0, {red, green}}, {0, {blue}}});  // 10 + 7 bytes
  // Size 5 ends inside the first run, which is decoded whole anyway.
  EXPECT_EQ(decode(data, 5).pixels, (std::map<int, Rgb>{{0, red}, {1, green}}));
  // Size 10 ends with the first run; size 11 lets the second one start.
  EXPECT_EQ(decode(data, 10).pixels.size(), 2u);
  EXPECT_EQ(decode(data, 11).pixels, (std::map<int, Rgb>{{0, red}, {1, green}, {3, blue}}));
  EXPECT_TRUE(decode(data, 0).pixels.empty());
}

TEST(DecodeRuns, ArchiveCutInsideRunDataKeepsWholeColoursAndSaysSo) {
  const Bytes data = encodeRuns({{0, {red, green, blue}}});  // 4 + 9 bytes
  for (std::size_t keep = 0; keep < data.size(); ++keep) {
    const Decoded decoded = decode(data, {}, keep);
    EXPECT_EQ(decoded.status, ReadStatus::end) << keep;
    EXPECT_EQ(decoded.output, "vorna.spr ends inside pic 7!\n") << keep;
    const std::size_t whole = keep < 4 ? 0 : (keep - 4) / 3;
    EXPECT_EQ(decoded.pixels.size(), whole) << keep;
  }
  EXPECT_EQ(decode(data, {}, data.size()).output, "");

  // The size promises a second run that is not there.
  EXPECT_EQ(decode(data, 20, data.size()).output, "vorna.spr ends inside pic 7!\n");

  // A read error stops decoding the same way, and says what happened.
  const Decoded failed = decode(data, {}, 9, Cut::readError);
  EXPECT_EQ(failed.status, ReadStatus::error);
  EXPECT_EQ(failed.output, "Unable to read vorna.spr!\n");
  EXPECT_EQ(failed.pixels, (std::map<int, Rgb>{{0, red}}));

  // A warning comes before the cut.
  const Bytes far = encodeRuns({{1025, {red, green}}});
  EXPECT_EQ(decode(far, {}, 9).output, "warining: i is 1024 in 7\nvorna.spr ends inside pic 7!\n");
}

}  // namespace
