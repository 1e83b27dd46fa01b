/*
 * tovUpdtr: fixes the files of a design tree after libraries, cells or views
 * were copied or renamed.
 *
 * A from-to list of old and new references (lib.cell:view/file) is loaded into
 * a two-way mapping; one whole-word regular expression is built per renamed
 * name; every file named in an update-file list is resolved through the
 * library-definition file and rewritten.
 *
 * Every function reports its conditions as one line on the standard error
 * stream in the form "{#code S text}" and keeps its state process-wide; the
 * library is meant to be driven from one thread.  Strings are NUL-terminated
 * 8-bit strings.  Strings returned as new copies are the caller's to free();
 * strings handed out of the library's state stay the library's.
 */
#ifndef TOVUPDTR_H
#define TOVUPDTR_H

#include <stdio.h>

#include "tovUpdtr_version.h"

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(TOVUPDTR_BUILDING)
#define TOVUPDTR_API __declspec(dllexport)
#elif defined(TOVUPDTR_STATIC)
#define TOVUPDTR_API
#else
#define TOVUPDTR_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define TOVUPDTR_API __attribute__((visibility("default")))
#else
#define TOVUPDTR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Enumerations ------------------------------------------------------ */

/* Why the design data changed: set by "-reason". */
typedef enum tovUpdtrMode {
  TOV_MODE_UNDEFINED = 0,
  TOV_MODE_COPY = 1,
  TOV_MODE_RENAME = 2,
  TOV_MODE_REF_RENAME = 3
} tovUpdtrMode;

/* Which references a reference rename may touch: set by "-renameRefAllow". */
typedef enum tovRenameRefAllow {
  TOV_UPD_ALL_REFS = 0,
  TOV_UPD_VALID_TO_REFS = 1,
  TOV_UPD_VALID_FROM_REFS = 2,
  TOV_UPD_VALID_BOTH_REFS = 3
} tovRenameRefAllow;

/* The deepest component in which a from-to pair differs; LCV_ERROR doubles as
 * the failure result of the from-to loading calls. */
typedef enum lcvWhatChanged {
  LCV_UNSET = 0,
  LCV_ERROR = 1,
  LCV_NONE_CHANGED = 2,
  LCV_LIB_CHANGED = 3,
  LCV_CELL_CHANGED = 4,
  LCV_VIEW_CHANGED = 5,
  LCV_FILE_CHANGED = 6
} lcvWhatChanged;

/* ---- Records ----------------------------------------------------------- */

/* One mapping element: an old reference (from side) and its new one (to
 * side).  Members are strings owned by the element, "" when absent.  The two
 * links belong to the hash-table service.  An element that a program inserts
 * is a malloc block whose members are malloc blocks, freed with it by
 * tovUpdtrHashTableDelete.  The elements that the loading calls make are
 * packed, members included, into the mapping's own storage: a program must
 * not free them or their members, but may point a member at a malloc string
 * of its own, which is then freed with the mapping. */
typedef struct tovUpdtrHashElement {
  char *fromLib;
  char *fromCell;
  char *fromView;
  char *fromFile;
  char *toLib;
  char *toCell;
  char *toView;
  char *toFile;
  struct tovUpdtrHashElement *fromToLink;
  struct tovUpdtrHashElement *toFromLink;
} tovUpdtrHashElement;

/* The process-wide two-way mapping: the from-to index, the walk started by
 * tovUpdtrHashStartGen, and the to-from index.  The index records are the
 * hash-table service's and opaque here. */
typedef struct tovUpdtrHashTables {
  struct zuHashTable *fromTo;
  struct zuHashGenerator *activeGen;
  struct zuHashTable *toFrom;
} tovUpdtrHashTables;

/* One node of the expression list: a mapping element (owned by the mapping),
 * its compiled whole-word expression (NULL for an element that is no atom),
 * and the next node. */
typedef struct tovUpdtrRegexpList {
  tovUpdtrHashElement *element;
  struct murRegexp *regexp;
  struct tovUpdtrRegexpList *next;
} tovUpdtrRegexpList;

