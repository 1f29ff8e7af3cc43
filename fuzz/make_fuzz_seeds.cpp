// make-fuzz-seeds DIR: writes the fuzz target's seed corpus into DIR, every
// archive drawn by the test-support writer: whole archives of each shape the
// converter meets, and damaged ones that reach each of its failure paths.

#include <cstdio>
#include <exception>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "testsupport/archive_writer.h"
#include "testsupport/sample_archives.h"

namespace {

using testsupport::ArchiveWriter;
using testsupport::Bytes;
using testsupport::encodeRuns;
using testsupport::Rgb;

Bytes randomArchive(unsigned seed, int count) {
  std::mt19937 random(seed);
  ArchiveWriter writer;
  for (int i = 0; i < count; ++i) {
    if (random() % 8 == 0) {
      writer.addEmptySlot(static_cast<std::uint8_t>(random()));
    } else if (i > 0 && random() % 8 == 0) {
      writer.addCopyOf(static_cast<int>(random() % static_cast<unsigned>(i)) + 1);
    } else {
      writer.addSprite(testsupport::randomSprite(random), random() % 2 == 0);
    }
  }
  return writer.bytes(seed % 2 == 1);
}

// Runs that push the cursor to its limits: warnings, huge counts, empty runs.
Bytes extremeRuns() {
  ArchiveWriter writer;
  writer.addPic(encodeRuns({{1025, {Rgb{1, 2, 3}}}}));
  writer.addPic(encodeRuns({{65535, {}}}));
  writer.addPic(encodeRuns({{0, {}}, {0, {}}, {1, {}}, {2, {Rgb{9, 9, 9}}}}));
  writer.addPic(encodeRuns({{1, std::vector<Rgb>(1100, Rgb{7, 7, 7})}}));
  writer.addPic(encodeRuns({{1000, {}}, {30, {Rgb{5, 5, 5}}}}));
  writer.addPic(encodeRuns({{0, std::vector<Rgb>(3, Rgb{1, 1, 1})}}), 65535);  // size past the data
  writer.addPic(encodeRuns({{0, std::vector<Rgb>(3, Rgb{1, 1, 1})}}), 5);      // size inside a run
  return writer.bytes();
}

// The signature marks reads from `failAt` on as failing (see the target).
Bytes failingFrom(Bytes archive, std::size_t failAt) {
  archive[0] = static_cast<std::uint8_t>(failAt);
  archive[1] = static_cast<std::uint8_t>(failAt >> 8);
  archive[2] = static_cast<std::uint8_t>(failAt >> 16);
  archive[3] = 0xEE;
  return archive;
}

std::vector<Bytes> seeds() {
  std::vector<Bytes> whole = {testsupport::handArchive(), testsupport::mixedArchive(),
                              testsupport::reversedArchive(), extremeRuns(), ArchiveWriter().bytes()};
  for (unsigned seed = 1; seed <= 4; ++seed) whole.push_back(randomArchive(seed, 3 + static_cast<int>(seed)));

  std::vector<Bytes> all = whole;
  for (const Bytes& archive : whole) {
    if (archive.size() < 8) continue;
    all.emplace_back(archive.begin(), archive.begin() + static_cast<long>(archive.size() / 2));
    all.emplace_back(archive.begin(), archive.end() - 1);
    all.push_back(failingFrom(archive, archive.size() - 2));
    all.push_back(failingFrom(archive, 9));
  }
  // A count far beyond the table, and offsets into the header and the table.
  Bytes bigCount = testsupport::mixedArchive();
  bigCount[4] = bigCount[5] = 0xFF;
  all.push_back(bigCount);
  Bytes overlapping = testsupport::handArchive();
  overlapping[6] = 1;
  overlapping[10] = 6;
  all.push_back(overlapping);
  return all;
}

// The pack target's input: an archive as the base, then edits and their count.
std::vector<Bytes> packSeeds(const std::vector<Bytes>& archives) {
  std::vector<Bytes> all;
  for (std::size_t i = 0; i < archives.size(); ++i) {
    Bytes unchanged = archives[i];
    unchanged.push_back(0);
    all.push_back(unchanged);
    // Pic 1 edited to a random sprite, pic 2 given the pixels it has, pic 9 added.
    Bytes edited = archives[i];
    edited.insert(edited.end(), {0, 0, static_cast<std::uint8_t>(i), 1, 0, 255, 8, 0, 7, 3});
    all.push_back(edited);
  }
  return all;
}

void writeAll(const char* dir, const std::vector<Bytes>& all) {
  std::filesystem::create_directories(dir);
  for (std::size_t i = 0; i < all.size(); ++i) {
    testsupport::writeFile(std::filesystem::path(dir) / ("seed-" + std::to_string(i) + ".spr"), all[i]);
  }
  std::printf("%zu seeds written to %s\n", all.size(), dir);
}

}  // namespace

// make-fuzz-seeds DIR [PACK_DIR]: the archive target's seeds into DIR, and
// the pack target's into PACK_DIR.
int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: make-fuzz-seeds DIR [PACK_DIR]\n");
    return 2;
  }
  try {
    const std::vector<Bytes> all = seeds();
    writeAll(argv[1], all);
    if (argc == 3) writeAll(argv[2], packSeeds(all));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make-fuzz-seeds: %s\n", error.what());
    return 1;
  }
  return 0;
}
