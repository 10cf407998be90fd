// The RPC server over TCP: a listener thread accepts connections, a dispatcher thread
// reads every client's packets and answers discovery datagrams, and a pool of worker
// threads runs the requests through the application's callbacks and writes replies.
#pragma once

#include <atomic>
#include <string>

#include "lumo/blob.h"
#include "lumo/containers.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/thread.h"
#include "lumo/base_types.h"

class CLU_Table;
class CLU_UUID;

// One received chunk, or one packet queued for writing: its header and its bytes.
class CL_Packet : public CL_Object {
public:
    CL_Packet(uint16 type, uint16 flags, uint32 sequence);
    explicit CL_Packet(const CL_PacketHeader& header);

    CL_PacketHeader fHeader;
    CL_Blob fData;
};

// The size of the info block of a discovery reply, and the whole reply datagram.
constexpr uint32 CL_DISCOVERY_INFO_SIZE = 1024;
#pragma pack(push, 1)
struct CL_DiscoveryPacket {
    uint32 fMagic;
    uint32 fVersion;
    uint64 fID;
    uint16 fSize;
    uint32 fCheckSum;
    uint8 fInfo[CL_DISCOVERY_INFO_SIZE];
};
#pragma pack(pop)
static_assert(sizeof(CL_DiscoveryPacket) == 1046, "discovery reply size");

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
// the rest to the dispatcher, so no worker ever waits on one client's socket. The
// server lock (not recursive) guards the client lists, busy counts, bindings and
// counters; each client's context lock comes after it, and each client's own lock
// (its socket, request queue and output) after both. Setup must not race other
// calls; every other public operation may be called from any thread.
class CL_TCPServer : public CL_Server {
public:
    CL_TCPServer();
    explicit CL_TCPServer(CLU_Table& settings);
    ~CL_TCPServer() override;

    // Stops the server and reads "ip", "listener_port", "timeout" (ms; 0 is the default:
    // also how long part of a chunk, a request's next chunk or unread replies may
    // wait), "flags", "log_level" and "max_request_size" (bytes; 0 is the default).
    void Setup(CLU_Table& settings) override;
    void GetUUID(CLU_UUID& uuid) override;
    void GetInfo(CLU_Table& info) override;
    CL_Status Start() override;
    void Stop() override;
    void Lock() override CL_ACQUIRE(fLock);
    void Unlock() override CL_RELEASE(fLock);
    void GetClientsList(CL_LinkedList<uint32>* ids) override;
    CL_Status GetClientInfo(uint32 clientID, CLU_Table& info) override;
    CL_Status CloseClient(uint32 clientID) override;

    static int32 PowerCallback(int32 event, CL_TCPServer* server);

    uint64 GetID() const { return fID; }
    CL_NetAddress GetAddress();
    uint16 GetListenerPort() const { return uint16(fID & 0xFFFF); }
    uint16 GetResponderPort() const { return fResponderPort; }
    uint32 GetTimeOut() const { return fTimeOut; }
    uint32 GetMaxRequestSize() const { return fMaxRequestSize; }
    bool IsRunning() const { return fRun; }
    uint32 GetWorkerCount();
    // Request bytes read from clients and not yet taken by a worker, gathered or queued;
    // reading stops while they pass GetInputBudget.
    uint64 GetQueuedInput() const { return fInputBytes; }
    uint64 GetInputBudget() const;
    // Reply bytes waiting for clients to read them.
    uint64 GetQueuedOutput() const { return fOutputBytes; }

private:
    // The records, and the state of the loops that use them, are private to the
    // server's sources (tcp_server_records.h).
    class Request;
    class Client;
    class Worker;
    struct Incoming;
    struct Output;
    struct DispatcherState;
    struct ReadyClient;
    struct Exchange;
    enum ServeResult : int;

    // A client's context lock and its own lock, as the lock annotations name them.
    static CL_RecursiveMutex* ContextLock(Client* client);
    static CL_Mutex* ClientLock(Client* client);

    typedef CL_LinkedList<Worker*> WorkerList;
    typedef CL_LinkedList<Client*> ClientList;

    // Set-up, start and stop (tcp_server.cpp).
    void InitObject();
    CL_NetAddress FindOwnAddress(uint32* count) CL_REQUIRES(fLock);
    void SetAddress(const CL_NetAddress& address) CL_REQUIRES(fLock);
    CL_Status OpenSockets(uint16 listenerPort, uint16 responderPort) CL_REQUIRES(fLock);
    bool StopServing() CL_EXCLUDES(fLock);
    void WaitForDeadClients() CL_REQUIRES(fLock);
    void DropClientsForSuspend() CL_EXCLUDES(fLock);
    void RefreshAddressAfterResume() CL_EXCLUDES(fLock);
    // Makes the dispatcher's wait end, so that it looks at the clients again.
    void WakeDispatcher();

    // Listener and dispatcher (tcp_server_dispatcher.cpp).
    static int32 ListenerThread(void* param);
    static int32 DispatcherThread(void* param);
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
    Client* OldestGatherer() CL_REQUIRES(fLock);
    void Transfer(ReadyClient* ready, Client* oldest, uint64* read, uint32 now) CL_EXCLUDES(fLock);
    void AttendClient(const ReadyClient& ready, uint32 now) CL_REQUIRES(fLock);

