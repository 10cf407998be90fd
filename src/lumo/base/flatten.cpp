// The flattened value format: entries, lists and tables written into a blob and read
// back, in version 2 or the older version 1 chosen per thread for writing. Readers
// accept both versions at once and refuse counts, lengths and nesting that the data
// cannot hold, so hostile input fails cleanly instead of exhausting memory or stack.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "lumo/base/entry_arena.h"
#include "lumo/entry.h"
#include "lumo/thread.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the format is little-endian");

namespace {

constexpr int64 kDay = CL_MSECS_PER_DAY;

// The tag byte of a type; entry types and the legacy tags share the letters.
constexpr uint8 Tag(CLU_Type type) {
    return static_cast<uint8>(type);
}
// A zero tag byte reads as NULL, as peers may pad with it.
constexpr uint8 kEndTag = 0;
// The payload byte of a true boolean; readers take any nonzero byte as true.
constexpr uint8 kTrueByte = 0xFB;

// Flattened-format version of each thread; 0 means not set (version 2). Made on
// first use with 0 stored for the thread that makes it, kept to process exit.
CL_ThreadVar<uint32>& VersionVar() {
    static CL_ThreadVar<uint32> sFlattenedVersion(0u);
    return sFlattenedVersion;
}

// The thread's stored version without making local storage for it.
uint32 StoredVersion() {
    if (!CL_Thread::HasLocalStorage()) return 0;
    return VersionVar().Get();
}

// Remainder with the sign of the dividend, as C++ gives it.
inline int64 Remainder(int64 value, int64 divisor) {
    return value % divisor;
}

// Seconds to milliseconds with 64-bit wrap-around instead of overflow.
inline int64 TimesThousand(int64 seconds) {
    return static_cast<int64>(static_cast<uint64>(seconds) * 1000u);
}

}  // namespace

// Writer and reader over raw bytes; the blob is touched once at each end.
class CLU_Flattener {
public:
    // A key of a table being written, cut at its first NUL, and its entry.
    struct KeyRef {
        const char* fKey;
        size_t fLength;
        const CLU_Entry* fEntry;
    };

    // Writes straight into the blob at its position, growing it geometrically; the
    // bytes past the written end are cut off again by Finish.
    class Writer {
    public:
        Writer(CL_Blob& blob, bool v1)
            : fOut(nullptr),
              fEnd(nullptr),
              fV1(v1),
              fDepth(0),
              fStart(nullptr),
              fBlob(blob),
              fBase(blob.Tell()),
              fOldSize(blob.GetSize()),
              fFailed(false) {}
        Writer(const Writer&) = delete;
        Writer& operator=(const Writer&) = delete;

        // Room for n more bytes at fOut; false once the blob cannot grow that far.
        bool Room(size_t n) { return static_cast<size_t>(fEnd - fOut) >= n || Grow(n); }
        void Byte(uint8 b) {
            if (Room(1)) *fOut++ = b;
        }
        void TagAnd64(uint8 tag, uint64 v) {
            if (Room(9)) {
                fOut[0] = tag;
                memcpy(fOut + 1, &v, 8);
                fOut += 9;
            }
        }
        void U32(uint32 v) {
            if (Room(4)) {
                memcpy(fOut, &v, 4);
                fOut += 4;
            }
        }
        void Bytes(const void* data, size_t n) {
            if (n && Room(n)) {
                memcpy(fOut, data, n);
                fOut += n;
            }
        }
        // Makes room for n more bytes when the blob can take them; never fails the write.
        void Reserve(size_t n) {
            if (static_cast<size_t>(fEnd - fOut) >= n || fFailed) return;
            const uint64 limit = CL_Blob::kMaxSize - static_cast<uint64>(fBase);
            if (static_cast<uint64>(fOut - fStart) + n <= limit) Grow(n, true);
        }
        // One more list or table level; readers refuse data nested past the limit, so
        // a deeper value is refused as a whole (see Finish).
        bool Enter() {
            if (__builtin_expect(fDepth >= CLU_MAX_FLATTEN_DEPTH, 0)) {
                fFailed = true;
                return false;
            }
            fDepth++;
            return true;
        }
        bool Failed() const { return fFailed; }
        // Sets the blob's size and position after what was written. A payload past
        // the blob's size limit or a refused value leaves the blob's size and
        // position as they were; bytes it held past the position may be overwritten.
        void Finish() {
            if (fFailed) {
                fBlob.SetSize(fOldSize);
                fBlob.Seek(static_cast<int32>(fBase), CL_SEEK_SET);
                return;
            }
            uint64 end = fBase + static_cast<uint64>(fOut - fStart);
            if (fStart) fBlob.SetSize(static_cast<uint32>(std::max<uint64>(end, fOldSize)));
            fBlob.Seek(static_cast<int32>(end), CL_SEEK_SET);
        }

