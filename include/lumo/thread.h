// Threading layer of the base library over POSIX threads: the lock interface with its
// mutexes, spin lock and semaphores, a scope guard, an atomic integer, conditions and
// read/write locks with millisecond time-outs, thread start-up, and per-thread variables.
#pragma once

#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <cstring>
#include <string>
#include <type_traits>

#include "lumo/allocator.h"
#include "lumo/containers.h"
#include "lumo/base_types.h"
#include "lumo/thread_safety.h"

// Abstract lock, so that guards and callers can hold any of the lock kinds below.
// The locks of this file exist to be shared: any thread may call them.
class CL_CAPABILITY("lock") CL_Lockable : public CL_Object {
public:
    virtual ~CL_Lockable() {}
    virtual CL_Status Lock() CL_ACQUIRE() = 0;
    virtual void Unlock() CL_RELEASE() = 0;
};

// Plain (non-recursive) mutex. The default constructor is constant, so a file-level
// mutex is usable before any static initialiser has run.
class CL_CAPABILITY("mutex") CL_Mutex : public CL_Lockable {
public:
    constexpr CL_Mutex() : fMutex(PTHREAD_MUTEX_INITIALIZER) {}
    explicit CL_Mutex(bool locked);
    ~CL_Mutex() override;
    CL_Mutex(const CL_Mutex&) = delete;
    CL_Mutex& operator=(const CL_Mutex&) = delete;

    // Always CL_OK.
    CL_Status Lock() override CL_ACQUIRE();
    // CL_OK when taken, CL_WOULD_BLOCK when held elsewhere.
    CL_Status TryLock() CL_TRY_ACQUIRE(CL_OK);
    void Unlock() override CL_RELEASE();

    pthread_mutex_t* GetNative() { return &fMutex; }

protected:
    CL_Mutex(int kind, bool locked);

    pthread_mutex_t fMutex;
};

// Mutex that its holder may lock again; it must be unlocked as often.
class CL_RecursiveMutex : public CL_Mutex {
public:
    CL_RecursiveMutex();
    explicit CL_RecursiveMutex(bool locked);
};

// Busy-waiting lock for very short sections; a waiter never sleeps or yields.
class CL_CAPABILITY("spin lock") CL_SpinLock : public CL_Lockable {
public:
    constexpr CL_SpinLock() : fLocked(false) {}
    CL_SpinLock(const CL_SpinLock&) = delete;
    CL_SpinLock& operator=(const CL_SpinLock&) = delete;

    CL_Status Lock() override CL_ACQUIRE() CL_NO_THREAD_SAFETY_ANALYSIS {
        bool expected = false;
        while (!fLocked.compare_exchange_weak(expected, true, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
            expected = false;
            Pause();
        }
        return CL_OK;
    }
    void Unlock() override CL_RELEASE() CL_NO_THREAD_SAFETY_ANALYSIS {
        fLocked.store(false, std::memory_order_seq_cst);
    }

    // One processor spin hint; does not yield to the scheduler.
    static void Pause() {
#if defined(__aarch64__)
        __asm__ __volatile__("isb" ::: "memory");
#elif defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#else
        std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
    }

private:
    std::atomic<bool> fLocked;
};

// Condition variable with millisecond time-outs. A wait without a caller's mutex uses
// a private one that guards nothing: it is just a wait for the next signal.
class CL_Condition : public CL_Object {
public:
    CL_Condition();
    ~CL_Condition();
    CL_Condition(const CL_Condition&) = delete;
    CL_Condition& operator=(const CL_Condition&) = delete;

    void Signal();
    void Broadcast();
    // The caller holds `mutex`; it is released while waiting and held again on return.
    // CL_OK woken, CL_TIMEOUT, CL_INVALID_RESOURCE when the wait failed, or
    // CL_OUT_OF_MEMORY for a condition made without memory.
    CL_Status Wait(CL_Mutex* mutex, uint32 ms = CL_WAIT_FOREVER);

private:
    CL_Mutex* PrivateMutex();

    pthread_cond_t* fData;          // owned
    std::atomic<CL_Mutex*> fMutex;  // owned; the private mutex, made once on first use
};

// Counting semaphore; counts compare as signed 32-bit values.
class CL_CAPABILITY("semaphore") CL_Semaphore : public CL_Lockable {
public:
    explicit CL_Semaphore(uint32 count = 0);

