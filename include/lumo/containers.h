// The base library's own containers: an open-addressing hash table (maps and sets) that
// iterates in insertion order, a growable array with inline room for three elements, a
// doubly linked list and a bounded least-recently-used cache built from the two.
#pragma once

#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>
#include <type_traits>
#include <string>
#include <utility>

#include "lumo/allocator.h"
#include "lumo/base_types.h"

class CLU_Entry;

// FNV-1 (multiply, then XOR) over unsigned bytes; the key hash of strings and texts.
uint32 CL_HashBytes(const void* data, size_t length);
// The same hash over a NUL-terminated text; a null text hashes as the empty one.
uint32 CL_HashText(const char* text);

// Where a byte string goes in a table: a hash that reads the bytes eight at a time and
// mixes every one of them into all 32 bits (FNV-1 stays the key hash proper, kept in
// each node; this one only picks slots and tags). Keys up to 16 bytes take no loop.
uint32 CL_PlaceLongBytes(const void* data, size_t length);
inline uint32 CL_PlaceBytes(const void* data, size_t length) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint64 a, b;
    if (length >= 8) {
        if (length > 16) return CL_PlaceLongBytes(data, length);
        memcpy(&a, p, 8);
        memcpy(&b, p + length - 8, 8);
    } else if (length >= 4) {
        uint32 x, y;
        memcpy(&x, p, 4);
        memcpy(&y, p + length - 4, 4);
        a = x;
        b = static_cast<uint64>(y) << 32;
    } else {
        a = length ? p[0] | static_cast<uint64>(p[length / 2]) << 8 |
                         static_cast<uint64>(p[length - 1]) << 16
                   : 0;
        b = 0;
    }
    const unsigned __int128 m = static_cast<unsigned __int128>(a ^ 0x9E3779B97F4A7C15ull) *
                                (b ^ length ^ 0xC2B2AE3D27D4EB4Full);
    const uint64 h = static_cast<uint64>(m) ^ static_cast<uint64>(m >> 64);
    return static_cast<uint32>(h ^ (h >> 32));
}

// Equal bytes; up to 16 of them compared without a call.
inline bool CL_SameBytes(const void* x, const void* y, size_t length) {
    const unsigned char* a = static_cast<const unsigned char*>(x);
    const unsigned char* b = static_cast<const unsigned char*>(y);
    if (length >= 8) {
        if (length > 16) return memcmp(a, b, length) == 0;
        uint64 a0, b0, a1, b1;
        memcpy(&a0, a, 8);
        memcpy(&b0, b, 8);
        memcpy(&a1, a + length - 8, 8);
        memcpy(&b1, b + length - 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    if (length >= 4) {
        uint32 a0, b0, a1, b1;
        memcpy(&a0, a, 4);
        memcpy(&b0, b, 4);
        memcpy(&a1, a + length - 4, 4);
        memcpy(&b1, b + length - 4, 4);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    for (size_t i = 0; i < length; i++)
        if (a[i] != b[i]) return false;
    return true;
}

// Hash and equality of a key type, and optionally Place, the bits that choose a key's
// slot and tag (without it they come from Hash). Only the key types the library uses
// are provided.
template <class K>
struct CL_HashTraits;

template <>
struct CL_HashTraits<std::string> {
    static uint32 Hash(const std::string& key) { return CL_HashBytes(key.data(), key.size()); }
    static uint32 Place(const std::string& key) { return CL_PlaceBytes(key.data(), key.size()); }
    static bool Equal(const std::string& a, const std::string& b) {
        return a.size() == b.size() && CL_SameBytes(a.data(), b.data(), a.size());
    }
};

// Text keys are compared by content; the table keeps the caller's pointer only.
template <>
struct CL_HashTraits<const char*> {
    static uint32 Hash(const char* key) { return CL_HashText(key); }
    static uint32 Place(const char* key) {
        return key ? CL_PlaceBytes(key, strlen(key)) : CL_PlaceBytes("", 0);
    }
    static bool Equal(const char* a, const char* b) { return strcmp(a ? a : "", b ? b : "") == 0; }
};

template <>
struct CL_HashTraits<char*> {
    static uint32 Hash(const char* key) { return CL_HashText(key); }
    static uint32 Place(const char* key) { return CL_HashTraits<const char*>::Place(key); }
    static bool Equal(const char* a, const char* b) {
        return CL_HashTraits<const char*>::Equal(a, b);
    }
};

template <>
struct CL_HashTraits<int32> {
    static uint32 Hash(int32 key) { return static_cast<uint32>(key); }
    static bool Equal(int32 a, int32 b) { return a == b; }
};

template <>
struct CL_HashTraits<uint32> {
    static uint32 Hash(uint32 key) { return key; }
    static bool Equal(uint32 a, uint32 b) { return a == b; }
};

// Addresses: the low bits of heap pointers are mostly zero, so they are rotated away.
template <class T>
struct CL_HashTraits<T*> {
    static uint32 Hash(const T* key) {
        uint64 address = reinterpret_cast<uintptr_t>(key);
        uint32 high = static_cast<uint32>(address >> 32);
        uint32 low = static_cast<uint32>(address);
        return high ^ ((low >> 4) | (low << 28));
    }
    static bool Equal(const T* a, const T* b) { return a == b; }
};

// Bit masks over a group of 16 tag bytes: bit i set when byte i matches. The portable
// form gives the same masks as the SSE2 one and is what other processors use.
struct _CL_TagGroup {
    static uint32 MatchPortable(const uint8* tags, uint8 tag) {
        uint32 mask = 0;
        for (uint32 i = 0; i < 16; i++)
            mask |= static_cast<uint32>(tags[i] == tag) << i;
        return mask;
    }
#if defined(__SSE2__)
    static uint32 Match(const uint8* tags, uint8 tag) {
        __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(tags));
        // The tag in every byte: four copies in a word, the word in every lane.
        const __m128i wanted =
            _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(tag * 0x01010101u)), 0);
        return static_cast<uint32>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, wanted)));
    }
#else
    static uint32 Match(const uint8* tags, uint8 tag) {
        return MatchPortable(tags, tag);
    }
#endif
};

// Value holder of a set node: nothing.
struct _CL_NullValue {};

// Value holder of a map node.
template <class V>
struct _CL_HashMapValue {
    V fValue{};
};

// Position in a table's node array that steps over removed nodes, so that a walk
// yields the live entries in insertion order. `Table` is the map or set, const or not;
// `Derived` is the iterator, which adds what dereferencing gives.
template <class Derived, class Table>
class _CL_HashWalk {
public:
    _CL_HashWalk() : fContainer(nullptr), fPos(0) {}
    _CL_HashWalk(Table* container, uint32 pos) : fContainer(container), fPos(pos) { Skip(); }

    Derived& operator++() {
        fPos++;
        Skip();
        return static_cast<Derived&>(*this);
    }
    Derived operator++(int) {
        Derived old = static_cast<Derived&>(*this);
        ++*this;
        return old;
    }
    bool operator==(const _CL_HashWalk& other) const { return fPos == other.fPos; }
    bool operator!=(const _CL_HashWalk& other) const { return fPos != other.fPos; }
    void Reset(Table* container) {
        fContainer = container;
        fPos = 0;
        Skip();
    }

protected:
    void Skip() {
        while (fContainer && fPos < fContainer->fOccupied && fContainer->IsRemoved(fPos))
            fPos++;
    }

