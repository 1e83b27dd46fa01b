// Exported reference strings: parsing, debug printing, kind of change.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "core/messages.h"
#include "lcv/lcv.h"
#include "tovUpdtr.h"

namespace tov::lcv {
namespace {

using core::Msg;

// What a component scan found.
enum class Scan { kOk, kNoSeparator, kEmpty, kTooLong };

// Scans the component at the start of `text`: it ends at the first byte of
// `separators` (or at the end of the text when `separators` is empty).  On
// kOk the component is copied into `out` (when given) and *length holds its
// length.  The separator message is printed here, before the caller's own.
Scan ScanComponent(const char *text, const char *separators, char *out,
                   size_t size, size_t *length) {
  size_t n = std::strcspn(text, separators);
  *length = n;
  if (text[n] == '\0' && separators[0] != '\0') {
    core::Report(0, Msg::kNoSeparator);
    return Scan::kNoSeparator;
  }
  if (n == 0) return Scan::kEmpty;
  if (out != nullptr) {
    if (n >= size) return Scan::kTooLong;
    std::memcpy(out, text, n);
    out[n] = '\0';
  }
  return Scan::kOk;
}

// Reports a failed scan of the component `name` (Lib, Cell, View, File).
int Fail(Scan scan, Msg msg, const char *name, const char *lcv, size_t size) {
  if (scan == Scan::kTooLong) {
    int limit = size - 1 > INT32_MAX ? INT32_MAX : static_cast<int>(size - 1);
    core::Report(0, Msg::kComponentTooLong, name, limit, lcv);
  } else {
    core::Report(0, msg, lcv);
  }
  return 0;
}

}  // namespace

int ParseLCV(const char *lcv, char *lib, char *cell, char *view, char *file,
             size_t size) {
  for (char *out : {lib, cell, view, file}) {
    if (out != nullptr && size > 0) out[0] = '\0';
  }
  if (size == 0) lib = cell = view = file = nullptr;
  if (lcv == nullptr) {
    core::Report(0, Msg::kNullLcv);
    return 0;
  }
  if (lcv[0] == '\0') {
    core::Report(0, Msg::kEmptyLcv);
    return 0;
  }

  size_t n = 0;
  const char *p = lcv;
  Scan scan = ScanComponent(p, "/.", lib, size, &n);
  if (scan != Scan::kOk) return Fail(scan, Msg::kBadLib, "Lib", lcv, size);
  p += n;
  if (*p == '.') {
    ++p;
    scan = ScanComponent(p, ":/", cell, size, &n);
    if (scan != Scan::kOk) return Fail(scan, Msg::kBadCell, "Cell", lcv, size);
    p += n;
    if (*p == ':') {
      ++p;
      scan = ScanComponent(p, "/", view, size, &n);
      if (scan != Scan::kOk) {
        return Fail(scan, Msg::kBadView, "View", lcv, size);
      }
      p += n;
    }
  }
  ++p;  // the '/' that opens the file part
  scan = ScanComponent(p, "", file, size, &n);
  if (scan != Scan::kOk) return Fail(scan, Msg::kBadFile, "File", lcv, size);
  // A file part of exactly "." names the library, cell or view itself.
  if (n == 1 && p[0] == '.' && file != nullptr) file[0] = '\0';
  return 1;
}

int WhatChanged(const char *from_lib, const char *from_cell,
                const char *from_view, const char *from_file,
                const char *to_lib, const char *to_cell, const char *to_view,
                const char *to_file) {
  auto differ = [](const char *a, const char *b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) != 0;
  };
  if (differ(from_file, to_file)) return LCV_FILE_CHANGED;
  if (differ(from_view, to_view)) return LCV_VIEW_CHANGED;
  if (differ(from_cell, to_cell)) return LCV_CELL_CHANGED;
  if (differ(from_lib, to_lib)) return LCV_LIB_CHANGED;
  return LCV_NONE_CHANGED;
}

}  // namespace tov::lcv

extern "C" {

TOVUPDTR_API int tovParseLCV(const char *lcv, char *lib, char *cell, char *view,
                             char *file) {
  // The exported form has no sizes: its callers size each buffer for the
  // longest component they can meet.
  return tov::lcv::ParseLCV(lcv, lib, cell, view, file, SIZE_MAX);
}

TOVUPDTR_API void tovPrintLCV(const char *lib, const char *cell,
                              const char *view, const char *file) {
  auto shown = [](const char *s) {
    return (s == nullptr || s[0] == '\0') ? "<NULL>" : s;
  };
  std::fprintf(stderr, "DEBUG: Lib  is: \t\"%s\"\n", shown(lib));
  std::fprintf(stderr, "DEBUG: Cell is: \t\"%s\"\n", shown(cell));
  std::fprintf(stderr, "DEBUG: View is: \t\"%s\"\n", shown(view));
  std::fprintf(stderr, "DEBUG: File is: \t\"%s\"\n", shown(file));
}

TOVUPDTR_API int tovWhatChangedInFromToPair(
    const char *fromLib, const char *fromCell, const char *fromView,
    const char *fromFile, const char *toLib, const char *toCell,
    const char *toView, const char *toFile) {
  return tov::lcv::WhatChanged(fromLib, fromCell, fromView, fromFile, toLib,
                               toCell, toView, toFile);
}

}  // extern "C"
