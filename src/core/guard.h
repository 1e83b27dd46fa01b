// The boundary between the exported C functions and the C++ inside: no
// exception crosses it.
#ifndef TOVUPDTR_CORE_GUARD_H_
#define TOVUPDTR_CORE_GUARD_H_

#include <new>
#include <utility>

#include "core/messages.h"

namespace tov::core {

// Runs `body` and returns its result.  Exhausted memory (the only exception
// the library's own code can meet) is reported as "Out of memory" with
// severity 2 and turns into `fallback`; so does any other exception.
template <typename R, typename F>
R Guard(R fallback, F &&body) {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    Report(0, Msg::kOutOfMemory);
    return fallback;
  }
}

// Guard for functions that return nothing.
template <typename F>
void GuardVoid(F &&body) {
  try {
    std::forward<F>(body)();
  } catch (...) {
    Report(0, Msg::kOutOfMemory);
  }
}

}  // namespace tov::core

#endif  // TOVUPDTR_CORE_GUARD_H_
