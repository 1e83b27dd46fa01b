#include "options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace tov::cli {
namespace {

// Parses a whole decimal number in [low, high].
bool ParseInt(const std::string &text, int low, int high, int *value) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  int v = std::atoi(text.c_str());
  if (v < low || v > high) return false;
  *value = v;
  return true;
}

struct OptionSpec {
  const char *name;
  const char *value_name;  // nullptr for a flag
  const char *help;
  // Applies the value (or the flag); false when the value is not allowed.
  // nullptr for an option that the library parses.
  bool (*apply)(const std::string &value, Options *options);
};

// The one table of every option: first those of every updater, which stay
// on the command line for the library, then the program's own.  The help
// text and the manual page list them in this order.
const OptionSpec kOptions[] = {
    {"-fromToList", "FILE",
     "the from-to list: an old and a new reference on each line (required)",
     nullptr},
    {"-updateFileList", "FILE",
     "the update-file list: the reference of one file to fix on each line "
     "(required)",
     nullptr},
    {"-murlib", "FILE", "the library-definition file (required)", nullptr},
    {"-reason", "copy|rename|renameRef", "why the design data changed",
     nullptr},
    {"-renameRefOldToNew", "OLD NEW",
     "the old and the new name of a reference rename (with -reason "
     "renameRef)",
     nullptr},
    {"-renameRefAllow", "all|from|to|both",
     "which references a reference rename may touch (default all)", nullptr},
    {"-help", nullptr,
     "print this help and exit with status 0; any option that begins with "
     "-h does the same",
     nullptr},
    {"-updateType", "0|1",
     "word boundaries: 0 letters, digits and '_' (default); 1 as 0, but a "
     "name may follow a digit and may not precede a '$'",
     [](const std::string &v, Options *o) {
       return ParseInt(v, 0, 1, &o->update_type);
     }},
    {"-level", "0..4",
     "what a from-to line yields: 4 (default) every name that changed, each "
     "searched for on its own; 0 to 3 its references down to the library, "
     "cell, view or file, of which only a library name is searched for",
     [](const std::string &v, Options *o) {
       return ParseInt(v, 0, 4, &o->level);
     }},
    {"-nameSpace", "NS",
     "name space of the names in the files to update (default LibraryNT)",
     [](const std::string &v, Options *o) {
       if (v.empty()) return false;
       o->name_space = v;
       return true;
     }},
    {"-caseSensitive", nullptr,
     "compare the names of the from-to list exactly (default: A-Z and a-z "
     "alike)",
     [](const std::string &, Options *o) {
       o->case_sensitive = true;
       return true;
     }},
    {"-dryRun", nullptr, "report which files would change; write nothing",
     [](const std::string &, Options *o) {
       o->dry_run = true;
       return true;
     }},
    {"-scalingFactor", "N",
     "the new text of a file may be up to N times its size (1 to 255; "
     "default 2): raise it for short files renamed to long names",
     [](const std::string &v, Options *o) {
       return ParseInt(v, 1, 255, &o->scaling_factor);
     }},
    {"-lockWait", "SECONDS",
     "how long to wait for a file that another updater holds locked before "
     "failing it (0 to 3600; default 5)",
     [](const std::string &v, Options *o) {
       return ParseInt(v, 0, 3600, &o->lock_wait);
     }},
    {"-followLinks", nullptr,
     "update files reached through links that lead out of their library "
     "(refused without it)",
     [](const std::string &, Options *o) {
       o->follow_links = true;
       return true;
     }},
    {"-updateLibrary", "LIB",
     "update every file under the directory of the library LIB, as if each "
     "were listed (repeatable; the update-file list is then optional)",
     [](const std::string &v, Options *o) {
       if (v.empty() || v[0] == '-') return false;
       o->update_libraries.push_back(v);
       return true;
     }},
    {"-copyLibrary", "OLD NEW DIR",
     "copy the library OLD to the new directory DIR as the library NEW, "
     "rename the cell and view directories that the from-to list renames "
     "from OLD to NEW in the copy, add NEW to the library definitions, and "
     "update every file of NEW (with -dryRun: say what would be done)",
     [](const std::string &v, Options *o) {
       const size_t a = v.find('\n'), b = v.rfind('\n');
       if (a == b || !o->copy_library.empty()) return false;
       o->copy_library = {v.substr(0, a), v.substr(a + 1, b - a - 1),
                          v.substr(b + 1)};
       for (const std::string &part : o->copy_library) {
         if (part.empty()) return false;
       }
       return true;
     }},
    {"-renameCells", "LIB",
     "rename in the directory of the library LIB the cell and view "
     "directories that the from-to list renames within LIB, then update "
     "every file of LIB (with -dryRun: say what would be done)",
     [](const std::string &v, Options *o) {
       if (v.empty() || v[0] == '-' || !o->rename_cells.empty()) return false;
       o->rename_cells = v;
       return true;
     }},
    {"-updateAllLibraries", nullptr,
     "update every file of every library of the library definitions",
     [](const std::string &, Options *o) {
       o->update_all_libraries = true;
       return true;
     }},
    {"-simultaneous", nullptr,
     "apply the renames together: every old name becomes its own new name "
     "in one step, so that a swap swaps and a shift shifts (default: one "
     "after the other, in the order of the from-to list)",
     [](const std::string &, Options *o) {
       o->simultaneous = true;
       return true;
     }},
    {"-nodeByNode", nullptr,
     "apply the renames one by one, each searching the whole text (slow; "
     "the result is the same)",
     [](const std::string &, Options *o) {
       o->node_by_node = true;
       return true;
     }},
    {"-sync", nullptr,
     "wait until each rewritten file is on the disk (safe against a crash "
     "of the whole system; slower)",
     [](const std::string &, Options *o) {
       o->sync = true;
       return true;
     }},
    {"-diff", nullptr,
     "with -dryRun: print a unified diff (as diff -u) of each file that "
     "would change; in colour when the standard output is a terminal",
     [](const std::string &, Options *o) {
       o->diff = true;
       return true;
     }},
    {"-report", "FILE",
     "write one line per listed line to FILE: reference, path, status, "
     "occurrences replaced, reason (tab-separated; see the manual page)",
     [](const std::string &v, Options *o) {
       if (v.empty()) return false;
       o->report = v;
       return true;
     }},
    {"-quiet", nullptr,
     "print only errors and the summary (and the diffs that -diff asks for)",
     [](const std::string &, Options *o) {
       o->quiet = true;
       return true;
     }},
    {"-version", nullptr, "print the version and exit",
     [](const std::string &, Options *o) {
       o->version = true;
       return true;
     }},
};

