#include "files/replace_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#include <sys/file.h>
#endif

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

// Removes every temporary in `dir`, whoever left it.
void removeTempsIn(const std::string& dir);

NewFile placeIfAbsent(TempFile& temp);

// Where Windows differs. Its C library opens files in text mode unless told
// otherwise, has no symlinks to refuse and no exec to close descriptors
// across; its rename refuses to replace an existing file; it knows the
// read-only flag alone of the permission bits (which the writability probe
// sees) and no sticky directories. It has no flock either, and needs none: a
// file that a process has open cannot be removed, so a live temporary guards
// itself and every one that can be removed is a leftover. Of the signals,
// Ctrl+C raises SIGINT and Ctrl+Break SIGBREAK; the C library runs their
// handlers on a thread of their own, where the temporary is still open, so
// the handler closes it before removing it.
#ifdef _WIN32
// A folder ends at a backslash as well, or at the colon of a drive (C:x.png).
constexpr const char* pathSeparators = "/\\:";
constexpr int createFlags = O_WRONLY | O_CREAT | O_EXCL | O_BINARY | O_NOINHERIT;
// Whether this user may write `target`, by opening it so: Windows has no
// devices in folders to be disturbed by the open.
bool mayWrite(const std::string& target) {
  const int probe = open(target.c_str(), O_WRONLY | O_BINARY | O_NOINHERIT);
  if (probe < 0) return false;
  close(probe);
  return true;
}
constexpr int throughFlags = O_RDWR | O_CREAT | O_BINARY | O_NOINHERIT;
// No FIFOs to wait on.
bool writeWaiting(int fd, const void* data, std::size_t size) { return writeAll(fd, data, size); }
constexpr std::array<int, 3> cleanupSignals = {SIGINT, SIGTERM, SIGBREAK};

void catchSignal(int signal, void (*handler)(int)) {
  if (std::signal(signal, handler) == SIG_IGN) std::signal(signal, SIG_IGN);
}

void clearLeftoversAndHold(const std::string& dir) { removeTempsIn(dir); }

bool setMode(int /*fd*/, int /*mode*/) { return true; }
void keepOwner(int /*fd*/, const struct stat& /*replaced*/) {}
bool syncFile(int fd) { return _commit(fd) == 0; }

bool renameOver(const std::string& from, const std::string& to, bool sync) {
  const DWORD flags = MOVEFILE_REPLACE_EXISTING | (sync ? MOVEFILE_WRITE_THROUGH : 0);
  return MoveFileExA(from.c_str(), to.c_str(), flags) != 0;
}

// Without MOVEFILE_REPLACE_EXISTING, a name that is taken stops the move.
NewFile renameIfAbsent(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), 0) != 0) return NewFile::placed;
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? NewFile::taken : NewFile::failed;
}

// Windows' own link; errno as link's.
int link(const char* from, const char* to) {
  if (CreateHardLinkA(to, from, nullptr) != 0) return 0;
  const DWORD error = GetLastError();
  errno = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? EEXIST : EPERM;
  return -1;
}

// MOVEFILE_WRITE_THROUGH has made the rename durable.
void syncDirectoryOf(const std::string& /*path*/) {}

bool renameAllowed(const std::string& /*target*/, const struct stat& /*existing*/) { return true; }
#else
constexpr const char* pathSeparators = "/";
constexpr int createFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// Whether this user may write `target`, asked without opening it: what was
// a file at the look may be a device by now, and opening one can do things.
bool mayWrite(const std::string& target) {
  return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0;
}
// Write-only, so that a FIFO with no reader is refused at once (ENXIO): its
// data would be lost when it is closed. Without waiting: see writeWaiting.
constexpr int throughFlags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;

