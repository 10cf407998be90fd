// Millisecond clock private to the lock waits: it runs from the monotonic clock
// itself, so time-outs expire even before start-up has set the library's clock base.
#pragma once

#include "lumo/base_types.h"
#include "lumo/platform/monotonic_clock.h"

inline uint32 CL_LockClockMs() {
    return uint32(lumo_clock::MonotonicMillis());
}

// Milliseconds since `start`, correct across the 32-bit wrap.
inline uint32 CL_LockElapsedMs(uint32 start) {
    return CL_LockClockMs() - start;
}