    // The dispatcher's periodic work (tcp_server_upkeep.cpp).
    void PeriodicWork(uint32 now, DispatcherState* state) CL_REQUIRES(fLock);
    void SweepClosedClients() CL_REQUIRES(fLock);
    void KillStarvedClients(uint32 now) CL_REQUIRES(fLock);
    void KillOverdueClients(uint32 now) CL_REQUIRES(fLock);
    CL_Status Overdue(Client* client, uint32 now) CL_REQUIRES(fLock);
    void AdjustLoad() CL_REQUIRES(fLock);
    void QueuePings() CL_REQUIRES(fLock);
    CL_Status QueueClientPings(Client* client, CL_Array<double>* reported)
        CL_REQUIRES(fLock, ContextLock(client));
    CL_Status QueuePing(Client* client, Request* request, double* completeness)
        CL_REQUIRES(ContextLock(client), ClientLock(client));

    // Taking a client's chunks apart (tcp_server_chunks.cpp): the dispatcher holds
    // the server lock throughout. False when the client was killed.
    bool TakeChunks(Client* client, uint32 now) CL_REQUIRES(fLock);
    bool TakeChunk(Client* client, const CL_PacketHeader& header, const uint8* payload, uint32 size,
                   uint32 now) CL_REQUIRES(fLock);
    bool StartIncoming(Client* client, const CL_PacketHeader& header, const uint8* payload,
                       uint32 size, uint32 now) CL_REQUIRES(fLock);
    bool ContinueIncoming(Client* client, const CL_PacketHeader& header, const uint8* payload,
                          uint32 size, uint32 now) CL_REQUIRES(fLock);
    void QueueIncoming(Client* client, Incoming* request, uint32 now) CL_REQUIRES(fLock);
    void DropGather(Client* client, uint32 sequence) CL_REQUIRES(fLock);
    void RejectHeader(Client* client, const CL_PacketHeader& header, CL_Status check, uint32 now)
        CL_REQUIRES(fLock);
    void RejectRequest(Client* client) CL_REQUIRES(fLock);
    void HandleAbort(Client* client, const CL_PacketHeader& abort) CL_REQUIRES(fLock);
    bool CancelRunningRequest(Client* client, uint32 sequence) CL_REQUIRES(fLock);
    bool CancelAllRequests(Client* client) CL_REQUIRES(fLock);
    void RetryCancels(Client* client) CL_REQUIRES(fLock);
    void KillWithLog(Client* client, CL_Status code) CL_REQUIRES(fLock);

    // A client's output (tcp_server_output.cpp): whole packets, written as far as the
    // socket takes them at once, the rest by the dispatcher when the socket is ready.
    CL_Status SendOrQueue(Client* client, const CL_Blob& wire, bool* queued)
        CL_REQUIRES(ClientLock(client));
    CL_Status WriteQueued(Client* client, uint32 now) CL_REQUIRES(ClientLock(client));
    void DropOutput(Client* client) CL_REQUIRES(ClientLock(client));
    bool Backlogged(Client* client) const;

    // Discovery responder (tcp_server_discovery.cpp).
    void DiscoveryTurn() CL_EXCLUDES(fLock, fResponderLock);
    void ReadDatagrams(CL_Array<CL_Blob>* relays) CL_REQUIRES(fResponderLock);
    void AnswerDiscover(CLU_Table& answered) CL_REQUIRES(fResponderLock);
    void RelayMessage(const uint8* datagram, uint32 size) CL_EXCLUDES(fLock);
    uint32 ChooseRelayTargets(const uint8* ids, uint32 targets,
                              CL_Array<CL_NetAddress>* destinations) CL_EXCLUDES(fLock);

    // The worker pool (tcp_server_worker.cpp).
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
    // Wakes idle workers for the work there is, each as it would choose it itself:
    // the last dead client, then the waiting clients.
    void HandOutWork() CL_REQUIRES(fLock);
    void WakeIdleWorker(Worker* worker, Client* assigned) CL_REQUIRES(fLock);
    void WakeIdleWorkers() CL_REQUIRES(fLock);
    void ReapDeadClient(Worker* worker) CL_REQUIRES(fLock);
    void DeleteClient(Client* client) CL_EXCLUDES(fLock);
    void ServeWaitingClient(Worker* worker) CL_REQUIRES(fLock);
    void TakeForServing(Client* client) CL_REQUIRES(fLock);
    ServeResult ServeTakenClient(Worker* worker, Client* client, CL_Status* error)
        CL_EXCLUDES(fLock);
    ServeResult ServeClient(Worker* worker, Client* client, CL_Status* error) CL_EXCLUDES(fLock);
    void FinishServing(Worker* worker, Client* client, ServeResult result, CL_Status error)
        CL_REQUIRES(fLock);
    bool ShouldRetire(Worker* worker) CL_REQUIRES(fLock);
    void Retire(Worker* worker) CL_REQUIRES(fLock);

