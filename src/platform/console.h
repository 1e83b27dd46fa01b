// The standard streams as the program shows its work on them: terminal
// checks and the mode in which bytes are written.
#ifndef TOVUPDTR_PLATFORM_CONSOLE_H_
#define TOVUPDTR_PLATFORM_CONSOLE_H_

#include <cstdio>

namespace tov::platform {

// True when `stream` (stdout or stderr) is a terminal that acts on escape
// sequences (colours, clearing the line).  On Windows that is a console in
// which virtual-terminal processing could be turned on, which this call
// does.
bool TerminalTakesEscapes(FILE *stream);

// From now on `stream` writes every byte as it is given: on Windows no '\n'
// becomes "\r\n" (text mode); on POSIX nothing changes.
void SetBinaryMode(FILE *stream);

}  // namespace tov::platform

#endif  // TOVUPDTR_PLATFORM_CONSOLE_H_
