#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  bool (*apply)(const std::string &value, Options *options);
};

// The one table of the program's own options.
const OptionSpec kOptions[] = {
    {"-updateType", "0|1",
     "word boundaries: 0 letters, digits and '_' (default); 1 as 0, but a "
     "name may follow a digit and may not precede a '$'",
     [](const std::string &v, Options *o) {
       return ParseInt(v, 0, 1, &o->update_type);
     }},
    {"-level", "0..4",
     "what a from-to line renames: 0 libraries, 1 cells, 2 views, 3 files "
     "(each with the levels above), 4 single names (default)",
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
    {"-nodeByNode", nullptr,
     "apply the renames one by one, each searching the whole text (slow; "
     "the result is the same)",
     [](const std::string &, Options *o) {
       o->node_by_node = true;
       return true;
     }},
};

}  // namespace

bool TakeOwnOptions(std::vector<std::string> *args, Options *options) {
  std::vector<std::string> rest;
  if (!args->empty()) rest.push_back((*args)[0]);
  for (size_t i = 1; i < args->size(); ++i) {
    const std::string &arg = (*args)[i];
    const OptionSpec *spec = nullptr;
    for (const OptionSpec &candidate : kOptions) {
      if (arg == candidate.name) spec = &candidate;
    }
    if (spec == nullptr) {
      rest.push_back(arg);
      continue;
    }
    std::string value;
    if (spec->value_name != nullptr) {
      if (i + 1 >= args->size()) {
        std::fprintf(stderr, "tovupdtr: %s needs a value (%s)\n", spec->name,
                     spec->value_name);
        return false;
      }
      value = (*args)[++i];
    }
    if (!spec->apply(value, options)) {
      std::fprintf(stderr, "tovupdtr: %s %s: the value must be %s\n",
                   spec->name, value.c_str(), spec->value_name);
      return false;
    }
  }
  *args = std::move(rest);
  return true;
}

std::string OwnOptionsHelp() {
  std::string text;
  for (const OptionSpec &spec : kOptions) {
    std::string head = std::string("  ") + spec.name;
    if (spec.value_name != nullptr) head += std::string(" ") + spec.value_name;
    head.resize(head.size() < 22 ? 22 : head.size() + 1, ' ');
    text += head + spec.help + "\n";
  }
  return text;
}

}  // namespace tov::cli
