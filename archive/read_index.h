#pragma once

#include <cstdio>

#include "archive/archive_stream.h"
#include "archive/pic_entry.h"

enum class IndexStatus {
  whole,        // header and every table entry read
  cutInHeader,  // nothing listed, no count printed
  cutInTable,   // the entries before the cut are listed
};

// Reads the header and the offset table of an archive positioned at offset 0,
// prints "Number of pics: N" and appends one entry per non-empty slot to
// `pics`. A cut is reported on standard output before this returns.
IndexStatus readIndex(std::FILE* archive, PicList& pics);

// Seeks to the entry's block and reads its 5-byte header, setting `size`. A
// header cut short is reported and leaves `size` at 0, so the pic converts to
// an empty image.
ReadStatus readPicHeader(PicEntry& entry, std::FILE* archive);

// readPicHeader without the report: a header cut short keeps the bytes read
// before the cut (the rest zero) and leaves `size` at 0. `source` is a
// StreamSource or a MemorySource.
template <typename Source>
ReadStatus readBlockHeader(PicEntry& entry, Source& source) {
  entry.header.fill(0);
  entry.size = 0;
  ReadStatus status = source.seek(static_cast<std::uint32_t>(entry.offset));
  if (status == ReadStatus::ok) status = source.read(entry.header.data(), entry.header.size());
  if (status == ReadStatus::ok) entry.size = le16(&entry.header[3]);
  return status;
}
ReadStatus readBlockHeader(PicEntry& entry, std::FILE* archive);
