/* Compiled as C99 with -pedantic: the public header must be plain C. */
#include "tovUpdtr.h"

#include <stddef.h>

/* Uses every type of the header from C, so that a C++-only construct in any
 * of them breaks the build. */
int tovApiCheckFromC(void) {
  tovUpdtrHashElement element;
  tovUpdtrHashTables tables;
  tovUpdtrRegexpList node;
  tovUpdtrMode mode = TOV_MODE_REF_RENAME;
  tovRenameRefAllow allow = TOV_UPD_VALID_BOTH_REFS;
  lcvWhatChanged kind = LCV_FILE_CHANGED;
  char lib[16];
  char file[16];
  element.fromToLink = NULL;
  tables.fromTo = NULL;
  node.next = NULL;
  (void)element;
  (void)tables;
  (void)node;
  if (tovParseLCV("a/b", lib, NULL, NULL, file) != 1) return 0;
  return (int)mode + (int)allow + (int)kind + (lib[0] == 'a') +
         (file[0] == 'b');
}
