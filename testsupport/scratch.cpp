#include "testsupport/scratch.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <vector>

namespace testsupport {

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vorna-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; open them up first.
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
    }
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::set<std::string> ScratchDir::names() const {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

WorkingDir::WorkingDir(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

WorkingDir::~WorkingDir() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

namespace {

const char* wineRunners() {
  const char* dir = std::getenv("VORNA_WINE");
  return dir != nullptr && *dir != '\0' ? dir : nullptr;
}

using Clock = std::chrono::steady_clock;

[[noreturn]] void startChild(const std::string& program, const std::filesystem::path& dir,
                             const RunOptions& options, int inputFd, int outputFd, int errorFd) {
  dup2(errorFd, STDERR_FILENO);
  if (!options.outputFile.empty()) {
    const int file = open(options.outputFile.c_str(), O_WRONLY);
    if (file < 0 || dup2(file, outputFd) < 0) _exit(125);
  }
  if (options.closedStdio) {
    close(STDIN_FILENO);
    close(STDOUT_FILENO);
  } else {
    dup2(outputFd, STDOUT_FILENO);
    dup2(inputFd >= 0 ? inputFd : open("/dev/null", O_RDONLY), STDIN_FILENO);
  }
  constexpr uid_t nobody = 65534;
  if (options.unprivileged && getuid() == 0 &&
      (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
    _exit(126);
  }
  if (chdir(dir.c_str()) != 0) _exit(127);
  if (!options.refused.empty()) refuseSystemCalls(options.refused);
  if (options.fileSizeLimit > 0) {
    const rlimit limit{static_cast<rlim_t>(options.fileSizeLimit),
                       static_cast<rlim_t>(options.fileSizeLimit)};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(123);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

void refuseSystemCalls(const std::vector<RefusedCall>& calls) {
  // A classic BPF program over seccomp's data: any other architecture, or
  // any call not listed, is let through.
  std::vector<sock_filter> program = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (const RefusedCall& call : calls) {
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call.number), 0, 1));
    program.push_back(
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(call.error) & 0xFFFF)));
  }
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    std::perror("seccomp");
    _exit(124);
  }
}

std::vector<RefusedCall> noLinks() { return {{SYS_link, EPERM}, {SYS_linkat, EPERM}}; }

std::string programUnderTest(const std::string& builtIn) {
  if (!underWine()) return builtIn;
  return (std::filesystem::path(wineRunners()) / std::filesystem::path(builtIn).filename()).string();
}

bool underWine() { return wineRunners() != nullptr; }

ProgramRun runProgram(const std::string& program, const std::filesystem::path& dir,
                      const RunOptions& options) {
  // Standard error goes to a file, so that reading one pipe to its end can
  // never wait on a child blocked writing the other.
  std::FILE* errors = std::tmpfile();
  if (errors == nullptr) throw std::runtime_error("tmpfile failed");
  int output[2];
  int input[2];
  if (pipe2(output, O_CLOEXEC) != 0 || pipe2(input, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    startChild(program, dir, options, options.input.empty() ? -1 : input[0], output[1], fileno(errors));
  }
  close(output[1]);
  close(input[0]);
  // The input fits a pipe's buffer, so this cannot wait on the child.
  if (!options.input.empty() && write(input[1], options.input.data(), options.input.size()) < 0) {
    throw std::runtime_error("cannot feed the program");
  }
  close(input[1]);

  ProgramRun run;
  const auto at = [&](double seconds) {
    return start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  };
  bool interrupted = options.interruptSignal == 0;
  int status = 0;
  int outputFd = output[0];
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (!interrupted && now >= at(options.interruptAfter)) {
      kill(child, options.interruptSignal);
      interrupted = true;
    }
    if (now >= at(options.timeoutSeconds) && !run.timedOut) {
      kill(child, SIGKILL);
      run.timedOut = true;
    }
    pollfd ready{outputFd, POLLIN, 0};
    if (outputFd >= 0 && poll(&ready, 1, 5) > 0) {
      char buffer[4096];
      const ssize_t got = read(outputFd, buffer, sizeof buffer);
      if (got > 0) {
        run.output.append(buffer, static_cast<std::size_t>(got));
      } else {
        close(outputFd);
        outputFd = -1;
      }
      continue;
    }
    if (waitpid(child, &status, WNOHANG) == child) break;
    if (outputFd < 0) usleep(2000);
  }
  // The child may have written its last lines after the poll above and then
  // ended: they are still in the pipe.
  if (outputFd >= 0) {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(outputFd, buffer, sizeof buffer)) > 0) {
      run.output.append(buffer, static_cast<std::size_t>(got));
    }
    close(outputFd);
  }
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
  std::rewind(errors);
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, errors) != nullptr) run.errors += buffer;
  std::fclose(errors);
  return run;
}

ProgramRun runProgram(const std::string& program, const std::filesystem::path& dir,
                      const std::vector<std::string>& args, bool unprivileged) {
  RunOptions options;
  options.args = args;
  options.unprivileged = unprivileged;
  return runProgram(program, dir, options);
}

}  // namespace testsupport
