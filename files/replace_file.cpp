#include "files/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

constexpr const char* tempPrefix = ".vorna-";
constexpr const char* tempSuffix = ".tmp";

// What the signal handler removes. A handler may only touch plain memory, so
// the name is kept in a fixed buffer, and `armed` says whether it is valid.
std::array<char, 4096> pendingPath{};
volatile std::sig_atomic_t armed = 0;

constexpr std::array<int, 4> cleanupSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

extern "C" void removeTempAndDie(int signal) {
  if (armed != 0) unlink(pendingPath.data());
  // The handler was installed with SA_RESETHAND, so this ends the process by
  // the same signal, as if nothing had been caught.
  std::raise(signal);
}

// Arms the handler for `path`, or disarms it for an empty one.
void setPending(const std::string& path) {
  armed = 0;
  if (path.empty() || path.size() >= pendingPath.size()) return;
  std::memcpy(pendingPath.data(), path.c_str(), path.size() + 1);
  armed = 1;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// This process's temporaries are all called .vorna-<pid>-<random>.tmp. The
// pid alone is not enough: two runs in different pid namespaces (containers
// sharing a volume) can have the same one, and would then take each other's
// files for their own.
const std::string& ownTag() {
  static const std::string tag = [] {
    std::random_device random;
    std::array<char, 48> text{};
    const unsigned long long bits = static_cast<unsigned long long>(random()) << 32u | random();
    std::snprintf(text.data(), text.size(), "%ld-%016llx", static_cast<long>(getpid()), bits);
    return std::string(text.data());
  }();
  return tag;
}

std::string tempNameFor(const std::string& target) {
  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  return dir + tempPrefix + ownTag() + tempSuffix;
}

bool looksLikeTemp(const char* name) {
  const std::size_t length = std::strlen(name);
  const std::size_t prefix = std::strlen(tempPrefix);
  const std::size_t suffix = std::strlen(tempSuffix);
  return length > prefix + suffix && std::strncmp(name, tempPrefix, prefix) == 0 &&
         std::strcmp(name + length - suffix, tempSuffix) == 0;
}

// Creates this process's temporary at `path`. O_EXCL and O_NOFOLLOW make
// sure the file written is a fresh one of ours; a file already there with our
// random name can only be a leftover of our own.
int createFresh(const std::string& path) {
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST && unlink(path.c_str()) == 0) fd = open(path.c_str(), flags, 0666);
  return fd;
}

void closeAndForget(TempFile& temp) {
  setPending("");
  if (temp.fd >= 0) close(temp.fd);
  temp.fd = -1;
}

}  // namespace

void installTempCleanup() {
  for (const int signal : cleanupSignals) {
    struct sigaction previous {};
    if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = removeTempAndDie;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
    sigaction(signal, &action, nullptr);
  }
}

void removeStaleTemps(const std::string& dir) {
  // Every run holds a shared lock on the directory it writes in, from here
  // until it ends; the kernel drops it however the run ends, SIGKILL
  // included. A run that can take the lock exclusively is alone, so every
  // temporary there was left by a run that is gone. While another run is at
  // work, nothing is removed: its temporary is live, and leftovers wait for
  // a run on its own. (A lock per temporary would cost system calls on every
  // image.)
  const int held = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (held < 0) return;
  if (flock(held, LOCK_EX | LOCK_NB) == 0) {
    if (DIR* listing = opendir(dir.c_str())) {
      const std::string prefix = dir == "." ? "" : dir + "/";
      while (const dirent* entry = readdir(listing)) {
        if (looksLikeTemp(entry->d_name)) unlink((prefix + entry->d_name).c_str());
      }
      closedir(listing);
    }
  }
  // Waits only while another run starting up clears the directory. `held`
  // stays open, and the lock with it, for the rest of the process.
  flock(held, LOCK_SH);
}

bool createTempBeside(const std::string& target, TempFile& temp) {
  temp.target = target;
  temp.path = tempNameFor(target);
  // Armed before the file exists, so that no instant leaves it unguarded.
  setPending(temp.path);
  temp.fd = createFresh(temp.path);
  if (temp.fd < 0) {
    setPending("");
    return false;
  }
  return true;
}

bool writeTemp(TempFile& temp, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(temp.fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool commitTemp(TempFile& temp, bool sync, int mode) {
  bool ok = temp.fd >= 0;
  if (ok && mode >= 0) ok = fchmod(temp.fd, static_cast<mode_t>(mode) & 07777) == 0;
  if (ok && sync) ok = fsync(temp.fd) == 0;
  // close reports what a network file system may only find out at the end.
  if (temp.fd >= 0 && close(temp.fd) != 0) ok = false;
  temp.fd = -1;
  if (ok) ok = std::rename(temp.path.c_str(), temp.target.c_str()) == 0;
  if (!ok) {
    unlink(temp.path.c_str());
    setPending("");
    return false;
  }
  setPending("");
  if (sync) {
    // The rename itself lives in the directory: make it durable too.
    const int dir = open(directoryOf(temp.target).c_str(), O_RDONLY | O_CLOEXEC);
    if (dir >= 0) {
      fsync(dir);
      close(dir);
    }
  }
  return true;
}

bool mayReplace(const std::string& target, const struct stat& existing) {
  // A read-only file is not ours to replace, even though the directory would
  // let a rename do it.
  const int probe = open(target.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (probe < 0) return false;
  close(probe);
  // In a sticky directory (such as /tmp) only the owner of a file, or of the
  // directory, may rename over it: find that out now, not after the work.
  const uid_t self = geteuid();
  if (self == 0 || existing.st_uid == self) return true;
  struct stat dir {};
  return stat(directoryOf(target).c_str(), &dir) == 0 && ((dir.st_mode & S_ISVTX) == 0 || dir.st_uid == self);
}

void discardTemp(TempFile& temp) {
  const bool existed = temp.fd >= 0;
  closeAndForget(temp);
  if (existed) unlink(temp.path.c_str());
}
