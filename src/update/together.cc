#include "update/together.h"

#include <algorithm>

namespace tov::update {

void FindTogether(const std::vector<murRegexp *> &regexps, int name_group,
                  const char *text, size_t length,
                  std::vector<Occurrence> *found) {
  std::vector<Occurrence> all;
  for (size_t index = 0; index < regexps.size(); ++index) {
    murRegexp *regexp = regexps[index];
    size_t scan = 0;
    // Every search gets the rest of the text as a text of its own, so '^'
    // holds at the scan position, as it does when the expression is
    // applied alone.
    while (scan <= length &&
           mur_regexecn(regexp, text + scan, length - scan) == 1) {
      const char *name_start = regexp->startp[name_group];
      if (name_start == nullptr) break;  // not an expression of ours
      const auto start = static_cast<size_t>(name_start - text);
      const auto end = static_cast<size_t>(regexp->endp[name_group] - text);
      all.push_back(Occurrence{start, end, index});
      if (end == scan) break;
      scan = end;
    }
  }
  // In text order, and at one place in list order: the first of
  // overlapping names is the one kept.
  std::stable_sort(all.begin(), all.end(),
                   [](const Occurrence &a, const Occurrence &b) {
                     return a.start < b.start;
                   });
  found->clear();
  size_t kept_end = 0;
  for (const Occurrence &o : all) {
    if (!found->empty() && o.start < kept_end) continue;
    found->push_back(o);
    kept_end = o.end;
  }
}

}  // namespace tov::update
