#include "core/messages.h"

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/test_support.h"
#include "tovUpdtr.h"

namespace {

using tov::core::Msg;
using tov::test::CaptureStderr;

// Reports a message with `code` and the arguments of its row.
using Reporter = std::function<void(int code, Msg msg)>;

template <typename... Args>
Reporter With(Args... args) {
  return [=](int code, Msg msg) { tov::core::Report(code, msg, args...); };
}

// Every message the library prints, as a program reading its stderr sees it:
// one row per value, with the whole line printed for the row's arguments and
// code 7, byte for byte.
struct Row {
  Msg msg;
  Reporter report;
  std::string line;
};

std::vector<Row> MessageTable() {
  const std::string kConflict =
      "Two entries in the From-To list with the same From";
  const std::string kBuffer =
      "Buffer space for reading and writing files inadequate";
  return {
      {Msg::kOutOfMemory, With(), "{#7 E Out of memory}\n"},
      {Msg::kUnknownArgument, With("-x"),
       "{#7 W Unknown argument \"-x\" ignored}\n"},
      {Msg::kMissingFromToList, With(),
       "{#7 F Missing \"-fromToList\" argument}\n"},
      {Msg::kMissingUpdateFileList, With(),
       "{#7 F Missing \"-updateFileList\" argument}\n"},
      {Msg::kMissingMurlib, With(), "{#7 F Missing \"-murlib\" argument}\n"},
      {Msg::kUsage, With("prog"),
       "{#7 F Usage: prog -fromToList <file> -updateFileList <file> -murlib "
       "<file> \n\tIf arguments are specified more than once,\n\tthe one "
       "furthermost to the right will be effective.}\n"},
      {Msg::kNoSeparator, With(),
       "{#7 E Failed to find the separator character in the input string}\n"},
      {Msg::kNullLcv, With(), "{#7 W NULL lcv buffer given}\n"},
      {Msg::kEmptyLcv, With(), "{#7 W Empty lcv string given}\n"},
      {Msg::kBadLib, With("l.c:v/f"),
       "{#7 E Error parsing Lib string in LCV: l.c:v/f}\n"},
      {Msg::kBadCell, With("l.c:v/f"),
       "{#7 E Error parsing Cell string in LCV: l.c:v/f}\n"},
      {Msg::kBadView, With("l.c:v/f"),
       "{#7 E Error parsing View string in LCV: l.c:v/f}\n"},
      {Msg::kBadFile, With("l.c:v/f"),
       "{#7 E Error parsing File string in LCV: l.c:v/f}\n"},
      {Msg::kComponentTooLong, With("Cell", 255, "l.c:v/f"),
       "{#7 E Cell name longer than 255 characters in LCV: l.c:v/f}\n"},
      {Msg::kCouldntMapToUnix, With("c:1"),
       "{#7 E Couldn't map c:1 from LibraryNT to libraryUnix namespace.\n}\n"},
      {Msg::kHashNextBeforeStart, With(),
       "{#7 E Call tovUpdtrHashStartGen beforecalling tovUpdtrHashNext "
       "function}\n"},
      {Msg::kFileNotOpened, With("a.ftl"),
       "{#7 E File a.ftl could not be opened}\n"},
      {Msg::kStrtokFailed, With(), "{#7 E strtok failed}\n"},
      {Msg::kExtraTokens, With("a/. b/. c"),
       "{#7 W Extra tokens in fromToLine: a/. b/. c being ignored}\n"},
      {Msg::kMoreThanOneKind, With("RENAME", 4, "a.ftl", "COPY"),
       "{#7 E Found more than one type of copy operation:\n\tFirst operation "
       "was RENAME and operation on line 4 of a.ftl was COPY\n\tOnly one type "
       "of copy operation can be handled by updaters.}\n"},
      {Msg::kConflictLib, With("f", "t1", "t2"),
       "{#7 E " + kConflict +
           " but different To's\n\tFrom lib \"f\", To #1 lib \"t1\", To #2 "
           "lib \"t2\"\n\t(in LibraryNT namespace)\n}\n"},
      {Msg::kConflictCell, With("fl", "fc", "al", "ac", "bl", "bc"),
       "{#7 E " + kConflict +
           " but different To's\n\tFrom lib \"fl\" cell \"fc\"\n\tTo #1 lib "
           "\"al\" cell \"ac\"\n\tTo #2 lib \"bl\" cell \"bc\"\n\t(in "
           "LibraryNT namespace)\n}\n"},
      {Msg::kConflictView,
       With("fl", "fc", "fv", "al", "ac", "av", "bl", "bc", "bv"),
       "{#7 E " + kConflict +
           " but different To's\n\tFrom lib \"fl\" cell \"fc\" view "
           "\"fv\"\n\tTo #1 lib \"al\" cell \"ac\" view \"av\"\n\tTo #2 lib "
           "\"bl\" cell \"bc\" view \"bv\"\n\t(in LibraryNT namespace)\n}\n"},
      {Msg::kConflictFile,
       With(" but different To's", "fl", "fc", "fv", "ff", "al", "ac", "av",
            "af", "bl", "bc", "bv", "bf"),
       "{#7 E " + kConflict +
           " but different To's\n\tFrom lib \"fl\" cell \"fc\" view \"fv\" "
           "file \"ff\"\n\tTo #1 lib \"al\" cell \"ac\" view \"av\" file "
           "\"af\"\n\tTo #2 lib \"bl\" cell \"bc\" view \"bv\" file "
           "\"bf\"\n\t(in LibraryNT namespace)\n}\n"},
      {Msg::kUnknownNameSpace, With("Nowhere", "a.ftl"),
       "{#7 E Unknown name space \"Nowhere\" for the names of the from-to "
       "list a.ftl}\n"},
      {Msg::kCannotMapComponent, With("c:1", "LibraryUnix", 3, "a.ftl"),
       "{#7 E Couldn't map c:1 from LibraryNT to LibraryUnix namespace on "
       "line 3 of a.ftl}\n"},
      {Msg::kLoadOutOfMemory, With("a.ftl"),
       "{#7 E Out of memory while loading the from-to list a.ftl}\n"},
      {Msg::kIllegalName, With("bad|name"),
       "{#7 E The string bad|name is illegal in LibraryNT namespace }\n"},
      {Msg::kGenericUnsupported, With(),
       "{#7 E In tovUpdtrLib llibrary, tovUpdtrGenRegexpList does not yet "
       "supportGeneric Text updater}\n"},
      {Msg::kUnknownUpdateType, With(),
       "{#7 E Unknown UpdateType encountered. }\n"},
      {Msg::kNameTooLongForPattern, With("nnn", 1000),
       "{#7 E The name nnn is too long for a regular expression (at most "
       "1000 characters)}\n"},
      {Msg::kEmptyOldName, With("%%", "LibraryUnix"),
       "{#7 E The string %% converts to an empty name in LibraryUnix "
       "namespace}\n"},
      {Msg::kSystemError, With("/d/f", "reason"), "{#7 E /d/f: reason}\n"},
      {Msg::kGetPathFailed, With("l.c:v/f"),
       "{#7 E Problem encountered in getting path for LCVFentry:l.c:v/f}\n"},
      {Msg::kStatFailed, With("/d/f"),
       "{#7 E Problem \"stat\"ing file: /d/f}\n"},
      {Msg::kSkipEmpty, With("/d/f"),
       "{#7 E Skiping Empty input file: /d/f}\n"},
      {Msg::kOpenFailed, With("/d/f"),
       "{#7 E Problem encountered opening the file: /d/f}\n"},
      {Msg::kAllocFailed, With(),
       "{#7 E Problem encountered allocating memory}\n"},
      {Msg::kReadFailed, With("/d/f"),
       "{#7 E Problem encountered reading the file: /d/f}\n"},
      {Msg::kCloseFailed, With(),
       "{#7 W Failed to close files successfully..}\n"},
      {Msg::kBufferSpace, With(), "{#7 E " + kBuffer + "}\n"},
      {Msg::kBufferSpaceScaling, With(),
       "{#7 E " + kBuffer + ". Increase the scaling factor.}\n"},
      {Msg::kBufferSpaceRest, With("/d/f"),
       "{#7 E " + kBuffer + " for the rest of the file: /d/f}\n"},
      {Msg::kMkWritableFailed, With("/d/f"),
       "{#7 E Problem encountered in making the file writeable: /d/f}\n"},
      {Msg::kWriteFailed, With("/d/f"),
       "{#7 E Problem encountered Writing to the file: /d/f}\n"},
      {Msg::kPathClimbsOut, With("l.c:v/../f"),
       "{#7 E The reference LCVFentry:l.c:v/../f climbs out of its view "
       "directory: not updated}\n"},
      {Msg::kLinkLeadsOut, With("l.c:v/f", "/lib/c", "/ref/c"),
       "{#7 E The reference LCVFentry:l.c:v/f leads through the link /lib/c "
       "to /ref/c, outside its library: not updated}\n"},
      {Msg::kCheckoutFailed, With("/d/f", "exit status 3"),
       "{#7 W The check-out command for /d/f failed: exit status 3}\n"},
      {Msg::kSystemReason, With("No space left on device"),
       "{#7 W No space left on device}\n"},
      {Msg::kFileReplaced, With("/d/f"),
       "{#7 E The file /d/f was replaced while it was being updated: not "
       "updated}\n"},
      {Msg::kFileLocked, With("/d/f", "42", "h1", "/d/.f.tovlock"),
       "{#7 E The file /d/f is being updated by process 42 on h1 (lock file "
       "/d/.f.tovlock): not updated}\n"},
      {Msg::kStaleLockRemoved, With("/d/.f.tovlock", "42"),
       "{#7 W Removed the lock file /d/.f.tovlock of process 42 on this "
       "host, which has ended}\n"},
      {Msg::kStaleUpdateRemoved, With("/d/.f.tovlock"),
       "{#7 W Removed the lock file /d/.f.tovlock with the new text of an "
       "interrupted update}\n"},
      {Msg::kRestoredFromJournal, With("/d/f"),
       "{#7 W Restored the old text of /d/f from the journal of an "
       "interrupted update}\n"},
      {Msg::kJournalDiscarded, With("/d/.f.tovjournal"),
       "{#7 W Removed the incomplete journal /d/.f.tovjournal: the "
       "interrupted update had not changed the file}\n"},
      {Msg::kJournalUnusable, With("/d/.f.tovjournal", "/d/f"),
       "{#7 E The journal /d/.f.tovjournal of an interrupted update cannot "
       "be restored: /d/f not updated}\n"},
      {Msg::kLockFailed, With("/d/f"),
       "{#7 E The file /d/f cannot be locked for its update (no lock file "
       "can be made beside it): not updated}\n"},
      {Msg::kLayoutMalformed, With("/d/a.gds", "at byte 8, a truncated record"),
       "{#7 E The layout /d/a.gds is not a valid GDSII stream (at byte 8, a "
       "truncated record): not updated}\n"},
      {Msg::kLayoutTooLong, With("/d/a.gds", "a long name"),
       "{#7 E The renamed layout /d/a.gds would not be a valid GDSII stream "
       "(a long name): not updated}\n"},
      {Msg::kFormatNotSupported, With("/d/a.oas", "an OASIS layout"),
       "{#7 E The file /d/a.oas is an OASIS layout, a format not supported "
       "yet: not updated}\n"},
  };
}

TEST(Messages, EveryMessagePrintsItsPinnedLine) {
  const std::vector<Row> table = MessageTable();
  std::set<int> seen;
  for (const Row &row : table) {
    const int value = static_cast<int>(row.msg);
    SCOPED_TRACE("Msg value " + std::to_string(value));
    EXPECT_TRUE(seen.insert(value).second) << "two rows";
    EXPECT_GE(value, 0);
    EXPECT_LT(value, tov::core::kMsgCount);
    std::strcpy(tovUpdtrErrBuf, "stale");
    EXPECT_EQ(CaptureStderr([&] { row.report(7, row.msg); }), row.line);
    // The text printed between "{#7 X " and "}\n" is the one composed into
    // tovUpdtrErrBuf.
    EXPECT_EQ("{#7 " + row.line.substr(4, 2) + tovUpdtrErrBuf + "}\n",
              row.line);
  }
  // A message without a row fails here.
  EXPECT_EQ(table.size(), static_cast<size_t>(tov::core::kMsgCount));
  EXPECT_EQ(seen.size(), static_cast<size_t>(tov::core::kMsgCount));
}

TEST(Messages, OverlongMessageIsCutToFitTheBuffer) {
  // A name far longer than the buffer: the text is cut, the buffer is
  // terminated, and the bytes after it are untouched.
  std::string name(5000, 'n');
  std::string err = CaptureStderr(
      [&] { tov::core::Report(0, Msg::kFileNotOpened, name.c_str()); });
  EXPECT_EQ(std::strlen(tovUpdtrErrBuf), sizeof tovUpdtrErrBuf - 1);
  EXPECT_EQ(std::string(tovUpdtrErrBuf).substr(0, 10), "File nnnnn");
  EXPECT_EQ(err, "{#0 E " + std::string(tovUpdtrErrBuf) + "}\n");
}

TEST(Messages, ReportIntoLeavesErrBufAlone) {
  std::strcpy(tovUpdtrErrBuf, "kept");
  char own[8];
  std::string err = CaptureStderr([&] {
    tov::core::ReportInto(own, sizeof own, 0, Msg::kSystemError, "path",
                          "reason");
  });
  EXPECT_STREQ(tovUpdtrErrBuf, "kept");
  EXPECT_STREQ(own, "path: r");
  EXPECT_EQ(err, "{#0 E path: r}\n");
}

TEST(Messages, ComposeIntoAZeroSizedBufferWritesNothing) {
  char guard = 'g';
  tov::core::ComposeInto(&guard, 0, Msg::kStrtokFailed);
  EXPECT_EQ(guard, 'g');
}

}  // namespace
