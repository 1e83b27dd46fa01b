#include "core/messages.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/state.h"
#include "tovUpdtr.h"

namespace tov::core {

MsgEntry Describe(Msg msg) {
  // One entry per value and no default, so that -Wswitch flags a new value
  // that has no text.  The texts and severities are relied on by the
  // programs that read the messages: change none of them.
  switch (msg) {
    case Msg::kOutOfMemory:
      return {kError, "Out of memory"};
    case Msg::kUnknownArgument:
      return {kWarning, "Unknown argument \"%s\" ignored"};
    case Msg::kMissingFromToList:
      return {kFatal, "Missing \"-fromToList\" argument"};
    case Msg::kMissingUpdateFileList:
      return {kFatal, "Missing \"-updateFileList\" argument"};
    case Msg::kMissingMurlib:
      return {kFatal, "Missing \"-murlib\" argument"};
    case Msg::kUsage:
      return {kFatal,
              "Usage: %s -fromToList <file> -updateFileList <file> -murlib "
              "<file> \n\tIf arguments are specified more than once,\n\tthe "
              "one furthermost to the right will be effective."};
    case Msg::kNoSeparator:
      return {kError,
              "Failed to find the separator character in the input string"};
    case Msg::kNullLcv:
      return {kWarning, "NULL lcv buffer given"};
    case Msg::kEmptyLcv:
      return {kWarning, "Empty lcv string given"};
    case Msg::kBadLib:
      return {kError, "Error parsing Lib string in LCV: %s"};
    case Msg::kBadCell:
      return {kError, "Error parsing Cell string in LCV: %s"};
    case Msg::kBadView:
      return {kError, "Error parsing View string in LCV: %s"};
    case Msg::kBadFile:
      return {kError, "Error parsing File string in LCV: %s"};
    case Msg::kComponentTooLong:
      return {kError, "%s name longer than %d characters in LCV: %s"};
    case Msg::kCouldntMapToUnix:
      return {kError,
              "Couldn't map %s from LibraryNT to libraryUnix namespace.\n"};
    case Msg::kHashNextBeforeStart:
      return {kError,
              "Call tovUpdtrHashStartGen beforecalling tovUpdtrHashNext "
              "function"};
    case Msg::kFileNotOpened:
      return {kError, "File %s could not be opened"};
    case Msg::kStrtokFailed:
      return {kError, "strtok failed"};
    case Msg::kExtraTokens:
      return {kWarning, "Extra tokens in fromToLine: %s being ignored"};
    case Msg::kMoreThanOneKind:
      return {kError,
              "Found more than one type of copy operation:\n\tFirst operation "
              "was %s and operation on line %d of %s was %s\n\tOnly one type "
              "of copy operation can be handled by updaters."};
    case Msg::kConflictLib:
      return {kError,
              "Two entries in the From-To list with the same From but "
              "different To's\n\tFrom lib \"%s\", To #1 lib \"%s\", To #2 lib "
              "\"%s\"\n\t(in LibraryNT namespace)\n"};
    case Msg::kConflictCell:
      return {kError,
              "Two entries in the From-To list with the same From but "
              "different To's\n\tFrom lib \"%s\" cell \"%s\"\n\tTo #1 lib "
              "\"%s\" cell \"%s\"\n\tTo #2 lib \"%s\" cell \"%s\"\n\t(in "
              "LibraryNT namespace)\n"};
    case Msg::kConflictView:
      return {kError,
              "Two entries in the From-To list with the same From but "
              "different To's\n\tFrom lib \"%s\" cell \"%s\" view \"%s\"\n\tTo "
              "#1 lib \"%s\" cell \"%s\" view \"%s\"\n\tTo #2 lib \"%s\" cell "
              "\"%s\" view \"%s\"\n\t(in LibraryNT namespace)\n"};
    case Msg::kConflictFile:
      return {kError,
              "Two entries in the From-To list with the same From%s\n\tFrom "
              "lib \"%s\" cell \"%s\" view \"%s\" file \"%s\"\n\tTo #1 lib "
              "\"%s\" cell \"%s\" view \"%s\" file \"%s\"\n\tTo #2 lib \"%s\" "
              "cell \"%s\" view \"%s\" file \"%s\"\n\t(in LibraryNT "
              "namespace)\n"};
    case Msg::kUnknownNameSpace:
      return {kError,
              "Unknown name space \"%s\" for the names of the from-to list %s"};
    case Msg::kCannotMapComponent:
      return {
          kError,
          "Couldn't map %s from LibraryNT to %s namespace on line %d of %s"};
    case Msg::kLoadOutOfMemory:
      return {kError, "Out of memory while loading the from-to list %s"};
    case Msg::kIllegalName:
      return {kError, "The string %s is illegal in LibraryNT namespace "};
    case Msg::kGenericUnsupported:
      return {kError,
              "In tovUpdtrLib llibrary, tovUpdtrGenRegexpList does not yet "
              "supportGeneric Text updater"};
    case Msg::kUnknownUpdateType:
      return {kError, "Unknown UpdateType encountered. "};
    case Msg::kNameTooLongForPattern:
      return {kError,
              "The name %s is too long for a regular expression (at most %d "
              "characters)"};
    case Msg::kEmptyOldName:
      return {kError,
              "The string %s converts to an empty name in %s namespace"};
    case Msg::kSystemError:
      return {kError, "%s: %s"};
    case Msg::kGetPathFailed:
      return {kError, "Problem encountered in getting path for LCVFentry:%s"};
    case Msg::kStatFailed:
      return {kError, "Problem \"stat\"ing file: %s"};
    case Msg::kSkipEmpty:
      return {kError, "Skiping Empty input file: %s"};
    case Msg::kOpenFailed:
      return {kError, "Problem encountered opening the file: %s"};
    case Msg::kAllocFailed:
      return {kError, "Problem encountered allocating memory"};
    case Msg::kReadFailed:
      return {kError, "Problem encountered reading the file: %s"};
    case Msg::kCloseFailed:
      return {kWarning, "Failed to close files successfully.."};
    case Msg::kBufferSpace:
      return {kError, "Buffer space for reading and writing files inadequate"};
    case Msg::kBufferSpaceScaling:
      return {kError,
              "Buffer space for reading and writing files inadequate. "
              "Increase the scaling factor."};
    case Msg::kBufferSpaceRest:
      return {kError,
              "Buffer space for reading and writing files inadequate for the "
              "rest of the file: %s"};
    case Msg::kMkWritableFailed:
      return {kError, "Problem encountered in making the file writeable: %s"};
    case Msg::kWriteFailed:
      return {kError, "Problem encountered Writing to the file: %s"};
    case Msg::kPathClimbsOut:
      return {kError,
              "The reference LCVFentry:%s climbs out of its view directory: "
              "not updated"};
    case Msg::kLinkLeadsOut:
      return {kError,
              "The reference LCVFentry:%s leads through the link %s to %s, "
              "outside its library: not updated"};
    case Msg::kCheckoutFailed:
      return {kWarning, "The check-out command for %s failed: %s"};
    case Msg::kSystemReason:
      return {kWarning, "%s"};
    case Msg::kFileReplaced:
      return {kError,
              "The file %s was replaced while it was being updated: not "
              "updated"};
    case Msg::kFileLocked:
      return {kError,
              "The file %s is being updated by process %s on %s (lock file "
              "%s): not updated"};
    case Msg::kStaleLockRemoved:
      return {kWarning,
              "Removed the lock file %s of process %s on this host, which "
              "has ended"};
    case Msg::kStaleUpdateRemoved:
      return {kWarning,
              "Removed the lock file %s with the new text of an interrupted "
              "update"};
    case Msg::kRestoredFromJournal:
      return {kWarning,
              "Restored the old text of %s from the journal of an "
              "interrupted update"};
    case Msg::kJournalDiscarded:
      return {kWarning,
              "Removed the incomplete journal %s: the interrupted update "
              "had not changed the file"};
    case Msg::kJournalUnusable:
      return {kError,
              "The journal %s of an interrupted update cannot be restored: "
              "%s not updated"};
    case Msg::kLockFailed:
      return {kError,
              "The file %s cannot be locked for its update (no lock file "
              "can be made beside it): not updated"};
    case Msg::kLayoutMalformed:
      return {kError,
              "The layout %s is not a valid GDSII stream (%s): not updated"};
    case Msg::kLayoutTooLong:
      return {kError,
              "The renamed layout %s would not be a valid GDSII stream (%s): "
              "not updated"};
    case Msg::kFormatNotSupported:
      return {kError,
              "The file %s is %s, a format not supported yet: not updated"};
  }
  return {kError, ""};
}

namespace {

void ComposeV(char *buf, size_t size, Msg msg, va_list args) {
  if (size == 0) return;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  // vsnprintf cuts the text to fit and always terminates it.
  int n = std::vsnprintf(buf, size, Describe(msg).format, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  if (n < 0) buf[0] = '\0';
}

}  // namespace

namespace {

// Writes the line of a message that passed the minimum severity.
void Emit(int code, int severity, const char *text) {
  static const char *const kLetters[4] = {"I", "W", "E", "F"};
  const char *letter = (severity >= 0 && severity <= 3)
                           ? kLetters[severity]
                           : "Unkown Error Severity";
  std::fprintf(stderr, "{#%d %s %s}\n", code, letter, text);
}

}  // namespace

void Print(int code, int severity, const char *text) {
  if (text == nullptr || text[0] == '\0') return;
  // A severity outside 0..3 is printed whatever the setting.
  if (severity >= 0 && severity < GetState().min_severity) return;
  Emit(code, severity, text);
}

char *ComposeInto(char *buf, size_t size, Msg msg, ...) {
  va_list args;
  va_start(args, msg);
  ComposeV(buf, size, msg, args);
  va_end(args);
  return buf;
}

void Report(int code, Msg msg, ...) {
  va_list args;
  va_start(args, msg);
  ComposeV(tovUpdtrErrBuf, sizeof tovUpdtrErrBuf, msg, args);
  va_end(args);
  Print(code, Describe(msg).severity, tovUpdtrErrBuf);
}

void ReportReason(int code, int error) {
  // The reason goes with the error it explains: it is shown wherever errors
  // are, and tovUpdtrErrBuf keeps the error's own text.
  if (error == 0 || kError < GetState().min_severity) return;
  char reason[kErrBufSize];
  ComposeInto(reason, sizeof reason, Msg::kSystemReason, std::strerror(error));
  Emit(code, Describe(Msg::kSystemReason).severity, reason);
}

void ReportInto(char *buf, size_t size, int code, Msg msg, ...) {
  va_list args;
  va_start(args, msg);
  ComposeV(buf, size, msg, args);
  va_end(args);
  Print(code, Describe(msg).severity, buf);
}

}  // namespace tov::core
