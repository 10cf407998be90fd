// Compressor: byte equality with Python's zlib.compress() at the default level,
// round trips, piecewise streams, and streams that are corrupt or cut short.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "lumo/blob.h"
#include "lumo/compress.h"
#include "lumo/digest.h"

namespace {

std::string Text() {
    std::string s;
    const char* letters = "abcdefghij";
    for (int i = 0; i < 5000; ++i)
        s += "line " + std::to_string(i) + " of the text: " + std::string(letters, i % 10) + "\n";
    return s;
}

std::string Hex(const CL_Blob& blob) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const uint8* p = blob.GetDataForRead();
    for (uint32 i = 0; i < blob.GetSize(); ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

std::string Noise(size_t n) {
    std::string s(n, '\0');
    uint32 x = 12345;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245 + 12345;
        s[i] = char(x >> 23);
    }
    return s;
}

TEST(Compress, MatchesPythonZlib) {
    CL_Blob empty;
    empty.Compress();
    EXPECT_EQ(Hex(empty), "789c030000000001");
    EXPECT_EQ(empty.Tell(), empty.GetSize());

    CL_Blob hello("hello hello hello hello");
    hello.Rewind();
    hello.Compress();
    EXPECT_EQ(Hex(hello), "789ccb48cdc9c957c8402701680308b1");

    std::string text = Text();
    ASSERT_EQ(text.size(), 141390u);
    CL_Blob blob(text);
    blob.Rewind();
    blob.Compress();
    EXPECT_EQ(blob.GetSize(), 13782u);
    EXPECT_EQ(blob.MD5(), "6B113609A8A850A1E07BA41EB1550303");
}

// zlib's own one-shot call at the default level is the same oracle for any input.
TEST(Compress, MatchesZlibOneShot) {
    for (size_t n : {1, 100, 5000, 70000}) {
        std::string data = Noise(n) + Text().substr(0, n);
        uLongf bound = compressBound(data.size());
        std::string expected(bound, '\0');
        ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(&expected[0]), &bound,
                            reinterpret_cast<const Bytef*>(data.data()), data.size(),
                            Z_DEFAULT_COMPRESSION),
                  Z_OK);
        expected.resize(bound);
        CL_Blob blob(data);
        blob.Rewind();
        blob.Compress();
        EXPECT_EQ(blob.Raw(), expected) << n;
    }
}

TEST(Compress, RoundTripAndPositions) {
    for (std::string data : {std::string(), std::string("x"), Text(), Noise(3000)}) {
        CL_Blob blob(data);
        blob.Rewind();
        blob.Compress();
        EXPECT_EQ(blob.Tell(), blob.GetSize());
        ASSERT_TRUE(blob.Uncompress(false));
        EXPECT_EQ(blob.Raw(), data);
        EXPECT_EQ(blob.Tell(), blob.GetSize());
    }
    // Only the bytes from the position on are compressed.
    CL_Blob blob("0123456789the rest");
    blob.Seek(10, CL_SEEK_SET);
    blob.Compress();
    ASSERT_TRUE(blob.Uncompress(false));
    EXPECT_EQ(blob.Raw(), "the rest");
}

TEST(Compress, CorruptAndShortStreamsFail) {
    CL_Blob junk("this is not a zlib stream");
    junk.Seek(4, CL_SEEK_SET);
    CL_Blob before = junk;
    EXPECT_FALSE(junk.Uncompress(false));
    EXPECT_EQ(junk.Raw(), before.Raw());
    EXPECT_EQ(junk.Tell(), 4u);

    // A stream cut short is not a success: the data would be incomplete.
    CL_Blob blob(Text());
    blob.Rewind();
    blob.Compress();
    std::string stream = blob.Raw();
    CL_Blob half(stream.substr(0, stream.size() / 2));
    EXPECT_FALSE(half.Uncompress(false));
    EXPECT_EQ(half.Raw(), stream.substr(0, stream.size() / 2));
    CL_Blob noTrailer(stream.substr(0, stream.size() - 1));
    EXPECT_FALSE(noTrailer.Uncompress(true));

    CL_Blob nothing;
    EXPECT_FALSE(nothing.Uncompress(false));

    // Streams left unfinished above leave nothing behind for the next blob.
    CL_Blob again(stream);
    ASSERT_TRUE(again.Uncompress(false));
    EXPECT_EQ(again.Raw(), Text());
    CL_Blob recompressed(Text());
    recompressed.Rewind();
    recompressed.Compress();
    EXPECT_EQ(recompressed.Raw(), stream);
}

