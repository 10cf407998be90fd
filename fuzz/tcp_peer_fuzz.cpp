// A stateful peer against running server ends: the fuzz input is a script of peer
// actions (connect, handshake, a header with chosen fields, payload bytes, pauses around
// the server's short time-out, reads, cancels, compressed and bomb payloads, half-close)
// run over loopback inside a private network. Every so often a well-behaved client
// checks that the server still answers: a server that stops serving fails the target.
//
// Script: the first byte picks the server; then each action is one byte (its kind)
// followed by the bytes it reads as arguments; a missing argument reads as zero.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "support/loopback.h"
#include "support/private_network.h"

namespace {

// The servers' time-out: pauses of the script reach past it.
constexpr uint32 kServerTimeOut = 40;
constexpr uint16 kFlags[2] = {0, CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING};
constexpr int kServers = 2;
CL_TCPServer* sServers[kServers];
uint16 sPorts[kServers];
// Actions per input, and the milliseconds of pauses an input may take in all.
constexpr int kMaxActions = 48;
constexpr int kMaxPauseMs = 80;
constexpr uint32 kLivenessEvery = 200;

CL_Status Echo(CL_Command command, CL_Blob& input, CL_Blob& output, CL_ClientContext* context,
               uint32 id) {
    context->SetProgress(id, 50.0, "fuzz");
    if (command == 2) CL_Thread::Sleep(20);  // long enough for a cancel to meet it
    output = input;
    return command % 5 == 4 ? CL_Status(4242) : CL_OK;
}

CL_Status Connect(CL_ClientContext*, void* table) {
    return static_cast<CLU_Table*>(table)->GetString("password") == "no" ? CL_Status(3001) : CL_OK;
}

// The script, read byte by byte.
struct Script {
    const uint8_t* fData;
    size_t fSize;
    size_t fAt = 0;
    bool Done() const { return fAt >= fSize; }
    uint8_t Byte() { return fAt < fSize ? fData[fAt++] : 0; }
    uint16_t Word() { return uint16_t(Byte() | (Byte() << 8)); }
    uint32_t Long() { return uint32_t(Word() | (uint32_t(Word()) << 16)); }
};

// One connection of the peer and what its handshake set up.
struct Peer {
    int fFD = -1;
    uint32_t fSequence = 1;
    uint64 fServerID = 0;
    uint16 fGranted = 0;
    std::unique_ptr<CL_Cipher> fCipher{new CL_Cipher()};
    uint16 fPort = 0;

