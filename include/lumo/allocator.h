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

// Memory that many copy-on-write storages share and that is given back whole: the arena
// a table or list read from flattened data lives in. Its storages count their handles as
// any storage does, so copies share and un-share as usual (a storage in an arena is
// never changed in place: the first change copies it to the heap). Handles that live in
// the arena's own memory are inner handles; every other handle to a storage below the
// root also holds a count on the arena, so that the arena knows when nothing outside
// the root's handles reaches into it. When the root's last handle goes and nothing else
// reaches in, and nothing inside took memory of its own since it was built (see
// MarkDirty), the arena is given back without visiting its storages; otherwise the
// storages are destroyed one by one and the memory goes with the last of them.
// Counts are atomic: handles into one arena may be copied and dropped on any thread.
class CL_StorageArena {
public:
    CL_StorageArena(const CL_StorageArena&) = delete;
    CL_StorageArena& operator=(const CL_StorageArena&) = delete;

    void AddRef() { fRefs.fetch_add(1, std::memory_order_relaxed); }
    // The caller touches nothing in the arena afterwards.
    void Release() {
        if (fRefs.fetch_sub(1, std::memory_order_acq_rel) == 1) fFree(this);
    }
    // Something in the arena's memory now owns memory or counts of its own: the arena's
    // storages must be destroyed one by one.
    void MarkDirty() { fDirty.store(true, std::memory_order_relaxed); }
    bool IsDirty() const { return fDirty.load(std::memory_order_acquire); }
    // Only the root's handles reach into the arena and nothing inside owns anything the
    // arena does not know of; read after the root's last handle went.
    bool Pristine() const {
        return !fDirty.load(std::memory_order_acquire) &&
               fRefs.load(std::memory_order_acquire) == 1;
    }
    // Gives the arena back at once (its owner's rule for what inside needs destroying).
    void Free() { fFree(this); }

protected:
    // Starts with the count that the root's handles hold together.
    explicit CL_StorageArena(void (*free)(CL_StorageArena*))
        : fRefs(1), fDirty(false), fFree(free) {}
    ~CL_StorageArena() = default;

private:
    std::atomic<uint32> fRefs;
    std::atomic<bool> fDirty;
    void (*fFree)(CL_StorageArena*);
};

// Copy-on-write handle: copies share one storage; the first change through a
// handle whose storage is shared makes a deep copy of it. A handle without a storage
// reads as the default-constructed T; reading never allocates.
// Threads: one handle is not to be used from several threads at once unless all of
// them only read; distinct handles sharing a storage may be used from different
// threads (the count is atomic and a writer copies the storage before changing it).
// A T whose copy constructor can run out of memory says so with `bool CopyFailed()
// const`; the handle then drops that copy.
// A storage may also live in a CL_StorageArena (PlaceInArena); the handle then keeps
// the arena's rules above, and a change always copies the storage to the heap.
template <class T>
class CL_RefCounted {
    struct Holder;

public:
    CL_RefCounted() : fPtr(nullptr) {}
    // Takes ownership of p (null: no storage, and nothing owned when the count record
    // cannot be allocated; p is then deleted).
    explicit CL_RefCounted(T* p) : fPtr(p ? Holder::Adopt(p) : nullptr) {}
    CL_RefCounted(const CL_RefCounted& other) : fPtr(Plain(other.fPtr)) { Retain(fPtr); }
    CL_RefCounted(CL_RefCounted&& other) noexcept : fPtr(TakeFrom(other)) {}
    ~CL_RefCounted() { Release(fPtr); }

    CL_RefCounted& operator=(const CL_RefCounted& other) {
        Holder* h = Plain(other.fPtr);
        Retain(h);
        Replace(h);
        return *this;
    }
    CL_RefCounted& operator=(CL_RefCounted&& other) noexcept {
        if (this != &other) Replace(TakeFrom(other));
        return *this;
    }

