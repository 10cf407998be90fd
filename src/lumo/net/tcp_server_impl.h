// The TCP server's machinery behind its public class: the listener, the dispatcher, the
// worker pool, the client table and the clients' output, with the fields each reaches
// grouped by the lock that guards them. Only the server's own files see it; the
// records it keeps are in tcp_server_records.h.
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "lumo/containers.h"
#include "lumo/socket.h"
#include "lumo/tcp_server.h"
#include "lumo/thread.h"
#include "lumo/translator.h"

// The server's log lines are Italian source texts handed to the translator first.
inline const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

// Lock order: the server lock (fLock), then a client's context lock, then a client's
// own lock; the listener's, the responder's and the address lock each come after the
// server lock and are taken alone otherwise. The analysis can name a client's context
// lock and its own lock (ContextLock, ClientLock), not the server lock of the server a
// record belongs to, so record fields under the server lock say so in words.
class CL_TCPServer::Impl {
public:
    // The records (tcp_server_records.h).
    class Request;
    class Client;
    class Worker;
    struct Incoming;
    class RequestQueue;
    class Sink;
    class Output;
    struct PendingOutput;
    struct DispatcherState;
    struct ReadyClient;
    struct Exchange;
    enum ServeResult : int;
    // A payload that cannot inflate past this is inflated whatever the others do.
    static constexpr uint64 kFreeInflation = 64u << 10;
    // Unwritten bytes past which a client is served no further requests, and read no
    // further, until it has read its replies.
    static constexpr uint64 kMaxBacklog = 4u << 20;
    // Requests of one client gathered at once: a client's own requests never interleave
    // their chunks, and each gathered request is looked at in every dispatcher pass.
    static constexpr uint32 kMaxGathers = 8;
    // Request bytes that connections not yet let in may hold in all, gathered or queued,
    // each request counted at the size it announces.
    static constexpr uint64 kHandshakeBudget = 16u << 20;
    // Freed memory is given back to the system once this much or more goes at once: the
    // allocator kept that of the replies of peers cut off and coming back, and of the
    // requests a flood had queued. A trim takes time (16 to 94 ms on a fragmented heap
    // of 200 to 400 MiB), and while memory is still being freed and used again, what it
    // gives back is faulted in again at once: trims are never made under the server lock,
    // one a kTrimInterval at most, and only once none has been asked for in that time, or
    // kTrimLongest after the last. One not made when asked for is made by the dispatcher
    // when its turn comes: memory goes back about a second after the last of it is freed.
    // The replies freed with their records, those of peers cut off, go back at once when
    // they come to a kTrimShare of the output budget since the last trim: peers that keep
    // asking large replies and are cut off free them faster than a quiet second ever
    // comes, and 40 such peers asking 64 MiB grew the server by a fifth more meanwhile.
    // Dropped requests never count there: peers that send 1.5 MiB and reset free more than
    // the budget a second.
    static constexpr uint64 kTrimAfter = 1u << 20;
    static constexpr uint64 kTrimInterval = 1000000;  // microseconds
    static constexpr uint64 kTrimLongest = 10000000;
    static constexpr uint64 kTrimShare = 4;
    typedef CL_LinkedList<Worker*> WorkerList;
    typedef CL_LinkedList<Client*> ClientList;

    // Starts the listener and dispatcher threads, idle until Start.
    explicit Impl(CL_TCPServer& server);
    // Stops the server and waits for the listener and dispatcher to end.
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // A client's context lock and its own lock, as the lock annotations name them.
    static CL_RecursiveMutex* ContextLock(Client* client);
    static CL_Mutex* ClientLock(Client* client);

