// Allocator back-end over the process heap.
#pragma once

#include "lumo/allocator.h"

// Allocates with malloc; the traced forms put a CL_TraceInfo record in front of the block.
// No state of its own: any thread.
class CL_MallocAllocator : public CL_Allocator {
public:
    void* Alloc(uint64 size) override;
    void* Alloc(uint64 size, const char* file, int32 line) override;
    void* Realloc(void* ptr, uint64 size) override;
    void* Realloc(void* ptr, uint64 size, const char* file, int32 line) override;
    void Free(void* ptr) override;
    ~CL_MallocAllocator() override;
};
