// A millisecond time budget spent in steps, for the time-outs of the socket and the
// RPC client: how much is left, the time since the last step taken off it, and a
// restart that gives the whole budget back from a given moment. And the time from one
// reading of CL_GetTime to another, for the server's clocks.
#pragma once

#include "lumo/base_types.h"
#include "lumo/clock.h"

// How far a stamp may be later than `now` and still be taken as no time at all: one
// taken on another thread after `now` was read is a few milliseconds ahead, never this.
constexpr uint32 kClockLead = 60000;

// Milliseconds from the CL_GetTime reading `since` to `now`: their unsigned difference,
// right across the clock's wrap, for gaps up to 2^32 ms (49.7 days) less kClockLead. A
// stamp up to kClockLead later than `now` counts as 0, where the difference would
// wrap to days.
inline uint32 CL_Elapsed(uint32 now, uint32 since) {
    return since - now <= kClockLead ? 0 : now - since;
}

// Time left of a budget. Each Tick takes the time since the previous Tick (or the
// start, or the last Restart) off what is left, never going below 0. Only differences
// of CL_GetTime readings count, so its wrap-around does no harm. A plain value.
class CL_Countdown {
public:
    explicit CL_Countdown(uint32 budget) : fBudget(budget), fLeft(budget), fLast(CL_GetTime()) {}

    uint32 Left() const { return fLeft; }
    bool IsOver() const { return fLeft == 0; }

    // Counts the time since the last step against the budget; returns what is left.
    uint32 Tick() {
        uint32 now = CL_GetTime();
        uint32 elapsed = now - fLast;
        fLeft = elapsed >= fLeft ? 0 : fLeft - elapsed;
        fLast = now;
        return fLeft;
    }
    // The whole budget again, counted from the CL_GetTime reading `since` (not later
    // than now).
    void RestartFrom(uint32 since) {
        fLeft = fBudget;
        fLast = since;
    }

private:
    uint32 fBudget;
    uint32 fLeft;
    uint32 fLast;  // CL_GetTime of the last step
};
