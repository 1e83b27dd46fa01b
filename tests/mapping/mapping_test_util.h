// Helpers of the mapping tests: describing and walking elements, probe keys.
#ifndef TOVUPDTR_TESTS_MAPPING_MAPPING_TEST_UTIL_H_
#define TOVUPDTR_TESTS_MAPPING_MAPPING_TEST_UTIL_H_

#include <string>
#include <vector>

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

// A probe key naming a library and a cell on its from side (or, with
// `to_side`, on its to side); everything else is empty.
class Key {
 public:
  Key(std::string lib, std::string cell, bool to_side = false)
      : lib_(std::move(lib)), cell_(std::move(cell)) {
    char *e = empty_;
    element_ = {e, e, e, e, e, e, e, e, nullptr, nullptr};
    (to_side ? element_.toLib : element_.fromLib) = lib_.data();
    (to_side ? element_.toCell : element_.fromCell) = cell_.data();
  }
  Key(const Key &) = delete;
  Key &operator=(const Key &) = delete;
  const tovUpdtrHashElement *get() const { return &element_; }

 private:
  std::string lib_, cell_;
  char empty_[1] = {'\0'};
  tovUpdtrHashElement element_;
};

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_MAPPING_MAPPING_TEST_UTIL_H_