    Table* fContainer;
    uint32 fPos;
};

// Open-addressing index of 1-, 2- or 4-byte signed slots over a node array kept in
// insertion order. Removal only marks a node; re-indexing compacts the array.
// The index block holds one tag byte per slot, then the slots. A slot's place and tag
// come from a mix of the key's hash, so clustered keys (integers are their own hash)
// spread over the index, and a miss is settled by tag bytes alone, 16 at a time,
// without touching the nodes. Tags: 0 empty, 1 removed by key, 2-255 mixed bits in
// use. The first 15 tags are repeated after the last so that a group read never wraps.
// The containers of this file guard nothing: while one thread changes a container no
// other thread may use it; const members only read. Pointers stored in them are held,
// not owned, except by CL_LRUCache.
template <class TKey, class TNode>
class CL_Hashable : public CL_Object {
    template <class, class>
    friend class _CL_HashWalk;

public:
    CL_Hashable()
        : fIndexBytes(1),
          fIndexSize(0),
          fNodesSize(0),
          fCount(0),
          fOccupied(0),
          fIndex(nullptr),
          fNodes(nullptr),
          fAdopted(false) {}
    CL_Hashable(CL_Hashable&& other) noexcept : CL_Hashable() { Take(other); }
    ~CL_Hashable() { Release(); }
    CL_Hashable(const CL_Hashable& other) : CL_Hashable() { *this = other; }
    CL_Hashable& operator=(CL_Hashable&& other) noexcept {
        if (this != &other) {
            Release();
            Take(other);
        }
        return *this;
    }
    CL_Hashable& operator=(const CL_Hashable& other);

    bool Exists(const TKey& key) const { return ReadNode(key, false) != nullptr; }
    // Empties the table but keeps the index size and the node array.
    void Clear() {
        if (fIndex) memset(fIndex, 0, IndexBlockBytes(fIndexSize, fIndexBytes));
        fCount = 0;
        fOccupied = 0;
    }
    void Shrink() { SetCapacity(0); }
    uint32 Count() const { return fCount; }
    // Prepares room for `size` entries; 0 fits the table to its live entries.
    void SetCapacity(uint32 size);

    // Memory that AdoptRoom needs for `count` keys.
    static size_t RoomBytes(uint32 count) {
        const uint32 size = IndexSizeFor(count);
        return RoundUp(IndexBlockBytes(size, SlotBytes(size))) +
               static_cast<size_t>(count) * sizeof(Node);
    }
    // Lays out, in `room` (RoomBytes(count) bytes, pointer-aligned, kept by the caller),
    // the index SetCapacity(count) would make and exactly `count` nodes; only on a table
    // that never had an index. The table never frees that memory nor destroys the nodes
    // in it: their keys must need no destruction, or be destroyed by the caller. Growing
    // past the room copies index and nodes to the heap first.
    bool AdoptRoom(void* room, size_t bytes, uint32 count) {
        if (fIndex || fNodes || count == 0 || bytes < RoomBytes(count)) return false;
        const uint32 size = IndexSizeFor(count);
        const uint32 width = SlotBytes(size);
        const size_t indexBytes = IndexBlockBytes(size, width);
        memset(room, 0, indexBytes);
        Node* nodes = reinterpret_cast<Node*>(static_cast<char*>(room) + RoundUp(indexBytes));
        for (uint32 i = 0; i < count; i++)
            ::new (nodes + i) Node();
        fIndex = room;
        fIndexBytes = width;
        fIndexSize = size;
        fNodes = nodes;
        fNodesSize = count;
        fAdopted = true;
        return true;
    }

protected:
    struct Node : public TNode {
        TKey fKey{};
        uint8 fFlags = 0;  // low 7 bits: partial hash; bit 7: removed
    };

    static constexpr uint8 kRemovedFlag = 0x80;
    static constexpr uint8 kTagEmpty = 0;
    static constexpr uint8 kTagRemoved = 1;
    // fIndexSize is a 29-bit field, so the index stops doubling here.
    static constexpr uint32 kMaxIndexSize = 1u << 28;

    static uint32 HashKey(const TKey& key) { return CL_HashTraits<TKey>::Hash(key); }
    // Folds a 64-bit product of the hash so that every bit of the key reaches the low
    // bits (the slot) and the top bits (the tag).
    static uint32 MixHash(uint32 hash) {
        uint64 product = static_cast<uint64>(hash) * 0x9E3779B97F4A7C15ull;
        return static_cast<uint32>(product >> 32) ^ static_cast<uint32>(product);
    }
    // The bits that choose a key's slot and tag.
    static uint32 PlaceKey(const TKey& key) {
        if constexpr (requires { CL_HashTraits<TKey>::Place(key); })
            return CL_HashTraits<TKey>::Place(key);
        else
            return MixHash(HashKey(key));
    }
    // The partial key kept in a node: the low 7 bits of the key's hash.
    static uint8 PartialKey(const TKey& key) { return static_cast<uint8>(HashKey(key) & 127); }
    // The top 8 mixed bits, 0 and 1 moved to 2 and 3: 254 values, so about one other
    // key in 254 shares a probed key's tag.
    static uint8 TagOf(uint32 mixed) {
        const uint8 top = static_cast<uint8>(mixed >> 24);
        return top < 2 ? static_cast<uint8>(top + 2) : top;
    }
    static constexpr uint32 kGroup = 16;
    // Tag bytes with their repeated tail, rounded so that the slots after them align.
    static size_t TagBytes(uint32 size) {
        return (static_cast<size_t>(size) + kGroup - 1 + 3) & ~static_cast<size_t>(3);
    }
    // Tags, slots, and room for reading the last slot as 4 bytes.
    static size_t IndexBlockBytes(uint32 size, uint32 width) {
        return TagBytes(size) + static_cast<size_t>(size) * width + 3;
    }
    uint8* Tags() const { return static_cast<uint8*>(fIndex); }
    template <class TSize>
    TSize* Slots() const {
        return reinterpret_cast<TSize*>(static_cast<uint8*>(fIndex) + TagBytes(fIndexSize));
    }
    // Sets slot's tag and its copies in the tail (several when the index is smaller
    // than a group).
    void SetTag(uint32 slot, uint8 tag) {
        uint8* tags = Tags();
        tags[slot] = tag;
        for (uint32 i = slot; i < kGroup - 1; i += fIndexSize)
            tags[fIndexSize + i] = tag;
    }
    // Groups start at the key's slot and step 16, 32, 48, ... slots: over a power-of-two
    // index they cover every slot within max(1, size / 16) groups.
    uint32 GroupCount() const { return fIndexSize > kGroup ? fIndexSize / kGroup : 1; }
    static bool SameKey(const TKey& a, const TKey& b) { return CL_HashTraits<TKey>::Equal(a, b); }
    bool IsRemoved(uint32 pos) const { return (fNodes[pos].fFlags & kRemovedFlag) != 0; }

