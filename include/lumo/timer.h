// Periodic timer: calls a function once per period on a thread of its own, named
// "timer". The period is kept by busy-waiting on the millisecond clock, so a running
// timer is precise to about a millisecond but keeps one processor busy.
#pragma once

#include "lumo/allocator.h"
#include "lumo/thread.h"
#include "lumo/base_types.h"

// Calls its function with the tick number (0 for the first period after Set or
// Reset) once per period while started. The function runs without the lock, so it
// may call Set, Start, Stop and Reset on its own timer, but must not destroy it.
// Set, Start, Stop and Reset may be called from any thread; fMutex guards the state.
class CL_Timer : public CL_Object {
public:
    typedef void (*Proc)(uint32 tick, void* userData);

    enum { STOP = 0, RUN = 1, QUIT = 2 };

    CL_Timer();
    CL_Timer(uint32 frequency, Proc proc, void* userData);
    // Ends the thread after the period in progress (and its call) has finished.
    ~CL_Timer();
    CL_Timer(const CL_Timer&) = delete;
    CL_Timer& operator=(const CL_Timer&) = delete;

    // Period in milliseconds, function and user data; the tick restarts at 0 and the
    // running state is kept.
    void Set(uint32 frequency, Proc proc, void* userData);
    void Start();
    // A period already begun still ends with its call.
    void Stop();
    void Reset();

private:
    static int32 ThreadProc(void* param);

    Proc fProc;         // under fMutex
    void* fUserData;    // under fMutex; the caller's
    uint32 fFrequency;  // under fMutex
    uint32 fTick;       // under fMutex
    CL_ThreadID fThreadID;
    CL_Mutex* fMutex;  // owned
    uint32 fState;     // under fMutex
};