// Writes all of `data` to what a name leads to, which may be a FIFO or a
// device opened without waiting: when it is full, the write waits for a
// reader to make room, but fails once no reader is left (one that fills a
// FIFO and goes would otherwise keep the run waiting for ever), with EPIPE
// and without the SIGPIPE that would end the run.
bool writeWaiting(int fd, const void* data, std::size_t size) {
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &brokenPipe, &previous);
  const auto* bytes = static_cast<const char*>(data);
  bool ok = true;
  while (ok && size > 0) {
    const auto written = write(fd, bytes, size);
    if (written > 0) {
      bytes += written;
      size -= static_cast<std::size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      pollfd room{fd, POLLOUT, 0};
      while (poll(&room, 1, -1) < 0 && errno == EINTR) {
      }
      if ((room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
        errno = EPIPE;
        ok = false;
      }
    } else if (written == 0 || errno != EINTR) {
      ok = false;
    }
  }
  const int error = errno;
  // The SIGPIPE this write raised, held back, is taken back.
  if (!ok && error == EPIPE) {
    const timespec now{};
    sigtimedwait(&brokenPipe, nullptr, &now);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  errno = error;
  return ok;
}
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

void clearLeftoversAndHold(const std::string& dir) {
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
    removeTempsIn(dir);
  }
  // Waits only while another run starting up clears the directory. `held`
  // stays open, and the lock with it, for the rest of the process.
  flock(held, LOCK_SH);
}

// Only the permission bits: a set-user-ID bit kept from another user's file
// would make a file of whoever runs the program (root) set-user-ID. A file
// system that keeps no modes (vfat, some FUSE mounts) refuses to set them
// on our own new file, which is no reason not to write it.
bool setMode(int fd, int mode) {
  if (fchmod(fd, static_cast<mode_t>(mode) & 0777) == 0) return true;
  return errno == EPERM || errno == ENOSYS || errno == EOPNOTSUPP || errno == ENOTSUP;
}

// The file replaced stays its owner's, and its group's, where this user may
// give them (root may; anyone may give a group they are in): a file of
// another user that root packed or unpacked would otherwise become root's,
// and its owner could no longer replace it. Where not, it is this user's.
void keepOwner(int fd, const struct stat& replaced) {
  if (replaced.st_uid != geteuid() && fchown(fd, replaced.st_uid, replaced.st_gid) == 0) return;
  if (replaced.st_gid != getegid() && fchown(fd, static_cast<uid_t>(-1), replaced.st_gid) != 0) {
    // This user's group, then.
  }
}
bool syncFile(int fd) { return fsync(fd) == 0; }

bool renameOver(const std::string& from, const std::string& to, bool /*sync*/) {
  return std::rename(from.c_str(), to.c_str()) == 0;
}

// Set once renaming without replacing has been refused.
bool noReplaceUnsupported = false;

NewFile renameIfAbsent(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return NewFile::placed;
  if (errno == EEXIST) return NewFile::taken;
#else
  static_cast<void>(from);
  static_cast<void>(to);
#endif
  // NFS and CIFS know no such flag, an old kernel no such call, and a
  // sandbox may forbid it outright (EPERM from seccomp). Whatever the reason,
  // the caller can still look and rename the old way, and should from now on.
  noReplaceUnsupported = true;
  return NewFile::taken;
}

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(pathSeparators);
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

// In a sticky directory (such as /tmp) only the owner of a file, or of the
// directory, may rename over it: find that out now, not after the work.
bool renameAllowed(const std::string& target, const struct stat& existing) {
  const uid_t self = geteuid();
  if (self == 0 || existing.st_uid == self) return true;
  struct stat dir {};
  return stat(directoryOf(target).c_str(), &dir) == 0 && ((dir.st_mode & S_ISVTX) == 0 || dir.st_uid == self);
}
#endif

constexpr const char* tempPrefix = ".vorna-";
constexpr const char* tempSuffix = ".tmp";

// What the signal handler removes: at most two temporaries at once (an
// archive, and the copy that becomes its backup). A handler may only touch
// plain memory, so each name is kept in a fixed buffer, and `armed` says
// whether it is valid; `fd` is the temporary's descriptor once it is open.
struct Pending {
  std::array<char, 4096> path{};
  volatile std::sig_atomic_t armed = 0;
  volatile std::sig_atomic_t fd = -1;
};
std::array<Pending, 2> pending;

