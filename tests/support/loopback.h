// Loopback endpoints for tests, fuzz targets and benchmarks: a free TCP port, the port
// a socket is bound to, a port that refuses connections, a connected TCP socket pair
// and a bound UDP peer, all on 127.0.0.1.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "lumo/base_types.h"
#include "lumo/clock.h"
#include "lumo/socket.h"

// 127.0.0.1:`port` as a socket address.
inline sockaddr_in LoopbackAddress(uint16 port) {
    sockaddr_in address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The local port of descriptor `fd` (IPv4 or IPv6); 0 when it has none.
inline uint16 BoundPort(int fd) {
    sockaddr_in6 bound;
    socklen_t length = sizeof(bound);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    return ntohs(bound.sin6_port);  // same offset as sin_port
}

inline uint16 BoundPort(const CL_Socket& socket) {
    return BoundPort(socket.GetDescriptor());
}

// Binds `fd` to 127.0.0.1 on a port the system picks; that port, or 0.
inline uint16 BindLoopback(int fd) {
    sockaddr_in address = LoopbackAddress(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 0;
    return BoundPort(fd);
}

// A TCP port free on the loopback address at the moment of asking: bound to port 0,
// read back and released. Another process may take it before it is used again, so
// callers that can bind port 0 themselves should do that instead.
inline uint16 FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    uint16 port = BindLoopback(fd);
    close(fd);
    return port;
}

// A loopback port bound but never listening while this lives: a connection to it is
// refused at once, and nobody else can take the port meanwhile.
class RefusingPort {
public:
    RefusingPort()
        : fFD(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), fPort(BindLoopback(fFD)) {}
    ~RefusingPort() { close(fFD); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    uint16 Port() const { return fPort; }

private:
    int fFD;
    uint16 fPort;
};

// A listener on an ephemeral loopback port, a client connected to it and the server's
// end of that connection; `fError` names the step that failed, empty when none did.
struct SocketPair {
    SocketPair() : fListener(0, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP) {
        CL_StartClock();
        if (fListener.Accept(nullptr, 0) != 0) {
            fError = "listen";
            return;
        }
        fPort = BoundPort(fListener);
        fClient = CL_Socket(CL_NetAddress(CL_NetAddress::LOOPBACK, fPort), CL_SOCKET_TYPE_TCP);
        if (fClient.Connect(2000) != 0) {
            fError = "connect";
            return;
        }
        CL_Socket* accepted = nullptr;
        if (fListener.Accept(&accepted, 2000) != 0) {
            fError = "accept";
            return;
        }
        fServer.reset(accepted);
    }
    CL_Socket fListener;
    uint16 fPort = 0;
    CL_Socket fClient;
    std::unique_ptr<CL_Socket> fServer;
    std::string fError;
};

// A UDP socket bound on loopback, to send datagrams from and read replies on.
class UdpPeer {
public:
    UdpPeer() : fFD(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), fPort(BindLoopback(fFD)) {}
    ~UdpPeer() { close(fFD); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16 Port() const { return fPort; }
    void SendTo(uint16 port, const void* data, size_t size) {
        sockaddr_in to = LoopbackAddress(port);
        sendto(fFD, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    }
    // One datagram within `ms`, or an empty string.
    std::string Receive(uint32 ms) {
        pollfd p = {fFD, POLLIN, 0};
        if (poll(&p, 1, int(ms)) <= 0) return "";
        char buffer[4096];
        ssize_t n = recv(fFD, buffer, sizeof(buffer), 0);
        return n > 0 ? std::string(buffer, size_t(n)) : "";
    }

private:
    int fFD;
    uint16 fPort;
};
