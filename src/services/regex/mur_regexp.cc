#include "services/regex/mur_regexp.h"
