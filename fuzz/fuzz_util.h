// Helpers of the fuzz targets: a scratch directory for the inputs that the
// library reads from files, and a check that stops the run on a broken
// promise (libFuzzer then keeps the input that broke it).
#ifndef TOVUPDTR_FUZZ_FUZZ_UTIL_H_
#define TOVUPDTR_FUZZ_FUZZ_UTIL_H_

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "services/regex/mur_regexp.h"
#include "tovUpdtr.h"
#include "update/update_plan.h"

namespace tov::fuzz {

// Stops the run when `condition` is false, naming the broken promise.
#define TOV_FUZZ_CHECK(condition)                                           \
  do {                                                                      \
    if (!(condition)) {                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                   #condition);                                             \
      std::abort();                                                         \
    }                                                                       \
  } while (0)

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};

// A directory made once per process under $TMPDIR (or /tmp) and removed at
// exit, with its files.
class Scratch {
 public:
  static Scratch &Get() {
    static Scratch *scratch = new Scratch();
    return *scratch;
  }

  const std::string &dir() const { return dir_; }
  std::string Path(const std::string &name) const { return dir_ + "/" + name; }

  // Writes `size` bytes to `name` (replacing it) and returns its path.
  std::string Write(const std::string &name, const void *data,
                    size_t size) const {
    const std::string path = Path(name);
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    TOV_FUZZ_CHECK(f != nullptr);
    TOV_FUZZ_CHECK(size == 0 || std::fwrite(data, size, 1, f.get()) == 1);
    return path;
  }
  std::string Write(const std::string &name, const std::string &text) const {
    return Write(name, text.data(), text.size());
  }

  // The whole content of `path`.
  static std::string Read(const std::string &path) {
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
    TOV_FUZZ_CHECK(f != nullptr);
    std::string content;
    char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
      content.append(chunk, n);
    }
    return content;
  }

  // The names in `dir`, "." and ".." left out.
  static std::vector<std::string> Names(const std::string &dir) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
    TOV_FUZZ_CHECK(d != nullptr);
    while (struct dirent *e = readdir(d.get())) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    return names;
  }

 private:
  Scratch() {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr ? tmp : "/tmp") + "/tov-fuzz-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    TOV_FUZZ_CHECK(mkdtemp(buf.data()) != nullptr);
    dir_ = buf.data();
    static std::string *to_remove = new std::string(dir_);
    std::atexit([] { RemoveTree(*to_remove); });
  }

  static void RemoveTree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
      chmod(path.c_str(), 0700);
      std::vector<std::string> names;
      if (std::unique_ptr<DIR, DirCloser> d{opendir(path.c_str())}) {
        while (struct dirent *e = readdir(d.get())) names.push_back(e->d_name);
      }
      for (const std::string &name : names) {
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      rmdir(path.c_str());
    } else {
      unlink(path.c_str());
    }
  }

  std::string dir_;
};

// The view directory of a one-library tree (lib1/cell/view), made and read
// by the library once per process.
inline const std::string &ViewDir() {
  static std::string *dir = [] {
    Scratch &s = Scratch::Get();
    const std::string defs =
        s.Write("lib.defs", std::string("library lib1 lib1\n"));
    for (const char *d : {"lib1", "lib1/cell", "lib1/cell/view"}) {
      mkdir(s.Path(d).c_str(), 0755);
    }
    TOV_FUZZ_CHECK(tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT") == 1);
    return new std::string(s.Path("lib1/cell/view"));
  }();
  return *dir;
}

}  // namespace tov::fuzz

#endif  // TOVUPDTR_FUZZ_FUZZ_UTIL_H_
