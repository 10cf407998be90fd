// Feeds a running server end request bytes from the fuzz input over a loopback
// connection. The first byte picks the server (flag set) and whether a valid
// handshake (SERVER_INFO, AUTH) comes first; the rest goes out as it is, in pieces
// whose sizes the input also chooses, so headers and chunks are cut anywhere.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "support/loopback.h"
#include "support/private_network.h"

namespace {

constexpr uint16 kFlags[4] = {0, CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING, CL_IPC_TEA_CRYPTING,
                              CL_IPC_COMPRESS | CL_IPC_BLOWFISH_CRYPTING};
CL_TCPServer* sServers[4];
uint16 sPorts[4];

CL_Status Echo(CL_Command command, CL_Blob& input, CL_Blob& output, CL_ClientContext* context,
               uint32 id) {
    context->SetProgress(id, double(command % 150) - 20.0, "fuzz");
    CLU_Table table;
    input.Seek(0, CL_SEEK_SET);
    table.Unflatten(input);
    table.Flatten(output);
    return command % 3 == 0 ? CL_Status(command) : 0;
}

CL_Status Connect(CL_ClientContext*, void* table) {
    return static_cast<CLU_Table*>(table)->GetString("password") == "no" ? CL_Status(3001) : CL_OK;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Reads whatever comes back until the server closes or goes quiet for `ms`.
void Drain(int fd, int ms) {
    char buffer[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return;
        if (recv(fd, buffer, sizeof(buffer), 0) <= 0) return;
    }
}

void Handshake(int fd, uint32 flags) {
    CL_PacketHeader header;
    CL_MakeServerInfoRequest(&header, 1);
    WriteAll(fd, reinterpret_cast<uint8_t*>(&header), sizeof(header));
    CL_Blob table;
    CLU_Table().Set("host", std::string("fuzz")).Set("chat_port", 0).Flatten(table);
    CL_MakeAuthRequest(&header, 2, flags);
    CL_Blob wire;
    CL_BuildPacket(header, table, &wire);
    WriteAll(fd, wire.GetDataForRead(), wire.GetSize());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EnterPrivateNetwork();
    CL_Init();
    static CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = Echo;
    callbacks.fConnect = Connect;
    for (int i = 0; i < 4; i++) {
        sServers[i] = new CL_TCPServer();
        sServers[i]->SetCallbacks(&callbacks, nullptr);
        CL_Status status = -1;
        for (int attempt = 0; attempt < 20 && status != 0; attempt++) {
            CLU_Table settings;
            sPorts[i] = FreeLoopbackPort();
            settings.Set("ip", std::string("127.0.0.1"));
            settings.Set("listener_port", (long long)sPorts[i]);
            settings.Set("flags", (long long)kFlags[i]);
            settings.Set("timeout", 200);
            sServers[i]->Setup(settings);
            status = sServers[i]->Start();
        }
        if (status != 0) abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t mode = data[0];
    uint8_t cut = data[1];
    data += 2;
    size -= 2;
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = LoopbackAddress(sPorts[mode & 3]);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return 0;
    }
    if (mode & 4) Handshake(fd, mode >> 4);
    size_t piece = cut ? cut : size;
    for (size_t at = 0; at < size; at += piece) {
        size_t n = size - at < piece ? size - at : piece;
        if (!WriteAll(fd, data + at, n)) break;
        if (mode & 8) usleep(200);
    }
    shutdown(fd, SHUT_WR);
    Drain(fd, 5);
    close(fd);
    return 0;
}
