#include "archive/archive_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::FILE* openArchive(const char* path) {
  // O_NONBLOCK: opening a FIFO that has no writer would otherwise wait for
  // one for ever. It is cleared again once the file is known to be a plain
  // one, where it changes nothing anyway.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info {};
  // Only a regular file can be read at the offsets its table names: on a pipe
  // every seek fails, and each pic would come out empty over a good image.
  const int flags = fcntl(fd, F_GETFL);
  std::FILE* archive = nullptr;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flags >= 0 &&
      fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    archive = fdopen(fd, "rb");
  }
  if (archive == nullptr) close(fd);
  return archive;
}

ReadStatus seekTo(std::FILE* archive, long offset) {
  // A read error is sticky in stdio; clear it so that it is not blamed on the
  // reads of the next pic as well.
  std::clearerr(archive);
  return std::fseek(archive, offset, SEEK_SET) == 0 ? ReadStatus::ok : ReadStatus::error;
}

ReadStatus readBytes(std::FILE* archive, std::uint8_t* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    // Only this program touches the stream, so stdio's per-call lock buys nothing.
    const int byte = getc_unlocked(archive);
    if (byte == EOF) return std::ferror(archive) ? ReadStatus::error : ReadStatus::end;
    out[i] = static_cast<std::uint8_t>(byte);
  }
  return ReadStatus::ok;
}

void reportShortRead(ReadStatus status, const char* endLine, int id) {
  if (status == ReadStatus::error) {
    std::printf("Unable to read vorna.spr!\n");
  } else {
    std::printf(endLine, id);
  }
}

void reportShortPic(ReadStatus status, int id) {
  reportShortRead(status, "vorna.spr ends inside pic %i!\n", id);
}
