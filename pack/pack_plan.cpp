#include "pack/pack_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "archive/read_index.h"
#include "convert/encode_runs.h"

bool openBase(const std::string& path, BaseArchive& base, const Report& report) {
  bool notRegular = false;
  base.file = openArchive(path.c_str(), notRegular);
  if (base.file == nullptr) {
    report(path,
           notRegular ? "is not a regular file" : std::string("cannot be opened: ") + std::strerror(errno));
    return false;
  }
  // The size of the file opened, not of whatever the name means by now.
  struct stat info {};
  if (fstat(fileno(base.file), &info) != 0 || info.st_size < 0) {
    report(path, std::string("cannot be read: ") + std::strerror(errno));
    return false;
  }
  base.size = static_cast<std::uint64_t>(info.st_size);
  base.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(base.size, baseBytesKept)));
  if (std::fread(base.bytes.data(), 1, base.bytes.size(), base.file) != base.bytes.size()) {
    report(path, "cannot be read");
    return false;
  }
  base.index = readArchiveIndex(base.bytes.data(), base.bytes.size());
  return true;
}

void takeBase(ArchiveBytes bytes, BaseArchive& base) {
  base.bytes = std::move(bytes);
  base.size = base.bytes.size();
  base.index = readArchiveIndex(base.bytes.data(), base.bytes.size());
  base.file = nullptr;
}

void closeBase(BaseArchive& base) {
  if (base.file != nullptr) std::fclose(base.file);
  base.file = nullptr;
}

std::uint64_t pixelDigest(const PicPixels& pixels) {
  DrawnDigest digest;
  // Sprites are mostly transparent: two pixels are passed over at a time.
  for (std::size_t p = 0; p < pixels.size(); p += 2) {
    if ((pixels[p] & pixels[p + 1]) == transparentPixel) continue;
    if (pixels[p] != transparentPixel) digest.add(static_cast<int>(p), pixels[p]);
    if (pixels[p + 1] != transparentPixel) digest.add(static_cast<int>(p + 1), pixels[p + 1]);
  }
  return digest.value();
}

namespace {

// What the converter draws for a block of the base, and whether it decodes
// whole. The base is in memory, so the only damage is a cut.
struct BaseBlock {
  BlockPrefix prefix{};
  bool whole = false;
  std::uint32_t bytes = 0;   // whole: the block as stored, prefix to the end of what its runs read
  std::uint64_t digest = 0;  // of its pixels
};

// The base's blocks, each decoded once however many slots share it: an
// archive may point all its 65,535 slots at one block. The pixels of the
// block decoded last are kept, which is all that slots sharing a block one
// after another need; others decode it again, at the cost of what it draws.
class BaseBlocks {
 public:
  explicit BaseBlocks(const BaseArchive& base) : base_(base) {}

  const BaseBlock& at(std::uint32_t offset) {
    const auto found = blocks_.find(offset);
    if (found != blocks_.end()) return found->second;
    BaseBlock& block = blocks_[offset];
    decode(offset, block);
    return block;
  }

  // The pixels of the block at `offset`, which at() has seen.
  const PicPixels& pixels(std::uint32_t offset) {
    if (pixelsAt_ != offset) {
      BaseBlock ignored;
      decode(offset, ignored);
    }
    return pixels_;
  }

 private:
  void decode(std::uint32_t offset, BaseBlock& block) {
    PicEntry entry(0);
    entry.offset = static_cast<std::int32_t>(offset);
    MemorySource source{base_.bytes.data(), base_.bytes.size()};
    pixels_.fill(transparentPixel);
    pixelsAt_ = offset;
    const ReadStatus header = readBlockHeader(entry, source);
    std::copy_n(entry.header.begin(), block.prefix.size(), block.prefix.begin());
    DrawnDigest digest;
    if (header == ReadStatus::ok) {
      const RunsOutcome outcome = walkRuns(entry, source, [this, &digest](int p, const PicColour& colour) {
        const std::int32_t rgb = colour.red << 16 | colour.green << 8 | colour.blue;
        pixels_[static_cast<std::size_t>(p)] = rgb;
        digest.add(p, rgb);
      });
      block.whole = outcome.status == ReadStatus::ok;
      // The block as stored: its declared run data, or more when its last
      // run reads past that. (A cursor past pixel 1023 can stop it short of
      // its size.) A size that runs past the end of the file is kept as far
      // as the file goes.
      const std::size_t stored =
          blockHeaderSize + static_cast<std::size_t>(std::max(outcome.consumed, entry.size));
      block.bytes = static_cast<std::uint32_t>(std::min(stored, base_.bytes.size() - offset));
    }
    block.digest = digest.value();
  }

  const BaseArchive& base_;
  std::unordered_map<std::uint32_t, BaseBlock> blocks_;
  PicPixels pixels_{};
  std::uint32_t pixelsAt_ = 0;  // 0: none yet (no block starts there)
};

// New blocks, each stored once however many pics use it.
class NewBlocks {
 public:
  explicit NewBlocks(std::vector<ArchiveBytes>& blocks) : blocks_(blocks) {}

