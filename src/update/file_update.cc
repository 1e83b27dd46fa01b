// tovUpdtrRegexpUpdateFile: rewrites the file that one line of the
// update-file list names, replacing every whole-word occurrence of each old
// name by its new name, node after node of the expression list.
#include "update/file_update.h"

namespace tov::update {

bool FileUpdate::ReadyToWrite() {
  if (!lock_.MayWrite(code_, path_)) return false;
  if (MkWritable(path_) != 1) {
    Error(Msg::kMkWritableFailed, path_);
    return false;
  }
  return true;
}

int FileUpdate::ReplaceFlags(int flags) const {
  return (flags & TOV_UPDATE_SYNC) ? platform::kReplaceSync : 0;
}

bool FileUpdate::Read(size_t size) {
  // Binary mode: every byte of the file is kept as it is, line ends included.
  File in(std::fopen(path_, "rb"));
  if (in == nullptr) {
    SystemError(Msg::kOpenFailed, path_);
    return false;
  }
  // What was opened must be the file that was found inside the library: a
  // link swapped in since then cannot make the update read elsewhere.
  platform::FileStatus opened;
  if (platform::StatOpen(in.get(), &opened) != 0 ||
      !platform::SameFile(opened, pinned_)) {
    Error(Msg::kFileReplaced, path_);
    return false;
  }
  if (size > SIZE_MAX / scaling_) {
    Error(Msg::kAllocFailed);
    return false;
  }
  // Each buffer holds twice the file, as the buffer-space limit of the text
  // says; only what is written of them takes memory.
  capacity_ = scaling_ * size;
  WorkArea &work = Work();
  if (!work.first.Reserve(capacity_) || !work.second.Reserve(capacity_)) {
    Error(Msg::kAllocFailed);
    return false;
  }
  text_length_ = size;
  // The text is read into the reused work memory, never mapped: a file cut
  // short by someone else while mapped would end the calling program with
  // a signal, where a read just comes back short.
  char *text = work.first.data();
  a_ = text;
  b_ = work.second.data();
  work.first.Prefault(size + 1);
  text[0] = '\0';
  // A file that now holds more than its reported size would lose its end
  // on write-back: it fails like one that holds less.
  // A file found shorter or longer than its size leaves no error number:
  // only a failed read gives a reason.
  platform::SetErrorNumber(0);
  if (std::fread(text, size, 1, in.get()) != 1 || std::fgetc(in.get()) != EOF) {
    SystemError(Msg::kReadFailed, path_);
    return false;
  }
  text[size] = '\0';
  if (std::fclose(in.release()) != 0) {
    const int error = platform::ErrorNumber();
    core::Report(code_, Msg::kCloseFailed);
    core::ReportReason(code_, error);
  }
  return true;
}

bool FileUpdate::ReadLayout(FileFormat format) {
  if (format != FileFormat::kGdsii) {
    Error(Msg::kFormatNotSupported, path_, FormatDescription(format));
    return false;
  }
  auto layout = std::make_unique<Layout>();
  // The stream, read into the first work buffer, is kept as it is: that
  // buffer is handed to the layout, and a new one gets its strings.
  WorkArea &work = Work();
  layout->bytes.Swap(work.first);
  std::string fault;
  if (!layout->stream.Scan(layout->bytes.data(), text_length_, &fault)) {
    Error(Msg::kLayoutMalformed, path_, fault.c_str());
    return false;
  }
  const size_t joined = layout->stream.joined_length();
  if (!work.first.Reserve(capacity_)) {
    Error(Msg::kAllocFailed);
    return false;
  }
  work.first.Prefault(joined + 1);
  char *text = work.first.data();
  layout->stream.Join(text);
  text[joined] = '\0';
  a_ = text;
  text_length_ = joined;
  layout_ = std::move(layout);
  return true;
}

bool FileUpdate::WriteBack(int flags) {
  WorkArea &work = Work();
  platform::ContentSource content;
  if (pending_) {
    // The new text goes to the file straight from the old one and the
    // changes, without being written out in memory first.
    if (!work.staging.Reserve(kStagingSize)) {
      Error(Msg::kAllocFailed);
      return false;
    }
    content = [this, &work](const platform::ContentSink &sink) {
      return PlainRewriter::Emit(a_, text_length_, work.changes,
                                 work.staging.data(), kStagingSize, sink);
    };
  } else {
    content = [this](const platform::ContentSink &sink) {
      return text_length_ == 0 || sink(a_, text_length_);
    };
  }
  // The new text replaces the old one whole or not at all: a failed write
  // leaves the file as it was read.
  size_t new_length = pending_ ? work.changes.length() : text_length_;
  if (layout_ != nullptr) {
    content = [this](const platform::ContentSink &sink) {
      return layout_->stream.Emit(sink);
    };
    new_length = layout_->stream.new_size();
  }
  const int replace = ReplaceFlags(flags);
  platform::SetErrorNumber(0);
  switch (platform::ReplaceFileContents(path_, content, replace,
                                        static_cast<int64_t>(new_length),
                                        &pinned_, lock_.file_lock())) {
    case 0:
      return true;
    case -3:
      Error(Msg::kFileReplaced, path_);
      return false;
    case -1:
      SystemError(Msg::kOpenFailed, path_);
      return false;
    default:
      SystemError(Msg::kWriteFailed, path_);
      return false;
  }
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
  // the design library: the path is checked as the file system will see
  // it, names converted and links resolved.
  std::string library_dir;
  bool climbs_out = false;
  path_owner_.reset(
      lcv::GetPathInLibrary(lib, cell, view, file, &library_dir, &climbs_out));
  if (climbs_out) {
    Error(Msg::kPathClimbsOut, reference);
    return 0;
  }
  if (path_owner_ == nullptr) {
    Error(Msg::kGetPathFailed, reference);
    return 0;
  }
  path_ = path_owner_.get();
  reference_ = reference;
  library_dir_ = std::move(library_dir);
  platform::FileStatus status;
  if (!Confine(flags, &status)) return 0;
  // A run that may write holds the file's lock from before its first read;
  // a dry run, which writes nothing, takes none.
  if (!(flags & TOV_UPDATE_DRY_RUN) && list_ != nullptr) {
    if (!lock_.Take(code_, real_path_.empty() ? path_ : real_path_)) return 0;
    // Another updater was there first, or replaced the file and let go of
    // its lock between the first look and this one: the file is looked at
    // afresh.
    platform::FileStatus now;
    const bool moved =
        platform::Stat(path_, &now) != 0 || !platform::SameFile(now, pinned_);
    if ((lock_.met_another() || moved) && !Confine(flags, &status)) return 0;
  }
  return UpdateAsItIs(status, flags, false);
}

bool FileUpdate::Confine(int flags, platform::FileStatus *status) {
  real_path_ = RealPathOf(path_);
  const std::string &real_path = real_path_;
  Escape escape;
  if (!(flags & TOV_UPDATE_FOLLOW_LINKS) &&
      !InsideLibrary(path_, real_path, library_dir_, &escape)) {
    Error(Msg::kLinkLeadsOut, reference_, escape.link.c_str(),
          escape.target.c_str());
    return false;
  }
  // The file found there is the one the update reads and replaces: every
  // later open is held to it, so that a link swapped in meanwhile leads
  // nowhere.
  if (platform::Stat(real_path.empty() ? path_ : real_path.c_str(), &pinned_) !=
          0 ||
      platform::Stat(path_, status) != 0) {
    SystemError(Msg::kStatFailed, path_);
    return false;
  }
  if (!platform::SameFile(*status, pinned_)) {
    Error(Msg::kFileReplaced, path_);
    return false;
  }
  return true;
}

int FileUpdate::UpdateAsItIs(const platform::FileStatus &status, int flags,
                             bool again) {
  if (status.is_dir) {
    Error(Msg::kReadFailed, path_);
    return 0;
  }
  if (status.size == 0) {
    Error(Msg::kSkipEmpty, path_);
    return TOV_UPDATE_UNCHANGED;
  }
  if (list_ == nullptr) {
    return Read(static_cast<size_t>(status.size)) ? TOV_UPDATE_UNCHANGED : 0;
  }
  int result = 0;
  if (UpdateInPieces(status, flags, &result)) {
    return result;
  }
  if (changed_under_) {
    changed_under_ = false;
    platform::FileStatus now;
    if (platform::Stat(path_, &now) != 0) {
      SystemError(Msg::kStatFailed, path_);
      return 0;
    }
    return Again(now, flags, again);
  }
  if (!Read(static_cast<size_t>(status.size))) return 0;
  const FileFormat format = FormatOf(a_, std::min(text_length_, kFormatHead));
  if (format != FileFormat::kText) {
    if (!ReadLayout(format)) return 0;
    if (layout_->stream.empty()) return TOV_UPDATE_UNCHANGED;
  }

  if (!((flags & TOV_UPDATE_NODE_BY_NODE) ? ApplyNodeByNode() : ApplyPlan())) {
    return 0;
  }
  if (!changed_) return TOV_UPDATE_UNCHANGED;
  if (layout_ != nullptr) {
    // The renamed strings go back into their records.
    ApplyPending();
    std::string fault;
    if (!layout_->stream.Split(a_, text_length_, &fault)) {
      Error(Msg::kLayoutTooLong, path_, fault.c_str());
      return 0;
    }
  }
  if (flags & TOV_UPDATE_DRY_RUN) return TOV_UPDATE_CHANGED;

  if (!ReadyToWrite()) return 0;
  // Making the file writable may have rewritten it (a check-out that
  // fetched another version): the text read before is no longer the file's.
  platform::FileStatus now;
  if (platform::Stat(path_, &now) != 0) {
    SystemError(Msg::kStatFailed, path_);
    return 0;
  }
  if (!platform::SameContent(status, now)) return Again(now, flags, again);
  return WriteBack(flags) ? TOV_UPDATE_CHANGED : 0;
}

int FileUpdate::Again(const platform::FileStatus &now, int flags, bool again) {
  // The file stays writable from the first round on, so a second change
  // comes from someone else: it fails rather than chase the file.
  if (again) {
    Error(Msg::kReadFailed, path_);
    return 0;
  }
  // What the check-out put in the file's place is no file to open.
  if (now.is_dir) {
    Error(Msg::kOpenFailed, path_);
    return 0;
  }
  changed_ = false;
  pending_ = false;
  replacements_ = 0;
  layout_.reset();
  // The file in the path now may be another one: it is held to the
  // library as the first was.
  platform::FileStatus confined;
  if (!Confine(flags, &confined)) return 0;
  return UpdateAsItIs(confined, flags, true);
}

void FileUpdate::HandOver(char **path, char **text, size_t *length) {
  if (layout_ != nullptr) {
    const size_t size = layout_->stream.new_size();
    if (text != nullptr) {
      Buffer copy(static_cast<char *>(std::malloc(size + 1)));
      if (copy == nullptr) throw std::bad_alloc();
      char *out = copy.get();
      layout_->stream.Emit([&out](const char *data, size_t n) {
        std::memcpy(out, data, n);
        out += n;
        return true;
      });
      *out = '\0';
      *text = copy.release();
    }
    if (path != nullptr) *path = path_owner_.release();
    if (length != nullptr) *length = size;
    return;
  }
  if (text != nullptr) {
    // The work buffers stay with the library: the caller gets a copy.
    ApplyPending();
    Buffer copy(static_cast<char *>(std::malloc(text_length_ + 1)));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy.get(), a_, text_length_);
    copy.get()[text_length_] = '\0';
    *text = copy.release();
  }
  if (path != nullptr) *path = path_owner_.release();
  // The one-pass rewrite may not have written its text out: its length is
  // that of its changes.
  if (length != nullptr) {
    *length = pending_ ? Work().changes.length() : text_length_;
  }
}