    // Inlined: a lookup is a few instructions around the tag compare.
    [[gnu::always_inline]] Node* ReadNode(const TKey& key, bool remove) const;
    Node* WriteNode(const TKey& key) {
        return WriteNodeWith(key, [&key](TKey& place) { place = key; });
    }
    // As WriteNode; a new node's key is built by `place(node key)` instead of a copy.
    template <class Place>
    Node* WriteNodeWith(const TKey& key, Place place);
    void RemoveNode(Node* node) {
        if (!node || (node->fFlags & kRemovedFlag)) return;
        node->fFlags |= kRemovedFlag;
        fCount -= 1;
    }
    void RemoveNode(const TKey& key) { RemoveNode(ReadNode(key, true)); }
    bool ResizeIndex(uint32 size, bool shrink, bool resize_nodes);

    template <class TSize, class Place>
    Node* _WriteNode(const TKey& key, uint32 mixed, bool* full, Place& place);
    template <class TSize>
    void _ResizeIndex(Node* oldNodes, uint32 oldOccupied);

    uint32 fIndexBytes : 3;
    uint32 fIndexSize : 29;
    uint32 fNodesSize;
    uint32 fCount;
    uint32 fOccupied;
    void* fIndex;
    Node* fNodes;
    bool fAdopted;  // fIndex and fNodes are a caller's room (AdoptRoom)

private:
    static size_t RoundUp(size_t bytes) { return (bytes + 7) & ~static_cast<size_t>(7); }
    // Index slots that SetCapacity(count) makes.
    static uint32 IndexSizeFor(uint32 count) {
        uint32 wanted = count < 8 ? 8 : count;
        uint64 q = static_cast<uint64>(static_cast<double>(wanted) / 0.8);
        uint64 size = 1;
        while (size <= q)
            size <<= 1;
        return static_cast<uint32>(size < kMaxIndexSize ? size : kMaxIndexSize);
    }
    // Moves index and nodes from adopted room to the heap, copying the nodes.
    bool LeaveRoom();
    static Node* NewNodes(uint32 count) { return NewNodes(count, nullptr, 0); }
    // A new array whose first `moved` nodes are taken from `from`, the rest default.
    static Node* NewNodes(uint32 count, Node* from, uint32 moved) {
        if (count == 0) return nullptr;
        Node* nodes = static_cast<Node*>(malloc(static_cast<size_t>(count) * sizeof(Node)));
        if (!nodes) return nullptr;
        for (uint32 i = 0; i < moved; i++)
            ::new (nodes + i) Node(std::move(from[i]));
        for (uint32 i = moved; i < count; i++)
            ::new (nodes + i) Node();
        return nodes;
    }
    static void DestroyNodes(Node* nodes, uint32 count) {
        if (!nodes) return;
        for (uint32 i = 0; i < count; i++)
            nodes[i].~Node();
        free(nodes);
    }
    static uint32 SlotBytes(uint32 size) { return size <= 127 ? 1 : size <= 32767 ? 2 : 4; }
    bool GrowNodes();
    void Release() {
        if (!fAdopted) {
            free(fIndex);
            DestroyNodes(fNodes, fNodesSize);
        }
        fIndex = nullptr;
        fNodes = nullptr;
        fAdopted = false;
    }
    void Take(CL_Hashable& other) {
        fIndexBytes = other.fIndexBytes;
        fIndexSize = other.fIndexSize;
        fNodesSize = other.fNodesSize;
        fCount = other.fCount;
        fOccupied = other.fOccupied;
        fIndex = other.fIndex;
        fNodes = other.fNodes;
        fAdopted = other.fAdopted;
        other.fAdopted = false;
        other.fIndexBytes = 1;
        other.fIndexSize = 0;
        other.fNodesSize = other.fCount = other.fOccupied = 0;
        other.fIndex = nullptr;
        other.fNodes = nullptr;
    }
};

template <class TKey, class TNode>
CL_Hashable<TKey, TNode>& CL_Hashable<TKey, TNode>::operator=(const CL_Hashable& other) {
    if (this == &other) return *this;
    void* index = nullptr;
    Node* nodes = nullptr;
    bool ok = true;
    if (other.fIndex) {
        size_t bytes = IndexBlockBytes(other.fIndexSize, other.fIndexBytes);
        index = malloc(bytes);
        nodes = NewNodes(other.fNodesSize);
        ok = index && (nodes || other.fNodesSize == 0);
        if (ok) {
            memcpy(index, other.fIndex, bytes);
            for (uint32 i = 0; i < other.fOccupied; i++)
                nodes[i] = other.fNodes[i];
        }
    }
    Release();
    if (!ok) {
        // Out of memory: the target ends up empty rather than half-copied.
        free(index);
        DestroyNodes(nodes, other.fNodesSize);
        fIndexBytes = 1;
        fIndexSize = 0;
        fNodesSize = fCount = fOccupied = 0;
        return *this;
    }
    fIndexBytes = other.fIndexBytes;
    fIndexSize = other.fIndexSize;
    fNodesSize = other.fIndex ? other.fNodesSize : 0;
    fCount = other.fCount;
    fOccupied = other.fOccupied;
    fIndex = index;
    fNodes = nodes;
    return *this;
}

template <class TKey, class TNode>
void CL_Hashable<TKey, TNode>::SetCapacity(uint32 size) {
    uint64 target = 1;
    if (size != 0) {
        uint32 wanted = fCount > size ? fCount : size;
        if (wanted < 8) wanted = 8;
        uint64 q = static_cast<uint64>(static_cast<double>(wanted) / 0.8);
        while (target <= q)
            target <<= 1;
        if (target > 0xFFFFFFFFull) return;
        ResizeIndex(static_cast<uint32>(target), false, true);
    } else {
        if (fCount == 0) return;
        while (target < fCount)
            target <<= 1;
        if (target > 0xFFFFFFFFull) return;
        ResizeIndex(static_cast<uint32>(target), true, true);
    }
}

// One path for the three slot widths: a slot is read as 4 bytes (the index block has
// room past its last slot) and cut to its width. A slot whose tag matches always holds
// a node number, never 0 or -1.
template <class TKey, class TNode>
inline typename CL_Hashable<TKey, TNode>::Node* CL_Hashable<TKey, TNode>::ReadNode(
    const TKey& key, bool remove) const {
    if (!fIndex) return nullptr;
    const uint32 mixed = PlaceKey(key);
    const uint32 size = fIndexSize;
    const uint32 width = fIndexBytes;
    const uint32 mask = size - 1;
    const uint8* tags = Tags();
    uint8* slots = static_cast<uint8*>(fIndex) + TagBytes(size);
    const uint32 slotMask = 0xFFFFFFFFu >> (32 - 8 * width);
    const uint8 tag = TagOf(mixed);
    uint32 pos = mixed & mask;
    // A large index has its tags and slots far apart: both are asked for at once.
    // Slots are found by a multiply: a shift by a register count costs more.
    __builtin_prefetch(slots + static_cast<size_t>(pos) * width);
    for (uint32 g = 0;;) {
        const uint8* group = tags + pos;
        for (uint32 match = _CL_TagGroup::Match(group, tag); match; match &= match - 1) {
            const uint32 slot = (pos + __builtin_ctz(match)) & mask;
            uint8* place = slots + static_cast<size_t>(slot) * width;
            uint32 number;
            memcpy(&number, place, 4);
            // A node removed through an iterator keeps its slot and tag; its flag says so.
            Node* node = fNodes + ((number & slotMask) - 1);
            if (!(node->fFlags & kRemovedFlag) && SameKey(node->fKey, key)) {
                if (remove) {
                    memset(place, 0xFF, width);  // -1 at any width
                    const_cast<CL_Hashable*>(this)->SetTag(slot, kTagRemoved);
                }
                return node;
            }
        }
        if (_CL_TagGroup::Match(group, kTagEmpty)) return nullptr;
        if (++g >= GroupCount()) return nullptr;
        pos = (pos + kGroup * g) & mask;
    }
}

