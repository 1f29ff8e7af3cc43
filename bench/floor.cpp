// vorna-floor ARCHIVE: the least work any converter of ARCHIVE into PNGs in
// the current directory can do with libgd, timed in two parts.
//
//   encode  the archive is read into memory whole; every listed pic is
//           decoded straight from there onto a gd image and encoded with
//           gdImagePngPtr, the PNG kept in memory;
//   files   each PNG is written with open, write, fchmod and close to a
//           temporary file, renamed to N.png.
//
// Prints one line: pics, encode CPU and wall seconds, files CPU and wall
// seconds. The images are the converter's, pixel for pixel, so the PNG bytes
// are too (bench/run checks this).

#include <fcntl.h>
#include <gd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Png {
  int id;
  void* bytes;
  int size;
};

struct Clock {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  std::clock_t cpu = std::clock();

  void print() const {
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - wall;
    std::printf(" %.4f %.4f", static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, elapsed.count());
  }
};

unsigned at16(const std::vector<std::uint8_t>& data, std::size_t i) {
  return i + 1 < data.size() ? data[i] | unsigned{data[i + 1]} << 8u : 0;
}

// The converter's cursor arithmetic over bytes in memory; stops at the end.
void decode(const std::vector<std::uint8_t>& data, std::size_t offset, gdImagePtr image) {
  const unsigned size = at16(data, offset + 3);
  std::size_t at = offset + 5;
  unsigned p = 0;
  unsigned n = 0;
  while (p <= 1023 && n < size && at + 4 <= data.size()) {
    const unsigned t = at16(data, at);
    const unsigned c = at16(data, at + 2);
    at += 4;
    n += 4;
    if (t > 0) p += t - 1;
    for (unsigned k = 0; k < c && at + 3 <= data.size(); ++k, ++p, at += 3, n += 3) {
      if (p <= 1023) {
        gdImageSetPixel(image, static_cast<int>(p % 32), static_cast<int>(p / 32),
                        data[at] << 16 | data[at + 1] << 8 | data[at + 2]);
      }
    }
    ++p;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: vorna-floor ARCHIVE\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> data{std::istreambuf_iterator<char>(file), {}};
  if (data.size() < 6) return 1;

  const Clock encodeClock;
  std::vector<Png> pngs;
  const unsigned count = at16(data, 4);
  for (unsigned id = 1; id <= count && 6 + 4 * id <= data.size(); ++id) {
    const std::size_t slot = 6 + 4 * (id - 1);
    const std::size_t offset = data[slot] | unsigned{data[slot + 1]} << 8u | unsigned{data[slot + 2]} << 16u;
    if (offset == 0) continue;
    gdImagePtr image = gdImageCreateTrueColor(32, 32);
    gdImageAlphaBlending(image, 0);
    gdImageFilledRectangle(image, 0, 0, 31, 31, 0x7F808080);
    decode(data, offset, image);
    gdImageSaveAlpha(image, 1);
    Png png{static_cast<int>(id), nullptr, 0};
    png.bytes = gdImagePngPtr(image, &png.size);
    gdImageDestroy(image);
    if (png.bytes == nullptr) return 1;
    pngs.push_back(png);
  }
  std::printf("%zu", pngs.size());
  encodeClock.print();

  const Clock filesClock;
  // As the converter must: each file is written under a temporary name that
  // only its owner can read, given a new file's mode, and renamed into place,
  // so that no N.png is ever seen half written.
  const std::string temp = ".vorna-floor.tmp";
  const mode_t mask = umask(0);
  umask(mask);
  for (const Png& png : pngs) {
    const std::string name = std::to_string(png.id) + ".png";
    const int out = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    const auto size = static_cast<std::size_t>(png.size);
    if (out < 0 || write(out, png.bytes, size) != static_cast<ssize_t>(size) ||
        fchmod(out, 0666 & ~mask) != 0 || close(out) != 0 || std::rename(temp.c_str(), name.c_str()) != 0) {
      return 1;
    }
  }
  filesClock.print();
  std::printf("\n");
  for (const Png& png : pngs) gdFree(png.bytes);
  return 0;
}