extern "C" void removeTempAndDie(int signal) {
  for (Pending& slot : pending) {
    if (slot.armed == 0) continue;
    if (slot.fd >= 0) close(slot.fd);
    unlink(slot.path.data());
  }
  // The handler is reset to the default before it runs, so this ends the
  // process by the same signal, as if nothing had been caught.
  std::raise(signal);
}

// Arms slot `slot` of the handler for `path`, or disarms it for an empty one.
void setPending(int slot, const std::string& path) {
  Pending& entry = pending.at(static_cast<std::size_t>(slot));
  entry.armed = 0;
  entry.fd = -1;
  if (path.empty() || path.size() >= entry.path.size()) return;
  std::memcpy(entry.path.data(), path.c_str(), path.size() + 1);
  entry.armed = 1;
}

// A free slot, or -1 when two temporaries are open already.
int freeSlot() {
  for (std::size_t slot = 0; slot < pending.size(); ++slot) {
    if (pending[slot].armed == 0) return static_cast<int>(slot);
  }
  return -1;
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

// The two temporaries a process may have at once can lie in one directory.
std::string tempNameFor(const std::string& target, int slot) {
  const std::size_t slash = target.find_last_of(pathSeparators);
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = dir;
  name.append(tempPrefix).append(ownTag());
  if (slot != 0) name.append("-").append(std::to_string(slot));
  return name.append(tempSuffix);
}

int isLowerHex(int c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ? 1 : 0; }

// Exactly the names tempNameFor gives, .vorna-<pid>-<16 hex digits>, maybe
// -<digit>, then .tmp, or that earlier versions gave, .vorna-<pid>.tmp. A
// user's own .vorna-notes.tmp is none of ours.
bool looksLikeTemp(const char* name) {
  if (std::strncmp(name, tempPrefix, std::strlen(tempPrefix)) != 0) return false;
  const char* at = name + std::strlen(tempPrefix);
  const auto run = [&at](int (*kind)(int)) {
    const char* start = at;
    while (kind(static_cast<unsigned char>(*at)) != 0) ++at;
    return static_cast<std::size_t>(at - start);
  };
  if (run(isdigit) == 0) return false;
  if (*at == '-' && (++at, run(isLowerHex) != 16)) return false;
  if (*at == '-' && (++at, run(isdigit) != 1)) return false;
  return std::strcmp(at, tempSuffix) == 0;
}

// Whether `found` is the very file `expected` describes. (Windows gives no
// file an inode number: there, any regular file is taken for it.)
bool sameFile(const struct stat& found, const struct stat& expected) {
  return S_ISREG(found.st_mode) &&
         (expected.st_ino == 0 || (found.st_dev == expected.st_dev && found.st_ino == expected.st_ino));
}

}  // namespace

bool unchangedSince(const struct stat& found, const struct stat& expected) {
  // The inode alone is no proof: a file rewritten in place keeps it, and a
  // file system may give a new file the number of one just removed. Its mode
  // too: a file made read-only meanwhile is not to be replaced.
  return sameFile(found, expected) && found.st_size == expected.st_size &&
         found.st_mode == expected.st_mode &&
#ifdef _WIN32
         found.st_mtime == expected.st_mtime;
#else
         found.st_mtim.tv_sec == expected.st_mtim.tv_sec && found.st_mtim.tv_nsec == expected.st_mtim.tv_nsec;
#endif
}

bool isTempName(const std::string& name) { return looksLikeTemp(name.c_str()); }

namespace {

void removeTempsIn(const std::string& dir) {
  DIR* listing = opendir(dir.c_str());
  if (listing == nullptr) return;
  const std::string prefix = dir == "." ? "" : dir + "/";
  while (const dirent* entry = readdir(listing)) {
    if (looksLikeTemp(entry->d_name)) unlink((prefix + entry->d_name).c_str());
  }
  closedir(listing);
}

// Creates this process's temporary at `path`. O_EXCL and O_NOFOLLOW make
// sure the file written is a fresh one of ours; a file already there with our
// random name can only be a leftover of our own.
// Readable by its owner alone while it is written: it gets its target's mode
// only when it is committed.
int createFresh(const std::string& path) {
  int fd = open(path.c_str(), createFlags, 0600);
  if (fd < 0 && errno == EEXIST && unlink(path.c_str()) == 0) fd = open(path.c_str(), createFlags, 0600);
  return fd;
}

void forget(TempFile& temp) {
  if (temp.slot >= 0) setPending(temp.slot, "");
  temp.slot = -1;
}

void closeAndForget(TempFile& temp) {
  forget(temp);
  if (temp.fd >= 0) close(temp.fd);
  temp.fd = -1;
}

// The mode a new file gets: 0666 less the umask, as open would give it.
int newFileMode() {
#ifdef _WIN32
  return 0666;
#else
  static const int mode = [] {
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<int>(0666 & ~mask);
  }();
  return mode;
#endif
}

}  // namespace

