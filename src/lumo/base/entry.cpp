// The dynamic value: lifetime, setters, container access, queries, comparison and
// checksums. Conversions between types live in entry_convert.cpp.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "lumo/containers.h"
#include "lumo/entry.h"
#include "lumo/base/entry_arena.h"

namespace {

// True for the types whose value holds no heap object.
inline bool IsPlain(CLU_Type type) {
    switch (type) {
        case CLU_NULL:
        case CLU_BOOL:
        case CLU_INTEGER:
        case CLU_FLOAT:
        case CLU_TIME:
        case CLU_DATE:
        case CLU_TIMESTAMP:
            return true;
        default:
            return false;
    }
}

inline uint32 Fold64(int64 value) {
    uint64 u = static_cast<uint64>(value);
    return static_cast<uint32>(u >> 32) ^ static_cast<uint32>(u);
}

// Converts `e` to `type` (forced) and runs `use` on the result. The caller's argument
// that `use` reads may live inside the value being converted away, so the old value
// stays alive until `use` is done: a copy is converted and then moved in.
template <class Use>
bool ConvertThen(CLU_Entry& e, CLU_Type type, Use use) {
    if (e.fType == type) return use(e);
    CLU_Entry converted(e);
    converted.Convert(type, true);
    bool result = use(converted);
    e = std::move(converted);
    return result;
}

}  // namespace

// ---- Per-thread entry cache ---------------------------------------------------

namespace {

// Reading a large reply frees and allocates entries by the hundred thousand; a
// bounded per-thread cache spares the heap most of that work.
constexpr uint32 kCachedEntriesMax = 1u << 18;

// The freed blocks as an array rather than a list threaded through them: handing one
// out then reads the array in order instead of chasing a pointer in a cold block, and
// the blocks a few places further down can be fetched ahead.
struct EntryCache {
    CLU_Entry** fItems;
    uint32 fCount;
    uint32 fCapacity;
    bool fClosed;
};
thread_local EntryCache tCache = {nullptr, 0, 0, false};
thread_local CLU_EntryStack tStack = {nullptr, 0, 0, false};

// Pointers the stack keeps between uses (512 KB).
constexpr uint32 kStackKept = 1u << 16;

void DrainCache() {
    for (uint32 i = 0; i < tCache.fCount; i++)
        free(tCache.fItems[i]);
    free(tCache.fItems);
    tCache.fItems = nullptr;
    tCache.fCount = 0;
    tCache.fCapacity = 0;
}

// Room for one more cached block; false at the bound or without memory.
bool GrowCache() {
    if (tCache.fCapacity >= kCachedEntriesMax) return false;
    uint32 capacity = tCache.fCapacity ? tCache.fCapacity * 2 : 1024;
    if (capacity > kCachedEntriesMax) capacity = kCachedEntriesMax;
    void* items = realloc(tCache.fItems, static_cast<size_t>(capacity) * sizeof(CLU_Entry*));
    if (!items) return false;
    tCache.fItems = static_cast<CLU_Entry**>(items);
    tCache.fCapacity = capacity;
    return true;
}

// Empties the cache when the thread ends; later frees go straight to the heap.
struct EntryCacheCloser {
    bool fArmed = false;
    ~EntryCacheCloser() {
        DrainCache();
        tCache.fClosed = true;
        tStack.Release();
        tStack.fClosed = true;
    }
};
thread_local EntryCacheCloser tCacheCloser;

}  // namespace

CLU_Entry* CLU_Entry::Allocate(CLU_Type type) {
    if (uint32 n = tCache.fCount) {
        CLU_Entry* block = tCache.fItems[n - 1];
        tCache.fCount = n - 1;
        // Blocks handed out next are likely cold: start loading one a few calls ahead.
        if (n > 8) __builtin_prefetch(tCache.fItems[n - 9], 1);
        return ::new (static_cast<void*>(block)) CLU_Entry(type);
    }
    void* block = malloc(sizeof(CLU_Entry));
    return block ? ::new (block) CLU_Entry(type) : nullptr;
}

