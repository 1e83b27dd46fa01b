// LCV references: lib/file, lib.cell/file and lib.cell:view/file.
#ifndef TOVUPDTR_LCV_LCV_H_
#define TOVUPDTR_LCV_LCV_H_

#include <cstddef>

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

}  // namespace tov::lcv

#endif  // TOVUPDTR_LCV_LCV_H_
