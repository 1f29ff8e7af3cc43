// Runs the real vorna-pack (with vorna-unpack around it) in fresh
// directories: round trips, byte-identical repacks, edits, layouts and bad
// inputs.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "testsupport/archive_writer.h"
#include "testsupport/model_unpack.h"
#include "testsupport/png_reader.h"
#include "testsupport/png_writer.h"
#include "testsupport/sample_archives.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::ArchiveWriter;
using testsupport::Bytes;
using testsupport::encodeRuns;
using testsupport::ProgramRun;
using testsupport::readFile;
using testsupport::Rgb;
using testsupport::ScratchDir;
using testsupport::Sprite;

ProgramRun pack(const ScratchDir& dir, const std::vector<std::string>& args = {}) {
  return testsupport::runProgram(testsupport::programUnderTest(VORNA_PACK), dir.path(), args);
}

ProgramRun unpack(const std::filesystem::path& dir) {
  return testsupport::runProgram(testsupport::programUnderTest(VORNA_UNPACK), dir);
}

// Every file in the directory with its content.
std::map<std::string, Bytes> snapshot(const ScratchDir& dir) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : dir.names()) files[name] = readFile(dir / name);
  return files;
}

std::string summary(int changed, int kept, int added, const std::string& note = "") {
  return "vorna-pack: wrote vorna.spr: " + std::to_string(changed + kept + added) + " pics, " +
         std::to_string(changed) + " changed, " + std::to_string(kept) + " kept, " + std::to_string(added) +
         " new" + (note.empty() ? "" : " (compact layout: " + note + ")") + "\n";
}

std::uint32_t offsetOf(const Bytes& archive, int id) {
  const std::size_t slot = 6 + 4 * static_cast<std::size_t>(id - 1);
  return archive.at(slot) | std::uint32_t{archive.at(slot + 1)} << 8 |
         std::uint32_t{archive.at(slot + 2)} << 16;
}

// Gives every block a prefix of its own: the bytes readers ignore but a
// pack must keep.
void stampPrefixes(Bytes& archive, std::mt19937& random) {
  const unsigned count = archive[4] | unsigned{archive[5]} << 8;
  for (unsigned id = 1; id <= count; ++id) {
    const std::uint32_t offset = offsetOf(archive, static_cast<int>(id));
    for (std::uint32_t k = 0; offset != 0 && k < 3; ++k) {
      archive.at(offset + k) = static_cast<std::uint8_t>(random());
    }
  }
}

// A random archive with every oddity a writer other than vorna-pack may have
// used: t = 1 starts, runs with t = 0 after colours, shared and reversed
// blocks, runs read past their declared size, warnings, empty blocks and
// slots with a fourth byte set, prefixes, and bytes after the last block.
Bytes oddArchive(unsigned seed) {
  std::mt19937 random(seed);
  ArchiveWriter writer;
  const Rgb colour{7, 8, 9};
  for (int id = 1; id <= 60; ++id) {
    switch (random() % 10) {
      case 0: writer.addEmptySlot(static_cast<std::uint8_t>(random())); break;
      case 1:
        if (id > 1) writer.addCopyOf(static_cast<int>(random() % static_cast<unsigned>(id - 1)) + 1);
        if (id == 1) writer.addEmptySlot(1);
        break;
      case 2:
        writer.addPic(encodeRuns({{0, {colour}}, {0, {colour, colour}}, {3, {}}, {1, {colour}}}));
        break;
      case 3:
        writer.addPic(encodeRuns({{1, std::vector<Rgb>(5, colour)}}), 6);
        break;  // size ends inside the run
      case 4: writer.addPic(encodeRuns({{1030, {colour}}, {1, {colour}}})); break;  // warning
      case 5: writer.addPic({}); break;
      default: writer.addSprite(testsupport::randomSprite(random), random() % 2 == 0); break;
    }
  }
  Bytes archive = writer.bytes(/*reverseBlocks=*/seed % 2 == 0);
  stampPrefixes(archive, random);
  archive.insert(archive.end(), {0xDE, 0xAD});
  return archive;
}

