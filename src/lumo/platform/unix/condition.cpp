#include <errno.h>
#include <time.h>

#include "lumo/thread.h"

namespace {}  // namespace

// Deadlines run on the monotonic clock so that a change of the wall-clock time
// neither cuts a wait short nor stretches it.
CL_Condition::CL_Condition() : fData(new pthread_cond_t), fMutex(nullptr) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(fData, &attr);
    pthread_condattr_destroy(&attr);
}

CL_Condition::~CL_Condition() {
    pthread_cond_destroy(fData);
    delete fData;
    delete fMutex.load();
}

void CL_Condition::Signal() {
    pthread_cond_signal(fData);
}
void CL_Condition::Broadcast() {
    pthread_cond_broadcast(fData);
}

// Made once: concurrent first waiters agree on one mutex, the loser frees its own.
CL_Mutex* CL_Condition::PrivateMutex() {
    CL_Mutex* current = fMutex.load(std::memory_order_acquire);
    if (current) return current;
    CL_Mutex* made = new CL_Mutex();
    if (fMutex.compare_exchange_strong(current, made, std::memory_order_acq_rel)) return made;
    delete made;
    return current;
}

CL_Status CL_Condition::Wait(CL_Mutex* mutex, uint32 ms) {
    if (!mutex) {
        // The private mutex guards nothing of the caller's: hold it only for the wait
        // itself, so that the next waiter is never locked out.
        CL_Mutex* own = PrivateMutex();
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
