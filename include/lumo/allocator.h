// Root object of the library's value classes, the allocator interface and the
// copy-on-write handle over shared, reference-counted storages.
//
// Out of memory, the one policy of the base library: it never aborts and never
// throws an exception of its own. An allocation that fails yields null (the
// operators below, the allocators, the containers' storages); the operation that
// needed it fails and leaves its object as it was, reporting CL_OUT_OF_MEMORY where
// it returns a status, and false, 0 or null where it returns those (a blob that
// cannot grow or un-share writes nothing; a value that cannot un-share its storage
// keeps it). An object whose constructor could not get what it needs comes out
// inert: its operations fail (a socket, a condition) or do nothing (a timer).
// std::string and the other standard-library members still raise std::bad_alloc, as
// the standard library does; code that hands control to another language (the
// Python module) catches it there.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include "lumo/base_types.h"

class CL_Mutex;

// Root of the library's value classes: allocation goes straight to the process heap.
// The operators are noexcept so that a new-expression checks the result: when the heap
// is exhausted it yields null instead of constructing the object at address 0, and
// the caller checks for null.
// Holds no state: any thread.
class CL_Object {
public:
    static void* operator new(size_t size) noexcept { return malloc(size); }
    static void* operator new[](size_t size) noexcept { return malloc(size); }
    static void* operator new(size_t size, const char*, int32) noexcept { return malloc(size); }
    static void* operator new[](size_t size, const char*, int32) noexcept { return malloc(size); }
    static void* operator new(size_t, void* where) noexcept { return where; }
    static void operator delete(void* ptr) {
        if (ptr) free(ptr);
    }
    static void operator delete[](void* ptr) {
        if (ptr) free(ptr);
    }
    static void operator delete(void* ptr, const char*, int32) {
        if (ptr) free(ptr);
    }
    static void operator delete[](void* ptr, const char*, int32) {
        if (ptr) free(ptr);
    }
    static void operator delete(void*, void*) {}
};

// Bookkeeping record placed in front of each block of the traced allocation forms.
// Plain record, written only by the allocation that owns its block.
struct CL_TraceInfo {
    int32 fSize;
    char fFile[32];
    int32 fLine;
    CL_TraceInfo* fPrev;
    CL_TraceInfo* fNext;
};
static_assert(sizeof(CL_TraceInfo) == 56, "trace record layout");

typedef int (*DPrintf)(const char* format, ...);

// Allocator interface; the base class allocates nothing. Alloc and Realloc give null
// when no memory can be had (Realloc then leaves the old block as it was). Safe from
// any thread: the heap guards itself.
class CL_Allocator {
public:
    CL_Allocator();
    virtual void* Alloc(uint64 size);
    virtual void* Alloc(uint64 size, const char* file, int32 line);
    virtual void* Realloc(void* ptr, uint64 size);
    virtual void* Realloc(void* ptr, uint64 size, const char* file, int32 line);
    virtual void Free(void* ptr);
    virtual ~CL_Allocator();

    void Dump(DPrintf print);

    // The process-wide allocator, created on first use.
    static CL_Allocator& GetSingleton();

    // For allocators that keep shared bookkeeping; the malloc back-end keeps none and
    // takes no lock.
    static CL_Mutex* sLock;

protected:
    void Trace(CL_TraceInfo* info, uint64 size, const char* file, int32 line);
    void Untrace(CL_TraceInfo* info);
};

// Copy-on-write handle: copies share one storage; the first change through a
// handle whose storage is shared makes a deep copy of it. A handle without a storage
// reads as the default-constructed T; reading never allocates.
// Threads: one handle is not to be used from several threads at once unless all of
// them only read; distinct handles sharing a storage may be used from different
// threads (the count is atomic and a writer copies the storage before changing it).
// A T whose copy constructor can run out of memory says so with `bool CopyFailed()
// const`; the handle then drops that copy.
template <class T>
class CL_RefCounted {
public:
    CL_RefCounted() : fPtr(nullptr) {}
    // Takes ownership of p (null: no storage, and nothing owned when the count record
    // cannot be allocated; p is then deleted).
    explicit CL_RefCounted(T* p) : fPtr(p ? Holder::Adopt(p) : nullptr) {}
    CL_RefCounted(const CL_RefCounted& other) : fPtr(other.fPtr) { Retain(fPtr); }
    CL_RefCounted(CL_RefCounted&& other) noexcept : fPtr(other.fPtr) { other.fPtr = nullptr; }
    ~CL_RefCounted() { Release(fPtr); }

