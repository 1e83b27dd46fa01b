// Name-mapping service: converts design-object names between name spaces.
//
// Every name space writes a name as bytes, some of them escaped as '#'
// followed by two hexadecimal digits; the neutral identifier form is the raw
// name (any byte string without NUL).  Conversions go through that form:
// name -> identifier (a "to identifier" function), identifier -> name (an
// "identifier to name" function).
//
//   "LibraryUnix" escapes '/', '#', 0x01-0x1F and 0x7F;
//   "LibraryNT"   escapes '#', '<', '>', ':', '"', '/', '\', '|', '?', '*',
//                 0x01-0x1F and 0x7F.
// Names are written with lower-case digits and read with either case.  A name
// holding one of its space's escaped bytes raw, a '#' without two hexadecimal
// digits after it, or "#00" is not legal in that space.  The empty name is
// legal everywhere.
//
// No function here writes more than kRixMaxName bytes, NUL included, into an
// output, and each writes its output only on success; a result that would not
// fit is a failure (0).  NULL arguments give 0.  `out` may be the input.
#ifndef TOVUPDTR_SERVICES_NAME_MAPPING_RIX_H_
#define TOVUPDTR_SERVICES_NAME_MAPPING_RIX_H_

#include <cstddef>

constexpr size_t kRixMaxName = 260;

// Converts `in` into `out` (kRixMaxName bytes); nonzero on success.
using rixNameFunc = int (*)(const char *in, char *out);

// "LibraryNT" name <-> identifier.
int rixLibraryNTToIdent(const char *name, char *out);
int rixIdentToLibraryNT(const char *ident, char *out);
// "LibraryUnix" name <-> identifier.
int rixLibraryUnixToIdent(const char *name, char *out);
int rixIdentToLibraryUnix(const char *ident, char *out);

// Converts `name` with `toIdent`, then `identToName`, into `out`; `flags` is
// reserved (0).  Nonzero on success; 0 when either step fails or a function
// is NULL.  `out` is written only on success.
int rixMapper(rixNameFunc toIdent, rixNameFunc identToName, const char *name,
              int flags, char *out);

// Converts `name` from the name space `from` into the name space `to`; 0
// when either name space is unknown or `name` is not legal in `from`.
int rixMapName(const char *from, const char *to, const char *name, int flags,
               char *out);

// The identifier-to-name function of `nameSpace`; NULL when it is unknown.
rixNameFunc rixGetIdentToNameFunc(const char *nameSpace);
// The name-to-identifier function of `nameSpace`; NULL when it is unknown.
rixNameFunc rixGetNameToIdentFunc(const char *nameSpace);

#endif  // TOVUPDTR_SERVICES_NAME_MAPPING_RIX_H_
