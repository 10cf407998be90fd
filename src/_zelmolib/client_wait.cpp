// Synchronous client calls that a signal can interrupt. A call that the library runs on
// the calling thread looks at pending signals from its idle step; connect and discovery,
// which have no idle step, run in their asynchronous form and are waited for here. A
// signal handler that raises (KeyboardInterrupt above all) cancels the request, the
// call waits for it to end, and the handler's exception is raised; the client stays
// usable.
#include "client_type.h"

namespace QPX {

namespace {

thread_local SyncCall* tCurrentCall = nullptr;

// How often a waiting call looks at pending signals.
constexpr uint32 kSignalInterval = 100;

}  // namespace

SyncCall::SyncCall() : fOuter(tCurrentCall) {
    tCurrentCall = this;
}

SyncCall::~SyncCall() {
    tCurrentCall = fOuter;
    // An interruption never raised (the call failed otherwise first) is dropped.
    if (fRaised && PyGILState_Check()) Py_DECREF(fRaised);
}

SyncCall* SyncCall::Current() {
    return tCurrentCall;
}

bool SyncCall::CheckSignals() {
    if (fRaised) return false;
    if (PyErr_CheckSignals() == 0) return true;
    Interrupt();
    return false;
}

void SyncCall::Interrupt() {
    PyObject* raised = PyErr_GetRaisedException();
    if (fRaised)
        Py_XDECREF(raised);
    else
        fRaised = raised;
    fInterrupted = true;
}

bool SyncCall::Raise() {
    if (!fRaised) return false;
    PyErr_SetRaisedException(fRaised);
    fRaised = nullptr;
    return true;
}

void StopServerWork(QPX_Client* client) {
    client->Interrupt();
}

// ---- Waiting for an asynchronous operation ----

void SyncWait::Finish(QPX_Status code) {
    CL_AutoLocker locker(fLock);
    fCode = code;
    fFinished = true;
    fDone.Signal();
}

void SyncWait::SuccessWithTable(const CLU_Table& result, void* wait) {
    SyncWait* self = static_cast<SyncWait*>(wait);
    self->fTable = result;
    self->Finish(CL_OK);
}

void SyncWait::Discover(QPX_ServerSpec* servers, uint32 count, void* wait) {
    SyncWait* self = static_cast<SyncWait*>(wait);
    self->fServers.assign(servers, servers + count);
    self->Finish(CL_OK);
}

void SyncWait::Error(QPX_Status code, const std::string& message, void* wait) {
    SyncWait* self = static_cast<SyncWait*>(wait);
    self->fMessage = message;
    self->Finish(code == CL_OK ? QPX_Status(CL_ERROR) : code);
}

QPX_Status SyncWait::Progress(QPX_ProgressType, double, const std::string&, void* wait) {
    return static_cast<SyncWait*>(wait)->fCancel ? QPX_Status(CL_CANCELLED) : QPX_Status(CL_OK);
}

bool SyncWait::Wait() {
    for (;;) {
        bool finished = false;
        ZL_BEGIN_ALLOW_THREADS
        CL_AutoLocker locker(fLock);
        if (!fFinished) fDone.Wait(&fLock, kSignalInterval);
        finished = fFinished;
        ZL_END_ALLOW_THREADS
        if (finished) break;
        // Once cancelled, the operation ends at its next progress report.
        if (!fCall.CheckSignals()) fCancel = true;
    }
    return !fCall.Raise();
}

}  // namespace QPX
