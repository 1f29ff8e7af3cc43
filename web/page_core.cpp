#include "web/page_core.h"

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "archive/archive_layout.h"
#include "archive/archive_stream.h"
#include "archive/messages.h"
#include "archive/pic_names.h"
#include "convert/encode_runs.h"
#include "convert/pic_png.h"
#include "convert/unpack_pass.h"
#include "convert/walk_runs.h"
#include "pack/pack_archive.h"
#include "pack/pack_plan.h"
#include "pack/pic_files.h"
#include "pack/png_import.h"

namespace {

// The name vorna-pack is run with in the page's stead: its default output.
constexpr const char* archiveName = "vorna.spr";

// A PNG dropped for a pic, as a file in vorna-pack's directory.
struct Replacement {
  std::string name;
  ArchiveBytes png;
  std::string refusal;  // vorna-pack's line when it is refused, else empty
  // Accepted: a block whose runs draw its pixels, so that it is drawn on
  // demand like the archive's own blocks, and no pic's pixels are kept.
  ArchiveBytes block;
};

struct Session {
  BaseArchive base;  // the archive's bytes, all of them
  PicList pics;
  std::vector<std::int32_t> picOf;  // by id: index into pics, or -1
  std::vector<std::int32_t> slots;  // by id, pageSlotFields each
  std::string text;                 // every line said
  int lines = 0;
  int headLines = 0;
  std::map<int, Replacement> replacements;
  int alphaCutoff = exactAlpha;
  std::string cutoffError;  // what is wrong with the cutoff given, if anything
};

Session session;
ArchiveBytes result;
std::string notes;

std::int32_t& field(int id, PageSlotField which) {
  return session.slots[static_cast<std::size_t>(id) * pageSlotFields + static_cast<std::size_t>(which)];
}

bool isSlot(int id) { return id >= 1 && id < static_cast<int>(session.picOf.size()); }

// What vorna-pack says of a command line with that cutoff, the usage aside.
std::string usageLine() { return "vorna-pack: " + session.cutoffError + "\n"; }

void keepLine(const char* text, void* /*context*/) {
  session.text += text;
  ++session.lines;
}

// The slots the page shows: the table's, and any new id a PNG was dropped
// for, as vorna-pack's count grows to the highest PNG's.
void fitSlots() {
  int highest = session.base.index.count;
  if (!session.replacements.empty()) highest = std::max(highest, session.replacements.rbegin()->first);
  const auto slots = static_cast<std::size_t>(highest) + 1;
  session.picOf.resize(slots, -1);
  session.slots.resize(slots * pageSlotFields, 0);
}

// Takes the replacement's PNG at the present cutoff.
void take(int id, Replacement& replacement) {
  PicPixels pixels{};
  std::string error;
  replacement.block.clear();
  replacement.refusal.clear();
  if (importPngBytes(replacement.png.data(), replacement.png.size(), session.alphaCutoff, pixels, error)) {
    appendBlockHeader(replacement.block, BlockPrefix{}, 0);
    encodePicRuns(pixels, replacement.block);
    const std::size_t runData = replacement.block.size() - blockHeaderSize;
    replacement.block[3] = static_cast<std::uint8_t>(runData & 0xFF);
    replacement.block[4] = static_cast<std::uint8_t>(runData >> 8);
  } else {
    replacement.refusal = packErrorLine(replacement.name, error);
  }
  if (isSlot(id)) {
    std::int32_t& flags = field(id, slotFlags);
    flags |= slotReplaced;
    flags = replacement.refusal.empty() ? flags & ~slotRefused : flags | slotRefused;
  }
}

// What the page shows of slot `id`, drawn anew.
void drawSlot(int id, PicPixels& pixels) {
  pixels.fill(transparentPixel);
  const auto replaced = session.replacements.find(id);
  if (replaced != session.replacements.end() && replaced->second.refusal.empty()) {
    const ArchiveBytes& block = replaced->second.block;
    MemorySource source{block.data(), block.size()};
    PicEntry entry(id);
    if (readBlockHeader(entry, source) == ReadStatus::ok) drawRuns(entry, source, pixels);
    return;
  }
  if (!isSlot(id) || session.picOf[static_cast<std::size_t>(id)] < 0) return;
  PicEntry entry = session.pics[static_cast<std::size_t>(session.picOf[static_cast<std::size_t>(id)])];
  const ArchiveBytes& bytes = session.base.bytes;
  MemorySource source{bytes.data(), bytes.size()};
  if (readBlockHeader(entry, source) == ReadStatus::ok) drawRuns(entry, source, pixels);
}

}  // namespace

