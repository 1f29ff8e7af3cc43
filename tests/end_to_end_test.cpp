// Runs the real vorna-unpack in fresh directories and checks what it prints,
// its exit status and the files it leaves.

#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "testsupport/archive_writer.h"
#include "testsupport/png_reader.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::ArchiveWriter;
using testsupport::Bytes;
using testsupport::encodeRuns;
using testsupport::ProgramRun;
using testsupport::Rgb;
using testsupport::ScratchDir;
using testsupport::Sprite;

ProgramRun unpack(const ScratchDir& dir, const std::vector<std::string>& args = {}) {
  return testsupport::runProgram(testsupport::programUnderTest(VORNA_UNPACK), dir.path(), args);
}

ProgramRun unpack(const ScratchDir& dir, const Bytes& archive) {
  testsupport::writeFile(dir / "vorna.spr", archive);
  return unpack(dir);
}

// Empty when dir/name is a valid PNG showing `sprite`.
std::string showsSprite(const ScratchDir& dir, const std::string& name, const Sprite& sprite) {
  const auto png = testsupport::readPng(dir / name);
  if (!png) return name + " is not a readable PNG";
  return testsupport::compareWithSprite(*png, sprite);
}

Sprite oneColour(int p, Rgb colour) {
  Sprite sprite;
  sprite[static_cast<std::size_t>(p)] = colour;
  return sprite;
}

