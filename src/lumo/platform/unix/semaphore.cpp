#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "lumo/thread.h"
#include "lumo/platform/unix/lock_time.h"

namespace {
constexpr CL_Status kAccessDenied = 3;
constexpr CL_Status kTimeout = 4;
constexpr CL_Status kIOError = 10;
constexpr CL_Status kExists = 12;
constexpr CL_Status kWouldBlock = 14;
constexpr CL_Status kInvalid = 15;
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
            if (fCond.Wait(&fMutex) != 0) return kInvalid;
        }
        fCount = Subtract(fCount, wanted);
        return 0;
    }
    const uint32 start = CL_LockClockMs();
    CL_AutoLocker lock(fMutex);
    if (fCount >= wanted) {
        fCount = Subtract(fCount, wanted);
        return 0;
    }
    uint32 remaining = ms;
    for (;;) {
        CL_Status status = fCond.Wait(&fMutex, remaining);
        if (status != 0) return status;
        uint32 elapsed = CL_LockElapsedMs(start);
        if (elapsed >= ms) return kTimeout;
        if (fCount >= wanted) {
            fCount = Subtract(fCount, wanted);
            return 0;
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
    : fName("/" + name), fSemID(nullptr), fStatus(0) {
    mode_t old = umask(0);
    sem_t* sem = sem_open(fName.c_str(), O_CREAT, 0666, value);
    int error = errno;
    umask(old);
    if (sem == SEM_FAILED) {
        fStatus = error == EACCES ? kAccessDenied : error == EEXIST ? kExists : kIOError;
        return;
    }
    fSemID = sem;
}

CL_NamedSemaphore::~CL_NamedSemaphore() {
    if (!fSemID) return;
    sem_close(fSemID);
    sem_unlink(fName.c_str());
}

CL_Status CL_NamedSemaphore::Acquire(uint32 ms) {
    if (!fSemID) return kInvalid;
    if (ms >= CL_WAIT_FOREVER - 1) {
        while (sem_wait(fSemID) != 0) {
            if (errno != EINTR) return kInvalid;
        }
        return 0;
    }
    const uint32 start = CL_LockClockMs();
    for (;;) {
        if (sem_trywait(fSemID) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return kInvalid;
        if (CL_LockElapsedMs(start) >= ms) return kWouldBlock;
        CL_Thread::Sleep(kPollMs);
    }
}

void CL_NamedSemaphore::Release() {
    if (fSemID) sem_post(fSemID);
}
