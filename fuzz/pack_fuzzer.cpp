// Fuzz target: vorna-pack's plan and layouts over an arbitrary base archive
// and arbitrary edits, checked against the plain model of the format.
//
// The input is the base's bytes followed by the edits and, last, their count
// e (0..7, the last byte mod 8). Each edit is 3 bytes: an id (1 + a 16-bit
// value mod 64) and a byte s: 255 gives the pic the pixels the base draws for
// it (an unchanged PNG), anything else a random sprite drawn from seed s.
// The base's count is taken mod 512.
//
// For every input:
//   - the plan succeeds: a damaged base is no reason to fail;
//   - the compact layout reads back, both by the product's own check and by
//     the model: every pic listed as planned and drawn as intended (the edit,
//     or what the converter draws for the base's pic), no cut, and new blocks
//     read the same plainly (t transparent pixels, then c colours);
//   - the appended layout, when the plan allows it, either passes the same
//     checks or is refused by the product's check; with no edits and a whole
//     base it is the base byte for byte.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>

#include "pack/pack_plan.h"
#include "testsupport/archive_writer.h"
#include "testsupport/model_unpack.h"
#include "testsupport/sample_archives.h"

namespace {

using testsupport::pixelsOf;

using testsupport::Bytes;
using testsupport::Sprite;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "pack_fuzzer: %s\n", why.c_str());
  std::abort();
}

struct Input {
  Bytes base;
  std::map<int, Sprite> edits;  // by id
};

Input parse(const std::uint8_t* data, std::size_t size) {
  Input input;
  std::size_t end = size;
  const std::size_t count = size > 0 ? data[--end] % 8u : 0;
  std::map<int, int> seeds;
  for (std::size_t k = 0; k < count && end >= 3; ++k) {
    end -= 3;
    seeds[1 + (data[end] | data[end + 1] << 8) % 64] = data[end + 2];
  }
  input.base.assign(data, data + end);
  // Counts up to 511 only: a count of thousands makes every input slow and
  // finds nothing a few hundred would not.
  if (input.base.size() >= 6) input.base[5] &= 1;
  const testsupport::ModelRun base = testsupport::modelUnpack(input.base, false);
  for (const auto& [id, seed] : seeds) {
    Sprite& sprite = input.edits[id];
    if (seed != 255) {
      std::mt19937 random(static_cast<unsigned>(seed));
      sprite = testsupport::randomSprite(random);
      continue;
    }
    const auto pic =
        std::find_if(base.pics.begin(), base.pics.end(),
                     [id = id](const testsupport::ModelPic& candidate) { return candidate.id == id; });
    if (pic != base.pics.end()) sprite = pic->sprite;
  }
  return input;
}

Bytes writeOut(const PackPlan& plan, const Placement& placement, BaseArchive& base, bool appended) {
  Bytes out;
  const Sink sink = [&out](const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
    return true;
  };
  const bool written =
      appended ? writeAppended(plan, placement, base, sink) : writeCompact(plan, placement, &base, sink);
  if (!written) fail("writing failed");
  return out;
}

bool readsBack(const Bytes& out, const PackPlan& plan) { return verifyPack(out.data(), out.size(), plan); }

// What every pic of the output must draw: the edit, or the base's pic.
void checkAgainstModel(const Bytes& out, const Input& input, const PackPlan& plan) {
  const testsupport::ModelRun base = testsupport::modelUnpack(input.base, false);
  std::map<int, Sprite> want;
  for (const testsupport::ModelPic& pic : base.pics) want[pic.id] = pic.sprite;
  for (const auto& [id, sprite] : input.edits) want[id] = sprite;

  const testsupport::ModelRun got = testsupport::modelUnpack(out, false);
  if (got.exitStatus != 0) fail("the archive written is not whole");
  if (got.output.rfind("Number of pics: " + std::to_string(plan.slots.size()) + "\n", 0) != 0) {
    fail("wrong count");
  }
  if (got.pics.size() != want.size()) fail("wrong pics listed");
  for (const testsupport::ModelPic& pic : got.pics) {
    const auto wanted = want.find(pic.id);
    if (wanted == want.end() || pic.sprite != wanted->second) {
      fail("pic " + std::to_string(pic.id) + " draws wrongly");
    }
    const PlannedSlot& slot = plan.slots[static_cast<std::size_t>(pic.id - 1)];
    if (slot.kind != SlotKind::kept && testsupport::readPlainly(out, pic.id) != pic.sprite) {
      fail("new block of pic " + std::to_string(pic.id) + " reads differently plainly");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Input input = parse(data, size);
  BaseArchive base;
  takeBase(input.base, base);

  PicSource source;
  for (const auto& entry : input.edits) source.ids.push_back(entry.first);
  source.load = [&input](int id, PicPixels& pixels) {
    pixels = pixelsOf(input.edits.at(id));
    return true;
  };
  PackPlan plan;
  if (!planPack(&base, source, plan)) fail("planning failed");

  const Placement compact = placeCompact(plan);
  if (compact.misfit == 0) {  // inputs this small always fit
    const Bytes out = writeOut(plan, compact, base, false);
    if (!readsBack(out, plan)) fail("the compact layout does not read back");
    checkAgainstModel(out, input, plan);
  }
  if (plan.appendable) {
    if (const std::optional<Placement> appended = placeAppended(plan, base)) {
      const Bytes out = writeOut(plan, *appended, base, true);
      if (readsBack(out, plan)) checkAgainstModel(out, input, plan);
      const bool unchanged = plan.changed == 0 && plan.added == 0;
      if (unchanged && out != input.base) fail("nothing changed, yet the archive did");
    }
  }
  return 0;
}