template <class TKey, class TNode>
template <class Place>
typename CL_Hashable<TKey, TNode>::Node* CL_Hashable<TKey, TNode>::WriteNodeWith(const TKey& key,
                                                                                 Place place) {
    // A key that lives in this table's own nodes would dangle once the array moves.
    const char* where = reinterpret_cast<const char*>(&key);
    const char* first = reinterpret_cast<const char*>(fNodes);
    if (fNodes && where >= first &&
        where < first + static_cast<size_t>(fNodesSize) * sizeof(Node)) {
        TKey copy = key;
        return WriteNodeWith(copy, place);
    }
    const uint32 mixed = PlaceKey(key);
    for (;;) {
        if (fIndexSize == 0) {
            if (!ResizeIndex(8, false, false)) return nullptr;
        } else if (static_cast<double>(fOccupied) >= 0.8 * fIndexSize &&
                   fIndexSize < kMaxIndexSize) {
            if (!ResizeIndex(fIndexSize * 2, false, false)) return nullptr;
        }
        bool full = false;
        Node* node;
        switch (fIndexBytes) {
            case 1:
                node = _WriteNode<int8>(key, mixed, &full, place);
                break;
            case 2:
                node = _WriteNode<int16>(key, mixed, &full, place);
                break;
            default:
                node = _WriteNode<int32>(key, mixed, &full, place);
                break;
        }
        if (!full) return node;
        if (fIndexSize >= kMaxIndexSize || !ResizeIndex(fIndexSize * 2, false, false))
            return nullptr;
    }
}

template <class TKey, class TNode>
template <class TSize, class Place>
typename CL_Hashable<TKey, TNode>::Node* CL_Hashable<TKey, TNode>::_WriteNode(const TKey& key,
                                                                              uint32 mixed,
                                                                              bool* full,
                                                                              Place& place) {
    const uint8* tags = Tags();
    TSize* index = Slots<TSize>();
    const uint32 mask = fIndexSize - 1;
    const uint8 tag = TagOf(mixed);
    const uint32 groups = GroupCount();
    uint32 pos = mixed & mask;
    for (uint32 g = 0; g < groups;) {
        for (uint32 match = _CL_TagGroup::Match(tags + pos, tag); match; match &= match - 1) {
            const uint32 slot = (pos + __builtin_ctz(match)) & mask;
            Node* node = fNodes + (index[slot] - 1);
            if (!(node->fFlags & kRemovedFlag) && SameKey(node->fKey, key)) return node;
        }
        if (uint32 empty = _CL_TagGroup::Match(tags + pos, kTagEmpty)) {
            const uint32 slot = (pos + __builtin_ctz(empty)) & mask;
            // Removed slots are never reused, only a re-indexing clears them.
            if (fOccupied >= fNodesSize) {
                if (!GrowNodes()) return nullptr;
                // Growing out of adopted room copies the index too.
                tags = Tags();
                index = Slots<TSize>();
            }
            Node* node = fNodes + fOccupied;
            fCount += 1;
            place(node->fKey);
            node->fFlags = PartialKey(key);
            fOccupied += 1;
            index[slot] = static_cast<TSize>(fOccupied);
            SetTag(slot, tag);
            return node;
        }
        ++g;
        pos = (pos + kGroup * g) & mask;
    }
    *full = true;
    return nullptr;
}

template <class TKey, class TNode>
bool CL_Hashable<TKey, TNode>::LeaveRoom() {
    if (!fAdopted) return true;
    const size_t bytes = IndexBlockBytes(fIndexSize, fIndexBytes);
    void* index = malloc(bytes);
    Node* nodes = static_cast<Node*>(malloc(static_cast<size_t>(fNodesSize) * sizeof(Node)));
    if (!index || !nodes) {
        free(index);
        free(nodes);
        return false;
    }
    memcpy(index, fIndex, bytes);
    // Copies: the keys in the room may be the caller's.
    for (uint32 i = 0; i < fNodesSize; i++)
        ::new (nodes + i) Node(fNodes[i]);
    fIndex = index;
    fNodes = nodes;
    fAdopted = false;
    return true;
}

template <class TKey, class TNode>
bool CL_Hashable<TKey, TNode>::GrowNodes() {
    if (!LeaveRoom()) return false;
    uint64 size = static_cast<uint64>(fNodesSize) + fNodesSize / 2;
    if (size < 8) size = 8;
    if (size > 0xFFFFFFFFull) return false;
    Node* nodes = NewNodes(static_cast<uint32>(size), fNodes, fNodesSize);
    if (!nodes) return false;
    DestroyNodes(fNodes, fNodesSize);
    fNodes = nodes;
    fNodesSize = static_cast<uint32>(size);
    return true;
}

template <class TKey, class TNode>
bool CL_Hashable<TKey, TNode>::ResizeIndex(uint32 size, bool shrink, bool resize_nodes) {
    if (size == 0 || size > kMaxIndexSize || (size & (size - 1)) != 0 || size < fCount)
        return false;
    if (!LeaveRoom()) return false;
    if (size == fIndexSize && fCount == fOccupied) {
        // Same index and nothing to compact: only the node array may change.
        uint32 capacity = 0;
        if (shrink && fCount != fNodesSize)
            capacity = fCount;
        else if (resize_nodes && fNodesSize != size)
            capacity = size;
        if (capacity == 0) return true;
        Node* nodes = NewNodes(capacity, fNodes, fCount < capacity ? fCount : capacity);
        if (!nodes) return false;
        DestroyNodes(fNodes, fNodesSize);
        fNodes = nodes;
        fNodesSize = capacity;
        return true;
    }
    uint64 capacity;
    if (shrink)
        capacity = fCount;
    else if (resize_nodes)
        capacity = size;
    else
        capacity = (static_cast<uint64>(fCount) + 3) & ~static_cast<uint64>(3);
    const uint32 width = SlotBytes(size);
    // The live nodes are moved straight into raw storage as they are placed.
    Node* nodes = nullptr;
    if (capacity != 0) {
        nodes = static_cast<Node*>(malloc(static_cast<size_t>(capacity) * sizeof(Node)));
        if (!nodes) return false;
    }
    void* index = calloc(1, IndexBlockBytes(size, width));
    if (!index) {
        free(nodes);
        return false;
    }
    Node* oldNodes = fNodes;
    const uint32 oldNodesSize = fNodesSize;
    const uint32 oldOccupied = fOccupied;
    free(fIndex);
    fIndex = index;
    fIndexBytes = width;
    fIndexSize = size;
    fNodes = nodes;
    fNodesSize = static_cast<uint32>(capacity);
    fCount = 0;
    switch (width) {
        case 1:
            _ResizeIndex<int8>(oldNodes, oldOccupied);
            break;
        case 2:
            _ResizeIndex<int16>(oldNodes, oldOccupied);
            break;
        default:
            _ResizeIndex<int32>(oldNodes, oldOccupied);
            break;
    }
    for (uint32 i = fCount; i < fNodesSize; i++)
        ::new (fNodes + i) Node();
    fOccupied = fCount;
    DestroyNodes(oldNodes, oldNodesSize);
    return true;
}

