#include "unified_diff.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace tov::cli {
namespace {

// Regions without a line that is unique on both sides are aligned exactly
// (longest common subsequence) up to this many cells of their table: 16 MB.
// A larger one is shown as removed, then added, which is still a correct
// diff, only a longer one.
constexpr size_t kMaxTableCells = size_t{1} << 22;

constexpr char kBold[] = "\033[1m";
constexpr char kCyan[] = "\033[36m";
constexpr char kRed[] = "\033[31m";
constexpr char kGreen[] = "\033[32m";
constexpr char kReset[] = "\033[0m";

// The lines of `text`, each with its line end, so that a last line without
// one differs from the same line with one, as diff sees them.
std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    lines.push_back(text.substr(start, end - start));
    start = end;
  }
  return lines;
}

// Line i of the old text is line b of the new one.
struct Match {
  size_t a;
  size_t b;
};

// The stretch [a0, a1) of the old lines and [b0, b1) of the new ones.
struct Region {
  size_t a0, a1, b0, b1;
};

// Finds which lines the two texts keep: strips equal lines off both ends
// of a region, splits it at lines that occur exactly once on each side (in
// an order that both sides agree on), and aligns what is left exactly when
// it is small enough.  Lines are compared by number: equal lines share one.
class Aligner {
 public:
  Aligner(std::vector<uint32_t> a, std::vector<uint32_t> b)
      : a_(std::move(a)), b_(std::move(b)) {}

  // The lines kept, in order of both texts.
  std::vector<Match> Run() {
    // Regions still to align; a stack rather than recursion, so that no
    // input can exhaust the call stack.
    std::vector<Region> pending = {{0, a_.size(), 0, b_.size()}};
    while (!pending.empty()) {
      Region r = pending.back();
      pending.pop_back();
      Align(r, &pending);
    }
    std::sort(matches_.begin(), matches_.end(),
              [](const Match &x, const Match &y) { return x.a < y.a; });
    return std::move(matches_);
  }

 private:
  void Align(Region r, std::vector<Region> *pending) {
    while (r.a0 < r.a1 && r.b0 < r.b1 && a_[r.a0] == b_[r.b0]) {
      matches_.push_back({r.a0++, r.b0++});
    }
    while (r.a0 < r.a1 && r.b0 < r.b1 && a_[r.a1 - 1] == b_[r.b1 - 1]) {
      matches_.push_back({--r.a1, --r.b1});
    }
    if (r.a0 == r.a1 || r.b0 == r.b1) return;

    std::vector<Match> anchors = UniqueAnchors(r);
    if (!anchors.empty()) {
      size_t a = r.a0, b = r.b0;
      for (const Match &m : anchors) {
        pending->push_back({a, m.a, b, m.b});
        matches_.push_back(m);
        a = m.a + 1;
        b = m.b + 1;
      }
      pending->push_back({a, r.a1, b, r.b1});
      return;
    }
    const size_t n = r.a1 - r.a0, m = r.b1 - r.b0;
    if (n + 1 <= kMaxTableCells / (m + 1)) AlignExactly(r);
  }

  // The longest chain of lines that occur once in each side of `r`, in the
  // order of both sides (patience sorting, O(k log k)).
  std::vector<Match> UniqueAnchors(const Region &r) const {
    struct Seen {
      size_t in_a = 0, in_b = 0;
      size_t a = 0, b = 0;
    };
    std::unordered_map<uint32_t, Seen> seen;
    for (size_t i = r.a0; i < r.a1; ++i) {
      Seen &s = seen[a_[i]];
      ++s.in_a;
      s.a = i;
    }
    for (size_t j = r.b0; j < r.b1; ++j) {
      auto it = seen.find(b_[j]);
      if (it == seen.end()) continue;
      ++it->second.in_b;
      it->second.b = j;
    }
    std::vector<Match> candidates;
    for (size_t i = r.a0; i < r.a1; ++i) {
      const Seen &s = seen[a_[i]];
      if (s.in_a == 1 && s.in_b == 1) candidates.push_back({i, s.b});
    }
    // Longest increasing run of b over the candidates, which are in a order.
    std::vector<size_t> tails;  // candidate index ending each pile
    std::vector<size_t> previous(candidates.size(), SIZE_MAX);
    for (size_t k = 0; k < candidates.size(); ++k) {
      auto pile = std::lower_bound(
          tails.begin(), tails.end(), candidates[k].b,
          [&](size_t t, size_t b) { return candidates[t].b < b; });
      if (pile != tails.begin()) previous[k] = *(pile - 1);
      if (pile == tails.end()) {
        tails.push_back(k);
      } else {
        *pile = k;
      }
    }
    std::vector<Match> chain;
    for (size_t k = tails.empty() ? SIZE_MAX : tails.back(); k != SIZE_MAX;
         k = previous[k]) {
      chain.push_back(candidates[k]);
    }
    std::reverse(chain.begin(), chain.end());
    return chain;
  }

