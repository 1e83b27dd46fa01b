#include "services/regex/mur_regexp.h"

#include <re2/re2.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/large_allocator.h"

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
// groups of the last match; and the whole pattern of a framed expression,
// once it was asked for.
struct Program {
  std::unique_ptr<RE2> re;  // NULL when RE2 refused the translated form
  const char *starts[kMurGroups] = {};
  const char *ends[kMurGroups] = {};
  bool built = false;  // RE2 was asked for the program
  std::string source;  // a framed expression's whole pattern, once made
};

// Whether `text`, read from outside any class, ends outside one and with
// no '\\' waiting for its byte.  The bytes are taken as the translator
// takes them: a '\\' and the byte after it, a class from its '[' to the
// first ']' that is not its first member, every other byte on its own.
bool EndsBetweenAtoms(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] == '\\') {
      if (i + 1 == text.size()) return false;
      i += 2;
    } else if (text[i] == '[') {
      ++i;
      if (i < text.size() && text[i] == '^') ++i;
      for (bool first = true;; first = false, ++i) {
        if (i == text.size()) return false;
        if (text[i] == ']' && !first) break;
      }
      ++i;
    } else {
      ++i;
    }
  }
  return true;
}

// Whether `text` is one or more literal atoms: bytes that stand for
// themselves and '\\' pairs, with no quantifier.
bool PlainAtoms(std::string_view text) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (!kMurMeaningful[c]) continue;
    if (c != '\\' || ++i == text.size()) return false;
  }
  return true;
}

// The heads and tails that framed patterns share, each kept once.  An
// expression names its frame by two small numbers; number 0 is the empty
// text, so that an expression compiled whole stores its pattern as its
// middle.  The texts never move: the plan views them.
class Frames {
 public:
  static constexpr int kMost = 255;

  Frames() : texts_(1) {}

  // The number of `text`, added when new; -1 when the table is full.
  // *last is the number found the time before, tried first: heads and tails
  // each keep their own.
  int Find(std::string_view text, int *last) {
    if (text.empty()) return 0;
    if (text == texts_[*last]) return *last;
    for (size_t i = 1; i < texts_.size(); ++i) {
      if (texts_[i] == text) return *last = static_cast<int>(i);
    }
    if (texts_.size() > kMost) return -1;
    texts_.emplace_back(text);
    return *last = static_cast<int>(texts_.size() - 1);
  }
  std::string_view Text(int number) const { return texts_[number]; }

 private:
  std::deque<std::string> texts_;
};

// A compiled expression: the record callers see and the program behind
// it; in the same block right after the record, the numbers of its frame
// (a byte each) and the middle of its pattern (checked).  A program that
// compiles thousands of expressions and searches with few of them pays for
// the translation and RE2 of those few only; a million expressions of one
// frame hold the frame once.
struct Compiled {
  murRegexp prog{};
  std::unique_ptr<Program> program;

  static constexpr size_t kStored = 2;  // the frame's numbers

  const unsigned char *stored() const {
    return reinterpret_cast<const unsigned char *>(this + 1);
  }
  int head() const { return stored()[0]; }
  int tail() const { return stored()[1]; }
  const char *middle() const {
    return reinterpret_cast<const char *>(stored() + kStored);
  }

  // The whole pattern: the middle itself, or made once from the frame.
  const char *Source(const Frames &frames) {
    if (head() == 0 && tail() == 0) return middle();
    Program &made = Made();
    if (made.source.empty()) {
      made.source.append(frames.Text(head()));
      made.source.append(middle());
      made.source.append(frames.Text(tail()));
    }
    return made.source.c_str();
  }

  // The RE2 program, or NULL when RE2 refused it.
  const RE2 *Build(const Frames &frames) {
    Program &made = Made();
    if (!made.built) {
      made.built = true;
      // Cannot fail: the source was checked.
      std::optional<std::string> translated = Translator(Source(frames)).Run();
      if (translated) {
        RE2::Options options;
        options.set_encoding(RE2::Options::EncodingLatin1);
        options.set_log_errors(false);
        // Leftmost-first: at one start, the first alternative that leads to
        // a match wins, as a backtracking engine would choose.
        options.set_longest_match(false);
        made.re = std::make_unique<RE2>(*translated, options);
        if (!made.re->ok()) made.re.reset();
      }
    }
    return made.re.get();
  }

  Program &Made() {
    if (program == nullptr) {
      program = std::make_unique<Program>();
      prog.startp = program->starts;
      prog.endp = program->ends;
    }
    return *program;
  }
};

