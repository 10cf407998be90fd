// Value lists: ordered, copy-on-write sequences of dynamic values addressed by a
// 0-based index. Copies share one storage until one of them changes; the typed
// getters convert an element in place inside the storage they read.
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

typedef CL_Set<int> CL_IntSet;
typedef CL_Set<std::string> CL_StringSet;

// Ordered container of dynamic values; the payload of most server replies.
// Threads: one list object is used by one thread at a time. Copies share a storage
// and a change un-shares it first, but the typed getters are const and still
// convert the element inside the storage they read, shared or not: copies see the
// converted element, and lists sharing a storage must not be read through their
// getters on several threads at once.
class CLU_List : public CL_Flattenable {
public:
    // Shared contents: heap entries, owned by the storage (which the handles own).
    class Storage : public CL_Object {
    public:
        Storage() {}
        // Out of memory, the copy is incomplete and says so (the handle drops it).
        Storage(const Storage& other);
        Storage& operator=(const Storage&) = delete;
        ~Storage();
        bool CopyFailed() const { return fFailed; }

        CL_Array<CLU_Entry*> fList;
        bool fFailed = false;
    };

    // Position in a list's storage; stays usable across Remove(iterator&). Used under
    // the thread rules of its list; it does not own the storage.
    class iterator {
    public:
        iterator() : fStorage(nullptr), fPos(0) {}
        iterator(const Storage* storage, int32 pos) : fStorage(storage), fPos(pos) {}

        iterator& operator++() {
            ++fPos;
            return *this;
        }
        iterator operator++(int) {
            iterator old = *this;
            ++fPos;
            return old;
        }
        iterator& operator--() {
            --fPos;
            return *this;
        }
        iterator operator--(int) {
            iterator old = *this;
            --fPos;
            return old;
        }
        iterator& operator+=(int32 n) {
            fPos += n;
            return *this;
        }
        iterator& operator-=(int32 n) {
            fPos -= n;
            return *this;
        }
        iterator operator+(int32 n) const { return iterator(fStorage, fPos + n); }
        iterator operator-(int32 n) const { return iterator(fStorage, fPos - n); }
        int32 operator-(const iterator& other) const { return fPos - other.fPos; }
        bool operator==(const iterator& other) const { return fPos == other.fPos; }
        bool operator!=(const iterator& other) const { return fPos != other.fPos; }
        bool operator<(const iterator& other) const { return fPos < other.fPos; }
        bool operator<=(const iterator& other) const { return fPos <= other.fPos; }
        bool operator>(const iterator& other) const { return fPos > other.fPos; }
        bool operator>=(const iterator& other) const { return fPos >= other.fPos; }
        CLU_Entry& operator*() const { return *ptr(); }
        CLU_Entry* operator->() const { return ptr(); }
        CLU_Entry& operator[](int32 n) const { return *(*this + n).ptr(); }
        CLU_Entry* ptr() const {
            return const_cast<Storage*>(fStorage)->fList[static_cast<uint32>(fPos)];
        }
        int32 Index() const { return fPos; }
        void Reset(Storage* storage) { fStorage = storage; }

    private:
        const Storage* fStorage;
        int32 fPos;
    };
    typedef iterator const_iterator;

    CLU_List() {}
    CLU_List(const CLU_List& other) : fStorage(other.fStorage) {}
    CLU_List(CLU_List&& other) noexcept : fStorage(std::move(other.fStorage)) {}
    ~CLU_List() override;
    CLU_List& operator=(const CLU_List& other) {
        fStorage = other.fStorage;
        return *this;
    }
    CLU_List& operator=(CLU_List&& other) noexcept {
        fStorage = std::move(other.fStorage);
        return *this;
    }

    static CLU_List FromIntSet(const CL_IntSet& set);
    static CLU_List FromStringSet(const CL_StringSet& set);

    // Reading. An index outside the list gives null, CLU_NULL or a zero value.
    uint32 Count() const;
    const CLU_Entry* Get(int32 index) const;
    const CLU_Entry* operator[](int32 index) const { return Get(index); }
    const CLU_Entry* First() const { return Get(0); }
    const CLU_Entry* Last() const { return Get(static_cast<int32>(Count()) - 1); }
    CLU_Type GetType(int32 index) const;
    bool IsNull(int32 index) const { return GetType(index) == CLU_NULL; }
    bool IsType(int32 index, CLU_Type type) const { return GetType(index) == type; }
    bool IsBool(int32 index) const { return IsType(index, CLU_BOOL); }
    bool IsInteger(int32 index) const { return IsType(index, CLU_INTEGER); }
    bool IsDecimal(int32 index) const { return IsType(index, CLU_DECIMAL); }
    bool IsFloat(int32 index) const { return IsType(index, CLU_FLOAT); }
    bool IsTime(int32 index) const { return IsType(index, CLU_TIME); }
    bool IsDate(int32 index) const { return IsType(index, CLU_DATE); }
    bool IsTimeStamp(int32 index) const { return IsType(index, CLU_TIMESTAMP); }
    bool IsString(int32 index) const { return IsType(index, CLU_TEXT); }
    bool IsBlob(int32 index) const { return IsType(index, CLU_BLOB); }
    bool IsList(int32 index) const { return IsType(index, CLU_LIST); }
    bool IsTable(int32 index) const { return IsType(index, CLU_TABLE); }
    bool IsEmpty(int32 index) const;

#define CLU_LIST_INDEXOF(T) int32 IndexOf(T value) const;
    CLU_FOR_EACH_VALUE_TYPE(CLU_LIST_INDEXOF)
#undef CLU_LIST_INDEXOF
    int32 IndexOf(const iterator& it) const;