/* ---- Core: initialisation, messages, line reader ----------------------- */

/* The message buffer (1040 bytes): holds the last message composed. */
TOVUPDTR_API extern char tovUpdtrErrBuf[1040];
/* Name tables of the enumerations, indexed by value (4, 4 and 7 entries). */
TOVUPDTR_API extern const char *const tovUpdtrModeStrs[4];
TOVUPDTR_API extern const char *const tovRenameRefAllowStrs[4];
TOVUPDTR_API extern const char *const tovWhatChangedStrs[7];

/* Initialises the services with the library-definition file `libDefFile` and
 * stores a copy of `defaultNameSpace`; 1 on success, 0 on failure (a rejected
 * definition file prints nothing: see bevLastError). */
TOVUPDTR_API int tovUpdtrInit(int argc, char **argv, const char *libDefFile,
                              const char *defaultNameSpace);
/* The default name space stored by tovUpdtrInit, owned by the library; NULL
 * before a successful tovUpdtrInit. */
TOVUPDTR_API const char *tovUpdtrGetDefaultNameSpace(void);
/* Prints "{#code S text}" and a newline on stderr; S is I, W, E or F for
 * severity 0 to 3.  A NULL or empty text prints nothing, and so does a
 * severity below the one set by tovUpdtrSetMinSeverity. */
TOVUPDTR_API void tovUpdtrPrintErrMsg(int code, int severity, const char *text);
/* From now on, messages of a severity below `minSeverity` are composed but
 * not printed: 0 (the default) prints all, 2 only errors and fatal errors.
 * Values are clamped to 0..3, so fatal messages are always printed.  Returns
 * the previous setting. */
TOVUPDTR_API int tovUpdtrSetMinSeverity(int minSeverity);
/* The version of the loaded library, "MAJOR.MINOR.PATCH" (a static string),
 * to compare with the TOVUPDTR_VERSION_STRING a program was compiled with. */
TOVUPDTR_API const char *tovUpdtrGetVersion(void);
/* Reads one line (at most size - 1 bytes, newline kept) into `buf` and
 * returns it; NULL with `buf` emptied at end of file.  A read error ends the
 * process with status 1. */
TOVUPDTR_API char *tovUpdtrFgets(FILE *stream, char *buf, int size);

/* ---- Arguments --------------------------------------------------------- */

/* Parses an updater's command line.  The three file names are stored as new
 * copies (the caller frees them); an output keeps the caller's value until an
 * option replaces it.  A missing file option ends the process after the usage
 * text.  None of the five addresses may be NULL. */
TOVUPDTR_API void tovUpdtrXParseArgs(int argc, char **argv, char **fromToList,
                                     char **updateFileList, char **murlib,
                                     int *updateMode, int *renameRefAllow);
/* tovUpdtrXParseArgs without the mode and scope outputs. */
TOVUPDTR_API void tovUpdtrParseArgs(int argc, char **argv, char **fromToList,
                                    char **updateFileList, char **murlib);
/* The update mode set by "-reason" (a tovUpdtrMode value). */
TOVUPDTR_API int tovUpdtrGetUpdateMode(void);
/* The rename-reference scope and names (owned by the library) when the mode is
 * TOV_MODE_REF_RENAME; otherwise 0 and NULLs.  Any address may be NULL. */
TOVUPDTR_API void tovUpdtrGetRenameRefData(int *renameRefAllow,
                                           const char **oldName,
                                           const char **newName);

/* ---- References -------------------------------------------------------- */

/* Splits lib/file, lib.cell/file or lib.cell:view/file into the four caller
 * buffers (each may be NULL; each must hold the longest component); 1 when
 * parsed, 0 when rejected.  A file part of "." is delivered empty. */
TOVUPDTR_API int tovParseLCV(const char *lcv, char *lib, char *cell, char *view,
                             char *file);
/* Prints the four components as debug lines on stderr ("<NULL>" for NULL or
 * empty ones). */
TOVUPDTR_API void tovPrintLCV(const char *lib, const char *cell,
                              const char *view, const char *file);
