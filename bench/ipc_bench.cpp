// Building and taking apart DATA packets of 100 B, 8 KiB and 1 MiB, plain, compressed
// and with each connection cipher: the sender pipeline plus chunking, and the
// chunk-by-chunk receiver, in bytes of plain payload per second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/ipc.h"

namespace {

CL_Blob Payload(uint32 size) {
    // Text-like bytes, so that compression has something to do.
    static const char kWords[] = "conto cliente fattura magazzino articolo quantita prezzo ";
    CL_Blob blob(size);
    uint8* p = blob.GetDataForWrite();
    uint32 x = 7;
    for (uint32 i = 0; i < size; i++) {
        x = x * 1103515245u + 12345u;
        p[i] =
            (x >> 28) == 0 ? uint8('0' + (x >> 20) % 10) : uint8(kWords[i % (sizeof(kWords) - 1)]);
    }
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

uint16 FlagsOf(int64 mode) {
    static const uint16 kCipher[] = {0, CL_IPC_TEA_CRYPTING, CL_IPC_BLOWFISH_CRYPTING,
                                     CL_IPC_AES_CRYPTING};
    return uint16(kCipher[mode & 3] | ((mode & 4) ? CL_IPC_COMPRESS : 0));
}

void Label(benchmark::State& state) {
    static const char* kCipher[] = {"plain", "tea", "blowfish", "aes"};
    std::string label = kCipher[state.range(1) & 3];
    if (state.range(1) & 4) label += "+zlib";
    state.SetLabel(label);
}

void BM_BuildData(benchmark::State& state) {
    const uint32 size = uint32(state.range(0));
    const uint16 flags = FlagsOf(state.range(1));
    std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(flags, 1, 2));
    CL_Blob plain = Payload(size);
    CL_Blob wire;
    for (auto _ : state) {
        CL_Blob payload = plain;
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, 1, 100, flags);
        CL_EncodePayload(&header, payload, flags, cipher.get(), false);
        wire.Clear();
        CL_BuildPacket(header, payload, &wire);
        benchmark::DoNotOptimize(wire.GetDataForRead());
    }
    state.SetBytesProcessed(int64(state.iterations()) * size);
    Label(state);
}

void BM_ParseData(benchmark::State& state) {
    const uint32 size = uint32(state.range(0));
    const uint16 flags = FlagsOf(state.range(1));
    std::unique_ptr<CL_Cipher> cipher(CL_NewConnectionCipher(flags, 1, 2));
    CL_Blob payload = Payload(size);
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, 1, 100, flags);
    CL_EncodePayload(&header, payload, flags, cipher.get(), false);
    CL_Blob wire;
    CL_BuildPacket(header, payload, &wire);
    // Pre-split chunks, as a receiver holds them after reading the socket.
    std::vector<std::pair<CL_PacketHeader, CL_Blob>> chunks;
    const uint8* p = wire.GetDataForRead();
    for (uint32 at = 0; at < wire.GetSize();) {
        CL_PacketHeader h;
        memcpy(&h, p + at, 32);
        uint32 n = CL_ChunkPayloadSize(h);
        chunks.emplace_back(h, CL_Blob(p + at + 32, n, true));
        at += 32 + n;
    }
    for (auto _ : state) {
        CL_PayloadDecoder decoder(cipher.get(), false);
        for (auto& c : chunks) {
            CL_Blob chunk(c.second.GetDataForRead(), c.second.GetSize(), true);
            decoder.Add(c.first, chunk);
        }
        if (!CL_VerifyCheckSum(decoder.GetHeader(), decoder.GetResult()))
            state.SkipWithError("checksum");
    }
    state.SetBytesProcessed(int64(state.iterations()) * size);
    Label(state);
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64 size : {100, 8 << 10, 1 << 20})
        for (int64 mode = 0; mode < 8; mode++)
            b->Args({size, mode});
}

BENCHMARK(BM_BuildData)->Apply(Sizes);
BENCHMARK(BM_ParseData)->Apply(Sizes);

}  // namespace
