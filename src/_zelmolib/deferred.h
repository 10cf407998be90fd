// Deferred: the Python handle of one asynchronous operation or timer, read by Python
// and written by the trampolines and timer jobs.
#pragma once

#include <atomic>

#include "boundary.h"
#include "lumo/thread.h"

namespace QPX {

struct ClientObject;

// The handle of one asynchronous operation or timer. The flags are read by Python
// and written by worker threads; fAborted changes that a waiting timer must see are
// made under the module's fTimerLock followed by a signal of fCondition.
struct DeferredObject {
    PyObject_HEAD
    ClientObject* fClient;
    PyObject* fSuccess;
    PyObject* fError;
    PyObject* fProgress;
    PyObject* fIdle;
    PyObject* fUserData;
    std::atomic<bool> fAborted;
    std::atomic<bool> fExecuted;
    std::atomic<bool> fPending;
    CL_Condition fCondition;

    DeferredObject(ClientObject* client, PyObject* userdata, PyObject* success, PyObject* error,
                   PyObject* progress, PyObject* idle);
    ~DeferredObject();

    // A new pending Deferred holding references to every non-null callable; userdata
    // must not be null. Null with MemoryError.
    static DeferredObject* Allocate(ClientObject* client, PyObject* userdata, PyObject* success,
                                    PyObject* error, PyObject* progress, PyObject* idle);
};
extern PyTypeObject DeferredType;

}  // namespace QPX
