#include "update/confinement.h"

#include <cstdlib>
#include <memory>

#include "platform/platform.h"
#include "update/update_state.h"

namespace tov::update {
namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};

// True when `real` is `root` or lies below it.
bool Below(const std::string &real, const std::string &root) {
  if (real.compare(0, root.size(), root) != 0) return false;
  if (real.size() == root.size()) return true;
  // The root may end in a separator itself ("/", "C:\").
  return platform::IsDirSep(root.back()) ||
         platform::IsDirSep(real[root.size()]);
}

}  // namespace

std::string RealPathOf(const std::string &path) {
  std::unique_ptr<char, FreeDeleter> real(platform::RealPath(path.c_str()));
  return real != nullptr ? std::string(real.get()) : std::string();
}

bool InsideLibrary(const std::string &path, const std::string &real_path,
                   const std::string &library_dir, Escape *escape) {
  if (real_path.empty()) return true;
  // The files of a list mostly lie in a few libraries: the real path of the
  // last library directory is kept.  (A directory swapped for a link since
  // can only make files look outside, never inside, the one first seen.)
  UpdateState &state = LayerState();
  if (library_dir != state.library_dir || state.library_root.empty()) {
    state.library_root = RealPathOf(library_dir);
    state.library_dir = library_dir;
  }
  const std::string root = state.library_root;
  if (!root.empty() && Below(real_path, root)) return true;
  // The first name below the library directory whose real path lies
  // outside is the link that leads out: every name before it stayed in.
  for (size_t at = library_dir.size(); at <= path.size(); ++at) {
    if (at != path.size() && !platform::IsDirSep(path[at])) continue;
    const std::string prefix = path.substr(0, at);
    if (prefix.size() == library_dir.size()) continue;
    const std::string real_prefix = RealPathOf(prefix);
    if (!real_prefix.empty() && (root.empty() || !Below(real_prefix, root))) {
      *escape = {prefix, real_prefix};
      return false;
    }
  }
  *escape = {path, real_path};
  return false;
}

}  // namespace tov::update
