// Deferred: the Python handle of one asynchronous operation or timer.
#include "deferred.h"

#include <new>

#include "module.h"
#include "registration.h"

namespace QPX {

DeferredObject::DeferredObject(ClientObject* client, PyObject* userdata, PyObject* success,
                               PyObject* error, PyObject* progress, PyObject* idle)
    : fClient(client),
      fSuccess(success),
      fError(error),
      fProgress(progress),
      fIdle(idle),
      fUserData(userdata),
      fAborted(false),
      fExecuted(false),
      fPending(true) {
    Py_XINCREF(reinterpret_cast<PyObject*>(fClient));
    Py_XINCREF(fSuccess);
    Py_XINCREF(fError);
    Py_XINCREF(fProgress);
    Py_XINCREF(fIdle);
    Py_INCREF(fUserData);
}

DeferredObject::~DeferredObject() {
    Py_XDECREF(reinterpret_cast<PyObject*>(fClient));
    Py_XDECREF(fSuccess);
    Py_XDECREF(fError);
    Py_XDECREF(fProgress);
    Py_XDECREF(fIdle);
    Py_DECREF(fUserData);
}

DeferredObject* DeferredObject::Allocate(ClientObject* client, PyObject* userdata,
                                         PyObject* success, PyObject* error, PyObject* progress,
                                         PyObject* idle) {
    PyObject* raw = DeferredType.tp_alloc(&DeferredType, 0);
    if (!raw) return nullptr;
    // The header is already set; the constructor fills the fields after it.
    return new (raw) DeferredObject(client, userdata, success, error, progress, idle);
}

}  // namespace QPX

namespace {

using QPX::DeferredObject;

void Deferred_dealloc(PyObject* self) {
    reinterpret_cast<DeferredObject*>(self)->~DeferredObject();
    Py_TYPE(self)->tp_free(self);
}

PyObject* Deferred_cancel(PyObject* self, PyObject*) {
    DeferredObject* d = reinterpret_cast<DeferredObject*>(self);
    if (d->fAborted) Py_RETURN_NONE;
    MODULE_STATE* s = ZL_GetState();
    Py_BEGIN_ALLOW_THREADS
    if (s) {
        s->fTimerLock.Lock();
        d->fAborted = true;
        d->fCondition.Signal();
        s->fTimerLock.Unlock();
    } else {
        d->fAborted = true;
        d->fCondition.Signal();
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyObject* Deferred_aborted(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<DeferredObject*>(self)->fAborted);
}
PyObject* Deferred_executed(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<DeferredObject*>(self)->fExecuted);
}
PyObject* Deferred_pending(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<DeferredObject*>(self)->fPending);
}

PyMethodDef sDeferredMethods[] = {
    {"cancel", ZL_METHOD(Deferred_cancel), METH_NOARGS,
     "Cancels this Deferred, setting 'aborted' attribute to True."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sDeferredGetters[] = {
    {"aborted", ZL_GUARD(Deferred_aborted), nullptr, "Aborted Deferred status", nullptr},
    {"executed", ZL_GUARD(Deferred_executed), nullptr, "Executed Deferred status", nullptr},
    {"pending", ZL_GUARD(Deferred_pending), nullptr, "Pending Deferred status", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

namespace QPX {

// Default flags only (not subclassable, not tracked by the garbage collector) and no
// constructor: Deferred objects are made only by the module.
ZL_SLOT_TABLE(PyTypeObject DeferredType,
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_zelmolib.Deferred",
    .tp_basicsize = sizeof(DeferredObject),
    .tp_dealloc = ZL_GUARD(Deferred_dealloc),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Deferred objects",
    .tp_methods = sDeferredMethods,
    .tp_getset = sDeferredGetters)

}  // namespace QPX

int ZL_AddDeferredType(PyObject* module) {
    return ZL_AddType(module, &QPX::DeferredType);
}