        uint8* fOut;  // the next byte to write
        uint8* fEnd;  // the end of the room
        bool fV1;
        int32 fDepth;               // lists and tables being written, the innermost included
        std::vector<KeyRef> fKeys;  // sort stack shared by nested tables

    private:
        // Room for n more bytes; a failure fails the write unless it was only `wanted`.
        bool Grow(size_t n, bool wanted = false) {
            if (fFailed) return false;
            const size_t size = static_cast<size_t>(fOut - fStart);
            const size_t capacity = static_cast<size_t>(fEnd - fStart);
            uint64 limit = CL_Blob::kMaxSize - static_cast<uint64>(fBase);
            uint64 grown = std::max<uint64>(capacity * 2, 1024);
            if (grown < size + n) grown = size + n;
            if (grown > limit) grown = limit;
            if (grown < size + n) {
                fFailed = !wanted;
                return false;
            }
            uint32 end = static_cast<uint32>(fBase + grown);
            fBlob.SetCapacity(end);
            if (fBlob.GetSize() < end) fBlob.SetSize(end);
            if (fBlob.GetSize() < end) {
                fFailed = !wanted;
                return false;
            }
            fStart = fBlob.GetDataForWrite() + fBase;
            fOut = fStart + size;
            fEnd = fStart + grown;
            return true;
        }

        uint8* fStart;
        CL_Blob& fBlob;
        uint32 fBase;
        uint32 fOldSize;
        bool fFailed;
    };

    // Lists and tables, with their entries, keys and longer texts, are read into one
    // arena (made for the outermost of them); the entry read at the top, when it is
    // not a list or table, is an entry of its own.
    struct Reader {
        const uint8* fData;
        uint32 fPos;
        uint32 fSize;
        int32 fDepth;
        CLU_Arena* fArena;
        bool fOutOfMemory;
        // The first empty list and table read, whose storages the later ones share.
        CL_RefCounted<CLU_List::Storage>* fEmptyList;
        CL_RefCounted<CLU_Table::Storage>* fEmptyTable;

        uint32 Remaining() const { return fSize - fPos; }
        // Short reads give 0 and leave the position where it was.
        uint32 U32() {
            if (Remaining() < 4) return 0;
            uint32 v;
            memcpy(&v, fData + fPos, 4);
            fPos += 4;
            return v;
        }
        int64 I64() {
            if (Remaining() < 8) return 0;
            int64 v;
            memcpy(&v, fData + fPos, 8);
            fPos += 8;
            return v;
        }
        bool OutOfMemory() {
            fOutOfMemory = true;
            return false;
        }
    };

    static bool WritesVersion1() { return StoredVersion() == 1; }

    static void WriteEntry(Writer& w, const CLU_Entry& e);
    static bool WriteScalar(const CLU_Entry& e, uint8*& out, bool v1);
    template <bool kAhead>
    static void WriteItems(Writer& w, CLU_Entry* const* items, uint32 count);
    static void WriteItemsOf(Writer& w, CLU_Entry* const* items, uint32 count);
    static inline void PrefetchStorage(const CLU_Entry* e);
    static inline void PrefetchItems(const CLU_Entry* e);
    static inline void PrefetchEntries(const CLU_Entry* e);
    static void WriteList(Writer& w, const CLU_List& list);
    static void WriteTable(Writer& w, const CLU_Table& table);

    static bool ReadEntry(Reader& r, CLU_Entry& e);
    static bool ReadItem(Reader& r, CLU_Entry* e);
    // The rest of a blob, and of a list or table, whose tag was read.
    static bool ReadBlob(Reader& r, CLU_Entry& e);
    static bool ReadNested(Reader& r, CLU_Entry& e, bool list);
    static bool ReadList(Reader& r, CL_RefCounted<CLU_List::Storage>& handle, bool root);
    static bool ReadTable(Reader& r, CL_RefCounted<CLU_Table::Storage>& handle, bool root);
    // The place of `key` in `map`, a node made when absent; null when out of memory.
    static CLU_Entry** KeySlot(CLU_Arena* arena, CL_StringMap& map, const char* key, size_t length);
    // A new arena for what remains to read, whose root the caller places next.
    static bool StartArena(Reader& r);
    // Gives an arena handle without a storage the empty one of its kind.
    template <class S>
    static bool GiveStorage(Reader& r, CL_RefCounted<S>& handle, CL_RefCounted<S>*& empty);

    // Whether the value went out whole (see Writer::Finish).
    template <class T>
    static bool Flatten(const T& value, CL_Blob& blob, void (*write)(Writer&, const T&)) {
        Writer w(blob, WritesVersion1());
        write(w, value);
        w.Finish();
        return !w.Failed();
    }

