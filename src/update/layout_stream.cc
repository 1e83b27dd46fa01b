#include "update/layout_stream.h"

#include "tovUpdtr.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tov::update {
namespace {

// The kinds of data a record holds, by the number in its header.
enum DataType : unsigned {
  kNoData = 0,
  kBitArray = 1,
  kInt2 = 2,
  kInt4 = 3,
  kReal4 = 4,
  kReal8 = 5,
  kAscii = 6,
};
constexpr unsigned kAnyData = 0xff;

constexpr unsigned kHeader = 0x00;
constexpr unsigned kEndLib = 0x04;
constexpr unsigned kStrName = 0x06;
constexpr unsigned kRefLibs = 0x1f;
constexpr unsigned kFonts = 0x20;

// Records whose strings stand in fields of kFieldWidth bytes.
bool IsFixed(unsigned type) { return type == kRefLibs || type == kFonts; }

struct RecordType {
  const char *name;  // NULL: a type the format does not define
  unsigned data;     // the kind of data it holds; kAnyData for those unused
};

// Every record type of the format, by number.  The few that the format
// reserves without using may hold any kind of data.
constexpr RecordType kRecordTypes[] = {
    {"HEADER", kInt2},     {"BGNLIB", kInt2},       {"LIBNAME", kAscii},
    {"UNITS", kReal8},     {"ENDLIB", kNoData},     {"BGNSTR", kInt2},
    {"STRNAME", kAscii},   {"ENDSTR", kNoData},     {"BOUNDARY", kNoData},
    {"PATH", kNoData},     {"SREF", kNoData},       {"AREF", kNoData},
    {"TEXT", kNoData},     {"LAYER", kInt2},        {"DATATYPE", kInt2},
    {"WIDTH", kInt4},      {"XY", kInt4},           {"ENDEL", kNoData},
    {"SNAME", kAscii},     {"COLROW", kInt2},       {"TEXTNODE", kNoData},
    {"NODE", kNoData},     {"TEXTTYPE", kInt2},     {"PRESENTATION", kBitArray},
    {"SPACING", kAnyData}, {"STRING", kAscii},      {"STRANS", kBitArray},
    {"MAG", kReal8},       {"ANGLE", kReal8},       {"UINTEGER", kAnyData},
    {"USTRING", kAnyData}, {"REFLIBS", kAscii},     {"FONTS", kAscii},
    {"PATHTYPE", kInt2},   {"GENERATIONS", kInt2},  {"ATTRTABLE", kAscii},
    {"STYPTABLE", kAscii}, {"STRTYPE", kInt2},      {"ELFLAGS", kBitArray},
    {"ELKEY", kInt4},      {"LINKTYPE", kAnyData},  {"LINKKEYS", kAnyData},
    {"NODETYPE", kInt2},   {"PROPATTR", kInt2},     {"PROPVALUE", kAscii},
    {"BOX", kNoData},      {"BOXTYPE", kInt2},      {"PLEX", kInt4},
    {"BGNEXTN", kInt4},    {"ENDEXTN", kInt4},      {"TAPENUM", kInt2},
    {"TAPECODE", kInt2},   {"STRCLASS", kBitArray}, {"RESERVED", kInt4},
    {"FORMAT", kInt2},     {"MASK", kAscii},        {"ENDMASKS", kNoData},
    {"LIBDIRSIZE", kInt2}, {"SRFNAME", kAscii},     {"LIBSECUR", kInt2},
};
constexpr unsigned kRecordTypeCount =
    sizeof kRecordTypes / sizeof kRecordTypes[0];

const char *const kDataNames[] = {
    "no data",      "bit arrays",   "2-byte integers", "4-byte integers",
    "4-byte reals", "8-byte reals", "a string"};

// The size of one item of each kind of data (0 for none).
constexpr size_t kItemSize[] = {0, 2, 2, 4, 4, 8, 1};

unsigned Be16(const char *p) {
  return (static_cast<unsigned>(static_cast<unsigned char>(p[0])) << 8) |
         static_cast<unsigned char>(p[1]);
}

std::string TypeName(unsigned type) {
  const char *name = RecordName(type);
  if (name != nullptr) return name;
  char buf[16];
  std::snprintf(buf, sizeof buf, "type 0x%02x", type);
  return buf;
}

std::string At(size_t offset) {
  return "at byte " + std::to_string(offset) + ", ";
}

// The string in `data` (`size` bytes): the bytes before the first NUL.  False
// when anything but NULs follows it.
bool StringOf(const char *data, size_t size, size_t *length) {
  const void *nul = std::memchr(data, '\0', size);
  *length = nul == nullptr ? size : static_cast<const char *>(nul) - data;
  for (size_t i = *length; i < size; ++i) {
    if (data[i] != '\0') return false;
  }
  return true;
}

// A string as a message or a description shows it: quoted, with quotes,
// backslashes and bytes that are not printable written as escapes.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", byte);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

}  // namespace