    // CL_OK when `count` units were taken, CL_TIMEOUT, or CL_INVALID_RESOURCE when the
    // wait failed.
    CL_Status Acquire(uint32 count, uint32 ms = CL_WAIT_FOREVER);
    // Adds `count` units and wakes all waiters.
    void Release(uint32 count = 1);
    CL_Status Lock() override CL_ACQUIRE() CL_NO_THREAD_SAFETY_ANALYSIS {
        return Acquire(1, CL_WAIT_FOREVER);
    }
    void Unlock() override CL_RELEASE() CL_NO_THREAD_SAFETY_ANALYSIS { Release(1); }
    int32 GetCount();

private:
    CL_Mutex fMutex;
    CL_Condition fCond;
    int32 fCount;  // under fMutex
};

// System-wide named semaphore ("/" + name), shared by every object of that name in
// every process. The name stays in the system when the objects go (until the system
// restarts), so that each opener finds the one semaphore; an object gives back, as it
// goes, the units it acquired and did not release. A release through an object that
// holds none counts against the process's earliest holder of the name, so that no unit
// is given back twice; units acquired in another process (the parent of a fork) are
// not given back.
class CL_CAPABILITY("semaphore") CL_NamedSemaphore : public CL_Lockable {
public:
    CL_NamedSemaphore(const std::string& name, uint32 value);
    ~CL_NamedSemaphore() override;
    CL_NamedSemaphore(const CL_NamedSemaphore&) = delete;
    CL_NamedSemaphore& operator=(const CL_NamedSemaphore&) = delete;

    // Outcome of the opening: CL_OK, CL_ACCESS_DENIED, CL_UNAVAILABLE (exists) or
    // CL_IO_ERROR.
    CL_Status GetStatus() const { return fStatus; }
    // CL_OK taken, CL_WOULD_BLOCK when a finite wait runs out, CL_INVALID_RESOURCE on
    // other failures.
    CL_Status Acquire(uint32 ms = CL_WAIT_FOREVER);
    void Release();
    CL_Status Lock() override CL_ACQUIRE() CL_NO_THREAD_SAFETY_ANALYSIS {
        return Acquire(CL_WAIT_FOREVER);
    }
    void Unlock() override CL_RELEASE() CL_NO_THREAD_SAFETY_ANALYSIS { Release(); }

private:
    void Taken();
    uint32 Unhold(bool dropping);

    std::string fName;
    sem_t* fSemID;
    CL_Status fStatus;  // set by the constructor only
    // Units this object holds, under the lock of the process's holders (semaphore.cpp);
    // counts only while the object is among them.
    uint32 fHeld;
};

// Read/write lock; the timed forms poll every 10 ms.
class CL_RWLock : public CL_Object {
public:
    CL_RWLock();
    ~CL_RWLock();
    CL_RWLock(const CL_RWLock&) = delete;
    CL_RWLock& operator=(const CL_RWLock&) = delete;

    // CL_OK taken, CL_WOULD_BLOCK otherwise.
    CL_Status TryReadLock();
    CL_Status TryWriteLock();
    // CL_OK taken, CL_TIMEOUT; 0xFFFFFFFE or more waits for ever.
    CL_Status ReadLock(uint32 ms = CL_WAIT_FOREVER);
    CL_Status WriteLock(uint32 ms = CL_WAIT_FOREVER);
    // Either releases whichever mode is held.
    void ReadUnlock();
    void WriteUnlock();

private:
    pthread_rwlock_t fRWLock;
};

// Scope guard: locks on construction and unlocks at its end only if the lock succeeded.
// Belongs to the scope (and thread) that made it; the lock is borrowed.
class CL_SCOPED_CAPABILITY CL_AutoLocker : public CL_Object {
public:
    explicit CL_AutoLocker(CL_Lockable* lockable) CL_ACQUIRE(lockable) CL_NO_THREAD_SAFETY_ANALYSIS
        : fLockable(lockable), fStatus(lockable ? lockable->Lock() : CL_INVALID_RESOURCE) {}
    explicit CL_AutoLocker(CL_Lockable& lockable) CL_ACQUIRE(lockable) CL_NO_THREAD_SAFETY_ANALYSIS
        : fLockable(&lockable), fStatus(lockable.Lock()) {}
    ~CL_AutoLocker() CL_RELEASE() CL_NO_THREAD_SAFETY_ANALYSIS {
        if (fStatus == CL_OK) fLockable->Unlock();
    }
    CL_AutoLocker(const CL_AutoLocker&) = delete;
    CL_AutoLocker& operator=(const CL_AutoLocker&) = delete;

