#include "archive/pic_names.h"

#include "archive/archive_layout.h"

PicName classifyName(std::string_view name) {
  constexpr std::string_view suffix = ".png";
  if (name.size() < suffix.size()) return {};
  const std::string_view end = name.substr(name.size() - suffix.size());
  for (std::size_t k = 0; k < suffix.size(); ++k) {
    // c | 0x20 is the lower case of a letter, and leaves '.' as it is.
    if ((end[k] | 0x20) != suffix[k]) return {};
  }
  const std::string_view digits = name.substr(0, name.size() - suffix.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return {NameKind::otherPng, 0};
  }
  int id = 0;
  for (const char digit : digits.substr(0, 6)) id = id * 10 + (digit - '0');
  if (digits[0] == '0' || digits.size() > 5 || id > mostPics) return {NameKind::notAPic, 0};
  return {NameKind::pic, id};
}
