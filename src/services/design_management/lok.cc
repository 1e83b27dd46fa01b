#include "services/design_management/lok.h"