/* The deepest component that differs between the from and the to side, as an
 * lcvWhatChanged value from 2 to 6.  A pair with a NULL side is skipped. */
TOVUPDTR_API int tovWhatChangedInFromToPair(
    const char *fromLib, const char *fromCell, const char *fromView,
    const char *fromFile, const char *toLib, const char *toCell,
    const char *toView, const char *toFile);
/* The path of the file that the components name, as a new 260-byte buffer the
 * caller frees; NULL when it cannot be resolved. */
TOVUPDTR_API char *lcvGetPath(const char *lib, const char *cell,
                              const char *view, const char *file);

/* ---- Mapping ----------------------------------------------------------- */

/* Discards the current mapping and creates an empty one; 1 on success, 0 when
 * an allocation failed. */
TOVUPDTR_API int tovUpdtrInitHashTable(void);
/* The stored element whose from side equals the key's, or NULL. */
TOVUPDTR_API tovUpdtrHashElement *tovUpdtrHashProbe(
    const tovUpdtrHashElement *key);
/* selector nonzero: as tovUpdtrHashProbe; 0: by the to side.  NULL when not
 * found or when there is no mapping. */
TOVUPDTR_API tovUpdtrHashElement *tovUpdtrXHashProbe(
    const tovUpdtrHashElement *key, int selector);
/* Stores `element` in both indexes; the mapping owns it from then on.  The
 * result is 1 when stored, 0 when there is no mapping to store it in. */
TOVUPDTR_API int tovUpdtrHashInsert(tovUpdtrHashElement *element);
/* 1 when exactly one of the four from-members is non-empty, else 0. */
TOVUPDTR_API int tovUpdtrHashIsElementAnAtom(
    const tovUpdtrHashElement *element);
/* An atom's one non-empty from-member (owned by the element), or NULL. */
TOVUPDTR_API const char *tovUpdtrHashGetNonNullFromMember(
    const tovUpdtrHashElement *element);
/* An atom's first non-empty to-member, else its toFile (owned by the
 * element); NULL for an element that is no atom. */
TOVUPDTR_API const char *tovUpdtrHashGetNonNullToMember(
    const tovUpdtrHashElement *element);
/* Frees every element and both indexes; harmless without a mapping. */
TOVUPDTR_API void tovUpdtrHashTableDelete(void);
/* Starts a walk over the mapping in insertion order and returns its handle
 * (owned by the library); NULL without a mapping. */
TOVUPDTR_API struct zuHashGenerator *tovUpdtrHashStartGen(void);
/* The next element of the walk, or NULL at its end (or without a walk). */
TOVUPDTR_API tovUpdtrHashElement *tovUpdtrHashNext(void);
/* Prints both indexes to `stream` (NULL: stderr). */
TOVUPDTR_API void tovUpdtrHashDump(FILE *stream);

/* ---- Loading ----------------------------------------------------------- */

/* tovProcessFromToFileEx with the name space "LibraryNT", case-insensitive. */
TOVUPDTR_API int tovProcessFromToFile(const char *path, int level);
/* Loads the from-to list `path` into a new mapping at `level` (0 library to 3
 * file, 4 atoms), storing names in `nameSpace`.  Returns the kind of change
 * common to all lines (lcvWhatChanged 2 to 6), 0 for a list without lines (3
 * in TOV_MODE_REF_RENAME), or LCV_ERROR. */
TOVUPDTR_API int tovProcessFromToFileEx(const char *path, int level,
                                        const char *nameSpace,
                                        int caseSensitive);

/* ---- Updating ---------------------------------------------------------- */

/* Builds one node per mapping element, with a whole-word expression for every
 * atom, names converted into `nameSpace`.  The list is never freed and stays
 * valid while the mapping is loaded.  NULL on failure. */
TOVUPDTR_API tovUpdtrRegexpList *tovUpdtrGenRegexpList(int updateType,
                                                       const char *nameSpace);
/* Makes the file at `path` writable (or creatable), checking it out when it
 * is under design management; 1 on success, 0 otherwise. */
