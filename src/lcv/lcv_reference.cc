// The reference of a file given by its path: the library whose directory
// holds it, and the names below that directory written as a reference
// writes them ("LibraryNT").
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/guard.h"
#include "core/messages.h"
#include "core/state.h"
#include "lcv/lcv.h"
#include "platform/platform.h"
#include "services/design_library/bev.h"
#include "services/name_mapping/rix.h"
#include "tovUpdtr.h"

namespace tov::lcv {
namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using HeapString = std::unique_ptr<char, FreeDeleter>;

// Keeps the library's messages in, and tovUpdtrErrBuf as it was, while a
// reference made here is tried: a reference that does not lead back to the
// file is a finding, not an error to print.
class Silence {
 public:
  Silence()
      : saved_(core::GetState().min_severity),
        buf_(tovUpdtrErrBuf, tovUpdtrErrBuf + sizeof tovUpdtrErrBuf) {
    core::GetState().min_severity = 4;
  }
  ~Silence() {
    core::GetState().min_severity = saved_;
    std::memcpy(tovUpdtrErrBuf, buf_.data(), buf_.size());
  }
  Silence(const Silence &) = delete;
  Silence &operator=(const Silence &) = delete;

 private:
  int saved_;
  std::vector<char> buf_;
};

// The real path of `path` with the last name kept as it is (a link there
// stays the link, which the update then judges), or "" when its directory
// cannot be found.
std::string RealParentPath(const std::string &path) {
  size_t cut = path.size();
  while (cut > 0 && !platform::IsDirSep(path[cut - 1])) --cut;
  const std::string name = path.substr(cut);
  if (name.empty() || name == "." || name == "..") {
    HeapString real(platform::RealPath(path.c_str()));
    return real != nullptr ? real.get() : "";
  }
  const std::string parent = cut == 0 ? "." : path.substr(0, cut);
  HeapString real(platform::RealPath(parent.c_str()));
  if (real == nullptr) return "";
  std::string joined = real.get();
  if (joined.empty() || !platform::IsDirSep(joined.back())) joined += '/';
  return joined + name;
}

// The names of `path` below `dir` (both real paths), or false when `path`
// does not lie below it.
bool NamesBelow(const std::string &path, const std::string &dir,
                std::vector<std::string> *names) {
  size_t at = dir.size();
  while (at > 0 && platform::IsDirSep(dir[at - 1])) --at;
  if (path.size() <= at || path.compare(0, at, dir, 0, at) != 0 ||
      !platform::IsDirSep(path[at])) {
    return false;
  }
  names->clear();
  std::string name;
  for (size_t i = at + 1; i <= path.size(); ++i) {
    if (i == path.size() || platform::IsDirSep(path[i])) {
      if (!name.empty()) names->push_back(name);
      name.clear();
    } else {
      name += path[i];
    }
  }
  return !names->empty();
}

}  // namespace

// `name`, stored in the name space `from`, written in "LibraryNT"; false
// when it cannot be.
bool ToLibraryNT(rixNameFunc from, const std::string &name, std::string *out) {
  char converted[kRixMaxName] = {};
  if (name.size() >= kRixMaxName ||
      rixMapper(from, rixIdentToLibraryNT, name.c_str(), 0, converted) == 0) {
    return false;
  }
  out->assign(converted);
  return true;
}