    static Reader StartReading(CL_Blob& blob, int32 depth) {
        Reader r;
        r.fData = blob.GetDataForRead();
        r.fSize = blob.GetSize();
        r.fPos = std::min(blob.Tell(), r.fSize);
        r.fDepth = depth;
        r.fArena = nullptr;
        r.fOutOfMemory = false;
        r.fEmptyList = nullptr;
        r.fEmptyTable = nullptr;
        return r;
    }

    // Reads a list or table into a new arena and hands it to `handle`. Out of memory,
    // the handle and the blob's position are left as they were.
    template <class S>
    static bool Unflatten(CL_RefCounted<S>& handle, CL_Blob& blob,
                          bool (*read)(Reader&, CL_RefCounted<S>&, bool)) {
        Reader r = StartReading(blob, 1);
        const uint32 start = r.fPos;
        if (!StartArena(r)) return false;
        CL_RefCounted<S> root;
        bool ok = read(r, root, true);
        if (r.fOutOfMemory) {
            blob.Seek(static_cast<int32>(start), CL_SEEK_SET);
            return false;  // the root, if placed, takes the arena with it
        }
        handle = std::move(root);
        blob.Seek(static_cast<int32>(r.fPos), CL_SEEK_SET);
        return ok;
    }
};

// ---- Writing ------------------------------------------------------------------

void CLU_Flattener::WriteEntry(Writer& w, const CLU_Entry& e) {
    switch (e.fType) {
        case CLU_BOOL:
            if (w.Room(2)) {
                w.fOut[0] = Tag(CLU_BOOL);
                w.fOut[1] = e.fBool ? kTrueByte : 0;
                w.fOut += 2;
            }
            break;
        case CLU_INTEGER:
            w.TagAnd64(Tag(CLU_INTEGER), static_cast<uint64>(e.fInteger));
            break;
        case CLU_FLOAT: {
            uint64 bits;
            memcpy(&bits, &e.fFloat, 8);
            w.TagAnd64(Tag(CLU_FLOAT), bits);
            break;
        }
        case CLU_DECIMAL:
            if (w.fV1) {
                w.TagAnd64(Tag(CLU_OLD_DECIMAL),
                           static_cast<uint64>(e.fDecimal.ToScaledInt64(nullptr)));
            } else if (w.Room(CL_Decimal::kShortStringRoom + 2)) {
                // The text goes straight to its place: a tag, the digits, a NUL.
                size_t n = e.fDecimal.ToShortString(reinterpret_cast<char*>(w.fOut + 1));
                if (n) {
                    w.fOut[0] = Tag(CLU_DECIMAL);
                    w.fOut[1 + n] = 0;
                    w.fOut += n + 2;
                } else {
                    std::string text = e.fDecimal.ToString(-1, false);
                    w.Byte(Tag(CLU_DECIMAL));
                    w.Bytes(text.c_str(), text.size() + 1);
                }
            }
            break;
        case CLU_TIMESTAMP:
            if (w.fV1)
                w.TagAnd64(Tag(CLU_OLD_TIMESTAMP),
                           static_cast<uint64>(e.fTimeStamp.ToRaw() / 1000));
            else
                w.TagAnd64(Tag(CLU_TIMESTAMP), static_cast<uint64>(e.fTimeStamp.ToRaw()));
            break;
        case CLU_DATE:
            if (w.fV1)
                w.TagAnd64(Tag(CLU_OLD_DATE), static_cast<uint64>(e.fDate.ToRaw() / 1000));
            else
                w.TagAnd64(Tag(CLU_DATE), static_cast<uint64>(e.fDate.ToRaw()));
            break;
        case CLU_TIME:
            if (w.fV1)
                w.TagAnd64(Tag(CLU_OLD_TIME),
                           static_cast<uint64>(static_cast<int64>(e.fTime.ToRaw() / 1000)));
            else
                w.TagAnd64(Tag(CLU_TIME), static_cast<uint64>(static_cast<int64>(e.fTime.ToRaw())));
            break;
        case CLU_TEXT: {
            // Readers drop one trailing NUL (peers may send texts with it), so a text
            // that itself ends in NUL gets one more to come back whole.
            size_t n = e.fString.size();
            size_t extra = (n && e.fString[n - 1] == '\0') ? 1 : 0;
            if (n + extra > 0xFFFFFFFFu) n = 0xFFFFFFFFu - extra;
            if (w.Room(5 + n + extra)) {
                uint8* p = w.fOut;
                p[0] = Tag(CLU_TEXT);
                uint32 n32 = static_cast<uint32>(n + extra);
                memcpy(p + 1, &n32, 4);
                if (n) memcpy(p + 5, e.fString.data(), n);
                if (extra) p[5 + n] = 0;
                w.fOut += 5 + n + extra;
            }
            break;
        }
        case CLU_BLOB: {
            uint32 n = e.fBlob.GetSize();
            w.Byte(Tag(CLU_BLOB));
            w.U32(n);
            if (n) w.Bytes(e.fBlob.GetDataForRead(), n);
            break;
        }
        case CLU_LIST:
            w.Byte(Tag(CLU_LIST));
            WriteList(w, e.fList);
            break;
        case CLU_TABLE:
            w.Byte(Tag(CLU_TABLE));
            WriteTable(w, e.fTable);
            break;
        default:
            w.Byte(Tag(CLU_NULL));
            break;
    }
}

