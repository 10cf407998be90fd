// The _zelmolib extension module: its per-module state, the helpers every source of
// the module shares (errors, text arguments, value conversion, Deferred and Decimal
// objects, entry of native threads into Python) and one registration call per area.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <deque>
#include <exception>
#include <initializer_list>
#include <utility>
#include <string>
#include <type_traits>

#include "lumo/decimal.h"
#include "lumo/dispatcher.h"
#include "lumo/entry.h"
#include "lumo/thread.h"
#include "lumo/thread_safety.h"

class QPX_Client;

namespace QPX {
struct ClientObject;
}

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
    // Python's decimal.Decimal, imported by the first comparison that needs it.
    PyObject* fPyDecimalClass = nullptr;
    ZL_KeyCache fKeyCache;
};

// ---- C++ exceptions at the boundary ----
// The libraries never throw their own exceptions, but the standard library's members
// do (std::bad_alloc, std::length_error), and none may reach the interpreter. Only
// std::exception is caught: the forced unwind by which the interpreter ends a thread
// (pthread_exit) must pass through untouched, so nothing here is noexcept or
// catch (...).

// Sets the Python exception for a caught C++ one: MemoryError for std::bad_alloc,
// SystemError with what() for any other. Interpreter lock held.
void ZL_SetPythonError(const std::exception& error);

// Error result of a Python entry point of type R: null, or -1 for integer slots.
template <class R>
R ZL_ErrorResult() {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

// Reports a C++ exception of a slot that cannot fail (a deallocator, a module hook)
// as unraisable, keeping any Python exception already pending.
void ZL_ReportUnraisable(const std::exception& error);

// The guarded form of a Python entry point F (method, function, type or number slot,
// getter, trace function, module hook): F's own result, or the Python exception for a
// C++ one with F's error result. Type slots name ZL_GUARD(F) instead of F, method
// tables ZL_METHOD(F).
template <auto F>
struct ZL_Guarded;
template <class R, class... A, R (*F)(A...)>
struct ZL_Guarded<F> {
    static R Call(A... args) {
        try {
            return F(args...);
        } catch (const std::exception& error) {
            if constexpr (std::is_void_v<R>) {
                ZL_ReportUnraisable(error);
                return;
            } else {
                ZL_SetPythonError(error);
                return ZL_ErrorResult<R>();
            }
        }
    }
};
#define ZL_GUARD(f) (&ZL_Guarded<f>::Call)

// A method table's entry for F, guarded: whatever F's calling convention (the row's
// flags tell the interpreter), the table holds it as a PyCFunction.
#define ZL_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ZL_GUARD(f)))

// A callable (or other optional argument) that was given and is not None.
inline bool ZL_IsSet(PyObject* object) {
    return object && object != Py_None;
}

// Callables given to be called later, on a worker thread: each must be callable, or not
// given, or None (absent). False with TypeError "<what> must be callable" naming the
// first that is not, so that a call fails before it starts anything.
bool ZL_CheckCallables(std::initializer_list<std::pair<const char*, PyObject*>> callables);

// Runs `body` under the interpreter lock inside a native callback: a C++ exception
// becomes the pending Python exception (which the callback prints and clears like a
// callable's own). True when nothing was thrown.
template <class Body>
bool ZL_Protect(Body&& body) {
    try {
        body();
        return true;
    } catch (const std::exception& error) {
        ZL_SetPythonError(error);
        return false;
    }
}

// Runs a native callback's body on a native thread: a C++ exception thrown outside the
// interpreter lock cannot be reported to Python and is swallowed, giving `fallback`.
// Parts that hold the interpreter lock convert theirs first (ZL_Protect), so that the
// lock is always given back.
template <class R, class Body>
R ZL_NativeCall(R fallback, Body&& body) {
    try {
        return body();
    } catch (const std::exception&) {
        return fallback;
    }
}
template <class Body>
void ZL_NativeCall(Body&& body) {
    try {
        body();
    } catch (const std::exception&) {
    }
}

// Py_BEGIN/END_ALLOW_THREADS for native work that may throw: the interpreter lock is
// taken back before a C++ exception goes on to the entry point's guard. A return or
// goto out of the block is not allowed, as with the interpreter's own pair.
#define ZL_BEGIN_ALLOW_THREADS                         \
    {                                                  \
        std::exception_ptr zlError_;                   \
        PyThreadState* zlSaved_ = PyEval_SaveThread(); \
        try {
#define ZL_END_ALLOW_THREADS                        \
    }                                               \
    catch (const std::exception&) {                 \
        zlError_ = std::current_exception();        \
    }                                               \
    PyEval_RestoreThread(zlSaved_);                 \
    if (zlError_) std::rethrow_exception(zlError_); \
    }

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
// Prints and clears a pending exception of a callback called from native code.
void ZL_ReportCallbackError();
// Calls callable(*args) for a native caller: result released, exception printed and
// cleared. Skips null and None.
void ZL_CallCallback(PyObject* callable, PyObject* args);

// Readies a static type and adds it to the module under its name (tp_name after the
// module's "_zelmolib."); 0, or -1 with an exception set.
int ZL_AddType(PyObject* module, PyTypeObject* type);

// Defines a slot table of the interpreter (a type object, its number methods) with
// designated initialisers that name only the slots it fills, the others left empty:
//   ZL_SLOT_TABLE(PyTypeObject FooType, .ob_base = ..., .tp_name = "_zelmolib.Foo")
// -Wmissing-field-initializers is silenced for that definition alone.
#define ZL_SLOT_TABLE(declaration, ...)                                  \
    _Pragma("GCC diagnostic push")                                       \
    _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"") \
    declaration = {__VA_ARGS__};                                         \
    _Pragma("GCC diagnostic pop")

