// The TCP server's private records: a request on its way in and one a worker is
// handling, the record of one connection with its chunk reader, request queue and
// output, a worker thread, and what the dispatcher and a serving worker carry from
// step to step. Only the server's own files see them.
#pragma once

#include <poll.h>
#include <semaphore.h>

#include <atomic>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lumo/net/countdown.h"
#include "lumo/net/tcp_server_impl.h"

// What serving one request ended with.
enum CL_TCPServer::Impl::ServeResult : int { kServeNone, kServeDone, kServeWriteError };

// A client found ready by the dispatcher's wait, and the outcome of its socket work.
struct CL_TCPServer::Impl::ReadyClient {
    ReadyClient(Client* client, short events) : fClient(client), fEvents(events) {}

    Client* fClient;
    short fEvents;
    // Its output is looked at whatever the wait said (Impl::ProbeOutput).
    bool fProbe = false;
    bool fBacklogged = false;  // before the write
    CL_Status fWrite = CL_OK;
    CL_Status fRead = CL_TIMEOUT;
};

// What the dispatcher keeps from one pass to the next.
struct CL_TCPServer::Impl::DispatcherState {
    // The longest wait for the clients' sockets: the periodic work's step. A client
    // whose cancellation waits for its context lock is looked at again sooner.
    static constexpr uint32 kIdleWaitStep = 100;
    static constexpr uint32 kBusyWaitStep = 1;

    explicit DispatcherState(uint32 start)
        : fLastPing(start),
          fLastLoad(start),
          fLastDiscovery(start),
          fLastSweep(start),
          fLastProbe(start) {}
    // The stamps taken afresh, in the first pass after a Start.
    void Restart(uint32 now, uint32 starts) {
        fLastPing = fLastLoad = fLastDiscovery = fLastSweep = fLastProbe = now;
        fOverCap = false;
        fStarts = starts;
    }
    uint32 fLastPing;
    uint32 fLastLoad;
    uint32 fLastDiscovery;
    uint32 fLastSweep;
    // The last look at the outputs of every client that has one, one periodic step apart.
    uint32 fLastProbe;
    // The Start the stamps were taken after (Impl::fStarts).
    uint32 fStarts = 0;
    // Whether the replies of the clients not cut off are past the hard cap, and since
    // when.
    bool fOverCap = false;
    uint32 fOverCapSince = 0;
    // The wait of this pass: the wake-up descriptor first, then one entry per client
    // watched; the pass number tells a client's entry of this pass from an old one.
    std::vector<pollfd> fPoll;
    uint32 fPass = 0;
    bool fHurry = false;
    // The clients found ready in this pass, and the workers to wake at its end.
    std::vector<ReadyClient> fReady;
    std::vector<Worker*> fWakes;
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

// A request on its way to a worker: gathered chunk by chunk by the dispatcher, then
// queued whole in its client's record. The holder's alone.
struct CL_TCPServer::Impl::Incoming {
    CL_PacketHeader fHeader;  // the first chunk's
    CL_Blob fInput;           // the payload gathered so far
    uint32 fLeft = 0;         // payload bytes still to come
    uint32 fStarted = 0;      // CL_GetTime of the first chunk
    uint32 fLastChunk = 0;    // CL_GetTime of the latest chunk, then of its queuing
    // Larger than the request limit: answered FAILED, its bytes never kept.
    bool fRefused = false;
    // From a connection not yet let in: counted at its announced size in the server's
    // handshake bytes, not in its input.
    bool fHandshake = false;

    // What it holds as allocated: its payload, this record and the two nodes that queue
    // it. Its client's allowance and the server's input count it so, also while it is
    // gathered: a peer's empty requests are not free.
    uint64 Held() const;
    // The most that `bytes` read may come to hold: a request for each header they may
    // end.
    static uint64 MostHeld(uint64 bytes);
};

// A client's whole requests waiting for a worker, oldest first, each also found by its
// sequence number (the oldest of a number sent more than once), so that taking the next
// one or a cancelled one costs the same however many wait. Its holder deletes them.
class CL_TCPServer::Impl::RequestQueue {
public:
    typedef std::list<Incoming*>::const_iterator const_iterator;

    void Append(Incoming* request);
    Incoming* Front() const { return fOrder.empty() ? nullptr : fOrder.front(); }
    Incoming* PopFront();
    // The oldest request of `sequence`, taken off the queue; null when none waits.
    Incoming* Take(uint32 sequence);
    bool IsEmpty() const { return fOrder.empty(); }
    size_t Count() const { return fOrder.size(); }
    const_iterator begin() const { return fOrder.begin(); }
    const_iterator end() const { return fOrder.end(); }

private:
    std::list<Incoming*> fOrder;
    // A multimap keeps requests of one number in the order they were added.
    std::multimap<uint32, std::list<Incoming*>::iterator> fBySequence;
};

// One request a worker serves, from the queue to its reply; the worker's alone.
struct CL_TCPServer::Impl::Exchange {
    Exchange(Worker* worker, Client* client) : fWorker(worker), fClient(client) {}

