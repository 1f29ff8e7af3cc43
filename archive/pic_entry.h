#pragma once

// vorna.spr, the sprite archive, as this program reads it. Every integer is
// unsigned little-endian; every byte is taken as 0..255.
//
// File header, at offset 0:
//   0      4      signature, not examined
//   4      2      pic count N (0..65535)
//   6      4 * N  offset table; the entry at 6 + 4 * (k - 1) belongs to pic k.
//                 Its bytes b0 b1 b2 b3 give the pic block's file offset
//                 b0 | b1 << 8 | b2 << 16; b3 is ignored. An offset of 0 marks
//                 an empty slot: there is no pic k, but the id is used up.
//
// Pic block, at its offset (blocks need not be contiguous or in id order):
//   0      3      prefix, not interpreted
//   3      2      data size S
//   5      S      run data: runs back to back
//
// Run:
//   0      2      transparent count t
//   2      2      coloured count c
//   4      3 * c  colours, one byte each of red, green, blue
//
// A pic is 32 x 32 pixels, numbered 0..1023 row by row (32 * y + x). How t and
// c move the cursor over those numbers is the run decoder's business; see
// convert/decode_runs.h.

#include <array>
#include <cstdint>
#include <vector>

// One listed pic. readIndex sets `offset`, readPicHeader fills `header` and
// `size`, and the run decoder uses `run` as scratch for the run it is on.
struct PicEntry {
  explicit PicEntry(std::int32_t picId) : id(picId) {}

  std::array<std::uint8_t, 5> header{};  // the block's first 5 bytes as stored
  std::array<std::uint8_t, 4> run{};     // t low, t high, c low, c high
  std::int32_t size = 0;                 // S, the run data's size in bytes
  std::int32_t offset = 0;               // file offset of the pic block
  std::int32_t id;                       // 1-based table position; names N.png
};

// The listed pics in ascending id order. Appended at the back while the index
// is read, then walked front to back; nothing is ever removed.
using PicList = std::vector<PicEntry>;
