// A recording double of the name-mapping and design-library services, linked
// into the seam test of lcvGetPath in place of the real ones.
#ifndef TOVUPDTR_TESTS_LCV_LCV_PATH_DOUBLE_H_
#define TOVUPDTR_TESTS_LCV_LCV_PATH_DOUBLE_H_

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tov::test {

struct ServiceDouble {
  // Every call, in order, with its arguments: "rixMapper(NTToIdent,
  // IdentToUnix,name,0)", "bevGetPath(0,0,lib,cell,view,file,size)" (NULL
  // shown as <null>), "daxGetNameSpace(path)".
  std::vector<std::string> calls;
  // Names that rixMapper refuses; every other name becomes "u:" + name.
  std::set<std::string> rejected;
  // What daxGetNameSpace answers (nullopt: NULL).
  std::optional<std::string> name_space;
  // The results of the first and the second bevGetPath.  A call that
  // succeeds writes "/libs/" followed by its names joined by '/'.
  int library_result = 0;
  int file_result = 0;
};

// The double's state; Reset() before each case.
ServiceDouble &Double();
void ResetDouble();

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_LCV_LCV_PATH_DOUBLE_H_
