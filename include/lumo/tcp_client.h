// The TCP RPC client: one connection to one server, every operation packaged as a
// job that runs on the caller's thread (blocking forms) or on a dispatcher
// (asynchronous forms), several requests sharing the connection at once, and server
// discovery by UDP broadcast.
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lumo/dispatcher.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/thread.h"

// CL_Client over one TCP connection.
//
// Connection settings, read by Connect from its table (every key also travels to the
// server in the AUTH request):
//   "host"        server name or address; empty: the default address
//   "port"        TCP port; 0 or none: 51965
//   "timeout"     ms; the client's default time-out and the bound of the TCP connect;
//                 0 or none: 5000
//   "conn_flags"  connection flags asked of the server
//   "reply_limit" largest reply payload accepted, in bytes once inflated; 0 or none:
//                 256 MiB. A reply announcing more, or inflating to more, ends its
//                 request with CL_IPC_BAD_REPLY before the bytes beyond are made.
//
// Time-outs count the server's silence towards this client: a waiting request ends
// with CL_TIMEOUT when, for its whole time-out, no whole chunk or PING has come for any
// request this client sent on this connection whose reply has not come whole, its own
// or another's, waited for or not (the server serves a client's requests one at a
// time, so a request queued behind a long one hears nothing of its own meanwhile).
// Chunks and PINGs of requests never sent on this connection or already answered, and
// the bytes of a chunk not yet whole, give nothing back. A chunk that does not come
// whole within the time-out of the request waiting for it drops the connection, as
// does a header with a wrong magic or a request that went out in part: nothing after
// them could be framed.
//
// The blocking Discover and Connect run on the calling thread and ask its cancel
// check (CL_CancelScope), if any, between their waits.
//
// Thread safety: one object may be shared by any number of threads. fLock (recursive)
// guards the socket, the cipher, the packet queue and the table of waiting requests;
// a request holds it while it writes and reads and releases it while it waits for the
// socket. A Connect keeps the connection to itself for its whole run: it holds fLock
// except while it waits for the server's replies or asks a cancel check, and meanwhile
// every other operation waits at the handshake's gate. No callback runs with it held.
// Disconnect never waits for the lock and never touches the socket without it: when
// the connection is busy it leaves the closing to the request or Connect that holds
// it, which closes the socket at its next step (a wait step is at most 100 ms).
// The id, the server id and the base's time-out and flags are atomics: a Connect
// writes them under fLock, getters and new operations read them without it.
class CL_TCPClient : public CL_Client {
public:
    // The jobs behind the operations and the records they keep; the library's own.
    class QueuedPacket;
    class ServerInfo;
    class ActionJob;
    class DiscoverJob;
    class ConnectJob;
    class ExecuteJob;
    class ProgressJob;

    // Default of "reply_limit".
    static constexpr uint32 kDefaultReplyLimit = 256u << 20;

    explicit CL_TCPClient(CL_Dispatcher* dispatcher = nullptr);
    // Waits for the jobs of an own dispatcher to stop before it frees the cipher. May
    // be called from a success or error callback of an asynchronous operation, whose
    // job touches neither the client nor its dispatcher after the callback.
    ~CL_TCPClient() override;

    // A dispatcher given here stays the caller's; one the client made for itself lives
    // on (its jobs may still run) until the client goes.
    void SetDispatcher(CL_Dispatcher* dispatcher) override;
    // The dispatcher that asynchronous jobs and progress jobs run on: the one given,
    // else the client's own. A caller's job queued there is one WaitForJobs waits for.
    CL_Dispatcher* GetDispatcher() const { return fDispatcher; }
    void WaitForJobs() override;
    CL_Status Discover(CL_Blob& input, CL_Blob& output, uint32 timeout) override;
    void Discover(CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error, CL_ProgressCB progress,
                  void* userData, uint32 timeout) override;
    // A Connect first drops the connection it replaces: requests still waiting on that
    // one end with CL_NOT_CONNECTED.
    CL_Status Connect(const CLU_Table& settings, CL_Blob& output, uint32 timeout) override;
    void Connect(const CLU_Table& settings, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, void* userData, uint32 timeout) override;
    void Disconnect() override;
    uint32 GetID() override { return fID.load(); }
    uint32 GetConnectionNumber() override { return fConnection.load(); }
    CL_Status Execute(uint32 command, CL_Blob& input, CL_Blob& output, CL_IdleCB idle,
                      uint32 timeout) override;
    void Execute(uint32 command, CL_Blob& input, CL_SuccessCB success, CL_ErrorCB error,
                 CL_ProgressCB progress, CL_IdleCB idle, void* userData, uint32 timeout) override;
    // Sends ABORT_ALL (within the client's time-out) and ends every request waiting on
    // this connection with 205 at once, also those whose replies are still arriving.
    CL_Status Interrupt() override;

