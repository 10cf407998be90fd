// The hash table's index: where byte-string keys are placed, how they are compared,
// slots of every width cleared by removal, and tables and arrays laid out in memory
// their owner keeps.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "lumo/containers.h"

namespace {

template <class K, class V>
struct MapProbe : public CL_HashMap<K, V> {
    uint32 IndexBytes() const { return this->fIndexBytes; }
    bool Adopted() const { return this->fAdopted; }
    int PartialKey(const K& key) const {
        auto* node = this->ReadNode(key, false);
        return node ? node->fFlags : -1;
    }
};

std::string RandomBytes(std::mt19937& rng, size_t n) {
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

}  // namespace

// Every bit of every byte reaches the placement, whatever the length, and a key's
// placement is the same whether it is a string or a text.
TEST(HashPlace, EveryByteOfTheKeyCounts) {
    std::mt19937 rng(5);
    for (size_t n = 0; n <= 48; n++) {
        const std::string key = RandomBytes(rng, n);
        const uint32 place = CL_PlaceBytes(key.data(), n);
        EXPECT_EQ(CL_HashTraits<std::string>::Place(key), place);
        std::set<uint32> seen{place};
        for (size_t i = 0; i < n; i++) {
            for (int bit = 0; bit < 8; bit++) {
                std::string other = key;
                other[i] = static_cast<char>(other[i] ^ (1 << bit));
                seen.insert(CL_PlaceBytes(other.data(), n));
            }
        }
        EXPECT_EQ(seen.size(), 1 + 8 * n) << "length " << n;
        // One byte more or less moves the key too.
        if (n) {
            EXPECT_NE(CL_PlaceBytes(key.data(), n - 1), place);
        }
    }
    const char* text = "column_1234";
    EXPECT_EQ(CL_HashTraits<const char*>::Place(text), CL_PlaceBytes(text, strlen(text)));
    EXPECT_EQ(CL_HashTraits<const char*>::Place(nullptr), CL_PlaceBytes("", 0));
    // The key hash proper stays FNV-1: the node's partial key comes from it.
    MapProbe<std::string, int> map;
    map.Set("", 1);
    map.Set("foobar", 2);
    EXPECT_EQ(map.PartialKey(""), 0x811C9DC5 & 127);
    EXPECT_EQ(map.PartialKey("foobar"), 0x31F0B262 & 127);
}

TEST(HashPlace, BytesCompareAsMemcmpDoes) {
    std::mt19937 rng(9);
    for (size_t n = 0; n <= 40; n++) {
        const std::string a = RandomBytes(rng, n);
        EXPECT_TRUE(CL_SameBytes(a.data(), std::string(a).data(), n));
        for (size_t i = 0; i < n; i++) {
            std::string b = a;
            b[i] = static_cast<char>(b[i] + 1);
            EXPECT_FALSE(CL_SameBytes(a.data(), b.data(), n)) << n << " at " << i;
        }
    }
    // Keys of one length that differ in the middle only, past the bytes read whole.
    CL_HashMap<std::string, int> map;
    std::vector<std::string> keys;
    for (int i = 0; i < 200; i++) {
        std::string key(41, 'k');
        key[20] = static_cast<char>(i);
        key[21] = static_cast<char>(i / 7);
        keys.push_back(key);
        map.Set(key, i);
    }
    for (int i = 0; i < 200; i++)
        EXPECT_EQ(map.Get(keys[static_cast<size_t>(i)]), i);
    EXPECT_FALSE(map.Exists(std::string(41, 'k')));
}

// Removing by key clears the slot at its width; the keys around it stay findable and
// a key removed and set again comes last.
TEST(HashIndex, RemovalAtEverySlotWidth) {
    const struct {
        uint32 count;
        uint32 width;
    } cases[] = {{100, 2}, {5000, 2}, {40000, 4}};
    for (const auto& c : cases) {
        const uint32 count = c.count;
        MapProbe<uint32, uint32> map;
        for (uint32 i = 0; i < count; i++)
            map.Set(i * 2654435761u, i);
        EXPECT_EQ(map.IndexBytes(), c.width);
        for (uint32 i = 0; i < count; i += 3)
            map.Remove(i * 2654435761u);
        for (uint32 i = 0; i < count; i++) {
            ASSERT_EQ(map.Exists(i * 2654435761u), i % 3 != 0) << count << " " << i;
            if (i % 3) {
                ASSERT_EQ(map.Get(i * 2654435761u), i);
            }
        }
        map.Set(0, 77);
        uint32 last = 0;
        for (uint32 value : map)
            last = value;
        EXPECT_EQ(last, 77u);
    }
    // A one-byte index: small maps, removal and re-insertion.
    MapProbe<uint32, uint32> small;
    for (uint32 i = 0; i < 40; i++)
        small.Set(i, i);
    EXPECT_EQ(small.IndexBytes(), 1u);
    for (uint32 i = 0; i < 40; i += 2)
        small.Remove(i);
    for (uint32 i = 0; i < 40; i++)
        EXPECT_EQ(small.Exists(i), i % 2 == 1);
}

// A table laid out in its owner's memory: full to the room's size, then moved to the
// heap by copies when it grows, the room never freed (it is not a heap block here).
TEST(HashIndex, TableOnAdoptedRoom) {
    typedef MapProbe<std::string, int> Map;
    constexpr uint32 kKeys = 20;
    alignas(8) static unsigned char room[4096];
    ASSERT_LE(Map::RoomBytes(kKeys), sizeof room);
    Map map;
    EXPECT_FALSE(map.AdoptRoom(room, Map::RoomBytes(kKeys) - 1, kKeys));
    ASSERT_TRUE(map.AdoptRoom(room, sizeof room, kKeys));
    EXPECT_TRUE(map.Adopted());
    EXPECT_FALSE(map.AdoptRoom(room, sizeof room, kKeys));  // only once
    std::vector<std::string> keys;
    for (uint32 i = 0; i < kKeys; i++)
        keys.push_back(i % 2 ? "k" + std::to_string(i) : std::string(30, 'a' + i));
    for (uint32 i = 0; i < kKeys; i++)
        map.Set(keys[i], static_cast<int>(i));
    EXPECT_TRUE(map.Adopted());
    for (uint32 i = 0; i < kKeys; i++)
        EXPECT_EQ(map.Get(keys[i]), static_cast<int>(i));

    // A copy is a table of its own on the heap.
    Map copy;
    static_cast<CL_HashMap<std::string, int>&>(copy) = map;
    EXPECT_FALSE(copy.Adopted());
    EXPECT_EQ(copy.Count(), kKeys);

    map.Set("one more", 99);
    EXPECT_FALSE(map.Adopted());
    EXPECT_EQ(map.Count(), kKeys + 1);
    std::vector<int> order;
    for (int value : map)
        order.push_back(value);
    ASSERT_EQ(order.size(), kKeys + 1u);
    EXPECT_EQ(order.front(), 0);
    EXPECT_EQ(order.back(), 99);
    for (uint32 i = 0; i < kKeys; i++)
        EXPECT_EQ(map.Get(keys[i]), static_cast<int>(i));
    EXPECT_EQ(copy.Get(keys[3]), 3);

    // Slots placed by a caller's own key builder.
    Map placed;
    alignas(8) static unsigned char room2[1024];
    ASSERT_TRUE(placed.AdoptRoom(room2, sizeof room2, 2));
    int* value = placed.SlotWith(std::string("key"), [](std::string& key) { key = "key"; });
    ASSERT_NE(value, nullptr);
    *value = 5;
    EXPECT_EQ(placed.Get("key"), 5);
    EXPECT_EQ(placed.SlotWith(std::string("key"), [](std::string&) { FAIL(); }), value);
}

TEST(HashIndex, ArrayFilledToItsRoom) {
    CL_Array<int64> array;
    alignas(8) static unsigned char room[10 * sizeof(CL_Array<int64>::Node)];
    array.AdoptRoom(room, sizeof room);
    for (int i = 0; i < 10; i++)
        array.GetData()[i] = i * 3;
    EXPECT_FALSE(array.SetCount(11));
    ASSERT_TRUE(array.SetCount(10));
    EXPECT_EQ(array.Count(), 10u);
    EXPECT_EQ(array[9], 27);
    // Growing past the room moves the items to the heap.
    array.Append(99);
    EXPECT_EQ(array.Count(), 11u);
    EXPECT_EQ(array[0], 0);
    EXPECT_EQ(array[10], 99);
}