  // A longest common subsequence of the region, from the table of the
  // lengths of the common subsequences of every pair of suffixes.  Walking
  // it forwards, a removal is taken before an addition when both are as
  // good, so a change reads as its old lines, then its new ones.
  void AlignExactly(const Region &r) {
    const size_t n = r.a1 - r.a0, m = r.b1 - r.b0;
    const size_t width = m + 1;
    std::vector<uint32_t> length((n + 1) * width, 0);
    for (size_t i = n; i-- > 0;) {
      for (size_t j = m; j-- > 0;) {
        length[i * width + j] = a_[r.a0 + i] == b_[r.b0 + j]
                                    ? length[(i + 1) * width + j + 1] + 1
                                    : std::max(length[(i + 1) * width + j],
                                               length[i * width + j + 1]);
      }
    }
    size_t i = 0, j = 0;
    while (i < n && j < m) {
      if (a_[r.a0 + i] == b_[r.b0 + j]) {
        matches_.push_back({r.a0 + i++, r.b0 + j++});
      } else if (length[(i + 1) * width + j] >= length[i * width + j + 1]) {
        ++i;
      } else {
        ++j;
      }
    }
  }

  std::vector<uint32_t> a_, b_;
  std::vector<Match> matches_;
};

// One step of the edit: keep, remove or add a line.  `a` and `b` are the
// positions in the old and the new text at this step.
struct Edit {
  char kind;  // ' ', '-' or '+'
  size_t a;
  size_t b;
};

std::vector<Edit> Edits(const std::vector<Match> &matches, size_t n, size_t m) {
  std::vector<Edit> edits;
  size_t a = 0, b = 0;
  auto change_until = [&](size_t a_end, size_t b_end) {
    for (; a < a_end; ++a) edits.push_back({'-', a, b});
    for (; b < b_end; ++b) edits.push_back({'+', a, b});
  };
  for (const Match &match : matches) {
    change_until(match.a, match.b);
    edits.push_back({' ', a++, b++});
  }
  change_until(n, m);
  return edits;
}

// "start,count" of a hunk's range as diff writes it: a range of one line is
// just its number, and an empty range names the line before it.
std::string Range(size_t start, size_t count) {
  if (count == 1) return std::to_string(start + 1);
  return std::to_string(count == 0 ? start : start + 1) + "," +
         std::to_string(count);
}

void AppendLine(std::string *out, char kind, std::string_view line,
                bool colour) {
  const char *paint = kind == '-' ? kRed : kind == '+' ? kGreen : nullptr;
  if (colour && paint != nullptr) *out += paint;
  *out += kind;
  const bool has_end = !line.empty() && line.back() == '\n';
  out->append(line.data(), has_end ? line.size() - 1 : line.size());
  if (colour && paint != nullptr) *out += kReset;
  *out += '\n';
  if (!has_end) *out += "\\ No newline at end of file\n";
}

}  // namespace

std::string UnifiedDiff(std::string_view old_text, std::string_view new_text,
                        const std::string &old_label,
                        const std::string &new_label,
                        const DiffOptions &options) {
  if (old_text == new_text) return "";
  if (old_text.find('\0') != std::string_view::npos ||
      new_text.find('\0') != std::string_view::npos) {
    return "Binary files " + old_label + " and " + new_label + " differ\n";
  }
  const std::vector<std::string_view> old_lines = SplitLines(old_text);
  const std::vector<std::string_view> new_lines = SplitLines(new_text);
  std::unordered_map<std::string_view, uint32_t> numbers;
  auto number_all = [&](const std::vector<std::string_view> &lines) {
    std::vector<uint32_t> numbered;
    numbered.reserve(lines.size());
    for (std::string_view line : lines) {
      numbered.push_back(
          numbers.emplace(line, static_cast<uint32_t>(numbers.size()))
              .first->second);
    }
    return numbered;
  };
  std::vector<uint32_t> a = number_all(old_lines);
  std::vector<uint32_t> b = number_all(new_lines);
  const std::vector<Edit> edits =
      Edits(Aligner(std::move(a), std::move(b)).Run(), old_lines.size(),
            new_lines.size());

  const size_t context = options.context < 0 ? 0 : options.context;
  const bool colour = options.colour;
  std::string out;
  if (colour) out += kBold;
  out += "--- " + old_label + "\n+++ " + new_label + "\n";
  if (colour) out += kReset;

  const size_t total = edits.size();
  size_t next = 0;  // the first edit not yet in a hunk
  while (true) {
    size_t change = next;
    while (change < total && edits[change].kind == ' ') ++change;
    if (change == total) break;
    const size_t start =
        std::max(next, change >= context ? change - context : 0);
    // Take changes into the hunk while the unchanged lines between them are
    // few enough that their contexts would meet.
    size_t end = change;
    while (true) {
      while (end < total && edits[end].kind != ' ') ++end;
      size_t kept = end;
      while (kept < total && edits[kept].kind == ' ') ++kept;
      if (kept < total && kept - end <= 2 * context) {
        end = kept;
        continue;
      }
      end = std::min(end + context, total);
      break;
    }
    size_t old_count = 0, new_count = 0;
    for (size_t k = start; k < end; ++k) {
      old_count += edits[k].kind != '+';
      new_count += edits[k].kind != '-';
    }
    if (colour) out += kCyan;
    out += "@@ -" + Range(edits[start].a, old_count) + " +" +
           Range(edits[start].b, new_count) + " @@";
    if (colour) out += kReset;
    out += '\n';
    for (size_t k = start; k < end; ++k) {
      const Edit &e = edits[k];
      AppendLine(&out, e.kind, e.kind == '+' ? new_lines[e.b] : old_lines[e.a],
                 colour);
    }
    next = end;
  }
  return out;
}

}  // namespace tov::cli
