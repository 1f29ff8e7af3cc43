#include "archive/archive_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <string>

#include "testsupport/archive_writer.h"
#include "testsupport/scratch.h"

namespace {

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

  // A read error is not the end of the file, and a seek clears it.
  const testsupport::ArchiveFile failing({1, 2, 3}, 2);
  EXPECT_EQ(readBytes(failing.get(), cut.data(), 2), ReadStatus::ok);
  EXPECT_EQ(readBytes(failing.get(), cut.data(), 1), ReadStatus::error);
  EXPECT_EQ(seekTo(failing.get(), 0), ReadStatus::ok);
  EXPECT_EQ(readBytes(failing.get(), cut.data(), 1), ReadStatus::ok);
}

TEST(OpenArchive, OpensRegularFilesOnly) {
  testsupport::ScratchDir dir;
  EXPECT_EQ(openArchive((dir / "vorna.spr").c_str()), nullptr);

  std::filesystem::create_directory(dir / "vorna.spr");
  EXPECT_EQ(openArchive((dir / "vorna.spr").c_str()), nullptr);

  // Devices, and a FIFO without a writer, which must not block the open.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const std::string fifo = (dir / "fifo").string();
  for (const char* path : {"/dev/null", "/dev/zero", fifo.c_str()}) {
    EXPECT_EQ(openArchive(path), nullptr) << path;
  }

  // A regular file, also through a symlink, opens at its start.
  testsupport::writeFile(dir / "real.spr", {1, 2, 3});
  std::filesystem::create_symlink(dir / "real.spr", dir / "link.spr");
  for (const char* name : {"real.spr", "link.spr"}) {
    std::FILE* archive = openArchive((dir / name).c_str());
    ASSERT_NE(archive, nullptr) << name;
    std::array<std::uint8_t, 3> bytes{};
    EXPECT_EQ(readBytes(archive, bytes.data(), bytes.size()), ReadStatus::ok);
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 3>{1, 2, 3}));
    std::fclose(archive);
  }
}

}  // namespace
