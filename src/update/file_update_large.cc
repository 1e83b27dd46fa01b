// The update of a large file whose list is one run of plain renames: read,
// searched and written a segment at a time, never held whole nor changed in
// memory.
#include "update/file_update.h"

namespace tov::update {

bool FileUpdate::UpdateInPieces(const platform::FileStatus &status, int flags,
                                int *result) {
  const auto size = static_cast<size_t>(status.size);
  if (size < kLargeBlock || keep_text_ || (flags & TOV_UPDATE_NODE_BY_NODE) ||
      size > SIZE_MAX / scaling_) {
    return false;
  }
  const std::vector<UpdatePlan::Step> &steps =
      UpdatePlan::For(list_, name_space_, together_).steps();
  if (steps.size() != 1 || steps[0].rewriter == nullptr) return false;
  PlainRewriter &rewriter = *steps[0].rewriter;
  platform::FileReader file;
  if (!file.Open(path_, static_cast<int64_t>(size), &pinned_)) return false;
  // Only a text is rewritten in pieces: a file that is anything else is
  // read whole, where its format is dealt with.
  char head[kFormatHead];
  if (file.ReadAt(0, head, kFormatHead) != static_cast<int64_t>(kFormatHead) ||
      FormatOf(head, kFormatHead) != FileFormat::kText) {
    return false;
  }
  // Set by whichever reading thread meets the failure.
  std::atomic<bool> short_read{false};
  const SegmentReader::Read read = [&file, &short_read](size_t offset,
                                                        char *buf, size_t n) {
    if (file.ReadAt(static_cast<int64_t>(offset), buf, n) ==
        static_cast<int64_t>(n)) {
      return true;
    }
    short_read = true;
    return false;
  };
  const SegmentReader::InRun in_run = [&rewriter](char c) {
    return rewriter.InRun(c);
  };
  // The segment of `length` bytes from `offset`, as a text of its own.
  const auto segment = [&read](size_t offset) {
    return PlainRewriter::TextReader(
        [&read, offset](size_t at, char *buf, size_t n) {
          return read(offset + at, buf, n);
        });
  };
  WorkArea &work = Work();
  PlainRewriter::Changes &changes = work.changes;
  // What the renames make of the whole text, added up segment by segment.
  struct Totals {
    size_t length = 0;   // of the new text
    size_t longest = 0;  // as Changes::max_length
    uint64_t replacements = 0;
    bool touched = false;
  };
  // Searches a segment, keeping of its changes what `keep` says; false
  // when a read failed.
  const auto find = [&](size_t offset, size_t length, Totals *totals,
                        PlainRewriter::Keep keep) {
    if (!rewriter.FindInFile(segment(offset), length, PiecesFor(length),
                             kReadPiece, &changes, SearchThreads(), keep)) {
      return false;
    }
    if (!changes.touched()) {
      totals->length += length;
      totals->longest += length;
      return true;
    }
    totals->touched = true;
    totals->length += changes.length();
    totals->longest += changes.max_length();
    totals->replacements += changes.replacements();
    return true;
  };
  // A file that now holds more than its reported size would lose its end
  // on write-back: it fails like one that holds less.
  const auto grew = [&file, size] {
    char extra;
    return file.ReadAt(static_cast<int64_t>(size), &extra, 1) != 0;
  };

  // Unless the renames cannot make the text outgrow its buffer space, the
  // whole file is searched first, keeping only what it adds up to: a text
  // that outgrows it fails, node by node, before anything is made writable.
  const bool may_outgrow = !rewriter.CannotOutgrow(scaling_);
  // Otherwise the search stops at the first segment that changes, which is
  // searched again when the new text is made: the segments start small, so
  // that little is searched twice when the changes start early.
  const bool to_first_change = !may_outgrow && !(flags & TOV_UPDATE_DRY_RUN);
  Totals found;
  size_t first_change = 0;  // the offset of the first segment that changes
  {
    SegmentReader segments(read, size, in_run, kSegment, &work.probe, 0,
                           to_first_change ? kFirstSegment : 0);
    size_t offset, length;
    bool whole = true;  // every segment was searched
    bool read_all = true;
    while (segments.Next(&offset, &length)) {
      const bool before = found.touched;
      if (!find(offset, length, &found, PlainRewriter::Keep::kTotals)) {
        read_all = false;
        break;
      }
      if (!before && found.touched) {
        first_change = offset;
        if (to_first_change) {
          whole = false;
          break;
        }
      }
    }
    if (!read_all || segments.failed() || (whole && grew())) {
      Error(Msg::kReadFailed, path_);
      *result = 0;
      return true;
    }
  }
  if (!found.touched) {
    *result = TOV_UPDATE_UNCHANGED;
    return true;
  }
  // Somewhere along these renames the text outgrows the buffer space: the
  // nodes applied one by one tell where, with their message.
  if (may_outgrow && found.longest >= scaling_ * size) return false;
  changed_ = true;
  if (may_outgrow || (flags & TOV_UPDATE_DRY_RUN)) {
    replacements_ = found.replacements;
    text_length_ = found.length;
    if (flags & TOV_UPDATE_DRY_RUN) {
      *result = TOV_UPDATE_CHANGED;
      return true;
    }
  }
  if (!ReadyToWrite()) {
    *result = 0;
    return true;
  }
  // Making the file writable may have rewritten or replaced it (a
  // check-out): what was found no longer fits it, and the file is updated as
  // it is now.
  platform::FileStatus now;
  if (file.Changed() || platform::Stat(path_, &now) != 0 ||
      !platform::SameContent(status, now)) {
    changed_ = false;
    replacements_ = 0;
    changed_under_ = true;
    return false;
  }
  const bool behind = size >= kWriteBehindFrom;
  const size_t slot_size = SlotSizeFor(size);
  if (!work.window.Reserve(kReadPiece) || !work.staging.Reserve(kGatherSize) ||
      (behind && !work.slots.Reserve(kWriteSlots * slot_size))) {
    Error(Msg::kAllocFailed);
    *result = 0;
    return true;
  }
  // The new text is made and written one segment at a time: the text before
  // the first change as it is, then each segment searched again and
  // rewritten.  No more than a segment's changes are ever held.
  Totals written;
  const auto write = [&](const platform::ContentSink &sink) {
    for (size_t at = 0; at < first_change;) {
      const size_t n = std::min(kReadPiece, first_change - at);
      if (!read(at, work.window.data(), n) || !sink(work.window.data(), n)) {
        return false;
      }
      at += n;
    }
    written.length = first_change;
    written.longest = first_change;
    // The first change starts a segment: the segments go on from there.
    SegmentReader segments(read, size, in_run, kSegment, &work.probe,
                           first_change);
    size_t offset, length;
    while (segments.Next(&offset, &length)) {
      // Each searching thread writes the new text of its pieces as it
      // goes; they are handed on in order.
      if (!find(offset, length, &written, PlainRewriter::Keep::kMakeText) ||
          !PlainRewriter::EmitMade(changes, sink)) {
        return false;
      }
    }
    return !segments.failed() && !grew();
  };
  const platform::ContentSource content =
      [&](const platform::ContentSink &sink) {
        if (!behind) return write(sink);
        // Made on this thread and written on another, so that reading and
        // composing the text overlap with the system's writing.
        WriteBehind writer(sink, work.slots.data(), slot_size, kWriteSlots);
        const bool made = write(
            [&writer](const char *p, size_t n) { return writer.Put(p, n); });
        const bool done = writer.Finish();
        return made && done;
      };
  // The content is read from the file it replaces: where that file must be
  // rewritten in place, the content is gathered first.
  const int replace = platform::kReplaceFromFile | ReplaceFlags(flags);
  platform::SetErrorNumber(0);
  const int replaced = platform::ReplaceFileContents(
      path_, content, replace,
      static_cast<int64_t>(may_outgrow ? found.length : size), &pinned_,
      lock_.file_lock());
  replacements_ = written.replacements;
  text_length_ = written.length;
  switch (replaced) {
    case 0:
      *result = TOV_UPDATE_CHANGED;
      break;
    case -3:
      Error(Msg::kFileReplaced, path_);
      *result = 0;
      break;
    case -1:
      SystemError(Msg::kOpenFailed, path_);
      *result = 0;
      break;
    default:
      if (short_read || grew()) {
        Error(Msg::kReadFailed, path_);
      } else {
        SystemError(Msg::kWriteFailed, path_);
      }
      *result = 0;
      break;
  }
  return true;
}

}  // namespace tov::update
