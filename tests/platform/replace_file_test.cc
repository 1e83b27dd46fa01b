#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using tov::test::ReadFile;
using tov::test::TempDir;
#ifndef _WIN32
using tov::test::GiveToUnprivileged;
using tov::test::RunAsUnprivileged;
#endif

int Replace(const std::string &path, const std::string &content) {
  return tov::platform::ReplaceFileContents(path.c_str(), content.data(),
                                            content.size());
}

// The names in `dir`, so that a left-over temporary file shows up.
std::set<std::string> Names(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

const std::string kOld = "old content\n";
const std::string kBig(4096, 'n');

// A second name `other` for the file `path`.
bool HardLink(const std::string &path, const std::string &other) {
#ifdef _WIN32
  return CreateHardLinkA(other.c_str(), path.c_str(), nullptr) != 0;
#else
  return link(path.c_str(), other.c_str()) == 0;
#endif
}

#ifndef _WIN32
// Owners, permission bits, symbolic links, file size limits and users that
// may not write where root may: the tests up to the #endif need POSIX.

struct stat StatOf(const std::string &path) {
  struct stat st = {};
  stat(path.c_str(), &st);
  return st;
}

// From now on this process may write files up to `bytes` long; a longer
// write fails with EFBIG instead of raising SIGXFSZ.
bool LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit = {bytes, bytes};
  return setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

#ifdef __linux__
// Every extended attribute of `path` (ACLs among them), name to value.
std::map<std::string, std::string> Attributes(const std::string &path) {
  std::map<std::string, std::string> attributes;
  std::string names(65536, '\0');
  const ssize_t n = listxattr(path.c_str(), &names[0], names.size());
  if (n < 0) return {{"<unreadable>", ""}};
  names.resize(static_cast<size_t>(n));
  for (size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const std::string name = names.c_str() + at;
    std::string value(65536, '\0');
    const ssize_t m =
        getxattr(path.c_str(), name.c_str(), &value[0], value.size());
    value.resize(m < 0 ? 0 : static_cast<size_t>(m));
    attributes[name] = value;
  }
  return attributes;
}

// An access ACL as the system stores it: the file's owner rw, the user
// nobody r, the owning group r, a mask of rw (more than the group's entry),
// others r.
std::string AclWithWideMask() {
  std::string acl;
  auto put = [&acl](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) acl.push_back(char((v >> (8 * i)) & 0xff));
  };
  put(2, 4);  // version
  const uint32_t kNoId = 0xffffffffu;
  const uint32_t entries[][3] = {{0x01, 6, kNoId},
                                 {0x02, 4, 65534},
                                 {0x04, 4, kNoId},
                                 {0x10, 6, kNoId},
                                 {0x20, 4, kNoId}};  // tag, permission, id
  for (const auto &e : entries) {
    put(e[0], 2);
    put(e[1], 2);
    put(e[2], 4);
  }
  return acl;
}
#endif

// Everything of a file but its content survives its replacement, on both
// write paths: a new file renamed over it, and (for a file with a second
// name) the file rewritten where it stands.  Each row sets the old file up
// as root; `unprivileged` rows replace it as the user nobody, in a
// directory everybody may write, a file that nobody may not give away.
TEST(ReplaceFileContents, EverythingButTheContentIsKeptOnBothWritePaths) {
  struct Row {
    const char *what;
    unsigned mode;
    unsigned owner;         // user and group
    const char *attribute;  // name of an extended attribute to set, or ""
    bool unprivileged;
  };
  const Row rows[] = {
      {"setuid and setgid", 06755, 0, "", false},
      {"sticky", 01644, 0, "", false},
      {"another owner", 0640, tov::test::kUnprivilegedId, "", false},
#ifdef __linux__
      {"ACL with a mask wider than the group", 0644, 0,
       "system.posix_acl_access", false},
      {"user attribute", 0644, 0, "user.tov.origin", false},
      {"security attribute", 0644, 0, "security.tov", false},
#endif
      {"group-writable file of another user", 0664, 0, "", true},
  };
  const std::string binary("a\0b\r\n\xff\0", 7);
  for (const Row &row : rows) {
    for (bool second_name : {false, true}) {
      SCOPED_TRACE(std::string(row.what) +
                   (second_name ? ", in place" : ", renamed over"));
      TempDir dir;
      const std::string path = dir.Write("f.bin", kOld);
      if (second_name) {
        ASSERT_TRUE(HardLink(path, dir.Path("g.bin")));
      }
      const unsigned group =
          row.unprivileged ? tov::test::kUnprivilegedId : row.owner;
      ASSERT_EQ(chown(path.c_str(), row.owner, group), 0);
      ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
#ifdef __linux__
      if (row.attribute[0] != '\0') {
        const std::string value =
            std::string(row.attribute).rfind("system.", 0) == 0
                ? AclWithWideMask()
                : std::string("value\0bytes", 11);
        ASSERT_EQ(setxattr(path.c_str(), row.attribute, value.data(),
                           value.size(), 0),
                  0)
            << std::strerror(errno);
      }
      const auto attributes = Attributes(path);
#endif
      const struct stat before = StatOf(path);
      const std::set<std::string> names = Names(dir.path());
      if (row.unprivileged) {
        ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
        EXPECT_EQ(RunAsUnprivileged([&] { return Replace(path, binary); }), 0);
      } else {
        const mode_t old_mask = umask(077);  // must not narrow the kept bits
        EXPECT_EQ(Replace(path, binary), 0);
        umask(old_mask);
      }
      EXPECT_EQ(ReadFile(path), binary);
      const struct stat after = StatOf(path);
      EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777);
      EXPECT_EQ(after.st_uid, before.st_uid);
      EXPECT_EQ(after.st_gid, before.st_gid);
      EXPECT_EQ(after.st_nlink, before.st_nlink);
#ifdef __linux__
      EXPECT_EQ(Attributes(path), attributes);
#endif
      EXPECT_EQ(Names(dir.path()), names);
      ASSERT_EQ(Replace(path, ""), 0);
      EXPECT_EQ(ReadFile(path), "");
    }
  }
}