TOVUPDTR_API int tovMkWritable(const char *path);
/* Rewrites the file that the first token of `line` names (a NUL is written
 * after that token) with the expressions of `list`; messages carry `msgCode`.
 * 1 when updated, unchanged or empty; 0 on failure, the file left as it was. */
TOVUPDTR_API int tovUpdtrRegexpUpdateFile(char *line, int msgCode,
                                          tovUpdtrRegexpList *list,
                                          const char *nameSpace);

/* Flags of tovUpdtrRegexpUpdateFileEx. */
#define TOV_UPDATE_DRY_RUN 0x1 /* compute the new text, write nothing */
/* apply the nodes one by one, each searching the whole text (the slow path
 * that the one-pass rewrite of plain names must agree with) */
#define TOV_UPDATE_NODE_BY_NODE 0x2
/* wait until the new text, and the rename that puts it in place, are on the
 * disk before returning (without it the text is handed to the system's
 * cache: a crash of the program still leaves the old or the new text whole,
 * but a crash of the whole system soon after may leave the file incomplete) */
#define TOV_UPDATE_SYNC 0x4
/* update a file whose path leads, through a link inside its library, out of
 * the library's directory (without it such a file is refused) */
#define TOV_UPDATE_FOLLOW_LINKS 0x8
/* apply the renames together instead of one after the other: every old name
 * that the text holds becomes its own new name in one step, so that no
 * rename sees what another made (a swap swaps, a shift shifts); where the
 * names found by two renames overlap, the one that starts first is
 * replaced, and of two that start at one place the one listed first */
#define TOV_UPDATE_SIMULTANEOUS 0x10
/* the scaling factor of the work buffers, 1 to 255, in bits 8 to 15 of the
 * flags: the new text of a file may be up to that many times the file's
 * size, less one byte (0 there: the factor 2) */
#define TOV_UPDATE_SCALING(factor) (((factor)&0xff) << 8)
#define TOV_UPDATE_SCALING_OF(flags) (((flags) >> 8) & 0xff)

/* Results of tovUpdtrRegexpUpdateFileEx beyond 0 (failure). */
#define TOV_UPDATE_UNCHANGED 1 /* nothing matched, or an empty file */
#define TOV_UPDATE_CHANGED 2   /* written back (or would be, in a dry run) */

/* tovUpdtrRegexpUpdateFile with flags; returns 0, TOV_UPDATE_UNCHANGED or
 * TOV_UPDATE_CHANGED. */
TOVUPDTR_API int tovUpdtrRegexpUpdateFileEx(char *line, int msgCode,
                                            tovUpdtrRegexpList *list,
                                            const char *nameSpace, int flags);
/* tovUpdtrRegexpUpdateFileEx that also hands out what it computed, for a
 * preview of a dry run.  When the result is TOV_UPDATE_CHANGED, *path
 * receives the path of the file and *newText its new text, *newLength bytes
 * followed by a NUL (the text may hold NUL bytes of its own); both are new
 * copies that the caller frees.  For any other result both are set to NULL
 * and *newLength to 0.  Any of the three addresses may be NULL. */
TOVUPDTR_API int tovUpdtrRegexpUpdateFileText(char *line, int msgCode,
                                              tovUpdtrRegexpList *list,
                                              const char *nameSpace, int flags,
                                              char **path, char **newText,
                                              size_t *newLength);

/* How many names the last tovUpdtrRegexpUpdateFile* call replaced, when it
 * returned TOV_UPDATE_CHANGED (0 after any other result).  Renames applied
 * one after the other count a name once for each rename that replaced it. */
TOVUPDTR_API unsigned long long tovUpdtrReplacedCount(void);
/* 1 when the rename of `node` replaced a name in some file updated with its
 * list (dry runs and files that then failed included), otherwise 0: for a
 * warning about old names that nothing held. */
TOVUPDTR_API int tovUpdtrRegexpMatched(const tovUpdtrRegexpList *node);

/* Why tovUpdtrReferenceOf gave no reference: the path leads to nothing; no
 * library directory of the definitions holds it; its names cannot be written
 * as a reference. */
