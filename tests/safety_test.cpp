// What a run must never do, whatever it is given or whatever stops it: hang,
// or leave an N.png that is neither its old content nor its whole new one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <thread>

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

std::string unpackProgram() { return testsupport::programUnderTest(VORNA_UNPACK); }

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
  const ProgramRun run = testsupport::runProgram(unpackProgram(), dir.path());
  seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.exitStatus, 0);
  Files files = filesIn(dir.path());
  files.erase("vorna.spr");
  return files;
}

TEST(Safety, ArchiveThatIsNotARegularFileIsRefusedAtOnce) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows has no FIFOs and no /dev/stdin";
  const Bytes archive = testsupport::mixedArchive();
  RunOptions options;
  options.timeoutSeconds = 10;

  // A FIFO with no writer: opening it must not wait for one. Nor is it
  // opened at all: a writer waiting on it goes on waiting.
  ScratchDir fifoDir;
  ASSERT_EQ(mkfifo((fifoDir / "vorna.spr").c_str(), 0600), 0);
  ProgramRun run = testsupport::runProgram(unpackProgram(), fifoDir.path(), options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(fifoDir.names(), std::set<std::string>{"vorna.spr"});
  std::atomic<bool> writerWoken = false;
  std::thread writer([&] {
    const int fd = open((fifoDir / "vorna.spr").c_str(), O_WRONLY | O_CLOEXEC);
    writerWoken = true;
    close(fd);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  run = testsupport::runProgram(unpackProgram(), fifoDir.path(), options);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_FALSE(writerWoken);
  close(open((fifoDir / "vorna.spr").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  writer.join();

  // `cat vorna.spr | vorna-unpack` through a link to standard input: no seek
  // works on a pipe, and a good 1.png must not be replaced by an empty one.
  ScratchDir pipeDir;
  fs::create_symlink("/dev/stdin", pipeDir / "vorna.spr");
  testsupport::writeFile(pipeDir / "1.png", {'o', 'l', 'd'});
  options.input.assign(archive.begin(), archive.end());
  run = testsupport::runProgram(unpackProgram(), pipeDir.path(), options);
  EXPECT_EQ(run.output, "Unable to open vorna.spr!\n");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(contentOf(pipeDir / "1.png"), "old");
}

// An N.png that is a FIFO is written through while someone reads it, and
// never keeps the run waiting: not when no one reads it (its image would be
// lost), nor when one that filled it has gone.
TEST(Safety, ImagesThatAreFifosNeverKeepTheRunWaiting) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows has no FIFOs";
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", testsupport::mixedArchive());
  double seconds = 0;
  const Files expected = unpackedPngs(testsupport::mixedArchive(), seconds);
  for (const char* name : {"1.png", "3.png", "4.png"}) ASSERT_EQ(mkfifo((dir / name).c_str(), 0600), 0);
  // Read once the run is over: the image waits in the FIFO, which is open.
  const int reader = open((dir / "4.png").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int filled = open((dir / "3.png").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  while (write(filled, "x", 1) == 1) {
  }
  std::thread filler([filled] {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    close(filled);
  });
  RunOptions options;
  options.timeoutSeconds = 20;
  const ProgramRun run = testsupport::runProgram(unpackProgram(), dir.path(), options);
  filler.join();
  std::string read;
  std::array<char, 4096> buffer{};
  for (ssize_t got = 0; (got = ::read(reader, buffer.data(), buffer.size())) > 0;) {
    read.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(reader);
  EXPECT_FALSE(run.timedOut);
  EXPECT_NE(run.output.find("Unable to write 1.png!\nUnable to write 3.png!\nPics done: 4\n"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_EQ(read, expected.at("4.png"));
}

TEST(Safety, ClosedStandardInputAndOutputNeverReachTheImages) {
  if (testsupport::underWine()) GTEST_SKIP() << "wine-run captures standard output itself";
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
  const ProgramRun run = testsupport::runProgram(unpackProgram(), dir.path(), options);
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
  if (testsupport::underWine()) GTEST_SKIP() << "POSIX signals reach wine, not the Windows program";
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
      const ProgramRun run = testsupport::runProgram(unpackProgram(), dir.path(), options);
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
      const ProgramRun rerun = testsupport::runProgram(unpackProgram(), dir.path());
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
