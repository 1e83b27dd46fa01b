#include "update_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
#include "library_walk.h"
#include "system.h"
#include "unified_diff.h"

namespace tov::cli {
namespace {

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// The whole content of `path`, every byte as it is; false when it cannot be
// read.
bool ReadWhole(const char *path, std::string *content) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
  if (!f) return false;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    content->append(chunk, n);
  }
  return std::ferror(f.get()) == 0;
}

// What -diff shows of a file's change: for a layout, one line per string
// that changes, each naming the file; for a text, a unified diff.
std::string DiffOf(const std::string &old_text, std::string_view new_text,
                   const char *path, const DiffOptions &options) {
  if (tovUpdtrFileFormat(old_text.data(), old_text.size()) ==
      TOV_FORMAT_GDSII) {
    CString lines(tovUpdtrDescribeLayoutChange(
        old_text.data(), old_text.size(), new_text.data(), new_text.size()));
    if (lines != nullptr) {
      std::string out;
      for (const char *line = lines.get(); *line != '\0';) {
        const char *end = std::strchr(line, '\n');
        out += path;
        out += ": ";
        out.append(line, static_cast<size_t>(end - line) + 1);
        line = end + 1;
      }
      return out;
    }
  }
  return UnifiedDiff(old_text, new_text, path, path, options);
}

bool IsBlank(const std::string &line) {
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Reads the lines of `f` up to its end, each ended by '\n' or by the end of
// the file, and hands each to take(line), which may move it away: of a line
// longer than kMaxListLine only the first kMaxListLine + 1 bytes are kept,
// and a NUL byte is marked, never taken for an end.  False on a read error.
template <typename Take>
bool ReadLines(FILE *f, const Take &take) {
  ListLine line;
  line.number = 1;
  // The line object serves the next line, its memory kept when it was not
  // taken away.
  const auto next = [&line] {
    const size_t number = line.number + 1;
    line.text.clear();
    line.too_long = false;
    line.has_nul = false;
    line.fault.clear();
    line.skip = false;
    line.path.clear();
    line.number = number;
  };
  bool open = false;  // bytes of the current line were read
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
    // A chunk without NUL bytes has no line to mark.
    const bool chunk_has_nul = std::memchr(chunk, '\0', n) != nullptr;
    size_t at = 0;
    while (at < n) {
      const char *end =
          static_cast<const char *>(std::memchr(chunk + at, '\n', n - at));
      const size_t stop = end != nullptr ? static_cast<size_t>(end - chunk) : n;
      const size_t length = stop - at;
      if (chunk_has_nul && std::memchr(chunk + at, '\0', length) != nullptr) {
        line.has_nul = true;
      }
      const size_t room = kMaxListLine + 1 - line.text.size();
      line.text.append(chunk + at, length < room ? length : room);
      if (line.text.size() > kMaxListLine) line.too_long = true;
      open = true;
      at = stop;
      if (end == nullptr) break;
      ++at;
      const size_t number = line.number;
      take(line);
      line.number = number;
      next();
      open = false;
    }
  }
  if (std::ferror(f)) return false;
  if (open) take(line);
  return true;
}

// Opens and reads the list `path` of the kind `what` ("-": the standard
// input when `from_stdin`), handing each line to take(line); false after a
// message when it is not a regular file or cannot be read.
template <typename Take>
bool ReadList(const char *what, const char *path, bool from_stdin,
              const Take &take) {
  if (from_stdin) {
    sys::SetBinaryMode(stdin);
    if (ReadLines(stdin, take)) return true;
  } else {
    const sys::FileKind kind = sys::KindOf(path);
    if (kind == sys::FileKind::kOther) {
      std::fprintf(stderr, "tovupdtr: the %s %s is not a regular file\n", what,
                   path);
      return false;
    }
    if (kind == sys::FileKind::kRegular) {
      std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
      if (f && ReadLines(f.get(), take)) return true;
    }
  }
  std::fprintf(stderr, "tovupdtr: cannot read the %s %s: %s\n", what,
               from_stdin ? "from the standard input" : path,
               std::strerror(errno));
  return false;
}