TEST(EndToEnd, SmallestArchiveWritesOnePic) {
  const Bytes archive = {0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x0E, 0x00, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x02,
                         0x00, 0x02, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0x00};
  ASSERT_EQ(archive.size(), 29u);
  ScratchDir dir;
  const ProgramRun run = unpack(dir, archive);
  EXPECT_EQ(run.output, "Number of pics: 2\nPics done: 1\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(dir.names(), (std::set<std::string>{"vorna.spr", "1.png"}));
  Sprite expected;
  expected[1] = Rgb{255, 0, 0};
  expected[2] = Rgb{0, 255, 0};
  EXPECT_EQ(showsSprite(dir, "1.png", expected), "");

  // PNG's own header, read byte by byte: 32 x 32, depth 8, RGBA, no interlace.
  const auto png = testsupport::readPng(dir / "1.png");
  ASSERT_TRUE(png);
  EXPECT_EQ(png->colourType, PNG_COLOR_TYPE_RGBA);
}

TEST(EndToEnd, ArchiveThatCannotBeOpenedIsStatus1AndWritesNothing) {
  ScratchDir dir;
  ProgramRun run = unpack(dir);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(dir.names().empty());

  std::filesystem::create_directory(dir / "vorna.spr");
  run = unpack(dir);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(dir.names(), std::set<std::string>{"vorna.spr"});
}

TEST(EndToEnd, EmptyArchivePrintsTheCountOnly) {
  ScratchDir dir;
  const ProgramRun run = unpack(dir, ArchiveWriter().bytes());
  EXPECT_EQ(run.output, "Number of pics: 0\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(dir.names(), std::set<std::string>{"vorna.spr"});
}

TEST(EndToEnd, PicsGoInIdOrderAndArgumentsAreIgnored) {
  ArchiveWriter writer;
  writer.addSprite(oneColour(0, Rgb{1, 1, 1}));
  writer.addEmptySlot(0x7F);
  writer.addSprite(oneColour(3, Rgb{3, 3, 3}));
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", writer.bytes(/*reverseBlocks=*/true));
  const ProgramRun run = unpack(dir, std::vector<std::string>{"--help", "other.spr"});
  EXPECT_EQ(run.output, "Number of pics: 3\nPics done: 1\nPics done: 3\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(dir.names(), (std::set<std::string>{"vorna.spr", "1.png", "3.png"}));
  EXPECT_EQ(showsSprite(dir, "3.png", oneColour(3, Rgb{3, 3, 3})), "");
}

TEST(EndToEnd, SecondRunOverwritesTheFirst) {
  ScratchDir dir;
  ArchiveWriter first;
  first.addSprite(oneColour(5, Rgb{9, 9, 9}));
  ASSERT_EQ(unpack(dir, first.bytes()).exitStatus, 0);
  ArchiveWriter second;
  second.addSprite(oneColour(6, Rgb{7, 7, 7}));
  ASSERT_EQ(unpack(dir, second.bytes()).exitStatus, 0);
  EXPECT_EQ(showsSprite(dir, "1.png", oneColour(6, Rgb{7, 7, 7})), "");
}

TEST(EndToEnd, WarningAloneKeepsStatus0) {
  ArchiveWriter writer;
  writer.addPic(encodeRuns({{2000, {Rgb{1, 2, 3}}}}));
  ScratchDir dir;
  const ProgramRun run = unpack(dir, writer.bytes());
  EXPECT_EQ(run.output, "Number of pics: 1\nwarining: i is 1999 in 1\nPics done: 1\n");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(showsSprite(dir, "1.png", Sprite{}), "");
}

TEST(EndToEnd, ArchiveCutInsideItsHeaderConvertsNothing) {
  ScratchDir dir;
  const ProgramRun run = unpack(dir, Bytes{0, 0, 0, 0, 1});
  EXPECT_EQ(run.output, "vorna.spr ends inside its header!\n");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(dir.names(), std::set<std::string>{"vorna.spr"});
}

TEST(EndToEnd, ArchiveCutInsideTheTableConvertsTheEntriesBeforeTheCut) {
  ArchiveWriter writer;
  for (int i = 0; i < 3; ++i) writer.addSprite(oneColour(i, Rgb{200, 0, 0}));
  Bytes archive = writer.bytes();
  archive.resize(6 + 4 * 2 + 1);  // pic 3's entry has one byte; no block survives
  ScratchDir dir;
  const ProgramRun run = unpack(dir, archive);
  EXPECT_EQ(run.output,
            "Number of pics: 3\n"
            "vorna.spr ends inside the offset table at pic 3!\n"
            "vorna.spr ends inside pic 1!\nPics done: 1\n"
            "vorna.spr ends inside pic 2!\nPics done: 2\n");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(showsSprite(dir, "1.png", Sprite{}), "");
  EXPECT_EQ(showsSprite(dir, "2.png", Sprite{}), "");
}

TEST(EndToEnd, DamagedPicsAreReportedAndTheWholeOnesKept) {
  const Rgb colour{10, 20, 30};
  ArchiveWriter writer;
  writer.addSprite(oneColour(4, colour));
  writer.addSprite(oneColour(4, colour));
  writer.addPic(encodeRuns({{1, {colour, colour, colour}}}));
  // Blocks in the file: pic 3's, pic 2's, then pic 1's, whose one colour
  // loses two bytes to the cut.
  Bytes archive = writer.bytes(/*reverseBlocks=*/true);
  archive.erase(archive.end() - 2, archive.end());
  archive[6 + 4 + 2] = 0xFF;  // byte b2 of pic 2's offset: now far past the end
  ScratchDir dir;
  const ProgramRun run = unpack(dir, archive);
  EXPECT_EQ(run.output,
            "Number of pics: 3\n"
            "vorna.spr ends inside pic 1!\nPics done: 1\n"
            "vorna.spr ends inside pic 2!\nPics done: 2\n"
            "Pics done: 3\n");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(showsSprite(dir, "1.png", Sprite{}), "");
  EXPECT_EQ(showsSprite(dir, "2.png", Sprite{}), "");
  Sprite three;
  for (int p = 0; p < 3; ++p) three[static_cast<std::size_t>(p)] = colour;
  EXPECT_EQ(showsSprite(dir, "3.png", three), "");
}

TEST(EndToEnd, UnwritableOutputsAreReportedAndTheRestWritten) {
  ArchiveWriter writer;
  for (int i = 0; i < 3; ++i) writer.addSprite(oneColour(i, Rgb{0, 0, 0}));
  ScratchDir dir;
  std::filesystem::create_directory(dir / "2.png");
  // A full disk, where a scratch full device (made where this user may, and
  // never the machine's own) can stand for one: Windows has no such file.
  const bool fullDisk =
      !testsupport::underWine() && mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
  if (fullDisk) std::filesystem::create_symlink("full", dir / "3.png");
  const ProgramRun run = unpack(dir, writer.bytes());
  EXPECT_EQ(run.output, std::string("Number of pics: 3\nPics done: 1\nUnable to write 2.png!\n") +
                            (fullDisk ? "Unable to write 3.png!\n" : "Pics done: 3\n"));
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(showsSprite(dir, "1.png", oneColour(0, Rgb{0, 0, 0})), "");
  std::set<std::string> names{"vorna.spr", "1.png", "2.png"};
  names.insert(fullDisk ? "full" : "3.png");
  EXPECT_EQ(dir.names(), names);
}

// Run as an ordinary user (nobody, when the tests run as root) so that the
// permissions bite.
TEST(EndToEnd, PermissionDeniedIsReportedAndNothingIsLost) {
  if (testsupport::underWine()) {
    GTEST_SKIP() << "wine runs only as the owner of its prefix, never as user nobody";
  }
  namespace fs = std::filesystem;
  const fs::perms readOnly = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                             fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
  // nobody may not reach the build tree (a clone under /root, say): run a copy.
  ScratchDir bin;
  fs::copy_file(VORNA_UNPACK, bin / "vorna-unpack");
  fs::permissions(bin.path(), readOnly);
  const std::string program = (bin / "vorna-unpack").string();

  ArchiveWriter writer;
  for (int i = 0; i < 2; ++i) writer.addSprite(oneColour(i, Rgb{5, 6, 7}));

  // A read-only directory: neither pic can be written, and both say so.
  ScratchDir locked;
  testsupport::writeFile(locked / "vorna.spr", writer.bytes());
  fs::permissions(locked.path(), readOnly);
  ProgramRun run = testsupport::runProgram(program, locked.path(), {}, /*unprivileged=*/true);
  EXPECT_EQ(run.output, "Number of pics: 2\nUnable to write 1.png!\nUnable to write 2.png!\n");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(locked.names(), std::set<std::string>{"vorna.spr"});

  // A read-only 1.png in an open directory: it is left as it was, and 2.png
  // is still written, whoever runs the program (root included).
  for (const bool unprivileged : {true, false}) {
    ScratchDir open;
    testsupport::writeFile(open / "vorna.spr", writer.bytes());
    testsupport::writeFile(open / "1.png", {'o', 'l', 'd'});
    fs::permissions(open / "1.png", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::permissions(open.path(), fs::perms::all);
    run = testsupport::runProgram(program, open.path(), {}, unprivileged);
    EXPECT_EQ(run.output, "Number of pics: 2\nUnable to write 1.png!\nPics done: 2\n");
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(fs::file_size(open / "1.png"), 3u);
    EXPECT_EQ(showsSprite(open, "2.png", oneColour(1, Rgb{5, 6, 7})), "");
  }

  // A sticky directory, as /tmp is: someone else's 1.png, writable by all,
  // cannot be renamed over. That is known before pic 1 is read (its warning
  // would show it was).
  if (geteuid() != 0) return;  // the file must belong to another user than the run's
  ArchiveWriter warned;
  warned.addPic(encodeRuns({{2000, {Rgb{1, 1, 1}}}}));
  ScratchDir sticky;
  testsupport::writeFile(sticky / "vorna.spr", warned.bytes());
  testsupport::writeFile(sticky / "1.png", {'o', 'l', 'd'});
  fs::permissions(sticky / "1.png",
                  fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  fs::permissions(sticky.path(), fs::perms::all | fs::perms::sticky_bit);
  run = testsupport::runProgram(program, sticky.path(), {}, /*unprivileged=*/true);
  EXPECT_EQ(run.output, "Number of pics: 1\nUnable to write 1.png!\n");
  EXPECT_EQ(fs::file_size(sticky / "1.png"), 3u);
  EXPECT_EQ(sticky.names(), (std::set<std::string>{"vorna.spr", "1.png"}));
}

// No image is ever written over the archive while it is read, nor into a
// read-only file behind a link: such names are refused before their pic is
// read, and the rest come out right.
TEST(EndToEnd, NamesThatLeadToTheArchiveOrToAReadOnlyFileAreRefused) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows' C library knows no links";
  namespace fs = std::filesystem;
  ArchiveWriter writer;
  for (int i = 0; i < 4; ++i) writer.addSprite(oneColour(i, Rgb{9, 8, 7}));
  ScratchDir dir;
  const Bytes archive = writer.bytes();
  testsupport::writeFile(dir / "vorna.spr", archive);
  fs::create_symlink("vorna.spr", dir / "1.png");
  fs::create_hard_link(dir / "vorna.spr", dir / "2.png");
  testsupport::writeFile(dir / "kept", {'o', 'l', 'd'});
  fs::permissions(dir / "kept", fs::perms::owner_read);
  fs::create_symlink("kept", dir / "3.png");
  const ProgramRun run = unpack(dir);
  EXPECT_EQ(run.output,
            "Number of pics: 4\nUnable to write 1.png!\nUnable to write 2.png!\nUnable to write 3.png!\nPics "
            "done: 4\n");
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(testsupport::readFile(dir / "vorna.spr"), archive);
  EXPECT_EQ(fs::file_size(dir / "kept"), 3u);
  EXPECT_EQ(showsSprite(dir, "4.png", oneColour(3, Rgb{9, 8, 7})), "");
}

TEST(EndToEnd, DemoArchiveConvertsCleanly) {
  ScratchDir dir;
  const ProgramRun made = testsupport::runProgram(MAKE_DEMO_ARCHIVE, dir.path(), {dir.path().string()});
  ASSERT_EQ(made.exitStatus, 0);
  const ProgramRun run = unpack(dir);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.output,
            "Number of pics: 7\nPics done: 1\nPics done: 2\nPics done: 3\n"
            "Pics done: 5\nPics done: 6\nPics done: 7\n");
  for (const char* name : {"1.png", "2.png", "3.png", "5.png", "6.png", "7.png"}) {
    const auto png = testsupport::readPng(dir / name);
    ASSERT_TRUE(png) << name;
    EXPECT_EQ(png->width, 32u);
    EXPECT_EQ(png->height, 32u);
  }
}

}  // namespace