namespace {

// The update of the file that the first token of `line` names: 0 on failure
// (the file as it was), TOV_UPDATE_UNCHANGED or TOV_UPDATE_CHANGED.  A
// change also hands out the path and the new text through the non-NULL
// addresses among `path`, `text` and `length`, which the caller has cleared.
int UpdateFile(char *line, int code, tovUpdtrRegexpList *list,
               const char *name_space, int flags, char **path = nullptr,
               char **text = nullptr, size_t *length = nullptr) {
  uint64_t &replaced = LayerState().last_replacements;
  replaced = 0;
  FileUpdate update(code, list, name_space, text != nullptr, flags);
  const int result = update.Run(line, flags);
  if (result == TOV_UPDATE_CHANGED) {
    update.HandOver(path, text, length);
    replaced = update.replacements();
  }
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

extern "C" TOVUPDTR_API unsigned long long tovUpdtrReplacedCount(void) {
  return tov::core::Guard(0ULL, [] {
    return static_cast<unsigned long long>(
        tov::update::LayerState().last_replacements);
  });
}

extern "C" TOVUPDTR_API int tovUpdtrRegexpMatched(
    const tovUpdtrRegexpList *node) {
  return tov::core::Guard(0, [&] {
    tov::update::UpdateState &state = tov::update::LayerState();
    if (state.plan != nullptr) state.plan->AddMatched(&state.matched);
    return state.matched.count(node) != 0 ? 1 : 0;
  });
}