template <class TKey, class TNode>
template <class TSize>
void CL_Hashable<TKey, TNode>::_ResizeIndex(Node* oldNodes, uint32 oldOccupied) {
    const uint8* tags = Tags();
    TSize* index = Slots<TSize>();
    const uint32 mask = fIndexSize - 1;
    for (uint32 i = 0; i < oldOccupied; i++) {
        Node& old = oldNodes[i];
        if (old.fFlags & kRemovedFlag) continue;
        const uint32 mixed = PlaceKey(old.fKey);
        // The new index has more slots than live nodes, so an empty slot turns up.
        uint32 pos = mixed & mask;
        uint32 empty = _CL_TagGroup::Match(tags + pos, kTagEmpty);
        for (uint32 g = 1; !empty; g++) {
            pos = (pos + kGroup * g) & mask;
            empty = _CL_TagGroup::Match(tags + pos, kTagEmpty);
        }
        const uint32 slot = (pos + __builtin_ctz(empty)) & mask;
        ::new (fNodes + fCount) Node(std::move(old));
        fCount += 1;
        index[slot] = static_cast<TSize>(fCount);
        SetTag(slot, TagOf(mixed));
    }
}

// Map from K to V in insertion order. Thread rules of CL_Hashable.
template <class K, class V>
class CL_HashMap : public CL_Hashable<K, _CL_HashMapValue<V>> {
    typedef CL_Hashable<K, _CL_HashMapValue<V>> Base;
    typedef typename Base::Node Node;

public:
    // Walks the live entries in insertion order; dereferencing gives the value.
    template <bool kConst>
    class Iter : public _CL_HashWalk<Iter<kConst>,
                                     std::conditional_t<kConst, const CL_HashMap, CL_HashMap>> {
    public:
        typedef std::conditional_t<kConst, const CL_HashMap, CL_HashMap> Container;
        typedef std::conditional_t<kConst, const V, V> Value;

        using _CL_HashWalk<Iter, Container>::_CL_HashWalk;
        operator Iter<true>() const { return Iter<true>(this->fContainer, this->fPos); }

        Value& operator*() const { return this->fContainer->fNodes[this->fPos].fValue; }
        Value* operator->() const { return &this->fContainer->fNodes[this->fPos].fValue; }
        V value() const { return this->fContainer->fNodes[this->fPos].fValue; }
        K key() const { return this->fContainer->fNodes[this->fPos].fKey; }
        // The key itself, valid until the map changes.
        const K& KeyRef() const { return this->fContainer->fNodes[this->fPos].fKey; }

    private:
        friend class CL_HashMap;
    };
    typedef Iter<false> iterator;
    typedef Iter<true> const_iterator;

    // An old value is overwritten by assignment; nothing else is done to it.
    void Set(const K& key, V value) {
        Node* node = this->WriteNode(key);
        if (node) node->fValue = std::move(value);
    }
    // The value place of `key`, a node made when absent whose key `place(K&)` builds in
    // place of a copy of `key` (for owners that keep key bytes in memory of their own,
    // see AdoptRoom). A new node's value is whatever the node held. Null when the table
    // cannot grow.
    template <class Place>
    V* SlotWith(const K& key, Place place) {
        Node* node = this->WriteNodeWith(key, place);
        return node ? &node->fValue : nullptr;
    }
    V Get(const K& key) const {
        Node* node = this->ReadNode(key, false);
        return node ? node->fValue : V();
    }
    void Remove(const K& key) { this->RemoveNode(key); }
    // The iterator stays usable: its next increment reaches the following live entry.
    void Remove(const iterator& it) {
        if (it.fPos < this->fOccupied) this->RemoveNode(this->fNodes + it.fPos);
    }

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, this->fOccupied); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, this->fOccupied); }

    // Adds a value-initialised entry for a missing key.
    V& operator[](const K& key) {
        Node* node = this->ReadNode(key, false);
        if (node) return node->fValue;
        node = this->WriteNode(key);
        if (!node) return Spare();
        node->fValue = V();
        return node->fValue;
    }
    // A missing key reads as a value-initialised V private to the calling thread.
    const V& operator[](const K& key) const {
        Node* node = this->ReadNode(key, false);
        return node ? node->fValue : Spare();
    }

private:
    static V& Spare() {
        static thread_local V spare{};
        spare = V();
        return spare;
    }
};

// Set of K in insertion order. Thread rules of CL_Hashable.
template <class K>
class CL_Set : public CL_Hashable<K, _CL_NullValue> {
    typedef CL_Hashable<K, _CL_NullValue> Base;
    typedef typename Base::Node Node;

public:
    // Walks the live keys in insertion order.
    class iterator : public _CL_HashWalk<iterator, const CL_Set> {
    public:
        using _CL_HashWalk<iterator, const CL_Set>::_CL_HashWalk;
        const K& operator*() const { return this->fContainer->fNodes[this->fPos].fKey; }
        const K* operator->() const { return &this->fContainer->fNodes[this->fPos].fKey; }

    private:
        friend class CL_Set;
    };
    typedef iterator const_iterator;

    void Add(const K& key) { this->WriteNode(key); }
    void Remove(const K& key) { this->RemoveNode(key); }
    void Remove(const iterator& it) {
        if (it.fPos < this->fOccupied) this->RemoveNode(this->fNodes + it.fPos);
    }
    iterator begin() const { return iterator(this, 0); }
    iterator end() const { return iterator(this, this->fOccupied); }

    // Keys of this set in its order, then the other's new keys in theirs.
    CL_Set Union(const CL_Set& other) const {
        CL_Set result = *this;
        for (const K& key : other)
            result.Add(key);
        return result;
    }
    // Keys of this set, in its order, that the other also holds.
    CL_Set Intersection(const CL_Set& other) const {
        CL_Set result;
        for (const K& key : *this)
            if (other.Exists(key)) result.Add(key);
        return result;
    }
    // Keys of this set, in its order, that the other lacks.
    CL_Set Difference(const CL_Set& other) const {
        CL_Set result;
        for (const K& key : *this)
            if (!other.Exists(key)) result.Add(key);
        return result;
    }
};

