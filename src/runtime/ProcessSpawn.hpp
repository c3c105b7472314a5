#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qb {

// Starts argv[0] (looked up on the PATH unless it holds a slash) with the given descriptors
// as its standard streams; -1 means the null device. The child starts with default signal
// handling and an empty signal mask, whatever the caller set, so a closed pipe ends it as it
// would end any program. envp null: this environment. Returns the child's pid, or -1 with
// errno set.
pid_t spawnWithDefaultSignals(const std::vector<std::string>& argv, int in, int out, int err,
                              char* const* envp = nullptr);

}  // namespace qb