// Writing a long list of lists (a result set's rows) waits on memory at every level of
// each row; these ask for the levels ahead, each once the one above it has arrived.
inline void CLU_Flattener::PrefetchStorage(const CLU_Entry* e) {
    if (e->fType == CLU_LIST) e->fList.fStorage.Prefetch();
}
inline void CLU_Flattener::PrefetchItems(const CLU_Entry* e) {
    if (e->fType != CLU_LIST) return;
    if (const CLU_List::Storage* s = e->fList.fStorage.PeekRefData())
        __builtin_prefetch(s->fList.GetData());
}
inline void CLU_Flattener::PrefetchEntries(const CLU_Entry* e) {
    if (e->fType != CLU_LIST) return;
    const CLU_List::Storage* s = e->fList.fStorage.PeekRefData();
    if (!s) return;
    const uint32 n = std::min<uint32>(s->fList.Count(), 8);
    CLU_Entry* const* items = s->fList.GetData();
    for (uint32 k = 0; k < n; k++)
        __builtin_prefetch(items[k]);
}
// Copies n bytes, n at most 32, without a call and without touching bytes past either end.
inline void CopyShort(uint8* to, const char* from, uint32 n) {
    if (n >= 16) {
        memcpy(to, from, 16);
        memcpy(to + n - 16, from + n - 16, 16);
    } else if (n >= 8) {
        memcpy(to, from, 8);
        memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        memcpy(to, from, 4);
        memcpy(to + n - 4, from + n - 4, 4);
    } else {
        for (uint32 i = 0; i < n; i++)
            to[i] = static_cast<uint8>(from[i]);
    }
}

// Bytes of room that WriteScalar may use.
constexpr size_t kScalarRoom = 80;

// Writes the common scalars and short texts at `out`, which has kScalarRoom bytes of
// room; false leaves the entry to WriteEntry.
[[gnu::always_inline]] inline bool CLU_Flattener::WriteScalar(const CLU_Entry& e, uint8*& out,
                                                              bool v1) {
    switch (e.fType) {
        case CLU_TIMESTAMP:
            if (v1) return false;
            [[fallthrough]];
        case CLU_INTEGER:
        case CLU_FLOAT:
            // The three are 64-bit patterns in the same place of the union.
            out[0] = static_cast<uint8>(e.fType);
            memcpy(out + 1, &e.fInteger, 8);
            out += 9;
            return true;
        case CLU_BOOL:
            out[0] = Tag(CLU_BOOL);
            out[1] = e.fBool ? kTrueByte : 0;
            out += 2;
            return true;
        case CLU_TEXT: {
            const char* data = e.fString.data();
            const uint32 n = static_cast<uint32>(e.fString.size());
            static_assert(kScalarRoom >= 5 + 32, "room for a short text");
            if (n == 0 || n > 32 || data[n - 1] == '\0') return false;
            out[0] = Tag(CLU_TEXT);
            memcpy(out + 1, &n, 4);
            CopyShort(out + 5, data, n);
            out += 5 + n;
            return true;
        }
        case CLU_NULL:
            out[0] = Tag(CLU_NULL);
            out += 1;
            return true;
        case CLU_DECIMAL: {
            // The text goes straight to its place: a tag, the digits, a NUL.
            static_assert(kScalarRoom >= CL_Decimal::kShortStringRoom + 2, "room for a decimal");
            if (v1) return false;
            const size_t n = e.fDecimal.ToShortString(reinterpret_cast<char*>(out + 1));
            if (!n) return false;
            out[0] = Tag(CLU_DECIMAL);
            out[1 + n] = 0;
            out += n + 2;
            return true;
        }
        default:
            return false;
    }
}