    ~Peer() { Close(); }
    void Close() {
        if (fFD >= 0) close(fFD);
        fFD = -1;
        fGranted = 0;
        fCipher.reset(new CL_Cipher());
    }
    bool Open() {
        Close();
        fFD = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = LoopbackAddress(fPort);
        if (connect(fFD, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            Close();
            return false;
        }
        timeval wait = {0, 50000};
        setsockopt(fFD, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof(wait));
        return true;
    }
    bool Write(const void* data, size_t size) {
        const char* at = static_cast<const char*>(data);
        while (fFD >= 0 && size > 0) {
            ssize_t n = send(fFD, at, size, MSG_NOSIGNAL);
            if (n <= 0) return false;
            at += n;
            size -= size_t(n);
        }
        return fFD >= 0;
    }
    bool Write(const CL_PacketHeader& header, const CL_Blob& payload) {
        CL_Blob wire;
        CL_BuildPacket(header, payload, &wire);
        return Write(wire.GetDataForRead(), wire.GetSize());
    }
    // Reads whatever comes for up to `ms`; false once the server closed.
    bool Drain(int ms) {
        char buffer[65536];
        for (;;) {
            pollfd p = {fFD, POLLIN, 0};
            if (fFD < 0 || poll(&p, 1, ms) <= 0) return fFD >= 0;
            ssize_t n = recv(fFD, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n == 0) return false;
            if (n < 0) return true;
            ms = 0;
        }
    }
    // Reads one whole chunk header and its payload within `ms`, skipping PINGs.
    bool ReadPacket(CL_PacketHeader* header, int ms) {
        uint32 start = CL_GetTime();
        for (;;) {
            if (!ReadExactly(header, sizeof(*header), start, ms)) return false;
            CL_Blob payload;
            payload.SetSize(CL_ChunkPayloadSize(*header));
            if (payload.GetSize() &&
                !ReadExactly(payload.GetDataForWrite(), payload.GetSize(), start, ms))
                return false;
            if (header->fType != CL_PACKET_TYPE_PING) return true;
        }
    }
    bool ReadExactly(void* data, size_t size, uint32 start, int ms) {
        char* at = static_cast<char*>(data);
        while (size > 0) {
            int left = ms - int(CL_GetTime() - start);
            pollfd p = {fFD, POLLIN, 0};
            if (fFD < 0 || left <= 0 || poll(&p, 1, left) <= 0) return false;
            ssize_t n = recv(fFD, at, size, 0);
            if (n <= 0) return false;
            at += n;
            size -= size_t(n);
        }
        return true;
    }
    // SERVER_INFO and AUTH; with `wait` the replies are read and the cipher set up.
    bool Handshake(uint16 flags, bool refuse, bool wait, int ms) {
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, fSequence++);
        if (!Write(header, CL_Blob())) return false;
        if (wait) {
            if (!ReadPacket(&header, ms)) return false;
            fServerID = header.fServer.fID;
        }
        CL_Blob table;
        CLU_Table()
            .Set("host", std::string("fuzz"))
            .Set("password", std::string(refuse ? "no" : "yes"))
            .Flatten(table);
        CL_MakeAuthRequest(&header, fSequence++, flags);
        if (!Write(header, table)) return false;
        if (!wait) return true;
        if (!ReadPacket(&header, ms) || header.fType != CL_PACKET_TYPE_AUTH) return false;
        fGranted = header.fFlags & uint16(~CL_IPC_FIRST_CHUNK);
        fCipher.reset(CL_NewConnectionCipher(fGranted, header.fConnection.fID, fServerID));
        return true;
    }
    // A DATA request as a client sends it, with a compressed payload when asked.
    bool Request(CL_Command command, CL_Blob plain, bool compress) {
        CL_PacketHeader header;
        uint16 flags = compress ? uint16(fGranted | CL_IPC_COMPRESS) : fGranted;
        CL_MakeDataRequest(&header, fSequence++, command, flags);
        CL_EncodePayload(&header, plain, flags, fCipher.get(), false);
        return Write(header, plain);
    }
};

// Fails the target when a fresh, well-behaved client is not served within seconds.
void CheckServerAnswers(int server) {
    Peer peer;
    peer.fPort = sPorts[server];
    CL_PacketHeader reply;
    bool served = peer.Open() && peer.Handshake(0, false, true, 5000) &&
                  peer.Request(1, CL_Blob("alive", 5, true), false) &&
                  peer.ReadPacket(&reply, 5000) && reply.fType == CL_PACKET_TYPE_DATA;
    if (!served) {
        fprintf(stderr, "server %d no longer serves a well-behaved client\n", server);
        abort();
    }
}

// A header whose fields the script chooses, without payload of its own.
bool SendChosenHeader(Peer& peer, Script& s) {
    CL_PacketHeader header;
    CL_InitPacketHeader(&header, CL_PacketType(s.Byte() % 12), s.Word(), s.Byte() % 8 + 1);
    uint8_t size = s.Byte();
    header.fSize = size < 200 ? size * 64u : s.Long();
    header.fData.fCommand = s.Byte();
    header.fData.fCheckSum = s.Long();
    if (s.Byte() & 1) header.fVersion = s.Long();
    return peer.Write(&header, sizeof(header));
}

// A pause of the script, some of them past the servers' time-out, within the budget
// of an input.
void Pause(uint8_t which, int* pausedMs) {
    static const int kPauses[4] = {1, 10, 25, int(kServerTimeOut) + 20};
    int ms = kPauses[which % 4];
    if (*pausedMs + ms > kMaxPauseMs) return;
    *pausedMs += ms;
    usleep(useconds_t(ms) * 1000);
}

// A first chunk that announces more than it brings, then nothing more of it.
bool SendShortChunk(Peer& peer, Script& s) {
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, peer.fSequence++, 1, peer.fGranted);
    header.fSize = 100 + s.Byte();
    char part[64] = {0};
    return peer.Write(&header, sizeof(header)) && peer.Write(part, s.Byte() % 64);
}

// ABORT of one of the last requests, or ABORT_ALL.
bool SendCancel(Peer& peer, Script& s) {
    CL_PacketHeader header;
    if (s.Byte() & 1)
        CL_MakeAbortAllRequest(&header);
    else
        CL_MakeAbortRequest(&header, peer.fSequence - 1 - s.Byte() % 3);
    return peer.Write(header, CL_Blob());
}