FileFormat FormatOf(const char *head, size_t length) {
  const auto starts = [head, length](const char *magic, size_t n) {
    return length >= n && std::memcmp(head, magic, n) == 0;
  };
  // A HEADER record: six bytes, of one 2-byte integer (the version).  The
  // kind of its data is not looked at: no text begins with two NULs so
  // placed, and a stream whose header is wrong must fail as a stream.
  if (starts("\x00\x06\x00", 3)) return FileFormat::kGdsii;
  if (starts("%SEMI-OASIS\r\n", 13)) return FileFormat::kOasis;
  // gzip, compress, bzip2, xz, zstd and zip.
  if (starts("\x1f\x8b", 2) || starts("\x1f\x9d", 2) ||
      (starts("BZh", 3) && length >= 10 && head[3] >= '1' && head[3] <= '9' &&
       std::memcmp(head + 4, "1AY&SY", 6) == 0) ||
      starts("\xfd"
             "7zXZ\x00",
             6) ||
      starts("\x28\xb5\x2f\xfd", 4) || starts("PK\x03\x04", 4)) {
    return FileFormat::kCompressed;
  }
  return FileFormat::kText;
}

const char *FormatDescription(FileFormat format) {
  switch (format) {
    case FileFormat::kOasis:
      return "an OASIS layout";
    case FileFormat::kCompressed:
      return "a compressed stream";
    case FileFormat::kText:
    case FileFormat::kGdsii:
      break;
  }
  return "";
}

const char *RecordName(unsigned type) {
  return type < kRecordTypeCount ? kRecordTypes[type].name : nullptr;
}

bool LayoutStream::Scan(const char *data, size_t size, std::string *fault) {
  data_ = data;
  size_ = size;
  end_ = 0;
  strings_ = 0;
  joined_length_ = 0;
  size_t at = 0;
  bool ended = false;
  while (!ended) {
    if (size - at < 4) {
      *fault = at == size ? "the stream ends before its ENDLIB record"
                          : At(at) + "the stream ends inside a record header";
      return false;
    }
    const char *record = data + at;
    const size_t length = Be16(record);
    const auto type = static_cast<unsigned char>(record[2]);
    const auto kind = static_cast<unsigned char>(record[3]);
    if (length < 4 || length % 2 != 0) {
      *fault = At(at) + "a record of " + std::to_string(length) +
               " bytes (a record has an even length of 4 bytes or more)";
      return false;
    }
    if (length > size - at) {
      *fault = At(at) + "the stream ends inside a " + TypeName(type) +
               " record of " + std::to_string(length) + " bytes";
      return false;
    }
    if ((at == 0) != (type == kHeader)) {
      *fault = At(at) + (at == 0 ? "the stream does not begin with HEADER"
                                 : "a second HEADER record");
      return false;
    }
    const size_t data_length = length - 4;
    const unsigned expected =
        type < kRecordTypeCount && kRecordTypes[type].name != nullptr
            ? kRecordTypes[type].data
            : kAnyData;
    if (kind > kAscii || (expected != kAnyData && kind != expected) ||
        (kind == kNoData && data_length != 0) ||
        (kind != kNoData && data_length % kItemSize[kind] != 0)) {
      *fault = At(at) + "a " + TypeName(type) + " record of " +
               std::to_string(length) + " bytes holding " +
               (kind <= kAscii ? kDataNames[kind] : "an unknown kind of data");
      if (expected != kAnyData && kind != expected) {
        *fault += std::string(" instead of ") + kDataNames[expected];
      }
      return false;
    }
    if (kind == kAscii) {
      const bool fixed = IsFixed(type);
      if (fixed && data_length % kFieldWidth != 0) {
        *fault = At(at) + "a " + TypeName(type) + " record of " +
                 std::to_string(length) + " bytes, not fields of " +
                 std::to_string(kFieldWidth);
        return false;
      }
      // A REFLIBS or FONTS record holds one string per field; any other
      // string record holds one string.
      const size_t width = fixed ? kFieldWidth : data_length;
      for (size_t start = 0; start < data_length || (!fixed && start == 0);
           start += width) {
        size_t text_length = 0;
        if (!StringOf(record + 4 + start, width, &text_length)) {
          *fault = At(at) + "a " + TypeName(type) +
                   " record whose string is followed by bytes other than "
                   "padding";
          return false;
        }
        ++strings_;
        joined_length_ += text_length + 1;
        if (width == 0) break;
      }
    }
    at += length;
    ended = type == kEndLib;
  }
  // Writers fill the last block of a stream with NULs.
  for (size_t i = at; i < size; ++i) {
    if (data[i] != '\0') {
      *fault = At(i) + "bytes other than padding after the ENDLIB record";
      return false;
    }
  }
  end_ = at;
  if (joined_length_ > 0) --joined_length_;
  return true;
}

