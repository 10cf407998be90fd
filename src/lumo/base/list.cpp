// Value lists: storage, the value family of Insert/Replace/Append/IndexOf, typed
// getters that convert in place, removal, capacity and comparison.
#include "lumo/list.h"

// ---- Storage ------------------------------------------------------------------

CLU_List::Storage::Storage(const Storage& other) {
    uint32 count = other.fList.Count();
    fFailed = !fList.MakeRoom(count);
    for (uint32 i = 0; i < count && !fFailed; i++) {
        CLU_Entry* e = CLU_Entry::Allocate(CLU_NULL);
        fFailed = !e;
        if (fFailed) break;
        *e = *other.fList[i];
        fFailed = !fList.Append(e);
        if (fFailed) CLU_Entry::Deallocate(e);
    }
}

CLU_List::Storage::~Storage() {
    uint32 count = fList.Count();
    // A long list frees its array before its items (see CLU_EntryStack).
    CLU_EntryStack* stack = count > CLU_Entry::kShortList ? CLU_Entry::ThreadEntryStack() : nullptr;
    if (stack && stack->Reserve(count)) {
        uint32 base = stack->fSize;
        for (uint32 i = 0; i < count; i++)
            stack->fItems[base + i] = fList[i];
        stack->fSize = base + count;
        fList.Clear();
        fList.Shrink();
        // Items may hold long lists of their own, which use the stack above `base`.
        for (uint32 i = 0; i < count; i++)
            CLU_Entry::Deallocate(stack->fItems[base + i]);
        stack->Pop(base);
        return;
    }
    for (uint32 i = 0; i < count; i++)
        CLU_Entry::Deallocate(fList[i]);
}

CLU_List::~CLU_List() {}

CLU_List CLU_List::FromIntSet(const CL_IntSet& set) {
    CLU_List list;
    for (CL_IntSet::iterator it = set.begin(); it != set.end(); ++it)
        list.Append(*it);
    return list;
}

CLU_List CLU_List::FromStringSet(const CL_StringSet& set) {
    CLU_List list;
    for (CL_StringSet::iterator it = set.begin(); it != set.end(); ++it)
        list.Append(*it);
    return list;
}

// ---- Reading ------------------------------------------------------------------

uint32 CLU_List::Count() const {
    return fStorage.IsValid() ? fStorage.GetRefData()->fList.Count() : 0;
}

CLU_Entry* CLU_List::At(int32 index) const {
    const Storage* s = fStorage.GetRefData();
    if (static_cast<uint32>(index) >= s->fList.Count()) return nullptr;
    return s->fList[static_cast<uint32>(index)];
}

const CLU_Entry* CLU_List::Get(int32 index) const {
    return At(index);
}

CLU_Type CLU_List::GetType(int32 index) const {
    const CLU_Entry* e = At(index);
    return e ? e->fType : CLU_NULL;
}

bool CLU_List::IsEmpty(int32 index) const {
    const CLU_Entry* e = At(index);
    return !e || e->IsEmpty();
}

int32 CLU_List::Find(const CLU_Entry& value) const {
    const Storage* s = fStorage.GetRefData();
    uint32 count = s->fList.Count();
    for (uint32 i = 0; i < count; i++)
        if (*s->fList[i] == value) return static_cast<int32>(i);
    return -1;
}

#define CLU_LIST_INDEXOF(T)                  \
    int32 CLU_List::IndexOf(T value) const { \
        CLU_Entry probe;                     \
        probe.Set(value);                    \
        return Find(probe);                  \
    }
CLU_FOR_EACH_VALUE_TYPE(CLU_LIST_INDEXOF)
#undef CLU_LIST_INDEXOF

int32 CLU_List::IndexOf(const iterator& it) const {
    const CLU_Entry* e = At(it.Index());
    return e ? Find(*e) : -1;
}

CL_IntSet CLU_List::AsIntSet() const {
    CL_IntSet set;
    uint32 count = Count();
    for (uint32 i = 0; i < count; i++)
        set.Add(GetInt32(static_cast<int32>(i)));
    return set;
}