void CLU_Entry::Deallocate(CLU_Entry* e) {
    if (!e) return;
    if (e->fPlace & kInArena) {
        e->~CLU_Entry();  // the memory is the arena's
        return;
    }
    e->~CLU_Entry();
    if (!tCache.fClosed && (tCache.fCount < tCache.fCapacity || GrowCache())) {
        if (!tCacheCloser.fArmed) tCacheCloser.fArmed = true;  // registers the closer
        tCache.fItems[tCache.fCount++] = e;
        return;
    }
    free(e);
}

void CLU_Entry::operator delete(CLU_Entry* e, std::destroying_delete_t) {
    const bool inArena = (e->fPlace & kInArena) != 0;
    e->~CLU_Entry();
    if (!inArena) free(e);
}

void CLU_Entry::ClearFreeList() {
    DrainCache();
    if (tStack.fSize == 0) tStack.Release();
}

void CLU_Entry::ReleaseArenaBlocks() {
    CLU_Arena::ReleaseCachedBlocks();
}

void CLU_Entry::MarkArenaDirty() {
    CLU_Arena::Of(this)->MarkDirty();
}

CLU_EntryStack* CLU_Entry::ThreadEntryStack() {
    if (tStack.fClosed) return nullptr;
    if (!tCacheCloser.fArmed) tCacheCloser.fArmed = true;  // registers the closer
    return &tStack;
}

bool CLU_EntryStack::Reserve(uint32 extra) {
    uint64 needed = static_cast<uint64>(fSize) + extra;
    if (needed <= fCapacity) return true;
    uint64 capacity = std::max<uint64>(static_cast<uint64>(fCapacity) * 2, 256);
    if (capacity < needed) capacity = needed;
    if (capacity > 0xFFFFFFFFull) return false;
    void* items = realloc(fItems, static_cast<size_t>(capacity) * sizeof(CLU_Entry*));
    if (!items) return false;
    fItems = static_cast<CLU_Entry**>(items);
    fCapacity = static_cast<uint32>(capacity);
    return true;
}

void CLU_EntryStack::Pop(uint32 base) {
    fSize = base;
    if (base == 0 && fCapacity > kStackKept) Release();
}

void CLU_EntryStack::Release() {
    free(fItems);
    fItems = nullptr;
    fSize = 0;
    fCapacity = 0;
}

CLU_Entry::CLU_Entry(CLU_Type type) : fType(CLU_NULL), fPlace(0) {
    fInteger = 0;
    InitValue(type);
}

void CLU_Entry::InitValue(CLU_Type type) {
    fInteger = 0;
    switch (type) {
        case CLU_BOOL:
            fBool = false;
            break;
        case CLU_INTEGER:
            fInteger = 0;
            break;
        case CLU_FLOAT:
            fFloat = 0.0;
            break;
        case CLU_DECIMAL:
            new (&fDecimal) CL_Decimal();
            break;
        case CLU_TIME:
            new (&fTime) CL_Time();
            break;
        case CLU_DATE:
            new (&fDate) CL_Date();
            break;
        case CLU_TIMESTAMP:
            new (&fTimeStamp) CL_TimeStamp();
            break;
        case CLU_TEXT:
            new (&fString) std::string();
            break;
        case CLU_BLOB:
            new (&fBlob) CL_Blob();
            break;
        case CLU_LIST:
            new (&fList) CLU_List();
            break;
        case CLU_TABLE:
            new (&fTable) CLU_Table();
            break;
        default:
            type = CLU_NULL;
            break;
    }
    fType = type;
    NoteOwnedValue();
}

void CLU_Entry::Destroy() {
    switch (fType) {
        case CLU_DECIMAL:
            fDecimal.~CL_Decimal();
            break;
        case CLU_TEXT:
            // Borrowed bytes belong to the arena.
            if (!(fPlace & kBorrowedText)) fString.~basic_string();
            fPlace &= ~kBorrowedText;
            break;
        case CLU_BLOB:
            fBlob.~CL_Blob();
            break;
        case CLU_LIST:
            fList.~CLU_List();
            break;
        case CLU_TABLE:
            fTable.~CLU_Table();
            break;
        default:
            break;
    }
    fType = CLU_NULL;
    fInteger = 0;
}

