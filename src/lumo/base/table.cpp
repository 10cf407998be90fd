// Value tables: storage, setters that keep a key's place, typed getters that
// un-share and convert in place, removal, combining and comparison.
#include "lumo/table.h"

// ---- Storage ------------------------------------------------------------------

CLU_Table::Storage::Storage(const Storage& other) {
    uint32 count = other.fTable.Count();
    if (count) fTable.SetCapacity(count > 8 ? count : 8);
    for (CL_StringMap::const_iterator it = other.fTable.begin(); it != other.fTable.end(); ++it) {
        CLU_Entry* e = CLU_Entry::Allocate(CLU_NULL);
        fFailed = !e;
        if (fFailed) break;
        *e = *it.value();
        fTable.Set(it.key(), e);
        fFailed = fTable.Get(it.key()) != e;
        if (fFailed) {
            CLU_Entry::Deallocate(e);
            break;
        }
    }
}

CLU_Table::Storage::~Storage() {
    for (CL_StringMap::iterator it = fTable.begin(); it != fTable.end(); ++it)
        CLU_Entry::Deallocate(*it);
}

CLU_Table::CLU_Table(const CLU_List& keys, const CLU_List& values) {
    Zip(keys, values);
}

CLU_Table::~CLU_Table() {}

// ---- Reading ------------------------------------------------------------------

uint32 CLU_Table::Count() const {
    return fStorage.IsValid() ? fStorage.GetRefData()->fTable.Count() : 0;
}

CLU_Entry* CLU_Table::Find(const std::string& key) const {
    return fStorage.GetRefData()->fTable.Get(key);
}

bool CLU_Table::IsValid(const std::string& key) const {
    const CLU_Entry* e = Find(key);
    return e && e->fType != CLU_NULL;
}

CLU_Type CLU_Table::GetType(const std::string& key) const {
    const CLU_Entry* e = Find(key);
    return e ? e->fType : CLU_NULL;
}

bool CLU_Table::IsType(const std::string& key, CLU_Type type) const {
    const CLU_Entry* e = Find(key);
    return e && e->fType == type;
}

bool CLU_Table::IsEmpty(const std::string& key) const {
    const CLU_Entry* e = Find(key);
    return !e || e->IsEmpty();
}

CLU_Table::iterator CLU_Table::begin() const {
    return iterator(const_cast<Storage*>(fStorage.GetRefData())->fTable.begin());
}

CLU_Table::iterator CLU_Table::end() const {
    return iterator(const_cast<Storage*>(fStorage.GetRefData())->fTable.end());
}

CLU_List CLU_Table::Keys() const {
    CLU_List keys;
    for (iterator it = begin(); it != end(); ++it)
        keys.Append(it.key());
    return keys;
}

CLU_List CLU_Table::Values() const {
    CLU_List values;
    for (iterator it = begin(); it != end(); ++it)
        values.Append(*it);
    return values;
}

uint64 CLU_Table::GetMemoryUsage() const {
    uint64 usage = 64;
    for (iterator it = begin(); it != end(); ++it)
        usage += it->GetMemoryUsage();
    return usage;
}

bool CLU_Table::operator==(const CLU_Table& other) const {
    if (Count() != other.Count()) return false;
    if (Count() == 0) return true;
    if (fStorage.GetRefData() == other.fStorage.GetRefData()) return true;
    for (iterator it = begin(); it != end(); ++it) {
        const CLU_Entry* theirs = other.Find(it.fIterator.key());
        if (!theirs || !(*theirs == *it)) return false;
    }
    return true;
}

bool CLU_Table::operator>=(const CLU_Table& other) const {
    if (Count() < other.Count()) return false;
    if (other.Count() == 0) return true;
    if (fStorage.GetRefData() == other.fStorage.GetRefData()) return true;
    for (iterator it = other.begin(); it != other.end(); ++it) {
        const CLU_Entry* mine = Find(it.fIterator.key());
        if (!mine || !(*mine >= *it)) return false;
    }
    return true;
}

// ---- Typed getters ------------------------------------------------------------

CLU_Entry* CLU_Table::FindForConvert(const std::string& key, CLU_Type type) const {
    // A conversion is a change: the other copies keep the value as it was stored.
    Storage* s = const_cast<CL_RefCounted<Storage>&>(fStorage).ModifyRefData();
    CLU_Entry* e = s ? s->fTable.Get(key) : nullptr;
    if (e) e->Convert(type, true);
    return e;
}

#define CLU_TABLE_GETTER(R, NAME, PARAM, TYPE, MEMBER)           \
    R CLU_Table::NAME(const std::string& key, PARAM def) const { \
        CLU_Entry* e = Find(key);                                \
        if (!e || e->fType == CLU_NULL) return def;              \
        if (e->fType != TYPE) e = FindForConvert(key, TYPE);     \
        return e ? e->MEMBER : def;                              \
    }