// Registration of each area, called by module start-up in this order: types, then
// functions. Each returns 0, or -1 with an exception set.
int ZL_AddDecimalType(PyObject* module);
int ZL_AddClientType(PyObject* module);
int ZL_AddDeferredType(PyObject* module);
int ZL_AddJSONTypes(PyObject* module);
int ZL_AddSemaphoreType(PyObject* module);

// Native clients of the pool, reached only through these (the Client type's sources
// define them): a new native client on the module's dispatcher, its disconnection.
QPX_Client* ZL_NewNativeClient(CL_Dispatcher* dispatcher);
void ZL_DisconnectNativeClient(QPX_Client* client);

// Python functions of the timers and utility areas; module start-up lists them, with
// its own, in the order of the module's method table.
extern PyMethodDef ZL_TimerMethods[];
extern PyMethodDef* const ZL_UtilityMethods;

namespace QPX {

// Native client pool. trackClient stores a pooled or new native client in *slot and
// tells whether the module is active (the slot is left alone when it is not);
// untrackClient disconnects the client and returns it to the pool.
bool trackClient(QPX_Client** slot);
void untrackClient(QPX_Client* client);

// Errors raised to Python as the package's Error(code, message). Each returns null.
PyObject* setException(int code, const std::string& message);
PyObject* setException(ClientObject* client, int code);
PyObject* setException(int code, CLU_Table* reply);
// The message of the table for a code: QPX::GetError's text, placeholders included.
std::string translate(int code);
// Sets fAborted on every listed timer Deferred and wakes its job, so that none calls
// back or waits out its delay. Interpreter lock held.
void AbortTimers(MODULE_STATE* state);
// Power event callback of the module (1 suspend, 2 resume), on the listener thread.
int32 _power_callback(int32 event, void* param);

// RuntimeError "no module state!".
PyObject* noModuleState();

// Text arguments. ConvertString: bytes up to the first NUL or the UTF-8 of a str; an
// "O&" converter (1 done, 0 with ValueError set).
int ConvertString(PyObject* obj, std::string* out);
// As ConvertString, for a text that ends up as a C string (a host, semaphore or codec
// name, a document parsed up to its NUL): a str keeps every character, so one holding a
// NUL is refused with ValueError "embedded null character" rather than cut there.
int ConvertCString(PyObject* obj, std::string* out);
// True for a text without NUL; otherwise false with that same ValueError.
bool RefuseNul(const std::string& text);

// Value conversion between entries and Python objects. The FromCLU functions return
// a new reference or null with an exception set; the FromPy functions report a
// failure through the pending exception.
PyObject* List_FromCLU(const CLU_List* list);
PyObject* Table_FromCLU(const CLU_Table* table);
void List_FromPy(PyObject* obj, CLU_List* out);
void Table_FromPy(PyObject* obj, CLU_Table* out);
// Imports the datetime capsule for the conversions; -1 with an exception set.
int InitUtilities();
// A str of UTF-8 text, bytes that are not UTF-8 replaced; null with an exception set.
PyObject* TextToPy(const std::string& text);

// One Decimal value per object; a result is always a new object.
struct DecimalObject {
    PyObject_HEAD
    CL_Decimal fValue;
    // The hash, computed on first use; -1 until then.
    Py_hash_t fHash;

    // A new Decimal of value 0, or null with MemoryError.
    static DecimalObject* Allocate();
};
extern PyTypeObject DecimalType;
inline bool IsDecimal(PyObject* obj) {
    return PyObject_TypeCheck(obj, &DecimalType);
}
// "O&" converter of Decimal operands: a new reference in *result, or 0 with an
// exception set.
int ConvertDecimal(PyObject* object, DecimalObject** result);

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

// Text of a str as UTF-8, NULs included; false with the encoder's exception pending.
bool UnicodeToUTF8(PyObject* str, std::string* out);

// One value to Python (new reference, or null with an exception) and back.
PyObject* Entry_FromCLU(const CLU_Entry* entry);
void Entry_FromPy(PyObject* obj, CLU_Entry* out);

// Parses a str or bytes text into value; false when it is not a number (ValueError
// set when the object is neither str nor bytes). *overflow tells a range failure.
bool QPX_Decimal_from_string(CL_Decimal& value, PyObject* text, bool* overflow);