void CLU_Entry::CopyFrom(const CLU_Entry& other) {
    switch (other.fType) {
        case CLU_DECIMAL:
            new (&fDecimal) CL_Decimal(other.fDecimal);
            break;
        case CLU_TEXT:
            new (&fString) std::string(other.fString);
            break;
        case CLU_BLOB:
            new (&fBlob) CL_Blob(other.fBlob);
            break;
        case CLU_LIST:
            new (&fList) CLU_List(other.fList);
            break;
        case CLU_TABLE:
            new (&fTable) CLU_Table(other.fTable);
            break;
        case CLU_TIME:
            new (&fTime) CL_Time(other.fTime);
            break;
        case CLU_DATE:
            new (&fDate) CL_Date(other.fDate);
            break;
        case CLU_TIMESTAMP:
            new (&fTimeStamp) CL_TimeStamp(other.fTimeStamp);
            break;
        default:
            memcpy(fData, other.fData, sizeof(int64));
            break;
    }
    fType = other.fType;
    NoteOwnedValue();
}

void CLU_Entry::MoveFrom(CLU_Entry& other) {
    switch (other.fType) {
        case CLU_DECIMAL:
            new (&fDecimal) CL_Decimal(std::move(other.fDecimal));
            break;
        case CLU_TEXT:
            // Bytes borrowed from an arena are copied, never taken over.
            if (other.fPlace & kBorrowedText)
                new (&fString) std::string(other.fString);
            else
                new (&fString) std::string(std::move(other.fString));
            break;
        case CLU_LIST:
            new (&fList) CLU_List(std::move(other.fList));
            break;
        case CLU_TABLE:
            new (&fTable) CLU_Table(std::move(other.fTable));
            break;
        default:
            CopyFrom(other);
            break;
    }
    fType = other.fType;
    other.Destroy();
    NoteOwnedValue();
}

void CLU_Entry::Assign(CLU_Entry&& other) {
    Destroy();
    MoveFrom(other);
}

CLU_Entry& CLU_Entry::operator=(CLU_Entry&& other) noexcept {
    if (this != &other) {
        // `other` may live inside this value: take it out before freeing ours.
        CLU_Entry taken(std::move(other));
        Assign(std::move(taken));
    }
    return *this;
}

CLU_Entry& CLU_Entry::Unset() {
    Destroy();
    return *this;
}

// ---- Setters ------------------------------------------------------------------

CLU_Entry& CLU_Entry::Set(CLU_NullType) {
    return Unset();
}

CLU_Entry& CLU_Entry::Set(bool value) {
    Destroy();
    fBool = value;
    fType = CLU_BOOL;
    return *this;
}

#define CLU_ENTRY_SET_INT(T)                  \
    CLU_Entry& CLU_Entry::Set(T value) {      \
        Destroy();                            \
        fInteger = static_cast<int64>(value); \
        fType = CLU_INTEGER;                  \
        return *this;                         \
    }
CLU_ENTRY_SET_INT(signed char)
CLU_ENTRY_SET_INT(unsigned char)
CLU_ENTRY_SET_INT(short)
CLU_ENTRY_SET_INT(unsigned short)
CLU_ENTRY_SET_INT(int)
CLU_ENTRY_SET_INT(unsigned int)
CLU_ENTRY_SET_INT(long)
CLU_ENTRY_SET_INT(unsigned long)
CLU_ENTRY_SET_INT(long long)
CLU_ENTRY_SET_INT(unsigned long long)
#undef CLU_ENTRY_SET_INT

CLU_Entry& CLU_Entry::Set(double value) {
    Destroy();
    fFloat = value;
    fType = CLU_FLOAT;
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CL_Decimal& value) {
    if (fType == CLU_DECIMAL) {
        if (&value != &fDecimal) fDecimal = value;
        return *this;
    }
    CL_Decimal copy(value);
    Destroy();
    new (&fDecimal) CL_Decimal(std::move(copy));
    fType = CLU_DECIMAL;
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CL_Time& value) {
    CL_Time copy(value);
    Destroy();
    new (&fTime) CL_Time(copy);
    fType = CLU_TIME;
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CL_Date& value) {
    CL_Date copy(value);
    Destroy();
    new (&fDate) CL_Date(copy);
    fType = CLU_DATE;
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CL_TimeStamp& value) {
    CL_TimeStamp copy(value);
    Destroy();
    new (&fTimeStamp) CL_TimeStamp(copy);
    fType = CLU_TIMESTAMP;
    return *this;
}

