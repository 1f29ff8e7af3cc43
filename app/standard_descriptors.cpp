#include "app/standard_descriptors.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

// Windows' C library never hands out descriptors 0 to 2 for files, even when
// the program starts without standard handles: nothing to fill there.
void fillClosedStandardDescriptors() {
#ifndef _WIN32
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open always takes the lowest free descriptor. Not the one wanted (it
    // cannot be, as the lower ones are open): give up on it rather than leak it.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
#endif
}
