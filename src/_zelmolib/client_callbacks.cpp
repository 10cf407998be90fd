// Trampolines between the client library's plain callbacks and the Python callables
// kept in a Deferred. They run on dispatcher workers (the synchronous idle hook on the
// calling thread), enter Python only while the module is active, keep the Deferred's
// flags and print, never propagate, the callables' exceptions.
#include "client_type.h"
#include "convert.h"
#include "errors.h"
#include "lumo/status.h"
#include "qpx/zelmo_client/errors.h"

namespace QPX {

namespace {

// Adds key = value to dict, taking over the reference to value; false on failure.
bool SetItem(PyObject* dict, const char* key, PyObject* value) {
    if (!value) return false;
    int rc = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return rc == 0;
}

PyObject* ServerSpecToDict(const QPX_ServerSpec& spec) {
    PyObject* dict = PyDict_New();
    if (!dict) return nullptr;
    if (SetItem(dict, "host", TextToPy(spec.fHost)) &&
        SetItem(dict, "port", PyLong_FromUnsignedLong(spec.fPort)) &&
        SetItem(dict, "name", TextToPy(spec.fName)) &&
        SetItem(dict, "description", TextToPy(spec.fDescription)) &&
        SetItem(dict, "data_version", PyLong_FromUnsignedLong(spec.fDataVersion)) &&
        SetItem(dict, "uuid", TextToPy(spec.fUUID.Get())) &&
        SetItem(dict, "multitenant_enabled", PyBool_FromLong(spec.fMultiTenant)))
        return dict;
    Py_DECREF(dict);
    return nullptr;
}

// The common steps of every completion: enter Python while the module is active,
// mark the Deferred done, call `callable` with the arguments that `build` makes
// (userdata last), set the executed flag and release the library's reference.
// `build` returns a new argument tuple, or null with an exception set.
template <class Build>
void Complete(void* userData, bool success, Build build) {
    DeferredObject* d = static_cast<DeferredObject*>(userData);
    PyGILState_STATE gil;
    if (!d || !ZL_EnterPython(&gil)) return;
    d->fPending = false;
    PyObject* callable = success ? d->fSuccess : d->fError;
    if (ZL_IsSet(callable)) {
        PyObject* args = nullptr;
        // The conversions use std::string: out of memory is the callable's MemoryError.
        ZL_Protect([&] { args = build(d->fUserData); });
        if (args) {
            Py_XDECREF(PyObject_Call(callable, args, nullptr));
            Py_DECREF(args);
        }
        ZL_ReportCallbackError();
    }
    // A success that arrives after a cancel still reports, but does not count as run.
    if (!success || !d->fAborted) d->fExecuted = true;
    Py_DECREF(reinterpret_cast<PyObject*>(d));
    ZL_LeavePython(gil);
}

}  // namespace

PyObject* ServerSpecsToTuple(const QPX_ServerSpec* servers, uint32 count) {
    PyObject* tuple = PyTuple_New(Py_ssize_t(count));
    if (!tuple) return nullptr;
    for (uint32 i = 0; i < count; i++) {
        PyObject* dict = ServerSpecToDict(servers[i]);
        if (!dict) {
            Py_DECREF(tuple);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, Py_ssize_t(i), dict);
    }
    return tuple;
}

// Every trampoline runs its body through ZL_NativeCall: the library's worker never
// sees a C++ exception.
void _SuccessCB(void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, true, [](PyObject* userdata) { return PyTuple_Pack(1, userdata); });
    });
}

void _SuccessWithTableCB(const CLU_Table& result, void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, true, [&](PyObject* userdata) {
            PyObject* dict = Table_FromCLU(&result);
            return dict ? Py_BuildValue("NO", dict, userdata) : nullptr;
        });
    });
}

void _SuccessWithListCB(const CLU_List& result, void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, true, [&](PyObject* userdata) {
            PyObject* list = List_FromCLU(&result);
            return list ? Py_BuildValue("NO", list, userdata) : nullptr;
        });
    });
}

void _SuccessWithResultSetCB(uint32 affectedRows, const CLU_List& columns, const CLU_List& rows,
                             void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, true, [&](PyObject* userdata) -> PyObject* {
            PyObject* names = List_FromCLU(&columns);
            if (!names) return nullptr;
            PyObject* data = List_FromCLU(&rows);
            if (!data) {
                Py_DECREF(names);
                return nullptr;
            }
            return Py_BuildValue("kNNO", (unsigned long)affectedRows, names, data, userdata);
        });
    });
}

void _SuccessWithUpgradeResultCB(const CLU_Table& result, void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, true, [&](PyObject* userdata) -> PyObject* {
            const CLU_List* log = result.GetList("log", nullptr);
            PyObject* lines = log ? List_FromCLU(log) : PyList_New(0);
            if (!lines) return nullptr;
            return Py_BuildValue("NiiO", lines, int(result.GetInt32("old_version", 0)),
                                 int(result.GetInt32("new_version", 0)), userdata);
        });
    });
}

