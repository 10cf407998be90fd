// RPC packets: the header's byte layout, each packet type's fields, chunk framing at
// the chunk-size boundaries, the checksum -> compress -> cipher order and its reversal
// both chunk by chunk and whole, progress encoding, and hostile chunk sequences.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/thread.h"
#include "support/handshake_flags.h"
#include "support/loopback.h"
#include "support/packet_io.h"

namespace {

// Packed header fields are passed on by value: a reference to one may be misaligned.
template <class T>
T V(T value) {
    return value;
}

using Bytes = std::vector<uint8>;

CL_Blob Payload(uint32 size, uint32 seed = 1) {
    CL_Blob blob(size);
    uint8* p = blob.GetDataForWrite();
    uint32 x = seed;
    for (uint32 i = 0; i < size; i++) {
        // Mildly compressible: runs of a pseudo-random byte.
        if (i % 7 == 0) x = x * 1103515245u + 12345u;
        p[i] = uint8(x >> 16);
    }
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

Bytes BytesOf(const CL_Blob& blob) {
    const uint8* p = blob.GetDataForRead();
    return Bytes(p, p + blob.GetSize());
}

Bytes RawHeader(const CL_PacketHeader& h) {
    const uint8* p = reinterpret_cast<const uint8*>(&h);
    return Bytes(p, p + sizeof(h));
}

uint32 U32At(const Bytes& b, size_t at) {
    return uint32(b[at]) | uint32(b[at + 1]) << 8 | uint32(b[at + 2]) << 16 |
           uint32(b[at + 3]) << 24;
}

uint16 U16At(const Bytes& b, size_t at) {
    return uint16(b[at] | b[at + 1] << 8);
}

// Splits a wire image back into chunks (header, payload) as a receiver would.
struct Chunk {
    CL_PacketHeader fHeader;
    CL_Blob fPayload;
};

std::vector<Chunk> SplitWire(const CL_Blob& wire) {
    std::vector<Chunk> chunks;
    const uint8* p = wire.GetDataForRead();
    uint32 size = wire.GetSize();
    uint32 at = 0;
    while (at + 32 <= size) {
        Chunk c;
        memcpy(&c.fHeader, p + at, 32);
        at += 32;
        uint32 n = CL_ChunkPayloadSize(c.fHeader);
        EXPECT_LE(at + n, size);
        c.fPayload = CL_Blob(p + at, n, true);
        c.fPayload.Seek(0, CL_SEEK_SET);
        at += n;
        chunks.push_back(c);
    }
    EXPECT_EQ(at, size);
    return chunks;
}

TEST(PacketHeader, LayoutIsLittleEndianAndPacked) {
    CL_PacketHeader h;
    CL_InitPacketHeader(&h, CL_PACKET_TYPE_DATA, 0x1102, 0xA1B2C3D4);
    h.fSize = 0x01020304;
    h.fData.fCommand = 0x55667788;
    h.fData.fCheckSum = 0x99AABBCC;
    Bytes b = RawHeader(h);
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ((Bytes{b[0], b[1], b[2], b[3]}), (Bytes{0xB7, 0xF0, 0x9B, 0xF7}));
    EXPECT_EQ(U32At(b, 4), 0x00010002u);
    EXPECT_EQ(U16At(b, 8), 6);
    EXPECT_EQ(U16At(b, 10), 0x1102);
    EXPECT_EQ(U32At(b, 12), 0xA1B2C3D4u);
    EXPECT_EQ(U32At(b, 16), 0x01020304u);
    EXPECT_EQ(U32At(b, 20), 0x55667788u);
    EXPECT_EQ(U32At(b, 24), 0x99AABBCCu);
    EXPECT_EQ(U32At(b, 28), 0u);

    // The union's other views share offset 20.
    h.fServer.fID = 0x0807060504030201ull;
    b = RawHeader(h);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(b[20 + i], i + 1);
    h.fConnection.fID = 7;
    h.fConnection.fFlags = 0x104;
    b = RawHeader(h);
    EXPECT_EQ(U32At(b, 20), 7u);
    EXPECT_EQ(U32At(b, 24), 0x104u);
    EXPECT_EQ(V(h.fConnection.fError), 0x104u);
    h.fPing.fCompleteness = 0xBEEF;
    EXPECT_EQ(U16At(RawHeader(h), 20), 0xBEEF);
}

TEST(PacketHeader, RequestsCarryTheirFields) {
    CL_PacketHeader h;
    CL_MakeDiscoverRequest(&h);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_DISCOVER);
    EXPECT_EQ(V(h.fFlags), 0);
    EXPECT_EQ(V(h.fSequence), 0u);
    EXPECT_EQ(V(h.fSize), 0u);
    EXPECT_EQ(CL_CheckPacketHeader(h), 0);

    CL_MakeServerInfoRequest(&h, 3);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_SERVER_INFO);
    EXPECT_EQ(V(h.fFlags), CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(V(h.fSequence), 3u);
    EXPECT_EQ(V(h.fServer.fID), 0u);

    CL_MakeAuthRequest(&h, 4, CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_AUTH);
    EXPECT_EQ(V(h.fFlags), CL_IPC_FIRST_CHUNK);  // never a cipher or compression bit
    EXPECT_EQ(V(h.fConnection.fID), 0u);
    EXPECT_EQ(V(h.fConnection.fFlags), uint32(CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS));

    CL_MakeDataRequest(&h, 5, 1234, CL_IPC_TEA_CRYPTING | CL_IPC_COMPRESS);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_DATA);
    EXPECT_EQ(V(h.fFlags), CL_IPC_FIRST_CHUNK | CL_IPC_TEA_CRYPTING | CL_IPC_COMPRESS);
    EXPECT_EQ(V(h.fData.fCommand), 1234u);
    EXPECT_EQ(V(h.fData.fCheckSum), 0u);

