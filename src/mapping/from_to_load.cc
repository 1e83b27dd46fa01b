// Loading a from-to list into the mapping.
#include "mapping/from_to_load.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "args/args.h"
#include "core/guard.h"
#include "core/line_reader.h"
#include "core/messages.h"
#include "core/state.h"
#include "lcv/lcv.h"
#include "mapping/mapping_table.h"
#include "platform/platform.h"
#include "services/name_mapping/rix.h"
#include "tovUpdtr.h"

namespace tov::mapping {
namespace {

using core::Msg;

constexpr char kLibraryNT[] = "LibraryNT";
// Delimiters between the two references of a line.
constexpr char kReferenceDelimiters[] = " \t\n\r";
// One read yields at most 1039 characters; a longer line is read in pieces.
constexpr int kLineSize = 1040;

static_assert(kFromToComponentSize >= kRixMaxName,
              "the name-mapping service writes up to kRixMaxName bytes");

// Cuts a string into tokens in place: a token ends at the first delimiter,
// which is overwritten with a terminator, and the next scan starts after
// it, skipping leading delimiters of its own set.  Each scan may use another
// delimiter set.  The position is the object's own, so nothing else that
// tokenises text can disturb it.
class Tokenizer {
 public:
  explicit Tokenizer(char *text) : next_(text) {}

  // The next token, or NULL when only delimiters are left.
  char *Next(const char *delimiters) {
    char *start = next_ + std::strspn(next_, delimiters);
    if (*start == '\0') {
      next_ = start;
      return nullptr;
    }
    char *end = start + std::strcspn(start, delimiters);
    if (*end != '\0') {
      *end = '\0';
      next_ = end + 1;
    } else {
      next_ = end;
    }
    return start;
  }

