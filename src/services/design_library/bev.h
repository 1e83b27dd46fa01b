// Design-library service: reads the library-definition file, finds the
// directories of libraries and the paths of files inside them, and tells in
// which name space a library directory stores its names.
//
// Library-definition file (docs/library-definition.md): one statement a
// line, blank lines and lines whose first non-blank character is '#'
// ignored, words separated by blanks or tabs.
//   library NAME DIR   NAME (a "LibraryUnix" name) lives in DIR (rest of the
//                      line, trimmed; relative to the defining file's folder)
//   include FILE       reads FILE at that point (rest of the line, relative
//                      likewise)
// A later definition of a name replaces the earlier one.  Library names are
// compared as the names they spell: "a#3A" and "a#3a" are one library.
#ifndef TOVUPDTR_SERVICES_DESIGN_LIBRARY_BEV_H_
#define TOVUPDTR_SERVICES_DESIGN_LIBRARY_BEV_H_

#include <cstddef>

// Longest line of a definition file, line end excluded.
constexpr size_t kBevMaxLineLength = 4096;
// Deepest nesting of includes below the first file.
constexpr int kBevMaxIncludeDepth = 32;
// Longest name-space name that daxGetNameSpace reports.
constexpr size_t kBevMaxNameSpaceLength = 255;

// Nonzero results of bevGetPath.
constexpr int kBevNoLibrary = 1;  // NULL, empty or undefined library
constexpr int kBevTooLong = 2;    // the path and its NUL exceed `size`

// Reads the library-definition file `path`, replacing every earlier
// definition.  0 when ready; nonzero on failure (unknown keyword, missing
// field, illegal or over-long name, over-long line, NUL byte, missing or
// unreadable file, include cycle, includes nested too deep), with the reason
// kept for bevErrorReason() as "file:line: reason".  A rejected file leaves the
// earlier definitions in force.  Prints nothing.  The other arguments are
// reserved (0, "").
int bevInit(const char *path, int reserved1, int reserved2, int reserved3,
            const char *reserved4);

// Writes into `out` (at most `size` bytes, NUL included) the directory of
// `lib` followed by each non-NULL, non-empty one of `cell`, `view`, `file`,
// joined by the platform separator.  0 on success; kBevNoLibrary when `lib`
// is NULL, empty or not defined, kBevTooLong when the path does not fit;
// `out` is written only on success.  The file system is not consulted.
int bevGetPath(int reserved1, int reserved2, const char *lib, const char *cell,
               const char *view, const char *file, char *out, int size);

// The library at `index` (from 0) of the definitions in force, in the order
// of their names: its name ("LibraryUnix"), with *dir (when not NULL) set to
// its directory as defined; NULL past the last.  Both strings are the
// service's and stay valid until the next bevInit.
const char *bevLibraryAt(size_t index, const char **dir);

// The first line of `libDir`/.namespace, with blanks and line end trimmed;
// NULL when the file is absent or unreadable, or when that line is empty,
// holds a NUL byte or is longer than kBevMaxNameSpaceLength.  The string is the
// service's and stays valid until the next call.
const char *daxGetNameSpace(const char *libDir);

// Why the last bevInit failed ("file:line: reason"), "" after one that
// succeeded.  The string is the service's and stays valid until the next
// bevInit.
const char *bevErrorReason(void);

// Rewrites `path` in place so that every directory separator is the
// platform's own ('\' on Windows; nothing changes on POSIX).
void murCanonicalizeDirSep(char *path);

#endif  // TOVUPDTR_SERVICES_DESIGN_LIBRARY_BEV_H_