// Random sprites, as vorna-unpack writes them, packed afresh from another
// directory: the archive draws them under the converter's arithmetic (the
// model), under a plain reading, and through vorna-unpack itself; equal
// sprites share one block.
TEST(Pack, FreshPackReadsTheSameUnderEveryReading) {
  std::mt19937 random(11);
  ArchiveWriter writer;
  std::map<int, Sprite> sprites;
  for (int id = 1; id <= 120; ++id) {
    if (random() % 12 == 0) {
      writer.addEmptySlot();
    } else if (id > 1 && random() % 12 == 0) {
      const int original = static_cast<int>(random() % static_cast<unsigned>(id - 1)) + 1;
      writer.addCopyOf(original);
      if (sprites.count(original) != 0) sprites[id] = sprites[original];
    } else {
      sprites[id] = testsupport::randomSprite(random);
      writer.addSprite(sprites[id], random() % 2 == 0);
    }
  }
  ScratchDir dir;
  std::filesystem::create_directory(dir / "sub");
  testsupport::writeFile(dir / "sub" / "vorna.spr", writer.bytes(/*reverseBlocks=*/true));
  ASSERT_EQ(unpack(dir / "sub").exitStatus, 0);
  std::filesystem::remove(dir / "sub" / "vorna.spr");

  const ProgramRun run = pack(dir, {"sub", "-o", "packed.spr"});
  ASSERT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(run.output, "vorna-pack: wrote packed.spr: " + std::to_string(sprites.size()) +
                            " pics, 0 changed, 0 kept, " + std::to_string(sprites.size()) + " new\n");
  const Bytes packed = readFile(dir / "packed.spr");
  EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 4), (Bytes{0, 0, 0, 0}));  // no base, no signature
  const testsupport::ModelRun model = testsupport::modelUnpack(packed, /*doneLines=*/false);
  EXPECT_EQ(model.output, "Number of pics: " + std::to_string(sprites.rbegin()->first) + "\n");
  ASSERT_EQ(model.pics.size(), sprites.size());
  std::map<std::string, std::uint32_t> offsetOfSprite;  // by the sprite's runs
  for (const testsupport::ModelPic& pic : model.pics) {
    const Sprite& sprite = sprites[pic.id];
    EXPECT_EQ(pic.sprite, sprite) << pic.id;
    EXPECT_EQ(testsupport::readPlainly(packed, pic.id), sprite) << pic.id;
    const Bytes runs = encodeRuns(testsupport::runsForSprite(sprite));
    const std::string key(runs.begin(), runs.end());
    const auto it = offsetOfSprite.emplace(key, offsetOf(packed, pic.id)).first;
    EXPECT_EQ(it->second, offsetOf(packed, pic.id)) << "equal sprites, different blocks: " << pic.id;
  }

  ScratchDir again;
  testsupport::writeFile(again / "vorna.spr", packed);
  ASSERT_EQ(unpack(again.path()).exitStatus, 0);
  for (const auto& [id, sprite] : sprites) {
    const auto png = testsupport::readPng(again / (std::to_string(id) + ".png"));
    ASSERT_TRUE(png) << id;
    EXPECT_EQ(testsupport::compareWithSprite(*png, sprite), "") << id;
  }
}

// Unpacked and packed again with nothing edited, an archive comes back byte
// for byte, whatever its encoding, and its .bak is the original; a second
// pack leaves that .bak alone.
TEST(Pack, RepackWithoutEditsGivesTheArchiveBackByteForByte) {
  std::vector<Bytes> archives = {testsupport::handArchive(), testsupport::mixedArchive(),
                                 testsupport::reversedArchive(), testsupport::farArchive()};
  for (unsigned seed = 1; seed <= 4; ++seed) archives.push_back(oddArchive(seed));
  for (const Bytes& archive : archives) {
    ScratchDir dir;
    testsupport::writeFile(dir / "vorna.spr", archive);
    ASSERT_EQ(unpack(dir.path()).exitStatus, 0);
    const std::size_t pics = dir.names().size() - 1;
    ProgramRun run = pack(dir);
    ASSERT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(run.output, summary(0, static_cast<int>(pics), 0));
    EXPECT_EQ(readFile(dir / "vorna.spr"), archive);
    EXPECT_EQ(readFile(dir / "vorna.spr.bak"), archive);

    testsupport::writeSpritePng(dir / "1.png", Sprite{});  // pic 1 becomes empty (or stays so)
    run = pack(dir);
    ASSERT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(readFile(dir / "vorna.spr.bak"), archive);
  }
}

// Edits change the edited pics' table entries and append their blocks, and
// nothing else; a PNG saved anew with the same pixels, or deleted, keeps its
// pic's block. vorna-unpack then shows the edits.
TEST(Pack, EditsChangeOnlyTheEditedPics) {
  std::mt19937 random(5);
  Bytes base = oddArchive(9);
  const testsupport::ModelRun before = testsupport::modelUnpack(base, false);
  ASSERT_GE(before.pics.size(), 10u);
  const int first = before.pics[2].id;
  const int second = before.pics[5].id;
  const int third = before.pics[8].id;
  // Equal pixels and equal prefixes make equal new blocks.
  std::copy_n(base.begin() + offsetOf(base, first), 3, base.begin() + offsetOf(base, third));
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", base);
  ASSERT_EQ(unpack(dir.path()).exitStatus, 0);
  const Sprite edit = testsupport::randomSprite(random);
  Sprite other = edit;
  other[1000] = Rgb{1, 2, 3};
  testsupport::writeSpritePng(dir / (std::to_string(first) + ".png"), edit);
  testsupport::writeSpritePng(dir / (std::to_string(second) + ".png"), other);
  testsupport::writeSpritePng(dir / (std::to_string(third) + ".png"), edit);  // shares first's block
  testsupport::writeSpritePng(dir / (std::to_string(before.pics[0].id) + ".png"), before.pics[0].sprite);
  std::filesystem::remove(dir / (std::to_string(before.pics[1].id) + ".png"));

  const ProgramRun run = pack(dir);
  ASSERT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.output, summary(3, static_cast<int>(before.pics.size()) - 3, 0));
  const Bytes packed = readFile(dir / "vorna.spr");
  ASSERT_GT(packed.size(), base.size());
  Bytes expected = base;
  for (const int id : {first, second, third}) {
    const std::size_t slot = 6 + 4 * static_cast<std::size_t>(id - 1);
    std::copy_n(packed.begin() + static_cast<long>(slot), 3, expected.begin() + static_cast<long>(slot));
    const std::uint32_t offset = offsetOf(packed, id);
    EXPECT_GE(offset, base.size());
    // The new block keeps the prefix of the base's block for that id.
    EXPECT_TRUE(
        std::equal(packed.begin() + offset, packed.begin() + offset + 3, base.begin() + offsetOf(base, id)));
  }
  EXPECT_EQ(Bytes(packed.begin(), packed.begin() + static_cast<long>(base.size())), expected);
  EXPECT_EQ(offsetOf(packed, first), offsetOf(packed, third));

  const testsupport::ModelRun after = testsupport::modelUnpack(packed, false);
  ASSERT_EQ(after.pics.size(), before.pics.size());
  for (std::size_t i = 0; i < after.pics.size(); ++i) {
    const int id = after.pics[i].id;
    const Sprite& want = id == first || id == third ? edit : id == second ? other : before.pics[i].sprite;
    EXPECT_EQ(after.pics[i].sprite, want) << id;
  }
  ScratchDir again;
  testsupport::writeFile(again / "vorna.spr", packed);
  ASSERT_EQ(unpack(again.path()).exitStatus, 0);
  const auto png = testsupport::readPng(again / (std::to_string(second) + ".png"));
  ASSERT_TRUE(png);
  EXPECT_EQ(testsupport::compareWithSprite(*png, other), "");
}

