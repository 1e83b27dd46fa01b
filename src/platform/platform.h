// The one place where the library meets the operating system.  Everything
// else calls these instead of POSIX or Windows functions, so that the same
// sources build on both.
#ifndef TOVUPDTR_PLATFORM_PLATFORM_H_
#define TOVUPDTR_PLATFORM_PLATFORM_H_

#include <cstdint>

namespace tov::platform {

#ifdef _WIN32
constexpr char kDirSep = '\\';
#else
constexpr char kDirSep = '/';
#endif

// Access modes of Access().
constexpr int kExists = 0;
constexpr int kWriteOk = 2;
constexpr int kReadOk = 4;

// Owner-write permission bit of a mode word.
constexpr unsigned kOwnerWrite = 0200;

// What Stat() reports.
struct FileStatus {
  unsigned mode = 0;  // permission and type bits as the system gives them
  int64_t size = 0;   // in bytes
  bool is_dir = false;
};

// _access: 0 when `path` exists and allows `mode`; -1 with the error number
// set otherwise.
int Access(const char *path, int mode);
// _stat: 0 and *status filled in, or -1 with the error number set.
int Stat(const char *path, FileStatus *status);
// _chmod with the whole mode word: 0 or -1.
int Chmod(const char *path, unsigned mode);
// _mkdir (0777 before the umask on POSIX): 0 or -1.
int Mkdir(const char *path);
// _strdup: a malloc'ed copy the caller frees, or NULL.
char *Strdup(const char *s);
// _stricmp: compares with A-Z folded to a-z; <0, 0 or >0.
int Stricmp(const char *a, const char *b);
// The error number of the calling thread's last failed call.
int ErrorNumber();
void SetErrorNumber(int value);

// Test seam: replaces the function behind Access() (NULL restores it).
using AccessFn = int (*)(const char *path, int mode);
void SetAccessForTesting(AccessFn fn);

}  // namespace tov::platform

#endif  // TOVUPDTR_PLATFORM_PLATFORM_H_