typedef CL_HashMap<std::string, CLU_Entry*> CL_StringMap;
typedef CL_HashMap<const char*, const char*> CL_CStringMap;
typedef CL_HashMap<void*, void*> CL_PtrMap;

// Growable array that keeps up to three elements inline and grows by half when an
// addition would fill more than three quarters of its capacity. Thread rules of
// CL_Hashable.
template <class T>
class CL_Array : public CL_Object {
public:
    struct Node : public CL_Object {
        T fValue{};
    };

    // Random-access position into an array; dereferencing gives the element.
    template <bool kConst>
    class Iter {
    public:
        typedef std::conditional_t<kConst, const CL_Array, CL_Array> Container;
        typedef std::conditional_t<kConst, const T, T> Value;

        Iter() : fContainer(nullptr), fPos(0) {}
        Iter(Container* container, int32 pos) : fContainer(container), fPos(pos) {}
        operator Iter<true>() const { return Iter<true>(fContainer, fPos); }

        Iter& operator++() {
            fPos++;
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            fPos++;
            return old;
        }
        Iter& operator--() {
            fPos--;
            return *this;
        }
        Iter operator--(int) {
            Iter old = *this;
            fPos--;
            return old;
        }
        Iter& operator+=(int32 n) {
            fPos += n;
            return *this;
        }
        Iter& operator-=(int32 n) {
            fPos -= n;
            return *this;
        }
        Iter operator+(int32 n) const { return Iter(fContainer, fPos + n); }
        Iter operator-(int32 n) const { return Iter(fContainer, fPos - n); }
        int32 operator-(const Iter& other) const { return fPos - other.fPos; }
        bool operator==(const Iter& other) const { return fPos == other.fPos; }
        bool operator!=(const Iter& other) const { return fPos != other.fPos; }
        bool operator<(const Iter& other) const { return fPos < other.fPos; }
        bool operator<=(const Iter& other) const { return fPos <= other.fPos; }
        bool operator>(const Iter& other) const { return fPos > other.fPos; }
        bool operator>=(const Iter& other) const { return fPos >= other.fPos; }
        Value& operator*() const { return fContainer->fArray[fPos].fValue; }
        Value* operator->() const { return &fContainer->fArray[fPos].fValue; }
        Value& operator[](int32 n) const { return fContainer->fArray[fPos + n].fValue; }
        int32 Index() const { return fPos; }
        void Reset(Container* container) {
            fContainer = container;
            fPos = 0;
        }

    private:
        friend class CL_Array;
        Container* fContainer;
        int32 fPos;
    };
    typedef Iter<false> iterator;
    typedef Iter<true> const_iterator;

    CL_Array() : fArray(fStaticArray), fCount(0), fSize(kInline), fMalloced(false) {}
    explicit CL_Array(uint32 capacity) : CL_Array() { MakeRoom(capacity); }
    CL_Array(const CL_Array& other) : CL_Array() { *this = other; }
    CL_Array(CL_Array&& other) noexcept : CL_Array() { *this = std::move(other); }
    ~CL_Array() {
        if (fMalloced) FreeNodes(fArray, fSize);
    }
    CL_Array& operator=(const CL_Array& other);
    CL_Array& operator=(CL_Array&& other) noexcept;

    bool Append(T value) {
        // MakeRoom's own first test, inline: most appends find room.
        if (static_cast<uint64>(fCount) + 1 > static_cast<uint64>(fSize) * 3 / 4 &&
            !MakeRoom(kOneMore))
            return false;
        fArray[fCount].fValue = std::move(value);
        fCount += 1;
        return true;
    }
    // Sets the count within the capacity, for arrays filled through GetData() (up to the
    // end of an adopted room, past the growth rule's margin). False beyond the capacity.
    bool SetCount(uint32 count) {
        if (count > fSize) return false;
        fCount = count;
        return true;
    }
    bool Push(T value) { return Append(std::move(value)); }
    // A position beyond the end appends.
    bool Insert(T value, uint32 pos) {
        if (!MakeRoom(kOneMore)) return false;
        if (pos > fCount) pos = fCount;
        for (uint32 i = fCount; i > pos; i--)
            fArray[i].fValue = std::move(fArray[i - 1].fValue);
        fArray[pos].fValue = std::move(value);
        fCount += 1;
        return true;
    }
    void Replace(T value, uint32 pos) {
        if (pos < fCount) fArray[pos].fValue = std::move(value);
    }
    // Removes the first element equal to the value.
    void Remove(const T& value) {
        for (uint32 i = 0; i < fCount; i++) {
            if (fArray[i].fValue == value) {
                RemoveIndex(i);
                return;
            }
        }
    }
    // Steps the iterator back so that its next increment reaches the following element.
    void Remove(iterator& it) {
        if (it.fPos < 0 || static_cast<uint32>(it.fPos) >= fCount) return;
        RemoveIndex(static_cast<uint32>(it.fPos));
        it.fPos -= 1;
    }
    bool RemoveIndex(uint32 index) {
        if (index >= fCount) return false;
        for (uint32 i = index + 1; i < fCount; i++)
            fArray[i - 1].fValue = std::move(fArray[i].fValue);
        fCount -= 1;
        return true;
    }

    T Get(uint32 index) const { return index < fCount ? fArray[index].fValue : T(); }
    // Out of range gives a fresh value-initialised T private to the calling thread,
    // so a stray write neither sticks nor reaches another thread.
    T& operator[](uint32 index) { return index < fCount ? fArray[index].fValue : Spare(); }
    const T& operator[](uint32 index) const {
        return index < fCount ? fArray[index].fValue : Spare();
    }
    T GetFirst() const { return fCount ? fArray[0].fValue : T(); }
    T GetLast() const { return fCount ? fArray[fCount - 1].fValue : T(); }
    T Top() const { return GetLast(); }
    T Pop(bool fromHead = false) {
        if (fCount == 0) return T();
        T value;
        if (fromHead) {
            value = std::move(fArray[0].fValue);
            RemoveIndex(0);
        } else {
            value = std::move(fArray[fCount - 1].fValue);
            fCount -= 1;
        }
        return value;
    }
    bool Exists(const T& value) const { return IndexOf(value) >= 0; }
    int32 IndexOf(const T& value) const {
        for (uint32 i = 0; i < fCount; i++)
            if (fArray[i].fValue == value) return static_cast<int32>(i);
        return -1;
    }

    // The elements as one block: element i is GetData()[i] for i below Count(). The
    // pointer stays valid until the array grows, shrinks or is assigned to.
    T* GetData() {
        static_assert(sizeof(Node) == sizeof(T), "a node is its element");
        return &fArray[0].fValue;
    }
    const T* GetData() const {
        static_assert(sizeof(Node) == sizeof(T), "a node is its element");
        return &fArray[0].fValue;
    }

