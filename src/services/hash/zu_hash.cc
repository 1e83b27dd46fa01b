#include "services/hash/zu_hash.h"

// The service keeps no process-wide state, so there is nothing to set up.
void zuInit4(int *, char **, int, int) {}
