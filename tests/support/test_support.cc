#include "support/test_support.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>

#include <direct.h>
#include <ostream>

#include "gtest/gtest.h"
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tov::test {
namespace {

#ifdef _WIN32

std::string ReadFd(int fd) {
  std::string text;
  char buf[4096];
  _lseek(fd, 0, SEEK_SET);
  int n;
  while ((n = _read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
  return text;
}

// The system's folder for temporary files, with its separator at the end.
std::string TempFolder() {
  char buf[MAX_PATH + 1];
  const DWORD n = GetTempPathA(sizeof buf, buf);
  if (n == 0 || n > MAX_PATH) throw std::runtime_error("GetTempPath failed");
  return std::string(buf, n);
}

// A name in the temporary folder that no other call, here or in another
// test program, gives.
std::string UniqueTempName(const char *prefix) {
  static unsigned counter = 0;
  return TempFolder() + prefix + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++counter);
}

// A temporary file, removed by the system when closed, that receives fd 2;
// binary, so that what is written to it is read back byte for byte.
int AnonymousFile() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd =
        _open(UniqueTempName("tovtest").c_str(),
              _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY | _O_TEMPORARY,
              _S_IREAD | _S_IWRITE);
    if (fd >= 0) return fd;
    if (errno != EEXIST) break;
  }
  throw std::runtime_error("no temporary file");
}

// One argument as a started program's C run-time splits its command line
// back (written here apart from the library's own quoting, which the tests
// check against it).
std::string Quoted(const std::string &arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
    return arg;
  }
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote escape themselves and the quote.
    out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    out.push_back(c);
  }
  // And so do those before the closing quote.
  out.append(2 * backslashes, '\\');
  return out + "\"";
}

// Hands the child's exit code to the caller; any code is accepted.
struct RecordExitCode {
  int *code;
  bool operator()(int status) const {
    *code = status;
    return true;
  }
};

// Hands the child's stderr to the caller; any text is accepted.
class RecordText : public ::testing::MatcherInterface<const std::string &> {
 public:
  explicit RecordText(std::string *text) : text_(text) {}
  bool MatchAndExplain(const std::string &text,
                       ::testing::MatchResultListener *) const override {
    *text_ = text;
    return true;
  }
  void DescribeTo(std::ostream *os) const override { *os << "any text"; }

 private:
  std::string *text_;
};

#else

std::string ReadFd(int fd) {
  std::string text;
  char buf[4096];
  lseek(fd, 0, SEEK_SET);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
  return text;
}

// The folder for temporary files: $TMPDIR when set, else /tmp.
std::string TempFolder() {
  const char *dir = std::getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

// A fresh directory in the temporary folder, named after `prefix`.
std::string MakeTempDir(const char *prefix) {
  std::string name = TempFolder() + "/" + prefix + "XXXXXX";
  if (mkdtemp(&name[0]) == nullptr) {
    throw std::runtime_error("mkdtemp failed in " + TempFolder());
  }
  return name;
}

// A temporary file, unlinked at once, that receives fd 2.
int AnonymousFile() {
  std::string name = TempFolder() + "/tovtestXXXXXX";
  int fd = mkstemp(&name[0]);
  if (fd < 0) throw std::runtime_error("mkstemp failed in " + TempFolder());
  unlink(name.c_str());
  return fd;
}

#endif

}  // namespace

#ifdef _WIN32

std::string CaptureStderr(const std::function<void()> &body) {
  std::fflush(stderr);
  int file = AnonymousFile();
  int saved = _dup(2);
  // fd 2 takes the file's binary mode along, so that no line end is
  // translated, and the saved descriptor brings the old mode back.
  _dup2(file, 2);
  body();
  std::fflush(stderr);
  _dup2(saved, 2);
  _close(saved);
  std::string text = ReadFd(file);
  _close(file);
  return text;
}

ChildResult RunInChild(const std::function<void()> &body) {
  std::fflush(stdout);
  std::fflush(stderr);
  ChildResult result;
  int code = -1;
  EXPECT_EXIT(
      {
        _setmode(_fileno(stderr), _O_BINARY);
        body();
        std::fflush(nullptr);
        _exit(0);
      },
      RecordExitCode{&code},
      ::testing::MakeMatcher(new RecordText(&result.err)));
  // An exception ends a process with a code above 255 (0xC0000005 for an
  // access violation), the nearest thing to a signal.
  result.exited = code >= 0 && code <= 255;
  if (result.exited) result.exit_code = code;
  return result;
}

