// The dynamic value: one value of one of twelve types, replaceable by a value of any
// type, comparable, and convertible between types by a fixed rule for each pair.
// Lists and tables hold their items as heap entries; every RPC value is a table.
#pragma once

#include <new>
#include <string>
#include <string_view>

#include "lumo/allocator.h"
#include "lumo/blob.h"
#include "lumo/decimal.h"
#include "lumo/flatten.h"
#include "lumo/list.h"
#include "lumo/table.h"
#include "lumo/timestamp.h"
#include "lumo/base_types.h"

// Values as XML live with the documents (lumo/xml.h); only the names are needed here.
class CL_XML_Document;
class CL_XML_Node;
enum CLU_XML_Variant : int32;

// One per thread, used by that thread only.
// Per-thread stack of entry pointers for readers and destructors of long lists,
// shared by the nested ones. It lets a list's array be made after its items and
// freed before them, so the heap never sweeps its free lists for that one large
// block while they hold the items' small ones. Kept warm up to a bound.
struct CLU_EntryStack {
    CLU_Entry** fItems;
    uint32 fSize;
    uint32 fCapacity;
    bool fClosed;

    // Room for `extra` more pointers.
    bool Reserve(uint32 extra);
    bool Push(CLU_Entry* e) {
        if (fSize == fCapacity && !Reserve(1)) return false;
        fItems[fSize++] = e;
        return true;
    }
    // Back to `base` pointers; an outsized stack is given back once empty.
    void Pop(uint32 base);
    void Release();
};

// One dynamic value. Scalars and texts are held inline; blobs, lists and tables
// are copy-on-write handles, so copying an entry that holds one is cheap.
// Threads: one entry is used by one thread at a time, getters included (they convert
// in place). Copies may live on different threads as blobs and tables do; a list's
// getters, though, convert inside the storage that copies share (see CLU_List).
//
// Values read from flattened data (Unflatten of a table, list or entry) live in one
// arena per read: their entries, list and table storages, keys, and the bytes of texts
// longer than a string's own room, all given back at once when the last handle into it
// goes (see CL_StorageArena). `fString` of such an entry is a std::string over the
// arena's bytes: read it as any string; never move from it or change it in place (Set
// replaces it).
// Walking such a value, as a converter to another language does, costs no heap block
// per value: hold a handle to the table or list for the walk; iterate lists with
// begin()/end() (or Count() and Get(i)) and tables with begin()/end(), reading keys with
// iterator::KeyRef(); switch on fType and read the union member itself (fBool, fInteger,
// fFloat, fDecimal, fTime/fDate/fTimeStamp.ToRaw(), TextView() for texts,
// fBlob.GetDataForRead() and GetSize(), fList and fTable to go down). iterator::key()
// and the typed getters copy, and the getters may convert in place.
class CLU_Entry : public CL_Object {
public:
    CLU_Entry() : fType(CLU_NULL), fPlace(0) { fInteger = 0; }
    explicit CLU_Entry(CLU_Type type);
    CLU_Entry(const CLU_Entry& other) : fType(CLU_NULL), fPlace(0) { CopyFrom(other); }
    CLU_Entry(CLU_Entry&& other) noexcept : fType(CLU_NULL), fPlace(0) { MoveFrom(other); }
    ~CLU_Entry() { Destroy(); }
    CLU_Entry& operator=(const CLU_Entry& other) { return Set(other); }
    CLU_Entry& operator=(CLU_Entry&& other) noexcept;
    // An entry that lives in an arena is destroyed and its memory left to the arena.
    static void operator delete(CLU_Entry* e, std::destroying_delete_t);
    // Releases a block whose entry was never made (a new-expression that failed).
    static void operator delete(void* ptr) { CL_Object::operator delete(ptr); }

    // Heap entries of lists and tables. Freed entries are kept in a small per-thread
    // cache for reuse; every block is an ordinary heap block, so `delete` also works.
    // An entry of an arena may be deleted or deallocated too: its value is destroyed
    // and its memory stays with the arena.
    static CLU_Entry* Allocate(CLU_Type type);
    static void Deallocate(CLU_Entry* e);
    // Frees the calling thread's cached entries (also done when the thread ends).
    static void ClearFreeList();
    // Gives back to the heap the blocks kept, process-wide, for the arenas of values
    // read from flattened data (up to 16 MB, kept to process exit otherwise).
    static void ReleaseArenaBlocks();

