#pragma once

#include <gd.h>
#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "archive/pic_entry.h"
#include "convert/pic_png.h"
#include "convert/unpack_pass.h"
#include "convert/walk_runs.h"

// Writes pic `entry` as N.png (32 x 32 RGBA) in the current directory, decoding
// its run data from the archive, which readPicHeader has left at the start of
// that data. Whether N.png can be written is settled before anything else: if
// not, the archive is not touched. A regular N.png (or a new one) is replaced
// through a temporary file renamed over it, so that it is always either the
// old image or the whole new one; any other kind of N.png (a symlink, a
// device) is written through, and removed if that fails part way.
// `wasAbsent` says that no N.png was there when the run began (see
// imagesPresent), which spares looking before writing: the image then takes
// the name only if it is still free, and one that another program has taken
// meanwhile is settled once the image is ready.
// `archiveFile` describes the archive's own file: an N.png that is another
// name of it (a link to vorna.spr) is refused, never written over it.
PicResult convertPic(PicEntry& entry, std::FILE* archive, bool wasAbsent = false,
                     const struct stat* archiveFile = nullptr);

// Which ids have an N.png in the current directory, indexed by id: read once
// at the start of a run. All true when the directory cannot be listed.
std::vector<bool> imagesPresent();
