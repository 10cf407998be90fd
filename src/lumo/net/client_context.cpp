// Per-connection context of the RPC server: request records with their progress and
// cancellation, the statistics of counted requests, and the calling thread's pin
// request. Every record operation holds the context's recursive lock.
#include "lumo/cipher.h"
#include "lumo/ipc.h"

CL_AtomicVar CL_ClientContext::fNextID;

CL_ClientContext::CL_ClientContext(uint32 id, CL_Server* server)
    : fID(id),
      fServer(server),
      fData(nullptr),
      fCipher(nullptr),
      fNumRequests(0),
      fConnectionTime(CL_TimeStamp::Now()),
      fLastRequestTime(fConnectionTime),
      fFlags(0),
      fPinToThread(0),
      fPinnedThread(0) {}

CL_ClientContext::~CL_ClientContext() {
    for (Request* request : fRequests)
        delete request;
    fRequests.Clear();
}

uint32 CL_ClientContext::GetNumRequests() {
    CL_AutoLocker lock(fLock);
    return fNumRequests;
}

CL_TimeStamp CL_ClientContext::GetLastRequestTime() {
    CL_AutoLocker lock(fLock);
    return fLastRequestTime;
}

CL_Status CL_ClientContext::Lock() {
    return fLock.Lock();
}

void CL_ClientContext::Unlock() {
    fLock.Unlock();
}

void CL_ClientContext::StartRequest(uint32 id) {
    CL_AutoLocker lock(fLock);
    Request* old = fRequests.Get(int32(id));
    delete old;
    fRequests.Set(int32(id), new Request(id));
    SetAborted(id, false);
}

void CL_ClientContext::EndRequest(uint32 id, bool count) {
    CL_AutoLocker lock(fLock);
    if (count) {
        fNumRequests++;
        fLastRequestTime = CL_TimeStamp::Now();
    }
    Request* request = fRequests.Get(int32(id));
    if (request) {
        fRequests.Remove(int32(id));
        delete request;
    }
}

bool CL_ClientContext::SetAborted(uint32 id, bool aborted) {
    CL_AutoLocker lock(fLock);
    Request* request = fRequests.Get(int32(id));
    if (!request) return false;
    request->fAborted = aborted;
    return true;
}

bool CL_ClientContext::HasAborted(uint32 id) {
    CL_AutoLocker lock(fLock);
    Request* request = fRequests.Get(int32(id));
    return !request || request->fAborted;
}

bool CL_ClientContext::SetProgress(uint32 id, double completeness, const std::string& message) {
    CL_AutoLocker lock(fLock);
    Request* request = fRequests.Get(int32(id));
    if (!request) return false;
    request->fCompleteness = completeness;
    request->fMessage = message;
    return !request->fAborted;
}

void CL_ClientContext::GetProgress(uint32 id, double* completeness, std::string* message) {
    CL_AutoLocker lock(fLock);
    Request* request = fRequests.Get(int32(id));
    if (completeness) *completeness = request ? request->fCompleteness : -1.0;
    if (message) *message = request ? request->fMessage : std::string();
}

// The locker goes on without the lock when locking fails, and then does not unlock.
void CL_ClientContext::AbortAll(CL_AbortCB callback) {
    CL_AutoLocker lock(fLock);
    for (Request* request : fRequests) {
        request->fAborted = true;
        if (callback) callback(this, request->fID);
    }
}

void CL_ClientContext::PinToThread() {
    fPinToThread = int32(_PINNED_TO_THREAD | 1u);
    fPinnedThread = CL_Thread::CurrentID();
}

void CL_ClientContext::UnpinFromThread() {
    fPinToThread = int32(_PINNED_TO_THREAD);
    fPinnedThread = 0;
}

bool CL_ClientContext::IsPinToThreadSet() {
    return (uint32(fPinToThread.Get()) & _PINNED_TO_THREAD) != 0;
}

bool CL_ClientContext::IsPinToThread() {
    return (uint32(fPinToThread.Get()) & ~_PINNED_TO_THREAD) != 0;
}

void CL_ClientContext::ClearPinToThread() {
    fPinToThread = int32(uint32(fPinToThread.Get()) & ~_PINNED_TO_THREAD);
}

uint32 CL_ClientContext::GetNextID() {
    return uint32(++fNextID);
}
