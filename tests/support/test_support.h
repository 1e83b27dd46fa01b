// Helpers shared by the tests: stderr capture, child processes, unprivileged
// children (POSIX only), temporary directories and the environment.
#ifndef TOVUPDTR_TESTS_SUPPORT_TEST_SUPPORT_H_
#define TOVUPDTR_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <functional>
#include <string>
#include <vector>

namespace tov::test {

// Runs `body` and returns what it wrote to the standard error stream (the C
// stream and file descriptor 2 alike).
std::string CaptureStderr(const std::function<void()> &body);

// What one call of the library did: its result, everything it printed on
// stderr, and the bytes it left (the content of the file it updated, or the
// text it handed out).
struct Outcome {
  int result = -1;
  std::string err;
  std::string bytes;
};

// Runs `call` and returns its result and what it printed (no bytes).
Outcome Capture(const std::function<int()> &call);

// How a child process ended and what it wrote to stderr.
struct ChildResult {
  bool exited = false;  // ended through exit() or by returning
  int exit_code = -1;   // when exited
  int signal = 0;       // when killed by a signal
  std::string err;      // its standard error stream
};

// Runs `body` in a child process (a return from `body` is exit status 0).
// On Windows the child is this test program started again for the running
// test alone, which it repeats up to this call (GoogleTest's death-test
// machinery): what the test did before the call is done again there, not
// inherited, and the child's stderr is taken as written, in binary mode.
ChildResult RunInChild(const std::function<void()> &body);

// Runs the program args[0] with the arguments args[1..], each reaching it as
// one argument, in the directory `dir` with its standard output discarded;
// how it ended and what it wrote to stderr.
ChildResult RunProgram(const std::string &dir,
                       const std::vector<std::string> &args);

// Sets the environment variable `name` to `value` (NULL: removes it).
void SetEnv(const char *name, const char *value);

#ifndef _WIN32
// The user id and group id of the unprivileged user that permission tests
// run as when the suite runs as root ("nobody").
constexpr unsigned kUnprivilegedId = 65534;

// Runs `body` in a child that has dropped to an unprivileged user when the
// suite runs as root, and returns the child's exit status (body's result).
// Returns 200 when privileges could not be dropped (202 when the user's
// temporary folder could not be made), so that such a test fails instead of
// passing merely because root may write anything.  The child's TMPDIR is a
// folder of that user's own, removed afterwards, so that CaptureStderr and
// TempDir work in the body whoever may write to the temporary folder.
int RunAsUnprivileged(const std::function<int()> &body);

// Gives `path` (and everything below it) to the unprivileged user, so that a
// child running as that user may work in it.  No-op unless running as root.
void GiveToUnprivileged(const std::string &path);
#endif

// A fresh directory in the temporary folder ($TMPDIR, else /tmp, on POSIX),
// removed with its content at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  // Written with the system's separator ('\\' on Windows), as the library
  // writes the paths it makes.
  const std::string &path() const { return path_; }
  // path()/name, with every '/' of `name` written as the system's separator.
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