    // ---- Set-up, start and stop (tcp_server.cpp) ----------------------------------
    void Configure(CLU_Table& settings);
    CL_Status Start() CL_EXCLUDES(fLock);
    // False when the server was not running.
    bool StopServing() CL_EXCLUDES(fLock);
    void Publish(CLU_Table& info) CL_EXCLUDES(fAddressLock);
    // The machinery of a server; for the library's tests.
    static Impl& Of(CL_TCPServer& server) { return *server.fImpl; }
    uint64 GetInputBudget() const;
    void DropClientsForSuspend() CL_EXCLUDES(fLock);
    void RefreshAddressAfterResume() CL_EXCLUDES(fLock);
    // Makes the dispatcher's wait end, so that it looks at the clients again.
    void WakeDispatcher();

    // ---- Listener and dispatcher (tcp_server_dispatcher.cpp) ----------------------
    static int32 ListenerThread(void* param);
    static int32 DispatcherThread(void* param);

    // ---- Client records and administration (tcp_server_clients.cpp) ---------------
    void ListClients(CL_LinkedList<uint32>* ids) CL_EXCLUDES(fLock);
    CL_Status DescribeClient(uint32 clientID, CLU_Table& info) CL_EXCLUDES(fLock);
    CL_Status CloseClient(uint32 clientID) CL_EXCLUDES(fLock);

    // ---- Fields -----------------------------------------------------------------------

    // The public object: its callbacks, flags and log. Constant.
    CL_TCPServer& fServer;

    // Any thread. Bits 16-63 the machine, bits 0-15 the listener port (set by Start).
    std::atomic<uint64> fID;
    std::atomic<bool> fRun;
    std::atomic<bool> fQuit;
    // Server threads inside a unit of work, for the load average.
    CL_AtomicVar fBusyCount;
    // Workers that retired and may still be finishing; Stop waits for them.
    CL_AtomicVar fRetiring;
    // What the requests read from clients let in and not yet taken by a worker hold
    // (Incoming::Held), and reply bytes held, over all clients: not yet written, or of
    // clients cut off and not yet freed; of the latter, those of clients not cut off.
    std::atomic<uint64> fInputBytes;
    std::atomic<uint64> fOutputBytes;
    std::atomic<uint64> fLiveOutput;
    // What connections not yet let in hold of requests, apart from fInputBytes.
    std::atomic<uint64> fHandshakeBytes;
    // Whether the input has held kTrimAfter or more since its memory was last given back.
    std::atomic<bool> fInputPeaked{false};
    // Whether a trim waits for its turn, whether one is under way, when the last began
    // and when one was last asked for (CL_GetMicroTime, 0: none yet), the reply bytes
    // freed with their records since the last began, and how many were made.
    std::atomic<bool> fTrimDue{false};
    std::atomic<bool> fTrimming{false};
    std::atomic<uint64> fLastTrim{0};
    std::atomic<uint64> fLastTrimAsked{0};
    std::atomic<uint64> fRepliesFreed{0};
    std::atomic<uint32> fTrims{0};

    // Settings: written by Setup while the server is stopped, read by Start and the
    // threads it sets running; the atomic ones also by the getters at any time. Start
    // sets fResponderPort to the port it found.
    std::string fIP;
    // "loopback_only": the sockets bind 127.0.0.1 rather than every interface.
    bool fLoopbackOnly = false;
    uint16 fListenerPort;
    std::atomic<uint16> fResponderPort;
    std::atomic<uint32> fTimeOut;
    std::atomic<uint32> fMaxRequestSize;

    // The server lock (not recursive): the client lists and their records' membership,
    // the bindings, the worker pool and the counters below.
    CL_Mutex fLock;
    uint32 fNextClientID CL_GUARDED_BY(fLock);
    uint32 fNextWorkerID CL_GUARDED_BY(fLock);
    // The last turn given to a client held back past the cap.
    uint64 fHeldTurns CL_GUARDED_BY(fLock);
    CL_NetAddress fAddress CL_GUARDED_BY(fLock);
    // Every connected client in accept order; clients with a request for the workers,
    // each listed once; killed clients waiting to be deleted.
    ClientList fClientList CL_GUARDED_BY(fLock);
    ClientList fWaitingList CL_GUARDED_BY(fLock);
    ClientList fDeadList CL_GUARDED_BY(fLock);
    // The worker threads; those waiting for work, in the order they began to wait.
    WorkerList fWorkerList CL_GUARDED_BY(fLock);
    WorkerList fIdleWorkers CL_GUARDED_BY(fLock);
    double fLoad CL_GUARDED_BY(fLock);
    // The dispatcher's state while it holds the lock in a pass: workers it wakes are
    // woken when it releases the lock.
    DispatcherState* fDispatcherPass CL_GUARDED_BY(fLock);
    // Starts so far: the dispatcher's first pass after each takes its stamps afresh.
    uint32 fStarts CL_GUARDED_BY(fLock);

