// Design-library service: reads the library-definition file, finds the
// directories of libraries and the paths of files inside them, and tells in
// which name space a library directory stores its names.
//
// Library-definition file: one statement a line, blank lines and lines whose
// first non-blank character is '#' ignored, words separated by blanks or tabs.
//   library NAME DIR   NAME (a "LibraryUnix" name) lives in DIR (rest of the
//                      line, trimmed; relative to the defining file's folder)
//   include FILE       reads FILE at that point (relative likewise)
#ifndef TOVUPDTR_SERVICES_DESIGN_LIBRARY_BEV_H_
#define TOVUPDTR_SERVICES_DESIGN_LIBRARY_BEV_H_

#include "tovUpdtr.h"  // bevLastError is exported

// Reads the library-definition file `path`, replacing every earlier
// definition.  0 when ready; nonzero on failure, with the reason kept for
// bevLastError().  Prints nothing.  The other arguments are reserved (0, "").
int bevInit(const char *path, int reserved1, int reserved2, int reserved3,
            const char *reserved4);

// Writes into `out` (at most `size` bytes, NUL included) the directory of
// `lib` followed by each non-NULL, non-empty one of `cell`, `view`, `file`,
// joined by the platform separator.  0 on success; nonzero when `lib` is NULL,
// empty or not defined, or when the path does not fit.  The file system is
// not consulted.
int bevGetPath(int reserved1, int reserved2, const char *lib, const char *cell,
               const char *view, const char *file, char *out, int size);

// The first line of `libDir`/.namespace, trimmed; NULL when the file is
// absent, unreadable or that line is empty.  The string is the service's and
// stays valid until the next call.
const char *daxGetNameSpace(const char *libDir);

// Rewrites `path` in place so that every directory separator is the
// platform's own ('\' on Windows; nothing changes on POSIX).
void murCanonicalizeDirSep(char *path);

#endif  // TOVUPDTR_SERVICES_DESIGN_LIBRARY_BEV_H_
