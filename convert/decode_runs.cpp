#include "convert/decode_runs.h"

#include <array>

ReadStatus readRunHeader(PicEntry& entry, std::FILE* archive) {
  return readBytes(archive, entry.run.data(), entry.run.size());
}

ReadStatus readRgb(std::FILE* archive, PicColour& colour) {
  std::array<std::uint8_t, 3> bytes{};
  const ReadStatus status = readBytes(archive, bytes.data(), bytes.size());
  if (status == ReadStatus::ok) colour = PicColour{bytes[0], bytes[1], bytes[2]};
  return status;
}

void putPicPixel(int p, int red, int green, int blue, gdImagePtr image) {
  // gd ignores pixels outside the image too; checking here keeps that promise
  // ours. Alpha 0 in bits 24..30 makes the pixel opaque.
  if (p < 0 || p > lastPixel) return;
  gdImageSetPixel(image, p % picSide, p / picSide, red << 16 | green << 8 | blue);
}

ReadStatus decodeRuns(PicEntry& entry, std::FILE* archive, gdImagePtr image) {
  ReadStatus status = ReadStatus::ok;
  int p = 0;  // at most 1023 + 65534 + 65535 + 1
  int n = 0;  // at most 65534 + 4 + 3 * 65535
  while (status == ReadStatus::ok && p <= lastPixel && n < entry.size) {
    status = readRunHeader(entry, archive);
    if (status != ReadStatus::ok) break;
    n += 4;
    const int transparent = le16(&entry.run[0]);
    if (transparent > 0) p += transparent - 1;
    if (p > lastPixel) std::printf("warining: i is %i in %i\n", p, entry.id);

    const int coloured = le16(&entry.run[2]);
    for (int k = 0; k < coloured; ++k) {
      PicColour colour{};
      status = readRgb(archive, colour);
      if (status != ReadStatus::ok) break;
      putPicPixel(p, colour.red, colour.green, colour.blue, image);
      n += 3;
      ++p;
    }
    ++p;
  }
  if (status != ReadStatus::ok) reportShortPic(status, entry.id);
  return status;
}
