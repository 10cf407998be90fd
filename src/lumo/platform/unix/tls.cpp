#include <pthread.h>

#include "lumo/entry.h"
#include "lumo/thread.h"
#include "lumo/platform/unix/tls_internal.h"

// sTls holds each thread's record. sPutLocalStoragekey is the thread-exit key: a thread
// started by Spawn keeps a marker under it until it has a record, and the record itself
// afterwards, so that the key's destructor receives the record as its argument. The
// platform clears every key's slot before it runs the destructors, so the record could
// not be found through sTls at that point.
static CL_TLS_Entry sTls;
static std::atomic<int32> sTlsCLInited{0};
static CL_TLS_Entry sPutLocalStoragekey;
static std::atomic<int32> sExitKeyState{0};
static char sExitMarker;
static thread_local bool tExitArmed = false;

typedef CL_LinkedList<_CL_LocalStorage*> StorageList;

// The records of all threads and their lock. Neither is ever destroyed, so a thread or
// a variable that ends during process exit still finds both intact; the list is made on
// first use.
union StorageLockHolder {
    CL_SpinLock fLock;
    constexpr StorageLockHolder() : fLock() {}
    ~StorageLockHolder() {}
};
static constinit StorageLockHolder sStorageLockHolder;
static CL_SpinLock& sStorageLock = sStorageLockHolder.fLock;
static StorageList* sLocalStorages = nullptr;

static StorageList& Storages() {
    if (!sLocalStorages) sLocalStorages = new StorageList();
    return *sLocalStorages;
}

// Both keys are made once; a caller that loses the race waits until the key exists.
static void MakeKeyOnce(std::atomic<int32>& state, CL_TLS_Entry* key, void (*destructor)(void*)) {
    int32 expected = 0;
    if (state.compare_exchange_strong(expected, 1)) {
        pthread_key_create(key, destructor);
        state.store(2, std::memory_order_release);
        return;
    }
    while (state.load(std::memory_order_acquire) != 2)
        CL_SpinLock::Pause();
}

static _CL_LocalStorage* CurrentRecord() {
    if (sTlsCLInited.load(std::memory_order_acquire) != 2) return nullptr;
    return static_cast<_CL_LocalStorage*>(pthread_getspecific(sTls));
}

// Unlinks the record and frees it; a record not in the list is left alone.
static void ReleaseRecord(_CL_LocalStorage* record) {
    bool found;
    {
        CL_AutoLocker lock(sStorageLock);
        found = Storages().Remove(record);
    }
    if (found) delete record;
}

static void ReleaseAtExit(void* value) {
    CLU_Entry::ClearFreeList();
    _CL_LocalStorage* record =
        value != &sExitMarker ? static_cast<_CL_LocalStorage*>(value) : CurrentRecord();
    if (!record) return;
    if (CurrentRecord() == record) pthread_setspecific(sTls, nullptr);
    ReleaseRecord(record);
}

void CL_Thread::Initialize() {
    MakeKeyOnce(sExitKeyState, &sPutLocalStoragekey, ReleaseAtExit);
}

CL_TLS_Entry CL_Thread::GetLocalStorageEntry() {
    MakeKeyOnce(sTlsCLInited, &sTls, nullptr);
    return sTls;
}

void CL_ArmThreadExit() {
    CL_Thread::Initialize();
    tExitArmed = true;
    pthread_setspecific(sPutLocalStoragekey, &sExitMarker);
}

_CL_LocalStorage* CL_Thread::GetLocalStorage() {
    CL_TLS_Entry key = GetLocalStorageEntry();
    _CL_LocalStorage* record = static_cast<_CL_LocalStorage*>(pthread_getspecific(key));
    if (record) return record;
    record = new _CL_LocalStorage();
    if (!record) return nullptr;
    {
        CL_AutoLocker lock(sStorageLock);
        pthread_setspecific(key, record);
        Storages().Append(record);
    }
    // Also after the exit destructors have started (a later destructor writing a
    // variable): the platform then runs the exit destructor once more.
    if (tExitArmed) pthread_setspecific(sPutLocalStoragekey, record);
    return record;
}

bool CL_Thread::HasLocalStorage() {
    return CurrentRecord() != nullptr;
}

void CL_Thread::PutLocalStorage() {
    // The thread's cached free entries go too, whether or not it has a record.
    CLU_Entry::ClearFreeList();
    _CL_LocalStorage* record = CurrentRecord();
    if (!record) return;
    pthread_setspecific(sTls, nullptr);
    // The exit key must not keep pointing at the freed record.
    if (tExitArmed) pthread_setspecific(sPutLocalStoragekey, &sExitMarker);
    ReleaseRecord(record);
}

void CL_Thread::RemoveThreadVar(void* key) {
    CL_AutoLocker lock(sStorageLock);
    if (!sLocalStorages) return;
    for (_CL_LocalStorage* record : *sLocalStorages)
        record->Remove(key);
}

uint32 CL_CountLocalStorages() {
    CL_AutoLocker lock(sStorageLock);
    return sLocalStorages ? sLocalStorages->Count() : 0;
}
