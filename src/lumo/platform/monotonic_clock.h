// The raw monotonic clock of the library's private code. Waits and time-outs read it
// directly: the public clocks count from the base that start-up sets and read 0 before
// it, so a time-out measured on them would never run out.
#pragma once

#include <time.h>

#include "lumo/base_types.h"

namespace lumo_clock {

inline uint64 MonotonicNanos() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64(ts.tv_sec) * 1000000000ull + uint64(ts.tv_nsec);
}
inline uint64 MonotonicMicros() {
    return MonotonicNanos() / 1000u;
}
inline uint64 MonotonicMillis() {
    return MonotonicNanos() / 1000000u;
}

}  // namespace lumo_clock
