// The objects phase of the check: the stored schema, every record of every
// collection decoded and its key encoded again, every index entry an object
// gives looked up, each index's size and each auto-increment counter.
#pragma once

#include "tools/check.hpp"

namespace deziro {

class ReadTxn;

namespace tools {
// Adds its findings and the records it read to `report`.
void check_objects(ReadTxn& txn, CheckReport& report);
}  // namespace tools

}  // namespace deziro
