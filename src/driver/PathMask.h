#pragma once
// The wildcard matcher the front ends choose results with (--path-mask): the one the
// scan's own masks use, so a mask means the same in both places.
#include "filters/Wildcard.h"
