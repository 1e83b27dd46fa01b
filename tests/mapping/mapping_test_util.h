// Helpers of the mapping tests: building, describing and walking elements.
#ifndef TOVUPDTR_TESTS_MAPPING_MAPPING_TEST_UTIL_H_
#define TOVUPDTR_TESTS_MAPPING_MAPPING_TEST_UTIL_H_

#include <string>
#include <vector>

#include "mapping/mapping_table.h"
#include "tovUpdtr.h"

namespace tov::test {

// "fl,fc,fv,ff>tl,tc,tv,tf", with "<NULL>" for a NULL member.
inline std::string Describe(const tovUpdtrHashElement *e) {
  if (e == nullptr) return "(none)";
  auto m = [](const char *s) { return std::string(s ? s : "<NULL>"); };
  return m(e->fromLib) + "," + m(e->fromCell) + "," + m(e->fromView) + "," +
         m(e->fromFile) + ">" + m(e->toLib) + "," + m(e->toCell) + "," +
         m(e->toView) + "," + m(e->toFile);
}

// Every element of the mapping, in walk order.
inline std::vector<std::string> WalkMapping() {
  std::vector<std::string> out;
  tovUpdtrHashStartGen();
  while (const tovUpdtrHashElement *e = tovUpdtrHashNext()) {
    out.push_back(Describe(e));
  }
  return out;
}

// A key whose from side (or, with `to_side`, to side) holds the four names
// and whose other side is empty.
struct Key {
  std::string lib, cell, view, file;
  char empty[1] = {'\0'};
  tovUpdtrHashElement element{};

  Key(std::string l, std::string c, std::string v, std::string f,
      bool to_side = false)
      : lib(std::move(l)),
        cell(std::move(c)),
        view(std::move(v)),
        file(std::move(f)) {
    char *names[4] = {lib.data(), cell.data(), view.data(), file.data()};
    char **from[4] = {&element.fromLib, &element.fromCell, &element.fromView,
                      &element.fromFile};
    char **to[4] = {&element.toLib, &element.toCell, &element.toView,
                    &element.toFile};
    for (int i = 0; i < 4; ++i) {
      *(to_side ? to : from)[i] = names[i];
      *(to_side ? from : to)[i] = empty;
    }
  }
  Key(const Key &) = delete;
  const tovUpdtrHashElement *get() const { return &element; }
};

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_MAPPING_MAPPING_TEST_UTIL_H_
