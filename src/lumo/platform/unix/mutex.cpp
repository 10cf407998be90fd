#include <errno.h>

#include "lumo/thread.h"
#include "lumo/platform/unix/lock_time.h"

namespace {
constexpr uint32 kPollMs = 10;
}  // namespace

CL_Mutex::CL_Mutex(bool locked) : CL_Mutex(PTHREAD_MUTEX_DEFAULT, locked) {}

CL_Mutex::CL_Mutex(int kind, bool locked) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, kind);
    pthread_mutex_init(&fMutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (locked) pthread_mutex_lock(&fMutex);
}

CL_Mutex::~CL_Mutex() {
    pthread_mutex_destroy(&fMutex);
}

CL_Status CL_Mutex::Lock() CL_NO_THREAD_SAFETY_ANALYSIS {
    pthread_mutex_lock(&fMutex);
    return CL_OK;
}

CL_Status CL_Mutex::TryLock() CL_NO_THREAD_SAFETY_ANALYSIS {
    return pthread_mutex_trylock(&fMutex) == 0 ? CL_OK : CL_WOULD_BLOCK;
}

void CL_Mutex::Unlock() CL_NO_THREAD_SAFETY_ANALYSIS {
    pthread_mutex_unlock(&fMutex);
}

CL_RecursiveMutex::CL_RecursiveMutex() : CL_Mutex(PTHREAD_MUTEX_RECURSIVE, false) {}
CL_RecursiveMutex::CL_RecursiveMutex(bool locked) : CL_Mutex(PTHREAD_MUTEX_RECURSIVE, locked) {}

CL_RWLock::CL_RWLock() {
    pthread_rwlock_init(&fRWLock, nullptr);
}
CL_RWLock::~CL_RWLock() {
    pthread_rwlock_destroy(&fRWLock);
}

CL_Status CL_RWLock::TryReadLock() {
    return pthread_rwlock_tryrdlock(&fRWLock) == 0 ? CL_OK : CL_WOULD_BLOCK;
}

CL_Status CL_RWLock::TryWriteLock() {
    return pthread_rwlock_trywrlock(&fRWLock) == 0 ? CL_OK : CL_WOULD_BLOCK;
}

namespace {

// Polls `tryLock` every 10 ms until granted or `ms` has passed, then makes one last try.
template <class TryLock, class BlockingLock>
CL_Status TimedLock(uint32 ms, TryLock tryLock, BlockingLock blockingLock) {
    if (ms >= CL_WAIT_FOREVER - 1) {
        blockingLock();
        return CL_OK;
    }
    const uint32 start = CL_LockClockMs();
    for (;;) {
        if (tryLock() == 0) return CL_OK;
        CL_Thread::Sleep(kPollMs);
        if (CL_LockElapsedMs(start) >= ms) return tryLock() == 0 ? CL_OK : CL_TIMEOUT;
    }
}

}  // namespace

CL_Status CL_RWLock::ReadLock(uint32 ms) {
    return TimedLock(
        ms, [this] { return pthread_rwlock_tryrdlock(&fRWLock); },
        [this] { pthread_rwlock_rdlock(&fRWLock); });
}

CL_Status CL_RWLock::WriteLock(uint32 ms) {
    return TimedLock(
        ms, [this] { return pthread_rwlock_trywrlock(&fRWLock); },
        [this] { pthread_rwlock_wrlock(&fRWLock); });
}

void CL_RWLock::ReadUnlock() {
    pthread_rwlock_unlock(&fRWLock);
}
void CL_RWLock::WriteUnlock() {
    pthread_rwlock_unlock(&fRWLock);
}
