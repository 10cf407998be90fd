// Timers on dispatcher workers, the interpreter time limit, the power event callback
// and the default idle callable.
#include "client_pool.h"
#include "deferred.h"
#include "lumo/clock.h"
#include "lumo/power.h"
#include "lumo/status.h"
#include "module.h"
#include "registration.h"

namespace QPX {

// One-shot timer: waits on its Deferred's condition, then calls the callback unless
// the Deferred was cancelled. The module's timer list names the Deferred until the
// wait is over; the job holds a reference of its own, since clearing the module
// empties the list while the job may still be queued.
class TimerJob : public CL_Job {
public:
    TimerJob(uint32 timeout, DeferredObject* deferred) : fTimeOut(timeout), fDeferred(deferred) {
        Py_INCREF(deferred);
    }
    ~TimerJob() override {}
    CL_Status Run() override {
        return ZL_NativeCall(CL_Status(CL_OK), [this] { return RunTimer(); });
    }

private:
    CL_Status RunTimer();
    // True when the delay ran out without a cancel; the caller holds fTimerLock.
    bool Wait(MODULE_STATE* s) CL_REQUIRES(s->fTimerLock);

    uint32 fTimeOut;
    DeferredObject* fDeferred;
};

bool TimerJob::Wait(MODULE_STATE* s) {
    // Wake-ups without a signal go back to waiting for the rest of the delay.
    const uint32 start = CL_GetTime();
    for (;;) {
        if (fDeferred->fAborted) return false;
        uint32 elapsed = CL_GetTime() - start;
        if (elapsed >= fTimeOut) return true;
        CL_Status status = fDeferred->fCondition.Wait(&s->fTimerLock, fTimeOut - elapsed);
        if (status != CL_OK && status != CL_TIMEOUT) return false;
    }
}

CL_Status TimerJob::RunTimer() {
    DeferredObject* d = fDeferred;
    PyGILState_STATE gil;
    if (!ZL_EnterPython(&gil)) {
        d->fPending = false;
        // Interpreter gone: the reference goes with the process.
        if (!ZL_InterpreterAlive()) {
            d->fAborted = true;
            return CL_OK;
        }
        // Module cleaned up, which aborted the timer: only the reference is left.
        gil = PyGILState_Ensure();
        Py_DECREF(d);
        PyGILState_Release(gil);
        return CL_OK;
    }
    MODULE_STATE* s = ZL_GetState();

    bool fire;
    PyThreadState* saved = PyEval_SaveThread();
    s->fTimerLock.Lock();
    fire = Wait(s);
    s->fTimerLock.Unlock();
    if (!ZL_InterpreterAlive()) {
        // Taking the interpreter lock back now would end this thread; leave without it.
        d->fPending = false;
        d->fAborted = true;
        return CL_OK;
    }
    PyEval_RestoreThread(saved);

    if (s->fTimerList) {
        PyObject* list = s->fTimerList;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            if (PyList_GET_ITEM(list, i) == reinterpret_cast<PyObject*>(d)) {
                PySequence_DelItem(list, i);
                break;
            }
        }
    }
    d->fPending = false;
    if (fire && !d->fAborted) {
        PyObject* callback = d->fSuccess;
        if (ZL_IsSet(callback)) {
            Py_INCREF(callback);
            Py_XDECREF(PyObject_CallOneArg(callback, d->fUserData));
            ZL_ReportCallbackError();
            Py_DECREF(callback);
        }
        d->fExecuted = true;
    }
    Py_DECREF(d);
    ZL_LeavePython(gil);
    return CL_OK;
}

void AbortTimers(MODULE_STATE* s) {
    // A forked child's listed timers are the parent's, waited for by none of its threads,
    // and one of those may have held fTimerLock at the fork.
    if (!s->fTimerList || ZL_ForkedChild()) return;
    PyObject* list = s->fTimerList;
    s->fTimerLock.Lock();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        DeferredObject* d = reinterpret_cast<DeferredObject*>(PyList_GET_ITEM(list, i));
        d->fAborted = true;
        d->fCondition.Signal();
    }
    s->fTimerLock.Unlock();
}

