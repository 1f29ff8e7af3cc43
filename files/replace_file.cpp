#include "files/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Where Windows differs. Its C library opens files in text mode unless told
// otherwise, has no symlinks to refuse and no exec to close descriptors
// across; its rename refuses to replace an existing file; it knows the
// read-only flag alone of the permission bits (and the writability probe has
// found it clear); a process that is gone shows in its exit code. Of the
// signals, Ctrl+C raises SIGINT and Ctrl+Break SIGBREAK; the C library runs
// their handlers on a thread of their own, where the temporary is still
// open, and an open file cannot be removed there: the handler closes it first.
#ifdef _WIN32
// A folder ends at a backslash as well, or at the colon of a drive (C:x.png).
constexpr const char* pathSeparators = "/\\:";
constexpr int createFlags = O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_NOINHERIT;
constexpr int probeFlags = O_WRONLY | O_BINARY | O_NOINHERIT;
int lstatOrStat(const char* path, struct stat* info) { return stat(path, info); }
constexpr std::array<int, 3> cleanupSignals = {SIGINT, SIGTERM, SIGBREAK};

void catchSignal(int signal, void (*handler)(int)) {
  if (std::signal(signal, handler) == SIG_IGN) std::signal(signal, SIG_IGN);
}

bool processIsGone(long pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  DWORD code = 0;
  const bool gone = GetExitCodeProcess(process, &code) != 0 && code != STILL_ACTIVE;
  CloseHandle(process);
  return gone;
}

bool setMode(int /*fd*/, int /*mode*/) { return true; }
bool syncFile(int fd) { return _commit(fd) == 0; }

bool renameOver(const std::string& from, const std::string& to, bool sync) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (sync ? MOVEFILE_WRITE_THROUGH : 0);
  return MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
}

// MOVEFILE_WRITE_THROUGH has made the rename durable.
void syncDirectoryOf(const std::string& /*path*/) {}
#else
constexpr const char* pathSeparators = "/";
constexpr int createFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
constexpr int probeFlags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
int lstatOrStat(const char* path, struct stat* info) { return lstat(path, info); }
constexpr std::array<int, 4> cleanupSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// A signal that was ignored when the program started stays ignored. With
// SA_RESETHAND, a handler's raise ends the process as the signal would have.
void catchSignal(int signal, void (*handler)(int)) {
  struct sigaction previous {};
  if (sigaction(signal, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = static_cast<int>(SA_RESETHAND | SA_NODEFER);
  sigaction(signal, &action, nullptr);
}

// Only a process that no longer exists cannot be writing its temporary.
bool processIsGone(long pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

bool setMode(int fd, int mode) { return fchmod(fd, static_cast<mode_t>(mode) & 07777) == 0; }
bool syncFile(int fd) { return fsync(fd) == 0; }

bool renameOver(const std::string& from, const std::string& to, bool /*sync*/) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself lives in the directory: make it durable too.
void syncDirectoryOf(const std::string& path) {
  const int dir = open(directoryOf(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    close(dir);
  }
}
#endif

constexpr const char* tempPrefix = ".vorna-";
constexpr const char* tempSuffix = ".tmp";

// What the signal handler removes. A handler may only touch plain memory, so
// the name is kept in a fixed buffer, and `armed` says whether it is valid.
// `pendingFd` is the temporary's descriptor once it is open.
std::array<char, 4096> pendingPath{};
volatile std::sig_atomic_t armed = 0;
volatile std::sig_atomic_t pendingFd = -1;

extern "C" void removeTempAndDie(int signal) {
  if (armed != 0) {
    if (pendingFd >= 0) close(pendingFd);
    unlink(pendingPath.data());
  }
  // The handler is reset to the default before it runs, so this ends the
  // process by the same signal, as if nothing had been caught.
  std::raise(signal);
}

// Arms the handler for `path`, or disarms it for an empty one.
void setPending(const std::string& path) {
  armed = 0;
  pendingFd = -1;
  if (path.empty() || path.size() >= pendingPath.size()) return;
  std::memcpy(pendingPath.data(), path.c_str(), path.size() + 1);
  armed = 1;
}

std::string tempNameFor(const std::string& target, long pid) {
  const std::size_t slash = target.find_last_of(pathSeparators);
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
  for (const int signal : cleanupSignals) catchSignal(signal, removeTempAndDie);
}

void removeStaleTemps(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  const std::string prefix = dir == "." ? "" : dir + "/";
  while (const dirent* entry = readdir(listing)) {
    const long pid = pidOfTemp(entry->d_name);
    if (pid == 0 || pid == getpid() || !processIsGone(pid)) continue;
    unlink((prefix + entry->d_name).c_str());
  }
  closedir(listing);
}

FileKind fileKindAt(const std::string& path, int& mode) {
  struct stat info {};
  if (lstatOrStat(path.c_str(), &info) != 0) return FileKind::none;
  if (!S_ISREG(info.st_mode)) return FileKind::other;
  mode = static_cast<int>(info.st_mode & 07777);
  return FileKind::regular;
}

bool mayWrite(const std::string& path) {
  const int probe = open(path.c_str(), probeFlags);
  if (probe < 0) return false;
  close(probe);
  return true;
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
  temp.fd = open(temp.path.c_str(), createFlags, 0666);
  if (temp.fd < 0 && errno == EEXIST && unlink(temp.path.c_str()) == 0) {
    temp.fd = open(temp.path.c_str(), createFlags, 0666);
  }
  if (temp.fd < 0) {
    setPending("");
    return false;
  }
  pendingFd = temp.fd;
  return true;
}

bool writeTemp(TempFile& temp, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    // Windows' write takes an unsigned int: at most 1 GiB at a time.
    const auto chunk = static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{1} << 30));
    const auto written = write(temp.fd, bytes, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool commitTemp(TempFile& temp, bool sync, int mode) {
  bool ok = temp.fd >= 0;
  if (ok && mode >= 0) ok = setMode(temp.fd, mode);
  if (ok && sync) ok = syncFile(temp.fd);
  pendingFd = -1;
  // close reports what a network file system may only find out at the end.
  if (temp.fd >= 0 && close(temp.fd) != 0) ok = false;
  temp.fd = -1;
  if (ok) ok = renameOver(temp.path, temp.target, sync);
  if (!ok) {
    unlink(temp.path.c_str());
    setPending("");
    return false;
  }
  setPending("");
  if (sync) syncDirectoryOf(temp.target);
  return true;
}

void discardTemp(TempFile& temp) {
  const bool existed = temp.fd >= 0;
  closeAndForget(temp);
  if (existed) unlink(temp.path.c_str());
}
