// The TCP RPC client over loopback against a minimal responder (it answers the
// handshake and echoes every DATA packet as its own reply): a small request's round
// trip beside a raw-socket ping-pong of the same bytes to the same responder, requests
// per second with 1, 4 and 8 threads sharing one connection and with 8 connections,
// and an asynchronous request with a progress callback, one at a time, on the client's
// own dispatcher and on one of 8 to 128 workers as the Python module's.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/table.h"

namespace {

constexpr uint32 kPayload = 64;

bool ReadAll(int fd, void* buffer, size_t n) {
    uint8* at = static_cast<uint8*>(buffer);
    while (n > 0) {
        ssize_t k = recv(fd, at, n, 0);
        if (k <= 0) return false;
        at += k;
        n -= size_t(k);
    }
    return true;
}

bool WriteAll(int fd, const void* buffer, size_t n) {
    const uint8* at = static_cast<const uint8*>(buffer);
    while (n > 0) {
        ssize_t k = send(fd, at, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        at += k;
        n -= size_t(k);
    }
    return true;
}

// Answers SERVER_INFO and AUTH with bare headers and sends every DATA packet back as
// it came: with flags 0 its checksum is already that of the echoed payload.
void Respond(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    std::vector<uint8> buffer(sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE);
    for (;;) {
        CL_PacketHeader header;
        if (!ReadAll(fd, &header, sizeof(header))) break;
        uint32 n = CL_ChunkPayloadSize(header);
        memcpy(buffer.data(), &header, sizeof(header));
        if (n && !ReadAll(fd, buffer.data() + sizeof(header), n)) break;
        if (header.fType != CL_PACKET_TYPE_DATA) {
            CL_PacketHeader* reply = reinterpret_cast<CL_PacketHeader*>(buffer.data());
            reply->fSize = 0;
            n = 0;
        }
        if (!WriteAll(fd, buffer.data(), sizeof(header) + n)) break;
    }
    close(fd);
}

class Responder {
public:
    Responder() {
        CL_Init();
        fListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address;
        memset(&address, 0, sizeof(address));
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fListener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        listen(fListener, 64);
        socklen_t length = sizeof(address);
        getsockname(fListener, reinterpret_cast<sockaddr*>(&address), &length);
        fPort = ntohs(address.sin_port);
        std::thread([this] {
            for (;;) {
                int fd = accept4(fListener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) break;
                std::thread(Respond, fd).detach();
            }
        }).detach();
    }
    uint16 Port() const { return fPort; }

private:
    int fListener;
    uint16 fPort;
};

Responder& TheResponder() {
    static Responder* responder = new Responder();
    return *responder;
}

std::unique_ptr<CL_TCPClient> Connected(CL_Dispatcher* dispatcher = nullptr) {
    auto client = std::make_unique<CL_TCPClient>(dispatcher);
    CLU_Table settings;
    settings.Set("host", std::string("127.0.0.1"));
    settings.Set("port", (long long)TheResponder().Port());
    settings.Set("timeout", 5000LL);
    CL_Blob output;
    if (client->Connect(settings, output, 0) != 0) return nullptr;
    return client;
}

void RawPingPong(benchmark::State& state) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(TheResponder().Port());
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    // The very bytes the client puts on the wire for a 64-byte request.
    std::string payload(kPayload, 'p');
    CL_Blob blob(payload);
    CL_PacketHeader header;
    CL_MakeDataRequest(&header, 1, 7, 0);
    header.fSize = kPayload;
    header.fData.fCheckSum = blob.CheckSum();
    std::string packet(reinterpret_cast<const char*>(&header), sizeof(header));
    packet += payload;
    std::string back(packet.size(), '\0');
    for (auto _ : state) {
        WriteAll(fd, packet.data(), packet.size());
        ReadAll(fd, back.data(), back.size());
    }
    close(fd);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RawPingPong)->UseRealTime();

void RoundTrip(benchmark::State& state) {
    auto client = Connected();
    if (!client) {
        state.SkipWithError("connect failed");
        return;
    }
    std::string payload(kPayload, 'p');
    CL_Blob input(payload);
    for (auto _ : state) {
        CL_Blob output;
        if (client->Execute(7, input, output, nullptr, 0) != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RoundTrip)->UseRealTime();

// Threads of one benchmark share one connection.
std::mutex sSharedLock;
std::unique_ptr<CL_TCPClient> sShared;

void SharedConnection(benchmark::State& state) {
    {
        std::lock_guard<std::mutex> guard(sSharedLock);
        if (!sShared) sShared = Connected();
    }
    CL_TCPClient* client = sShared.get();
    std::string payload(kPayload, 'p');
    CL_Blob input(payload);
    for (auto _ : state) {
        CL_Blob output;
        if (!client || client->Execute(7, input, output, nullptr, 0) != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(SharedConnection)->Threads(1)->Threads(4)->Threads(8)->UseRealTime();

void OwnConnections(benchmark::State& state) {
    auto client = Connected();
    std::string payload(kPayload, 'p');
    CL_Blob input(payload);
    for (auto _ : state) {
        CL_Blob output;
        if (!client || client->Execute(7, input, output, nullptr, 0) != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(OwnConnections)->Threads(8)->UseRealTime();

// The completion of one asynchronous request, waited for by the caller.
struct Completion {
    std::mutex fMutex;
    std::condition_variable fDone;
    bool fCompleted = false;
    CL_Status fStatus = CL_OK;

    static CL_Status Success(CL_Blob&, void* self) {
        return static_cast<Completion*>(self)->End(CL_OK);
    }
    static CL_Status Error(CL_Status code, CL_Blob&, void* self) {
        return static_cast<Completion*>(self)->End(code);
    }
    static CL_Status Progress(CL_ProgressType, double, const std::string&, CL_Blob*, void*) {
        return CL_OK;
    }
    CL_Status End(CL_Status status) {
        std::lock_guard<std::mutex> guard(fMutex);
        fStatus = status;
        fCompleted = true;
        fDone.notify_one();
        return CL_OK;
    }
    CL_Status Wait() {
        std::unique_lock<std::mutex> lock(fMutex);
        fDone.wait(lock, [&] { return fCompleted; });
        return fStatus;
    }
};

// Argument 0: the client's own dispatcher (1 to 32 workers); 1: a caller's of 8 to 128.
void AsyncWithProgress(benchmark::State& state) {
    std::unique_ptr<CL_Dispatcher> callers(state.range(0) ? new CL_Dispatcher(8, 128) : nullptr);
    auto client = Connected(callers.get());
    std::string payload(kPayload, 'p');
    for (auto _ : state) {
        Completion completion;
        CL_Blob input(payload);
        if (client)
            client->Execute(7, input, Completion::Success, Completion::Error, Completion::Progress,
                            nullptr, &completion, 0);
        if (!client || completion.Wait() != CL_OK) {
            state.SkipWithError("request failed");
            break;
        }
    }
    if (client) client->WaitForJobs();
    client.reset();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(AsyncWithProgress)->Arg(0)->Arg(1)->UseRealTime();

}  // namespace
