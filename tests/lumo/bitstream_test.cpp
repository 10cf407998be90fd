// Bit stream: word and byte layouts, straddling fields, flushing and end of data.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lumo/bitstream.h"
#include "lumo/blob.h"

namespace {

std::string Bytes(const CL_Blob& b) {
    return b.Raw();
}

}  // namespace

TEST(BitStream, FullWordIsLittleEndian) {
    CL_Blob blob;
    {
        CL_BitStream w(&blob);
        for (uint32 bit : {1, 0, 1, 1, 0, 0, 0, 0})
            w.Write(bit, 1);
        w.Write(0, 24);
    }
    EXPECT_EQ(Bytes(blob), std::string("\x00\x00\x00\xB0", 4));
}

TEST(BitStream, FlushWritesPendingBytesMostSignificantFirst) {
    CL_Blob blob;
    CL_BitStream w(&blob);
    w.Write(0xA, 4);
    w.Flush();
    EXPECT_EQ(Bytes(blob), "\xA0");
    w.Flush();  // nothing pending any more
    EXPECT_EQ(blob.GetSize(), 1u);

    CL_Blob twelve;
    {
        CL_BitStream w2(&twelve);
        w2.Write(0xABC, 12);
    }
    EXPECT_EQ(Bytes(twelve), "\xAB\xC0");
    twelve.Rewind();
    CL_BitStream r(twelve);
    EXPECT_EQ(r.Read(8), 0xABu);
    EXPECT_EQ(r.Read(4), 0xCu);
    EXPECT_FALSE(r.EOS());
}

TEST(BitStream, StraddlingFieldReadsBackWhole) {
    CL_Blob blob;
    {
        CL_BitStream w(&blob);
        w.Write(0x7FFFFFF, 27);
        w.Write(0x3FF, 10);  // 5 bits end the first word, 5 start the next
        w.Write(0x12345678, 32);
    }
    blob.Rewind();
    CL_BitStream r(blob);
    EXPECT_EQ(r.Read(27), 0x7FFFFFFu);
    EXPECT_EQ(r.Read(10), 0x3FFu);
    EXPECT_EQ(r.Read(32), 0x12345678u);
}

TEST(BitStream, FlushKeepsTwentyFiveToThirtyOneBits) {
    for (int32 width = 25; width <= 31; ++width) {
        CL_Blob blob;
        uint32 value = (0x5A5A5A5Bu >> (32 - width)) | 1;
        {
            CL_BitStream w(&blob);
            w.Write(value, width);
        }
        ASSERT_EQ(blob.GetSize(), 4u) << width;
        blob.Rewind();
        CL_BitStream r(blob);
        EXPECT_EQ(r.Read(width), value) << width;
        EXPECT_FALSE(r.EOS());
    }
}

TEST(BitStream, WideReadNearTheEndTakesSeveralBytes) {
    CL_Blob blob(std::string("\x12\x34\x56", 3));
    blob.Rewind();
    CL_BitStream r(blob);
    EXPECT_EQ(r.Read(20), 0x12345u);
    EXPECT_EQ(r.Read(4), 0x6u);
    EXPECT_FALSE(r.EOS());
    EXPECT_EQ(r.Read(8), 0u);
    EXPECT_TRUE(r.EOS());
}

TEST(BitStream, ReadingPastTheEnd) {
    CL_Blob empty;
    CL_BitStream r(empty);
    EXPECT_EQ(r.Read(7), 0u);
    EXPECT_TRUE(r.EOS());

    CL_Blob one("\xF0");
    one.Rewind();
    CL_BitStream r2(one);
    EXPECT_EQ(r2.Read(12), 0xF00u);  // missing low bits are 0
    EXPECT_TRUE(r2.EOS());
}

TEST(BitStream, RandomFieldsRoundTrip) {
    std::mt19937 gen(1234);
    for (int round = 0; round < 50; ++round) {
        std::vector<std::pair<uint32, int32>> fields;
        int count = 1 + int(gen() % 40);
        for (int i = 0; i < count; ++i) {
            int32 width = 1 + int32(gen() % 32);
            uint32 value = width == 32 ? uint32(gen()) : uint32(gen()) & ((1u << width) - 1);
            fields.push_back({value, width});
        }
        CL_Blob blob;
        {
            CL_BitStream w(&blob);
            for (auto& f : fields)
                w.Write(f.first, f.second);
        }
        blob.Rewind();
        CL_BitStream r(blob);
        for (size_t i = 0; i < fields.size(); ++i)
            ASSERT_EQ(r.Read(fields[i].second), fields[i].first) << round << " field " << i;
        EXPECT_FALSE(r.EOS());
    }
}

TEST(BitStream, WrongDirectionAndBadCountsDoNothing) {
    CL_Blob blob("abcd");
    blob.Rewind();
    CL_BitStream r(blob);
    r.Write(1, 1);
    EXPECT_EQ(blob.GetSize(), 4u);
    EXPECT_EQ(r.Read(0), 0u);
    EXPECT_EQ(r.Read(33), 0u);
    CL_Blob out;
    CL_BitStream w(&out);
    EXPECT_EQ(w.Read(8), 0u);
    w.Write(1, 0);
    w.Write(1, 40);
    w.Flush();
    EXPECT_EQ(out.GetSize(), 0u);
}
