// Network endpoints and sockets of the base library: IPv4/IPv6 addresses with name
// resolution, the machine's IPv4 interfaces and primary MAC address, TCP and UDP
// sockets with whole-operation millisecond time-outs, and signal-safe waits on them.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <string>

#include "lumo/allocator.h"
#include "lumo/containers.h"
#include "lumo/base_types.h"

class CL_Blob;
class CL_Mutex;

typedef int CL_RAW_SOCKET;

enum CL_SocketDomain : uint32 {
    CL_SOCKET_DOMAIN_NONE = 0,
    CL_SOCKET_DOMAIN_INET = 1,
    CL_SOCKET_DOMAIN_INET6 = 2,
};

enum CL_SocketType : uint32 {
    CL_SOCKET_TYPE_NONE = 0,
    CL_SOCKET_TYPE_TCP = 1,
    CL_SOCKET_TYPE_UDP = 2,
};

// select() that survives signals: after EINTR it waits again for the time still left
// of the original time-out (measured with CL_GetTime), and never changes the caller's
// timeval. Same result as select(); a null timeout waits without limit.
int32 CL_Safe_Select(int32 nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                     timeval* timeout);

// poll() with the same signal handling as CL_Safe_Select, for descriptors that an
// fd_set cannot hold (1024 and above). ms 0xFFFFFFFF waits without limit.
int32 CL_Safe_Poll(pollfd* fds, uint32 count, uint32 ms);

// An IPv4 or IPv6 endpoint: the system's socket address plus a cached answer to
// "does this address belong to this machine". Family 0 is the empty address.
// A plain value: one thread at a time (IsLocal fills the cache). LocalHost and
// GetLocalAddresses are safe from any thread: their list is kept under a lock.
class CL_NetAddress : public CL_Object {
public:
    enum Special : uint32 {
        ANY = 0,
        ANY6 = 1,
        LOOPBACK = 2,
        LOOPBACK6 = 3,
    };
    enum : uint32 {
        LOCAL_NONE = 0,
        LOCAL_TRUE = 1,
        LOCAL_FALSE = 2,
    };

    CL_NetAddress();
    CL_NetAddress(Special special, uint16 port);
    CL_NetAddress(uint32 ip, uint16 port);
    CL_NetAddress(uint64 ip, uint16 port);
    explicit CL_NetAddress(const sockaddr& address);
    explicit CL_NetAddress(const sockaddr_in6& address);
    CL_NetAddress(const CL_NetAddress& copy);
    explicit CL_NetAddress(const std::string& text);
    CL_NetAddress& operator=(const CL_NetAddress& copy);

    bool IsOk() const { return fAddr.sa_family != 0; }
    bool operator==(const CL_NetAddress& other) const;
    bool operator!=(const CL_NetAddress& other) const { return !(*this == other); }

    void SetIP(uint32 ip);
    void SetIP(uint64 ip);
    bool SetIP(const std::string& text);
    // Resolves "host" or "host:port"; the first usable IPv4 result wins over IPv6.
    bool SetHostName(const std::string& text);
    void SetPort(uint16 port);
    uint16 GetPort() const;
    void SetDomain(CL_SocketDomain domain);
    CL_SocketDomain GetDomain() const;
    // System address family (AF_INET, AF_INET6, 0 when empty).
    int32 GetFamily() const { return fAddr.sa_family; }

    std::string GetHostName() const;
    std::string GetIP() const;
    bool IsLocal();

    // Name of a numeric address, or the numeric address of a name; "" when unknown.
    static std::string Lookup(const std::string& text);
    static CL_NetAddress LocalHost();
    // 127.0.0.1 followed by every local IPv4 address; enumerated at most every 5 s.
    static CL_Status GetLocalAddresses(CL_Array<CL_NetAddress>* list);
    // Dotted IPv4 without leading zeros, or lower-case IPv6 with an optional zone.
    static bool IsIP(const std::string& text);

