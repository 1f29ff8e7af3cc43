#pragma once

// Which of a set of files are pics' PNGs, and what is said of the others: the
// files of vorna-pack's directory, or those dropped on the web page. Pic N's
// PNG is N.png (see archive/pic_names.h).

#include <map>
#include <string>

#include "pack/pack_plan.h"

// Takes `name` into `names` (by id) when it is a pic's PNG. A name that looks
// like a pic's but cannot be one (0.png, 07.png, 70000.png), or a second name
// for a pic taken already (5.png and 5.PNG), is reported as an error: false.
// Another name ending in .png is reported as skipped; other names are passed
// over in silence.
bool takePicName(const std::string& name, std::map<int, std::string>& names, const Report& report);
