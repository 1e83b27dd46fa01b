#include "library_walk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <system_error>

#include "console.h"
#include "tovUpdtr.h"

namespace tov::cli {
namespace fs = std::filesystem;
namespace {

// How much of a file is looked at to tell text from binary data.
constexpr size_t kFirstBlock = 4096;

struct Freer {
  void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, Freer>;

// Why the file at `path` is not updated, from its first block: "" for a
// text or a layout the library updates, a reason for a format it does not
// update yet or for a file with a NUL byte there, which looks binary.
std::string NotUpdatable(const fs::path &path) {
  std::unique_ptr<FILE, int (*)(FILE *)> f(
      std::fopen(path.string().c_str(), "rb"), &std::fclose);
  if (f == nullptr) return "";  // the update says why it cannot be read
  char block[kFirstBlock];
  const size_t n = std::fread(block, 1, sizeof block, f.get());
  switch (tovUpdtrFileFormat(block, n)) {
    case TOV_FORMAT_GDSII:
      return "";
    case TOV_FORMAT_OASIS:
      return "is an OASIS layout, a format not supported yet";
    case TOV_FORMAT_COMPRESSED:
      return "is a compressed stream, a format not supported yet";
    default:
      break;
  }
  if (std::find(block, block + n, '\0') != block + n) {
    return "looks binary (a NUL byte in its first 4096 bytes)";
  }
  return "";
}

// Adds the files under `dir` to *paths, names in byte order.
void Walk(const fs::path &dir, bool top, std::vector<fs::path> *paths,
          std::error_code *error) {
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(dir, *error), end; !*error && it != end;
       it.increment(*error)) {
    entries.push_back(*it);
  }
  if (*error) return;
  std::sort(entries.begin(), entries.end(),
            [](const fs::directory_entry &a, const fs::directory_entry &b) {
              return a.path().filename().string() <
                     b.path().filename().string();
            });
  for (const fs::directory_entry &entry : entries) {
    const std::string name = entry.path().filename().string();
    std::error_code ec;
    const fs::file_status link = entry.symlink_status(ec);
    const fs::file_status target = entry.status(ec);
    // A link to a directory is not walked: it may lead out of the library
    // or back into it.
    if (fs::is_directory(target)) {
      if (fs::is_symlink(link) || name[0] == '.') continue;
      Walk(entry.path(), false, paths, error);
      if (*error) return;
      continue;
    }
    if (!fs::is_regular_file(target) && !fs::is_symlink(link)) continue;
    if ((top && name == ".namespace") || IsUpdatersFile(name)) continue;
    paths->push_back(entry.path());
  }
}

// The library of a reference: what comes before its first '.', ':' or '/'.
std::string LibraryOf(const std::string &reference) {
  return reference.substr(0, reference.find_first_of(".:/"));
}

std::string WhyNoReference(int why) {
  switch (why) {
    case TOV_REF_NOT_FOUND:
      return "it does not exist";
    case TOV_REF_NO_LIBRARY:
      return "no library directory of the definitions holds it";
    default:
      return "its names cannot be written as a reference";
  }
}

}  // namespace

bool IsUpdatersFile(const std::string &name) {
  if (name.empty() || name[0] != '.') return false;
  auto ends_with = [&](const std::string &end) {
    return name.size() > end.size() &&
           name.compare(name.size() - end.size(), end.size(), end) == 0;
  };
  return ends_with(".tovlock") || ends_with(".tovjournal") ||
         name.find(".tovnew") != std::string::npos;
}

bool WalkLibraries(const Options &options, std::vector<WalkedFile> *files) {
  std::vector<std::string> libraries = options.update_libraries;
  if (options.update_all_libraries) {
    char name[1024];
    for (int i = 0; tovUpdtrLibraryName(i, name, sizeof name) == 1; ++i) {
      libraries.push_back(name);
    }
  }
  std::vector<std::string> walked;
  for (const std::string &lib : libraries) {
    if (std::find(walked.begin(), walked.end(), lib) != walked.end()) continue;
    walked.push_back(lib);
    Quiet quiet;
    CString dir(lcvGetPath(lib.c_str(), "", "", ""));
    if (dir == nullptr) {
      std::fprintf(stderr,
                   "tovupdtr: the library %s is not in the library "
                   "definitions\n",
                   lib.c_str());
      return false;
    }
    std::vector<fs::path> paths;
    std::error_code error;
    Walk(fs::path(dir.get()), true, &paths, &error);
    if (error) {
      std::fprintf(stderr,
                   "tovupdtr: the directory %s of the library %s cannot be "
                   "read: %s\n",
                   dir.get(), lib.c_str(), error.message().c_str());
      return false;
    }
    for (const fs::path &path : paths) {
      WalkedFile file;
      file.path = path.string();
      int why = 0;
      CString reference(tovUpdtrReferenceOf(file.path.c_str(), &why));
      if (reference != nullptr) {
        file.reference = reference.get();
        // A library defined inside this one's directory has its files
        // walked when it is named itself.
        if (LibraryOf(file.reference) != lib) continue;
        file.note = NotUpdatable(path);
      } else {
        file.note = "cannot be named by a reference: " + WhyNoReference(why);
      }
      files->push_back(std::move(file));
    }
  }
  return true;
}

bool PathOfListLine(const std::string &word, const std::string &base,
                    std::string *reference, std::string *fault) {
  reference->clear();
  fault->clear();
  if (word.empty()) return false;
  {
    // A word whose library is defined is a reference, whatever else it
    // could be.
    Quiet quiet;
    CString dir(lcvGetPath(LibraryOf(word).c_str(), "", "", ""));
    if (dir != nullptr) return false;
  }
  fs::path path(word);
  std::error_code ec;
  if (!path.is_absolute()) {
    path = base.empty() ? path : fs::path(base) / path;
    if (!fs::exists(fs::symlink_status(path, ec))) return false;
  }
  int why = 0;
  CString found(tovUpdtrReferenceOf(path.string().c_str(), &why));
  if (found == nullptr) {
    *fault = "the file " + path.string() +
             " cannot be updated: " + WhyNoReference(why);
    return true;
  }
  *reference = found.get();
  return true;
}

}  // namespace tov::cli
