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
Conversion convert(const ScratchDir& dir, int id, const testsupport::Bytes& bytes, int size) {
  ArchiveFile archive(bytes);
  WorkingDir inside(dir.path());
  PicEntry entry(id);
  entry.offset = 10;
  // As in a run: the header read leaves the stream at the run data.
  if (readPicHeader(entry, archive.get()) != ReadStatus::ok) ADD_FAILURE() << "block header cut";
  entry.size = size;
  testing::internal::CaptureStdout();
  const PicResult result = convertPic(entry, archive.get());
  return {result, testing::internal::GetCapturedStdout()};
}

Conversion convert(const ScratchDir& dir, int id, const Sprite& sprite) {
  ArchiveWriter writer;
  writer.addSprite(sprite);
  const testsupport::Bytes bytes = writer.bytes();
  return convert(dir, id, bytes, static_cast<int>(bytes.size()) - 15);
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

TEST(ConvertPic, ReadOnlyFileIsNotReplaced) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write read-only files";
  ScratchDir dir;
  testsupport::writeFile(dir / "8.png", {'o', 'l', 'd'});
  std::filesystem::permissions(dir / "8.png", std::filesystem::perms::owner_read);
  const Conversion conversion = convert(dir, 8, sampleSprite());
  EXPECT_EQ(conversion.result, PicResult::unwritable);
  EXPECT_EQ(conversion.output, "Unable to write 8.png!\n");
  EXPECT_EQ(std::filesystem::file_size(dir / "8.png"), 3u);
}

}  // namespace
