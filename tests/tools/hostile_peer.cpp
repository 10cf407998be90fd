// Hostile peers of the RPC server for load, soak and fault tests: COUNT connections to a
// server on loopback that each misbehave in one way, reconnecting (after --pause-ms)
// whenever the server cuts them off, until DURATION seconds have passed or SIGTERM/SIGINT comes. At the end
// one line tells what they did:
//   hostile_peer MODE: connections=N cut=N sent=BYTES read=BYTES requests=N whole=N
//
// Modes:
//   stall    sends a chunk header and part of its payload, then nothing
//   stream   announces a huge request (--size bytes) and streams it in whole chunks at
//            --rate bytes a second (0: as fast as the server takes them)
//   nonread  sends requests (--rate a second, 0: as fast as possible) whose replies are
//            large (--reply-bytes) and never reads any of them
//   bomb     sends a request whose payload is a small zlib stream that inflates to
//            --size bytes of zeros, flagged compressed whether or not the server granted
//            compression, again and again
//   trickle  sends a valid request one byte at a time, each chunk taking just under the
//            server's time-out (--timeout-ms) to arrive
//   read     well-behaved: asks for --reply-bytes replies one at a time, reads each at
//            --rate bytes a second and counts those that came whole
// Every mode but nonread and read goes without the handshake when --no-auth is given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/init.h"
#include "lumo/ipc.h"
#include "lumo/table.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kUsage =
    "usage: hostile_peer MODE --port N [--host 127.0.0.1] [--count N] [--rate R]\n"
    "                    [--duration S] [--size BYTES] [--timeout-ms MS] [--flags N]\n"
    "                    [--pause-ms MS] [--reply-bytes BYTES] [--command N]\n"
    "                    [--replies N] [--burst BYTES] [--fast-after-cut] [--no-auth]\n"
    "Hostile peers of the RPC server on loopback: COUNT connections that misbehave as\n"
    "MODE says, reconnecting when cut off, for DURATION seconds or until SIGTERM/SIGINT.\n"
    "Prints one line of totals at the end and exits 0.\n"
    "Modes:\n"
    "  stall    a chunk header and part of its payload, then nothing\n"
    "  stream   announces --size bytes (default 1 GiB) and streams whole chunks at --rate\n"
    "           bytes a second (0: as fast as the server reads)\n"
    "  nonread  requests for --reply-bytes replies (--rate a second, 0: 50) never read\n"
    "  bomb     a compressed payload inflating to --size bytes (default 1 GiB), flagged\n"
    "           compressed whether or not compression was granted\n"
    "  trickle  a request one byte at a time, each chunk taking just under --timeout-ms\n"
    "  read     asks for --reply-bytes replies and reads each at --rate bytes a second\n"
    "           (0: as fast as they come), one at a time; whole=N counts those read whole\n"
    "Options:\n"
    "  --host A        the server's address: loopback only (default 127.0.0.1)\n"
    "  --port N        the server's listener port (required)\n"
    "  --count N       connections at once (default 1, at most 500)\n"
    "  --rate R        bytes or requests a second, as the mode says (default 0)\n"
    "  --duration S    seconds to run (default 10, at most 3600)\n"
    "  --size BYTES    announced or inflated size (default 1 GiB)\n"
    "  --timeout-ms MS the server's time-out, which stall and trickle pace by\n"
    "                  (default 60000)\n"
    "  --flags N       connection flags asked for in AUTH (default 0x100, compression)\n"
    "  --pause-ms MS   pause between a cut and the next connection (default 20)\n"
    "  --reply-bytes B size of the replies nonread and read ask for (default 1 MiB)\n"
    "  --command N     their command, given \"bytes\" (default 1005, the stand-in's BLOB)\n"
    "  --replies N     replies each read peer asks for, whole or cut (default 0: no end)\n"
    "  --burst B       read peers keep to --rate in full-speed bursts of B (default 0: steadily)\n"
    "  --fast-after-cut  read peers read as fast as the replies come once one is cut\n"
    "  --no-auth       skip the handshake (stall, stream, bomb, trickle)\n";

// The large reply nonread asks for: the stand-in business server's blob command.
constexpr CL_Command kBlobCommand = 1005;
constexpr CL_Command kEchoCommand = 1000;

