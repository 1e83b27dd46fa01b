// The one place where the program meets the operating system: the standard
// streams and files as the program sees them, the same on POSIX and Windows.
#ifndef TOVUPDTR_CLI_SYSTEM_H_
#define TOVUPDTR_CLI_SYSTEM_H_

#include <cstdio>
#include <string>

namespace tov::cli::sys {

// True when `stream` (stdout or stderr) is a terminal that acts on escape
// sequences (colours, clearing the line).  On Windows that is a console in
// which virtual-terminal processing could be turned on, which this call
// does.
bool TerminalTakesEscapes(FILE *stream);

// From now on `stream` reads or writes every byte as it is: on Windows no
// '\n' becomes "\r\n" or the reverse, and a ^Z ends nothing (text mode); on
// POSIX nothing changes.
void SetBinaryMode(FILE *stream);

// A key that every name of the existing file at `path` gives alike, links
// and other spellings of the path included (the device and file number);
// "" when the file cannot be reached.
std::string FileIdentity(const char *path);

// What stands at `path`, following links.
enum class FileKind {
  kMissing,  // cannot be reached (errno says why)
  kRegular,  // a regular file
  kOther,    // a directory, a device, a pipe, ...
};
FileKind KindOf(const char *path);

// The absolute form of the existing `path` with links resolved; "" when it
// cannot be determined.  (Windows: the full path, links as they are.)
std::string RealPath(const char *path);

// From now on, SIGINT, SIGTERM and SIGHUP (on Windows: Ctrl+C, Ctrl+Break
// and the closing of the console) call `cleanup` and then end the program
// as they would have without it.
void CleanUpOnInterrupt(void (*cleanup)(void));

}  // namespace tov::cli::sys

#endif  // TOVUPDTR_CLI_SYSTEM_H_
