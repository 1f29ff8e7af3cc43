#include "archive/archive_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string_view>

#include "archive/messages.h"

namespace {

// Opens `path` for binary reading without waiting: O_NONBLOCK keeps the open
// of a FIFO that has no writer from waiting for one for ever. Windows has no
// such FIFOs, and would read in text mode without O_BINARY.
int openNoWait(const char* path) {
#ifdef _WIN32
  return open(path, O_RDONLY | O_BINARY | O_NOINHERIT);
#else
  return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
#endif
}

// Reads on `fd` wait for data again. On a regular file O_NONBLOCK changes
// nothing, but it is not left behind.
bool clearNoWait(int fd) {
#ifdef _WIN32
  return fd >= 0;
#else
  const int flags = fcntl(fd, F_GETFL);
  return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
#endif
}

}  // namespace

#ifdef __linux__
namespace {

// Whether an open through /proc/self/fd failed for want of /proc (not
// mounted, or barred as a whole by a sandbox) rather than for a reason of
// the file's own (no read permission) or of this run's (no descriptor left).
// Only then is the name opened instead: an open by name may open whatever
// has taken the name since it was looked at.
bool procIsMissing(int error) {
  if (error == ENOENT || error == ENOTDIR) return true;
  if (error != EACCES && error != EPERM) return false;
  const bool barred = access("/proc/self/fd", R_OK | X_OK) != 0;
  errno = error;
  return barred;
}

// The file `path` leads to, held without being opened (O_PATH), then opened
// through that hold if it is a regular file: what is looked at is what is
// opened, whatever takes the name in between. -1 with errno set, and
// `notRegular` when it is no regular file; -2 where /proc cannot be used.
int openHeld(const char* path, bool& notRegular) {
  const int held = open(path, O_PATH | O_CLOEXEC);
  if (held < 0) return -1;
  struct stat info {};
  int fd = -1;
  if (fstat(held, &info) == 0 && !S_ISREG(info.st_mode)) {
    notRegular = true;
    errno = EINVAL;
  } else if (S_ISREG(info.st_mode)) {
    // (The digits by hand: snprintf costs more than the rest of the open.)
    std::array<char, 32> name{};
    constexpr std::string_view prefix = "/proc/self/fd/";
    std::size_t at = prefix.copy(name.data(), prefix.size());
    std::array<char, 12> digits{};
    std::size_t count = 0;
    for (unsigned rest = static_cast<unsigned>(held); count == 0 || rest > 0; rest /= 10) {
      digits[count++] = static_cast<char>('0' + rest % 10);
    }
    while (count > 0) name[at++] = digits[--count];
    fd = open(name.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && procIsMissing(errno)) fd = -2;
  }
  const int error = errno;
  close(held);
  errno = error;
  return fd;
}

}  // namespace
#endif

int openRegularFile(const char* path, bool& notRegular) {
  notRegular = false;
#ifdef __linux__
  const int held = openHeld(path, notRegular);
  if (held != -2) return held;
#endif
  struct stat info {};
  notRegular = stat(path, &info) == 0 && !S_ISREG(info.st_mode);
  if (notRegular) {
    errno = EINVAL;
    return -1;
  }
  const int fd = openNoWait(path);
  if (fd < 0) return -1;
  // What was a file at the look may be something else by the open.
  notRegular = fstat(fd, &info) == 0 && !S_ISREG(info.st_mode);
  if (notRegular || !clearNoWait(fd)) {
    const int error = notRegular ? EINVAL : errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::FILE* openArchive(const char* path) {
  bool notRegular = false;
  return openArchive(path, notRegular);
}

std::FILE* openArchive(const char* path, bool& notRegular) {
  // Only a regular file can be read at the offsets its table names: on a pipe
  // every seek fails, and each pic would come out empty over a good image.
  const int fd = openRegularFile(path, notRegular);
  if (fd < 0) return nullptr;
  std::FILE* archive = fdopen(fd, "rb");
  if (archive == nullptr) {
    close(fd);
    return nullptr;
  }
  // A stream from fdopen does not know its place until it is first
  // positioned; until then every ftell (see seekTo) asks the system.
  if (std::fseek(archive, 0, SEEK_SET) != 0) {
    std::fclose(archive);
    return nullptr;
  }
  return archive;
}

namespace {

// The next byte, or EOF. Only this program touches the stream, so stdio's
// per-call lock buys nothing; Windows' C library names the lock-free getc
// differently.
int nextByte(std::FILE* archive) {
#ifdef _WIN32
  return _getc_nolock(archive);
#else
  return getc_unlocked(archive);
#endif
}

}  // namespace

ReadStatus seekTo(std::FILE* archive, long offset) {
  // A read error is sticky in stdio; clear it so that it is not blamed on the
  // reads of the next pic as well.
  std::clearerr(archive);
  // Blocks mostly follow one another, so the stream often stands at `offset`
  // already. A seek would still cost a system call there: stdio re-syncs the
  // descriptor even when the place is inside its buffer, while ftell is
  // worked out from the buffer once the stream has been positioned.
  if (offset >= 0 && std::ftell(archive) == offset) return ReadStatus::ok;
  return std::fseek(archive, offset, SEEK_SET) == 0 ? ReadStatus::ok : ReadStatus::error;
}

ReadStatus readBytes(std::FILE* archive, std::uint8_t* out, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const int byte = nextByte(archive);
    if (byte == EOF) return std::ferror(archive) ? ReadStatus::error : ReadStatus::end;
    out[i] = static_cast<std::uint8_t>(byte);
  }
  return ReadStatus::ok;
}

namespace {

// 64-bit positions, so that an archive with gigabytes after its blocks is
// still measured right where long has 32 bits (Windows).
#ifdef _WIN32
bool seekTo64(std::FILE* archive, long long offset, int whence) {
  return _fseeki64(archive, offset, whence) == 0;
}
long long tell64(std::FILE* archive) { return _ftelli64(archive); }
#else
bool seekTo64(std::FILE* archive, long long offset, int whence) {
  return fseeko(archive, static_cast<off_t>(offset), whence) == 0;
}
long long tell64(std::FILE* archive) { return ftello(archive); }
#endif

}  // namespace

ReadStatus skipBytes(std::FILE* archive, std::size_t count) {
  // Only colours that can no longer land on a pixel are skipped, at most once
  // a pic, so the seeks to the end and back cost little; reading them would
  // cost a byte at a time, up to 196,605 bytes a pic.
  const long long here = tell64(archive);
  if (here < 0 || !seekTo64(archive, 0, SEEK_END)) return ReadStatus::error;
  const long long size = tell64(archive);
  if (size < 0) return ReadStatus::error;
  if (size - here < static_cast<long long>(count)) return ReadStatus::end;
  return seekTo64(archive, here + static_cast<long long>(count), SEEK_SET) ? ReadStatus::ok
                                                                           : ReadStatus::error;
}

void reportShortRead(ReadStatus status, const char* endLine, int id) {
  if (status == ReadStatus::error) {
    say("Unable to read vorna.spr!\n");
  } else {
    say(endLine, id);
  }
}

void reportShortPic(ReadStatus status, int id) {
  reportShortRead(status, "vorna.spr ends inside pic %i!\n", id);
}
