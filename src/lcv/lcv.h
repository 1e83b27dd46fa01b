// LCV references: lib/file, lib.cell/file and lib.cell:view/file.
#ifndef TOVUPDTR_LCV_LCV_H_
#define TOVUPDTR_LCV_LCV_H_

#include <cstddef>
#include <string>

namespace tov::lcv {

// Splits `lcv` into the four outputs (library, cell, view, file; any may be
// NULL), each of `size` bytes.  Every given output is emptied first.  1 when
// parsed; 0 when rejected, with the messages printed.  A component that does
// not fit its buffer is a rejection (severity 2, naming the reference), and
// nothing is written beyond `size` bytes.
int ParseLCV(const char *lcv, char *lib, char *cell, char *view, char *file,
             size_t size);

// The kind of change from the first four components to the last four
// (LCV_NONE_CHANGED to LCV_FILE_CHANGED): the deepest component that differs,
// compared exactly; a NULL component differs from nothing.
int WhatChanged(const char *from_lib, const char *from_cell,
                const char *from_view, const char *from_file,
                const char *to_lib, const char *to_cell, const char *to_view,
                const char *to_file);

// The path of the file that the components name (lcvGetPath): a new string
// the caller releases with free(), or NULL after reporting why.
char *GetPath(const char *lib, const char *cell, const char *view,
              const char *file);

// GetPath for a file that is to be rewritten: also refuses a reference that
// leads out of its view directory as the file system will see it, after the
// names were converted into the directory's name space (a cell or view that
// is "." or ".." or holds a separator, a file part whose ".." climbs above
// the view).  Such a reference gives NULL with *climbs_out set and nothing
// printed.  On success *library_dir receives the library's directory, as the
// path begins with it.
char *GetPathInLibrary(const char *lib, const char *cell, const char *view,
                       const char *file, std::string *library_dir,
                       bool *climbs_out);

}  // namespace tov::lcv

#endif  // TOVUPDTR_LCV_LCV_H_
