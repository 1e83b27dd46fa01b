// A check-out command for the tests on Windows, where a shell script cannot
// be one.
//
//   tov_argv_log LOG ACTION ARG...
//
// appends "N:[ARG]...[ARG]" (N the number of ARGs) to the file LOG, then
// does ACTION: "exit0" and "exit3" exit with that status, "unlock" takes the
// read-only attribute from the file named by the last ARG and exits 0,
// "tell" writes "checked out ARG" (the last ARG) to stdout and stderr and
// does what "unlock" does, "abort" ends the program abnormally.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <io.h>
#endif
#include <sys/stat.h>

int main(int argc, char **argv) {
  if (argc < 3) return 64;
  std::string entry = std::to_string(argc - 3) + ":";
  for (int i = 3; i < argc; ++i) entry += std::string("[") + argv[i] + "]";
  std::FILE *log = std::fopen(argv[1], "ab");
  if (log == nullptr) return 65;
  std::fputs(entry.c_str(), log);
  std::fclose(log);
  const char *action = argv[2];
  if (std::strcmp(action, "exit0") == 0) return 0;
  if (std::strcmp(action, "exit3") == 0) return 3;
  if (std::strcmp(action, "abort") == 0) std::abort();
  if (std::strcmp(action, "tell") == 0 && argc > 3) {
    std::printf("checked out %s\n", argv[argc - 1]);
    std::fprintf(stderr, "checked out %s\n", argv[argc - 1]);
    action = "unlock";
  }
  if (std::strcmp(action, "unlock") == 0 && argc > 3) {
#ifdef _WIN32
    return _chmod(argv[argc - 1], _S_IREAD | _S_IWRITE) == 0 ? 0 : 66;
#else
    return chmod(argv[argc - 1], 0644) == 0 ? 0 : 66;
#endif
  }
  return 64;
}
