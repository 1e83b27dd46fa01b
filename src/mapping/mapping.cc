#include "tovUpdtr.h"
