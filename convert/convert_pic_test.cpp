#include "convert/convert_pic.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "archive/read_index.h"
#include "testsupport/archive_writer.h"
#include "testsupport/png_reader.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::ArchiveFile;
using testsupport::ArchiveWriter;
using testsupport::Rgb;
using testsupport::ScratchDir;
using testsupport::Sprite;
using testsupport::WorkingDir;

struct Conversion {
  PicResult result;
  std::string output;
};

// Converts pic `id`, whose block is the first in `bytes` and holds `size`
// bytes of run data, with `dir` as the current directory.
Conversion convert(const ScratchDir& dir, int id, const testsupport::Bytes& bytes, int size,
                   bool wasAbsent = false) {
  ArchiveFile archive(bytes);
  WorkingDir inside(dir.path());
  PicEntry entry(id);
  entry.offset = 10;
  // As in a run: the header read leaves the stream at the run data.
  if (readPicHeader(entry, archive.get()) != ReadStatus::ok) ADD_FAILURE() << "block header cut";
  entry.size = size;
  testing::internal::CaptureStdout();
  const PicResult result = convertPic(entry, archive.get(), wasAbsent);
  return {result, testing::internal::GetCapturedStdout()};
}

Conversion convert(const ScratchDir& dir, int id, const Sprite& sprite, bool wasAbsent = false) {
  ArchiveWriter writer;
  writer.addSprite(sprite);
  const testsupport::Bytes bytes = writer.bytes();
  return convert(dir, id, bytes, static_cast<int>(bytes.size()) - 15, wasAbsent);
}

Sprite sampleSprite() {
  Sprite sprite;
  sprite[0] = Rgb{0, 0, 0};  // opaque black, not to be confused with the background
  sprite[1] = Rgb{255, 255, 255};
  sprite[33] = Rgb{128, 128, 128};  // grey like the background, but opaque
  sprite[500] = Rgb{10, 200, 30};
  sprite[1023] = Rgb{255, 0, 0};
  return sprite;
}

TEST(ConvertPic, WritesA32x32RgbaPngNamedAfterTheId) {
  ScratchDir dir;
  for (int id : {7, 12}) {
    const Conversion conversion = convert(dir, id, sampleSprite());
    EXPECT_EQ(conversion.result, PicResult::done);
    EXPECT_EQ(conversion.output, "Pics done: " + std::to_string(id) + "\n");
  }
  EXPECT_EQ(dir.names(), (std::set<std::string>{"7.png", "12.png"}));
  const auto png = testsupport::readPng(dir / "12.png");
  ASSERT_TRUE(png);
  EXPECT_EQ(testsupport::compareWithSprite(*png, sampleSprite()), "");
}

TEST(ConvertPic, EmptyPicIsTransparentAndOverwritesTheOldFile) {
  ScratchDir dir;
  testsupport::writeFile(dir / "3.png", testsupport::Bytes(5000, 'x'));
  ASSERT_EQ(convert(dir, 3, Sprite{}).result, PicResult::done);
  const auto png = testsupport::readPng(dir / "3.png");
  ASSERT_TRUE(png);
  EXPECT_EQ(testsupport::compareWithSprite(*png, Sprite{}), "");
}

TEST(ConvertPic, CutRunDataIsWrittenAsFarAsItGoes) {
  ScratchDir dir;
  ArchiveWriter writer;
  writer.addPic(testsupport::encodeRuns({{2, {Rgb{1, 2, 3}, Rgb{4, 5, 6}}}}));
  testsupport::Bytes bytes = writer.bytes();
  bytes.pop_back();  // the second colour loses its blue
  const Conversion conversion = convert(dir, 4, bytes, 10);
  EXPECT_EQ(conversion.result, PicResult::doneFromCutData);
  EXPECT_EQ(conversion.output, "vorna.spr ends inside pic 4!\nPics done: 4\n");
  Sprite expected;
  expected[1] = Rgb{1, 2, 3};
  const auto png = testsupport::readPng(dir / "4.png");
  ASSERT_TRUE(png);
  EXPECT_EQ(testsupport::compareWithSprite(*png, expected), "");
}