CLU_Entry& CLU_Entry::Set(const char* value) {
    // A null pointer stores the empty text.
    std::string copy(value ? value : "");
    Destroy();
    new (&fString) std::string(std::move(copy));
    fType = CLU_TEXT;
    NoteOwnedValue();
    return *this;
}

CLU_Entry& CLU_Entry::Set(const std::string& value) {
    if (fType == CLU_TEXT && !(fPlace & kBorrowedText)) {
        fString = value;
        NoteOwnedValue();  // a short text read into an arena may grow onto the heap here
        return *this;
    }
    std::string copy(value);
    Destroy();
    new (&fString) std::string(std::move(copy));
    fType = CLU_TEXT;
    NoteOwnedValue();
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CL_Blob& value) {
    CL_Blob copy(value);
    Destroy();
    new (&fBlob) CL_Blob(copy);
    fType = CLU_BLOB;
    NoteOwnedValue();
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CLU_List& value) {
    CLU_List copy(value);
    Destroy();
    new (&fList) CLU_List(std::move(copy));
    fType = CLU_LIST;
    NoteOwnedValue();
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CLU_Table& value) {
    CLU_Table copy(value);
    Destroy();
    new (&fTable) CLU_Table(std::move(copy));
    fType = CLU_TABLE;
    NoteOwnedValue();
    return *this;
}

CLU_Entry& CLU_Entry::Set(const CLU_Entry& value) {
    if (this == &value) return *this;
    if (IsPlain(value.fType)) {
        CLU_Entry copy(value);
        Destroy();
        CopyFrom(copy);
        return *this;
    }
    CLU_Entry copy(value);
    Assign(std::move(copy));
    return *this;
}

#define CLU_ENTRY_SET_KEY(T)                                     \
    CLU_Entry& CLU_Entry::Set(const std::string& key, T value) { \
        ConvertThen(*this, CLU_TABLE, [&](CLU_Entry& table) {    \
            table.fTable.Set(key, value);                        \
            return true;                                         \
        });                                                      \
        return *this;                                            \
    }
CLU_FOR_EACH_VALUE_TYPE(CLU_ENTRY_SET_KEY)
#undef CLU_ENTRY_SET_KEY

// ---- Container access ---------------------------------------------------------

const CLU_Entry* CLU_Entry::Get(int index) {
    if (fType != CLU_LIST) Convert(CLU_LIST, true);
    return fList.Get(index);
}

const CLU_Entry* CLU_Entry::Get(const std::string& key) {
    if (fType != CLU_TABLE) Convert(CLU_TABLE, true);
    return fTable.Get(key);
}

bool CLU_Entry::GetBool(int index) {
    return fType == CLU_LIST ? fList.GetBool(index) : false;
}
int32 CLU_Entry::GetInt32(int index) {
    return fType == CLU_LIST ? fList.GetInt32(index) : 0;
}
int64 CLU_Entry::GetInteger(int index) {
    return fType == CLU_LIST ? fList.GetInteger(index) : 0;
}
double CLU_Entry::GetFloat(int index) {
    return fType == CLU_LIST ? fList.GetFloat(index) : 0.0;
}
CL_Decimal CLU_Entry::GetDecimal(int index) {
    return fType == CLU_LIST ? fList.GetDecimal(index) : CL_Decimal();
}
CL_Time CLU_Entry::GetTime(int index) {
    return fType == CLU_LIST ? fList.GetTime(index) : CL_Time();
}
CL_Date CLU_Entry::GetDate(int index) {
    return fType == CLU_LIST ? fList.GetDate(index) : CL_Date();
}
CL_TimeStamp CLU_Entry::GetTimeStamp(int index) {
    return fType == CLU_LIST ? fList.GetTimeStamp(index) : CL_TimeStamp();
}
std::string CLU_Entry::GetString(int index) {
    return fType == CLU_LIST ? fList.GetString(index) : std::string();
}
CL_Blob* CLU_Entry::GetBlob(int index) {
    return fType == CLU_LIST ? fList.GetBlob(index) : nullptr;
}
CLU_List* CLU_Entry::GetList(int index) {
    return fType == CLU_LIST ? fList.GetList(index) : nullptr;
}
CLU_Table* CLU_Entry::GetTable(int index) {
    return fType == CLU_LIST ? fList.GetTable(index) : nullptr;
}

