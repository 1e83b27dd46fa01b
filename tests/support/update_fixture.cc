#include "support/update_fixture.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tov::test {
namespace {

char *Copy(const char *s) {
  char *copy = static_cast<char *>(std::malloc(std::strlen(s) + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::strcpy(copy, s);
  return copy;
}

}  // namespace

ScopedCheckoutCmd::ScopedCheckoutCmd(const char *command) {
  SetEnv("TOVUPDTR_CHECKOUT_CMD", command);
}

ScopedCheckoutCmd::~ScopedCheckoutCmd() {
  SetEnv("TOVUPDTR_CHECKOUT_CMD", nullptr);
}

Members LibRename(const char *from, const char *to) {
  return {from, "", "", "", to, "", "", ""};
}

void LoadMapping(const std::vector<Members> &elements) {
  if (tovUpdtrInitHashTable() != 1) throw std::runtime_error("no mapping");
  for (const Members &m : elements) {
    // The mapping takes the element and frees it with its members.
    auto *e = static_cast<tovUpdtrHashElement *>(
        std::calloc(1, sizeof(tovUpdtrHashElement)));
    if (e == nullptr) throw std::bad_alloc();
    e->fromLib = Copy(m[0]);
    e->fromCell = Copy(m[1]);
    e->fromView = Copy(m[2]);
    e->fromFile = Copy(m[3]);
    e->toLib = Copy(m[4]);
    e->toCell = Copy(m[5]);
    e->toView = Copy(m[6]);
    e->toFile = Copy(m[7]);
    if (tovUpdtrHashInsert(e) != 1) throw std::runtime_error("not stored");
  }
}

tovUpdtrRegexpList *ListOf(const std::vector<Members> &elements) {
  LoadMapping(elements);
  return tovUpdtrGenRegexpList(0, "LibraryNT");
}

std::vector<tovUpdtrRegexpList *> Nodes(tovUpdtrRegexpList *list) {
  std::vector<tovUpdtrRegexpList *> nodes;
  for (; list != nullptr; list = list->next) nodes.push_back(list);
  return nodes;
}

Outcome Update(const std::string &line, tovUpdtrRegexpList *list, int flags,
               int code, const std::string &file) {
  std::vector<char> buf(line.begin(), line.end());
  buf.push_back('\0');
  Outcome o = Capture([&] {
    return tovUpdtrRegexpUpdateFileEx(buf.data(), code, list, "LibraryNT",
                                      flags);
  });
  if (!file.empty()) o.bytes = ReadFile(file);
  return o;
}

DesignTree::DesignTree() {
  std::string defs = dir_.Write("lib.defs", "library lib1 lib1\n");
  dir_.Write("lib1/cell/view/.keep", "");
  if (tovUpdtrInit(0, nullptr, defs.c_str(), "LibraryNT") != 1) {
    throw std::runtime_error(std::string("tovUpdtrInit: ") + bevLastError());
  }
}

std::string DesignTree::WriteFile(const std::string &name,
                                  const std::string &content) const {
  return dir_.Write("lib1/cell/view/" + name, content);
}

std::string DesignTree::PathOf(const std::string &name) const {
  return dir_.Path("lib1/cell/view/" + name);
}

std::string DesignTree::Reference(const std::string &name) {
  return "lib1.cell:view/" + name;
}

Outcome DesignTree::Update(const std::string &name, const std::string &content,
                           tovUpdtrRegexpList *list, int flags,
                           int code) const {
  return tov::test::Update(Reference(name), list, flags, code,
                           WriteFile(name, content));
}

}  // namespace tov::test