void _DiscoverCB(QPX_ServerSpec* servers, uint32 count, void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, true, [&](PyObject* userdata) -> PyObject* {
            PyObject* tuple = ServerSpecsToTuple(servers, count);
            return tuple ? Py_BuildValue("NO", tuple, userdata) : nullptr;
        });
    });
}

void _ErrorCB(QPX_Status code, const std::string& message, void* deferred) {
    ZL_NativeCall([&] {
        Complete(deferred, false, [&](PyObject* userdata) {
            // The server's own text where the reply carried one, else the table's.
            std::string text = message.empty() ? GetError(code) : message;
            PyObject* value = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), nullptr);
            if (!value) {
                PyErr_Clear();
                value = PyUnicode_FromFormat("<Error %d>", int(code));
                if (!value) return static_cast<PyObject*>(nullptr);
            }
            return Py_BuildValue("iNO", int(code), value, userdata);
        });
    });
}

namespace {

QPX_Status Progress(QPX_ProgressType state, double completeness, const std::string& message,
                    void* deferred) {
    DeferredObject* d = static_cast<DeferredObject*>(deferred);
    PyGILState_STATE gil;
    // Once the module is cleaned up every running operation is told to stop.
    if (!d || !ZL_EnterPython(&gil)) return CL_ERROR;
    if (!d->fAborted && !d->fExecuted && ZL_IsSet(d->fProgress)) {
        PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), nullptr);
        if (!text) {
            PyErr_Clear();
            text = PyUnicode_FromStringAndSize("", 0);
        }
        PyObject* progress = d->fProgress;
        PyObject* userdata = d->fUserData;
        Py_INCREF(progress);
        Py_INCREF(userdata);
        PyObject* result = text ? PyObject_CallFunction(progress, "idOO", int(state), completeness,
                                                        text, userdata)
                                : nullptr;
        Py_XDECREF(text);
        Py_DECREF(progress);
        Py_DECREF(userdata);
        if (!result) {
            ZL_ReportCallbackError();
            d->fAborted = true;
        } else {
            // Only a false value other than None stops the operation.
            int isFalse = result == Py_None ? 0 : PyObject_Not(result);
            Py_DECREF(result);
            if (isFalse != 0) {
                ZL_ReportCallbackError();
                d->fAborted = true;
            }
        }
    }
    bool aborted = d->fAborted;
    ZL_LeavePython(gil);
    return aborted ? CL_ERROR : CL_OK;
}

QPX_Status Idle(void* deferred) {
    DeferredObject* d = static_cast<DeferredObject*>(deferred);
    if (!Py_IsInitialized()) return CL_ERROR;
    PyGILState_STATE gil;
    if (!d || !ZL_EnterPython(&gil)) return CL_OK;
    // The idle callable cannot stop the operation: its result is ignored.
    ZL_CallCallback(d->fIdle, nullptr);
    ZL_LeavePython(gil);
    return CL_OK;
}

// The idle step of a synchronous call, on its own thread: the pending signals, then the
// default idle callable. A signal handler that raises, or an idle callable that raises
// what is not an Exception (KeyboardInterrupt, SystemExit), interrupts the call, as does
// such an exception raised by sys.excepthook while it prints the callable's other one:
// the step answers stop from then on, and the call raises that exception once the
// library has ended the request. The signals come first: a handler run inside the
// callable would have its exception taken for the callable's own, printed and dropped.
QPX_Status SyncIdle() {
    if (!Py_IsInitialized()) return CL_ERROR;
    SyncCall* call = SyncCall::Current();
    if (call && call->Interrupted()) return CL_CANCELLED;
    PyGILState_STATE gil;
    if (!ZL_EnterPython(&gil)) return CL_OK;
    bool interrupted = call && !call->CheckSignals();
    MODULE_STATE* s = ZL_GetState();
    // The callable may replace itself while it runs.
    PyObject* idle = s ? s->fIdleCB : nullptr;
    if (!interrupted && ZL_IsSet(idle)) {
        Py_INCREF(idle);
        Py_XDECREF(PyObject_CallNoArgs(idle));
        Py_DECREF(idle);
        // What is not an Exception, the callable's own or its hook's, stays for the call.
        if (!call || !PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_Exception))
            ZL_ReportCallbackError(call != nullptr);
        if (call && PyErr_Occurred()) {
            call->Interrupt();
            interrupted = true;
        }
    }
    ZL_LeavePython(gil);
    return interrupted ? QPX_Status(CL_CANCELLED) : QPX_Status(CL_OK);
}

}  // namespace

// A progress report that cannot be made stops the operation.
QPX_Status _ProgressCB(QPX_ProgressType state, double completeness, const std::string& message,
                       void* deferred) {
    return ZL_NativeCall(QPX_Status(CL_ERROR),
                         [&] { return Progress(state, completeness, message, deferred); });
}

QPX_Status _IdleCB(void* deferred) {
    return ZL_NativeCall(QPX_Status(CL_OK), [&] { return Idle(deferred); });
}

QPX_Status _SyncIdleCB(void*) {
    return ZL_NativeCall(QPX_Status(CL_OK), [] { return SyncIdle(); });
}

}  // namespace QPX