// The items of a list, with the write position kept in locals. A long list asks for
// the items that are lists a few places ahead, level by level: their storage, then its
// items, then those items' entries; the items of a short one were asked for by the
// list around it.
template <bool kAhead>
void CLU_Flattener::WriteItems(Writer& w, CLU_Entry* const* items, uint32 count) {
    if (kAhead)
        for (uint32 i = 0; i < 8; i++)
            __builtin_prefetch(items[i]);
    uint8* out = w.fOut;
    uint8* end = w.fEnd;
    const bool v1 = w.fV1;
    uint8* const first = out;
    for (uint32 i = 0; i < count; i++) {
        if (kAhead && i == 16) {
            // The room the rest will take at the rate of the first items, asked for at
            // once rather than doubled up to in many steps.
            const size_t rest = static_cast<size_t>(out - first) / 16 * (count - 16);
            w.fOut = out;
            w.Reserve(rest + rest / 8);
            out = w.fOut;
            end = w.fEnd;
        }
        if (kAhead && i + 8 < count) {
            __builtin_prefetch(items[i + 8]);
            PrefetchStorage(items[i + 6]);
            PrefetchItems(items[i + 4]);
            PrefetchEntries(items[i + 2]);
        }
        const CLU_Entry& e = *items[i];
        if (__builtin_expect(static_cast<size_t>(end - out) >= kScalarRoom, 1)) {
            if (WriteScalar(e, out, v1)) continue;
            if (e.fType == CLU_LIST && w.fDepth < CLU_MAX_FLATTEN_DEPTH) {
                // A nested list goes on here, without the calls a general entry takes.
                const CLU_List::Storage* s = e.fList.fStorage.PeekRefData();
                const uint32 n = s ? s->fList.Count() : 0;
                out[0] = Tag(CLU_LIST);
                memcpy(out + 1, &n, 4);
                out += 5;
                if (!n) continue;
                w.fOut = out;
                w.fDepth++;
                if (n > 16)
                    WriteItems<true>(w, s->fList.GetData(), n);
                else
                    WriteItems<false>(w, s->fList.GetData(), n);
                w.fDepth--;
                if (w.Failed()) return;
                out = w.fOut;
                end = w.fEnd;
                continue;
            }
        }
        w.fOut = out;
        WriteEntry(w, e);
        if (w.Failed()) return;
        out = w.fOut;
        end = w.fEnd;
    }
    w.fOut = out;
}

void CLU_Flattener::WriteItemsOf(Writer& w, CLU_Entry* const* items, uint32 count) {
    if (count > 16)
        WriteItems<true>(w, items, count);
    else
        WriteItems<false>(w, items, count);
}

void CLU_Flattener::WriteList(Writer& w, const CLU_List& list) {
    if (!w.Enter()) return;
    const CLU_List::Storage* s = list.fStorage.PeekRefData();
    const uint32 count = s ? s->fList.Count() : 0;
    w.U32(count);
    if (count) WriteItemsOf(w, s->fList.GetData(), count);
    w.fDepth--;
}

void CLU_Flattener::WriteTable(Writer& w, const CLU_Table& table) {
    if (!w.Enter()) return;
    uint32 count = table.Count();
    w.U32(count);
    if (!count) {
        w.fDepth--;
        return;
    }
    const CL_StringMap& map = table.fStorage.GetRefData()->fTable;
    // Keys go out in ascending unsigned byte order, each up to its first NUL so
    // that an embedded NUL cannot misframe what follows.
    size_t base = w.fKeys.size();
    for (CL_StringMap::const_iterator it = map.begin(); it != map.end(); ++it) {
        const std::string& key = it.KeyRef();
        w.fKeys.push_back(KeyRef{key.c_str(), strlen(key.c_str()), it.value()});
    }
    std::sort(w.fKeys.begin() + static_cast<std::ptrdiff_t>(base), w.fKeys.end(),
              [](const KeyRef& a, const KeyRef& b) {
                  return std::string_view(a.fKey, a.fLength) < std::string_view(b.fKey, b.fLength);
              });
    size_t end = w.fKeys.size();
    for (size_t i = base; i < end && !w.Failed(); i++) {
        const KeyRef ref = w.fKeys[i];  // the stack may grow below
        w.Bytes(ref.fKey, ref.fLength + 1);
        WriteEntry(w, *ref.fEntry);
    }
    w.fKeys.resize(base);
    w.fDepth--;
}

void CLU_Entry::Flatten(CL_Blob& blob) const {
    CLU_Flattener::Flatten(*this, blob, &CLU_Flattener::WriteEntry);
}
void CLU_List::Flatten(CL_Blob& blob) const {
    CLU_Flattener::Flatten(*this, blob, &CLU_Flattener::WriteList);
}
void CLU_Table::Flatten(CL_Blob& blob) const {
    TryFlatten(blob);
}
bool CLU_Table::TryFlatten(CL_Blob& blob) const {
    return CLU_Flattener::Flatten(*this, blob, &CLU_Flattener::WriteTable);
}

// ---- Reading ------------------------------------------------------------------

bool CLU_Flattener::StartArena(Reader& r) {
    r.fArena = CLU_Arena::Create(r.Remaining());
    return r.fArena ? true : r.OutOfMemory();
}

