#include "app/driver.h"

#include <sys/stat.h>

#include <cstdio>

#include "archive/archive_stream.h"
#include "archive/messages.h"
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
  // No N.png may be written over the archive while it is read (1.png could
  // be a link to vorna.spr).
  struct stat archiveFile {};
  const bool known = fstat(fileno(archive), &archiveFile) == 0;
  const int status = unpackArchive(archive, picList, [&](PicEntry& entry) {
    return convertPic(entry, archive, !present.at(static_cast<std::size_t>(entry.id)),
                      known ? &archiveFile : nullptr);
  });
  std::fclose(archive);
  return status;
}
