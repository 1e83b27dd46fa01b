// Unified diffs of two texts, in the format of `diff -u`, for the preview
// of a dry run.
#ifndef TOVUPDTR_CLI_UNIFIED_DIFF_H_
#define TOVUPDTR_CLI_UNIFIED_DIFF_H_

#include <string>
#include <string_view>

namespace tov::cli {

struct DiffOptions {
  int context = 3;      // unchanged lines shown around each change
  bool colour = false;  // ANSI colours, for a terminal
};

// The unified diff that turns `old_text` into `new_text`: the "---" and
// "+++" lines naming `old_label` and `new_label`, then the hunks; "" when the
// texts are equal.  A last line without a line end is marked with "\ No
// newline at end of file".  Texts that hold a NUL byte give the one line
// "Binary files OLD and NEW differ" instead, as diff does.
std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        const std::string &old_label,
                        const std::string &new_label,
                        const DiffOptions &options = DiffOptions());

}  // namespace tov::cli

#endif  // TOVUPDTR_CLI_UNIFIED_DIFF_H_
