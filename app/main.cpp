#include <cstdio>

#include "app/driver.h"

// vorna-unpack takes no arguments: it works on ./vorna.spr.
int main() {
  int status = runConverter();
  // Progress lines that never reached their reader (stdout on a full disk) are
  // a failure too, though there is nowhere left to say so.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) status = 2;
  return status;
}
