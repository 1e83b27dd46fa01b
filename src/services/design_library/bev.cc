#include "services/design_library/bev.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "services/name_mapping/rix.h"

namespace tov::bev {
namespace {

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};

// Library name (canonical "LibraryUnix" spelling) -> its directory.
using Definitions = std::map<std::string, std::string, std::less<>>;

struct Service {
  Definitions libraries;
  std::string last_error;
  // daxGetNameSpace's answer, kept here so that it stays valid after the
  // call.
  char name_space[kBevMaxNameSpaceLength + 1] = {};
};

Service &GetService() {
  // Never destroyed, so that no exit path depends on the order in which
  // static objects are torn down.
  static Service *service = new Service();
  return *service;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// `text` without leading and trailing blanks; a carriage return before the
// line end counts as trailing blank, so that files written on Windows read
// the same.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// Splits the first word off `*text` and leaves the rest (leading blanks
// removed) in `*text`.
std::string_view NextWord(std::string_view *text) {
  size_t end = 0;
  while (end < text->size() && !IsBlank((*text)[end])) ++end;
  std::string_view word = text->substr(0, end);
  *text = Trim(text->substr(end));
  return word;
}

// `text` made safe to show in a one-line reason: printable ASCII stays,
// every other byte becomes \xNN, and a text longer than `limit` bytes is cut
// with "...".  A backslash is escaped too, so that an escape cannot be
// mistaken, except where it is the directory separator (Windows): paths
// stay readable there.
std::string Printable(std::string_view text, size_t limit = 80) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i == limit) {
      out += "...";
      break;
    }
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && (c != '\\' || platform::kDirSep == '\\')) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

std::string SystemErrorText() { return std::strerror(platform::ErrorNumber()); }

// The directory part of `file` ("" when it has none), with its separator.
std::string DirectoryOf(const std::string &file) {
  size_t end = file.size();
  while (end > 0 && !platform::IsDirSep(file[end - 1])) --end;
  return file.substr(0, end);
}

// `path` as seen from the file `base`: unchanged when absolute, else
// relative to the directory that holds `base`.
std::string Resolve(const std::string &base, std::string_view path) {
  std::string text(path);
  if (platform::IsAbsolutePath(text.c_str())) return text;
  return DirectoryOf(base) + text;
}

// `dir` without trailing separators, except one that names a root ("/",
// "C:\\").
std::string_view WithoutTrailingSeparators(std::string_view dir) {
  while (dir.size() > 1 && platform::IsDirSep(dir.back()) &&
         !(platform::kDirSep == '\\' && dir[dir.size() - 2] == ':')) {
    dir.remove_suffix(1);
  }
  return dir;
}

// What reading one line found.
enum class Line { kRead, kEnd, kTooLong, kError };

// Reads one line (without its '\n') into `*line`.  A line longer than
// kBevMaxLineLength bytes is not read further.  `*has_nul` tells whether the
// line held a NUL byte, which no text line does.
Line ReadLine(FILE *f, std::string *line, bool *has_nul) {
  line->clear();
  *has_nul = false;
  for (;;) {
    int c = std::getc(f);
    if (c == EOF) {
      if (std::ferror(f)) return Line::kError;
      return line->empty() ? Line::kEnd : Line::kRead;
    }
    if (c == '\n') return Line::kRead;
    if (line->size() == kBevMaxLineLength) {
      // The carriage return of a "\r\n" line end is no part of the line.
      if (c == '\r') {
        const int next = std::getc(f);
        if (next == '\n' || next == EOF) return Line::kRead;
      }
      return Line::kTooLong;
    }
    if (c == '\0') *has_nul = true;
    line->push_back(static_cast<char>(c));
  }
}

// Reads a definition file and the files it includes into a fresh table.
class Reader {
 public:
  explicit Reader(Definitions *libraries) : libraries_(libraries) {}

  // Reads the file `path`, `depth` includes below the first file; `where`
  // is the "file:line: " of the include statement that names it ("" for the
  // first file).  False with error() set on the first fault.
  bool Read(const std::string &path, int depth, const std::string &where);