void installTempCleanup() {
  for (const int signal : cleanupSignals) catchSignal(signal, removeTempAndDie);
#ifndef _WIN32
  // Past the file size limit (ulimit -f), a write should fail and say so,
  // not end the run on the spot with its temporary left behind.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void removeStaleTemps(const std::string& dir) { clearLeftoversAndHold(dir); }

bool reserveTempBeside(const std::string& target, TempFile& temp) {
  temp.target = target;
  temp.fd = -1;
  temp.slot = freeSlot();
  if (temp.slot < 0) {
    errno = EMFILE;
    return false;
  }
  temp.path = tempNameFor(target, temp.slot);
  setPending(temp.slot, temp.path);
  return true;
}

bool createTempBeside(const std::string& target, TempFile& temp) {
  // Armed before the file exists, so that no instant leaves it unguarded.
  if (!reserveTempBeside(target, temp)) return false;
  temp.fd = createFresh(temp.path);
  if (temp.fd < 0) {
    const int error = errno;
    forget(temp);
    errno = error;
    return false;
  }
  pending.at(static_cast<std::size_t>(temp.slot)).fd = temp.fd;
  return true;
}

bool writeTemp(TempFile& temp, const void* data, std::size_t size) { return writeAll(temp.fd, data, size); }

int openThrough(const std::string& path) { return open(path.c_str(), throughFlags, 0666); }

bool writeThroughAll(int fd, const void* data, std::size_t size) { return writeWaiting(fd, data, size); }

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    // Windows' write takes an unsigned int: at most 1 GiB at a time.
    const auto chunk = static_cast<unsigned>(std::min<std::size_t>(size, std::size_t{1} << 30));
    const auto written = write(fd, bytes, chunk);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

namespace {

// Gives the temporary the owner and mode of the file it replaces
// (`replaced`; a new file's mode without one), flushes it when `sync` is set
// and closes it. False on any failure.
bool finishTemp(TempFile& temp, bool sync, const struct stat* replaced) {
  bool ok = temp.fd >= 0;
  // (Owner first: a change of owner clears mode bits.)
  if (ok && replaced != nullptr) keepOwner(temp.fd, *replaced);
  if (ok) ok = setMode(temp.fd, replaced != nullptr ? static_cast<int>(replaced->st_mode) : newFileMode());
  if (ok && sync) ok = syncFile(temp.fd);
  if (temp.slot >= 0) pending.at(static_cast<std::size_t>(temp.slot)).fd = -1;
  // close reports what a network file system may only find out at the end.
  if (temp.fd >= 0 && close(temp.fd) != 0) ok = false;
  temp.fd = -1;
  return ok;
}

}  // namespace

bool canCommitIfAbsent() {
#ifdef _WIN32
  return true;
#else
  return !noReplaceUnsupported;
#endif
}

NewFile commitTempIfAbsent(TempFile& temp) {
  const NewFile result =
      finishTemp(temp, /*sync=*/false, nullptr) ? renameIfAbsent(temp.path, temp.target) : NewFile::failed;
  if (result != NewFile::placed) unlink(temp.path.c_str());
  forget(temp);
  return result;
}

bool commitTemp(TempFile& temp, bool sync, const struct stat* replaced) {
  bool ok = finishTemp(temp, sync, replaced);
  if (ok) ok = renameOver(temp.path, temp.target, sync);
  if (!ok) {
    const int error = errno;
    unlink(temp.path.c_str());
    forget(temp);
    errno = error;
    return false;
  }
  forget(temp);
  if (sync) syncDirectoryOf(temp.target);
  return true;
}

NewFile commitTempIfStillAbsent(TempFile& temp) {
  if (!finishTemp(temp, /*sync=*/true, nullptr)) {
    discardTemp(temp);
    return NewFile::failed;
  }
  const NewFile placed = placeIfAbsent(temp);
  if (placed == NewFile::placed) syncDirectoryOf(temp.target);
  return placed;
}

namespace {

#ifdef RENAME_EXCHANGE
// The last part of a path: the name within its directory.
std::string nameIn(const std::string& path) {
  const std::size_t slash = path.find_last_of(pathSeparators);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Holds back the signals that remove temporaries while it lives: a signal
// that comes meanwhile is handled when it goes.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : cleanupSignals) sigaddset(&held, signal);
    sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_{};
};
#endif

// Looks at the target, then renames the finished temporary over it: where
// the system cannot swap two names, an instant remains between the two.
Replaced lookThenRename(TempFile& temp, const struct stat& expected) {
  struct stat now {};
  Replaced result = Replaced::changed;
  if (lstat(temp.target.c_str(), &now) == 0 && unchangedSince(now, expected)) {
    result = renameOver(temp.path, temp.target, /*sync=*/true) ? Replaced::done : Replaced::failed;
  }
  const int error = errno;
  if (result != Replaced::done) unlink(temp.path.c_str());
  forget(temp);
  if (result == Replaced::done) syncDirectoryOf(temp.target);
  errno = error;
  return result;
}

}  // namespace

Replaced commitTempIfUnchanged(TempFile& temp, const struct stat& expected) {
  if (!finishTemp(temp, /*sync=*/true, &expected)) {
    const int error = errno;
    discardTemp(temp);
    errno = error;
    return Replaced::failed;
  }
#ifdef RENAME_EXCHANGE
  // The new file and the target swap names in one step; what comes out is
  // then looked at, so that no instant is left for another program's file to
  // be replaced unseen. Was it not the file expected, the two swap back.
  // Everything is done in the directory held open, whatever becomes of its
  // name meanwhile, and no signal handler runs in the middle of it (a signal
  // that comes is handled once the names are settled).
  // A directory that may be written and searched but not listed (0333) is
  // held by its path alone.
  const std::string directory = directoryOf(temp.target);
  int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0 && errno == EACCES) dir = open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    const int error = errno;
    discardTemp(temp);
    errno = error;
    return Replaced::failed;
  }
  const std::string tempName = nameIn(temp.path);
  const std::string targetName = nameIn(temp.target);
  const SignalsHeld held;
  if (renameat2(dir, tempName.c_str(), dir, targetName.c_str(), RENAME_EXCHANGE) == 0) {
    struct stat out {};
    const bool expectedOut =
        fstatat(dir, tempName.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 && unchangedSince(out, expected);
    if (!expectedOut && renameat2(dir, tempName.c_str(), dir, targetName.c_str(), RENAME_EXCHANGE) != 0) {
      // Cannot swap back: the other file takes its name back over ours.
      renameat(dir, tempName.c_str(), dir, targetName.c_str());
    }
    // The old file's last name but its backup's, or the new file given up.
    unlinkat(dir, tempName.c_str(), 0);
    forget(temp);
    fsync(dir);
    close(dir);
    return expectedOut ? Replaced::done : Replaced::changed;
  }
  const int error = errno;
  close(dir);
  if (error == ENOENT) {  // the target is gone
    discardTemp(temp);
    return Replaced::changed;
  }
  if (error != EINVAL && error != ENOSYS && error != EPERM && error != EACCES && error != EOPNOTSUPP) {
    discardTemp(temp);
    errno = error;
    return Replaced::failed;
  }
  // NFS and CIFS know no such swap, and a sandbox may forbid it.
#endif
  return lookThenRename(temp, expected);
}