 private:
  char *next_;
};

const char *Member(const char *s) { return s != nullptr ? s : ""; }

// The procedure of all four makers; `depth` is the number of component
// pairs taken into account, from the library down (1 library to 4 file).
// Components below the depth are ignored and stored as "".
int AddElement(int depth, const char *const (&from_in)[4],
               const char *const (&to_in)[4]) {
  const char *from[4];
  const char *to[4];
  for (int i = 0; i < 4; ++i) {
    from[i] = i < depth ? Member(from_in[i]) : "";
    to[i] = i < depth ? Member(to_in[i]) : "";
  }

  bool changed = false;
  for (int i = 0; i < depth; ++i) {
    if (StrCmp(from[i], to[i]) != 0) changed = true;
  }
  if (!changed) return 1;

  // Only the from side of a key is read.
  tovUpdtrHashElement key = {};
  char empty[] = "";
  char **key_from[4] = {&key.fromLib, &key.fromCell, &key.fromView,
                        &key.fromFile};
  for (int i = 0; i < 4; ++i) *key_from[i] = const_cast<char *>(from[i]);
  key.toLib = key.toCell = key.toView = key.toFile = empty;

  // The new element has the key's from-members: it is stored under the
  // hash that the probe used.
  const SideHashes hashes = HashSides(from, to);
  const tovUpdtrHashElement *stored = ProbeFrom(&key, hashes.from);
  if (stored == nullptr) {
    ElementPtr element = NewElement(
        {from[0], from[1], from[2], from[3], to[0], to[1], to[2], to[3]});
    if (element == nullptr) throw std::bad_alloc();
    Stored where = InsertElement(element.get(), &hashes);
    if (where == Stored::kNone) throw std::bad_alloc();
    element.release();  // the mapping owns it now
    if (where != Stored::kBoth) throw std::bad_alloc();
    return 1;
  }

  const char *stored_to[4] = {Member(stored->toLib), Member(stored->toCell),
                              Member(stored->toView), Member(stored->toFile)};
  bool differs = false;
  for (int i = 0; i < depth; ++i) {
    if (StrCmp(to[i], stored_to[i]) != 0) differs = true;
  }
  switch (depth) {
    case 1:
      if (!differs) return 1;
      core::Report(0, Msg::kConflictLib, from[0], stored_to[0], to[0]);
      return 0;
    case 2:
      if (!differs) return 1;
      core::Report(0, Msg::kConflictCell, from[0], from[1], stored_to[0],
                   stored_to[1], to[0], to[1]);
      return 0;
    case 3:
      if (!differs) return 1;
      core::Report(0, Msg::kConflictView, from[0], from[1], from[2],
                   stored_to[0], stored_to[1], stored_to[2], to[0], to[1],
                   to[2]);
      return 0;
    default:
      // A file is never mapped twice, even to the same place.
      core::Report(0, Msg::kConflictFile, differs ? " but different to's" : "",
                   from[0], from[1], from[2], from[3], stored_to[0],
                   stored_to[1], stored_to[2], stored_to[3], to[0], to[1],
                   to[2], to[3]);
      return 0;
  }
}

int StrtokFailed() {
  core::Report(0, Msg::kStrtokFailed);
  return LCV_ERROR;
}

// Whether the cascade row of `row` (a kind from 3 to 6) runs at `level`:
// the library row at levels 0 to 3, the cell row at 1 to 3, the view row at
// 2 and 3, the file row at 3.
bool RowRuns(int row, int level) {
  return level >= row - LCV_LIB_CHANGED && level <= 3;
}

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};

int Load(const char *path, int level, const char *name_space,
         int case_sensitive) {
  const char *shown_path = path != nullptr ? path : "(null)";
  errno = 0;
  std::unique_ptr<FILE, FileCloser> file(
      path != nullptr ? std::fopen(path, "rb") : nullptr);
  if (file == nullptr) {
    const int error = errno;
    core::Report(0, Msg::kFileNotOpened, shown_path);
    core::ReportReason(0, error);
    return LCV_ERROR;
  }
  // A name space the service does not know would leave every name of the
  // list unmapped; refuse it before the previous mapping is discarded.
  bool is_library_nt =
      name_space != nullptr && std::strcmp(name_space, kLibraryNT) == 0;
  rixNameFunc ident_to_name =
      name_space != nullptr ? rixGetIdentToNameFunc(name_space) : nullptr;
  if (!is_library_nt && ident_to_name == nullptr) {
    core::Report(0, Msg::kUnknownNameSpace,
                 name_space != nullptr ? name_space : "(null)", shown_path);
    return LCV_ERROR;
  }

  try {
    if (!CreateTables()) throw std::bad_alloc();
    // Room for a line of every 16 bytes of the list, so that a long list
    // does not grow the indexes' order by doubling; room that no element
    // takes is never touched, and costs nothing.
    platform::FileStatus status;
    if (platform::StatOpen(file.get(), &status) == 0 && status.size > 0) {
      ReserveElements(static_cast<size_t>(status.size) / 16);
    }
    tovUpdtrHashSetCaseSensitive(case_sensitive);
    core::State &state = core::GetState();
    state.from_to_name_space.reset();
    state.from_to_name_space.emplace(name_space);
    state.from_to_is_library_nt = is_library_nt;
    state.from_to_ident_to_name = ident_to_name;

    // One set of component buffers serves every line of the list.
    auto components = std::make_unique<LineComponents>();
    char line[kLineSize];
    int line_number = 0;
    int common_kind = LCV_UNSET;
    while (core::ReadLine(file.get(), line, kLineSize) != nullptr) {
      ++line_number;
      int kind = tovProcessFromToLine(line, level, {path, line_number},
                                      components.get());
      // The line has reported its own failure.
      if (kind == LCV_ERROR) return LCV_ERROR;
      if (common_kind == LCV_UNSET) {
        common_kind = kind;
      } else if (kind != common_kind) {
        core::Report(0, Msg::kMoreThanOneKind, tovWhatChangedStrs[common_kind],
                     line_number, path, tovWhatChangedStrs[kind]);
        return LCV_ERROR;
      }
    }
    if (common_kind != LCV_UNSET) return common_kind;
    return args::UpdateMode() == TOV_MODE_REF_RENAME ? LCV_LIB_CHANGED
                                                     : LCV_UNSET;
  } catch (const std::bad_alloc &) {
    core::Report(0, Msg::kLoadOutOfMemory, path);
    return LCV_ERROR;
  }
}

}  // namespace

int tovUpdtrAddLibElement(const char *fl, const char *tl) {
  return AddElement(1, {fl, "", "", ""}, {tl, "", "", ""});
}

int tovUpdtrAddCellElement(const char *fl, const char *fc, const char *tl,
                           const char *tc) {
  return AddElement(2, {fl, fc, "", ""}, {tl, tc, "", ""});
}

int tovUpdtrAddViewElement(const char *fl, const char *fc, const char *fv,
                           const char *tl, const char *tc, const char *tv) {
  return AddElement(3, {fl, fc, fv, ""}, {tl, tc, tv, ""});
}

int tovUpdtrAddFileElement(const char *fl, const char *fc, const char *fv,
                           const char *ff, const char *tl, const char *tc,
                           const char *tv, const char *tf) {
  return AddElement(4, {fl, fc, fv, ff}, {tl, tc, tv, tf});
}