    CLU_Type GetType() const { return fType; }
    // The bytes of a text entry (empty for other types), valid until the entry changes.
    std::string_view TextView() const {
        return fType == CLU_TEXT ? std::string_view(fString.data(), fString.size())
                                 : std::string_view();
    }
    // True for an entry that lives in the arena of a value read from flattened data.
    bool InArena() const { return (fPlace & kInArena) != 0; }
    CLU_Entry& Unset();

    // Setting a value. The new value is built before the old one is released, so
    // it may come from inside the value it replaces.
#define CLU_ENTRY_SET(T) CLU_Entry& Set(T value);
    CLU_FOR_EACH_VALUE_TYPE(CLU_ENTRY_SET)
#undef CLU_ENTRY_SET

    // Keyed access: an entry that is not a table becomes one first.
#define CLU_ENTRY_SET_KEY(T) CLU_Entry& Set(const std::string& key, T value);
    CLU_FOR_EACH_VALUE_TYPE(CLU_ENTRY_SET_KEY)
#undef CLU_ENTRY_SET_KEY

    // Indexed and keyed reads: an entry that is not a list (table) becomes one.
    const CLU_Entry* Get(int index);
    const CLU_Entry* Get(const std::string& key);

    // Typed getters by index: the list's getter on a list, a fixed zero otherwise.
    bool GetBool(int index);
    int32 GetInt32(int index);
    int64 GetInteger(int index);
    double GetFloat(int index);
    CL_Decimal GetDecimal(int index);
    CL_Time GetTime(int index);
    CL_Date GetDate(int index);
    CL_TimeStamp GetTimeStamp(int index);
    std::string GetString(int index);
    CL_Blob* GetBlob(int index);
    CLU_List* GetList(int index);
    CLU_Table* GetTable(int index);

    // Typed getters by key: the table's getter on a table, the default otherwise.
    bool GetBool(const std::string& key, bool def);
    int32 GetInt32(const std::string& key, int32 def);
    int64 GetInteger(const std::string& key, int64 def);
    double GetFloat(const std::string& key, double def);
    CL_Decimal GetDecimal(const std::string& key, const CL_Decimal& def);
    CL_Time GetTime(const std::string& key, const CL_Time& def);
    CL_Date GetDate(const std::string& key, const CL_Date& def);
    CL_TimeStamp GetTimeStamp(const std::string& key, const CL_TimeStamp& def);
    std::string GetString(const std::string& key, const std::string& def);
    CL_Blob* GetBlob(const std::string& key, CL_Blob* def);
    CLU_List* GetList(const std::string& key, CLU_List* def);
    CLU_Table* GetTable(const std::string& key, CLU_Table* def);

    // Queries.
    bool IsEmpty() const;
    bool IsNull(int index) const;
    bool IsEmpty(int index) const;
    bool IsType(int index, CLU_Type type) const;
    bool Exists(const std::string& key) const;
    bool IsNull(const std::string& key) const;
    bool IsValid(const std::string& key) const;
    bool IsType(const std::string& key, CLU_Type type) const;
    bool IsEmpty(const std::string& key) const;
    // A number, or a text that is a whole base-10 64-bit integer in canonical form.
    bool IsNumber() const;

    // Same type and equal value; values of different types are never equal.
    bool operator==(const CLU_Entry& other) const;
    bool operator!=(const CLU_Entry& other) const {
        return !(*this == other);
    }
    // Containment for lists and tables, equality for everything else.
    bool operator>=(const CLU_Entry& other) const;
    // These convert the entry to the container's type first.
    bool operator==(const CL_Blob& other);
    bool operator!=(const CL_Blob& other) {
        return !(*this == other);
    }
    bool operator==(const CLU_List& other);
    bool operator!=(const CLU_List& other) {
        return !(*this == other);
    }
    bool operator==(const CLU_Table& other);
    bool operator!=(const CLU_Table& other) {
        return !(*this == other);
    }

