#pragma once

// Builds sprite archives in memory, for tests, the fuzz corpus and the demo.
// The header, table and block headers come from the product's writer
// (archive/archive_layout.h); what this adds is what only tests want: blocks
// in reverse order, declared sizes that lie, runs the product never writes
// (t = 1 starts, t = 0 after a run), and sprites turned into such runs that
// the converter's run decoder places exactly, minding its t - 1 start and the
// pixel it skips after every run.

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

struct Rgb {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  bool operator==(const Rgb&) const = default;
};

struct Run {
  std::uint16_t transparent = 0;
  std::vector<Rgb> colours;
};

// A 32 x 32 sprite by pixel number (32 * y + x); nullopt is transparent.
using Sprite = std::array<std::optional<Rgb>, 1024>;

void appendLe16(Bytes& out, unsigned value);
void appendLe32(Bytes& out, std::uint32_t value);

// The runs back to back, as a block's run data holds them.
Bytes encodeRuns(const std::vector<Run>& runs);

// Runs that decode to exactly the sprite's opaque pixels: one run per
// stretch of consecutive opaque pixel numbers. A stretch that starts where
// the cursor already is takes t = 0, or t = 1 when `preferOne` is set (both
// leave the cursor in place).
std::vector<Run> runsForSprite(const Sprite& sprite, bool preferOne = false);

class ArchiveWriter {
 public:
  // Adds the next table slot with a block holding `runData`. The block's size
  // field is `declaredSize` when given, else the data's length. Returns the id.
  int addPic(const Bytes& runData, std::optional<std::uint16_t> declaredSize = {});
  int addSprite(const Sprite& sprite, bool preferOne = false);
  // Adds an empty slot (offset 0); `b3` fills the ignored fourth byte.
  int addEmptySlot(std::uint8_t b3 = 0);
  // Adds a slot with the same offset as slot `id` (an empty one if it is).
  int addCopyOf(int id);

  // The archive: header, table, then the blocks in id order, or in reverse id
  // order when `reverseBlocks` is set.
  Bytes bytes(bool reverseBlocks = false) const;

 private:
  struct Slot {
    std::optional<Bytes> block;  // prefix, size, run data
    std::uint8_t b3 = 0;
    std::optional<std::size_t> copyOf;  // index of the slot whose offset this repeats
  };
  std::vector<Slot> slots_;
};

void writeFile(const std::filesystem::path& path, const Bytes& bytes);

// The whole file, or nothing when it cannot be read.
Bytes readFile(const std::filesystem::path& path);

// `bytes` as an open archive stream at offset 0 (an unnamed temporary file),
// closed when this goes.
class ArchiveFile {
 public:
  explicit ArchiveFile(const Bytes& bytes);
  // A stream of `bytes` whose reads fail, as on a bad disk, once they reach
  // byte `failAt`. Seeks work.
  ArchiveFile(const Bytes& bytes, std::size_t failAt);
  ~ArchiveFile();
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;
  std::FILE* get() const { return stream_; }

 private:
  std::FILE* stream_;
};

}  // namespace testsupport
