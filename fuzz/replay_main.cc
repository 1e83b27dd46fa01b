// Runs a fuzz target's entry point once on each file named on the command
// line, or on each regular file of each directory named, in name order.  The
// ctest replay of the committed corpus uses it, so that every build, not only
// a clang one with libFuzzer, keeps the corpus passing.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
    __attribute__((weak));

namespace {

struct DirCloser {
  void operator()(DIR *d) const { closedir(d); }
};
struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};

bool IsDirectory(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Appends the regular files of `dir` to `out`; false when it cannot be read.
bool ListDirectory(const std::string &dir, std::vector<std::string> *out) {
  std::unique_ptr<DIR, DirCloser> d(opendir(dir.c_str()));
  if (!d) return false;
  std::vector<std::string> names;
  while (struct dirent *e = readdir(d.get())) {
    std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      names.push_back(path);
  }
  std::sort(names.begin(), names.end());
  out->insert(out->end(), names.begin(), names.end());
  return true;
}

bool ReadWhole(const std::string &path, std::vector<uint8_t> *out) {
  std::unique_ptr<FILE, FileCloser> f(fopen(path.c_str(), "rb"));
  if (!f) return false;
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f.get())) > 0)
    out->insert(out->end(), chunk, chunk + n);
  return !ferror(f.get());
}

}  // namespace

int main(int argc, char **argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    if (IsDirectory(argv[i])) {
      if (!ListDirectory(argv[i], &inputs)) {
        fprintf(stderr, "replay: cannot read directory %s\n", argv[i]);
        return 1;
      }
    } else {
      inputs.push_back(argv[i]);
    }
  }
  if (inputs.empty()) {
    fprintf(stderr, "replay: no inputs\n");
    return 1;
  }
  for (const std::string &path : inputs) {
    std::vector<uint8_t> data;
    if (!ReadWhole(path, &data)) {
      fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      return 1;
    }
    // A copy of exactly `size` bytes, so that a read past the input shows
    // under AddressSanitizer as it would under libFuzzer.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size()]);
    std::copy(data.begin(), data.end(), exact.get());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : exact.get(), data.size());
  }
  printf("replay: %zu inputs\n", inputs.size());
  return 0;
}