// The first `most` words of a line, split at blanks, tabs and carriage
// returns, as views of it; their number, at most `most`.  A loop of its
// own: find_first_of looks each byte up in the set with a call, and a list
// may have a million lines.
size_t Words(const std::string &line, std::string_view *words, size_t most) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  const size_t n = line.size();
  size_t count = 0;
  size_t at = 0;
  while (count < most) {
    while (at < n && blank(line[at])) ++at;
    if (at == n) break;
    size_t end = at;
    while (end < n && !blank(line[end])) ++end;
    words[count++] = std::string_view(line).substr(at, end - at);
    at = end;
  }
  return count;
}

// Why the from-to line `line` cannot be loaded by its shape; "" when it
// can be handed to the library.  Nothing is allocated for a good line: a
// list may have a million.
std::string FromToLineFault(const ListLine &line) {
  if (line.has_nul) return "a NUL byte: the line cannot be read";
  if (line.too_long) {
    return "longer than " + std::to_string(kMaxListLine) + " bytes";
  }
  std::string_view words[2];
  const size_t count = Words(line.text, words, 2);
  if (count == 0) return "a blank line: the from-to list has no blank lines";
  if (words[0][0] == '#') return "a comment: the from-to list has no comments";
  if (count == 1) {
    return "one reference (" + std::string(words[0]) +
           "): a line needs an old and a new reference";
  }
  if (words[0] == words[1]) {
    return "the old and the new reference are the same (" +
           std::string(words[0]) + "): the line changes nothing";
  }
  return "";
}

// A report field: the tabs and line ends of `text` become blanks, so that
// each record stays one line of five fields; cut at a NUL byte.
std::string Field(const std::string &text) {
  std::string field = text.substr(0, text.find('\0'));
  for (char &c : field) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return field;
}

// The report that -report asks for: one record per listed line.
class Report {
 public:
  explicit Report(FILE *f) : f_(f) {}
  // reference, path, status, occurrences replaced, reason
  void Add(const std::string &reference, const std::string &path,
           const char *status, const char *count, const std::string &reason) {
    if (!f_) return;
    const std::string record = Field(reference) + '\t' + Field(path) + '\t' +
                               status + '\t' + count + '\t' + Field(reason) +
                               '\n';
    std::fwrite(record.data(), 1, record.size(), f_.get());
  }
  // Closes the file; false when something could not be written.
  bool Finish() {
    if (!f_) return true;
    const bool ok = std::ferror(f_.get()) == 0;
    return std::fclose(f_.release()) == 0 && ok;
  }

 private:
  std::unique_ptr<FILE, FileCloser> f_;
};

// The reference of a list line, for reports: its first token.
std::string Reference(const std::string &line) {
  size_t start = line.find_first_not_of(" \t\r\n");
  size_t end = line.find_first_of(" \t\r\n", start);
  return line.substr(start, end == std::string::npos ? end : end - start);
}

// The file that a list line names, as the library resolves it, by its
// identity, so that two spellings or names of one file give one key; ""
// when the line does not resolve (the library then reports why).  *path
// gets the file's path.
std::string FileKey(const std::string &reference, std::string *path_out) {
  Quiet quiet;
  // Each component buffer as long as the reference: always enough.
  std::vector<char> lib(reference.size() + 1), cell(reference.size() + 1),
      view(reference.size() + 1), file(reference.size() + 1);
  if (reference.empty() ||
      tovParseLCV(reference.c_str(), lib.data(), cell.data(), view.data(),
                  file.data()) != 1) {
    return "";
  }
  CString path(lcvGetPath(lib.data(), cell.data(), view.data(), file.data()));
  if (path == nullptr) return "";
  *path_out = path.get();
  // One stat instead of a walk through every directory of the path; a file
  // that cannot be reached keeps its path as its key.
  const std::string identity = sys::FileIdentity(path.get());
  return identity.empty() ? "path:" + std::string(path.get())
                          : "file:" + identity;
}

