// TCP and UDP sockets over the BSD interface. Time-outs bound a whole operation: the
// descriptor is non-blocking for any finite time-out and each wait gets the time still
// left. Transfer errors stay in the shared state; any status but CL_OK and CL_TIMEOUT
// closes TCP.
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lumo/blob.h"
#include "lumo/clock.h"
#include "lumo/net/countdown.h"
#include "lumo/net/socket_binding.h"
#include "lumo/socket.h"

namespace {

// Base status of each Linux errno up to EINPROGRESS; CL_ERROR where there is none.
constexpr int kLastMappedErrno = EINPROGRESS;

struct ErrorTable {
    int8 fStatus[kLastMappedErrno + 1];
    constexpr ErrorTable() : fStatus() {
        for (int8& status : fStatus)
            status = CL_ERROR;
        fStatus[0] = CL_OK;
        fStatus[EINTR] = CL_INTERRUPTED;
        fStatus[EBADF] = CL_INVALID_SOCKET;
        fStatus[EAGAIN] = CL_TIMEOUT;
        fStatus[EACCES] = CL_ACCESS_DENIED;
        fStatus[EINVAL] = CL_INVALID_SOCKET;
        fStatus[EPIPE] = CL_NOT_CONNECTED;
        fStatus[EPROTONOSUPPORT] = CL_PROTOCOL_NOT_SUPPORTED;
        fStatus[EADDRINUSE] = CL_ADDRESS_IN_USE;
        fStatus[ENETDOWN] = CL_NETWORK_UNREACHABLE;
        fStatus[ENETUNREACH] = CL_NETWORK_UNREACHABLE;
        fStatus[ECONNABORTED] = CL_NOT_CONNECTED;
        fStatus[ECONNRESET] = CL_CONNECTION_LOST;
        fStatus[EISCONN] = CL_ALREADY_CONNECTED;
        fStatus[ENOTCONN] = CL_NOT_CONNECTED;
        fStatus[ESHUTDOWN] = CL_NOT_CONNECTED;
        fStatus[ETIMEDOUT] = CL_TIMEOUT;
        fStatus[ECONNREFUSED] = CL_CONNECTION_REFUSED;
        fStatus[EHOSTDOWN] = CL_HOST_UNREACHABLE;
        fStatus[EHOSTUNREACH] = CL_HOST_UNREACHABLE;
        fStatus[EINPROGRESS] = CL_INTERRUPTED;
    }
};
constexpr ErrorTable kErrorTable;

// Discarded bytes were seen by a peek and are already queued; this only bounds a
// caller that discards bytes which never come.
constexpr uint32 kDiscardWait = 1000;

// Waits for events on one descriptor: >0 ready (revents in *events), 0 time-out, -1.
int WaitFor(int fd, short* events, uint32 ms) {
    pollfd p = {fd, *events, 0};
    int result = CL_Safe_Poll(&p, 1, ms);
    *events = p.revents;
    return result;
}

CL_SocketDomain DomainOf(const CL_NetAddress& address) {
    return address.GetDomain();
}

// The address a system call filled in, IPv4 or IPv6.
CL_NetAddress FromSystem(const sockaddr_in6& address) {
    return address.sin6_family == AF_INET6
               ? CL_NetAddress(address)
               : CL_NetAddress(reinterpret_cast<const sockaddr&>(address));
}

// Whether the address is on the loopback network: 127.0.0.0/8 or ::1.
bool IsLoopback(const CL_NetAddress& address) {
    const sockaddr* system = address;
    if (system->sa_family == AF_INET)
        return ntohl(reinterpret_cast<const sockaddr_in*>(system)->sin_addr.s_addr) >> 24 == 127;
    return system->sa_family == AF_INET6 &&
           IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(system)->sin6_addr);
}

// A listener binds the wildcard address of its domain, with the port it was given;
// one whose owner asked to keep a loopback address keeps it, serving this machine
// alone (also when it opens again after an error).
void UseWildcardAddress(CL_Socket::SocketData* data) {
    if (data->fKeepLoopback && IsLoopback(data->fAddress)) return;
    uint16 port = data->fAddress.GetPort();
    data->fAddress = CL_NetAddress(
        data->fDomain == CL_SOCKET_DOMAIN_INET ? CL_NetAddress::ANY : CL_NetAddress::ANY6, port);
}

