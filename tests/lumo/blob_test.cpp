// Byte buffer: layouts, position rules, growth, checksums, codings and the
// size-limit and aliasing guards.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "support/address_space_cap.h"

namespace {

std::string Bytes(const CL_Blob& blob) {
    return blob.Raw();
}

// Independent form of the frame checksum, written from its byte-level definition.
uint32 NaiveCheckSum(const uint8* p, uint32 n) {
    auto le = [](const uint8* q, int len) {
        uint32 v = 0;
        for (int i = len - 1; i >= 0; --i)
            v = v << 8 | q[i];
        return v;
    };
    uint32 sum = 0, off = 0;
    if (n & 1) sum += p[off++];
    if (n & 2) sum += le(p + off, 2), off += 2;
    if (n & 4) sum += le(p + off, 4), off += 4;
    for (; off + 8 <= n; off += 8)
        sum += le(p + off, 4) + le(p + off + 4, 4);
    return sum;
}

std::vector<uint8> RandomBytes(size_t n, uint32 seed) {
    std::mt19937 gen(seed);
    std::vector<uint8> v(n);
    for (auto& b : v)
        b = static_cast<uint8>(gen());
    return v;
}

}  // namespace

TEST(BlobChecksum, KnownValues) {
    EXPECT_EQ(CL_Blob().CheckSum(), 0u);
    EXPECT_EQ(CL_Blob("abc").CheckSum(), 0x000063C3u);
    EXPECT_EQ(CL_Blob("abcdefgh").CheckSum(), 0xCCCAC8C6u);
    std::string ff(16, '\xFF');
    EXPECT_EQ(CL_Blob(ff).CheckSum(), 0xFFFFFFFCu);
}

TEST(BlobChecksum, MatchesDefinitionAtEveryLengthAndAlignment) {
    std::vector<uint8> data = RandomBytes(70000, 7);
    for (uint32 off = 0; off < 8; ++off) {
        for (uint32 n = 0; n < 200; ++n)
            ASSERT_EQ(CL_Blob(data.data() + off, n).CheckSum(), NaiveCheckSum(data.data() + off, n))
                << off << " " << n;
        uint32 big = 65536 + 13 + off;
        EXPECT_EQ(CL_Blob(data.data() + off, big).CheckSum(),
                  NaiveCheckSum(data.data() + off, big));
    }
}

TEST(BlobChecksum, IndependentOfPosition) {
    CL_Blob b("hello world, checksum");
    uint32 sum = b.CheckSum();
    b.Seek(5, CL_SEEK_SET);
    EXPECT_EQ(b.CheckSum(), sum);
}

TEST(BlobChecksum, Crc32AgreesWithZlib) {
    EXPECT_EQ(CL_Blob("123456789").CRC32(), 0xCBF43926u);
    EXPECT_EQ(CL_Blob().CRC32(), 0u);
    std::vector<uint8> data = RandomBytes(5000, 3);
    for (uint32 n : {1u, 7u, 64u, 4999u}) {
        uLong expect = crc32(0L, data.data(), n);
        EXPECT_EQ(CL_Blob(data.data(), n).CRC32(), static_cast<uint32>(expect));
    }
}

TEST(BlobPosition, Seek) {
    CL_Blob b("abcd");
    EXPECT_EQ(b.Seek(-5, CL_SEEK_SET), 0u);
    b.Seek(3, CL_SEEK_SET);
    EXPECT_EQ(b.Seek(-5, CL_SEEK_CUR), 0u);
    EXPECT_EQ(b.Seek(0, CL_SEEK_END), 4u);
    EXPECT_EQ(b.Seek(10, CL_SEEK_SET), 4u);
    EXPECT_EQ(b.Seek(0, static_cast<CL_SeekType>(7)), 0u);
    EXPECT_EQ(b.Seek(-1, CL_SEEK_END), 3u);
}

TEST(BlobPosition, MadeFromBytesSitsAtEnd) {
    CL_Blob b("abc");
    EXPECT_EQ(b.GetSize(), 3u);
    EXPECT_EQ(b.Tell(), 3u);
    EXPECT_TRUE(b.EOB());
    int8 v = 9;
    v << b;
    EXPECT_EQ(v, 0);
    EXPECT_EQ(b.Tell(), 3u);
    b.Rewind();
    v << b;
    EXPECT_EQ(v, 'a');
}

