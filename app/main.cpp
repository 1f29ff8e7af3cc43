#include <cstdio>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "app/driver.h"
#include "app/standard_descriptors.h"
#include "files/replace_file.h"

// vorna-unpack takes no arguments: it works on ./vorna.spr.
int main() {
  fillClosedStandardDescriptors();
  installTempCleanup();
  // Encoding each PNG allocates zlib's state (about 270 KiB) and frees it
  // again. With glibc's defaults that memory goes back to the kernel after
  // every pic and comes back, freshly zeroed, for the next one: thousands of
  // brk calls and page faults. Keeping it costs well under a MiB. (Other C
  // libraries, Windows' among them, have no such knobs.)
#ifdef __GLIBC__
  constexpr int keep = 8 << 20;
  mallopt(M_MMAP_THRESHOLD, keep);
  mallopt(M_TRIM_THRESHOLD, keep);
#endif

  int status = runConverter();
  // Progress lines that never reached their reader (stdout on a full disk) are
  // a failure too, though there is nowhere left to say so.
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) status = 2;
  return status;
}