    // Held by the listener around each accept and by the dispatcher around each
    // discovery turn, so that Start and Stop never reconfigure a socket in use.
    CL_Mutex fListenerLock CL_ACQUIRED_AFTER(fLock);
    const std::unique_ptr<CL_Socket> fListener CL_PT_GUARDED_BY(fListenerLock);
    CL_Mutex fResponderLock CL_ACQUIRED_AFTER(fLock);
    const std::unique_ptr<CL_Socket> fResponder CL_PT_GUARDED_BY(fResponderLock);
    // A copy of fAddress for GetInfo, which may not take the server lock.
    CL_Mutex fAddressLock CL_ACQUIRED_AFTER(fLock);
    CL_NetAddress fPublishedAddress CL_GUARDED_BY(fAddressLock);

    // The bytes that the inflations under way may make at most; whether a request
    // waits for them to end.
    std::atomic<uint64> fInflating;
    std::atomic<bool> fInflateHeld;

    // The dispatcher waits on this event descriptor with the clients' sockets (owned,
    // constant); fWakePending saves writes while one wake-up is still unread.
    const int fWakeFD;
    std::atomic<bool> fWakePending;
    // Set at construction, waited for at destruction.
    CL_ThreadID fListenerThreadID;
    CL_ThreadID fDispatcherThreadID;

    // ---- Set-up, start and stop (tcp_server.cpp) ----------------------------------
    void InitLocked();
    CL_NetAddress FindOwnAddress(uint32* count) CL_REQUIRES(fLock);
    void SetAddress(const CL_NetAddress& address) CL_REQUIRES(fLock);
    CL_Status OpenSockets(uint16 listenerPort, uint16 responderPort) CL_REQUIRES(fLock);
    void WaitForDeadClients() CL_REQUIRES(fLock);

    // ---- Listener and dispatcher (tcp_server_dispatcher.cpp) ----------------------
    // First pass of the listener or dispatcher that found the server running: its
    // start line in the log and the thread-setup callback.
    void ThreadStarted(const std::string& line);
    // The thread-cleanup callback, at the end of a thread that ran the setup one.
    void ThreadEnding();
    void ListenerLoop();
    CL_Socket* AcceptConnection() CL_EXCLUDES(fLock);
    void AdmitConnection(CL_Socket* accepted) CL_EXCLUDES(fLock);
    void DispatcherLoop();
    void DispatcherPass(DispatcherState* state) CL_EXCLUDES(fLock);
    uint32 ServeClients(DispatcherState* state) CL_REQUIRES(fLock);
    void WatchClients(DispatcherState* state) CL_REQUIRES(fLock);
    uint32 WaitStep(const DispatcherState* state, uint32 now) CL_REQUIRES(fLock);
    void DrainWakeUps();
    bool MayRead(Client* client, Client* oldest, uint64 pending);
    // Whether the peer sent bytes that the server has not read yet.
    bool HasUnreadInput(Client* client) CL_REQUIRES(fLock);
    Client* OldestGatherer() CL_REQUIRES(fLock);
    void Transfer(ReadyClient* ready, Client* oldest, uint32 reads, uint64* read, uint32 now)
        CL_EXCLUDES(fLock);
    void AttendClient(const ReadyClient& ready, uint32 now) CL_REQUIRES(fLock);

