#include <cstdio>
#include <string>
#include <vector>

#include "app/standard_descriptors.h"
#include "files/replace_file.h"
#include "pack/pack_options.h"
#include "pack/run_pack.h"

namespace {

// What standard output could not take (a full disk) is a failure too, as for
// vorna-unpack: status 2, though the archive was written.
int withOutputChecked(int status) {
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && status == 0) return 2;
  return status;
}

}  // namespace

// vorna-pack [OPTIONS] [DIRECTORY]: packs DIRECTORY/N.png into vorna.spr.
int main(int argc, char** argv) {
  fillClosedStandardDescriptors();
  installTempCleanup();
  const std::vector<std::string> args(argv + 1, argv + argc);
  PackOptions options;
  std::string error;
  switch (parsePackArguments(args, options, error)) {
    case Command::help: std::fputs(packUsage, stdout); return withOutputChecked(0);
    case Command::version: std::printf("vorna-pack %s\n", VORNA_VERSION); return withOutputChecked(0);
    case Command::usageError: std::fprintf(stderr, "vorna-pack: %s\n%s", error.c_str(), packUsage); return 2;
    case Command::pack: break;
  }
  return withOutputChecked(runPack(options));
}
