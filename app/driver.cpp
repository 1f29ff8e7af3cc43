#include "app/driver.h"

#include <cstdio>

#include "archive/archive_stream.h"
#include "archive/messages.h"
#include "archive/read_index.h"
#include "convert/convert_pic.h"
#include "files/replace_file.h"

namespace {

// Lives for the whole run, like the archive stream.
PicList picList;

}  // namespace

int runConverter() {
  std::FILE* archive = openArchive("vorna.spr");
  if (archive == nullptr) {
    say("Unable to open vorna.spr!\n");
    return 1;
  }
  // A run stopped by SIGKILL may have left its temporary image behind.
  removeStaleTemps(".");

  const std::vector<bool> present = imagesPresent();

  const IndexStatus index = readIndex(archive, picList);
  bool clean = index == IndexStatus::whole;
  if (index != IndexStatus::cutInHeader) {
    // In id order, whatever order the blocks have in the file.
    for (PicEntry& entry : picList) {
      if (readPicHeader(entry, archive) != ReadStatus::ok) clean = false;
      const bool wasAbsent = !present.at(static_cast<std::size_t>(entry.id));
      if (convertPic(entry, archive, wasAbsent) != PicResult::done) clean = false;
    }
  }
  std::fclose(archive);
  return clean ? 0 : 2;
}