// Why socket() failed.
CL_Status CreateFailure(int error) {
    switch (error) {
        case ENFILE:
        case EMFILE:
            return CL_TOO_MANY_FILES;
        case ENOMEM:
            return CL_OUT_OF_MEMORY;
        case EACCES:
            return CL_ACCESS_DENIED;
        case EPROTONOSUPPORT:
            return CL_PROTOCOL_NOT_SUPPORTED;
        default:
            return CL_SOCKET_CREATE_FAILED;
    }
}

// connect() failures that have a status of their own; CL_OK for the others.
CL_Status ConnectFailure(int error) {
    switch (error) {
        case EADDRINUSE:
            return CL_ADDRESS_IN_USE;
        case ENETDOWN:
        case ENETUNREACH:
            return CL_NETWORK_UNREACHABLE;
        case EHOSTDOWN:
        case EHOSTUNREACH:
            return CL_HOST_UNREACHABLE;
        case ECONNREFUSED:
            return CL_CONNECTION_REFUSED;
        default:
            return CL_OK;
    }
}

// Accepted connections notice a peer that vanished: first probe after 3 minutes idle,
// then every second, given up after 10.
void KeepAlive(int fd) {
    int on = 1;
    int idle = 180;
    int probes = 10;
    int interval = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
}

// ---- Transfers ----------------------------------------------------------------------

// One receive: recv for TCP; recvfrom otherwise, which stores the sender.
ssize_t Receive(CL_Socket::SocketData* data, uint8* at, uint32 n, int32 flags) {
    if (data->fType == CL_SOCKET_TYPE_TCP) return recv(data->fSocket, at, n, flags);
    sockaddr_in6 from;
    memset(&from, 0, sizeof(from));
    socklen_t length = sizeof(from);
    ssize_t k = recvfrom(data->fSocket, at, n, flags, reinterpret_cast<sockaddr*>(&from), &length);
    if (k >= 0 && length > 0 && (from.sin6_family == AF_INET6 || from.sin6_family == AF_INET))
        data->fAddress = FromSystem(from);
    return k;
}

// One send: to the peer of a TCP connection, to fAddress otherwise.
ssize_t Send(CL_Socket::SocketData* data, const uint8* at, uint32 n) {
    if (data->fType == CL_SOCKET_TYPE_TCP) return send(data->fSocket, at, n, MSG_NOSIGNAL);
    return sendto(data->fSocket, at, n, MSG_NOSIGNAL, data->fAddress, data->fAddress.GetLength());
}

// A receive that gave 0 bytes while some were asked: the end of a TCP stream (which
// closes it), nothing for a datagram socket.
void EndOfStream(CL_Socket::SocketData* data) {
    if (data->fType == CL_SOCKET_TYPE_TCP) {
        data->fError = CL_CONNECTION_LOST;
        data->Close();
    } else if (data->fType == CL_SOCKET_TYPE_UDP) {
        data->fError = CL_TIMEOUT;
    }
}

// Waits for the descriptor to become readable within the time left: whether to
// receive again. Running out of time leaves CL_TIMEOUT.
bool AwaitReadable(CL_Socket::SocketData* data, CL_Countdown* countdown) {
    if (countdown->IsOver()) {
        data->fError = CL_TIMEOUT;
        return false;
    }
    short events = POLLIN | POLLPRI;
    int result = WaitFor(data->fSocket, &events, countdown->Left());
    countdown->Tick();
    if (result == 0) {
        data->fError = CL_TIMEOUT;
        return false;
    }
    if (result < 0) {
        data->fError = CL_Socket::TranslateError(errno);
        return false;
    }
    // Ready, or an error condition that the next receive will report.
    return true;
}

// A peek sees the queued bytes from the first one again each time: done once there
// are enough; when nothing new came since the last look, a short pause, not a spin.
void TakePeek(uint32 got, uint32* left, uint32* total) {
    uint32 before = *total;
    *total = got;
    if (got >= *left) {
        *left = 0;
    } else if (got == before) {
        timespec pause = {0, 500000};
        nanosleep(&pause, nullptr);
    }
}

// After a failed receive (other than a peek's EMSGSIZE): whether to receive again.
bool AfterReceiveFailure(CL_Socket::SocketData* data, int error, CL_Countdown* countdown) {
    if (error == EINTR) return true;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINPROGRESS)
        return AwaitReadable(data, countdown);
    data->fError = CL_Socket::TranslateError(error);
    if (data->fError == CL_ERROR) data->fError = CL_SOCKET_READ_ERROR;
    return false;
}