TEST(Compress, PiecewiseStreams) {
    std::string text = Text();
    CL_Blob src(text);
    src.Rewind();
    CL_Blob dst;
    CL_Compressor compressor;
    // Three pieces of input, then the finishing call.
    EXPECT_EQ(compressor.Compress(src, dst, 50000), CL_Compressor::CL_COMPRESS_MORE);
    EXPECT_EQ(src.Tell(), 50000u);
    EXPECT_EQ(compressor.Compress(src, dst, 50000), CL_Compressor::CL_COMPRESS_MORE);
    EXPECT_EQ(compressor.Compress(src, dst, 0xFFFFFFFF), CL_Compressor::CL_COMPRESS_MORE);
    EXPECT_TRUE(src.EOB());
    // Even with the 0xFFFFFFFF maximum the call with nothing left ends the stream.
    EXPECT_EQ(compressor.Compress(src, dst, 0xFFFFFFFF), CL_Compressor::CL_COMPRESS_END);
    EXPECT_EQ(dst.Tell(), dst.GetSize());
    CL_Blob whole(text);
    whole.Rewind();
    whole.Compress();
    EXPECT_EQ(dst.Raw(), whole.Raw());

    // Inflate the stream in small chunks with trailing bytes after its end.
    std::string stream = dst.Raw() + "trailing";
    CL_Blob in(stream);
    in.Rewind();
    CL_Blob out;
    CL_Status status = CL_Compressor::CL_COMPRESS_MORE;
    int calls = 0;
    while (status == CL_Compressor::CL_COMPRESS_MORE && calls < 10000) {
        status = compressor.Uncompress(in, out, 100);
        ++calls;
    }
    EXPECT_EQ(status, CL_Compressor::CL_COMPRESS_END);
    EXPECT_EQ(out.Raw(), text);
    // The chunk that held the end moved the position past all its bytes.
    uint32 endChunk = (dst.GetSize() - 1) / 100 + 1;
    EXPECT_EQ(in.Tell(), std::min<uint32>(endChunk * 100, uint32(stream.size())));

    // After a reset the same object makes a new stream.
    compressor.Reset();
    CL_Blob again("hello hello hello hello");
    again.Rewind();
    CL_Blob packed;
    while (compressor.Compress(again, packed, 0x7FFFFFFF) == CL_Compressor::CL_COMPRESS_MORE) {
    }
    EXPECT_EQ(Hex(packed), "789ccb48cdc9c957c8402701680308b1");
}

// A piece whose output exactly fills the room given to it leaves zlib nothing to do on
// the next round: its buffer error there means "more input", not corruption.
TEST(Compress, PieceFillingTheOutputRoomExactly) {
    const std::string data = Noise(4000);
    std::string stream(compressBound(data.size()), '\0');
    uLongf size = stream.size();
    ASSERT_EQ(compress2(reinterpret_cast<Bytef*>(stream.data()), &size,
                        reinterpret_cast<const Bytef*>(data.data()), data.size(), 0),
              Z_OK);
    stream.resize(size);
    // Level 0 stores: 2 bytes of zlib header, one stored block of 5 header bytes, then
    // the data byte for byte.
    constexpr uint32 kHeader = 7;
    ASSERT_EQ(uint8(stream[3]) | uint8(stream[4]) << 8, 4000);

    CL_Blob out;
    out.SetCapacity(1500);
    const uint32 room = out.GetCapacity();
    ASSERT_GE(room, 1024u);
    ASSERT_LT(room, 4000u);
    CL_Blob in(stream);
    in.Rewind();
    CL_Compressor compressor;
    EXPECT_EQ(compressor.Uncompress(in, out, kHeader + room), CL_Compressor::CL_COMPRESS_MORE);
    EXPECT_EQ(out.GetSize(), room);
    EXPECT_EQ(in.Tell(), kHeader + room);
    EXPECT_EQ(compressor.Uncompress(in, out, 0xFFFFFFFF), CL_Compressor::CL_COMPRESS_END);
    EXPECT_EQ(out.Raw(), data);
}

TEST(Compress, UncompressReportsCorruptionAndKeepsPosition) {
    CL_Compressor compressor;
    CL_Blob in("\x78\x9c\xff\xff\xff\xff\xff\xff");
    in.Seek(0, CL_SEEK_SET);
    CL_Blob out;
    EXPECT_EQ(compressor.Uncompress(in, out, 0x7FFFFFFF), CL_Compressor::CL_COMPRESS_CORRUPT);
    EXPECT_EQ(in.Tell(), 0u);
    // Nothing left to read.
    CL_Compressor other;
    in.Seek(0, CL_SEEK_END);
    EXPECT_EQ(other.Uncompress(in, out, 0x7FFFFFFF), CL_Compressor::CL_COMPRESS_END);

    // Output that lands after existing content replaces what stood past the position.
    CL_Blob stream("hello");
    stream.Rewind();
    stream.Compress();
    stream.Rewind();
    CL_Blob dst("prefix-and-old-tail");
    dst.Seek(7, CL_SEEK_SET);
    CL_Compressor third;
    EXPECT_EQ(third.Uncompress(stream, dst, 0x7FFFFFFF), CL_Compressor::CL_COMPRESS_END);
    EXPECT_EQ(dst.Raw(), "prefix-hello");
    EXPECT_EQ(dst.Tell(), 12u);
}