template <typename Visit>
void LayoutStream::EachString(Visit visit) const {
  // The stream was checked: every record is whole, and every string is
  // followed by padding only.
  for (size_t at = 0; at < end_;) {
    const char *record = data_ + at;
    const size_t length = Be16(record);
    if (static_cast<unsigned char>(record[3]) == kAscii) {
      String string;
      string.type = static_cast<unsigned char>(record[2]);
      string.fixed = IsFixed(string.type);
      const size_t data_length = length - 4;
      const size_t width = string.fixed ? kFieldWidth : data_length;
      for (size_t start = 0;
           start < data_length || (!string.fixed && start == 0);
           start += width) {
        string.record = at;
        string.text = at + 4 + start;
        string.index = start / kFieldWidth;
        const char *text = data_ + string.text;
        const void *nul = std::memchr(text, '\0', width);
        string.length =
            nul == nullptr ? width : static_cast<const char *>(nul) - text;
        visit(string);
        if (width == 0) break;
      }
    }
    at += length;
  }
}

void LayoutStream::Join(char *out) const {
  bool first = true;
  EachString([&](const String &string) {
    if (!first) *out++ = '\n';
    first = false;
    std::memcpy(out, data_ + string.text, string.length);
    out += string.length;
  });
}

template <typename Visit>
bool LayoutStream::EachRenamed(Visit visit) const {
  const char *p = renamed_text_;
  const char *const end = renamed_text_ + renamed_length_;
  bool going = true;
  EachString([&](const String &string) {
    if (!going) return;
    // The string runs to the newline after its own ones (or to the end).
    const std::string_view old(data_ + string.text, string.length);
    size_t newlines = 0;
    if (old.find('\n') != std::string_view::npos) {
      newlines = static_cast<size_t>(std::count(old.begin(), old.end(), '\n'));
    }
    const char *stop = p;
    for (size_t n = 0;; ++n) {
      stop = static_cast<const char *>(
          std::memchr(stop, '\n', static_cast<size_t>(end - stop)));
      if (stop == nullptr) stop = end;
      if (n == newlines || stop == end) break;
      ++stop;
    }
    const std::string_view now(p, static_cast<size_t>(stop - p));
    p = stop == end ? end : stop + 1;
    if (now != old) going = visit(string, now);
  });
  return going;
}

bool LayoutStream::Split(const char *text, size_t length, std::string *fault) {
  renamed_text_ = text;
  renamed_length_ = length;
  new_size_ = size_;
  return EachRenamed([&](const String &field, std::string_view now) {
    const size_t limit = field.fixed ? kFieldWidth : kMaxRecordText;
    // A NUL would end the string early: the record would not say what it
    // was given.  (Only a name of the list could bring one in.)
    if (now.size() > limit || now.find('\0') != std::string_view::npos) {
      *fault = At(field.record) + "the " + TypeName(field.type) +
               " record would hold the string " + Quoted(now.substr(0, 64)) +
               (now.size() > 64 ? "..." : "") + " of " +
               std::to_string(now.size()) + " bytes, where " +
               (field.fixed ? "a field" : "a record") + " holds at most " +
               std::to_string(limit);
      return false;
    }
    if (!field.fixed) {
      const size_t old_record = Be16(data_ + field.record);
      new_size_ = new_size_ - old_record + 4 + now.size() + now.size() % 2;
    }
    return true;
  });
}