// After a failed send: whether to send again. A wait that runs out of time ends the
// write (its short count becomes CL_TIMEOUT); ready at the last moment still gets one
// more try.
bool AfterSendFailure(CL_Socket::SocketData* data, int error, CL_Countdown* countdown) {
    if (error == EINTR) return true;
    if (error == EAGAIN || error == EWOULDBLOCK) {
        if (countdown->IsOver()) return false;
        short events = POLLOUT;
        int result = WaitFor(data->fSocket, &events, countdown->Left());
        countdown->Tick();
        return result > 0;
    }
    data->fError = CL_Socket::TranslateError(error);
    if (data->fError == CL_ERROR) data->fError = CL_SOCKET_WRITE_ERROR;
    return false;
}

// The end of every read and write: any status but CL_OK and CL_TIMEOUT closes TCP.
uint32 FinishTransfer(CL_Socket::SocketData* data, uint32 count) {
    if (data->fError != CL_OK && data->fError != CL_TIMEOUT && data->fType == CL_SOCKET_TYPE_TCP)
        data->Close();
    return count;
}

}  // namespace

CL_Socket::SocketData::SocketData()
    : fDomain(CL_SOCKET_DOMAIN_NONE),
      fType(CL_SOCKET_TYPE_NONE),
      fBlocking(true),
      fConnected(false),
      fError(CL_OK),
      fSocket(-1),
      fKeepLoopback(false) {}

// Handles share their state and never copy it; a copy starts without a descriptor.
CL_Socket::SocketData::SocketData(const SocketData& copy)
    : CL_Object(),
      fAddress(copy.fAddress),
      fDomain(copy.fDomain),
      fType(copy.fType),
      fBlocking(true),
      fConnected(false),
      fError(CL_OK),
      fSocket(-1),
      fKeepLoopback(copy.fKeepLoopback) {}

CL_Socket::SocketData::~SocketData() {
    Close();
}

void CL_Socket::SocketData::Close() {
    if (fSocket >= 0) {
        for (;;) {
            errno = 0;
            if (close(fSocket) == 0 || errno != EINTR) break;
        }
        fSocket = -1;
    }
    fBlocking = true;
    fConnected = false;
}

CL_Socket::SocketData* CL_Socket::Data() const {
    if (SocketData* data = fData.SharedRefData()) return data;
    // Reset on every use: with no type it never opens a descriptor, and the last
    // error tells why nothing works.
    static thread_local SocketData tUnusable;
    tUnusable.Close();
    tUnusable.fAddress = CL_NetAddress();
    tUnusable.fDomain = CL_SOCKET_DOMAIN_NONE;
    tUnusable.fType = CL_SOCKET_TYPE_NONE;
    tUnusable.fError = CL_OUT_OF_MEMORY;
    return &tUnusable;
}

CL_Socket::CL_Socket() {}

CL_Socket::CL_Socket(const CL_NetAddress& address, CL_SocketType type) {
    SocketData* data = Data();
    data->fAddress = address;
    data->fDomain = DomainOf(address);
    data->fType = type;
}

CL_Socket::CL_Socket(uint16 port, CL_SocketDomain domain, CL_SocketType type) {
    SocketData* data = Data();
    if (domain == CL_SOCKET_DOMAIN_INET)
        data->fAddress = CL_NetAddress(CL_NetAddress::ANY, port);
    else if (domain == CL_SOCKET_DOMAIN_INET6)
        data->fAddress = CL_NetAddress(CL_NetAddress::ANY6, port);
    data->fDomain = domain;
    data->fType = type;
}

CL_Socket::~CL_Socket() {}

bool CL_Socket::IsOk() const {
    SocketData* data = Data();
    return data->fAddress.IsOk() && data->fDomain != CL_SOCKET_DOMAIN_NONE &&
           data->fType != CL_SOCKET_TYPE_NONE;
}

CL_Status CL_Socket::TranslateError(int32 error) {
    if (error < 0 || error > kLastMappedErrno) return CL_ERROR;
    return kErrorTable.fStatus[error];
}

void CL_Socket::_SetBlocking(bool blocking) {
    SocketData* data = Data();
    if (blocking != data->fBlocking && data->fSocket >= 0) {
        int flags = fcntl(data->fSocket, F_GETFL);
        if (flags >= 0) {
            flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
            fcntl(data->fSocket, F_SETFL, flags);
        }
    }
    data->fBlocking = blocking;
}

