// Value lists: index rules, typed getters converting inside the shared storage,
// copy-on-write independence, removal, comparison and self-insertion.
#include <gtest/gtest.h>

#include <string>

#include "lumo/entry.h"
#include "support/address_space_cap.h"

namespace {

CLU_List Ints(std::initializer_list<int> values) {
    CLU_List list;
    for (int v : values)
        list.Append(v);
    return list;
}

}  // namespace

TEST(ListIndex, OutsideTheList) {
    CLU_List list = Ints({1, 2});
    EXPECT_EQ(list.Get(-1), nullptr);
    EXPECT_EQ(list.Get(2), nullptr);
    EXPECT_EQ(list[1]->fInteger, 2);
    EXPECT_EQ(list.GetType(-1), CLU_NULL);
    EXPECT_TRUE(list.IsEmpty(-1));
    EXPECT_EQ(list.GetInteger(-1), 0);
    EXPECT_EQ(list.GetString(2), "");
    EXPECT_EQ(list.GetList(5), nullptr);
    EXPECT_EQ(CLU_List().First(), nullptr);
    EXPECT_EQ(CLU_List().Last(), nullptr);
    EXPECT_EQ(list.Last()->fInteger, 2);
}

TEST(ListChange, InsertReplaceRemoveByIndex) {
    CLU_List list = Ints({1, 2});
    list.Insert(-1, 3).Insert(list.Count() + 5, 4).Insert(0, 0);
    EXPECT_EQ(list, Ints({0, 1, 2, 3, 4}));
    list.Replace(static_cast<int32>(list.Count()), 9).Remove(-1);
    EXPECT_EQ(list, Ints({0, 1, 2, 3, 4}));
    list.Replace(1, "one").Remove(0);
    EXPECT_EQ(list.GetString(0), "one");
    EXPECT_EQ(list.Count(), 4u);
}

TEST(ListChange, IntegerWidths) {
    CLU_List list;
    list.Append(static_cast<int8>(-1))
        .Append(static_cast<uint8>(255))
        .Append(18446744073709551615ull);
    EXPECT_EQ(list.GetInteger(0), -1);
    EXPECT_EQ(list.GetInteger(1), 255);
    EXPECT_EQ(list.GetInteger(2), -1);

    // A null text pointer stores the empty text.
    list.Append(static_cast<const char*>(nullptr)).Replace(0, static_cast<const char*>(nullptr));
    EXPECT_EQ(list.GetType(3), CLU_TEXT);
    EXPECT_EQ(list.GetString(0), "");
    EXPECT_EQ(list.IndexOf(static_cast<const char*>(nullptr)), 0);
}

TEST(ListGetters, ConvertInsideSharedStorage) {
    CLU_List list;
    list.Append("7").Append(CLU_Null);
    CLU_List copy(list);
    EXPECT_EQ(list.GetInteger(0), 7);
    EXPECT_EQ(list.GetType(0), CLU_INTEGER);
    EXPECT_EQ(copy.GetType(0), CLU_INTEGER);  // seen by the copy too
    EXPECT_EQ(list.GetInteger(1), 0);
    EXPECT_EQ(list.GetType(1), CLU_INTEGER);
    list.Append(static_cast<int64>(4294967301LL));
    EXPECT_EQ(list.GetInt32(2), 5);
}

TEST(ListCopy, ChangeIsPrivate) {
    CLU_List a = Ints({1, 2});
    CLU_List b(a);
    b.Append(3);
    EXPECT_EQ(a.Count(), 2u);
    EXPECT_EQ(b.Count(), 3u);
    CLU_Table* inner = nullptr;
    CLU_List withTable;
    withTable.Append(CLU_Table());
    CLU_List shared(withTable);
    inner = withTable.GetTable(0);
    inner->Set("k", 1);  // reaches every copy sharing the storage
    EXPECT_EQ(shared.GetTable(0)->Count(), 1u);
}

TEST(ListSearch, IndexOfMatchesTypeAndValue) {
    CLU_List list;
    list.Append("5").Append(5.0).Append(5);
    EXPECT_EQ(list.IndexOf(5), 2);
    EXPECT_EQ(list.IndexOf(CLU_Null), -1);
    EXPECT_EQ(list.IndexOf("5"), 0);
    // Texts sharing a prefix are different items.
    CLU_List texts;
    texts.Append("abc").Append("ab").Append("a");
    EXPECT_EQ(texts.IndexOf("ab"), 1);
    EXPECT_EQ(texts.IndexOf("a"), 2);
    EXPECT_EQ(texts.IndexOf("abc"), 0);
    EXPECT_EQ(texts.IndexOf("abcd"), -1);
}

TEST(ListChange, PopExtendClear) {
    CLU_List list;
    list.Append("a").Append("b").Append("c");
    EXPECT_EQ(list.Pop(true).fString, "a");
    EXPECT_EQ(list.Pop(false).fString, "c");
    EXPECT_EQ(list.Count(), 1u);
    EXPECT_EQ(CLU_List().Pop(true).fType, CLU_NULL);

    CLU_List ab;
    ab.Append("a").Append("b");
    ab.Extend(ab);
    ASSERT_EQ(ab.Count(), 4u);
    EXPECT_EQ(ab.GetString(3), "b");
    ab.Extend(static_cast<const CLU_List*>(nullptr));
    EXPECT_EQ(ab.Count(), 4u);

    CLU_List ten;
    for (int i = 0; i < 10; i++)
        ten.Append(i);
    ten.Clear(true);
    EXPECT_EQ(ten.Count(), 0u);
    ten.Append(1);
    EXPECT_EQ(ten.Count(), 1u);
}