bool IsOneOf(const std::string &word, std::initializer_list<const char *> set) {
  for (const char *candidate : set) {
    if (word == candidate) return true;
  }
  return false;
}

// Appends `text` to `out` in lines of at most kHelpWidth columns, every line
// after the first indented by `indent` blanks.
constexpr size_t kHelpWidth = 79;
void AppendWrapped(std::string *out, std::string_view text, size_t column,
                   size_t indent) {
  while (!text.empty()) {
    size_t room = column < kHelpWidth ? kHelpWidth - column : 1;
    size_t cut = text.size();
    if (cut > room) {
      cut = text.rfind(' ', room);
      if (cut == std::string_view::npos || cut == 0) cut = text.find(' ');
      if (cut == std::string_view::npos) cut = text.size();
    }
    out->append(text.substr(0, cut));
    text.remove_prefix(cut);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    *out += '\n';
    if (!text.empty()) out->append(indent, ' ');
    column = indent;
  }
}

}  // namespace

bool TakeOwnOptions(std::vector<std::string> *args, Options *options) {
  std::vector<std::string> rest;
  if (!args->empty()) rest.push_back((*args)[0]);
  for (size_t i = 1; i < args->size(); ++i) {
    const std::string &arg = (*args)[i];
    const OptionSpec *spec = nullptr;
    for (const OptionSpec &candidate : kOptions) {
      if (candidate.apply != nullptr && arg == candidate.name) {
        spec = &candidate;
      }
    }
    if (spec == nullptr) {
      rest.push_back(arg);
      continue;
    }
    std::string value;
    if (spec->value_name != nullptr) {
      // A value of several words ("OLD NEW DIR") takes as many arguments,
      // handed over one a line.
      const size_t words = static_cast<size_t>(
          std::count(spec->value_name,
                     spec->value_name + std::strlen(spec->value_name), ' ') +
          1);
      if (i + words >= args->size()) {
        std::fprintf(stderr, "tovupdtr: %s needs %s (%s)\n", spec->name,
                     words == 1 ? "a value" : "values", spec->value_name);
        return false;
      }
      for (size_t w = 0; w < words; ++w) {
        if (w > 0) value += '\n';
        value += (*args)[++i];
      }
    }
    if (!spec->apply(value, options)) {
      std::fprintf(stderr, "tovupdtr: %s %s: the value must be %s\n",
                   spec->name, value.c_str(), spec->value_name);
      return false;
    }
  }
  if (options->diff && !options->dry_run && !options->version) {
    std::fprintf(stderr,
                 "tovupdtr: -diff shows what a dry run would change: add "
                 "-dryRun\n");
    return false;
  }
  *args = std::move(rest);
  return true;
}

