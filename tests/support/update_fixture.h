// Mappings built element by element, a small design tree on disk, and one
// update of a file with all that it did, for the tests of the expression
// list and the file update.
#ifndef TOVUPDTR_TESTS_SUPPORT_UPDATE_FIXTURE_H_
#define TOVUPDTR_TESTS_SUPPORT_UPDATE_FIXTURE_H_

#include <array>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tovUpdtr.h"

namespace tov::test {

// The eight members of an element: from library, cell, view, file, then the
// same of the to side ("" when absent).
using Members = std::array<const char *, 8>;

// Sets the check-out command for one scope (NULL: unset).
class ScopedCheckoutCmd {
 public:
  explicit ScopedCheckoutCmd(const char *command);
  ~ScopedCheckoutCmd();
};

// A library rename, as a from-to line "from/. to/." yields it.
Members LibRename(const char *from, const char *to);

// Replaces the mapping with one holding `elements`, in this order.
void LoadMapping(const std::vector<Members> &elements);

// Replaces the mapping with one holding `elements` and returns its list,
// under update type 0, names in LibraryNT.
tovUpdtrRegexpList *ListOf(const std::vector<Members> &elements);

// The nodes of `list`, in order.
std::vector<tovUpdtrRegexpList *> Nodes(tovUpdtrRegexpList *list);

// Updates the file that `line` names with `list` through
// tovUpdtrRegexpUpdateFileEx (on a copy of the line, which the call cuts),
// names in LibraryNT: the call's result, everything it printed on stderr
// and, when `file` is given, the bytes of that file afterwards.
Outcome Update(const std::string &line, tovUpdtrRegexpList *list, int flags = 0,
               int code = 0, const std::string &file = "");

// A design tree in a temporary directory: the library lib1 with the view
// cell:view, defined in a library-definition file that tovUpdtrInit has
// read.
class DesignTree {
 public:
  DesignTree();

  const TempDir &dir() const { return dir_; }
  // Writes `content` into the file `name` of lib1.cell:view and returns its
  // path.
  std::string WriteFile(const std::string &name,
                        const std::string &content) const;
  // The path of the file `name` of lib1.cell:view.
  std::string PathOf(const std::string &name) const;
  // The reference of that file: "lib1.cell:view/" + name.
  static std::string Reference(const std::string &name);
  // Writes `content` into the file `name` of lib1.cell:view and updates it
  // (Update), the outcome holding the file's bytes afterwards.
  Outcome Update(const std::string &name, const std::string &content,
                 tovUpdtrRegexpList *list, int flags = 0, int code = 0) const;

 private:
  TempDir dir_;
};

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_SUPPORT_UPDATE_FIXTURE_H_
