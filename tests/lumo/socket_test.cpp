// Sockets on loopback: connect, refusal, whole-operation time-outs, peer close in the
// middle of a read, peek, discard, non-blocking connect, UDP senders, accepted-socket
// options (keep-alive, close-on-exec) and the errno table.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lumo/blob.h"
#include "lumo/clock.h"
#include "lumo/net/socket_binding.h"
#include "lumo/socket.h"
#include "support/loopback.h"

namespace {

TEST(Socket, ErrorTable) {
    EXPECT_EQ(CL_Socket::TranslateError(0), 0);
    EXPECT_EQ(CL_Socket::TranslateError(EINTR), 5);
    EXPECT_EQ(CL_Socket::TranslateError(EBADF), 117);
    EXPECT_EQ(CL_Socket::TranslateError(11), 4);
    EXPECT_EQ(CL_Socket::TranslateError(EACCES), 3);
    EXPECT_EQ(CL_Socket::TranslateError(EINVAL), 117);
    EXPECT_EQ(CL_Socket::TranslateError(EPIPE), 114);
    EXPECT_EQ(CL_Socket::TranslateError(EPROTONOSUPPORT), 101);
    EXPECT_EQ(CL_Socket::TranslateError(EADDRINUSE), 106);
    EXPECT_EQ(CL_Socket::TranslateError(ENETDOWN), 104);
    EXPECT_EQ(CL_Socket::TranslateError(ENETUNREACH), 104);
    EXPECT_EQ(CL_Socket::TranslateError(ECONNABORTED), 114);
    EXPECT_EQ(CL_Socket::TranslateError(ECONNRESET), 115);
    EXPECT_EQ(CL_Socket::TranslateError(EISCONN), 116);
    EXPECT_EQ(CL_Socket::TranslateError(ENOTCONN), 114);
    EXPECT_EQ(CL_Socket::TranslateError(ESHUTDOWN), 114);
    EXPECT_EQ(CL_Socket::TranslateError(ETIMEDOUT), 4);
    EXPECT_EQ(CL_Socket::TranslateError(ECONNREFUSED), 103);
    EXPECT_EQ(CL_Socket::TranslateError(EHOSTDOWN), 105);
    EXPECT_EQ(CL_Socket::TranslateError(EHOSTUNREACH), 105);
    EXPECT_EQ(CL_Socket::TranslateError(EINPROGRESS), 5);
    EXPECT_EQ(CL_Socket::TranslateError(ENOENT), -1);
    EXPECT_EQ(CL_Socket::TranslateError(116), -1);
    EXPECT_EQ(CL_Socket::TranslateError(-5), -1);
    int mapped = 0;
    for (int e = 0; e <= 115; e++)
        if (CL_Socket::TranslateError(e) != -1) mapped++;
    EXPECT_EQ(mapped, 21);
}

TEST(Socket, ConstructionAndState) {
    CL_Socket empty;
    EXPECT_FALSE(empty.IsOk());
    EXPECT_EQ(empty.Connect(100), 102);
    CL_Socket any6(80, CL_SOCKET_DOMAIN_INET6, CL_SOCKET_TYPE_TCP);
    EXPECT_TRUE(any6.IsOk());
    EXPECT_EQ(any6.GetAddress().GetIP(), "::");
    EXPECT_EQ(any6.GetAddress().GetPort(), 80);
    CL_Socket none(80, CL_SOCKET_DOMAIN_NONE, CL_SOCKET_TYPE_TCP);
    EXPECT_FALSE(none.IsOk());
    // Handles share one state.
    CL_Socket a(CL_NetAddress(CL_NetAddress::LOOPBACK, 1), CL_SOCKET_TYPE_UDP);
    CL_Socket b = a;
    b.SetType(CL_SOCKET_TYPE_TCP);
    EXPECT_EQ(a.GetType(), CL_SOCKET_TYPE_TCP);
    a.SetAddress(CL_NetAddress(CL_NetAddress::LOOPBACK6, 2));
    EXPECT_EQ(b.GetDomain(), CL_SOCKET_DOMAIN_INET6);
    // Reads and writes without a descriptor.
    char byte = 0;
    EXPECT_EQ(a.Read(&byte, 1, 0), 0u);
    EXPECT_EQ(a.GetIOError(false), 114);
    EXPECT_EQ(a.Write(&byte, 1, 0), 0u);
    EXPECT_EQ(a.GetIOError(false), 114);
    EXPECT_EQ(a.Write(nullptr, 1, 0), 0u);
    EXPECT_EQ(a.GetIOError(false), 113);
    EXPECT_FALSE(a.Pending(1));
    EXPECT_EQ(a.GetIOError(false), 114);
}

TEST(Socket, ConnectTransferAndAcceptedOptions) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    ASSERT_NE(p.fServer, nullptr);
    EXPECT_TRUE(p.fClient.IsConnected());
    EXPECT_TRUE(p.fServer->IsConnected());
    EXPECT_EQ(p.fServer->GetAddress().GetIP(), "127.0.0.1");

