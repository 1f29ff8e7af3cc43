#include "convert/convert_pic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "convert/decode_runs.h"
#include "files/replace_file.h"

namespace {

struct GdFree {
  void operator()(void* bytes) const { gdFree(bytes); }
};

// A PNG encoded in memory by gd.
struct EncodedPng {
  std::unique_ptr<void, GdFree> bytes;
  std::size_t size = 0;
};

// Draws the pic on a fresh image and encodes it as PNG. Encoding into memory
// gives a result to check: gdImagePng writes to a stream and says nothing
// when libpng or the write fails. `data` tells whether the run data was read
// whole. Empty bytes when gd failed.
EncodedPng drawPng(PicEntry& entry, std::FILE* archive, ReadStatus& data) {
  EncodedPng png;
  gdImagePtr image = gdImageCreateTrueColor(picSide, picSide);
  if (image == nullptr) return png;
  // Blending off: every write stores its value, alpha included, as it is.
  gdImageAlphaBlending(image, 0);
  gdImageFilledRectangle(image, 0, 0, picSide - 1, picSide - 1, picBackground);
  data = decodeRuns(entry, archive, image);
  gdImageSaveAlpha(image, 1);
  int size = 0;
  png.bytes.reset(gdImagePngPtr(image, &size));
  gdImageDestroy(image);
  if (png.bytes && size > 0) png.size = static_cast<std::size_t>(size);
  return png;
}

// The way for an N.png that is not a regular file (a symlink, a FIFO, a
// device, a directory): it is opened by its name and written through, as it
// always was. A temporary renamed over it would replace the link or the
// device itself. The open is what stdio's "wb+" does, except that a regular
// file behind a link is cut to nothing only once the new image is ready, so
// that an interruption has the least chance of finding it half written.
bool writeThrough(const char* name, PicEntry& entry, std::FILE* archive, ReadStatus& data) {
  const int out = open(name, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (out < 0) return false;
  const EncodedPng png = drawPng(entry, archive, data);
  struct stat info {};
  bool written = png.size > 0 && fstat(out, &info) == 0;
  if (written && S_ISREG(info.st_mode)) written = ftruncate(out, 0) == 0;
  for (std::size_t done = 0; written && done < png.size;) {
    const ssize_t wrote = write(out, static_cast<const char*>(png.bytes.get()) + done, png.size - done);
    written = wrote > 0;
    if (written) done += static_cast<std::size_t>(wrote);
  }
  // close reports what a network file system may only find out at the end.
  if (close(out) == 0 && written) return true;
  std::remove(name);
  return false;
}

// The way for a regular N.png, or none: the new image goes to a temporary
// beside it, renamed over it only when complete, so that N.png is never seen
// half written, whatever stops the run. Whether N.png may be replaced is
// settled before the archive is touched.
bool writeReplacing(const char* name, const struct stat* existing, PicEntry& entry, std::FILE* archive,
                    ReadStatus& data) {
  if (existing != nullptr && !mayReplace(name, *existing)) return false;
  TempFile temp;
  if (!createTempBeside(name, temp)) return false;
  const EncodedPng png = drawPng(entry, archive, data);
  if (png.size == 0 || !writeTemp(temp, png.bytes.get(), png.size)) {
    discardTemp(temp);
    return false;
  }
  // The replacement keeps the permissions of the file it replaces.
  return commitTemp(temp, /*sync=*/false, existing != nullptr ? static_cast<int>(existing->st_mode) : -1);
}

}  // namespace

PicResult convertPic(PicEntry& entry, std::FILE* archive) {
  std::array<char, 16> name{};
  std::snprintf(name.data(), name.size(), "%i.png", entry.id);

  ReadStatus data = ReadStatus::ok;
  struct stat info {};
  const bool exists = lstat(name.data(), &info) == 0;
  const bool written = exists && !S_ISREG(info.st_mode)
                           ? writeThrough(name.data(), entry, archive, data)
                           : writeReplacing(name.data(), exists ? &info : nullptr, entry, archive, data);
  if (!written) {
    std::printf("Unable to write %i.png!\n", entry.id);
    return PicResult::unwritable;
  }
  std::printf("Pics done: %i\n", entry.id);
  return data == ReadStatus::ok ? PicResult::done : PicResult::doneFromCutData;
}