int tovUpdtrAddAtomElements(const char *fl, const char *fc, const char *fv,
                            const char *tl, const char *tc, const char *tv,
                            int whatChanged) {
  switch (whatChanged) {
    case LCV_VIEW_CHANGED:
      if (!tovUpdtrAddViewElement("", "", fv, "", "", tv)) return 0;
      [[fallthrough]];
    case LCV_CELL_CHANGED:
      if (!tovUpdtrAddCellElement("", fc, "", tc)) return 0;
      [[fallthrough]];
    case LCV_LIB_CHANGED:
      return tovUpdtrAddLibElement(fl, tl);
    case LCV_FILE_CHANGED:
      return 1;
    default:
      return 0;
  }
}

int tovProcessFromToLine(char *line, int level, const LineSource &source,
                         LineComponents *components) {
  std::unique_ptr<LineComponents> own;
  if (components == nullptr) {
    own = std::make_unique<LineComponents>();
    components = own.get();
  }
  const core::State &state = core::GetState();
  auto &parsed = components->parsed;
  const size_t size = kFromToComponentSize;

  Tokenizer tokens(line);
  const char *from = tokens.Next(kReferenceDelimiters);
  if (from == nullptr) return StrtokFailed();
  if (!lcv::ParseLCV(from, parsed[0], parsed[1], parsed[2], parsed[3], size)) {
    return LCV_ERROR;
  }
  const char *to = tokens.Next(kReferenceDelimiters);
  if (to == nullptr) return StrtokFailed();
  if (!lcv::ParseLCV(to, parsed[4], parsed[5], parsed[6], parsed[7], size)) {
    return LCV_ERROR;
  }
  // Only the delimiter that ended the to reference and newlines may follow.
  // The line is shown from its start, which after the cutting above runs to
  // the end of the from reference.
  if (tokens.Next("\n") != nullptr) {
    core::Report(0, Msg::kExtraTokens, line);
  }

  // The kind is taken on the names as read, compared exactly.
  int kind = lcv::WhatChanged(parsed[0], parsed[1], parsed[2], parsed[3],
                              parsed[4], parsed[5], parsed[6], parsed[7]);

  char(*working)[kFromToComponentSize] = parsed;
  if (!state.from_to_is_library_nt) {
    auto &mapped = components->mapped;
    for (int i = 0; i < 8; ++i) {
      // An absent component stays absent in every name space.
      if (parsed[i][0] == '\0') {
        mapped[i][0] = '\0';
        continue;
      }
      if (!rixMapper(rixLibraryNTToIdent, state.from_to_ident_to_name,
                     parsed[i], 0, mapped[i])) {
        core::Report(
            0, Msg::kCannotMapComponent, parsed[i],
            state.from_to_name_space ? state.from_to_name_space->c_str() : "",
            source.line_number, Member(source.path));
        return LCV_ERROR;
      }
    }
    working = mapped;
  }
  const char *fl = working[0], *fc = working[1], *fv = working[2],
             *ff = working[3], *tl = working[4], *tc = working[5],
             *tv = working[6], *tf = working[7];

  if (level == 4) {
    return tovUpdtrAddAtomElements(fl, fc, fv, tl, tc, tv, kind) ? kind
                                                                 : LCV_ERROR;
  }
  if (kind == LCV_NONE_CHANGED) return kind;
  if (kind < LCV_LIB_CHANGED || kind > LCV_FILE_CHANGED) return LCV_ERROR;
  // The line enters the cascade at the row of its kind and runs down to the
  // file row; each row's maker runs only at the levels that include it.
  for (int row = kind; row <= LCV_FILE_CHANGED; ++row) {
    if (!RowRuns(row, level)) continue;
    int ok = 1;
    switch (row) {
      case LCV_LIB_CHANGED:
        ok = tovUpdtrAddLibElement(fl, tl);
        break;
      case LCV_CELL_CHANGED:
        ok = tovUpdtrAddCellElement(fl, fc, tl, tc);
        break;
      case LCV_VIEW_CHANGED:
        ok = tovUpdtrAddViewElement(fl, fc, fv, tl, tc, tv);
        break;
      default:
        ok = tovUpdtrAddFileElement(fl, fc, fv, ff, tl, tc, tv, tf);
        break;
    }
    if (!ok) return LCV_ERROR;
  }
  return kind;
}

}  // namespace tov::mapping

extern "C" {

TOVUPDTR_API int tovProcessFromToFile(const char *path, int level) {
  return tovProcessFromToFileEx(path, level, "LibraryNT", 0);
}

TOVUPDTR_API int tovProcessFromToFileEx(const char *path, int level,
                                        const char *nameSpace,
                                        int caseSensitive) {
  return tov::core::Guard(static_cast<int>(LCV_ERROR), [&] {
    return tov::mapping::Load(path, level, nameSpace, caseSensitive);
  });
}

}  // extern "C"
