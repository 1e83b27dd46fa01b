#include "diff_check.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tov::test {
namespace {

// The lines of `text`, each with its line end.
std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// Reads "start[,count]"; a missing count is 1.
bool ParseRange(const std::string &text, long *start, long *count) {
  char *end = nullptr;
  *start = std::strtol(text.c_str(), &end, 10);
  *count = 1;
  if (*end == ',') *count = std::strtol(end + 1, &end, 10);
  return *end == '\0' && *start >= 0 && *count >= 0;
}

#ifndef _WIN32
std::string Quote(const std::string &s) {
  std::string quoted = "'";
  for (char c : s) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}
#endif

}  // namespace

bool ApplyUnifiedDiff(const std::string &old_text, const std::string &diff,
                      std::string *result, std::string *why) {
  const std::vector<std::string> old_lines = Lines(old_text);
  std::vector<std::string> lines = Lines(diff);
  size_t k = 0;
  while (k < lines.size() && lines[k].compare(0, 4, "--- ") != 0) ++k;
  if (k + 1 >= lines.size() || lines[k + 1].compare(0, 4, "+++ ") != 0) {
    *why = "no --- and +++ header";
    return false;
  }
  k += 2;
  std::string out;
  long out_lines = 0;
  size_t next_old = 0;  // the first old line not yet copied or consumed
  while (k < lines.size()) {
    long old_start, old_count, new_start, new_count;
    const std::string &head = lines[k++];
    char old_range[64], new_range[64];
    if (std::sscanf(head.c_str(), "@@ -%63s +%63s @@", old_range, new_range) !=
            2 ||
        !ParseRange(old_range, &old_start, &old_count) ||
        !ParseRange(new_range, &new_start, &new_count)) {
      *why = "bad hunk header: " + head;
      return false;
    }
    // An empty range names the line before it.
    const size_t first = old_count == 0 ? old_start : old_start - 1;
    if (first < next_old || first > old_lines.size()) {
      *why = "hunk out of order or past the end: " + head;
      return false;
    }
    // Lines of the hunk, each with its line end unless "\ No newline" says
    // otherwise.
    std::vector<std::pair<char, std::string>> body;
    long seen_old = 0, seen_new = 0;
    while (k < lines.size() && seen_old + seen_new < old_count + new_count) {
      const std::string &line = lines[k++];
      if (line.empty() ||
          std::string(" -+\\").find(line[0]) == std::string::npos) {
        *why = "bad hunk line: " + line;
        return false;
      }
      if (line[0] == '\\') {
        if (body.empty()) {
          *why = "no-newline marker before any line";
          return false;
        }
        body.back().second.pop_back();
        continue;
      }
      body.emplace_back(line[0], line.substr(1));
      seen_old += line[0] != '+';
      seen_new += line[0] != '-';
    }
    if (k < lines.size() && lines[k][0] == '\\') {
      body.back().second.pop_back();
      ++k;
    }
    if (seen_old != old_count || seen_new != new_count) {
      *why = "counts of " + head + " disagree with its lines";
      return false;
    }
    // The new text holds as many lines before the hunk as the output will.
    const long new_before = out_lines + static_cast<long>(first - next_old);
    if (new_start != new_before + (new_count == 0 ? 0 : 1)) {
      *why = "new start of " + head + " should be " +
             std::to_string(new_before + (new_count == 0 ? 0 : 1));
      return false;
    }
    out_lines += static_cast<long>(first - next_old) + new_count;
    for (; next_old < first; ++next_old) out += old_lines[next_old];
    for (const auto &[kind, text] : body) {
      if (kind == '+') {
        out += text;
        continue;
      }
      if (next_old >= old_lines.size() || old_lines[next_old] != text) {
        *why =
            "line " + std::to_string(next_old + 1) + " is not \"" + text + "\"";
        return false;
      }
      if (kind == ' ') out += text;
      ++next_old;
    }
  }
  for (; next_old < old_lines.size(); ++next_old) out += old_lines[next_old];
  *result = out;
  return true;
}

#ifndef _WIN32
std::string SystemDiff(const std::string &old_path, const std::string &new_path,
                       const std::string &old_label,
                       const std::string &new_label) {
  std::string command = "diff -u --label " + Quote(old_label) + " --label " +
                        Quote(new_label) + " " + Quote(old_path) + " " +
                        Quote(new_path);
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "(diff could not be run)";
  std::string out;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
    out.append(chunk, n);
  pclose(pipe);
  return out;
}
#endif

}  // namespace tov::test