    CL_MakeAbortRequest(&h, 5);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(V(h.fFlags), CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(V(h.fSequence), 5u);
    CL_MakeAbortAllRequest(&h);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_ABORT_ALL);
    EXPECT_EQ(V(h.fSequence), 0u);
    EXPECT_EQ(V(h.fFlags), CL_IPC_FIRST_CHUNK);

    h.fMagic = 0xF79BF0B6;
    EXPECT_EQ(CL_CheckPacketHeader(h), CL_PROTOCOL_NOT_SUPPORTED);
}

TEST(PacketHeader, RepliesStartFromTheRequest) {
    CL_PacketHeader request, reply;
    CL_MakeServerInfoRequest(&request, 9);
    request.fReserved[1] = 0x44;
    CL_MakeServerInfoReply(request, 0x1122334455667788ull, &reply);
    EXPECT_EQ(V(reply.fType), CL_PACKET_TYPE_SERVER_INFO);
    EXPECT_EQ(V(reply.fSequence), 9u);
    EXPECT_EQ(V(reply.fServer.fID), 0x1122334455667788ull);
    EXPECT_EQ(reply.fReserved[1], 0x44);  // request's bytes kept

    CL_MakeAuthRequest(&request, 10, CL_IPC_BLOWFISH_CRYPTING);
    CL_MakeAuthReply(request, CL_IPC_BLOWFISH_CRYPTING | CL_IPC_COMPRESS, 77, &reply);
    EXPECT_EQ(V(reply.fType), CL_PACKET_TYPE_AUTH);
    EXPECT_EQ(V(reply.fFlags), CL_IPC_BLOWFISH_CRYPTING | CL_IPC_COMPRESS | CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(V(reply.fConnection.fID), 77u);
    EXPECT_EQ(V(reply.fConnection.fFlags), uint32(CL_IPC_BLOWFISH_CRYPTING));  // request's

    CL_MakeNoAuthReply(request, 101, &reply);
    EXPECT_EQ(V(reply.fType), CL_PACKET_TYPE_NO_AUTH);
    EXPECT_EQ(V(reply.fConnection.fError), 101u);
    EXPECT_EQ(V(reply.fConnection.fID), 0u);

    CL_MakeDataRequest(&request, 11, 42, CL_IPC_AES_CRYPTING);
    request.fData.fCheckSum = 0xDEAD;
    CL_MakeReply(request, CL_PACKET_TYPE_DATA, CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS, &reply);
    EXPECT_EQ(V(reply.fFlags), CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS | CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(V(reply.fData.fCommand), 42u);
    EXPECT_EQ(V(reply.fSequence), 11u);
    request.fFlags |= CL_IPC_COMPRESS;
    CL_MakeReply(request, CL_PACKET_TYPE_FAILED, CL_IPC_AES_CRYPTING, &reply);
    EXPECT_EQ(V(reply.fType), CL_PACKET_TYPE_FAILED);
    EXPECT_EQ(V(reply.fFlags), CL_IPC_AES_CRYPTING | CL_IPC_FIRST_CHUNK);
    CL_MakeReply(request, CL_PACKET_TYPE_ABORT, CL_IPC_COMPRESS, &reply);
    EXPECT_EQ(V(reply.fType), CL_PACKET_TYPE_ABORT);
    EXPECT_EQ(V(reply.fFlags), CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(V(reply.fData.fCheckSum), 0u);
    EXPECT_EQ(V(reply.fSize), 0u);
    // An ABORT reply's empty payload passes the checksum test.
    EXPECT_TRUE(CL_VerifyCheckSum(reply, CL_Blob()));
}

struct ChunkCase {
    uint32 fSize;
    std::vector<uint32> fSizes;  // fSize of each chunk
};

TEST(Chunking, BoundariesAndFlags) {
    const ChunkCase cases[] = {
        {0, {0}},
        {1, {1}},
        {8159, {8159}},
        {8160, {8160}},
        {8161, {8161, 1}},
        {16320, {16320, 8160}},
        {16321, {16321, 8161, 1}},
        {3 * 8160 + 5, {3 * 8160 + 5, 2 * 8160 + 5, 8160 + 5, 5}},
    };
    for (const ChunkCase& c : cases) {
        SCOPED_TRACE(c.fSize);
        CL_PacketHeader h;
        CL_MakeDataRequest(&h, 21, 3, CL_IPC_COMPRESS);
        h.fData.fCheckSum = 0x12345678;
        CL_Blob payload = Payload(c.fSize);
        CL_Blob wire;
        CL_BuildPacket(h, payload, &wire);
        EXPECT_EQ(CL_ChunkCount(c.fSize), c.fSizes.size());
        EXPECT_EQ(wire.GetSize(), 32 * c.fSizes.size() + c.fSize);
        std::vector<Chunk> chunks = SplitWire(wire);
        ASSERT_EQ(chunks.size(), c.fSizes.size());
        Bytes joined;
        for (size_t i = 0; i < chunks.size(); i++) {
            const CL_PacketHeader& ch = chunks[i].fHeader;
            EXPECT_EQ(V(ch.fSize), c.fSizes[i]);
            EXPECT_EQ((ch.fFlags & CL_IPC_FIRST_CHUNK) != 0, i == 0);
            // The rest of the header is the same in every chunk.
            CL_PacketHeader a = ch, b = chunks[0].fHeader;
            a.fSize = b.fSize = 0;
            a.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
            b.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
            EXPECT_EQ(RawHeader(a), RawHeader(b));
            Bytes part = BytesOf(chunks[i].fPayload);
            EXPECT_LE(part.size(), CL_IPC_CHUNK_SIZE);
            joined.insert(joined.end(), part.begin(), part.end());
        }
        EXPECT_EQ(joined, BytesOf(payload));
    }
}

// Every type but PING and DISCOVER marks its first chunk, whichever builder writes
// it; a DISCOVER datagram goes out with flags 0.
TEST(Chunking, FirstChunkFlagByType) {
    for (uint32 type = CL_PACKET_TYPE_DISCOVER; type <= CL_PACKET_TYPE_USER_MESSAGE; type++) {
        SCOPED_TRACE(type);
        const bool marked = type != CL_PACKET_TYPE_PING && type != CL_PACKET_TYPE_DISCOVER;
        CL_PacketHeader h;
        CL_InitPacketHeader(&h, CL_PacketType(type), 0, 5);
        CL_Blob payload = Payload(marked ? CL_IPC_CHUNK_SIZE + 1 : 0);
        CL_Blob wire;
        CL_BuildPacket(h, payload, &wire);
        std::vector<Chunk> chunks = SplitWire(wire);
        ASSERT_EQ(chunks.size(), marked ? 2u : 1u);
        EXPECT_EQ(V(chunks[0].fHeader.fFlags), marked ? CL_IPC_FIRST_CHUNK : 0);
        if (marked) {
            EXPECT_EQ(V(chunks[1].fHeader.fFlags), 0);
        }
        CL_Blob one;
        CL_AppendChunk(h, payload, 0, &one);
        EXPECT_EQ(V(SplitWire(one)[0].fHeader.fFlags), marked ? CL_IPC_FIRST_CHUNK : 0);
    }
    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    CL_Blob wire;
    CL_BuildPacket(discover, CL_Blob(), &wire);
    Bytes expected = RawHeader(discover);
    EXPECT_EQ(BytesOf(wire), expected);
    EXPECT_EQ(Bytes(expected.begin() + 10, expected.begin() + 12), Bytes(2, 0));
}

TEST(Progress, CompletenessBothWays) {
    EXPECT_EQ(CL_EncodeCompleteness(100.0), 65534);
    EXPECT_EQ(CL_EncodeCompleteness(0.0), 0);
    EXPECT_EQ(CL_EncodeCompleteness(50.0), 32767);  // 32767.0 truncated
    EXPECT_EQ(CL_EncodeCompleteness(33.3), uint16(33.3 * 655.34));
    EXPECT_EQ(CL_EncodeCompleteness(-1.0), 65535);
    EXPECT_EQ(CL_EncodeCompleteness(-0.001), 65535);
    EXPECT_EQ(CL_EncodeCompleteness(std::nan("")), 65535);
    // Slightly above 100 must not wrap into "unknown".
    EXPECT_EQ(CL_EncodeCompleteness(100.5), 65534);
    EXPECT_DOUBLE_EQ(CL_DecodeCompleteness(65535), -1.0);
    EXPECT_DOUBLE_EQ(CL_DecodeCompleteness(65534), 100.0);
    EXPECT_DOUBLE_EQ(CL_DecodeCompleteness(0), 0.0);
    EXPECT_NEAR(CL_DecodeCompleteness(CL_EncodeCompleteness(42.0)), 42.0, 0.01);
}

TEST(Progress, PingPayloadAndFraming) {
    CL_PacketHeader h;
    CL_Blob payload;
    std::string message = "Elaborazione in corso";
    CL_MakePing(&h, &payload, 77, 12.5, &message);
    EXPECT_EQ(V(h.fType), CL_PACKET_TYPE_PING);
    EXPECT_EQ(V(h.fFlags), 0);
    EXPECT_EQ(V(h.fSequence), 77u);
    EXPECT_EQ(V(h.fSize), message.size() + 1);
    EXPECT_EQ(V(h.fPing.fCompleteness), uint16(12.5 * 655.34));
    Bytes raw = RawHeader(h);
    EXPECT_EQ(Bytes(raw.begin() + 22, raw.end()), Bytes(10, 0));
    EXPECT_EQ(CL_GetPingMessage(payload), message);
    CL_Blob wire;
    CL_BuildPacket(h, payload, &wire);
    std::vector<Chunk> chunks = SplitWire(wire);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(chunks[0].fHeader.fFlags & CL_IPC_FIRST_CHUNK, 0);

    // No message: no payload; a long one is cut to one chunk.
    CL_MakePing(&h, &payload, 1, -1, nullptr);
    EXPECT_EQ(V(h.fSize), 0u);
    EXPECT_EQ(payload.GetSize(), 0u);
    EXPECT_EQ(V(h.fPing.fCompleteness), 65535);
    std::string longText(20000, 'x');
    CL_MakePing(&h, &payload, 1, 100, &longText);
    EXPECT_EQ(V(h.fSize), 8160u);
    EXPECT_EQ(payload.GetSize(), 8160u);
    EXPECT_EQ(CL_GetPingMessage(payload), std::string(8159, 'x'));
    wire.Clear();
    CL_BuildPacket(h, payload, &wire);
    EXPECT_EQ(wire.GetSize(), 32u + 8160u);
    // A payload without its NUL still reads safely.
    EXPECT_EQ(CL_GetPingMessage(CL_Blob("abc", 3, true)), "abc");
}

TEST(ConnectionCipher, KeyAndChoice) {
    CL_Blob key;
    CL_MakeConnectionKey(0x04030201, 0x0C0B0A0908070605ull, &key);
    EXPECT_EQ(BytesOf(key), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    // TEA wins over Blowfish wins over AES.
    struct {
        uint16 fFlags;
        CL_Cipher* fReference;
    } cases[] = {
        {CL_IPC_TEA_CRYPTING | CL_IPC_AES_CRYPTING, new CL_TEACipher()},
        {CL_IPC_BLOWFISH_CRYPTING | CL_IPC_AES_CRYPTING, new CL_BlowfishCipher()},
        {CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS, new CL_AESCipher()},
    };
    for (auto& c : cases) {
        CL_Blob k;
        CL_MakeConnectionKey(9, 99, &k);
        c.fReference->SetKey(k);
        std::unique_ptr<CL_Cipher> made(CL_NewConnectionCipher(c.fFlags, 9, 99));
        CL_Blob a = Payload(100), b = Payload(100);
        made->Encrypt(a, 0xFFFFFFFF);
        c.fReference->Encrypt(b, 0xFFFFFFFF);
        EXPECT_EQ(BytesOf(a), BytesOf(b)) << c.fFlags;
        EXPECT_NE(BytesOf(a), BytesOf(Payload(100)));
        delete c.fReference;
    }
    std::unique_ptr<CL_Cipher> plain(CL_NewConnectionCipher(CL_IPC_COMPRESS, 9, 99));
    CL_Blob a = Payload(50);
    plain->Encrypt(a, 0xFFFFFFFF);
    EXPECT_EQ(BytesOf(a), BytesOf(Payload(50)));
}

class Pipeline : public ::testing::TestWithParam<std::tuple<uint16, bool>> {};

// Sends through the sender pipeline and the chunker, then takes it apart both ways:
// the client's chunk-by-chunk decoder and the server's whole-payload decoder.
TEST_P(Pipeline, RoundTripChunkByChunkAndWhole) {
    const uint16 cipherBit = std::get<0>(GetParam());
    const bool compress = std::get<1>(GetParam());
    const uint16 flags = uint16(cipherBit | (compress ? CL_IPC_COMPRESS : 0));
    std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(flags, 1234, 0xABCDEF0123ull));
    for (uint32 size : {0u, 1u, 7u, 13u, 8159u, 8160u, 8161u, 16325u, 40003u}) {
        SCOPED_TRACE(size);
        CL_Blob plain = Payload(size, size);
        CL_Blob sent = plain;  // shares bytes: the caller's copy must not change
        CL_PacketHeader h;
        CL_MakeDataRequest(&h, 8, 55, flags);
        CL_EncodePayload(&h, sent, flags, cipher.get(), false);
        EXPECT_EQ(BytesOf(plain), BytesOf(Payload(size, size)));
        EXPECT_EQ(V(h.fData.fCheckSum), plain.CheckSum());
        EXPECT_EQ((h.fFlags & CL_IPC_COMPRESS) != 0, compress);
        if (size == 0) {
            EXPECT_EQ(sent.GetSize(), 0u);
        }

        // Order check: undoing the cipher whole yields the zlib stream of the plain
        // payload (compression came before the cipher).
        if (compress && size > 0) {
            CL_Blob stream = sent;
            stream.Seek(0, CL_SEEK_SET);
            cipher->Decrypt(stream, 0xFFFFFFFF);
            ASSERT_TRUE(stream.Uncompress(false));
            EXPECT_EQ(BytesOf(stream), BytesOf(plain));
        }

        CL_Blob wire;
        CL_BuildPacket(h, sent, &wire);
        std::vector<Chunk> chunks = SplitWire(wire);
        CL_PayloadDecoder decoder(cipher.get(), false);
        for (Chunk& c : chunks) {
            EXPECT_FALSE(decoder.IsComplete());
            ASSERT_EQ(decoder.Add(c.fHeader, c.fPayload), 0);
        }
        EXPECT_TRUE(decoder.IsComplete());
        EXPECT_EQ(decoder.GetTotalSize(), sent.GetSize());
        EXPECT_EQ(BytesOf(decoder.GetResult()), BytesOf(plain));
        EXPECT_TRUE(CL_VerifyCheckSum(decoder.GetHeader(), decoder.GetResult()));

        CL_Blob gathered = sent;
        EXPECT_EQ(CL_DecodePayload(h, gathered, cipher.get()), 0);
        EXPECT_EQ(BytesOf(gathered), BytesOf(plain));
    }
}

INSTANTIATE_TEST_SUITE_P(AllCiphers, Pipeline,
                         ::testing::Combine(::testing::ValuesIn(kCipherFlags), ::testing::Bool()));

TEST(PayloadDecoding, ServerCompressesEmptyRepliesAndBothFormsAreRead) {
    std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(CL_IPC_AES_CRYPTING, 1, 2));
    CL_PacketHeader request, reply;
    CL_MakeDataRequest(&request, 3, 4, CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS);
    CL_MakeReply(request, CL_PACKET_TYPE_DATA, CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS, &reply);
    CL_Blob empty;
    CL_EncodePayload(&reply, empty, CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS, cipher.get(), true);
    EXPECT_GT(empty.GetSize(), 0u);  // a short zlib stream of no data
    EXPECT_EQ(V(reply.fData.fCheckSum), 0u);
    CL_Blob wire;
    CL_BuildPacket(reply, empty, &wire);
    CL_PayloadDecoder decoder(cipher.get(), false);
    for (Chunk& c : SplitWire(wire))
        ASSERT_EQ(decoder.Add(c.fHeader, c.fPayload), 0);
    EXPECT_EQ(decoder.GetResult().GetSize(), 0u);
    CL_Blob whole = empty;
    EXPECT_EQ(CL_DecodePayload(reply, whole, cipher.get()), 0);
    EXPECT_EQ(whole.GetSize(), 0u);

    // The client's form: flag set, nothing sent.
    CL_Blob none;
    CL_EncodePayload(&request, none, CL_IPC_COMPRESS, cipher.get(), false);
    EXPECT_EQ(none.GetSize(), 0u);
    EXPECT_EQ(CL_DecodePayload(request, none, cipher.get()), 0);
}

TEST(PayloadDecoding, CorruptionIsRefused) {
    std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(CL_IPC_TEA_CRYPTING, 5, 6));
    for (bool compress : {false, true}) {
        SCOPED_TRACE(compress);
        uint16 flags = uint16(CL_IPC_TEA_CRYPTING | (compress ? CL_IPC_COMPRESS : 0));
        CL_Blob payload = Payload(20000);
        CL_PacketHeader h;
        CL_MakeDataRequest(&h, 1, 1, flags);
        CL_EncodePayload(&h, payload, flags, cipher.get(), false);
        CL_Blob damaged = payload;
        damaged.GetDataForWrite()[payload.GetSize() / 2] ^= 0x40;
        EXPECT_EQ(CL_DecodePayload(h, damaged, cipher.get()), CL_IPC_BAD_REPLY);

        // Chunk by chunk: either the stream breaks or the checksum does.
        CL_Blob wire;
        CL_BuildPacket(h, payload, &wire);
        std::vector<Chunk> chunks = SplitWire(wire);
        chunks.back().fPayload.GetDataForWrite()[chunks.back().fPayload.GetSize() / 2] ^= 0x40;
        CL_PayloadDecoder decoder(cipher.get(), false);
        CL_Status status = 0;
        for (Chunk& c : chunks)
            if (status == 0) status = decoder.Add(c.fHeader, c.fPayload);
        EXPECT_TRUE(status == CL_IPC_BAD_REPLY ||
                    !CL_VerifyCheckSum(decoder.GetHeader(), decoder.GetResult()));
    }
}

TEST(PayloadDecoding, ChunkSequenceFromTheWireIsChecked) {
    CL_PacketHeader h;
    CL_MakeDataRequest(&h, 1, 1, 0);
    CL_Blob payload = Payload(20000);
    CL_EncodePayload(&h, payload, 0, nullptr, false);
    CL_Blob wire;
    CL_BuildPacket(h, payload, &wire);
    std::vector<Chunk> chunks = SplitWire(wire);
    ASSERT_EQ(chunks.size(), 3u);

    {  // A continuation with no first chunk.
        CL_PayloadDecoder d(nullptr, false);
        EXPECT_EQ(d.Add(chunks[1].fHeader, chunks[1].fPayload), CL_IPC_BAD_REPLY);
    }
    {  // A chunk whose fSize does not continue the packet.
        CL_PayloadDecoder d(nullptr, false);
        ASSERT_EQ(d.Add(chunks[0].fHeader, chunks[0].fPayload), 0);
        EXPECT_EQ(d.Add(chunks[2].fHeader, chunks[2].fPayload), CL_IPC_BAD_REPLY);
    }
    {  // Payload length that does not match the header.
        CL_PayloadDecoder d(nullptr, false);
        CL_Blob shortChunk(chunks[0].fPayload.GetDataForRead(), 100, true);
        EXPECT_EQ(d.Add(chunks[0].fHeader, shortChunk), CL_IPC_BAD_REPLY);
    }
    {  // A continuation of another request (its sequence number) or of another type.
        CL_PacketHeader otherSequence = chunks[1].fHeader;
        otherSequence.fSequence++;
        CL_PacketHeader otherType = chunks[1].fHeader;
        otherType.fType++;
        for (const CL_PacketHeader& wrong : {otherSequence, otherType}) {
            CL_PayloadDecoder d(nullptr, false);
            ASSERT_EQ(d.Add(chunks[0].fHeader, chunks[0].fPayload), 0);
            EXPECT_EQ(d.Add(wrong, chunks[1].fPayload), CL_IPC_BAD_REPLY);
        }
    }
    {  // A second first chunk, or more after completion.
        CL_PayloadDecoder d(nullptr, false);
        ASSERT_EQ(d.Add(chunks[0].fHeader, chunks[0].fPayload), 0);
        EXPECT_EQ(d.Add(chunks[0].fHeader, chunks[0].fPayload), CL_IPC_BAD_REPLY);
    }
    {  // A first chunk announcing more than a blob can hold, uncompressed.
        CL_PayloadDecoder d(nullptr, false);
        CL_PacketHeader huge = chunks[0].fHeader;
        huge.fSize = 0xFFFFFFF0u;
        EXPECT_EQ(d.Add(huge, chunks[0].fPayload), CL_IPC_BAD_REPLY);
    }
    {  // The AUTH reply form keeps the bytes as they came.
        std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(CL_IPC_AES_CRYPTING, 1, 1));
        CL_PayloadDecoder d(cipher.get(), true);
        for (Chunk& c : chunks)
            ASSERT_EQ(d.Add(c.fHeader, c.fPayload), 0);
        EXPECT_EQ(BytesOf(d.GetResult()), BytesOf(payload));
    }
}

