#include "files/replace_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>

#include "testsupport/archive_writer.h"
#include "testsupport/scratch.h"

namespace {

std::string contentOf(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

// What a file of `mode` that this user owns looks like to commitTemp.
struct stat ownFile(int mode) {
  struct stat file {};
  file.st_mode = static_cast<mode_t>(S_IFREG | mode);
  file.st_uid = geteuid();
  file.st_gid = getegid();
  return file;
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
  const struct stat replaced = ownFile(0600);
  ASSERT_TRUE(commitTemp(temp, /*sync=*/true, &replaced));
  EXPECT_EQ(contentOf(target), "new!");
  EXPECT_EQ(std::filesystem::status(target).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  ASSERT_TRUE(createTempBeside(target, temp));
  ASSERT_TRUE(writeTemp(temp, "lost", 4));
  discardTemp(temp);
  EXPECT_EQ(contentOf(target), "new!");
  EXPECT_EQ(dir.names(), std::set<std::string>{"1.png"});
}

// `run` in a child process refused `refused` system calls: its exit status.
int inChild(const std::vector<testsupport::RefusedCall>& refused, const std::function<int()>& run) {
  const pid_t child = fork();
  if (child == 0) {
    if (!refused.empty()) testsupport::refuseSystemCalls(refused);
    _exit(run());
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A file is replaced only if it is still the one looked at: not another one
// put in its place, nor the same one rewritten, whether the system can swap
// two names in one step or not.
TEST(ReplaceFile, OnlyAnUnchangedFileIsReplaced) {
  using testsupport::RefusedCall;
  for (const auto& refused :
       {std::vector<RefusedCall>{}, std::vector<RefusedCall>{{SYS_renameat2, EINVAL}}}) {
    for (const int change : {0, 1, 2}) {  // none, rewritten in place, another file put there
      testsupport::ScratchDir dir;
      const std::string target = (dir / "a.spr").string();
      testsupport::writeFile(target, {'o', 'l', 'd'});
      struct stat looked {};
      ASSERT_EQ(stat(target.c_str(), &looked), 0);
      if (change == 1) testsupport::writeFile(target, {'t', 'h', 'e', 'i', 'r', 's'});
      if (change == 2) {
        testsupport::writeFile(dir / "other", {'o', 'l', 'd'});
        std::filesystem::rename(dir / "other", target);
      }
      const int status = inChild(refused, [&] {
        TempFile temp;
        if (!createTempBeside(target, temp) || !writeTemp(temp, "new", 3)) return 9;
        return static_cast<int>(commitTempIfUnchanged(temp, looked));
      });
      EXPECT_EQ(status, static_cast<int>(change == 0 ? Replaced::done : Replaced::changed)) << change;
      EXPECT_EQ(contentOf(target), change == 0 ? "new" : change == 1 ? "theirs" : "old") << change;
      EXPECT_EQ(dir.names(), std::set<std::string>{"a.spr"}) << "a temporary left: " << change;
    }
  }
}

// A new file takes its name only if nothing has taken it meanwhile.
TEST(ReplaceFile, NewFileNeverReplacesOneThatAppeared) {
  testsupport::ScratchDir dir;
  TempFile temp;
  ASSERT_TRUE(createTempBeside((dir / "a.spr").string(), temp));
  ASSERT_TRUE(writeTemp(temp, "new", 3));
  testsupport::writeFile(dir / "a.spr", {'t', 'h', 'e', 'i', 'r', 's'});
  EXPECT_EQ(commitTempIfStillAbsent(temp), NewFile::taken);
  EXPECT_EQ(contentOf(dir / "a.spr"), "theirs");
  EXPECT_EQ(dir.names(), std::set<std::string>{"a.spr"});
  ASSERT_TRUE(createTempBeside((dir / "b.spr").string(), temp));
  ASSERT_TRUE(writeTemp(temp, "new", 3));
  EXPECT_EQ(commitTempIfStillAbsent(temp), NewFile::placed);
  EXPECT_EQ(contentOf(dir / "b.spr"), "new");
}

// Left by killed runs, whatever their pids were, or by a live one.
void leaveTemporaries(const testsupport::ScratchDir& dir) {
  testsupport::writeFile(dir / ".vorna-77-0badf00d0badf00d.tmp", {1});
  testsupport::writeFile(dir / ".vorna-78.tmp", {1});
  testsupport::writeFile(dir / "vorna-1.tmp", {1});       // not ours
  testsupport::writeFile(dir / ".vorna-notes.tmp", {1});  // a user's own
}

TEST(ReplaceFile, TemporariesGoOnlyWhenNoOtherRunHoldsTheDirectory) {
  // Another run at work in the directory: its temporary may be live.
  testsupport::ScratchDir busy;
  leaveTemporaries(busy);
  const int other = open(busy.path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(other, LOCK_SH), 0);
  removeStaleTemps(busy.path().string());
  EXPECT_EQ(busy.names().size(), 4u);
  close(other);

  // Alone: every temporary there is abandoned. A temporary made since is
  // this run's own and stays until it is committed.
  testsupport::ScratchDir alone;
  leaveTemporaries(alone);
  removeStaleTemps(alone.path().string());
  EXPECT_EQ(alone.names(), (std::set<std::string>{"vorna-1.tmp", ".vorna-notes.tmp"}));
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

// Temporaries are their owner's alone while written, and get the mode of
// the file they replace, or a new file's, when committed; and its owner and
// group, where this user may give them (root may).
TEST(ReplaceFile, TemporaryIsTheOwnersAloneUntilCommitted) {
  testsupport::ScratchDir dir;
  const mode_t mask = umask(022);
  // A set-user-ID bit is never kept: the new file is whoever runs the
  // program's, root's too.
  for (const int mode : {-1, 0640, 04755}) {
    TempFile temp;
    ASSERT_TRUE(createTempBeside((dir / "1.png").string(), temp));
    struct stat info {};
    ASSERT_EQ(stat(temp.path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    struct stat replaced = ownFile(mode);
    if (geteuid() == 0) replaced.st_uid = replaced.st_gid = 65534;
    ASSERT_TRUE(commitTemp(temp, /*sync=*/false, mode < 0 ? nullptr : &replaced));
    ASSERT_EQ(stat((dir / "1.png").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, mode < 0 ? 0644u : static_cast<unsigned>(mode & 0777));
    EXPECT_EQ(info.st_uid, mode < 0 ? geteuid() : replaced.st_uid);
    EXPECT_EQ(info.st_gid, mode < 0 ? getegid() : replaced.st_gid);
  }
  umask(mask);
}

struct FileId {
  ino_t inode = 0;
  std::string content;
};

FileId idOf(const std::filesystem::path& path) {
  struct stat info {};
  return {stat(path.c_str(), &info) == 0 ? info.st_ino : 0, contentOf(path)};
}

// keepBackup in a child process refused `refused` system calls: what it
// returned, and errno.
std::pair<Backup, int> backUpIn(const testsupport::ScratchDir& dir,
                                const std::vector<testsupport::RefusedCall>& refused) {
  int report[2];
  if (pipe(report) != 0) return {Backup::failed, -1};
  const pid_t child = fork();
  if (child == 0) {
    if (!refused.empty()) testsupport::refuseSystemCalls(refused);
    struct stat file {};
    stat((dir / "a.spr").c_str(), &file);
    errno = 0;
    const int result[2] = {
        static_cast<int>(keepBackup((dir / "a.spr").string(), file, (dir / "a.spr.bak").string())), errno};
    _exit(write(report[1], result, sizeof result) == sizeof result ? 0 : 1);
  }
  close(report[1]);
  int result[2] = {-1, -1};
  const bool got = read(report[0], result, sizeof result) == sizeof result;
  close(report[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return {got ? static_cast<Backup>(result[0]) : Backup::failed, got ? result[1] : -1};
}

// A backup holds the file as it was, whole; one that exists already, made by
// an earlier pack or by another run a moment ago, is never touched, nor is
// anything else that has the name.
TEST(Backup, IsWholeAndNeverReplacesOrRemovesAnother) {
  using testsupport::RefusedCall;
  const std::vector<std::vector<RefusedCall>> systems = {
      {},                                                                 // links
      testsupport::noLinks(),                                             // a copy (vfat, SMB)
      {{SYS_link, EPERM}, {SYS_linkat, EPERM}, {SYS_renameat2, EINVAL}},  // a copy, looked for and renamed
  };
  for (std::size_t k = 0; k < systems.size(); ++k) {
    testsupport::ScratchDir dir;
    testsupport::writeFile(dir / "a.spr", {'o', 'l', 'd'});
    std::filesystem::permissions(dir / "a.spr",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(backUpIn(dir, systems[k]).first, Backup::made) << k;
    EXPECT_EQ(contentOf(dir / "a.spr.bak"), "old") << k;
    EXPECT_EQ(std::filesystem::status(dir / "a.spr.bak").permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(idOf(dir / "a.spr.bak").inode == idOf(dir / "a.spr").inode, k == 0)
        << "linked only where links work";
    EXPECT_EQ(dir.names(), (std::set<std::string>{"a.spr", "a.spr.bak"})) << "a temporary left: " << k;

    std::filesystem::remove(dir / "a.spr");  // replaced, as a pack replaces it
    testsupport::writeFile(dir / "a.spr", {'n', 'e', 'w'});
    const FileId before = idOf(dir / "a.spr.bak");
    EXPECT_EQ(backUpIn(dir, systems[k]).first, Backup::existed) << k;
    EXPECT_EQ(idOf(dir / "a.spr.bak").inode, before.inode) << k;
    EXPECT_EQ(contentOf(dir / "a.spr.bak"), "old") << k;
    EXPECT_EQ(dir.names().size(), 2u) << k;
  }

  // A copy that cannot be flushed to the disk is no backup: nothing is left,
  // and errno says why.
  testsupport::ScratchDir dir;
  testsupport::writeFile(dir / "a.spr", {'o', 'l', 'd'});
  std::vector<RefusedCall> failing = testsupport::noLinks();
  failing.push_back({SYS_fsync, EIO});
  EXPECT_EQ(backUpIn(dir, failing), std::make_pair(Backup::failed, EIO));
  EXPECT_EQ(dir.names(), std::set<std::string>{"a.spr"});

  // A name that is taken by what is no backup is left alone, and said so:
  // a folder, or a link to the file itself (it would show the new file).
  std::filesystem::create_directory(dir / "a.spr.bak");
  EXPECT_EQ(backUpIn(dir, {}).first, Backup::unusable);
  EXPECT_EQ(checkBackup((dir / "a.spr.bak").string(), (dir / "a.spr").string()), BackupState::notAFile);
  std::filesystem::remove(dir / "a.spr.bak");
  std::filesystem::create_symlink("a.spr", dir / "a.spr.bak");
  EXPECT_EQ(backUpIn(dir, {}).first, Backup::unusable);
  EXPECT_EQ(checkBackup((dir / "a.spr.bak").string(), (dir / "a.spr").string()), BackupState::theArchive);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "a.spr.bak"));

  // A file that is no longer the one looked at before the work (replaced,
  // or a link put in its place) is not kept: nothing is made.
  std::filesystem::remove(dir / "a.spr.bak");
  struct stat looked {};
  ASSERT_EQ(stat((dir / "a.spr").c_str(), &looked), 0);
  std::filesystem::rename(dir / "a.spr", dir / "b.spr");
  std::filesystem::create_symlink("b.spr", dir / "a.spr");
  EXPECT_EQ(keepBackup((dir / "a.spr").string(), looked, (dir / "a.spr.bak").string()), Backup::changed);
  std::filesystem::remove(dir / "a.spr");
  testsupport::writeFile(dir / "a.spr", {'n', 'e', 'w'});
  EXPECT_EQ(keepBackup((dir / "a.spr").string(), looked, (dir / "a.spr.bak").string()), Backup::changed);
  EXPECT_FALSE(std::filesystem::exists(dir / "a.spr.bak"));

  // A name the system cannot give (too long) is no backup taken: a failure.
  const std::string tooLong = (dir / std::string(252, 'x')).string();
  testsupport::writeFile(tooLong, {1});
  struct stat file {};
  ASSERT_EQ(stat(tooLong.c_str(), &file), 0);
  EXPECT_EQ(keepBackup(tooLong, file, tooLong + ".bak"), Backup::failed);
  EXPECT_EQ(errno, ENAMETOOLONG);
}

}  // namespace
