#include "support/reliability_util.h"

#include <filesystem>

#include "services/regex/mur_regexp.h"

#if defined(__SANITIZE_ADDRESS__)
#define TOV_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOV_UNDER_ASAN 1
#endif
#endif

#ifdef TOV_UNDER_ASAN
#include <sanitizer/lsan_interface.h>
#endif

namespace tov::test {

Outcome LoadList(const TempDir &dir, const std::string &from_to, int level,
                 const char *name_space, int case_sensitive) {
  const std::string path = dir.Write("from_to.txt", from_to);
  return Capture([&] {
    return tovProcessFromToFileEx(path.c_str(), level, name_space,
                                  case_sensitive);
  });
}

std::string MappingText() {
  std::string text;
  if (tovUpdtrHashStartGen() == nullptr) return "(no mapping)\n";
  while (const tovUpdtrHashElement *e = tovUpdtrHashNext()) {
    for (const char *m : {e->fromLib, e->fromCell, e->fromView, e->fromFile,
                          e->toLib, e->toCell, e->toView, e->toFile}) {
      text += m != nullptr ? m : "(null)";
      text += '|';
    }
    text += '\n';
  }
  return text;
}

std::string ListText(const tovUpdtrRegexpList *list) {
  std::string text;
  for (; list != nullptr; list = list->next) {
    text += list->regexp != nullptr ? mur_regsource(list->regexp) : "-";
    text += '\n';
  }
  return text;
}

std::set<std::string> Names(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

bool UnderAddressSanitizer() {
#ifdef TOV_UNDER_ASAN
  return true;
#else
  return false;
#endif
}

bool LeaksFound() {
#ifdef TOV_UNDER_ASAN
  return __lsan_do_recoverable_leak_check() != 0;
#else
  return false;
#endif
}

}  // namespace tov::test
