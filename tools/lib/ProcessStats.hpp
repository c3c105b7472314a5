#pragma once
// What /proc says about a running process, for the benchmarks.

#include <sys/types.h>

#include <string>

namespace qbtools {

// User + system CPU seconds the process has used; 0 when it cannot be read.
double cpuSeconds(pid_t pid);

// The same from the scheduler's nanosecond counts of the threads alive now (threads that
// have ended are left out): fine enough for a process that hardly runs.
double liveThreadCpuSeconds(pid_t pid);

// A "<key>: <n> kB" value of /proc/<pid>/status (VmRSS, VmHWM ...); -1 when absent.
long statusKiB(pid_t pid, const std::string& key);

}  // namespace qbtools
