// Requests per second through the RPC server on loopback at 1, 8 and 32 connections
// (one client thread each; packets built directly, then the project's own client),
// with what each request costs the server's threads: CPU time, context switches,
// futex calls and worker wake-ups; a fresh connection (connect, SERVER_INFO, AUTH)
// through the server beside the same bytes from a minimal peer that replays the
// server's replies; and, when gRPC is built in, unary gRPC C++ calls with the same
// payload in the same run. The payload is a flattened table holding 256 bytes.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "lumo/cipher.h"
#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "server_bench_support.h"
#include "support/loopback.h"

#ifdef ZELMO_BENCH_GRPC
#include <grpcpp/grpcpp.h>

#include "bench_echo.grpc.pb.h"
#endif

namespace {

using bench::Connection;

CL_Blob Payload() {
    CLU_Table table;
    table.Set("payload", std::string(256, 'p'));
    CL_Blob blob;
    table.Flatten(blob);
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

CL_Status Echo(CL_Command, CL_Blob& input, CL_Blob& output, CL_ClientContext*, uint32) {
    output = input;
    return CL_OK;
}

// One server for the whole run, with the flags of the benchmark's argument.
CL_TCPServer* Server(uint16 flags, uint16* port) {
    static std::mutex lock;
    static CL_TCPServer* servers[2] = {nullptr, nullptr};
    static uint16 ports[2];
    std::lock_guard<std::mutex> guard(lock);
    int index = flags ? 1 : 0;
    if (!servers[index]) {
        static CL_ServerCallbacks callbacks;
        memset(&callbacks, 0, sizeof(callbacks));
        callbacks.fExecute = Echo;
        servers[index] = bench::StartServer(&callbacks, flags, &ports[index]);
        if (!servers[index]) return nullptr;
    }
    *port = ports[index];
    return servers[index];
}

// Per request, over all client threads: the server's CPU time (us), context
// switches, futex calls and worker wake-ups. Thread 0 measures from before the
// loop's opening barrier to after its closing one.
struct ServerCostCounters {
    bench::ServerThreadCosts fCosts;

    void Start(benchmark::State& state) {
        if (state.thread_index() == 0) fCosts.Start();
    }
    void Report(benchmark::State& state) {
        if (state.thread_index() != 0) return;
        bench::ServerThreadCosts::Totals totals = fCosts.Stop();
        double requests = double(state.iterations()) * state.threads();
        if (requests <= 0) return;
        state.counters["srv_cpu_us"] = totals.fCpuNs / 1000.0 / requests;
        state.counters["srv_ctxsw"] = totals.fSwitches / requests;
        state.counters["srv_sleeps"] = totals.fVoluntary / requests;
        state.counters["srv_futex"] = totals.fFutex < 0 ? -1 : totals.fFutex / requests;
        state.counters["worker_wakes"] = totals.fWorkerWakes / requests;
        state.counters["disp_wakes"] = totals.fDispatcherWakes / requests;
    }
};

void BM_RPCServerEcho(benchmark::State& state) {
    static ServerCostCounters counters;
    uint16 port = 0;
    uint16 flags = uint16(state.range(0));
    if (!Server(flags, &port)) {
        state.SkipWithError("server did not start");
        return;
    }
    Connection connection;
    if (!connection.Open(port)) {
        state.SkipWithError("connection failed");
        return;
    }
    CL_Blob input = Payload();
    CL_Blob output;
    counters.Start(state);
    for (auto _ : state) {
        if (!connection.Call(input, &output)) {
            state.SkipWithError("request failed");
            break;
        }
    }
    counters.Report(state);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RPCServerEcho)->Arg(0)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();
BENCHMARK(BM_RPCServerEcho)
    ->Arg(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING)
    ->Threads(1)
    ->Threads(8)
    ->Threads(32)
    ->UseRealTime();

// The replies of the handshake as the server sends them, taken once from it.
struct HandshakeReplies {
    std::string fServerInfo;
    std::string fAuth;
};

std::string ReadExactly(int fd, size_t size) {
    std::string bytes(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, &bytes[got], size - got, 0);
        if (n <= 0) return std::string();
        got += size_t(n);
    }
    return bytes;
}

// One packet as raw bytes: its chunks, each header then payload.
std::string ReadPacket(int fd) {
    std::string packet;
    for (;;) {
        std::string header = ReadExactly(fd, sizeof(CL_PacketHeader));
        if (header.empty()) return std::string();
        CL_PacketHeader parsed;
        memcpy(&parsed, header.data(), sizeof(parsed));
        uint32 n = CL_ChunkPayloadSize(parsed);
        packet += header + ReadExactly(fd, n);
        if (parsed.fSize <= CL_IPC_CHUNK_SIZE) return packet;
    }
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// The handshake a Connection makes, recorded at the server's end.
HandshakeReplies RecordHandshake(uint16 port) {
    HandshakeReplies replies;
    Connection connection;
    if (!connection.Connect(port)) return replies;
    int fd = connection.fSocket.GetDescriptor();
    CL_PacketHeader header;
    CL_MakeServerInfoRequest(&header, 1);
    CL_Blob wire;
    CL_BuildPacket(header, CL_Blob(), &wire);
    if (!WriteAll(fd, wire.Raw())) return replies;
    replies.fServerInfo = ReadPacket(fd);
    CL_Blob table;
    CLU_Table().Flatten(table);
    CL_MakeAuthRequest(&header, 2, 0);
    wire.Clear();
    CL_BuildPacket(header, table, &wire);
    if (!WriteAll(fd, wire.Raw())) return replies;
    replies.fAuth = ReadPacket(fd);
    return replies;
}

// A peer that does nothing but replay the server's handshake replies, one connection
// at a time, on a thread of its own.
class ReplayPeer {
public:
    explicit ReplayPeer(const HandshakeReplies& replies) : fReplies(replies) {
        fListener = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(fListener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        fPort = FreeLoopbackPort();
        sockaddr_in address = LoopbackAddress(fPort);
        bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(fListener, 16);
        fThread = std::thread([this] { Serve(); });
    }
    ~ReplayPeer() {
        fQuit = true;
        shutdown(fListener, SHUT_RDWR);
        fThread.join();
        close(fListener);
    }
    uint16 Port() const { return fPort; }

private:
    void Serve() {
        while (!fQuit) {
            int fd = accept(fListener, nullptr, nullptr);
            if (fd < 0) return;
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            if (!ReadPacket(fd).empty() && WriteAll(fd, fReplies.fServerInfo) &&
                !ReadPacket(fd).empty() && WriteAll(fd, fReplies.fAuth)) {
                char byte;
                while (recv(fd, &byte, 1, 0) > 0) {
                }
            }
            close(fd);
        }
    }

    HandshakeReplies fReplies;
    int fListener;
    uint16 fPort;
    std::atomic<bool> fQuit{false};
    std::thread fThread;
};

// A fresh connection and its handshake, closed again: through the server (argument 0)
// or against the replay peer (argument 1), so that the ratio is the server's part.
void BM_RPCServerConnect(benchmark::State& state) {
    uint16 serverPort = 0;
    if (!Server(0, &serverPort)) {
        state.SkipWithError("server did not start");
        return;
    }
    std::unique_ptr<ReplayPeer> peer;
    uint16 port = serverPort;
    if (state.range(0) == 1) {
        HandshakeReplies replies = RecordHandshake(serverPort);
        if (replies.fAuth.empty()) {
            state.SkipWithError("no handshake recorded");
            return;
        }
        peer.reset(new ReplayPeer(replies));
        port = peer->Port();
    }
    for (auto _ : state) {
        Connection connection;
        if (!connection.Open(port)) {
            state.SkipWithError("connection failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RPCServerConnect)->ArgName("replay")->Arg(0)->Arg(1)->UseRealTime();

// Six threads sharing one connection, as an application's threads share one client:
// each sends a request and waits for its own reply, which a reader thread matches by
// sequence number. Reports the mean time to answer and how many answers took over
// 20 ms.
struct SharedConnection {
    Connection fConnection;
    std::mutex fSendLock;
    std::mutex fStateLock;
    std::condition_variable fAnswered;
    std::set<uint32> fDone;
    std::thread fReader;
    std::atomic<bool> fFailed{false};
    std::atomic<bool> fQuit{false};

    bool Open(uint16 port) {
        if (!fConnection.Open(port)) return false;
        fReader = std::thread([this] { Read(); });
        return true;
    }
    void Read() {
        while (!fQuit) {
            CL_PacketHeader header;
            CL_Blob data;
            CL_Status status = CL_ReadChunk(fConnection.fSocket, &header, &data, 200);
            if (status == CL_TIMEOUT) continue;
            if (status != CL_OK) {
                fFailed = true;
                fAnswered.notify_all();
                return;
            }
            if (header.fType == CL_PACKET_TYPE_PING) continue;
            std::lock_guard<std::mutex> lock(fStateLock);
            fDone.insert(header.fSequence);
            fAnswered.notify_all();
        }
    }
    bool Call(const CL_Blob& input) {
        CL_Blob payload = input;
        CL_PacketHeader header;
        uint32 sequence;
        {
            std::lock_guard<std::mutex> lock(fSendLock);
            sequence = fConnection.fSequence++;
            CL_MakeDataRequest(&header, sequence, 1, fConnection.fFlags);
            CL_EncodePayload(&header, payload, fConnection.fFlags, fConnection.fCipher.get(),
                             false);
            CL_Blob wire;
            CL_BuildPacket(header, payload, &wire);
            const char* at = reinterpret_cast<const char*>(wire.GetDataForRead());
            size_t left = wire.GetSize();
            while (left > 0) {
                ssize_t n = send(fConnection.fSocket.GetDescriptor(), at, left, MSG_NOSIGNAL);
                if (n <= 0) return false;
                at += n;
                left -= size_t(n);
            }
        }
        std::unique_lock<std::mutex> lock(fStateLock);
        if (!fAnswered.wait_for(lock, std::chrono::seconds(5),
                                [&] { return fFailed || fDone.count(sequence) > 0; }))
            return false;
        fDone.erase(sequence);
        return !fFailed;
    }
    void Close() {
        fQuit = true;
        if (fReader.joinable()) fReader.join();
    }
};

std::atomic<double> sSlowest{0.0};

void BM_RPCServerSharedConnection(benchmark::State& state) {
    static SharedConnection* shared = nullptr;
    uint16 port = 0;
    if (state.thread_index() == 0) {
        sSlowest = 0.0;
        shared = nullptr;
        if (Server(0, &port)) {
            shared = new SharedConnection();
            if (!shared->Open(port)) {
                delete shared;
                shared = nullptr;
            }
        }
    }
    CL_Blob input = Payload();
    double totalMs = 0.0, slow = 0.0;
    for (auto _ : state) {
        if (!shared) {
            state.SkipWithError("connection failed");
            break;
        }
        auto start = std::chrono::steady_clock::now();
        if (!shared->Call(input)) {
            state.SkipWithError("request failed");
            break;
        }
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        totalMs += ms;
        if (ms > 20.0) slow += 1.0;
        for (double seen = sSlowest.load(); ms > seen;)
            if (sSlowest.compare_exchange_weak(seen, ms)) break;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["mean_ms"] = benchmark::Counter(totalMs, benchmark::Counter::kAvgIterations);
    state.counters["over_20ms"] = slow;
    // Counters are summed over the threads: the slowest answer of all is reported by
    // thread 0 alone, after the loop's closing barrier.
    state.counters["max_ms"] = state.thread_index() == 0 ? sSlowest.load() : 0.0;
    if (state.thread_index() == 0 && shared) {
        // The loop's closing barrier has let every thread finish its last call.
        shared->Close();
        delete shared;
        shared = nullptr;
    }
}
BENCHMARK(BM_RPCServerSharedConnection)->Threads(6)->UseRealTime()->MinTime(3.0);

// The same requests through the project's own client, one client object per thread.
void BM_RPCClientEcho(benchmark::State& state) {
    uint16 port = 0;
    if (!Server(0, &port)) {
        state.SkipWithError("server did not start");
        return;
    }
    CL_TCPClient client;
    CLU_Table settings;
    settings.Set("host", std::string("127.0.0.1"));
    settings.Set("port", (long long)port);
    CL_Blob output;
    if (client.Connect(settings, output, 0) != 0) {
        state.SkipWithError("connection failed");
        return;
    }
    CL_Blob input = Payload();
    for (auto _ : state) {
        CL_Blob reply;
        if (client.Execute(1, input, reply, nullptr, 0) != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RPCClientEcho)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();

#ifdef ZELMO_BENCH_GRPC
class EchoService final : public zelmo_bench::Echo::Service {
    grpc::Status Call(grpc::ServerContext*, const zelmo_bench::EchoMessage* request,
                      zelmo_bench::EchoMessage* reply) override {
        *reply = *request;
        return grpc::Status::OK;
    }
};

std::string GRPCAddress() {
    static std::mutex lock;
    static std::unique_ptr<grpc::Server> server;
    static EchoService service;
    static std::string address;
    std::lock_guard<std::mutex> guard(lock);
    if (!server) {
        int port = 0;
        grpc::ServerBuilder builder;
        builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
        builder.RegisterService(&service);
        server = builder.BuildAndStart();
        address = "127.0.0.1:" + std::to_string(port);
    }
    return address;
}

// One channel per thread, so that each thread is one connection as above.
void BM_GRPCUnaryEcho(benchmark::State& state) {
    grpc::ChannelArguments arguments;
    arguments.SetInt("grpc.use_local_subchannel_pool", 1);
    auto channel =
        grpc::CreateCustomChannel(GRPCAddress(), grpc::InsecureChannelCredentials(), arguments);
    auto stub = zelmo_bench::Echo::NewStub(channel);
    zelmo_bench::EchoMessage request;
    CL_Blob payload = Payload();
    request.set_payload(
        std::string(reinterpret_cast<const char*>(payload.GetDataForRead()), payload.GetSize()));
    zelmo_bench::EchoMessage reply;
    for (auto _ : state) {
        grpc::ClientContext context;
        grpc::Status status = stub->Call(&context, request, &reply);
        if (!status.ok()) {
            state.SkipWithError("call failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GRPCUnaryEcho)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();
#endif

}  // namespace