// A stream made with a preset dictionary cannot be read without it: 400, src's
// position unchanged, and the blob keeps its bytes.
TEST(Compress, DictionaryStreamIsRefused) {
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, Z_DEFAULT_COMPRESSION), Z_OK);
    const char dict[] = "hello world";
    ASSERT_EQ(deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(dict), sizeof(dict) - 1),
              Z_OK);
    std::string text = "hello world, hello world";
    std::string packed(256, '\0');
    z.next_in = reinterpret_cast<Bytef*>(&text[0]);
    z.avail_in = uInt(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&packed[0]);
    z.avail_out = uInt(packed.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    packed.resize(z.total_out);
    deflateEnd(&z);

    CL_Blob src(packed);
    src.Seek(0, CL_SEEK_SET);
    CL_Blob dst;
    CL_Compressor compressor;
    EXPECT_EQ(compressor.Uncompress(src, dst, 0x7FFFFFFF), CL_Compressor::CL_COMPRESS_CORRUPT);
    EXPECT_EQ(src.Tell(), 0u);

    CL_Blob blob(packed);
    EXPECT_FALSE(blob.Uncompress(false));
    EXPECT_EQ(blob.Raw(), packed);
    EXPECT_EQ(blob.Tell(), packed.size());
}

}  // namespace

namespace {

// Output sizing: a destination the caller sized from what it knows is filled in place,
// and inputs of every ratio and chunking inflate whole however the rooms grow.
TEST(Compress, UncompressFillsACallerSizedDestinationInPlace) {
    std::string text = Text();
    CL_Blob packed(text);
    packed.Rewind();
    packed.Compress();
    packed.Rewind();
    CL_Blob out;
    out.SetCapacity(uint32(text.size()));
    const uint8* before = out.GetDataForRead();
    CL_Compressor compressor;
    EXPECT_EQ(compressor.Uncompress(packed, out, 0x7FFFFFFF), CL_Compressor::CL_COMPRESS_END);
    EXPECT_EQ(out.GetDataForRead(), before);
    EXPECT_EQ(out.Raw(), text);
}

struct InflateCase {
    const char* fName;
    size_t fRepeat;  // 0: incompressible noise
    size_t fSize;
    uint32 fChunk;
};

class InflateSizing : public ::testing::TestWithParam<InflateCase> {};

TEST_P(InflateSizing, ChunkedAndWholeInflateRestoreEveryByte) {
    const InflateCase& c = GetParam();
    std::string text = c.fRepeat == 0 ? Noise(c.fSize) : std::string();
    while (text.size() < c.fSize)
        text += std::string(c.fRepeat, char('a' + text.size() % 26));
    text.resize(c.fSize);
    CL_Blob packed(text);
    packed.Rewind();
    packed.Compress();
    packed.Rewind();
    CL_Compressor compressor;
    CL_Blob out;
    CL_Status status = CL_Compressor::CL_COMPRESS_MORE;
    while (status == CL_Compressor::CL_COMPRESS_MORE)
        status = compressor.Uncompress(packed, out, c.fChunk);
    EXPECT_EQ(status, CL_Compressor::CL_COMPRESS_END);
    EXPECT_EQ(out.Raw(), text);
    EXPECT_EQ(out.Tell(), out.GetSize());

    packed.Rewind();
    ASSERT_TRUE(packed.Uncompress(false));
    EXPECT_EQ(packed.Raw(), text);
}

INSTANTIATE_TEST_SUITE_P(Ratios, InflateSizing,
                         ::testing::Values(InflateCase{"empty", 1, 0, 0x7FFFFFFF},
                                           InflateCase{"tiny", 3, 10, 0x7FFFFFFF},
                                           InflateCase{"noise", 0, 300000, 0x7FFFFFFF},
                                           InflateCase{"noise_chunks", 0, 300000, 4096},
                                           InflateCase{"runs_1000_to_1", 5000, 2000000, 0x7FFFFFFF},
                                           InflateCase{"runs_chunks", 5000, 2000000, 7},
                                           InflateCase{"text", 9, 1000000, 65536}),
                         [](const auto& info) { return std::string(info.param.fName); });

}  // namespace