namespace {

// Arena memory for a storage and the room after it, which starts pointer-aligned.
template <class S>
constexpr size_t StorageBytes() {
    return (CL_RefCounted<S>::ArenaBytes() + 7) & ~static_cast<size_t>(7);
}

}  // namespace

// The shared empty storage is held by a handle of its own in the arena's memory, which
// is never destroyed: the storage lasts as long as the arena.
template <class S>
bool CLU_Flattener::GiveStorage(Reader& r, CL_RefCounted<S>& handle, CL_RefCounted<S>*& empty) {
    if (handle.IsValid()) return true;
    if (!empty) {
        void* place = r.fArena->Alloc(sizeof(CL_RefCounted<S>) + StorageBytes<S>());
        if (!place) return r.OutOfMemory();
        CL_RefCounted<S>* keeper = ::new (place) CL_RefCounted<S>();
        keeper->PlaceInArena(static_cast<char*>(place) + sizeof(CL_RefCounted<S>), r.fArena, false);
        empty = keeper;
    }
    handle.ShareInArena(*empty);
    return true;
}

// Reads one value into `e`, a NULL entry: one of the arena's, or the entry of its own
// read at the top.
bool CLU_Flattener::ReadEntry(Reader& r, CLU_Entry& e) {
    if (r.Remaining() == 0) return true;
    uint8 tag = r.fData[r.fPos++];
    switch (tag) {
        case kEndTag:
        case CLU_NULL:
            return true;
        case CLU_BOOL:
            e.fBool = r.Remaining() ? r.fData[r.fPos++] != 0 : false;
            e.fType = CLU_BOOL;
            return true;
        case CLU_INTEGER:
            e.fInteger = r.I64();
            e.fType = CLU_INTEGER;
            return true;
        case CLU_FLOAT: {
            int64 bits = r.I64();
            memcpy(&e.fFloat, &bits, 8);
            e.fType = CLU_FLOAT;
            return true;
        }
        case CLU_DECIMAL: {
            const char* text = reinterpret_cast<const char*>(r.fData + r.fPos);
            const void* nul = memchr(text, 0, r.Remaining());
            size_t length = nul ? static_cast<const char*>(nul) - text : r.Remaining();
            r.fPos += static_cast<uint32>(nul ? length + 1 : length);
            new (&e.fDecimal) CL_Decimal(CL_Decimal::FromPrintedString(text, length));
            e.fType = CLU_DECIMAL;
            return true;
        }
        case CLU_OLD_DECIMAL:
            new (&e.fDecimal) CL_Decimal(CL_Decimal::FromScaledInt64(r.I64()));
            e.fType = CLU_DECIMAL;
            return true;
        case CLU_TIMESTAMP:
            new (&e.fTimeStamp) CL_TimeStamp(static_cast<long long>(r.I64()));
            e.fType = CLU_TIMESTAMP;
            return true;
        case CLU_OLD_TIMESTAMP:
            new (&e.fTimeStamp) CL_TimeStamp(static_cast<long long>(TimesThousand(r.I64())));
            e.fType = CLU_TIMESTAMP;
            return true;
        case CLU_DATE: {
            int64 v = r.I64();
            new (&e.fDate) CL_Date(static_cast<long long>(v - Remainder(v, kDay)));
            e.fType = CLU_DATE;
            return true;
        }
        case CLU_OLD_DATE: {
            int64 ms = TimesThousand(r.I64());
            new (&e.fDate) CL_Date(static_cast<long long>(ms / kDay * kDay));
            e.fType = CLU_DATE;
            return true;
        }
        case CLU_TIME: {
            int64 v = r.I64();
            new (&e.fTime) CL_Time();
            e.fTime.FromRaw(Remainder(v, kDay));
            e.fType = CLU_TIME;
            return true;
        }
        case CLU_OLD_TIME: {
            int64 ms = TimesThousand(r.I64());
            new (&e.fTime) CL_Time();
            e.fTime.FromRaw(Remainder(ms, kDay));
            e.fType = CLU_TIME;
            return true;
        }
        case CLU_TEXT: {
            uint32 n = r.U32();
            if (n > r.Remaining()) return false;  // a text cut short is refused
            const char* text = reinterpret_cast<const char*>(r.fData + r.fPos);
            r.fPos += n;
            if (n && text[n - 1] == '\0') n--;
            if (e.InArena()) return r.fArena->SetText(e, text, n) || r.OutOfMemory();
            new (&e.fString) std::string(text, n);
            e.fType = CLU_TEXT;
            return true;
        }
        case CLU_BLOB:
            return ReadBlob(r, e);
        case CLU_LIST:
            return ReadNested(r, e, true);
        case CLU_TABLE:
            return ReadNested(r, e, false);
        default:
            return false;
    }
}