// Packets over a loopback connection, written chunk by chunk and read back.
TEST(PacketSocket, WriteAndReadChunks) {
    SocketPair pair;
    ASSERT_EQ(pair.fError, "");
    CL_Socket& client = pair.fClient;
    CL_Socket* server = pair.fServer.get();

    std::unique_ptr<CL_Cipher> cipher(
        CL_NewConnectionCipher(CL_IPC_BLOWFISH_CRYPTING | CL_IPC_COMPRESS, 3, 4));
    const uint16 flags = CL_IPC_BLOWFISH_CRYPTING | CL_IPC_COMPRESS;
    CL_Blob plain = Payload(50000);
    CL_Blob sent = plain;
    CL_PacketHeader h;
    CL_MakeDataRequest(&h, 17, 9, flags);
    CL_EncodePayload(&h, sent, flags, cipher.get(), false);
    ASSERT_EQ(CL_WritePacket(client, h, sent, 2000), 0);

    CL_PayloadDecoder decoder(cipher.get(), false);
    while (!decoder.IsComplete()) {
        CL_PacketHeader chunkHeader;
        CL_Blob chunk;
        ASSERT_EQ(CL_ReadChunk(*server, &chunkHeader, &chunk, 2000), 0);
        ASSERT_EQ(decoder.Add(chunkHeader, chunk), 0);
    }
    EXPECT_EQ(BytesOf(decoder.GetResult()), BytesOf(plain));
    EXPECT_EQ(V(decoder.GetHeader().fData.fCommand), 9u);

    // The socket writer puts on the wire exactly what the packet builder makes: a
    // multi-chunk packet, and a PING and a DISCOVER that never carry the first-chunk flag.
    CL_PacketHeader ping;
    CL_Blob pingPayload;
    std::string message = "Indicizzazione";
    CL_MakePing(&ping, &pingPayload, 17, 40.0, &message);
    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    for (auto* packet : {&h, &ping, &discover}) {
        const CL_Blob& body = packet == &h ? sent : packet == &ping ? pingPayload : CL_Blob();
        CL_Blob expected;
        CL_BuildPacket(*packet, body, &expected);
        ASSERT_EQ(CL_WritePacket(client, *packet, body, 2000), 0);
        CL_Blob raw;
        ASSERT_EQ(server->Read(raw, expected.GetSize(), 2000), expected.GetSize());
        EXPECT_EQ(BytesOf(raw), BytesOf(expected));
    }

    // A header with a wrong magic is refused with 101.
    CL_PacketHeader bad;
    CL_MakeAbortAllRequest(&bad);
    bad.fMagic = 1;
    ASSERT_EQ(CL_WritePacket(client, bad, CL_Blob(), 2000), 0);
    CL_PacketHeader got;
    CL_Blob chunk;
    EXPECT_EQ(CL_ReadChunk(*server, &got, &chunk, 2000), CL_PROTOCOL_NOT_SUPPORTED);
    // Nothing more arrives: time-out.
    EXPECT_EQ(CL_ReadChunk(*server, &got, &chunk, 50), CL_TIMEOUT);
}