Sprite onePixel(std::size_t p, Rgb colour) {
  Sprite sprite;
  sprite.at(p) = colour;
  return sprite;
}

// The compact layout, chosen when appending cannot work: the count grows, an
// appended block would start past the 24-bit offsets, or a kept block reads
// table bytes that appending rewrites. Kept blocks are copied whole.
TEST(Pack, CompactLayoutWhenAppendingCannotWork) {
  {
    ScratchDir dir;
    const Bytes base = testsupport::mixedArchive();  // 4 slots, slot 2 empty with b3 0x55
    testsupport::writeFile(dir / "vorna.spr", base);
    ASSERT_EQ(unpack(dir.path()).exitStatus, 0);
    testsupport::writeSpritePng(dir / "9.png", onePixel(3, Rgb{3, 3, 3}));
    const ProgramRun run = pack(dir);
    ASSERT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(run.output, summary(0, 3, 1, "the pic count grew past the base's"));
    const Bytes packed = readFile(dir / "vorna.spr");
    EXPECT_EQ(packed[4], 9);
    EXPECT_EQ(packed[6 + 4 + 3], 0x55);
    const testsupport::ModelRun model = testsupport::modelUnpack(packed, false);
    const testsupport::ModelRun original = testsupport::modelUnpack(base, false);
    ASSERT_EQ(model.pics.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(model.pics[i].sprite, original.pics[i].sprite);
    EXPECT_EQ(model.pics[3].sprite, onePixel(3, Rgb{3, 3, 3}));
  }
  {
    // The base's bytes end at the last offset a block can have.
    ArchiveWriter writer;
    writer.addSprite(onePixel(0, Rgb{1, 1, 1}));
    writer.addSprite(onePixel(1, Rgb{2, 2, 2}));
    Bytes base = writer.bytes();
    base.resize(std::size_t{1} << 24);
    ScratchDir dir;
    testsupport::writeFile(dir / "vorna.spr", base);
    testsupport::writeSpritePng(dir / "2.png", onePixel(9, Rgb{9, 9, 9}));
    const ProgramRun run = pack(dir);
    ASSERT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(run.output, summary(1, 1, 0, "an appended block would start past the 24-bit offsets"));
    const testsupport::ModelRun model = testsupport::modelUnpack(readFile(dir / "vorna.spr"), false);
    ASSERT_EQ(model.pics.size(), 2u);
    EXPECT_EQ(model.pics[0].sprite, onePixel(0, Rgb{1, 1, 1}));
    EXPECT_EQ(model.pics[1].sprite, onePixel(9, Rgb{9, 9, 9}));
    EXPECT_LT(readFile(dir / "vorna.spr").size(), 100u);
  }
  {
    // Pic 1's block lies on the table: its size comes from its own entry's
    // fourth byte and pic 2's first byte, its one run is pic 2's other bytes
    // and the byte after the table. Giving pic 2 a block rewrites them.
    const Bytes base = {'V', 'S', 'P', 'R', 2, 0, 6, 0, 0, 4, 0, 0, 0, 0, 0};
    ScratchDir dir;
    testsupport::writeFile(dir / "vorna.spr", base);
    testsupport::writeSpritePng(dir / "2.png", onePixel(5, Rgb{5, 5, 5}));
    const ProgramRun run = pack(dir);
    ASSERT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(run.output, summary(0, 1, 1, "a kept block reads bytes that appending would change"));
    const Bytes packed = readFile(dir / "vorna.spr");
    // Pic 1's block, all 9 bytes it reads, comes first after the table.
    EXPECT_EQ(Bytes(packed.begin() + 14, packed.begin() + 23), Bytes(base.begin() + 6, base.end()));
    const testsupport::ModelRun model = testsupport::modelUnpack(packed, false);
    EXPECT_EQ(model.exitStatus, 0);
    ASSERT_EQ(model.pics.size(), 2u);
    EXPECT_EQ(model.pics[0].sprite, Sprite{});
    EXPECT_EQ(model.pics[1].sprite, onePixel(5, Rgb{5, 5, 5}));
  }
}

// Blocks that read 196,614 bytes each (t and c of 65,535 over a stretch of
// 0xFF bytes) overlap in the base, but must be copied apart in the compact
// layout, where the 87th no longer starts within 16 MiB.
TEST(Pack, CompactLayoutThatCannotAddressEveryBlockNamesThePicAndWritesNothing) {
  const std::size_t count = 90;
  Bytes base = {'V', 'S', 'P', 'R'};
  testsupport::appendLe16(base, count);
  const std::size_t blocks = 6 + 4 * count;
  for (std::size_t k = 0; k < count; ++k) {
    testsupport::appendLe32(base, static_cast<std::uint32_t>(blocks + k));
  }
  base.resize(blocks + count + 196614, 0xFF);
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", base);
  const auto files = snapshot(dir);
  const int misfit = static_cast<int>(((std::size_t{1} << 24) - blocks + 196613) / 196614) + 1;
  const ProgramRun run = pack(dir, {"--compact"});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, "vorna-pack: vorna.spr: pic " + std::to_string(misfit) +
                            " does not fit: blocks must start within the first 16 MiB (24-bit offsets)\n");
  EXPECT_EQ(snapshot(dir), files);
}