namespace {

int32 PowerEvent(int32 event) {
    if (event != CL_POWER_EVENT_SUSPEND && event != CL_POWER_EVENT_RESUME) return CL_OK;
    PyGILState_STATE gil;
    if (!ZL_EnterPython(&gil)) return CL_OK;
    MODULE_STATE* s = ZL_GetState();
    PyObject* callable;
    if (event == CL_POWER_EVENT_SUSPEND) {
        ZL_ThreadsLocker locker(s);
        for (QPX_Client* client : s->fClientList)
            ZL_DisconnectNativeClient(client);
        callable = s->fSuspendCB;
    } else {
        callable = s->fResumeCB;
    }
    Py_XINCREF(callable);
    ZL_CallCallback(callable, nullptr);
    Py_XDECREF(callable);
    ZL_LeavePython(gil);
    return CL_OK;
}

}  // namespace

int32 _power_callback(int32 event, void*) {
    return ZL_NativeCall(int32(CL_OK), [event] { return PowerEvent(event); });
}

int interpreter_timeout_handler(PyObject*, PyFrameObject*, int, PyObject*) {
    MODULE_STATE* s = ZL_GetState();
    if (!s) {
        PyErr_SetString(PyExc_RuntimeError, "no module state!");
        return -1;
    }
    if (s->fTimeOut == 0) return 0;
    if (CL_GetTime() - s->fStartTime <= s->fTimeOut) return 0;

    PyEval_SetTrace(nullptr, nullptr);
    PyObject* scripting = PyImport_ImportModule("zelmolib.scripting");
    PyObject* handler = nullptr;
    if (scripting) {
        handler = PyObject_GetAttrString(scripting, "timeout_handler");
        Py_DECREF(scripting);
    }
    PyObject* result = handler ? PyObject_CallNoArgs(handler) : nullptr;
    Py_XDECREF(handler);
    if (result) {
        Py_DECREF(result);
        s->fStartTime = CL_GetTime();
        PyEval_SetTrace(ZL_GUARD(interpreter_timeout_handler), nullptr);
        return 0;
    }
    s->fTimeOut = 0;
    s->fStartTime = CL_GetTime();
    PyEval_SetTrace(ZL_GUARD(interpreter_timeout_handler), nullptr);
    return -1;
}

}  // namespace QPX

namespace {

using QPX::DeferredObject;

PyObject* zl_start_timer(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"milliseconds", "callback", "userdata", nullptr};
    int milliseconds = 0;
    PyObject* callback = nullptr;
    PyObject* userdata = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "iO|O", const_cast<char**>(keywords),
                                     &milliseconds, &callback, &userdata))
        return nullptr;
    MODULE_STATE* s = ZL_GetState();
    bool active = s && s->fInitialized && s->fDispatcher;
    if (active && ZL_ForkedChild()) return ZL_ForkedChildError();
    DeferredObject* d =
        DeferredObject::Allocate(nullptr, userdata, callback, nullptr, nullptr, nullptr);
    if (!d) return nullptr;
    if (active) {
        // Listed before its job runs, so that clean-up can abort it.
        if (s->fTimerList && PyList_Append(s->fTimerList, reinterpret_cast<PyObject*>(d)) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
        auto* job = new QPX::TimerJob(static_cast<uint32>(milliseconds < 0 ? 0 : milliseconds), d);
        if (!job) {
            if (s->fTimerList)
                PySequence_DelItem(s->fTimerList, PyList_GET_SIZE(s->fTimerList) - 1);
            Py_DECREF(d);
            return PyErr_NoMemory();
        }
        s->fDispatcher->AddJob(job, true);
    }
    return reinterpret_cast<PyObject*>(d);
}

PyObject* TimeoutValue(uint32 ms) {
    if (ms == 0) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(ms);
}

