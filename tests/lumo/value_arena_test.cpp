// Values read from flattened data, which live in one arena: sharing and copy-on-write
// between copies, lifetimes past the blob, the table and the reading thread, single
// entries deleted, running out of memory, and random values that must behave exactly
// as the same values built on the heap.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lumo/base/entry_arena.h"
#include "lumo/entry.h"
#include "support/address_space_cap.h"
#include "support/flat_table.h"

#if defined(__SANITIZE_ADDRESS__)
#define ARENA_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ARENA_LEAK_CHECK 1
#endif
#endif
#ifdef ARENA_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// False when LeakSanitizer (the ASan build, with detect_leaks=1) finds a block that
// nothing reaches; true elsewhere. The pool's blocks go first: what they held could
// still point at a lost block.
bool NothingLost() {
    CLU_Entry::ReleaseArenaBlocks();
#ifdef ARENA_LEAK_CHECK
    return __lsan_do_recoverable_leak_check() == 0;
#else
    return true;
#endif
}

template <class T>
T ReadBack(const T& value) {
    CL_Blob blob;
    value.Flatten(blob);
    blob.Rewind();
    T back;
    EXPECT_TRUE(back.Unflatten(blob));
    return back;
}

// Restores the thread's version when a test changes it.
struct VersionScope {
    explicit VersionScope(uint32 v) { CLU_Entry::SetFlattenedVersion(v); }
    ~VersionScope() { CLU_Entry::SetFlattenedVersion(2); }
};

const std::string kLongText = "a text longer than a string's own room";

// A reply-like table: scalars, long and short texts and keys, rows of lists, a nested
// table and a blob.
CLU_Table Reply(int rows) {
    CLU_List list;
    for (int i = 0; i < rows; i++) {
        CLU_List tags;
        tags.Append(i % 5).Append(i % 7);
        CLU_List row;
        row.Append(static_cast<int64>(i))
            .Append("Customer " + std::to_string(i) + " of the northern region")
            .Append(CL_Decimal(std::to_string(i) + ".25"))
            .Append("ART-" + std::to_string(i % 10))
            .Append(tags);
        list.Append(row);
    }
    CLU_Table inner;
    inner.Set("a key longer than sixteen bytes", kLongText).Set("n", 3);
    const uint8 raw[] = {1, 2, 3, 0, 4};
    CLU_Table t;
    t.Set("rows", list)
        .Set("inner", inner)
        .Set("text", kLongText)
        .Set("short", "abc")
        .Set("number", "12")
        .Set("blob", CL_Blob(raw, sizeof raw, true))
        .Set("ERRNO", 0);
    return t;
}

}  // namespace

// ---- Where read values live ---------------------------------------------------

TEST(ValueArena, ReadValuesLiveInTheArenaAndReadAsBuilt) {
    const CLU_Table built = Reply(50);
    const CLU_Table read = ReadBack(built);
    EXPECT_TRUE(read == built);
    EXPECT_EQ(FlatBytes(read), FlatBytes(built));

    ASSERT_NE(read.Get("text"), nullptr);
    EXPECT_TRUE(read.Get("text")->InArena());
    EXPECT_FALSE(built.Get("text")->InArena());
    const CLU_List* rows = read.GetList("rows");
    ASSERT_NE(rows, nullptr);
    EXPECT_TRUE(rows->Get(7)->InArena());
    EXPECT_TRUE(rows->Get(7)->fList.Get(1)->InArena());

    // A long text read back is an ordinary string to its readers.
    const CLU_Entry& text = *read.Get("text");
    EXPECT_EQ(text.fString, kLongText);
    EXPECT_EQ(text.TextView(), kLongText);
    EXPECT_STREQ(text.fString.c_str(), kLongText.c_str());
    EXPECT_EQ(std::string(text.fString), kLongText);
    EXPECT_EQ(read.GetString("text"), kLongText);
    EXPECT_EQ(text.CheckSum(), built.Get("text")->CheckSum());

    // Keys are read without a copy, long ones too.
    const CLU_Table* inner = read.GetTable("inner");
    ASSERT_NE(inner, nullptr);
    std::vector<std::string> keys;
    for (CLU_Table::iterator it = inner->begin(); it != inner->end(); ++it)
        keys.push_back(it.KeyRef());
    EXPECT_EQ(keys, (std::vector<std::string>{"a key longer than sixteen bytes", "n"}));
    EXPECT_EQ(inner->GetString("a key longer than sixteen bytes"), kLongText);
    EXPECT_EQ(CLU_Entry().TextView(), "");
}

