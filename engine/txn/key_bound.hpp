// Key bounds and visitor answers are the B-tree module's; transactions pass
// them through unchanged.
#pragma once

#include "btree/key_bound.hpp"