bool CLU_Entry::GetBool(const std::string& key, bool def) {
    return fType == CLU_TABLE ? fTable.GetBool(key, def) : def;
}
int32 CLU_Entry::GetInt32(const std::string& key, int32 def) {
    return fType == CLU_TABLE ? fTable.GetInt32(key, def) : def;
}
int64 CLU_Entry::GetInteger(const std::string& key, int64 def) {
    return fType == CLU_TABLE ? fTable.GetInteger(key, def) : def;
}
double CLU_Entry::GetFloat(const std::string& key, double def) {
    return fType == CLU_TABLE ? fTable.GetFloat(key, def) : def;
}
CL_Decimal CLU_Entry::GetDecimal(const std::string& key, const CL_Decimal& def) {
    return fType == CLU_TABLE ? fTable.GetDecimal(key, def) : def;
}
CL_Time CLU_Entry::GetTime(const std::string& key, const CL_Time& def) {
    return fType == CLU_TABLE ? fTable.GetTime(key, def) : def;
}
CL_Date CLU_Entry::GetDate(const std::string& key, const CL_Date& def) {
    return fType == CLU_TABLE ? fTable.GetDate(key, def) : def;
}
CL_TimeStamp CLU_Entry::GetTimeStamp(const std::string& key, const CL_TimeStamp& def) {
    return fType == CLU_TABLE ? fTable.GetTimeStamp(key, def) : def;
}
std::string CLU_Entry::GetString(const std::string& key, const std::string& def) {
    return fType == CLU_TABLE ? fTable.GetString(key, def) : def;
}
CL_Blob* CLU_Entry::GetBlob(const std::string& key, CL_Blob* def) {
    return fType == CLU_TABLE ? fTable.GetBlob(key, def) : def;
}
CLU_List* CLU_Entry::GetList(const std::string& key, CLU_List* def) {
    return fType == CLU_TABLE ? fTable.GetList(key, def) : def;
}
CLU_Table* CLU_Entry::GetTable(const std::string& key, CLU_Table* def) {
    return fType == CLU_TABLE ? fTable.GetTable(key, def) : def;
}

// ---- Queries ------------------------------------------------------------------

bool CLU_Entry::IsEmpty() const {
    switch (fType) {
        case CLU_NULL:
            return true;
        case CLU_TEXT:
            return fString.empty();
        case CLU_BLOB:
            return fBlob.GetSize() == 0;
        case CLU_LIST:
            return fList.Count() == 0;
        case CLU_TABLE:
            return fTable.Count() == 0;
        default:
            return false;
    }
}

bool CLU_Entry::IsNull(int index) const {
    return fType != CLU_LIST || fList.GetType(index) == CLU_NULL;
}
bool CLU_Entry::IsEmpty(int index) const {
    return fType != CLU_LIST || fList.IsEmpty(index);
}
bool CLU_Entry::IsType(int index, CLU_Type type) const {
    return fType == CLU_LIST && fList.IsType(index, type);
}
bool CLU_Entry::Exists(const std::string& key) const {
    return fType == CLU_TABLE && fTable.Exists(key);
}
bool CLU_Entry::IsNull(const std::string& key) const {
    return fType != CLU_TABLE || fTable.IsNull(key);
}
bool CLU_Entry::IsValid(const std::string& key) const {
    return fType == CLU_TABLE && fTable.IsValid(key);
}
bool CLU_Entry::IsType(const std::string& key, CLU_Type type) const {
    return fType == CLU_TABLE && fTable.IsType(key, type);
}
bool CLU_Entry::IsEmpty(const std::string& key) const {
    return fType != CLU_TABLE || fTable.IsEmpty(key);
}

bool CLU_Entry::IsNumber() const {
    switch (fType) {
        case CLU_DECIMAL:
        case CLU_FLOAT:
        case CLU_INTEGER:
            return true;
        case CLU_TEXT: {
            const std::string& s = fString;
            if (s.empty()) return false;
            if (s[0] != '-' && (s[0] < '0' || s[0] > '9')) return false;
            if (s.size() >= 2 && s[0] == '0' && s[1] >= '0' && s[1] <= '9') return false;
            // Whole text, base 10, within 64 bits.
            errno = 0;
            char* end = nullptr;
            strtoll(s.c_str(), &end, 10);
            return end != s.c_str() && end == s.c_str() + s.size() && errno != ERANGE;
        }
        default:
            return false;
    }
}

