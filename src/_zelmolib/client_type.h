// The Python Client type: one object per connection to the business server, over a
// native client lent by the module's pool. Shared by the type's three sources: the
// type and its connection methods, the callback trampolines, and the named methods.
#pragma once

#include <vector>

#include "deferred.h"
#include "lumo/status.h"
#include "module.h"
#include "qpx/zelmo_client/client.h"

namespace QPX {

// The Python object. fClient belongs to the module's pool, not to the object: it is
// disconnected and pooled again when the object goes. Several Python threads may call
// one object at once; the native client guards its own state.
struct ClientObject {
    PyObject_HEAD
    QPX_Client* fClient;
};
extern PyTypeObject ClientType;

// Default time-out of the server methods, in milliseconds.
constexpr int kMethodTimeOut = 10000;

// The named database and administration methods (client_methods.cpp), appended to
// the type's method table after the connection methods.
extern PyMethodDef* const NamedMethods;
extern const size_t NamedMethodCount;

// One synchronous call in progress on this thread, for its idle step or, for connect
// and discovery, its cancel check: a signal handler that raises there interrupts the
// call. The interrupting exception is kept (not left pending while the interpreter
// lock is let go) and raised by Raise once the library call has returned. Interpreter
// lock held, except where noted.
class SyncCall {
public:
    SyncCall();
    ~SyncCall();
    SyncCall(const SyncCall&) = delete;
    SyncCall& operator=(const SyncCall&) = delete;

    // The innermost call of this thread, or null. Any thread, any lock.
    static SyncCall* Current();
    // Runs pending signal handlers: false, with the call interrupted, when one raised.
    bool CheckSignals();
    // Interrupts the call with the pending exception.
    void Interrupt();
    // Read without the interpreter lock by the call's own thread.
    bool Interrupted() const { return fInterrupted; }
    // Sets the interrupting exception, if any: true when there was one.
    bool Raise();

    // The cancel check (QPX_CancelScope) of the blocking connect and discovery, which
    // run on the calling thread with the interpreter lock let go: runs the pending
    // signal handlers, and answers stop once one has raised. `call` is the SyncCall.
    static QPX_Status CancelCheck(void* call);

private:
    SyncCall* fOuter;
    PyObject* fRaised = nullptr;
    bool fInterrupted = false;
};

// The callbacks of a call (null: not given). In the asynchronous form (success given
// and not None) each is called with the reply: TypeError for one that is given, not
// None and not callable, before the call starts anything.
bool CheckCallbacks(PyObject* success, PyObject* error, PyObject* progress, PyObject* idle);

// A new pending Deferred for one asynchronous call of `self`, holding one extra
// reference that belongs to the library call and is released by the completion
// trampoline. Null with an exception set: RuntimeError in a forked child of an active
// module, where no worker would ever run the call.
DeferredObject* StartDeferred(ClientObject* self, PyObject* success, PyObject* error,
                              PyObject* progress, PyObject* idle, PyObject* userdata);

// A tuple of `count` server dicts ("host", "port", "name", "description",
// "data_version", "uuid", "multitenant_enabled"); null with an exception set.
PyObject* ServerSpecsToTuple(const QPX_ServerSpec* servers, uint32 count);

// Trampolines handed to the client library with a Deferred as user data
// (client_callbacks.cpp). Each takes the interpreter lock itself and never lets a
// Python exception escape; the completions release the library's reference.
void _SuccessCB(void* deferred);
void _SuccessWithTableCB(const CLU_Table& result, void* deferred);
void _SuccessWithListCB(const CLU_List& result, void* deferred);
void _SuccessWithResultSetCB(uint32 affectedRows, const CLU_List& columns, const CLU_List& rows,
                             void* deferred);
void _SuccessWithUpgradeResultCB(const CLU_Table& result, void* deferred);
void _DiscoverCB(QPX_ServerSpec* servers, uint32 count, void* deferred);
void _ErrorCB(QPX_Status code, const std::string& message, void* deferred);
QPX_Status _ProgressCB(QPX_ProgressType state, double completeness, const std::string& message,
                       void* deferred);
QPX_Status _IdleCB(void* deferred);
// The default idle hook of every native client: calls the module's default idle
// callable on the thread of a synchronous call.
QPX_Status _SyncIdleCB(void* unused);

}  // namespace QPX
