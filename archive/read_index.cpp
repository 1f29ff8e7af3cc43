#include "archive/read_index.h"

#include <array>

#include "archive/messages.h"

IndexStatus readIndex(std::FILE* archive, PicList& pics) {
  std::array<std::uint8_t, 6> header{};  // signature, then the pic count
  if (const ReadStatus status = readBytes(archive, header.data(), header.size()); status != ReadStatus::ok) {
    reportShortRead(status, "vorna.spr ends inside its header!\n", 0);
    return IndexStatus::cutInHeader;
  }
  const int count = le16(&header[4]);
  say("Number of pics: %i\n", count);

  pics.reserve(pics.size() + static_cast<std::size_t>(count));
  for (int id = 1; id <= count; ++id) {
    std::array<std::uint8_t, 4> slot{};
    if (const ReadStatus status = readBytes(archive, slot.data(), slot.size()); status != ReadStatus::ok) {
      reportShortRead(status, "vorna.spr ends inside the offset table at pic %i!\n", id);
      return IndexStatus::cutInTable;
    }
    PicEntry entry(id);
    entry.offset = slot[0] | slot[1] << 8 | slot[2] << 16;  // slot[3] is ignored
    if (entry.offset != 0) pics.push_back(entry);
  }
  return IndexStatus::whole;
}

ReadStatus readBlockHeader(PicEntry& entry, std::FILE* archive) {
  StreamSource source{archive};
  return readBlockHeader(entry, source);
}

ReadStatus readPicHeader(PicEntry& entry, std::FILE* archive) {
  const ReadStatus status = readBlockHeader(entry, archive);
  if (status != ReadStatus::ok) reportShortPic(status, entry.id);
  return status;
}
