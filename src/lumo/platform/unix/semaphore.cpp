#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "lumo/thread.h"
#include "lumo/platform/unix/lock_time.h"

namespace {
constexpr uint32 kPollMs = 10;

// Counts compare as signed values, so a request above 2^31-1 reads as negative and is
// always granted: taking it must wrap rather than overflow.
int32 Subtract(int32 count, int32 taken) {
    return int32(uint32(count) - uint32(taken));
}
}  // namespace

CL_Semaphore::CL_Semaphore(uint32 count) : fCount(int32(count)) {}

CL_Status CL_Semaphore::Acquire(uint32 count, uint32 ms) {
    const int32 wanted = int32(count);
    if (ms == CL_WAIT_FOREVER) {
        CL_AutoLocker lock(fMutex);
        while (fCount < wanted) {
            if (fCond.Wait(&fMutex) != CL_OK) return CL_INVALID_RESOURCE;
        }
        fCount = Subtract(fCount, wanted);
        return CL_OK;
    }
    const uint32 start = CL_LockClockMs();
    CL_AutoLocker lock(fMutex);
    if (fCount >= wanted) {
        fCount = Subtract(fCount, wanted);
        return CL_OK;
    }
    uint32 remaining = ms;
    for (;;) {
        CL_Status status = fCond.Wait(&fMutex, remaining);
        if (status != CL_OK) return status;
        uint32 elapsed = CL_LockElapsedMs(start);
        if (elapsed >= ms) return CL_TIMEOUT;
        if (fCount >= wanted) {
            fCount = Subtract(fCount, wanted);
            return CL_OK;
        }
        remaining = ms - elapsed;
    }
}

void CL_Semaphore::Release(uint32 count) {
    CL_AutoLocker lock(fMutex);
    fCount = int32(uint32(fCount) + count);
    fCond.Broadcast();
}

int32 CL_Semaphore::GetCount() {
    CL_AutoLocker lock(fMutex);
    return fCount;
}

CL_NamedSemaphore::CL_NamedSemaphore(const std::string& name, uint32 value)
    : fName("/" + name), fSemID(nullptr), fStatus(CL_OK), fHeld(0) {
    mode_t old = umask(0);
    sem_t* sem = sem_open(fName.c_str(), O_CREAT, 0666, value);
    int error = errno;
    umask(old);
    if (sem == SEM_FAILED) {
        fStatus = error == EACCES   ? CL_ACCESS_DENIED
                  : error == EEXIST ? CL_UNAVAILABLE
                                    : CL_IO_ERROR;
        return;
    }
    fSemID = sem;
}

// The name is left in place: removing it would let the next opener make a fresh
// semaphore and enter beside the holders of this one.
CL_NamedSemaphore::~CL_NamedSemaphore() {
    if (!fSemID) return;
    for (uint32 held = fHeld.exchange(0); held > 0; held--)
        sem_post(fSemID);
    sem_close(fSemID);
}

CL_Status CL_NamedSemaphore::Acquire(uint32 ms) {
    if (!fSemID) return CL_INVALID_RESOURCE;
    if (ms >= CL_WAIT_FOREVER - 1) {
        while (sem_wait(fSemID) != 0) {
            if (errno != EINTR) return CL_INVALID_RESOURCE;
        }
        fHeld++;
        return CL_OK;
    }
    const uint32 start = CL_LockClockMs();
    for (;;) {
        if (sem_trywait(fSemID) == 0) {
            fHeld++;
            return CL_OK;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return CL_INVALID_RESOURCE;
        if (CL_LockElapsedMs(start) >= ms) return CL_WOULD_BLOCK;
        CL_Thread::Sleep(kPollMs);
    }
}

// A release beyond what this object took still posts a unit (the count grows past
// one), but it is not given back again at destruction.
void CL_NamedSemaphore::Release() {
    if (!fSemID) return;
    uint32 held = fHeld.load();
    while (held > 0 && !fHeld.compare_exchange_weak(held, held - 1)) {
    }
    sem_post(fSemID);
}
