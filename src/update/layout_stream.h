// GDSII stream files (layouts): the records that hold strings, found by a
// check of every record, renamed as one text, and written back with their
// lengths and padding recomputed; every other byte is kept as it was.
#ifndef TOVUPDTR_UPDATE_LAYOUT_STREAM_H_
#define TOVUPDTR_UPDATE_LAYOUT_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "tovUpdtr.h"

namespace tov::update {

// What a file holds, told by its first bytes.
enum class FileFormat { kText, kGdsii, kOasis, kCompressed };

// How many first bytes FormatOf needs to tell every format apart.
constexpr size_t kFormatHead = TOV_FORMAT_HEAD;

// The format of a file whose first `length` bytes (all of them, when the
// file is shorter than kFormatHead) are `head`.
FileFormat FormatOf(const char *head, size_t length);

// "an OASIS layout", "a compressed stream": for the messages that refuse a
// format; "" for the formats that are updated.
const char *FormatDescription(FileFormat format);

// The name of a record type ("SNAME"), or NULL for a type the format does
// not define.
const char *RecordName(unsigned type);

// The longest string a record can hold: the record's length is a 16-bit
// count of its bytes, header and padding included, and always even.
constexpr size_t kMaxRecordText = 65530;
// The strings of REFLIBS and FONTS records stand in fields of this size.
constexpr size_t kFieldWidth = 44;

class LayoutStream {
 public:
  // Checks every record of the stream `data` (`size` bytes), which must stay
  // valid and unchanged while this object uses it, and counts its strings.
  // False, with *fault saying where and what, when it is not a valid stream:
  // truncated, a record shorter than its header or of odd length, data that
  // is not of the kind the record's type holds, or anything but padding
  // after the ENDLIB record.
  bool Scan(const char *data, size_t size, std::string *fault);

  // The strings, each followed by a newline but the last: the text the
  // renames are applied to.  A newline is a delimiter under every update
  // type and no name holds one, so that no occurrence reaches from one
  // string into the next, and one that ends a string is a whole word there.
  size_t joined_length() const { return joined_length_; }
  bool empty() const { return strings_ == 0; }
  void Join(char *out) const;

  // Takes the renamed joined text, which must stay valid while this object
  // uses it: a rename neither makes nor removes a newline, so the k-th
  // string is found again after as many newlines as the strings before it
  // held, plus k.  False, with *fault, when a string no longer fits its
  // record or field.
  bool Split(const char *text, size_t length, std::string *fault);
  // After Split: the size of the new stream, and the stream itself, in
  // pieces through `sink`; false when the sink fails.
  size_t new_size() const { return new_size_; }
  bool Emit(const platform::ContentSink &sink) const;

  // Into *lines, one line per string that differs between this stream and
  // `other`: `structure "top", SNAME: "inv_1" -> "inv_2"`.  False when
  // `other` does not hold the same string records in the same order (it is
  // not this stream with strings renamed).
  bool Describe(const LayoutStream &other, std::string *lines) const;

 private:
  // A string of the stream.  None is kept: a large stream holds millions,
  // and its records are walked again, in a fraction of the time a copy of
  // them would take to be made.
  struct String {
    size_t record;  // offset of the record's header
    size_t text;    // offset of the string
    size_t length;  // of the string, its padding left out
    size_t index;   // of its field, in a record of fields (else 0)
    unsigned type;  // of the record
    bool fixed;     // the string stands in a field of kFieldWidth
  };
  // Calls visit(string) for every string of the checked stream, in order.
  template <typename Visit>
  void EachString(Visit visit) const;
  // Calls visit(string, renamed) for every string whose renamed text
  // differs, in order, until it returns false; false if one did.
  template <typename Visit>
  bool EachRenamed(Visit visit) const;

  const char *data_ = nullptr;
  size_t size_ = 0;
  // Where the ENDLIB record ends.
  size_t end_ = 0;
  size_t strings_ = 0;
  size_t joined_length_ = 0;
  // The renamed text that Split took.
  const char *renamed_text_ = nullptr;
  size_t renamed_length_ = 0;
  size_t new_size_ = 0;
};

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_LAYOUT_STREAM_H_
