// Millisecond clock private to the lock waits: it runs from the monotonic clock
// itself, so time-outs expire even before start-up has set the library's clock base.
#pragma once

#include <time.h>

#include "lumo/base_types.h"

inline uint32 CL_LockClockMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint32(uint64(ts.tv_sec) * 1000u + uint64(ts.tv_nsec) / 1000000u);
}

// Milliseconds since `start`, correct across the 32-bit wrap.
inline uint32 CL_LockElapsedMs(uint32 start) {
    return CL_LockClockMs() - start;
}
