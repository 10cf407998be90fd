#include "lumo/containers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

template <class T>
std::vector<T> Items(const CL_LinkedList<T>& list) {
    std::vector<T> out;
    for (const T& v : list)
        out.push_back(v);
    return out;
}

TEST(LinkedList, AppendInsertAndPopAtBothEnds) {
    CL_LinkedList<uint64> list;
    EXPECT_EQ(list.Pop(true), 0u);
    EXPECT_EQ(list.Pop(false), 0u);
    EXPECT_EQ(list.GetLast(), 0u);
    EXPECT_EQ(list.Count(), 0u);

    list.Append(2);
    list.Push(3);
    list.Insert(1, 0);
    list.Insert(0, 0);
    list.Insert(9, 2);  // before the third node
    list.Insert(4, 100);
    EXPECT_EQ(Items(list), (std::vector<uint64>{0, 1, 9, 2, 3, 4}));
    EXPECT_EQ(list.Top(), 4u);
    EXPECT_EQ(list.GetFirst(), 0u);
    EXPECT_EQ(list.Get(2), 9u);
    EXPECT_EQ(list.IndexOf(3), 4);

    EXPECT_EQ(list.Pop(true), 0u);
    EXPECT_EQ(list.Pop(false), 4u);
    EXPECT_EQ(Items(list), (std::vector<uint64>{1, 9, 2, 3}));
    while (list.Count() > 0)
        list.Pop(true);
    list.Append(7);  // head and tail were both reset
    EXPECT_EQ(Items(list), std::vector<uint64>{7});
}

TEST(LinkedList, RemoveFirstOrAllEqualValues) {
    CL_LinkedList<int> list;
    for (int v : {1, 2, 1, 3, 1})
        list.Append(v);
    EXPECT_TRUE(list.Remove(1));
    EXPECT_EQ(Items(list), (std::vector<int>{2, 1, 3, 1}));
    EXPECT_FALSE(list.Remove(8));
    EXPECT_TRUE(list.RemoveAll(1));
    EXPECT_EQ(Items(list), (std::vector<int>{2, 3}));
    EXPECT_EQ(list.GetLast(), 3);
    list.Remove(3);
    EXPECT_EQ(list.GetLast(), 2);  // the tail moved back
}

TEST(LinkedList, RemoveAllOfOneOfItsOwnElements) {
    // The argument may live in a node that the walk frees before comparing the rest.
    const std::string same(40, 's');
    CL_LinkedList<std::string> list;
    for (const std::string& v : {same, std::string(40, 'o'), same, same})
        list.Append(v);
    EXPECT_TRUE(list.RemoveAll(*list.begin()));
    EXPECT_EQ(Items(list), std::vector<std::string>{std::string(40, 'o')});
}

TEST(LinkedList, IteratorSurvivesRemovalOfItsNode) {
    CL_LinkedList<std::string> list;
    for (int i = 0; i < 6; i++)
        list.Append("n" + std::to_string(i));
    std::vector<std::string> visited;
    for (auto it = list.begin(); it != list.end(); ++it) {
        visited.push_back(*it);
        if (*it != "n2") list.Remove(it);
    }
    EXPECT_EQ(visited.size(), 6u);
    EXPECT_EQ(Items(list), std::vector<std::string>{"n2"});
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(list.begin(), list.end());
}

TEST(LinkedList, OutOfRangeIndexGivesAFreshSpare) {
    CL_LinkedList<int> list;
    list.Append(5);
    list[3] = 42;
    EXPECT_EQ(list[3], 0);
    EXPECT_EQ(list[0], 5);
}

// Counts live objects so that leaks and double deletions show.
struct Tracked {
    static inline int sLive = 0;
    static inline int sDeleted = 0;
    int fId;
    explicit Tracked(int id) : fId(id) { sLive++; }
    ~Tracked() {
        sLive--;
        sDeleted++;
    }
};

class LRUCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tracked::sLive = 0;
        Tracked::sDeleted = 0;
    }
};

