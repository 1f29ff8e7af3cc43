#pragma once

// What a file name is to the programs: pic N's image is N.png, N from 1 to
// 65535 in decimal without leading zeros. ".png" counts in any case, for the
// systems where case does not tell names apart (and for the files that come
// from them): vorna-unpack treats 5.PNG as its own 5.png, and vorna-pack
// packs it as pic 5.

#include <string_view>

enum class NameKind {
  pic,       // N.png: the image of pic N
  notAPic,   // looks like one but cannot be: 0.png, 07.png, 70000.png
  otherPng,  // another name ending in .png: x.png, " 5.png", +5.png
  other,     // anything else
};

struct PicName {
  NameKind kind = NameKind::other;
  int id = 0;  // for NameKind::pic
};

PicName classifyName(std::string_view name);