    // The storage to read; without one, a shared default-constructed T that must not
    // be changed. Never allocates.
    const T* GetRefData() const {
        Holder* h = Plain(fPtr);
        return h ? h->fData : &Empty();
    }
    // The storage to change, made this handle's own first (a deep copy when shared or
    // in an arena, a new T when there is none). Null when that needs memory that cannot
    // be had; the handle is then unchanged.
    T* ModifyRefData() { return CopyOnWrite() ? Plain(fPtr)->fData : nullptr; }
    // The storage all copies of this handle share, created on first use and never
    // copied: for handles whose copies share state on purpose. Null when it cannot be
    // created.
    T* SharedRefData() const {
        if (!fPtr) fPtr = Holder::MakeEmpty();
        return fPtr ? Plain(fPtr)->fData : nullptr;
    }
    // Takes ownership of p, as the constructor does.
    void SetRefData(T* p) { Replace(p ? Holder::Adopt(p) : nullptr); }
    // Replaces the storage by a new one made as T(room, extra), where `room` is `extra`
    // bytes (pointer-aligned) that follow it in the same block, so that one heap block
    // holds the count, the storage and, say, its item array.
    T* ResetWithRoom(size_t extra) {
        Holder* h = Holder::MakeWithRoom(extra);
        if (!h) return nullptr;  // out of memory: the handle keeps its storage
        Replace(h);
        return h->fData;
    }
    // Makes the storage this handle's own; false (handle unchanged) when out of memory.
    bool CopyOnWrite() {
        Holder* h = Plain(fPtr);
        if (h && h->fKind == kHeap && h->fCount.load(std::memory_order_acquire) == 1) return true;
        Holder* made = h ? Holder::MakeCopy(*h->fData) : Holder::MakeEmpty();
        if (!made) return false;
        Replace(made);
        return true;
    }
    // The storage, or null when there is none; for readers that go without Empty().
    const T* PeekRefData() const {
        Holder* h = Plain(fPtr);
        return h ? h->fData : nullptr;
    }
    // Asks the processor for the storage's first bytes ahead of use.
    void Prefetch() const {
        if (Holder* h = Plain(fPtr)) {
            __builtin_prefetch(h);
            __builtin_prefetch(reinterpret_cast<const char*>(h) + 64);
        }
    }
    uint32 GetRefCount() const {
        Holder* h = Plain(fPtr);
        return h ? h->fCount.load(std::memory_order_acquire) : 0;
    }
    bool IsValid() const { return fPtr != nullptr; }

    // Arena memory for one storage (PlaceInArena), pointer-aligned.
    static constexpr size_t ArenaBytes() {
        return sizeof(ArenaHolder) + PadAfter(sizeof(ArenaHolder)) + sizeof(T);
    }
    // Builds a default T in `block` (ArenaBytes() of `arena`'s memory) and hands it to
    // this handle, which must have no storage: as the arena's root (the handle is then
    // one of the root's handles) or as a handle that itself lives in the arena's memory.
    // The storage is destroyed, memory left, when its last handle goes; its T must leave
    // alone the memory of the arena it holds.
    T* PlaceInArena(void* block, CL_StorageArena* arena, bool root) {
        ArenaHolder* h = ::new (block) ArenaHolder(root ? kArenaRoot : kArenaInner, arena);
        char* slot =
            reinterpret_cast<char*>(h) + sizeof(ArenaHolder) + PadAfter(sizeof(ArenaHolder));
        h->fData = ::new (static_cast<void*>(slot)) T();
        fPtr = root ? h : Inner(h);
        return h->fData;
    }
    // Makes this handle, which must have no storage and live in the memory of the arena
    // of `other` (an arena handle), share the storage of `other`.
    void ShareInArena(const CL_RefCounted& other) {
        Holder* h = Plain(other.fPtr);
        h->fCount.fetch_add(1, std::memory_order_relaxed);
        fPtr = Inner(h);
    }
    // The arena of the storage, or null for a heap storage or none.
    CL_StorageArena* GetArena() const {
        Holder* h = Plain(fPtr);
        return h && h->fKind != kHeap ? static_cast<ArenaHolder*>(h)->fArena : nullptr;
    }

private:
    static constexpr uint32 kHeap = 0;
    static constexpr uint32 kArenaRoot = 1;
    static constexpr uint32 kArenaInner = 2;

    // Built once, in static storage, and never destroyed: it serves every empty handle,
    // also from static destructors.
    static const T& Empty() {
        alignas(T) static unsigned char sBytes[sizeof(T)];
        static const T* sEmpty = ::new (static_cast<void*>(sBytes)) T();
        return *sEmpty;
    }

    // A storage made here lives in one block with its count; one handed over as a
    // pointer is owned separately and freed with delete. One in an arena has the
    // arena's address after the record.
    struct Holder {
        T* fData;
        std::atomic<uint32> fCount;
        uint32 fBytes : 29;  // size of the block, for the block cache
        uint32 fInline : 1;
        uint32 fKind : 2;

        Holder(T* p, bool isInline, uint32 bytes, uint32 kind)
            : fData(p), fCount(1), fBytes(bytes), fInline(isInline), fKind(kind) {}

