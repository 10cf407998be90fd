// The _zelmolib extension module's core: its per-module state, the global threads
// lock, and the entry of native threads into Python.
#pragma once

#include <atomic>
#include <deque>
#include <string>

#include "boundary.h"
#include "lumo/dispatcher.h"
#include "lumo/thread.h"
#include "lumo/thread_safety.h"

class QPX_Client;

// Short table keys with their str: result sets repeat the same keys on every row, and
// a cached key keeps its str (and its hash) from row to row. Direct-mapped; used
// under the interpreter lock.
struct ZL_KeyCache {
    static constexpr size_t kSlots = 256;
    static constexpr size_t kMaxText = 64;
    struct Slot {
        std::string fText;
        PyObject* fKey = nullptr;  // strong
    };
    Slot fSlots[kSlots];
};

// Per-module state, found with ZL_GetState(). Python object fields are strong
// references and change only under the interpreter lock. fThreadsLock ("global QPX
// threads lock") guards fInitialized and the two client lists; a thread that holds
// the interpreter lock never waits for it without releasing the interpreter lock
// first (ZL_LockThreads). fTimerLock guards the abort flags of timer Deferreds.
struct MODULE_STATE {
    PyObject* fParentModule = nullptr;  // package module "zelmolib", borrowed
    CL_RecursiveMutex fThreadsLock;
    CL_Dispatcher* fDispatcher = nullptr;
    PyObject* fIdleCB = nullptr;
    PyObject* fSuspendCB = nullptr;
    PyObject* fResumeCB = nullptr;
    // Set at the end of start-up and cleared under fThreadsLock; once cleared it never
    // becomes true again. Native threads read it without the lock before they ask for
    // the interpreter lock.
    std::atomic<bool> fInitialized{false};
    PyObject* fException = nullptr;
    CL_Mutex fTimerLock;
    PyObject* fTimerList = nullptr;
    std::deque<QPX_Client*> fClientList CL_GUARDED_BY(fThreadsLock);
    std::deque<QPX_Client*> fFreeClientsList CL_GUARDED_BY(fThreadsLock);
    std::string fLanguage;
    uint32 fTimeOut = 0;
    uint32 fStartTime = 0;
    PyObject* fJSONException = nullptr;
    PyObject* fMethodRead = nullptr;
    PyObject* fMethodReadKey = nullptr;
    PyObject* fMethodStartMap = nullptr;
    PyObject* fMethodEndMap = nullptr;
    PyObject* fMethodStartArray = nullptr;
    PyObject* fMethodEndArray = nullptr;
    PyObject* fMethodWrite = nullptr;
    bool fPowerRegistered = false;
    // _cleanup stopped waiting for the jobs still running (a signal handler raised): the
    // dispatcher is not deleted, which would wait for them.
    bool fJobsLeft = false;
    // Python's decimal.Decimal, imported by the first comparison that needs it.
    PyObject* fPyDecimalClass = nullptr;
    ZL_KeyCache fKeyCache;
};

extern PyModuleDef* gModuleDefPtr;

// The state of the imported module, or null (not imported, or already freed).
// Needs the interpreter lock.
MODULE_STATE* ZL_GetState();

// Takes fThreadsLock; when another thread holds it, waits with the interpreter lock
// released (the holder may be waiting for the interpreter lock).
void ZL_LockThreads(MODULE_STATE* state) CL_ACQUIRE(state->fThreadsLock);
void ZL_UnlockThreads(MODULE_STATE* state) CL_RELEASE(state->fThreadsLock);
// fThreadsLock for a scope, by ZL_LockThreads; given back however the scope ends.
class CL_SCOPED_CAPABILITY ZL_ThreadsLocker {
public:
    explicit ZL_ThreadsLocker(MODULE_STATE* state) CL_ACQUIRE(state->fThreadsLock)
        : fState(state) {
        ZL_LockThreads(state);
    }
    ~ZL_ThreadsLocker() CL_RELEASE() { ZL_UnlockThreads(fState); }
    ZL_ThreadsLocker(const ZL_ThreadsLocker&) = delete;
    ZL_ThreadsLocker& operator=(const ZL_ThreadsLocker&) = delete;

private:
    MODULE_STATE* fState;
};

// Entry of a native thread into Python: true, with the interpreter lock taken by
// PyGILState_Ensure into *gil, only when the interpreter is alive and not finalising,
// the module state exists and the module is active (or `needActive` is false).
// Callers end with ZL_LeavePython. Never called with the interpreter lock held.
bool ZL_EnterPython(PyGILState_STATE* gil, bool needActive = true);
// The interpreter is initialised and not finalising: a native thread may take the
// interpreter lock without being ended by the interpreter.
bool ZL_InterpreterAlive();
void ZL_LeavePython(PyGILState_STATE gil);
// Prints and clears a pending exception of a callback called from native code, whatever
// its type, as the interpreter prints one that ends a script but without ending anything
// (PyErr_Print would end the interpreter for a SystemExit, on whatever thread the
// callback runs): sys.last_exc and the like set, then sys.excepthook(type, value,
// traceback); an exception the hook raises, SystemExit included, is printed with the
// original after it, and without a hook the original alone. With `keepHookExit` (on a
// caller's own thread), an exception the hook raises that is not an Exception
// (SystemExit, KeyboardInterrupt) is left pending instead, for the caller to raise.
void ZL_ReportCallbackError(bool keepHookExit = false);
// Calls callable(*args) for a native caller: result released, exception printed and
// cleared. Skips null and None.
void ZL_CallCallback(PyObject* callable, PyObject* args);

// True in a process forked from the one that loaded the module: the dispatcher's
// threads did not come along, so nothing queued on it ever runs, and its locks may have
// been held by them at the fork. Cheap enough to ask at every use.
bool ZL_ForkedChild();
// RuntimeError for an asynchronous call or timer in a forked child; always null.
PyObject* ZL_ForkedChildError();

namespace QPX {

// RuntimeError "no module state!".
PyObject* noModuleState();

}  // namespace QPX