    operator sockaddr*() { return &fAddr; }
    operator const sockaddr*() const { return &fAddr; }
    // "ip:port", with the IPv6 text in brackets.
    operator std::string() const;
    // Size of the family's socket address structure (16, 28, or 0 when empty).
    socklen_t GetLength() const;

private:
    void ResetCache() { fLocal = LOCAL_NONE; }

    union {
        sockaddr_in fIPv4;
        sockaddr_in6 fIPv6;
        sockaddr fAddr;
    };
    uint32 fLocal;
};

enum CL_NetInterfaceFeatures : uint32 {
    CL_NIC_NONE = 0,
    CL_NIC_UP = 1,
    CL_NIC_CAN_BROADCAST = 2,
    CL_NIC_CAN_MULTICAST = 4,
    CL_NIC_IS_LOOPBACK = 8,
};

// One IPv4 network interface of this machine, as the kernel lists it; Enumerate
// keeps the last listing for 5 s, and GetPrimaryMAC derives the machine's identity.
// An object is a plain value; Enumerate and GetPrimaryMAC are safe from any thread
// (the listing and the MAC address are kept under locks).
class CL_NetInterface : public CL_Object {
public:
    CL_NetInterface();
    CL_NetInterface(const CL_NetInterface& copy);
    CL_NetInterface& operator=(const CL_NetInterface& copy);
    ~CL_NetInterface();

    const char* GetName() const { return fName; }
    void GetMAC(uint8* out) const;
    CL_NetAddress GetAddress() const { return fAddress; }
    CL_NetAddress GetNetmask() const { return fNetmask; }
    CL_NetAddress GetBroadcast() const { return fBroadcast; }
    uint32 GetFeatures() const { return fFeatures; }

    // Writes at most `max` interfaces to out and returns how many.
    static uint32 Enumerate(CL_NetInterface* out, uint32 max);
    // MAC of the first non-loopback interface seen by the first call in the process:
    // CL_OK with 6 bytes written, or CL_NO_NET_INTERFACE when there is none (out
    // untouched).
    static CL_Status GetPrimaryMAC(uint8* out);

private:
    void SetName(const char* name);

    char* fName;  // owned copy
    uint8 fMAC[6];
    CL_NetAddress fAddress;
    CL_NetAddress fNetmask;
    CL_NetAddress fBroadcast;
    uint32 fFeatures;
};

// TCP or UDP socket handle. Copies share one state (descriptor, address, last
// error); the descriptor closes with the last handle. Reads and writes return byte
// counts and leave their status for GetIOError: CL_OK and CL_TIMEOUT keep a TCP
// socket open, every other status closes it. Time-outs bound the whole operation.
// Threads: nothing guards the shared state, so a socket and all its copies are used by
// one thread at a time; a copy is another name for the same connection, not a second
// one. Select releases and retakes the caller's `lock` but guards no socket itself.
class CL_Socket : public CL_Object {
public:
    // Shared state of the handles copied from one another; unguarded (see above).
    class SocketData : public CL_Object {
    public:
        SocketData();
        SocketData(const SocketData& copy);
        ~SocketData();
        SocketData& operator=(const SocketData&) = delete;

        void Close();

        CL_NetAddress fAddress;
        CL_SocketDomain fDomain;
        CL_SocketType fType;
        bool fBlocking;
        bool fConnected;
        CL_Status fError;
        CL_RAW_SOCKET fSocket;
        // A loopback address given to bind stays, where every other address becomes
        // the wildcard; set only by the library's own server (CL_SocketBinding).
        bool fKeepLoopback;
    };

    CL_Socket();
    CL_Socket(const CL_NetAddress& address, CL_SocketType type);
    CL_Socket(uint16 port, CL_SocketDomain domain, CL_SocketType type);
    virtual ~CL_Socket();

    bool IsOk() const;
    CL_Status Connect(uint32 ms);
    CL_Status Connect(const CL_NetAddress& address, uint32 ms);
    bool IsConnected();
    void Close();
    // Binds (and listens, for TCP) on first use; with out given, waits for and
    // accepts one connection, which the caller then owns (and deletes).
    CL_Status Accept(CL_Socket** out, uint32 ms);
    bool CanAccept();

