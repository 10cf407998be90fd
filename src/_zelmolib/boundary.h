// The rules at the module's boundary with the interpreter, which every source keeps:
// no C++ exception reaches Python or a native caller, blocking native work runs with
// the interpreter lock released, and the slot tables name only the slots they fill.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>

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

// Defines a slot table of the interpreter (a type object, its number methods) with
// designated initialisers that name only the slots it fills, the others left empty:
//   ZL_SLOT_TABLE(PyTypeObject FooType, .ob_base = ..., .tp_name = "_zelmolib.Foo")
// -Wmissing-field-initializers is silenced for that definition alone.
#define ZL_SLOT_TABLE(declaration, ...)                                  \
    _Pragma("GCC diagnostic push")                                       \
    _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"") \
    declaration = {__VA_ARGS__};                                         \
    _Pragma("GCC diagnostic pop")