TEST(ConvertPic, OutputThatCannotBeWrittenIsReportedAndNotLeftBehind) {
  ScratchDir dir;
  // A directory in the way: the open fails and the directory stays.
  std::filesystem::create_directory(dir / "5.png");
  Conversion conversion = convert(dir, 5, sampleSprite());
  EXPECT_EQ(conversion.result, PicResult::unwritable);
  EXPECT_EQ(conversion.output, "Unable to write 5.png!\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir / "5.png"));

  // A full disk: the open works, the write does not, and the name goes.
  std::filesystem::create_symlink("/dev/full", dir / "6.png");
  conversion = convert(dir, 6, sampleSprite());
  EXPECT_EQ(conversion.result, PicResult::unwritable);
  EXPECT_EQ(conversion.output, "Unable to write 6.png!\n");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir / "6.png")));
}

// Whoever runs the program: root too leaves a read-only file alone.
TEST(ConvertPic, ReadOnlyFileIsNotReplaced) {
  ScratchDir dir;
  testsupport::writeFile(dir / "8.png", {'o', 'l', 'd'});
  std::filesystem::permissions(dir / "8.png", std::filesystem::perms::owner_read);
  const Conversion conversion = convert(dir, 8, sampleSprite());
  EXPECT_EQ(conversion.result, PicResult::unwritable);
  EXPECT_EQ(conversion.output, "Unable to write 8.png!\n");
  EXPECT_EQ(std::filesystem::file_size(dir / "8.png"), 3u);
}

// A run skips looking at names that were free when it began, but another
// program may take one meanwhile: that name is then written as one that was
// there, never replaced unchecked.
TEST(ConvertPic, NameTakenAfterTheRunBeganIsWrittenAsOneThatWasThere) {
  namespace fs = std::filesystem;
  ScratchDir dir;
  testsupport::writeFile(dir / "target", {'o', 'l', 'd'});
  fs::create_symlink("target", dir / "1.png");
  testsupport::writeFile(dir / "2.png", {'o', 'l', 'd'});
  const fs::perms mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dir / "2.png", mode);
  fs::create_directory(dir / "3.png");

  for (const int id : {1, 2}) {
    EXPECT_EQ(convert(dir, id, sampleSprite(), /*wasAbsent=*/true).result, PicResult::done);
  }
  EXPECT_TRUE(fs::is_symlink(dir / "1.png"));
  for (const char* name : {"target", "2.png"}) {
    const auto png = testsupport::readPng(dir / name);
    ASSERT_TRUE(png) << name;
    EXPECT_EQ(testsupport::compareWithSprite(*png, sampleSprite()), "") << name;
  }
  EXPECT_EQ(fs::status(dir / "2.png").permissions(), mode);
  EXPECT_EQ(convert(dir, 3, sampleSprite(), /*wasAbsent=*/true).output, "Unable to write 3.png!\n");
  EXPECT_EQ(dir.names(), (std::set<std::string>{"target", "1.png", "2.png", "3.png"}));
}

TEST(ConvertPic, ImagesPresentKnowsTheNamesThisProgramWrites) {
  ScratchDir dir;
  for (const char* name : {"1.png", "2.PNG", "65535.png", "03.png", "0.png", "65536.png", "7.png.tmp",
                           "x4.png", "5.pngx", "99999999999.png"}) {
    testsupport::writeFile(dir / name, {});
  }
  std::filesystem::create_directory(dir / "6.png");
  const WorkingDir inside(dir.path());
  const std::vector<bool> present = imagesPresent();
  std::vector<int> ids;
  for (std::size_t id = 0; id < present.size(); ++id) {
    if (present[id]) ids.push_back(static_cast<int>(id));
  }
  EXPECT_EQ(ids, (std::vector<int>{1, 2, 6, 65535}));
}

}  // namespace