// A damaged base still gives a whole archive: a pic whose block is cut is
// encoded anew from its PNG, or without one from what vorna-unpack draws for
// it; table entries the base lacks are empty slots.
TEST(Pack, DamagedBaseGivesAWholeArchive) {
  ArchiveWriter writer;
  writer.addSprite(onePixel(0, Rgb{1, 1, 1}));
  writer.addPic(encodeRuns({{0, {Rgb{2, 2, 2}, Rgb{3, 3, 3}}}}));
  writer.addSprite(onePixel(7, Rgb{7, 7, 7}));
  Bytes base = writer.bytes(/*reverseBlocks=*/true);  // pic 1's block last
  base.pop_back();                                    // and cut inside its only colour
  const Sprite drawn1;                                // what the converter draws for pic 1: nothing
  const Sprite drawn2 = testsupport::modelUnpack(base, false).pics[1].sprite;  // whole, and kept
  for (const bool withPngs : {true, false}) {
    ScratchDir dir;
    testsupport::writeFile(dir / "vorna.spr", base);
    ASSERT_EQ(unpack(dir.path()).exitStatus, 2);
    if (!withPngs) std::filesystem::remove(dir / "1.png");
    const ProgramRun run = pack(dir);
    ASSERT_EQ(run.exitStatus, 0) << run.errors;
    EXPECT_EQ(run.output, summary(1, 2, 0));
    const testsupport::ModelRun model = testsupport::modelUnpack(readFile(dir / "vorna.spr"), false);
    EXPECT_EQ(model.exitStatus, 0);
    ASSERT_EQ(model.pics.size(), 3u);
    EXPECT_EQ(model.pics[0].sprite, drawn1);
    EXPECT_EQ(model.pics[1].sprite, drawn2);
  }
  // Cut inside the table: pic 3's entry is gone, and so is its slot.
  base.resize(6 + 4 * 2 + 2);
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", base);
  testsupport::writeSpritePng(dir / "1.png", onePixel(4, Rgb{4, 4, 4}));
  const ProgramRun run = pack(dir);
  ASSERT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.output, summary(2, 0, 0, "the base's header or table is cut short"));
  const Bytes packed = readFile(dir / "vorna.spr");
  const testsupport::ModelRun model = testsupport::modelUnpack(packed, false);
  EXPECT_EQ(model.output, "Number of pics: 3\n");
  ASSERT_EQ(model.pics.size(), 2u);
  EXPECT_EQ(model.pics[0].sprite, onePixel(4, Rgb{4, 4, 4}));
  EXPECT_EQ(model.pics[1].sprite, Sprite{});
  EXPECT_EQ(offsetOf(packed, 3), 0u);
}

// Every bad input is listed, and the directory is left exactly as it was.
TEST(Pack, BadInputsAreAllListedAndLeaveTheDirectoryAsItWas) {
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", testsupport::mixedArchive());
  ASSERT_EQ(unpack(dir.path()).exitStatus, 0);
  const Bytes good = readFile(dir / "1.png");
  for (const char* name : {"0.png", "07.png", "70000.png", "123456.png"}) {
    testsupport::writeFile(dir / name, good);
  }
  testsupport::writeFile(dir / "notes.txt", {1, 2, 3});  // not a pic's name: ignored
  testsupport::writeFile(dir / "x1.png", {1, 2, 3});     // skipped, with a word
  testsupport::PngLayout small;
  small.width = small.height = 16;
  small.rows.resize(std::size_t{16} * 16 * 4);
  testsupport::writePngFile(dir / "3.png", small);
  testsupport::writeFile(dir / "5.png", {'h', 'i'});
  testsupport::writeFile(dir / "6.png", Bytes(good.begin(), good.end() - 30));
  testsupport::PngLayout halfAlpha;
  halfAlpha.rows.resize(std::size_t{32} * 32 * 4);
  halfAlpha.rows[(2 * 32 + 1) * 4 + 3] = 200;
  testsupport::writePngFile(dir / "8.png", halfAlpha);
  // Wider than libpng takes on a 32-bit machine: said alike on every one.
  Bytes wide = {0x89, 'P',  'N',  'G',  '\r', '\n', 0x1A, '\n', 0,  0, 0, 13, 'I', 'H', 'D',
                'R',  0x1F, 0xFF, 0xFF, 0xF9, 0,    0,    0,    32, 8, 6, 0,  0,   0};
  const auto crc = static_cast<std::uint32_t>(crc32(0, wide.data() + 12, 17));
  for (const int shift : {24, 16, 8, 0}) wide.push_back(static_cast<std::uint8_t>(crc >> shift));
  testsupport::writeFile(dir / "9.png", wide);
  const auto files = snapshot(dir);

  const ProgramRun run = pack(dir);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.output, "");
  std::set<std::string> named;
  std::istringstream lines(run.errors);
  for (std::string line; std::getline(lines, line);) {
    ASSERT_EQ(line.rfind("vorna-pack: ", 0), 0u) << line;
    named.insert(line.substr(12, line.find(": ", 12) - 12));
  }
  EXPECT_EQ(named, (std::set<std::string>{"0.png", "07.png", "70000.png", "123456.png", "3.png", "5.png",
                                          "6.png", "8.png", "9.png", "x1.png"}));
  EXPECT_NE(run.errors.find("x1.png: skipped: not a pic's name"), std::string::npos);
  EXPECT_NE(run.errors.find("9.png: is 536870905 x 32, not 32 x 32\n"), std::string::npos);
  EXPECT_NE(run.errors.find("8.png: pixel (1, 2) has alpha 200"), std::string::npos);
  EXPECT_EQ(snapshot(dir), files);

  // Bad command lines: status 2 and the usage; a missing base or an output
  // that is no file: status 1. Nothing changes either way.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--bogus"},
                                             {"--alpha-cutoff", "0"},
                                             {"--alpha-cutoff=256"},
                                             {"a", "b"},
                                             {"-o"},
                                             {"-b", "x", "--no-base"}}) {
    const ProgramRun usage = pack(dir, args);
    EXPECT_EQ(usage.exitStatus, 2) << args[0];
    EXPECT_NE(usage.errors.find("usage: vorna-pack"), std::string::npos) << args[0];
  }
  // (The bad PNGs are listed as well.)
  EXPECT_NE(pack(dir, {"-b", "missing.spr"}).errors.find("\nvorna-pack: missing.spr: cannot be opened"),
            std::string::npos);
  EXPECT_NE(pack(dir, {"-o", "."}).errors.find("\nvorna-pack: .: is not a regular file\n"),
            std::string::npos);
  // A file given as the directory: it, and the archive under it, alike on every build.
  const std::string notDirectory = pack(dir, {"notes.txt"}).errors;
  std::size_t said = 0;
  for (std::size_t at = 0;
       (at = notDirectory.find(": cannot be read: Not a directory\n", at)) != std::string::npos; ++at) {
    ++said;
  }
  EXPECT_EQ(said, 2u) << notDirectory;
  EXPECT_EQ(snapshot(dir), files);
}