extern "C" {

int pageOpen(const char* path) {
  pageClose();
  std::FILE* archive = openArchive(path);
  if (archive == nullptr) return -1;
  ArchiveBytes bytes;
  bool read = std::fseek(archive, 0, SEEK_END) == 0;
  const long size = read ? std::ftell(archive) : -1;
  read = size >= 0 && std::fseek(archive, 0, SEEK_SET) == 0;
  if (read) {
    bytes.resize(static_cast<std::size_t>(size));
    read = std::fread(bytes.data(), 1, bytes.size(), archive) == bytes.size() &&
           std::fseek(archive, 0, SEEK_SET) == 0;
  }
  if (!read) {
    std::fclose(archive);
    return -1;
  }
  takeBase(std::move(bytes), session.base);
  const std::size_t count = static_cast<std::size_t>(session.base.index.count);
  session.picOf.assign(count + 1, -1);
  session.slots.assign((count + 1) * std::size_t{pageSlotFields}, 0);

  // Lines said up to the end of a pic's callback are that pic's; those said
  // before the first pic's header is read are the index pass's.
  int lastEnd = 0;
  const auto indexed = [&lastEnd](IndexStatus /*status*/) { lastEnd = session.headLines = session.lines; };
  // vorna-unpack's converter, less the file: the runs are decoded from the
  // bytes in memory, which answer as the stream does, and nothing is kept
  // of the pixels.
  const auto convert = [&lastEnd](PicEntry& entry) {
    const ArchiveBytes& held = session.base.bytes;
    MemorySource source{held.data(), held.size(), static_cast<std::size_t>(entry.offset) + blockHeaderSize};
    const RunsOutcome outcome = walkRuns(entry, source, [](int /*p*/, const PicColour& /*colour*/) {});
    reportPicRuns(outcome, entry.id);
    const int id = entry.id;
    field(id, slotFirstLine) = lastEnd;
    field(id, slotDoneLine) = session.lines;
    field(id, slotRuns) = outcome.runs;
    sayPicDone(id);
    field(id, slotEndLine) = lastEnd = session.lines;
    field(id, slotFlags) =
        slotListed | (field(id, slotDoneLine) > field(id, slotFirstLine) ? slotHasMessages : 0);
    return outcome.status == ReadStatus::ok ? PicResult::done : PicResult::doneFromCutData;
  };
  setLineSink(keepLine, nullptr);
  const int status = unpackArchive(archive, session.pics, convert, indexed);
  setLineSink(nullptr, nullptr);
  std::fclose(archive);
  for (std::size_t i = 0; i < session.pics.size(); ++i) {
    session.picOf[static_cast<std::size_t>(session.pics[i].id)] = static_cast<std::int32_t>(i);
  }
  return status;
}

void pageClose() {
  session = Session{};
  pageDropResult();
  notes = std::string();
}

int pageCount() { return session.picOf.empty() ? 0 : static_cast<int>(session.picOf.size()) - 1; }
const std::int32_t* pageSlots() { return session.slots.data(); }
const char* pageLines() { return session.text.c_str(); }
int pageLineCount() { return session.lines; }
int pageHeadLines() { return session.headLines; }

bool pageBlock(int id, std::int32_t* offset, std::int32_t* size, std::uint8_t* header) {
  if (!isSlot(id) || session.picOf[static_cast<std::size_t>(id)] < 0) return false;
  const PicEntry& entry = session.pics[static_cast<std::size_t>(session.picOf[static_cast<std::size_t>(id)])];
  *offset = entry.offset;
  *size = entry.size;
  std::copy(entry.header.begin(), entry.header.end(), header);
  return true;
}

void pageDraw(const std::int32_t* ids, int count, int columns, std::uint8_t* rgba) {
  const std::size_t stride = static_cast<std::size_t>(columns) * picSide * 4;
  PicPixels pixels{};
  for (int i = 0; i < count; ++i) {
    drawSlot(ids[i], pixels);
    std::uint8_t* corner = rgba + static_cast<std::size_t>(i / columns) * picSide * stride +
                           static_cast<std::size_t>(i % columns) * picSide * 4;
    for (int p = 0; p <= lastPixel; ++p) {
      std::uint8_t* out =
          corner + static_cast<std::size_t>(p / picSide) * stride + static_cast<std::size_t>(p % picSide) * 4;
      const std::int32_t pixel = pixels[static_cast<std::size_t>(p)];
      const bool opaque = pixel != transparentPixel;
      out[0] = opaque ? static_cast<std::uint8_t>(pixel >> 16 & 0xFF) : 0;
      out[1] = opaque ? static_cast<std::uint8_t>(pixel >> 8 & 0xFF) : 0;
      out[2] = opaque ? static_cast<std::uint8_t>(pixel & 0xFF) : 0;
      out[3] = opaque ? 255 : 0;
    }
  }
}

void pagePixels(int id, std::int32_t* pixels) {
  PicPixels drawn{};
  drawSlot(id, drawn);
  std::copy(drawn.begin(), drawn.end(), pixels);
}

bool pagePng(int id) {
  PicPixels pixels{};
  drawSlot(id, pixels);
  result = encodePicPng(pixels);
  return !result.empty();
}

bool pageSortNames(const char* names, int count, std::int32_t* ids) {
  notes.clear();
  std::map<int, std::string> taken;
  const Report report = [](const std::string& file, const std::string& what) {
    notes += packErrorLine(file, what);
  };
  bool good = true;
  const char* name = names;
  for (int i = 0; i < count; ++i) {
    const std::string text(name);
    name += text.size() + 1;
    const std::size_t before = taken.size();
    if (!takePicName(text, taken, report)) good = false;
    ids[i] = taken.size() > before ? classifyName(text).id : 0;
  }
  return good;
}

bool pageNamedPng(const char* name) { return classifyName(name).kind != NameKind::other; }

bool pageStartsAsPng(const std::uint8_t* data, std::size_t size) { return startsAsPng(data, size); }

bool pageReplace(int id, const char* name, const std::uint8_t* data, std::size_t size) {
  notes.clear();
  if (id < 1 || id > mostPics) return false;
  Replacement& replacement = session.replacements[id];
  replacement.name = name;
  replacement.png.assign(data, data + size);
  fitSlots();
  take(id, replacement);
  notes = replacement.refusal;
  return replacement.refusal.empty();
}

void pageUndo(int id) {
  session.replacements.erase(id);
  if (isSlot(id)) field(id, slotFlags) &= ~(slotReplaced | slotRefused);
  fitSlots();
}

const char* pageReplacementName(int id) {
  const auto found = session.replacements.find(id);
  return found == session.replacements.end() ? "" : found->second.name.c_str();
}

const char* pageRefusal(int id) {
  const auto found = session.replacements.find(id);
  return found == session.replacements.end() ? "" : found->second.refusal.c_str();
}

int pageSetAlphaCutoff(const char* text) {
  notes.clear();
  session.cutoffError.clear();
  session.alphaCutoff = exactAlpha;
  if (*text != '\0' && !parseAlphaCutoff(text, session.alphaCutoff, session.cutoffError)) {
    session.alphaCutoff = exactAlpha;
    notes = usageLine();
  }
  int refused = 0;
  for (auto& [id, replacement] : session.replacements) {
    take(id, replacement);
    notes += replacement.refusal;
    if (!replacement.refusal.empty()) ++refused;
  }
  return session.cutoffError.empty() ? refused : -1;
}

bool pageSave(bool compact) {
  notes.clear();
  pageDropResult();
  // As vorna-pack refuses such a command line, and writes nothing.
  if (!session.cutoffError.empty()) {
    notes = usageLine();
    return false;
  }
  const Report report = [](const std::string& file, const std::string& what) {
    notes += packErrorLine(file, what);
  };
  PicSource source;
  for (const auto& entry : session.replacements) source.ids.push_back(entry.first);
  // Read again, as vorna-pack reads each PNG when it packs.
  source.load = [&report](int id, PicPixels& pixels) {
    const Replacement& replacement = session.replacements.find(id)->second;
    std::string error;
    if (importPngBytes(replacement.png.data(), replacement.png.size(), session.alphaCutoff, pixels, error)) {
      return true;
    }
    report(replacement.name, error);
    return false;
  };
  PackPlan plan;
  if (!planPack(&session.base, source, plan)) return false;
  MemoryOutput output;
  // Room for the whole archive at once: grown step by step, it would need
  // twice its size while it moves.
  std::size_t expected = tableEnd(plan.slots.size()) + static_cast<std::size_t>(session.base.size);
  for (const ArchiveBytes& block : plan.newBlocks) expected += block.size();
  output.bytes().reserve(expected);
  std::string note;
  if (!writeCheckedArchive(plan, &session.base, compact, output, archiveName, report, note)) return false;
  notes = packSummary(archiveName, plan, note, /*dryRun=*/false);
  result = std::move(output.bytes());
  return true;
}

std::size_t pageMemoryInUse() {
#ifdef __GLIBC__
  return mallinfo2().uordblks;
#else
  return static_cast<std::size_t>(mallinfo().uordblks);
#endif
}

const std::uint8_t* pageResult() { return result.data(); }
std::size_t pageResultSize() { return result.size(); }
void pageDropResult() { result = ArchiveBytes(); }
const char* pageNotes() { return notes.c_str(); }
}
