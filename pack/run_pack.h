#pragma once

#include <map>
#include <string>
#include <vector>

#include "pack/pack_options.h"

// Finds the pics' PNGs in `directory` (shown as `shownDirectory` in reports,
// empty for the current one): the names N.png with N = 1..65535 in decimal
// without leading zeros, ".png" in any case, by id. Names that look like a
// pic's but cannot be one (0.png, 07.png, 70000.png), or a second name for
// one pic (5.png and 5.PNG), are reported as errors; other names ending in
// .png are listed as skipped; the rest are ignored. False on any error, or
// when the directory cannot be read.
bool findPics(const std::string& directory, const std::string& shownDirectory,
              std::map<int, std::string>& names);

// Runs vorna-pack: returns the exit status, 0 when the archive was written,
// 1 when nothing was. Errors go to standard error, the summary to standard
// output.
int runPack(const PackOptions& options);