// ---- Sharing and copy-on-write -------------------------------------------------

TEST(ValueArena, CopiesShareUntilOneChanges) {
    const CLU_Table built = Reply(20);
    const std::vector<uint8> original = FlatBytes(built);
    CLU_Table read = ReadBack(built);
    CLU_Table copy(read);
    // Copies share the read values themselves until one changes.
    EXPECT_EQ(copy.Get("text"), read.Get("text"));
    EXPECT_TRUE(read.Get("text")->InArena());
    EXPECT_EQ(copy.GetList("rows")->Get(7), read.GetList("rows")->Get(7));
    CLU_List sharedRows = *read.GetList("rows");
    EXPECT_EQ(sharedRows.Get(7), read.GetList("rows")->Get(7));

    // The top level.
    copy.Set("text", "changed").Set("new", 1).Unset("short");
    EXPECT_EQ(FlatBytes(read), original);
    EXPECT_EQ(copy.GetString("text"), "changed");
    EXPECT_FALSE(copy.Exists("short"));

    // A conversion by a table getter is a change too.
    EXPECT_EQ(copy.GetInteger("number", 0), 12);
    EXPECT_EQ(copy.GetType("number"), CLU_INTEGER);
    EXPECT_EQ(read.GetType("number"), CLU_TEXT);

    // Nested lists and tables reached through the getters' pointers.
    CLU_List* rows = copy.GetList("rows");
    ASSERT_NE(rows, nullptr);
    rows->Append("appended");
    rows->GetList(3)->Append(99);
    copy.GetTable("inner")->Set("n", 4).Set("a key longer than sixteen bytes", "other");
    EXPECT_EQ(FlatBytes(read), original);
    EXPECT_EQ(copy.GetList("rows")->Count(), 21u);
    EXPECT_EQ(copy.GetList("rows")->GetList(3)->GetInteger(5), 99);
    EXPECT_EQ(copy.GetTable("inner")->GetInteger("n", 0), 4);
    EXPECT_EQ(read.GetTable("inner")->GetString("a key longer than sixteen bytes"), kLongText);

    // A nested value copied out of the table and changed leaves the table alone.
    CLU_List row = *read.GetList("rows")->GetList(2);
    row.Replace(1, "replaced").Remove(0);
    CLU_Table innerCopy = *read.GetTable("inner");
    innerCopy.Clear();
    EXPECT_EQ(FlatBytes(read), original);
    EXPECT_EQ(row.GetString(0), "replaced");
    EXPECT_EQ(innerCopy.Count(), 0u);
}

// Empty lists, tables and blobs read back own nothing yet; written to through the
// getters' pointers they take memory of their own, which goes with the table.
TEST(ValueArena, EmptyValuesChangedThroughPointers) {
    CLU_List empties;
    empties.Append(CLU_List()).Append(CLU_Table()).Append(CLU_List());
    CLU_Table built;
    built.Set("list", CLU_List()).Set("table", CLU_Table()).Set("blob", CL_Blob());
    built.Set("empties", empties);
    const std::vector<uint8> original = FlatBytes(built);
    for (int copies = 0; copies < 2; copies++) {
        CLU_Table read = ReadBack(built);
        CLU_Table copy(read);
        read.GetList("list")->Append(kLongText);
        read.GetTable("table")->Set(kLongText, kLongText);
        read.GetBlob("blob")->Write(kLongText.data(), static_cast<uint32>(kLongText.size()));
        CLU_List* inner = read.GetList("empties");
        inner->GetList(0)->Append(1);
        inner->GetTable(1)->Set("k", 2);
        inner->GetList(2)->Append(3);
        EXPECT_EQ(read.GetList("list")->GetString(0), kLongText);
        EXPECT_EQ(read.GetTable("table")->GetString(kLongText), kLongText);
        EXPECT_EQ(read.GetBlob("blob")->GetSize(), kLongText.size());
        EXPECT_EQ(inner->GetList(0)->Count(), 1u);
        EXPECT_EQ(inner->GetList(2)->GetInteger(0), 3);
        // The copy shares the storages the pointers led into.
        EXPECT_EQ(copy.GetList("list")->Count(), 1u);
        if (copies) copy = CLU_Table();
        EXPECT_EQ(FlatBytes(ReadBack(built)), original);
    }
}

