// The updater program's own options, taken out of the command line before
// the library parses the rest.
#ifndef TOVUPDTR_CLI_OPTIONS_H_
#define TOVUPDTR_CLI_OPTIONS_H_

#include <string>
#include <vector>

namespace tov::cli {

struct Options {
  int update_type = 0;                   // -updateType 0|1
  int level = 4;                         // -level 0..4
  std::string name_space = "LibraryNT";  // -nameSpace NS
  bool case_sensitive = false;           // -caseSensitive
  bool dry_run = false;                  // -dryRun
  bool node_by_node = false;             // -nodeByNode
};

// Takes the program's own options out of `args` (args[0] is the program
// name), leaving the rest for the library.  Returns false after printing why
// when an option's value is missing or not allowed.
bool TakeOwnOptions(std::vector<std::string> *args, Options *options);

// One line per option of the program, for its help text.
std::string OwnOptionsHelp();

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_OPTIONS_H_
