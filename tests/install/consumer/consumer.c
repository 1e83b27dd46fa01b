/* A small updater written against the installed header and library: it
 * fixes one file after a library rename, first as a preview, then for real,
 * in the directory given as its argument.  It prints what it saw and exits
 * with 0 only when everything went as expected. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tovUpdtr.h>

#if TOVUPDTR_VERSION_NUMBER != TOVUPDTR_VERSION_MAJOR * 10000 +   \
                                   TOVUPDTR_VERSION_MINOR * 100 + \
                                   TOVUPDTR_VERSION_PATCH
#error "the version macros disagree"
#endif

/* The expression list lives as long as the program: kept here, it stays
 * reachable until the end. */
static tovUpdtrRegexpList *list;

static int WriteText(const char *dir, const char *name, const char *text) {
  char path[4096];
  FILE *f;
  snprintf(path, sizeof path, "%s/%s", dir, name);
  f = fopen(path, "wb");
  if (f == NULL) return 0;
  fputs(text, f);
  return fclose(f) == 0;
}

static int Fail(const char *what) {
  fprintf(stderr, "consumer: %s\n", what);
  return 1;
}

int main(int argc, char **argv) {
  char defs[4096], ftl[4096], line[4096];
  char *path = NULL, *text = NULL;
  size_t length = 0;
  int result;
  if (argc != 2) return Fail("usage: consumer DIR");
  printf("compiled with %s, running %s\n", TOVUPDTR_VERSION_STRING,
         tovUpdtrGetVersion());
  if (strcmp(TOVUPDTR_VERSION_STRING, tovUpdtrGetVersion()) != 0) {
    return Fail("header and library differ");
  }

  if (!WriteText(argv[1], "lib.defs", "library newLib .\n") ||
      !WriteText(argv[1], "rename.ftl", "oldLib/. newLib/.\n") ||
      !WriteText(argv[1], "top.v", "// oldLib.top\nuse oldLib;\n")) {
    return Fail("cannot write the example files");
  }
  snprintf(defs, sizeof defs, "%s/lib.defs", argv[1]);
  snprintf(ftl, sizeof ftl, "%s/rename.ftl", argv[1]);
  if (tovUpdtrInit(argc, argv, defs, "LibraryNT") != 1) {
    return Fail(bevLastError());
  }
  if (tovProcessFromToFileEx(ftl, 4, "LibraryNT", 0) != LCV_LIB_CHANGED) {
    return Fail("the from-to list was not loaded");
  }
  list = tovUpdtrGenRegexpList(0, "LibraryNT");
  if (list == NULL) return Fail("no expression list");

  strcpy(line, "newLib/top.v");
  result = tovUpdtrRegexpUpdateFileText(
      line, 1, list, "LibraryNT", TOV_UPDATE_DRY_RUN, &path, &text, &length);
  if (result != TOV_UPDATE_CHANGED || text == NULL) return Fail("no preview");
  printf("preview of %s (%lu bytes):\n%s", strrchr(path, '/') + 1,
         (unsigned long)length, text);
  free(path);
  free(text);

  strcpy(line, "newLib/top.v");
  if (tovUpdtrRegexpUpdateFile(line, 1, list, "LibraryNT") != 1) {
    return Fail("the update failed");
  }
  tovUpdtrHashTableDelete();
  printf("updated\n");
  return 0;
}