    bool IsOk() const { return fStatus == CL_OK; }
    CL_Status GetStatus() const { return fStatus; }

private:
    CL_Lockable* fLockable;  // borrowed
    CL_Status fStatus;
};

// The reverse guard: releases a lock the caller holds for its scope and takes it back
// at its end, around a callback or a wait that must not run under the lock. The lock
// is borrowed; one scope (and thread) uses it.
class CL_SCOPED_CAPABILITY CL_AutoUnlocker : public CL_Object {
public:
    explicit CL_AutoUnlocker(CL_Lockable& lockable) CL_RELEASE(lockable) CL_NO_THREAD_SAFETY_ANALYSIS
        : fLockable(lockable) {
        lockable.Unlock();
    }
    explicit CL_AutoUnlocker(CL_Lockable* lockable) CL_RELEASE(lockable)
        : CL_AutoUnlocker(*lockable) {}
    ~CL_AutoUnlocker() CL_RELEASE() CL_NO_THREAD_SAFETY_ANALYSIS { fLockable.Lock(); }
    CL_AutoUnlocker(const CL_AutoUnlocker&) = delete;
    CL_AutoUnlocker& operator=(const CL_AutoUnlocker&) = delete;

private:
    CL_Lockable& fLockable;  // borrowed
};

// Atomic signed 32-bit integer for counters shared between threads. Set and
// TestAndSet give the value before the change; Add, +=, -= and prefix ++/-- the value
// after it; postfix ++/-- the value before. Any thread.
class CL_AtomicVar : public CL_Object {
public:
    CL_AtomicVar() : fValue(0) {}
    CL_AtomicVar(int32 v) : fValue(v) {}
    CL_AtomicVar(uint32 v) : fValue(int32(v)) {}
    CL_AtomicVar(bool v) : fValue(v ? 1 : 0) {}
    CL_AtomicVar(const CL_AtomicVar& other) : fValue(other.Get()) {}

    CL_AtomicVar& operator=(int32 v) {
        fValue.store(v);
        return *this;
    }
    CL_AtomicVar& operator=(uint32 v) {
        fValue.store(int32(v));
        return *this;
    }
    CL_AtomicVar& operator=(bool v) {
        fValue.store(v ? 1 : 0);
        return *this;
    }
    CL_AtomicVar& operator=(const CL_AtomicVar& other) {
        fValue.store(other.Get());
        return *this;
    }

    operator int32() const { return Get(); }
    operator uint32() const { return uint32(Get()); }
    operator bool() const { return Get() != 0; }
    bool operator!() const { return Get() == 0; }

    int32 operator+=(int32 v) { return Add(v); }
    int32 operator+=(uint32 v) { return Add(int32(v)); }
    int32 operator-=(int32 v) { return Add(int32(0u - uint32(v))); }
    int32 operator-=(uint32 v) { return Add(int32(0u - v)); }
    int32 operator++() { return Add(1); }
    int32 operator--() { return Add(-1); }
    int32 operator++(int) { return fValue.fetch_add(1); }
    int32 operator--(int) { return fValue.fetch_sub(1); }

    bool operator==(int32 v) const { return Get() == v; }
    bool operator!=(int32 v) const { return Get() != v; }
    bool operator>(int32 v) const { return Get() > v; }
    bool operator<(int32 v) const { return Get() < v; }
    bool operator>=(int32 v) const { return Get() >= v; }
    bool operator<=(int32 v) const { return Get() <= v; }
    bool operator==(uint32 v) const { return uint32(Get()) == v; }
    bool operator!=(uint32 v) const { return uint32(Get()) != v; }
    bool operator>(uint32 v) const { return uint32(Get()) > v; }
    bool operator<(uint32 v) const { return uint32(Get()) < v; }
    bool operator>=(uint32 v) const { return uint32(Get()) >= v; }
    bool operator<=(uint32 v) const { return uint32(Get()) <= v; }
    bool operator==(bool v) const { return (Get() != 0) == v; }
    bool operator!=(bool v) const { return (Get() != 0) != v; }
    bool operator==(const CL_AtomicVar& o) const { return Get() == o.Get(); }
    bool operator!=(const CL_AtomicVar& o) const { return Get() != o.Get(); }
    bool operator>(const CL_AtomicVar& o) const { return Get() > o.Get(); }
    bool operator<(const CL_AtomicVar& o) const { return Get() < o.Get(); }
    bool operator>=(const CL_AtomicVar& o) const { return Get() >= o.Get(); }
    bool operator<=(const CL_AtomicVar& o) const { return Get() <= o.Get(); }

