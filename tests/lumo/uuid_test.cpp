// UUIDs: text form, parsing with dashes anywhere and refusals, raw bytes, the
// version and variant of generated ones, and uniqueness under concurrent generation.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lumo/blob.h"
#include "lumo/clock.h"
#include "lumo/uuid.h"

namespace {

TEST(UUID, NilAndTextForm) {
    CLU_UUID nil(0);
    EXPECT_TRUE(nil.IsNull());
    EXPECT_EQ(nil.Get(), "00000000-0000-0000-0000-000000000000");
    EXPECT_STREQ(static_cast<const char*>(CLU_UUID::Null()),
                 "00000000-0000-0000-0000-000000000000");
    CLU_UUID other(12345);  // the argument plays no part
    EXPECT_TRUE(other.IsNull());
    EXPECT_EQ(nil, other);
}

TEST(UUID, Parsing) {
    CLU_UUID mixed(std::string("0123456789abcdef0123456789ABCDEF"));
    EXPECT_EQ(mixed.Get(), "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_FALSE(mixed.IsNull());
    EXPECT_EQ(std::string(mixed), "01234567-89AB-CDEF-0123-456789ABCDEF");

    CLU_UUID scattered(std::string("0-1-2-3-4-5-6-7-8-9-a-b-c-d-e-f0123456789abcdef"));
    EXPECT_EQ(scattered.Get(), "01234567-89AB-CDEF-0123-456789ABCDEF");
    EXPECT_EQ(scattered, mixed);

    for (const char* bad : {"{01234567-89AB-CDEF-0123-456789ABCDEF}",
                            "0123456789abcdef0123456789ABCDE",       // 31 digits
                            "0123456789abcdef0123456789ABCDEF0",     // 33 digits
                            "0123456789abcdef0123456789ABCDEG",      // not hexadecimal
                            "01234567 89AB CDEF 0123 456789ABCDEF",  // blanks
                            ""}) {
        CLU_UUID parsed{std::string(bad)};
        EXPECT_TRUE(parsed.IsNull()) << bad;
        EXPECT_EQ(parsed.Get(), "00000000-0000-0000-0000-000000000000");
    }
    // The cached text follows the value through copies and assignment.
    CLU_UUID copy(mixed);
    EXPECT_STREQ(static_cast<const char*>(copy), "01234567-89AB-CDEF-0123-456789ABCDEF");
    copy = CLU_UUID(0);
    EXPECT_STREQ(static_cast<const char*>(copy), "00000000-0000-0000-0000-000000000000");
}

TEST(UUID, RawBytes) {
    CLU_UUID uuid(std::string("00112233-4455-6677-8899-AABBCCDDEEFF"));
    CL_Blob raw;
    uuid.GetRaw(raw);
    EXPECT_EQ(raw.GetSize(), 16u);
    EXPECT_EQ(raw.Tell(), 0u);
    EXPECT_EQ(raw.GetDataForRead()[0], 0x00);
    EXPECT_EQ(raw.GetDataForRead()[15], 0xFF);
    EXPECT_EQ(uuid.GetRawPtr()[5], 0x55);
    EXPECT_EQ(CLU_UUID(raw), uuid);

    uint8 twenty[20];
    for (int i = 0; i < 20; i++)
        twenty[i] = uint8(0xA0 + i);
    CL_Blob longer(twenty, 20, true);  // positioned at its end: taken from byte 0 anyway
    EXPECT_EQ(CLU_UUID(longer).Get(), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
    CL_Blob shorter(twenty, 15, true);
    EXPECT_TRUE(CLU_UUID(shorter).IsNull());

    // Bytes written through the raw pointer show in the text, even after it was built.
    CLU_UUID built(0);
    EXPECT_EQ(built.Get(), "00000000-0000-0000-0000-000000000000");
    memcpy(built.GetRawPtr(), twenty, 16);
    EXPECT_EQ(built.Get(), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
    EXPECT_STREQ(static_cast<const char*>(built), "A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF");
}

TEST(UUID, GeneratedVersionAndVariant) {
    CL_StartClock();
    CLU_UUID a, b;
    EXPECT_NE(a, b);
    for (int i = 0; i < 200; i++) {
        CLU_UUID u;
        std::string text = u.Get();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '5');
        EXPECT_NE(std::string("89AB").find(text[19]), std::string::npos) << text;
        EXPECT_EQ(u.GetRawPtr()[6] >> 4, 5);
        EXPECT_EQ(u.GetRawPtr()[8] & 0xC0, 0x80);
    }
}

// A tight loop on several threads issues far more than one UUID per clock reading
// (and per microsecond); none may repeat.
TEST(UUID, UniqueUnderConcurrentGeneration) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 100000 / kThreads;
    std::vector<std::vector<std::string>> made(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([t, &made] {
            made[t].reserve(kPerThread);
            for (int i = 0; i < kPerThread; i++) {
                CLU_UUID u;
                made[t].emplace_back(reinterpret_cast<const char*>(u.GetRawPtr()), 16);
            }
        });
    for (auto& t : threads)
        t.join();
    std::set<std::string> all;
    for (auto& list : made)
        for (auto& raw : list)
            all.insert(raw);
    EXPECT_EQ(all.size(), size_t(kThreads) * kPerThread);
}

}  // namespace
