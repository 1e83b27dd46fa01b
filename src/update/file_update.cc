// tovUpdtrRegexpUpdateFile: rewrites the file that one line of the
// update-file list names, replacing every whole-word occurrence of each old
// name by its new name, node after node of the expression list.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "core/guard.h"
#include "core/messages.h"
#include "core/state.h"
#include "lcv/lcv.h"
#include "platform/platform.h"
#include "services/name_mapping/rix.h"
#include "services/regex/mur_regexp.h"
#include "tovUpdtr.h"
#include "update/update_plan.h"

namespace tov::update {
namespace {

using core::Msg;

constexpr size_t kComponentSize = core::kUpdateComponentSize;  // 260
// The factor between the file size and each work buffer: the text may grow
// to twice its size, less the terminating NUL.
constexpr size_t kScalingFactor = 2;
// The group of an expression that holds the old name itself.
constexpr int kNameGroup = 2;

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};
using Buffer = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
  void operator()(FILE *f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// strtok's rule on a caller's text, without strtok's hidden position: skips
// the leading delimiters, ends the token at the next delimiter with a NUL and
// returns its start; NULL when only delimiters are left.
char *FirstToken(char *text, const char *delimiters) {
  if (text == nullptr) return nullptr;
  char *start = text + std::strspn(text, delimiters);
  if (*start == '\0') return nullptr;
  char *end = start + std::strcspn(start, delimiters);
  if (*end != '\0') *end = '\0';
  return start;
}

// True when `name` has a part ".." (parts separated by '/' or '\\'): joined
// below a directory, it would lead out of it.
bool ClimbsOut(const char *name) {
  for (const char *part = name;;) {
    const size_t n = std::strcspn(part, "/\\");
    if (n == 2 && part[0] == '.' && part[1] == '.') return true;
    if (part[n] == '\0') return false;
    part += n + 1;
  }
}

// One call's file update; see UpdateFile.
class FileUpdate {
 public:
  FileUpdate(int code, tovUpdtrRegexpList *list, const char *name_space)
      : code_(code), list_(list), name_space_(name_space) {}

  int Run(char *line, int flags);
  // After a Run that gave TOV_UPDATE_CHANGED: hands the path and the new
  // text (with its length) to the caller, who frees them.  A NULL address
  // leaves that part with this object.
  void HandOver(char **path, char **text, size_t *length);

 private:
  template <typename... Args>
  void Error(Msg msg, Args... args) {
    core::Report(code_, core::kError, msg, args...);
  }

  // Reads the whole file into buffer a_; false after reporting the failure.
  bool Read(size_t size);
  // Applies one node: the text in a_ is searched and rewritten into b_, and
  // the two swap.  false after reporting a failure.
  bool Apply(tovUpdtrHashElement *element, murRegexp *regexp);
  // Applies every node of the list, one after the other.
  bool ApplyNodeByNode();
  // Applies the list through its plan: runs of plain names in one pass each.
  bool ApplyPlan();

  int code_;
  tovUpdtrRegexpList *list_;
  const char *name_space_;
  Buffer path_owner_;
  char *path_ = nullptr;

  // The two work buffers of capacity_ bytes each: a_ holds the current text
  // (text_length_ bytes and a NUL), b_ receives the next.
  Buffer a_;
  Buffer b_;
  size_t capacity_ = 0;
  size_t text_length_ = 0;
  bool changed_ = false;
};

bool FileUpdate::Read(size_t size) {
  // Binary mode: every byte of the file is kept as it is, line ends included.
  File in(std::fopen(path_, "rb"));
  if (in == nullptr) {
    Error(Msg::kOpenFailed, path_);
    return false;
  }
  if (size > SIZE_MAX / kScalingFactor) {
    Error(Msg::kAllocFailed);
    return false;
  }
  capacity_ = kScalingFactor * size;
  a_.reset(static_cast<char *>(std::malloc(capacity_)));
  if (a_ != nullptr) b_.reset(static_cast<char *>(std::malloc(capacity_)));
  if (a_ == nullptr || b_ == nullptr) {
    Error(Msg::kAllocFailed);
    return false;
  }
  a_.get()[0] = '\0';
  b_.get()[0] = '\0';
  // A file that now holds more than its reported size would lose its end on
  // write-back: it fails like one that holds less.
  if (std::fread(a_.get(), size, 1, in.get()) != 1 ||
      std::fgetc(in.get()) != EOF) {
    Error(Msg::kReadFailed, path_);
    return false;
  }
  a_.get()[size] = '\0';
  text_length_ = size;
  if (std::fclose(in.release()) != 0) {
    core::Report(code_, core::kWarning, Msg::kCloseFailed);
  }
  return true;
}

bool FileUpdate::Apply(tovUpdtrHashElement *element, murRegexp *regexp) {
  const char *in = a_.get();
  char *out = b_.get();
  size_t scan = 0;   // where the next search starts in the input
  size_t write = 0;  // end of the output so far, on its NUL
  char new_name[kComponentSize] = {};
  out[0] = '\0';
  // Every search gets the rest of the text as a text of its own, so '^'
  // holds at the scan position.  The delimiter after an occurrence is not
  // consumed: it may open the next one.
  while (mur_regexecn(regexp, in + scan, text_length_ - scan) == 1) {
    const char *name_start = regexp->startp[kNameGroup];
    const char *name_end = regexp->endp[kNameGroup];
    if (name_start == nullptr) break;  // not an expression of ours
    const size_t start = static_cast<size_t>(name_start - in);
    const size_t end = static_cast<size_t>(name_end - in);

    const size_t prefix = start - scan;
    if (write + prefix >= capacity_) {
      Error(Msg::kBufferSpace);
      return false;
    }
    std::memcpy(out + write, in + scan, prefix);
    write += prefix;
    out[write] = '\0';

    const char *to_member = tovUpdtrHashGetNonNullToMember(element);
    if (rixMapName("LibraryNT", name_space_, to_member, 0, new_name) == 0) {
      Error(Msg::kIllegalName, to_member != nullptr ? to_member : "");
      return false;
    }
    const size_t name_length = std::strlen(new_name);
    if (write + name_length >= capacity_) {
      Error(Msg::kBufferSpaceScaling);
      return false;
    }
    std::memcpy(out + write, new_name, name_length + 1);
    write += name_length;
    changed_ = true;
    // An empty occurrence replaced by an empty name moves neither position:
    // searching again would find it for ever.
    if (end == scan && name_length == 0) break;
    scan = end;
  }
  const size_t rest = text_length_ - scan;
  if (write + rest >= capacity_) {
    Error(Msg::kBufferSpaceRest, path_);
    return false;
  }
  std::memcpy(out + write, in + scan, rest);
  write += rest;
  out[write] = '\0';
  std::swap(a_, b_);
  text_length_ = write;
  b_.get()[0] = '\0';
  return true;
}

bool FileUpdate::ApplyNodeByNode() {
  for (tovUpdtrRegexpList *node = list_; node != nullptr; node = node->next) {
    if (node->element == nullptr || node->regexp == nullptr) continue;
    if (!Apply(node->element, node->regexp)) return false;
  }
  return true;
}

bool FileUpdate::ApplyPlan() {
  for (const UpdatePlan::Step &step :
       UpdatePlan::For(list_, name_space_).steps()) {
    if (step.rewriter != nullptr) {
      PlainRewriter::Result result =
          step.rewriter->Rewrite(a_.get(), text_length_, b_.get(), capacity_);
      if (!result.touched) continue;
      if (result.fits && result.max_length < capacity_) {
        std::swap(a_, b_);
        text_length_ = result.length;
        b_.get()[0] = '\0';
        changed_ = true;
        continue;
      }
      // Somewhere along these renames the text outgrows the buffers: the
      // nodes applied one by one tell exactly where, with their message.
    }
    for (tovUpdtrRegexpList *node : step.nodes) {
      if (!Apply(node->element, node->regexp)) return false;
    }
  }
  return true;
}

int FileUpdate::Run(char *line, int flags) {
  char *reference = FirstToken(line, " \t\n\r");
  if (reference == nullptr) {
    Error(Msg::kStrtokFailed);
    return 0;
  }
  char lib[kComponentSize], cell[kComponentSize], view[kComponentSize],
      file[kComponentSize];
  // Components that do not fit are refused by the parse, with its message.
  if (lcv::ParseLCV(reference, lib, cell, view, file, kComponentSize) == 0) {
    return 0;
  }
  // A list from elsewhere must not make the update rewrite a file outside
  // the design library: no part of the reference may lead upwards.
  if (ClimbsOut(cell) || ClimbsOut(view) || ClimbsOut(file)) {
    Error(Msg::kPathClimbsOut, reference);
    return 0;
  }
  path_owner_.reset(lcvGetPath(lib, cell, view, file));
  if (path_owner_ == nullptr) {
    Error(Msg::kGetPathFailed, reference);
    return 0;
  }
  path_ = path_owner_.get();

  platform::FileStatus status;
  if (platform::Stat(path_, &status) != 0) {
    Error(Msg::kStatFailed, path_);
    return 0;
  }
  if (status.size == 0) {
    Error(Msg::kSkipEmpty, path_);
    return TOV_UPDATE_UNCHANGED;
  }
  if (!Read(static_cast<size_t>(status.size))) return 0;
  if (list_ == nullptr) return TOV_UPDATE_UNCHANGED;

  if (!((flags & TOV_UPDATE_NODE_BY_NODE) ? ApplyNodeByNode() : ApplyPlan())) {
    return 0;
  }
  if (!changed_) return TOV_UPDATE_UNCHANGED;
  if (flags & TOV_UPDATE_DRY_RUN) return TOV_UPDATE_CHANGED;

  if (tovMkWritable(path_) != 1) {
    Error(Msg::kMkWritableFailed, path_);
    return 0;
  }
  // The new text replaces the old one whole or not at all: a failed write
  // leaves the file as it was read.
  switch (platform::ReplaceFileContents(path_, a_.get(), text_length_)) {
    case 0:
      return TOV_UPDATE_CHANGED;
    case -1:
      Error(Msg::kOpenFailed, path_);
      return 0;
    default:
      Error(Msg::kWriteFailed, path_);
      return 0;
  }
}

void FileUpdate::HandOver(char **path, char **text, size_t *length) {
  if (path != nullptr) *path = path_owner_.release();
  if (text != nullptr) *text = a_.release();
  if (length != nullptr) *length = text_length_;
}

// The update of the file that the first token of `line` names: 0 on failure
// (the file as it was), TOV_UPDATE_UNCHANGED or TOV_UPDATE_CHANGED.  A
// change also hands out the path and the new text through the non-NULL
// addresses among `path`, `text` and `length`, which the caller has cleared.
int UpdateFile(char *line, int code, tovUpdtrRegexpList *list,
               const char *name_space, int flags, char **path = nullptr,
               char **text = nullptr, size_t *length = nullptr) {
  FileUpdate update(code, list, name_space);
  const int result = update.Run(line, flags);
  if (result == TOV_UPDATE_CHANGED) update.HandOver(path, text, length);
  return result;
}

}  // namespace
}  // namespace tov::update

