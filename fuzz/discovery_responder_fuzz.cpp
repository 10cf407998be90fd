// Feeds the discovery responder datagrams from the fuzz input: each input is cut
// into at most eight datagrams by one length byte before each. Every few inputs a DISCOVER must
// still be answered, so that a datagram which stalls the responder is found too.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "support/loopback.h"
#include "support/private_network.h"

namespace {

CL_TCPServer* sServer;
int sSocket = -1;
int sChat = -1;
uint16 sChatPort = 0;
int sClient = -1;
uint32 sInputs = 0;
// Datagrams sent since the last check; the responder takes ten per turn of 200 ms.
uint32 sPending = 0;
constexpr uint32 kMaxDatagramsPerInput = 8;

CL_Status Describe(CL_Server*, CLU_Table& info) {
    info.Set("name", std::string("fuzz"));
    info.Set("desc", std::string(2000, 'd'));  // longer than the info block
    return CL_OK;
}

void SendDatagram(const void* data, size_t size) {
    sockaddr_in to = LoopbackAddress(sServer->GetResponderPort());
    sendto(sSocket, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

void Drain(int fd) {
    char buffer[65536];
    while (recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT) >= 0) {
    }
}

// The responder answers a DISCOVER within a few turns, or it is stuck. Datagrams may
// be dropped when the responder's queue is full of fuzz input, so the request is sent
// again on every turn without an answer, as a real client retries.
void CheckAlive() {
    Drain(sSocket);
    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    uint32 turns = sPending / 10 + 50;
    sPending = 0;
    for (uint32 i = 0; i < turns * 2; i++) {
        SendDatagram(&discover, sizeof(discover));
        pollfd p = {sSocket, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buffer[2048];
            if (recv(sSocket, buffer, sizeof(buffer), 0) == sizeof(CL_DiscoveryPacket)) return;
        }
    }
    fprintf(stderr, "discovery responder stopped answering\n");
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EnterPrivateNetwork();
    CL_Init();
    static CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fServerInfo = Describe;
    sServer = new CL_TCPServer();
    sServer->SetCallbacks(&callbacks, nullptr);
    CLU_Table settings;
    uint16 port = FreeLoopbackPort();
    settings.Set("ip", std::string("127.0.0.1"));
    settings.Set("listener_port", (long long)port);
    sServer->Setup(settings);
    if (sServer->Start() != 0) abort();
    sSocket = socket(AF_INET, SOCK_DGRAM, 0);
    BindLoopback(sSocket);
    // One client with a chat port, so that relays have somewhere to go.
    sChat = socket(AF_INET, SOCK_DGRAM, 0);
    sChatPort = BindLoopback(sChat);
    sClient = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in server = LoopbackAddress(port);
    if (connect(sClient, reinterpret_cast<sockaddr*>(&server), sizeof(server)) != 0) abort();
    CL_Blob table;
    CLU_Table().Set("chat_port", (long long)sChatPort).Flatten(table);
    CL_PacketHeader header;
    CL_MakeAuthRequest(&header, 1, 0);
    CL_Blob wire;
    CL_BuildPacket(header, table, &wire);
    send(sClient, wire.GetDataForRead(), wire.GetSize(), MSG_NOSIGNAL);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // An odd first byte makes every datagram start with a valid magic and version,
    // so that the rest of the header (type, sizes, target count) is what varies.
    bool valid = data[0] & 1;
    size_t at = 1;
    uint8_t datagram[1024];
    for (uint32 count = 0; at < size && count < kMaxDatagramsPerInput; count++) {
        size_t length = data[at++];
        // Lengths from 0 to 510, so that a header and some ids fit.
        length = length * 2;
        if (length > size - at) length = size - at;
        memcpy(datagram, data + at, length);
        if (valid && length >= 8) {
            uint32 magic = CL_IPC_MAGIC, version = CL_IPC_VERSION;
            memcpy(datagram, &magic, 4);
            memcpy(datagram + 4, &version, 4);
        }
        SendDatagram(datagram, length);
        sPending++;
        at += length;
    }
    Drain(sChat);
    if (++sInputs % 16 == 0) CheckAlive();
    return 0;
}
