#include "pack/pic_files.h"

#include <algorithm>

#include "archive/pic_names.h"

bool takePicName(const std::string& name, std::map<int, std::string>& names, const Report& report) {
  const PicName kind = classifyName(name);
  if (kind.kind == NameKind::otherPng) {
    report(name, "skipped: not a pic's name (1.png to 65535.png)");
  } else if (kind.kind == NameKind::notAPic) {
    report(name, "is not a pic's name: pics are 1.png to 65535.png, without leading zeros");
    return false;
  } else if (kind.kind == NameKind::pic) {
    const auto [known, fresh] = names.emplace(kind.id, name);
    if (!fresh) {
      // 5.png and 5.PNG, where case tells names apart.
      report(std::max(name, known->second),
             "is pic " + std::to_string(kind.id) + "'s PNG as well as " + std::min(name, known->second));
      return false;
    }
  }
  return true;
}