    // ---- The dispatcher's periodic work (tcp_server_upkeep.cpp) --------------------
    void PeriodicWork(uint32 now, DispatcherState* state) CL_REQUIRES(fLock);
    void SweepClosedClients() CL_REQUIRES(fLock);
    void KillStarvedClients(uint32 now) CL_REQUIRES(fLock);
    void KillOverdueClients(uint32 now) CL_REQUIRES(fLock);
    void DropStuckOutputs(uint32 now, DispatcherState* state) CL_REQUIRES(fLock);
    // Marks the outputs to cut off so that the replies of the clients not cut off
    // (`live` bytes) get back within the budget and the cap: the idle, the largest
    // first; once they have been past the cap for a while (`capOverdue`), those that
    // could not read what they hold within `timeOut` at their pace, the slowest to
    // finish first; and those cut while the rest was past the cap. Apart for the tests.
    static void ChooseCuts(std::vector<PendingOutput>* outputs, uint64 live, uint64 budget,
                           uint64 cap, bool capOverdue, uint32 timeOut);
    CL_Status Overdue(Client* client, uint32 now) CL_REQUIRES(fLock);
    void AdjustLoad() CL_REQUIRES(fLock);
    void QueuePings(uint32 now) CL_REQUIRES(fLock);
    CL_Status QueueClientPings(Client* client, CL_Array<double>* reported)
        CL_REQUIRES(fLock, ContextLock(client));
    CL_Status QueuePing(Client* client, uint32 sequence, double completeness,
                        const std::string* message) CL_REQUIRES(ClientLock(client));
    CL_Status QueueWaitingPings(Client* client, uint32 now) CL_REQUIRES(ClientLock(client));

    // ---- A client's chunks (tcp_server_chunks.cpp): the dispatcher holds the server
    // lock throughout. False when the client was killed. --------------------------------
    bool TakeChunks(Client* client, uint32 now) CL_REQUIRES(fLock);
    bool TakeChunk(Client* client, const CL_PacketHeader& header, const uint8* payload, uint32 size,
                   uint32 now) CL_REQUIRES(fLock);
    bool StartIncoming(Client* client, const CL_PacketHeader& header, const uint8* payload,
                       uint32 size, uint32 now) CL_REQUIRES(fLock);
    bool ContinueIncoming(Client* client, const CL_PacketHeader& header, const uint8* payload,
                          uint32 size, uint32 now) CL_REQUIRES(fLock);
    void QueueIncoming(Client* client, Incoming* request, uint32 now) CL_REQUIRES(fLock);
    bool AdmitHandshake(Client* client, Incoming* request, uint32 now) CL_REQUIRES(fLock);
    bool MakeHandshakeRoom(uint32 size, uint32 now) CL_REQUIRES(fLock);
    void CountInput(uint64 bytes) CL_REQUIRES(fLock);
    // The request's bytes leave the count they were in; true when that was the input and
    // it was over its budget, so that reading may go on now.
    bool ReleaseInput(const Incoming& request);
    void DropGather(Client* client, uint32 sequence) CL_REQUIRES(fLock);
    void RejectHeader(Client* client, const CL_PacketHeader& header, CL_Status check, uint32 now)
        CL_REQUIRES(fLock);
    void RejectRequest(Client* client) CL_REQUIRES(fLock);
    void HandleAbort(Client* client, const CL_PacketHeader& abort) CL_REQUIRES(fLock);
    bool CancelRunningRequest(Client* client, uint32 sequence) CL_REQUIRES(fLock);
    bool CancelAllRequests(Client* client) CL_REQUIRES(fLock);
    bool DropWaitingRequests(Client* client, const CL_PacketHeader& abortAll) CL_REQUIRES(fLock);
    void RetryCancels(Client* client) CL_REQUIRES(fLock);
    void KillWithLog(Client* client, CL_Status code) CL_REQUIRES(fLock);