#define TOV_REF_NOT_FOUND 1
#define TOV_REF_NO_LIBRARY 2
#define TOV_REF_NOT_NAMEABLE 3
/* The reference, names written in "LibraryNT", that names the file at `path`
 * through the deepest library directory of the definitions that holds it (a
 * link in the last name of the path is not followed; links before it are):
 * lib/file, lib.cell/file or lib.cell:view/file, the file part holding every
 * name below the view.  A new string that the caller frees, or NULL with
 * *why (when not NULL) set to one of the reasons above; nothing is
 * printed. */
TOVUPDTR_API char *tovUpdtrReferenceOf(const char *path, int *why);
/* Writes into `out` (`size` bytes, NUL included) the name, in "LibraryNT",
 * of the library at `index` (from 0) of the definitions in force, in the
 * order of their names: 1 when written, 0 past the last library or when the
 * name does not fit. */
TOVUPDTR_API int tovUpdtrLibraryName(int index, char *out, size_t size);
/* Writes into `out` (`size` bytes, NUL included) `name`, written in the name
 * space `fromSpace`, as the name space `toSpace` writes it ("LibraryNT" or
 * "LibraryUnix"): 1 when written, 0 when a name space is unknown, the name
 * is not legal in `fromSpace` or the result does not fit. */
TOVUPDTR_API int tovUpdtrMapName(const char *fromSpace, const char *toSpace,
                                 const char *name, char *out, size_t size);

/* ---- Layouts ----------------------------------------------------------- */

/* What a file holds, as tovUpdtrFileFormat tells it from its first bytes.  A
 * GDSII stream is updated record by record: the renames apply to the strings
 * of its string records (LIBNAME, STRNAME, SNAME, STRING, PROPVALUE, ...),
 * whose lengths are recomputed.  OASIS layouts and compressed streams are
 * refused. */
#define TOV_FORMAT_TEXT 0
#define TOV_FORMAT_GDSII 1
#define TOV_FORMAT_OASIS 2
#define TOV_FORMAT_COMPRESSED 3
/* The number of first bytes that tovUpdtrFileFormat needs. */
#define TOV_FORMAT_HEAD 16
/* The format of a file whose first `length` bytes are `head` (the whole file
 * when it is shorter than TOV_FORMAT_HEAD): one of TOV_FORMAT_*. */
TOVUPDTR_API int tovUpdtrFileFormat(const char *head, size_t length);
/* For a GDSII stream and its update (the new text of
 * tovUpdtrRegexpUpdateFileText): one line per string that the update
 * changed, `structure "top", SNAME: "inv_1" -> "inv_2"` ("library" in place
 * of the structure before the first one), strings quoted with C escapes.  A
 * new string that the caller frees, or NULL when either stream is not valid
 * or they do not hold the same string records. */
TOVUPDTR_API char *tovUpdtrDescribeLayoutChange(const char *oldText,
                                                size_t oldLength,
                                                const char *newText,
                                                size_t newLength);

/* ---- Updates side by side, and interrupted ---------------------------- */

/* Every file is updated under a lock beside it (.NAME.tovlock, holding the
 * process id and host of the updater); another updater that meets it waits
 * up to this many milliseconds (5000 unless set; 0: not at all), then fails
 * that file with a message naming the holder.  Returns the wait before the
 * call; a negative argument only asks for it. */
TOVUPDTR_API int tovUpdtrSetLockWait(int milliseconds);
/* Removes the lock and new file of the update under way in this process and
 * gives a file half rewritten in place its old text back from its journal,
 * with system calls only: for a signal handler of the caller that ends the
 * process (the library installs no handler of its own).  The interrupted
 * update must not go on after it. */
TOVUPDTR_API void tovUpdtrCleanup(void);

/* ---- Diagnostics ------------------------------------------------------- */

/* Why the last library-definition file was rejected ("" when it was not), as
 * "file:line: reason"; owned by the library. */
TOVUPDTR_API const char *bevLastError(void);

#ifdef __cplusplus
}
#endif

#endif /* TOVUPDTR_H */
