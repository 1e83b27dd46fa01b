// The update of a layout made of random records: the input is read as a
// list of records (a selector byte, a length byte and that many data
// bytes), framed as a stream between HEADER and ENDLIB; the first input byte
// picks the options, among them a cut or a changed byte that may break the
// stream.  The renames chain and change lengths: a -> ccc, ab -> a, b_ -> z.
//
// Promises checked: a changed stream is a stream of the same records, each
// record without a string byte for byte as it was, each string record
// holding what the update makes of its string as a text file of its own,
// padded with one NUL to an even length; a stream that cannot be framed
// fails; a failed or needless update leaves the file as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "tovUpdtr.h"

namespace {

using tov::fuzz::Scratch;
using tov::fuzz::ViewDir;

constexpr size_t kMaxInput = 4096;

struct Kind {
  unsigned char type, data;
};
// Strings (LIBNAME, STRNAME, SNAME, STRING, PROPVALUE) and records of each
// other kind of data.
constexpr Kind kKinds[] = {{0x02, 6}, {0x06, 6}, {0x12, 6}, {0x19, 6},
                           {0x2c, 6}, {0x08, 0}, {0x11, 0}, {0x0d, 2},
                           {0x10, 3}, {0x03, 5}, {0x1a, 1}};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];
// The bytes of strings: letters of the names, delimiters of both update
// types, and a newline.
constexpr char kAlphabet[] = "ab_ .$9\n";

struct Record {
  unsigned type = 0, data = 0;
  std::string bytes;  // what follows the header
};

// The records of `stream` up to ENDLIB; false when it cannot be framed.
bool Frame(const std::string &stream, std::vector<Record> *records) {
  records->clear();
  size_t at = 0;
  while (stream.size() - at >= 4) {
    const auto *p = reinterpret_cast<const unsigned char *>(&stream[at]);
    const size_t length = (size_t{p[0]} << 8) | p[1];
    if (length < 4 || length % 2 != 0 || length > stream.size() - at) break;
    Record r;
    r.type = p[2];
    r.data = p[3];
    r.bytes = stream.substr(at + 4, length - 4);
    records->push_back(r);
    at += length;
    if (r.type == 0x04) {
      return stream.find_first_not_of('\0', at) == std::string::npos;
    }
  }
  return false;
}

std::string Bytes(const Record &r) {
  const size_t n = 4 + r.bytes.size();
  return std::string{static_cast<char>(n >> 8), static_cast<char>(n & 0xff),
                     static_cast<char>(r.type), static_cast<char>(r.data)} +
         r.bytes;
}

// What the update makes of `text` as a file of its own: its new text, or
// the text itself when nothing changes.  (A layout's strings may grow to
// twice the size of the whole stream: the text alone gets the room for
// them.)
std::string Renamed(tovUpdtrRegexpList *list, int flags,
                    const std::string &text) {
  Scratch::Get().Write("lib1/cell/view/s.txt", text);
  char line[] = "lib1.cell:view/s.txt";
  char *path = nullptr, *renamed = nullptr;
  size_t length = 0;
  const int result = tovUpdtrRegexpUpdateFileText(
      line, 0, list, "LibraryNT",
      flags | TOV_UPDATE_DRY_RUN | TOV_UPDATE_SCALING(255), &path, &renamed,
      &length);
  std::string out =
      result == TOV_UPDATE_CHANGED ? std::string(renamed, length) : text;
  std::free(path);
  std::free(renamed);
  return out;
}