    CL_RefCounted& operator=(const CL_RefCounted& other) {
        Holder* old = fPtr;
        fPtr = other.fPtr;
        Retain(fPtr);
        Release(old);
        return *this;
    }
    CL_RefCounted& operator=(CL_RefCounted&& other) noexcept {
        if (this != &other) {
            Release(fPtr);
            fPtr = other.fPtr;
            other.fPtr = nullptr;
        }
        return *this;
    }

    // The storage to read; without one, a shared default-constructed T that must not
    // be changed. Never allocates.
    const T* GetRefData() const { return fPtr ? fPtr->fData : &Empty(); }
    // The storage to change, made this handle's own first (a deep copy when shared, a
    // new T when there is none). Null when that needs memory that cannot be had; the
    // handle is then unchanged.
    T* ModifyRefData() { return CopyOnWrite() ? fPtr->fData : nullptr; }
    // The storage all copies of this handle share, created on first use and never
    // copied: for handles whose copies share state on purpose. Null when it cannot be
    // created.
    T* SharedRefData() const {
        if (!fPtr) fPtr = Holder::MakeEmpty();
        return fPtr ? fPtr->fData : nullptr;
    }
    // Takes ownership of p, as the constructor does.
    void SetRefData(T* p) {
        Holder* old = fPtr;
        fPtr = p ? Holder::Adopt(p) : nullptr;
        Release(old);
    }
    // Makes the storage this handle's own; false (handle unchanged) when out of memory.
    bool CopyOnWrite() {
        uint32 count = fPtr ? fPtr->fCount.load(std::memory_order_acquire) : 0;
        if (count == 1) return true;
        Holder* made = count == 0 ? Holder::MakeEmpty() : Holder::MakeCopy(*fPtr->fData);
        if (!made) return false;
        Holder* old = fPtr;
        fPtr = made;
        Release(old);
        return true;
    }
    uint32 GetRefCount() const { return fPtr ? fPtr->fCount.load(std::memory_order_acquire) : 0; }
    bool IsValid() const { return fPtr != nullptr; }

private:
    // Built once, in static storage, and never destroyed: it serves every empty handle,
    // also from static destructors.
    static const T& Empty() {
        alignas(T) static unsigned char sBytes[sizeof(T)];
        static const T* sEmpty = ::new (static_cast<void*>(sBytes)) T();
        return *sEmpty;
    }

    // A storage made here lives in one block with its count; one handed over as a
    // pointer is owned separately and freed with delete.
    struct Holder {
        std::atomic<uint32> fCount;
        bool fInline;
        T* fData;

        Holder(T* p, bool isInline) : fCount(1), fInline(isInline), fData(p) {}

        static Holder* Allocate(size_t extra, T* p, bool isInline) {
            void* block = ::operator new(sizeof(Holder) + extra, std::nothrow);
            return block ? ::new (block) Holder(p, isInline) : nullptr;
        }
        static Holder* Adopt(T* p) {
            Holder* h = Allocate(0, p, false);
            if (!h) delete p;
            return h;
        }
        static constexpr size_t Padding() {
            return (alignof(T) - sizeof(Holder) % alignof(T)) % alignof(T);
        }
        void* Slot() { return reinterpret_cast<char*>(this) + sizeof(Holder) + Padding(); }
        static Holder* MakeEmpty() {
            Holder* h = Allocate(Padding() + sizeof(T), nullptr, true);
            if (h) h->fData = ::new (h->Slot()) T();
            return h;
        }
        static Holder* MakeCopy(const T& from) {
            Holder* h = Allocate(Padding() + sizeof(T), nullptr, true);
            if (!h) return nullptr;
            h->fData = ::new (h->Slot()) T(from);
            if constexpr (requires(const T& t) { t.CopyFailed(); }) {
                if (h->fData->CopyFailed()) {
                    h->Destroy();
                    return nullptr;
                }
            }
            return h;
        }
        void Destroy() {
            if (fInline)
                fData->~T();
            else
                delete fData;
            this->~Holder();
            ::operator delete(static_cast<void*>(this));
        }
    };

    static void Retain(Holder* h) {
        if (h) h->fCount.fetch_add(1, std::memory_order_relaxed);
    }
    static void Release(Holder* h) {
        if (h && h->fCount.fetch_sub(1, std::memory_order_acq_rel) == 1) h->Destroy();
    }

    // Written by a const reader only through SharedRefData.
    mutable Holder* fPtr;
};
