// Checks of unified diffs that do not trust the code that wrote them: a
// diff is applied back as patch would, and compared with what the system's
// diff prints.
#ifndef TOVUPDTR_TESTS_CLI_DIFF_CHECK_H_
#define TOVUPDTR_TESTS_CLI_DIFF_CHECK_H_

#include <string>

namespace tov::test {

// Applies the unified diff `diff` (headers and hunks; lines before the
// first "---" are skipped) to `old_text` into `*result`.  False, with the
// reason in `*why`, when a hunk's counts disagree with its lines or a context
// or removed line is not what the old text holds there.
bool ApplyUnifiedDiff(const std::string &old_text, const std::string &diff,
                      std::string *result, std::string *why);

#ifndef _WIN32
// What `diff -u --label OLD --label NEW` prints for the files `old_path` and
// `new_path`.
std::string SystemDiff(const std::string &old_path, const std::string &new_path,
                       const std::string &old_label,
                       const std::string &new_label);
#endif

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_CLI_DIFF_CHECK_H_
