// Reads the two lists (the update-file list for the program's own walk, the
// from-to list for a check of its lines' shape before the library loads it)
// and has the library rewrite each listed file.
#ifndef TOVUPDTR_CLI_UPDATE_LIST_H_
#define TOVUPDTR_CLI_UPDATE_LIST_H_

#include <cstddef>
#include <string>
#include <vector>

#include "options.h"
#include "tovUpdtr.h"

namespace tov::cli {

// The longest line of a list that is used, without its line end.
constexpr size_t kMaxListLine = 65536;

// One line of a list, without its newline.
struct ListLine {
  size_t number = 0;  // from 1; 0 for a file found in a library's walk
  std::string text;   // at most kMaxListLine + 1 bytes of it
  bool too_long = false;
  bool has_nul = false;
  // Why the line is not used ("": it is), and for a file of a walk whether
  // it is only skipped (it looks binary) rather than failed.
  std::string fault;
  bool skip = false;
  std::string path;  // of a file of a walk
};

struct Summary {
  int listed = 0;     // non-blank lines
  int changed = 0;    // files rewritten (or that would be, in a dry run)
  int unchanged = 0;  // nothing to replace, an empty file, a file named again
  int failed = 0;
  int skipped = 0;             // files of a walk that look binary
  bool report_written = true;  // false when -report's file could not be
};

// Reads the update-file list `path` (`from_stdin`: the standard input, which
// `path` then only names).  False after a message when the list is not a
// regular file, cannot be read, or names no file.
bool ReadUpdateList(const char *path, bool from_stdin,
                    std::vector<ListLine> *lines);

// Makes each line of `lines` whose first word is a file's path (see
// PathOfListLine; relative paths are taken from `base`) a line of that
// file's reference, or one not used, with its fault.
void ResolvePaths(const std::string &base, std::vector<ListLine> *lines);

// Adds the files of the libraries that `options` names to `lines`.  False
// after a message when a library cannot be walked.
bool AddLibraryFiles(const Options &options, std::vector<ListLine> *lines);

// Checks that every line of the from-to list `path` holds two references
// that differ, before the library loads it: the library fails some such
// lines without a word.  False after a message naming the first bad line
// (or when the list is not a regular file, cannot be read, or is empty).
bool CheckFromToList(const char *path);

// Warns once for each new library name of `list` (a library rename) that
// the library definitions `definitions` do not hold.
void WarnAboutNewLibraries(const tovUpdtrRegexpList *list,
                           const char *definitions);

// Calls the library for every non-blank line of `lines`, in order, with the
// line number as the message code, and writes the report that -report asks
// for.  False (after a message) when the report cannot be created.
bool UpdateListedFiles(const std::vector<ListLine> &lines,
                       tovUpdtrRegexpList *list, const Options &options,
                       Summary *summary);

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_UPDATE_LIST_H_