    // ---- A client's output (tcp_server_output.cpp) ----------------------------------
    // Sends a packet, or queues what the socket does not take at once; the status of
    // the write, and whether the dispatcher must be told of bytes that now wait.
    CL_Status Post(Client* client, std::span<const CL_Blob> parts, bool* queued)
        CL_REQUIRES(ClientLock(client));
    CL_Status Post(Client* client, const CL_Blob& wire, bool* queued)
        CL_REQUIRES(ClientLock(client)) {
        return Post(client, std::span<const CL_Blob>(&wire, 1), queued);
    }
    // The packet's wire bytes in parts of whole chunks, a few MiB each, so that a large
    // reply leaves the counts, and memory, part by part as it goes out.
    static std::vector<CL_Blob> WireParts(const CL_PacketHeader& header, const CL_Blob& payload);
    // Writes what waits, as far as the socket takes it.
    CL_Status WriteQueued(Client* client, uint32 now) CL_REQUIRES(ClientLock(client));
    // Looks whether the socket took bytes, and writes what waits (Output::Probe).
    CL_Status ProbeOutput(Client* client, uint32 now) CL_REQUIRES(ClientLock(client));
    // The client's own unread replies keep it from being served, and read.
    bool Backlogged(Client* client) const;
    // The replies all clients have not read keep the requests of a client that has
    // unread replies of its own from being started past the budget, and everyone's past
    // the cap.
    uint64 GetOutputBudget() const;
    uint64 GetOutputCap() const;
    bool OutputHeld(Client* client) const;

    // ---- Inflating compressed payloads (tcp_server_inflate.cpp) ---------------------
    // Bytes that the inflations under way may make in all: the request limit's worth.
    uint64 GetInflateBudget() const;
    // What the request's payload may inflate to, when that is more than kFreeInflation;
    // otherwise 0: it is inflated whatever the others do.
    uint64 InflateReach(const Incoming& request) const;
    // Whether an inflation of that reach may start now: it fits what the others left
    // of the budget, or none is under way. Reserve also counts it in.
    bool InflationFits(uint64 reach);
    bool ReserveInflation(uint64 reach);
    // The inflation's reach (the exchange's, then 0) leaves the count.
    void EndInflation(Exchange& x);

    // ---- Discovery responder (tcp_server_discovery.cpp) ------------------------------
    void DiscoveryTurn() CL_EXCLUDES(fLock, fResponderLock);
    void ReadDatagrams(CL_Array<CL_Blob>* relays) CL_REQUIRES(fResponderLock);
    void AnswerDiscover(CLU_Table& answered) CL_REQUIRES(fResponderLock);
    void RelayMessage(const uint8* datagram, uint32 size) CL_EXCLUDES(fLock);
    uint32 ChooseRelayTargets(const uint8* ids, uint32 targets,
                              CL_Array<CL_NetAddress>* destinations) CL_EXCLUDES(fLock);

    // ---- The worker pool (tcp_server_worker.cpp) -------------------------------------
    Worker* SpawnWorker(bool wait) CL_REQUIRES(fLock);
    static int32 WorkerThread(void* param);
    void StartWorkers() CL_REQUIRES(fLock);
    CL_Array<CL_ThreadID> StopWorkers() CL_REQUIRES(fLock);
    void JoinWorkers(const CL_Array<CL_ThreadID>& threads) CL_EXCLUDES(fLock);
    void WorkerLoop(Worker* worker) CL_EXCLUDES(fLock);
    bool WorkUntilQuit(Worker* worker) CL_EXCLUDES(fLock);
    void IdleUntilWoken(Worker* worker) CL_REQUIRES(fLock);
    bool HasWork(Worker* worker) CL_REQUIRES(fLock);
    bool CanReap(Worker* worker, Client* dead) CL_REQUIRES(fLock);
    ClientList::iterator FindWaitingClient(Worker* worker) CL_REQUIRES(fLock);
    // The waiting list holds a client once at most: its newest request moves it to the
    // end, where workers look first.
    void ListWaiting(Client* client) CL_REQUIRES(fLock);
    void UnlistWaiting(Client* client) CL_REQUIRES(fLock);
    // Wakes idle workers for the work there is, each as it would choose it itself:
    // the last dead client, then the waiting clients.
    void HandOutWork() CL_REQUIRES(fLock);
    void WakeIdleWorker(Worker* worker, Client* assigned) CL_REQUIRES(fLock);
    void WakeIdleWorkers() CL_REQUIRES(fLock);
    void ReapDeadClient(Worker* worker) CL_REQUIRES(fLock);
    void DeleteClient(Client* client) CL_EXCLUDES(fLock);
    void ServeWaitingClient(Worker* worker) CL_REQUIRES(fLock);
    // Takes the client off the waiting list for a worker: no other worker takes it
    // until FinishServing.
    Client* TakeWaitingClient(ClientList::iterator it) CL_REQUIRES(fLock);
    ServeResult ServeTakenClient(Worker* worker, Client* client, CL_Status* error)
        CL_EXCLUDES(fLock);
    ServeResult ServeClient(Worker* worker, Client* client, CL_Status* error) CL_EXCLUDES(fLock);
    void FinishServing(Worker* worker, Client* client, ServeResult result, CL_Status error)
        CL_REQUIRES(fLock);
    bool ShouldRetire(Worker* worker) CL_REQUIRES(fLock);
    void Retire(Worker* worker) CL_REQUIRES(fLock);