namespace {

// How far apart two option names are: the edits (a character put in, left
// out, changed, or two neighbours swapped) that turn one into the other,
// with letters compared regardless of case.
size_t Distance(const std::string &a, const std::string &b) {
  auto same = [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  };
  std::vector<std::vector<size_t>> d(a.size() + 1,
                                     std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] =
          std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                    d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
      if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) &&
          same(a[i - 2], b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

// The option of the table that `word` most likely misspells, or "".
std::string Suggestion(const std::string &word) {
  std::string best;
  size_t best_distance = 3;  // at most two edits away
  for (const OptionSpec &spec : kOptions) {
    const size_t d = Distance(word, spec.name);
    if (d < best_distance) {
      best = spec.name;
      best_distance = d;
    }
  }
  return best;
}

}  // namespace

bool CheckCommandLine(const std::vector<std::string> &args, bool list_optional,
                      std::string *complaint) {
  bool given[3] = {false, false, false};
  const char *const kRequired[3] = {"-fromToList", "-updateFileList",
                                    "-murlib"};
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const OptionSpec *spec = nullptr;
    for (const OptionSpec &candidate : kOptions) {
      if (arg == candidate.name) spec = &candidate;
    }
    if (spec == nullptr) {
      const std::string guess = Suggestion(arg);
      *complaint =
          "unknown " +
          std::string(arg.compare(0, 1, "-") == 0 ? "option " : "argument ") +
          arg + (guess.empty() ? "" : " (did you mean " + guess + "?)");
      return false;
    }
    // The library's options with their values (the program's own were
    // taken out before).
    const int values =
        arg == "-renameRefOldToNew" ? 2 : (spec->value_name != nullptr ? 1 : 0);
    // A file name that starts with '-' would be taken for a missing one;
    // "-" alone is the standard input, for the update-file list only.
    const bool file_missing =
        values == 1 && spec->value_name == std::string("FILE") &&
        i + 1 < args.size() && args[i + 1].compare(0, 1, "-") == 0 &&
        !(arg == "-updateFileList" && args[i + 1] == "-");
    if (values > 0 &&
        (i + static_cast<size_t>(values) >= args.size() || file_missing)) {
      *complaint = arg + " needs " +
                   (values == 2 ? std::string("two values (")
                                : std::string("a value (")) +
                   spec->value_name + ")";
      return false;
    }
    for (int k = 0; k < 3; ++k) {
      if (arg == kRequired[k]) given[k] = true;
    }
    if (arg == "-reason" &&
        !IsOneOf(args[i + 1], {"copy", "rename", "renameRef"})) {
      *complaint =
          "-reason " + args[i + 1] + ": the value must be " + spec->value_name;
      return false;
    }
    if (arg == "-renameRefAllow" &&
        !IsOneOf(args[i + 1], {"all", "from", "to", "both"})) {
      *complaint = "-renameRefAllow " + args[i + 1] + ": the value must be " +
                   spec->value_name;
      return false;
    }
    i += static_cast<size_t>(values);
  }
  for (int k = 0; k < 3; ++k) {
    if (!given[k] && !(k == 1 && list_optional)) {
      *complaint = std::string(kRequired[k]) + " FILE is required";
      return false;
    }
  }
  return true;
}