// The chunk reader cuts a byte stream into chunks however the bytes arrive: one at a
// time, several chunks in one read, and with max 0 never past the current chunk.
TEST(PacketSocket, ChunkReaderFramesTrickledAndBatchedBytes) {
    SocketPair pair;
    ASSERT_EQ(pair.fError, "");
    CL_Socket& client = pair.fClient;
    CL_Socket* server = pair.fServer.get();

    CL_PacketHeader h;
    CL_MakeDataRequest(&h, 5, 1002, 0);
    CL_Blob payload = Payload(CL_IPC_CHUNK_SIZE + 100);
    CL_Blob wire;
    CL_BuildPacket(h, payload, &wire);
    const uint8* bytes = wire.GetDataForRead();

    CL_ChunkReader reader(true);
    CL_PacketHeader got;
    const uint8* data = nullptr;
    uint32 size = 0;
    EXPECT_EQ(reader.Read(*server, 0), CL_TIMEOUT);
    // The first chunk trickles in byte by byte; the reader asks for no more than it lacks.
    uint32 first = 32 + CL_IPC_CHUNK_SIZE;
    for (uint32 i = 0; i < first; i += 997) {
        uint32 n = std::min<uint32>(997, first - i);
        ASSERT_EQ(client.Write(bytes + i, n, 2000), n);
        EXPECT_EQ(reader.Next(&got, &data, &size), CL_WOULD_BLOCK);
        CL_Thread::Sleep(i == 0 ? 20 : 0);
        while (reader.GetMissing() > 0 && reader.Read(*server, 0) == CL_OK) {
        }
    }
    // The second chunk is already queued too, but max 0 reads only the first.
    ASSERT_EQ(client.Write(bytes + first, wire.GetSize() - first, 2000), wire.GetSize() - first);
    CL_Thread::Sleep(20);
    ASSERT_EQ(reader.Read(*server, 0), CL_OK);
    EXPECT_EQ(reader.GetHeld(), first);
    ASSERT_EQ(reader.Next(&got, &data, &size), CL_OK);
    EXPECT_EQ(size, CL_IPC_CHUNK_SIZE);
    EXPECT_EQ(V(got.fFlags) & CL_IPC_FIRST_CHUNK, CL_IPC_FIRST_CHUNK);
    EXPECT_EQ(Bytes(data, data + size), Bytes(payload.GetDataForRead(),
                                              payload.GetDataForRead() + CL_IPC_CHUNK_SIZE));
    EXPECT_EQ(reader.GetHeld(), 0u);
    ASSERT_EQ(reader.Read(*server, 0), CL_OK);
    ASSERT_EQ(reader.Read(*server, 0), CL_OK);
    ASSERT_EQ(reader.Next(&got, &data, &size), CL_OK);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(V(got.fSize), 100u);

    // A batch read takes several whole chunks at once.
    CL_Blob two;
    CL_BuildPacket(h, payload, &two);
    CL_BuildPacket(h, payload, &two);
    two.Seek(0, CL_SEEK_SET);
    ASSERT_EQ(client.Write(two, two.GetSize(), 2000), two.GetSize());
    CL_Thread::Sleep(20);
    uint32 chunks = 0;
    for (int round = 0; round < 50 && chunks < 4; round++) {
        reader.Read(*server, 4 * (32 + CL_IPC_CHUNK_SIZE));
        while (reader.Next(&got, &data, &size) == CL_OK) chunks++;
    }
    EXPECT_EQ(chunks, 4u);

    // Headers a server refuses: the bad one stays, and the header is handed back.
    struct {
        void (*spoil)(CL_PacketHeader*);
        CL_Status status;
    } cases[] = {
        {[](CL_PacketHeader* x) { x->fMagic = 7; }, CL_IPC_BAD_REQUEST},
        {[](CL_PacketHeader* x) { x->fVersion = CL_IPC_VERSION + 1; }, CL_PROTOCOL_NOT_SUPPORTED},
        {[](CL_PacketHeader* x) { x->fSize = CL_Blob::kMaxSize + 1; }, CL_IPC_BAD_REQUEST},
    };
    for (auto& c : cases) {
        CL_ChunkReader strict(true);
        CL_PacketHeader bad;
        CL_MakeDataRequest(&bad, 9, 1, 0);
        c.spoil(&bad);
        ASSERT_EQ(client.Write(&bad, 32, 2000), 32u);
        CL_Thread::Sleep(20);
        ASSERT_EQ(strict.Read(*server, 0), CL_OK);
        EXPECT_EQ(strict.Next(&got, &data, &size), c.status);
        EXPECT_EQ(V(got.fSequence), 9u);
        EXPECT_EQ(strict.Next(&got, &data, &size), c.status);
    }
    // A client checks the magic only: a version above its own passes.
    CL_ChunkReader lenient(false);
    CL_PacketHeader newer;
    CL_MakeReply(h, CL_PACKET_TYPE_DATA, 0, &newer);
    newer.fVersion = CL_IPC_VERSION + 1;
    ASSERT_EQ(client.Write(&newer, 32, 2000), 32u);
    CL_Thread::Sleep(20);
    ASSERT_EQ(lenient.Read(*server, 64), CL_OK);
    EXPECT_EQ(lenient.Next(&got, &data, &size), CL_OK);
    EXPECT_EQ(size, 0u);

    // The peer's close reaches the reader as the socket's status.
    client.Close();
    CL_Thread::Sleep(20);
    EXPECT_NE(lenient.Read(*server, 64), CL_OK);
}

TEST(PacketHeader, ArgumentsCopyIsBytesTwentyOnward) {
    CL_PacketHeader from;
    CL_MakeDataRequest(&from, 1, 0x11223344, 0);
    from.fData.fCheckSum = 0x55667788;
    memset(from.fReserved, 0xAB, sizeof(from.fReserved));
    CL_PacketHeader to;
    CL_MakeAbortRequest(&to, 2);
    CL_CopyPacketArguments(from, &to);
    Bytes a = RawHeader(from), b = RawHeader(to);
    EXPECT_EQ(Bytes(a.begin() + 20, a.end()), Bytes(b.begin() + 20, b.end()));
    EXPECT_EQ(V(to.fType), uint16(CL_PACKET_TYPE_ABORT));
    EXPECT_EQ(V(to.fSequence), 2u);
}

}  // namespace
