#include "convert/convert_pic.h"

#include <array>

#include "convert/decode_runs.h"

bool writePng(gdImagePtr image, std::FILE* out) {
  // Encoding into memory first gives a result to check: gdImagePng writes to
  // the stream and says nothing when libpng or the write fails.
  int size = 0;
  void* png = gdImagePngPtr(image, &size);
  if (png == nullptr) return false;
  const auto length = static_cast<std::size_t>(size);
  const bool written = size > 0 && std::fwrite(png, 1, length, out) == length;
  gdFree(png);
  return written;
}

namespace {

// Draws the pic on a fresh image and writes it to `out`. `data` tells whether
// the run data was read whole.
bool drawAndWrite(PicEntry& entry, std::FILE* archive, std::FILE* out, ReadStatus& data) {
  gdImagePtr image = gdImageCreateTrueColor(picSide, picSide);
  if (image == nullptr) return false;
  // Blending off: every write stores its value, alpha included, as it is.
  gdImageAlphaBlending(image, 0);
  gdImageFilledRectangle(image, 0, 0, picSide - 1, picSide - 1, picBackground);
  data = decodeRuns(entry, archive, image);
  gdImageSaveAlpha(image, 1);
  const bool written = writePng(image, out);
  gdImageDestroy(image);
  return written;
}

}  // namespace

PicResult convertPic(PicEntry& entry, std::FILE* archive) {
  std::array<char, 16> name{};
  std::snprintf(name.data(), name.size(), "%i.png", entry.id);

  ReadStatus data = ReadStatus::ok;
  std::FILE* out = std::fopen(name.data(), "wb+");
  if (out != nullptr) {
    // The PNG goes out in one fwrite: unbuffered, that is one write call, with
    // no buffer to allocate and no fstat to size it.
    std::setvbuf(out, nullptr, _IONBF, 0);
    const bool written = drawAndWrite(entry, archive, out, data);
    // fclose flushes the last of the PNG: a full disk often shows only here.
    if (std::fclose(out) == 0 && written) {
      std::printf("Pics done: %i\n", entry.id);
      return data == ReadStatus::ok ? PicResult::done : PicResult::doneFromCutData;
    }
    std::remove(name.data());
  }
  std::printf("Unable to write %i.png!\n", entry.id);
  return PicResult::unwritable;
}