    void Clear() { fCount = 0; }
    uint32 Count() const { return fCount; }
    void Shrink();
    void SetCapacity(uint32 capacity) { MakeRoom(capacity); }
    // Takes `bytes` of memory that the owner of this array keeps (typically the rest of
    // the block the array lives in) as its element room, when that is more than the
    // inline room and the array is empty and holds no heap room; the array never frees
    // it, and moves to the heap if it outgrows it. Only for trivially destructible T.
    void AdoptRoom(void* room, size_t bytes) {
        static_assert(std::is_trivially_destructible_v<T>, "adopted room is never destroyed");
        const size_t nodes = bytes / sizeof(Node);
        if (fCount != 0 || fMalloced || nodes <= kInline || nodes > 0xFFFFFFFFu) return;
        Node* array = static_cast<Node*>(room);
        for (size_t i = 0; i < nodes; i++)
            ::new (array + i) Node();
        fArray = array;
        fSize = static_cast<uint32>(nodes);
    }
    // Makes sure `count` elements fit within three quarters of the capacity;
    // 0xFFFFFFFF stands for one more than the current count. False when out of memory.
    bool MakeRoom(uint32 count);

    iterator begin() { return iterator(this, 0); }
    iterator end() { return iterator(this, static_cast<int32>(fCount)); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, static_cast<int32>(fCount)); }

protected:
    static constexpr uint32 kInline = 4;
    static constexpr uint32 kOneMore = 0xFFFFFFFFu;

    Node* fArray;
    Node fStaticArray[kInline];
    uint32 fCount;
    uint32 fSize;
    bool fMalloced;

private:
    static T& Spare() {
        static thread_local T spare{};
        spare = T();
        return spare;
    }
    static Node* NewNodes(uint32 count) {
        Node* nodes = static_cast<Node*>(malloc(static_cast<size_t>(count) * sizeof(Node)));
        if (!nodes) return nullptr;
        for (uint32 i = 0; i < count; i++)
            ::new (nodes + i) Node();
        return nodes;
    }
    static void FreeNodes(Node* nodes, uint32 count) {
        for (uint32 i = 0; i < count; i++)
            nodes[i].~Node();
        free(nodes);
    }
};

template <class T>
bool CL_Array<T>::MakeRoom(uint32 count) {
    uint64 needed = count == kOneMore ? static_cast<uint64>(fCount) + 1 : count;
    if (needed > 0xFFFFFFFFull) return false;
    if (needed <= static_cast<uint64>(fSize) * 3 / 4) return true;
    uint64 size = static_cast<uint64>(fSize) * 3 / 2;
    if (size < needed) size = needed;
    if (size > 0xFFFFFFFFull) size = 0xFFFFFFFFull;
    Node* array = fStaticArray;
    if (size > kInline) {
        array = NewNodes(static_cast<uint32>(size));
        if (!array) return false;
    }
    if (array != fArray)
        for (uint32 i = 0; i < fCount; i++)
            array[i].fValue = std::move(fArray[i].fValue);
    if (fMalloced) FreeNodes(fArray, fSize);
    fArray = array;
    fSize = static_cast<uint32>(size);
    fMalloced = fSize > kInline;
    return true;
}

template <class T>
void CL_Array<T>::Shrink() {
    if (!fMalloced) return;
    Node* array = fStaticArray;
    if (fCount > kInline) {
        array = NewNodes(fCount);
        if (!array) return;
    }
    for (uint32 i = 0; i < fCount; i++)
        array[i].fValue = std::move(fArray[i].fValue);
    FreeNodes(fArray, fSize);
    fArray = array;
    fSize = fCount;
    fMalloced = fCount > kInline;
}

template <class T>
CL_Array<T>& CL_Array<T>::operator=(const CL_Array& other) {
    if (this == &other) return *this;
    // The other's room may be on the heap or adopted; a copy's is its own heap room.
    Node* array = fStaticArray;
    uint32 size = kInline;
    if (other.fCount > kInline) {
        size = other.fSize;
        array = NewNodes(size);
        if (!array) return *this;
    }
    for (uint32 i = 0; i < other.fCount; i++)
        array[i].fValue = other.fArray[i].fValue;
    if (fMalloced) FreeNodes(fArray, fSize);
    fArray = array;
    fCount = other.fCount;
    fSize = size;
    fMalloced = size > kInline;
    return *this;
}

template <class T>
CL_Array<T>& CL_Array<T>::operator=(CL_Array&& other) noexcept {
    if (this == &other) return *this;
    if (!other.fMalloced && other.fArray != other.fStaticArray) {
        // Adopted room stays with its owner: copy out of it.
        *this = static_cast<const CL_Array&>(other);
        other.fCount = 0;
        return *this;
    }
    if (fMalloced) FreeNodes(fArray, fSize);
    if (other.fMalloced) {
        fArray = other.fArray;
    } else {
        fArray = fStaticArray;
        for (uint32 i = 0; i < other.fCount; i++)
            fStaticArray[i].fValue = std::move(other.fStaticArray[i].fValue);
    }
    fCount = other.fCount;
    fSize = other.fSize;
    fMalloced = other.fMalloced;
    other.fArray = other.fStaticArray;
    other.fCount = 0;
    other.fSize = kInline;
    other.fMalloced = false;
    return *this;
}

// Doubly linked list with one allocation per node; an iterator survives the removal
// of its current node. Thread rules of CL_Hashable.
template <class T>
class CL_LinkedList : public CL_Object {
public:
    struct Node : public CL_Object {
        T fValue;
        Node* fPrev;
        Node* fNext;
    };

    // Keeps the node after its current one, so the current node may be removed.
    template <bool kConst>
    class Iter {
    public:
        typedef std::conditional_t<kConst, const CL_LinkedList, CL_LinkedList> Container;
        typedef std::conditional_t<kConst, const T, T> Value;

        Iter() : fContainer(nullptr), fNode(nullptr), fNext(nullptr) {}
        Iter(Container* container, Node* node)
            : fContainer(container), fNode(node), fNext(node ? node->fNext : nullptr) {}
        Iter& operator++() {
            fNode = fNext;
            fNext = fNode ? fNode->fNext : nullptr;
            return *this;
        }
        Iter operator++(int) {
            Iter old = *this;
            ++*this;
            return old;
        }
        bool operator==(const Iter& other) const { return fNode == other.fNode; }
        bool operator!=(const Iter& other) const { return fNode != other.fNode; }
        Value& operator*() const { return fNode->fValue; }
        Value* operator->() const { return &fNode->fValue; }

    private:
        friend class CL_LinkedList;
        Container* fContainer;
        Node* fNode;
        Node* fNext;
    };
    typedef Iter<false> iterator;
    typedef Iter<true> const_iterator;

    CL_LinkedList() : fHead(nullptr), fTail(nullptr), fCount(0), fNullValue() {}
    CL_LinkedList(const CL_LinkedList& other) : CL_LinkedList() { *this = other; }
    CL_LinkedList(CL_LinkedList&& other) noexcept : CL_LinkedList() { *this = std::move(other); }
    ~CL_LinkedList() {
        while (fHead) {
            Node* next = fHead->fNext;
            FreeNode(fHead);
            fHead = next;
        }
    }
    CL_LinkedList& operator=(const CL_LinkedList& other) {
        if (this == &other) return *this;
        Clear();
        for (Node* n = other.fHead; n; n = n->fNext)
            Append(n->fValue);
        return *this;
    }
    CL_LinkedList& operator=(CL_LinkedList&& other) noexcept {
        if (this == &other) return *this;
        Clear();
        fHead = other.fHead;
        fTail = other.fTail;
        fCount = other.fCount;
        other.fHead = other.fTail = nullptr;
        other.fCount = 0;
        return *this;
    }

