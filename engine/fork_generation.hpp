// Telling a forked process from the one it was forked from. A process id
// cannot do it: once a process has ended, a descendant of one of its forked
// children may be given its id again, and would then pass for it. The fork
// generation is kept in the process's own memory and bumped in every child
// by a fork handler, so a value recorded by one process is never the current
// one in a process that inherited it.
#pragma once

#include <cstdint>

namespace deziro::fork_generation {

// This process's generation: a child starts one above its parent's at the
// fork, so every descendant of a process is above the value that process had
// when it forked. The first call registers the fork handler; a value is only
// meaningful when recorded after that, which recording it through this call
// ensures.
std::uint64_t current();

}  // namespace deziro::fork_generation
