// The identity of a file, whatever name it is reached by.
#include <string>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace tov::platform {

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

}  // namespace tov::platform
