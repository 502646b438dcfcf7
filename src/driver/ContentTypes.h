#pragma once
// The kinds of file the content search knows (--types, "jpg", "pdf"), for the front ends
// to check and list what the user typed before a scan starts.
#include "carve/ContentSearch.h"
