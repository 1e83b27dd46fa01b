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
// waits, for at most the seconds in TOVUPDTR_CHECKOUT_TIMEOUT (a positive
// number; 300 when unset or unreadable): a command that overruns is stopped
// with the processes it started.  0 when it exited with status 0 and the
// file may be written afterwards (as lokIsWriteProtected counts it);
// nonzero otherwise, with the reason kept for lokCoFailure.
int lokCo(lokSpec *spec, int reserved1, int reserved2, int reserved3);
// Why the last lokCo of `spec` failed: "timed out after N s", "not found"
// (the program could not be started), "exit status N", "killed by signal N"
// or "left the file write-protected"; "" after a check-out that succeeded,
// before any, and for NULL.
const char *lokCoFailure(const lokSpec *spec);
// 1 when the existing file at `path` has no write permission bit (owner,
// group or other) set: it is write-protected for design management even for
// a process that the system lets write anything.  0 otherwise, also when its
// status cannot be read.  (On Windows the read-only attribute clears them.)
int lokIsWriteProtected(const char *path);
// Releases `spec`; NULL is harmless.  Returns 0.
int lokFreeSpec(lokSpec *spec);

#endif  // TOVUPDTR_SERVICES_DESIGN_MANAGEMENT_LOK_H_