TEST(BlobPosition, SetSizePullsPositionBack) {
    CL_Blob b("abcdef");
    b.SetSize(2);
    EXPECT_EQ(b.Tell(), 2u);
    EXPECT_EQ(Bytes(b), "ab");
    b.SetSize(40);
    EXPECT_EQ(b.GetSize(), 40u);
    EXPECT_EQ(b.Tell(), 2u);
    b.Clear();
    EXPECT_EQ(b.GetSize(), 0u);
    EXPECT_EQ(b.Tell(), 0u);
}

TEST(BlobTyped, LittleEndianLayouts) {
    CL_Blob b;
    b += true;
    b += false;
    b += int16(0x1234);
    b += uint32(0xA1B2C3D4u);
    b += int64(-2);
    b += 1.0;
    b << "ab" << std::string("c\0d", 3);
    const uint8 expect[] = {0xFB, 0x00, 0x34, 0x12, 0xD4, 0xC3, 0xB2, 0xA1, 0xFE, 0xFF, 0xFF,
                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0,
                            0xF0, 0x3F, 'a',  'b',  0,    'c',  0,    'd',  0};
    ASSERT_EQ(b.GetSize(), sizeof(expect));
    EXPECT_EQ(memcmp(b.GetDataForRead(), expect, sizeof(expect)), 0);
    EXPECT_EQ(b.Tell(), sizeof(expect));

    b.Rewind();
    int8 t;
    bool f = true;
    int16 s;
    uint32 u;
    int64 l;
    double d;
    std::string s1, s2;
    t << b;
    f << b;
    s << b;
    u << b;
    l << b;
    d << b;
    s1 << b;
    s2 << b;
    EXPECT_EQ(t, -5);
    EXPECT_FALSE(f);
    EXPECT_EQ(s, 0x1234);
    EXPECT_EQ(u, 0xA1B2C3D4u);
    EXPECT_EQ(l, -2);
    EXPECT_EQ(d, 1.0);
    EXPECT_EQ(s1, "ab");
    EXPECT_EQ(s2, "c");  // stops at the embedded NUL
    EXPECT_EQ(b.Tell(), b.GetSize() - 2);
}

TEST(BlobTyped, ShortReadsYieldZeroAndStay) {
    CL_Blob b("abc");
    b.Rewind();
    int32 v = 77;
    v << b;
    EXPECT_EQ(v, 0);
    EXPECT_EQ(b.Tell(), 0u);
    double d = 1.5;
    d << b;
    EXPECT_EQ(d, 0.0);
    void* p = &v;
    p << b;
    EXPECT_EQ(p, nullptr);
    b.Seek(0, CL_SEEK_END);
    std::string s = "x";
    s << b;
    EXPECT_EQ(s, "");
    const char* c = nullptr;
    c << b;
    EXPECT_STREQ(c, "");
}

TEST(BlobTyped, StringWithoutNulRunsToEnd) {
    CL_Blob b("ab");
    b.Rewind();
    std::string s;
    s << b;
    EXPECT_EQ(s, "ab");
    EXPECT_EQ(b.Tell(), 2u);
}

TEST(BlobTyped, CStringReaderPointsIntoStorage) {
    CL_Blob b;
    b << "one"
      << "two";
    b.Rewind();
    const char* a;
    const char* c;
    a << b;
    c << b;
    EXPECT_STREQ(a, "one");
    EXPECT_STREQ(c, "two");
    EXPECT_EQ(a, reinterpret_cast<const char*>(b.GetDataForRead()));

    // No NUL and no spare capacity: the storage grows by one for the terminator.
    CL_Blob full(std::string(20, 'z'));
    full.Shrink();
    ASSERT_EQ(full.GetCapacity(), 20u);
    full.Rewind();
    const char* z;
    z << full;
    EXPECT_EQ(std::string(z), std::string(20, 'z'));
    EXPECT_EQ(full.GetSize(), 20u);
    EXPECT_EQ(full.Tell(), 20u);
}

TEST(BlobTyped, AppendVersusPlusEquals) {
    CL_Blob a("xyz");
    CL_Blob b("123");
    a += b;  // b sits at its end: nothing to write
    EXPECT_EQ(Bytes(a), "xyz");
    a.Append(b);
    EXPECT_EQ(Bytes(a), "xyz123");
    EXPECT_EQ(a.Tell(), 3u);
    b.Seek(1, CL_SEEK_SET);
    a += b;
    EXPECT_EQ(Bytes(a), "xyz233");
    EXPECT_EQ(b.Tell(), 1u);
}

