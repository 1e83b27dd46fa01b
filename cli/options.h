// The updater program's command line: one table of every option, its own
// options taken out before the library parses the rest, and the help text.
#ifndef TOVUPDTR_CLI_OPTIONS_H_
#define TOVUPDTR_CLI_OPTIONS_H_

#include <cstddef>
#include <string>
#include <vector>

namespace tov::cli {

struct Options {
  int update_type = 0;                        // -updateType 0|1
  int level = 4;                              // -level 0..4
  std::string name_space = "LibraryNT";       // -nameSpace NS
  bool case_sensitive = false;                // -caseSensitive
  bool dry_run = false;                       // -dryRun
  bool simultaneous = false;                  // -simultaneous
  bool node_by_node = false;                  // -nodeByNode
  bool sync = false;                          // -sync
  bool follow_links = false;                  // -followLinks
  int scaling_factor = 0;                     // -scalingFactor 1..255 (0: 2)
  int lock_wait = -1;                         // -lockWait 0..3600 s (-1: 5)
  bool diff = false;                          // -diff
  bool quiet = false;                         // -quiet
  bool version = false;                       // -version
  std::string report;                         // -report FILE ("" without)
  std::vector<std::string> update_libraries;  // -updateLibrary LIB...
  bool update_all_libraries = false;          // -updateAllLibraries
  std::vector<std::string> copy_library;      // -copyLibrary OLD NEW DIR
  std::string rename_cells;                   // -renameCells LIB
  // Whether files are found by walking libraries (the update-file list is
  // then optional).
  bool Walks() const {
    return update_all_libraries || !update_libraries.empty() ||
           !copy_library.empty() || !rename_cells.empty();
  }
};

// Takes the program's own options out of `args` (args[0] is the program
// name), leaving the rest for the library.  Returns false after printing why
// when an option's value is missing or not allowed, or when the options do
// not go together.
bool TakeOwnOptions(std::vector<std::string> *args, Options *options);

// Checks `args` (what TakeOwnOptions left: the library's options) before
// anything is read: every word an option of the table with its values, the
// values of -reason and -renameRefAllow among those allowed, the three
// files given (the update-file list may be left out when `list_optional`).
// False with *complaint saying what is wrong (an unknown option comes with
// the option it most likely misspells).
bool CheckCommandLine(const std::vector<std::string> &args, bool list_optional,
                      std::string *complaint);

// The index in `args` (checked by CheckCommandLine) of the value of the
// last -updateFileList; 0 when there is none.
size_t UpdateListValue(const std::vector<std::string> &args);

// Whether `args` (what TakeOwnOptions left) asks for help: an argument that
// begins with "-h" where an option is expected.
bool AsksForHelp(const std::vector<std::string> &args);

// The program's help: what it does, every option of the table, the exit
// statuses.
std::string HelpText();

// The names of every option the program and the library take, as the help
// lists them.
std::vector<std::string> OptionNames();

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_OPTIONS_H_