PyObject* zl_set_interpreter_timeout(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"timeout", nullptr};
    PyObject* timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char**>(keywords), &timeout))
        return nullptr;
    uint32 value = 0;
    if (timeout && timeout != Py_None) {
        long v = PyLong_AsLong(timeout);
        if (v == -1 && PyErr_Occurred()) return nullptr;
        value = static_cast<uint32>(v);
    }
    MODULE_STATE* s = ZL_GetState();
    if (!s) return QPX::noModuleState();
    uint32 previous = s->fTimeOut;
    s->fTimeOut = value;
    if (value) {
        s->fStartTime = CL_GetTime();
        PyEval_SetTrace(ZL_GUARD(QPX::interpreter_timeout_handler), nullptr);
    } else {
        PyEval_SetTrace(nullptr, nullptr);
    }
    return TimeoutValue(previous);
}

PyObject* zl_get_interpreter_timeout(PyObject*, PyObject*) {
    MODULE_STATE* s = ZL_GetState();
    if (!s) return QPX::noModuleState();
    return TimeoutValue(s->fTimeOut);
}

PyObject* zl_get_interpreter_time_left(PyObject*, PyObject*) {
    MODULE_STATE* s = ZL_GetState();
    if (!s) return QPX::noModuleState();
    if (s->fTimeOut == 0) Py_RETURN_NONE;
    uint32 elapsed = CL_GetTime() - s->fStartTime;
    return PyLong_FromUnsignedLong(s->fTimeOut - std::min(s->fTimeOut, elapsed));
}

PyObject* zl_set_power_callbacks(PyObject*, PyObject* args, PyObject* kwds) {
    MODULE_STATE* s = ZL_GetState();
    if (!s) return QPX::noModuleState();
    static const char* keywords[] = {"suspend", "resume", nullptr};
    PyObject* suspend = nullptr;
    PyObject* resume = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO", const_cast<char**>(keywords), &suspend,
                                     &resume))
        return nullptr;
    Py_INCREF(suspend);
    Py_INCREF(resume);
    Py_XSETREF(s->fSuspendCB, suspend);
    Py_XSETREF(s->fResumeCB, resume);
    Py_RETURN_NONE;
}

PyObject* zl_set_default_idle_callback(PyObject*, PyObject* args, PyObject* kwds) {
    MODULE_STATE* s = ZL_GetState();
    if (!s) return QPX::noModuleState();
    static const char* keywords[] = {"callback", nullptr};
    PyObject* callback = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O", const_cast<char**>(keywords), &callback))
        return nullptr;
    Py_INCREF(callback);
    Py_XSETREF(s->fIdleCB, callback);
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef ZL_TimerMethods[] = {
    {"start_timer", ZL_METHOD(zl_start_timer), METH_VARARGS | METH_KEYWORDS,
     "start_timer(milliseconds, callback [, userdata]) -> Deferred\n\n"
     "Calls callback(userdata) on a worker thread once the delay in milliseconds has "
     "passed; the returned Deferred can be cancelled before that."},
    {"set_default_idle_callback", ZL_METHOD(zl_set_default_idle_callback),
     METH_VARARGS | METH_KEYWORDS,
     "set_default_idle_callback(callback)\n\n"
     "Sets the default callback to be issued during client sync operations."},
    {"set_power_callbacks", ZL_METHOD(zl_set_power_callbacks), METH_VARARGS | METH_KEYWORDS,
     "set_power_callbacks(suspend, resume)\n\nSets callbacks for suspend/resume system events."},
    {"set_interpreter_timeout", ZL_METHOD(zl_set_interpreter_timeout),
     METH_VARARGS | METH_KEYWORDS,
     "set_interpreter_timeout(timeout) -> int\n\n"
     "Sets new interpreter timeout and returns previous one or None."},
    {"get_interpreter_timeout", ZL_METHOD(zl_get_interpreter_timeout), METH_NOARGS,
     "get_interpreter_timeout() -> int\n\nReturns the currently set interpreter timeout or None."},
    {"get_interpreter_time_left", ZL_METHOD(zl_get_interpreter_time_left), METH_NOARGS,
     "get_interpreter_time_left() -> int\n\n"
     "Returns the current time left for interpreter timeout or None."},
    {nullptr, nullptr, 0, nullptr},
};
