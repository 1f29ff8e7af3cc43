#pragma once

#include <string>
#include <vector>

#include "pack/pack_options.h"

// Finds the pics' PNGs in `directory` (shown as `shownDirectory` in reports,
// empty for the current one): the names N.png with N = 1..65535 in decimal
// without leading zeros, by ascending N. Other files are ignored; names that
// look like a pic's but cannot be one (0.png, 07.png, 70000.png) are
// reported. False when any was, or the directory cannot be read.
bool findPics(const std::string& directory, const std::string& shownDirectory, std::vector<int>& ids);

// Runs vorna-pack: returns the exit status, 0 when the archive was written,
// 1 when nothing was. Errors go to standard error, the summary to standard
// output.
int runPack(const PackOptions& options);
