// Walks the update-file list and has the library rewrite each file.
#ifndef TOVUPDTR_CLI_UPDATE_LIST_H_
#define TOVUPDTR_CLI_UPDATE_LIST_H_

#include "options.h"
#include "tovUpdtr.h"

namespace tov::cli {

struct Summary {
  int listed = 0;     // non-blank lines
  int changed = 0;    // files rewritten (or that would be, in a dry run)
  int unchanged = 0;  // nothing to replace, or an empty file
  int failed = 0;
};

// Calls the library for every non-blank line of the list file `path`, in
// order, with the line number as the message code.  False (after a message)
// when the list itself cannot be read.
bool UpdateListedFiles(const char *path, tovUpdtrRegexpList *list,
                       const Options &options, Summary *summary);

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_UPDATE_LIST_H_
