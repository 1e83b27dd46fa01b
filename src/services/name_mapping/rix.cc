#include "services/name_mapping/rix.h"

#include <cstring>

namespace tov::rix {
namespace {

// Which bytes a name space writes as '#' and two hexadecimal digits.  '#'
// itself is always among them, so a raw '#' in a name always opens an escape.
// A table of all 256 byte values: names are converted by the thousand when a
// list is loaded, a byte at a time.
struct EscapeSet {
  bool escaped[256];
  bool operator()(unsigned char c) const { return escaped[c]; }
};

constexpr bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

constexpr EscapeSet MakeEscapeSet(const char *specials) {
  EscapeSet set{};
  for (int c = 0; c < 256; ++c) {
    set.escaped[c] = IsControl(static_cast<unsigned char>(c));
  }
  for (const char *p = specials; *p != '\0'; ++p) {
    set.escaped[static_cast<unsigned char>(*p)] = true;
  }
  return set;
}

constexpr EscapeSet kUnixEscapes = MakeEscapeSet("/#");
constexpr EscapeSet kNtEscapes = MakeEscapeSet("#<>:\"/\\|?*");

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `name`, written with the escapes of `escaped`, into its identifier.
// The result goes to a scratch buffer first, so that `out` (which may be
// `name` itself) is written only when the whole name was legal and fits.
int Decode(const char *name, const EscapeSet &escaped, char *out) {
  if (name == nullptr || out == nullptr) return 0;
  char ident[kRixMaxName];
  size_t n = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
       *p != '\0'; ++p) {
    unsigned char c = *p;
    if (c == '#') {
      // p[1] is checked before p[2] is read: a '#' at the very end stops at
      // its terminator.
      int high = HexValue(p[1]);
      int low = high < 0 ? -1 : HexValue(p[2]);
      // "#00" would put a NUL into the identifier, which cannot hold one.
      if (low < 0 || (high == 0 && low == 0)) return 0;
      c = static_cast<unsigned char>(high * 16 + low);
      p += 2;
    } else if (escaped(c)) {
      return 0;  // a byte that this name space only writes escaped
    }
    if (n + 1 >= kRixMaxName) return 0;
    ident[n++] = static_cast<char>(c);
  }
  ident[n] = '\0';
  std::memcpy(out, ident, n + 1);
  return 1;
}

// Writes the identifier `ident` as a name with the escapes of `escaped`.
int Encode(const char *ident, const EscapeSet &escaped, char *out) {
  if (ident == nullptr || out == nullptr) return 0;
  static const char kHex[] = "0123456789abcdef";
  char name[kRixMaxName];
  size_t n = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(ident);
       *p != '\0'; ++p) {
    if (escaped(*p)) {
      if (n + 3 >= kRixMaxName) return 0;
      name[n++] = '#';
      name[n++] = kHex[*p >> 4];
      name[n++] = kHex[*p & 0xF];
    } else {
      if (n + 1 >= kRixMaxName) return 0;
      name[n++] = static_cast<char>(*p);
    }
  }
  name[n] = '\0';
  std::memcpy(out, name, n + 1);
  return 1;
}

// The known name spaces.  Another one is one more entry here with its two
// functions.
struct NameSpace {
  const char *name;
  rixNameFunc to_ident;
  rixNameFunc ident_to_name;
  const EscapeSet *escapes;
};

const NameSpace kNameSpaces[] = {
    {"LibraryNT", rixLibraryNTToIdent, rixIdentToLibraryNT, &kNtEscapes},
    {"LibraryUnix", rixLibraryUnixToIdent, rixIdentToLibraryUnix,
     &kUnixEscapes},
};

// A name that holds no escape and no byte that `escaped` would escape is
// its own identifier, and written back the same: mapped into its own name
// space it is copied as it is.  False (nothing written) for any other name,
// which goes the whole way.
bool CopyUnescaped(const char *name, const EscapeSet &escaped, char *out) {
  size_t n = 0;
  for (; name[n] != '\0'; ++n) {
    if (escaped(static_cast<unsigned char>(name[n]))) return false;
  }
  if (n + 1 > kRixMaxName) return false;
  std::memmove(out, name, n + 1);
  return true;
}

const NameSpace *FindNameSpace(const char *name) {
  if (name == nullptr) return nullptr;
  for (const NameSpace &space : kNameSpaces) {
    if (std::strcmp(space.name, name) == 0) return &space;
  }
  return nullptr;
}

}  // namespace
}  // namespace tov::rix

int rixLibraryNTToIdent(const char *name, char *out) {
  return tov::rix::Decode(name, tov::rix::kNtEscapes, out);
}

int rixIdentToLibraryNT(const char *ident, char *out) {
  return tov::rix::Encode(ident, tov::rix::kNtEscapes, out);
}

int rixLibraryUnixToIdent(const char *name, char *out) {
  return tov::rix::Decode(name, tov::rix::kUnixEscapes, out);
}

int rixIdentToLibraryUnix(const char *ident, char *out) {
  return tov::rix::Encode(ident, tov::rix::kUnixEscapes, out);
}

int rixMapper(rixNameFunc toIdent, rixNameFunc identToName, const char *name,
              int /*flags*/, char *out) {
  if (toIdent == nullptr || identToName == nullptr || name == nullptr ||
      out == nullptr) {
    return 0;
  }
  // Into its own name space, most names are copied as they are.
  for (const tov::rix::NameSpace &space : tov::rix::kNameSpaces) {
    if (space.to_ident == toIdent && space.ident_to_name == identToName &&
        tov::rix::CopyUnescaped(name, *space.escapes, out)) {
      return 1;
    }
  }
  char ident[kRixMaxName];
  if (toIdent(name, ident) == 0) return 0;
  return identToName(ident, out) != 0 ? 1 : 0;
}

int rixMapName(const char *from, const char *to, const char *name, int flags,
               char *out) {
  const tov::rix::NameSpace *source = tov::rix::FindNameSpace(from);
  const tov::rix::NameSpace *target = tov::rix::FindNameSpace(to);
  if (source == nullptr || target == nullptr) return 0;
  return rixMapper(source->to_ident, target->ident_to_name, name, flags, out);
}

rixNameFunc rixGetIdentToNameFunc(const char *nameSpace) {
  const tov::rix::NameSpace *space = tov::rix::FindNameSpace(nameSpace);
  return space != nullptr ? space->ident_to_name : nullptr;
}

rixNameFunc rixGetNameToIdentFunc(const char *nameSpace) {
  const tov::rix::NameSpace *space = tov::rix::FindNameSpace(nameSpace);
  return space != nullptr ? space->to_ident : nullptr;
}