CL_StringSet CLU_List::AsStringSet() const {
    CL_StringSet set;
    uint32 count = Count();
    for (uint32 i = 0; i < count; i++)
        set.Add(GetString(static_cast<int32>(i)));
    return set;
}

uint64 CLU_List::GetMemoryUsage() const {
    uint64 usage = 88;
    for (const CLU_Entry& e : *this)
        usage += e.GetMemoryUsage();
    return usage;
}

bool CLU_List::operator==(const CLU_List& other) const {
    uint32 count = Count();
    if (count != other.Count()) return false;
    for (uint32 i = 0; i < count; i++)
        if (!(*At(static_cast<int32>(i)) == *other.At(static_cast<int32>(i)))) return false;
    return true;
}

bool CLU_List::operator>=(const CLU_List& other) const {
    uint32 count = Count();
    uint32 wanted = other.Count();
    if (count < wanted) return false;
    uint32 i = 0;
    for (uint32 j = 0; j < wanted; j++) {
        const CLU_Entry& item = *other.At(static_cast<int32>(j));
        while (i < count && !(*At(static_cast<int32>(i)) >= item))
            i++;
        if (i == count) return false;
        i++;
    }
    return true;
}

// ---- Typed getters ------------------------------------------------------------

// A missing element gives `MISSING`; any other is converted in place, then read.
#define CLU_LIST_GETTER(R, NAME, TYPE, MISSING, RESULT) \
    R CLU_List::NAME(int32 index) const {               \
        CLU_Entry* e = At(index);                       \
        if (!e) return MISSING;                         \
        if (e->fType != TYPE) e->Convert(TYPE, true);   \
        return RESULT;                                  \
    }
CLU_LIST_GETTER(bool, GetBool, CLU_BOOL, false, e->fBool)
CLU_LIST_GETTER(int64, GetInteger, CLU_INTEGER, 0, e->fInteger)
CLU_LIST_GETTER(CL_Decimal, GetDecimal, CLU_DECIMAL, CL_Decimal(), e->fDecimal)
CLU_LIST_GETTER(double, GetFloat, CLU_FLOAT, 0.0, e->fFloat)
CLU_LIST_GETTER(CL_Time, GetTime, CLU_TIME, CL_Time(), e->fTime)
CLU_LIST_GETTER(CL_Date, GetDate, CLU_DATE, CL_Date(0LL), e->fDate)
CLU_LIST_GETTER(CL_TimeStamp, GetTimeStamp, CLU_TIMESTAMP, CL_TimeStamp(0LL), e->fTimeStamp)
CLU_LIST_GETTER(std::string, GetString, CLU_TEXT, std::string(), e->fString)
CLU_LIST_GETTER(CL_Blob*, GetBlob, CLU_BLOB, nullptr, &e->fBlob)
CLU_LIST_GETTER(CLU_List*, GetList, CLU_LIST, nullptr, &e->fList)
CLU_LIST_GETTER(CLU_Table*, GetTable, CLU_TABLE, nullptr, &e->fTable)
#undef CLU_LIST_GETTER

int32 CLU_List::GetInt32(int32 index) const {
    return static_cast<int32>(static_cast<uint32>(static_cast<uint64>(GetInteger(index))));
}

// ---- Changing -----------------------------------------------------------------

void CLU_List::InsertEntry(uint32 pos, const CLU_Entry& value) {
    Storage* s = fStorage.ModifyRefData();
    CLU_Entry* e = s ? CLU_Entry::Allocate(CLU_NULL) : nullptr;
    if (!e) return;
    CLU_Entry::CopyDetached(*e, value, s);
    if (!s->fList.Insert(e, pos)) CLU_Entry::Deallocate(e);
}