// A read-only archive is not replaced, and that is known before any work,
// whoever runs the pack: root, and user nobody when the tests run as root.
TEST(Pack, ReadOnlyArchiveIsNotReplaced) {
  if (testsupport::underWine()) {
    GTEST_SKIP() << "wine runs only as the owner of its prefix, never as user nobody";
  }
  ScratchDir dir;
  const Bytes base = testsupport::mixedArchive();
  testsupport::writeFile(dir / "vorna.spr", base);
  testsupport::writeSpritePng(dir / "1.png", onePixel(9, Rgb{9, 9, 9}));
  namespace fs = std::filesystem;
  fs::permissions(dir / "vorna.spr", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(dir.path(), fs::perms::all);
  for (const bool unprivileged : {false, true}) {
    const ProgramRun run = testsupport::runProgram(VORNA_PACK, dir.path(), {}, unprivileged);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.errors, "vorna-pack: vorna.spr: cannot be replaced: permission denied\n");
    EXPECT_EQ(dir.names(), (std::set<std::string>{"vorna.spr", "1.png"}));
    EXPECT_EQ(readFile(dir / "vorna.spr"), base);
  }
}

// A folder that its user may write and search but not list (0333) takes a
// new archive as any other.
TEST(Pack, ArchiveInAFolderThatCannotBeListedIsReplaced) {
  if (testsupport::underWine() || geteuid() != 0) {
    GTEST_SKIP() << "needs root, to run the pack as user nobody";
  }
  namespace fs = std::filesystem;
  ScratchDir pngs;
  testsupport::writeSpritePng(pngs / "1.png", onePixel(9, Rgb{9, 9, 9}));
  fs::permissions(pngs.path(), fs::perms::all);
  ScratchDir locked;
  testsupport::writeFile(locked / "vorna.spr", testsupport::mixedArchive());
  fs::permissions(locked / "vorna.spr",
                  fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  fs::permissions(locked.path(), fs::perms::owner_all | fs::perms::group_write | fs::perms::group_exec |
                                     fs::perms::others_write | fs::perms::others_exec);
  const ProgramRun run = testsupport::runProgram(
      VORNA_PACK, pngs.path(), {".", "-o", (locked / "vorna.spr").string()}, /*unprivileged=*/true);
  EXPECT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.output,
            "vorna-pack: wrote " + (locked / "vorna.spr").string() + ": 3 pics, 1 changed, 2 kept, 0 new\n");
}

// Each entry's name and kind: a snapshot that never opens a FIFO.
std::map<std::string, std::filesystem::file_type> kinds(const ScratchDir& dir) {
  std::map<std::string, std::filesystem::file_type> found;
  for (const std::string& name : dir.names()) {
    found[name] = std::filesystem::symlink_status(dir / name).type();
  }
  return found;
}