struct Options {
    std::string fMode;
    std::string fHost = "127.0.0.1";
    uint16 fPort = 0;
    uint32 fCount = 1;
    double fRate = 0;
    uint32 fDuration = 10;
    uint64 fSize = 1ull << 30;
    uint32 fTimeOut = 60000;
    uint32 fFlags = CL_IPC_COMPRESS;
    // Between a cut and the next connection: each peer misbehaves in its own way, and
    // a flood of connects is another attack than the one it stands for.
    uint32 fPause = 20;
    uint64 fReplyBytes = 1 << 20;
    CL_Command fCommand = kBlobCommand;
    uint32 fReplies = 0;
    uint64 fBurst = 0;
    bool fFastAfterCut = false;
    bool fAuth = true;
};

std::atomic<bool> sStop{false};

void OnSignal(int) {
    sStop = true;
}

struct Totals {
    std::atomic<uint64> fConnections{0};
    std::atomic<uint64> fCut{0};
    std::atomic<uint64> fSent{0};
    std::atomic<uint64> fRead{0};
    std::atomic<uint64> fRequests{0};
    std::atomic<uint64> fWhole{0};
};

// One connection and what the handshake set up.
class Connection {
public:
    Connection(const Options& options, Clock::time_point deadline, Totals& totals)
        : fOptions(options), fDeadline(deadline), fTotals(totals), fCipher(new CL_Cipher()) {}
    ~Connection() {
        if (fFD >= 0) close(fFD);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool Over() const { return sStop || Clock::now() >= fDeadline; }

    bool Open() {
        fFD = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fFD < 0) return false;
        // An eighth of a second's reading: a paced reader's socket takes bytes often.
        int buffer = int(std::max(4096.0, fOptions.fRate / 8));
        if (fOptions.fMode == "read" && fOptions.fRate > 0)
            setsockopt(fFD, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
        sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons(fOptions.fPort);
        inet_pton(AF_INET, fOptions.fHost.c_str(), &to.sin_addr);
        if (connect(fFD, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 &&
            errno != EINPROGRESS)
            return false;
        pollfd p = {fFD, POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0) return false;
        int error = 0;
        socklen_t length = sizeof(error);
        getsockopt(fFD, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) return false;
        fTotals.fConnections++;
        return true;
    }

    // Sends all of it unless the server closes, the time is over or `by` passes.
    bool Send(const void* data, size_t size, Clock::time_point by = Clock::time_point::max()) {
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            if (Over() || Clock::now() >= by) return false;
            ssize_t n = send(fFD, at, size, MSG_NOSIGNAL);
            if (n > 0) {
                at += n;
                size -= size_t(n);
                fTotals.fSent += uint64(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                pollfd p = {fFD, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            Cut();
            return false;
        }
        return true;
    }

    // Reads exactly `size` bytes within a few seconds.
    bool Receive(void* data, size_t size) {
        char* at = static_cast<char*>(data);
        Clock::time_point by = Clock::now() + std::chrono::seconds(10);
        while (size > 0) {
            if (Over() || Clock::now() >= by) return false;
            ssize_t n = recv(fFD, at, size, 0);
            if (n > 0) {
                at += n;
                size -= size_t(n);
                fTotals.fRead += uint64(n);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
                pollfd p = {fFD, POLLIN, 0};
                poll(&p, 1, 100);
                continue;
            }
            Cut();
            return false;
        }
        return true;
    }

    // Reads and drops whatever comes for up to `ms`; false once the server closed.
    bool Drain(int ms) {
        pollfd p = {fFD, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return true;
        char buffer[16384];
        ssize_t n = recv(fFD, buffer, sizeof(buffer), 0);
        if (n > 0) {
            fTotals.fRead += uint64(n);
            return true;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        Cut();
        return false;
    }

    // Waits for the server to cut the connection, reading what it sends.
    void WaitForCut() {
        while (!Over() && !fCut)
            Drain(100);
    }

    // SERVER_INFO then AUTH; the granted flags and the connection cipher.
    bool Handshake() {
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, fSequence++);
        if (!Send(&header, sizeof(header))) return false;
        CL_PacketHeader reply;
        if (!ReadReply(&reply)) return false;
        uint64 serverID = reply.fServer.fID;
        CL_Blob table;
        CLU_Table().Set("host", std::string("hostile")).Set("chat_port", 0).Flatten(table);
        CL_MakeAuthRequest(&header, fSequence++, fOptions.fFlags);
        CL_Blob wire;
        CL_BuildPacket(header, table, &wire);
        if (!Send(wire.GetDataForRead(), wire.GetSize())) return false;
        if (!ReadReply(&reply) || reply.fType != CL_PACKET_TYPE_AUTH) return false;
        fGranted = reply.fFlags & uint16(~CL_IPC_FIRST_CHUNK);
        fCipher.reset(CL_NewConnectionCipher(fGranted, reply.fConnection.fID, serverID));
        return fCipher != nullptr;
    }

    uint32 NextSequence() { return fSequence++; }
    // Asks for a reply of --reply-bytes, counted; false when the request did not go out.
    bool AskReply(uint32 sequence, Clock::time_point by = Clock::time_point::max()) {
        CL_Blob input;
        CLU_Table().Set("bytes", (long long)fOptions.fReplyBytes).Flatten(input);
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, sequence, fOptions.fCommand, fGranted);
        CL_EncodePayload(&header, input, fGranted, fCipher.get(), false);
        CL_Blob wire;
        CL_BuildPacket(header, input, &wire);
        fTotals.fRequests++;
        return Send(wire.GetDataForRead(), wire.GetSize(), by);
    }
    void CountRequest() { fTotals.fRequests++; }
    bool WasCut() const { return fCut; }
    CL_Cipher* Cipher() { return fCipher.get(); }
    uint16 Granted() const { return fGranted; }
    int FD() const { return fFD; }

    // One chunk of a reply, skipping PINGs; its payload is read and dropped.
    bool ReadReply(CL_PacketHeader* reply) {
        for (;;) {
            if (!Receive(reply, sizeof(*reply))) return false;
            std::vector<char> payload(CL_ChunkPayloadSize(*reply));
            if (!payload.empty() && !Receive(payload.data(), payload.size())) return false;
            if (reply->fType != CL_PACKET_TYPE_PING) return true;
        }
    }

private:
    void Cut() {
        if (!fCut) fTotals.fCut++;
        fCut = true;
    }

    const Options& fOptions;
    Clock::time_point fDeadline;
    Totals& fTotals;
    int fFD = -1;
    uint32 fSequence = 1;
    uint16 fGranted = 0;
    bool fCut = false;
    std::unique_ptr<CL_Cipher> fCipher;
};

// A chunk header of a DATA request: `left` payload bytes still to come.
CL_PacketHeader ChunkHeader(uint32 sequence, uint16 flags, uint32 left, bool first) {
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, sequence, kEchoCommand, flags);
    header.fSize = left;
    if (first)
        header.fFlags |= CL_IPC_FIRST_CHUNK;
    else
        header.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
    return header;
}

void Stall(Connection& c, const Options&) {
    CL_PacketHeader header = ChunkHeader(c.NextSequence(), c.Granted(), 4096, true);
    std::vector<char> part(1000, 'S');
    if (c.Send(&header, sizeof(header)) && c.Send(part.data(), part.size())) c.WaitForCut();
}

void Stream(Connection& c, const Options& options) {
    uint32 size = uint32(std::min<uint64>(options.fSize, 0xFFFFFFFFull));
    uint32 sequence = c.NextSequence();
    std::vector<char> chunk(sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE, 'x');
    Clock::time_point start = Clock::now();
    uint64 streamed = 0;
    for (uint32 left = size; left > 0 && !c.Over();) {
        uint32 length = std::min(left, CL_IPC_CHUNK_SIZE);
        CL_PacketHeader header = ChunkHeader(sequence, c.Granted(), left, left == size);
        memcpy(chunk.data(), &header, sizeof(header));
        if (!c.Send(chunk.data(), sizeof(header) + length)) return;
        left -= length;
        streamed += length;
        if (!c.Drain(0)) return;
        if (options.fRate > 0) {
            auto due = start + std::chrono::duration<double>(double(streamed) / options.fRate);
            while (Clock::now() < due && !c.Over())
                if (!c.Drain(int(std::min<int64_t>(
                        100, std::chrono::duration_cast<std::chrono::milliseconds>(
                                 due - Clock::now()).count() + 1))))
                    return;
        }
    }
    c.WaitForCut();
}

void NonRead(Connection& c, const Options& options) {
    // A small receive buffer fills at once; the server's writes then block.
    int small = 4096;
    setsockopt(c.FD(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    Clock::time_point start = Clock::now();
    for (uint64 sent = 0; !c.Over(); sent++) {
        // Sends stop when the server stops reading: the loop then only paces.
        Clock::time_point by = Clock::now() + std::chrono::milliseconds(200);
        if (!c.AskReply(c.NextSequence(), by) && (c.Over() || c.WasCut())) return;
        double rate = options.fRate > 0 ? options.fRate : 50;
        auto due = start + std::chrono::duration<double>(double(sent + 1) / rate);
        while (Clock::now() < due && !c.Over())
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Asks for a reply and reads it chunk by chunk at --rate from its first chunk on;
// false once the connection is lost.
bool Read(Connection& c, const Options& options, Totals& totals) {
    uint32 sequence = c.NextSequence();
    if (!c.AskReply(sequence)) return false;
    Clock::time_point start;
    CL_PacketHeader chunk;
    for (uint64 taken = 0; c.ReadReply(&chunk);) {
        if (taken == 0) start = Clock::now();
        uint32 size = CL_ChunkPayloadSize(chunk);
        taken += sizeof(chunk) + size;
        if (chunk.fSize == size) {
            if (chunk.fType == CL_PACKET_TYPE_DATA && chunk.fSequence == sequence) totals.fWhole++;
            return true;
        }
        uint64 paced = options.fBurst ? taken - taken % options.fBurst : taken;
        auto due = start + std::chrono::duration<double>(double(paced) / options.fRate);
        while (options.fRate > 0 && !(options.fFastAfterCut && totals.fCut > 0) && !c.Over() &&
               Clock::now() < due)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// The bomb: a zlib stream of `size` zero bytes, made without holding them.
CL_Blob MakeBomb(uint64 size) {
    z_stream z;
    memset(&z, 0, sizeof(z));
    deflateInit(&z, Z_BEST_COMPRESSION);
    std::vector<unsigned char> zeros(1 << 20, 0);
    std::vector<unsigned char> out(1 << 16);
    CL_Blob stream;
    uint64 left = size;
    int flush = Z_NO_FLUSH;
    do {
        uint64 take = std::min<uint64>(left, zeros.size());
        z.next_in = zeros.data();
        z.avail_in = uInt(take);
        left -= take;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = out.data();
            z.avail_out = uInt(out.size());
            deflate(&z, flush);
            stream.Seek(0, CL_SEEK_END);
            stream.Append(out.data(), uint32(out.size() - z.avail_out));
        } while (z.avail_out == 0);
    } while (flush != Z_FINISH);
    deflateEnd(&z);
    return stream;
}

void Bomb(Connection& c, const CL_Blob& bomb) {
    while (!c.Over()) {
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, c.NextSequence(), kEchoCommand, c.Granted());
        // Flagged compressed whatever was granted; the checksum cannot match, so only
        // the inflating costs the server anything.
        header.fFlags |= CL_IPC_COMPRESS;
        header.fData.fCheckSum = 0;
        CL_Blob payload = bomb;
        payload.Seek(0, CL_SEEK_SET);
        c.Cipher()->Encrypt(payload, 0xFFFFFFFF);
        CL_Blob wire;
        CL_BuildPacket(header, payload, &wire);
        c.CountRequest();
        if (!c.Send(wire.GetDataForRead(), wire.GetSize())) return;
        for (int i = 0; i < 5 && !c.Over(); i++)
            if (!c.Drain(100)) return;
    }
}

void Trickle(Connection& c, const Options& options) {
    const uint32 payload = 64;
    const uint32 chunks = 4;
    uint32 sequence = c.NextSequence();
    uint32 chunkBytes = sizeof(CL_PacketHeader) + payload;
    // Each chunk arrives just under the time-out after the last.
    auto gap = std::chrono::milliseconds(uint64(options.fTimeOut) * 9 / 10 / chunkBytes);
    for (uint32 k = 0; k < chunks && !c.Over(); k++) {
        std::vector<char> chunk(chunkBytes, 't');
        CL_PacketHeader header =
            ChunkHeader(sequence, c.Granted(), (chunks - k) * payload, k == 0);
        memcpy(chunk.data(), &header, sizeof(header));
        for (uint32 i = 0; i < chunkBytes && !c.Over(); i++) {
            if (!c.Send(&chunk[i], 1)) return;
            auto due = Clock::now() + gap;
            while (Clock::now() < due && !c.Over())
                if (!c.Drain(int(std::min<int64_t>(
                        50, std::chrono::duration_cast<std::chrono::milliseconds>(
                                due - Clock::now()).count() + 1))))
                    return;
        }
    }
    c.WaitForCut();
}

void RunPeer(const Options& options, Clock::time_point deadline, Totals& totals,
             const CL_Blob* bomb) {
    uint32 replies = 0;
    while (!sStop && Clock::now() < deadline) {
        Connection c(options, deadline, totals);
        bool ready = c.Open();
        if (ready && (options.fAuth || options.fMode == "nonread" || options.fMode == "read"))
            ready = c.Handshake();
        if (!ready) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        if (options.fMode == "read") {
            // Each reply asked counts, whole or not; a lost connection is made again.
            for (bool read = true; read;) {
                read = Read(c, options, totals);
                if (++replies == options.fReplies) return;
            }
        } else if (options.fMode == "stall")
            Stall(c, options);
        else if (options.fMode == "stream")
            Stream(c, options);
        else if (options.fMode == "nonread")
            NonRead(c, options);
        else if (options.fMode == "bomb")
            Bomb(c, *bomb);
        else
            Trickle(c, options);
        std::this_thread::sleep_for(std::chrono::milliseconds(options.fPause));
    }
}

bool IsLoopback(const std::string& host) {
    in_addr address;
    if (inet_pton(AF_INET, host.c_str(), &address) != 1) return false;
    return (ntohl(address.s_addr) >> 24) == 127;
}

// The options, or an empty mode after printing why not.
Options Parse(int argc, char** argv) {
    Options o;
    auto fail = [&](const std::string& why) {
        fprintf(stderr, "hostile_peer: %s\n%s", why.c_str(), kUsage);
        o.fMode.clear();
        return o;
    };
    if (argc < 2) return fail("no mode");
    o.fMode = argv[1];
    if (o.fMode != "stall" && o.fMode != "stream" && o.fMode != "nonread" && o.fMode != "bomb" &&
        o.fMode != "trickle" && o.fMode != "read")
        return fail("unknown mode " + o.fMode);
    for (int i = 2; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--no-auth" || name == "--fast-after-cut") {
            (name == "--no-auth" ? o.fAuth : o.fFastAfterCut) = name != "--no-auth";
            continue;
        }
        if (i + 1 >= argc) return fail(name + " needs a value");
        std::string value = argv[++i];
        char* end = nullptr;
        double number = strtod(value.c_str(), &end);
        bool numeric = end && *end == 0 && !value.empty();
        if (value.rfind("0x", 0) == 0) {
            number = double(strtoull(value.c_str(), &end, 16));
            numeric = *end == 0;
        }
        if (name == "--host") {
            o.fHost = value;
            continue;
        }
        if (!numeric || number < 0) return fail(name + " needs a number");
        if (name == "--port")
            o.fPort = uint16(number);
        else if (name == "--count")
            o.fCount = uint32(number);
        else if (name == "--rate")
            o.fRate = number;
        else if (name == "--duration")
            o.fDuration = uint32(number);
        else if (name == "--size")
            o.fSize = uint64(number);
        else if (name == "--timeout-ms")
            o.fTimeOut = uint32(number);
        else if (name == "--flags")
            o.fFlags = uint32(number);
        else if (name == "--pause-ms")
            o.fPause = uint32(number);
        else if (name == "--reply-bytes")
            o.fReplyBytes = uint64(number);
        else if (name == "--command")
            o.fCommand = CL_Command(number);
        else if (name == "--replies")
            o.fReplies = uint32(number);
        else if (name == "--burst")
            o.fBurst = uint64(number);
        else
            return fail("unknown option " + name);
    }
    if (o.fPort == 0) return fail("--port is required");
    if (!IsLoopback(o.fHost)) return fail("--host must be a loopback address (127.x.x.x)");
    if (o.fCount == 0 || o.fCount > 500) return fail("--count must be 1 to 500");
    if (o.fDuration == 0 || o.fDuration > 3600) return fail("--duration must be 1 to 3600");
    if (o.fSize == 0) return fail("--size must be above 0");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], "--help") || !strcmp(argv[i], "-h")) {
            fputs(kUsage, stdout);
            return 0;
        }
    Options options = Parse(argc, argv);
    if (options.fMode.empty()) return 2;
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    CL_Init();
    CL_Blob bomb;
    if (options.fMode == "bomb") bomb = MakeBomb(options.fSize);
    Totals totals;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.fDuration);
    std::vector<std::thread> peers;
    for (uint32 i = 0; i < options.fCount; i++)
        peers.emplace_back(RunPeer, std::cref(options), deadline, std::ref(totals), &bomb);
    for (std::thread& peer : peers)
        peer.join();
    printf("hostile_peer %s: connections=%llu cut=%llu sent=%llu read=%llu requests=%llu "
           "whole=%llu\n",
           options.fMode.c_str(), (unsigned long long)totals.fConnections.load(),
           (unsigned long long)totals.fCut.load(), (unsigned long long)totals.fSent.load(),
           (unsigned long long)totals.fRead.load(), (unsigned long long)totals.fRequests.load(),
           (unsigned long long)totals.fWhole.load());
    return 0;
}
