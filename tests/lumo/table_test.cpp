// Value tables: absent keys against NULL values, typed getters that un-share and
// convert, insertion order, removal while walking, combining and self-insertion.
#include <gtest/gtest.h>

#include <string>

#include "lumo/entry.h"
#include "support/address_space_cap.h"

TEST(TableKeys, AbsentAndNull) {
    CLU_Table t;
    EXPECT_FALSE(t.Exists("k"));
    EXPECT_FALSE(t.IsValid("k"));
    EXPECT_TRUE(t.IsNull("k"));
    EXPECT_TRUE(t.IsEmpty("k"));
    EXPECT_EQ(t.GetType("k"), CLU_NULL);
    EXPECT_FALSE(t.IsType("k", CLU_NULL));
    EXPECT_EQ(t.GetInteger("k", 7), 7);
    EXPECT_EQ(t.GetList("k", nullptr), nullptr);
    EXPECT_EQ(t.Get("k"), nullptr);
    EXPECT_EQ(t.Count(), 0u);

    t.Set("k", CLU_Null);
    EXPECT_TRUE(t.Exists("k"));
    EXPECT_FALSE(t.IsValid("k"));
    EXPECT_TRUE(t.IsType("k", CLU_NULL));
    EXPECT_EQ(t.GetInteger("k", 7), 7);
    EXPECT_EQ(t.GetType("k"), CLU_NULL);
    EXPECT_EQ(t.Count(), 1u);
}

TEST(TableGetters, ConvertAfterUnsharing) {
    CLU_Table t;
    t.Set("k", "12");
    CLU_Table copy(t);
    EXPECT_EQ(t.GetInteger("k", 0), 12);
    EXPECT_EQ(t.GetType("k"), CLU_INTEGER);
    EXPECT_EQ(copy.GetType("k"), CLU_TEXT);

    t.Set("big", static_cast<int64>(4294967301LL)).Set("u", 18446744073709551615ull);
    EXPECT_EQ(t.GetInt32("big", 0), 5);
    EXPECT_EQ(t.GetInteger("u", 0), -1);
    EXPECT_EQ(t.GetString("big"), "4294967301");

    t.Set("null text", static_cast<const char*>(nullptr));
    EXPECT_EQ(t.GetType("null text"), CLU_TEXT);
    EXPECT_EQ(t.GetString("null text", "default"), "");
}

TEST(TableGetters, RefKeepsAll64BitsAndUnshares) {
    CLU_Table t;
    t.Set("none", CLU_Ref(0ull))
        .Set("seven", CLU_Ref(7ull))
        .Set("wide", CLU_Ref(0x123456789ABCull));
    EXPECT_EQ(t.GetType("none"), CLU_NULL);
    EXPECT_EQ(t.GetInteger("seven", 0), 7);
    EXPECT_EQ(t.GetRef("wide").fRef, 0x123456789ABCull);
    EXPECT_TRUE(t.GetRef("missing").IsNull());
    t.Set("text", "42");
    CLU_Table copy(t);
    EXPECT_EQ(t.GetRef("text").fRef, 42u);
    EXPECT_EQ(copy.GetType("text"), CLU_TEXT);
}

TEST(TableOrder, SetKeepsPlaceAndReinsertMovesToEnd) {
    CLU_Table t;
    t.Set("a", 1).Set("b", 2).Set("c", 3);
    t.Set("a", "again");
    CLU_List keys = t.Keys();
    EXPECT_EQ(keys.GetString(0), "a");
    t.Unset("a").Set("a", 1);
    keys = t.Keys();
    EXPECT_EQ(keys.GetString(0), "b");
    EXPECT_EQ(keys.GetString(2), "a");
    EXPECT_EQ(t.Values().GetInteger(0), 2);
}

TEST(TableIterate, UnsetEveryKeyWhileWalkingASharedTable) {
    CLU_Table t;
    for (int i = 0; i < 20; i++)
        t.Set("k" + std::to_string(i), i);
    t.Unset("k3");  // a removed node in the shared storage
    CLU_Table copy(t);
    int visited = 0;
    for (CLU_Table::iterator it = t.begin(); it != t.end(); ++it) {
        visited++;
        t.Unset(it);
    }
    EXPECT_EQ(visited, 19);
    EXPECT_EQ(t.Count(), 0u);
    EXPECT_EQ(copy.Count(), 19u);
}

TEST(TableCombine, UpdateMergeZip) {
    CLU_Table a;
    a.Set("x", 1).Set("n", CLU_Null);
    CLU_Table b;
    b.Set("x", 2).Set("n", 5).Set("y", 3);
    CLU_Table updated(a);
    updated.Update(b);
    EXPECT_EQ(updated.GetInteger("x", 0), 2);
    EXPECT_EQ(updated.Keys().GetString(2), "y");
    CLU_Table merged(a);
    merged.Merge(b);
    EXPECT_EQ(merged.GetInteger("x", 0), 1);
    EXPECT_EQ(merged.GetType("n"), CLU_NULL);
    EXPECT_EQ(merged.GetInteger("y", 0), 3);

    CLU_List keys;
    keys.Append(1).Append("b");
    CLU_List values;
    values.Append("x").Append("y").Append("z");
    CLU_Table zipped(keys, values);
    EXPECT_EQ(zipped.Count(), 2u);
    EXPECT_EQ(zipped.GetString("1"), "x");
    EXPECT_EQ(keys.GetType(0), CLU_TEXT);
}

