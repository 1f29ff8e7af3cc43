// What a run must never do, whatever it is given or whatever stops it: hang,
// or leave an N.png that is neither its old content nor its whole new one.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>

#include "testsupport/archive_writer.h"
#include "testsupport/png_reader.h"
#include "testsupport/sample_archives.h"
#include "testsupport/scratch.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ArchiveWriter;
using testsupport::Bytes;
using testsupport::ProgramRun;
using testsupport::RunOptions;
using testsupport::ScratchDir;

using Files = std::map<std::string, std::string>;  // name -> content

std::string contentOf(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

Files filesIn(const fs::path& dir) {
  Files files;
  for (const auto& entry : fs::directory_iterator(dir)) {
    files[entry.path().filename().string()] = contentOf(entry.path());
  }
  return files;
}

void writeFiles(const fs::path& dir, const Files& files) {
  for (const auto& [name, content] : files) {
    testsupport::writeFile(dir / name, Bytes(content.begin(), content.end()));
  }
}

Bytes randomArchive(unsigned seed, int count) {
  std::mt19937 random(seed);
  ArchiveWriter writer;
  for (int id = 1; id <= count; ++id) {
    if (random() % 20 == 0) {
      writer.addEmptySlot();
    } else {
      writer.addSprite(testsupport::randomSprite(random));
    }
  }
  return writer.bytes();
}

// The PNGs a whole run writes for `archive`.
Files unpackedPngs(const Bytes& archive, double& seconds) {
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", archive);
  const auto start = std::chrono::steady_clock::now();
  const ProgramRun run = testsupport::runProgram(VORNA_UNPACK, dir.path());
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exitStatus, 0);
  Files files = filesIn(dir.path());
  files.erase("vorna.spr");
  return files;
}

TEST(Safety, ArchiveThatIsNotARegularFileIsRefusedAtOnce) {
  const Bytes archive = testsupport::mixedArchive();
  RunOptions options;
  options.timeoutSeconds = 10;

  // A FIFO with no writer: opening it must not wait for one.
  ScratchDir fifoDir;
  ASSERT_EQ(mkfifo((fifoDir / "vorna.spr").c_str(), 0600), 0);
  ProgramRun run = testsupport::runProgram(VORNA_UNPACK, fifoDir.path(), options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(fifoDir.names(), std::set<std::string>{"vorna.spr"});

  // `cat vorna.spr | vorna-unpack` through a link to standard input: no seek
  // works on a pipe, and a good 1.png must not be replaced by an empty one.
  ScratchDir pipeDir;
  fs::create_symlink("/dev/stdin", pipeDir / "vorna.spr");
  testsupport::writeFile(pipeDir / "1.png", {'o', 'l', 'd'});
  options.input.assign(archive.begin(), archive.end());
  run = testsupport::runProgram(VORNA_UNPACK, pipeDir.path(), options);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(contentOf(pipeDir / "1.png"), "old");
}

TEST(Safety, ClosedStandardInputAndOutputNeverReachTheImages) {
  // Every pic prints a warning while its image is being made, so stdio's
  // buffer fills and is flushed then, again and again.
  ArchiveWriter writer;
  testsupport::Sprite sprite;
  sprite[0] = testsupport::Rgb{1, 2, 3};
  for (int id = 0; id < 600; ++id) {
    writer.addPic(testsupport::encodeRuns({{0, {*sprite[0]}}, {2000, {testsupport::Rgb{9, 9, 9}}}}));
  }
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", writer.bytes());
  RunOptions options;
  options.closedStdio = true;
  const ProgramRun run = testsupport::runProgram(VORNA_UNPACK, dir.path(), options);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.errors, "");
  for (int id = 1; id <= 600; ++id) {
    const auto png = testsupport::readPng(dir / (std::to_string(id) + ".png"));
    ASSERT_TRUE(png) << id << ".png";
    ASSERT_EQ(testsupport::compareWithSprite(*png, sprite), "") << id << ".png";
  }
}

// A run over the images of an earlier run of another archive, stopped at
// instants spread over it: each N.png is byte for byte the old file or the
// new one. INT and TERM leave no temporary and end the run by that signal;
// after KILL, the next run leaves none.
TEST(Safety, InterruptedRunsLeaveEveryImageOldOrNew) {
  double seconds = 0;
  const Bytes oldArchive = randomArchive(11, 1500);
  const Bytes newArchive = randomArchive(12, 1600);
  const Files oldPngs = unpackedPngs(oldArchive, seconds);
  const Files newPngs = unpackedPngs(newArchive, seconds);

  for (const int signal : {SIGINT, SIGTERM, SIGKILL}) {
    int stopped = 0;
    for (const double instant : {0.05, 0.3, 0.55, 0.8}) {
      ScratchDir dir;
      writeFiles(dir.path(), oldPngs);
      testsupport::writeFile(dir / "vorna.spr", newArchive);
      RunOptions options;
      options.interruptSignal = signal;
      options.interruptAfter = instant * seconds;
      const ProgramRun run = testsupport::runProgram(VORNA_UNPACK, dir.path(), options);
      const std::string where = "signal " + std::to_string(signal) + " at " + std::to_string(instant);
      if (run.exitStatus == 0) continue;  // finished before the signal
      ++stopped;
      EXPECT_EQ(run.signal, signal) << where;
      std::set<std::string> temporaries;
      for (const auto& [name, content] : filesIn(dir.path())) {
        if (name == "vorna.spr") continue;
        const auto old = oldPngs.find(name);
        const auto fresh = newPngs.find(name);
        if (old == oldPngs.end() && fresh == newPngs.end()) {
          temporaries.insert(name);
          continue;
        }
        EXPECT_TRUE((old != oldPngs.end() && content == old->second) ||
                    (fresh != newPngs.end() && content == fresh->second))
            << name << " is neither old nor new, " << where;
      }
      if (signal != SIGKILL) {
        EXPECT_TRUE(temporaries.empty()) << *temporaries.begin() << " left, " << where;
        continue;
      }
      EXPECT_LE(temporaries.size(), 1u) << where;
      const ProgramRun rerun = testsupport::runProgram(VORNA_UNPACK, dir.path());
      EXPECT_EQ(rerun.exitStatus, 0);
      Files after = filesIn(dir.path());
      after.erase("vorna.spr");
      for (const auto& [name, content] : oldPngs) {
        if (newPngs.count(name) == 0) after.erase(name);  // an old image the new archive has no pic for
      }
      EXPECT_TRUE(after == newPngs) << "the run after SIGKILL left other files, " << where;
    }
    EXPECT_GT(stopped, 0) << "no run was stopped by signal " << signal;
  }
}

}  // namespace
