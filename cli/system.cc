#include "system.h"

#include <cstdlib>
#include <memory>

#include <sys/stat.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace tov::cli::sys {
namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};

void (*g_cleanup)(void) = nullptr;

}  // namespace

#ifdef _WIN32

bool TerminalTakesEscapes(FILE *stream) {
  const int fd = _fileno(stream);
  if (fd < 0 || !_isatty(fd)) return false;
  // _isatty is also true for the NUL device: only a console has a mode.
  HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  DWORD mode = 0;
  if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) {
    return false;
  }
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
         SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void SetBinaryMode(FILE *stream) {
  std::fflush(stream);
  _setmode(_fileno(stream), _O_BINARY);
}

namespace {

BOOL WINAPI OnConsoleEvent(DWORD) {
  if (g_cleanup != nullptr) g_cleanup();
  return FALSE;  // the next handler, the system's, ends the program
}

}  // namespace

void CleanUpOnInterrupt(void (*cleanup)(void)) {
  g_cleanup = cleanup;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

#else

bool TerminalTakesEscapes(FILE *stream) { return isatty(fileno(stream)) != 0; }

void SetBinaryMode(FILE *) {}

namespace {

void OnEndingSignal(int signal_number) {
  if (g_cleanup != nullptr) g_cleanup();
  // Ended by the signal itself, as the caller of the program expects.
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void CleanUpOnInterrupt(void (*cleanup)(void)) {
  g_cleanup = cleanup;
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action = {};
    action.sa_handler = OnEndingSignal;
    sigemptyset(&action.sa_mask);
    // A signal ignored by whoever started the program stays ignored.
    struct sigaction before = {};
    if (sigaction(signal_number, nullptr, &before) == 0 &&
        before.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal_number, &action, nullptr);
  }
}

#endif

std::string FileIdentity(const char *path) {
  if (path == nullptr) return "";
#ifdef _WIN32
  // Read access to the attributes is enough, and shared with everybody, so
  // that a file open elsewhere is still reached.
  HANDLE h =
      CreateFileA(path, FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(h, &info);
  CloseHandle(h);
  if (!ok) return "";
  return std::to_string(info.dwVolumeSerialNumber) + ":" +
         std::to_string(
             (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) |
             info.nFileIndexLow);
#else
  struct stat st;
  if (stat(path, &st) != 0) return "";
  return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
         std::to_string(static_cast<unsigned long long>(st.st_ino));
#endif
}

FileKind KindOf(const char *path) {
#ifdef _WIN32
  struct _stat64 st;
  if (path == nullptr || _stat64(path, &st) != 0) return FileKind::kMissing;
  return (st.st_mode & _S_IFMT) == _S_IFREG ? FileKind::kRegular
                                            : FileKind::kOther;
#else
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return FileKind::kMissing;
  return S_ISREG(st.st_mode) ? FileKind::kRegular : FileKind::kOther;
#endif
}

std::string RealPath(const char *path) {
  if (path == nullptr) return "";
#ifdef _WIN32
  std::unique_ptr<char, FreeDeleter> real(_fullpath(nullptr, path, 0));
#else
  std::unique_ptr<char, FreeDeleter> real(realpath(path, nullptr));
#endif
  return real != nullptr ? real.get() : "";
}

}  // namespace tov::cli::sys
