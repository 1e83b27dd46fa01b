#include "services/name_mapping/rix.h"