  const std::string &error() const { return error_; }

 private:
  bool Fail(const std::string &where, const std::string &reason) {
    error_ = where + reason;
    return false;
  }
  bool Statement(const std::string &path, std::string_view line, int depth,
                 const std::string &where);
  bool Library(const std::string &path, std::string_view rest,
               const std::string &where);

  Definitions *libraries_;
  // The files being read, outermost first, as real paths: an include of one
  // of them is a cycle however its path is spelled.
  std::vector<std::string> active_;
  std::string error_;
};

bool Reader::Read(const std::string &path, int depth,
                  const std::string &where) {
  std::string shown = Printable(path, std::string::npos);
  File f(std::fopen(path.c_str(), "rb"));
  if (f == nullptr) {
    std::string what = where.empty() ? shown : "include \"" + shown + "\"";
    return Fail(where, what + ": cannot be opened: " + SystemErrorText());
  }
  std::unique_ptr<char, FreeDeleter> real(platform::RealPath(path.c_str()));
  std::string identity = real != nullptr ? std::string(real.get()) : path;
  for (const std::string &open : active_) {
    if (open == identity) {
      return Fail(where,
                  "include cycle: \"" + shown + "\" is already being read");
    }
  }
  active_.push_back(identity);

  std::string line;
  bool has_nul = false;
  for (long number = 1;; ++number) {
    std::string here = shown + ":" + std::to_string(number) + ": ";
    switch (ReadLine(f.get(), &line, &has_nul)) {
      case Line::kEnd:
        active_.pop_back();
        return true;
      case Line::kError:
        return Fail(here, "cannot be read: " + SystemErrorText());
      case Line::kTooLong:
        return Fail(here, "line longer than " +
                              std::to_string(kBevMaxLineLength) + " bytes");
      case Line::kRead:
        break;
    }
    if (has_nul) return Fail(here, "NUL byte in line: not a text file");
    if (!Statement(path, line, depth, here)) return false;
  }
}

bool Reader::Statement(const std::string &path, std::string_view line,
                       int depth, const std::string &where) {
  std::string_view rest = Trim(line);
  if (rest.empty() || rest.front() == '#') return true;
  std::string_view keyword = NextWord(&rest);
  if (keyword == "library") return Library(path, rest, where);
  if (keyword == "include") {
    if (rest.empty()) return Fail(where, "include: missing file name");
    if (depth >= kBevMaxIncludeDepth) {
      return Fail(where, "includes nested more than " +
                             std::to_string(kBevMaxIncludeDepth) + " deep");
    }
    return Read(Resolve(path, rest), depth + 1, where);
  }
  return Fail(where, "unknown keyword \"" + Printable(keyword) +
                         "\" (expected \"library\" or \"include\")");
}

bool Reader::Library(const std::string &path, std::string_view rest,
                     const std::string &where) {
  std::string_view name = NextWord(&rest);
  if (name.empty()) return Fail(where, "library: missing library name");
  if (rest.empty()) {
    return Fail(where, "library " + Printable(name) + ": missing directory");
  }
  if (name.size() >= kRixMaxName) {
    return Fail(where, "library name longer than " +
                           std::to_string(kRixMaxName - 1) + " bytes");
  }
  // Names are kept in one spelling ("#3A" and "#3a" name the same library),
  // the spelling in which lookups arrive.
  char canonical[kRixMaxName];
  std::string written(name);
  if (rixMapper(rixLibraryUnixToIdent, rixIdentToLibraryUnix, written.c_str(),
                0, canonical) == 0) {
    return Fail(where, "library name \"" + Printable(name) +
                           "\" is not a legal LibraryUnix name");
  }
  std::string dir = Resolve(path, WithoutTrailingSeparators(rest));
  (*libraries_)[canonical] = std::move(dir);
  return true;
}

}  // namespace
}  // namespace tov::bev

