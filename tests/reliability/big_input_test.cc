// Big inputs: a from-to list of 1,000,000 lines and a file of 1 GB.  They
// take tens of seconds and gigabytes, so ctest runs them only in a build
// configured with -DTOVUPDTR_BIG_TESTS=ON; the program can also be run by
// hand (docs/reliability.md).
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "support/reliability_util.h"
#include "support/test_support.h"
#include "support/update_fixture.h"
#include "tovUpdtr.h"

namespace {

using tov::test::DesignTree;
using tov::test::Outcome;
using tov::test::ReadFile;
using tov::test::Update;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Bytes free for this user on the file system of `path`.
unsigned long long FreeBytes(const std::string &path) {
  struct statvfs fs = {};
  if (statvfs(path.c_str(), &fs) != 0) return 0;
  return static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
}

unsigned long long FreeMemory() {
  return static_cast<unsigned long long>(sysconf(_SC_AVPHYS_PAGES)) *
         static_cast<unsigned long long>(sysconf(_SC_PAGESIZE));
}

constexpr int kLines = 1000000;

TEST(BigInput, MillionLineFromToList) {
  DesignTree tree;
  // Every line renames one library: a million atoms.
  const std::string list_path = tree.dir().Path("from_to.txt");
  {
    File f(std::fopen(list_path.c_str(), "w"));
    ASSERT_NE(f, nullptr);
    for (int i = 0; i < kLines; ++i) {
      std::fprintf(f.get(), "lib%d/. new%d/.\r\n", i, i);
    }
  }
  int kind = 0;
  const std::string err = tov::test::CaptureStderr([&] {
    kind = tovProcessFromToFileEx(list_path.c_str(), 4, "LibraryNT", 0);
  });
  ASSERT_EQ(kind, LCV_LIB_CHANGED) << err;
  int count = 0;
  ASSERT_NE(tovUpdtrHashStartGen(), nullptr);
  while (tovUpdtrHashNext() != nullptr) ++count;
  EXPECT_EQ(count, kLines);

  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  ASSERT_NE(list, nullptr);
  // Names in files are matched as written, whatever the mapping's case mode.
  tree.WriteFile("f.txt", "lib0 lib999999 lib500000x LIB77 lib1000000\n");
  Outcome o = Update(DesignTree::Reference("f.txt"), list);
  EXPECT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;
  EXPECT_EQ(ReadFile(tree.PathOf("f.txt")),
            "new0 new999999 lib500000x LIB77 lib1000000\n");
}

constexpr unsigned long long kGigabyte = 1ull << 30;
const char kLine[] = "lib1 cell lib10 (lib1)\n";             // 23 bytes
const char kNewLine[] = "library1 cell lib10 (library1)\n";  // 31 bytes

TEST(BigInput, OneGigabyteFile) {
  if (tov::test::UnderAddressSanitizer()) {
    GTEST_SKIP() << "a 1 GB file is not updated under AddressSanitizer";
  }
  DesignTree tree;
  const unsigned long long lines = kGigabyte / (sizeof kLine - 1) + 1;
  const unsigned long long size = lines * (sizeof kLine - 1);
  const unsigned long long new_size = lines * (sizeof kNewLine - 1);
  // The file, its new content beside it, and the two work buffers.
  if (FreeBytes(tree.dir().path()) < size + new_size + kGigabyte / 4) {
    GTEST_SKIP() << "not enough room in " << tree.dir().path() << " for a "
                 << size << "-byte file and its new content";
  }
  if (FreeMemory() < 2 * (size + new_size)) {
    GTEST_SKIP() << "not enough free memory to update a " << size
                 << "-byte file";
  }
  const std::string path = tree.PathOf("big.txt");
  {
    File f(std::fopen(path.c_str(), "wb"));
    ASSERT_NE(f, nullptr);
    std::string chunk;
    for (int i = 0; i < 65536; ++i) chunk += kLine;
    unsigned long long left = lines;
    while (left > 0) {
      const unsigned long long n = left < 65536 ? left : 65536;
      ASSERT_EQ(std::fwrite(chunk.data(), (sizeof kLine - 1) * n, 1, f.get()),
                1u);
      left -= n;
    }
  }
  tov::test::LoadMapping({tov::test::LibRename("lib1", "library1")});
  tovUpdtrRegexpList *list = tovUpdtrGenRegexpList(0, "LibraryNT");
  Outcome o = Update(DesignTree::Reference("big.txt"), list);
  ASSERT_EQ(o.result, TOV_UPDATE_CHANGED) << o.err;

  File f(std::fopen(path.c_str(), "rb"));
  ASSERT_NE(f, nullptr);
  std::string expected;
  for (int i = 0; i < 65536; ++i) expected += kNewLine;
  std::string got(expected.size(), '\0');
  unsigned long long read_total = 0;
  for (;;) {
    const size_t n = std::fread(&got[0], 1, got.size(), f.get());
    if (n == 0) break;
    ASSERT_EQ(std::memcmp(got.data(), expected.data(), n), 0)
        << "at byte " << read_total;
    read_total += n;
  }
  EXPECT_EQ(read_total, new_size);
}

}  // namespace
