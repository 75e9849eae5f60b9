// What this process costs the machine, read from the kernel: memory it holds and
// processor time it has used.
#pragma once

#include <cstddef>

struct MemoryUse {
    // VmRSS: every resident page, shared library pages included.
    std::size_t resident = 0;
    // Private_Clean + Private_Dirty of smaps_rollup: the pages only this process holds,
    // which is what a growing heap adds.
    std::size_t privateBytes = 0;
};

MemoryUse currentMemoryUse();

// Processor time of all the process's threads, user and system, in seconds.
double processCpuSeconds();

// Monotonic wall time in seconds.
double wallSeconds();
