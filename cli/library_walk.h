// The files of whole libraries: every regular file under a library's
// directory, named by its reference, for -updateLibrary and
// -updateAllLibraries; and the reference of a file given by its path in an
// update-file list.
#ifndef TOVUPDTR_CLI_LIBRARY_WALK_H_
#define TOVUPDTR_CLI_LIBRARY_WALK_H_

#include <string>
#include <vector>

#include "options.h"

namespace tov::cli {

// A file found in a library.
struct WalkedFile {
  std::string path;
  std::string reference;  // "" when the file cannot be named by one
  // Why the file is skipped (it looks binary, or is a layout format not
  // updated yet) or, without a reference, why
  // it cannot be updated; "" for a file to update.
  std::string note;
};

// Whether `name` is one of the updater's own files beside a file it
// updates (.NAME.tovlock, .NAME.tovjournal, .NAME.tovnew...), which walks
// and copies leave out.
bool IsUpdatersFile(const std::string &name);

// Every regular file under the directories of the libraries that `options`
// names, in the order of the libraries and then of the names, the
// library's own bookkeeping left out (its .namespace, the updater's lock,
// journal and new files, hidden directories, links to directories).  False
// after a message when a named library is not in the definitions or its
// directory cannot be read.
bool WalkLibraries(const Options &options, std::vector<WalkedFile> *files);

// The reference of the file at `path` when the first word of an update-file
// list line is a path rather than a reference: `word` names no library of
// the definitions, and is an absolute path or one that exists relative to
// `base` (the list's directory; "" for the current one).  *reference gets
// the reference, or stays empty with *fault saying why the path cannot be
// used.  False when `word` is to be taken as a reference.
bool PathOfListLine(const std::string &word, const std::string &base,
                    std::string *reference, std::string *fault);

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_LIBRARY_WALK_H_
