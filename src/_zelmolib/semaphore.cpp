// NamedSemaphore: a system-wide semaphore of count 1 shared by every process that
// opens the same name, usable as a context manager. One object may be used by several
// threads: it holds no state of its own beyond the semaphore, which guards itself;
// waiting happens with the interpreter lock released, and stops on a signal.
#include <new>

#include "lumo/thread.h"
#include "registration.h"
#include "string_args.h"

namespace QPX {

struct NamedSemaphoreObject {
    PyObject_HEAD
    CL_NamedSemaphore fSem;
};

namespace {

NamedSemaphoreObject* Self(PyObject* obj) {
    return reinterpret_cast<NamedSemaphoreObject*>(obj);
}

PyObject* sem_new(PyTypeObject* type, PyObject* args, PyObject*) {
    std::string name;
    if (!PyArg_ParseTuple(args, "O&", ConvertCString, &name)) return nullptr;
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) return nullptr;
    NamedSemaphoreObject* self = Self(obj);
    new (&self->fSem) CL_NamedSemaphore(name, 1);
    if (self->fSem.GetStatus() != CL_OK) {
        PyErr_Format(PyExc_ValueError, "Cannot create semaphore named '%s'", name.c_str());
        self->fSem.~CL_NamedSemaphore();
        type->tp_free(obj);
        return nullptr;
    }
    return obj;
}

void sem_dealloc(PyObject* obj) {
    Self(obj)->fSem.~CL_NamedSemaphore();
    Py_TYPE(obj)->tp_free(obj);
}

// A holder may keep the semaphore for as long as it likes, so the wait goes in steps
// and runs the handlers of pending signals between them, as the Client calls do: Ctrl-C
// ends it within a step.
constexpr uint32 kWaitStepMs = 100;

// Waits without a time limit; false with the exception of a signal handler, or with
// OSError when the semaphore cannot be taken (the caller must not go on as if it held
// it). Either way the semaphore is not held.
bool Acquire(PyObject* obj) {
    CL_NamedSemaphore& sem = Self(obj)->fSem;
    CL_Status status = CL_WOULD_BLOCK;
    while (status == CL_WOULD_BLOCK) {
        ZL_BEGIN_ALLOW_THREADS
        status = sem.Acquire(kWaitStepMs);
        ZL_END_ALLOW_THREADS
        if (status == CL_WOULD_BLOCK && PyErr_CheckSignals() != 0) return false;
    }
    if (status != CL_OK) {
        PyErr_Format(PyExc_OSError, "Cannot acquire semaphore (status %d)", int(status));
        return false;
    }
    // A signal that came during the last step: its exception goes without the unit.
    if (PyErr_CheckSignals() == 0) return true;
    sem.Release();
    return false;
}

PyObject* sem_acquire(PyObject* obj, PyObject*) {
    if (!Acquire(obj)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* sem_release(PyObject* obj, PyObject*) {
    Self(obj)->fSem.Release();
    Py_RETURN_NONE;
}

PyObject* sem_enter(PyObject* obj, PyObject*, PyObject*) {
    if (!Acquire(obj)) return nullptr;
    return Py_NewRef(obj);
}

PyObject* sem_exit(PyObject* obj, PyObject*, PyObject*) {
    Self(obj)->fSem.Release();
    Py_RETURN_NONE;
}

PyMethodDef sSemaphoreMethods[] = {
    {"acquire", ZL_METHOD(sem_acquire), METH_NOARGS,
     "acquire()\n\nAcquires semaphore"},
    {"release", ZL_METHOD(sem_release), METH_NOARGS,
     "release()\n\nReleases semaphore"},
    {"__enter__", ZL_METHOD(sem_enter), METH_VARARGS | METH_KEYWORDS,
     "__enter__()\n\nContext manager enter, acquires semaphore"},
    {"__exit__", ZL_METHOD(sem_exit), METH_VARARGS | METH_KEYWORDS,
     "__exit__()\n\nContext manager exit, releases semaphore"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

ZL_SLOT_TABLE(PyTypeObject NamedSemaphoreType,
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_zelmolib.NamedSemaphore",
    .tp_basicsize = sizeof(NamedSemaphoreObject),
    .tp_dealloc = ZL_GUARD(sem_dealloc),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "NamedSemaphore objects",
    .tp_methods = sSemaphoreMethods,
    .tp_new = ZL_GUARD(sem_new))

}  // namespace QPX

int ZL_AddSemaphoreType(PyObject* module) {
    return ZL_AddType(module, &QPX::NamedSemaphoreType);
}