    // Serving one request (tcp_server_requests.cpp), without the server lock.
    ServeResult ServeRequest(Worker* worker, Client* client, CL_Status* error) CL_EXCLUDES(fLock);
    bool TakeRequest(Exchange& x) CL_EXCLUDES(fLock);
    void AnswerRequest(Exchange& x) CL_EXCLUDES(fLock);
    bool Execute(Exchange& x) CL_EXCLUDES(fLock);
    bool Fail(Exchange& x) CL_EXCLUDES(fLock);
    CL_PacketType RunCommand(Exchange& x) CL_EXCLUDES(fLock);
    void ApplyPinRequest(Worker* worker, Client* client) CL_EXCLUDES(fLock);
    CL_Status SendReply(Exchange& x) CL_EXCLUDES(fLock);
    CL_Status PostReply(Exchange& x, const CL_Blob& wire, bool* queued) CL_EXCLUDES(fLock);
    void LogWriteError(Worker* worker, Client* client, CL_Status code);

    // Answering AUTH (tcp_server_auth.cpp).
    bool Authorize(Exchange& x) CL_EXCLUDES(fLock);
    void BuildConnectionTable(Exchange& x, const CLU_Table& payload, CLU_Table* table)
        CL_EXCLUDES(fLock);
    CL_Status AdmitClient(Exchange& x, CLU_Table& table);
    void GrantAccess(Exchange& x, const CLU_Table& payload, CLU_Table& table) CL_EXCLUDES(fLock);

    // Client records (tcp_server_clients.cpp).
    Client* FindClient(uint32 clientID) CL_REQUIRES(fLock);
    void KillClient(Client* client) CL_REQUIRES(fLock);
    // The caller has taken the client off fClientList.
    void DoKillClient(Client* client) CL_REQUIRES(fLock);
    // Frees what a killed client still had gathered or queued.
    void DropInput(Client* client) CL_REQUIRES(fLock);

    // Bits 16-63 the machine, bits 0-15 the listener port (set by Start).
    std::atomic<uint64> fID;
    uint32 fNextClientID CL_GUARDED_BY(fLock);
    uint32 fNextWorkerID CL_GUARDED_BY(fLock);
    CL_NetAddress fAddress CL_GUARDED_BY(fLock);
    CL_Socket* fListener CL_PT_GUARDED_BY(fListenerLock);
    CL_Socket* fResponder CL_PT_GUARDED_BY(fResponderLock);
    // Settings: written by Setup while the server is stopped, read by Start and the
    // threads it sets running. Start also sets fResponderPort to the port it found;
    // the getters read the atomic ones at any time.
    std::string fIP;
    uint16 fListenerPort;
    std::atomic<uint16> fResponderPort;
    WorkerList* fWorkerList CL_PT_GUARDED_BY(fLock);
    // Workers waiting for work, in the order they began to wait.
    WorkerList* fIdleWorkers CL_PT_GUARDED_BY(fLock);
    // Clients being served for a request that inflates a large compressed payload:
    // a few at a time, so that such work never takes every processor.
    uint32 fHeavyServed CL_GUARDED_BY(fLock);
    // The dispatcher's state while it holds the lock in a pass: workers it wakes are
    // woken when it releases the lock.
    DispatcherState* fDispatcherPass CL_GUARDED_BY(fLock);
    // Server threads inside a unit of work, for the load average.
    CL_AtomicVar fBusyCount;
    ClientList* fClientList CL_PT_GUARDED_BY(fLock);
    ClientList* fWaitingList CL_PT_GUARDED_BY(fLock);
    ClientList* fDeadList CL_PT_GUARDED_BY(fLock);
    CL_Mutex fLock;
    // Settings, as fIP above.
    std::atomic<uint32> fTimeOut;
    std::atomic<uint32> fMaxRequestSize;
    // Set at construction, waited for at destruction.
    CL_ThreadID fServerThreadID;
    CL_ThreadID fDispatcherThreadID;
    double fLoad CL_GUARDED_BY(fLock);
    std::atomic<bool> fRun;
    std::atomic<bool> fQuit;
    // Held by the listener around each accept and by the dispatcher around each
    // discovery turn, so that Start and Stop never reconfigure a socket in use.
    CL_Mutex fListenerLock CL_ACQUIRED_AFTER(fLock);
    CL_Mutex fResponderLock CL_ACQUIRED_AFTER(fLock);
    // Workers that retired and may still be finishing; Stop waits for them.
    CL_AtomicVar fRetiring;
    // A copy of fAddress for GetInfo, which may not take the server lock.
    CL_Mutex fAddressLock CL_ACQUIRED_AFTER(fLock);
    CL_NetAddress fPublishedAddress CL_GUARDED_BY(fAddressLock);
    // The dispatcher waits on this event descriptor with the clients' sockets;
    // fWakePending saves writes while one wake-up is still unread.
    int fWakeFD;
    std::atomic<bool> fWakePending;
    // Request bytes read and not yet taken by a worker, and reply bytes not yet
    // written, over all clients.
    std::atomic<uint64> fInputBytes;
    std::atomic<uint64> fOutputBytes;
};
