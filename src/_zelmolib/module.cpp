// Module start-up, state, clean-up, the global threads lock, the native client pool
// and the entry of native threads into Python.
#include "module.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "client_pool.h"
#include "convert.h"
#include "lumo/init.h"
#include "lumo/power.h"
#include "lumo/status.h"
#include "registration.h"

PyModuleDef* gModuleDefPtr = nullptr;

namespace {

// Thread that first initialised the module; only it may run _cleanup.
unsigned long sMainThreadID = ~0UL;
// Process that loaded the module and so owns its dispatcher's threads; 0 before.
pid_t sLoadProcess = 0;
// The live state for native threads, which cannot look it up without the interpreter
// lock; null before start-up ends and from the start of module_free on.
std::atomic<MODULE_STATE*> sLiveState{nullptr};

MODULE_STATE* StateOf(PyObject* module) {
    return module ? static_cast<MODULE_STATE*>(PyModule_GetState(module)) : nullptr;
}

// The worker hooks need only a live interpreter, not the module: the last workers end
// while module_free deletes the dispatcher.
void onCreateWorker(CL_ThreadID, void*) {
    ZL_NativeCall([] {
        if (!ZL_InterpreterAlive()) return;
        PyGILState_STATE gil = PyGILState_Ensure();
        PyGILState_Release(gil);
    });
}

void onDestroyWorker(CL_ThreadID, void*) {
    ZL_NativeCall([] {
        if (!ZL_InterpreterAlive()) return;
        PyGILState_STATE gil = PyGILState_Ensure();
        PyObject* name = PyUnicode_FromString("zelmolib");
        PyObject* pkg = name ? PyImport_GetModule(name) : nullptr;
        Py_XDECREF(name);
        if (pkg) {
            PyObject* dict = PyModule_GetDict(pkg);
            PyObject* hook = dict ? PyDict_GetItemString(dict, "_on_destroy_thread") : nullptr;
            if (hook) Py_XDECREF(PyObject_CallNoArgs(hook));
            Py_DECREF(pkg);
        }
        PyErr_Clear();
        PyGILState_Release(gil);
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    MODULE_STATE* s = StateOf(module);
    if (!s) return 0;
    Py_VISIT(s->fIdleCB);
    Py_VISIT(s->fSuspendCB);
    Py_VISIT(s->fResumeCB);
    Py_VISIT(s->fException);
    Py_VISIT(s->fTimerList);
    Py_VISIT(s->fJSONException);
    Py_VISIT(s->fMethodRead);
    Py_VISIT(s->fMethodReadKey);
    Py_VISIT(s->fMethodStartMap);
    Py_VISIT(s->fMethodEndMap);
    Py_VISIT(s->fMethodStartArray);
    Py_VISIT(s->fMethodEndArray);
    Py_VISIT(s->fMethodWrite);
    Py_VISIT(s->fPyDecimalClass);
    for (ZL_KeyCache::Slot& slot : s->fKeyCache.fSlots)
        Py_VISIT(slot.fKey);
    return 0;
}

int module_clear(PyObject* module) {
    MODULE_STATE* s = StateOf(module);
    if (!s) return 0;
    // The collector may clear the module before freeing it: the timers' jobs must not
    // wait out their delays once the list no longer names them.
    QPX::AbortTimers(s);
    Py_CLEAR(s->fIdleCB);
    Py_CLEAR(s->fSuspendCB);
    Py_CLEAR(s->fResumeCB);
    Py_CLEAR(s->fException);
    Py_CLEAR(s->fTimerList);
    Py_CLEAR(s->fJSONException);
    Py_CLEAR(s->fMethodRead);
    Py_CLEAR(s->fMethodReadKey);
    Py_CLEAR(s->fMethodStartMap);
    Py_CLEAR(s->fMethodEndMap);
    Py_CLEAR(s->fMethodStartArray);
    Py_CLEAR(s->fMethodEndArray);
    Py_CLEAR(s->fMethodWrite);
    Py_CLEAR(s->fPyDecimalClass);
    for (ZL_KeyCache::Slot& slot : s->fKeyCache.fSlots) {
        Py_CLEAR(slot.fKey);
        slot.fText.clear();
    }
    return 0;
}

void module_free(void* object) {
    PyObject* module = static_cast<PyObject*>(object);
    MODULE_STATE* s = StateOf(module);
    if (!s) return;
    MODULE_STATE* expected = s;
    sLiveState.compare_exchange_strong(expected, nullptr);

    ZL_LockThreads(s);
    s->fInitialized = false;
    ZL_UnlockThreads(s);

    // Pending timers would hold their workers, and so the dispatcher's deletion, for
    // the rest of their delay.
    QPX::AbortTimers(s);

    CL_Dispatcher* dispatcher = s->fDispatcher;
    s->fDispatcher = nullptr;
    bool alive = Py_IsInitialized();
    // A forked child has none of the workers that deleting the dispatcher would join.
    bool owner = !ZL_ForkedChild();
    // The power listener holds its table lock while our callback waits for the
    // interpreter lock, and workers may be waiting for it too: release it here. Workers
    // whose callbacks _cleanup stopped waiting for may never return: they stay, with the
    // dispatcher, until the process ends.
    Py_BEGIN_ALLOW_THREADS
    if (owner && !s->fJobsLeft) delete dispatcher;
    if (s->fPowerRegistered) CL_RemovePowerCallback(QPX::_power_callback);
    Py_END_ALLOW_THREADS
    s->fPowerRegistered = false;
    if (alive) module_clear(module);
    s->~MODULE_STATE();
    memset(static_cast<void*>(s), 0, sizeof(MODULE_STATE));
}

// The lock stays held between the two calls: the analysis cannot follow it.
PyObject* zl_lock(PyObject*, PyObject*) CL_NO_THREAD_SAFETY_ANALYSIS {
    MODULE_STATE* s = ZL_GetState();
    if (s) {
        Py_BEGIN_ALLOW_THREADS
        s->fThreadsLock.Lock();
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

PyObject* zl_unlock(PyObject*, PyObject*) CL_NO_THREAD_SAFETY_ANALYSIS {
    MODULE_STATE* s = ZL_GetState();
    if (s) {
        Py_BEGIN_ALLOW_THREADS
        s->fThreadsLock.Unlock();
        Py_END_ALLOW_THREADS
    }
    Py_RETURN_NONE;
}

// Disconnects every native client, pooled ones included, without fThreadsLock: once
// the module is inactive the lists no longer change, and a Python thread may hold the
// lock (lock()) for as long as it likes.
void DisconnectAll(MODULE_STATE* s) CL_NO_THREAD_SAFETY_ANALYSIS {
    for (QPX_Client* client : s->fClientList)
        ZL_DisconnectNativeClient(client);
}

// One round of the exit's wait, on the main thread: the pending signal handlers, then
// the default idle callable, whose exceptions are printed and cleared. False, with the
// exception pending, when a handler raised, or the callable raised KeyboardInterrupt (a
// Ctrl-C landing while it ran): the wait ends there, as the interpreter's own wait for
// its threads at exit ends at the first Ctrl-C. The signals come first, so that a
// handler's exception is not taken for the callable's own.
bool ExitWaitRound(MODULE_STATE* s) {
    if (PyErr_CheckSignals() < 0) return false;
    // The callable may replace itself while it runs.
    PyObject* idle = s->fIdleCB;
    if (!ZL_IsSet(idle)) return true;
    Py_INCREF(idle);
    Py_XDECREF(PyObject_CallNoArgs(idle));
    Py_DECREF(idle);
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) return false;
    ZL_ReportCallbackError();
    return true;
}

// The status a handler's SystemExit ends the process with once the interpreter has
// finalized, read as the interpreter reads it: None 0, an int itself, anything else
// written to stderr and 1. Not from PyErr_Print, which would finalize from inside the
// atexit callables and so run the rest of them twice.
int sExitStatus = 0;

void ExitWithStatus() {
    exit(sExitStatus);
}

// Takes the pending SystemExit; false, with it still pending, when no low-level exit
// function can be added.
bool ExitAfterFinalizing() {
    if (Py_AtExit(ExitWithStatus) < 0) return false;
    PyObject* raised = PyErr_GetRaisedException();
    PyObject* code = PyObject_GetAttrString(raised, "code");
    PyErr_Clear();
    if (!code || code == Py_None) {
        sExitStatus = 0;
    } else if (PyLong_Check(code)) {
        sExitStatus = int(PyLong_AsLong(code));
        PyErr_Clear();
    } else {
        PySys_FormatStderr("%S\n", code);
        sExitStatus = 1;
    }
    Py_XDECREF(code);
    Py_DECREF(raised);
    return true;
}

PyObject* zl_cleanup(PyObject*, PyObject*) {
    MODULE_STATE* s = ZL_GetState();
    if (!s || !Py_IsInitialized() || !s->fInitialized) Py_RETURN_NONE;
    if (PyThreadState_Get()->thread_id != sMainThreadID || !s->fDispatcher) Py_RETURN_NONE;

    ZL_LockThreads(s);
    bool wasActive = s->fInitialized.exchange(false);
    ZL_UnlockThreads(s);
    if (!wasActive) Py_RETURN_NONE;

    QPX::AbortTimers(s);

    CL_Dispatcher* dispatcher = s->fDispatcher;
    // In a forked child the jobs left on the dispatcher have no worker to run them.
    bool idle = ZL_ForkedChild();
    ZL_BEGIN_ALLOW_THREADS
    // Power events do nothing from here on. Leaving the registration now, while the
    // interpreter still runs, lets a callable in progress finish: once finalisation has
    // begun it would be ended inside the listener's table lock.
    if (s->fPowerRegistered) {
        CL_RemovePowerCallback(QPX::_power_callback);
        s->fPowerRegistered = false;
    }
    DisconnectAll(s);
    ZL_END_ALLOW_THREADS
    while (!idle) {
        ZL_BEGIN_ALLOW_THREADS
        idle = dispatcher->WaitForJobs(50);
        ZL_END_ALLOW_THREADS
        if (idle || ExitWaitRound(s)) continue;
        // The callbacks still running are left to the end of the process; those that
        // return into the ending interpreter are ended by it.
        s->fJobsLeft = true;
        // From atexit there is no Python caller to raise into, and atexit would only print
        // a handler's SystemExit: the process ends with its status instead, as at the top
        // of a script, once the exit has gone on (the other atexit callables, each once).
        if (!PyEval_GetFrame() && PyErr_ExceptionMatches(PyExc_SystemExit) &&
            ExitAfterFinalizing())
            Py_RETURN_NONE;
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef sCoreMethods[] = {
    {"lock", ZL_METHOD(zl_lock), METH_NOARGS, "lock()\n\nAcquires the global QPX threads lock."},
    {"unlock", ZL_METHOD(zl_unlock), METH_NOARGS,
     "unlock()\n\nReleases the global QPX threads lock."},
    {"_cleanup", ZL_METHOD(zl_cleanup), METH_NOARGS, "_cleanup()\n\nCleanup resources."},
    {nullptr, nullptr, 0, nullptr},
};

// The module's functions in the order of its method table, each taken from the table
// of its area.
constexpr const char* kFunctionOrder[] = {
    "host_lookup",
    "get_network_interfaces",
    "get_machine_uuid",
    "get_system_info",
    "save_xml",
    "load_xml",
    "start_timer",
    "hash_password",
    "lock",
    "unlock",
    "_cleanup",
    "set_default_idle_callback",
    "set_power_callbacks",
    "checksum",
    "get_application_log_path",
    "set_interpreter_timeout",
    "get_interpreter_timeout",
    "get_interpreter_time_left",
    "_set_process_foreground",
    "_apply_stylesheet",
    "_check_all",
    "regexp_find_all",
};
constexpr size_t kFunctionCount = sizeof(kFunctionOrder) / sizeof(kFunctionOrder[0]);

const PyMethodDef* FindFunction(const char* name) {
    for (const PyMethodDef* table : {sCoreMethods, ZL_TimerMethods, ZL_UtilityMethods})
        for (const PyMethodDef* m = table; m->ml_name; ++m)
            if (strcmp(m->ml_name, name) == 0) return m;
    return nullptr;
}

PyMethodDef* ModuleMethods() {
    static PyMethodDef table[kFunctionCount + 1];
    size_t n = 0;
    for (const char* name : kFunctionOrder)
        if (const PyMethodDef* m = FindFunction(name)) table[n++] = *m;
    table[n] = {nullptr, nullptr, 0, nullptr};
    return table;
}

PyModuleDef sModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_zelmolib",
    "zelmolib support module",
    sizeof(MODULE_STATE),
    nullptr,
    nullptr,
    ZL_GUARD(module_traverse),
    ZL_GUARD(module_clear),
    ZL_GUARD(module_free),
};

// A class of the package module, with a new reference; ImportError when missing.
PyObject* PackageClass(PyObject* package, const char* name) {
    PyObject* dict = PyModule_GetDict(package);
    PyObject* cls = dict ? PyDict_GetItemString(dict, name) : nullptr;
    if (!cls) {
        PyErr_Format(PyExc_ImportError,
                     "the zelmolib package must define %s before importing _zelmolib", name);
        return nullptr;
    }
    Py_INCREF(cls);
    return cls;
}

int InitState(PyObject* module, MODULE_STATE* s) {
    PyObject* name = PyUnicode_FromString("zelmolib");
    if (!name) return -1;
    PyObject* package = PyImport_GetModule(name);
    Py_DECREF(name);
    if (!package) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError,
                            "the zelmolib package must be imported before _zelmolib");
        return -1;
    }
    // sys.modules keeps the package alive for as long as the module.
    s->fParentModule = package;
    Py_DECREF(package);
    s->fException = PackageClass(package, "Error");
    if (!s->fException) return -1;

    if (ZL_AddDecimalType(module) < 0 || ZL_AddClientType(module) < 0 ||
        ZL_AddDeferredType(module) < 0 || ZL_AddJSONTypes(module) < 0 ||
        ZL_AddSemaphoreType(module) < 0)
        return -1;
    if (QPX::InitUtilities() < 0) return -1;

    if (sMainThreadID == ~0UL) sMainThreadID = PyThreadState_Get()->thread_id;
    s->fTimeOut = 0;

    s->fJSONException = PackageClass(package, "JSONError");
    if (!s->fJSONException) return -1;
    struct {
        PyObject** field;
        const char* text;
    } names[] = {
        {&s->fMethodRead, "read"},           {&s->fMethodReadKey, "read_key"},
        {&s->fMethodStartMap, "start_map"},  {&s->fMethodEndMap, "end_map"},
        {&s->fMethodStartArray, "start_array"}, {&s->fMethodEndArray, "end_array"},
        {&s->fMethodWrite, "write"},
    };
    for (auto& n : names) {
        *n.field = PyUnicode_InternFromString(n.text);
        if (!*n.field) return -1;
    }
    s->fTimerList = PyList_New(0);
    if (!s->fTimerList) return -1;
    s->fInitialized = true;
    s->fPowerRegistered = CL_AddPowerCallback(QPX::_power_callback, nullptr) == CL_OK;
    sLiveState = s;
    return 0;
}

}  // namespace

bool ZL_ForkedChild() {
    return sLoadProcess != 0 && getpid() != sLoadProcess;
}

PyObject* ZL_ForkedChildError() {
    PyErr_SetString(PyExc_RuntimeError,
                    "_zelmolib's worker threads do not survive fork: asynchronous calls and "
                    "timers cannot run in a forked process; start it with the 'spawn' or "
                    "'forkserver' method of multiprocessing, or import zelmolib in the child "
                    "only");
    return nullptr;
}

bool ZL_InterpreterAlive() {
    return Py_IsInitialized() && !Py_IsFinalizing();
}

MODULE_STATE* ZL_GetState() {
    if (!gModuleDefPtr) return nullptr;
    PyObject* module = PyState_FindModule(gModuleDefPtr);
    MODULE_STATE* s = StateOf(module);
    return s && s->fParentModule ? s : nullptr;
}

// Either branch takes the lock: the analysis cannot follow the try and the wait.
void ZL_LockThreads(MODULE_STATE* state) CL_NO_THREAD_SAFETY_ANALYSIS {
    if (state->fThreadsLock.TryLock() == CL_OK) return;
    Py_BEGIN_ALLOW_THREADS
    state->fThreadsLock.Lock();
    Py_END_ALLOW_THREADS
}

void ZL_UnlockThreads(MODULE_STATE* state) {
    state->fThreadsLock.Unlock();
}

int ZL_AddType(PyObject* module, PyTypeObject* type) {
    if (PyType_Ready(type) < 0) return -1;
    const char* dot = strrchr(type->tp_name, '.');
    return PyModule_AddObjectRef(module, dot ? dot + 1 : type->tp_name,
                                 reinterpret_cast<PyObject*>(type));
}

bool ZL_EnterPython(PyGILState_STATE* gil, bool needActive) {
    MODULE_STATE* s = sLiveState.load();
    if (!ZL_InterpreterAlive() || !s || (needActive && !s->fInitialized)) return false;
    *gil = PyGILState_Ensure();
    // The state may have gone while this thread waited.
    if (ZL_GetState() != s || (needActive && !s->fInitialized)) {
        PyGILState_Release(*gil);
        return false;
    }
    return true;
}

void ZL_LeavePython(PyGILState_STATE gil) {
    PyGILState_Release(gil);
}

bool ZL_CheckCallables(std::initializer_list<std::pair<const char*, PyObject*>> callables) {
    for (const auto& [what, callable] : callables) {
        if (ZL_IsSet(callable) && !PyCallable_Check(callable)) {
            PyErr_Format(PyExc_TypeError, "%s must be callable, not %.200s", what,
                         Py_TYPE(callable)->tp_name);
            return false;
        }
    }
    return true;
}

void ZL_ReportCallbackError(bool keepHookExit) {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) return;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(raised));
    PyObject* traceback = PyException_GetTraceback(raised);
    if (!traceback) traceback = Py_NewRef(Py_None);
    // Left for a debugger's post-mortem, as the interpreter leaves them.
    const std::pair<const char*, PyObject*> last[] = {
        {"last_exc", raised}, {"last_type", type}, {"last_value", raised},
        {"last_traceback", traceback}};
    for (const auto& [name, value] : last)
        if (PySys_SetObject(name, value) < 0) PyErr_Clear();
    PyObject* hook = Py_XNewRef(PySys_GetObject("excepthook"));
    // The interpreter's audit event; an audit hook's RuntimeError stops the display, as it
    // stops the interpreter's.
    bool shown = true;
    if (PySys_Audit("sys.excepthook", "OOOO", hook ? hook : Py_None, type, raised, traceback) <
        0) {
        shown = !PyErr_ExceptionMatches(PyExc_RuntimeError);
        if (shown)
            PyErr_FormatUnraisable("Exception ignored in audit hook");
        else
            PyErr_Clear();
    }
    PyObject* args[] = {type, raised, traceback};
    PyObject* result = shown && hook ? PyObject_Vectorcall(hook, args, 3, nullptr) : nullptr;
    if (result) {
        Py_DECREF(result);
    } else if (shown && !hook) {
        PySys_WriteStderr("sys.excepthook is missing\n");
        PyErr_DisplayException(raised);
    } else if (shown) {
        PyObject* failure = PyErr_GetRaisedException();
        if (keepHookExit && failure && !PyErr_GivenExceptionMatches(failure, PyExc_Exception)) {
            PyErr_SetRaisedException(failure);
        } else {
            // Shown as the interpreter shows a failing hook; neither exception ends anything.
            PySys_WriteStderr("Error in sys.excepthook:\n");
            if (failure) PyErr_DisplayException(failure);
            PySys_WriteStderr("\nOriginal exception was:\n");
            PyErr_DisplayException(raised);
            Py_XDECREF(failure);
        }
    }
    Py_XDECREF(hook);
    Py_DECREF(traceback);
    Py_DECREF(raised);
}

