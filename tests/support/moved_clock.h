// The library's clocks moved on, as if a long time had passed, by moving their
// start-up base back; the base is read atomically, so other threads may read the
// clocks meanwhile.
#pragma once

#include <atomic>

#include "lumo/clock.h"

// Moves the clocks on by `ms` until the object goes, then back.
class MovedClock {
public:
    explicit MovedClock(uint64 ms) : fSaved(Base().load()) { Base().store(fSaved - ms * 1000000u); }
    ~MovedClock() { Base().store(fSaved); }
    // Moves them on by `ms` more.
    void MoveOn(uint64 ms) { Base().fetch_sub(ms * 1000000u); }
    MovedClock(const MovedClock&) = delete;
    MovedClock& operator=(const MovedClock&) = delete;

    static constexpr uint64 kDay = 24ull * 3600 * 1000;

private:
    static std::atomic_ref<uint64> Base() { return std::atomic_ref<uint64>(sTimerBase); }
    uint64 fSaved;
};
