#include <errno.h>
#include <time.h>

#include <new>

#include "lumo/thread.h"

// Deadlines run on the monotonic clock so that a change of the wall-clock time
// neither cuts a wait short nor stretches it.
// Without memory for its condition the object stays inert: waits fail at once with
// CL_OUT_OF_MEMORY and signals do nothing.
CL_Condition::CL_Condition() : fData(new (std::nothrow) pthread_cond_t), fMutex(nullptr) {
    if (!fData) return;
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(fData, &attr);
    pthread_condattr_destroy(&attr);
}

CL_Condition::~CL_Condition() {
    if (fData) pthread_cond_destroy(fData);
    delete fData;
    delete fMutex.load();
}

void CL_Condition::Signal() {
    if (fData) pthread_cond_signal(fData);
}
void CL_Condition::Broadcast() {
    if (fData) pthread_cond_broadcast(fData);
}

// Made once: concurrent first waiters agree on one mutex, the loser frees its own.
CL_Mutex* CL_Condition::PrivateMutex() {
    CL_Mutex* current = fMutex.load(std::memory_order_acquire);
    if (current) return current;
    CL_Mutex* made = new CL_Mutex();
    if (!made) return nullptr;
    if (fMutex.compare_exchange_strong(current, made, std::memory_order_acq_rel)) return made;
    delete made;
    return current;
}

CL_Status CL_Condition::Wait(CL_Mutex* mutex, uint32 ms) {
    if (!fData) return CL_OUT_OF_MEMORY;
    if (!mutex) {
        // The private mutex guards nothing of the caller's: hold it only for the wait
        // itself, so that the next waiter is never locked out.
        CL_Mutex* own = PrivateMutex();
        if (!own) return CL_OUT_OF_MEMORY;
        own->Lock();
        CL_Status status = Wait(own, ms);
        own->Unlock();
        return status;
    }
    int result;
    if (ms == CL_WAIT_FOREVER) {
        result = pthread_cond_wait(fData, mutex->GetNative());
    } else {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        uint64 nanos = uint64(now.tv_nsec) + uint64(ms % 1000) * 1000000u;
        timespec deadline;
        deadline.tv_sec = now.tv_sec + time_t(ms / 1000) + time_t(nanos / 1000000000u);
        deadline.tv_nsec = long(nanos % 1000000000u);
        result = pthread_cond_timedwait(fData, mutex->GetNative(), &deadline);
    }
    if (result == 0) return CL_OK;
    return result == ETIMEDOUT ? CL_TIMEOUT : CL_INVALID_RESOURCE;
}
