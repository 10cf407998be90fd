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

// The TCP implementation of CL_Server. The listener and dispatcher threads live from
// construction to destruction and idle while the server is stopped. The server lock
// (not recursive) guards the client lists, busy counts, bindings and counters; each
// client's context lock guards its packet queues and request records. Setup must not
// race other calls; every other public operation may be called from any thread.
class CL_TCPServer : public CL_Server {
public:
    CL_TCPServer();
    explicit CL_TCPServer(CLU_Table& settings);
    ~CL_TCPServer() override;

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

    uint64 GetID() const { return fID; }
    CL_NetAddress GetAddress();
    uint16 GetListenerPort() const { return uint16(fID & 0xFFFF); }
    uint16 GetResponderPort() const { return fResponderPort; }
    uint32 GetTimeOut() const { return fTimeOut; }
    bool IsRunning() const { return fRun; }
    uint32 GetWorkerCount();

private:
    class Worker;

    // A request a worker has taken, from the gathering of its chunks to its reply.
    class Request : public CL_Object {
    public:
        Request(uint32 id, Worker* worker) : fID(id), fWorker(worker) {}
        uint32 fID;
        std::string fProgressMessage;
        Worker* fWorker;
    };

    // The server's record of one connection.
    class Client : public CL_Object {
    public:
        Client(CL_TCPServer* server, CL_Socket* socket);
        ~Client();
        Client(const Client&) = delete;
        Client& operator=(const Client&) = delete;

        uint32 fID;
        CL_Socket* fSocket;
        CL_ClientContext* fContext;
        Worker* fPinnedWorker;
        CL_HashMap<int32, Request*> fExecutingRequests;
        CL_LinkedList<CL_Packet*>* fQueuedReadPackets;
        CL_LinkedList<CL_Packet*>* fQueuedWritePackets;
        CL_AtomicVar fBusyCount;
        uint32 fLastReadTime;
        uint32 fWaitStartTime;
        uint16 fChatPort;
        uint32 fProtocolVersion;
        // Bookkeeping of this implementation: the peer's address, taken once at
        // accept; whether an AUTH was granted; whether part of a chunk is pending,
        // and the part read so far; the bytes of queued chunks; and the worker
        // serving the client now.
        CL_NetAddress fPeer;
        bool fAuthorized;
        bool fPartial;
        CL_Blob fStaged;
        std::atomic<bool> fDead;
        std::atomic<uint64> fQueuedReadBytes;
        Worker* fServingWorker;

        // What a queued chunk counts against the client's allowance: its bytes and
        // its record, so that empty chunks count too.
        static uint64 QueuedCost(const CL_Packet* packet) {
            return uint64(packet->fData.GetSize()) + sizeof(CL_Packet);
        }
    };

    class Worker : public CL_Object {
    public:
        Worker(uint32 id, CL_TCPServer* server)
            : fID(id),
              fThreadID(0),
              fServer(server),
              fQuit(false),
              fReady(false),
              fPinnedClient(nullptr) {}
        uint32 fID;
        CL_ThreadID fThreadID;
        CL_TCPServer* fServer;
        std::atomic<bool> fQuit;
        std::atomic<bool> fReady;
        CL_Condition fDataCondition;
        Client* fPinnedClient;
    };

    typedef CL_LinkedList<Worker*> WorkerList;
    typedef CL_LinkedList<Client*> ClientList;

    // What serving one request ended with.
    enum ServeResult { kServeNone, kServeDone, kServeWriteError, kServeDrop };

    void InitObject();
    CL_NetAddress FindOwnAddress(uint32* count);

    // Listener and dispatcher (tcp_server_dispatcher.cpp).
    static int32 ListenerThread(void* param);
    static int32 DispatcherThread(void* param);
    void ListenerLoop();
    void DispatcherLoop();
    // First pass of the listener or dispatcher that found the server running: its
    // start line in the log and the thread-setup callback.
    void ThreadStarted(const std::string& line);
    void ClientPass(CL_Set<CL_Socket*>& readSet, CL_Set<CL_Socket*>& writeSet, uint32 now,
                    uint32* waitStep);
    bool ReadChunk(Client* client, uint32 now, uint32* waitStep);
    bool ContinuesRequest(Client* client, uint32 sequence);
    void HandleAbort(Client* client, CL_Packet* packet);
    void PeriodicWork(uint32 now, uint32* lastSweep, uint32* lastLoad, uint32* lastPing);
    void AdjustLoad();
    void QueuePings();
    void KillWithLog(Client* client, CL_Status code);
    void WakeClientWorkers(Client* client);

    // Discovery responder (tcp_server_discovery.cpp).
    void DiscoveryTurn();
    void AnswerDiscover(CLU_Table& answered);
    void RelayMessage(const uint8* datagram, uint32 size);

    // Workers (tcp_server_worker.cpp).
    Worker* SpawnWorker(bool wait);
    static int32 WorkerThread(void* param);
    void WorkerLoop(Worker* worker);
    bool HasWork(Worker* worker);
    ClientList::iterator FindWaitingClient(Worker* worker);
    void ReapDeadClient(Worker* worker);
    ServeResult ServeRequest(Worker* worker, Client* client, CL_Status* error);
    bool Authorize(Worker* worker, Client* client, const CL_PacketHeader& header, CL_Blob& input,
                   CL_PacketHeader* reply, CL_Blob* output);
    bool Execute(Worker* worker, Client* client, const CL_PacketHeader& header, CL_Blob& input,
                 CL_PacketHeader* reply, CL_Blob* output, bool* counted, bool* aborted);
    void ApplyPinRequest(Worker* worker, Client* client);
    void LogWriteError(Worker* worker, Client* client, CL_Status code);

    // Client records (tcp_server_clients.cpp); the caller holds the server lock.
    Client* FindClient(uint32 clientID);
    void KillClient(Client* client);
    void DoKillClient(Client* client);

    uint64 fID;
    uint32 fNextClientID;
    uint32 fNextWorkerID;
    CL_NetAddress fAddress;
    CL_Socket* fListener;
    CL_Socket* fResponder;
    std::string fIP;
    uint16 fListenerPort;
    uint16 fResponderPort;
    WorkerList* fWorkerList;
    CL_AtomicVar fBusyCount;
    ClientList* fClientList;
    ClientList* fWaitingList;
    ClientList* fDeadList;
    CL_Condition* fReadyCond;
    CL_Mutex* fLock;
    uint32 fTimeOut;
    CL_ThreadID fServerThreadID;
    CL_ThreadID fDispatcherThreadID;
    double fLoad;
    std::atomic<bool> fRun;
    std::atomic<bool> fQuit;
    // Held by the listener around each accept and by the dispatcher around each
    // discovery turn, so that Start and Stop never reconfigure a socket in use.
    CL_Mutex fListenerLock;
    CL_Mutex fResponderLock;
    // Workers that retired and may still be finishing; Stop waits for them.
    CL_AtomicVar fRetiring;
};