// ---- Comparison ---------------------------------------------------------------

bool CLU_Entry::operator==(const CLU_Entry& other) const {
    if (fType != other.fType) return false;
    switch (fType) {
        case CLU_NULL:
            return true;
        case CLU_BOOL:
            return fBool == other.fBool;
        case CLU_INTEGER:
            return fInteger == other.fInteger;
        case CLU_FLOAT:
            return fFloat == other.fFloat;
        case CLU_DECIMAL:
            return fDecimal.Compare(other.fDecimal) == 0;
        case CLU_TIME:
            return fTime.ToRaw() == other.fTime.ToRaw();
        case CLU_DATE:
            return fDate.ToRaw() == other.fDate.ToRaw();
        case CLU_TIMESTAMP:
            return fTimeStamp.ToRaw() == other.fTimeStamp.ToRaw();
        case CLU_TEXT:
            return fString.size() == other.fString.size() &&
                   memcmp(fString.data(), other.fString.data(), fString.size()) == 0;
        case CLU_BLOB:
            return fBlob == other.fBlob;
        case CLU_LIST:
            return fList == other.fList;
        case CLU_TABLE:
            return fTable == other.fTable;
        default:
            return false;
    }
}

bool CLU_Entry::operator>=(const CLU_Entry& other) const {
    if (fType != other.fType) return false;
    if (fType == CLU_LIST) return fList >= other.fList;
    if (fType == CLU_TABLE) return fTable >= other.fTable;
    return *this == other;
}

bool CLU_Entry::operator==(const CL_Blob& other) {
    return ConvertThen(*this, CLU_BLOB, [&](CLU_Entry& e) { return e.fBlob == other; });
}

bool CLU_Entry::operator==(const CLU_List& other) {
    return ConvertThen(*this, CLU_LIST, [&](CLU_Entry& e) { return e.fList == other; });
}

bool CLU_Entry::operator==(const CLU_Table& other) {
    return ConvertThen(*this, CLU_TABLE, [&](CLU_Entry& e) { return e.fTable == other; });
}

// ---- Checksum, memory ---------------------------------------------------------

uint32 CLU_Entry::CheckSum() const {
    switch (fType) {
        case CLU_BLOB:
            return fBlob.CheckSum();
        case CLU_INTEGER:
            return Fold64(fInteger);
        case CLU_DATE:
            return Fold64(fDate.ToRaw());
        case CLU_TIMESTAMP:
            return Fold64(fTimeStamp.ToRaw());
        case CLU_TIME:
            return Fold64(static_cast<int64>(fTime.ToRaw()));
        case CLU_BOOL:
            return fBool ? 1 : 0;
        case CLU_FLOAT: {
            double scaled = fFloat * 1000.0;
            if (!(scaled > 0.0)) return 0;  // negative, zero and NaN
            if (scaled >= 4294967295.0) return 4294967295u;
            return static_cast<uint32>(scaled);
        }
        case CLU_TEXT:
            return CL_HashBytes(fString.data(), fString.size());
        case CLU_DECIMAL: {
            std::string text = fDecimal.ToString(-1, false);
            return CL_HashBytes(text.data(), text.size());
        }
        default:
            return 0;
    }
}

uint64 CLU_Entry::GetMemoryUsage() const {
    uint64 usage = 40;
    switch (fType) {
        case CLU_BLOB:
            return usage + fBlob.GetMemoryUsage();
        case CLU_LIST:
            return usage + fList.GetMemoryUsage();
        case CLU_TABLE:
            return usage + fTable.GetMemoryUsage();
        case CLU_TEXT:
            // A short text lives in the string's own inline buffer (15 bytes).
            return usage + fString.capacity();
        default:
            return usage;
    }
}

void CLU_Entry::Shrink() {
    switch (fType) {
        case CLU_BLOB:
            fBlob.Shrink();
            break;
        case CLU_LIST:
            fList.Shrink();
            break;
        case CLU_TABLE:
            fTable.Shrink();
            break;
        case CLU_TEXT:
            if (!(fPlace & kBorrowedText)) fString.shrink_to_fit();
            break;
        default:
            break;
    }
}