bool CLU_Flattener::ReadBlob(Reader& r, CLU_Entry& e) {
    new (&e.fBlob) CL_Blob();
    e.fType = CLU_BLOB;
    // A blob has a buffer of its own, now or once written to through a pointer: the
    // arena destroys it when it goes.
    if (e.InArena() && !r.fArena->KeepForDestruction(&e)) return r.OutOfMemory();
    if (r.Remaining() < 4) return true;  // no count: an empty blob
    uint32 n = r.U32();
    if (n > r.Remaining()) return false;
    if (n) {
        e.fBlob = CL_Blob(r.fData + r.fPos, n, true);
        if (e.fBlob.GetSize() != n) return r.OutOfMemory();
        e.fBlob.Rewind();
    }
    r.fPos += n;
    return true;
}

bool CLU_Flattener::ReadNested(Reader& r, CLU_Entry& e, bool list) {
    if (list)
        new (&e.fList) CLU_List();
    else
        new (&e.fTable) CLU_Table();
    e.fType = list ? CLU_LIST : CLU_TABLE;
    // The entry read at the top holds the root of a new arena.
    const bool root = !e.InArena();
    bool ok = r.fDepth < CLU_MAX_FLATTEN_DEPTH;
    if (ok && root && !StartArena(r)) return false;
    if (ok) {
        r.fDepth++;
        ok = list ? ReadList(r, e.fList.fStorage, root) : ReadTable(r, e.fTable.fStorage, root);
        r.fDepth--;
    }
    // A list or table in the arena always has a storage there, empty ones one they
    // share: a change through a pointer then goes through an arena handle, which tells
    // the arena.
    if (!root && !r.fOutOfMemory) {
        const bool given = list ? GiveStorage(r, e.fList.fStorage, r.fEmptyList)
                                : GiveStorage(r, e.fTable.fStorage, r.fEmptyTable);
        if (!given) return false;
    }
    return ok;
}

// Reads the common fixed-size values and texts into `e`, a NULL entry of the arena,
// when the data surely holds them; everything else, and data that runs short, goes to
// ReadEntry.
[[gnu::always_inline]] inline bool CLU_Flattener::ReadItem(Reader& r, CLU_Entry* e) {
    // Reader fields in locals: the entry's stores could otherwise alias them.
    const uint32 pos = r.fPos;
    const uint32 left = r.fSize - pos;
    const uint8* p = r.fData + pos;
    if (__builtin_expect(left >= 9, 1)) {
        const uint8 tag = p[0];
        if (tag == CLU_INTEGER || tag == CLU_FLOAT || tag == CLU_TIMESTAMP) {
            // The three are 64-bit patterns in the same place of the union.
            int64 v;
            memcpy(&v, p + 1, 8);
            e->fInteger = v;
            e->fType = static_cast<CLU_Type>(tag);
            r.fPos = pos + 9;
            return true;
        }
        if (tag == CLU_TEXT) {
            uint32 n;
            memcpy(&n, p + 1, 4);
            if (n <= left - 5) {
                const char* text = reinterpret_cast<const char*>(p + 5);
                r.fPos = pos + 5 + n;
                if (n && text[n - 1] == '\0') n--;
                return r.fArena->SetText(*e, text, n) || r.OutOfMemory();
            }
        } else if (tag == CLU_BOOL) {
            e->fBool = p[1] != 0;
            e->fType = CLU_BOOL;
            r.fPos = pos + 2;
            return true;
        }
    }
    return ReadEntry(r, *e);
}

bool CLU_Flattener::ReadList(Reader& r, CL_RefCounted<CLU_List::Storage>& handle, bool root) {
    int32 count = static_cast<int32>(r.U32());
    // Every entry takes at least one byte: a count the data cannot hold is refused.
    bool sane = count >= 0 && static_cast<uint32>(count) <= r.Remaining();
    uint32 n = sane ? static_cast<uint32>(count) : 0;
    // An empty list inside the value needs no storage at all.
    if (n == 0 && !root) return sane;
    typedef CL_Array<CLU_Entry*>::Node Item;
    constexpr uint32 kInline = 4;  // items an array keeps in itself
    const size_t room = n > kInline ? static_cast<size_t>(n) * sizeof(Item) : 0;
    constexpr size_t head = StorageBytes<CLU_List::Storage>();
    char* block = static_cast<char*>(r.fArena->Alloc(head + room));
    if (!block) {
        if (root) r.fArena->Free();  // nothing refers to it yet
        return r.OutOfMemory();
    }
    CLU_List::Storage* s = handle.PlaceInArena(block, r.fArena, root);
    if (room) s->fList.AdoptRoom(block + head, room);
    if (!sane) return false;
    CLU_Entry** items = s->fList.GetData();
    // The entries come in runs: those of one list lie side by side.
    for (uint32 i = 0; i < n;) {
        uint32 run = n - i;
        uint32 place;
        CLU_Entry* e = r.fArena->NewEntries(&run, &place);
        if (!e) {
            s->fList.SetCount(i);
            return r.OutOfMemory();
        }
        for (uint32 end = i + run; i < end; i++, e++, place += CLU_Arena::kEntryPlaceStep) {
            ::new (static_cast<void*>(e)) CLU_Entry();
            e->fPlace = place;
            bool ok = ReadItem(r, e);
            items[i] = e;
            if (!ok) {
                s->fList.SetCount(i + 1);
                return false;
            }
        }
    }
    s->fList.SetCount(n);
    return true;
}

