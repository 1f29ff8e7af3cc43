#include <cstdio>
#include <string>
#include <vector>

#include "app/standard_descriptors.h"
#include "files/replace_file.h"
#include "pack/pack_options.h"
#include "pack/run_pack.h"

// vorna-pack [OPTIONS] [DIRECTORY]: packs DIRECTORY/N.png into vorna.spr.
int main(int argc, char** argv) {
  fillClosedStandardDescriptors();
  installTempCleanup();
  const std::vector<std::string> args(argv + 1, argv + argc);
  PackOptions options;
  std::string error;
  switch (parsePackArguments(args, options, error)) {
    case Command::help: std::fputs(packUsage, stdout); return std::fflush(stdout) == 0 ? 0 : 1;
    case Command::version:
      std::printf("vorna-pack %s\n", VORNA_VERSION);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case Command::usageError: std::fprintf(stderr, "vorna-pack: %s\n%s", error.c_str(), packUsage); return 2;
    case Command::pack: break;
  }
  return runPack(options);
}
