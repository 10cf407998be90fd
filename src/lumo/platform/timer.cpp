// Periodic timer on its own thread.

#include "lumo/timer.h"

#include "lumo/clock.h"

CL_Timer::CL_Timer()
    : fProc(nullptr),
      fUserData(nullptr),
      fFrequency(0),
      fTick(0),
      fThreadID(0),
      fMutex(new CL_Mutex),
      fState(STOP) {
    // Without its mutex (out of memory) the timer stays inert: no thread, no calls.
    fThreadID = fMutex ? CL_Thread::Spawn("timer", 1, 1, ThreadProc, this) : 0;
}

CL_Timer::CL_Timer(uint32 frequency, Proc proc, void* userData) : CL_Timer() {
    Set(frequency, proc, userData);
}

CL_Timer::~CL_Timer() {
    if (fThreadID != 0) {
        fMutex->Lock();
        fState = QUIT;
        fMutex->Unlock();
        CL_Thread::Wait(fThreadID);
    }
    delete fMutex;
}

void CL_Timer::Set(uint32 frequency, Proc proc, void* userData) {
    CL_AutoLocker lock(fMutex);
    fFrequency = frequency;
    fProc = proc;
    fUserData = userData;
    fTick = 0;
}

void CL_Timer::Start() {
    CL_AutoLocker lock(fMutex);
    fState = RUN;
}

void CL_Timer::Stop() {
    CL_AutoLocker lock(fMutex);
    fState = STOP;
}

void CL_Timer::Reset() {
    CL_AutoLocker lock(fMutex);
    fTick = 0;
}

int32 CL_Timer::ThreadProc(void* param) {
    CL_Timer* self = static_cast<CL_Timer*>(param);
    for (;;) {
        self->fMutex->Lock();
        uint32 state = self->fState;
        uint32 tick = self->fTick;
        Proc proc = self->fProc;
        uint32 period = self->fFrequency;
        void* userData = self->fUserData;
        if (state == QUIT) {
            self->fMutex->Unlock();
            return 0;
        }
        if (state != RUN) {
            self->fMutex->Unlock();
            CL_Thread::Sleep(10);
            continue;
        }
        self->fTick = tick + 1;
        self->fMutex->Unlock();
        // Unsigned differences stay right across the clock's wrap.
        uint32 start = CL_GetTime();
        while ((uint32)(CL_GetTime() - start) < period)
            CL_Thread::Sleep(0);
        if (proc) proc(tick, userData);
    }
}
