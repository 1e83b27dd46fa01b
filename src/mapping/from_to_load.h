// Loading a from-to list: line processing and the element makers, shared
// with the tests.
#ifndef TOVUPDTR_MAPPING_FROM_TO_LOAD_H_
#define TOVUPDTR_MAPPING_FROM_TO_LOAD_H_

#include <cstddef>

namespace tov::mapping {

// Size of each component buffer of a from-to line.
constexpr size_t kFromToComponentSize = 2048;

// A line's eight components (from library, cell, view, file, then the same
// of the to side), as parsed and as mapped into the element name space.
struct LineComponents {
  char parsed[8][kFromToComponentSize];
  char mapped[8][kFromToComponentSize];
};

// Where a line comes from, for the messages that name it.
struct LineSource {
  const char *path;
  int line_number;
};

// Cuts `line` into tokens in place, parses the from and the to reference
// into `components` (buffers of this call's own when NULL), maps them into
// the element name space of the current load, and inserts the elements that the
// line's kind and `level` call for (0 library to 3 file, 4 atoms, anything else
// none). Returns the line's kind (2 to 6) or 1 (LCV_ERROR) after reporting why.
// Throws std::bad_alloc when memory runs out (the elements inserted before
// stay in the mapping).
int tovProcessFromToLine(char *line, int level, const LineSource &source,
                         LineComponents *components = nullptr);

// The element makers: each inserts the element of its level (library: one
// component pair, cell: two, view: three, file: four) unless the pair is
// unchanged at that level or the same from-part is already stored with the
// same to-part.  1 when the mapping is consistent with the pair; 0 after
// reporting a conflict (the file maker reports any repeated from-part).
// NULL components are taken as "".  Throw std::bad_alloc when memory runs
// out (nothing of the failed element is then left allocated).
int tovUpdtrAddLibElement(const char *fl, const char *tl);
int tovUpdtrAddCellElement(const char *fl, const char *fc, const char *tl,
                           const char *tc);
int tovUpdtrAddViewElement(const char *fl, const char *fc, const char *fv,
                           const char *tl, const char *tc, const char *tv);
int tovUpdtrAddFileElement(const char *fl, const char *fc, const char *fv,
                           const char *ff, const char *tl, const char *tc,
                           const char *tv, const char *tf);

// The atoms of a line of kind `whatChanged`: for a view change the view
// atom, then the cell atom and the library atom; for a cell change the last
// two; for a library change the library atom (each skipped when its two
// names are equal).  A file change yields none and gives 1; any other kind
// gives 0 without a message.  Otherwise as the makers.
int tovUpdtrAddAtomElements(const char *fl, const char *fc, const char *fv,
                            const char *tl, const char *tc, const char *tv,
                            int whatChanged);

}  // namespace tov::mapping

#endif  // TOVUPDTR_MAPPING_FROM_TO_LOAD_H_