int bevInit(const char *path, int, int, int, const char *) {
  tov::bev::Service &service = tov::bev::GetService();
  try {
    service.last_error.clear();
    if (path == nullptr || path[0] == '\0') {
      service.last_error = "no library-definition file given";
      return 1;
    }
    // Read into a table of its own: a rejected file leaves the earlier
    // definitions in force.
    tov::bev::Definitions libraries;
    tov::bev::Reader reader(&libraries);
    if (!reader.Read(path, 0, "")) {
      service.last_error = reader.error();
      return 1;
    }
    service.libraries.swap(libraries);
    return 0;
  } catch (...) {
    // Only memory can run out here; the short text needs no allocation.
    service.last_error.assign("out of memory");
    return 1;
  }
}

const char *bevLibraryAt(size_t index, const char **dir) {
  const tov::bev::Definitions &libraries = tov::bev::GetService().libraries;
  if (index >= libraries.size()) return nullptr;
  auto it = libraries.begin();
  std::advance(it, static_cast<std::ptrdiff_t>(index));
  if (dir != nullptr) *dir = it->second.c_str();
  return it->first.c_str();
}

int bevGetPath(int, int, const char *lib, const char *cell, const char *view,
               const char *file, char *out, int size) {
  if (lib == nullptr || lib[0] == '\0' || out == nullptr || size <= 0) {
    return kBevNoLibrary;
  }
  char canonical[kRixMaxName];
  if (rixMapper(rixLibraryUnixToIdent, rixIdentToLibraryUnix, lib, 0,
                canonical) == 0) {
    return kBevNoLibrary;
  }
  const tov::bev::Definitions &libraries = tov::bev::GetService().libraries;
  auto found = libraries.find(std::string_view(canonical));
  if (found == libraries.end()) return kBevNoLibrary;
  const std::string &dir = found->second;

  // Measure first, write after: nothing is written unless all of it fits.
  const char *parts[] = {cell, view, file};
  bool ends_with_sep = !dir.empty() && tov::platform::IsDirSep(dir.back());
  size_t length = dir.size();
  for (const char *part : parts) {
    if (part == nullptr || part[0] == '\0') continue;
    length += (ends_with_sep ? 0 : 1) + std::strlen(part);
    ends_with_sep = false;
  }
  if (length >= static_cast<size_t>(size)) return kBevTooLong;

  char *p = out;
  std::memcpy(p, dir.data(), dir.size());
  p += dir.size();
  ends_with_sep = !dir.empty() && tov::platform::IsDirSep(dir.back());
  for (const char *part : parts) {
    if (part == nullptr || part[0] == '\0') continue;
    if (!ends_with_sep) *p++ = tov::platform::kDirSep;
    size_t n = std::strlen(part);
    std::memcpy(p, part, n);
    p += n;
    ends_with_sep = false;
  }
  *p = '\0';
  // Directories may be written with either separator, on Windows, in the
  // definition file and in the file part; the path handed out has the
  // system's own throughout.
  murCanonicalizeDirSep(out);
  return 0;
}

const char *daxGetNameSpace(const char *libDir) {
  if (libDir == nullptr || libDir[0] == '\0') return nullptr;
  try {
    std::string path(libDir);
    if (!tov::platform::IsDirSep(path.back())) {
      path.push_back(tov::platform::kDirSep);
    }
    path += ".namespace";
    tov::bev::File f(std::fopen(path.c_str(), "rb"));
    if (f == nullptr) return nullptr;
    std::string line;
    bool has_nul = false;
    if (tov::bev::ReadLine(f.get(), &line, &has_nul) != tov::bev::Line::kRead ||
        has_nul) {
      return nullptr;
    }
    std::string_view name = tov::bev::Trim(line);
    if (name.empty() || name.size() > kBevMaxNameSpaceLength) return nullptr;
    char *kept = tov::bev::GetService().name_space;
    std::memcpy(kept, name.data(), name.size());
    kept[name.size()] = '\0';
    return kept;
  } catch (...) {
    return nullptr;
  }
}

void murCanonicalizeDirSep(char *path) {
  if (path == nullptr || tov::platform::kDirSep == '/') return;
  for (char *p = path; *p != '\0'; ++p) {
    if (*p == '/') *p = tov::platform::kDirSep;
  }
}

const char *bevErrorReason(void) {
  return tov::bev::GetService().last_error.c_str();
}
