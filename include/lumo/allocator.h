// Root object of the library's value classes, the allocator interface and the
// copy-on-write handle over shared, reference-counted storages.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>
#include <utility>

#include "lumo/base_types.h"

class CL_Mutex;

// Root of the library's value classes: allocation goes straight to the process heap.
// The operators are noexcept so that a new-expression checks the result: when the heap
// is exhausted it yields null instead of constructing the object at address 0.
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
struct CL_TraceInfo {
    int32 fSize;
    char fFile[32];
    int32 fLine;
    CL_TraceInfo* fPrev;
    CL_TraceInfo* fNext;
};
static_assert(sizeof(CL_TraceInfo) == 56, "trace record layout");

typedef int (*DPrintf)(const char* format, ...);

// Allocator interface; the base class allocates nothing.
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

    static CL_Mutex* sLock;

protected:
    void Trace(CL_TraceInfo* info, uint64 size, const char* file, int32 line);
    void Untrace(CL_TraceInfo* info);
};

// Small blocks through a per-thread cache of freed blocks, one list per 16-byte size
// class up to kCachedBlockMax bytes: reading and dropping large values frees and makes
// storages by the ten thousand. Every block is an ordinary heap block, so a block freed
// by another thread than the one that made it only joins that thread's cache. `size`
// must be the same at both calls. Null when the heap is exhausted.
constexpr size_t kCachedBlockMax = 512;
void* CL_CachedAlloc(size_t size);
void CL_CachedFree(void* block, size_t size);
// Gives the calling thread's cached blocks back to the heap (also done when it ends).
void CL_ClearBlockCache();

// Copy-on-write handle: copies share one storage; the first change through a
// handle whose storage is shared makes a deep copy of it.
template <class T>
class CL_RefCounted {
public:
    CL_RefCounted() : fPtr(nullptr) {}
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

    const T* GetRefData() const {
        EnsureRef();
        return fPtr->fData;
    }
    T* ModifyRefData() {
        CopyOnWrite();
        return fPtr->fData;
    }
    void SetRefData(T* p) {
        Holder* old = fPtr;
        fPtr = p ? Holder::Adopt(p) : nullptr;
        Release(old);
    }
    // Replaces the storage by a new one made as T(room, extra), where `room` is `extra`
    // bytes (pointer-aligned) that follow it in the same block, so that one heap block
    // holds the count, the storage and, say, its item array.
    T* ResetWithRoom(size_t extra) {
        Holder* h = Holder::MakeWithRoom(extra);
        Holder* old = fPtr;
        fPtr = h;
        Release(old);
        return h->fData;
    }
    void CopyOnWrite() {
        uint32 count = fPtr ? fPtr->fCount.load(std::memory_order_acquire) : 0;
        if (count == 1) return;
        Holder* old = fPtr;
        fPtr = count == 0 ? Holder::MakeEmpty() : Holder::MakeCopy(*old->fData);
        Release(old);
    }
    uint32 GetRefCount() const { return fPtr ? fPtr->fCount.load(std::memory_order_acquire) : 0; }
    bool IsValid() const { return fPtr != nullptr; }

protected:
    void EnsureRef() const {
        if (fPtr) return;
        fPtr = Holder::MakeEmpty();
    }

private:
    // A storage made here lives in one block with its count; one handed over as a
    // pointer is owned separately and freed with delete.
    struct Holder {
        std::atomic<uint32> fCount;
        bool fInline;
        uint32 fBytes;  // size of the block, for the block cache
        T* fData;

        Holder(T* p, bool isInline, uint32 bytes)
            : fCount(1), fInline(isInline), fBytes(bytes), fData(p) {}

        static Holder* Allocate(size_t extra, T* p, bool isInline) {
            const size_t bytes = sizeof(Holder) + extra;
            if (bytes > 0xFFFFFFFFu) throw std::bad_alloc();
            void* block = CL_CachedAlloc(bytes);
            if (!block) throw std::bad_alloc();
            return ::new (block) Holder(p, isInline, static_cast<uint32>(bytes));
        }
        static Holder* Adopt(T* p) { return Allocate(0, p, false); }
        static constexpr size_t Padding() {
            return (alignof(T) - sizeof(Holder) % alignof(T)) % alignof(T);
        }
        void* Slot() { return reinterpret_cast<char*>(this) + sizeof(Holder) + Padding(); }
        static Holder* MakeEmpty() {
            Holder* h = Allocate(Padding() + sizeof(T), nullptr, true);
            h->fData = ::new (h->Slot()) T();
            return h;
        }
        static Holder* MakeWithRoom(size_t extra) {
            constexpr size_t kRoomAlign = alignof(void*);
            const size_t roomOffset = (sizeof(T) + kRoomAlign - 1) / kRoomAlign * kRoomAlign;
            Holder* h = Allocate(Padding() + roomOffset + extra, nullptr, true);
            void* room = static_cast<char*>(h->Slot()) + roomOffset;
            h->fData = ::new (h->Slot()) T(room, extra);
            return h;
        }
        static Holder* MakeCopy(const T& from) {
            Holder* h = Allocate(Padding() + sizeof(T), nullptr, true);
            h->fData = ::new (h->Slot()) T(from);
            return h;
        }
        void Destroy() {
            if (fInline)
                fData->~T();
            else
                delete fData;
            const uint32 bytes = fBytes;
            this->~Holder();
            CL_CachedFree(static_cast<void*>(this), bytes);
        }
    };

    static void Retain(Holder* h) {
        if (h) h->fCount.fetch_add(1, std::memory_order_relaxed);
    }
    static void Release(Holder* h) {
        if (h && h->fCount.fetch_sub(1, std::memory_order_acq_rel) == 1) h->Destroy();
    }

    mutable Holder* fPtr;
};