TEST(ValueArena, ListGettersConvertInsideTheStorageCopiesShare) {
    CLU_Table read = ReadBack(Reply(5));
    CLU_Table copy(read);
    CLU_List* row = read.GetList("rows")->GetList(1);
    ASSERT_NE(row, nullptr);
    // The list's own rule: the element is converted where it is, and every copy that
    // shares the storage sees it.
    EXPECT_EQ(row->GetString(0), "1");
    EXPECT_EQ(row->GetInteger(3), 0);  // "ART-1" reads as no number
    EXPECT_EQ(copy.GetList("rows")->GetList(1)->GetType(0), CLU_TEXT);
    EXPECT_EQ(copy.GetList("rows")->GetList(1)->GetType(3), CLU_INTEGER);
    EXPECT_EQ(copy.GetList("rows")->GetList(1)->GetString(0), "1");
}

TEST(ValueArena, ClearingAndReadingAgainLetGoOfTheArena) {
    CLU_Table read = ReadBack(Reply(30));
    CLU_Table copy(read);
    read.Clear();
    EXPECT_EQ(read.Count(), 0u);
    EXPECT_EQ(copy.GetList("rows")->Count(), 30u);
    read.Set("k", 1);
    EXPECT_EQ(read.Count(), 1u);

    CLU_List rows = *copy.GetList("rows");
    CL_Blob blob;
    Reply(3).Flatten(blob);
    blob.Rewind();
    ASSERT_TRUE(copy.Unflatten(blob));
    EXPECT_EQ(copy.GetList("rows")->Count(), 3u);
    EXPECT_EQ(rows.Count(), 30u);
    EXPECT_EQ(rows.GetList(29)->GetInteger(0), 29);
}

// A nested value read back may be stored into the table it came from: the copy is a
// snapshot, and nothing leaks when both go.
TEST(ValueArena, NestedValueStoredBackIntoItsOwnTable) {
    CLU_Table read = ReadBack(Reply(4));
    CLU_List rows = *read.GetList("rows");
    read.Set("again", rows);
    *read.GetList("rows") = *read.GetList("again");
    read.GetList("rows")->Append(read);
    EXPECT_EQ(read.GetList("again")->Count(), 4u);
    EXPECT_EQ(read.GetList("rows")->Count(), 5u);
    EXPECT_EQ(read.GetList("rows")->GetTable(4)->GetList("again")->Count(), 4u);
}

// ---- Lifetimes --------------------------------------------------------------------

TEST(ValueArena, TableOutlivesTheBlobItWasReadFrom) {
    const CLU_Table built = Reply(10);
    CLU_Table read;
    {
        CL_Blob blob;
        built.Flatten(blob);
        blob.Rewind();
        ASSERT_TRUE(read.Unflatten(blob));
        // Overwrite the bytes the values were read from before the blob goes.
        memset(blob.GetDataForWrite(), 0x5A, blob.GetSize());
    }
    EXPECT_TRUE(read == built);
    EXPECT_EQ(read.GetString("text"), kLongText);
    EXPECT_EQ(read.GetTable("inner")->GetString("a key longer than sixteen bytes"), kLongText);
}

