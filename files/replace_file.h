#pragma once
// Replacing a file so that, at every instant, it holds either its complete
// old content or the complete new one, even if the process is killed: the new
// version goes to a temporary file beside the old one, and is renamed over it
// only once it has been written whole.
//
// A temporary is named ".vorna-<pid>-<random>.tmp", a name no program of ours
// ever takes for an image or an archive.
// The termination signals that can be handled (SIGINT, SIGTERM, SIGHUP,
// SIGPIPE) remove the current temporary and then end the process by the same
// signal, so that the shell still sees what stopped it. Only SIGKILL (or a
// crash of the machine) can leave one behind, and removeStaleTemps clears
// those away on the next run.

#include <sys/stat.h>

#include <cstddef>
#include <string>

#ifdef _WIN32
// Windows' C library sees no symlinks: what stat finds is the file itself.
inline int lstat(const char* path, struct stat* info) { return stat(path, info); }
#define S_ISLNK(mode) false
#endif

// Installs the handlers that remove the current temporary on SIGINT, SIGTERM,
// SIGHUP and SIGPIPE. A signal that was ignored when the program started
// stays ignored. Call once, before the first temporary is made.
void installTempCleanup();

// Holds `dir` for the rest of the process, as a directory this run writes
// temporaries in; first, if no other run holds it, removes the temporaries
// that runs which are gone left there. Call once per directory.
void removeStaleTemps(const std::string& dir);

// An open temporary file beside a target. At most two exist at a time: an
// archive and the copy that becomes its backup.
struct TempFile {
  std::string target;  // the file it will replace
  std::string path;    // the temporary's own name
  int fd = -1;
  int slot = -1;  // which of the signal handler's entries guards it
};

// Creates an empty temporary in the directory of `target`, readable by its
// owner alone until it is committed. False, with errno set, when the
// directory cannot take a new file.
bool createTempBeside(const std::string& target, TempFile& temp);

// Whether a file is read-only: it has no write permission bit at all. Such a
// file is never replaced or written, whoever runs the program, root included.
bool isReadOnly(const struct stat& existing);

// Whether `target`, an existing file described by `existing`, may be replaced
// by a rename: it is not read-only, this user may write it, and the directory
// lets this user rename over it. When not, errno says why (EACCES when the
// permissions say no).
bool mayReplace(const std::string& target, const struct stat& existing);

// A name for a temporary beside `target`, guarded by the signal handler,
// but no file yet: for one that another call makes (a link). False when two
// temporaries are in use already.
bool reserveTempBeside(const std::string& target, TempFile& temp);

// Writes all of `data` to the temporary. False on any failure (a full disk).
bool writeTemp(TempFile& temp, const void* data, std::size_t size);

// Opens `path` for writing through (created if missing, not truncated) in
// binary mode, without waiting; a descriptor, or -1. A FIFO that no one
// reads is refused (ENXIO).
int openThrough(const std::string& path);

// Writes all of `data` to a descriptor from openThrough: waits while a FIFO
// is full and read, fails (EPIPE) once no one reads it. False on any failure.
bool writeThroughAll(int fd, const void* data, std::size_t size);

// Writes all of `data` to `fd`. False on any failure.
bool writeAll(int fd, const void* data, std::size_t size);

// Gives the temporary the permission bits of `replaced`, the file it
// replaces, and its owner and group where this user may (null for a new
// file's mode, 0666 less the umask), flushes it to the disk when `sync` is
// set, closes it and renames it over its target. On any failure the
// temporary is removed, the target is left as it was, and the result is
// false, with errno set.
bool commitTemp(TempFile& temp, bool sync, const struct stat* replaced = nullptr);

// What commitTempIfAbsent did.
enum class NewFile {
  placed,  // the temporary now has the target's name
  taken,   // something has that name, or the rename was refused: untouched
  failed,  // the temporary could not be finished or moved: gone
};

// Whether commitTempIfAbsent can work here: false once the system has
// refused to rename without replacing (network file systems, sandboxes).
bool canCommitIfAbsent();

// Closes the temporary and gives it its target's name only if nothing has
// that name yet, in one step, so that a file that appeared meanwhile is never
// replaced unchecked. Unless placed, the temporary is removed.
NewFile commitTempIfAbsent(TempFile& temp);

// Flushes the temporary to the disk, gives it a new file's mode and its
// target's name, only if nothing has that name yet, in one step where the
// system offers one, so that a file that appeared meanwhile is never replaced
// unchecked. Unless placed, the temporary is removed.
NewFile commitTempIfStillAbsent(TempFile& temp);

// What commitTempIfUnchanged did.
enum class Replaced {
  done,     // the target is the new file
  changed,  // the target was no longer the file expected: left as it is, the temporary gone
  failed,   // errno says why; the target is left as it was, the temporary gone
};

// Whether `found` is still the file `expected` describes: the same regular
// file, its size and its time of last change the same.
bool unchangedSince(const struct stat& found, const struct stat& expected);

// Flushes the temporary to the disk, gives it the permission bits (and the
// owner, where this user may) of `expected`, and renames it over its target only if the target is still the
// file `expected` describes (unchangedSince), so that a file another program
// put there, or rewrote, during the run is never replaced unseen: the two
// names are swapped in one step and what came out is looked at (swapped back
// if it was not that file); where the system cannot swap names, the target is
// looked at just before the rename.
Replaced commitTempIfUnchanged(TempFile& temp, const struct stat& expected);

// A file held open, and locked, for this run's replacement of it.
struct HeldFile {
  HeldFile() = default;
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  int fd = -1;
};

// Holds `file`, if it is still the file `expected` describes, against every
// other run of these programs that would replace it at the same time: they
// take turns, and each finds, when its turn comes, whether the file is still
// the one it looked at. done when held; changed when it is no longer that
// file; failed, with errno set, when it cannot be looked at. (Windows has no
// such lock: there, done at once.)
Replaced holdIfUnchanged(const std::string& file, const struct stat& expected, HeldFile& held);

// Whether `name` (without a directory) is one this program gives its
// temporaries: a file so named may be removed by any run as a leftover.
bool isTempName(const std::string& name);

// Closes and removes the temporary; the target is left as it was.
void discardTemp(TempFile& temp);

// Keeping a file as it was before it is replaced, as FILE.bak.
enum class Backup {
  made,      // the backup now holds the file as it is
  existed,   // a backup was there (an earlier pack's, or another run's just now): left alone
  unusable,  // the name is taken by what is no backup (see checkBackup): left alone
  changed,   // the file is no longer the one looked at: nothing made
  failed,    // errno says why; nothing was left behind
};

// What has the name of `file`'s backup. A backup is a regular file (or a
// link to one) other than `file` itself: a link to the file would show the
// new file once it is replaced.
enum class BackupState { none, usable, notAFile, theArchive, unreadable };
BackupState checkBackup(const std::string& backup, const std::string& file);

// Makes `backup` hold what `file` holds now, unless the name is taken: a
// backup this call did not make is never changed or removed. A hard link
// where the file system allows one; else a copy, written to a temporary
// beside `backup` and flushed to the disk, then given the name only if that
// is still free, in one step (renaming without replacing, or linking), so
// that no backup is ever seen half written.
// `expected` describes `file` as it was looked at before the work: a file
// put in its place since is not kept.
Backup keepBackup(const std::string& file, const struct stat& expected, const std::string& backup);
