#include "platform/platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;
#endif

namespace tov::platform {
namespace {

int SystemAccess(const char *path, int mode) {
#ifdef _WIN32
  return _access(path, mode);
#else
  int native = F_OK;
  if (mode & kWriteOk) native |= W_OK;
  if (mode & kReadOk) native |= R_OK;
  return access(path, native);
#endif
}

AccessFn g_access = SystemAccess;

}  // namespace

int Access(const char *path, int mode) { return g_access(path, mode); }

void SetAccessForTesting(AccessFn fn) {
  g_access = fn != nullptr ? fn : SystemAccess;
}

int Stat(const char *path, FileStatus *status) {
#ifdef _WIN32
  struct _stat64 st;
  if (_stat64(path, &st) != 0) return -1;
  status->is_dir = (st.st_mode & _S_IFDIR) != 0;
#else
  struct stat st;
  if (stat(path, &st) != 0) return -1;
  status->is_dir = S_ISDIR(st.st_mode);
#endif
  status->mode = static_cast<unsigned>(st.st_mode);
  status->size = static_cast<int64_t>(st.st_size);
  status->device = static_cast<uint64_t>(st.st_dev);
  status->inode = static_cast<uint64_t>(st.st_ino);
#if defined(_WIN32)
  status->modified_ns = static_cast<int64_t>(st.st_mtime) * 1000000000;
#elif defined(__APPLE__)
  status->modified_ns =
      static_cast<int64_t>(st.st_mtimespec.tv_sec) * 1000000000 +
      st.st_mtimespec.tv_nsec;
#else
  status->modified_ns =
      static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#endif
  return 0;
}

bool SameContent(const FileStatus &a, const FileStatus &b) {
  return a.size == b.size && a.modified_ns == b.modified_ns &&
         a.device == b.device && a.inode == b.inode;
}

int Chmod(const char *path, unsigned mode) {
#ifdef _WIN32
  return _chmod(path, static_cast<int>(mode & (_S_IREAD | _S_IWRITE)));
#else
  return chmod(path, static_cast<mode_t>(mode & 07777));
#endif
}

int Mkdir(const char *path) {
#ifdef _WIN32
  return _mkdir(path);
#else
  return mkdir(path, 0777);
#endif
}

char *Strdup(const char *s) {
  if (s == nullptr) return nullptr;
  size_t n = std::strlen(s) + 1;
  char *copy = static_cast<char *>(std::malloc(n));
  if (copy != nullptr) std::memcpy(copy, s, n);
  return copy;
}

int Stricmp(const char *a, const char *b) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(a);
  const unsigned char *q = reinterpret_cast<const unsigned char *>(b);
  for (;; ++p, ++q) {
    // Only A-Z fold, whatever the locale: names with bytes above 0x7F compare
    // exactly, on every platform alike.
    int c = (*p >= 'A' && *p <= 'Z') ? *p + ('a' - 'A') : *p;
    int d = (*q >= 'A' && *q <= 'Z') ? *q + ('a' - 'A') : *q;
    if (c != d || c == 0) return c - d;
  }
}

#ifdef _WIN32
namespace {

// One argument as the C run-time of the started program splits its command
// line back: quoted when it holds blanks or quotes, with the backslashes
// before a quote (and before the closing quote) doubled.
std::string QuoteArgument(const std::string &arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    return arg;
  }
  std::string out = "\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < arg.size() && arg[i] == '\\') {
      ++i;
      ++backslashes;
    }
    if (i == arg.size()) {
      out.append(backslashes * 2, '\\');
      break;
    }
    if (arg[i] == '"') {
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    out.push_back(arg[i]);
  }
  out.push_back('"');
  return out;
}

struct HandleCloser {
  void operator()(void *handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

}  // namespace

int RunCommand(const std::vector<std::string> &argv) {
  if (argv.empty()) return -1;
  std::string line;
  for (const std::string &arg : argv) {
    if (!line.empty()) line.push_back(' ');
    line += QuoteArgument(arg);
  }
  // The command writes where the calling program writes: it inherits the
  // standard handles, and only them of all the handles that could be
  // inherited.
  HANDLE inherited[3];
  DWORD count = 0;
  STARTUPINFOEXA startup = {};
  startup.StartupInfo.cb = sizeof startup;
  HANDLE *std_handles[3] = {&startup.StartupInfo.hStdInput,
                            &startup.StartupInfo.hStdOutput,
                            &startup.StartupInfo.hStdError};
  const DWORD kinds[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
                          STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    HANDLE h = GetStdHandle(kinds[i]);
    DWORD flags = 0;
    if (h == nullptr || h == INVALID_HANDLE_VALUE ||
        !GetHandleInformation(h, &flags) || !(flags & HANDLE_FLAG_INHERIT)) {
      continue;
    }
    *std_handles[i] = h;
    bool listed = false;
    for (DWORD k = 0; k < count; ++k) listed = listed || inherited[k] == h;
    if (!listed) inherited[count++] = h;
  }
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<char> attributes(size);
  auto *list =
      reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  const bool inherit = count > 0 && size > 0 &&
                       InitializeProcThreadAttributeList(list, 1, 0, &size) &&
                       UpdateProcThreadAttribute(
                           list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                           inherited, count * sizeof(HANDLE), nullptr, nullptr);
  if (inherit) {
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.lpAttributeList = list;
  }
  PROCESS_INFORMATION info = {};
  const BOOL started = CreateProcessA(
      nullptr, &line[0], nullptr, nullptr, inherit ? TRUE : FALSE,
      inherit ? EXTENDED_STARTUPINFO_PRESENT : 0, nullptr, nullptr,
      &startup.StartupInfo, &info);
  if (inherit) DeleteProcThreadAttributeList(list);
  if (!started) return -1;
  Handle process(info.hProcess);
  Handle thread(info.hThread);
  if (WaitForSingleObject(process.get(), INFINITE) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (!GetExitCodeProcess(process.get(), &code)) return -1;
  return code <= 255 ? static_cast<int>(code) : -1;
}
#else
int RunCommand(const std::vector<std::string> &argv) {
  if (argv.empty()) return -1;
  std::vector<char *> args;
  args.reserve(argv.size() + 1);
  for (const std::string &arg : argv) {
    args.push_back(const_cast<char *>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

bool IsDirSep(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

bool IsAbsolutePath(const char *path) {
  if (path == nullptr || path[0] == '\0') return false;
  if (IsDirSep(path[0])) return true;
#ifdef _WIN32
  return std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
#else
  return false;
#endif
}

char *RealPath(const char *path) {
  if (path == nullptr) return nullptr;
#ifdef _WIN32
  return _fullpath(nullptr, path, 0);
#else
  return realpath(path, nullptr);
#endif
}

int ErrorNumber() { return errno; }
void SetErrorNumber(int value) { errno = value; }

}  // namespace tov::platform
