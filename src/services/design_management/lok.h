// Design-management service: tells whether a file is under design management
// and checks it out.
//
// The environment variable TOVUPDTR_CHECKOUT_CMD names the check-out command
// (words separated by blanks; no shell is involved).  Unset or empty: no file
// is under design management.
#ifndef TOVUPDTR_SERVICES_DESIGN_MANAGEMENT_LOK_H_
#define TOVUPDTR_SERVICES_DESIGN_MANAGEMENT_LOK_H_

struct lokSpec;

// A handle for the non-empty `path`, freed with lokFreeSpec; NULL otherwise.
lokSpec *lokCreateSpec(int reserved1, int reserved2, int reserved3,
                       const char *path, int reserved4);
// 0 when the file is managed (the variable is set and the file exists);
// nonzero otherwise.
int lokIsManaged(lokSpec *spec);
// Runs the check-out command with the path appended as its last argument and
// waits; 0 when it exited with status 0, nonzero otherwise.
int lokCo(lokSpec *spec, int reserved1, int reserved2, int reserved3);
// Releases `spec`; NULL is harmless.  Returns 0.
int lokFreeSpec(lokSpec *spec);

#endif  // TOVUPDTR_SERVICES_DESIGN_MANAGEMENT_LOK_H_