  std::int32_t add(const BlockPrefix& prefix, const PicPixels& pixels) {
    scratch_.clear();
    appendBlockHeader(scratch_, prefix, 0);
    encodePicRuns(pixels, scratch_);
    const std::size_t runData = scratch_.size() - blockHeaderSize;
    scratch_[3] = static_cast<std::uint8_t>(runData & 0xFF);
    scratch_[4] = static_cast<std::uint8_t>(runData >> 8);
    const std::string_view key(reinterpret_cast<const char*>(scratch_.data()), scratch_.size());
    const std::size_t hash = std::hash<std::string_view>{}(key);
    const auto [first, last] = byHash_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      if (blocks_[static_cast<std::size_t>(it->second)] == scratch_) return it->second;
    }
    const auto index = static_cast<std::int32_t>(blocks_.size());
    blocks_.push_back(scratch_);
    byHash_.emplace(hash, index);
    return index;
  }

 private:
  std::vector<ArchiveBytes>& blocks_;
  std::unordered_multimap<std::size_t, std::int32_t> byHash_;
  ArchiveBytes scratch_;
};

}  // namespace

bool planPack(const BaseArchive* base, const PicSource& source, PackPlan& plan) {
  const int baseCount = base != nullptr ? base->index.count : 0;
  const int highest = source.ids.empty() ? 0 : source.ids.back();
  const int count = std::max(baseCount, highest);
  plan.signature = base != nullptr ? base->index.signature : Signature{};
  plan.countGrew = base != nullptr && highest > baseCount;
  plan.appendable = base != nullptr && base->index.whole && !plan.countGrew;
  plan.slots.assign(static_cast<std::size_t>(count), PlannedSlot{});
  NewBlocks newBlocks(plan.newBlocks);
  std::optional<BaseBlocks> blocks;
  if (base != nullptr) blocks.emplace(*base);

  bool good = true;
  auto nextPng = source.ids.begin();
  PicPixels png{};
  for (int id = 1; id <= count; ++id) {
    PlannedSlot& slot = plan.slots[static_cast<std::size_t>(id - 1)];
    if (base != nullptr && static_cast<std::size_t>(id) <= base->index.entries.size()) {
      slot.base = base->index.entries[static_cast<std::size_t>(id - 1)];
    }
    const bool hasPng = nextPng != source.ids.end() && *nextPng == id;
    if (hasPng) ++nextPng;
    if (hasPng && !source.load(id, png)) good = false;
    if (!good) continue;  // only looking for more bad inputs now

    const bool hasBlock = slot.base.offset != 0;
    const BaseBlock* block = hasBlock ? &blocks->at(slot.base.offset) : nullptr;
    const bool whole = hasBlock && block->whole;
    if (whole && (!hasPng || png == blocks->pixels(slot.base.offset))) {
      slot.kind = SlotKind::kept;
      slot.keptBytes = block->bytes;
      slot.drawn = block->digest;
      ++plan.kept;
    } else if (hasPng || hasBlock) {
      // A PNG of its own, or a damaged base block drawn as the converter draws it.
      const PicPixels& pixels = hasPng ? png : blocks->pixels(slot.base.offset);
      slot.kind = hasBlock ? SlotKind::changed : SlotKind::added;
      slot.block = newBlocks.add(hasBlock ? block->prefix : BlockPrefix{}, pixels);
      slot.drawn = pixelDigest(pixels);
      ++(hasBlock ? plan.changed : plan.added);
    }
  }
  return good;
}

std::optional<Placement> placeAppended(const PackPlan& plan, const BaseArchive& base) {
  std::vector<std::uint32_t> at(plan.newBlocks.size());
  std::uint64_t end = base.size;
  for (std::size_t i = 0; i < at.size(); ++i) {
    if (end >= offsetLimit) return std::nullopt;
    at[i] = static_cast<std::uint32_t>(end);
    end += plan.newBlocks[i].size();
  }
  Placement placement;
  placement.entries = base.index.entries;
  for (std::size_t i = 0; i < plan.slots.size(); ++i) {
    const PlannedSlot& slot = plan.slots[i];
    if (slot.block >= 0) placement.entries[i].offset = at[static_cast<std::size_t>(slot.block)];
  }
  return placement;
}

