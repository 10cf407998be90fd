// Value tables: copy-on-write maps from byte-string keys to dynamic values, kept in
// insertion order. Every server command takes a table and answers with one; the
// typed getters hand a stored value out as the type the caller asks for.
#pragma once

#include <string>

#include "lumo/allocator.h"
#include "lumo/blob.h"
#include "lumo/containers.h"
#include "lumo/flatten.h"
#include "lumo/base_types.h"

// Values as XML live with the documents (lumo/xml.h); only the names are needed here.
class CL_XML_Document;
class CL_XML_Node;
enum CLU_XML_Variant : int32;

// Reference id stored in a table as an integer; 0 means no reference. A plain value.
class CLU_Ref {
public:
    CLU_Ref() : fRef(0) {}
    CLU_Ref(uint64 ref) : fRef(ref) {}
    CLU_Ref(int64 ref) : fRef(static_cast<uint64>(ref)) {}
    CLU_Ref(unsigned long long ref) : fRef(ref) {}
    CLU_Ref(long long ref) : fRef(static_cast<uint64>(ref)) {}
    bool IsNull() const { return fRef == 0; }
    uint64 AsInteger() const { return fRef; }
    operator uint64() const { return fRef; }

    uint64 fRef;
};

// Keyed container of dynamic values in insertion order.
// Threads: one table object is used by one thread at a time, const members included:
// a typed getter that meets a value of another type un-shares the storage and
// converts the stored value in place, so a const call can write. Copies may be used
// on different threads (every change, conversions included, un-shares first).
class CLU_Table : public CL_Flattenable {
public:
    // Shared contents: key to heap entry, owned by the storage (which the handles own).
    class Storage : public CL_Object {
    public:
        Storage() {}
        // Out of memory, the copy is incomplete and says so (the handle drops it).
        Storage(const Storage& other);
        Storage& operator=(const Storage&) = delete;
        ~Storage();
        bool CopyFailed() const { return fFailed; }

        CL_StringMap fTable;
        bool fFailed = false;
    };

    // Walks the live keys in insertion order; stays usable across Unset(iterator&).
    // Used under the thread rules of its table.
    class iterator {
    public:
        iterator() {}
        explicit iterator(const CL_StringMap::iterator& it) : fIterator(it) {}

        iterator& operator++() {
            ++fIterator;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++fIterator;
            return old;
        }
        bool operator==(const iterator& other) const { return fIterator == other.fIterator; }
        bool operator!=(const iterator& other) const { return fIterator != other.fIterator; }
        CLU_Entry& operator*() const { return *fIterator.value(); }
        CLU_Entry& value() const { return *fIterator.value(); }
        CLU_Entry* operator->() const { return fIterator.value(); }
        CLU_Entry* ptr() const { return fIterator.value(); }
        std::string key() const { return fIterator.key(); }
        // The key without a copy, valid until the table changes.
        const std::string& KeyRef() const { return fIterator.KeyRef(); }
        void Reset(Storage* storage) { fIterator.Reset(&storage->fTable); }

    private:
        friend class CLU_Table;
        CL_StringMap::iterator fIterator;
    };
    typedef iterator const_iterator;

    CLU_Table() {}
    CLU_Table(const CLU_Table& other) : fStorage(other.fStorage) {}
    CLU_Table(CLU_Table&& other) noexcept : fStorage(std::move(other.fStorage)) {}
    CLU_Table(const CLU_List& keys, const CLU_List& values);
    ~CLU_Table() override;
    CLU_Table& operator=(const CLU_Table& other) {
        fStorage = other.fStorage;
        return *this;
    }
    CLU_Table& operator=(CLU_Table&& other) noexcept {
        fStorage = std::move(other.fStorage);
        return *this;
    }

    // Reading. An absent key gives null, CLU_NULL, false or the caller's default.
    uint32 Count() const;
    bool Empty() const { return Count() == 0; }
    bool Exists(const std::string& key) const { return Find(key) != nullptr; }
    bool IsValid(const std::string& key) const;
    CLU_Type GetType(const std::string& key) const;
    bool IsNull(const std::string& key) const { return GetType(key) == CLU_NULL; }
    bool IsType(const std::string& key, CLU_Type type) const;
    bool IsBool(const std::string& key) const { return IsType(key, CLU_BOOL); }
    bool IsInteger(const std::string& key) const { return IsType(key, CLU_INTEGER); }
    bool IsDecimal(const std::string& key) const { return IsType(key, CLU_DECIMAL); }
    bool IsFloat(const std::string& key) const { return IsType(key, CLU_FLOAT); }
    bool IsTime(const std::string& key) const { return IsType(key, CLU_TIME); }
    bool IsDate(const std::string& key) const { return IsType(key, CLU_DATE); }
    bool IsTimeStamp(const std::string& key) const { return IsType(key, CLU_TIMESTAMP); }
    bool IsString(const std::string& key) const { return IsType(key, CLU_TEXT); }
    bool IsBlob(const std::string& key) const { return IsType(key, CLU_BLOB); }
    bool IsList(const std::string& key) const { return IsType(key, CLU_LIST); }
    bool IsTable(const std::string& key) const { return IsType(key, CLU_TABLE); }
    bool IsEmpty(const std::string& key) const;
    const CLU_Entry* Get(const std::string& key) const { return Find(key); }
    const CLU_Entry* operator[](const std::string& key) const { return Find(key); }

