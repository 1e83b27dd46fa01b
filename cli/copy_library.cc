#include "copy_library.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <system_error>

#include "console.h"
#include "library_walk.h"
#include "tovUpdtr.h"

namespace tov::cli {
namespace fs = std::filesystem;
namespace {

struct Freer {
  void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, Freer>;

// The directory of library `lib`, or "" when the definitions do not hold it.
std::string LibraryDir(const std::string &lib) {
  Quiet quiet;
  CString dir(lcvGetPath(lib.c_str(), "", "", ""));
  return dir != nullptr ? dir.get() : "";
}

// `name` (as references write it) as the library directory `dir` stores its
// cell and view directories: converted when its .namespace says
// "LibraryUnix", as it is otherwise.  "" when it cannot be converted.
std::string StoredName(const std::string &dir, const std::string &name) {
  std::ifstream in(fs::path(dir) / ".namespace", std::ios::binary);
  std::string space;
  if (in) std::getline(in, space);
  while (!space.empty() && (space.back() == '\r' || space.back() == ' ' ||
                            space.back() == '\t')) {
    space.pop_back();
  }
  if (space != "LibraryUnix") return name;
  char out[1024];
  return tovUpdtrMapName("LibraryNT", "LibraryUnix", name.c_str(), out,
                         sizeof out) == 1
             ? out
             : "";
}

// The four components of reference `ref`, or false when it does not parse.
bool Components(const std::string &ref, std::string parts[4]) {
  Quiet quiet;
  std::vector<char> l(ref.size() + 1), c(ref.size() + 1), v(ref.size() + 1),
      f(ref.size() + 1);
  if (tovParseLCV(ref.c_str(), l.data(), c.data(), v.data(), f.data()) != 1) {
    return false;
  }
  parts[0] = l.data();
  parts[1] = c.data();
  parts[2] = v.data();
  parts[3] = f.data();
  return true;
}

// Copies the tree at `from` into the new directory `to`: directories, files
// with their permissions, links as links.
bool CopyTree(const fs::path &from, const fs::path &to, std::string *why) {
  std::error_code ec;
  if (!fs::create_directory(to, ec) || ec) {
    *why = "cannot make " + to.string() + ": " + ec.message();
    return false;
  }
  for (fs::directory_iterator it(from, ec), end; !ec && it != end;
       it.increment(ec)) {
    const fs::path &source = it->path();
    const fs::path dest = to / source.filename();
    const fs::file_status link = it->symlink_status(ec);
    if (ec) break;
    if (fs::is_symlink(link)) {
      fs::copy_symlink(source, dest, ec);
    } else if (fs::is_directory(link)) {
      if (!CopyTree(source, dest, why)) return false;
    } else if (fs::is_regular_file(link)) {
      if (IsUpdatersFile(source.filename().string())) continue;
      fs::copy_file(source, dest, ec);
    }
    if (ec) {
      *why = "cannot copy " + source.string() + ": " + ec.message();
      return false;
    }
  }
  if (ec) {
    *why = "cannot read " + from.string() + ": " + ec.message();
    return false;
  }
  return true;
}

// A name beside `path` that no other run picks: ".NAME.tovcopy-RANDOM".
fs::path Beside(const fs::path &path, const char *kind) {
  std::random_device random;
  std::ostringstream name;
  name << '.' << path.filename().string() << kind << std::hex << random()
       << random();
  return path.parent_path() / name.str();
}

// Removes a directory tree made here unless told it is to stay.
class Made {
 public:
  explicit Made(fs::path path) : path_(std::move(path)) {}
  ~Made() {
    if (!path_.empty()) {
      std::error_code ec;
      fs::remove_all(path_, ec);
    }
  }
  Made(const Made &) = delete;
  Made &operator=(const Made &) = delete;
  void Keep() { path_.clear(); }

