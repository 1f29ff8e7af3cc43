#pragma once

// vorna-pack's command line.

#include <optional>
#include <string>
#include <vector>

#include "pack/png_import.h"

struct PackOptions {
  std::optional<std::string> directory;  // where the N.png files are; the current directory when absent
  std::optional<std::string> output;     // -o; DIRECTORY/vorna.spr when absent
  std::optional<std::string> base;       // -b; the output, when it exists, when absent
  bool noBase = false;
  bool compact = false;
  bool dryRun = false;  // -n: everything up to the check of the archive written, then nothing kept
  int alphaCutoff = exactAlpha;
};

enum class Command { pack, help, version, usageError };

// Parses the arguments after the program name. For usageError, `error` says
// what is wrong.
Command parsePackArguments(const std::vector<std::string>& args, PackOptions& options, std::string& error);

// The usage text, for --help and after a usage error.
extern const char* const packUsage;