tovUpdtrRegexpList *List(int update_type) {
  static tovUpdtrRegexpList *lists[2] = {nullptr, nullptr};
  static int loaded = -1;
  if (loaded != update_type) {
    const std::string path = Scratch::Get().Write(
        "from_to.txt", std::string("a/. ccc/.\nab/. a/.\nb_/. z/.\n"));
    TOV_FUZZ_CHECK(tovProcessFromToFileEx(path.c_str(), 4, "LibraryNT", 1) !=
                   LCV_ERROR);
    lists[update_type] = tovUpdtrGenRegexpList(update_type, "LibraryNT");
    TOV_FUZZ_CHECK(lists[update_type] != nullptr);
    loaded = update_type;
  }
  return lists[update_type];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3 || size > kMaxInput) return 0;
  const unsigned options = data[0];
  const int update_type = options & 1;
  const int flags = (options & 2) ? TOV_UPDATE_NODE_BY_NODE : 0;
  const bool spoil = (options & 4) != 0;
  const size_t spoil_at = data[1] | (size_t{data[2]} << 8);

  std::vector<Record> records(1);
  records[0].type = 0x00;
  records[0].data = 2;
  records[0].bytes = std::string("\x02\x58", 2);
  for (size_t at = 3; at + 2 <= size;) {
    const Kind kind = kKinds[data[at] % kKindCount];
    size_t n = data[at + 1] % 40;
    at += 2;
    n = std::min(n, size - at);
    Record r;
    r.type = kind.type;
    r.data = kind.data;
    for (size_t i = 0; i < n; ++i) {
      r.bytes += kind.data == 6 ? kAlphabet[data[at + i] % 8]
                                : static_cast<char>(data[at + i]);
    }
    at += n;
    static const size_t kItem[] = {0, 2, 2, 4, 4, 8, 1};
    r.bytes.resize(kind.data == 0
                       ? 0
                       : r.bytes.size() / kItem[kind.data] * kItem[kind.data]);
    if (r.bytes.size() % 2 != 0) r.bytes += '\0';
    records.push_back(r);
  }
  records.push_back(Record{0x04, 0, ""});
  std::string stream;
  for (const Record &r : records) stream += Bytes(r);
  if (spoil && !stream.empty()) {
    if (options & 8) {
      stream.resize(spoil_at % stream.size());
    } else {
      stream[spoil_at % stream.size()] ^= static_cast<char>(data[1] | 1);
    }
  }

  ViewDir();
  // A cut before the header's type leaves no layout, but a text.
  if (stream.compare(0, 3, std::string("\0\6\0", 3)) != 0) return 0;
  tovUpdtrRegexpList *list = List(update_type);
  std::vector<Record> before;
  const bool framed = Frame(stream, &before);
  std::vector<std::string> expected;
  for (const Record &r : before) {
    // A changed byte may make a record of strings in fields, which the
    // model below does not know.
    if (r.data == 6 && (r.type == 0x1f || r.type == 0x20)) return 0;
    if (r.data != 6) continue;
    const size_t nul = r.bytes.find('\0');
    expected.push_back(Renamed(list, flags, r.bytes.substr(0, nul)));
  }

  const std::string file = Scratch::Get().Write("lib1/cell/view/f.gds", stream);
  char line[] = "lib1.cell:view/f.gds";
  const int result =
      tovUpdtrRegexpUpdateFileEx(line, 0, list, "LibraryNT", flags);
  const std::string after = Scratch::Read(file);
  if (!framed) TOV_FUZZ_CHECK(result == 0);
  if (result != TOV_UPDATE_CHANGED) {
    TOV_FUZZ_CHECK(after == stream);
  } else {
    std::vector<Record> now;
    TOV_FUZZ_CHECK(Frame(after, &now));
    TOV_FUZZ_CHECK(now.size() == before.size());
    size_t string = 0;
    for (size_t i = 0; i < now.size(); ++i) {
      TOV_FUZZ_CHECK(now[i].type == before[i].type &&
                     now[i].data == before[i].data);
      if (before[i].data != 6) {
        TOV_FUZZ_CHECK(now[i].bytes == before[i].bytes);
        continue;
      }
      const std::string &text = expected[string++];
      std::string padded = text;
      if (padded.size() % 2 != 0) padded += '\0';
      // A string that did not change keeps its record as it was.
      const size_t nul = before[i].bytes.find('\0');
      TOV_FUZZ_CHECK(
          now[i].bytes ==
          (text == before[i].bytes.substr(0, nul) ? before[i].bytes : padded));
    }
  }
  // No lock, journal or new file is left beside the layout.
  for (const std::string &name : Scratch::Names(ViewDir())) {
    TOV_FUZZ_CHECK(name[0] != '.');
  }
  return 0;
}
