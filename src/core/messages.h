// Every message of the library: one value and one text each, composed with a
// bound into a buffer and printed through tovUpdtrPrintErrMsg.
#ifndef TOVUPDTR_CORE_MESSAGES_H_
#define TOVUPDTR_CORE_MESSAGES_H_

#include <cstddef>

namespace tov::core {

// Severities, printed as I, W, E, F.
constexpr int kInfo = 0;
constexpr int kWarning = 1;
constexpr int kError = 2;
constexpr int kFatal = 3;

// Size of tovUpdtrErrBuf.
constexpr size_t kErrBufSize = 1040;

enum class Msg {
  // Library core.
  kOutOfMemory,
  // Arguments.
  kUnknownArgument,
  kMissingFromToList,
  kMissingUpdateFileList,
  kMissingMurlib,
  kUsage,
  // References.
  kNoSeparator,
  kNullLcv,
  kEmptyLcv,
  kBadLib,
  kBadCell,
  kBadView,
  kBadFile,
  kComponentTooLong,
  kCouldntMapToUnix,
  // Mapping and loading.
  kHashNextBeforeStart,
  kFileNotOpened,
  kStrtokFailed,
  kExtraTokens,
  kMoreThanOneKind,
  kConflictLib,
  kConflictCell,
  kConflictView,
  kConflictFile,
  kUnknownNameSpace,
  kCannotMapComponent,
  kLoadOutOfMemory,
  // Expression list.
  kIllegalName,
  kGenericUnsupported,
  kUnknownUpdateType,
  kNameTooLongForPattern,
  kEmptyOldName,
  // Writable files and file update.
  kSystemError,
  kGetPathFailed,
  kStatFailed,
  kSkipEmpty,
  kOpenFailed,
  kAllocFailed,
  kReadFailed,
  kCloseFailed,
  kBufferSpace,
  kBufferSpaceScaling,
  kBufferSpaceRest,
  kMkWritableFailed,
  kWriteFailed,
  kPathClimbsOut,
  kLinkLeadsOut,
  kCheckoutFailed,
  kSystemReason,
  kFileReplaced,
  kFileLocked,
  kStaleLockRemoved,
  kStaleUpdateRemoved,
  kRestoredFromJournal,
  kJournalDiscarded,
  kJournalUnusable,
  kLockFailed,
  kLayoutMalformed,
  kLayoutTooLong,
  kFormatNotSupported,
};

// The number of values of Msg (the last one plus one).
constexpr int kMsgCount = static_cast<int>(Msg::kFormatNotSupported) + 1;

// What a message is: the severity it is always printed with and its printf
// format.
struct MsgEntry {
  int severity;
  const char *format;
};

// The entry of `msg`.
MsgEntry Describe(Msg msg);

// Prints "{#code S text}" and a newline on stderr (tovUpdtrPrintErrMsg):
// nothing for a NULL or empty text or a severity below the minimum set; a
// severity outside 0..3 is printed as "Unkown Error Severity".
void Print(int code, int severity, const char *text);

// Composes `msg` with its arguments into `buf` (cut to fit `size`, always
// NUL-terminated when size > 0) and returns `buf`.
char *ComposeInto(char *buf, size_t size, Msg msg, ...);

// Composes `msg` into tovUpdtrErrBuf and prints it with `code` and the
// message's own severity.
void Report(int code, Msg msg, ...);

// After the report of a failed system call: prints the system's reason for
// the error number `error` as a warning of its own line with `code`
// ("{#code W No space left on device}"); nothing when `error` is 0.  The
// line is shown wherever errors are (whatever the minimum severity does to
// other warnings), and tovUpdtrErrBuf keeps the error's text.  The caller
// takes `error` right after the failed call, before the report that may
// change it.
void ReportReason(int code, int error);

// Composes `msg` into the caller's `buf` (not tovUpdtrErrBuf) and prints it.
void ReportInto(char *buf, size_t size, int code, Msg msg, ...);

}  // namespace tov::core

#endif  // TOVUPDTR_CORE_MESSAGES_H_
