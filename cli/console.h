// What the program shows on the terminal while it works.
#ifndef TOVUPDTR_CLI_CONSOLE_H_
#define TOVUPDTR_CLI_CONSOLE_H_

#include "tovUpdtr.h"

namespace tov::cli {

// Keeps the library's messages in for the lifetime of the object, while the
// program asks it about names and references whose problems it reports in
// its own words (or which the update of the file then reports).
struct Quiet {
  Quiet() : previous(tovUpdtrSetMinSeverity(3)) {}
  ~Quiet() { tovUpdtrSetMinSeverity(previous); }
  Quiet(const Quiet &) = delete;
  Quiet &operator=(const Quiet &) = delete;
  int previous;
};

// Whether the standard output stream is a terminal on which colours may be
// used: not when the environment variable NO_COLOR is set and not empty.
bool StdoutTakesColour();

// A one-line progress indicator on the standard error stream, shown only
// when `wanted`, that stream is a terminal and the list is long enough to
// wait for.
class Progress {
 public:
  Progress(int total, bool wanted);
  ~Progress() { Clear(); }
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  // Shows that file `done` of the total is being worked on.
  void Step(int done);
  // Removes the indicator (before other output, and at the end).
  void Clear();

 private:
  int total_;
  bool enabled_;
  bool shown_ = false;
};

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_CONSOLE_H_
