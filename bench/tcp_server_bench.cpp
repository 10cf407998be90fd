// Requests per second through the RPC server on loopback at 1, 8 and 32 connections
// (one client thread each; packets built directly, then the project's own client),
// and, when gRPC is built in, unary gRPC C++ calls with the same payload in the same
// run. The payload is a flattened table holding 256 bytes.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
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
#include "support/loopback.h"

#ifdef ZELMO_BENCH_GRPC
#include <grpcpp/grpcpp.h>

#include "bench_echo.grpc.pb.h"
#endif

namespace {

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
        CL_Init();
        static CL_ServerCallbacks callbacks;
        memset(&callbacks, 0, sizeof(callbacks));
        callbacks.fExecute = Echo;
        CL_TCPServer* server = new CL_TCPServer();
        server->SetCallbacks(&callbacks, nullptr);
        CLU_Table settings;
        ports[index] = FreeLoopbackPort();
        settings.Set("ip", std::string("127.0.0.1"));
        settings.Set("listener_port", (long long)ports[index]);
        settings.Set("flags", (long long)flags);
        server->Setup(settings);
        if (server->Start() != 0) return nullptr;
        servers[index] = server;
    }
    *port = ports[index];
    return servers[index];
}

// A connection that authenticates and then sends one request at a time.
struct Connection {
    CL_Socket fSocket;
    uint32 fSequence = 1;
    uint16 fFlags = 0;
    std::unique_ptr<CL_Cipher> fCipher{new CL_Cipher()};

    bool Open(uint16 port) {
        fSocket = CL_Socket(CL_NetAddress(CL_NetAddress::LOOPBACK, port), CL_SOCKET_TYPE_TCP);
        if (fSocket.Connect(2000) != 0) return false;
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, fSequence++);
        if (CL_WritePacket(fSocket, header, CL_Blob(), 5000) != 0) return false;
        CL_Blob data;
        if (CL_ReadChunk(fSocket, &header, &data, 5000) != 0) return false;
        uint64 serverID = header.fServer.fID;
        CL_Blob table;
        CLU_Table().Flatten(table);
        CL_MakeAuthRequest(&header, fSequence++, 0);
        if (CL_WritePacket(fSocket, header, table, 5000) != 0) return false;
        CL_PayloadDecoder decoder(nullptr, true);
        do {
            if (CL_ReadChunk(fSocket, &header, &data, 5000) != 0) return false;
            if (decoder.Add(header, data) != 0) return false;
        } while (!decoder.IsComplete());
        if (header.fType != CL_PACKET_TYPE_AUTH) return false;
        fFlags = header.fFlags & uint16(~CL_IPC_FIRST_CHUNK);
        fCipher.reset(CL_NewConnectionCipher(fFlags, header.fConnection.fID, serverID));
        return true;
    }
    bool Call(const CL_Blob& input, CL_Blob* output) {
        CL_Blob payload = input;
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, fSequence++, 1, fFlags);
        CL_EncodePayload(&header, payload, fFlags, fCipher.get(), false);
        if (CL_WritePacket(fSocket, header, payload, 5000) != 0) return false;
        CL_PayloadDecoder decoder(fCipher.get(), false);
        for (;;) {
            CL_Blob data;
            if (CL_ReadChunk(fSocket, &header, &data, 5000) != 0) return false;
            if (header.fType == CL_PACKET_TYPE_PING) continue;
            if (decoder.Add(header, data) != 0) return false;
            if (decoder.IsComplete()) break;
        }
        *output = decoder.GetResult();
        return decoder.GetHeader().fType == CL_PACKET_TYPE_DATA;
    }
};

void BM_RPCServerEcho(benchmark::State& state) {
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
    for (auto _ : state) {
        if (!connection.Call(input, &output)) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RPCServerEcho)->Arg(0)->Threads(1)->Threads(8)->Threads(32)->UseRealTime();
BENCHMARK(BM_RPCServerEcho)
    ->Arg(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING)
    ->Threads(1)
    ->Threads(8)
    ->Threads(32)
    ->UseRealTime();

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
