#include "archive/archive_layout.h"

#include <gtest/gtest.h>

namespace {

// Whatever prefix of an archive is at hand, the index holds exactly the
// signature bytes and table entries present, and is whole only with them all.
TEST(ArchiveIndex, ReadsWhatIsThereOfEveryCutArchive) {
  const Signature signature{'s', 'i', 'g', 0xFF};
  const std::vector<TableEntry> entries = {{0, 0x7F}, {0xABCDEF, 1}, {6, 0}};
  ArchiveBytes archive;
  appendArchiveHead(archive, signature, entries);
  appendBlockHeader(archive, BlockPrefix{1, 2, 3}, 0x1234);
  EXPECT_EQ(ArchiveBytes(archive.end() - 5, archive.end()), (ArchiveBytes{1, 2, 3, 0x34, 0x12}));

  for (std::size_t size = 0; size <= archive.size(); ++size) {
    const ArchiveIndex index = readArchiveIndex(archive.data(), size);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(index.signature[i], i < size ? signature[i] : 0) << size;
    const std::size_t whole = size < 6 ? 0 : std::min<std::size_t>(3, (size - 6) / 4);
    EXPECT_EQ(index.count, size < 6 ? 0 : 3) << size;
    EXPECT_EQ(index.entries,
              std::vector<TableEntry>(entries.begin(), entries.begin() + static_cast<long>(whole)));
    EXPECT_EQ(index.whole, size >= tableEnd(3)) << size;
  }

  ArchiveBytes head(archive.begin(), archive.begin() + static_cast<long>(tableEnd(3)));
  putTableEntry(head, 2, TableEntry{0x010203, 9});
  EXPECT_EQ(readArchiveIndex(head.data(), head.size()).entries[1], (TableEntry{0x010203, 9}));
}

}  // namespace