    uint32 Read(void* buffer, uint32 n, uint32 ms);
    uint32 Read(CL_Blob& blob, uint32 n, uint32 ms);
    uint32 Peek(void* buffer, uint32 n, uint32 ms);
    uint32 Peek(CL_Blob& blob, uint32 n, uint32 ms);
    uint32 Write(const void* buffer, uint32 n, uint32 ms);
    uint32 Write(CL_Blob& blob, uint32 n, uint32 ms);
    bool Pending(uint32 n);
    // Drops n queued bytes (0: everything queued now); gives up after the default
    // wait when they do not arrive.
    void Discard(uint32 n);

    // TCP_NODELAY: small writes go out at once instead of waiting for the peer's
    // acknowledgement of the previous ones.
    void SetNoDelay(bool on);
    // Ends both directions of a TCP connection but keeps the descriptor, so that a
    // thread waiting on it wakes up while the number cannot be reused yet.
    void Shutdown();
    // Whether the peer has closed or reset the connection. It only peeks, so the
    // socket's state stays as it is (another thread may be writing on it).
    bool PeerClosed() const;
    // Length of the next queued datagram (0 is a valid length; longer ones count as
    // `max`), or -1 when none is queued. An error queued on the socket (an earlier
    // datagram that bounced) is taken off.
    int32 NextDatagramSize(uint32 max) const;
    // Drops the next queued datagram whatever its length; false when none is queued.
    bool DropDatagram();

    CL_Status SetBroadcast(const CL_NetAddress& destination);
    void SetAddress(const CL_NetAddress& address);
    CL_NetAddress GetAddress() const;
    void SetType(CL_SocketType type);
    CL_SocketType GetType() const;
    CL_SocketDomain GetDomain() const;
    CL_RAW_SOCKET GetDescriptor() const;
    CL_Status GetIOError(bool refresh);

    static CL_Status TranslateError(int32 error);

    // Waits until a socket of the sets is ready, with `lock` released once during the
    // wait; each set then keeps only its ready sockets. CL_OK ready, CL_TIMEOUT,
    // CL_ERROR with nothing to wait on, otherwise the translated error of the wait.
    static CL_Status Select(CL_Set<CL_Socket*>* read, CL_Set<CL_Socket*>* write,
                            CL_Set<CL_Socket*>* except, uint32* count, uint32 ms, CL_Mutex* lock);
    static CL_Status Select(CL_Socket* read, CL_Socket* write, CL_Socket* except, uint32 ms,
                            CL_Mutex* lock);

private:
    friend struct CL_SocketBinding;

    // The state all copies share. Out of memory, a fresh unusable state instead: it
    // has no type, so it opens no descriptor and every operation fails, and its last
    // error is CL_OUT_OF_MEMORY.
    SocketData* Data() const;
    CL_Status _Open();
    // Waits for a connect that went on in the background (ms 0: not at all).
    CL_Status _AwaitConnect(uint32 ms);
    // Binds the new descriptor to fAddress and, for TCP, listens.
    CL_Status _Listen();
    CL_Status _AcceptOne(CL_Socket** out);
    uint32 _Read(void* buffer, uint32 n, uint32 ms, int32 flags);
    uint32 _Read(CL_Blob& blob, uint32 n, uint32 ms, int32 flags);
    // The receive loop behind _Read: a read fills the buffer as bytes come, a peek
    // looks again from the first queued byte until n are there.
    uint32 _ReadLoop(uint8* at, uint32 n, uint32 ms, int32 flags);
    // Whether a write may start (a UDP socket is opened here); otherwise fError says why.
    bool _ReadyToWrite(const void* buffer);
    void _SetBlocking(bool blocking);
    CL_Status _Connected();
    // Binds an unbound UDP socket as Accept(null) would; false when that fails.
    bool _BindUDP();

    CL_RefCounted<SocketData> fData;  // shared by the copies, never copied itself
};
