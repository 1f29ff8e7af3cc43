#include "archive/archive_stream.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

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

  // A FIFO without a writer, which must not block the open, and a device
  // (a scratch node of its own, where this user may make one).
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::vector<std::string> nodes = {(dir / "fifo").string()};
  if (mknod((dir / "zero").c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0) {
    nodes.push_back((dir / "zero").string());
  }
  for (const std::string& node : nodes) {
    bool notRegular = false;
    EXPECT_EQ(openArchive(node.c_str(), notRegular), nullptr) << node;
    EXPECT_TRUE(notRegular) << node;
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

// A file held but not opened through /proc, for a reason of its own or of
// this run's, is never opened by its name instead: by then the name may lead
// to a FIFO or a device. Here the hold takes the last descriptor left.
TEST(OpenArchive, NeverFallsBackOnTheNameWhileProcIsThere) {
  if (access("/proc/self/fd", X_OK) != 0) GTEST_SKIP() << "no /proc";
  testsupport::ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", {1, 2, 3});
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int lowest = dup(0);
    close(lowest);
    const rlimit limit{static_cast<rlim_t>(lowest) + 1, static_cast<rlim_t>(lowest) + 1};
    bool notRegular = false;
    const bool refused = setrlimit(RLIMIT_NOFILE, &limit) == 0 &&
                         openRegularFile((dir / "vorna.spr").c_str(), notRegular) < 0 && errno == EMFILE;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
