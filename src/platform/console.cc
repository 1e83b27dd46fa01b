#include "platform/console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace tov::platform {

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

#else

bool TerminalTakesEscapes(FILE *stream) { return isatty(fileno(stream)) != 0; }

void SetBinaryMode(FILE *) {}

#endif

}  // namespace tov::platform