void ZL_CallCallback(PyObject* callable, PyObject* args) {
    if (!ZL_IsSet(callable)) return;
    PyObject* result = args ? PyObject_Call(callable, args, nullptr) : PyObject_CallNoArgs(callable);
    Py_XDECREF(result);
    ZL_ReportCallbackError();
}

namespace QPX {

bool trackClient(QPX_Client** slot) {
    MODULE_STATE* s = ZL_GetState();
    if (!s) return false;
    ZL_ThreadsLocker locker(s);
    bool active = s->fInitialized;
    if (active) {
        QPX_Client* client;
        if (s->fFreeClientsList.empty()) {
            client = ZL_NewNativeClient(s->fDispatcher);
            if (client) s->fClientList.push_back(client);
        } else {
            client = s->fFreeClientsList.back();
            s->fFreeClientsList.pop_back();
        }
        *slot = client;
    }
    return active;
}

void untrackClient(QPX_Client* client) {
    MODULE_STATE* s = ZL_GetState();
    if (!s || !client) return;
    ZL_ThreadsLocker locker(s);
    if (s->fInitialized) {
        ZL_DisconnectNativeClient(client);
        s->fFreeClientsList.push_front(client);
    }
}

}  // namespace QPX

namespace {

PyObject* InitModule() {
    CL_Init();
    gModuleDefPtr = &sModuleDef;
    sModuleDef.m_methods = ModuleMethods();
    PyObject* module = PyModule_Create(&sModuleDef);
    if (!module) return nullptr;
    void* raw = PyModule_GetState(module);
    memset(raw, 0, sizeof(MODULE_STATE));
    MODULE_STATE* s = new (raw) MODULE_STATE();

    sLoadProcess = getpid();
    ZL_BEGIN_ALLOW_THREADS
    s->fDispatcher = new CL_Dispatcher(8, 128, onCreateWorker, onDestroyWorker, nullptr);
    ZL_END_ALLOW_THREADS
    if (!s->fDispatcher) {
        Py_DECREF(module);
        return PyErr_NoMemory();
    }

    if (InitState(module, s) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

}  // namespace

PyMODINIT_FUNC PyInit__zelmolib() {
    return ZL_Guarded<InitModule>::Call();
}