// An output, or a .bak, that is there but is not a regular file (nor a link
// to one) is refused before any work, dry run or not, and nothing changes:
// no device node is ever replaced.
TEST(Pack, OutputsThatAreNotFilesAreRefused) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows has no FIFOs or device nodes";
  namespace fs = std::filesystem;
  ScratchDir dir;
  const Bytes base = testsupport::mixedArchive();
  testsupport::writeFile(dir / "vorna.spr", base);
  testsupport::writeSpritePng(dir / "1.png", onePixel(9, Rgb{9, 9, 9}));
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_directory(dir / "folder");
  fs::create_symlink("fifo", dir / "to-fifo");
  std::vector<std::string> outputs = {"fifo", "folder", "to-fifo"};
  // A scratch device (the null device's numbers), where this user may make one.
  if (mknod((dir / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) outputs.push_back("null");
  const auto before = kinds(dir);
  for (const std::string& output : outputs) {
    for (const bool dryRun : {false, true}) {
      std::vector<std::string> args = {"-o", output};
      if (dryRun) args.push_back("--dry-run");
      const ProgramRun run = pack(dir, args);
      EXPECT_EQ(run.exitStatus, 1) << output;
      // A link is followed: the message names the file it leads to.
      EXPECT_EQ(run.errors,
                "vorna-pack: " + (output == "to-fifo" ? "fifo" : output) + ": is not a regular file\n");
      EXPECT_EQ(kinds(dir), before) << output;
    }
  }
  // A .bak that is no backup: a folder, a link to nothing, a link to the
  // archive itself (which would show the new archive); or a name the system
  // cannot give.
  const std::map<std::string, std::string> backups = {
      {"folder", "is not a regular file"},
      {"nowhere", "is not a regular file"},
      {"vorna.spr", "is a link to the archive itself, not a backup of it"},
  };
  for (const auto& [what, why] : backups) {
    if (what == "folder") {
      fs::create_directory(dir / "vorna.spr.bak");
    } else {
      fs::create_symlink(what, dir / "vorna.spr.bak");
    }
    const auto withBackup = kinds(dir);
    const ProgramRun run = pack(dir);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.errors, "vorna-pack: vorna.spr.bak: " + why + "\n");
    EXPECT_EQ(kinds(dir), withBackup);
    fs::remove(dir / "vorna.spr.bak");
  }
  // A name like this program's temporaries', which any run would remove.
  fs::copy_file(dir / "vorna.spr", dir / ".vorna-1.tmp");
  ProgramRun taken = pack(dir, {"-o", ".vorna-1.tmp"});
  EXPECT_EQ(taken.exitStatus, 1);
  EXPECT_EQ(taken.errors,
            "vorna-pack: .vorna-1.tmp: is named as this program's temporary files are, and would be lost\n");
  EXPECT_EQ(readFile(dir / ".vorna-1.tmp"), base);
  taken = pack(dir, {"-b", ".vorna-1.tmp", "-o", "other.spr"});  // nor a base so named
  EXPECT_EQ(taken.exitStatus, 1);
  EXPECT_EQ(readFile(dir / ".vorna-1.tmp"), base);
  fs::remove(dir / ".vorna-1.tmp");

  const std::string longest(252, 'x');  // the longest name there may be is 255 bytes
  fs::copy_file(dir / "vorna.spr", dir / longest);
  const ProgramRun run = pack(dir, {"-o", longest});
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.errors, "vorna-pack: " + longest + ".bak: cannot be created: File name too long\n");
  fs::remove(dir / longest);
  EXPECT_EQ(kinds(dir), before);
}

// --dry-run does all the work, the check of the archive included, and writes
// nothing.
TEST(Pack, DryRunWritesNothing) {
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", testsupport::mixedArchive());
  testsupport::writeSpritePng(dir / "1.png", onePixel(9, Rgb{9, 9, 9}));
  const auto files = snapshot(dir);
  const ProgramRun run = pack(dir, {"-n"});
  EXPECT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.output, "vorna-pack: would write vorna.spr: 3 pics, 1 changed, 2 kept, 0 new\n");
  EXPECT_EQ(snapshot(dir), files);
}

// A symlinked archive is written where it points: the link stays, the file
// it leads to gets the new archive (keeping its mode), and the .bak goes
// beside that file. The summary names it.
TEST(Pack, SymlinkedArchiveIsWrittenWhereItPoints) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows' C library knows no symlinks";
  namespace fs = std::filesystem;
  ScratchDir dir;
  fs::create_directory(dir / "store");
  const Bytes base = testsupport::mixedArchive();
  testsupport::writeFile(dir / "store" / "real.spr", base);
  fs::permissions(dir / "store" / "real.spr", fs::perms::owner_read | fs::perms::owner_write);
  fs::create_symlink("store/real.spr", dir / "vorna.spr");
  testsupport::writeSpritePng(dir / "1.png", onePixel(9, Rgb{9, 9, 9}));
  const ProgramRun run = pack(dir);
  ASSERT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.output, "vorna-pack: wrote store/real.spr: 3 pics, 1 changed, 2 kept, 0 new\n");
  EXPECT_TRUE(fs::is_symlink(dir / "vorna.spr"));
  EXPECT_EQ(fs::read_symlink(dir / "vorna.spr"), "store/real.spr");
  EXPECT_EQ(readFile(dir / "store" / "real.spr.bak"), base);
  EXPECT_EQ(fs::status(dir / "store" / "real.spr").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(testsupport::modelUnpack(readFile(dir / "vorna.spr"), false).pics.at(0).sprite,
            onePixel(9, Rgb{9, 9, 9}));
  EXPECT_EQ(dir.names(), (std::set<std::string>{"store", "vorna.spr", "1.png"}));
}

