#include "files/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::string tempNameFor(const std::string& target, long pid) {
  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  return dir + tempPrefix + std::to_string(pid) + tempSuffix;
}

// The pid in a temporary's name, or 0 when the name is not one of ours.
long pidOfTemp(const char* name) {
  const std::size_t prefix = std::strlen(tempPrefix);
  if (std::strncmp(name, tempPrefix, prefix) != 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(name + prefix, &end, 10);
  if (pid <= 0 || end == name + prefix || std::strcmp(end, tempSuffix) != 0) return 0;
  return pid;
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
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  const std::string prefix = dir == "." ? "" : dir + "/";
  while (const dirent* entry = readdir(listing)) {
    const long pid = pidOfTemp(entry->d_name);
    if (pid == 0 || pid == getpid()) continue;
    // Only a process that no longer exists cannot be writing its temporary.
    if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
    unlink((prefix + entry->d_name).c_str());
  }
  closedir(listing);
}

bool createTempBeside(const std::string& target, TempFile& temp) {
  temp.target = target;
  // The pid is asked once: a system call per image adds up over 65,535.
  static const long ownPid = static_cast<long>(getpid());
  temp.path = tempNameFor(target, ownPid);
  // Armed before the file exists, so that no instant leaves it unguarded.
  setPending(temp.path);
  // O_EXCL and O_NOFOLLOW make sure the file written is a fresh one of ours.
  // One of that name already there is a leftover of a killed process that had
  // our pid before us: it goes.
  constexpr int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  temp.fd = open(temp.path.c_str(), flags, 0666);
  if (temp.fd < 0 && errno == EEXIST && unlink(temp.path.c_str()) == 0) {
    temp.fd = open(temp.path.c_str(), flags, 0666);
  }
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

void discardTemp(TempFile& temp) {
  const bool existed = temp.fd >= 0;
  closeAndForget(temp);
  if (existed) unlink(temp.path.c_str());
}