    Worker* const fWorker;
    Client* const fClient;
    CL_PacketHeader fHeader;  // the request's first chunk
    uint32 fSequence = 0;
    Request* fRequest = nullptr;  // owned until the reply is sent
    uint64 fInflateReach = 0;     // counted in the server's inflating bytes
    CL_Blob fInput;
    CL_PacketHeader fReply;
    CL_Blob fOutput;
    bool fRefused = false;
    bool fHasReply = false;
    bool fCounted = true;
    bool fAborted = false;
};

// Where a client's output goes: its socket, written without waiting.
class CL_TCPServer::Impl::Sink {
public:
    virtual ~Sink() = default;
    // Writes what the target takes at once: *sent bytes, and CL_OK (also when it took
    // fewer or none) or its error.
    virtual CL_Status Write(const uint8* data, uint32 size, uint32* sent) = 0;
    // Bytes the target has taken and not yet passed on (the kernel's send queue).
    virtual uint32 Unsent() = 0;
};

// Bytes waiting to go to one client: whole packets as they go on the wire, a large
// reply in parts of whole chunks queued together, so that nothing lands between a
// reply's chunks. The counts, the client's and the server's, are of the bytes held: a
// part counts whole until it has gone out, as its memory goes only then. Under the
// client's own lock. Two clocks: the oldest chunk's that waits, since each chunk has
// to go out within the time-out however few bytes at a time, and when the socket last
// took any of its bytes, which tells a client that reads, however slowly, from one
// that does not. And the pace at which the peer takes what waits, and whether it has
// been seen to read it at all.
class CL_TCPServer::Impl::Output {
public:
    // `total` counts the server's bytes waiting or dropped and not yet freed, `live`
    // those waiting; `mine` mirrors this output's.
    Output(std::atomic<uint64>* total, std::atomic<uint64>* live, std::atomic<uint64>* mine)
        : fTotal(total), fLive(live), fMine(mine) {}
    // Frees what waits or was dropped; only then do the bytes leave the counts.
    ~Output();
    // The same before the record goes: the bytes freed, for the memory given back.
    uint64 Free();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Writes the parts of a packet at once when nothing waits before them, and queues
    // what the socket did not take; *queued tells whether anything was queued. CL_OK or
    // the socket's error.
    CL_Status Send(Sink& sink, std::span<const CL_Blob> parts, uint32 now, bool* queued);
    CL_Status Send(Sink& sink, const CL_Blob& wire, uint32 now, bool* queued) {
        return Send(sink, std::span<const CL_Blob>(&wire, 1), now, queued);
    }
    // Writes what waits until the socket takes no more.
    CL_Status WriteQueued(Sink& sink, uint32 now);
    // Looks whether the socket took bytes since the last look, its count of unsent
    // bytes having fallen, notes what the peer has taken for its pace, and writes what
    // waits whether or not the socket was reported ready: a socket whose peer reads
    // slowly may take bytes for seconds before its wait says so.
    CL_Status Probe(Sink& sink, uint32 now);
    // Forgets what waits; the bytes themselves go with the record, on the worker that
    // deletes it, and stay counted until then. Measured under the soak's peers: freeing
    // them where the dispatcher cut many non-readers off at once made passes of 4 to
    // 6 ms that fresh connects waited out.
    void Drop();
    bool IsEmpty() const { return fPackets.empty(); }
    uint64 GetBytes() const { return fBytes; }
    // When the oldest chunk that waits began to be written.
    uint32 GetSince() const { return fSince; }
    // When the socket last took bytes of what waits, or they began to wait.
    uint32 GetMoved() const { return fMoved; }
    // Whether its peer has been seen to read what waits, however slowly or unevenly.
    bool PeerReads() const { return fPeerReads; }
    // Judged at `now`, which may be earlier than the stamps: for how long the socket
    // took none of what waits, and whether a chunk has waited longer than `limit`.
    uint32 IdleFor(uint32 now) const { return CL_Elapsed(now, fMoved); }
    bool IsOverdue(uint32 now, uint32 limit) const {
        return fBytes > 0 && CL_Elapsed(now, fSince) > limit;
    }
    // Bytes a second the peer took over the last kPaceWindow ms or more, as the looks
    // found them; false while what waits has less history.
    bool GetPace(uint64* pace) const;

