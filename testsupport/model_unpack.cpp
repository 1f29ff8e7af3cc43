#include "testsupport/model_unpack.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace testsupport {

namespace {

enum class Read { ok, end, error };

std::string line(const char* format, long value1, long value2 = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, value1, value2);
  return text;
}

struct Source {
  const Bytes& bytes;
  std::size_t failAt;

  unsigned at16(std::size_t i) const { return bytes[i] | unsigned{bytes[i + 1]} << 8u; }

  // Whether `count` bytes from `at` can be read, and if not, whether the
  // first missing one lies past the end of the file or in the failing part.
  Read read(std::size_t at, std::size_t count) const {
    const std::size_t readable = std::min(bytes.size(), failAt);
    if (at + count <= readable) return Read::ok;
    return std::max(at, readable) >= failAt ? Read::error : Read::end;
  }
};

std::string shortRead(Read status, const char* endLine, long id) {
  return status == Read::error ? "Unable to read vorna.spr!\n" : line(endLine, id);
}

// Walks one pic's runs over the bytes that can be read and fills `pic`;
// returns how the reading ended.
Read modelPic(const Source& source, std::size_t offset, ModelPic& pic, std::string& output) {
  Read status = source.read(offset, 5);
  if (status != Read::ok) return status;
  const unsigned size = source.at16(offset + 3);
  std::size_t at = offset + 5;
  long p = 0;
  unsigned n = 0;
  while (p <= 1023 && n < size) {
    if ((status = source.read(at, 4)) != Read::ok) return status;
    const unsigned t = source.at16(at);
    const unsigned c = source.at16(at + 2);
    at += 4;
    n += 4;
    if (t > 0) p += t - 1;
    if (p > 1023) output += line("warining: i is %li in %li\n", p, pic.id);
    unsigned k = 0;
    for (; k < c && p <= 1023; ++k, ++p) {
      if ((status = source.read(at, 3)) != Read::ok) return status;
      pic.sprite[static_cast<std::size_t>(p)] =
          Rgb{source.bytes[at], source.bytes[at + 1], source.bytes[at + 2]};
      at += 3;
      n += 3;
    }
    // Colours past the last pixel are stepped over unread: only the file's
    // length can cut them short, never a read error.
    const std::size_t rest = 3 * std::size_t{c - k};
    if (at + rest > source.bytes.size()) return Read::end;
    at += rest;
    n += static_cast<unsigned>(rest);
    p += c - k;
    ++p;
  }
  pic.end = at;
  return Read::ok;
}

}  // namespace

ModelRun modelUnpack(const Bytes& archive, bool doneLines, std::size_t failAt) {
  const Source source{archive, failAt};
  ModelRun run;
  if (const Read status = source.read(0, 6); status != Read::ok) {
    run.output = shortRead(status, "vorna.spr ends inside its header!\n", 0);
    run.exitStatus = 2;
    return run;
  }
  const unsigned count = source.at16(4);
  run.output = line("Number of pics: %li\n", count);
  std::vector<std::size_t> offsets;
  // Each listed pic has its 4 bytes in the table, which bounds the list.
  const std::size_t most = std::min<std::size_t>(count, archive.size() / 4);
  offsets.reserve(most);
  run.pics.reserve(most);
  for (unsigned id = 1; id <= count; ++id) {
    const std::size_t slot = 6 + 4 * (id - 1);
    if (const Read status = source.read(slot, 4); status != Read::ok) {
      run.output += shortRead(status, "vorna.spr ends inside the offset table at pic %li!\n", id);
      run.exitStatus = 2;
      break;
    }
    const std::size_t offset =
        archive[slot] | unsigned{archive[slot + 1]} << 8u | unsigned{archive[slot + 2]} << 16u;
    if (offset == 0) continue;
    ModelPic pic;
    pic.id = static_cast<int>(id);
    run.pics.push_back(pic);
    offsets.push_back(offset);
  }
  for (std::size_t i = 0; i < run.pics.size(); ++i) {
    ModelPic& pic = run.pics[i];
    const Read status = modelPic(source, offsets[i], pic, run.output);
    if (status != Read::ok) {
      pic.cut = true;
      run.output += shortRead(status, "vorna.spr ends inside pic %li!\n", pic.id);
      run.exitStatus = 2;
    }
    if (doneLines) run.output += line("Pics done: %li\n", pic.id);
  }
  return run;
}

std::optional<Sprite> readPlainly(const Bytes& archive, int id) {
  const auto at16 = [&archive](std::size_t i) { return archive.at(i) | unsigned{archive.at(i + 1)} << 8u; };
  try {
    const std::size_t slot = 6 + 4 * static_cast<std::size_t>(id - 1);
    const std::size_t offset = at16(slot) | unsigned{archive.at(slot + 2)} << 16u;
    if (offset == 0) return std::nullopt;
    const std::size_t end = offset + 5 + at16(offset + 3);
    Sprite sprite;
    std::size_t pixel = 0;
    for (std::size_t at = offset + 5; at < end;) {
      pixel += at16(at);
      const unsigned colours = at16(at + 2);
      at += 4;
      for (unsigned k = 0; k < colours; ++k, ++pixel, at += 3) {
        sprite.at(pixel) = Rgb{archive.at(at), archive.at(at + 1), archive.at(at + 2)};
      }
    }
    return sprite;
  } catch (const std::out_of_range&) {
    return std::nullopt;
  }
}

}  // namespace testsupport