    uint32 CheckSum() const;
    uint64 GetMemoryUsage() const;
    void Shrink();

    // Changes the entry in place to `type`. On failure the entry is untouched, or,
    // with `force`, holds 0 of the requested type; the result is false either way.
    bool Convert(CLU_Type type, bool force);

    void Flatten(CL_Blob& blob) const;
    bool Unflatten(CL_Blob& blob);
    // Flattened-format version written by the calling thread: 1 or 2.
    static uint32 GetFlattenedVersion();
    // Stores the thread's version (0 means 2); returns the one stored before, or 0.
    static uint32 SetFlattenedVersion(uint32 version);

    // A new element of `doc` describing the value, not yet linked into the tree.
    CL_XML_Node SaveXML(CL_XML_Document* doc, CLU_XML_Variant variant) const;
    // Replaces the content with the value described from `node` on; non-element
    // nodes are skipped and `node` is left on the element read. False when no
    // element was found or a value did not parse; what was loaded up to there stays.
    bool LoadXML(CL_XML_Document* doc, CL_XML_Node& node, CLU_XML_Variant variant);
    // Indented, human-readable text with a type mark after each scalar.
    std::string Dump(uint32 indent) const;

    CLU_Type fType;

private:
    // Where the entry lives: 0 for an entry of its own. An arena entry has kInArena,
    // kBorrowedText while its text's bytes are the arena's, and its distance to the start
    // of its arena block, in 8-byte units, above kPlaceShift.
    static constexpr uint32 kInArena = 1;
    static constexpr uint32 kBorrowedText = 2;
    static constexpr uint32 kPlaceShift = 8;
    uint32 fPlace;

public:
    union {
        bool fBool;
        int64 fInteger;
        CL_Decimal fDecimal;
        double fFloat;
        CL_Time fTime;
        CL_Date fDate;
        CL_TimeStamp fTimeStamp;
        std::string fString;
        CL_Blob fBlob;
        CLU_List fList;
        CLU_Table fTable;
        uint8 fData[32];
    };

private:
    CLU_Entry& operator=(const CL_Blob*) = delete;
    CLU_Entry& Set(const CL_Blob*) = delete;
    CLU_Entry& Set(const CLU_List*) = delete;
    CLU_Entry& Set(const CLU_Table*) = delete;
    CLU_Entry& Set(const CLU_Entry*) = delete;

    friend class CLU_List;
    friend class CLU_Table;
    friend class CLU_Flattener;
    friend class CLU_Arena;

    // Frees the value and makes the entry NULL.
    void Destroy();
    // An arena entry that comes to own memory or counts of its own makes its arena
    // destroy its values one by one when it is given back.
    void NoteOwnedValue() {
        if (__builtin_expect(fPlace != 0, 0) &&
            (fType == CLU_TEXT || fType == CLU_BLOB || fType == CLU_LIST || fType == CLU_TABLE))
            MarkArenaDirty();
    }
    void MarkArenaDirty();
    // Copies into an entry that holds no value (after Destroy or construction).
    void CopyFrom(const CLU_Entry& other);
    void MoveFrom(CLU_Entry& other);
    // Replaces the value by one built from `other` (which may live inside this one).
    void Assign(CLU_Entry&& other);
    void InitValue(CLU_Type type);

    // Storage of a list or table entry; null for other types and empty handles.
    static const void* StorageOf(const CLU_Entry& e);
    // True when `storage` (a list or table storage) can be reached from `e`.
    static bool Reaches(const CLU_Entry& e, const void* storage);
    // Copies `src` into `dst` so that the copy shares no storage from which
    // `storage` can be reached: a container stored into itself keeps a snapshot.
    static void CopyDetached(CLU_Entry& dst, const CLU_Entry& src, const void* storage);

    // The calling thread's stack, or null once the thread's own storage is gone.
    static CLU_EntryStack* ThreadEntryStack();
    // Lists up to this long go without the stack.
    static constexpr uint32 kShortList = 64;
};
