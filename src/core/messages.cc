#include "core/messages.h"

#include <cstdarg>
#include <cstdio>

#include "tovUpdtr.h"

namespace tov::core {

const char *MsgFormat(Msg msg) {
  // One text per value and no default, so that -Wswitch flags a new value
  // that has no text.  The texts are relied on by the programs that read
  // the messages: change none of them.
  switch (msg) {
    case Msg::kOutOfMemory:
      return "Out of memory";
    case Msg::kUnknownArgument:
      return "Unknown argument \"%s\" ignored";
    case Msg::kMissingFromToList:
      return "Missing \"-fromToList\" argument";
    case Msg::kMissingUpdateFileList:
      return "Missing \"-updateFileList\" argument";
    case Msg::kMissingMurlib:
      return "Missing \"-murlib\" argument";
    case Msg::kUsage:
      return "Usage: %s -fromToList <file> -updateFileList <file> -murlib "
             "<file> \n\tIf arguments are specified more than once,\n\tthe "
             "one furthermost to the right will be effective.";
    case Msg::kNoSeparator:
      return "Failed to find the separator character in the input string";
    case Msg::kNullLcv:
      return "NULL lcv buffer given";
    case Msg::kEmptyLcv:
      return "Empty lcv string given";
    case Msg::kBadLib:
      return "Error parsing Lib string in LCV: %s";
    case Msg::kBadCell:
      return "Error parsing Cell string in LCV: %s";
    case Msg::kBadView:
      return "Error parsing View string in LCV: %s";
    case Msg::kBadFile:
      return "Error parsing File string in LCV: %s";
    case Msg::kComponentTooLong:
      return "%s name longer than %d characters in LCV: %s";
    case Msg::kCouldntMapToUnix:
      return "Couldn't map %s from LibraryNT to libraryUnix namespace.\n";
    case Msg::kHashNextBeforeStart:
      return "Call tovUpdtrHashStartGen beforecalling tovUpdtrHashNext "
             "function";
    case Msg::kFileNotOpened:
      return "File %s could not be opened";
    case Msg::kStrtokFailed:
      return "strtok failed";
    case Msg::kExtraTokens:
      return "Extra tokens in fromToLine: %s being ignored";
    case Msg::kMoreThanOneKind:
      return "Found more than one type of copy operation:\n\tFirst operation "
             "was %s and operation on line %d of %s was %s\n\tOnly one type "
             "of copy operation can be handled by updaters.";
    case Msg::kConflictLib:
      return "Two entries in the From-To list with the same From but "
             "different To's\n\tFrom lib \"%s\", To #1 lib \"%s\", To #2 lib "
             "\"%s\"\n\t(in LibraryNT namespace)\n";
    case Msg::kConflictCell:
      return "Two entries in the From-To list with the same From but "
             "different To's\n\tFrom lib \"%s\" cell \"%s\"\n\tTo #1 lib "
             "\"%s\" cell \"%s\"\n\tTo #2 lib \"%s\" cell \"%s\"\n\t(in "
             "LibraryNT namespace)\n";
    case Msg::kConflictView:
      return "Two entries in the From-To list with the same From but "
             "different To's\n\tFrom lib \"%s\" cell \"%s\" view \"%s\"\n\tTo "
             "#1 lib \"%s\" cell \"%s\" view \"%s\"\n\tTo #2 lib \"%s\" cell "
             "\"%s\" view \"%s\"\n\t(in LibraryNT namespace)\n";
    case Msg::kConflictFile:
      return "Two entries in the From-To list with the same From%s\n\tFrom "
             "lib \"%s\" cell \"%s\" view \"%s\" file \"%s\"\n\tTo #1 lib "
             "\"%s\" cell \"%s\" view \"%s\" file \"%s\"\n\tTo #2 lib \"%s\" "
             "cell \"%s\" view \"%s\" file \"%s\"\n\t(in LibraryNT "
             "namespace)\n";
    case Msg::kUnknownNameSpace:
      return "Unknown name space \"%s\" for the names of the from-to list %s";
    case Msg::kCannotMapComponent:
      return "Couldn't map %s from LibraryNT to %s namespace on line %d of %s";
    case Msg::kLoadOutOfMemory:
      return "Out of memory while loading the from-to list %s";
    case Msg::kIllegalName:
      return "The string %s is illegal in LibraryNT namespace ";
    case Msg::kGenericUnsupported:
      return "In tovUpdtrLib llibrary, tovUpdtrGenRegexpList does not yet "
             "supportGeneric Text updater";
    case Msg::kUnknownUpdateType:
      return "Unknown UpdateType encountered. ";
    case Msg::kNameTooLongForPattern:
      return "The name %s is too long for a regular expression (at most %d "
             "characters)";
    case Msg::kEmptyOldName:
      return "The string %s converts to an empty name in %s namespace";
    case Msg::kSystemError:
      return "%s: %s";
    case Msg::kGetPathFailed:
      return "Problem encountered in getting path for LCVFentry:%s";
    case Msg::kStatFailed:
      return "Problem \"stat\"ing file: %s";
    case Msg::kSkipEmpty:
      return "Skiping Empty input file: %s";
    case Msg::kOpenFailed:
      return "Problem encountered opening the file: %s";
    case Msg::kAllocFailed:
      return "Problem encountered allocating memory";
    case Msg::kReadFailed:
      return "Problem encountered reading the file: %s";
    case Msg::kCloseFailed:
      return "Failed to close files successfully..";
    case Msg::kBufferSpace:
      return "Buffer space for reading and writing files inadequate";
    case Msg::kBufferSpaceScaling:
      return "Buffer space for reading and writing files inadequate. "
             "Increase the scaling factor.";
    case Msg::kBufferSpaceRest:
      return "Buffer space for reading and writing files inadequate for the "
             "rest of the file: %s";
    case Msg::kMkWritableFailed:
      return "Problem encountered in making the file writeable: %s";
    case Msg::kWriteFailed:
      return "Problem encountered Writing to the file: %s";
    case Msg::kPathClimbsOut:
      return "The reference LCVFentry:%s climbs out of its view directory: "
             "not updated";
  }
  return "";
}

namespace {

void ComposeV(char *buf, size_t size, Msg msg, va_list args) {
  if (size == 0) return;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  // vsnprintf cuts the text to fit and always terminates it.
  int n = std::vsnprintf(buf, size, MsgFormat(msg), args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  if (n < 0) buf[0] = '\0';
}

}  // namespace

char *ComposeInto(char *buf, size_t size, Msg msg, ...) {
  va_list args;
  va_start(args, msg);
  ComposeV(buf, size, msg, args);
  va_end(args);
  return buf;
}

void Report(int code, int severity, Msg msg, ...) {
  va_list args;
  va_start(args, msg);
  ComposeV(tovUpdtrErrBuf, sizeof tovUpdtrErrBuf, msg, args);
  va_end(args);
  tovUpdtrPrintErrMsg(code, severity, tovUpdtrErrBuf);
}

void ReportInto(char *buf, size_t size, int code, int severity, Msg msg, ...) {
  va_list args;
  va_start(args, msg);
  ComposeV(buf, size, msg, args);
  va_end(args);
  tovUpdtrPrintErrMsg(code, severity, buf);
}

}  // namespace tov::core
