#include "app/standard_descriptors.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

void fillClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open always takes the lowest free descriptor. Not the one wanted (it
    // cannot be, as the lower ones are open): give up on it rather than leak it.
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}