CL_Status CL_Socket::_Open() {
    SocketData* data = Data();
    if (data->fSocket >= 0) return CL_OK;
    int kind;
    int protocol;
    if (data->fType == CL_SOCKET_TYPE_TCP) {
        kind = SOCK_STREAM;
        protocol = IPPROTO_TCP;
    } else if (data->fType == CL_SOCKET_TYPE_UDP) {
        kind = SOCK_DGRAM;
        protocol = IPPROTO_UDP;
    } else {
        return CL_PROTOCOL_NOT_SUPPORTED;
    }
    // Close-on-exec, so that child processes never inherit a connection.
    int fd = socket(data->fAddress.GetFamily(), kind | SOCK_CLOEXEC, protocol);
    if (fd < 0) return CreateFailure(errno);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        close(fd);
        return CL_SOCKET_SETUP_FAILED;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    data->fSocket = fd;
    data->fBlocking = true;
    return CL_OK;
}

CL_Status CL_Socket::_Connected() {
    SocketData* data = Data();
    _SetBlocking(true);
    data->fConnected = true;
    data->fError = CL_OK;
    return CL_OK;
}

CL_Status CL_Socket::Connect(const CL_NetAddress& address, uint32 ms) {
    Data()->fAddress = address;
    return Connect(ms);
}

CL_Status CL_Socket::Connect(uint32 ms) {
    SocketData* data = Data();
    if (!IsOk() && data->fType != CL_SOCKET_TYPE_UDP) return CL_BAD_HOST_ADDRESS;
    data->Close();
    CL_Status status = _Open();
    if (status != CL_OK) return status;
    if (data->fType == CL_SOCKET_TYPE_UDP) return CL_OK;
    if (ms != CL_WAIT_FOREVER) _SetBlocking(false);

    if (connect(data->fSocket, data->fAddress, data->fAddress.GetLength()) == 0 || errno == EISCONN)
        return _Connected();
    int error = errno;
    status = ConnectFailure(error);
    if (status != CL_OK) return status;
    if (error == EINPROGRESS && ms != CL_WAIT_FOREVER) return _AwaitConnect(ms);
    fprintf(stderr, "CL_Socket::Connect(%d): error %d\n", int(ms), error);
    return CL_CANNOT_CONNECT;
}