bool LayoutStream::Emit(const platform::ContentSink &sink) const {
  // The records that change are made in `out`, between the unchanged runs
  // of the stream, which go to the sink as they stand once they are large.
  constexpr size_t kGather = size_t{64} << 10;
  std::string out;
  out.reserve(2 * kGather + 4 + kMaxRecordText);
  size_t copied = 0;  // the stream is in the sink or `out` up to here
  const auto copy_to = [&](size_t offset) {
    const size_t n = offset - copied;
    if (n >= kGather) {
      if ((!out.empty() && !sink(out.data(), out.size())) ||
          !sink(data_ + copied, n)) {
        return false;
      }
      out.clear();
    } else {
      out.append(data_ + copied, n);
    }
    copied = offset;
    return true;
  };
  const bool made = EachRenamed([&](const String &field, std::string_view now) {
    if (field.fixed) {
      // The record keeps its length: only the field is written anew.
      if (!copy_to(field.text)) return false;
      out.append(now.data(), now.size());
      out.append(kFieldWidth - now.size(), '\0');
      copied = field.text + kFieldWidth;
    } else {
      const size_t record = field.record;
      if (!copy_to(record)) return false;
      const size_t length = 4 + now.size() + now.size() % 2;
      out += static_cast<char>(length >> 8);
      out += static_cast<char>(length & 0xff);
      out.append(data_ + record + 2, 2);
      out.append(now.data(), now.size());
      if (now.size() % 2 != 0) out += '\0';
      copied = record + Be16(data_ + record);
    }
    if (out.size() >= kGather) {
      if (!sink(out.data(), out.size())) return false;
      out.clear();
    }
    return true;
  });
  if (!made || !copy_to(size_)) return false;
  return out.empty() || sink(out.data(), out.size());
}

bool LayoutStream::Describe(const LayoutStream &other,
                            std::string *lines) const {
  lines->clear();
  struct Seen {
    String string;
    std::string_view text;
  };
  const auto strings_of = [](const LayoutStream &stream) {
    std::vector<Seen> seen;
    stream.EachString([&](const String &string) {
      seen.push_back({string, {stream.data_ + string.text, string.length}});
    });
    return seen;
  };
  const std::vector<Seen> before = strings_of(*this);
  const std::vector<Seen> after = strings_of(other);
  if (before.size() != after.size()) return false;
  std::string_view structure;
  for (size_t i = 0; i < before.size(); ++i) {
    const String &field = before[i].string;
    if (field.type != after[i].string.type ||
        field.index != after[i].string.index) {
      return false;
    }
    if (field.type == kStrName) structure = before[i].text;
    if (before[i].text == after[i].text) continue;
    *lines += structure.empty() && field.type != kStrName
                  ? std::string("library")
                  : "structure " + Quoted(structure);
    *lines += ", " + TypeName(field.type);
    if (field.fixed) *lines += " field " + std::to_string(field.index + 1);
    *lines +=
        ": " + Quoted(before[i].text) + " -> " + Quoted(after[i].text) + "\n";
  }
  return true;
}

}  // namespace tov::update

extern "C" TOVUPDTR_API int tovUpdtrFileFormat(const char *head,
                                               size_t length) {
  using tov::update::FileFormat;
  if (head == nullptr) return TOV_FORMAT_TEXT;
  switch (tov::update::FormatOf(head, length)) {
    case FileFormat::kGdsii:
      return TOV_FORMAT_GDSII;
    case FileFormat::kOasis:
      return TOV_FORMAT_OASIS;
    case FileFormat::kCompressed:
      return TOV_FORMAT_COMPRESSED;
    case FileFormat::kText:
      break;
  }
  return TOV_FORMAT_TEXT;
}

extern "C" TOVUPDTR_API char *tovUpdtrDescribeLayoutChange(const char *oldText,
                                                           size_t oldLength,
                                                           const char *newText,
                                                           size_t newLength) {
  if (oldText == nullptr || newText == nullptr) return nullptr;
  try {
    tov::update::LayoutStream before, after;
    std::string fault;
    if (!before.Scan(oldText, oldLength, &fault) ||
        !after.Scan(newText, newLength, &fault)) {
      return nullptr;
    }
    std::string lines;
    if (!before.Describe(after, &lines)) return nullptr;
    char *out = static_cast<char *>(std::malloc(lines.size() + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, lines.c_str(), lines.size() + 1);
    return out;
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