TEST(BlobStorage, CopyOnWrite) {
    CL_Blob a("shared bytes here, more than sixteen");
    CL_Blob b(a);
    EXPECT_TRUE(a == b);
    EXPECT_EQ(a.GetDataForRead(), b.GetDataForRead());
    b[0] = 'S';
    EXPECT_EQ(Bytes(a)[0], 's');
    EXPECT_EQ(Bytes(b)[0], 'S');
    EXPECT_TRUE(a != b);
    CL_Blob c(std::string("shared bytes here, more than sixteen"));
    EXPECT_TRUE(a == c);
}

TEST(BlobStorage, GrowthRule) {
    CL_Blob b;
    b.Write("0123456789abcdef", 16);
    EXPECT_EQ(b.GetCapacity(), 16u);
    EXPECT_EQ(b.GetMemoryUsage(), 64u);
    b += uint8('g');
    EXPECT_EQ(b.GetCapacity(), 24u);
    EXPECT_EQ(b.GetMemoryUsage(), 64u + 24u);

    CL_Blob e;
    e.Shrink();
    EXPECT_EQ(e.GetCapacity(), 0u);
    e += uint8(1);
    EXPECT_EQ(e.GetCapacity(), 4u);
    CL_Blob h;
    std::string hundred(100, 'q');
    h.Write(hundred.data(), 100);
    EXPECT_EQ(h.GetCapacity(), 128u);
    h.Shrink();
    EXPECT_EQ(h.GetCapacity(), 100u);
    h.SetSize(10);
    h.Shrink();
    EXPECT_EQ(h.GetCapacity(), 10u);
    EXPECT_EQ(Bytes(h), std::string(10, 'q'));
}

TEST(BlobStorage, CallerBytesAreWrittenInPlaceUntilGrowth) {
    char mem[8] = "abcdefg";
    CL_Blob b(mem, 7, false);
    b.Rewind();
    b += uint8('X');
    EXPECT_EQ(mem[0], 'X');
    b.Seek(0, CL_SEEK_END);
    b.Write("12", 2);
    EXPECT_EQ(Bytes(b), "Xbcdefg12");
    EXPECT_EQ(mem[0], 'X');
    b[1] = 'Y';
    EXPECT_EQ(mem[1], 'b');
}

TEST(BlobStorage, CopyOfCutCallerBytesOwnsItsWholeCapacity) {
    // Caller bytes cut to a few bytes keep their capacity; the private copy made on
    // the first change must have room for all of it, not just the inline bytes.
    static uint8 mem[40];
    memset(mem, 'm', sizeof(mem));
    CL_Blob a(mem, 40, false);
    a.SetSize(5);
    CL_Blob b(a);
    std::string tail(30, 't');
    EXPECT_EQ(b.Write(tail.data(), 30), 30u);
    EXPECT_EQ(Bytes(b), std::string(5, 'm') + tail);
    EXPECT_EQ(b.GetCapacity(), 40u);
    EXPECT_EQ(b.GetMemoryUsage(), 64u + 40u);
    EXPECT_EQ(Bytes(a), std::string(5, 'm'));
    EXPECT_EQ(mem[10], 'm');
}

TEST(BlobStorage, CStrOfEmptyLeavesStorage) {
    CL_Blob e;
    EXPECT_STREQ(e.c_str(), "");
    EXPECT_EQ(e.GetCapacity(), 16u);
    CL_Blob b("abc");
    EXPECT_STREQ(b.c_str(), "abc");
    EXPECT_EQ(b.GetSize(), 3u);
    CL_Blob full(std::string(17, 'k'));
    full.Shrink();
    EXPECT_EQ(std::string(full.c_str()), std::string(17, 'k'));
    EXPECT_EQ(full.GetSize(), 17u);
}

TEST(BlobStorage, IndexOutOfRangeUsesSpareByte) {
    CL_Blob b("ab");
    b[-1] = 'x';
    b[2] = 'y';
    EXPECT_EQ(Bytes(b), "ab");
    EXPECT_EQ(b[5], 0);
    EXPECT_EQ(b[1], 'b');
}

TEST(BlobTransfer, PeekReadWrite) {
    CL_Blob b("hello");
    b.Rewind();
    char buf[8] = {};
    EXPECT_EQ(b.Peek(buf, 3), 3u);
    EXPECT_EQ(b.Tell(), 0u);
    EXPECT_EQ(b.Read(buf, 10), 5u);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(b.Tell(), 5u);
    EXPECT_EQ(b.Read(buf, 10), 0u);
}

