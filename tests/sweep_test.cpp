// Every prefix of a few valid archives, and many single-byte changes to them,
// run through the real program. For each one the program must print exactly
// what the plain model of the format predicts (so the end-of-archive lines
// appear exactly when the decoder reaches the cut), exit with 0 or 2 as the
// model says, print nothing on standard error, and leave only complete PNG
// files that show the model's pixels.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "testsupport/archive_writer.h"
#include "testsupport/model_unpack.h"
#include "testsupport/png_reader.h"
#include "testsupport/sample_archives.h"
#include "testsupport/scratch.h"

namespace {

using testsupport::Bytes;
using testsupport::handArchive;
using testsupport::mixedArchive;
using testsupport::reversedArchive;

// Runs the program on `archive` in a fresh directory; empty when everything
// it did matches the model, else what differed.
std::string checkRun(const Bytes& archive) {
  const testsupport::ScratchDir dir;
  testsupport::writeFile(dir / "vorna.spr", archive);
  const testsupport::ProgramRun run =
      testsupport::runProgram(testsupport::programUnderTest(VORNA_UNPACK), dir.path());
  const testsupport::ModelRun want = testsupport::modelUnpack(archive);
  if (run.exitStatus != want.exitStatus) {
    return "status " + std::to_string(run.exitStatus) + ", wanted " + std::to_string(want.exitStatus) +
           ", after printing\n" + run.output + "and on standard error\n" + run.errors;
  }
  if (run.output != want.output) return "printed\n" + run.output + "wanted\n" + want.output;
  if (!run.errors.empty()) return "standard error: " + run.errors;

  std::set<std::string> names = {"vorna.spr"};
  for (const testsupport::ModelPic& pic : want.pics) {
    const std::string name = std::to_string(pic.id) + ".png";
    names.insert(name);
    const auto png = testsupport::readPng(dir / name);
    if (!png) return name + " is missing or not a valid PNG";
    if (const std::string why = testsupport::compareWithSprite(*png, pic.sprite); !why.empty()) {
      return name + ": " += why;
    }
  }
  if (dir.names() != names) return "unexpected files in the directory";
  return {};
}

std::string describe(const char* what, std::size_t at, const std::string& why) {
  return std::string(what) + " " + std::to_string(at) + ": " + why;
}

void sweepPrefixes(const Bytes& archive) {
  ASSERT_EQ(checkRun(archive), "") << "the whole archive";
  ASSERT_EQ(testsupport::modelUnpack(archive).exitStatus, 0);
  for (std::size_t length = 0; length < archive.size(); ++length) {
    const Bytes prefix(archive.begin(), archive.begin() + static_cast<long>(length));
    const std::string why = checkRun(prefix);
    ASSERT_EQ(why, "") << describe("prefix of length", length, why);
  }
}

// Each byte in turn set to 0x00 and 0xFF and flipped in its lowest and
// highest bit: counts, offsets and sizes go to their extremes and just off.
void sweepChanges(const Bytes& archive) {
  for (std::size_t at = 0; at < archive.size(); ++at) {
    const std::uint8_t original = archive[at];
    const std::set<std::uint8_t> values = {0x00, 0xFF, static_cast<std::uint8_t>(original ^ 0x01),
                                           static_cast<std::uint8_t>(original ^ 0x80)};
    for (const std::uint8_t value : values) {
      if (value == original) continue;
      Bytes changed = archive;
      changed[at] = value;
      const std::string why = checkRun(changed);
      ASSERT_EQ(why, "") << describe("byte", at, why) << " set to " << int{value};
    }
  }
}

// Offsets and file positions at the top of their range (on 32-bit Windows
// too): the far archive whole, cut inside pic 1's block header, and cut in
// the colours of its one run that fall past the last pixel (the 1,501st).
TEST(Sweep, BlocksAsFarAsOffsetsReach) {
  const Bytes archive = testsupport::farArchive();
  const std::size_t top = 0xFFFFFF;
  for (const std::size_t length : {archive.size(), top + 3, top + 5 + 4 + 4501}) {
    const Bytes cut(archive.begin(), archive.begin() + static_cast<long>(length));
    const std::string why = checkRun(cut);
    ASSERT_EQ(why, "") << describe("length", length, why);
  }
}

TEST(Sweep, PrefixesOfMixedArchive) { sweepPrefixes(mixedArchive()); }
TEST(Sweep, PrefixesOfReversedArchive) { sweepPrefixes(reversedArchive()); }
TEST(Sweep, PrefixesOfHandArchive) { sweepPrefixes(handArchive()); }
TEST(Sweep, ChangesToMixedArchive) { sweepChanges(mixedArchive()); }
TEST(Sweep, ChangesToReversedArchive) { sweepChanges(reversedArchive()); }
TEST(Sweep, ChangesToHandArchive) { sweepChanges(handArchive()); }

}  // namespace
