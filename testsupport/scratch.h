#pragma once

// Temporary directories and runs of the real program inside them.

#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace testsupport {

// A fresh empty directory, removed with everything in it when this goes.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  // Names of the entries in the directory.
  std::set<std::string> names() const;

 private:
  std::filesystem::path path_;
};

// Makes `dir` the current directory until this goes.
class WorkingDir {
 public:
  explicit WorkingDir(const std::filesystem::path& dir);
  ~WorkingDir();
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path previous_;
};

struct ProgramRun {
  int exitStatus = -1;  // -1 when it did not exit normally
  int signal = 0;       // the signal that ended it, if one did
  bool timedOut = false;
  std::string output;  // everything it printed on standard output
  std::string errors;  // everything it printed on standard error
};

// The program a test runs: `builtIn`, the build's own (a path ending in, say,
// vorna-unpack), unless the environment variable VORNA_WINE names a directory
// of runners of the Windows build under wine: then the runner of the same
// name there.
std::string programUnderTest(const std::string& builtIn);

// Whether the programs under test are the Windows build under wine, where
// Linux-only setups (another user, /dev/full) mean nothing.
bool underWine();

// A system call the program is refused, with the error it gets instead, as
// a file system, a kernel or a sandbox may refuse it.
struct RefusedCall {
  long number;  // SYS_link, SYS_fsync, ...
  int error;    // EPERM, EIO, ...
};

// Makes every later call of these fail in this process and the programs it
// starts (seccomp). Call it in a child process: it cannot be undone.
void refuseSystemCalls(const std::vector<RefusedCall>& calls);

// Hard links, as vfat, SMB and some FUSE mounts refuse them.
std::vector<RefusedCall> noLinks();

struct RunOptions {
  std::vector<std::string> args;
  // A run started as root drops to the user and group nobody first, so that
  // file permissions hold for it too.
  bool unprivileged = false;
  std::string input;  // fed to its standard input through a pipe
  // Started with standard input and output closed (nothing is captured).
  bool closedStdio = false;
  int interruptSignal = 0;  // sent after `interruptAfter` seconds, if set
  double interruptAfter = 0;
  // A run that takes longer is killed and marked timed out.
  double timeoutSeconds = 60;
  std::vector<RefusedCall> refused;
  // Standard output goes to this file (a scratch device, say), not captured.
  std::filesystem::path outputFile;
  // The largest file the program may write (ulimit -f), in bytes; 0: none.
  long fileSizeLimit = 0;
};

// Runs `program` in directory `dir`, standard input empty unless `input` is given.
ProgramRun runProgram(const std::string& program, const std::filesystem::path& dir,
                      const RunOptions& options);
ProgramRun runProgram(const std::string& program, const std::filesystem::path& dir,
                      const std::vector<std::string>& args = {}, bool unprivileged = false);

}  // namespace testsupport