extern "C" TOVUPDTR_API int tovUpdtrRegexpUpdateFileEx(char *line, int msgCode,
                                                       tovUpdtrRegexpList *list,
                                                       const char *nameSpace,
                                                       int flags) {
  return tov::core::Guard(0, [&] {
    return tov::update::UpdateFile(line, msgCode, list, nameSpace, flags);
  });
}

extern "C" TOVUPDTR_API int tovUpdtrRegexpUpdateFileText(
    char *line, int msgCode, tovUpdtrRegexpList *list, const char *nameSpace,
    int flags, char **path, char **newText, size_t *newLength) {
  if (path != nullptr) *path = nullptr;
  if (newText != nullptr) *newText = nullptr;
  if (newLength != nullptr) *newLength = 0;
  return tov::core::Guard(0, [&] {
    return tov::update::UpdateFile(line, msgCode, list, nameSpace, flags, path,
                                   newText, newLength);
  });
}

extern "C" TOVUPDTR_API int tovUpdtrRegexpUpdateFile(char *line, int msgCode,
                                                     tovUpdtrRegexpList *list,
                                                     const char *nameSpace) {
  return tovUpdtrRegexpUpdateFileEx(line, msgCode, list, nameSpace, 0) != 0 ? 1
                                                                            : 0;
}