    bool Append(T value) { return LinkBefore(nullptr, std::move(value)); }
    bool Push(T value) { return Append(std::move(value)); }
    // Inserts before the node at `pos`; a position at or beyond the end appends.
    bool Insert(T value, uint32 pos) { return LinkBefore(NodeAt(pos), std::move(value)); }
    void Replace(T value, uint32 pos) {
        Node* node = NodeAt(pos);
        if (node) node->fValue = std::move(value);
    }
    // Removes the first equal element; true when one was found.
    bool Remove(const T& value) {
        for (Node* n = fHead; n; n = n->fNext) {
            if (n->fValue == value) {
                Unlink(n);
                return true;
            }
        }
        return false;
    }
    // The value is taken by copy: it may be one of the list's own elements, which the
    // walk frees before it has compared the rest.
    bool RemoveAll(T value) {
        bool removed = false;
        for (Node* n = fHead; n;) {
            Node* next = n->fNext;
            if (n->fValue == value) {
                Unlink(n);
                removed = true;
            }
            n = next;
        }
        return removed;
    }
    // The iterator keeps the node after the removed one, so the walk goes on.
    void Remove(iterator& it) {
        if (it.fNode) Unlink(it.fNode);
    }
    bool RemoveIndex(uint32 pos) {
        Node* node = NodeAt(pos);
        if (!node) return false;
        Unlink(node);
        return true;
    }
    T Pop(bool fromHead = false) {
        Node* node = fromHead ? fHead : fTail;
        if (!node) return fNullValue;
        T value = std::move(node->fValue);
        Unlink(node);
        return value;
    }
    T Get(uint32 pos) const {
        Node* node = NodeAt(pos);
        return node ? node->fValue : fNullValue;
    }
    // Out of range gives a fresh value-initialised T private to the calling thread.
    T& operator[](uint32 pos) {
        Node* node = NodeAt(pos);
        if (node) return node->fValue;
        static thread_local T spare{};
        spare = T();
        return spare;
    }
    T GetFirst() const { return fHead ? fHead->fValue : fNullValue; }
    T GetLast() const { return fTail ? fTail->fValue : fNullValue; }
    T Top() const { return GetLast(); }
    bool Exists(const T& value) const { return IndexOf(value) >= 0; }
    int32 IndexOf(const T& value) const {
        int32 pos = 0;
        for (Node* n = fHead; n; n = n->fNext, pos++)
            if (n->fValue == value) return pos;
        return -1;
    }
    void Clear() {
        while (fCount > 0)
            Pop(false);
    }
    uint32 Count() const { return fCount; }
    iterator begin() { return iterator(this, fHead); }
    iterator end() { return iterator(this, nullptr); }
    const_iterator begin() const { return const_iterator(this, fHead); }
    const_iterator end() const { return const_iterator(this, nullptr); }

protected:
    Node* fHead;
    Node* fTail;
    uint32 fCount;
    T fNullValue;

private:
    Node* NodeAt(uint32 pos) const {
        if (pos >= fCount) return nullptr;
        Node* n = fHead;
        while (pos-- > 0)
            n = n->fNext;
        return n;
    }
    bool LinkBefore(Node* next, T&& value) {
        if (fCount == 0xFFFFFFFFu) return false;
        void* memory = malloc(sizeof(Node));
        if (!memory) return false;
        Node* node = ::new (memory) Node{{}, std::move(value), nullptr, next};
        node->fPrev = next ? next->fPrev : fTail;
        if (node->fPrev)
            node->fPrev->fNext = node;
        else
            fHead = node;
        if (next)
            next->fPrev = node;
        else
            fTail = node;
        fCount += 1;
        return true;
    }
    void Unlink(Node* node) {
        if (node->fPrev)
            node->fPrev->fNext = node->fNext;
        else
            fHead = node->fNext;
        if (node->fNext)
            node->fNext->fPrev = node->fPrev;
        else
            fTail = node->fPrev;
        FreeNode(node);
        fCount -= 1;
    }
    static void FreeNode(Node* node) {
        node->~Node();
        free(node);
    }
};

// Bounded cache from keys to heap objects it owns, evicting the least recently used
// entry when full. A lookup (Get) reorders the entries, so even lookups need the
// owner's lock when several threads share a cache.
template <class K, class V>
class CL_LRUCache : public CL_Object {
public:
    struct Node {
        K fKey{};
        V* fValue = nullptr;
        bool operator==(const Node& other) const {
            return fKey == other.fKey && fValue == other.fValue;
        }
    };

    CL_LRUCache() : fCapacity(256), fRemoved(0) {}
    explicit CL_LRUCache(uint32 capacity) : fCapacity(capacity), fRemoved(0) {}
    CL_LRUCache(const CL_LRUCache&) = delete;
    CL_LRUCache& operator=(const CL_LRUCache&) = delete;
    ~CL_LRUCache() { Clear(); }

    // Stores the value as the most recently used; the cache takes ownership. A value
    // already stored under the key is replaced and deleted.
    void Put(const K& key, V* value) {
        if (fMap.Exists(key)) {
            V* old = fMap.Get(key);
            fRecent.Remove(Node{key, old});
            if (old != value) delete old;
        }
        fMap.Set(key, value);
        fRecent.Insert(Node{key, value}, 0);
        if (fRecent.Count() > fCapacity) {
            Node last = fRecent.Pop(false);
            V* evicted = fMap.Get(last.fKey);
            Forget(last.fKey);
            delete evicted;
        }
    }
    // The cached value or null; a hit becomes the most recently used.
    V* Get(const K& key) {
        V* value = fMap.Get(key);
        if (!value) return nullptr;
        fRecent.Remove(Node{key, value});
        fRecent.Insert(Node{key, value}, 0);
        return value;
    }
    // Takes the entry out of the cache and hands its value to the caller.
    V* Pop(const K& key) {
        if (!fMap.Exists(key)) return nullptr;
        V* value = fMap.Get(key);
        fRecent.Remove(Node{key, value});
        Forget(key);
        return value;
    }
    bool Exists(const K& key) const { return fMap.Exists(key); }
    uint32 Count() const { return fMap.Count(); }
    void Clear() {
        for (V* value : fMap)
            delete value;
        fMap.Clear();
        fRemoved = 0;
        while (fRecent.Count() > 0)
            fRecent.Pop(false);
    }

protected:
    uint32 fCapacity;
    CL_LinkedList<Node> fRecent;
    CL_HashMap<K, V*> fMap;

private:
    // Removed map nodes are only dropped by a re-indexing, which doubles the index each
    // time; compacting after every capacity's worth of removals keeps a busy cache bounded.
    void Forget(const K& key) {
        fMap.Remove(key);
        if (++fRemoved >= (fCapacity > 8 ? fCapacity : 8)) {
            fMap.Shrink();
            fRemoved = 0;
        }
    }
    uint32 fRemoved;
};