TEST(BlobTransfer, ShortReadIntoBlobLeavesNoStaleBytes) {
    CL_Blob src("abc");
    src.Rewind();
    CL_Blob dst;
    std::string junk(64, '\xAA');
    dst.Write(junk.data(), 64);
    dst.SetSize(0);
    EXPECT_EQ(src.Read(dst, 10), 3u);
    EXPECT_EQ(src.Tell(), 3u);
    EXPECT_EQ(dst.Tell(), 0u);
    EXPECT_EQ(dst.GetSize(), 10u);
    EXPECT_EQ(Bytes(dst), std::string("abc\0\0\0\0\0\0\0", 10));
}

TEST(BlobTransfer, ShortReadIntoBlobKeepsDestinationBytes) {
    // Only the room the destination grew by is zeroed; its own bytes stay.
    CL_Blob src("ab");
    src.Rewind();
    CL_Blob dst("XXXXXXXX");
    dst.Seek(2, CL_SEEK_SET);
    EXPECT_EQ(src.Read(dst, 10), 2u);
    EXPECT_EQ(dst.Tell(), 2u);
    EXPECT_EQ(Bytes(dst), std::string("XXabXXXX\0\0\0\0", 12));
    CL_Blob inside("0123456789");
    inside.Seek(1, CL_SEEK_SET);
    src.Rewind();
    EXPECT_EQ(src.Peek(inside, 5), 2u);
    EXPECT_EQ(Bytes(inside), "0ab3456789");
}

TEST(BlobTransfer, WriteFromBlobClampsToWhatRemains) {
    CL_Blob src("abcdef");
    src.Seek(4, CL_SEEK_SET);
    CL_Blob dst;
    EXPECT_EQ(dst.Write(src, 1000), 2u);
    EXPECT_EQ(Bytes(dst), "ef");
    EXPECT_EQ(src.Tell(), 6u);
    EXPECT_EQ(dst.Write(src, 5), 0u);
}

TEST(BlobTransfer, PrependKeepsPositionOnSameByte) {
    CL_Blob b("world");
    b.Seek(1, CL_SEEK_SET);
    b.Prepend("hello ", 6);
    EXPECT_EQ(Bytes(b), "hello world");
    EXPECT_EQ(b.Tell(), 7u);
}

TEST(BlobTransfer, SelfAliasingCopiesBeforeGrowing) {
    std::string base = "0123456789";  // grows from inline into a heap block
    CL_Blob a(base);
    a.Append(a);
    EXPECT_EQ(Bytes(a), base + base);
    a.Append(a);
    EXPECT_EQ(Bytes(a), base + base + base + base);

    CL_Blob p(base);
    p.Prepend(p);
    EXPECT_EQ(Bytes(p), base + base);

    CL_Blob q(base + base);
    q.Shrink();
    q.Append(q.GetDataForRead() + 5, 15);  // raw pointer into the sole storage
    EXPECT_EQ(Bytes(q), base + base + (base + base).substr(5));

    CL_Blob s(base);
    s.Rewind();
    s += s;  // from position 0 to end, written at position 0
    EXPECT_EQ(Bytes(s), base);
    s.Seek(0, CL_SEEK_END);
    CL_Blob t(base);
    t.Seek(5, CL_SEEK_SET);
    t += t;
    EXPECT_EQ(Bytes(t), base);
    CL_Blob v(base + base);
    v.Shrink();
    v.Set(v.GetDataForRead() + 4, 8);
    EXPECT_EQ(Bytes(v), "45678901");
}

TEST(BlobTransfer, RefusesPastSizeLimit) {
    // A storage over caller bytes lets the test stand near the limit without memory.
    static uint8 mem[64];
    CL_Blob big(mem, CL_Blob::kMaxSize - 8, false);
    EXPECT_EQ(big.Tell(), CL_Blob::kMaxSize - 8);
    uint8 src[32] = {};
    EXPECT_EQ(big.Write(src, 32), 0u);
    EXPECT_EQ(big.GetSize(), CL_Blob::kMaxSize - 8);
    EXPECT_EQ(big.Tell(), CL_Blob::kMaxSize - 8);
    EXPECT_EQ(big.Append(src, 16), 0u);
    EXPECT_EQ(big.Prepend(src, 16), 0u);
    big.SetSize(0xFFFFFFF0u);
    EXPECT_EQ(big.GetSize(), CL_Blob::kMaxSize - 8);

    // 32-bit wrap of position + size must not pass for a small write.
    CL_Blob small("12345678");
    EXPECT_EQ(small.Write(src, 0xFFFFFFFCu), 0u);
    EXPECT_EQ(Bytes(small), "12345678");
    EXPECT_EQ(small.Append(src, 0xFFFFFFFCu), 0u);
    EXPECT_EQ(small.GetSize(), 8u);
}