// Every expression compiled in this process, packed one after the other into
// blocks: a list of a million expressions costs a few hundred allocations,
// and the blocks keep the expressions reachable for leak checkers.  Each
// block counts its live expressions; a block whose last expression is
// released goes back (the newest one is used again from its start).
class Pool {
 public:
  Pool() = default;
  Pool(const Pool &) = delete;
  Pool &operator=(const Pool &) = delete;

  // Whether `pattern` (`length` bytes, its first `head` and last `tail` a
  // frame) is well formed.  The bytes of a frame whose head leaves no class
  // or escape open are read the same whatever lies between; so, with
  // literal atoms between, the pattern is well formed exactly when its frame
  // around one such atom is.  That is checked once for the last frame met:
  // a list of a million names of one frame checks the frame once.
  bool Check(const char *pattern, size_t length, size_t head, size_t tail) {
    const std::string_view whole(pattern, length);
    const std::string_view head_text = whole.substr(0, head);
    const std::string_view tail_text = whole.substr(length - tail);
    if (head + tail == 0 ||
        !PlainAtoms(whole.substr(head, length - head - tail))) {
      return Translator(pattern).Check();
    }
    if (!checked_ || head_text != checked_head_ || tail_text != checked_tail_) {
      checked_ = true;
      checked_head_.assign(head_text);
      checked_tail_.assign(tail_text);
      checked_between_ = EndsBetweenAtoms(head_text);
      if (checked_between_) {
        std::string around(head_text);
        around += 'a';
        around += tail_text;
        checked_well_formed_ = Translator(around.c_str()).Check();
      }
    }
    return checked_between_ ? checked_well_formed_
                            : Translator(pattern).Check();
  }

  // A record of `pattern`, `length` bytes, whose first `head` and last
  // `tail` bytes are its frame: the frame is kept in the pool's table, the
  // rest in the record.  A frame that the table has no room for is kept in
  // the record as well.
  Compiled *Make(const char *pattern, size_t length, size_t head, size_t tail) {
    int head_number =
        frames_.Find(std::string_view(pattern, head), &last_head_);
    int tail_number = frames_.Find(
        std::string_view(pattern + length - tail, tail), &last_tail_);
    if (head_number < 0 || tail_number < 0) {
      head_number = tail_number = 0;
      head = tail = 0;
    }
    const size_t middle = length - head - tail;
    constexpr size_t kAlign = alignof(Compiled);
    const size_t size =
        (sizeof(Compiled) + Compiled::kStored + middle + 1 + kAlign - 1) /
        kAlign * kAlign;
    if (size > static_cast<size_t>(limit_ - next_)) NewBlock(size);
    auto *compiled = new (next_) Compiled();
    unsigned char *stored =
        reinterpret_cast<unsigned char *>(next_ + sizeof(Compiled));
    stored[0] = static_cast<unsigned char>(head_number);
    stored[1] = static_cast<unsigned char>(tail_number);
    std::memcpy(stored + Compiled::kStored, pattern + head, middle);
    stored[Compiled::kStored + middle] = '\0';
    next_ += size;
    ++current_->live;
    compiled->prog.impl = compiled;
    return compiled;
  }

  const Frames &frames() const { return frames_; }

  // Releases `prog` when it is a live expression of the pool.
  void Free(murRegexp *prog) {
    const char *at = reinterpret_cast<const char *>(prog);
    auto after = std::upper_bound(
        blocks_.begin(), blocks_.end(), at,
        [](const char *p, const Block *b) { return Before(p, b->begin()); });
    if (after == blocks_.begin()) return;
    Block *block = *std::prev(after);
    if (!Before(at, block->end) || prog->impl != prog) return;
    auto *compiled = static_cast<Compiled *>(prog->impl);
    compiled->~Compiled();
    // A pointer to it that is released again finds no live expression.
    std::memset(static_cast<void *>(compiled), 0, sizeof(Compiled));
    if (--block->live > 0) return;
    if (block == current_) {
      next_ = block->begin();
      return;
    }
    blocks_.erase(std::prev(after));
    Release(block);
  }

 private:
  // A block's own record, at its start.
  struct Block {
    char *end;
    size_t live;
    bool large;  // from the system, not the heap
    char *begin() { return reinterpret_cast<char *>(this + 1); }
    const char *begin() const {
      return reinterpret_cast<const char *>(this + 1);
    }
  };
  static_assert(sizeof(Block) % alignof(Compiled) == 0, "block record");

  static bool Before(const char *a, const char *b) {
    return std::less<>()(a, b);
  }