Placement placeCompact(const PackPlan& plan) {
  Placement placement;
  placement.entries.resize(plan.slots.size());
  std::uint64_t end = tableEnd(plan.slots.size());
  std::unordered_map<std::uint32_t, std::uint32_t> keptAt;  // base offset -> offset here
  std::vector<std::uint32_t> blockAt(plan.newBlocks.size(), 0);
  for (std::size_t i = 0; i < plan.slots.size(); ++i) {
    const PlannedSlot& slot = plan.slots[i];
    TableEntry& entry = placement.entries[i];
    entry.b3 = slot.base.b3;
    if (slot.kind == SlotKind::empty) continue;
    const bool kept = slot.kind == SlotKind::kept;
    std::uint32_t& offset = kept ? keptAt[slot.base.offset] : blockAt[static_cast<std::size_t>(slot.block)];
    if (offset == 0) {
      if (end >= offsetLimit) {
        placement.misfit = static_cast<int>(i) + 1;
        return placement;
      }
      offset = static_cast<std::uint32_t>(end);
      Placement::Piece piece;
      if (kept) {
        piece.baseOffset = slot.base.offset;
        piece.length = slot.keptBytes;
      } else {
        piece.block = slot.block;
        piece.length =
            static_cast<std::uint32_t>(plan.newBlocks[static_cast<std::size_t>(slot.block)].size());
      }
      placement.pieces.push_back(piece);
      end += piece.length;
    }
    entry.offset = offset;
  }
  return placement;
}

bool writeAppended(const PackPlan& plan, const Placement& placement, BaseArchive& base, const Sink& write) {
  // The table lies in the bytes held in memory: the base is whole up to its end.
  const std::size_t headEnd = tableEnd(plan.slots.size());
  ArchiveBytes head(base.bytes.begin(), base.bytes.begin() + static_cast<long>(headEnd));
  for (std::size_t i = 0; i < placement.entries.size(); ++i) {
    putTableEntry(head, static_cast<int>(i) + 1, placement.entries[i]);
  }
  if (!write(head.data(), head.size()) || !write(base.bytes.data() + headEnd, base.bytes.size() - headEnd)) {
    return false;
  }
  // Whatever lies past the bytes held in memory (no block reaches there),
  // copied as it is.
  std::uint64_t copied = base.bytes.size();
  if (copied < base.size) {
    if (seekTo(base.file, static_cast<long>(copied)) != ReadStatus::ok) return false;
    std::vector<char> chunk(std::size_t{1} << 16);
    std::size_t got = 0;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), base.file)) > 0) {
      if (!write(chunk.data(), got)) return false;
      copied += got;
    }
    // The new blocks' offsets were computed from the base's size.
    if (std::ferror(base.file) || copied != base.size) return false;
  }
  return std::all_of(plan.newBlocks.begin(), plan.newBlocks.end(),
                     [&write](const ArchiveBytes& block) { return write(block.data(), block.size()); });
}

bool writeCompact(const PackPlan& plan, const Placement& placement, const BaseArchive* base,
                  const Sink& write) {
  ArchiveBytes head;
  appendArchiveHead(head, plan.signature, placement.entries);
  if (!write(head.data(), head.size())) return false;
  for (const Placement::Piece& piece : placement.pieces) {
    if (piece.block >= 0) {
      const ArchiveBytes& block = plan.newBlocks[static_cast<std::size_t>(piece.block)];
      if (!write(block.data(), block.size())) return false;
      continue;
    }
    // A kept block was read whole, so its bytes are all held in memory.
    if (base == nullptr || std::size_t{piece.baseOffset} + piece.length > base->bytes.size() ||
        !write(base->bytes.data() + piece.baseOffset, piece.length)) {
      return false;
    }
  }
  return true;
}

bool verifyPack(const std::uint8_t* bytes, std::size_t held, const PackPlan& plan) {
  MemorySource source{bytes, held};
  std::array<std::uint8_t, archiveHeaderSize> header{};
  if (source.read(header.data(), header.size()) != ReadStatus::ok ||
      !std::equal(plan.signature.begin(), plan.signature.end(), header.begin()) ||
      static_cast<std::size_t>(le16(&header[4])) != plan.slots.size()) {
    return false;
  }
  std::vector<std::uint32_t> offsets(plan.slots.size());
  for (std::uint32_t& offset : offsets) {
    std::array<std::uint8_t, 4> entry{};
    if (source.read(entry.data(), entry.size()) != ReadStatus::ok) return false;
    offset = static_cast<std::uint32_t>(entry[0] | entry[1] << 8 | entry[2] << 16);
  }
  // What each block draws, decoded once however many slots share it; none
  // for a block that does not decode whole.
  std::unordered_map<std::uint32_t, std::optional<std::uint64_t>> drawnAt;
  for (std::size_t i = 0; i < plan.slots.size(); ++i) {
    const PlannedSlot& slot = plan.slots[i];
    if ((offsets[i] != 0) != (slot.kind != SlotKind::empty)) return false;
    if (offsets[i] == 0) continue;
    const auto [known, fresh] = drawnAt.try_emplace(offsets[i]);
    if (fresh) {
      PicEntry entry(static_cast<std::int32_t>(i) + 1);
      entry.offset = static_cast<std::int32_t>(offsets[i]);
      DrawnDigest digest;
      const auto add = [&digest](int p, const PicColour& colour) {
        digest.add(p, colour.red << 16 | colour.green << 8 | colour.blue);
      };
      if (readBlockHeader(entry, source) == ReadStatus::ok &&
          walkRuns(entry, source, add).status == ReadStatus::ok) {
        known->second = digest.value();
      }
    }
    if (known->second != slot.drawn) return false;
  }
  return true;
}
