// What the renames of an expression list do to each other when they are
// applied one after the other, in the order of the list.
#ifndef TOVUPDTR_CLI_RENAMES_H_
#define TOVUPDTR_CLI_RENAMES_H_

#include <string>
#include <string_view>
#include <vector>

#include "tovUpdtr.h"

namespace tov::cli {

// One rename of the list: an old name and its new name, as views of the
// strings of the list's elements (or of the caller's).
struct Rename {
  std::string_view from;
  std::string_view to;
};

// The renames of `list` (its atoms), in the order they are applied; they
// view the mapping's strings and are good while it is loaded.
std::vector<Rename> RenamesOf(const tovUpdtrRegexpList *list);

// Whether some rename's new name is the old name of some rename, which
// every cycle and every chain needs.
bool SomeNewNameIsRenamed(const std::vector<Rename> &renames);

// A set of renames that leads back to where it started (a swap, or a
// longer ring): applied one after the other they would merge its names.
// Each cycle is given as its names in order, the first repeated at the end
// ("a", "b", "a"); none when there is none.
std::vector<std::vector<std::string>> Cycles(
    const std::vector<Rename> &renames);

// The renames that follow each other in the order of application: a name
// renamed to a name that a later rename renames again ends as the last one.
// Each chain is given as its names from the first to the last ("inv_1",
// "inv_2", "inv_4").
std::vector<std::vector<std::string>> Chains(
    const std::vector<Rename> &renames);

// The renames of `list` that replaced no name in any file updated with it
// so far, each old name once, in list order: the first `most` of them, and
// how many there are in *count.
std::vector<Rename> UnmatchedRenames(const tovUpdtrRegexpList *list,
                                     size_t most, size_t *count);

// "a -> b -> c".
std::string Arrows(const std::vector<std::string> &names);

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_RENAMES_H_