ChildResult RunProgram(const std::string &dir,
                       const std::vector<std::string> &args) {
  ChildResult result;
  if (args.empty()) return result;
  std::string line;
  for (const std::string &arg : args) {
    if (!line.empty()) line.push_back(' ');
    line += Quoted(arg);
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE null = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  const std::string err_path = UniqueTempName("tovtesterr");
  HANDLE err =
      CreateFileA(err_path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &inherit,
                  CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = null;
  startup.hStdError = err;
  PROCESS_INFORMATION info = {};
  std::fflush(nullptr);
  if (null != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
      CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr,
                     dir.c_str(), &startup, &info)) {
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(info.hProcess, &code) && code <= 255) {
      result.exited = true;
      result.exit_code = static_cast<int>(code);
    }
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  if (null != INVALID_HANDLE_VALUE) CloseHandle(null);
  if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
  // The program writes its stderr in text mode: "\r\n" is its "\n".
  const std::string text = ReadFile(err_path);
  DeleteFileA(err_path.c_str());
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      result.err.push_back(text[i]);
    }
  }
  return result;
}

void SetEnv(const char *name, const char *value) {
  // An empty value removes the variable.
  _putenv_s(name, value != nullptr ? value : "");
}

TempDir::TempDir() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = UniqueTempName("tovUpdtrTest");
    if (_mkdir(name.c_str()) == 0) {
      path_ = name;
      return;
    }
    if (errno != EEXIST) break;
  }
  throw std::runtime_error("no temporary directory");
}

#else

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

ChildResult RunProgram(const std::string &dir,
                       const std::vector<std::string> &args) {
  if (args.empty()) return ChildResult();
  return RunInChild([&] {
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, 1) < 0 || chdir(dir.c_str()) != 0) _exit(126);
    std::vector<char *> argv;
    for (const std::string &a : args)
      argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  });
}

void SetEnv(const char *name, const char *value) {
  value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

int RunAsUnprivileged(const std::function<int()> &body) {
  // The temporary folder need not be writable for that user (a /tmp of mode
  // 0755): the child gets a folder of its own in it as its TMPDIR, where
  // the stderr captures and temporary directories of the body go.
  std::string scratch;
  if (geteuid() == 0) {
    try {
      scratch = MakeTempDir("tovUpdtrUser");
    } catch (const std::runtime_error &) {
      return 202;
    }
    if (chown(scratch.c_str(), kUnprivilegedId, kUnprivilegedId) != 0) {
      rmdir(scratch.c_str());
      return 202;
    }
  }
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid < 0) {
    std::error_code ec;
    if (!scratch.empty()) std::filesystem::remove_all(scratch, ec);
    return 201;
  }
  if (pid == 0) {
    if (geteuid() == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(kUnprivilegedId) != 0 ||
          setuid(kUnprivilegedId) != 0 ||
          setenv("TMPDIR", scratch.c_str(), 1) != 0) {
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
  if (!scratch.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
  }
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

TempDir::TempDir() : path_(MakeTempDir("tovUpdtrTest")) {}

#endif

Outcome Capture(const std::function<int()> &call) {
  Outcome o;
  o.err = CaptureStderr([&] { o.result = call(); });
  return o;
}

TempDir::~TempDir() {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Tests take write permission away from folders (and, on Windows, from
  // files, whose read-only attribute stops their removal); give it back so
  // that the removal cannot stop half-way.
  for (auto it = fs::recursive_directory_iterator(path_, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
#ifdef _WIN32
    const bool protects = !it->is_symlink(ec);
#else
    const bool protects = it->is_directory(ec) && !it->is_symlink(ec);
#endif
    if (protects) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add,
                      ec);
    }
  }
  fs::remove_all(path_, ec);
}

std::string TempDir::Path(const std::string &name) const {
#ifdef _WIN32
  std::string native = name;
  for (char &c : native) {
    if (c == '/') c = '\\';
  }
  return path_ + "\\" + native;
#else
  return path_ + "/" + name;
#endif
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
