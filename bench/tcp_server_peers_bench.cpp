// The RPC server beside hostile peers, each scenario once on a fresh server in this
// process: a well-behaved client's latency on a kept connection and for a fresh
// connection, quiet and with 20 peers that send a request's chunks far apart and 20
// that never read their replies; and the server's resident memory while peers that
// never authenticate announce requests of almost 2 GiB, and under a zlib stream of
// 1 MiB that inflates to 1 GiB, on a connection granted compression and on one not.
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "lumo/compress.h"
#include "lumo/table.h"
#include "lumo/thread.h"
#include "server_bench_support.h"

namespace {

using bench::Connection;

constexpr CL_Command kEcho = 1;
constexpr CL_Command kLargeReply = 2;  // "size": that many bytes back

CL_Status Execute(CL_Command command, CL_Blob& input, CL_Blob& output, CL_ClientContext*, uint32) {
    if (command != kLargeReply) {
        output = input;
        return CL_OK;
    }
    CLU_Table table;
    input.Seek(0, CL_SEEK_SET);
    table.Unflatten(input);
    uint32 size = uint32(table.GetInteger("size"));
    output.SetSize(size);
    if (size) memset(output.GetDataForWrite(), 'r', size);
    output.Seek(0, CL_SEEK_SET);
    return CL_OK;
}

CL_ServerCallbacks* Callbacks() {
    static CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = Execute;
    return &callbacks;
}

CL_Blob Flat(const CLU_Table& table) {
    CL_Blob blob;
    table.Flatten(blob);
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

// Peers that hold the server's attention without ever finishing: slow senders send the
// first chunk of a 1 MiB request and then a chunk every `gap` ms; non-readers ask for
// large replies and never read them.
class HostilePeers {
public:
    HostilePeers(uint16 port, uint32 slow, uint32 deaf, uint32 gap) {
        for (uint32 i = 0; i < slow; i++)
            fThreads.emplace_back([this, port, gap] { SlowSender(port, gap); });
        for (uint32 i = 0; i < deaf; i++)
            fThreads.emplace_back([this, port] { NonReader(port); });
    }
    ~HostilePeers() {
        fQuit = true;
        for (std::thread& thread : fThreads)
            thread.join();
    }
    uint32 Ready() const { return fReady; }

private:
    void SlowSender(uint16 port, uint32 gap) {
        Connection connection;
        connection.fTimeOut = 120000;
        if (!connection.Open(port)) return;
        CL_Blob payload(1u << 20);
        memset(payload.GetDataForWrite(), 's', payload.GetSize());
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, connection.fSequence++, kEcho, connection.fFlags);
        header.fData.fCheckSum = payload.CheckSum();
        uint32 offset = 0;
        fReady++;
        while (!fQuit && offset < payload.GetSize()) {
            CL_Blob chunk;
            offset += CL_AppendChunk(header, payload, offset, &chunk);
            if (send(connection.fSocket.GetDescriptor(), chunk.GetDataForRead(), chunk.GetSize(),
                     MSG_NOSIGNAL) <= 0)
                return;
            for (uint32 waited = 0; waited < gap && !fQuit; waited += 10)
                CL_Thread::Sleep(10);
        }
    }
    void NonReader(uint16 port) {
        Connection connection;
        connection.fTimeOut = 120000;
        if (!connection.Open(port)) return;
        CL_Blob ask = Flat(CLU_Table().Set("size", 8 << 20));
        for (int i = 0; i < 4 && !fQuit; i++)
            if (!connection.Send(kLargeReply, ask)) return;
        fReady++;
        while (!fQuit)
            CL_Thread::Sleep(10);
    }

    std::vector<std::thread> fThreads;
    std::atomic<bool> fQuit{false};
    std::atomic<uint32> fReady{0};
};

// Argument: 0 quiet, 1 with 20 slow senders and 20 non-readers. Reports the
// well-behaved client's p50 and p99 in ms for a request on a kept connection and for
// a fresh connection with its handshake (each phase 20 s at most), and the calls that
// failed (30 s each at most).
void BM_WellBehavedClient(benchmark::State& state) {
    uint16 port = 0;
    std::unique_ptr<CL_TCPServer> server(bench::StartServer(Callbacks(), 0, &port));
    if (!server) {
        state.SkipWithError("server did not start");
        return;
    }
    std::unique_ptr<HostilePeers> peers;
    if (state.range(0)) {
        peers.reset(new HostilePeers(port, 20, 20, 55000));
        for (int i = 0; i < 500 && peers->Ready() < 40; i++)
            CL_Thread::Sleep(10);
        CL_Thread::Sleep(1000);
    }
    std::vector<double> kept, fresh;
    double failures = 0;
    const double kBudgetMs = 20000;
    for (auto _ : state) {
        // Long enough for the waits a server held up by the peers makes its clients
        // wait; a call that waits longer counts as a failure.
        const uint32 kCallTimeOut = 30000;
        Connection connection;
        connection.fTimeOut = kCallTimeOut;
        auto phase = std::chrono::steady_clock::now();
        if (!connection.Open(port)) {
            state.SkipWithError("connection failed");
            break;
        }
        CL_Blob input = Flat(CLU_Table().Set("payload", std::string(256, 'p')));
        CL_Blob output;
        phase = std::chrono::steady_clock::now();
        for (int i = 0; i < 5000 && Milliseconds(phase) < kBudgetMs; i++) {
            auto start = std::chrono::steady_clock::now();
            if (!connection.Call(input, &output)) {
                failures++;
                break;
            }
            kept.push_back(Milliseconds(start));
        }
        phase = std::chrono::steady_clock::now();
        for (int i = 0; i < 300 && Milliseconds(phase) < kBudgetMs; i++) {
            auto start = std::chrono::steady_clock::now();
            Connection another;
            another.fTimeOut = kCallTimeOut;
            if (!another.Open(port)) {
                failures++;
                continue;
            }
            fresh.push_back(Milliseconds(start));
        }
    }
    peers.reset();
    state.counters["kept_p50_ms"] = bench::Percentile(kept, 0.5);
    state.counters["kept_p99_ms"] = bench::Percentile(kept, 0.99);
    state.counters["kept_n"] = double(kept.size());
    state.counters["fresh_p50_ms"] = bench::Percentile(fresh, 0.5);
    state.counters["fresh_p99_ms"] = bench::Percentile(fresh, 0.99);
    state.counters["fresh_n"] = double(fresh.size());
    state.counters["failures"] = failures;
}
BENCHMARK(BM_WellBehavedClient)->ArgName("hostile")->Arg(0)->Arg(1)->Iterations(1)->UseRealTime();

// Peers that never authenticate announce a DATA request of almost 2 GiB and send its
// chunks as fast as the server takes them, for 10 s or 1 GiB each. Argument: peers.
// Reports the growth of the process's resident peak in MiB.
void BM_ResidentUnderHugeAnnouncement(benchmark::State& state) {
    uint16 port = 0;
    std::unique_ptr<CL_TCPServer> server(bench::StartServer(Callbacks(), 0, &port));
    if (!server) {
        state.SkipWithError("server did not start");
        return;
    }
    double growth = 0;
    for (auto _ : state) {
        CL_Thread::Sleep(200);
        bench::ResetResidentPeak();
        double before = bench::ResidentMiB();
        std::vector<std::thread> peers;
        for (int64_t p = 0; p < state.range(0); p++)
            peers.emplace_back([port] {
                Connection connection;
                if (!connection.Connect(port)) return;
                CL_PacketHeader header;
                CL_MakeDataRequest(&header, 1, kEcho, 0);
                header.fSize = 0x7FFFFF00u;
                std::vector<uint8> chunk(sizeof(header) + CL_IPC_CHUNK_SIZE, 'h');
                uint64 sent = 0;
                auto start = std::chrono::steady_clock::now();
                while (sent < (1ull << 30) && Milliseconds(start) < 10000) {
                    memcpy(chunk.data(), &header, sizeof(header));
                    if (send(connection.fSocket.GetDescriptor(), chunk.data(), chunk.size(),
                             MSG_NOSIGNAL) != ssize_t(chunk.size()))
                        break;
                    sent += CL_IPC_CHUNK_SIZE;
                    header.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
                    header.fSize -= CL_IPC_CHUNK_SIZE;
                }
            });
        for (std::thread& peer : peers)
            peer.join();
        growth = bench::ResidentMiB("VmHWM:") - before;
    }
    state.counters["rss_growth_mib"] = growth;
}
BENCHMARK(BM_ResidentUnderHugeAnnouncement)
    ->ArgName("peers")
    ->Arg(1)
    ->Arg(3)
    ->Iterations(1)
    ->UseRealTime();

// 1 GiB of zeros as one zlib stream: about 1 MiB.
const CL_Blob& ZlibBomb() {
    static CL_Blob bomb = [] {
        CL_Compressor compressor;
        CL_Blob zeros(1u << 20);
        memset(zeros.GetDataForWrite(), 0, zeros.GetSize());
        CL_Blob packed;
        for (int i = 0; i < 1024; i++) {
            zeros.Seek(0, CL_SEEK_SET);
            compressor.Compress(zeros, packed, zeros.GetSize());
        }
        CL_Blob none;
        compressor.Compress(none, packed, 0);
        return packed;
    }();
    return bomb;
}

// An authenticated client sends the bomb as a compressed DATA request, then an echo it
// waits for (its client's requests are served in order). Argument: whether the server
// grants compression. Reports the growth of the resident peak in MiB.
void BM_ResidentUnderZlibBomb(benchmark::State& state) {
    const CL_Blob& bomb = ZlibBomb();
    uint16 port = 0;
    uint16 flags = state.range(0) ? CL_IPC_COMPRESS : 0;
    std::unique_ptr<CL_TCPServer> server(bench::StartServer(Callbacks(), flags, &port));
    if (!server) {
        state.SkipWithError("server did not start");
        return;
    }
    double growth = 0;
    for (auto _ : state) {
        Connection connection;
        connection.fTimeOut = 60000;
        if (!connection.Open(port)) {
            state.SkipWithError("connection failed");
            break;
        }
        CL_Thread::Sleep(200);
        bench::ResetResidentPeak();
        double before = bench::ResidentMiB();
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, connection.fSequence++, kEcho,
                           uint16(connection.fFlags | CL_IPC_COMPRESS));
        if (CL_WritePacket(connection.fSocket, header, bomb, 60000) != 0) {
            state.SkipWithError("bomb not sent");
            break;
        }
        CL_Blob output;
        connection.Call(Flat(CLU_Table().Set("after", 1)), &output);
        growth = bench::ResidentMiB("VmHWM:") - before;
    }
    state.counters["rss_growth_mib"] = growth;
    state.counters["bomb_kib"] = bomb.GetSize() / 1024.0;
}
BENCHMARK(BM_ResidentUnderZlibBomb)
    ->ArgName("granted")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