CLU_TABLE_GETTER(bool, GetBool, bool, CLU_BOOL, fBool)
CLU_TABLE_GETTER(int64, GetInteger, int64, CLU_INTEGER, fInteger)
CLU_TABLE_GETTER(CL_Decimal, GetDecimal, const CL_Decimal&, CLU_DECIMAL, fDecimal)
CLU_TABLE_GETTER(double, GetFloat, double, CLU_FLOAT, fFloat)
CLU_TABLE_GETTER(CL_Time, GetTime, const CL_Time&, CLU_TIME, fTime)
CLU_TABLE_GETTER(CL_Date, GetDate, const CL_Date&, CLU_DATE, fDate)
CLU_TABLE_GETTER(CL_TimeStamp, GetTimeStamp, const CL_TimeStamp&, CLU_TIMESTAMP, fTimeStamp)
CLU_TABLE_GETTER(std::string, GetString, const std::string&, CLU_TEXT, fString)
#undef CLU_TABLE_GETTER

#define CLU_TABLE_POINTER_GETTER(R, NAME, TYPE, MEMBER)        \
    R* CLU_Table::NAME(const std::string& key, R* def) const { \
        CLU_Entry* e = Find(key);                              \
        if (!e || e->fType == CLU_NULL) return def;            \
        if (e->fType != TYPE) e = FindForConvert(key, TYPE);   \
        return e ? &e->MEMBER : def;                           \
    }
CLU_TABLE_POINTER_GETTER(CL_Blob, GetBlob, CLU_BLOB, fBlob)
CLU_TABLE_POINTER_GETTER(CLU_List, GetList, CLU_LIST, fList)
CLU_TABLE_POINTER_GETTER(CLU_Table, GetTable, CLU_TABLE, fTable)
#undef CLU_TABLE_POINTER_GETTER

CL_Decimal CLU_Table::GetDecimal(const std::string& key) const {
    return GetDecimal(key, CL_Decimal());
}

int32 CLU_Table::GetInt32(const std::string& key, int32 def) const {
    const CLU_Entry* e = Find(key);
    if (!e || e->fType == CLU_NULL) return def;
    return static_cast<int32>(static_cast<uint32>(static_cast<uint64>(GetInteger(key, def))));
}

CLU_Ref CLU_Table::GetRef(const std::string& key) const {
    const CLU_Entry* e = Find(key);
    if (!e || e->fType == CLU_NULL) return CLU_Ref();
    return CLU_Ref(static_cast<uint64>(GetInteger(key, 0)));
}

// ---- Changing -----------------------------------------------------------------

CLU_Entry* CLU_Table::Prepare(const std::string& key, CLU_Type type) {
    Storage* s = fStorage.ModifyRefData();
    if (!s) return nullptr;
    CLU_Entry* e = s->fTable.Get(key);
    if (!e) {
        e = CLU_Entry::Allocate(type);
        if (!e) return nullptr;
        s->fTable.Set(key, e);
        if (s->fTable.Get(key) != e) {  // the map could not grow
            CLU_Entry::Deallocate(e);
            return nullptr;
        }
    }
    return e;
}

void CLU_Table::SetEntry(const std::string& key, const CLU_Entry& value) {
    Storage* s = fStorage.ModifyRefData();
    if (!s) return;
    // Build the new value first: `value` may live inside the entry it replaces,
    // or lead back to this very storage (then a snapshot is kept).
    CLU_Entry built;
    CLU_Entry::CopyDetached(built, value, s);
    CLU_Entry* e = Prepare(key, CLU_NULL);
    if (e) e->Assign(std::move(built));
}

#define CLU_TABLE_SET_SCALAR(T)                                  \
    CLU_Table& CLU_Table::Set(const std::string& key, T value) { \
        CLU_Entry* e = Prepare(key, CLU_NULL);                   \
        if (e) e->Set(value);                                    \
        return *this;                                            \
    }
CLU_TABLE_SET_SCALAR(CLU_NullType)
CLU_TABLE_SET_SCALAR(bool)
CLU_TABLE_SET_SCALAR(signed char)
CLU_TABLE_SET_SCALAR(unsigned char)
CLU_TABLE_SET_SCALAR(short)
CLU_TABLE_SET_SCALAR(unsigned short)
CLU_TABLE_SET_SCALAR(int)
CLU_TABLE_SET_SCALAR(unsigned int)
CLU_TABLE_SET_SCALAR(long)
CLU_TABLE_SET_SCALAR(unsigned long)
CLU_TABLE_SET_SCALAR(long long)
CLU_TABLE_SET_SCALAR(unsigned long long)
CLU_TABLE_SET_SCALAR(double)
CLU_TABLE_SET_SCALAR(const CL_Decimal&)
CLU_TABLE_SET_SCALAR(const CL_Time&)
CLU_TABLE_SET_SCALAR(const CL_Date&)
CLU_TABLE_SET_SCALAR(const CL_TimeStamp&)
CLU_TABLE_SET_SCALAR(const char*)
CLU_TABLE_SET_SCALAR(const std::string&)
CLU_TABLE_SET_SCALAR(const CL_Blob&)
#undef CLU_TABLE_SET_SCALAR