CLU_Entry** CLU_Flattener::KeySlot(CLU_Arena* arena, CL_StringMap& map, const char* key,
                                   size_t length) {
    if (length <= 15) {
        const std::string k(key, length);  // in the string's own room
        return map.SlotWith(k, [&k](std::string& place) { place = k; });
    }
    // The key's bytes stay in the arena, under the node's string and the probe's.
    char* bytes = static_cast<char*>(arena->Alloc(length + 1));
    if (!bytes) return nullptr;
    memcpy(bytes, key, length);
    bytes[length] = 0;
    alignas(std::string) unsigned char probe[sizeof(std::string)];
    if (const std::string* k = CLU_Arena::LayString(probe, bytes, length)) {
        return map.SlotWith(
            *k, [&](std::string& place) { CLU_Arena::LayString(&place, bytes, length); });
    }
    const std::string k(key, length);
    bool kept = true;
    CLU_Entry** slot =
        map.SlotWith(k, [&](std::string& place) { kept = arena->SetKey(place, key, length); });
    return kept ? slot : nullptr;
}

bool CLU_Flattener::ReadTable(Reader& r, CL_RefCounted<CLU_Table::Storage>& handle, bool root) {
    int32 count = static_cast<int32>(r.U32());
    bool sane = count >= 0 && static_cast<uint32>(count) <= r.Remaining();
    uint32 n = sane ? static_cast<uint32>(count) : 0;
    if (n == 0 && !root) return sane;
    const size_t room = n ? CL_StringMap::RoomBytes(n) : 0;
    constexpr size_t head = StorageBytes<CLU_Table::Storage>();
    char* block = static_cast<char*>(r.fArena->Alloc(head + room));
    if (!block) {
        if (root) r.fArena->Free();
        return r.OutOfMemory();
    }
    CLU_Table::Storage* s = handle.PlaceInArena(block, r.fArena, root);
    if (room) s->fTable.AdoptRoom(block + head, room, n);
    if (!sane) return false;
    CLU_Arena* arena = r.fArena;
    for (uint32 i = 0; i < n; i++) {
        const char* key = reinterpret_cast<const char*>(r.fData + r.fPos);
        const void* nul = memchr(key, 0, r.Remaining());
        size_t length = nul ? static_cast<const char*>(nul) - key : r.Remaining();
        r.fPos += static_cast<uint32>(nul ? length + 1 : length);

        CLU_Entry* e = arena->NewEntry();
        if (!e) return r.OutOfMemory();
        bool ok = ReadEntry(r, *e);
        CLU_Entry** slot = KeySlot(arena, s->fTable, key, length);
        if (!slot) return r.OutOfMemory();
        if (*slot) CLU_Entry::Deallocate(*slot);
        *slot = e;
        if (!ok) return false;
    }
    return true;
}

bool CLU_Entry::Unflatten(CL_Blob& blob) {
    CLU_Flattener::Reader r = CLU_Flattener::StartReading(blob, 0);
    const uint32 start = r.fPos;
    CLU_Entry value;
    bool ok = CLU_Flattener::ReadEntry(r, value);
    if (r.fOutOfMemory) {
        blob.Seek(static_cast<int32>(start), CL_SEEK_SET);
        return false;  // the entry stays as it was
    }
    *this = std::move(value);
    blob.Seek(static_cast<int32>(r.fPos), CL_SEEK_SET);
    return ok;
}
bool CLU_List::Unflatten(CL_Blob& blob) {
    return CLU_Flattener::Unflatten(fStorage, blob, &CLU_Flattener::ReadList);
}
bool CLU_Table::Unflatten(CL_Blob& blob) {
    return CLU_Flattener::Unflatten(fStorage, blob, &CLU_Flattener::ReadTable);
}

// ---- Per-thread version -------------------------------------------------------

uint32 CLU_Entry::GetFlattenedVersion() {
    uint32 version = StoredVersion();
    return version == 0 ? 2 : version;
}

uint32 CLU_Entry::SetFlattenedVersion(uint32 version) {
    CL_ThreadVar<uint32>& var = VersionVar();
    uint32 previous = var.Get();
    var = version == 0 ? 2 : version;
    return previous;
}
