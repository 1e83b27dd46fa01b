// What the update layer keeps from one call to the next: the memory that
// file updates work in, the plan of the last expression list applied, and
// every expression list handed out.  It lives in the library's State (one
// owner, one reset).
#ifndef TOVUPDTR_UPDATE_UPDATE_STATE_H_
#define TOVUPDTR_UPDATE_UPDATE_STATE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/state.h"
#include "tovUpdtr.h"
#include "update/plain_rewriter.h"
#include "update/update_plan.h"
#include "update/work_memory.h"

namespace tov::update {

// Work buffers larger than this together are given back after the update
// that needed them; smaller ones are kept for the next file.
constexpr size_t kKeptBytes = size_t{64} << 20;

// The memory that one update after the other works in.  The library is
// single-threaded: one update at a time uses it.
struct WorkArea {
  LargeBuffer first;
  LargeBuffer second;
  LargeBuffer staging;
  LargeBuffer window;
  LargeBuffer slots;
  // The bytes read where a large text is cut into segments.
  std::vector<char> probe;
  PlainRewriter::Changes changes;

  // Keeps small buffers for the next update; large ones go back to the
  // system.
  void Trim() {
    if (first.capacity() + second.capacity() > kKeptBytes) {
      first.Release();
      second.Release();
      changes = PlainRewriter::Changes();
    } else if (changes.held_bytes() > kKeptBytes) {
      changes = PlainRewriter::Changes();
    }
  }
};

struct UpdateState final : core::LayerState {
  UpdateState() = default;
  UpdateState(const UpdateState &) = delete;
  UpdateState &operator=(const UpdateState &) = delete;
  // Releases every node of every list handed out.
  ~UpdateState() override;

  // The nodes of every expression list handed out, in blocks of nodes
  // (zeroed, from AllocateNodes): callers keep their lists to the end of the
  // process, and holding them here says so to leak checkers.
  struct NodeBlock {
    tovUpdtrRegexpList *nodes;
    size_t count;
  };
  std::vector<NodeBlock> lists;
  // The plan of the last list applied (it points into `lists`, so it is
  // declared after them and released before them).
  std::unique_ptr<UpdatePlan> plan;
  // The nodes whose renames replaced a name in some file (those of the
  // plan's one-pass rewriters are added when asked for).
  std::unordered_set<const tovUpdtrRegexpList *> matched;
  // The names replaced by the last file update.
  uint64_t last_replacements = 0;
  WorkArea work;
  // The last library directory a file was confined to, and its real path.
  std::string library_dir;
  std::string library_root;
  // How long a file update waits for another updater's lock (5 s unless
  // the caller sets it).
  int64_t lock_wait_ms = 5000;
};

// The update layer's state, made in the library's State on first use.
UpdateState &LayerState();

// `count` zeroed nodes in one block, or NULL; released with FreeNodes.
tovUpdtrRegexpList *AllocateNodes(size_t count);
void FreeNodes(tovUpdtrRegexpList *nodes, size_t count);

}  // namespace tov::update

#endif  // TOVUPDTR_UPDATE_UPDATE_STATE_H_
