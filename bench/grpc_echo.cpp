// Comparison points for the whole-road benchmark (bench/python/road_bench.py): unary
// gRPC C++ calls over loopback, and a raw TCP echo server for socket ping-pongs.
//
//   grpc_echo calls REQUEST-BYTES REPLY-BYTES THREADS SECONDS [shared|own]
//       starts a gRPC server on 127.0.0.1, then THREADS threads call it for SECONDS
//       on one shared channel or a channel each; prints one JSON object:
//       {"calls": N, "seconds": S, "mean_us": M}
//   grpc_echo raw-server
//       echoes every byte read on 127.0.0.1, a thread per connection; prints its port
//       first and ends when stdin closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <grpcpp/grpcpp.h>

#include "road_echo.grpc.pb.h"

namespace {

class RoadService final : public zelmo_road::Road::Service {
    grpc::Status Call(grpc::ServerContext*, const zelmo_road::RoadRequest* request,
                      zelmo_road::RoadReply* reply) override {
        if (request->reply_size() == 0) {
            reply->set_payload(request->payload());
        } else {
            std::string data(request->reply_size(), '\0');
            for (size_t i = 0; i < data.size(); i++) data[i] = char(i * 131 + 7);
            reply->set_payload(std::move(data));
        }
        return grpc::Status::OK;
    }
};

int Calls(uint32_t requestBytes, uint32_t replyBytes, int threads, double seconds, bool shared) {
    RoadService service;
    int port = 0;
    grpc::ServerBuilder builder;
    builder.AddListeningPort("127.0.0.1:0", grpc::InsecureServerCredentials(), &port);
    builder.SetMaxReceiveMessageSize(64 << 20);
    builder.SetMaxSendMessageSize(64 << 20);
    builder.RegisterService(&service);
    std::unique_ptr<grpc::Server> server = builder.BuildAndStart();
    if (!server || port == 0) {
        fprintf(stderr, "cannot start the gRPC server\n");
        return 1;
    }
    const std::string address = "127.0.0.1:" + std::to_string(port);
    auto channelFor = [&](int n) {
        grpc::ChannelArguments arguments;
        arguments.SetMaxReceiveMessageSize(64 << 20);
        if (!shared) arguments.SetInt("grpc.channel_id", n);  // a connection each
        arguments.SetInt("grpc.use_local_subchannel_pool", shared ? 0 : 1);
        return grpc::CreateCustomChannel(address, grpc::InsecureChannelCredentials(), arguments);
    };
    std::shared_ptr<grpc::Channel> common = channelFor(0);

    zelmo_road::RoadRequest request;
    request.set_payload(std::string(requestBytes, 'p'));
    request.set_reply_size(replyBytes);

    std::atomic<bool> go{false}, stop{false}, failed{false};
    std::atomic<uint64_t> calls{0};
    std::atomic<double> busy{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([&, t] {
            auto stub = zelmo_road::Road::NewStub(shared ? common : channelFor(t + 1));
            zelmo_road::RoadReply reply;
            {  // one call to open the connection before the clock starts
                grpc::ClientContext context;
                if (!stub->Call(&context, request, &reply).ok()) failed = true;
            }
            while (!go) std::this_thread::yield();
            uint64_t mine = 0;
            auto start = std::chrono::steady_clock::now();
            while (!stop) {
                grpc::ClientContext context;
                if (!stub->Call(&context, request, &reply).ok()) {
                    failed = true;
                    break;
                }
                mine++;
            }
            double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                               .count();
            calls += mine;
            double expected = busy.load();
            while (!busy.compare_exchange_weak(expected, expected + spent)) {
            }
        });
    auto start = std::chrono::steady_clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& w : workers) w.join();
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    server->Shutdown();
    if (failed || calls == 0) {
        fprintf(stderr, "a call failed\n");
        return 1;
    }
    // Mean round trip as each thread saw it: busy thread time over calls.
    printf("{\"calls\": %llu, \"seconds\": %.6f, \"mean_us\": %.3f}\n",
           (unsigned long long)calls.load(), elapsed, busy.load() * 1e6 / double(calls.load()));
    return 0;
}

void Echo(int fd) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = read(fd, buffer.data(), buffer.size());
        if (n <= 0) break;
        for (ssize_t sent = 0; sent < n;) {
            ssize_t w = write(fd, buffer.data() + sent, size_t(n - sent));
            if (w <= 0) {
                close(fd);
                return;
            }
            sent += w;
        }
    }
    close(fd);
}

int RawServer() {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, 64) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        fprintf(stderr, "cannot listen\n");
        return 1;
    }
    printf("%u\n", unsigned(ntohs(address.sin_port)));
    fflush(stdout);
    for (;;) {
        pollfd p[2] = {{0, POLLIN, 0}, {listener, POLLIN, 0}};
        if (poll(p, 2, -1) < 0) break;
        if (p[0].revents) {
            char c[64];
            if (read(0, c, sizeof(c)) <= 0) break;
        }
        if (p[1].revents & POLLIN) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0) continue;
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            std::thread(Echo, fd).detach();
        }
    }
    close(listener);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "calls" && (argc == 6 || argc == 7))
        return Calls(uint32_t(strtoul(argv[2], nullptr, 10)), uint32_t(strtoul(argv[3], nullptr, 10)),
                     atoi(argv[4]), atof(argv[5]), argc == 6 || std::string(argv[6]) != "own");
    if (mode == "raw-server" && argc == 2) return RawServer();
    const char* usage =
        "usage: grpc_echo calls REQUEST-BYTES REPLY-BYTES THREADS SECONDS [shared|own]\n"
        "       grpc_echo raw-server\n"
        "calls: starts a gRPC server on 127.0.0.1, then THREADS threads call it for SECONDS\n"
        "  on one shared channel or a channel each, and prints one JSON object:\n"
        "  {\"calls\": N, \"seconds\": S, \"mean_us\": M}\n"
        "raw-server: echoes every byte read on 127.0.0.1, a thread per connection; prints\n"
        "  its port first and ends when its standard input closes.\n";
    bool help = mode == "--help" || mode == "-h";
    if (!help) {
        if (mode.empty() || mode == "calls" || mode == "raw-server")
            fprintf(stderr, "grpc_echo: wrong number of arguments\n");
        else
            fprintf(stderr, "grpc_echo: unknown mode %s\n", mode.c_str());
    }
    fputs(usage, help ? stdout : stderr);
    return help ? 0 : 2;
}