// The .bak holds the archive as it was before the first pack, whole, even
// where the file system has no hard links (a flushed copy then); it is never
// replaced or removed by another pack, however the two meet; and a .bak that
// cannot be made stops the pack, saying why, with nothing changed.
TEST(Pack, BackupsAreWholeAndNeverDestroyed) {
  if (testsupport::underWine()) GTEST_SKIP() << "the system calls refused here are Linux's";
  ScratchDir dir;
  const Bytes base = testsupport::mixedArchive();
  testsupport::writeFile(dir / "vorna.spr", base);
  testsupport::writeSpritePng(dir / "1.png", onePixel(9, Rgb{9, 9, 9}));
  testsupport::RunOptions options;
  options.refused = testsupport::noLinks();
  options.refused.push_back({SYS_fsync, EIO});
  const auto files = snapshot(dir);
  ProgramRun run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.errors, "vorna-pack: vorna.spr.bak: cannot be created: Input/output error\n");
  EXPECT_EQ(snapshot(dir), files);

  // With links, the .bak is made; should the archive then fail to be
  // replaced, that .bak stays (another pack may count on it already).
  options.refused = {{SYS_fsync, EIO}};
  run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.errors, "vorna-pack: vorna.spr: cannot be replaced: Input/output error\n");
  EXPECT_EQ(readFile(dir / "vorna.spr"), base);
  EXPECT_EQ(readFile(dir / "vorna.spr.bak"), base);
  std::filesystem::remove(dir / "vorna.spr.bak");

  // No links, and no modes kept (vfat refuses to set them): a copy.
  options.refused = testsupport::noLinks();
  options.refused.push_back({SYS_fchmod, EPERM});
  run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
  ASSERT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(readFile(dir / "vorna.spr.bak"), base);
  EXPECT_EQ(dir.names(), (std::set<std::string>{"vorna.spr", "vorna.spr.bak", "1.png"}));

  // Packs two at a time, on ever new archives: whichever makes the .bak, it
  // holds the archive as it was.
  for (int round = 0; round < 15; ++round) {
    std::filesystem::remove(dir / "vorna.spr.bak");
    testsupport::writeFile(dir / "vorna.spr", base);
    testsupport::writeSpritePng(dir / "1.png", onePixel(static_cast<std::size_t>(round), Rgb{1, 2, 3}));
    testsupport::RunOptions second;
    second.refused = round % 2 == 0 ? testsupport::noLinks() : std::vector<testsupport::RefusedCall>{};
    std::thread other([&] { testsupport::runProgram(VORNA_PACK, dir.path(), second); });
    pack(dir);
    other.join();
    EXPECT_EQ(readFile(dir / "vorna.spr.bak"), base) << round;
  }
}

// Packs into one archive at the same time, each with an edit of its own:
// every pack that says it wrote finds its edit in the archive at the end; a
// pack that would have written over another's says the archive changed.
TEST(Pack, ConcurrentPacksNeverLoseAnEdit) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows' rename cannot swap two names";
  ScratchDir dir;
  const Bytes base = testsupport::mixedArchive();  // pics 1, 3 and 4
  const std::vector<int> ids = {1, 3, 4};
  for (const int id : ids) std::filesystem::create_directory(dir / std::to_string(id));
  for (int round = 0; round < 12; ++round) {
    testsupport::writeFile(dir / "vorna.spr", base);
    std::filesystem::remove(dir / "vorna.spr.bak");
    std::vector<ProgramRun> runs(ids.size());
    std::vector<std::thread> packs;
    for (std::size_t k = 0; k < ids.size(); ++k) {
      const std::string sub = std::to_string(ids[k]);
      testsupport::writeSpritePng(
          dir / sub / (sub + ".png"),
          onePixel(static_cast<std::size_t>(round), Rgb{1, 2, static_cast<std::uint8_t>(ids[k])}));
      packs.emplace_back([&, k, sub] {
        runs[k] = testsupport::runProgram(VORNA_PACK, dir.path(), {sub, "-o", "vorna.spr"});
      });
    }
    for (std::thread& pack : packs) pack.join();
    const testsupport::ModelRun model = testsupport::modelUnpack(readFile(dir / "vorna.spr"), false);
    for (std::size_t k = 0; k < ids.size(); ++k) {
      if (runs[k].exitStatus == 0) {
        const auto pic =
            std::find_if(model.pics.begin(), model.pics.end(),
                         [&](const testsupport::ModelPic& candidate) { return candidate.id == ids[k]; });
        ASSERT_NE(pic, model.pics.end());
        EXPECT_EQ(pic->sprite,
                  onePixel(static_cast<std::size_t>(round), Rgb{1, 2, static_cast<std::uint8_t>(ids[k])}))
            << "round " << round << ": the edit of a pack that wrote is lost";
      } else {
        EXPECT_EQ(runs[k].errors, "vorna-pack: vorna.spr: changed during the run: nothing replaced\n");
      }
    }
    EXPECT_EQ(readFile(dir / "vorna.spr.bak"), base);
  }
}

// vorna-pack never waits on a FIFO, reads only regular files, and never
// takes the archive it writes for a PNG.
TEST(Pack, PngsThatAreNoFilesOrAreTheArchiveAreRefused) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows has no FIFOs or symlinks here";
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", testsupport::mixedArchive());
  ASSERT_EQ(mkfifo((dir / "5.png").c_str(), 0644), 0);
  std::filesystem::create_symlink("5.png", dir / "6.png");
  std::filesystem::create_symlink("vorna.spr", dir / "7.png");
  testsupport::RunOptions options;
  options.timeoutSeconds = 10;
  const ProgramRun run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.errors,
            "vorna-pack: 5.png: is not a regular file\n"
            "vorna-pack: 6.png: is not a regular file\n"
            "vorna-pack: 7.png: is the archive being written\n");
  EXPECT_EQ(readFile(dir / "vorna.spr"), testsupport::mixedArchive());
}