// A request of two chunks with a short pause between them.
bool SendSplitRequest(Peer& peer, Script& s) {
    CL_Blob plain;
    plain.SetSize(CL_IPC_CHUNK_SIZE + 1 + s.Byte());
    // Bytes that do not compress, so that the packet keeps two chunks.
    uint32 state = 12345;
    uint8* bytes = plain.GetDataForWrite();
    for (uint32 i = 0; i < plain.GetSize(); i++)
        bytes[i] = uint8((state = state * 1103515245u + 12345u) >> 24);
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, peer.fSequence++, 1, peer.fGranted);
    CL_EncodePayload(&header, plain, peer.fGranted, peer.fCipher.get(), false);
    CL_Blob wire;
    CL_BuildPacket(header, plain, &wire);
    uint32 cut = sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE;
    if (cut > wire.GetSize()) cut = wire.GetSize();
    if (!peer.Write(wire.GetDataForRead(), cut)) return false;
    usleep(2000);
    return peer.Write(wire.GetDataForRead() + cut, wire.GetSize() - cut);
}

// Runs one action of the script; false ends the script.
bool Act(Peer& peer, Script& s, int* pausedMs) {
    switch (s.Byte() % 13) {
        case 0:  // connect anew
            return peer.Open();
        case 1: {  // handshake, maybe refused, maybe without waiting for replies
            uint8_t how = s.Byte();
            return peer.Handshake(uint16(s.Word()), how & 1, how & 2, 30);
        }
        case 2:  // a header with chosen fields, no payload of its own
            return SendChosenHeader(peer, s);
        case 3: {  // payload bytes, taken from the script
            size_t n = size_t(s.Byte()) * 4;
            n = n < s.fSize - s.fAt ? n : s.fSize - s.fAt;
            bool sent = peer.Write(s.fData + s.fAt, n);
            s.fAt += n;
            return sent;
        }
        case 4:  // a pause, around the server's time-out
            Pause(s.Byte(), pausedMs);
            return true;
        case 5:  // read what came
            return peer.Drain(s.Byte() % 8);
        case 6: {  // a well-formed request, maybe compressed
            uint8_t how = s.Byte();
            CL_Blob plain;
            CLU_Table().Set("n", int(how)).Flatten(plain);
            return peer.Request(CL_Command(s.Byte() % 6), plain, how & 1);
        }
        case 7: {  // a compressed payload of zeros inflating to up to 4 MiB
            CL_Blob zeros;
            zeros.SetSize(uint32(s.Byte() % 64) << 16);
            memset(zeros.GetDataForWrite(), 0, zeros.GetSize());
            return peer.Request(CL_Command(s.Byte() % 6), zeros, true);
        }
        case 8:  // cancel one request or all
            return SendCancel(peer, s);
        case 9:  // no more from the peer
            if (peer.fFD >= 0) shutdown(peer.fFD, SHUT_WR);
            return true;
        case 10:  // a chunk that announces more than comes
            return SendShortChunk(peer, s);
        case 11: {  // the next chunk of a packet, its size as the script says
            CL_PacketHeader header;
            CL_MakeDataRequest(&header, peer.fSequence - 1, 1, peer.fGranted);
            header.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
            header.fSize = s.Word();
            return peer.Write(&header, sizeof(header));
        }
        default:  // a request split over chunks with a pause between them
            return SendSplitRequest(peer, s);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EnterPrivateNetwork();
    CL_Init();
    static CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = Echo;
    callbacks.fConnect = Connect;
    for (int i = 0; i < kServers; i++) {
        sServers[i] = new CL_TCPServer();
        sServers[i]->SetCallbacks(&callbacks, nullptr);
        CL_Status status = -1;
        for (int attempt = 0; attempt < 20 && status != 0; attempt++) {
            CLU_Table settings;
            sPorts[i] = FreeLoopbackPort();
            settings.Set("ip", std::string("127.0.0.1"));
            settings.Set("listener_port", (long long)sPorts[i]);
            settings.Set("flags", (long long)kFlags[i]);
            settings.Set("timeout", (long long)kServerTimeOut);
            sServers[i]->Setup(settings);
            status = sServers[i]->Start();
        }
        if (status != 0) abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static uint32 sRuns = 0;
    if (size < 1) return 0;
    Script script{data + 1, size - 1};
    int server = data[0] % kServers;
    Peer peer;
    peer.fPort = sPorts[server];
    int pausedMs = 0;
    if (peer.Open())
        for (int actions = 0; actions < kMaxActions && !script.Done(); actions++)
            if (!Act(peer, script, &pausedMs) && !peer.Open()) break;
    peer.Drain(2);
    peer.Close();
    if (++sRuns % kLivenessEvery == 0) CheckServerAnswers(server);
    return 0;
}