TEST(BlobFlatten, RoundTripAndShortCounts) {
    CL_Blob payload("payload bytes, long enough for the heap");
    CL_Blob out;
    payload.Flatten(out);
    EXPECT_EQ(out.GetSize(), 4u + payload.GetSize());
    out.Rewind();
    CL_Blob back;
    ASSERT_TRUE(back.Unflatten(out));
    EXPECT_TRUE(back == payload);
    EXPECT_EQ(back.Tell(), 0u);
    EXPECT_EQ(out.Tell(), out.GetSize());

    CL_Blob tiny("ab");
    tiny.Rewind();
    CL_Blob empty;
    EXPECT_TRUE(empty.Unflatten(tiny));
    EXPECT_EQ(empty.GetSize(), 0u);
    EXPECT_EQ(tiny.Tell(), 0u);

    CL_Blob lying;
    lying += uint32(100);
    lying.Write("abc", 3);
    lying.Rewind();
    CL_Blob target;
    EXPECT_FALSE(target.Unflatten(lying));
    EXPECT_EQ(lying.Tell(), 4u);

    CL_Blob self;
    self.Flatten(self);
    EXPECT_EQ(self.GetSize(), 4u);
}

TEST(BlobFlatten, RefusesWholeAtSizeLimit) {
    // Address space only: the pages past the first few are never touched.
    CL_Blob big;
    big.SetSize(CL_Blob::kMaxSize - 10);
    ASSERT_EQ(big.GetSize(), CL_Blob::kMaxSize - 10);
    big.Seek(0, CL_SEEK_END);
    CL_Blob payload("sixteen bytes!!!");
    payload.Flatten(big);  // 20 bytes do not fit: neither count nor content
    EXPECT_EQ(big.GetSize(), CL_Blob::kMaxSize - 10);
    EXPECT_EQ(big.Tell(), CL_Blob::kMaxSize - 10);
    CL_Blob two("xy");
    two.Flatten(big);  // 6 bytes fit
    EXPECT_EQ(big.GetSize(), CL_Blob::kMaxSize - 4);
    EXPECT_EQ(big.Tell(), CL_Blob::kMaxSize - 4);
}