    int fd = p.fServer->GetDescriptor();
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(p.fClient.GetDescriptor(), F_GETFD) & FD_CLOEXEC);
    int value = 0;
    socklen_t length = sizeof(value);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &value, &length), 0);
    EXPECT_EQ(value, 1);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &value, &length), 0);
    EXPECT_EQ(value, 180);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &value, &length), 0);
    EXPECT_EQ(value, 10);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &value, &length), 0);
    EXPECT_EQ(value, 1);

    // A few MiB each way, writer and reader on different threads, through blobs.
    const uint32 size = 3u << 20;
    CL_Blob out(size);
    for (uint32 i = 0; i < size; i++)
        out.GetDataForWrite()[i] = uint8(i * 7 + (i >> 12));
    out.Seek(0, CL_SEEK_SET);
    std::thread writer([&] { EXPECT_EQ(p.fClient.Write(out, size, 5000), size); });
    CL_Blob in;
    EXPECT_EQ(p.fServer->Read(in, size, 5000), size);
    writer.join();
    EXPECT_EQ(p.fServer->GetIOError(false), 0);
    EXPECT_EQ(out.Tell(), size);  // the writer's position moved
    EXPECT_EQ(in.Tell(), 0u);     // the reader's did not
    EXPECT_TRUE(in == out);

    // Reading into the middle of a blob grows it only as far as needed.
    CL_Blob partial(std::string("0123456789"));
    partial.Seek(5, CL_SEEK_SET);
    ASSERT_EQ(p.fClient.Write("abcdefgh", 8, 1000), 8u);
    EXPECT_EQ(p.fServer->Read(partial, 8, 1000), 8u);
    EXPECT_EQ(partial.Raw(), "01234abcdefgh");
    EXPECT_EQ(partial.Tell(), 5u);

    // Zero bytes: nothing, no error, still open.
    char buffer[64];
    EXPECT_EQ(p.fServer->Read(buffer, 0, 100), 0u);
    EXPECT_EQ(p.fServer->GetIOError(false), 0);
    EXPECT_TRUE(p.fServer->IsConnected());
}

TEST(Socket, RefusedPort) {
    CL_StartClock();
    RefusingPort refusing;
    CL_Socket client(CL_NetAddress(CL_NetAddress::LOOPBACK, refusing.Port()), CL_SOCKET_TYPE_TCP);
    EXPECT_EQ(client.Connect(1000), 103);
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(client.Connect(CL_WAIT_FOREVER), 103);
    // A started connection that the peer refuses reports it through the pending error.
    CL_Status status = client.Connect(0);
    if (status == 14) {
        CL_Socket* self = &client;
        CL_Socket::Select(nullptr, self, nullptr, 1000, nullptr);
        EXPECT_EQ(client.GetIOError(true), 103);
    } else {
        EXPECT_EQ(status, 103);
    }
}