// ---- Cycle guard --------------------------------------------------------------

const void* CLU_Entry::StorageOf(const CLU_Entry& e) {
    if (e.fType == CLU_LIST)
        return e.fList.fStorage.IsValid() ? e.fList.fStorage.GetRefData() : nullptr;
    if (e.fType == CLU_TABLE)
        return e.fTable.fStorage.IsValid() ? e.fTable.fStorage.GetRefData() : nullptr;
    return nullptr;
}

bool CLU_Entry::Reaches(const CLU_Entry& e, const void* storage) {
    if (!storage) return false;
    const void* top = StorageOf(e);
    if (!top) return false;
    if (top == storage) return true;
    // Depth-first over the containers below `e`; shared storages are visited once. The
    // containers of a typical value (a row and a list or two in it) fit the inline room,
    // so appending one allocates nothing here.
    constexpr size_t kInline = 32;
    const void* seenInline[kInline];
    const CLU_Entry* pendingInline[kInline];
    size_t seenCount = 0;
    std::unordered_set<const void*> seenMore;
    std::vector<const CLU_Entry*> pending;
    size_t pendingCount = 0;
    auto push = [&](const CLU_Entry* item) {
        if (pendingCount < kInline && pending.empty())
            pendingInline[pendingCount++] = item;
        else
            pending.push_back(item);
    };
    auto pop = [&]() -> const CLU_Entry* {
        if (!pending.empty()) {
            const CLU_Entry* item = pending.back();
            pending.pop_back();
            return item;
        }
        return pendingCount ? pendingInline[--pendingCount] : nullptr;
    };
    // True for a storage not met before.
    auto first = [&](const void* s) {
        for (size_t i = 0; i < seenCount; i++)
            if (seenInline[i] == s) return false;
        if (seenCount < kInline) {
            seenInline[seenCount++] = s;
            return true;
        }
        return seenMore.insert(s).second;
    };
    first(top);
    push(&e);
    while (const CLU_Entry* current = pop()) {
        auto visit = [&](const CLU_Entry& item) {
            const void* s = StorageOf(item);
            if (!s) return false;
            if (s == storage) return true;
            if (first(s)) push(&item);
            return false;
        };
        if (current->fType == CLU_LIST) {
            for (const CLU_Entry& item : current->fList)
                if (visit(item)) return true;
        } else {
            for (CLU_Table::iterator it = current->fTable.begin(); it != current->fTable.end();
                 ++it)
                if (visit(*it)) return true;
        }
    }
    return false;
}

void CLU_Entry::CopyDetached(CLU_Entry& dst, const CLU_Entry& src, const void* storage) {
    if (!Reaches(src, storage)) {
        dst.Set(src);
        return;
    }
    // `src` leads back to the container being changed: store a snapshot whose
    // every container on the way is a fresh copy, so no cycle can form.
    if (src.fType == CLU_LIST) {
        CLU_List copy;
        CLU_List::Storage* s = copy.fStorage.ModifyRefData();
        if (!s) return;
        s->fList.MakeRoom(src.fList.Count());
        for (const CLU_Entry& item : src.fList) {
            CLU_Entry* e = Allocate(CLU_NULL);
            if (!e) return;
            CopyDetached(*e, item, storage);
            if (!s->fList.Append(e)) Deallocate(e);
        }
        dst.Set(copy);
    } else {
        CLU_Table copy;
        CLU_Table::Storage* s = copy.fStorage.ModifyRefData();
        if (!s) return;
        s->fTable.SetCapacity(src.fTable.Count());
        for (CLU_Table::iterator it = src.fTable.begin(); it != src.fTable.end(); ++it) {
            CLU_Entry* e = Allocate(CLU_NULL);
            if (!e) return;
            CopyDetached(*e, *it, storage);
            s->fTable.Set(it.key(), e);
            if (s->fTable.Get(it.key()) != e) {
                Deallocate(e);
                return;
            }
        }
        dst.Set(copy);
    }
}

static_assert(sizeof(CLU_Entry) == 40, "an entry is its type and a 32-byte value");
static_assert(std::is_trivially_destructible_v<CL_Decimal>,
              "an arena keeps decimals without destroying them");