TEST(BlobCoding, Rfc4648Vectors) {
    const char* plain[] = {"", "f", "fo", "foo", "foob", "fooba", "foobar"};
    const char* b64[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
    const char* b16[] = {"", "66", "666F", "666F6F", "666F6F62", "666F6F6261", "666F6F626172"};
    for (int i = 0; i < 7; ++i) {
        CL_Blob b(plain[i]);
        EXPECT_EQ(b.Encode(CL_BLOB_CODING_BASE_64), b64[i]);
        EXPECT_EQ(b.Encode(CL_BLOB_CODING_BASE_16), b16[i]);
        CL_Blob d("junk");
        ASSERT_TRUE(d.Decode(b64[i], CL_BLOB_CODING_BASE_64)) << b64[i];
        EXPECT_EQ(Bytes(d), plain[i]);
        EXPECT_EQ(d.Tell(), 0u);
        ASSERT_TRUE(d.Decode(b16[i], CL_BLOB_CODING_BASE_16));
        EXPECT_EQ(Bytes(d), plain[i]);
    }
    CL_Blob lower;
    ASSERT_TRUE(lower.Decode("666f6F", CL_BLOB_CODING_BASE_16));
    EXPECT_EQ(Bytes(lower), "foo");
    CL_Blob multi;
    ASSERT_TRUE(multi.Decode("Zg==Zm8=", CL_BLOB_CODING_BASE_64));
    EXPECT_EQ(Bytes(multi), "ffo");
    EXPECT_EQ(CL_Blob("x").Encode(static_cast<CL_BLOB_Coding>(5)), "");
}

TEST(BlobCoding, RejectsMalformedInput) {
    CL_Blob b;
    EXPECT_FALSE(b.Decode("ABC", CL_BLOB_CODING_BASE_16));
    EXPECT_EQ(b.GetSize(), 0u);
    EXPECT_FALSE(b.Decode("0G", CL_BLOB_CODING_BASE_16));
    EXPECT_FALSE(b.Decode("Zg=A", CL_BLOB_CODING_BASE_64));
    EXPECT_FALSE(b.Decode("Z===", CL_BLOB_CODING_BASE_64));
    EXPECT_FALSE(b.Decode("Zg=", CL_BLOB_CODING_BASE_64));
    EXPECT_FALSE(b.Decode("Zm9v!A==", CL_BLOB_CODING_BASE_64));
    // Bytes whose low 7 bits are ASCII digits or letters must not alias them.
    EXPECT_FALSE(b.Decode("\xC1\xB0", CL_BLOB_CODING_BASE_16));
    EXPECT_FALSE(b.Decode("Zm9\xF6", CL_BLOB_CODING_BASE_64));
    EXPECT_FALSE(b.Decode("Zg\xBD\xBD", CL_BLOB_CODING_BASE_64));
    // An unknown coding is no success.
    EXPECT_FALSE(b.Decode("", static_cast<CL_BLOB_Coding>(9)));
    EXPECT_EQ(b.GetSize(), 0u);
}

TEST(BlobCoding, RoundTripsRandomBytes) {
    std::vector<uint8> data = RandomBytes(1000, 11);
    for (uint32 n : {0u, 1u, 2u, 3u, 17u, 1000u}) {
        CL_Blob src(data.data(), n);
        for (CL_BLOB_Coding c : {CL_BLOB_CODING_BASE_16, CL_BLOB_CODING_BASE_64}) {
            CL_Blob back;
            ASSERT_TRUE(back.Decode(src.Encode(c), c));
            EXPECT_TRUE(back == src);
        }
    }
}

TEST(BlobDump, PlainAndPretty) {
    CL_Blob b(std::string("0123456789ABCDEF%x\x01", 19));
    EXPECT_EQ(b.Dump(0, false), "0123456789ABCDEF.x.");
    EXPECT_EQ(b.Dump(3, false), "012");
    std::string expect =
        "{19}:\n"
        "30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46  0123456789ABCDEF\n"
        "25 78 01 " +
        std::string(41, ' ') + ".x.";
    EXPECT_EQ(b.Dump(0, true), expect);
    CL_Blob nine("abcdefghi");
    std::string line = "61 62 63 64 65 66 67 68  69 " + std::string(22, ' ') + "abcdefghi";
    EXPECT_EQ(nine.Dump(0, true), "{9}:\n" + line);
    EXPECT_EQ(line.size(), 50u + 9u);
}

TEST(BlobRandom, FillsFromPosition) {
    CL_Blob b("0123456789");
    b.Seek(4, CL_SEEK_SET);
    EXPECT_EQ(CL_GetRandomBytes(b, 3), 0);
    EXPECT_EQ(b.GetSize(), 7u);
    EXPECT_EQ(b.Tell(), 4u);
    EXPECT_EQ(Bytes(b).substr(0, 4), "0123");
}

// Out of memory (the address space capped in a child process): growth and
// un-sharing fail, leave the blobs as they were, and never abort.
TEST(BlobDeathTest, OutOfMemoryFailsTheOperationAndKeepsTheBlob) {
    if (!LUMO_CAN_CAP_ADDRESS_SPACE) GTEST_SKIP() << "no address-space cap under a sanitizer";
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            constexpr uint32 kBig = 64u << 20;
            CL_Blob original(kBig);
            CL_Blob shared(original);
            CL_Blob small("abc");
            if (!CapAddressSpace(16u << 20)) _exit(2);

            bool ok = original.GetSize() == kBig;
            // Un-sharing needs a second 64 MiB.
            ok = ok && shared.GetDataForWrite() == nullptr;
            ok = ok && shared.Write("x", 1) == 0;
            ok = ok && shared.GetSize() == kBig &&
                 shared.GetDataForRead() == original.GetDataForRead();
            // Growth past the cap.
            small.SetSize(256u << 20);
            ok = ok && small.GetSize() == 3;
            ok = ok && small.Write(original, kBig) == 0 && original.Tell() == 0;
            ok = ok && Bytes(small) == "abc";
            // Emptying a shared storage needs no copy.
            shared.Clear();
            ok = ok && shared.GetSize() == 0 && original.GetSize() == kBig;
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