    iterator begin() const;
    iterator end() const;
    iterator cbegin() const { return begin(); }
    iterator cend() const { return end(); }

    // The keys as texts and the values, both in insertion order.
    CLU_List Keys() const;
    CLU_List Values() const;

    uint64 GetMemoryUsage() const;

    // Equal keys with equal values, in any order.
    bool operator==(const CLU_Table& other) const;
    bool operator!=(const CLU_Table& other) const { return !(*this == other); }
    // Every key of `other` is here with a value that contains the other's value.
    bool operator>=(const CLU_Table& other) const;
    bool operator<=(const CLU_Table& other) const { return other >= *this; }

    // Typed getters: the default for an absent key or a NULL value; otherwise the
    // stored value, converted in place (after un-sharing) when it has another type.
    // The pointer getters give the stored value itself, not a copy: without a
    // conversion the storage is not un-shared, and a change through the pointer
    // reaches every table that shares it.
    bool GetBool(const std::string& key, bool def = false) const;
    int64 GetInteger(const std::string& key, int64 def = 0) const;
    int32 GetInt32(const std::string& key, int32 def = 0) const;
    CL_Decimal GetDecimal(const std::string& key, const CL_Decimal& def) const;
    CL_Decimal GetDecimal(const std::string& key) const;
    double GetFloat(const std::string& key, double def = 0.0) const;
    CL_Time GetTime(const std::string& key, const CL_Time& def) const;
    CL_Date GetDate(const std::string& key, const CL_Date& def) const;
    CL_TimeStamp GetTimeStamp(const std::string& key, const CL_TimeStamp& def) const;
    std::string GetString(const std::string& key, const std::string& def = std::string()) const;
    CL_Blob* GetBlob(const std::string& key, CL_Blob* def = nullptr) const;
    CLU_List* GetList(const std::string& key, CLU_List* def = nullptr) const;
    CLU_Table* GetTable(const std::string& key, CLU_Table* def = nullptr) const;
    // All 64 bits of the stored integer.
    CLU_Ref GetRef(const std::string& key) const;

    // Changing: each gives the table a storage of its own first. Setting a present
    // key keeps its place in the order; a new key goes to the end.
#define CLU_TABLE_SET(T) CLU_Table& Set(const std::string& key, T value);
    CLU_FOR_EACH_VALUE_TYPE(CLU_TABLE_SET)
#undef CLU_TABLE_SET
    // A reference of 0 stores NULL.
    CLU_Table& Set(const std::string& key, const CLU_Ref& value);

    CLU_Table& Unset(const std::string& key);
    CLU_Table& Unset(iterator& it);
    CLU_Table& Clear(bool shrink = false);
    void Shrink();
    void SetCapacity(uint32 size);
    // Copies every key of `other` here, overwriting.
    CLU_Table& Update(const CLU_Table& other);
    // Copies the keys of `other` that are absent here.
    CLU_Table& Merge(const CLU_Table& other);
    // Sets keys.GetString(i) to values.Get(i) over the shorter of the two lists.
    CLU_Table& Zip(const CLU_List& keys, const CLU_List& values);

    void Flatten(CL_Blob& blob) const override;
    // Flatten that tells whether the table went out: false when it nests deeper than
    // CLU_MAX_FLATTEN_DEPTH or outgrows the blob's size limit, which Flatten leaves
    // unwritten without a word (the blob as it says).
    bool TryFlatten(CL_Blob& blob) const;
    bool Unflatten(CL_Blob& blob) override;

    // A new element of `doc` describing the value, not yet linked into the tree.
    CL_XML_Node SaveXML(CL_XML_Document* doc, CLU_XML_Variant variant) const;
    // Replaces the content with the value described from `node` on; non-element
    // nodes are skipped and `node` is left on the element read. False when no
    // element was found or a value did not parse; what was loaded up to there stays.
    bool LoadXML(CL_XML_Document* doc, CL_XML_Node& node, CLU_XML_Variant variant);
    // Indented, human-readable text with a type mark after each scalar.
    std::string Dump(uint32 indent) const;

protected:
    // The entry under `key`, made with `type` when absent.
    CLU_Entry* Prepare(const std::string& key, CLU_Type type);

private:
    // Pointers would silently turn into bools; refuse them when building.
    CLU_Table& Set(const std::string&, const CL_Blob*) = delete;
    CLU_Table& Set(const std::string&, const CLU_List*) = delete;
    CLU_Table& Set(const std::string&, const CLU_Table*) = delete;
    CLU_Table& Set(const std::string&, const CLU_Entry*) = delete;

    friend class CLU_Entry;
    friend class CLU_List;
    friend class CLU_Flattener;

    // The stored entry, or null; never un-shares.
    CLU_Entry* Find(const std::string& key) const;
    // The stored entry of a value that must be converted: un-shares first.
    CLU_Entry* FindForConvert(const std::string& key, CLU_Type type) const;
    void SetEntry(const std::string& key, const CLU_Entry& value);

protected:
    CL_RefCounted<Storage> fStorage;  // copy-on-write
};

#include "lumo/entry.h"
