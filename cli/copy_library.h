// -copyLibrary OLD NEW DIR: the copy of a library that the from-to list
// describes, made whole or not at all: OLD's directory copied to DIR, the
// cell and view directories that the list renames renamed in the copy, and
// NEW added to the library definitions.
#ifndef TOVUPDTR_CLI_COPY_LIBRARY_H_
#define TOVUPDTR_CLI_COPY_LIBRARY_H_

#include <string>
#include <utility>
#include <vector>

namespace tov::cli {

struct CopyPlan {
  std::string old_lib, new_lib;  // as the references write them
  std::string old_dir;           // OLD's directory
  std::string target;            // DIR
  std::string definitions;       // the library-definition file
  std::string definition_line;   // what is added to it
  // The directories renamed in the copy, relative to it, in order.
  std::vector<std::pair<std::string, std::string>> renames;
};

// Works out the copy of `old_lib` as `new_lib` into `target` from the lines
// of the from-to list `from_to` that lead from one to the other.  False
// after a message when it cannot be made: OLD not defined or without its
// directory, NEW defined already, DIR there already, a renamed directory
// that the copy would already hold.
bool PlanCopy(const std::string &old_lib, const std::string &new_lib,
              const std::string &target, const char *from_to,
              const char *definitions, CopyPlan *plan);

// Works out the renames in place, in the directory of library `lib`, of
// the cell and view directories that the lines of the from-to list
// `from_to` from `lib` to `lib` rename.  False after a message when `lib`
// cannot be reached or a directory would be renamed to one it holds.
bool PlanRenames(const std::string &lib, const char *from_to, CopyPlan *plan);

// Renames the directories in place, in order.  False after a message when
// one could not be renamed: those renamed before it are renamed back.
bool MakeRenames(const CopyPlan &plan);

// Prints what the copy (or the renames in place) would do, a line each.
void DescribeCopy(const CopyPlan &plan);

// Makes the copy.  False after a message when any step failed: then
// neither the copy nor a part of it is left, and the definitions are as
// they were.
bool MakeCopy(const CopyPlan &plan);

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_COPY_LIBRARY_H_