    // ---- Serving one request (tcp_server_requests.cpp), without the server lock ----
    ServeResult ServeRequest(Worker* worker, Client* client, CL_Status* error) CL_EXCLUDES(fLock);
    bool TakeRequest(Exchange& x) CL_EXCLUDES(fLock);
    void AnswerRequest(Exchange& x) CL_EXCLUDES(fLock);
    bool Execute(Exchange& x) CL_EXCLUDES(fLock);
    bool Fail(Exchange& x) CL_EXCLUDES(fLock);
    CL_PacketType RunCommand(Exchange& x) CL_EXCLUDES(fLock);
    void ApplyPinRequest(Worker* worker, Client* client) CL_EXCLUDES(fLock);
    CL_Status SendReply(Exchange& x) CL_EXCLUDES(fLock);
    CL_Status PostReply(Exchange& x, const std::vector<CL_Blob>& wire, bool* queued)
        CL_EXCLUDES(fLock);
    // The one way each reply is built: the header made for it, then its wire bytes.
    static std::vector<CL_Blob> ReplyWire(const CL_PacketHeader& reply, uint32 sequence,
                                          const CL_Blob& payload);
    static CL_Blob AbortReply(const CL_PacketHeader& answered);
    void LogWriteError(Worker* worker, Client* client, CL_Status code);

    // ---- Answering AUTH (tcp_server_auth.cpp) ----------------------------------------
    bool Authorize(Exchange& x) CL_EXCLUDES(fLock);
    void BuildConnectionTable(Exchange& x, const CLU_Table& payload, CLU_Table* table)
        CL_EXCLUDES(fLock);
    CL_Status AdmitClient(Exchange& x, CLU_Table& table);
    void GrantAccess(Exchange& x, const CLU_Table& payload, CLU_Table& table) CL_EXCLUDES(fLock);

    // ---- Client records (tcp_server_clients.cpp) -------------------------------------
    Client* FindClient(uint32 clientID) CL_REQUIRES(fLock);
    void KillClient(Client* client) CL_REQUIRES(fLock);
    // The caller has taken the client off fClientList.
    void DoKillClient(Client* client) CL_REQUIRES(fLock);
    // Frees what a killed client still had gathered or queued.
    void DropInput(Client* client) CL_REQUIRES(fLock);
    // Where requests or replies were freed: their memory goes back when they held
    // kTrimAfter or more (`input` and `replies`, those freed with a record), or when the
    // input has fallen to nothing after holding that much; at once, or when the trim's
    // turn comes (TrimWhenDue).
    void GiveBack(uint64 input, uint64 replies = 0) CL_EXCLUDES(fLock);
    // Makes the trim that waits, once its turn has come (`now`: turn come or not).
    void TrimWhenDue(bool now = false) CL_EXCLUDES(fLock);
};
