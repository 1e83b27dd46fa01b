// tovupdtr: fixes every file of an update-file list after the design data
// named in a from-to list was copied or renamed.
//
//   tovupdtr -fromToList FILE -updateFileList FILE -murlib FILE
//            [-reason copy|rename|renameRef] [own options, see options.cc]
//
// Exit status 0 when every step and every file succeeded, 1 when a file
// failed, 2 for a wrong command line (nothing read or written), 3 when an
// input could not be used.
// docs/tovupdtr.1 is its manual page.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "copy_library.h"
#include "options.h"
#include "renames.h"
#include "system.h"
#include "tovUpdtr.h"
#include "update_list.h"

namespace {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Exit statuses.
constexpr int kAllDone = 0;
constexpr int kSomeFailed = 1;
constexpr int kUsageError = 2;
constexpr int kInputUnusable = 3;

int Run(int argc, char **argv) {
  std::vector<std::string> args(argv, argv + argc);
  tov::cli::Options options;
  if (!tov::cli::TakeOwnOptions(&args, &options)) return kUsageError;
  if (options.version) {
    // A program run with another build of the library than it was
    // compiled with says so.
    const char *library = tovUpdtrGetVersion();
    if (std::strcmp(library, TOVUPDTR_VERSION_STRING) == 0) {
      std::printf("tovupdtr %s\n", TOVUPDTR_VERSION_STRING);
    } else {
      std::printf("tovupdtr %s (library %s)\n", TOVUPDTR_VERSION_STRING,
                  library);
    }
    return kAllDone;
  }
  if (options.quiet) tovUpdtrSetMinSeverity(2);
  if (tov::cli::AsksForHelp(args)) {
    std::fputs(tov::cli::HelpText().c_str(), stdout);
    std::fputc('\n', stdout);
    return kAllDone;
  }
  // A typo must not touch the tree: the whole command line is checked
  // before anything is read.
  std::string complaint;
  if (!tov::cli::CheckCommandLine(args, options.Walks(), &complaint)) {
    std::fprintf(stderr, "tovupdtr: %s; see tovupdtr -help\n",
                 complaint.c_str());
    return kUsageError;
  }

  // "-" names the standard input as the update-file list, which the
  // program reads itself; the library takes no value that begins with '-'.
  const size_t list_value = tov::cli::UpdateListValue(args);
  const bool list_from_stdin = list_value != 0 && args[list_value] == "-";
  if (list_from_stdin) args[list_value] = "(standard input)";
  // The libraries walked may stand for the whole list; the library's
  // parser still wants one named.
  const bool has_list = list_value != 0;
  if (!has_list) {
    args.push_back("-updateFileList");
    args.push_back("(none)");
  }

  // The library parses the rest, which the check above found complete.
  std::vector<char *> rest;
  for (std::string &arg : args) rest.push_back(arg.data());
  rest.push_back(nullptr);
  char *from_to = nullptr;
  char *update_list = nullptr;
  char *murlib = nullptr;
  int mode = 0;
  int scope = 0;
  tovUpdtrXParseArgs(static_cast<int>(args.size()), rest.data(), &from_to,
                     &update_list, &murlib, &mode, &scope);
  CString from_to_owned(from_to), update_list_owned(update_list),
      murlib_owned(murlib);

  if (tovUpdtrInit(argc, argv, murlib, options.name_space.c_str()) != 1) {
    std::fprintf(stderr,
                 "tovupdtr: cannot use the library definitions %s: %s\n",
                 murlib, bevLastError());
    return kInputUnusable;
  }
  // The library fails some lines without a word (a blank line, a line
  // that changes nothing): the program names the first bad line itself.
  if (!tov::cli::CheckFromToList(from_to)) {
    std::fprintf(stderr, "tovupdtr: the from-to list %s was not loaded\n",
                 from_to);
    return kInputUnusable;
  }
  // Read whole before anything is written, so that a list that cannot be
  // used stops the program at once.
  std::vector<tov::cli::ListLine> lines;
  if (has_list) {
    if (!tov::cli::ReadUpdateList(update_list, list_from_stdin, &lines)) {
      return kInputUnusable;
    }
    // A line may give a file's path instead of its reference, relative to
    // the list's own directory.
    std::string base;
    if (!list_from_stdin) {
      base = update_list;
      const size_t slash = base.find_last_of("/\\");
      base = slash == std::string::npos ? "" : base.substr(0, slash + 1);
    }
    tov::cli::ResolvePaths(base, &lines);
  }
  int kind = tovProcessFromToFileEx(from_to, options.level, "LibraryNT",
                                    options.case_sensitive ? 1 : 0);
  if (kind == LCV_ERROR) {
    // The library said why (the check above found every line's shape
    // right); the program says that it stops.
    std::fprintf(stderr, "tovupdtr: the from-to list %s was not loaded\n",
                 from_to);
    return kInputUnusable;
  }

  tovUpdtrRegexpList *list =
      tovUpdtrGenRegexpList(options.update_type, options.name_space.c_str());
  if (list == nullptr) {
    std::fprintf(stderr, "tovupdtr: the renames of %s cannot be searched for\n",
                 from_to);
    return kInputUnusable;
  }

  // Renames applied one after the other lose the difference between the
  // names of a cycle (a swap turns both names into one): refused before
  // anything is written.  A chain is what was asked for more often than
  // not, and said once.  Renames applied together make neither.
  // The warnings below are left out under -quiet, and on a dry run of a
  // copy, which leaves its new library out of the definitions.
  const bool warn =
      !options.quiet && !(options.dry_run && !options.copy_library.empty());
  std::vector<std::vector<std::string>> chains;
  {
    // The renames are let go before any file is read: for a long list they
    // are as large as the plan that the updates then make of it.
    const std::vector<tov::cli::Rename> renames =
        options.simultaneous ? std::vector<tov::cli::Rename>()
                             : tov::cli::RenamesOf(list);
    // Most lists, the long ones above all, rename no new name: neither
    // check has anything to find in them, and the question is asked once.
    const bool linked = tov::cli::SomeNewNameIsRenamed(renames);
    const auto cycles = linked ? tov::cli::Cycles(renames)
                               : std::vector<std::vector<std::string>>();
    for (const auto &cycle : cycles) {
      std::fprintf(stderr,
                   "tovupdtr: the renames %s form a cycle: applied one after "
                   "the other they would make these names one\n",
                   tov::cli::Arrows(cycle).c_str());
    }
    if (!cycles.empty()) return kInputUnusable;
    if (warn && linked) chains = tov::cli::Chains(renames);
  }
  // The copy that the from-to list describes is made before any file is
  // read, whole or not at all; its files are then updated as a library's.
  if (!options.copy_library.empty()) {
    const std::vector<std::string> &copy = options.copy_library;
    tov::cli::CopyPlan plan;
    if (!tov::cli::PlanCopy(copy[0], copy[1], copy[2], from_to, murlib,
                            &plan)) {
      return kInputUnusable;
    }
    if (options.dry_run) {
      // The copy would hold OLD's files as they are: what would change in
      // them is what would change in it.
      tov::cli::DescribeCopy(plan);
      options.update_libraries.push_back(copy[0]);
    } else {
      if (!tov::cli::MakeCopy(plan)) return kInputUnusable;
      if (tovUpdtrInit(argc, argv, murlib, options.name_space.c_str()) != 1) {
        std::fprintf(stderr,
                     "tovupdtr: cannot use the library definitions %s: %s\n",
                     murlib, bevLastError());
        return kInputUnusable;
      }
      if (!options.quiet) {
        std::printf("copied: %s to %s as %s (%lu directories renamed)\n",
                    plan.old_dir.c_str(), plan.target.c_str(),
                    plan.new_lib.c_str(),
                    static_cast<unsigned long>(plan.renames.size()));
      }
      options.update_libraries.push_back(copy[1]);
    }
  }
  // Cells renamed in place: their directories first, then the library's
  // files, as for a copy.
  if (!options.rename_cells.empty()) {
    tov::cli::CopyPlan plan;
    if (!tov::cli::PlanRenames(options.rename_cells, from_to, &plan)) {
      return kInputUnusable;
    }
    if (options.dry_run) {
      tov::cli::DescribeCopy(plan);
    } else if (!tov::cli::MakeRenames(plan)) {
      return kInputUnusable;
    }
    options.update_libraries.push_back(options.rename_cells);
  }
  if (options.Walks() && !tov::cli::AddLibraryFiles(options, &lines)) {
    return kInputUnusable;
  }
  if (warn) {
    tov::cli::WarnAboutNewLibraries(list, murlib);
    for (const auto &chain : chains) {
      std::fprintf(stderr,
                   "tovupdtr: warning: the renames %s follow each other in "
                   "the order of the from-to list: %s ends as %s\n",
                   tov::cli::Arrows(chain).c_str(), chain.front().c_str(),
                   chain.back().c_str());
    }
  }

  if (options.lock_wait >= 0) tovUpdtrSetLockWait(options.lock_wait * 1000);
  // Ended by Ctrl+C, a terminal that closes or a kill, the program leaves
  // no lock or new file behind, nor a file half rewritten.
  tov::cli::sys::CleanUpOnInterrupt(tovUpdtrCleanup);
  tov::cli::Summary summary;
  if (!tov::cli::UpdateListedFiles(lines, list, options, &summary)) {
    return kInputUnusable;
  }
  // Files of a walk that look binary are counted only when there are any,
  // so that the line keeps its form for the programs that read it.
  const std::string skipped =
      summary.skipped > 0 ? ", " + std::to_string(summary.skipped) + " skipped"
                          : "";
  std::printf("tovupdtr: %d listed, %d %s, %d unchanged, %d failed%s\n",
              summary.listed, summary.changed,
              options.dry_run ? "would change" : "updated", summary.unchanged,
              summary.failed, skipped.c_str());
  // An old name that no file held is most often a misspelled line of the
  // from-to list: the first few are named.
  if (!options.quiet) {
    constexpr size_t kNamed = 10;
    size_t count = 0;
    const std::vector<tov::cli::Rename> unmatched =
        tov::cli::UnmatchedRenames(list, kNamed, &count);
    for (size_t i = 0; i < unmatched.size(); ++i) {
      std::fprintf(stderr,
                   "tovupdtr: warning: the rename %s -> %s matched nothing in "
                   "any file\n",
                   std::string(unmatched[i].from).c_str(),
                   std::string(unmatched[i].to).c_str());
    }
    if (count > unmatched.size()) {
      std::fprintf(stderr,
                   "tovupdtr: warning: and %lu more renames matched nothing\n",
                   static_cast<unsigned long>(count - unmatched.size()));
    }
  }
  return summary.failed == 0 && summary.report_written ? kAllDone : kSomeFailed;
}

}  // namespace

int main(int argc, char **argv) {
  // Diffs show the lines of a file byte for byte: a "\r\n" line end stays
  // one, so that the diff applies back.  (The messages on stderr keep the
  // system's line ends.)
  tov::cli::sys::SetBinaryMode(stdout);
  return Run(argc, argv);
}
