// Whether the file that a reference resolved to really lies in its library,
// links resolved.
#ifndef TOVUPDTR_UPDATE_CONFINEMENT_H_
#define TOVUPDTR_UPDATE_CONFINEMENT_H_

#include <string>

namespace tov::update {

// Where a path leaves its library: the first name on the way whose real
// path lies outside (a link), and that real path.
struct Escape {
  std::string link;
  std::string target;
};

// The real path of `path` (every link resolved), or "" when it cannot be
// resolved (it does not exist).
std::string RealPathOf(const std::string &path);

// True when `real_path`, the real path of `path` (which begins with
// `library_dir`), lies inside the real path of `library_dir`: a library
// directory that is itself a link is fine, a link inside it that leads out
// is not.  A path that cannot be resolved counts as inside: nothing can be
// read from it.  Otherwise false, with *escape filled in.
bool InsideLibrary(const std::string &path, const std::string &real_path,
                   const std::string &library_dir, Escape *escape);

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_CONFINEMENT_H_
