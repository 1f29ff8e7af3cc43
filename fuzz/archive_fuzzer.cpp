// Fuzz target: an arbitrary byte string as vorna.spr, through the index pass
// and the run decoder, checked against the plain model of the format.
//
// Besides not crashing (the sanitizers watch every access), each input must
// satisfy:
//   - the printed lines are exactly the model's, so a pic never gets more
//     than one "warining" line or one end-of-archive line;
//   - the pixels placed are exactly the model's, and none lands outside
//     0..1023: the scratch image is twice as tall as a pic, and its lower
//     half must stay untouched;
//   - after a pic read whole, the stream stands just past its run data: the
//     decoder has consumed its runs and nothing beyond them.
//
// The converter never looks at the signature, so the target borrows it: when
// byte 3 is 0xEE, bytes 0..2 give a position (little-endian) from which every
// read fails, as on a bad disk. Other inputs read like a file.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "archive/archive_stream.h"
#include "archive/read_index.h"
#include "convert/convert_pic.h"
#include "convert/decode_runs.h"
#include "testsupport/archive_writer.h"
#include "testsupport/model_unpack.h"

namespace {

using testsupport::Bytes;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "archive_fuzzer: %s\n", why.c_str());
  std::abort();
}

// Standard output goes to an in-memory file, read back after every input.
class CapturedStdout {
 public:
  CapturedStdout() : fd_(memfd_create("stdout", 0)) {
    if (fd_ < 0 || dup2(fd_, STDOUT_FILENO) < 0) fail("cannot capture standard output");
  }

  void clear() {
    std::fflush(stdout);
    if (ftruncate(fd_, 0) != 0 || lseek(STDOUT_FILENO, 0, SEEK_SET) != 0) fail("cannot reset capture");
  }

  std::string text() {
    std::fflush(stdout);
    std::string out;
    char buffer[4096];
    ssize_t got = 0;
    for (off_t at = 0; (got = pread(fd_, buffer, sizeof buffer, at)) > 0; at += got) {
      out.append(buffer, static_cast<std::size_t>(got));
    }
    return out;
  }

 private:
  int fd_;
};

std::size_t failurePoint(const Bytes& archive) {
  if (archive.size() < 4 || archive[3] != 0xEE) return testsupport::neverFails;
  return archive[0] | unsigned{archive[1]} << 8u | unsigned{archive[2]} << 16u;
}

// The most lines starting with `head` that name any one pic. Both per-pic
// lines end with the id: "... in 7" and "... pic 7!".
int mostLinesForOnePic(const std::string& output, const std::string& head) {
  std::map<long, int> counts;
  int most = 0;
  for (std::size_t start = 0, end = 0; start < output.size(); start = end + 1) {
    end = output.find('\n', start);
    if (output.compare(start, head.size(), head) != 0) continue;
    const long id = std::strtol(output.c_str() + output.rfind(' ', end) + 1, nullptr, 10);
    most = std::max(most, ++counts[id]);
  }
  return most;
}

const std::array<int, picSide>& backgroundRow() {
  static const std::array<int, picSide> row = [] {
    std::array<int, picSide> filled{};
    filled.fill(picBackground);
    return filled;
  }();
  return row;
}

void resetImage(gdImagePtr image) {
  for (int y = 0; y < gdImageSY(image); ++y) {
    std::memcpy(image->tpixels[y], backgroundRow().data(), sizeof(int) * picSide);
  }
}

void checkPixels(gdImagePtr image, const testsupport::ModelPic& pic) {
  std::array<int, std::size_t{picSide} * picSide> want{};
  for (std::size_t p = 0; p < want.size(); ++p) {
    const auto& colour = pic.sprite[p];
    want[p] = colour ? colour->red << 16 | colour->green << 8 | colour->blue : picBackground;
  }
  const std::array<int, picSide>& background = backgroundRow();
  for (int y = 0; y < 2 * picSide; ++y) {
    const int* wanted =
        y < picSide ? &want.at(std::size_t{picSide} * static_cast<std::size_t>(y)) : background.data();
    if (std::memcmp(image->tpixels[y], wanted, sizeof background) != 0) {
      fail("pic " + std::to_string(pic.id) + " differs in row " + std::to_string(y));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static CapturedStdout captured;
  static gdImagePtr image = gdImageCreateTrueColor(picSide, 2 * picSide);
  if (image == nullptr) fail("cannot create the scratch image");
  gdImageAlphaBlending(image, 0);  // as the converter draws
  captured.clear();

  const Bytes archive(data, data + size);
  const std::size_t failAt = failurePoint(archive);
  const testsupport::ModelRun want = testsupport::modelUnpack(archive, /*doneLines=*/false, failAt);
  const testsupport::ArchiveFile file(archive, failAt);

  PicList pics;
  if (readIndex(file.get(), pics) != IndexStatus::cutInHeader) {
    if (pics.size() != want.pics.size()) fail("listed pics differ");
    for (std::size_t i = 0; i < pics.size(); ++i) {
      PicEntry& entry = pics[i];
      const testsupport::ModelPic& model = want.pics[i];
      if (entry.id != model.id) fail("pic ids differ");
      resetImage(image);
      const ReadStatus header = readPicHeader(entry, file.get());
      const ReadStatus runs = decodeRuns(entry, file.get(), image);
      if ((header != ReadStatus::ok || runs != ReadStatus::ok) != model.cut) fail("cut reported wrongly");
      if (!model.cut && std::ftell(file.get()) != static_cast<long>(model.end)) {
        fail("pic " + std::to_string(model.id) + " consumed the wrong bytes");
      }
      checkPixels(image, model);
    }
  }

  const std::string output = captured.text();
  if (output != want.output) fail("printed\n" + output + "wanted\n" + want.output);
  if (mostLinesForOnePic(output, "vorna.spr ends inside pic ") > 1 ||
      mostLinesForOnePic(output, "warining: i is ") > 1) {
    fail("more than one line of a kind for one pic");
  }
  return 0;
}
