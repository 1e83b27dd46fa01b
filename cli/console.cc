#include "console.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#define TOV_ISATTY _isatty
#define TOV_FILENO _fileno
#else
#include <unistd.h>
#define TOV_ISATTY isatty
#define TOV_FILENO fileno
#endif

namespace tov::cli {

// Lists shorter than this finish before an indicator would be read.
constexpr int kProgressMinimum = 20;

Progress::Progress(int total)
    : total_(total),
      enabled_(total >= kProgressMinimum &&
               TOV_ISATTY(TOV_FILENO(stderr)) != 0) {}

void Progress::Step(int done) {
  if (!enabled_) return;
  std::fprintf(stderr, "\r[%d/%d]", done, total_);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace tov::cli
