#include "archive/read_index.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testsupport/archive_writer.h"

namespace {

using testsupport::appendLe16;
using testsupport::appendLe32;
using testsupport::ArchiveFile;
using testsupport::Bytes;

Bytes header(unsigned count) {
  Bytes out = {'s', 'i', 'g', '!'};
  appendLe16(out, count);
  return out;
}

struct IndexRun {
  IndexStatus status;
  PicList pics;
  std::string output;
};

IndexRun index(const ArchiveFile& archive) {
  IndexRun run;
  testing::internal::CaptureStdout();
  run.status = readIndex(archive.get(), run.pics);
  run.output = testing::internal::GetCapturedStdout();
  return run;
}

IndexRun index(const Bytes& bytes) { return index(ArchiveFile(bytes)); }

std::vector<std::pair<int, int>> idsAndOffsets(const PicList& pics) {
  std::vector<std::pair<int, int>> out;
  for (const PicEntry& entry : pics) out.emplace_back(entry.id, entry.offset);
  return out;
}

TEST(ReadIndex, ListsNonEmptySlotsByTablePosition) {
  Bytes bytes = header(6);
  appendLe32(bytes, 0);           // 1: empty
  appendLe32(bytes, 288);         // 2
  appendLe32(bytes, 0x7F000000);  // 3: low three bytes zero, so empty whatever b3 holds
  appendLe32(bytes, 0x01000010);  // 4: b3 ignored, offset 16
  appendLe32(bytes, 0x00ABCDEF);  // 5: all 24 bits count
  appendLe32(bytes, 288);         // 6: same block as pic 2, still its own entry
  const IndexRun run = index(bytes);
  EXPECT_EQ(run.status, IndexStatus::whole);
  EXPECT_EQ(run.output, "Number of pics: 6\n");
  EXPECT_EQ(idsAndOffsets(run.pics),
            (std::vector<std::pair<int, int>>{{2, 288}, {4, 16}, {5, 0xABCDEF}, {6, 288}}));
}

TEST(ReadIndex, ZeroPicsListsNothing) {
  const IndexRun run = index(header(0));
  EXPECT_EQ(run.status, IndexStatus::whole);
  EXPECT_EQ(run.output, "Number of pics: 0\n");
  EXPECT_TRUE(run.pics.empty());
}

TEST(ReadIndex, ArchiveCutInsideTheHeaderListsNothing) {
  const Bytes whole = header(3);
  for (std::size_t length = 0; length < whole.size(); ++length) {
    const IndexRun run = index(Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
    EXPECT_EQ(run.status, IndexStatus::cutInHeader) << length;
    EXPECT_EQ(run.output, "vorna.spr ends inside its header!\n") << length;
    EXPECT_TRUE(run.pics.empty());
  }
}

TEST(ReadIndex, ArchiveCutInsideTheTableKeepsTheWholeEntriesBeforeIt) {
  Bytes bytes = header(4);
  appendLe32(bytes, 100);
  appendLe32(bytes, 0);
  appendLe32(bytes, 200);
  // The table ends after pic 3; pic 4's entry has 0 to 3 of its bytes.
  for (int extra = 0; extra < 4; ++extra) {
    const IndexRun run = index(bytes);
    EXPECT_EQ(run.status, IndexStatus::cutInTable);
    EXPECT_EQ(run.output, "Number of pics: 4\nvorna.spr ends inside the offset table at pic 4!\n");
    EXPECT_EQ(idsAndOffsets(run.pics), (std::vector<std::pair<int, int>>{{1, 100}, {3, 200}}));
    bytes.push_back(0x55);
  }
}

TEST(ReadPicHeader, ReadsTheBlockHeaderAtTheOffset) {
  Bytes bytes = header(1);
  appendLe32(bytes, 12);
  bytes.insert(bytes.end(), {0xEE, 0xEE, 0xAA, 0xBB, 0xCC, 0x34, 0x12});
  ArchiveFile archive(bytes);
  PicEntry entry(1);
  entry.offset = 12;
  EXPECT_EQ(readPicHeader(entry, archive.get()), ReadStatus::ok);
  EXPECT_EQ(entry.header, (std::array<std::uint8_t, 5>{0xAA, 0xBB, 0xCC, 0x34, 0x12}));
  EXPECT_EQ(entry.size, 0x1234);
}

TEST(ReadPicHeader, CutBlockHeaderIsReportedAndReadsAsEmpty) {
  Bytes bytes = header(1);
  appendLe32(bytes, 10);
  bytes.insert(bytes.end(), {1, 2, 3, 0xFF});  // size's high byte missing
  ArchiveFile archive(bytes);
  for (int offset : {10, 13, 14, 500}) {  // inside the header, at the end, past it
    PicEntry entry(7);
    entry.offset = offset;
    entry.size = 99;
    testing::internal::CaptureStdout();
    EXPECT_EQ(readPicHeader(entry, archive.get()), ReadStatus::end) << offset;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "vorna.spr ends inside pic 7!\n");
    EXPECT_EQ(entry.size, 0) << offset;
  }
}

TEST(ReadIndex, ReadErrorsAreToldApartFromTheEnd) {
  Bytes bytes = header(2);
  appendLe32(bytes, 14);
  appendLe32(bytes, 14);
  bytes.insert(bytes.end(), {0, 0, 0, 9, 0});

  IndexRun run = index(ArchiveFile(bytes, 5));
  EXPECT_EQ(run.status, IndexStatus::cutInHeader);
  EXPECT_EQ(run.output, "Unable to read vorna.spr!\n");

  run = index(ArchiveFile(bytes, 12));
  EXPECT_EQ(run.status, IndexStatus::cutInTable);
  EXPECT_EQ(run.output, "Number of pics: 2\nUnable to read vorna.spr!\n");
  EXPECT_EQ(run.pics.size(), 1u);

  const ArchiveFile archive(bytes, 16);
  PicEntry entry(1);
  entry.offset = 14;
  testing::internal::CaptureStdout();
  EXPECT_EQ(readPicHeader(entry, archive.get()), ReadStatus::error);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to read vorna.spr!\n");
  EXPECT_EQ(entry.size, 0);
}

}  // namespace