    iterator begin() const {
        return iterator(fStorage.GetRefData(), 0);
    }
    iterator end() const {
        const Storage* s = fStorage.GetRefData();
        return iterator(s, static_cast<int32>(s->fList.Count()));
    }
    iterator cbegin() const {
        return begin();
    }
    iterator cend() const {
        return end();
    }

    // Convert every element in place (inside the shared storage) and collect them.
    CL_IntSet AsIntSet() const;
    CL_StringSet AsStringSet() const;

    uint64 GetMemoryUsage() const;

    bool operator==(const CLU_List& other) const;
    bool operator!=(const CLU_List& other) const {
        return !(*this == other);
    }
    // Containment in order: every element of `other` matches a later element here.
    bool operator>=(const CLU_List& other) const;
    bool operator<=(const CLU_List& other) const {
        return other >= *this;
    }

    // Typed getters: convert the element in place, inside the storage this list
    // shares with its copies. The pointers stay valid until the list next changes.
    bool GetBool(int32 index) const;
    int64 GetInteger(int32 index) const;
    int32 GetInt32(int32 index) const;
    CL_Decimal GetDecimal(int32 index) const;
    double GetFloat(int32 index) const;
    CL_Time GetTime(int32 index) const;
    CL_Date GetDate(int32 index) const;
    CL_TimeStamp GetTimeStamp(int32 index) const;
    std::string GetString(int32 index) const;
    CL_Blob* GetBlob(int32 index) const;
    CLU_List* GetList(int32 index) const;
    CLU_Table* GetTable(int32 index) const;

    // Changing: each gives the list a storage of its own first. Indexes are
    // compared unsigned, so a negative index inserts at the end and replaces nothing.
#define CLU_LIST_CHANGE(T)                    \
    CLU_List& Insert(int32 index, T value);   \
    CLU_List& Insert(iterator& it, T value);  \
    CLU_List& Replace(int32 index, T value);  \
    CLU_List& Replace(iterator& it, T value); \
    CLU_List& Append(T value);
    CLU_FOR_EACH_VALUE_TYPE(CLU_LIST_CHANGE)
#undef CLU_LIST_CHANGE

    CLU_List& Remove(int32 index);
    CLU_List& Remove(iterator& it);
    CLU_Entry Pop(bool fromHead);
    void Extend(const CLU_List* other);
    void Extend(const CLU_List& other);
    CLU_List& Clear(bool shrink = false);
    void Shrink();
    // 4294967295 stands for Count() + 1.
    void SetCapacity(uint32 size);

    void Flatten(CL_Blob& blob) const override;
    bool Unflatten(CL_Blob& blob) override;

    // A new element of `doc` describing the value, not yet linked into the tree.
    CL_XML_Node SaveXML(CL_XML_Document* doc, CLU_XML_Variant variant) const;
    // Replaces the content with the value described from `node` on; non-element
    // nodes are skipped and `node` is left on the element read. False when no
    // element was found or a value did not parse; what was loaded up to there stays.
    bool LoadXML(CL_XML_Document* doc, CL_XML_Node& node, CLU_XML_Variant variant);
    // Indented, human-readable text with a type mark after each scalar.
    std::string Dump(uint32 indent) const;

private:
    // Pointers would silently turn into bools; refuse them when building.
    CLU_List& Insert(int32, const CL_Blob*) = delete;
    CLU_List& Insert(int32, const CLU_List*) = delete;
    CLU_List& Insert(int32, const CLU_Table*) = delete;
    CLU_List& Insert(int32, const CLU_Entry*) = delete;
    CLU_List& Replace(int32, const CL_Blob*) = delete;
    CLU_List& Replace(int32, const CLU_List*) = delete;
    CLU_List& Replace(int32, const CLU_Table*) = delete;
    CLU_List& Replace(int32, const CLU_Entry*) = delete;
    CLU_List& Append(const CL_Blob*) = delete;
    CLU_List& Append(const CLU_List*) = delete;
    CLU_List& Append(const CLU_Table*) = delete;
    CLU_List& Append(const CLU_Entry*) = delete;

    friend class CLU_Entry;
    friend class CLU_Table;
    friend class CLU_Flattener;

    // The element at `index`, or null; reads the storage without un-sharing it.
    CLU_Entry* At(int32 index) const;
    // Stores `value` as a new element at `pos` (Count() or more appends).
    void InsertEntry(uint32 pos, const CLU_Entry& value);
    void ReplaceEntry(uint32 pos, const CLU_Entry& value);
    int32 Find(const CLU_Entry& value) const;

protected:
    CL_RefCounted<Storage> fStorage;  // copy-on-write
};

#include "lumo/entry.h"