HeldFile::~HeldFile() {
  if (fd >= 0) close(fd);
}

Replaced holdIfUnchanged(const std::string& file, const struct stat& expected, HeldFile& held) {
#ifdef _WIN32
  static_cast<void>(file);
  static_cast<void>(expected);
  static_cast<void>(held);
  return Replaced::done;
#else
  // Opened without following a link or waiting on a FIFO: only the file
  // looked at is held.
  held.fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (held.fd < 0) {
    return errno == ENOENT || errno == ELOOP || errno == ENXIO ? Replaced::changed : Replaced::failed;
  }
  struct stat opened {};
  if (fstat(held.fd, &opened) != 0) return Replaced::failed;
  if (!unchangedSince(opened, expected)) return Replaced::changed;
  // Another run replacing the same file holds it until it is done; it then
  // is no longer the file under the name, which the look below finds.
  while (flock(held.fd, LOCK_EX) != 0) {
    if (errno != EINTR) return Replaced::failed;
  }
  struct stat named {};
  if (lstat(file.c_str(), &named) != 0) return errno == ENOENT ? Replaced::changed : Replaced::failed;
  if (fstat(held.fd, &opened) != 0) return Replaced::failed;
  return unchangedSince(named, expected) && unchangedSince(opened, expected) ? Replaced::done
                                                                             : Replaced::changed;
#endif
}

