#include "lumo/allocator.h"

#include <cstring>
#include <mutex>

#include "lumo/malloc_allocator.h"
#include "lumo/thread.h"

// ---- Per-thread block cache ---------------------------------------------------

namespace {

constexpr size_t kBlockClasses = kCachedBlockMax / 16;
// Blocks kept per class and thread: enough for the storages of a large result set.
constexpr uint32 kBlocksPerClass = 1u << 15;

struct FreeBlock {
    FreeBlock* fNext;
};

// Plain data, usable until the thread's last destructor has run.
struct BlockCache {
    FreeBlock* fHead[kBlockClasses];
    uint32 fCount[kBlockClasses];
    bool fClosed;
};
thread_local BlockCache tBlocks = {};

void DrainBlocks() {
    for (size_t c = 0; c < kBlockClasses; c++) {
        while (FreeBlock* block = tBlocks.fHead[c]) {
            tBlocks.fHead[c] = block->fNext;
            free(block);
        }
        tBlocks.fCount[c] = 0;
    }
}

// Empties the cache when the thread ends; later frees go straight to the heap.
struct BlockCacheCloser {
    bool fArmed = false;
    ~BlockCacheCloser() {
        DrainBlocks();
        tBlocks.fClosed = true;
    }
};
thread_local BlockCacheCloser tBlockCloser;

inline size_t ClassOf(size_t size) {
    return (size - 1) / 16;
}

}  // namespace

void* CL_CachedAlloc(size_t size) {
    if (size == 0) size = 1;
    if (size > kCachedBlockMax) return malloc(size);
    const size_t c = ClassOf(size);
    if (FreeBlock* block = tBlocks.fHead[c]) {
        tBlocks.fHead[c] = block->fNext;
        tBlocks.fCount[c]--;
        return block;
    }
    // Whole classes, so that any block of the class can serve any size in it.
    return malloc((c + 1) * 16);
}

void CL_CachedFree(void* block, size_t size) {
    if (!block) return;
    if (size == 0) size = 1;
    if (size > kCachedBlockMax || tBlocks.fClosed) {
        free(block);
        return;
    }
    const size_t c = ClassOf(size);
    if (tBlocks.fCount[c] >= kBlocksPerClass) {
        free(block);
        return;
    }
    if (!tBlockCloser.fArmed) tBlockCloser.fArmed = true;  // registers the closer
    FreeBlock* free_block = static_cast<FreeBlock*>(block);
    free_block->fNext = tBlocks.fHead[c];
    tBlocks.fHead[c] = free_block;
    tBlocks.fCount[c]++;
}

void CL_ClearBlockCache() {
    DrainBlocks();
}

// The allocator mutex: constant-initialised, so it is usable by allocators built
// from other files' static initialisers, and destroyed at process exit.
static constinit CL_Mutex gLock;

CL_Mutex* CL_Allocator::sLock = nullptr;

CL_Allocator::CL_Allocator() {
    sLock = &gLock;
}
CL_Allocator::~CL_Allocator() {}

void* CL_Allocator::Alloc(uint64) {
    return nullptr;
}
void* CL_Allocator::Alloc(uint64, const char*, int32) {
    return nullptr;
}
void* CL_Allocator::Realloc(void*, uint64) {
    return nullptr;
}
void* CL_Allocator::Realloc(void*, uint64, const char*, int32) {
    return nullptr;
}
void CL_Allocator::Free(void*) {}

// No list of traced blocks is kept: the records only carry the request's origin.
void CL_Allocator::Trace(CL_TraceInfo* info, uint64 size, const char* file, int32 line) {
    (void)info;
    (void)size;
    (void)file;
    (void)line;
}
void CL_Allocator::Untrace(CL_TraceInfo*) {}
void CL_Allocator::Dump(DPrintf) {}

CL_Allocator& CL_Allocator::GetSingleton() {
    static CL_MallocAllocator sSingleton;
    return sSingleton;
}

CL_MallocAllocator::~CL_MallocAllocator() {}

void* CL_MallocAllocator::Alloc(uint64 size) {
    return malloc(size);
}
void* CL_MallocAllocator::Realloc(void* ptr, uint64 size) {
    return realloc(ptr, size);
}
void CL_MallocAllocator::Free(void* ptr) {
    free(ptr);
}

void* CL_MallocAllocator::Alloc(uint64 size, const char* file, int32 line) {
    if (size > UINT64_MAX - sizeof(CL_TraceInfo)) return nullptr;
    auto* info = static_cast<CL_TraceInfo*>(malloc(size + sizeof(CL_TraceInfo)));
    if (!info) return nullptr;
    Trace(info, size, file, line);
    return info + 1;
}

void* CL_MallocAllocator::Realloc(void* ptr, uint64 size, const char* file, int32 line) {
    if (!ptr) return Alloc(size, file, line);
    if (size > UINT64_MAX - sizeof(CL_TraceInfo)) return nullptr;
    CL_TraceInfo* old = static_cast<CL_TraceInfo*>(ptr) - 1;
    Untrace(old);
    auto* info = static_cast<CL_TraceInfo*>(realloc(old, size + sizeof(CL_TraceInfo)));
    if (!info) return nullptr;
    Trace(info, size, file, line);
    return info + 1;
}