 private:
  fs::path path_;
};

// The cell directories, and then the view directories, that the lines of
// the from-to list `from_to` from `from_lib` to `to_lib` rename, as the
// library directory `dir` stores their names, relative to it: a view is
// renamed where its cell ends.  False after a message when a directory
// would be renamed to one that `dir` holds already.
bool FindRenames(const std::string &from_lib, const std::string &to_lib,
                 const char *from_to, const std::string &dir,
                 std::vector<std::pair<std::string, std::string>> *renames) {
  std::ifstream in(from_to, std::ios::binary);
  std::string line;
  std::vector<std::pair<std::string, std::string>> cells, views;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string from, to;
    std::string a[4], b[4];
    if (!(words >> from >> to) || !Components(from, a) || !Components(to, b) ||
        a[0] != from_lib || b[0] != to_lib || a[1].empty() || b[1].empty()) {
      continue;
    }
    if (a[1] != b[1]) {
      cells.push_back({a[1], b[1]});
    } else if (!a[2].empty() && !b[2].empty() && a[2] != b[2]) {
      views.push_back({a[1] + "\n" + a[2], b[2]});
    }
  }
  std::error_code ec;
  auto stored = [&](const std::string &name) { return StoredName(dir, name); };
  auto add = [&](const std::string &from, const std::string &to) {
    for (const auto &r : *renames) {
      if (r.first == from && r.second == to) return true;
    }
    if (!fs::exists(fs::path(dir) / from, ec)) {
      std::fprintf(stderr, "tovupdtr: warning: %s holds no %s to rename\n",
                   dir.c_str(), from.c_str());
      return true;
    }
    if (fs::exists(fs::path(dir) / to, ec)) {
      std::fprintf(stderr,
                   "tovupdtr: %s cannot be renamed %s: %s holds one already\n",
                   from.c_str(), to.c_str(), dir.c_str());
      return false;
    }
    renames->push_back({from, to});
    return true;
  };
  for (const auto &[from, to] : cells) {
    if (stored(from).empty() || stored(to).empty()) {
      std::fprintf(stderr,
                   "tovupdtr: %s or %s cannot be a directory's name in %s\n",
                   from.c_str(), to.c_str(), dir.c_str());
      return false;
    }
    if (!add(stored(from), stored(to))) return false;
  }
  for (const auto &[cell_view, to] : views) {
    const std::string cell = cell_view.substr(0, cell_view.find('\n'));
    const std::string view = cell_view.substr(cell_view.find('\n') + 1);
    std::string cell_now = cell;
    for (const auto &[from_cell, to_cell] : cells) {
      if (from_cell == cell) cell_now = to_cell;
    }
    // The view is looked for under its cell's old name, and renamed where
    // the cell's rename put it.
    const std::string old_path = stored(cell) + "/" + stored(view);
    if (!fs::exists(fs::path(dir) / old_path, ec)) {
      std::fprintf(stderr, "tovupdtr: warning: %s holds no %s to rename\n",
                   dir.c_str(), old_path.c_str());
      continue;
    }
    renames->push_back({stored(cell_now) + "/" + stored(view),
                        stored(cell_now) + "/" + stored(to)});
  }
  return true;
}

}  // namespace

bool PlanCopy(const std::string &old_lib, const std::string &new_lib,
              const std::string &target, const char *from_to,
              const char *definitions, CopyPlan *plan) {
  plan->old_lib = old_lib;
  plan->new_lib = new_lib;
  plan->target = target;
  plan->definitions = definitions;
  plan->old_dir = LibraryDir(old_lib);
  std::error_code ec;
  if (plan->old_dir.empty()) {
    std::fprintf(stderr,
                 "tovupdtr: -copyLibrary: the library %s is not in the "
                 "library definitions %s\n",
                 old_lib.c_str(), definitions);
    return false;
  }
  if (!fs::is_directory(plan->old_dir, ec)) {
    std::fprintf(stderr,
                 "tovupdtr: -copyLibrary: the directory %s of the library %s "
                 "does not exist\n",
                 plan->old_dir.c_str(), old_lib.c_str());
    return false;
  }
  if (!LibraryDir(new_lib).empty()) {
    std::fprintf(stderr,
                 "tovupdtr: -copyLibrary: the library %s is in the library "
                 "definitions %s already\n",
                 new_lib.c_str(), definitions);
    return false;
  }
  if (fs::exists(fs::symlink_status(target, ec))) {
    std::fprintf(stderr, "tovupdtr: -copyLibrary: %s exists already\n",
                 target.c_str());
    return false;
  }
  char unix_name[1024];
  if (tovUpdtrMapName("LibraryNT", "LibraryUnix", new_lib.c_str(), unix_name,
                      sizeof unix_name) != 1) {
    std::fprintf(stderr,
                 "tovupdtr: -copyLibrary: %s cannot be a library's name\n",
                 new_lib.c_str());
    return false;
  }
  // The library definitions name directories from their own folder.
  const fs::path defs_dir = fs::absolute(definitions, ec).parent_path();
  const fs::path where = fs::proximate(fs::absolute(target, ec), defs_dir, ec);
  plan->definition_line =
      std::string("library ") + unix_name + " " + where.generic_string();

  return FindRenames(old_lib, new_lib, from_to, plan->old_dir, &plan->renames);
}

bool PlanRenames(const std::string &lib, const char *from_to, CopyPlan *plan) {
  plan->old_lib = lib;
  plan->new_lib = lib;
  plan->old_dir = LibraryDir(lib);
  std::error_code ec;
  if (plan->old_dir.empty() || !fs::is_directory(plan->old_dir, ec)) {
    std::fprintf(stderr,
                 "tovupdtr: -renameCells: the library %s is not in the "
                 "library definitions, or its directory does not exist\n",
                 lib.c_str());
    return false;
  }
  plan->target = plan->old_dir;
  return FindRenames(lib, lib, from_to, plan->old_dir, &plan->renames);
}

bool MakeRenames(const CopyPlan &plan) {
  const fs::path dir(plan.old_dir);
  std::vector<std::pair<std::string, std::string>> done;
  for (const auto &[from, to] : plan.renames) {
    std::error_code ec;
    if (fs::exists(dir / to, ec)) {
      ec = std::make_error_code(std::errc::file_exists);
    } else {
      fs::rename(dir / from, dir / to, ec);
    }
    if (ec) {
      std::fprintf(stderr,
                   "tovupdtr: -renameCells: cannot rename %s to %s in %s: %s; "
                   "the renames before it are undone\n",
                   from.c_str(), to.c_str(), plan.old_dir.c_str(),
                   ec.message().c_str());
      for (auto it = done.rbegin(); it != done.rend(); ++it) {
        fs::rename(dir / it->second, dir / it->first, ec);
      }
      return false;
    }
    done.push_back({from, to});
  }
  return true;
}

void DescribeCopy(const CopyPlan &plan) {
  if (plan.old_lib != plan.new_lib) {
    std::printf("would copy: %s to %s\n", plan.old_dir.c_str(),
                plan.target.c_str());
  }
  for (const auto &[from, to] : plan.renames) {
    std::printf("would rename: %s/%s to %s/%s\n", plan.target.c_str(),
                from.c_str(), plan.target.c_str(), to.c_str());
  }
  if (!plan.definition_line.empty()) {
    std::printf("would add to %s: %s\n", plan.definitions.c_str(),
                plan.definition_line.c_str());
  }
}

bool MakeCopy(const CopyPlan &plan) {
  std::error_code ec;
  const fs::path target(plan.target);
  const fs::path temp = Beside(fs::absolute(target, ec), ".tovcopy-");
  Made made(temp);
  std::string why;
  if (!CopyTree(plan.old_dir, temp, &why)) {
    std::fprintf(stderr, "tovupdtr: -copyLibrary: %s; nothing was copied\n",
                 why.c_str());
    return false;
  }
  for (const auto &[from, to] : plan.renames) {
    if (fs::exists(temp / to, ec)) {
      ec = std::make_error_code(std::errc::file_exists);
    } else {
      fs::rename(temp / from, temp / to, ec);
    }
    if (ec) {
      std::fprintf(stderr,
                   "tovupdtr: -copyLibrary: cannot rename %s to %s in the "
                   "copy: %s; nothing was copied\n",
                   from.c_str(), to.c_str(), ec.message().c_str());
      return false;
    }
  }
  // Put in place only now, whole: a failure before leaves no copy.
  if (fs::exists(fs::symlink_status(target, ec))) {
    ec = std::make_error_code(std::errc::file_exists);
  } else {
    fs::rename(temp, target, ec);
  }
  if (ec) {
    std::fprintf(stderr,
                 "tovupdtr: -copyLibrary: cannot make %s: %s; nothing was "
                 "copied\n",
                 plan.target.c_str(), ec.message().c_str());
    return false;
  }
  made.Keep();
  Made copy(target);

  // The definitions get the new library at their end, in a new file put in
  // their place, so that they are the old ones or the new ones whole.
  std::string text;
  {
    std::ifstream in(plan.definitions, std::ios::binary);
    if (!in.is_open()) ec = std::make_error_code(std::errc::io_error);
    std::ostringstream all;
    if (in.peek() != std::ifstream::traits_type::eof()) all << in.rdbuf();
    if (in.bad()) ec = std::make_error_code(std::errc::io_error);
    text = all.str();
  }
  if (!text.empty() && text.back() != '\n') {
    text += text.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  }
  text += plan.definition_line +
          (text.find("\r\n") != std::string::npos ? "\r\n" : "\n");
  const fs::path defs(plan.definitions);
  const fs::path new_defs = Beside(fs::absolute(defs, ec), ".tovnew-");
  bool written = !ec;
  if (written) {
    std::ofstream out(new_defs, std::ios::binary);
    out << text;
    out.close();
    written = static_cast<bool>(out);
  }
  if (written) {
    fs::permissions(new_defs, fs::status(defs, ec).permissions(), ec);
    fs::rename(new_defs, defs, ec);
    written = !ec;
  }
  if (!written) {
    fs::remove(new_defs, ec);
    std::fprintf(stderr,
                 "tovupdtr: -copyLibrary: cannot add the library %s to %s; "
                 "nothing was copied\n",
                 plan.new_lib.c_str(), plan.definitions.c_str());
    return false;
  }
  copy.Keep();
  return true;
}

}  // namespace tov::cli