TEST(TableCombine, ZipFromListsInsideTheTable) {
    // Each list is held only by the table, under a key that Zip itself replaces.
    CLU_Table t;
    {
        CLU_List values;
        values.Append(std::string(60, 'z')).Append(2);
        t.Set("v", values);
        CLU_List keys;
        keys.Append("k").Append("w");
        t.Set("k", keys);
    }
    CLU_List values;
    values.Append(1).Append(std::string(30, 'q'));
    t.Zip(*t.GetList("k"), values);
    EXPECT_EQ(t.GetInteger("k", 0), 1);
    EXPECT_EQ(t.GetString("w"), std::string(30, 'q'));

    CLU_List keys;
    keys.Append("v").Append("x");
    t.Zip(keys, *t.GetList("v"));
    EXPECT_EQ(t.GetString("v"), std::string(60, 'z'));
    EXPECT_EQ(t.GetInteger("x", 0), 2);
    EXPECT_EQ(t.Count(), 4u);
}

TEST(TableCompare, OrderFreeEqualityAndContainment) {
    CLU_Table a;
    a.Set("x", 1).Set("y", 2);
    CLU_Table b;
    b.Set("y", 2).Set("x", 1);
    EXPECT_TRUE(a == b);
    CLU_Table sub;
    sub.Set("y", 2);
    EXPECT_TRUE(a >= sub);
    EXPECT_FALSE(sub >= a);
    EXPECT_TRUE(CLU_Table() >= CLU_Table());
    b.Set("x", 1.0);
    EXPECT_TRUE(a != b);
}

TEST(TableCapacity, SetCapacityAndShrinkOnEmpty) {
    CLU_Table t;
    t.SetCapacity(13);
    t.SetCapacity(0);
    t.Shrink();
    EXPECT_EQ(t.Count(), 0u);
    t.Set("a", 1);
    t.Shrink();
    EXPECT_EQ(t.GetInteger("a", 0), 1);
    t.Clear(true);
    EXPECT_EQ(t.Count(), 0u);
    EXPECT_EQ(t.GetMemoryUsage(), 64u);
}

TEST(TableCycle, SelfInsertionStoresSnapshot) {
    CLU_Table t;
    t.Set("a", 1);
    t.Set("self", t);
    EXPECT_EQ(t.GetTable("self", nullptr)->GetInteger("a", 0), 1);
    EXPECT_FALSE(t.GetTable("self", nullptr)->Exists("self"));

    // A nested table, changed through its pointer, given the outer table.
    CLU_Table* inner = t.GetTable("self", nullptr);
    inner->Set("outer", t);
    CL_Blob blob;
    t.Flatten(blob);
    blob.Rewind();
    CLU_Table back;
    EXPECT_TRUE(back.Unflatten(blob));
    EXPECT_TRUE(back == t);

    CLU_Entry e;
    e.Set("k", 1);
    e.Set("me", e);
    EXPECT_EQ(e.fTable.GetTable("me", nullptr)->GetInteger("k", 0), 1);
}

TEST(TableChange, SetFromValueInsideReplacedEntry) {
    CLU_Table inner;
    inner.Set("v", "kept");
    CLU_Table t;
    t.Set("k", inner);
    t.Set("k", *t.GetTable("k", nullptr)->Get("v"));
    EXPECT_EQ(t.GetString("k"), "kept");
    CLU_List list;
    list.Append(1).Append(2);
    t.Set("l", list);
    t.Set("l", *t.GetList("l", nullptr));
    EXPECT_EQ(t.GetList("l", nullptr)->Count(), 2u);
}

// Out of memory (the address space capped in a child process): a change or a
// converting getter that would un-share the storage fails; both tables keep their
// values, and the getter gives its default.
TEST(TableDeathTest, OutOfMemoryLeavesSharedTablesAsTheyWere) {
    if (!LUMO_CAN_CAP_ADDRESS_SPACE) GTEST_SKIP() << "no address-space cap under a sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr uint32 kCount = 200000;
            CLU_Table original;
            original.SetCapacity(kCount);
            for (uint32 i = 0; i < kCount; i++)
                original.Set("k" + std::to_string(i), static_cast<int64>(i));
            original.Set("text", "12");
            CLU_Table copy(original);
            if (!CapAddressSpace(4u << 20)) _exit(2);

            copy.Set("k0", 99).Unset("k1");
            bool ok =
                copy.Count() == kCount + 1 && copy.GetInteger("k0", -1) == 0 && copy.IsValid("k1");
            ok = ok && copy.GetInteger("text", -5) == -5 && copy.IsString("text");
            ok = ok && original.GetType("text") == CLU_TEXT;
            copy.Clear();
            ok = ok && copy.Count() == 0u && original.Count() == kCount + 1;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