    uint16 GetFlags() const { return fFlags.load(std::memory_order_relaxed); }
    uint32 GetTimeOut() const { return fTimeOut.load(std::memory_order_relaxed); }
    uint64 GetServerID() const { return fServerID.load(std::memory_order_relaxed); }
    uint32 GetReplyLimit() const { return fReplyLimit.load(std::memory_order_relaxed); }
    // Chunks read and kept for requests that still wait for them.
    uint32 GetQueuedPacketCount();

protected:
    // Sends one request packet; *sequence receives the number it used. The sequence
    // is registered as awaiting a reply before the first byte goes out. A DATA
    // request goes out with the connection's granted flags and cipher, both taken at
    // one moment; the handshake's requests go out plain. A cancel that comes while the
    // packet goes out is carried to the server, whose answer is awaited.
    CL_Status WriteRequest(ActionJob* job, uint32* sequence, CL_PacketType type,
                           CL_PacketHeader* header, CL_Blob* data);
    // Collects the reply of `sequence`, handling PINGs, progress, idle and cancel.
    CL_Status ReadReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header, CL_Blob* data);

private:
    struct Waiter;
    class Reply;

    // ---- For the jobs ----
    // Opens the connection that `settings` (a flattened table) describe: the TCP
    // connect under fLock, then SERVER_INFO and AUTH through the job, which let it go
    // while they wait (the handshake's gate keeps the other threads out). *output:
    // the server's reply table with "host" as given.
    CL_Status Open(ActionJob* job, CL_Blob& settings, CL_Blob* output);

    // ---- Opening the connection (tcp_client_handshake.cpp) ----
    // Reads the settings into the client; returns the server's address.
    CL_NetAddress ApplySettings(const CLU_Table& settings, const std::string& host)
        CL_REQUIRES(fLock);
    CL_Status ConnectSocket(ActionJob* job, const CL_NetAddress& address) CL_REQUIRES(fLock);
    // Waits in steps for a TCP connect that went on in the background.
    CL_Status AwaitConnect(ActionJob* job) CL_REQUIRES(fLock);
    // SERVER_INFO, then AUTH with the settings and the connection flags asked for;
    // *grant: the header of the answer to AUTH, *data: its reply table, flattened.
    CL_Status Authorise(ActionJob* job, const CLU_Table& settings, uint32 connFlags,
                        CL_Blob* data, CL_PacketHeader* grant) CL_EXCLUDES(fLock);
    // One chunk of a handshake's request on the wire, written in steps between which
    // the job's cancel check is asked: *sent bytes went out.
    CL_Status WriteInSteps(ActionJob* job, const CL_Blob& wire, uint32* sent) CL_REQUIRES(fLock);
    // Takes the answer to AUTH: the flags granted and the cipher they choose.
    CL_Status TakeGrant(const CL_PacketHeader& reply, uint32* clientID) CL_REQUIRES(fLock);
    CL_Status EndHandshake(ActionJob* job, CL_Status result, uint32 clientID) CL_REQUIRES(fLock);
    // The handshake's gate: whether a Connect of another thread holds the connection,
    // and the wait until none does (fLock let go meanwhile).
    bool HandshakeElsewhere() const CL_REQUIRES(fLock);
    void AwaitHandshake() CL_REQUIRES(fLock);
    // The job's cancel check, asked with fLock let go (the gate keeps the connection
    // this Connect's): whether the job is cancelled.
    bool PollCancel(ActionJob* job) CL_REQUIRES(fLock);

    // ---- Requests (tcp_client_exchange.cpp) ----
    // Sends the packet chunk by chunk. *cancelled: the job was cancelled after part
    // of the packet went out, so the server is to hear of it.
    CL_Status SendChunks(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                         const CL_Blob& payload, bool* cancelled) CL_REQUIRES(fLock);
    // One chunk on the wire (a handshake's in steps): *sent bytes went out.
    CL_Status WriteChunk(ActionJob* job, const CL_Blob& wire, uint32* sent) CL_REQUIRES(fLock);
    CL_Status CollectReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                           CL_Blob* data) CL_REQUIRES(fLock);
    // A PING for a request: carries a cancel that came meanwhile to the server.
    CL_Status TakePing(ActionJob* job, uint32 sequence, const QueuedPacket& ping, Reply* reply)
        CL_REQUIRES(fLock);
    // The ABORT for a cancelled request, once.
    CL_Status CarryCancel(ActionJob* job, uint32 sequence, Reply* reply) CL_REQUIRES(fLock);
    // A request its idle callback ends: the server is told with an ABORT, once, and
    // its answer is not waited for (a silent server would hold the caller).
    void AbortWithoutAnswer(ActionJob* job, uint32 sequence, Reply* reply) CL_REQUIRES(fLock);
    CL_Status WriteAbort(ActionJob* job, uint32 sequence) CL_REQUIRES(fLock);
    // Writes one packet of cancel headers; one that goes out in part drops the
    // connection.
    CL_Status WriteControl(const CL_PacketHeader& header, uint32 ms) CL_REQUIRES(fLock);

    // ---- Input and the waiting requests (tcp_client_input.cpp) ----
    // Takes what the socket holds now into fReader without waiting: 0, 4 when nothing
    // came, or the socket's status (which closes it, as the peer's close does).
    CL_Status ReadInput() CL_REQUIRES(fLock);
    // Queues every whole chunk read (dropping those nobody waits for): 0, or 101 for a
    // header with a wrong magic, which drops the connection. *count: chunks taken.
    CL_Status TakeInput(uint32* count) CL_REQUIRES(fLock);
    void QueueChunk(const CL_PacketHeader& header, const uint8* payload, uint32 size)
        CL_REQUIRES(fLock);
    // Requests sent on this connection whose replies have not come whole.
    void AddOutstanding(uint32 sequence) CL_REQUIRES(fLock);
    // A whole chunk or PING: news of the server's work when it belongs to an
    // outstanding request, whose reply it may complete.
    void NoteNews(const CL_PacketHeader& header, uint32 size) CL_REQUIRES(fLock);
    QueuedPacket* TakeQueued(uint32 sequence) CL_REQUIRES(fLock);
    void DropQueued(uint32 sequence) CL_REQUIRES(fLock);
    Waiter* FindWaiter(uint32 sequence) CL_REQUIRES(fLock);
    void AddWaiter(uint32 sequence) CL_REQUIRES(fLock);
    void RemoveWaiter(uint32 sequence) CL_REQUIRES(fLock);
    // Ends the wait of every request registered now with `status`.
    void EndWaiters(CL_Status status) CL_REQUIRES(fLock);
    void ClearWaiters() CL_REQUIRES(fLock);
    // The next queued chunk of `sequence`, reading the socket for everybody while
    // the reading turn is free. A cancel of the job that comes meanwhile goes to the
    // server at once, through `reply`.
    CL_Status WaitForPacket(ActionJob* job, uint32 sequence, Reply* reply, QueuedPacket** packet)
        CL_REQUIRES(fLock);
    // What is there without waiting: CL_OK with *packet, CL_OK without one when the
    // request has to wait, or the status that ends the wait.
    CL_Status LookForPacket(ActionJob* job, uint32 sequence, QueuedPacket** packet)
        CL_REQUIRES(fLock);
    // One wait of at most `step` ms: with the reading turn (or in a Connect) on the
    // socket, else on the request's condition. CL_OK when bytes came or the socket
    // closed (look again), CL_TIMEOUT when the wait passed, or the status that ends it.
    CL_Status AwaitInput(uint32 sequence, bool* turn, uint32 step) CL_REQUIRES(fLock);
    // Gives the reading turn up, if held, and wakes one other sleeping request for it.
    void ReleaseTurn(uint32 sequence, bool* turn) CL_REQUIRES(fLock);
    // Runs the job's idle callback without the lock: whether it asked to cancel.
    bool IdleCancels(ActionJob* job, uint32 sequence, bool* turn) CL_REQUIRES(fLock);
    // Whether the chunk being read has been in part for `ms` or more; a chunk of
    // `sequence` counts from the moment its first bytes came.
    bool ChunkStalled(uint32 sequence, uint32 ms) CL_REQUIRES(fLock);
    // Closes the socket when a Disconnect asked for it, unless another thread's
    // handshake holds it; whether it did.
    bool CloseIfAsked() CL_REQUIRES(fLock);
    // Ends the connection from this side: the socket closes (a reader waiting on it
    // wakes up) and whatever was read of it goes.
    void DropConnection() CL_REQUIRES(fLock);
    // fLock.TryLock in a form the lock analysis follows (it cannot read a comparison
    // with a named status): whether the lock was taken.
    bool TryLockConnection() CL_TRY_ACQUIRE(true, fLock) { return fLock.TryLock() == CL_OK; }

    CL_Socket fSocket CL_GUARDED_BY(fLock);
    std::atomic<uint32> fID;
    // The connection cipher, shared with every reply being decoded (a reader keeps
    // its own reference while it waits without the lock, across a Connect).
    std::shared_ptr<CL_Cipher> fCipher CL_GUARDED_BY(fLock);
    // Number of the connection; each Connect gives a new one, so that a request
    // encoded for one connection never goes out on the next. Written under fLock, in
    // the same hold as the old connection's requests are ended.
    std::atomic<uint32> fConnection;
    // Read relaxed: a plain value that publishes nothing else.
    std::atomic<uint64> fServerID;
    std::atomic<uint32> fReplyLimit;
    // Set by the constructor and SetDispatcher, which the owner calls before it
    // shares the client; read without a lock.
    CL_Dispatcher* fDispatcher;
    bool fOwnDispatcher;
    // Lock order: a client's fLock comes before a progress job's.
    CL_RecursiveMutex fLock;
    CL_AtomicVar fNextSequence;
    uint32 fConnFlags CL_GUARDED_BY(fLock);
    std::deque<QueuedPacket*> fQueuedPackets CL_GUARDED_BY(fLock);
    // Requests waiting for their replies: the status that ends a wait from outside
    // (Interrupt, a new Connect), and the condition that wakes each when a chunk
    // comes for it or the reading turn is free.
    std::vector<Waiter*> fWaiters CL_GUARDED_BY(fLock);
    // A request is reading the socket (or waiting on it) for everybody.
    bool fReading CL_GUARDED_BY(fLock);
    // A Connect holds the connection: its reads never wait for another reader, and the
    // other threads' operations wait on fHandshakeOver until it is over.
    bool fHandshaking CL_GUARDED_BY(fLock);
    std::thread::id fHandshaker CL_GUARDED_BY(fLock);
    CL_Condition fHandshakeOver;
    // The requests sent on this connection whose replies have not come whole, with the
    // reply bytes still to come (kUnknownSize before the first chunk). Oldest first; at
    // most kMaxOutstanding (a server may never answer requests that ABORT_ALL ended).
    std::map<uint32, uint32> fOutstanding CL_GUARDED_BY(fLock);
    // Counts the whole chunks and PINGs of outstanding requests; the last came at
    // CL_GetTime fNewsAt. Each gives every waiting request its whole time-out back.
    uint32 fNews CL_GUARDED_BY(fLock);
    uint32 fNewsAt CL_GUARDED_BY(fLock);
    // Bytes read from the socket and not yet taken as whole chunks.
    CL_ChunkReader fReader CL_GUARDED_BY(fLock);
    // fReader holds part of a chunk, whose first bytes came at CL_GetTime
    // fPartialSince.
    bool fPartialHeld CL_GUARDED_BY(fLock);
    uint32 fPartialSince CL_GUARDED_BY(fLock);
    // A Disconnect found the connection busy: whoever holds fLock closes the socket.
    std::atomic<bool> fDisconnectAsked;
    // Own dispatchers replaced by SetDispatcher; deleted with the client.
    std::vector<CL_Dispatcher*> fRetiredDispatchers;
};
