#include "archive/archive_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>

#include "testsupport/archive_writer.h"
#include "testsupport/scratch.h"

namespace {

// A stream whose every read fails, as a disk with a bad sector would.
std::FILE* failingStream() {
  cookie_io_functions_t io{};
  io.read = [](void*, char*, size_t) -> ssize_t { return -1; };
  return fopencookie(nullptr, "r", io);
}

TEST(ReadBytes, TellsWholeReadsFromTheEndAndFromErrors) {
  const testsupport::ArchiveFile archive({1, 2, 3});
  std::FILE* stream = archive.get();

  std::array<std::uint8_t, 2> two{};
  EXPECT_EQ(readBytes(stream, two.data(), two.size()), ReadStatus::ok);
  EXPECT_EQ(two, (std::array<std::uint8_t, 2>{1, 2}));

  // One byte is left: it is stored, the rest of the buffer is untouched.
  std::array<std::uint8_t, 2> cut{9, 9};
  EXPECT_EQ(readBytes(stream, cut.data(), cut.size()), ReadStatus::end);
  EXPECT_EQ(cut, (std::array<std::uint8_t, 2>{3, 9}));

  // A seek past the end is fine; the read after it is not.
  EXPECT_EQ(seekTo(stream, 100), ReadStatus::ok);
  EXPECT_EQ(readBytes(stream, cut.data(), 1), ReadStatus::end);
  EXPECT_EQ(seekTo(stream, 1), ReadStatus::ok);
  EXPECT_EQ(readBytes(stream, cut.data(), 1), ReadStatus::ok);
  EXPECT_EQ(cut[0], 2);

  std::FILE* failing = failingStream();
  ASSERT_NE(failing, nullptr);
  EXPECT_EQ(readBytes(failing, cut.data(), 1), ReadStatus::error);
  std::fclose(failing);
}

TEST(OpenArchive, OpensOnlyRegularFiles) {
  testsupport::ScratchDir dir;
  EXPECT_EQ(openArchive((dir / "vorna.spr").c_str()), nullptr);

  std::filesystem::create_directory(dir / "vorna.spr");
  EXPECT_EQ(openArchive((dir / "vorna.spr").c_str()), nullptr);

  testsupport::writeFile(dir / "real.spr", {0, 0, 0, 0, 0, 0});
  std::FILE* archive = openArchive((dir / "real.spr").c_str());
  ASSERT_NE(archive, nullptr);
  std::fclose(archive);
}

}  // namespace
