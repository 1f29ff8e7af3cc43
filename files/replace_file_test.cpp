#include "files/replace_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "testsupport/archive_writer.h"
#include "testsupport/scratch.h"

namespace {

std::string contentOf(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

TEST(ReplaceFile, TargetIsOldOrWholeNewAndNoTemporaryStays) {
  testsupport::ScratchDir dir;
  const std::string target = (dir / "1.png").string();
  testsupport::writeFile(target, {'o', 'l', 'd'});
  std::filesystem::permissions(target,
                               std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  TempFile temp;
  ASSERT_TRUE(createTempBeside(target, temp));
  ASSERT_TRUE(writeTemp(temp, "new!", 4));
  EXPECT_EQ(contentOf(target), "old");  // nothing shows until the commit
  EXPECT_EQ(dir.names().size(), 2u);
  ASSERT_TRUE(commitTemp(temp, /*sync=*/true, 0600 | S_IFREG));
  EXPECT_EQ(contentOf(target), "new!");
  EXPECT_EQ(std::filesystem::status(target).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  ASSERT_TRUE(createTempBeside(target, temp));
  ASSERT_TRUE(writeTemp(temp, "lost", 4));
  discardTemp(temp);
  EXPECT_EQ(contentOf(target), "new!");
  EXPECT_EQ(dir.names(), std::set<std::string>{"1.png"});
}

// Left by killed runs, whatever their pids were, or by a live one.
void leaveTemporaries(const testsupport::ScratchDir& dir) {
  testsupport::writeFile(dir / ".vorna-77-0badf00d0badf00d.tmp", {1});
  testsupport::writeFile(dir / ".vorna-78.tmp", {1});
  testsupport::writeFile(dir / "vorna-1.tmp", {1});  // not ours
}

TEST(ReplaceFile, TemporariesGoOnlyWhenNoOtherRunHoldsTheDirectory) {
  // Another run at work in the directory: its temporary may be live.
  testsupport::ScratchDir busy;
  leaveTemporaries(busy);
  const int other = open(busy.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(other, LOCK_SH), 0);
  removeStaleTemps(busy.path().string());
  EXPECT_EQ(busy.names().size(), 3u);
  close(other);

  // Alone: every temporary there is abandoned. A temporary made since is
  // this run's own and stays until it is committed.
  testsupport::ScratchDir alone;
  leaveTemporaries(alone);
  removeStaleTemps(alone.path().string());
  EXPECT_EQ(alone.names(), std::set<std::string>{"vorna-1.tmp"});
  TempFile temp;
  ASSERT_TRUE(createTempBeside((alone / "2.png").string(), temp));
  EXPECT_TRUE(writeTemp(temp, "x", 1));
  EXPECT_TRUE(commitTemp(temp, /*sync=*/false));
  EXPECT_EQ(contentOf(alone / "2.png"), "x");

  // This process now holds `alone`: a run starting there leaves it be.
  const int starting = open(alone.path().c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_NE(flock(starting, LOCK_EX | LOCK_NB), 0);
  close(starting);
}

}  // namespace
