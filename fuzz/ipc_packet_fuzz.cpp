// Fuzz target for taking RPC packets apart. The input is read as a stream of chunks
// (32-byte header, then the payload bytes the header announces, or what is left) fed
// to the chunk-by-chunk decoder and to the whole-payload decoder, which must refuse
// what does not fit without crashing. The same bytes, sent as a payload through the
// sender pipeline, must come back whole through both decoders.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/ipc.h"
#include "support/handshake_flags.h"

namespace {

void ParseHostile(const uint8_t* data, size_t size, CL_Cipher* cipher, bool raw) {
    CL_PayloadDecoder decoder(cipher, raw);
    CL_PacketHeader first;
    CL_Blob gathered;
    bool haveFirst = false;
    size_t at = 0;
    while (at + sizeof(CL_PacketHeader) <= size) {
        CL_PacketHeader header;
        memcpy(&header, data + at, sizeof(header));
        at += sizeof(header);
        uint32 n = CL_ChunkPayloadSize(header);
        size_t available = size - at < n ? size - at : n;
        CL_Blob chunk(data + at, uint32(available), true);
        at += available;
        if (!haveFirst) {
            first = header;
            haveFirst = true;
        }
        gathered.Append(chunk);
        (void)CL_CheckPacketHeader(header);
        (void)CL_DecodeCompleteness(header.fPing.fCompleteness);
        (void)CL_GetPingMessage(chunk);
        CL_Status status = decoder.Add(header, chunk);
        if (status != 0) break;
        if (decoder.IsComplete()) {
            (void)CL_VerifyCheckSum(decoder.GetHeader(), decoder.GetResult());
            break;
        }
    }
    if (haveFirst) (void)CL_DecodePayload(first, gathered, cipher);
}

void RoundTrip(const uint8_t* data, size_t size, uint16 flags, CL_Cipher* cipher) {
    CL_Blob plain(data, uint32(size), true);
    CL_Blob payload = plain;
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, 7, 42, flags);
    CL_EncodePayload(&header, payload, flags, cipher, size & 1);
    CL_Blob wire;
    CL_BuildPacket(header, payload, &wire);

    CL_PayloadDecoder decoder(cipher, false);
    const uint8* p = wire.GetDataForRead();
    uint32 at = 0;
    while (at < wire.GetSize()) {
        CL_PacketHeader chunkHeader;
        memcpy(&chunkHeader, p + at, sizeof(chunkHeader));
        at += sizeof(chunkHeader);
        uint32 n = CL_ChunkPayloadSize(chunkHeader);
        CL_Blob chunk(p + at, n, true);
        at += n;
        if (decoder.Add(chunkHeader, chunk) != 0) abort();
    }
    if (!decoder.IsComplete() || !(decoder.GetResult() == plain)) abort();
    if (!CL_VerifyCheckSum(decoder.GetHeader(), decoder.GetResult())) abort();
    CL_Blob whole = payload;
    if (CL_DecodePayload(header, whole, cipher) != 0 || !(whole == plain)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (64u << 10)) return 0;
    // The first byte picks the cipher, compression and the AUTH-reply (raw) form.
    uint8_t mode = data[0];
    uint16 flags = uint16(kCipherFlags[mode & 3] | ((mode & 4) ? CL_IPC_COMPRESS : 0));
    std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(flags, 0x01020304u, 0x1122334455ull));
    ParseHostile(data + 1, size - 1, cipher.get(), (mode & 8) != 0);
    RoundTrip(data + 1, size - 1, flags, cipher.get());
    return 0;
}
