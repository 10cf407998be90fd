// Plays the server's side of a TCP RPC connection from fuzz bytes against the client:
// the input is a series of segments (u16 length, then the bytes) written one per
// request the client sends (the handshake's SERVER_INFO and AUTH, then two DATA
// requests), or after a short silence when none comes. Unless its first byte is odd,
// the first header of a segment (padded with zeros to a whole header) gets the
// protocol's magic and version and the sequence number of the request it answers,
// so that runs go past the header checks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "lumo/table.h"
#include "support/loopback.h"

namespace {

int sListener = -1;
uint16 sPort = 0;

void Listen() {
    sListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sPort = BindLoopback(sListener);
    listen(sListener, 8);
}

// Reads what the client sent within ms; returns the sequence of the last header seen
// at the start of the bytes, or `last` when nothing came.
uint32 Drain(int fd, uint32 last, int ms) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return last;
    uint8 buffer[65536];
    ssize_t n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n >= int(sizeof(CL_PacketHeader))) {
        CL_PacketHeader header;
        memcpy(&header, buffer, sizeof(header));
        return header.fSequence;
    }
    return last;
}

void Serve(std::vector<std::string> segments) {
    pollfd p = {sListener, POLLIN, 0};
    if (poll(&p, 1, 2000) <= 0) return;
    int fd = accept4(sListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    uint32 sequence = 0;
    for (std::string& segment : segments) {
        sequence = Drain(fd, sequence, 5);
        if (!segment.empty() && (segment[0] & 1) == 0) {
            // Short inputs still make whole headers: the rest is zeros.
            if (segment.size() < sizeof(CL_PacketHeader)) segment.resize(sizeof(CL_PacketHeader));
            memcpy(&segment[offsetof(CL_PacketHeader, fMagic)], &CL_IPC_MAGIC, 4);
            memcpy(&segment[offsetof(CL_PacketHeader, fVersion)], &CL_IPC_VERSION, 4);
            memcpy(&segment[offsetof(CL_PacketHeader, fSequence)], &sequence, 4);
        }
        if (send(fd, segment.data(), segment.size(), MSG_NOSIGNAL) < 0) break;
    }
    Drain(fd, sequence, 1);
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // One dispatcher for every run: starting worker threads per input would dominate.
    static CL_Dispatcher* dispatcher = [] {
        CL_Init();
        Listen();
        return new CL_Dispatcher(1, 4);
    }();
    if (size < 1) return 0;
    uint16 connFlags = data[0];
    std::vector<std::string> segments;
    size_t at = 1;
    while (at + 2 <= size && segments.size() < 16) {
        size_t length = size_t(data[at]) | (size_t(data[at + 1]) << 8);
        at += 2;
        if (length > size - at) length = size - at;
        segments.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }

    std::thread server(Serve, segments);
    {
        CL_TCPClient client(dispatcher);
        CLU_Table settings;
        settings.Set("host", std::string("127.0.0.1"));
        settings.Set("port", (long long)sPort);
        settings.Set("timeout", 150LL);
        settings.Set("conn_flags", (long long)(connFlags & 0x0107));
        CL_Blob output;
        if (client.Connect(settings, output, 150) == 0) {
            for (int i = 0; i < 2; i++) {
                CL_Blob input("fuzz request"), reply;
                client.Execute(uint32(i), input, reply, nullptr, 150);
            }
        }
        client.Disconnect();
    }
    server.join();
    return 0;
}