void CLU_List::ReplaceEntry(uint32 pos, const CLU_Entry& value) {
    Storage* s = fStorage.ModifyRefData();
    if (!s || pos >= s->fList.Count()) return;
    // Build the new element before the old one goes: `value` may live inside it.
    CLU_Entry* e = CLU_Entry::Allocate(CLU_NULL);
    if (!e) return;
    CLU_Entry::CopyDetached(*e, value, s);
    CLU_Entry* old = s->fList[pos];
    s->fList[pos] = e;
    CLU_Entry::Deallocate(old);
}

// Scalars and texts are built straight into the new element; containers, blobs and
// entries go through InsertEntry/ReplaceEntry and their cycle guard.
#define CLU_LIST_SCALAR(T)                                                             \
    CLU_List& CLU_List::Insert(int32 index, T value) {                                 \
        Storage* s = fStorage.ModifyRefData();                                         \
        CLU_Entry* e = s ? CLU_Entry::Allocate(CLU_NULL) : nullptr;                    \
        if (!e) return *this;                                                          \
        e->Set(value);                                                                 \
        if (!s->fList.Insert(e, static_cast<uint32>(index))) CLU_Entry::Deallocate(e); \
        return *this;                                                                  \
    }                                                                                  \
    CLU_List& CLU_List::Append(T value) {                                              \
        Storage* s = fStorage.ModifyRefData();                                         \
        CLU_Entry* e = s ? CLU_Entry::Allocate(CLU_NULL) : nullptr;                    \
        if (!e) return *this;                                                          \
        e->Set(value);                                                                 \
        if (!s->fList.Append(e)) CLU_Entry::Deallocate(e);                             \
        return *this;                                                                  \
    }                                                                                  \
    CLU_List& CLU_List::Replace(int32 index, T value) {                                \
        Storage* s = fStorage.ModifyRefData();                                         \
        uint32 pos = static_cast<uint32>(index);                                       \
        if (!s || pos >= s->fList.Count()) return *this;                               \
        s->fList[pos]->Set(value);                                                     \
        return *this;                                                                  \
    }

#define CLU_LIST_SHARED(T)                               \
    CLU_List& CLU_List::Insert(int32 index, T value) {   \
        CLU_Entry probe;                                 \
        probe.Set(value);                                \
        InsertEntry(static_cast<uint32>(index), probe);  \
        return *this;                                    \
    }                                                    \
    CLU_List& CLU_List::Append(T value) {                \
        CLU_Entry probe;                                 \
        probe.Set(value);                                \
        InsertEntry(0xFFFFFFFFu, probe);                 \
        return *this;                                    \
    }                                                    \
    CLU_List& CLU_List::Replace(int32 index, T value) {  \
        CLU_Entry probe;                                 \
        probe.Set(value);                                \
        ReplaceEntry(static_cast<uint32>(index), probe); \
        return *this;                                    \
    }

CLU_LIST_SCALAR(CLU_NullType)
CLU_LIST_SCALAR(bool)
CLU_LIST_SCALAR(signed char)
CLU_LIST_SCALAR(unsigned char)
CLU_LIST_SCALAR(short)
CLU_LIST_SCALAR(unsigned short)
CLU_LIST_SCALAR(int)
CLU_LIST_SCALAR(unsigned int)
CLU_LIST_SCALAR(long)
CLU_LIST_SCALAR(unsigned long)
CLU_LIST_SCALAR(long long)
CLU_LIST_SCALAR(unsigned long long)
CLU_LIST_SCALAR(double)
CLU_LIST_SCALAR(const CL_Decimal&)
CLU_LIST_SCALAR(const CL_Time&)
CLU_LIST_SCALAR(const CL_Date&)
CLU_LIST_SCALAR(const CL_TimeStamp&)
CLU_LIST_SCALAR(const char*)
CLU_LIST_SCALAR(const std::string&)
CLU_LIST_SCALAR(const CL_Blob&)
CLU_LIST_SHARED(const CLU_List&)
CLU_LIST_SHARED(const CLU_Table&)
#undef CLU_LIST_SCALAR
#undef CLU_LIST_SHARED