TEST(ValueArena, NestedValuesOutliveTheirTable) {
    CLU_List rows;
    CLU_Entry text;
    CLU_Table inner;
    CLU_List moved;
    {
        CLU_Table read = ReadBack(Reply(12));
        rows = *read.GetList("rows");
        text = *read.Get("text");
        inner = *read.GetTable("inner");
        // Moving a value out of the table takes it over, with a count on the arena.
        CLU_Entry* entry = const_cast<CLU_Entry*>(read.GetList("rows")->Get(11));
        moved = std::move(entry->fList);
    }
    EXPECT_EQ(rows.Count(), 12u);
    EXPECT_EQ(rows.GetList(5)->GetString(1), "Customer 5 of the northern region");
    EXPECT_FALSE(text.InArena());
    EXPECT_EQ(text.fString, kLongText);
    EXPECT_EQ(inner.GetString("a key longer than sixteen bytes"), kLongText);
    EXPECT_EQ(moved.GetInteger(0), 11);
    EXPECT_EQ(moved.GetList(4)->GetInteger(1), 11 % 7);
}

TEST(ValueArena, DestroyedOnOtherThreadsThanTheReader) {
    const CLU_Table built = Reply(200);
    CL_Blob blob;
    built.Flatten(blob);
    for (int round = 0; round < 20; round++) {
        CLU_Table read;
        std::thread reader([&] {
            CL_Blob mine(blob);
            mine.Rewind();
            EXPECT_TRUE(read.Unflatten(mine));
        });
        reader.join();
        // Copies of the table and of values inside it go on several threads at once.
        std::vector<std::thread> users;
        for (int t = 0; t < 4; t++) {
            CLU_Table copy(read);
            CLU_List rows = *read.GetList("rows");
            users.emplace_back([copy, rows, t]() mutable {
                EXPECT_EQ(rows.Count(), 200u);
                EXPECT_EQ(copy.GetList("rows")->GetList(t)->GetInteger(0), t);
                if (t % 2) copy.Set("changed", t);
            });
        }
        read = CLU_Table();
        for (std::thread& user : users)
            user.join();
    }
}

// ---- Single entries ------------------------------------------------------------------

// Deleting or deallocating an entry of an arena destroys its value and leaves its
// memory to the arena; the table then holds a NULL in its place.
TEST(ValueArena, DeleteAndDeallocateOfArenaEntries) {
    CLU_Table read = ReadBack(Reply(6));
    CLU_Entry* text = const_cast<CLU_Entry*>(read.Get("text"));
    ASSERT_TRUE(text->InArena());
    delete text;
    CLU_Entry* row = const_cast<CLU_Entry*>(read.GetList("rows")->Get(2));
    CLU_Entry::Deallocate(row);
    CLU_Entry* blob = const_cast<CLU_Entry*>(read.Get("blob"));
    CLU_Entry::Deallocate(blob);
    EXPECT_EQ(read.Get("text")->fType, CLU_NULL);
    EXPECT_EQ(read.GetList("rows")->Get(2)->fType, CLU_NULL);
    EXPECT_EQ(read.Get("blob")->fType, CLU_NULL);
    EXPECT_EQ(read.Count(), 7u);
    EXPECT_EQ(read.GetList("rows")->Count(), 6u);
    EXPECT_EQ(read.GetList("rows")->GetList(3)->GetInteger(0), 3);
    EXPECT_EQ(read.GetTable("inner")->GetInteger("n", 0), 3);

    // A copy of an arena entry is an entry of its own.
    CLU_Entry copy(*read.Get("short"));
    EXPECT_FALSE(copy.InArena());
    CLU_Entry* heap = CLU_Entry::Allocate(CLU_NULL);
    *heap = *read.GetTable("inner")->Get("a key longer than sixteen bytes");
    EXPECT_FALSE(heap->InArena());
    EXPECT_EQ(heap->fString, kLongText);
    delete heap;
}