TEST(ReplaceFileContents, SymbolicLinkStaysALink) {
  TempDir dir;
  std::string target = dir.Write("real/f.txt", kOld);
  std::string link = dir.Path("link.txt");
  ASSERT_EQ(symlink("real/f.txt", link.c_str()), 0);
  ASSERT_EQ(Replace(link, "new"), 0);
  EXPECT_EQ(fs::read_symlink(link), "real/f.txt");
  EXPECT_EQ(ReadFile(target), "new");
  EXPECT_EQ(Names(dir.Path("real")), std::set<std::string>{"f.txt"});
  // A link among the directories on the way, and one at the end after it.
  ASSERT_EQ(symlink("real", dir.Path("via").c_str()), 0);
  ASSERT_EQ(symlink("f.txt", dir.Path("real/again.txt").c_str()), 0);
  ASSERT_EQ(Replace(dir.Path("via/f.txt"), "newer"), 0);
  EXPECT_EQ(ReadFile(target), "newer");
  ASSERT_EQ(Replace(dir.Path("via/again.txt"), "newest"), 0);
  EXPECT_EQ(ReadFile(target), "newest");
  EXPECT_EQ(fs::read_symlink(dir.Path("via")), "real");
  EXPECT_EQ(fs::read_symlink(dir.Path("real/again.txt")), "f.txt");
  EXPECT_EQ(Names(dir.Path("real")),
            (std::set<std::string>{"f.txt", "again.txt"}));
}

TEST(ReplaceFileContents, FailedWriteLeavesTheOldContentAndNoOtherFile) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  auto child = tov::test::RunInChild([&] {
    if (!LimitFileSize(1024)) std::_Exit(10);
    int rc = Replace(path, kBig);
    std::_Exit(rc == -2 && errno == EFBIG ? 0 : 11);
  });
  EXPECT_EQ(child.exit_code, 0) << child.err;
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, WriteProtectedFileIsRefused) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  chmod(path.c_str(), 0444);
  GiveToUnprivileged(dir.path());
  int rc = RunAsUnprivileged(
      [&] { return Replace(path, "new") == -1 && errno == EACCES ? 0 : 1; });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), kOld);
}

TEST(ReplaceFileContents, ReadOnlyDirectoryHoldsNoJournalSoTheFileIsKept) {
  // The user's own writable file, in a directory he may not write: neither
  // a new file nor the journal of an in-place rewrite can be made there.
  TempDir dir;
  std::string sub = dir.Path("ro");
  std::string path = dir.Write("ro/f.txt", kOld);
  GiveToUnprivileged(dir.path());
  chmod(sub.c_str(), 0555);
  int rc = RunAsUnprivileged([&] {
    if (access(sub.c_str(), W_OK) == 0) return 2;
    return Replace(path, kBig) == -2 && errno == EACCES ? 0 : 3;
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(Names(sub), std::set<std::string>{"f.txt"});
}

#endif  // !_WIN32

TEST(ReplaceFileContents, HardLinksGoOnSharingTheContent) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  ASSERT_TRUE(HardLink(path, dir.Path("other.txt")));
  ASSERT_EQ(Replace(path, "new"), 0);
  EXPECT_EQ(ReadFile(dir.Path("other.txt")), "new");
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"f.txt", "other.txt"}));
}

// A source of `pieces`, in order; it fails after `fail_after` of them
// (-1: never).
tov::platform::ContentSource Pieces(const std::vector<std::string> &pieces,
                                    int fail_after = -1) {
  return [pieces, fail_after](const tov::platform::ContentSink &sink) {
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (static_cast<int>(i) == fail_after) return false;
      if (!sink(pieces[i].data(), pieces[i].size())) return false;
    }
    return true;
  };
}

