#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

#include "lumo/thread.h"
#include "lumo/platform/unix/lock_time.h"

namespace {
constexpr uint32 kPollMs = 10;

// Counts compare as signed values, so a request above 2^31-1 reads as negative and is
// always granted: taking it must wrap rather than overflow.
int32 Subtract(int32 count, int32 taken) {
    return int32(uint32(count) - uint32(taken));
}

// What this process holds of each named semaphore, through all its objects: a dropped
// object gives back no more than that, so a unit released through another object is
// not given back twice. An entry (or object) noted by another process came through
// fork and counts as nothing here.
struct Tally {
    pid_t pid;
    uint32 held;
};

struct Tallies {
    CL_Mutex lock;
    std::unordered_map<std::string, Tally> byName CL_GUARDED_BY(lock);
};

void LockTallies() CL_NO_THREAD_SAFETY_ANALYSIS;
void UnlockTallies() CL_NO_THREAD_SAFETY_ANALYSIS;

// Made once and never destroyed: objects may go while the process exits. The lock is
// held across fork, so that a child never inherits it taken by a thread it lacks.
Tallies& GetTallies() {
    static Tallies* tallies = [] {
        Tallies* made = new Tallies;
        pthread_atfork(LockTallies, UnlockTallies, UnlockTallies);
        return made;
    }();
    return *tallies;
}

void LockTallies() {
    GetTallies().lock.Lock();
}
void UnlockTallies() {
    GetTallies().lock.Unlock();
}

// Lowers the tally of `name` by up to `count` units; gives what it took off.
uint32 Lower(Tallies& tallies, const std::string& name, pid_t self, uint32 count)
    CL_REQUIRES(tallies.lock) {
    auto it = tallies.byName.find(name);
    if (it == tallies.byName.end() || it->second.pid != self) return 0;
    uint32 taken = std::min(count, it->second.held);
    it->second.held -= taken;
    if (it->second.held == 0) tallies.byName.erase(it);
    return taken;
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
    : fName("/" + name), fSemID(nullptr), fStatus(CL_OK), fHeld(0), fPid(0) {
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
    uint32 owed = 0;
    {
        Tallies& tallies = GetTallies();
        CL_AutoLocker lock(tallies.lock);
        const pid_t self = getpid();
        if (fPid == self) owed = Lower(tallies, fName, self, fHeld);
    }
    for (; owed > 0; owed--)
        sem_post(fSemID);
    sem_close(fSemID);
}

// Notes a unit taken through this object.
void CL_NamedSemaphore::Taken() {
    Tallies& tallies = GetTallies();
    CL_AutoLocker lock(tallies.lock);
    const pid_t self = getpid();
    if (fPid != self) {
        fPid = self;
        fHeld = 0;
    }
    fHeld++;
    Tally& tally = tallies.byName[fName];
    if (tally.pid != self) tally = Tally{self, 0};
    tally.held++;
}

CL_Status CL_NamedSemaphore::Acquire(uint32 ms) {
    if (!fSemID) return CL_INVALID_RESOURCE;
    if (ms >= CL_WAIT_FOREVER - 1) {
        while (sem_wait(fSemID) != 0) {
            if (errno != EINTR) return CL_INVALID_RESOURCE;
        }
        Taken();
        return CL_OK;
    }
    const uint32 start = CL_LockClockMs();
    for (;;) {
        if (sem_trywait(fSemID) == 0) {
            Taken();
            return CL_OK;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return CL_INVALID_RESOURCE;
        if (CL_LockElapsedMs(start) >= ms) return CL_WOULD_BLOCK;
        CL_Thread::Sleep(kPollMs);
    }
}

// A release beyond what this process took still posts a unit (the count grows past
// one), but it is not given back again at destruction. The tallies come down before
// the post, so that an object dropped meanwhile does not give the same unit back.
void CL_NamedSemaphore::Release() {
    if (!fSemID) return;
    {
        Tallies& tallies = GetTallies();
        CL_AutoLocker lock(tallies.lock);
        const pid_t self = getpid();
        if (fPid == self && fHeld > 0) fHeld--;
        Lower(tallies, fName, self, 1);
    }
    sem_post(fSemID);
}
