#include "lumo/containers.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// Exposes the table's layout, which stored data and later code rely on.
template <class K, class V>
struct MapProbe : public CL_HashMap<K, V> {
    uint32 IndexSize() const { return this->fIndexSize; }
    uint32 IndexBytes() const { return this->fIndexBytes; }
    uint32 NodesSize() const { return this->fNodesSize; }
    uint32 Occupied() const { return this->fOccupied; }
    bool Allocated() const { return this->fIndex != nullptr || this->fNodes != nullptr; }
    int PartialKey(const K& key) const {
        auto* node = this->ReadNode(key, false);
        return node ? node->fFlags : -1;
    }
};

template <class K>
struct SetProbe : public CL_Set<K> {
    uint32 IndexSize() const { return this->fIndexSize; }
    uint32 NodesSize() const { return this->fNodesSize; }
};

template <class Map>
auto Keys(Map& map) {
    std::vector<decltype(map.begin().key())> keys;
    for (auto it = map.begin(); it != map.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

TEST(HashKeys, StringAndTextUseFnv1OverUnsignedBytes) {
    EXPECT_EQ(CL_HashTraits<std::string>::Hash(""), 0x811C9DC5u);
    EXPECT_EQ(CL_HashTraits<std::string>::Hash("a"), 0x050C5D7Eu);
    EXPECT_EQ(CL_HashTraits<std::string>::Hash("foobar"), 0x31F0B262u);
    // A sign-extended byte would XOR 0xFFFFFFFF instead.
    EXPECT_EQ(CL_HashTraits<std::string>::Hash("\xff"), 0x050C5DE0u);
    // Embedded NULs count in a string but end a text.
    EXPECT_NE(CL_HashTraits<std::string>::Hash(std::string("a\0b", 3)),
              CL_HashTraits<std::string>::Hash("a"));
    EXPECT_EQ(CL_HashTraits<const char*>::Hash("foobar"), 0x31F0B262u);
    EXPECT_EQ(CL_HashTraits<const char*>::Hash("a\0b"), 0x050C5D7Eu);
    EXPECT_EQ(CL_HashTraits<const char*>::Hash(nullptr), 0x811C9DC5u);
}

TEST(HashKeys, IntegersAndPointers) {
    EXPECT_EQ(CL_HashTraits<int32>::Hash(-1), 0xFFFFFFFFu);
    EXPECT_EQ(CL_HashTraits<uint32>::Hash(12345u), 12345u);
    void* p = reinterpret_cast<void*>(uintptr_t{0x123456789ABCDEF0ull});
    EXPECT_EQ(CL_HashTraits<void*>::Hash(p), 0x1B9F9B97u);
}

TEST(HashMap, EmptyTableAllocatesNothing) {
    MapProbe<std::string, int> map;
    EXPECT_FALSE(map.Exists("x"));
    EXPECT_EQ(map.Get("x"), 0);
    map.Remove("x");
    map.Shrink();
    map.Clear();
    EXPECT_FALSE(map.Allocated());
    EXPECT_EQ(map.begin(), map.end());
}

TEST(HashMap, EmptyStringIsAKeyWithPartialKey69) {
    MapProbe<std::string, int> map;
    map.Set("", 7);
    EXPECT_EQ(map.Get(""), 7);
    EXPECT_EQ(map.PartialKey(""), 69);
}

TEST(HashMap, GrowthPointsOfIndexAndNodes) {
    // (keys inserted, index slots, node places) after the insertion.
    const uint32 points[][3] = {{1, 8, 8},     {7, 8, 8},      {8, 16, 8},     {9, 16, 12},
                                {13, 16, 18},  {14, 32, 16},   {17, 32, 24},   {25, 32, 36},
                                {27, 64, 28},  {29, 64, 42},   {43, 64, 63},   {52, 64, 63},
                                {53, 128, 78}, {79, 128, 117}, {104, 256, 104}};
    MapProbe<uint32, uint32> map;
    uint32 inserted = 0;
    for (const auto& point : points) {
        while (inserted < point[0])
            map.Set(inserted, inserted), inserted++;
        EXPECT_EQ(map.IndexSize(), point[1]) << "after key " << point[0];
        EXPECT_EQ(map.NodesSize(), point[2]) << "after key " << point[0];
    }
    EXPECT_EQ(map.IndexBytes(), 2u);
}

TEST(HashMap, SlotWidthFollowsIndexSize) {
    MapProbe<uint32, uint32> map;
    uint32 i = 0;
    for (; i < 52; i++)
        map.Set(i, i);
    EXPECT_EQ(map.IndexSize(), 64u);
    EXPECT_EQ(map.IndexBytes(), 1u);
    for (; i < 13108; i++)
        map.Set(i, i);
    EXPECT_EQ(map.IndexSize(), 16384u);
    EXPECT_EQ(map.IndexBytes(), 2u);
    map.Set(i, i);  // finds 13108 nodes occupied
    EXPECT_EQ(map.IndexSize(), 32768u);
    EXPECT_EQ(map.IndexBytes(), 4u);
    for (uint32 k = 0; k <= i; k++)
        ASSERT_EQ(map.Get(k), k);
}

TEST(HashMap, IterationFollowsInsertionOrder) {
    MapProbe<std::string, int> map;
    const char* keys[] = {"zeta", "alpha", "mu", "", "beta"};
    for (int i = 0; i < 5; i++)
        map.Set(keys[i], i);
    EXPECT_EQ(Keys(map), (std::vector<std::string>{"zeta", "alpha", "mu", "", "beta"}));
    int expected = 0;
    for (int value : map)
        EXPECT_EQ(value, expected++);

    // Setting a present key keeps its place and the node count.
    uint32 occupied = map.Occupied();
    map.Set("alpha", 10);
    EXPECT_EQ(map.Count(), 5u);
    EXPECT_EQ(map.Occupied(), occupied);
    EXPECT_EQ(Keys(map)[1], "alpha");
    EXPECT_EQ(map.Get("alpha"), 10);

    // Removing and inserting again moves the key to the end and uses a new node.
    map.Remove("alpha");
    EXPECT_FALSE(map.Exists("alpha"));
    map.Set("alpha", 11);
    EXPECT_EQ(map.Occupied(), occupied + 1);
    EXPECT_EQ(Keys(map), (std::vector<std::string>{"zeta", "mu", "", "beta", "alpha"}));
}

TEST(HashMap, PresentKeyStillTriggersTheGrowthCheck) {
    MapProbe<uint32, uint32> map;
    for (uint32 i = 0; i < 7; i++)
        map.Set(i, i);
    EXPECT_EQ(map.IndexSize(), 8u);
    map.Set(3, 33);
    EXPECT_EQ(map.IndexSize(), 16u);
    EXPECT_EQ(map.Count(), 7u);
    EXPECT_EQ(map.Get(3), 33u);
}

TEST(HashMap, RemoveThroughIteratorKeepsTheWalkGoing) {
    CL_HashMap<int32, int32> map;
    for (int32 i = 0; i < 20; i++)
        map.Set(i, i * 10);
    std::vector<int32> visited;
    for (auto it = map.begin(); it != map.end(); ++it) {
        visited.push_back(it.key());
        if (it.key() % 2 == 0) map.Remove(it);
    }
    EXPECT_EQ(visited.size(), 20u);
    EXPECT_EQ(map.Count(), 10u);
    for (int32 i = 0; i < 20; i++)
        EXPECT_EQ(map.Exists(i), i % 2 == 1) << i;
    // A removed key can come back; its stale slot is never matched.
    map.Set(4, 44);
    EXPECT_EQ(map.Get(4), 44);
    EXPECT_EQ(map.Count(), 11u);
}

TEST(HashMap, ChurnDoublesTheIndexUntilShrink) {
    MapProbe<uint32, uint32> map;
    for (uint32 i = 0; i < 2000; i++) {
        map.Set(i, i);
        if (i >= 3) map.Remove(i - 3);
    }
    EXPECT_EQ(map.Count(), 3u);
    EXPECT_GE(map.IndexSize(), 2048u);
    map.Shrink();
    EXPECT_EQ(map.IndexSize(), 4u);
    EXPECT_EQ(map.NodesSize(), 3u);
    EXPECT_EQ(Keys(map).size(), 3u);
    EXPECT_EQ(map.Get(1999), 1999u);
    // Same index and no removed nodes: a second Shrink sizes the nodes to the index.
    map.Shrink();
    EXPECT_EQ(map.IndexSize(), 4u);
    EXPECT_EQ(map.NodesSize(), 4u);
}

TEST(HashMap, ShrinkAndClearEdges) {
    MapProbe<std::string, int> map;
    map.Set("only", 1);
    map.Set("gone", 2);
    map.Remove("gone");
    map.Shrink();
    EXPECT_EQ(map.IndexSize(), 1u);
    EXPECT_EQ(map.NodesSize(), 1u);
    EXPECT_EQ(map.Get("only"), 1);
    map.Set("next", 3);  // 1 of 1 slots used: the index doubles first
    EXPECT_EQ(map.IndexSize(), 2u);
    EXPECT_EQ(map.Get("next"), 3);

    for (int i = 0; i < 30; i++)
        map.Set("k" + std::to_string(i), i);
    uint32 slots = map.IndexSize(), nodes = map.NodesSize();
    map.Clear();
    EXPECT_EQ(map.Count(), 0u);
    EXPECT_EQ(map.IndexSize(), slots);
    EXPECT_EQ(map.NodesSize(), nodes);
    EXPECT_FALSE(map.Exists("k3"));
    map.Set("k7", 70);  // reuses node 0, which still held "only"
    EXPECT_EQ(Keys(map), std::vector<std::string>{"k7"});
    EXPECT_EQ(map.Get("k7"), 70);
    map.Clear();
    map.Shrink();  // empty: nothing to do
    EXPECT_EQ(map.IndexSize(), slots);
}

TEST(HashMap, SetCapacity) {
    MapProbe<uint32, uint32> map;
    map.SetCapacity(8);
    EXPECT_EQ(map.IndexSize(), 16u);
    EXPECT_EQ(map.NodesSize(), 16u);
    MapProbe<uint32, uint32> big;
    big.SetCapacity(100);
    EXPECT_EQ(big.IndexSize(), 128u);
    EXPECT_EQ(big.IndexBytes(), 2u);
    // Sizes whose index would not fit leave the table alone instead of wrapping.
    big.SetCapacity(0xFFFFFFFFu);
    big.SetCapacity(0x40000000u);
    EXPECT_EQ(big.IndexSize(), 128u);
    big.Set(5, 6);
    EXPECT_EQ(big.Get(5), 6u);
}

TEST(HashMap, CopyKeepsPositionsAndIsIndependent) {
    MapProbe<std::string, std::string> a;
    for (int i = 0; i < 12; i++)
        a.Set("key" + std::to_string(i), "v" + std::to_string(i));
    a.Remove("key3");
    MapProbe<std::string, std::string> b;
    b.Set("old", "x");
    static_cast<CL_HashMap<std::string, std::string>&>(b) = a;
    EXPECT_EQ(Keys(b), Keys(a));
    EXPECT_EQ(b.Occupied(), a.Occupied());
    EXPECT_EQ(b.NodesSize(), a.NodesSize());
    EXPECT_FALSE(b.Exists("old"));
    b.Set("key0", "changed");
    EXPECT_EQ(a.Get("key0"), "v0");
    CL_HashMap<std::string, std::string> moved(std::move(b));
    EXPECT_EQ(moved.Get("key0"), "changed");
    EXPECT_EQ(b.Count(), 0u);
    EXPECT_FALSE(b.Exists("key0"));
}

TEST(HashMap, TextKeysCompareByContentAndKeepThePointer) {
    CL_CStringMap map;
    static const char kKey[] = "Errore";
    map.Set(kKey, "Error");
    std::string other = "Errore";
    EXPECT_STREQ(map.Get(other.c_str()), "Error");
    for (auto it = map.begin(); it != map.end(); ++it)
        EXPECT_EQ(it.key(), kKey);
    EXPECT_EQ(map.Get("errore"), nullptr);
}

TEST(HashMap, OperatorIndex) {
    CL_HashMap<std::string, std::string> map;
    map["a"] = "1";
    EXPECT_EQ(map.Get("a"), "1");
    const auto& view = map;
    EXPECT_EQ(view["a"], "1");
    const_cast<std::string&>(view["missing"]) = "stuck?";
    EXPECT_EQ(view["missing"], "");
    EXPECT_FALSE(map.Exists("missing"));
    map.Clear();
    map.Set("b", "2");
    EXPECT_EQ(map["fresh"], "");  // a reused node position starts value-initialised
}

TEST(HashMap, OwnKeyAsArgumentSurvivesGrowth) {
    CL_Set<std::string> set;
    for (int i = 0; i < 7; i++)
        set.Add(std::string(40, char('a' + i)));
    set.Add(*set.begin());  // the growth check moves the nodes before the lookup
    EXPECT_EQ(set.Count(), 7u);
}

TEST(HashMap, MatchesAReferenceModel) {
    CL_HashMap<std::string, uint32> map;
    std::unordered_map<std::string, uint32> model;
    std::vector<std::string> order;
    std::mt19937 rng(7);
    for (int step = 0; step < 20000; step++) {
        std::string key = "k" + std::to_string(rng() % 700);
        uint32 op = rng() % 10;
        if (op < 6) {
            if (!model.count(key)) order.push_back(key);
            map.Set(key, step);
            model[key] = step;
        } else if (op < 9) {
            map.Remove(key);
            if (model.erase(key)) std::erase(order, key);
        } else if (rng() % 50 == 0) {
            map.Shrink();
        }
        ASSERT_EQ(map.Exists(key), model.count(key) == 1);
    }
    ASSERT_EQ(map.Count(), model.size());
    for (const auto& [key, value] : model)
        ASSERT_EQ(map.Get(key), value);
    EXPECT_EQ(Keys(map), order);
}

// Integer keys are their own hash: patterns that share low bits must still spread.
struct KeyPattern {
    const char* fName;
    uint32 fStart;
    uint32 fStep;
};

class HashMapPatterns : public ::testing::TestWithParam<KeyPattern> {};

TEST_P(HashMapPatterns, KeysStayFindableThroughChurnShrinkAndCopy) {
    const KeyPattern& pattern = GetParam();
    MapProbe<uint32, uint32> map;
    std::unordered_map<uint32, uint32> model;
    std::vector<uint32> order;
    std::mt19937 rng(11);
    auto key = [&](uint32 i) { return pattern.fStart + i * pattern.fStep; };
    for (uint32 step = 0; step < 30000; step++) {
        uint32 k = key(rng() % 3000);
        uint32 op = rng() % 16;
        if (op < 9) {
            if (!model.count(k)) order.push_back(k);
            map.Set(k, step);
            model[k] = step;
        } else if (op < 13) {
            map.Remove(k);
            if (model.erase(k)) std::erase(order, k);
        } else if (op == 13) {
            // Removal through an iterator leaves the slot pointing at the node.
            for (auto it = map.begin(); it != map.end(); ++it) {
                if (it.key() == k) {
                    map.Remove(it);
                    model.erase(k);
                    std::erase(order, k);
                    break;
                }
            }
        } else if (op == 14 && rng() % 100 == 0) {
            map.Shrink();
        } else if (op == 15 && rng() % 500 == 0) {
            MapProbe<uint32, uint32> copy;
            copy = map;
            map.Clear();
            map = copy;
        }
        ASSERT_EQ(map.Exists(k), model.count(k) == 1) << step;
    }
    ASSERT_EQ(map.Count(), model.size());
    for (const auto& [k, value] : model)
        ASSERT_EQ(map.Get(k), value);
    for (uint32 i = 3000; i < 6000; i++)
        ASSERT_FALSE(map.Exists(key(i)));
    EXPECT_EQ(Keys(map), order);
}

INSTANTIATE_TEST_SUITE_P(Keys, HashMapPatterns,
                         ::testing::Values(KeyPattern{"consecutive", 0, 1},
                                           KeyPattern{"step1024", 0, 1024},
                                           KeyPattern{"step65536", 7, 65536},
                                           KeyPattern{"scattered", 1, 2654435761u}),
                         [](const auto& info) { return std::string(info.param.fName); });

TEST(HashMap, TinyIndexesAfterShrinkStillFindEverything) {
    MapProbe<uint32, uint32> map;
    for (uint32 live = 1; live <= 20; live++) {
        map.Clear();
        for (uint32 i = 0; i < live; i++)
            map.Set(i * 1024, i);
        for (uint32 i = 0; i < 40; i++)
            map.Remove(i * 1024 + 1);
        map.Shrink();
        ASSERT_EQ(map.Count(), live);
        for (uint32 i = 0; i < live; i++)
            ASSERT_EQ(map.Get(i * 1024), i) << live;
        ASSERT_FALSE(map.Exists(live * 1024));
        map.Set(live * 1024, live);  // grows past the shrunk index
        for (uint32 i = 0; i <= live; i++)
            ASSERT_EQ(map.Get(i * 1024), i) << live;
    }
}

TEST(HashMap, TagGroupMatchesTheBytewiseForm) {
    uint8 tags[16];
    std::mt19937 rng(3);
    for (int round = 0; round < 2000; round++) {
        for (uint8& tag : tags)
            tag = static_cast<uint8>(rng() % 4 == 0 ? 0 : 0x80 | (rng() % 4));
        uint8 wanted = static_cast<uint8>(round % 3 == 0 ? 0 : 0x80 | (rng() % 4));
        uint32 expected = 0;
        for (uint32 i = 0; i < 16; i++)
            if (tags[i] == wanted) expected |= 1u << i;
        ASSERT_EQ(_CL_TagGroup::MatchPortable(tags, wanted), expected);
        ASSERT_EQ(_CL_TagGroup::Match(tags, wanted), expected);
    }
}

TEST(Set, AddRemoveAndOrderOfSetOperations) {
    SetProbe<int32> a, b;
    for (int32 v : {5, 1, 9, 3})
        a.Add(v);
    for (int32 v : {3, 7, 5})
        b.Add(v);
    a.Add(1);
    EXPECT_EQ(a.Count(), 4u);
    auto list = [](const CL_Set<int32>& s) {
        std::vector<int32> out;
        for (int32 v : s)
            out.push_back(v);
        return out;
    };
    EXPECT_EQ(list(a.Union(b)), (std::vector<int32>{5, 1, 9, 3, 7}));
    EXPECT_EQ(list(a.Intersection(b)), (std::vector<int32>{5, 3}));
    EXPECT_EQ(list(a.Difference(b)), (std::vector<int32>{1, 9}));
    a.Remove(9);
    for (auto it = a.begin(); it != a.end(); ++it)
        if (*it == 1) a.Remove(it);
    EXPECT_EQ(list(a), (std::vector<int32>{5, 3}));

    CL_Set<void*> pointers;
    int x, y;
    pointers.Add(&x);
    EXPECT_TRUE(pointers.Exists(&x));
    EXPECT_FALSE(pointers.Exists(&y));
}

}  // namespace