size_t UpdateListValue(const std::vector<std::string> &args) {
  size_t value = 0;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string &arg = args[i];
    if (arg == "-renameRefOldToNew") {
      i += 2;
      continue;
    }
    for (const OptionSpec &spec : kOptions) {
      if (arg == spec.name && spec.value_name != nullptr) {
        if (arg == "-updateFileList" && i + 1 < args.size()) value = i + 1;
        ++i;
        break;
      }
    }
  }
  return value;
}

bool AsksForHelp(const std::vector<std::string> &args) {
  // Steps over option values as the library does, so that a value such as
  // the new name "-hx" of a reference rename is not taken for a request.
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string &arg = args[i];
    const bool has_next = i + 1 < args.size();
    if (IsOneOf(arg, {"-fromToList", "-updateFileList", "-murlib"})) {
      if (has_next && args[i + 1].compare(0, 1, "-") != 0) ++i;
    } else if (arg == "-reason") {
      if (has_next && IsOneOf(args[i + 1], {"copy", "rename", "renameRef"})) {
        ++i;
      }
    } else if (arg == "-renameRefAllow") {
      if (has_next && IsOneOf(args[i + 1], {"all", "from", "to", "both"})) {
        ++i;
      }
    } else if (arg == "-renameRefOldToNew") {
      if (i + 2 < args.size() && !args[i + 1].empty() && !args[i + 2].empty()) {
        i += 2;
      }
    } else if (arg.compare(0, 2, "-h") == 0) {
      return true;
    }
  }
  return false;
}

std::string HelpText() {
  constexpr size_t kHelpColumn = 24;
  std::string text =
      "Usage: tovupdtr -fromToList FILE -updateFileList FILE -murlib FILE "
      "[OPTION]...\n"
      "       tovupdtr -fromToList FILE -updateLibrary LIB... -murlib FILE "
      "[OPTION]...\n\n";
  AppendWrapped(&text,
                "Rewrites every file that the update-file list names, so that "
                "the libraries, cells, views and files that the from-to list "
                "renames are called by their new names.",
                0, 0);
  bool own = false;
  text += "\nOptions of every updater:\n";
  for (const OptionSpec &spec : kOptions) {
    if (spec.apply != nullptr && !own) {
      text += "\nOptions of tovupdtr:\n";
      own = true;
    }
    std::string head = std::string("  ") + spec.name;
    if (spec.value_name != nullptr) head += std::string(" ") + spec.value_name;
    if (head.size() + 1 >= kHelpColumn) {
      text += head + "\n";
      head.clear();
    }
    head.resize(kHelpColumn, ' ');
    text += head;
    AppendWrapped(&text, spec.help, kHelpColumn, kHelpColumn);
  }
  text += "\n";
  AppendWrapped(&text,
                "Exit status: 0 when every listed file was updated or needed "
                "no update; 1 when a file failed; 2 when the command line was "
                "wrong (nothing is read or written then); 3 when an input "
                "could not be used (the library definitions, the from-to "
                "list, the update-file list).",
                0, 0);
  AppendWrapped(&text,
                "The manual page tovupdtr(1) describes the file formats, with "
                "examples.",
                0, 0);
  return text;
}

std::vector<std::string> OptionNames() {
  std::vector<std::string> names;
  for (const OptionSpec &spec : kOptions) names.push_back(spec.name);
  return names;
}

}  // namespace tov::cli