// Entries of an arena moved from or set in place: what comes out must outlive the arena,
// whose memory is then freed (ASan sees a read of it), and the arena must lose nothing
// when it goes, given back whole or walked (LeakSanitizer). The blobs after the text
// are entries the arena destroys when given back whole.
TEST(ValueArena, EntriesMovedFromOrSetInPlace) {
    const std::string longer = kLongText + " and a little longer";
    struct Case {
        const char* fWhat;
        std::string fRead;                             // the entry's text as read
        std::function<CLU_Entry(CLU_Entry&)> fChange;  // gives what outlives the arena
        std::string fAfter;                            // its text
    };
    auto moved = [](CLU_Entry& e) {
        CLU_Entry out(std::move(e));
        EXPECT_EQ(e.fType, CLU_NULL);
        return out;
    };
    auto assigned = [](CLU_Entry& e) {
        CLU_Entry out;
        out = std::move(e);
        return out;
    };
    const Case cases[] = {
        {"kept as read", kLongText, [](CLU_Entry& e) { return CLU_Entry(e); }, kLongText},
        {"moved out", kLongText, moved, kLongText},
        {"moved out by assignment", kLongText, assigned, kLongText},
        {"set longer", kLongText, [&](CLU_Entry& e) { return CLU_Entry(e.Set(longer)); }, longer},
        {"set shorter", kLongText, [](CLU_Entry& e) { return CLU_Entry(e.Set(std::string("s"))); },
         "s"},
        {"short text grown", "abc", [](CLU_Entry& e) { return CLU_Entry(e.Set(kLongText)); },
         kLongText},
        {"set twice", kLongText,
         [&](CLU_Entry& e) { return CLU_Entry(e.Set(longer.c_str()).Set(kLongText)); }, kLongText},
    };
    const std::string raw(40, 'b');
    for (const Case& c : cases) {
        CLU_List built;
        built.Append(c.fRead)
            .Append(CL_Blob(raw.data(), 40, true))
            .Append(CL_Blob(raw.data(), 9, true));
        CLU_List read = ReadBack(built);
        CLU_Entry& e = *read.begin();
        ASSERT_TRUE(e.InArena()) << c.fWhat;
        CLU_Entry after = c.fChange(e);
        read = CLU_List();
        CLU_Entry::ReleaseArenaBlocks();  // the arena's memory is the heap's again
        EXPECT_EQ(after.TextView(), c.fAfter) << c.fWhat;
    }
    EXPECT_TRUE(NothingLost());
}

// Blocks given back go to a pool that the next read takes from, up to its bound.
TEST(ValueArena, PoolOfFreeBlocksIsBounded) {
    CLU_Entry::ReleaseArenaBlocks();
    CL_Blob blob;
    Reply(100).Flatten(blob);  // a standard block or more per read
    {
        std::vector<CLU_Table> held(CLU_Arena::kPooledBlocksMax + 20);
        for (CLU_Table& t : held) {
            blob.Rewind();
            ASSERT_TRUE(t.Unflatten(blob));
        }
        EXPECT_EQ(CLU_Arena::PooledBlocks(), 0u);
    }
    EXPECT_EQ(CLU_Arena::PooledBlocks(), CLU_Arena::kPooledBlocksMax);
    CLU_Table again = ReadBack(Reply(100));
    EXPECT_LT(CLU_Arena::PooledBlocks(), CLU_Arena::kPooledBlocksMax);
    CLU_Entry::ReleaseArenaBlocks();
    EXPECT_EQ(CLU_Arena::PooledBlocks(), 0u);
}

// ---- Out of memory ------------------------------------------------------------------

