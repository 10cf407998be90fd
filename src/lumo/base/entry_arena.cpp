// The arena of values read from flattened data: blocks, the pool of standard blocks,
// texts kept in the arena and the whole-arena release.
#include "lumo/base/entry_arena.h"

#include <sanitizer/asan_interface.h>

#include <cstdlib>
#include <cstring>

#include "lumo/thread.h"

namespace {

constinit CL_Mutex gPoolLock;

struct Pool {
    void* fHead CL_GUARDED_BY(gPoolLock) = nullptr;
    uint32 fCount CL_GUARDED_BY(gPoolLock) = 0;
};
constinit Pool gPool;

}  // namespace

bool CLU_Arena::LayingWorks() {
    static const bool works = [] {
        static const char kText[] = "bytes that no string of its own holds";
        alignas(std::string) static unsigned char raw[sizeof(std::string)];
        const size_t n = sizeof kText - 1;
        const std::string* s = Lay(raw, kText, n);
        return s && s->data() == kText && s->size() == n && s->c_str() == kText &&
               s->capacity() == n && std::string_view(*s) == std::string_view(kText, n);
    }();
    return works;
}

CLU_Arena::CLU_Arena()
    : CL_StorageArena(&CLU_Arena::Give),
      fCursor(nullptr),
      fLimit(nullptr),
      fLays(LayingWorks()),
      fBlockStart(nullptr),
      fFirst(nullptr),
      fBlocks(nullptr),
      fEntries{nullptr, 0, 0},
      fKeys{nullptr, 0, 0} {}

CLU_Arena* CLU_Arena::Create(size_t expected) {
    // Values take about six times their flattened size; a small reply gets a small block.
    size_t want = sizeof(Block) + sizeof(CLU_Arena) + 256;
    want += expected > kBlockBytes ? kBlockBytes : expected * 8;
    Block* block = TakeBlock(want >= kBlockBytes / 2 ? kBlockBytes : (want + 63) & ~size_t(63));
    if (!block) return nullptr;
    char* start = reinterpret_cast<char*>(block);
    CLU_Arena* arena = ::new (static_cast<void*>(start + sizeof(Block))) CLU_Arena();
    block->fArena = arena;
    arena->fFirst = block;
    arena->fBlockStart = start;
    arena->fCursor = start + sizeof(Block) + ((sizeof(CLU_Arena) + 7) & ~size_t(7));
    arena->fLimit = start + block->fBytes;
    return arena;
}

CLU_Arena::Block* CLU_Arena::TakeBlock(size_t bytes) {
    if (bytes == kBlockBytes) {
        CL_AutoLocker guard(gPoolLock);
        if (void* head = gPool.fHead) {
            Block* block = static_cast<Block*>(head);
            gPool.fHead = block->fNext;
            gPool.fCount--;
            ASAN_UNPOISON_MEMORY_REGION(block + 1, kBlockBytes - sizeof(Block));
            block->fNext = nullptr;
            return block;
        }
    }
    void* memory = malloc(bytes);
    if (!memory) return nullptr;
    return ::new (memory) Block{nullptr, nullptr, bytes, 0};
}

void CLU_Arena::DropBlock(Block* block) {
    if (block->fBytes == kBlockBytes) {
        CL_AutoLocker guard(gPoolLock);
        if (gPool.fCount < kPooledBlocksMax) {
            block->fNext = static_cast<Block*>(gPool.fHead);
            gPool.fHead = block;
            gPool.fCount++;
            // What still reads a value given back with its arena reads freed memory.
            ASAN_POISON_MEMORY_REGION(block + 1, kBlockBytes - sizeof(Block));
            return;
        }
    }
    free(block);
}

void CLU_Arena::ReleaseCachedBlocks() {
    void* head;
    {
        CL_AutoLocker guard(gPoolLock);
        head = gPool.fHead;
        gPool.fHead = nullptr;
        gPool.fCount = 0;
    }
    while (head) {
        Block* block = static_cast<Block*>(head);
        head = block->fNext;
        ASAN_UNPOISON_MEMORY_REGION(block + 1, kBlockBytes - sizeof(Block));
        free(block);
    }
}

uint32 CLU_Arena::PooledBlocks() {
    CL_AutoLocker guard(gPoolLock);
    return gPool.fCount;
}

bool CLU_Arena::NewBlock(size_t bytes) {
    if (bytes > kBlockBytes - sizeof(Block)) return false;
    Block* block = TakeBlock(kBlockBytes);
    if (!block) return false;
    block->fArena = this;
    block->fNext = fBlocks;
    fBlocks = block;
    fBlockStart = reinterpret_cast<char*>(block);
    fCursor = fBlockStart + sizeof(Block);
    fLimit = fBlockStart + kBlockBytes;
    return true;
}

void* CLU_Arena::AllocSlow(size_t bytes) {
    if (bytes > kBlockBytes / 4) {
        // A block of its own, outside the run of standard blocks: entries never go there.
        if (bytes > SIZE_MAX - sizeof(Block)) return nullptr;
        Block* block = TakeBlock(sizeof(Block) + bytes);
        if (!block) return nullptr;
        block->fArena = this;
        block->fNext = fBlocks;
        fBlocks = block;
        return reinterpret_cast<char*>(block) + sizeof(Block);
    }
    if (!NewBlock(bytes)) return nullptr;
    void* p = fCursor;
    fCursor += bytes;
    return p;
}

bool CLU_Arena::Keep(Kept& list, void* item) {
    if (list.fCount == list.fCapacity) {
        uint32 capacity = list.fCapacity ? list.fCapacity * 2 : 16;
        void** items = static_cast<void**>(Alloc(capacity * sizeof(void*)));
        if (!items) return false;
        if (list.fCount) memcpy(items, list.fItems, list.fCount * sizeof(void*));
        list.fItems = items;
        list.fCapacity = capacity;
    }
    list.fItems[list.fCount++] = item;
    return true;
}

bool CLU_Arena::KeepForDestruction(CLU_Entry* e) {
    return Keep(fEntries, e);
}

bool CLU_Arena::SetOwnText(CLU_Entry& e, const char* text, size_t n) {
    // Where strings cannot be laid over the arena's bytes, texts are strings of their own.
    if (!KeepForDestruction(&e)) return false;
    ::new (&e.fString) std::string(text, n);
    e.fType = CLU_TEXT;
    return true;
}

bool CLU_Arena::SetKey(std::string& key, const char* text, size_t n) {
    if (n <= kLocalChars) {
        key.assign(text, n);
        return true;
    }
    char* bytes = static_cast<char*>(Alloc(n + 1));
    if (!bytes) return false;
    memcpy(bytes, text, n);
    bytes[n] = 0;
    if (fLays) {
        Lay(&key, bytes, n);
        return true;
    }
    if (!Keep(fKeys, &key)) return false;
    key.assign(text, n);
    return true;
}

void CLU_Arena::Give(CL_StorageArena* base) {
    CLU_Arena* arena = static_cast<CLU_Arena*>(base);
    for (uint32 i = 0; i < arena->fEntries.fCount; i++)
        static_cast<CLU_Entry*>(arena->fEntries.fItems[i])->Destroy();
    for (uint32 i = 0; i < arena->fKeys.fCount; i++)
        static_cast<std::string*>(arena->fKeys.fItems[i])->~basic_string();
    Block* block = arena->fBlocks;
    while (block) {
        Block* next = block->fNext;
        DropBlock(block);
        block = next;
    }
    Block* first = arena->fFirst;
    arena->~CLU_Arena();
    DropBlock(first);
}
