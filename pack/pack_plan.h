#pragma once

// What vorna-pack writes: which pics keep their block from the base archive,
// which get a new one, and where every block goes.
//
// Every id from 1 to the pic count (the larger of the highest PNG's number
// and the base's count) gets:
//   - a PNG that draws exactly what the base's block for that id draws,
//     decoded whole by the converter's run decoder: that block, byte for byte;
//   - any other PNG: a new block from its pixels, with the base block's
//     prefix (zeros without one);
//   - no PNG: the base's slot as it is. A base block that does not decode
//     whole (the base is damaged) is encoded anew from what the converter
//     draws for it, so the result is always a whole archive; a table entry
//     the base lacks is an empty slot.
// Identical new blocks are stored once and shared.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "archive/archive_layout.h"
#include "convert/walk_runs.h"

// The archive a pack starts from, held in memory as far as blocks can reach:
// its table, the blocks kept, and every block decoded from there.
struct BaseArchive {
  ArchiveBytes bytes;      // the first baseBytesKept bytes of the file, or all of it
  std::uint64_t size = 0;  // of the whole file
  ArchiveIndex index;
  // The file, for the bytes past `bytes` (no block reaches them) that the
  // appended layout copies; null when `bytes` is the whole file.
  std::FILE* file = nullptr;
};

// A block starts below offsetLimit and its runs can read at most 5 + 262,143
// bytes: nothing past this is ever part of a pic.
inline constexpr std::size_t baseBytesKept = offsetLimit + 262148;

// Reports a bad input: the file, and what is wrong with it.
using Report = std::function<void(const std::string& file, const std::string& what)>;

// Opens `path` as a base: a regular file (never waiting on a FIFO), read into
// memory as far as needed. False, reported, when it cannot be.
bool openBase(const std::string& path, BaseArchive& base, const Report& report);
// A base whose bytes are all in memory already (the web page's).
void takeBase(ArchiveBytes bytes, BaseArchive& base);
void closeBase(BaseArchive& base);

enum class SlotKind : std::uint8_t { empty, kept, changed, added };

struct PlannedSlot {
  SlotKind kind = SlotKind::empty;
  TableEntry base;              // the base's entry (offset and b3), or zeros
  std::uint32_t keptBytes = 0;  // kept: the block's length, prefix to the end of its run data
  std::int32_t block = -1;      // changed or added: index into newBlocks
  std::uint64_t drawn = 0;      // digest of what the pic must draw (pixelDigest)
};

struct PackPlan {
  Signature signature{};
  std::vector<PlannedSlot> slots;  // by id - 1
  std::vector<ArchiveBytes> newBlocks;
  // The base's header and whole table could be read and the count did not
  // grow: new blocks may be appended to the base's bytes.
  bool appendable = false;
  bool countGrew = false;
  int changed = 0;
  int kept = 0;
  int added = 0;
};

// The PNGs there are, by ascending id, and how to read one. `load` reports
// its own failures and returns false.
struct PicSource {
  std::vector<int> ids;
  std::function<bool(int id, PicPixels& pixels)> load;
};

// Digest of what a pic draws, for checking the written archive without
// keeping every pic's pixels in memory: each opaque pixel's number and
// colour, in the order of the numbers. The run decoder colours each pixel at
// most once, in that very order, so the digest can be taken as it decodes,
// without the pixels.
class DrawnDigest {
 public:
  void add(int p, std::int32_t colour) {
    value_ = (value_ ^ (static_cast<std::uint64_t>(p) << 32 | static_cast<std::uint32_t>(colour))) *
             0x100000001B3;  // FNV-1a's prime, over 64 bits at a time
    value_ ^= value_ >> 29;
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 0xCBF29CE484222325;
};

std::uint64_t pixelDigest(const PicPixels& pixels);

// Plans the archive. False when any PNG could not be loaded; every such input
// is reported first. A block that several slots share is decoded once.
bool planPack(const BaseArchive* base, const PicSource& source, PackPlan& plan);

// Where every block goes, and the table that says so.
struct Placement {
  std::vector<TableEntry> entries;
  // Compact only: what follows the table, in order. A piece is either kept
  // base bytes or a new block.
  struct Piece {
    std::uint32_t baseOffset = 0;
    std::uint32_t length = 0;
    std::int32_t block = -1;
  };
  std::vector<Piece> pieces;
  int misfit = 0;  // the first pic whose block cannot start below offsetLimit, or 0
};

// The base's bytes with the new blocks appended; nullopt when one would start
// at or past offsetLimit.
std::optional<Placement> placeAppended(const PackPlan& plan, const BaseArchive& base);
// Header, table, then every block in use once, in id order.
Placement placeCompact(const PackPlan& plan);

// Writes the archive through `write`, which returns false when it fails.
using Sink = std::function<bool(const void* data, std::size_t size)>;
bool writeAppended(const PackPlan& plan, const Placement& placement, BaseArchive& base, const Sink& write);
bool writeCompact(const PackPlan& plan, const Placement& placement, const BaseArchive* base,
                  const Sink& write);

// Reads a written archive back with the converter's decoder: true when it has
// the planned count, every planned pic is listed and draws, decoded whole,
// exactly what it should, and every empty slot is empty. `bytes` holds its
// first `held` bytes: all of it, or at least the first baseBytesKept.
bool verifyPack(const std::uint8_t* bytes, std::size_t held, const PackPlan& plan);