// Connect failures that the system reports at once, without any traffic: an errno
// outside the connect table gives 107 and one line on stderr; a process out of
// descriptors gives 8.
TEST(Socket, ConnectFailureCodes) {
    CL_StartClock();
    CL_NetAddress linkLocal(std::string("fe80::1"));  // no scope: the system refuses it
    linkLocal.SetPort(9);
    CL_Socket client(linkLocal, CL_SOCKET_TYPE_TCP);
    testing::internal::CaptureStderr();
    CL_Status status = client.Connect(1000);
    std::string printed = testing::internal::GetCapturedStderr();
    if (status == 100 || status == 101) GTEST_SKIP() << "no IPv6 sockets here";
    EXPECT_EQ(status, 107);
    EXPECT_EQ(printed, "CL_Socket::Connect(1000): error 22\n");
    EXPECT_FALSE(client.IsConnected());

    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    int next = dup(0);
    ASSERT_GE(next, 0);
    close(next);
    rlimit tight = limit;
    tight.rlim_cur = rlim_t(next);  // the lowest free descriptor is already over the limit
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    CL_Socket starved(CL_NetAddress(CL_NetAddress::LOOPBACK, 9), CL_SOCKET_TYPE_TCP);
    status = starved.Connect(100);
    setrlimit(RLIMIT_NOFILE, &limit);
    EXPECT_EQ(status, 8);
    EXPECT_EQ(starved.GetDescriptor(), -1);
}

TEST(Socket, TimeOutsBoundTheWholeRead) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    char buffer[64];
    uint32 start = CL_GetTime();
    EXPECT_EQ(p.fServer->Read(buffer, 10, 0), 0u);
    EXPECT_EQ(p.fServer->GetIOError(false), 4);
    EXPECT_TRUE(p.fServer->IsConnected());  // a time-out keeps the connection

    // Bytes that trickle in do not extend the time-out.
    std::thread trickle([&] {
        for (int i = 0; i < 6; i++) {
            usleep(40 * 1000);
            p.fClient.Write("x", 1, 1000);
        }
    });
    start = CL_GetTime();
    uint32 got = p.fServer->Read(buffer, 64, 150);
    uint32 elapsed = CL_GetTime() - start;
    trickle.join();
    EXPECT_GE(elapsed, 140u);
    EXPECT_LT(elapsed, 400u);
    EXPECT_GE(got, 2u);
    EXPECT_LT(got, 6u);
    EXPECT_EQ(p.fServer->GetIOError(false), 4);
    EXPECT_TRUE(p.fServer->IsConnected());
}

TEST(Socket, PeerCloseInTheMiddleOfARead) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    std::thread peer([&] {
        p.fClient.Write("0123456789", 10, 1000);
        usleep(50 * 1000);
        p.fClient.Close();
    });
    char buffer[32];
    EXPECT_EQ(p.fServer->Read(buffer, 32, 2000), 10u);
    peer.join();
    EXPECT_EQ(p.fServer->GetIOError(false), 115);
    EXPECT_EQ(p.fServer->GetDescriptor(), -1);
    EXPECT_FALSE(p.fServer->IsConnected());
    // Reading again: not connected.
    EXPECT_EQ(p.fServer->Read(buffer, 1, 0), 0u);
    EXPECT_EQ(p.fServer->GetIOError(false), 114);
}

TEST(Socket, IsConnectedNoticesTheClose) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    p.fClient.Close();
    usleep(20 * 1000);
    EXPECT_FALSE(p.fServer->IsConnected());
    EXPECT_EQ(p.fServer->GetDescriptor(), -1);
}

TEST(Socket, PeekWaitsForTheWholeCount) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    ASSERT_EQ(p.fClient.Write("0123456789", 10, 1000), 10u);
    usleep(10 * 1000);
    char buffer[32];
    uint32 start = CL_GetTime();
    EXPECT_EQ(p.fServer->Peek(buffer, 32, 100), 10u);
    EXPECT_GE(CL_GetTime() - start, 90u);
    EXPECT_EQ(p.fServer->GetIOError(false), 0);
    EXPECT_TRUE(p.fServer->Pending(10));
    EXPECT_FALSE(p.fServer->Pending(11));

    std::thread rest([&] {
        usleep(50 * 1000);
        std::string more(22, 'y');
        p.fClient.Write(more.data(), 22, 1000);
    });
    EXPECT_EQ(p.fServer->Peek(buffer, 32, 2000), 32u);
    rest.join();
    EXPECT_EQ(std::string(buffer, 12), "0123456789yy");
    // Peeking left everything queued.
    EXPECT_EQ(p.fServer->Read(buffer, 32, 1000), 32u);
}

