// bench-measure DIR OUT -- PROGRAM [ARG...]: runs PROGRAM in directory DIR
// with standard output sent to the file OUT, and prints, on one line, its
// wall seconds, user CPU seconds, system CPU seconds and peak resident set
// in KiB, as the kernel accounts them. Exits 1 if the program fails.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

double seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || std::strcmp(argv[3], "--") != 0) {
    std::fprintf(stderr, "usage: bench-measure DIR OUT -- PROGRAM [ARG...]\n");
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || dup2(out, STDOUT_FILENO) < 0 || chdir(argv[1]) != 0) _exit(127);
    execv(argv[4], argv + 4);
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) return 1;
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
  std::printf("%.4f %.4f %.4f %ld\n", wall.count(), seconds(usage.ru_utime), seconds(usage.ru_stime),
              usage.ru_maxrss);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench-measure: %s failed (status %d)\n", argv[4], status);
    return 1;
  }
  return 0;
}