// With the address space capped (in a child process), reading a large value fails
// cleanly: no crash, the target and the blob's position as they were.
TEST(ValueArenaDeathTest, OutOfMemoryLeavesTheTargetAsItWas) {
    if (!LUMO_CAN_CAP_ADDRESS_SPACE) GTEST_SKIP() << "no address-space cap under a sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CL_Blob blob;
            CLU_Entry whole;
            whole.Set(Reply(30000));
            whole.fTable.Flatten(blob);
            CL_Blob entryBlob;
            whole.Flatten(entryBlob);
            whole.Unset();
            CLU_Table target;
            target.Set("kept", 1).Set("text", kLongText);
            CLU_List list;
            list.Append(7);
            CLU_Entry entry;
            entry.Set(5);
            const std::vector<uint8> before = FlatBytes(target);
            CLU_Entry::ReleaseArenaBlocks();  // no kept arena memory to fall back on
            if (!CapAddressSpace(2u << 20)) _exit(2);

            bool ok = true;
            for (int i = 0; i < 3; i++) {
                blob.Rewind();
                ok = ok && !target.Unflatten(blob) && blob.Tell() == 0;
                entryBlob.Rewind();
                ok = ok && !entry.Unflatten(entryBlob) && entryBlob.Tell() == 0;
            }
            ok = ok && target.Count() == 2u && target.GetString("text") == kLongText;
            ok = ok && entry.fType == CLU_INTEGER && entry.fInteger == 5;
            ok = ok && FlatBytes(target) == before;
            // A small value still reads.
            CL_Blob small;
            list.Flatten(small);
            small.Rewind();
            CLU_List back;
            ok = ok && back.Unflatten(small) && back.GetInteger(0) == 7;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- Random values ----------------------------------------------------------------------

namespace {

class Generator {
public:
    explicit Generator(uint32 seed) : fRng(seed) {}

    uint32 Below(uint32 n) { return static_cast<uint32>(fRng() % n); }

    std::string Text(uint32 most) {
        std::string s;
        const uint32 n = Below(most + 1);
        for (uint32 i = 0; i < n; i++)
            s += static_cast<char>(Below(8) == 0 ? Below(256) : 'a' + Below(26));
        return s;
    }
    // Keys hold no NUL: the format cuts them there.
    std::string Key() {
        std::string s = Text(Below(3) == 0 ? 40 : 10);
        for (char& c : s)
            if (c == '\0') c = 'z';
        return s;
    }

    CLU_Entry Value(int depth) {
        CLU_Entry e;
        switch (Below(depth > 0 ? 12 : 10)) {
            case 0:
                break;
            case 1:
                e.Set(Below(2) == 1);
                break;
            case 2:
                e.Set(static_cast<int64>(fRng()) - static_cast<int64>(fRng()));
                break;
            case 3:
                e.Set(static_cast<double>(static_cast<int32>(fRng())) / 64.0);
                break;
            case 4: {
                std::string digits =
                    std::to_string(Below(1000000)) + "." + std::to_string(Below(100));
                e.Set(CL_Decimal(Below(2) ? digits : "-" + digits));
                break;
            }
            case 5:
                e.Set(CL_TimeStamp(
                    static_cast<long long>(210866803200000LL + Below(1u << 30) * 1000LL)));
                break;
            case 6:
                e.Set(
                    CL_Date(static_cast<long long>(210866803200000LL + Below(50000) * 86400000LL)));
                break;
            case 7:
                e.Set(CL_Time(static_cast<int>(Below(86400) * 1000)));
                break;
            case 8:
                e.Set(Text(Below(2) ? 12 : 60));
                break;
            case 9: {
                std::string raw = Text(30);
                e.Set(CL_Blob(raw.data(), static_cast<uint32>(raw.size()), true));
                break;
            }
            case 10: {
                CLU_List list;
                for (uint32 i = Below(7); i > 0; i--)
                    list.Append(Value(depth - 1));
                e.Set(list);
                break;
            }
            default: {
                CLU_Table table;
                for (uint32 i = Below(7); i > 0; i--)
                    table.Set(Key(), Value(depth - 1));
                e.Set(table);
                break;
            }
        }
        return e;
    }

    CLU_Table Table(int depth, uint32 keys) {
        CLU_Table t;
        for (uint32 i = 0; i < keys; i++)
            t.Set(Key(), Value(depth));
        return t;
    }

private:
    std::mt19937 fRng;
};

// A copy built on the heap whose tables took their keys in ascending byte order, the
// order in which a table read back took them: the twin of the value read back.
CLU_Entry HeapTwin(const CLU_Entry& e) {
    CLU_Entry twin;
    if (e.fType == CLU_LIST) {
        CLU_List list;
        for (const CLU_Entry& item : e.fList)
            list.Append(HeapTwin(item));
        twin.Set(list);
    } else if (e.fType == CLU_TABLE) {
        std::vector<std::string> keys;
        for (CLU_Table::iterator it = e.fTable.begin(); it != e.fTable.end(); ++it)
            keys.push_back(it.key());
        std::sort(keys.begin(), keys.end());
        CLU_Table table;
        for (const std::string& key : keys)
            table.Set(key, HeapTwin(*e.fTable.Get(key)));
        twin.Set(table);
    } else {
        twin = e;
    }
    return twin;
}

// A key of the table, picked by `n`, or "" when it has none.
std::string KeyOf(const CLU_Table& t, uint32 n) {
    if (t.Count() == 0) return std::string();
    n %= t.Count();
    for (CLU_Table::iterator it = t.begin(); it != t.end(); ++it)
        if (n-- == 0) return it.key();
    return std::string();
}

// The same change, inside a nested list or table, made to a table built on the heap and
// to its copy read back.
void ChangeInside(uint32 pick, const std::string& key, CLU_Table& heap, CLU_Table& read) {
    ASSERT_EQ(heap.GetType(key), read.GetType(key));
    if (heap.IsList(key)) {
        CLU_List* a = heap.GetList(key);
        CLU_List* b = read.GetList(key);
        const int32 at = static_cast<int32>(pick % (a->Count() + 1));
        for (CLU_List* l : {a, b}) {
            if (pick % 6 == 1) {
                l->Remove(at);
            } else if (pick % 6 == 2) {
                l->Insert(at, static_cast<int64>(pick));
            } else if (pick % 6 == 3) {  // emptied or moved from, then given values owning memory
                if (pick % 4 == 3)
                    CLU_List(std::move(*l)).Append(1);
                else
                    l->Clear(pick % 4 == 1);
                l->Append(kLongText).Append(CLU_List().Append(kLongText));
            } else if (pick % 6 == 4) {
                l->Shrink();
            } else if (pick % 6 == 5 && at < static_cast<int32>(l->Count())) {
                l->begin()[at].Set(kLongText + key);  // set in place: a short text may grow
            }
        }
        if (pick % 6 == 0) {
            EXPECT_EQ(a->GetString(at), b->GetString(at));  // in place, shared
        } else if (pick % 6 == 5) {
            EXPECT_EQ(FlatBytes(a->Pop(pick % 4 == 1)), FlatBytes(b->Pop(pick % 4 == 1)));
        }
    } else if (heap.IsTable(key)) {
        CLU_Table* a = heap.GetTable(key);
        CLU_Table* b = read.GetTable(key);
        const std::string inner = KeyOf(*a, pick);
        for (CLU_Table* t : {a, b}) {
            if (pick % 3 == 0)
                t->Set(inner, "set").Unset(KeyOf(*t, pick + 1));
            else if (pick % 3 == 1)
                t->Clear().Set(kLongText, kLongText);
            else
                t->Shrink();
        }
    } else {
        // Any other value becomes a list through the getter.
        EXPECT_EQ(heap.GetList(key) == nullptr, read.GetList(key) == nullptr);
    }
}

// The same change made to a table built on the heap and to its copy read back.
void Change(Generator& g, CLU_Table& heap, CLU_Table& read, std::vector<CLU_Table>& kept) {
    const uint32 pick = g.Below(1000);
    const std::string key = KeyOf(heap, pick);
    switch (g.Below(10)) {
        case 0: {
            const std::string fresh = g.Key();
            const CLU_Entry value = g.Value(2);
            heap.Set(fresh, value);
            read.Set(fresh, value);
            break;
        }
        case 1:
            heap.Unset(key);
            read.Unset(key);
            break;
        case 2:
            EXPECT_EQ(heap.GetString(key, "-"), read.GetString(key, "-"));
            EXPECT_EQ(heap.GetInteger(KeyOf(heap, pick + 1), -1),
                      read.GetInteger(KeyOf(read, pick + 1), -1));
            break;
        case 3:
            ChangeInside(pick, key, heap, read);
            break;
        case 4: {
            // A nested value shared under a second key, then changed through it.
            const CLU_Entry* a = heap.Get(key);
            if (!a) break;
            heap.Set(key + "+", CLU_Entry(*a));
            read.Set(key + "+", CLU_Entry(*read.Get(key)));
            ChangeInside(pick, key + "+", heap, read);
            break;
        }
        case 5:
            kept.push_back(heap);
            kept.push_back(read);
            break;
        case 6: {
            // Reading the read table again, as a reply read after another; its keys
            // come back in ascending order, so its twin takes them so.
            read = ReadBack(read);
            CLU_Entry entry;
            entry.Set(heap);
            heap = HeapTwin(entry).fTable;
            break;
        }
        case 7: {
            // The whole table emptied (now and then) or shrunk, then a nested value set.
            CLU_Entry value = g.Value(2);
            for (CLU_Table* t : {&heap, &read}) {
                if (pick % 8 == 0) t->Clear(pick % 16 == 0);
                t->Shrink();
                t->Set(key, value);
            }
            break;
        }
        default:
            ChangeInside(pick, key, heap, read);
            break;
    }
}

}  // namespace

TEST(ValueArena, RandomValuesRoundTripInBothVersions) {
    Generator g(20240601);
    for (int round = 0; round < 150; round++) {
        const CLU_Table built = g.Table(4, 1 + g.Below(8));
        for (uint32 version : {1u, 2u}) {
            VersionScope scope(version);
            CL_Blob blob;
            built.Flatten(blob);
            const std::vector<uint8> bytes = Bytes(blob);
            blob.Rewind();
            CLU_Table read;
            ASSERT_TRUE(read.Unflatten(blob));
            EXPECT_EQ(blob.Tell(), blob.GetSize());
            // The value read back writes the bytes the heap value wrote.
            ASSERT_EQ(FlatBytes(read), bytes) << "round " << round << " version " << version;
            if (version == 2) {
                EXPECT_TRUE(read == built) << "round " << round;
            }
            // So does a copy of it made on the heap by the first change.
            CLU_Table copy(read);
            const std::string mark("\0mark", 5);  // no key read back holds a NUL
            copy.Set(mark, CLU_Null).Unset(mark);
            EXPECT_EQ(FlatBytes(copy), bytes);

            // The same for an entry and a list around the table.
            CLU_Entry entry;
            entry.Set(built);
            CLU_List list;
            list.Append(built).Append(kLongText);
            EXPECT_EQ(FlatBytes(ReadBack(list)), FlatBytes(list));
            CL_Blob entryBlob;
            entry.Flatten(entryBlob);
            entryBlob.Rewind();
            CLU_Entry entryBack;
            ASSERT_TRUE(entryBack.Unflatten(entryBlob));
            EXPECT_EQ(FlatBytes(entryBack), FlatBytes(entry));
        }
    }
}

TEST(ValueArena, RandomChangesActAsOnTheHeap) {
    Generator g(77);
    for (int round = 0; round < 150; round++) {
        const CLU_Table built = g.Table(3, 6);
        CLU_Entry entry;
        entry.Set(built);
        CLU_Table heap = HeapTwin(entry).fTable;
        CLU_Table read = ReadBack(built);
        std::vector<CLU_Table> kept;
        for (int step = 0; step < 40; step++) {
            Change(g, heap, read, kept);
            ASSERT_EQ(FlatBytes(read), FlatBytes(heap)) << "round " << round << " step " << step;
        }
        // Copies kept along the way saw the same changes as their heap twins.
        for (size_t i = 0; i + 1 < kept.size(); i += 2)
            EXPECT_EQ(FlatBytes(kept[i + 1]), FlatBytes(kept[i])) << "round " << round;
    }
    // Whatever the changes put into the arenas went with them.
    EXPECT_TRUE(NothingLost());
}