bool isReadOnly(const struct stat& existing) {
  // The system the archives come from lets no one write a read-only file;
  // root here may, but should not either.
  return (existing.st_mode & 0222) == 0;
}

bool mayReplace(const std::string& target, const struct stat& existing) {
  // A read-only file is not ours to replace, even though the directory would
  // let a rename do it.
  errno = EACCES;
  if (isReadOnly(existing)) return false;
  if (!mayWrite(target)) return false;
  errno = EACCES;
  return renameAllowed(target, existing);
}

void discardTemp(TempFile& temp) {
  // Created and not yet committed: open, or closed by a finish that failed.
  const bool existed = temp.fd >= 0 || temp.slot >= 0;
  closeAndForget(temp);
  if (existed) unlink(temp.path.c_str());
}

namespace {

// Gives the finished temporary `temp` its target's name only if that name is
// free, in one step where the system offers one: a rename that never
// replaces, or else a hard link. Where it offers neither, the name is looked
// at just before an ordinary rename.
NewFile placeIfAbsent(TempFile& temp) {
  errno = 0;
  NewFile placed = canCommitIfAbsent() ? renameIfAbsent(temp.path, temp.target) : NewFile::failed;
  bool linked = false;
#ifndef _WIN32
  // No rename that never replaces here (NFS, a sandbox), or it failed for
  // some other reason: a link never replaces either; where there are none,
  // look, then rename. Any other failure (a name too long, say) is one.
  if (placed != NewFile::placed && errno != EEXIST) {
    struct stat existing {};
    if (link(temp.path.c_str(), temp.target.c_str()) == 0) {
      placed = NewFile::placed;
      linked = true;
    } else if (errno == EEXIST || lstat(temp.target.c_str(), &existing) == 0) {
      placed = NewFile::taken;
    } else {
      placed = errno == ENOENT && renameOver(temp.path, temp.target, /*sync=*/true) ? NewFile::placed
                                                                                    : NewFile::failed;
    }
  }
#endif
  // After a link, or when the name was taken, the temporary goes; renamed,
  // its name is gone already.
  const int error = errno;
  if (placed != NewFile::placed || linked) unlink(temp.path.c_str());
  forget(temp);
  errno = error;
  return placed;
}

// Copies the open file `from` (`size` bytes) into the temporary.
bool copyInto(int from, TempFile& temp) {
  std::array<char, 1 << 16> buffer{};
  for (;;) {
    const auto got = read(from, buffer.data(), static_cast<unsigned>(buffer.size()));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    if (!writeAll(temp.fd, buffer.data(), static_cast<std::size_t>(got))) return false;
  }
}

#ifdef _WIN32
constexpr int copyFromFlags = O_RDONLY | O_BINARY | O_NOINHERIT;
#else
// Never through a link, never waiting: the file is the one looked at.
constexpr int copyFromFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
#endif

// A copy of `file` as `backup`, by way of a temporary beside `backup` that is
// flushed to the disk first, so that a backup is never seen half written.
Backup copyBackup(const std::string& file, const struct stat& expected, const std::string& backup) {
  const int from = open(file.c_str(), copyFromFlags);
  // A link (O_NOFOLLOW's ELOOP) or a socket (ENXIO) where the file was.
  if (from < 0) return errno == ELOOP || errno == ENXIO ? Backup::changed : Backup::failed;
  struct stat info {};
  if (fstat(from, &info) != 0 || !unchangedSince(info, expected)) {
    close(from);
    return Backup::changed;
  }
  TempFile temp;
  bool copied = createTempBeside(backup, temp) && copyInto(from, temp);
  int error = errno;
  close(from);
  if (!copied || !finishTemp(temp, /*sync=*/true, &info)) {
    error = errno != 0 ? errno : error;
    discardTemp(temp);
    errno = error;
    return Backup::failed;
  }
  const NewFile placed = placeIfAbsent(temp);
  if (placed == NewFile::failed) return Backup::failed;
  if (placed == NewFile::placed) syncDirectoryOf(backup);
  return placed == NewFile::placed ? Backup::made : Backup::existed;
}

}  // namespace