namespace {

int ReferenceOf(const char *path, std::string *reference) {
  if (path == nullptr || path[0] == '\0') return TOV_REF_NOT_FOUND;
  const std::string real = RealParentPath(path);
  if (real.empty()) return TOV_REF_NOT_FOUND;

  // The deepest library directory that holds the file: a library may be
  // defined inside another's directory.
  const char *lib = nullptr;
  const char *lib_dir = nullptr;
  size_t deepest = 0;
  std::vector<std::string> names;
  std::vector<std::string> best_names;
  for (size_t i = 0;; ++i) {
    const char *dir = nullptr;
    const char *name = bevLibraryAt(i, &dir);
    if (name == nullptr) break;
    HeapString real_dir(platform::RealPath(dir));
    if (real_dir == nullptr) continue;
    const size_t length = std::strlen(real_dir.get());
    if (length >= deepest && NamesBelow(real, real_dir.get(), &names)) {
      lib = name;
      lib_dir = dir;
      deepest = length;
      best_names = names;
    }
  }
  if (lib == nullptr) return TOV_REF_NO_LIBRARY;

  // The cell and view directories are named in the library's name space;
  // the file's names never are.
  const char *space = daxGetNameSpace(lib_dir);
  const bool unix_names =
      space != nullptr && std::strcmp(space, "LibraryUnix") == 0;
  std::string text;
  if (!ToLibraryNT(rixLibraryUnixToIdent, lib, &text))
    return TOV_REF_NOT_NAMEABLE;
  const size_t n = best_names.size();
  auto component = [&](const std::string &name, std::string *out) {
    return ToLibraryNT(unix_names ? rixLibraryUnixToIdent : rixLibraryNTToIdent,
                       name, out);
  };
  std::string cell, view;
  if (n >= 2 && !component(best_names[0], &cell)) return TOV_REF_NOT_NAMEABLE;
  if (n >= 3 && !component(best_names[1], &view)) return TOV_REF_NOT_NAMEABLE;
  if (n >= 2) text += "." + cell;
  if (n >= 3) text += ":" + view;
  const size_t first_file = n >= 3 ? 2 : n - 1;
  for (size_t i = first_file; i < n; ++i) {
    text += i == first_file ? "/" : "/";
    text += best_names[i];
  }

  // The reference must be one word of a list line and lead back to this
  // very path: a name that holds a '.', a ':' or a blank where the
  // reference gives them a meaning cannot be written as one.
  if (text.find_first_of(" \t\r\n") != std::string::npos) {
    return TOV_REF_NOT_NAMEABLE;
  }
  Silence silence;
  std::vector<char> l(text.size() + 1), c(text.size() + 1), v(text.size() + 1),
      f(text.size() + 1);
  if (ParseLCV(text.c_str(), l.data(), c.data(), v.data(), f.data(),
               text.size() + 1) != 1) {
    return TOV_REF_NOT_NAMEABLE;
  }
  HeapString back(GetPath(l.data(), c.data(), v.data(), f.data()));
  if (back == nullptr || RealParentPath(back.get()) != real) {
    return TOV_REF_NOT_NAMEABLE;
  }
  *reference = std::move(text);
  return 0;
}

}  // namespace
}  // namespace tov::lcv

extern "C" TOVUPDTR_API char *tovUpdtrReferenceOf(const char *path, int *why) {
  if (why != nullptr) *why = 0;
  int fault = 0;
  char *result = tov::core::Guard<char *>(nullptr, [&]() -> char * {
    std::string reference;
    fault = tov::lcv::ReferenceOf(path, &reference);
    if (fault != 0) return nullptr;
    char *copy = static_cast<char *>(std::malloc(reference.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, reference.c_str(), reference.size() + 1);
    return copy;
  });
  if (why != nullptr) *why = fault;
  return result;
}

extern "C" TOVUPDTR_API int tovUpdtrLibraryName(int index, char *out,
                                                size_t size) {
  return tov::core::Guard(0, [&] {
    std::string name;
    const char *unix_name =
        index < 0 ? nullptr : bevLibraryAt(static_cast<size_t>(index), nullptr);
    if (unix_name == nullptr || out == nullptr ||
        !tov::lcv::ToLibraryNT(rixLibraryUnixToIdent, unix_name, &name) ||
        name.size() >= size) {
      return 0;
    }
    std::memcpy(out, name.c_str(), name.size() + 1);
    return 1;
  });
}

extern "C" TOVUPDTR_API int tovUpdtrMapName(const char *fromSpace,
                                            const char *toSpace,
                                            const char *name, char *out,
                                            size_t size) {
  return tov::core::Guard(0, [&] {
    char converted[kRixMaxName] = {};
    if (fromSpace == nullptr || toSpace == nullptr || name == nullptr ||
        out == nullptr || std::strlen(name) >= kRixMaxName ||
        rixMapName(fromSpace, toSpace, name, 0, converted) == 0 ||
        std::strlen(converted) >= size) {
      return 0;
    }
    std::memcpy(out, converted, std::strlen(converted) + 1);
    return 1;
  });
}
