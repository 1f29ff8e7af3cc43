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

TEST(ReplaceFile, OnlyTemporariesThatNobodyHoldsAreStale) {
  testsupport::ScratchDir dir;
  // Left by a killed run, whatever its pid was: nobody holds it.
  testsupport::writeFile(dir / ".vorna-77-0badf00d.tmp", {1});
  testsupport::writeFile(dir / ".vorna-78.tmp", {1});
  // Being written by a live run, which holds its lock.
  testsupport::writeFile(dir / ".vorna-77-1234abcd.tmp", {1});
  const int held = open((dir / ".vorna-77-1234abcd.tmp").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  // Not ours at all.
  testsupport::writeFile(dir / "vorna-1.tmp", {1});
  std::filesystem::create_directory(dir / ".vorna-79.tmp");

  removeStaleTemps(dir.path().string());
  EXPECT_EQ(dir.names(), (std::set<std::string>{".vorna-77-1234abcd.tmp", "vorna-1.tmp", ".vorna-79.tmp"}));
  close(held);
  removeStaleTemps(dir.path().string());
  EXPECT_EQ(dir.names(), (std::set<std::string>{"vorna-1.tmp", ".vorna-79.tmp"}));

  // Our own live temporary is held, so a scan does not take it.
  TempFile temp;
  ASSERT_TRUE(createTempBeside((dir / "2.png").string(), temp));
  removeStaleTemps(dir.path().string());
  EXPECT_TRUE(writeTemp(temp, "x", 1));
  EXPECT_TRUE(commitTemp(temp, /*sync=*/false));
  EXPECT_EQ(contentOf(dir / "2.png"), "x");
}

}  // namespace
