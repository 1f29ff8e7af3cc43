#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/driver.h"
#include "files/replace_file.h"

namespace {

// Started with standard input, output or error closed (as some service
// managers and cron set-ups do), the archive and the images would take those
// descriptors, and stdio would flush the progress lines into a PNG. /dev/null
// fills each gap first: open always takes the lowest free descriptor.
void fillClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", O_RDWR);
    // Not the one wanted (it cannot be, as the lower ones are open): give up
    // on it rather than leak it.
    if (opened >= 0 && opened != fd) close(opened);
  }
}

}  // namespace

// vorna-unpack takes no arguments: it works on ./vorna.spr.
int main() {
  fillClosedStandardDescriptors();
  installTempCleanup();
  // Encoding each PNG allocates zlib's state (about 270 KiB) and frees it
  // again. With glibc's defaults that memory goes back to the kernel after
  // every pic and comes back, freshly zeroed, for the next one: thousands of
  // brk calls and page faults. Keeping it costs well under a MiB.
  constexpr int keep = 8 << 20;
  mallopt(M_MMAP_THRESHOLD, keep);
  mallopt(M_TRIM_THRESHOLD, keep);
  int status = runConverter();
  // Progress lines that never reached their reader (stdout on a full disk) are
  // a failure too, though there is nowhere left to say so.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) status = 2;
  return status;
}
