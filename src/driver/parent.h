// driver/parent.h: a run tied to the life of a process above it.
#pragma once

#include <string>

namespace lv {

// Ties this process to PID, which must be one of its ancestors (its parent,
// or a process further up, as when a wrapper that does not exec stands
// between): when PID ends, or the wrapper this process runs under, this
// process gets SIGTERM, which the caller may not ignore or block. Answers ""
// once the tie holds, or why it cannot (PID is gone, or is not an ancestor),
// before anything is done.
std::string follow_parent(long pid);

}  // namespace lv
