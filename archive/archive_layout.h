#pragma once

// Writing vorna.spr, and reading its header and offset table from bytes in
// memory, whole or cut short. The layout is the one archive/pic_entry.h
// describes.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "archive/archive_stream.h"

using ArchiveBytes = std::vector<std::uint8_t>;
using Signature = std::array<std::uint8_t, 4>;
using BlockPrefix = std::array<std::uint8_t, 3>;

inline constexpr std::size_t archiveHeaderSize = 6;
inline constexpr std::size_t blockHeaderSize = 5;
inline constexpr int mostPics = 65535;
// Offsets have 24 bits: every block must start below this.
inline constexpr std::size_t offsetLimit = std::size_t{1} << 24;

// Where the blocks may start: just past the header and `count` table entries.
constexpr std::size_t tableEnd(std::size_t count) { return archiveHeaderSize + 4 * count; }

// One offset table entry: the block's offset (0 for an empty slot) and the
// fourth byte, which readers ignore but which is kept as it was.
struct TableEntry {
  std::uint32_t offset = 0;
  std::uint8_t b3 = 0;
  bool operator==(const TableEntry&) const = default;
};

// Appends the header and the offset table.
void appendArchiveHead(ArchiveBytes& out, const Signature& signature, const std::vector<TableEntry>& entries);

// Overwrites pic `id`'s entry in a head that appendArchiveHead (or a base's
// bytes) laid out.
void putTableEntry(ArchiveBytes& head, int id, const TableEntry& entry);

// Appends a block header: the prefix, then the run data's size.
void appendBlockHeader(ArchiveBytes& out, const BlockPrefix& prefix, std::size_t runDataSize);

// An archive's header and table as far as they can be read.
struct ArchiveIndex {
  Signature signature{};            // the bytes present; zeros past a cut
  int count = 0;                    // the count field; 0 when the header is cut
  bool whole = false;               // the header and all `count` entries are present
  std::vector<TableEntry> entries;  // every entry read whole, in id order
};

ArchiveIndex readArchiveIndex(const std::uint8_t* bytes, std::size_t size);

// An archive's first `held` bytes in memory, read as StreamSource reads the
// file: every read through read(), bounds-checked. Past `held` lies the end
// of the file, so `held` must cover every byte a block can reach: the whole
// file, or at least its first baseBytesKept bytes (archive/pack_plan.h).
struct MemorySource {
  const std::uint8_t* bytes = nullptr;
  std::size_t held = 0;
  std::size_t at = 0;

  ReadStatus seek(std::uint32_t offset) {
    at = offset;
    return ReadStatus::ok;
  }
  // As readBytes: on a short read the bytes before the cut are stored.
  ReadStatus read(std::uint8_t* out, std::size_t count) {
    const std::size_t left = at < held ? held - at : 0;
    if (left < count) {
      if (left > 0) std::memcpy(out, bytes + at, left);
      at = std::max(at, held);
      return ReadStatus::end;
    }
    std::memcpy(out, bytes + at, count);
    at += count;
    return ReadStatus::ok;
  }
  // The next `count` bytes where they lie, or null (and nothing consumed)
  // when the file holds fewer.
  const std::uint8_t* take(std::size_t count) {
    if (at > held || held - at < count) return nullptr;
    const std::uint8_t* bytes_at = bytes + at;
    at += count;
    return bytes_at;
  }
  ReadStatus skip(std::size_t count) {
    if (at > held || held - at < count) {
      at = std::max(at, held);
      return ReadStatus::end;
    }
    at += count;
    return ReadStatus::ok;
  }
};