TEST(Socket, Discard) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    std::string bytes(3000, 'z');
    ASSERT_EQ(p.fClient.Write(bytes.data(), 3000, 1000), 3000u);
    usleep(20 * 1000);
    ASSERT_TRUE(p.fServer->Pending(3000));
    p.fServer->Discard(0);
    EXPECT_FALSE(p.fServer->Pending(1));
    EXPECT_EQ(p.fServer->GetIOError(false), 0);

    ASSERT_EQ(p.fClient.Write(bytes.data(), 2500, 1000), 2500u);
    p.fServer->Discard(2000);
    EXPECT_EQ(p.fServer->GetIOError(false), 0);
    char buffer[600];
    EXPECT_EQ(p.fServer->Read(buffer, 600, 100), 500u);

    // Bytes that never arrive: the discard gives up with the time-out status.
    ASSERT_EQ(p.fClient.Write(bytes.data(), 10, 1000), 10u);
    uint32 start = CL_GetTime();
    p.fServer->Discard(100);
    EXPECT_LT(CL_GetTime() - start, 3000u);
    EXPECT_EQ(p.fServer->GetIOError(false), 4);
    EXPECT_TRUE(p.fServer->IsConnected());
}

TEST(Socket, NonBlockingConnect) {
    CL_StartClock();
    CL_Socket listener(0, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP);
    ASSERT_EQ(listener.Accept(nullptr, 0), 0);
    int fd = listener.GetDescriptor();
    // A second call only resets the address: the same bound descriptor.
    ASSERT_EQ(listener.Accept(nullptr, 0), 0);
    EXPECT_EQ(listener.GetDescriptor(), fd);
    CL_Socket client(CL_NetAddress(CL_NetAddress::LOOPBACK, BoundPort(listener)),
                     CL_SOCKET_TYPE_TCP);
    CL_Status status = client.Connect(0);
    ASSERT_TRUE(status == 14 || status == 0) << status;
    EXPECT_TRUE(client.IsConnected());
    if (status == 14) {
        EXPECT_EQ(client.GetIOError(false), 14);
        EXPECT_EQ(CL_Socket::Select(nullptr, &client, nullptr, 1000, nullptr), 0);
        EXPECT_EQ(client.GetIOError(true), 0);
    }
    CL_Socket* accepted = nullptr;
    ASSERT_EQ(listener.Accept(&accepted, 1000), 0);
    delete accepted;
    // Nobody else connects: the accept wait ends with a time-out.
    EXPECT_EQ(listener.Accept(&accepted, 50), 4);
}

TEST(Socket, WriteTimeOutWhenThePeerDoesNotRead) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    std::vector<char> big(64u << 20, 'q');
    uint32 start = CL_GetTime();
    uint32 sent = p.fClient.Write(big.data(), uint32(big.size()), 200);
    uint32 elapsed = CL_GetTime() - start;
    EXPECT_LT(sent, big.size());
    EXPECT_EQ(p.fClient.GetIOError(false), 4);
    EXPECT_GE(elapsed, 150u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_TRUE(p.fClient.IsConnected());
}

