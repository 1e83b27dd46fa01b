#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tov::test {
namespace {

std::string ReadFd(int fd) {
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
  return text;
}

// A temporary file, unlinked at once, that receives fd 2.
int AnonymousFile() {
  char name[] = "/tmp/tovtestXXXXXX";
  int fd = mkstemp(name);
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  return fd;
}

}  // namespace

std::string CaptureStderr(const std::function<void()> &body) {
  std::fflush(stderr);
  int file = AnonymousFile();
  int saved = dup(2);
  dup2(file, 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text = ReadFd(file);
  close(file);
  return text;
}

ChildResult RunInChild(const std::function<void()> &body) {
  std::fflush(stdout);
  std::fflush(stderr);
  int file = AnonymousFile();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(file, 2);
    body();
    std::fflush(nullptr);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ChildResult result;
  result.exited = WIFEXITED(status);
  if (result.exited) result.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.err = ReadFd(file);
  close(file);
  return result;
}

int RunAsUnprivileged(const std::function<int()> &body) {
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) return 201;
  if (pid == 0) {
    if (geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedId) != 0 ||
          setuid(kUnprivilegedId) != 0) {
        _exit(200);
      }
    }
    // Whatever happened above, a child that still is root must not run the
    // body: its writes would succeed where the user's would not.
    if (geteuid() == 0 || getuid() == 0) _exit(200);
    int rc = body();
    std::fflush(nullptr);
    _exit(rc);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

void GiveToUnprivileged(const std::string &path) {
  if (geteuid() != 0) return;
  namespace fs = std::filesystem;
  if (chown(path.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) return;
  if (!fs::is_directory(path)) return;
  for (const auto &entry : fs::recursive_directory_iterator(path)) {
    if (lchown(entry.path().c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
      return;
    }
  }
}

TempDir::TempDir() {
  char name[] = "/tmp/tovUpdtrTestXXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Tests take write permission away from folders; give it back so that the
  // removal cannot stop half-way.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      ec);
    }
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::Path(const std::string &name) const {
  return path_ + "/" + name;
}

std::string TempDir::Write(const std::string &name,
                           const std::string &content) const {
  std::string full = Path(name);
  std::filesystem::create_directories(
      std::filesystem::path(full).parent_path());
  std::ofstream out(full, std::ios::binary);
  out << content;
  return full;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace tov::test