TEST(ReplaceFileContents, ContentInPiecesOnBothWritePaths) {
  // The new file and the rewrite in place (a hard link keeps the file's
  // other name) both take the pieces in order, with or without waiting for
  // the disk; the in-place rewrite ends the file where the new content
  // ends.  The size announced beforehand only reserves space: a wrong one
  // (too large, too small) changes nothing in the file.
  const std::vector<std::string> pieces = {"new ", "", kBig, "\0tail"};
  std::string joined;
  for (const std::string &p : pieces) joined += p;
  const int64_t exact = static_cast<int64_t>(joined.size());
  for (bool linked : {false, true}) {
    for (int flags : {0, tov::platform::kReplaceSync}) {
      for (int64_t expected :
           {int64_t{-1}, exact, exact + (1 << 20), int64_t{3}}) {
        SCOPED_TRACE(testing::Message() << "linked " << linked << " flags "
                                        << flags << " expected " << expected);
        TempDir dir;
        std::string path = dir.Write("f.txt", kBig + kBig);
        if (linked) {
          ASSERT_TRUE(HardLink(path, dir.Path("other.txt")));
        }
        ASSERT_EQ(tov::platform::ReplaceFileContents(
                      path.c_str(), Pieces(pieces), flags, expected),
                  0);
        EXPECT_EQ(ReadFile(path), joined);
        if (linked) {
          EXPECT_EQ(ReadFile(dir.Path("other.txt")), joined);
        }
#ifndef _WIN32
        // No reserved space outlives a content shorter than announced.
        EXPECT_LT(StatOf(path).st_blocks * 512, exact + 65536);
#endif
      }
    }
  }
}

TEST(ReplaceFileContents, SourceThatFailsLeavesTheOldContent) {
  // A source that gives up after writing part of the content: the old file
  // stays, whole, and nothing else is left in the directory.
  for (bool linked : {false, true}) {
    TempDir dir;
    std::string path = dir.Write("f.txt", kOld);
    std::set<std::string> names = {"f.txt"};
    if (linked) {
      ASSERT_TRUE(HardLink(path, dir.Path("other.txt")));
      names.insert("other.txt");
    }
    EXPECT_EQ(tov::platform::ReplaceFileContents(path.c_str(),
                                                 Pieces({kBig, kBig}, 1), 0),
              -2);
    EXPECT_EQ(ReadFile(path), kOld);
    EXPECT_EQ(Names(dir.path()), names);
  }
}

TEST(ReplaceFileContents, MissingFileIsCreatedOtherKindsAreRefused) {
  TempDir dir;
  ASSERT_EQ(Replace(dir.Path("new.txt"), "fresh"), 0);
  EXPECT_EQ(ReadFile(dir.Path("new.txt")), "fresh");
  ASSERT_TRUE(fs::create_directory(dir.Path("sub")));
  EXPECT_EQ(Replace(dir.Path("sub"), "x"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(fs::is_directory(dir.Path("sub")));
  EXPECT_EQ(tov::platform::ReplaceFileContents(nullptr, "x", 1), -1);
}

#ifdef _WIN32
// What Windows does its own way: the read-only attribute instead of
// permission bits, either separator in a path, and files that another
// program holds open.

TEST(ReplaceFileContents, ReadOnlyFileIsRefused) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  ASSERT_EQ(_chmod(path.c_str(), _S_IREAD), 0);
  errno = 0;
  EXPECT_EQ(Replace(path, "new"), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, EitherSeparatorAndEveryByteKept) {
  TempDir dir;
  std::string path = dir.Write("sub/f.txt", kOld);
  std::string forward = path;
  for (char &c : forward) {
    if (c == '\\') c = '/';
  }
  // CR LF, a lone LF, NUL and Ctrl-Z (the end of a file in text mode).
  const std::string bytes("a\r\nb\nc\0d\x1a e\r\n", 14);
  ASSERT_EQ(Replace(forward, bytes), 0);
  EXPECT_EQ(ReadFile(path), bytes);
  ASSERT_EQ(Replace(path, kOld + bytes), 0);
  EXPECT_EQ(ReadFile(forward), kOld + bytes);
  EXPECT_EQ(Names(dir.Path("sub")), std::set<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, FileOpenElsewhereIsRewrittenInPlace) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kBig);
  // Open as an editor keeps a file: read and write shared, removal and
  // renaming not, so that no new file can take its name.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Replace(path, "short"), 0);
  CloseHandle(h);
  EXPECT_EQ(ReadFile(path), "short");
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"f.txt"});
}

TEST(ReplaceFileContents, FileLockedElsewhereKeepsItsContent) {
  TempDir dir;
  std::string path = dir.Write("f.txt", kOld);
  // Shared with readers only: neither replaced nor written.
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_LT(Replace(path, "new"), 0);
  CloseHandle(h);
  EXPECT_EQ(ReadFile(path), kOld);
  EXPECT_EQ(Names(dir.path()), std::set<std::string>{"f.txt"});
}
#endif  // _WIN32

}  // namespace
