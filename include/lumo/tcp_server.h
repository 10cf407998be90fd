// The RPC server over TCP: a listener thread accepts connections, a dispatcher thread
// reads every client's packets and answers discovery datagrams, and a pool of worker
// threads runs the requests through the application's callbacks and writes replies.
// Its machinery lives in a private implementation (src/lumo/net/tcp_server_impl.h).
#pragma once

#include <memory>

#include "lumo/blob.h"
#include "lumo/containers.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/base_types.h"

class CLU_Table;
class CLU_UUID;

// One received chunk, or one packet to write: its header and its bytes.
class CL_Packet : public CL_Object {
public:
    CL_Packet(uint16 type, uint16 flags, uint32 sequence);
    explicit CL_Packet(const CL_PacketHeader& header);

    CL_PacketHeader fHeader;
    CL_Blob fData;
};

// Candidate ports: the listener probes 51965 + 20k (k < 11), the discovery responder
// 51967 + 20k (k < 10).
constexpr uint16 CL_SERVER_FIRST_LISTENER_PORT = 51965;
constexpr uint16 CL_SERVER_FIRST_RESPONDER_PORT = 51967;
constexpr uint32 CL_SERVER_DEFAULT_TIMEOUT = 60000;
constexpr uint32 CL_SERVER_MIN_WORKERS = 3;
constexpr uint32 CL_SERVER_MAX_WORKERS = 16;
// Largest request a client may send once let in (the "max_request_size" setting).
constexpr uint32 CL_SERVER_DEFAULT_MAX_REQUEST = 256u << 20;
// Before its AUTH is granted a connection may send only the handshake (SERVER_INFO,
// AUTH and the cancels), none of it larger than this.
constexpr uint32 CL_SERVER_MAX_HANDSHAKE_REQUEST = 64u << 10;

// The TCP implementation of CL_Server. The listener and dispatcher threads live from
// construction to destruction and idle while the server is stopped. The dispatcher
// alone reads the clients' sockets and gathers each request whole before a worker
// sees it; a worker writes its reply as far as the socket takes it at once and leaves
// the rest to the dispatcher, so no worker ever waits on one client's socket. What the
// server takes from and keeps for its clients is bounded (README: "Server limits and
// settings"). Setup must not race other calls; every other public operation may be
// called from any thread. Lock and Unlock take the server lock, which fClientInfo and
// fAbort may run under.
class CL_TCPServer : public CL_Server {
public:
    CL_TCPServer();
    explicit CL_TCPServer(CLU_Table& settings);
    ~CL_TCPServer() override;

    // Stops the server and reads "ip", "listener_port", "timeout" (ms; 0 is the default:
    // also how long part of a chunk, a request's next chunk or a chunk of a reply may
    // wait), "flags", "log_level", "max_request_size" (bytes; 0 is the default) and
    // "loopback_only" (not 0: listen and answer discovery on 127.0.0.1 alone; 0, the
    // default: on every interface).
    void Setup(CLU_Table& settings) override;
    void GetUUID(CLU_UUID& uuid) override;
    void GetInfo(CLU_Table& info) override;
    CL_Status Start() override;
    void Stop() override;
    void Lock() override;
    void Unlock() override;
    void GetClientsList(CL_LinkedList<uint32>* ids) override;
    CL_Status GetClientInfo(uint32 clientID, CLU_Table& info) override;
    CL_Status CloseClient(uint32 clientID) override;

    static int32 PowerCallback(int32 event, CL_TCPServer* server);

    uint64 GetID() const;
    CL_NetAddress GetAddress();
    uint16 GetListenerPort() const { return uint16(GetID() & 0xFFFF); }
    uint16 GetResponderPort() const;
    uint32 GetTimeOut() const;
    uint32 GetMaxRequestSize() const;
    bool IsRunning() const;
    uint32 GetWorkerCount();
    // What the requests read from clients let in and not yet taken by a worker hold,
    // gathered or queued: each one's payload with its record and queue nodes as
    // allocated (176 bytes on 64-bit glibc), so empty requests count too. Past
    // GetInputBudget the server stops reading the clients that hold any of them (but the
    // one whose request has been gathered longest); a client that holds none is read,
    // one chunk at a time.
    uint64 GetQueuedInput() const;
    uint64 GetInputBudget() const;
    // Reply bytes held for clients: waiting for them to read, or of clients cut off and
    // not yet freed. The requests of a client with unread replies of its own wait to be
    // started while they pass GetOutputBudget, every client's past twice that (at least
    // 256 MiB).
    uint64 GetQueuedOutput() const;
    uint64 GetOutputBudget() const;

    // The machinery: records, threads, locks and counters.
    class Impl;

private:
    std::unique_ptr<Impl> fImpl;
};
