// The guarded line reader of list files.
#ifndef TOVUPDTR_CORE_LINE_READER_H_
#define TOVUPDTR_CORE_LINE_READER_H_

#include <cstdio>

namespace tov::core {

// Reads one line of at most size - 1 bytes (the newline kept) into `buf` and
// returns `buf`; NULL with `buf` emptied at end of file, or for a NULL stream
// or buffer or a size below 1.  A read error ends the process with status 1
// after saying so on stderr (tovUpdtrFgets).
char *ReadLine(FILE *stream, char *buf, int size);

}  // namespace tov::core

#endif  // TOVUPDTR_CORE_LINE_READER_H_