// Why the files of library `lib` cannot be reached, or "" when its
// directory is there: a library the definitions do not hold, or one whose
// directory does not exist.
std::string LibraryFault(const std::string &lib) {
  Quiet quiet;
  CString dir(lcvGetPath(lib.c_str(), "", "", ""));
  if (dir == nullptr) {
    return "the library " + lib + " is not in the library definitions";
  }
  if (sys::FileIdentity(dir.get()).empty()) {
    return "the directory " + std::string(dir.get()) + " of the library " +
           lib + " does not exist";
  }
  return "";
}

// The library of a list line's reference, or "" when it does not parse.
std::string LibraryOfLine(const std::string &reference) {
  Quiet quiet;
  std::vector<char> lib(reference.size() + 1), other(reference.size() + 1);
  if (reference.empty() ||
      tovParseLCV(reference.c_str(), lib.data(), other.data(), other.data(),
                  other.data()) != 1) {
    return "";
  }
  return lib.data();
}

}  // namespace

void WarnAboutNewLibraries(const tovUpdtrRegexpList *list,
                           const char *definitions) {
  std::set<std::string> warned;
  for (const tovUpdtrRegexpList *node = list; node != nullptr;
       node = node->next) {
    const tovUpdtrHashElement *e = node->element;
    if (e == nullptr || e->toLib == nullptr || e->toLib[0] == '\0' ||
        e->fromLib == nullptr || e->fromLib[0] == '\0' ||
        !warned.insert(e->toLib).second) {
      continue;
    }
    Quiet quiet;
    CString dir(lcvGetPath(e->toLib, "", "", ""));
    if (dir == nullptr) {
      std::fprintf(stderr,
                   "tovupdtr: warning: the new library %s is not in the "
                   "library definitions %s\n",
                   e->toLib, definitions);
    }
  }
}

bool ReadUpdateList(const char *path, bool from_stdin,
                    std::vector<ListLine> *lines) {
  if (!ReadList("update-file list", path, from_stdin, [lines](ListLine &line) {
        lines->push_back(std::move(line));
      })) {
    return false;
  }
  for (const ListLine &line : *lines) {
    if (line.has_nul || !IsBlank(line.text)) return true;
  }
  std::fprintf(stderr, "tovupdtr: the update-file list %s is empty\n",
               from_stdin ? "from the standard input" : path);
  return false;
}

void ResolvePaths(const std::string &base, std::vector<ListLine> *lines) {
  for (ListLine &line : *lines) {
    if (line.has_nul || line.too_long || IsBlank(line.text)) continue;
    const std::string word = Reference(line.text);
    std::string reference, fault;
    if (!PathOfListLine(word, base, &reference, &fault)) continue;
    if (!fault.empty()) {
      line.fault = fault;
      continue;
    }
    // The rest of the line stays as it was.
    const size_t at = line.text.find(word);
    line.text.replace(at, word.size(), reference);
  }
}

bool AddLibraryFiles(const Options &options, std::vector<ListLine> *lines) {
  std::vector<WalkedFile> files;
  if (!WalkLibraries(options, &files)) return false;
  for (WalkedFile &file : files) {
    ListLine line;
    line.text = file.reference.empty() ? file.path : file.reference;
    line.fault = std::move(file.note);
    line.skip = !file.reference.empty() && !line.fault.empty();
    line.path = std::move(file.path);
    lines->push_back(std::move(line));
  }
  return true;
}

bool CheckFromToList(const char *path) {
  // The lines are checked as they are read, and none is kept: a list may
  // have a million.  The first fault is told once the whole list has been
  // read, so that a list that cannot be read says so first.
  size_t lines = 0;
  size_t fault_line = 0;
  std::string fault;
  if (!ReadList("from-to list", path, false, [&](const ListLine &line) {
        ++lines;
        if (fault.empty()) {
          fault = FromToLineFault(line);
          fault_line = line.number;
        }
      })) {
    return false;
  }
  if (lines == 0) {
    std::fprintf(stderr, "tovupdtr: the from-to list %s is empty\n", path);
    return false;
  }
  if (!fault.empty()) {
    std::fprintf(stderr, "tovupdtr: %s:%zu: %s\n", path, fault_line,
                 fault.c_str());
    return false;
  }
  return true;
}

