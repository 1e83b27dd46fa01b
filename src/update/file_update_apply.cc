// The renames applied to a text held in memory: node by node, together, or
// through the plan's one-pass rewrites.
#include "update/file_update.h"

namespace tov::update {

void FileUpdate::PrepareOutput(size_t bytes) {
  WorkArea &work = Work();
  LargeBuffer &out = b_ == work.first.data() ? work.first : work.second;
  out.Prefault(bytes);
}

void FileUpdate::NextText(size_t length) {
  WorkArea &work = Work();
  a_ = b_;
  b_ = b_ == work.first.data() ? work.second.data() : work.first.data();
  text_length_ = length;
  b_[0] = '\0';
}

bool FileUpdate::PutNewName(const tovUpdtrRegexpList *node, size_t *write) {
  char new_name[kComponentSize] = {};
  const char *to_member = mapping::ToMember(node->element);
  if (rixMapName("LibraryNT", name_space_, to_member, 0, new_name) == 0) {
    Error(Msg::kIllegalName, to_member != nullptr ? to_member : "");
    return false;
  }
  const size_t name_length = std::strlen(new_name);
  if (*write + name_length >= capacity_) {
    Error(Msg::kBufferSpaceScaling);
    return false;
  }
  std::memcpy(b_ + *write, new_name, name_length + 1);
  *write += name_length;
  changed_ = true;
  ++replacements_;
  if (node_matched_ != node) {
    LayerState().matched.insert(node);
    node_matched_ = node;
  }
  return true;
}

bool FileUpdate::Apply(tovUpdtrRegexpList *node) {
  murRegexp *regexp = node->regexp;
  const char *in = a_;
  char *out = b_;
  size_t scan = 0;   // where the next search starts in the input
  size_t write = 0;  // end of the output so far, on its NUL
  out[0] = '\0';
  // Every search gets the rest of the text as a text of its own, so '^'
  // holds at the scan position.  The delimiter after an occurrence is not
  // consumed: it may open the next one.
  while (mur_regexecn(regexp, in + scan, text_length_ - scan) == 1) {
    const char *name_start = regexp->startp[kNameGroup];
    const char *name_end = regexp->endp[kNameGroup];
    if (name_start == nullptr) break;  // not an expression of ours
    const size_t start = static_cast<size_t>(name_start - in);
    const size_t end = static_cast<size_t>(name_end - in);

    if (!CopyBefore(scan, start, &write)) return false;
    const size_t before = write;
    if (!PutNewName(node, &write)) return false;
    // An empty occurrence replaced by an empty name moves neither position:
    // searching again would find it for ever.
    if (end == scan && write == before) break;
    scan = end;
  }
  return CopyRest(scan, write);
}

bool FileUpdate::CopyBefore(size_t scan, size_t start, size_t *write) {
  const size_t prefix = start - scan;
  if (*write + prefix >= capacity_) {
    Error(Msg::kBufferSpace);
    return false;
  }
  std::memcpy(b_ + *write, a_ + scan, prefix);
  *write += prefix;
  b_[*write] = '\0';
  return true;
}

bool FileUpdate::CopyRest(size_t scan, size_t write) {
  const char *in = a_;
  char *out = b_;
  const size_t rest = text_length_ - scan;
  if (write + rest >= capacity_) {
    Error(Msg::kBufferSpaceRest, path_);
    return false;
  }
  std::memcpy(out + write, in + scan, rest);
  write += rest;
  out[write] = '\0';
  NextText(write);
  return true;
}

bool FileUpdate::ApplyTogether(const NodeList &nodes) {
  std::vector<murRegexp *> regexps;
  regexps.reserve(nodes.size());
  for (tovUpdtrRegexpList *node : nodes) regexps.push_back(node->regexp);
  std::vector<Occurrence> found;
  FindTogether(regexps, kNameGroup, a_, text_length_, &found);
  size_t scan = 0;
  size_t write = 0;
  b_[0] = '\0';
  // Each name is put in as Apply puts one in, with the same checks in the
  // same order, so that the renames of a single node give the same text or
  // the same failure both ways.
  for (const Occurrence &o : found) {
    if (!CopyBefore(scan, o.start, &write)) return false;
    if (!PutNewName(nodes[o.index], &write)) return false;
    scan = o.end;
  }
  return CopyRest(scan, write);
}

bool FileUpdate::ApplyNodeByNode() {
  NodeList nodes;
  for (tovUpdtrRegexpList *node = list_; node != nullptr; node = node->next) {
    if (node->element == nullptr || node->regexp == nullptr) continue;
    if (together_) {
      nodes.push_back(node);
    } else if (!Apply(node)) {
      return false;
    }
  }
  return !together_ || ApplyTogether(nodes);
}

bool FileUpdate::ApplyPlan() {
  PlainRewriter::Changes &changes = Work().changes;
  const UpdatePlan &plan = UpdatePlan::For(list_, name_space_, together_);
  for (const UpdatePlan::Step &step : plan.steps()) {
    // Every step searches the whole current text.
    ApplyPending();
    if (step.rewriter != nullptr) {
      step.rewriter->Find(a_, text_length_, PiecesFor(text_length_), &changes,
                          SearchThreads());
      if (!changes.touched()) continue;
      if (changes.max_length() < capacity_) {
        pending_ = true;
        changed_ = true;
        replacements_ += changes.replacements();
        continue;
      }
      // Somewhere along these renames the text outgrows the buffers: the
      // nodes applied one by one tell exactly where, with their message.
    }
    if (plan.together()) {
      if (!ApplyTogether(step.nodes)) return false;
      continue;
    }
    for (tovUpdtrRegexpList *node : step.nodes) {
      if (!Apply(node)) return false;
    }
  }
  return true;
}

void FileUpdate::ApplyPending() {
  if (!pending_) return;
  const PlainRewriter::Changes &changes = Work().changes;
  PrepareOutput(changes.length() + 1);
  PlainRewriter::Apply(a_, text_length_, changes, b_);
  NextText(changes.length());
  pending_ = false;
}

}  // namespace tov::update