// ".png" counts in any case, as vorna-unpack counts its own images; a second
// file for one pic is an error; other *.png names are skipped with a word;
// and with no PNG and no base there is nothing to pack.
TEST(Pack, PicNamesAndNothingToPack) {
  ScratchDir dir;
  testsupport::writeSpritePng(dir / "2.PNG", onePixel(2, Rgb{2, 2, 2}));
  for (const char* name : {" 5.png", "+5.png", "five.png"}) testsupport::writeSpritePng(dir / name, Sprite{});
  ProgramRun run = pack(dir);
  ASSERT_EQ(run.exitStatus, 0) << run.errors;
  EXPECT_EQ(run.output, summary(0, 0, 1));
  std::set<std::string> skipped;
  std::istringstream lines(run.errors);
  for (std::string line; std::getline(lines, line);) skipped.insert(line);
  EXPECT_EQ(skipped,
            (std::set<std::string>{"vorna-pack:  5.png: skipped: not a pic's name (1.png to 65535.png)",
                                   "vorna-pack: +5.png: skipped: not a pic's name (1.png to 65535.png)",
                                   "vorna-pack: five.png: skipped: not a pic's name (1.png to 65535.png)"}));
  EXPECT_EQ(testsupport::modelUnpack(readFile(dir / "vorna.spr"), false).pics.at(0).sprite,
            onePixel(2, Rgb{2, 2, 2}));

  if (!testsupport::underWine()) {  // one name only, where case does not tell names apart
    testsupport::writeSpritePng(dir / "2.png", Sprite{});
    run = pack(dir, {"-n"});
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.errors.find("vorna-pack: 2.png: is pic 2's PNG as well as 2.PNG\n"), std::string::npos);
  }

  ScratchDir empty;
  run = pack(empty);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.errors,
            "vorna-pack: .: holds no pic's PNG (1.png to 65535.png) and there is no base archive: nothing to "
            "pack\n");
  EXPECT_TRUE(empty.names().empty());
}

// Past the file size limit (ulimit -f) a write fails and says so, and no
// temporary is left, rather than the run ending on the spot by SIGXFSZ.
TEST(Pack, FileSizeLimitIsAWriteFailure) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows has no file size limit";
  ScratchDir dir;
  std::mt19937 random(2);
  for (int id = 1; id <= 20; ++id) {
    testsupport::writeSpritePng(dir / (std::to_string(id) + ".png"), testsupport::randomSprite(random));
  }
  const std::set<std::string> pngs = dir.names();
  testsupport::RunOptions options;
  options.fileSizeLimit = 1000;  // less than the archive, more than a line on standard error
  const ProgramRun run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.errors, "vorna-pack: vorna.spr: cannot be written: File too large\n");
  EXPECT_EQ(dir.names(), pngs);
}

// A summary that standard output cannot take (a full disk) is a failure, as
// for vorna-unpack: status 2, though the archive is written.
TEST(Pack, LostSummaryIsStatus2) {
  if (testsupport::underWine()) GTEST_SKIP() << "Windows has no full device";
  ScratchDir dir;
  if (mknod((dir / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0) {
    GTEST_SKIP() << "this user cannot make a scratch full device";
  }
  testsupport::writeSpritePng(dir / "1.png", onePixel(1, Rgb{1, 1, 1}));
  testsupport::RunOptions options;
  options.outputFile = dir / "full";
  const ProgramRun run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
  EXPECT_EQ(run.exitStatus, 2);
  EXPECT_TRUE(std::filesystem::exists(dir / "vorna.spr"));
}

// Stopped by a signal at any moment, a pack leaves vorna.spr as it was or
// wholly new, its .bak absent or the old archive, and no temporary file.
TEST(Pack, InterruptedPackLeavesTheOldArchiveOrTheNewOne) {
  if (testsupport::underWine()) GTEST_SKIP() << "POSIX signals reach wine, not the Windows program";
  std::mt19937 random(3);
  ArchiveWriter writer;
  for (int id = 1; id <= 800; ++id) writer.addSprite(testsupport::randomSprite(random));
  const Bytes base = writer.bytes();
  ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", base);
  ASSERT_EQ(unpack(dir.path()).exitStatus, 0);
  for (int id = 1; id <= 800; id += 3) {
    testsupport::writeSpritePng(dir / (std::to_string(id) + ".png"), Sprite{});
  }
  auto files = snapshot(dir);

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(pack(dir).exitStatus, 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Bytes packed = readFile(dir / "vorna.spr");
  std::filesystem::remove(dir / "vorna.spr.bak");
  testsupport::writeFile(dir / "vorna.spr", base);

  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const double instant : {0.1, 0.4, 0.7, 0.95}) {
      testsupport::RunOptions options;
      options.interruptSignal = signal;
      options.interruptAfter = instant * seconds;
      const ProgramRun run = testsupport::runProgram(VORNA_PACK, dir.path(), options);
      auto after = snapshot(dir);
      const Bytes archive = after["vorna.spr"];
      EXPECT_TRUE(archive == base || archive == packed) << signal << " at " << instant;
      EXPECT_TRUE(run.exitStatus == 0 || run.signal == signal);
      // A signal between making the .bak and the rename leaves the .bak,
      // which still holds the archive as it was before the first pack.
      EXPECT_TRUE(after.count("vorna.spr.bak") == 0 || after["vorna.spr.bak"] == base);
      EXPECT_TRUE(archive == base || after.count("vorna.spr.bak") == 1);
      after["vorna.spr"] = base;
      after.erase("vorna.spr.bak");
      EXPECT_EQ(after, files) << "a file left or changed: " << signal << " at " << instant;
      testsupport::writeFile(dir / "vorna.spr", base);
      std::filesystem::remove(dir / "vorna.spr.bak");
    }
  }
}

}  // namespace
