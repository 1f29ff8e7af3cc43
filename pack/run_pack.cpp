#include "pack/run_pack.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <vector>

#include "archive/archive_stream.h"
#include "files/replace_file.h"
#include "pack/pack_archive.h"
#include "pack/pic_files.h"

namespace fs = std::filesystem;

namespace {

void reportError(const std::string& file, const std::string& what) {
  std::fputs(packErrorLine(file, what).c_str(), stderr);
}

std::string shownPath(const std::string& shownDirectory, const std::string& name) {
  return shownDirectory.empty() ? name : (fs::path(shownDirectory) / name).string();
}

std::string parentOf(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// Why `path` could not be looked at. Windows says that a name under a file
// is missing where POSIX says that the file is no directory: told apart
// here, so that both say the same.
int lookupError(const std::string& path) {
  const int error = errno;
#ifdef _WIN32
  std::error_code code;
  const fs::path parent = fs::path(path).parent_path();
  if (error == ENOENT && !parent.empty() && fs::exists(parent, code) && !fs::is_directory(parent, code)) {
    return ENOTDIR;
  }
#else
  (void)path;
#endif
  return error;
}

// The file a name stands for: the name itself, or, for a symlink, the file
// at the end of its chain (which need not exist yet). An archive reached
// through a link is written where the link points, so that the link and
// every other name of that file see the new archive. False, with errno set,
// for a chain that does not end.
bool followLinks(const std::string& name, std::string& target, std::vector<std::string>& chain) {
  target = name;
  chain = {name};
#ifndef _WIN32
  for (int hop = 0; hop < 40; ++hop) {
    struct stat info {};
    if (lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::error_code code;
    const fs::path next = fs::read_symlink(target, code);
    if (code) {
      errno = code.value();
      return false;
    }
    const fs::path parent = fs::path(target).parent_path();
    target = next.is_absolute() || parent.empty() ? next.string() : (parent / next).string();
    chain.push_back(target);
  }
  errno = ELOOP;
  return false;
#else
  return true;  // Windows' C library knows no links.
#endif
}

// The archive, written to a temporary beside the file it will replace, and
// read back from the disk for the check.
class TempFileOutput : public ArchiveOutput {
 public:
  explicit TempFileOutput(std::string target) : target_(std::move(target)) {}
  ~TempFileOutput() override { discard(); }
  TempFileOutput(const TempFileOutput&) = delete;
  TempFileOutput& operator=(const TempFileOutput&) = delete;

  bool start() override {
    discard();
    if (createTempBeside(target_, temp_)) return true;
    failure_ = std::string("cannot create a temporary file beside it: ") + std::strerror(errno);
    return false;
  }

  bool write(const void* data, std::size_t size) override {
    if (writeTemp(temp_, data, size)) return true;
    failure_ = std::string("cannot be written: ") + std::strerror(errno);
    return false;
  }

  // As far as blocks reach: the rest of a long file is the base's own tail,
  // copied as it was.
  bool readBack(const std::uint8_t*& bytes, std::size_t& held) override {
    std::FILE* file = openArchive(temp_.path.c_str());
    struct stat info {};
    bool good = file != nullptr && fstat(fileno(file), &info) == 0;
    if (good) {
      buffer_.resize(static_cast<std::size_t>(std::min<long long>(info.st_size, baseBytesKept)));
      good = std::fread(buffer_.data(), 1, buffer_.size(), file) == buffer_.size();
    }
    if (file != nullptr) std::fclose(file);
    if (!good) {
      failure_ = "cannot be read back";
      return false;
    }
    bytes = buffer_.data();
    held = buffer_.size();
    return true;
  }

  void discard() override {
    discardTemp(temp_);
    buffer_ = {};
  }

  // Flushed to the disk and renamed over the target, with its permission
  // bits, if the target is still the file `expected` describes.
  Replaced commitIfUnchanged(const struct stat& expected) {
    buffer_ = {};
    return commitTempIfUnchanged(temp_, expected);
  }

  // Flushed to the disk, with a new file's mode, and given the target's name
  // only if nothing has it yet.
  NewFile commitIfStillAbsent() {
    buffer_ = {};
    return commitTempIfStillAbsent(temp_);
  }

 private:
  std::string target_;
  TempFile temp_;
  ArchiveBytes buffer_;
};

class PackRun {
 public:
  explicit PackRun(const PackOptions& options) : options_(options) {
    shownDirectory_ = options.directory.value_or("");
    directory_ = options.directory.value_or(".");
    output_ = options.output.value_or(shownPath(shownDirectory_, "vorna.spr"));
  }

  int run() {
    std::vector<std::string> chain;
    if (!followLinks(output_, target_, chain)) {
      reportError(output_, std::string("cannot be followed: ") + std::strerror(errno));
      return 1;
    }
    backup_ = target_ + ".bak";
    // A name the programs give their temporaries would be removed as a
    // leftover by any run in that directory, this one first: the output, a
    // link on the way to it, or the base.
    if (options_.base) chain.push_back(*options_.base);
    for (const std::string& name : chain) {
      if (isTempName(fs::path(name).filename().string())) {
        reportError(name, "is named as this program's temporary files are, and would be lost");
        return 1;
      }
    }
    if (!options_.dryRun) removeStaleTemps(parentOf(target_));
    bool good = findPics(directory_, shownDirectory_, names_);
    std::vector<int> ids;
    for (const auto& entry : names_) ids.push_back(entry.first);
    const bool outputUsable = checkOutput();
    good = outputUsable && good;
    const std::optional<std::string> baseName = chooseBase();
    BaseArchive base;
    const bool baseOpen =
        baseName && (outputUsable || baseName != target_) && openBase(*baseName, base, reportError);
    if (baseName && !baseOpen) good = false;
    if (baseOpen && *baseName == target_ && !baseIsTheOutput(base)) {
      reportError(target_, "changed during the run: nothing replaced");
      good = false;
    }
    if (good && ids.empty() && !baseName) {
      reportError(directory_,
                  "holds no pic's PNG (1.png to 65535.png) and there is no base archive: nothing to pack");
      return 1;
    }
    // Planned even after a bad input, so that every bad PNG is reported.
    PackPlan plan;
    const PicSource source{ids, [this](int id, PicPixels& pixels) { return loadPic(id, pixels); }};
    if (!planPack(baseOpen ? &base : nullptr, source, plan)) good = false;
    const int status = good ? write(plan, baseOpen ? &base : nullptr) : 1;
    closeBase(base);
    return status;
  }

 private:
  std::optional<std::string> chooseBase() const {
    if (options_.noBase) return std::nullopt;
    if (options_.base) return options_.base;
    if (!target_.empty() && exists_) return target_;
    return std::nullopt;
  }

  // Whether the output may be written, found out before any work: it is a
  // regular file (or none yet), not read-only, in a directory that lets this
  // user replace it; its .bak, if there is one, is a regular file too.
  bool checkOutput() {
    struct stat existing {};
    exists_ = lstat(target_.c_str(), &existing) == 0;
    const int error = exists_ ? 0 : lookupError(target_);
    if (!exists_ && error != ENOENT) {
      // Not knowing whether there is an archive is no reason to write one
      // over it without its base and its backup.
      reportError(target_, std::string("cannot be read: ") + std::strerror(error));
      return false;
    }
    if (exists_) {
      if (!S_ISREG(existing.st_mode)) {
        reportError(target_, "is not a regular file");
        return false;
      }
      target_stat_ = existing;
      if (!mayReplace(target_, existing)) {
        reportError(target_,
                    std::string("cannot be replaced: ") +
                        (errno == EACCES || errno == EPERM ? "permission denied" : std::strerror(errno)));
        return false;
      }
    }
    return backupUsable(checkBackup(backup_, target_));
  }

  // Whether what has the .bak's name, if anything, can be kept as the backup;
  // reported when not.
  bool backupUsable(BackupState state) const {
    switch (state) {
      case BackupState::none:
      case BackupState::usable: return true;
      case BackupState::notAFile: reportError(backup_, "is not a regular file"); break;
      case BackupState::theArchive:
        reportError(backup_, "is a link to the archive itself, not a backup of it");
        break;
      case BackupState::unreadable:
        reportError(backup_, std::string("cannot be created: ") + std::strerror(errno));
        break;
    }
    return false;
  }

  // Whether the base opened as the output is the file looked at before.
  bool baseIsTheOutput(const BaseArchive& base) const {
    struct stat opened {};
    return base.file != nullptr && fstat(fileno(base.file), &opened) == 0 &&
           unchangedSince(opened, target_stat_);
  }

  bool loadPic(int id, PicPixels& pixels) const {
    const std::string& name = names_.at(id);
    std::string error;
    // (Plain concatenation: a path object per PNG costs more than the rest
    // of its name.)
    if (importPng(options_.directory ? directory_ + "/" + name : name, options_.alphaCutoff, pixels, error,
                  exists_ ? &target_stat_ : nullptr)) {
      return true;
    }
    reportError(shownPath(shownDirectory_, name), error);
    return false;
  }

  int write(const PackPlan& plan, BaseArchive* base) {
    std::string note;
    if (options_.dryRun) {
      MemoryOutput memory(baseBytesKept);
      if (!writeCheckedArchive(plan, base, options_.compact, memory, target_, reportError, note)) return 1;
      std::fputs(packSummary(target_, plan, note, /*dryRun=*/true).c_str(), stdout);
      return 0;
    }
    TempFileOutput output(target_);
    if (!writeCheckedArchive(plan, base, options_.compact, output, target_, reportError, note)) return 1;
    // Done with the base before the rename, which some systems refuse over an
    // open file.
    if (base != nullptr) closeBase(*base);
    return commit(plan, output, note);
  }

  int commit(const PackPlan& plan, TempFileOutput& output, const std::string& note) {
    if (!exists_) {
      // No archive was there: none is replaced that has appeared since.
      switch (output.commitIfStillAbsent()) {
        case NewFile::placed: break;
        case NewFile::taken: reportError(target_, "appeared during the run: nothing replaced"); return 1;
        case NewFile::failed:
          reportError(target_, std::string("cannot be written: ") + std::strerror(errno));
          return 1;
      }
    } else {
      // Another pack replacing the same archive waits for this one to be
      // done, and then finds it changed.
      HeldFile held;
      switch (holdIfUnchanged(target_, target_stat_, held)) {
        case Replaced::done: break;
        case Replaced::changed: reportError(target_, "changed during the run: nothing replaced"); return 1;
        case Replaced::failed:
          reportError(target_, std::string("cannot be read: ") + std::strerror(errno));
          return 1;
      }
      errno = 0;
      const Backup backup = keepBackup(target_, target_stat_, backup_);
      if (backup != Backup::made && backup != Backup::existed) {
        if (backup == Backup::changed) {
          reportError(target_, "changed during the run: nothing replaced");
        } else if (backup == Backup::failed) {
          reportError(backup_, std::string("cannot be created: ") + std::strerror(errno));
        } else if (backupUsable(checkBackup(backup_, target_))) {
          // Taken by what is no backup, and gone again by the second look.
          reportError(backup_, "changed during the run: nothing replaced");
        }
        output.discard();
        return 1;
      }
      // Should the rename fail now, a .bak made above stays: it holds the
      // archive as it still is, and another pack may already count on it.
      switch (output.commitIfUnchanged(target_stat_)) {
        case Replaced::done: break;
        case Replaced::changed: reportError(target_, "changed during the run: nothing replaced"); return 1;
        case Replaced::failed:
          reportError(target_, std::string("cannot be replaced: ") + std::strerror(errno));
          return 1;
      }
    }
    std::fputs(packSummary(target_, plan, note, /*dryRun=*/false).c_str(), stdout);
    return 0;
  }

  const PackOptions& options_;
  std::string shownDirectory_;
  std::string directory_;
  std::string output_;  // as given
  std::string target_;  // what it stands for, links followed: the file written
  std::string backup_;  // target_.bak
  bool exists_ = false;
  struct stat target_stat_ {};
  std::map<int, std::string> names_;  // each pic's PNG, by id
};

}  // namespace

bool findPics(const std::string& directory, const std::string& shownDirectory,
              std::map<int, std::string>& names) {
  bool good = true;
  std::error_code code;
  const Report report = [&shownDirectory](const std::string& name, const std::string& what) {
    reportError(shownPath(shownDirectory, name), what);
  };
  for (fs::directory_iterator it(directory, code), end; !code && it != end; it.increment(code)) {
    if (!takePicName(it->path().filename().string(), names, report)) good = false;
  }
  if (code) {
    reportError(directory, "cannot be read: " + code.message());
    good = false;
  }
  return good;
}

int runPack(const PackOptions& options) { return PackRun(options).run(); }