// A listener, TCP or UDP, binds the wildcard address even when given a loopback one,
// unless its owner asked to keep that; a kept one stays when it opens again.
TEST(Socket, ListenerGivenLoopbackBindsTheWildcardUnlessKept) {
    CL_StartClock();
    auto boundIP = [](const CL_Socket& socket) {
        sockaddr_in bound;
        socklen_t length = sizeof(bound);
        if (getsockname(socket.GetDescriptor(), reinterpret_cast<sockaddr*>(&bound), &length))
            return std::string();
        return CL_NetAddress(reinterpret_cast<const sockaddr&>(bound)).GetIP();
    };
    for (CL_SocketType type : {CL_SOCKET_TYPE_TCP, CL_SOCKET_TYPE_UDP}) {
        for (bool keep : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", kept " << keep);
            CL_Socket loopback(CL_NetAddress(CL_NetAddress::LOOPBACK, 0), type);
            CL_SocketBinding::KeepLoopback(loopback, keep);
            for (int open = 0; open < 2; open++) {
                ASSERT_EQ(loopback.Accept(nullptr, 0), 0);
                EXPECT_EQ(boundIP(loopback), keep ? "127.0.0.1" : "0.0.0.0");
                loopback.Close();
            }
        }
    }
}

TEST(Socket, PortProbe) {
    SocketPair p;
    ASSERT_EQ(p.fError, "");
    CL_Socket busy(p.fPort, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP);
    EXPECT_FALSE(busy.CanAccept());
    uint16 free = FreeLoopbackPort();
    CL_Socket idle(free, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_TCP);
    EXPECT_TRUE(idle.CanAccept());
    EXPECT_EQ(idle.GetDescriptor(), -1);
    CL_Socket udp(free, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_UDP);
    EXPECT_TRUE(udp.CanAccept());
}

TEST(Socket, UdpSendAndReceive) {
    CL_StartClock();
    CL_Socket receiver(0, CL_SOCKET_DOMAIN_INET, CL_SOCKET_TYPE_UDP);
    ASSERT_EQ(receiver.Accept(nullptr, 0), 0);
    uint16 port = BoundPort(receiver);
    CL_Socket sender(CL_NetAddress(CL_NetAddress::LOOPBACK, port), CL_SOCKET_TYPE_UDP);
    EXPECT_EQ(sender.Connect(1000), 0);
    EXPECT_FALSE(sender.IsConnected());
    ASSERT_EQ(sender.Write("datagram", 8, 1000), 8u);
    uint16 senderPort = BoundPort(sender);
    char buffer[64];
    EXPECT_EQ(receiver.Read(buffer, sizeof(buffer), 1000), 8u);
    EXPECT_EQ(std::string(buffer, 8), "datagram");
    // The sender is now the socket's address.
    EXPECT_EQ(receiver.GetAddress().GetIP(), "127.0.0.1");
    EXPECT_EQ(receiver.GetAddress().GetPort(), senderPort);
    // Nothing more: a UDP time-out.
    EXPECT_EQ(receiver.Read(buffer, sizeof(buffer), 0), 0u);
    EXPECT_EQ(receiver.GetIOError(false), 4);
    // A UDP accept with an out socket is refused.
    CL_Socket* out = nullptr;
    EXPECT_EQ(receiver.Accept(&out, 0), 101);
}

TEST(Socket, Ipv6Loopback) {
    CL_StartClock();
    CL_Socket listener(0, CL_SOCKET_DOMAIN_INET6, CL_SOCKET_TYPE_TCP);
    if (listener.Accept(nullptr, 0) != 0) GTEST_SKIP() << "no IPv6 on this machine";
    CL_Socket client(CL_NetAddress(CL_NetAddress::LOOPBACK6, BoundPort(listener)),
                     CL_SOCKET_TYPE_TCP);
    ASSERT_EQ(client.Connect(1000), 0);
    CL_Socket* accepted = nullptr;
    ASSERT_EQ(listener.Accept(&accepted, 1000), 0);
    std::unique_ptr<CL_Socket> server(accepted);
    EXPECT_EQ(server->GetAddress().GetIP(), "::1");
    EXPECT_EQ(server->GetDomain(), CL_SOCKET_DOMAIN_INET6);
    ASSERT_EQ(client.Write("six", 3, 1000), 3u);
    char buffer[3];
    EXPECT_EQ(server->Read(buffer, 3, 1000), 3u);
}

}  // namespace