    static constexpr uint32 kPaceWindow = 2000;

private:
    // What the peer had taken (bytes written less those the socket still holds) at
    // one look.
    struct Sample {
        uint32 fTime;
        uint64 fTaken;
    };
    // Looks are a periodic step (100 ms) apart at least: enough of them to span the
    // window.
    static constexpr uint32 kSamples = 24;
    // More than a socket takes of what waits while its peer reads nothing: what fills
    // the peer's receive buffer (Linux: 128 KiB by default; a peer may set up to twice
    // net.core.rmem_max, which is 416 KiB only at that limit's default) and what is in
    // flight. A peer whose buffer holds more (2 MiB given for 1 MiB asked) is seen to
    // read at once, and goes as a reader that took nothing for 2 s.
    static constexpr uint64 kUnreadFill = 1u << 20;
    // A socket that has taken nothing for this long is stalled: what it takes while its
    // peer reads nothing comes with the peer's acknowledgements, delayed 200 ms at most
    // (measured on loopback: within 150 ms of the first write, then nothing).
    static constexpr uint32 kStalledAfter = 300;

    void Count(int64_t change);
    void Note(uint32 now, uint64 taken);

    std::atomic<uint64>* const fTotal;
    std::atomic<uint64>* const fLive;
    std::atomic<uint64>* const fMine;
    std::deque<CL_Blob> fPackets;
    std::deque<CL_Blob> fDropped;
    uint32 fOffset = 0;        // bytes of the first packet already written
    uint64 fBytes = 0;         // bytes of fPackets
    uint64 fDroppedBytes = 0;  // bytes of fDropped
    uint32 fSince = 0;         // CL_GetTime when the first chunk that waits began
    uint32 fMoved = 0;         // CL_GetTime when the socket last took bytes
    uint32 fUnsent = 0;        // the sink's unsent bytes at the last look
    uint64 fWritten = 0;       // bytes ever written to the sink
    // The looks since what waits began to wait, the latest at fSamples[fNext - 1].
    Sample fSamples[kSamples];
    uint32 fNext = 0;
    uint32 fNoted = 0;
    // The bytes written before the write that left what waits, the most the peer had
    // taken then; whether a look since found the socket stalled, and whether the peer
    // has been seen to read.
    uint64 fWrittenBefore = 0;
    bool fStalled = false;
    bool fPeerReads = false;
};

// A client's unread replies as the rules that cut clients off see them: the bytes held,
// for how long the socket took none of them, the pace its peer takes them at
// (kNoPace: too little history), and whether to cut the client off; whether its peer
// has been seen to read them.
struct CL_TCPServer::Impl::PendingOutput {
    static constexpr uint64 kNoPace = ~uint64(0);

    Client* fClient;
    uint64 fBytes;
    uint32 fIdle;
    uint64 fPace;
    bool fCut;
    bool fPeerReads;
    // Cut while the rest was past the cap, not only over the budget.
    bool fPastCap = false;
};

// A request a worker has taken, from the queue to its reply. It is reached only
// through its client's fExecutingRequests, under the client's own lock.
class CL_TCPServer::Impl::Request : public CL_Object {
public:
    Request(uint32 id, Worker* worker) : fID(id), fWorker(worker) {}

    const uint32 fID;
    // The dispatcher's alone: the progress message of the last PING it queued.
    std::string fProgressMessage;
    Worker* const fWorker;
};

// The server's record of one connection.
class CL_TCPServer::Impl::Client : public CL_Object {
public:
    // What a client's queued requests may hold (Incoming::Held) before the dispatcher
    // stops reading from it and lets TCP hold the sender back.
    static constexpr uint64 kMaxQueuedBytes = 64u << 20;

    Client(Impl* server, CL_Socket* socket) CL_REQUIRES(server->fLock);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // CL_Mutex::TryLock reports a status, which the analysis cannot read as success.
    bool TryLockContext() CL_TRY_ACQUIRE(true, fContext->GetLock()) CL_NO_THREAD_SAFETY_ANALYSIS {
        return fContext->GetLock()->TryLock() == CL_OK;
    }

    // The queue of whole requests, oldest first, with the bytes they hold.
    void QueueRequest(Incoming* request) CL_REQUIRES(fLock);
    Incoming* TakeRequest() CL_REQUIRES(fLock);
    Incoming* PeekRequest() CL_REQUIRES(fLock) { return fQueuedRequests.Front(); }
    bool HasRequest() CL_REQUIRES(fLock) { return !fQueuedRequests.IsEmpty(); }
    // Takes the oldest queued request of `sequence` off the queue; null when there is none.
    Incoming* TakeRequest(uint32 sequence) CL_REQUIRES(fLock);

    // ---- Constant ----
    const uint32 fID;
    // The peer's address, taken once at accept.
    const CL_NetAddress fPeer;

