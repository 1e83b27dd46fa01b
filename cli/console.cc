#include "console.h"

#include <cstdio>
#include <cstdlib>

#include "system.h"

namespace tov::cli {

// Lists shorter than this finish before an indicator would be read.
constexpr int kProgressMinimum = 20;

bool StdoutTakesColour() {
  const char *no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && no_colour[0] != '\0') return false;
  return sys::TerminalTakesEscapes(stdout);
}

Progress::Progress(int total, bool wanted)
    : total_(total),
      enabled_(wanted && total >= kProgressMinimum &&
               sys::TerminalTakesEscapes(stderr)) {}

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