TEST_F(LRUCacheTest, The257thKeyEvictsTheLeastRecentlyUsed) {
    {
        CL_LRUCache<std::string, Tracked> cache;
        for (int i = 0; i < 256; i++)
            cache.Put("p" + std::to_string(i), new Tracked(i));
        EXPECT_EQ(Tracked::sDeleted, 0);
        ASSERT_NE(cache.Get("p0"), nullptr);  // protects p0 from the next eviction
        EXPECT_EQ(cache.Get("absent"), nullptr);
        cache.Put("p256", new Tracked(256));
        EXPECT_EQ(Tracked::sDeleted, 1);
        EXPECT_EQ(cache.Get("p1"), nullptr);
        EXPECT_EQ(cache.Get("p0")->fId, 0);
        cache.Put("p257", new Tracked(257));
        EXPECT_EQ(cache.Get("p2"), nullptr);
        EXPECT_EQ(cache.Count(), 256u);
        EXPECT_EQ(Tracked::sLive, 256);
    }
    EXPECT_EQ(Tracked::sLive, 0);  // the destructor deletes what is left
}

TEST_F(LRUCacheTest, MissLeavesTheOrderAlone) {
    CL_LRUCache<std::string, Tracked> cache(2);
    cache.Put("a", new Tracked(1));
    cache.Put("b", new Tracked(2));
    EXPECT_EQ(cache.Get("c"), nullptr);
    cache.Put("c", new Tracked(3));
    EXPECT_FALSE(cache.Exists("a"));
    EXPECT_TRUE(cache.Exists("b"));
}

TEST_F(LRUCacheTest, PutOfACachedKeyReplacesAndDeletesTheOldValue) {
    CL_LRUCache<std::string, Tracked> cache(2);
    cache.Put("a", new Tracked(1));
    cache.Put("a", new Tracked(2));
    EXPECT_EQ(Tracked::sLive, 1);  // the first value is not leaked
    EXPECT_EQ(cache.Get("a")->fId, 2);
    Tracked* same = cache.Get("a");
    cache.Put("a", same);  // the same pointer again is kept, not deleted
    EXPECT_EQ(cache.Get("a"), same);
    EXPECT_EQ(Tracked::sLive, 1);

    // No stale node is left behind whose eviction would delete the live value.
    cache.Put("b", new Tracked(3));
    cache.Put("c", new Tracked(4));
    cache.Put("d", new Tracked(5));
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_EQ(Tracked::sLive, 2);
    EXPECT_EQ(Tracked::sDeleted, 3);
}

TEST_F(LRUCacheTest, PopHandsOverAndClearDeletes) {
    CL_LRUCache<int32, Tracked> cache(4);
    for (int32 i = 0; i < 4; i++)
        cache.Put(i, new Tracked(i));
    Tracked* taken = cache.Pop(2);
    ASSERT_NE(taken, nullptr);
    EXPECT_EQ(cache.Pop(2), nullptr);
    EXPECT_EQ(cache.Count(), 3u);
    cache.Clear();
    EXPECT_EQ(cache.Count(), 0u);
    EXPECT_EQ(Tracked::sLive, 1);
    delete taken;
    cache.Put(1, new Tracked(9));
    EXPECT_EQ(cache.Get(1)->fId, 9);
}

TEST_F(LRUCacheTest, LongChurnKeepsEntriesConsistent) {
    CL_LRUCache<std::string, Tracked> cache(16);
    for (int i = 0; i < 5000; i++) {
        cache.Put("k" + std::to_string(i), new Tracked(i));
        if (i % 3 == 0) {
            ASSERT_EQ(cache.Get("k" + std::to_string(i - i % 10))->fId, i - i % 10);
        }
    }
    EXPECT_EQ(cache.Count(), 16u);
    EXPECT_EQ(Tracked::sLive, 16);
    EXPECT_EQ(cache.Get("k4999")->fId, 4999);
}

}  // namespace
