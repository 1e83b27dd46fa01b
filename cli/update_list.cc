#include "update_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"
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

bool IsBlank(const std::string &line) {
  return line.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Reads every line of `path`, whatever its length; false when the file
// cannot be opened or read.
bool ReadLines(const char *path, std::vector<std::string> *lines) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "rb"));
  if (!f) return false;
  std::string line;
  char chunk[4096];
  while (std::fgets(chunk, sizeof chunk, f.get()) != nullptr) {
    line += chunk;
    if (!line.empty() && line.back() == '\n') {
      lines->push_back(std::move(line));
      line.clear();
    }
  }
  if (std::ferror(f.get())) return false;
  if (!line.empty()) lines->push_back(std::move(line));
  return true;
}

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
  // Quiet: the update of the line reports the same problems itself.
  struct Quiet {
    Quiet() : previous(tovUpdtrSetMinSeverity(3)) {}
    ~Quiet() { tovUpdtrSetMinSeverity(previous); }
    int previous;
  } quiet;
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

}  // namespace

bool UpdateListedFiles(const char *path, tovUpdtrRegexpList *list,
                       const Options &options, Summary *summary) {
  std::vector<std::string> lines;
  if (!ReadLines(path, &lines)) {
    std::fprintf(stderr, "tovupdtr: cannot read the update-file list %s: %s\n",
                 path, std::strerror(errno));
    return false;
  }
  int total = 0;
  for (const std::string &line : lines) total += IsBlank(line) ? 0 : 1;
  Progress progress(total, !options.quiet);
  int flags = (options.dry_run ? TOV_UPDATE_DRY_RUN : 0) |
              (options.node_by_node ? TOV_UPDATE_NODE_BY_NODE : 0) |
              (options.sync ? TOV_UPDATE_SYNC : 0) |
              (options.follow_links ? TOV_UPDATE_FOLLOW_LINKS : 0);
  DiffOptions diff_options;
  diff_options.colour = options.diff && StdoutTakesColour();
  // Each file is updated once: a second pass would apply the renames to
  // names the first pass wrote (with a to b and b to c, an a would end as
  // c).  The line number of the first line naming each file.
  std::map<std::string, size_t> updated;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string &line = lines[i];
    if (IsBlank(line)) continue;
    ++summary->listed;
    progress.Step(summary->listed);
    std::string reference = Reference(line);
    int code = static_cast<int>(i + 1);
    std::string file;
    const std::string key = FileKey(reference, &file);
    if (!key.empty()) {
      auto first = updated.emplace(key, i + 1);
      if (!first.second) {
        progress.Clear();
        // A note, not an error: -quiet leaves it out.
        if (!options.quiet) {
          const std::string real = sys::RealPath(file.c_str());
          std::fprintf(stderr,
                       "tovupdtr: line %d names the file of line %zu again "
                       "(%s): not updated twice\n",
                       code, first.first->second,
                       real.empty() ? file.c_str() : real.c_str());
        }
        ++summary->unchanged;
        continue;
      }
    }
    char *file_path = nullptr;
    char *text = nullptr;
    size_t length = 0;
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
          std::fprintf(stderr, "tovupdtr: cannot read %s for its diff: %s\n",
                       file_path, std::strerror(errno));
          ++summary->failed;
          continue;
        }
        std::string diff = UnifiedDiff(old_text, std::string_view(text, length),
                                       file_path, file_path, diff_options);
        std::fwrite(diff.data(), 1, diff.size(), stdout);
      }
      ++summary->changed;
      // A file replaced by a new one has a new identity: later lines that
      // name it must still find it.
      if (!options.dry_run && !key.empty()) {
        const std::string now = sys::FileIdentity(file.c_str());
        if (!now.empty()) updated.emplace("file:" + now, i + 1);
      }
    } else if (result == TOV_UPDATE_UNCHANGED) {
      ++summary->unchanged;
    } else {
      ++summary->failed;
    }
  }
  progress.Clear();
  return true;
}

}  // namespace tov::cli