bool UpdateListedFiles(const std::vector<ListLine> &lines,
                       tovUpdtrRegexpList *list, const Options &options,
                       Summary *summary) {
  Report report(nullptr);
  if (!options.report.empty()) {
    FILE *f = std::fopen(options.report.c_str(), "wb");
    if (f == nullptr) {
      std::fprintf(stderr, "tovupdtr: cannot write the report %s: %s\n",
                   options.report.c_str(), std::strerror(errno));
      return false;
    }
    report = Report(f);
  }
  int total = 0;
  for (const ListLine &line : lines) {
    total += line.has_nul || !IsBlank(line.text) ? 1 : 0;
  }
  Progress progress(total, !options.quiet);
  int flags = (options.dry_run ? TOV_UPDATE_DRY_RUN : 0) |
              (options.node_by_node ? TOV_UPDATE_NODE_BY_NODE : 0) |
              (options.simultaneous ? TOV_UPDATE_SIMULTANEOUS : 0) |
              (options.sync ? TOV_UPDATE_SYNC : 0) |
              (options.follow_links ? TOV_UPDATE_FOLLOW_LINKS : 0) |
              TOV_UPDATE_SCALING(options.scaling_factor);
  const char *changed_status = options.dry_run ? "would-change" : "updated";
  DiffOptions diff_options;
  diff_options.colour = options.diff && StdoutTakesColour();
  // Each file is updated once: a second pass would apply the renames to
  // names the first pass wrote (with a to b and b to c, an a would end as
  // c).  The line number of the first line naming each file; a line whose
  // update failed gives its file back, which it left as it was.
  std::map<std::string, size_t> updated;
  // A library whose files cannot be reached is said once, at the start,
  // not once for each of its files; its lines then fail without a word.
  std::map<std::string, std::string> library_faults;
  for (const ListLine &list_line : lines) {
    if (list_line.has_nul || list_line.too_long || IsBlank(list_line.text)) {
      continue;
    }
    const std::string lib = LibraryOfLine(Reference(list_line.text));
    if (lib.empty() || library_faults.count(lib) != 0) continue;
    const std::string fault = LibraryFault(lib);
    library_faults[lib] = fault;
    if (!fault.empty()) {
      std::fprintf(stderr, "tovupdtr: %s: its listed files are not updated\n",
                   fault.c_str());
    }
  }
  for (const ListLine &list_line : lines) {
    if (!list_line.has_nul && IsBlank(list_line.text)) continue;
    ++summary->listed;
    progress.Step(summary->listed);
    const size_t number = list_line.number;
    const int code = static_cast<int>(number);
    if (list_line.skip) {
      report.Add(list_line.text, list_line.path, "skipped", "0",
                 list_line.fault);
      ++summary->skipped;
      continue;
    }
    if (!list_line.fault.empty()) {
      progress.Clear();
      if (number != 0) {
        std::fprintf(stderr,
                     "tovupdtr: line %zu of the update-file list: %s: not "
                     "used\n",
                     number, list_line.fault.c_str());
      } else {
        std::fprintf(stderr, "tovupdtr: %s %s: not updated\n",
                     list_line.text.c_str(), list_line.fault.c_str());
      }
      report.Add(Reference(list_line.text), "", "failed", "0", list_line.fault);
      ++summary->failed;
      continue;
    }
    if (list_line.has_nul || list_line.too_long) {
      // Never handed to the library: a NUL would end the reference where
      // the line does not, and a line this long is no list line.
      const std::string why =
          list_line.has_nul
              ? std::string("holds a NUL byte")
              : "is longer than " + std::to_string(kMaxListLine) + " bytes";
      progress.Clear();
      std::fprintf(stderr,
                   "tovupdtr: line %zu of the update-file list %s: not used\n",
                   number, why.c_str());
      report.Add(Reference(list_line.text), "", "failed", "0",
                 "line " + std::to_string(number) + " " + why);
      ++summary->failed;
      continue;
    }
    std::string line = list_line.text;
    std::string reference = Reference(line);
    const auto fault = library_faults.find(LibraryOfLine(reference));
    if (fault != library_faults.end() && !fault->second.empty()) {
      report.Add(reference, "", "failed", "0", fault->second);
      ++summary->failed;
      continue;
    }
    std::string file;
    const std::string key = FileKey(reference, &file);
    bool claimed = false;
    if (!key.empty()) {
      auto first = updated.emplace(key, number);
      claimed = first.second;
      if (!claimed) {
        progress.Clear();
        const std::string real = sys::RealPath(file.c_str());
        const std::string again = "names the file of line " +
                                  std::to_string(first.first->second) +
                                  " again";
        // A note, not an error: -quiet leaves it out.
        if (!options.quiet) {
          const std::string which =
              number != 0 ? "line " + std::to_string(number) : reference;
          std::fprintf(stderr, "tovupdtr: %s %s (%s): not updated twice\n",
                       which.c_str(), again.c_str(),
                       real.empty() ? file.c_str() : real.c_str());
        }
        report.Add(reference, file, "skipped", "0", again);
        ++summary->unchanged;
        continue;
      }
    }
    char *file_path = nullptr;
    char *text = nullptr;
    size_t length = 0;
    tovUpdtrErrBuf[0] = '\0';
    int result =
        options.diff
            ? tovUpdtrRegexpUpdateFileText(line.data(), code, list,
                                           options.name_space.c_str(), flags,
                                           &file_path, &text, &length)
            : tovUpdtrRegexpUpdateFileEx(line.data(), code, list,
                                         options.name_space.c_str(), flags);
    CString path_owned(file_path), text_owned(text);
    if (result == TOV_UPDATE_CHANGED) {
      progress.Clear();
      if (options.dry_run && !options.quiet) {
        std::printf("would change: %s\n", reference.c_str());
      }
      if (options.diff) {
        std::string old_text;
        if (!ReadWhole(file_path, &old_text)) {
          const std::string why = std::strerror(errno);
          std::fprintf(stderr, "tovupdtr: cannot read %s for its diff: %s\n",
                       file_path, why.c_str());
          report.Add(reference, file, "failed", "0",
                     "cannot read the file for its diff: " + why);
          ++summary->failed;
          continue;
        }
        const std::string diff = DiffOf(
            old_text, std::string_view(text, length), file_path, diff_options);
        std::fwrite(diff.data(), 1, diff.size(), stdout);
      }
      ++summary->changed;
      report.Add(reference, file, changed_status,
                 std::to_string(tovUpdtrReplacedCount()).c_str(), "");
      // A file replaced by a new one has a new identity: later lines that
      // name it must still find it.
      if (!options.dry_run && !key.empty()) {
        const std::string now = sys::FileIdentity(file.c_str());
        if (!now.empty()) updated.emplace("file:" + now, number);
      }
    } else if (result == TOV_UPDATE_UNCHANGED) {
      report.Add(reference, file, "unchanged", "0", "");
      ++summary->unchanged;
    } else {
      if (claimed) updated.erase(key);
      report.Add(reference, file, "failed", "0",
                 tovUpdtrErrBuf[0] != '\0'
                     ? std::string(tovUpdtrErrBuf)
                     : std::string("the library gave no reason"));
      ++summary->failed;
    }
  }
  progress.Clear();
  summary->report_written = report.Finish();
  if (!summary->report_written) {
    std::fprintf(stderr, "tovupdtr: cannot write the report %s\n",
                 options.report.c_str());
  }
  return true;
}

}  // namespace tov::cli
