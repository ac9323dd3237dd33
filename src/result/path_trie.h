// The path trie behind the result's maps; public (<tessaly/path_map.h>). Keys
// compared by components follow paths_equal.
#pragma once

#include <tessaly/path_map.h>

#include "base/paths.h"
