#include "services/regex/mur_regexp.h"

#include <re2/re2.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tov::regex {
namespace {

constexpr int kMaxGroups = kMurGroups - 1;

// Appends `c` to `out` (when there is one) as a hexadecimal escape:
// whatever the byte, RE2 then reads it as that one Latin-1 character and
// nothing else.
void EmitLiteral(unsigned char c, std::string *out) {
  if (out == nullptr) return;
  static const char kHex[] = "0123456789abcdef";
  const char escape[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xF]};
  out->append(escape, sizeof escape);
}

// Rewrites a pattern of our dialect into RE2 syntax, checking it on the way.
// Grammar:
//   alternation := branch ('|' branch)*
//   branch      := piece*
//   piece       := atom [quantifier]      (one quantifier at most)
//   atom        := '(' alternation ')' | '[' class ']' | '.' | '^' | '$'
//                | '\' byte | byte
class Translator {
 public:
  explicit Translator(const char *pattern) : p_(pattern) {}

  // The RE2 form of the whole pattern, or nothing when it is malformed.
  std::optional<std::string> Run() {
    std::string out;
    out_ = &out;
    if (!Check()) return std::nullopt;
    return out;
  }

  // Whether the pattern is well formed, without writing its RE2 form.
  bool Check() {
    // A ')' that Alternation() stopped at has no '(' before it.
    return Alternation() && *p_ == '\0';
  }

 private:
  static bool IsQuantifier(char c) { return c == '*' || c == '+' || c == '?'; }

  bool Alternation() {
    if (!Branch()) return false;
    while (*p_ == '|') {
      ++p_;
      Put('|');
      if (!Branch()) return false;
    }
    return true;
  }

  bool Branch() {
    while (*p_ != '\0' && *p_ != '|' && *p_ != ')') {
      if (!Piece()) return false;
    }
    return true;
  }

  bool Piece() {
    if (!Atom()) return false;
    if (IsQuantifier(*p_)) {
      Put(*p_++);
      // "a**", "a+?" and the like: RE2 would read some of them as lazy
      // quantifiers, which this dialect does not have.
      if (IsQuantifier(*p_)) return false;
    }
    return true;
  }

  bool Atom() {
    const char c = *p_++;
    switch (c) {
      case '(':
        if (++groups_ > kMaxGroups) return false;
        Put('(');
        if (!Alternation()) return false;
        if (*p_ != ')') return false;
        ++p_;
        Put(')');
        return true;
      case '[':
        return Class();
      case '.':
        Put("(?s:.)");
        return true;
      case '^':
        Put("\\A");
        return true;
      case '$':
        Put("\\z");
        return true;
      case '\\':
        if (*p_ == '\0') return false;
        EmitLiteral(static_cast<unsigned char>(*p_++), out_);
        return true;
      case '*':
      case '+':
      case '?':
        return false;  // nothing before it to repeat
      default:
        EmitLiteral(static_cast<unsigned char>(c), out_);
        return true;
    }
  }

  // After the '['.  A ']' right after the '[' (or the '^') is a member; so is
  // a '-' that cannot stand between two members.  A '\' is an ordinary member.
  bool Class() {
    Put('[');
    if (*p_ == '^') {
      ++p_;
      Put('^');
    }
    bool first = true;
    for (;;) {
      const unsigned char lo = static_cast<unsigned char>(*p_);
      if (lo == '\0') return false;
      if (lo == ']' && !first) break;
      first = false;
      ++p_;
      if (p_[0] == '-' && p_[1] != ']' && p_[1] != '\0') {
        const unsigned char hi = static_cast<unsigned char>(p_[1]);
        if (hi < lo) return false;
        p_ += 2;
        EmitLiteral(lo, out_);
        Put('-');
        EmitLiteral(hi, out_);
      } else {
        EmitLiteral(lo, out_);
      }
    }
    ++p_;
    Put(']');
    return true;
  }

  void Put(char c) {
    if (out_ != nullptr) out_->push_back(c);
  }
  void Put(const char *text) {
    if (out_ != nullptr) out_->append(text);
  }

  const char *p_;
  std::string *out_ = nullptr;  // NULL: the pattern is only checked
  int groups_ = 0;
};

// What the first search of an expression builds: the RE2 program and the
// groups of the last match.
struct Program {
  std::unique_ptr<RE2> re;  // NULL when RE2 refused the translated form
  const char *starts[kMurGroups] = {};
  const char *ends[kMurGroups] = {};
};

// A compiled expression: the record callers see, the program behind it, and
// the pattern as given (checked), in the same block right after the record.
// A program that compiles thousands of expressions and searches with few of
// them pays for the translation and RE2 of those few only.
struct Compiled {
  murRegexp prog{};
  std::unique_ptr<Program> program;

