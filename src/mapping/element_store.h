// The storage of the elements that the mapping makes itself: each record is
// followed by its eight member strings, packed one after the other into
// large blocks, so that a list of a million lines costs a few hundred
// allocations instead of nine per element.  Elements that a program builds
// and inserts itself keep their own heap blocks; the two are told apart by
// address (no heap block can lie inside a block of the store).
#ifndef TOVUPDTR_MAPPING_ELEMENT_STORE_H_
#define TOVUPDTR_MAPPING_ELEMENT_STORE_H_

#include <cstddef>
#include <vector>

namespace tov::mapping {

class ElementStore {
 public:
  ElementStore() = default;
  ~ElementStore() { Clear(); }
  ElementStore(const ElementStore &) = delete;
  ElementStore &operator=(const ElementStore &) = delete;

  // `size` bytes aligned for a pointer; NULL when memory ran out.  Blocks
  // come from `alloc` (a malloc-compatible allocator) when it is given, else
  // from the heap, or from the system when they are large.
  void *Allocate(size_t size, void *(*alloc)(size_t));
  // True when `p` lies inside one of the blocks.
  bool Owns(const void *p) const;
  // Releases every block: every element made in them is gone.
  void Clear();

 private:
  struct Block {
    char *begin;
    char *end;
    bool large;  // from the system, not the heap
  };
  std::vector<Block> blocks_;  // sorted by address
  char *next_ = nullptr;       // the free room of the newest block
  char *limit_ = nullptr;
  size_t next_block_size_ = 0;
};

}  // namespace tov::mapping

#endif  // TOVUPDTR_MAPPING_ELEMENT_STORE_H_
