// The one-pass rewrite of plain names against the node-by-node path, on a
// random mapping and a random text.
//
// Input: byte 0 picks the update type and how many elements follow; then
// three bytes per element (the level its names stand at, the old name, the
// new name, from small pools that hold chains, names starting with digits,
// names with '$', '.' or '-', and an empty new name), and the text, whose
// bytes are names of the pool or single characters.
//
// Promises checked: both paths give the same result, compose the same last
// message, count the same names replaced and leave the same bytes in the
// file, with the renames applied one after the other and together; and the
// one-pass rewrite of
// each run of plain names gives the same text however it cuts the text into
// pieces, and when it reads the text in small windows as from a file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "services/regex/mur_regexp.h"
#include "tovUpdtr.h"
#include "update/plain_rewriter.h"
#include "update/regexp_list.h"
#include "update/update_plan.h"

namespace {

using tov::fuzz::Scratch;
using tov::update::PlainRewriter;
using tov::update::UpdatePlan;

constexpr size_t kMaxElements = 16;
constexpr size_t kMaxText = 4096;
constexpr char kReference[] = "lib1.cell:view/f.txt";

// Old names: plain ones, some of them chained through the new names; names
// that start with a digit; and names with '$', '.' or '-', which the
// one-pass rewrite leaves to the search.
const char *const kOldNames[] = {"a", "b",   "ab",   "a1",    "1a",  "_x",
                                 "A", "9",   "lib1", "lib10", "n1",  "1",
                                 "_", "aa",  "b$",   "a.b",   "a-b", "x.",
                                 "$", "a$b", "x",    "net1",  "1x",  "cell_2"};
// New names: the old ones again (for chains), an empty one, and names long
// enough to make the text outgrow its buffers.
const char *const kNewNames[] = {
    "a",  "b",    "ab",     "a1",    "1a",
    "_x", "B",    "9",      "lib1",  "n1",
    "1",  "",     "a.b",    "q-q",   "x$",
    "aa", "net1", "1x",     "lib10", "longer_name_here_0123456789",
    "x",  "_",    "cell_2", "zz"};
constexpr size_t kOld = sizeof kOldNames / sizeof kOldNames[0];
constexpr size_t kNew = sizeof kNewNames / sizeof kNewNames[0];
// Single text characters: delimiters of both update types, word bytes, '$'
// and a NUL.
const char kChars[] = "ab1_$. -\n9A(x)Z\t";

char *Copy(const char *s) {
  char *copy = static_cast<char *>(std::malloc(std::strlen(s) + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::strcpy(copy, s);
  return copy;
}

// The tree, made once; messages are composed (and compared) but not
// printed.
void PrepareTree() {
  static const bool ready = [] {
    tov::fuzz::ViewDir();
    tovUpdtrSetMinSeverity(3);
    return true;
  }();
  (void)ready;
}

// One element per three bytes: the old name and its new name at level
// data[0] % 4 (library to file), or, now and then, an element that is no
// atom.  The same old name may come again, at its level or another.
bool LoadMapping(const uint8_t *data, size_t count) {
  if (tovUpdtrInitHashTable() != 1) return false;
  for (size_t i = 0; i < count; ++i, data += 3) {
    const char *members[8] = {"", "", "", "", "", "", "", ""};
    if (data[0] >= 0xF0) {  // a library and a cell changed together
      members[0] = "l";
      members[1] = "c";
      members[4] = "m";
      members[5] = "c";
    } else {
      const int level = data[0] % 4;
      members[level] = kOldNames[data[1] % kOld];
      members[4 + level] = kNewNames[data[2] % kNew];
    }
    auto *e = static_cast<tovUpdtrHashElement *>(
        std::calloc(1, sizeof(tovUpdtrHashElement)));
    if (e == nullptr) throw std::bad_alloc();
    e->fromLib = Copy(members[0]);
    e->fromCell = Copy(members[1]);
    e->fromView = Copy(members[2]);
    e->fromFile = Copy(members[3]);
    e->toLib = Copy(members[4]);
    e->toCell = Copy(members[5]);
    e->toView = Copy(members[6]);
    e->toFile = Copy(members[7]);
    if (tovUpdtrHashInsert(e) != 1) return false;
  }
  return true;
}

// What one update left.
struct Run {
  int result;
  std::string message;
  std::string content;
  unsigned long long replaced;
};

Run Update(tovUpdtrRegexpList *list, const std::string &text, int flags) {
  const std::string file = Scratch::Get().Write("lib1/cell/view/f.txt", text);
  tovUpdtrErrBuf[0] = '\0';
  std::vector<char> line(kReference, kReference + sizeof kReference);
  Run run;
  run.result =
      tovUpdtrRegexpUpdateFileEx(line.data(), 0, list, "LibraryNT", flags);
  run.message = tovUpdtrErrBuf;
  run.content = Scratch::Read(file);
  run.replaced = tovUpdtrReplacedCount();
  return run;
}

// The new text that `rewriter` makes of `text` when it cuts it into
// `pieces` shared out among `threads` (0: one each), or "" when nothing
// changes.
std::string Rewritten(PlainRewriter &rewriter, const std::string &text,
                      unsigned pieces, unsigned threads = 0) {
  PlainRewriter::Changes changes;
  rewriter.Find(text.data(), text.size(), pieces, &changes, threads);
  if (!changes.touched()) return "";
  std::string out(changes.length() + 1, '\0');
  PlainRewriter::Apply(text.data(), text.size(), changes, &out[0]);
  TOV_FUZZ_CHECK(out.back() == '\0');
  out.pop_back();
  return "changed:" + out;
}

// The same when the text is read as from a file, `chunk` bytes at a time,
// and written out through a window of `window` bytes.
std::string ReadAndRewritten(PlainRewriter &rewriter, const std::string &text,
                             unsigned pieces, size_t chunk, size_t window,
                             unsigned threads) {
  const PlainRewriter::TextReader read = [&text](size_t offset, char *buf,
                                                 size_t n) {
    if (offset > text.size() || n > text.size() - offset) return false;
    if (n > 0) std::memcpy(buf, text.data() + offset, n);
    return true;
  };
  PlainRewriter::Changes changes;
  TOV_FUZZ_CHECK(
      rewriter.FindInFile(read, text.size(), pieces, chunk, &changes, threads));
  if (!changes.touched()) return "";
  std::vector<char> area(window), staging(window + 3);
  std::string out;
  TOV_FUZZ_CHECK(PlainRewriter::EmitFromFile(
      read, text.size(), changes, area.data(), area.size(), staging.data(),
      staging.size(), [&out](const char *p, size_t n) {
        out.append(p, n);
        return true;
      }));
  TOV_FUZZ_CHECK(out.size() == changes.length());
  return "changed:" + out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const int update_type = data[0] & 1;
  const size_t count = (data[0] >> 1) % (kMaxElements + 1);
  if (size < 1 + 3 * count) return 0;
  const uint8_t *text_bytes = data + 1 + 3 * count;
  const size_t text_size = size - 1 - 3 * count;
  if (text_size > kMaxText) return 0;
  std::string text;
  for (size_t i = 0; i < text_size; ++i) {
    const uint8_t b = text_bytes[i];
    if (b & 0x80) {
      text += kOldNames[b % kOld];
    } else {
      text += kChars[b % sizeof kChars];  // the last one is the NUL
    }
  }

  PrepareTree();
  if (!LoadMapping(data + 1, count)) return 0;
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(update_type, "LibraryNT");
  if (list == nullptr) return 0;

  for (int together : {0, TOV_UPDATE_SIMULTANEOUS}) {
    const Run slow = Update(list, text, TOV_UPDATE_NODE_BY_NODE | together);
    const Run fast = Update(list, text, together);
    TOV_FUZZ_CHECK(fast.result == slow.result);
    TOV_FUZZ_CHECK(fast.message == slow.message);
    TOV_FUZZ_CHECK(fast.content == slow.content);
    TOV_FUZZ_CHECK(fast.replaced == slow.replaced);
  }

  for (const UpdatePlan::Step &step :
       UpdatePlan::For(list, "LibraryNT", false).steps()) {
    if (step.rewriter == nullptr) continue;
    const std::string whole = Rewritten(*step.rewriter, text, 1);
    for (unsigned pieces : {2u, 3u, 8u}) {
      TOV_FUZZ_CHECK(Rewritten(*step.rewriter, text, pieces) == whole);
    }
    TOV_FUZZ_CHECK(Rewritten(*step.rewriter, text, 8, 2) == whole);
    // Read in windows that the runs of the text outlast, whose size the
    // input's first byte picks.
    const size_t chunk = 1 + (data[0] >> 4);
    TOV_FUZZ_CHECK(ReadAndRewritten(*step.rewriter, text, 1, chunk, 5, 0) ==
                   whole);
    TOV_FUZZ_CHECK(ReadAndRewritten(*step.rewriter, text, 3, chunk, 1, 2) ==
                   whole);
  }
  tov::update::ReleaseList(list);
  return 0;
}
