// Synchronous client calls that a signal can interrupt. Each runs on the calling thread
// and looks at pending signals from there: execute and the named operations from their
// idle step, connect and discovery from their cancel check. A signal handler that
// raises (KeyboardInterrupt above all) cancels the request, the call waits for it to
// end, and the handler's exception is raised; the client stays usable.
#include "client_type.h"

namespace QPX {

namespace {

thread_local SyncCall* tCurrentCall = nullptr;

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

QPX_Status SyncCall::CancelCheck(void* call) {
    return ZL_NativeCall(QPX_Status(CL_OK), [call] {
        SyncCall* self = static_cast<SyncCall*>(call);
        // Read without the interpreter lock: only this thread writes it.
        if (self->Interrupted()) return QPX_Status(CL_CANCELLED);
        PyGILState_STATE gil;
        if (!ZL_EnterPython(&gil)) return QPX_Status(CL_OK);
        bool interrupted = !self->CheckSignals();
        ZL_LeavePython(gil);
        return interrupted ? QPX_Status(CL_CANCELLED) : QPX_Status(CL_OK);
    });
}

}  // namespace QPX
