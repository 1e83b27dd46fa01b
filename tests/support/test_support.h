// Helpers shared by the tests: stderr capture, child processes, unprivileged
// children and temporary directories.
#ifndef TOVUPDTR_TESTS_SUPPORT_TEST_SUPPORT_H_
#define TOVUPDTR_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <functional>
#include <string>

namespace tov::test {

// Runs `body` and returns what it wrote to the standard error stream (the C
// stream and file descriptor 2 alike).
std::string CaptureStderr(const std::function<void()> &body);

// How a child process ended and what it wrote to stderr.
struct ChildResult {
  bool exited = false;  // ended through exit() or by returning
  int exit_code = -1;   // when exited
  int signal = 0;       // when killed by a signal
  std::string err;      // its standard error stream
};

// Runs `body` in a child process (a return from `body` is exit status 0).
ChildResult RunInChild(const std::function<void()> &body);

// The user id and group id of the unprivileged user that permission tests
// run as when the suite runs as root ("nobody").
constexpr unsigned kUnprivilegedId = 65534;

// Runs `body` in a child that has dropped to an unprivileged user when the
// suite runs as root, and returns the child's exit status (body's result).
// Returns 200 when privileges could not be dropped, so that such a test
// fails instead of passing merely because root may write anything.
int RunAsUnprivileged(const std::function<int()> &body);

// Gives `path` (and everything below it) to the unprivileged user, so that a
// child running as that user may work in it.  No-op unless running as root.
void GiveToUnprivileged(const std::string &path);

// A fresh directory, removed with its content at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path()/name
  std::string Path(const std::string &name) const;
  // Writes `content` to path()/name (creating folders on the way) and
  // returns the full path.
  std::string Write(const std::string &name, const std::string &content) const;

 private:
  std::string path_;
};

// The whole content of `path` ("" when it cannot be read).
std::string ReadFile(const std::string &path);

}  // namespace tov::test

#endif  // TOVUPDTR_TESTS_SUPPORT_TEST_SUPPORT_H_