TEST(ListIterate, RemoveWhileWalkingKeepsCopy) {
    CLU_List list = Ints({1, 2, 3, 4});
    CLU_List copy(list);
    int seen = 0;
    for (CLU_List::iterator it = list.begin(); it != list.end(); ++it) {
        seen += static_cast<int>(it->fInteger);
        list.Remove(it);
    }
    EXPECT_EQ(seen, 10);
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(copy.Count(), 4u);
}

TEST(ListCompare, EqualityAndContainment) {
    EXPECT_TRUE(Ints({1, 2, 3}) >= Ints({1, 3}));
    EXPECT_FALSE(Ints({1, 3}) >= Ints({1, 2, 3}));
    EXPECT_FALSE(Ints({1, 2}) >= Ints({2, 1}));
    EXPECT_TRUE(Ints({1, 2}) >= CLU_List());
    EXPECT_TRUE(Ints({1, 2}) >= Ints({1, 2}));
    EXPECT_TRUE(Ints({1, 2}) <= Ints({1, 2}));
    EXPECT_TRUE(CLU_List() >= CLU_List());
    EXPECT_TRUE(Ints({1, 2}) == Ints({1, 2}));
    EXPECT_FALSE(Ints({1, 2}) == Ints({2, 1}));
    EXPECT_TRUE(Ints({1, 3}) <= Ints({1, 2, 3}));
}

TEST(ListSets, IntAndStringSets) {
    CLU_List list;
    list.Append("3").Append(1).Append(3);
    CL_IntSet ints = list.AsIntSet();
    EXPECT_EQ(ints.Count(), 2u);
    EXPECT_EQ(list.GetType(0), CLU_INTEGER);
    CLU_List back = CLU_List::FromIntSet(ints);
    EXPECT_EQ(back, Ints({3, 1}));
    CL_StringSet strings = list.AsStringSet();
    EXPECT_EQ(CLU_List::FromStringSet(strings).GetString(1), "1");
}

TEST(ListCycle, SelfInsertionStoresSnapshot) {
    CLU_List list = Ints({1, 2});
    list.Append(list);
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(*list.GetList(2), Ints({1, 2}));
    CL_Blob blob;
    list.Flatten(blob);  // ends: no cycle

    // Through a nested list reached by pointer.
    CLU_List outer;
    outer.Append(CLU_List());
    CLU_List* inner = outer.GetList(0);
    inner->Append(outer);
    inner = outer.GetList(0);
    inner->Insert(0, CLU_Entry().Set(outer));
    EXPECT_EQ(outer.Count(), 1u);
    EXPECT_EQ(outer.GetList(0)->Count(), 2u);
    EXPECT_TRUE(outer == outer);

    CLU_List same = Ints({5});
    same.Replace(0, same);
    EXPECT_EQ(same.GetList(0)->GetInteger(0), 5);
}

TEST(ListChange, ReplaceFromElementOfItself) {
    CLU_List inner = Ints({7, 8});
    CLU_List list;
    list.Append(inner);
    list.Replace(0, *list.GetList(0)->Get(1));
    EXPECT_EQ(list.GetInteger(0), 8);
    list.Append("text");
    list.Replace(1, *list.Get(1));
    EXPECT_EQ(list.GetString(1), "text");
}

TEST(ListMemory, Usage) {
    EXPECT_EQ(CLU_List().GetMemoryUsage(), 88u);
    EXPECT_EQ(Ints({1, 2}).GetMemoryUsage(), 168u);
}

// Out of memory (the address space capped in a child process): a change that would
// un-share the storage fails and leaves both lists as they were; a sole owner still
// changes in place, and emptying a shared list needs no copy.
TEST(ListDeathTest, OutOfMemoryLeavesSharedListsAsTheyWere) {
    if (!LUMO_CAN_CAP_ADDRESS_SPACE) GTEST_SKIP() << "no address-space cap under a sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr uint32 kCount = 400000;
            CLU_List original;
            original.SetCapacity(kCount);
            for (uint32 i = 0; i < kCount; i++)
                original.Append(static_cast<int64>(i));
            CLU_List copy(original);
            CLU_List small;
            small.Append(1);
            {
                // The thread's own state for long lists is set up on first use, as in
                // any program that has used one: glibc cannot register it later.
                CLU_List warm;
                for (int i = 0; i < 1000; i++)
                    warm.Append(i);
            }
            if (!CapAddressSpace(4u << 20)) _exit(2);

            copy.Append(7).Remove(0).Insert(0, 9);
            bool ok = copy.Count() == kCount && original.Count() == kCount;
            ok = ok && copy.GetInteger(0) == 0 && copy.GetInteger(kCount - 1) == kCount - 1;
            small.Append(2);
            ok = ok && small.Count() == 2u;
            copy.Clear();
            ok = ok && copy.Count() == 0u && original.Count() == kCount;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
