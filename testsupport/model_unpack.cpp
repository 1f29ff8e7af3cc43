#include "testsupport/model_unpack.h"

#include <cstdio>

namespace testsupport {

namespace {

std::string line(const char* format, long value1, long value2 = 0) {
  char text[96];
  std::snprintf(text, sizeof text, format, value1, value2);
  return text;
}

unsigned at16(const Bytes& bytes, std::size_t i) { return bytes[i] | bytes[i + 1] << 8u; }

// Walks one pic's runs over the bytes that exist and fills `pic`.
void modelPic(const Bytes& archive, std::size_t offset, ModelPic& pic, std::string& output) {
  const std::size_t length = archive.size();
  if (offset + 5 > length) {
    pic.cut = true;
    pic.end = length;
    return;
  }
  const unsigned size = at16(archive, offset + 3);
  std::size_t at = offset + 5;
  long p = 0;
  unsigned n = 0;
  while (p <= 1023 && n < size) {
    if (at + 4 > length) {
      pic.cut = true;
      break;
    }
    const unsigned t = at16(archive, at);
    const unsigned c = at16(archive, at + 2);
    at += 4;
    n += 4;
    if (t > 0) p += t - 1;
    if (p > 1023) output += line("warining: i is %li in %li\n", p, pic.id);
    for (unsigned k = 0; k < c && !pic.cut; ++k, ++p) {
      if (at + 3 > length) {
        pic.cut = true;
      } else {
        if (p <= 1023) pic.sprite[static_cast<std::size_t>(p)] = Rgb{archive[at], archive[at + 1], archive[at + 2]};
        at += 3;
        n += 3;
      }
    }
    if (pic.cut) break;
    ++p;
  }
  pic.end = pic.cut ? length : at;
}

}  // namespace

ModelRun modelUnpack(const Bytes& archive, bool doneLines) {
  ModelRun run;
  if (archive.size() < 6) {
    run.output = "vorna.spr ends inside its header!\n";
    run.exitStatus = 2;
    return run;
  }
  const unsigned count = at16(archive, 4);
  run.output = line("Number of pics: %li\n", count);
  std::vector<std::size_t> offsets;
  for (unsigned id = 1; id <= count; ++id) {
    const std::size_t slot = 6 + 4 * (id - 1);
    if (slot + 4 > archive.size()) {
      run.output += line("vorna.spr ends inside the offset table at pic %li!\n", id);
      run.exitStatus = 2;
      break;
    }
    const std::size_t offset = archive[slot] | archive[slot + 1] << 8u | archive[slot + 2] << 16u;
    if (offset == 0) continue;
    ModelPic pic;
    pic.id = static_cast<int>(id);
    run.pics.push_back(pic);
    offsets.push_back(offset);
  }
  for (std::size_t i = 0; i < run.pics.size(); ++i) {
    ModelPic& pic = run.pics[i];
    modelPic(archive, offsets[i], pic, run.output);
    if (pic.cut) {
      run.output += line("vorna.spr ends inside pic %li!\n", pic.id);
      run.exitStatus = 2;
    }
    if (doneLines) run.output += line("Pics done: %li\n", pic.id);
  }
  return run;
}

}  // namespace testsupport