    int32 Set(bool v) { return fValue.exchange(v ? 1 : 0); }
    int32 Set(int32 v) { return fValue.exchange(v); }
    int32 Get() const { return fValue.load(); }
    // Wrapping add, free of signed overflow.
    int32 Add(int32 v) {
        uint32 before = uint32(fValue.fetch_add(v));
        return int32(before + uint32(v));
    }
    // Stores `value` when the variable holds `expected`; gives the value found.
    int32 TestAndSet(int32 expected, int32 value) {
        fValue.compare_exchange_strong(expected, value);
        return expected;
    }

private:
    std::atomic<int32> fValue;
};

typedef uint64 CL_ThreadID;
typedef pthread_key_t CL_TLS_Entry;

class _CL_LocalStorage;

// Static operations that start, name, join and detach threads, and per-thread storage.
// Any thread; a thread is joined or detached once.
class CL_Thread {
public:
    typedef int32 (*Proc)(void* param);

    // Starts a joinable thread with a 4 MiB stack that names itself, sets its
    // scheduling and runs proc(param). 0 when the thread cannot be started; `qos` is
    // not used on this platform.
    static CL_ThreadID Spawn(const std::string& name, uint32 priority, uint32 qos, Proc proc,
                             void* param);
    // Joins the thread; gives its procedure's result.
    static int32 Wait(CL_ThreadID id);
    static void Detach(CL_ThreadID id);
    static CL_ThreadID CurrentID();
    static std::string GetName(CL_ThreadID id);
    // Names longer than 15 bytes become their first 7 bytes, '.', their last 7 bytes.
    static void SetName(CL_ThreadID id, const std::string& name);
    // 0: batch scheduling; any other value: normal time-sharing.
    static void SetPriority(CL_ThreadID id, uint32 priority);
    // 0 is one spin hint without yielding; otherwise sleeps `ms` milliseconds.
    static void Sleep(uint32 ms);

    // Per-thread storage. Initialize creates the thread-exit key (once, at start-up).
    static void Initialize();
    static CL_TLS_Entry GetLocalStorageEntry();
    // The calling thread's record, made on first use; null when out of memory.
    static _CL_LocalStorage* GetLocalStorage();
    static bool HasLocalStorage();
    static void PutLocalStorage();
    static void RemoveThreadVar(void* key);
};

// One thread's variables: a map from each variable's key to its value word. The lock
// lets another thread remove a variable while this one reads or writes.
class _CL_LocalStorage : public CL_Object {
public:
    void Set(void* key, void* value) {
        CL_AutoLocker lock(fLock);
        fMap.Set(key, value);
    }
    void* Get(void* key) {
        CL_AutoLocker lock(fLock);
        return fMap.Get(key);
    }
    void Remove(void* key) {
        CL_AutoLocker lock(fLock);
        fMap.Remove(key);
    }
    void Shrink() {
        CL_AutoLocker lock(fLock);
        fMap.Shrink();
    }

private:
    CL_PtrMap fMap;  // under fLock
    CL_SpinLock fLock;
};

// A variable with one value per thread; its address is its key. Threads that never
// wrote it read 0, and reading makes no storage record.
template <class T>
class CL_ThreadVar : public CL_Object {
    static_assert(sizeof(T) <= sizeof(void*) && std::is_trivially_copyable_v<T>,
                  "the value is kept in a pointer-sized word");

public:
    CL_ThreadVar() {}
    CL_ThreadVar(const T& value) { *this = value; }
    ~CL_ThreadVar() { CL_Thread::RemoveThreadVar(this); }
    CL_ThreadVar(const CL_ThreadVar&) = delete;

    // Out of memory for the thread's record, the value is not stored.
    CL_ThreadVar& operator=(T value) {
        if (_CL_LocalStorage* storage = CL_Thread::GetLocalStorage())
            storage->Set(this, ToWord(value));
        return *this;
    }
    operator T() const { return Get(); }
    T operator->() const { return Get(); }
    T Get() const {
        if (!CL_Thread::HasLocalStorage()) return T();
        return FromWord(CL_Thread::GetLocalStorage()->Get(Key()));
    }

private:
    void* Key() const { return const_cast<CL_ThreadVar*>(this); }
    static void* ToWord(const T& value) {
        uintptr_t word = 0;
        memcpy(&word, &value, sizeof(T));
        return reinterpret_cast<void*>(word);
    }
    static T FromWord(void* p) {
        uintptr_t word = reinterpret_cast<uintptr_t>(p);
        T value;
        memcpy(&value, &word, sizeof(T));
        return value;
    }
};
