#include "convert/convert_pic.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "archive/archive_layout.h"
#include "archive/pic_names.h"
#include "convert/decode_runs.h"
#include "convert/pic_png.h"
#include "files/replace_file.h"

namespace {

// Draws the pic on a fresh image and encodes it as PNG. `data` tells whether
// the run data was read whole. Empty bytes when gd failed.
EncodedPng drawPng(PicEntry& entry, std::FILE* archive, ReadStatus& data) {
  gdImagePtr image = makePicImage();
  if (image == nullptr) return {};
  data = decodeRuns(entry, archive, image);
  return encodeImage(image);
}

// The archive being read, which no image may ever overwrite: an N.png that
// is another name of it (a link) is refused. Null when not known.
const struct stat* archiveBeingRead = nullptr;

bool isArchive(const struct stat& file) {
  // (Windows gives no file an inode number; nor can an N.png link there.)
  return archiveBeingRead != nullptr && archiveBeingRead->st_ino != 0 &&
         file.st_dev == archiveBeingRead->st_dev && file.st_ino == archiveBeingRead->st_ino;
}

// The way for an N.png that is not a regular file (a symlink, a FIFO, a
// device, a directory): it is opened by its name and written through, as it
// always was. A temporary renamed over it would replace the link or the
// device itself. The open is what stdio's "wb+" does, except that a regular
// file behind a link is cut to nothing only once the new image is ready, so
// that an interruption has the least chance of finding it half written. What
// the name leads to is settled before the pic is read: the archive itself,
// or a read-only file (which root could open), is refused and left alone.
// `make` draws and encodes the image.
template <typename Make>
bool writeThrough(const char* name, Make&& make) {
  const int out = openThrough(name);
  if (out < 0) return false;
  struct stat info {};
  if (fstat(out, &info) != 0 || isArchive(info) || (S_ISREG(info.st_mode) && isReadOnly(info))) {
    close(out);
    return false;
  }
  const EncodedPng png = make();
  bool written = png.size > 0;
  if (written && S_ISREG(info.st_mode)) written = ftruncate(out, 0) == 0;
  written = written && writeThroughAll(out, png.bytes.get(), png.size);
  // close reports what a network file system may only find out at the end.
  if (close(out) == 0 && written) return true;
  std::remove(name);
  return false;
}

// Draws the image into `png` and a new temporary beside `name`; false, with
// the temporary gone, when that fails.
template <typename Make>
bool makeTemp(const char* name, TempFile& temp, Make&& make, EncodedPng& png) {
  if (!createTempBeside(name, temp)) return false;
  png = make();
  if (png.size > 0 && writeTemp(temp, png.bytes.get(), png.size)) return true;
  discardTemp(temp);
  return false;
}

// The way for a regular N.png, or none: the new image goes to a temporary
// beside it, renamed over it only when complete, so that N.png is never seen
// half written, whatever stops the run. Whether N.png may be replaced is
// settled before the archive is touched. The replacement keeps the
// permissions of the file it replaces, and its owner where it may.
template <typename Make>
bool writeReplacing(const char* name, const struct stat* existing, Make&& make) {
  if (existing != nullptr && (isArchive(*existing) || !mayReplace(name, *existing))) return false;
  TempFile temp;
  EncodedPng png;
  return makeTemp(name, temp, make, png) && commitTemp(temp, /*sync=*/false, existing);
}

// Hands over an image made already. (One type for every such hand-over, so
// that writeNew and writeLooking, which call each other, make no endless
// chain of templates.)
struct HandOver {
  EncodedPng& png;
  EncodedPng operator()() const { return std::move(png); }
};

template <typename Make>
bool writeNew(const char* name, Make&& make);

// Looks at what N.png is now, and writes it the way that suits. A name that
// is free is taken only if it is still free when the image is ready, unless
// `lastLook` says that this was found out already.
template <typename Make>
bool writeLooking(const char* name, Make&& make, bool lastLook = false) {
  struct stat info {};
  if (lstat(name, &info) != 0) {
    return lastLook || !canCommitIfAbsent() ? writeReplacing(name, nullptr, make) : writeNew(name, make);
  }
  return S_ISREG(info.st_mode) ? writeReplacing(name, &info, make) : writeThrough(name, make);
}

// The way for a name that is free, which is every name in a fresh directory
// (the run lists it once as it starts): the temporary takes the name only if
// it is still free. Should another program have taken it in the meantime,
// the finished image is placed as for a name that was there.
template <typename Make>
bool writeNew(const char* name, Make&& make) {
  TempFile temp;
  EncodedPng png;
  if (!makeTemp(name, temp, make, png)) return false;
  const NewFile placed = commitTempIfAbsent(temp);
  if (placed != NewFile::taken) return placed == NewFile::placed;
  return writeLooking(name, HandOver{png}, /*lastLook=*/true);
}

}  // namespace

PicResult convertPic(PicEntry& entry, std::FILE* archive, bool wasAbsent, const struct stat* archiveFile) {
  archiveBeingRead = archiveFile;
  std::array<char, 16> name{};
  std::snprintf(name.data(), name.size(), "%i.png", entry.id);

  ReadStatus data = ReadStatus::ok;
  const auto draw = [&] { return drawPng(entry, archive, data); };
  const bool written =
      wasAbsent && canCommitIfAbsent() ? writeNew(name.data(), draw) : writeLooking(name.data(), draw);
  if (!written) {
    sayPicUnwritable(entry.id);
    return PicResult::unwritable;
  }
  sayPicDone(entry.id);
  return data == ReadStatus::ok ? PicResult::done : PicResult::doneFromCutData;
}

std::vector<bool> imagesPresent() {
  std::vector<bool> present(std::size_t{mostPics} + 1, true);
  DIR* listing = opendir(".");
  // Unlisted, every name must be looked at before it is written.
  if (listing == nullptr) return present;
  present.assign(present.size(), false);
  while (const dirent* item = readdir(listing)) {
    const PicName name = classifyName(item->d_name);
    if (name.kind == NameKind::pic) present[static_cast<std::size_t>(name.id)] = true;
  }
  closedir(listing);
  return present;
}