CL_Status CL_Socket::_AwaitConnect(uint32 ms) {
    SocketData* data = Data();
    if (ms == 0) {
        // Goes on in the background: the caller polls the socket and reads the outcome
        // with GetIOError(true).
        data->fConnected = true;
        data->fError = CL_WOULD_BLOCK;
        return CL_WOULD_BLOCK;
    }
    short events = POLLIN | POLLOUT | POLLPRI;
    int result = WaitFor(data->fSocket, &events, ms);
    if (result == 0) {
        data->Close();
        return CL_TIMEOUT;
    }
    if (result < 0) {
        CL_Status code = TranslateError(errno);
        return code == CL_OK ? _Connected() : code;
    }
    if (events & (POLLIN | POLLERR | POLLHUP)) {
        int pending = 0;
        socklen_t length = sizeof(pending);
        if (getsockopt(data->fSocket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
            return CL_TIMEOUT;
        if (pending != 0) return TranslateError(pending);
        if (events & POLLOUT) return _Connected();
        return CL_TIMEOUT;
    }
    if (events & POLLOUT) return _Connected();
    return CL_TIMEOUT;
}

bool CL_Socket::IsConnected() {
    SocketData* data = Data();
    if (!data->fConnected || data->fType != CL_SOCKET_TYPE_TCP) return data->fConnected;
    if (data->fSocket < 0) {
        data->fConnected = false;
        return false;
    }
    int code;
    for (;;) {
        char byte;
        ssize_t k = recv(data->fSocket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (k > 0) {
            code = 0;
        } else if (k == 0) {
            code = ECONNRESET;
        } else {
            if (errno == EINTR) continue;
            code = errno;
        }
        break;
    }
    CL_Status status = TranslateError(code);
    if (status != CL_OK && status != CL_TIMEOUT) data->Close();
    return data->fConnected;
}

void CL_Socket::Close() {
    Data()->Close();
}

void CL_SocketBinding::KeepLoopback(CL_Socket& socket, bool keep) {
    socket.Data()->fKeepLoopback = keep;
}

bool CL_Socket::_BindUDP() {
    return Accept(nullptr, 0) == CL_OK && Data()->fSocket >= 0;
}

CL_Status CL_Socket::Accept(CL_Socket** out, uint32 ms) {
    SocketData* data = Data();
    if (!IsOk()) return CL_BAD_HOST_ADDRESS;
    if (data->fDomain != CL_SOCKET_DOMAIN_INET && data->fDomain != CL_SOCKET_DOMAIN_INET6)
        return CL_PROTOCOL_NOT_SUPPORTED;
    UseWildcardAddress(data);
    if (data->fSocket < 0) {
        CL_Status status = _Listen();
        if (status != CL_OK) return status;
    }
    if (!out) return CL_OK;
    if (data->fType == CL_SOCKET_TYPE_UDP) return CL_PROTOCOL_NOT_SUPPORTED;
    if (ms != CL_WAIT_FOREVER) {
        short events = POLLIN;
        int result = WaitFor(data->fSocket, &events, ms);
        if (result == 0) return CL_TIMEOUT;
        if (result < 0) return TranslateError(errno);
    }
    return _AcceptOne(out);
}

CL_Status CL_Socket::_Listen() {
    SocketData* data = Data();
    CL_Status status = _Open();
    if (status != CL_OK) return status;
    if (bind(data->fSocket, data->fAddress, data->fAddress.GetLength()) != 0) {
        int error = errno;
        data->Close();
        if (error == EACCES) return CL_ACCESS_DENIED;
        if (error == EADDRINUSE) return CL_ADDRESS_IN_USE;
        return CL_BIND_FAILED;
    }
    if (data->fType == CL_SOCKET_TYPE_TCP && listen(data->fSocket, 100) != 0) {
        data->Close();
        return CL_LISTEN_FAILED;
    }
    return CL_OK;
}

CL_Status CL_Socket::_AcceptOne(CL_Socket** out) {
    SocketData* data = Data();
    sockaddr_in6 peer;
    memset(&peer, 0, sizeof(peer));
    socklen_t length = sizeof(peer);
    int fd = accept4(data->fSocket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (fd < 0) return TranslateError(errno);
    CL_Socket* accepted = new CL_Socket(FromSystem(peer), data->fType);
    if (!accepted || !accepted->fData.IsValid()) {
        delete accepted;
        close(fd);
        return CL_OUT_OF_MEMORY;
    }
    KeepAlive(fd);
    SocketData* other = accepted->Data();
    other->fSocket = fd;
    other->fBlocking = true;
    other->fConnected = true;
    *out = accepted;
    return CL_OK;
}

bool CL_Socket::CanAccept() {
    SocketData* data = Data();
    if (!IsOk()) return false;
    if (data->fDomain != CL_SOCKET_DOMAIN_INET && data->fDomain != CL_SOCKET_DOMAIN_INET6)
        return false;
    UseWildcardAddress(data);
    data->Close();
    if (_Open() != CL_OK) return false;
    bool ok = bind(data->fSocket, data->fAddress, data->fAddress.GetLength()) == 0;
    if (ok && data->fType == CL_SOCKET_TYPE_TCP) ok = listen(data->fSocket, 100) == 0;
    data->Close();
    return ok;
}

uint32 CL_Socket::_Read(void* buffer, uint32 n, uint32 ms, int32 flags) {
    SocketData* data = Data();
    if (data->fSocket < 0 && (data->fType != CL_SOCKET_TYPE_UDP || !_BindUDP())) {
        data->fError = CL_NOT_CONNECTED;
        return 0;
    }
    if (!buffer && n > 0) {
        data->fError = CL_SOCKET_READ_ERROR;
        return 0;
    }
    data->fError = CL_OK;
    // Nothing asked of a stream: nothing to wait for either.
    if (n == 0 && data->fType == CL_SOCKET_TYPE_TCP) return 0;
    _SetBlocking(ms == CL_WAIT_FOREVER);
    return _ReadLoop(static_cast<uint8*>(buffer), n, ms, flags);
}

uint32 CL_Socket::_ReadLoop(uint8* at, uint32 n, uint32 ms, int32 flags) {
    SocketData* data = Data();
    const bool peek = (flags & MSG_PEEK) != 0;
    CL_Countdown countdown(ms);
    uint32 left = n;
    uint32 total = 0;
    for (;;) {
        ssize_t k = Receive(data, at, left, flags);
        if (k == 0 && left > 0) {
            EndOfStream(data);
            return total;
        }
        if (k < 0) {
            int error = errno;
            // A datagram longer than the buffer: the peek saw it.
            if (peek && error == EMSGSIZE) return 1;
            if (!AfterReceiveFailure(data, error, &countdown)) break;
        } else {
            if (peek) {
                TakePeek(uint32(k), &left, &total);
            } else {
                at += k;
                left -= uint32(k);
                total += uint32(k);
            }
            countdown.Tick();
            if (n == 0) break;
        }
        if (left == 0 || countdown.IsOver()) break;
    }
    return FinishTransfer(data, total);
}

uint32 CL_Socket::_Read(CL_Blob& blob, uint32 n, uint32 ms, int32 flags) {
    uint32 position = blob.Tell();
    uint32 size = blob.GetSize();
    uint64 end = uint64(position) + n;
    if (end > CL_Blob::kMaxSize) {
        Data()->fError = CL_SOCKET_READ_ERROR;
        return 0;
    }
    if (end <= size) {
        uint8* at = blob.GetDataForWrite();
        return _Read(at ? at + position : nullptr, n, ms, flags);
    }
    blob.SetSize(uint32(end));
    if (blob.GetSize() != uint32(end)) {
        Data()->fError = CL_OUT_OF_MEMORY;
        return 0;
    }
    uint8* at = blob.GetDataForWrite();
    uint32 count = _Read(at + position, n, ms, flags);
    uint64 kept = uint64(position) + count;
    blob.SetSize(uint32(kept > size ? kept : size));
    blob.Seek(int32(position), CL_SEEK_SET);
    return count;
}

uint32 CL_Socket::Read(void* buffer, uint32 n, uint32 ms) {
    return _Read(buffer, n, ms, 0);
}

uint32 CL_Socket::Read(CL_Blob& blob, uint32 n, uint32 ms) {
    return _Read(blob, n, ms, 0);
}

uint32 CL_Socket::Peek(void* buffer, uint32 n, uint32 ms) {
    return _Read(buffer, n, ms, MSG_PEEK);
}

uint32 CL_Socket::Peek(CL_Blob& blob, uint32 n, uint32 ms) {
    return _Read(blob, n, ms, MSG_PEEK);
}

uint32 CL_Socket::Write(const void* buffer, uint32 n, uint32 ms) {
    SocketData* data = Data();
    if (!_ReadyToWrite(buffer)) return 0;
    data->fError = CL_OK;
    _SetBlocking(ms == CL_WAIT_FOREVER);
    CL_Countdown countdown(ms);
    uint32 left = n;
    uint32 sent = 0;
    const uint8* at = static_cast<const uint8*>(buffer);
    while (left > 0) {
        ssize_t k = Send(data, at, left);
        if (k < 0) {
            if (!AfterSendFailure(data, errno, &countdown)) break;
            continue;
        }
        uint32 done = uint32(k) > left ? left : uint32(k);
        sent += done;
        at += done;
        left -= done;
        if (countdown.Tick() == 0) break;
    }
    // A write that ran out of time says so, rather than a bare short count.
    if (data->fError == CL_OK && left > 0) data->fError = CL_TIMEOUT;
    return FinishTransfer(data, sent);
}

bool CL_Socket::_ReadyToWrite(const void* buffer) {
    SocketData* data = Data();
    if (!buffer) {
        data->fError = CL_SOCKET_WRITE_ERROR;
        return false;
    }
    if (data->fSocket >= 0) return true;
    if (data->fType != CL_SOCKET_TYPE_UDP) {
        data->fError = CL_NOT_CONNECTED;
        return false;
    }
    CL_Status status = _Open();
    if (status != CL_OK) {
        data->fError = status;
        return false;
    }
    return true;
}

uint32 CL_Socket::Write(CL_Blob& blob, uint32 n, uint32 ms) {
    uint32 size = blob.GetSize();
    uint32 position = blob.Tell();
    uint32 available = position < size ? size - position : 0;
    uint32 count = n < available ? n : available;
    const uint8* at = blob.GetDataForRead();
    uint32 sent = Write(at ? at + position : reinterpret_cast<const uint8*>(""), count, ms);
    blob.Seek(int32(sent), CL_SEEK_CUR);
    return sent;
}

bool CL_Socket::Pending(uint32 n) {
    SocketData* data = Data();
    data->fError = CL_OK;
    if (data->fSocket < 0 && (data->fType != CL_SOCKET_TYPE_UDP || !_BindUDP())) {
        data->fError = CL_NOT_CONNECTED;
        return false;
    }
    int queued = 0;
    if (ioctl(data->fSocket, FIONREAD, &queued) != 0) {
        if (data->fType == CL_SOCKET_TYPE_TCP) {
            data->Close();
            data->fError = CL_NOT_CONNECTED;
        }
        return false;
    }
    return queued >= 0 && uint32(queued) >= n;
}

void CL_Socket::Discard(uint32 n) {
    SocketData* data = Data();
    CL_Status remembered = data->fError;
    uint8 scratch[1024];
    if (n == 0) {
        for (;;) {
            uint32 got = _Read(scratch, sizeof(scratch), 0, 0);
            if (got < sizeof(scratch)) break;
        }
        data->fError = remembered;
        return;
    }
    // Bytes that never come must not hold the caller for ever: the whole discard is
    // bounded, and running out of time leaves the time-out status.
    uint32 start = CL_GetTime();
    uint32 left = n;
    while (left > 0) {
        uint32 elapsed = CL_GetTime() - start;
        if (elapsed >= kDiscardWait) {
            data->fError = CL_TIMEOUT;
            return;
        }
        uint32 chunk = left < sizeof(scratch) ? left : uint32(sizeof(scratch));
        uint32 got = _Read(scratch, chunk, kDiscardWait - elapsed, 0);
        left -= got;
        if (data->fError != CL_OK && data->fError != CL_TIMEOUT) return;
    }
    data->fError = remembered;
}

void CL_Socket::SetNoDelay(bool on) {
    int fd = Data()->fSocket;
    int value = on ? 1 : 0;
    if (fd >= 0) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value));
}

void CL_Socket::Shutdown() {
    int fd = Data()->fSocket;
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

bool CL_Socket::PeerClosed() const {
    int fd = Data()->fSocket;
    if (fd < 0) return true;
    for (;;) {
        char byte;
        ssize_t k = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (k > 0) return false;
        if (k == 0) return true;
        if (errno == EINTR) continue;
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

int32 CL_Socket::NextDatagramSize(uint32 max) const {
    int fd = Data()->fSocket;
    if (fd < 0) return -1;
    for (;;) {
        char byte;
        ssize_t k = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT | MSG_TRUNC);
        if (k >= 0) return int32(uint64(k) > max ? max : uint64(k));
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        int pending = 0;
        socklen_t length = sizeof(pending);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &length);
        return -1;
    }
}

bool CL_Socket::DropDatagram() {
    int fd = Data()->fSocket;
    uint8 byte;
    return fd >= 0 && recv(fd, &byte, 1, MSG_DONTWAIT) >= 0;
}

CL_Status CL_Socket::SetBroadcast(const CL_NetAddress& destination) {
    SocketData* data = Data();
    CL_Status status = _Open();
    if (status != CL_OK) return status;
    int on = 1;
    if (setsockopt(data->fSocket, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on)) != 0)
        return CL_SOCKET_SETUP_FAILED;
    CL_NetAddress any(CL_NetAddress::ANY, 0);
    if (bind(data->fSocket, any, any.GetLength()) != 0) return CL_BIND_FAILED;
    data->fAddress = destination;
    return CL_OK;
}

void CL_Socket::SetAddress(const CL_NetAddress& address) {
    SocketData* data = Data();
    data->Close();
    data->fAddress = address;
    data->fDomain = DomainOf(address);
}

CL_NetAddress CL_Socket::GetAddress() const {
    return Data()->fAddress;
}

void CL_Socket::SetType(CL_SocketType type) {
    SocketData* data = Data();
    data->Close();
    data->fType = type;
}

CL_SocketType CL_Socket::GetType() const {
    return Data()->fType;
}

CL_SocketDomain CL_Socket::GetDomain() const {
    return Data()->fDomain;
}

CL_RAW_SOCKET CL_Socket::GetDescriptor() const {
    return Data()->fSocket;
}

CL_Status CL_Socket::GetIOError(bool refresh) {
    SocketData* data = Data();
    if (!refresh || data->fSocket < 0) return data->fError;
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (getsockopt(data->fSocket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0)
        return data->fError;
    data->fError = TranslateError(pending);
    return data->fError;
}