  // Blocks start small, so that a program with a few expressions holds
  // little, and double up to a size that large pages back whole.
  void NewBlock(size_t size) {
    constexpr size_t kFirst = size_t{4} << 10;
    constexpr size_t kLargest = size_t{4} << 20;
    blocks_.reserve(blocks_.size() + 1);
    next_block_size_ = next_block_size_ == 0
                           ? kFirst
                           : std::min(next_block_size_ * 2, kLargest);
    const size_t bytes = std::max(next_block_size_, sizeof(Block) + size);
    const bool large = bytes >= tov::platform::kLargeBlock;
    void *memory = large ? tov::platform::AllocateLarge(bytes)
                         : ::operator new(bytes, std::nothrow);
    if (memory == nullptr) throw std::bad_alloc();
    auto *block =
        new (memory) Block{static_cast<char *>(memory) + bytes, 0, large};
    // The block left behind goes back at once when nothing lives in it.
    if (current_ != nullptr && current_->live == 0) {
      blocks_.erase(std::find(blocks_.begin(), blocks_.end(), current_));
      Release(current_);
    }
    blocks_.insert(std::upper_bound(blocks_.begin(), blocks_.end(), block,
                                    [](const Block *a, const Block *b) {
                                      return Before(a->begin(), b->begin());
                                    }),
                   block);
    current_ = block;
    next_ = block->begin();
    limit_ = block->end;
  }

  static void Release(Block *block) {
    const size_t bytes =
        static_cast<size_t>(block->end - reinterpret_cast<char *>(block));
    if (block->large) {
      tov::platform::FreeLarge(block, bytes);
    } else {
      ::operator delete(block);
    }
  }

  Frames frames_;
  int last_head_ = 0;  // the frame numbers of the last record made
  int last_tail_ = 0;
  // The last frame whose form Check worked out.
  bool checked_ = false;
  std::string checked_head_;
  std::string checked_tail_;
  bool checked_between_ = false;  // its head leaves no class or escape open
  bool checked_well_formed_ = false;
  std::vector<Block *> blocks_;  // sorted by address
  Block *current_ = nullptr;     // the block expressions are made in
  char *next_ = nullptr;         // its free room
  char *limit_ = nullptr;
  size_t next_block_size_ = 0;
};

// The pool lives to the end of the process: callers keep expressions past
// any point where it could be destroyed.
Pool &Expressions() {
  static auto *pool = new Pool();
  return *pool;
}

}  // namespace
}  // namespace tov::regex

murRegexp *mur_regcomp(const char *pattern) {
  return mur_regcomp_framed(pattern, 0, 0);
}

murRegexp *mur_regcomp_framed(const char *pattern, size_t head, size_t tail) {
  if (pattern == nullptr) return nullptr;
  const size_t length = std::strlen(pattern);
  if (head > length || tail > length - head) head = tail = 0;
  // The translator accepts only what RE2 compiles (every literal byte is
  // escaped, groups and classes are checked), so the translation and RE2
  // itself can wait.
  tov::regex::Pool &pool = tov::regex::Expressions();
  if (!pool.Check(pattern, length, head, tail)) return nullptr;
  return &pool.Make(pattern, length, head, tail)->prog;
}

bool mur_regparts(const murRegexp *prog, std::string_view *head,
                  std::string_view *middle, std::string_view *tail) {
  if (prog == nullptr || prog->impl == nullptr) return false;
  const auto *compiled = static_cast<const tov::regex::Compiled *>(prog->impl);
  const tov::regex::Frames &frames = tov::regex::Expressions().frames();
  *head = frames.Text(compiled->head());
  *middle = compiled->middle();
  *tail = frames.Text(compiled->tail());
  return true;
}

int mur_regexecn(murRegexp *prog, const char *text, size_t len) {
  if (prog == nullptr || text == nullptr || prog->impl == nullptr) return 0;
  auto *compiled = static_cast<tov::regex::Compiled *>(prog->impl);
  const RE2 *program = compiled->Build(tov::regex::Expressions().frames());
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
  if (prog != nullptr) tov::regex::Expressions().Free(prog);
}

const char *mur_regsource(const murRegexp *prog) {
  if (prog == nullptr || prog->impl == nullptr) return "";
  return static_cast<tov::regex::Compiled *>(prog->impl)
      ->Source(tov::regex::Expressions().frames());
}

int mur_regexec(murRegexp *prog, const char *text) {
  if (text == nullptr) return 0;
  return mur_regexecn(prog, text, std::strlen(text));
}