  const char *source() const {
    return reinterpret_cast<const char *>(this + 1);
  }

  // The RE2 program, or NULL when RE2 refused it.
  const RE2 *Build() {
    if (program == nullptr) {
      auto made = std::make_unique<Program>();
      std::optional<std::string> translated = Translator(source()).Run();
      if (translated) {  // cannot fail: the source was checked
        RE2::Options options;
        options.set_encoding(RE2::Options::EncodingLatin1);
        options.set_log_errors(false);
        // Leftmost-first: at one start, the first alternative that leads to
        // a match wins, as a backtracking engine would choose.
        options.set_longest_match(false);
        made->re = std::make_unique<RE2>(*translated, options);
        if (!made->re->ok()) made->re.reset();
      }
      prog.startp = made->starts;
      prog.endp = made->ends;
      program = std::move(made);
    }
    return program->re.get();
  }

  // A record holding a copy of `pattern`, `length` bytes.
  static Compiled *Make(const char *pattern, size_t length) {
    void *block = ::operator new(sizeof(Compiled) + length + 1);
    auto *compiled = new (block) Compiled();
    std::memcpy(static_cast<char *>(block) + sizeof(Compiled), pattern,
                length + 1);
    compiled->prog.impl = compiled;
    return compiled;
  }
};

struct CompiledDeleter {
  void operator()(Compiled *compiled) const {
    compiled->~Compiled();
    ::operator delete(compiled);
  }
};

// Every expression compiled in this process.  Expressions are never released
// one by one (callers keep them to the end), so they are kept reachable here
// instead of being lost to leak checkers.
std::vector<std::unique_ptr<Compiled, CompiledDeleter>> &Registry() {
  static auto *registry =
      new std::vector<std::unique_ptr<Compiled, CompiledDeleter>>();
  return *registry;
}

}  // namespace
}  // namespace tov::regex

murRegexp *mur_regcomp(const char *pattern) {
  using tov::regex::Compiled;
  using tov::regex::CompiledDeleter;
  if (pattern == nullptr) return nullptr;
  // The translator accepts only what RE2 compiles (every literal byte is
  // escaped, groups and classes are checked), so the translation and RE2
  // itself can wait.
  if (!tov::regex::Translator(pattern).Check()) return nullptr;
  std::unique_ptr<Compiled, CompiledDeleter> compiled(
      Compiled::Make(pattern, std::strlen(pattern)));
  murRegexp *prog = &compiled->prog;
  tov::regex::Registry().push_back(std::move(compiled));
  return prog;
}

int mur_regexecn(murRegexp *prog, const char *text, size_t len) {
  if (prog == nullptr || text == nullptr || prog->impl == nullptr) return 0;
  auto *compiled = static_cast<tov::regex::Compiled *>(prog->impl);
  const RE2 *program = compiled->Build();
  tov::regex::Program &found_groups = *compiled->program;
  if (program == nullptr) {
    std::fill(std::begin(found_groups.starts), std::end(found_groups.starts),
              nullptr);
    std::fill(std::begin(found_groups.ends), std::end(found_groups.ends),
              nullptr);
    return 0;
  }
  const RE2 &re = *program;
  const int groups = re.NumberOfCapturingGroups() + 1;
  re2::StringPiece found[kMurGroups];
  const re2::StringPiece whole(text, len);
  const bool matched = re.Match(whole, 0, len, RE2::UNANCHORED, found, groups);
  for (int i = 0; i < kMurGroups; ++i) {
    // A group that took no part has no data; neither has any group when
    // nothing matched, so that no stale pointer into an earlier text stays.
    const bool took_part = matched && i < groups && found[i].data() != nullptr;
    found_groups.starts[i] = took_part ? found[i].data() : nullptr;
    found_groups.ends[i] =
        took_part ? found[i].data() + found[i].size() : nullptr;
  }
  return matched ? 1 : 0;
}

void mur_regfree(murRegexp *prog) {
  if (prog == nullptr) return;
  auto &registry = tov::regex::Registry();
  // From the back: the expression released is most often the latest.
  for (auto it = registry.rbegin(); it != registry.rend(); ++it) {
    if (&(*it)->prog == prog) {
      registry.erase(std::next(it).base());
      return;
    }
  }
}

const char *mur_regsource(const murRegexp *prog) {
  if (prog == nullptr || prog->impl == nullptr) return "";
  return static_cast<const tov::regex::Compiled *>(prog->impl)->source();
}

int mur_regexec(murRegexp *prog, const char *text) {
  if (text == nullptr) return 0;
  return mur_regexecn(prog, text, std::strlen(text));
}
