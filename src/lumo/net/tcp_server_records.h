// The TCP server's private records: a request a worker is handling, the record of one
// connection with its packet queues and chunk reader, a worker thread, and what the
// dispatcher and a serving worker carry from step to step. Only the server's own
// files see them.
#pragma once

#include <atomic>
#include <string>

#include "lumo/tcp_server.h"

// How one read of a client's chunk ended.
enum CL_TCPServer::ChunkRead : int {
    kChunkWhole,    // a whole chunk was taken
    kChunkPending,  // the chunk is not whole yet
    kChunkKilled,   // the client was killed (read error or bad header)
};

// What serving one request ended with.
enum CL_TCPServer::ServeResult : int { kServeNone, kServeDone, kServeWriteError, kServeDrop };

// What the dispatcher keeps from one pass to the next.
struct CL_TCPServer::DispatcherState {
    // The select time-out: short while a chunk is partly read, shorter while queues
    // are not empty.
    static constexpr uint32 kIdleWaitStep = 100;
    static constexpr uint32 kPartialWaitStep = 10;
    static constexpr uint32 kBusyWaitStep = 1;

    explicit DispatcherState(uint32 start)
        : fWaitStep(kIdleWaitStep), fLastPing(start), fLastLoad(start), fLastDiscovery(start),
          fLastSweep(start) {}
    uint32 fWaitStep;
    uint32 fLastPing;
    uint32 fLastLoad;
    uint32 fLastDiscovery;
    uint32 fLastSweep;
};

// The parts of a protocol version in log lines: major, minor, patch.
inline int CL_VersionMajor(uint32 version) {
    return int((version >> 16) & 0xFF);
}
inline int CL_VersionMinor(uint32 version) {
    return int((version >> 8) & 0xFF);
}
inline int CL_VersionPatch(uint32 version) {
    return int(version & 0xFF);
}

// One request a worker serves, from its first chunk to its reply; the worker's alone.
struct CL_TCPServer::Exchange {
    Exchange(Worker* worker, Client* client) : fWorker(worker), fClient(client) {}

    Worker* const fWorker;
    Client* const fClient;
    CL_PacketHeader fHeader;  // the request's first chunk
    uint32 fSequence = 0;
    Request* fRequest = nullptr;  // owned until the reply is sent
    CL_Blob fInput;
    bool fWhole = false;  // the first chunk held the whole payload
    uint32 fLeft = 0;     // payload bytes still to gather
    CL_PacketHeader fReply;
    CL_Blob fOutput;
    bool fHasReply = false;
    bool fCounted = true;
    bool fAborted = false;
};

// Which lock guards what. The analysis can name the client's context lock, not the
// lock of the server that owns a record, so fields under the server lock say so in
// words. The server lock is taken before a context lock, never the other way round.

// A request a worker has taken, from the gathering of its chunks to its reply. It is
// reached only through its client's fExecutingRequests, under the context lock.
class CL_TCPServer::Request : public CL_Object {
public:
    Request(uint32 id, Worker* worker) : fID(id), fWorker(worker) {}

    const uint32 fID;
    // The dispatcher's alone: the progress message of the last PING it queued.
    std::string fProgressMessage;
    Worker* const fWorker;
};

// The server's record of one connection.
class CL_TCPServer::Client : public CL_Object {
public:
    Client(CL_TCPServer* server, CL_Socket* socket) CL_REQUIRES(server->fLock);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // CL_Mutex::TryLock reports a status, which the analysis cannot read as success.
    bool TryLockContext() CL_TRY_ACQUIRE(true, fContext->GetLock()) CL_NO_THREAD_SAFETY_ANALYSIS {
        return fContext->GetLock()->TryLock() == CL_OK;
    }

    // The queue of received chunks, in arrival order. A request's first chunk carries
    // CL_IPC_FIRST_CHUNK; its later chunks follow with the same sequence number.
    void QueueChunk(CL_Packet* packet) CL_REQUIRES(fContext->GetLock());
    // Takes the oldest first chunk off the queue; null when there is none.
    CL_Packet* TakeFirstChunk() CL_REQUIRES(fContext->GetLock());
    // Takes the oldest later chunk of `sequence` off the queue; null when there is none.
    CL_Packet* TakeNextChunk(uint32 sequence) CL_REQUIRES(fContext->GetLock());
    bool HasFirstChunk() CL_REQUIRES(fContext->GetLock());
    bool HasFirstChunk(uint32 sequence) CL_REQUIRES(fContext->GetLock());
    // Deletes the queued chunks of `sequence`: all of them, or its later chunks only.
    void DropChunks(uint32 sequence, bool laterOnly) CL_REQUIRES(fContext->GetLock());

    const uint32 fID;
    // Owned. The dispatcher reads it and writes queued packets, a worker writes its
    // replies, both under the context lock; closed with the record.
    CL_Socket* const fSocket;
    // Owned until a worker hands it to the disconnect callback.
    CL_ClientContext* fContext;
    // Server lock: the worker this client is bound to.
    Worker* fPinnedWorker;
    CL_HashMap<int32, Request*> fExecutingRequests CL_GUARDED_BY(fContext->GetLock());
    CL_LinkedList<CL_Packet*>* const fQueuedReadPackets CL_PT_GUARDED_BY(fContext->GetLock());
    // The dispatcher's alone (it is the only thread that queues and writes them).
    CL_LinkedList<CL_Packet*>* const fQueuedWritePackets;
    // Changed under the server lock.
    CL_AtomicVar fBusyCount;
    // The dispatcher's alone: when part of a chunk began to be pending.
    uint32 fLastReadTime;
    // Server lock: when the client last entered the waiting list, and the chat port
    // and protocol version of its AUTH request.
    uint32 fWaitStartTime;
    uint16 fChatPort;
    uint32 fProtocolVersion;
    // Bookkeeping of this implementation. The peer's address, taken once at accept.
    const CL_NetAddress fPeer;
    // Whether an AUTH was granted: the serving worker's (one at a time).
    bool fAuthorized;
    // Server lock: part of a chunk is pending.
    bool fPartial;
    // The dispatcher's alone: the bytes of the chunk being read.
    CL_ChunkReader fReader;
    // Set when the client is killed; a gathering worker stops at it.
    std::atomic<bool> fDead;
    // Bytes of queued chunks, which hold back reading when they grow too many.
    std::atomic<uint64> fQueuedReadBytes;
    // Server lock: the worker serving the client now.
    Worker* fServingWorker;
};

// A worker thread's record; the thread deletes it when it ends.
class CL_TCPServer::Worker : public CL_Object {
public:
    Worker(uint32 id, CL_TCPServer* server)
        : fID(id),
          fThreadID(0),
          fServer(server),
          fQuit(false),
          fReady(false),
          fPinnedClient(nullptr) {}

    const uint32 fID;
    // Server lock.
    CL_ThreadID fThreadID;
    CL_TCPServer* const fServer;
    std::atomic<bool> fQuit;
    std::atomic<bool> fReady;
    // Signalled by the dispatcher when a chunk or a cancellation for this worker's
    // request comes; waited on with the client's context lock.
    CL_Condition fDataCondition;
    // Server lock: the client bound to this worker.
    Client* fPinnedClient;
};

inline CL_RecursiveMutex* CL_TCPServer::ContextLock(Client* client)
    CL_RETURN_CAPABILITY(client->fContext->GetLock()) {
    return client->fContext->GetLock();
}
