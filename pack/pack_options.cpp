#include "pack/pack_options.h"

const char* const packUsage =
    "usage: vorna-pack [OPTIONS] [DIRECTORY]\n"
    "Packs the pics DIRECTORY/N.png (N = 1 to 65535) into DIRECTORY/vorna.spr,\n"
    "keeping the bytes of every pic that did not change.\n"
    "\n"
    "  -o, --output FILE     write FILE instead of DIRECTORY/vorna.spr\n"
    "  -b, --base FILE       start from the archive FILE (default: the output, if it exists)\n"
    "      --no-base         start from nothing, even if the output exists\n"
    "      --compact         rewrite the whole archive compactly instead of appending\n"
    "      --alpha-cutoff A  alpha A (1 to 255) or more is opaque, less is transparent\n"
    "                        (default: only 0 and 255 are allowed)\n"
    "  -n, --dry-run         do everything but write: check the archive, say what would be written\n"
    "      --help            show this help and exit\n"
    "      --version         show the version and exit\n";

namespace {

// "--name=value" or "--name value" / "-n value": the value, or nullopt when
// `arg` is not this option. `i` moves past a separate value.
std::optional<std::string> valueOf(const std::vector<std::string>& args, std::size_t& i,
                                   const std::string& shortName, const std::string& longName,
                                   std::string& error) {
  const std::string& arg = args[i];
  if (arg.rfind(longName + "=", 0) == 0) return arg.substr(longName.size() + 1);
  if (arg != longName && (shortName.empty() || arg != shortName)) return std::nullopt;
  if (i + 1 >= args.size()) {
    error = "option " + arg + " needs a value";
    return std::string();
  }
  return args[++i];
}

}  // namespace

Command parsePackArguments(const std::vector<std::string>& args, PackOptions& options, std::string& error) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size() && error.empty(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      if (options.directory) {
        error = "more than one directory given";
      } else {
        options.directory = arg;
      }
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help") {
      return Command::help;
    } else if (arg == "--version") {
      return Command::version;
    } else if (arg == "--no-base") {
      options.noBase = true;
    } else if (arg == "--compact") {
      options.compact = true;
    } else if (arg == "-n" || arg == "--dry-run") {
      options.dryRun = true;
    } else if (auto output = valueOf(args, i, "-o", "--output", error)) {
      options.output = *output;
    } else if (auto base = valueOf(args, i, "-b", "--base", error)) {
      options.base = *base;
    } else if (auto cutoff = valueOf(args, i, "", "--alpha-cutoff", error)) {
      // (A failed parse says why in `error`.)
      if (error.empty()) parseAlphaCutoff(*cutoff, options.alphaCutoff, error);
    } else {
      error = "unknown option " + arg;
    }
  }
  if (error.empty() && options.noBase && options.base) error = "--base and --no-base exclude each other";
  if (error.empty() &&
      ((options.output && options.output->empty()) || (options.base && options.base->empty()))) {
    error = "an empty file name";
  }
  return error.empty() ? Command::pack : Command::usageError;
}
