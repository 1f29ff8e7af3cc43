#include "pack/run_pack.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>

#include "files/replace_file.h"
#include "pack/pack_plan.h"

namespace fs = std::filesystem;

namespace {

void reportError(const std::string& file, const std::string& what) {
  std::fprintf(stderr, "vorna-pack: %s: %s\n", file.c_str(), what.c_str());
}

std::string shownPath(const std::string& shownDirectory, const std::string& name) {
  return shownDirectory.empty() ? name : (fs::path(shownDirectory) / name).string();
}

// The id named by `name`: 0 when it is not a pic's name at all (other files
// are none of our business), -1 when it looks like one but cannot be.
int picIdOf(const std::string& name) {
  constexpr std::string_view suffix = ".png";
  if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return 0;
  }
  const std::string digits = name.substr(0, name.size() - suffix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  if (digits[0] == '0' || digits.size() > 5) return -1;
  const int id = std::stoi(digits);
  return id <= mostPics ? id : -1;
}

std::string parentOf(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// Keeps the output's previous content as FILE.bak, unless a .bak exists
// already (so that it always holds the archive as it was before the first
// pack): by a hard link where the file system allows one, else by a copy.
// Returns whether a .bak was made; nullopt on failure, reported.
std::optional<bool> keepBackup(const std::string& output) {
  const std::string backup = output + ".bak";
  std::error_code code;
  if (!fs::exists(output, code) || fs::symlink_status(backup, code).type() != fs::file_type::not_found) {
    return false;
  }
  fs::create_hard_link(output, backup, code);
  if (!code) return true;
  if (fs::copy_file(output, backup, code)) return true;
  fs::remove(backup, code);
  reportError(backup, "cannot be created: " + code.message());
  return std::nullopt;
}

class PackRun {
 public:
  explicit PackRun(const PackOptions& options) : options_(options) {
    shownDirectory_ = options.directory.value_or("");
    directory_ = options.directory.value_or(".");
    output_ = options.output.value_or(shownPath(shownDirectory_, "vorna.spr"));
  }

  int run() {
    removeStaleTemps(parentOf(output_));
    std::vector<int> ids;
    bool good = findPics(directory_, shownDirectory_, ids);
    const std::optional<std::string> baseName = chooseBase();
    if (!mayBeReplaced()) good = false;
    BaseArchive base;
    const bool baseOpen = baseName && openBase(*baseName, base, reportError);
    if (baseName && !baseOpen) good = false;
    // Planned even after a bad input, so that every bad PNG is reported.
    PackPlan plan;
    const PicSource source{ids, [this](int id, PicPixels& pixels) { return loadPic(id, pixels); }};
    if (!planPack(baseOpen ? &base : nullptr, baseName.value_or(""), source, reportError, plan)) good = false;
    const int status = good ? write(plan, baseOpen ? &base : nullptr) : 1;
    closeBase(base);
    return status;
  }

 private:
  std::optional<std::string> chooseBase() const {
    if (options_.noBase) return std::nullopt;
    if (options_.base) return options_.base;
    std::error_code code;
    if (fs::symlink_status(output_, code).type() == fs::file_type::not_found) return std::nullopt;
    return output_;
  }

  // A read-only output, or one in a sticky directory that belongs to someone
  // else, is not ours to replace: found out before any work is done.
  bool mayBeReplaced() const {
    struct stat existing {};
    if (lstat(output_.c_str(), &existing) != 0 || !S_ISREG(existing.st_mode) ||
        mayReplace(output_, existing)) {
      return true;
    }
    reportError(output_, "cannot be replaced: permission denied");
    return false;
  }

  bool loadPic(int id, PicPixels& pixels) const {
    const std::string name = std::to_string(id) + ".png";
    std::string error;
    if (importPng((fs::path(directory_) / name).string(), options_.alphaCutoff, pixels, error)) return true;
    reportError(shownPath(shownDirectory_, name), error);
    return false;
  }

  // Writes the archive to a temporary beside the output and checks it.
  // False, reported, when it cannot be written; `misfit` is set when the
  // compact layout cannot address every block.
  bool writeTemp(const PackPlan& plan, BaseArchive* base, const Placement& placement, bool appended,
                 TempFile& temp) const {
    if (!createTempBeside(output_, temp)) {
      reportError(output_, std::string("cannot create a temporary file beside it: ") + std::strerror(errno));
      return false;
    }
    const Sink sink = [&temp](const void* data, std::size_t size) { return ::writeTemp(temp, data, size); };
    const bool written =
        appended ? writeAppended(plan, placement, *base, sink) : writeCompact(plan, placement, base, sink);
    if (!written) {
      reportError(output_, std::string("cannot be written: ") + std::strerror(errno));
      discardTemp(temp);
      return false;
    }
    return true;
  }

  // Reads the temporary back with the converter's decoder.
  static bool readsBack(const TempFile& temp, const PackPlan& plan) {
    std::FILE* file = std::fopen(temp.path.c_str(), "rb");
    if (file == nullptr) return false;
    const bool good = verifyPack(file, plan);
    std::fclose(file);
    return good;
  }

  int write(const PackPlan& plan, BaseArchive* base) {
    TempFile temp;
    std::string note;
    bool done = false;
    if (plan.appendable && !options_.compact) {
      if (const std::optional<Placement> appended = placeAppended(plan, *base)) {
        if (!writeTemp(plan, base, *appended, true, temp)) return 1;
        done = readsBack(temp, plan);
        if (!done) {
          discardTemp(temp);
          note = "a kept block reads bytes that appending would change";
        }
      } else {
        note = "an appended block would start past the 24-bit offsets";
      }
    } else if (base != nullptr && !options_.compact) {
      note =
          plan.countGrew ? "the pic count grew past the base's" : "the base's header or table is cut short";
    }
    if (!done) {
      const Placement compact = placeCompact(plan);
      if (compact.misfit != 0) {
        reportError(output_, "pic " + std::to_string(compact.misfit) +
                                 " does not fit: blocks must start within the first 16 MiB (24-bit offsets)");
        return 1;
      }
      if (!writeTemp(plan, base, compact, false, temp)) return 1;
      if (!readsBack(temp, plan)) {
        discardTemp(temp);
        reportError(output_,
                    "internal error: the archive written does not read back as planned; nothing written");
        return 1;
      }
    }
    // Done with the base before the rename, which some systems refuse over an
    // open file.
    if (base != nullptr) closeBase(*base);
    return commit(plan, temp, note);
  }

  int commit(const PackPlan& plan, TempFile& temp, const std::string& note) {
    std::error_code code;
    const fs::file_status previous = fs::status(output_, code);
    const int mode = fs::is_regular_file(previous) ? static_cast<int>(previous.permissions()) : -1;
    const std::optional<bool> backup = keepBackup(output_);
    if (!backup) {
      discardTemp(temp);
      return 1;
    }
    if (!commitTemp(temp, true, mode)) {
      reportError(output_, std::string("cannot be replaced: ") + std::strerror(errno));
      if (*backup) fs::remove(output_ + ".bak", code);
      return 1;
    }
    std::printf("vorna-pack: wrote %s: %d pics, %d changed, %d kept, %d new%s\n", output_.c_str(),
                plan.changed + plan.kept + plan.added, plan.changed, plan.kept, plan.added,
                note.empty() ? "" : (" (compact layout: " + note + ")").c_str());
    return 0;
  }

  const PackOptions& options_;
  std::string shownDirectory_;
  std::string directory_;
  std::string output_;
};

}  // namespace

bool findPics(const std::string& directory, const std::string& shownDirectory, std::vector<int>& ids) {
  bool good = true;
  std::error_code code;
  for (fs::directory_iterator it(directory, code), end; !code && it != end; it.increment(code)) {
    const std::string name = it->path().filename().string();
    const int id = picIdOf(name);
    if (id > 0) ids.push_back(id);
    if (id < 0) {
      reportError(shownPath(shownDirectory, name),
                  "is not a pic's name: pics are 1.png to 65535.png, without leading zeros");
      good = false;
    }
  }
  if (code) {
    reportError(directory, "cannot be read: " + code.message());
    good = false;
  }
  std::sort(ids.begin(), ids.end());
  return good;
}

int runPack(const PackOptions& options) { return PackRun(options).run(); }
