// Loopback ping-pong of 32-byte packet headers: through CL_Socket (with its time-out
// bookkeeping) and the same exchange over plain POSIX sockets, in one run, so that
// the layer's cost shows as the ratio of the two.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "lumo/clock.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"

namespace {

uint16 BoundPort(int fd) {
    sockaddr_in bound;
    socklen_t length = sizeof(bound);
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

void NoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

void BM_PingPongSocket(benchmark::State& state) {
    CL_StartClock();
    CL_Socket listener(0, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP);
    listener.Accept(nullptr, 0);
    CL_Socket client(CL_NetAddress(CL_NetAddress::LOOPBACK, BoundPort(listener.GetDescriptor())),
                     CL_SOCKET_TYPE_TCP);
    client.Connect(2000);
    CL_Socket* accepted = nullptr;
    listener.Accept(&accepted, 2000);
    std::unique_ptr<CL_Socket> server(accepted);
    NoDelay(client.GetDescriptor());
    NoDelay(server->GetDescriptor());
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        CL_PacketHeader h;
        while (server->Read(&h, 32, 5000) == 32)
            if (server->Write(&h, 32, 5000) != 32) break;
    });
    CL_PacketHeader header, reply;
    CL_MakeAbortAllRequest(&header);
    for (auto _ : state) {
        if (client.Write(&header, 32, 5000) != 32 || client.Read(&reply, 32, 5000) != 32) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    client.Close();
    echo.join();
    state.SetItemsProcessed(state.iterations());
}

void BM_PingPongPosix(benchmark::State& state) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(listener, 1);
    address.sin_port = htons(BoundPort(listener));
    int client = socket(AF_INET, SOCK_STREAM, 0);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    int server = accept(listener, nullptr, nullptr);
    NoDelay(client);
    NoDelay(server);
    auto exact = [](ssize_t (*op)(int, void*, size_t), int fd, void* data) {
        size_t done = 0;
        while (done < 32) {
            ssize_t k = op(fd, static_cast<char*>(data) + done, 32 - done);
            if (k <= 0) return false;
            done += size_t(k);
        }
        return true;
    };
    auto readOp = [](int fd, void* p, size_t n) { return recv(fd, p, n, 0); };
    auto writeOp = [](int fd, void* p, size_t n) { return send(fd, p, n, MSG_NOSIGNAL); };
    std::thread echo([&] {
        CL_PacketHeader h;
        while (exact(readOp, server, &h) && exact(writeOp, server, &h)) {
        }
    });
    CL_PacketHeader header, reply;
    CL_MakeAbortAllRequest(&header);
    for (auto _ : state) {
        if (!exact(writeOp, client, &header) || !exact(readOp, client, &reply)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    shutdown(client, SHUT_RDWR);
    close(client);
    echo.join();
    close(server);
    close(listener);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PingPongPosix)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_PingPongSocket)->UseRealTime()->MinTime(1.0);

}  // namespace
