// The arena of a table or list read from flattened data: its entries, storages, item
// arrays, key indexes and longer texts come from a few large blocks that are given back
// whole, and texts keep their bytes there behind an ordinary std::string.
#pragma once

#include <cstring>
#include <string>

#include "lumo/allocator.h"
#include "lumo/entry.h"

// Built by one reader on one thread; afterwards only its counts change, from any thread
// (see CL_StorageArena). Blocks of the standard size go to a process-wide pool when an
// arena is given back, so that a reply read after another reuses warm memory.
class CLU_Arena : public CL_StorageArena {
public:
    // A new arena for about `expected` bytes of flattened data; null when out of memory.
    static CLU_Arena* Create(size_t expected);

    // `bytes` of memory, 8-aligned, or null when out of memory.
    void* Alloc(size_t bytes) {
        bytes = (bytes + 7) & ~static_cast<size_t>(7);
        if (static_cast<size_t>(fLimit - fCursor) >= bytes) {
            void* p = fCursor;
            fCursor += bytes;
            return p;
        }
        return AllocSlow(bytes);
    }
    // A NULL entry that lives in the arena, or null when out of memory.
    CLU_Entry* NewEntry() {
        uint32 place;
        uint32 count = 1;
        CLU_Entry* e = NewEntries(&count, &place);
        if (!e) return nullptr;
        ::new (static_cast<void*>(e)) CLU_Entry();
        e->fPlace = place;
        return e;
    }
    // Room for `*count` entries in a row (fewer when the block ends first: `*count` says
    // how many), not yet constructed; the first one's fPlace is `*place` and each next
    // one's kEntryPlaceStep more. Null when out of memory.
    CLU_Entry* NewEntries(uint32* count, uint32* place) {
        size_t room = static_cast<size_t>(fLimit - fCursor) / sizeof(CLU_Entry);
        if (__builtin_expect(room == 0, 0)) {
            if (!NewBlock(sizeof(CLU_Entry))) return nullptr;
            room = static_cast<size_t>(fLimit - fCursor) / sizeof(CLU_Entry);
        }
        if (*count > room) *count = static_cast<uint32>(room);
        char* p = fCursor;
        fCursor += static_cast<size_t>(*count) * sizeof(CLU_Entry);
        *place = CLU_Entry::kInArena | static_cast<uint32>((p - fBlockStart) >> 3)
                                           << CLU_Entry::kPlaceShift;
        return reinterpret_cast<CLU_Entry*>(p);
    }
    static constexpr uint32 kEntryPlaceStep = (sizeof(CLU_Entry) / 8) << CLU_Entry::kPlaceShift;

    // Makes `e`, a NULL entry of this arena, a text of the `n` bytes at `text`, keeping
    // the bytes in the arena when they do not fit a string's own room. False when out of
    // memory (`e` is then NULL).
    bool SetText(CLU_Entry& e, const char* text, size_t n) {
        if (n <= kLocalChars) {
            ::new (&e.fString) std::string(text, n);
            e.fType = CLU_TEXT;
            return true;
        }
        if (!fLays) return SetOwnText(e, text, n);
        char* bytes = static_cast<char*>(Alloc(n + 1));
        if (!bytes) return false;
        memcpy(bytes, text, n);
        bytes[n] = 0;
        Lay(&e.fString, bytes, n);
        e.fPlace |= CLU_Entry::kBorrowedText;
        e.fType = CLU_TEXT;
        return true;
    }
    // Makes `key`, an empty string in the arena's memory (a table node's key), hold the
    // bytes of `text`, kept the same way. False when out of memory.
    bool SetKey(std::string& key, const char* text, size_t n);
    // The value of `e`, an entry of this arena, has a destructor to run when the arena
    // is given back whole. False when out of memory.
    bool KeepForDestruction(CLU_Entry* e);

    // The arena an arena entry lives in.
    static CLU_Arena* Of(const CLU_Entry* e) {
        const char* block = reinterpret_cast<const char*>(e) -
                            (static_cast<size_t>(e->fPlace >> CLU_Entry::kPlaceShift) << 3);
        return reinterpret_cast<const Block*>(block)->fArena;
    }
    // Makes *where, raw memory, a std::string over the `n` bytes at `bytes` (followed by a
    // NUL) that never frees or changes them: the caller keeps it from being destroyed,
    // moved from or changed in place. Null where the standard library's string cannot
    // be laid over foreign bytes; the caller then copies.
    static std::string* LayString(void* where, const char* bytes, size_t n) {
        return LayingWorks() ? Lay(where, bytes, n) : nullptr;
    }
    // Gives the pooled blocks back to the heap (they are kept to process exit otherwise).
    static void ReleaseCachedBlocks();
    // Standard blocks the pool keeps now.
    static uint32 PooledBlocks();

    // Standard block size; larger requests get a block of their own.
    static constexpr size_t kBlockBytes = 64 * 1024;
    // Standard blocks kept for reuse across the process (16 MB at most): a reply read
    // after another finds its memory ready, on whatever thread the last one was given back.
    static constexpr uint32 kPooledBlocksMax = 256;

private:
    struct Block {
        Block* fNext;
        CLU_Arena* fArena;
        size_t fBytes;
        size_t fPad;
    };
    // Destructions left to do when the arena is given back: entries and keys whose
    // memory is their own.
    struct Kept {
        void** fItems;
        uint32 fCount;
        uint32 fCapacity;
    };

#if defined(__GLIBCXX__) && _GLIBCXX_USE_CXX11_ABI
    // Texts up to this long live in the string's own room.
    static constexpr size_t kLocalChars = 15;
    // The library's string: pointer, length, then the capacity where its own room would
    // be; one that does not point at its own room frees its bytes when destroyed.
    static std::string* Lay(void* where, const char* bytes, size_t n) {
        std::string* s = ::new (where) std::string();
        struct Rep {
            const char* fData;
            size_t fSize;
            size_t fCapacity;
        } rep{bytes, n, n};
        static_assert(sizeof(Rep) <= sizeof(std::string), "string layout");
        memcpy(static_cast<void*>(s), &rep, sizeof rep);
        return s;
    }
#else
    static constexpr size_t kLocalChars = 0;
    static std::string* Lay(void*, const char*, size_t) {
        return nullptr;
    }
#endif
    // Checked once against the library actually linked.
    static bool LayingWorks();

    CLU_Arena();
    bool SetOwnText(CLU_Entry& e, const char* text, size_t n);
    void* AllocSlow(size_t bytes);
    bool NewBlock(size_t bytes);
    bool Keep(Kept& list, void* item);
    static void Give(CL_StorageArena* arena);
    static Block* TakeBlock(size_t bytes);
    static void DropBlock(Block* block);

    char* fCursor;
    char* fLimit;
    bool fLays;         // LayingWorks()
    char* fBlockStart;  // the block of the cursor, which entry offsets count from
    Block* fFirst;      // the block this object lives in
    Block* fBlocks;     // the others, newest first
    Kept fEntries;      // CLU_Entry*
    Kept fKeys;         // std::string*
};
