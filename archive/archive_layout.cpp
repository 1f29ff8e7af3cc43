#include "archive/archive_layout.h"

#include <algorithm>

namespace {

void appendLe16(ArchiveBytes& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8 & 0xFF));
}

std::array<std::uint8_t, 4> entryBytes(const TableEntry& entry) {
  return {static_cast<std::uint8_t>(entry.offset & 0xFF), static_cast<std::uint8_t>(entry.offset >> 8 & 0xFF),
          static_cast<std::uint8_t>(entry.offset >> 16 & 0xFF), entry.b3};
}

}  // namespace

void appendArchiveHead(ArchiveBytes& out, const Signature& signature,
                       const std::vector<TableEntry>& entries) {
  out.insert(out.end(), signature.begin(), signature.end());
  appendLe16(out, entries.size());
  for (const TableEntry& entry : entries) {
    const auto bytes = entryBytes(entry);
    out.insert(out.end(), bytes.begin(), bytes.end());
  }
}

void putTableEntry(ArchiveBytes& head, int id, const TableEntry& entry) {
  const auto bytes = entryBytes(entry);
  std::copy(bytes.begin(), bytes.end(),
            head.begin() + static_cast<long>(tableEnd(static_cast<std::size_t>(id - 1))));
}

void appendBlockHeader(ArchiveBytes& out, const BlockPrefix& prefix, std::size_t runDataSize) {
  out.insert(out.end(), prefix.begin(), prefix.end());
  appendLe16(out, runDataSize);
}

ArchiveIndex readArchiveIndex(const std::uint8_t* bytes, std::size_t size) {
  ArchiveIndex index;
  std::copy_n(bytes, std::min(size, index.signature.size()), index.signature.begin());
  if (size < archiveHeaderSize) return index;
  index.count = bytes[4] | bytes[5] << 8;
  const std::size_t whole =
      std::min<std::size_t>(static_cast<std::size_t>(index.count), (size - archiveHeaderSize) / 4);
  index.whole = whole == static_cast<std::size_t>(index.count);
  index.entries.reserve(whole);
  for (std::size_t k = 0; k < whole; ++k) {
    const std::uint8_t* entry = bytes + tableEnd(k);
    index.entries.push_back(
        TableEntry{static_cast<std::uint32_t>(entry[0] | entry[1] << 8 | entry[2] << 16), entry[3]});
  }
  return index;
}