CLU_List& CLU_List::Insert(int32 index, const CLU_Entry& value) {
    InsertEntry(static_cast<uint32>(index), value);
    return *this;
}
CLU_List& CLU_List::Append(const CLU_Entry& value) {
    InsertEntry(0xFFFFFFFFu, value);
    return *this;
}
CLU_List& CLU_List::Replace(int32 index, const CLU_Entry& value) {
    ReplaceEntry(static_cast<uint32>(index), value);
    return *this;
}

#define CLU_LIST_AT_ITERATOR(T)                          \
    CLU_List& CLU_List::Insert(iterator& it, T value) {  \
        return Insert(it.Index(), value);                \
    }                                                    \
    CLU_List& CLU_List::Replace(iterator& it, T value) { \
        return Replace(it.Index(), value);               \
    }
CLU_FOR_EACH_VALUE_TYPE(CLU_LIST_AT_ITERATOR)
#undef CLU_LIST_AT_ITERATOR

CLU_List& CLU_List::Remove(int32 index) {
    Storage* s = fStorage.ModifyRefData();
    uint32 pos = static_cast<uint32>(index);
    if (!s || pos >= s->fList.Count()) return *this;
    CLU_Entry* e = s->fList[pos];
    s->fList.RemoveIndex(pos);
    CLU_Entry::Deallocate(e);
    return *this;
}

CLU_List& CLU_List::Remove(iterator& it) {
    Storage* s = fStorage.ModifyRefData();
    if (!s) return *this;
    it.Reset(s);
    uint32 pos = static_cast<uint32>(it.Index());
    if (pos >= s->fList.Count()) return *this;
    CLU_Entry* e = s->fList[pos];
    s->fList.RemoveIndex(pos);
    CLU_Entry::Deallocate(e);
    --it;
    return *this;
}

CLU_Entry CLU_List::Pop(bool fromHead) {
    Storage* s = fStorage.ModifyRefData();
    CLU_Entry* e = s ? s->fList.Pop(fromHead) : nullptr;
    if (!e) return CLU_Entry();
    CLU_Entry result(std::move(*e));
    CLU_Entry::Deallocate(e);
    return result;
}

void CLU_List::Extend(const CLU_List* other) {
    if (other) Extend(*other);
}

void CLU_List::Extend(const CLU_List& other) {
    if (other.Count() == 0) return;
    // Hold the other's elements as they are now: extending a list with itself
    // appends each element once.
    CLU_List source(other);
    Storage* s = fStorage.ModifyRefData();
    if (!s) return;
    const Storage* from = source.fStorage.GetRefData();
    uint32 count = from->fList.Count();
    s->fList.MakeRoom(s->fList.Count() + count);
    for (uint32 i = 0; i < count; i++) {
        CLU_Entry* e = CLU_Entry::Allocate(CLU_NULL);
        if (!e) break;
        CLU_Entry::CopyDetached(*e, *from->fList[i], s);
        if (!s->fList.Append(e)) CLU_Entry::Deallocate(e);
    }
}

CLU_List& CLU_List::Clear(bool shrink) {
    if (fStorage.GetArena() || fStorage.GetRefCount() > 1) {
        // A storage this list does not own alone is let go of, not copied to be emptied.
        fStorage = CL_RefCounted<Storage>();
        fStorage.ModifyRefData();
        return *this;
    }
    Storage* s = fStorage.ModifyRefData();
    if (!s) {
        fStorage = CL_RefCounted<Storage>();
        return *this;
    }
    uint32 count = s->fList.Count();
    for (uint32 i = 0; i < count; i++)
        CLU_Entry::Deallocate(s->fList[i]);
    s->fList.Clear();
    if (shrink) s->fList.Shrink();
    return *this;
}

void CLU_List::Shrink() {
    Storage* s = fStorage.ModifyRefData();
    if (!s) return;
    uint32 count = s->fList.Count();
    for (uint32 i = 0; i < count; i++)
        s->fList[i]->Shrink();
    s->fList.Shrink();
}

void CLU_List::SetCapacity(uint32 size) {
    if (Storage* s = fStorage.ModifyRefData()) s->fList.SetCapacity(size);
}