CLU_Table& CLU_Table::Set(const std::string& key, const CLU_List& value) {
    CLU_Entry probe;
    probe.Set(value);
    SetEntry(key, probe);
    return *this;
}

CLU_Table& CLU_Table::Set(const std::string& key, const CLU_Table& value) {
    CLU_Entry probe;
    probe.Set(value);
    SetEntry(key, probe);
    return *this;
}

CLU_Table& CLU_Table::Set(const std::string& key, const CLU_Entry& value) {
    SetEntry(key, value);
    return *this;
}

CLU_Table& CLU_Table::Set(const std::string& key, const CLU_Ref& value) {
    if (value.IsNull()) return Set(key, CLU_Null);
    return Set(key, static_cast<int64>(value.fRef));
}

CLU_Table& CLU_Table::Unset(const std::string& key) {
    Storage* s = fStorage.ModifyRefData();
    CLU_Entry* e = s ? s->fTable.Get(key) : nullptr;
    if (e) {
        s->fTable.Remove(key);
        CLU_Entry::Deallocate(e);
    }
    return *this;
}

CLU_Table& CLU_Table::Unset(iterator& it) {
    const Storage* before = fStorage.GetRefData();
    bool live = it.fIterator != before->fTable.end();
    std::string key = live ? it.fIterator.key() : std::string();
    Storage* s = fStorage.ModifyRefData();
    if (!s) return *this;
    if (s != before) {
        // The copy has no removed nodes: find the same key in it.
        it.fIterator = s->fTable.begin();
        if (live)
            while (it.fIterator != s->fTable.end() && it.fIterator.key() != key)
                ++it.fIterator;
        else
            it.fIterator = s->fTable.end();
    }
    if (it.fIterator == s->fTable.end()) return *this;
    CLU_Entry* e = *it.fIterator;
    s->fTable.Remove(it.fIterator);
    CLU_Entry::Deallocate(e);
    return *this;
}

CLU_Table& CLU_Table::Clear(bool) {
    if (fStorage.GetArena() || fStorage.GetRefCount() > 1) {
        // A storage this table does not own alone is let go of, not copied to be emptied.
        fStorage = CL_RefCounted<Storage>();
        fStorage.ModifyRefData();
        return *this;
    }
    Storage* s = fStorage.ModifyRefData();
    if (!s) {
        fStorage = CL_RefCounted<Storage>();
        return *this;
    }
    for (CL_StringMap::iterator it = s->fTable.begin(); it != s->fTable.end(); ++it)
        CLU_Entry::Deallocate(*it);
    s->fTable.Clear();
    return *this;
}

void CLU_Table::Shrink() {
    Storage* s = fStorage.ModifyRefData();
    if (!s) return;
    for (CL_StringMap::iterator it = s->fTable.begin(); it != s->fTable.end(); ++it)
        (*it)->Shrink();
    s->fTable.Shrink();
}

void CLU_Table::SetCapacity(uint32 size) {
    if (Storage* s = fStorage.ModifyRefData()) s->fTable.SetCapacity(size);
}

CLU_Table& CLU_Table::Update(const CLU_Table& other) {
    CLU_Table source(other);  // stays as it is while this table changes
    for (iterator it = source.begin(); it != source.end(); ++it)
        SetEntry(it.key(), *it);
    return *this;
}

CLU_Table& CLU_Table::Merge(const CLU_Table& other) {
    CLU_Table source(other);
    for (iterator it = source.begin(); it != source.end(); ++it) {
        std::string key = it.key();
        if (!Exists(key)) SetEntry(key, *it);
    }
    return *this;
}

CLU_Table& CLU_Table::Zip(const CLU_List& keys, const CLU_List& values) {
    // Either list may live inside this table and go when a key is set: hold their
    // storages. Keys still convert to text inside the storage they share.
    CLU_List keyList(keys);
    CLU_List valueList(values);
    uint32 count = keyList.Count();
    if (valueList.Count() < count) count = valueList.Count();
    for (uint32 i = 0; i < count; i++) {
        std::string key = keyList.GetString(static_cast<int32>(i));
        SetEntry(key, *valueList.Get(static_cast<int32>(i)));
    }
    return *this;
}