BackupState checkBackup(const std::string& backup, const std::string& file) {
  struct stat named {};
  if (lstat(backup.c_str(), &named) != 0) {
    return errno == ENOENT ? BackupState::none : BackupState::unreadable;
  }
  struct stat reached {};
  if (stat(backup.c_str(), &reached) != 0 || !S_ISREG(reached.st_mode)) return BackupState::notAFile;
  // A link to the archive would show the new archive once it is replaced.
  // (A hard link is the old file itself, and stays so: a backup.)
  struct stat archive {};
  if (S_ISLNK(named.st_mode) && stat(file.c_str(), &archive) == 0 && archive.st_ino != 0 &&
      archive.st_dev == reached.st_dev && archive.st_ino == reached.st_ino) {
    return BackupState::theArchive;
  }
  return BackupState::usable;
}

Backup keepBackup(const std::string& file, const struct stat& expected, const std::string& backup) {
  // The file must still be the one looked at before the work: a link, a FIFO
  // or a device put in its place is no archive to keep.
  struct stat now {};
  if (lstat(file.c_str(), &now) != 0) return errno == ENOENT ? Backup::changed : Backup::failed;
  if (!unchangedSince(now, expected)) return Backup::changed;
  // A backup there already (an earlier pack's) stays as it is.
  struct stat existing {};
  if (lstat(backup.c_str(), &existing) == 0) {
    return checkBackup(backup, file) == BackupState::usable ? Backup::existed : Backup::unusable;
  }
  if (errno != ENOENT) return Backup::failed;
  // A hard link is the old file itself: nothing to copy. It is made under a
  // temporary name and looked at there first (link does not follow a
  // symlink: another file may have taken the archive's name in the instant
  // between), so that no other run ever sees a wrong one as the .bak; then
  // it takes the name only if that is still free, in one step.
  TempFile temp;
  if (!reserveTempBeside(backup, temp)) return Backup::failed;
  if (link(file.c_str(), temp.path.c_str()) == 0) {
    struct stat linked {};
    if (lstat(temp.path.c_str(), &linked) != 0 || !sameFile(linked, expected)) {
      unlink(temp.path.c_str());
      forget(temp);
      return Backup::changed;
    }
    const NewFile placed = placeIfAbsent(temp);
    if (placed == NewFile::failed) return Backup::failed;
    if (placed == NewFile::placed) {
      syncDirectoryOf(backup);
      return Backup::made;
    }
  } else {
    // Not every file system has links (vfat, SMB, some FUSE mounts): a copy
    // then.
    forget(temp);
    errno = 0;
    const Backup copied = copyBackup(file, expected, backup);
    if (copied != Backup::existed) return copied;
  }
  // Another run made the .bak in the meantime, which stays as it is; or
  // something that is none took the name.
  return checkBackup(backup, file) == BackupState::usable ? Backup::existed : Backup::unusable;
}
