#include "lumo/thread.h"
#include "tls_internal.h"

// Per-thread storage keys. sTls holds each thread's record; sPutLocalStoragekey is the
// thread-exit key whose destructor releases the record of a thread started by Spawn.
static CL_TLS_Entry sTls;
static std::atomic<int32> sTlsCLInited{0};
static CL_TLS_Entry sPutLocalStoragekey;
static std::atomic<int32> sExitKeyState{0};

// Value stored under the exit key by the launcher before the thread has a record.
static char sExitMarker;

static void ReleaseAtExit(void* value);

void CL_Thread::Initialize() {
    int32 expected = 0;
    if (!sExitKeyState.compare_exchange_strong(expected, 1)) return;
    pthread_key_create(&sPutLocalStoragekey, ReleaseAtExit);
    sExitKeyState.store(2, std::memory_order_release);
}

CL_TLS_Entry CL_Thread::GetLocalStorageEntry() {
    int32 expected = 0;
    if (sTlsCLInited.compare_exchange_strong(expected, 1)) {
        pthread_key_create(&sTls, nullptr);
        sTlsCLInited.store(2, std::memory_order_release);
    }
    // A concurrent first caller waits until the key is made.
    while (sTlsCLInited.load(std::memory_order_acquire) != 2)
        CL_SpinLock::Pause();
    return sTls;
}

void CL_ArmThreadExit() {
    if (sExitKeyState.load(std::memory_order_acquire) != 2) return;
    pthread_setspecific(sPutLocalStoragekey, &sExitMarker);
}

static void ReleaseAtExit(void*) {}