        static Holder* Allocate(size_t extra, T* p, bool isInline) {
            const size_t bytes = sizeof(Holder) + extra;
            if (bytes >= (1u << 29)) return nullptr;
            void* block = CL_CachedAlloc(bytes);
            return block ? ::new (block) Holder(p, isInline, static_cast<uint32>(bytes), kHeap)
                         : nullptr;
        }
        static Holder* Adopt(T* p) {
            Holder* h = Allocate(0, p, false);
            if (!h) delete p;
            return h;
        }
        static constexpr size_t Padding() { return PadAfter(sizeof(Holder)); }
        void* Slot() { return reinterpret_cast<char*>(this) + sizeof(Holder) + Padding(); }
        static Holder* MakeEmpty() {
            Holder* h = Allocate(Padding() + sizeof(T), nullptr, true);
            if (h) h->fData = ::new (h->Slot()) T();
            return h;
        }
        static Holder* MakeWithRoom(size_t extra) {
            constexpr size_t kRoomAlign = alignof(void*);
            const size_t roomOffset = (sizeof(T) + kRoomAlign - 1) / kRoomAlign * kRoomAlign;
            Holder* h = Allocate(Padding() + roomOffset + extra, nullptr, true);
            if (!h) return nullptr;
            void* room = static_cast<char*>(h->Slot()) + roomOffset;
            h->fData = ::new (h->Slot()) T(room, extra);
            return h;
        }
        static Holder* MakeCopy(const T& from) {
            Holder* h = Allocate(Padding() + sizeof(T), nullptr, true);
            if (!h) return nullptr;
            h->fData = ::new (h->Slot()) T(from);
            if constexpr (requires(const T& t) { t.CopyFailed(); }) {
                if (h->fData->CopyFailed()) {
                    h->fData->~T();
                    const uint32 bytes = h->fBytes;
                    h->~Holder();
                    CL_CachedFree(static_cast<void*>(h), bytes);
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
            const uint32 bytes = fBytes;
            this->~Holder();
            CL_CachedFree(static_cast<void*>(this), bytes);
        }
    };
    struct ArenaHolder : Holder {
        ArenaHolder(uint32 kind, CL_StorageArena* arena)
            : Holder(nullptr, true, 0, kind), fArena(arena) {}
        CL_StorageArena* fArena;
    };
    // Bytes that align a T placed `head` bytes into a block.
    static constexpr size_t PadAfter(size_t head) {
        return (alignof(T) - head % alignof(T)) % alignof(T);
    }
    static_assert(sizeof(ArenaHolder) % alignof(void*) == 0 &&
                  sizeof(Holder) <= sizeof(ArenaHolder));

    // An inner handle's pointer carries a mark in its lowest bit.
    static bool IsInner(Holder* p) { return (reinterpret_cast<uintptr_t>(p) & 1) != 0; }
    static Holder* Plain(Holder* p) {
        return reinterpret_cast<Holder*>(reinterpret_cast<uintptr_t>(p) & ~uintptr_t(1));
    }
    static Holder* Inner(Holder* p) {
        return reinterpret_cast<Holder*>(reinterpret_cast<uintptr_t>(p) | 1);
    }
    static CL_StorageArena* ArenaOf(Holder* h) { return static_cast<ArenaHolder*>(h)->fArena; }

    // A new handle outside the arena's inner places shares h.
    static void Retain(Holder* h) {
        if (!h) return;
        h->fCount.fetch_add(1, std::memory_order_relaxed);
        if (h->fKind == kArenaInner) ArenaOf(h)->AddRef();
    }
    // The pointer of `other`, which lets go of it; an inner handle's count moves to a
    // handle that counts on the arena, and its place goes vacant (see Replace).
    static Holder* TakeFrom(CL_RefCounted& other) {
        Holder* p = other.fPtr;
        other.fPtr = nullptr;
        if (!IsInner(p)) return p;
        p = Plain(p);
        CL_StorageArena* arena = ArenaOf(p);
        arena->AddRef();
        arena->MarkDirty();
        return p;
    }
    // Takes `h` (already counted) in place of the current storage. An inner place that
    // lets go of its storage makes its arena dirty, whatever it takes instead: once it
    // holds a heap storage, or none, nothing tells that it lives in the arena, and a
    // later change (the storage a Clear or a first Append makes, a copy for Shrink) puts
    // memory there that only a destroying walk of the arena finds.
    void Replace(Holder* h) {
        Holder* old = fPtr;
        fPtr = h;
        if (IsInner(old)) ArenaOf(Plain(old))->MarkDirty();
        Release(old);
    }
    static void Release(Holder* p) {
        if (!p) return;
        Holder* h = Plain(p);
        if (h->fKind == kHeap) {
            if (h->fCount.fetch_sub(1, std::memory_order_acq_rel) == 1) h->Destroy();
            return;
        }
        CL_StorageArena* arena = ArenaOf(h);
        if (h->fKind == kArenaRoot) {
            if (h->fCount.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
            if (arena->Pristine()) {
                arena->Free();
                return;
            }
            h->fData->~T();
            arena->Release();
            return;
        }
        if (h->fCount.fetch_sub(1, std::memory_order_acq_rel) == 1) h->fData->~T();
        if (!IsInner(p)) arena->Release();
    }

    // Written by a const reader only through SharedRefData.
    mutable Holder* fPtr;
};
