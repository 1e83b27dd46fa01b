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

}  // namespace tov::lcv

#endif  // TOVUPDTR_LCV_LCV_H_
