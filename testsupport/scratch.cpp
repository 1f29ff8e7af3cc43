#include "testsupport/scratch.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace

std::string programUnderTest(const std::string& builtIn) {
  if (!underWine()) return builtIn;
  return (std::filesystem::path(wineRunners()) / std::filesystem::path(builtIn).filename()).string();
}

bool underWine() { return wineRunners() != nullptr; }

ProgramRun runProgram(const std::string& program, const std::filesystem::path& dir,
                      const std::vector<std::string>& args, bool unprivileged) {
  // Standard error goes to a file, so that reading one pipe to its end can
  // never wait on a child blocked writing the other.
  std::FILE* errors = std::tmpfile();
  if (errors == nullptr) throw std::runtime_error("tmpfile failed");
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    std::fclose(errors);
    throw std::runtime_error("pipe failed");
  }
  const pid_t child = fork();
  if (child < 0) {
    std::fclose(errors);
    close(pipeFds[0]);
    close(pipeFds[1]);
    throw std::runtime_error("fork failed");
  }
  if (child == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(fileno(errors), STDERR_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    const int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, STDIN_FILENO);
    constexpr uid_t nobody = 65534;
    if (unprivileged && getuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)) {
      _exit(126);
    }
    if (chdir(dir.c_str()) != 0) _exit(127);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  ProgramRun run;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  std::rewind(errors);
  while (std::fgets(buffer, sizeof buffer, errors) != nullptr) run.errors += buffer;
  std::fclose(errors);
  return run;
}

}  // namespace testsupport
