#include "lumo/allocator.h"

#include <cstring>
#include <mutex>

#include "lumo/malloc_allocator.h"
#include "lumo/thread.h"

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