    // ---- Any thread ----
    // What the queued requests hold (Incoming::Held), and the bytes of the output:
    // changed under fLock, read anywhere, since reading from the client and serving it
    // depend on them.
    std::atomic<uint64> fQueuedBytes;
    std::atomic<uint64> fBacklog;
    // What the payload of the first queued request may inflate to (InflateReach);
    // changed under fLock.
    std::atomic<uint64> fHeadReach;
    // The protocol version of its AUTH request; the serving worker reads it to choose
    // the flattened format. Whether an AUTH was granted: until then only the handshake
    // is read. Set when the client is killed.
    std::atomic<uint32> fProtocolVersion;
    std::atomic<bool> fAuthorized;
    std::atomic<bool> fDead;
    // Changed under the server lock: workers serving the client (0 or 1).
    CL_AtomicVar fBusyCount;
    // Until a worker hands it to the disconnect callback. The context has its own lock,
    // taken after the server lock and before fLock.
    std::unique_ptr<CL_ClientContext> fContext;

    // ---- The client's own lock ----
    // Guards the socket, the queued and executing requests and the output. Held only
    // for short steps that never wait: the socket is only ever used without waiting.
    CL_Mutex fLock;
    // Closed with the record.
    const std::unique_ptr<CL_Socket> fSocket CL_PT_GUARDED_BY(fLock);
    CL_HashMap<int32, Request*> fExecutingRequests CL_GUARDED_BY(fLock);
    RequestQueue fQueuedRequests CL_GUARDED_BY(fLock);
    Output fOutput CL_GUARDED_BY(fLock);

    // ---- The server lock ----
    // The worker this client is bound to.
    Worker* fPinnedWorker;
    // Whether the client is in the waiting list (once at most), when it last got a new
    // request there, and the chat port of its AUTH.
    bool fWaiting;
    uint32 fWaitStartTime;
    // Its turn among the clients whose requests were held back past the cap of unread
    // replies without any of their own (0: none): they are taken in that order.
    uint64 fHeldTurn;
    uint16 fChatPort;
    // The dispatcher uses the socket with the server lock released; no worker deletes
    // the record meanwhile.
    bool fHeld;

    // ---- The dispatcher's, under the server lock ----
    // Part of a chunk is pending, since fLastReadTime.
    bool fPartial;
    uint32 fLastReadTime;
    // The bytes of the chunks being read (the socket read itself under fLock), the
    // requests being gathered and their bytes, and cancellations that wait for the
    // context lock.
    CL_ChunkReader fReader;
    CL_HashMap<int32, Incoming*> fGathers;
    uint64 fGatheredBytes;
    std::vector<uint32> fPendingCancels;
    bool fPendingCancelAll;
    // What its requests held when the record was dropped: given back when it is deleted.
    uint64 fDroppedInput;
    // The pass that last watched the socket, and its entry in that pass's wait.
    uint32 fWatchPass;
    uint32 fWatchSlot;

    // ---- Constant ----
    Impl* const fServer;

private:
    // A request taken off the queue leaves its counts.
    Incoming* Uncount(Incoming* request) CL_REQUIRES(fLock);
};

// A worker thread's record; the thread deletes it when it ends.
class CL_TCPServer::Impl::Worker : public CL_Object {
public:
    Worker(uint32 id, Impl* server);
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Hands the worker a client to serve, before it is woken.
    void Assign(Client* client) { fAssigned.store(client); }
    // Wakes the worker. Called with the server lock held, which the worker needs before
    // it can end, or with fPendingWakes counting the call: the record outlives it.
    void Wake() { sem_post(&fWake); }
    // Waits at most `ms` for a wake-up; the client handed over, if any. A wake-up that
    // came while the worker was not waiting ends the next wait at once.
    Client* WaitForWake(uint32 ms);
    // The client handed over since the last wait, if any.
    Client* TakeAssigned() { return fAssigned.exchange(nullptr); }

    const uint32 fID;
    // Server lock.
    CL_ThreadID fThreadID;
    Impl* const fServer;
    std::atomic<bool> fQuit;
    std::atomic<bool> fReady;
    // Server lock: the client bound to this worker, and whether it waits for work
    // (then it is in the server's fIdleWorkers).
    Client* fPinnedClient;
    bool fIdle;
    // Wake-ups the dispatcher has promised and not yet made; the thread deletes the
    // record only once there are none.
    std::atomic<int> fPendingWakes;

private:
    // Each worker sleeps on a semaphore of its own, so that a request wakes exactly one
    // worker, with one system call on each side and no lock to take again on waking:
    // measured, under 1.6 sleeps of the workers per request (ARequestWakesOneWorker).
    sem_t fWake;
    std::atomic<Client*> fAssigned;
};

inline CL_RecursiveMutex* CL_TCPServer::Impl::ContextLock(Client* client)
    CL_RETURN_CAPABILITY(client->fContext->GetLock()) {
    return client->fContext->GetLock();
}

inline CL_Mutex* CL_TCPServer::Impl::ClientLock(Client* client) CL_RETURN_CAPABILITY(client->fLock) {
    return &client->fLock;
}
