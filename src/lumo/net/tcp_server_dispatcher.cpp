// The listener thread, which turns accepted connections into client records, and the
// dispatcher thread, which reads every client's chunks into its queue, hands new
// requests to the workers, handles cancellations, writes PINGs and ABORT replies,
// cuts off dead or stalled clients and sizes the worker pool to the load.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "lumo/clock.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "lumo/translator.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kHeaderSize = sizeof(CL_PacketHeader);
constexpr uint32 kSweepInterval = 60000;
constexpr uint32 kWaitingLimit = 120000;
constexpr uint32 kLoadInterval = 100;
constexpr uint32 kPingInterval = 100;
constexpr uint32 kDiscoveryInterval = 200;
constexpr double kMaxLoad = 24.0;
// Chunks a client may have queued before the dispatcher stops reading from it and
// lets TCP hold the sender back.
constexpr uint64 kMaxQueuedBytes = 64u << 20;

// Whether the peer has closed or reset the connection. It only peeks, so it leaves
// the socket's state alone while a worker may be writing on it.
bool PeerGone(CL_Socket* socket) {
    int fd = socket->GetDescriptor();
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

}  // namespace

int32 CL_TCPServer::ListenerThread(void* param) {
    static_cast<CL_TCPServer*>(param)->ListenerLoop();
    return 0;
}

int32 CL_TCPServer::DispatcherThread(void* param) {
    static_cast<CL_TCPServer*>(param)->DispatcherLoop();
    return 0;
}

// The listener and the dispatcher start with the server object, before its owner
// can hand over the callbacks and the log level; each announces itself and runs the
// thread-setup callback when it first finds the server running, so that neither
// depends on how soon the thread was scheduled.
void CL_TCPServer::ThreadStarted(const std::string& line) {
    Log(CL_LOG_LEVEL_DEBUG, line);
    if (GetCallbacks().fThreadSetup) GetCallbacks().fThreadSetup(GetCallbackUserData());
}

void CL_TCPServer::ListenerLoop() {
    bool setupCalled = false;
    while (!fQuit) {
        if (!fRun) {
            CL_Thread::Sleep(50);
            continue;
        }
        if (!setupCalled) {
            setupCalled = true;
            ThreadStarted(T("[Server] Inizializzato"));
        }
        CL_Socket* accepted = nullptr;
        CL_Status status;
        {
            CL_AutoLocker listenerLock(fListenerLock);
            if (!fRun) continue;
            status = fListener->Accept(&accepted, 250);
            if (status != CL_OK && status != CL_TIMEOUT) fListener->Close();
        }
        if (status != CL_OK) {
            // A listener that cannot be reopened must not spin.
            if (status != CL_TIMEOUT) CL_Thread::Sleep(10);
            continue;
        }
        // Replies go out as whole packets; Nagle would hold a reply's last segment
        // until the client acknowledges the previous ones.
        int noDelay = 1;
        setsockopt(accepted->GetDescriptor(), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
        fLock->Lock();
        if (fRun) {
            Client* client = new Client(this, accepted);
            Log(CL_LOG_LEVEL_INFO,
                T("[Server] Nuova connessione da %s; assegnata al client con ID %d"),
                client->fPeer.GetIP().c_str(), int(client->fID));
            fClientList->Append(client);
        } else {
            delete accepted;
        }
        fLock->Unlock();
    }
    if (setupCalled && GetCallbacks().fThreadCleanup)
        GetCallbacks().fThreadCleanup(GetCallbackUserData());
    Log(CL_LOG_LEVEL_DEBUG, T("[Server] Terminato"));
}

void CL_TCPServer::DispatcherLoop() {
    bool setupCalled = false;
    uint32 waitStep = 100;
    uint32 start = CL_GetTime();
    uint32 lastPing = start, lastLoad = start, lastDiscovery = start, lastSweep = start;
    while (!fQuit) {
        if (!fRun) {
            CL_Thread::Sleep(50);
            continue;
        }
        if (!setupCalled) {
            setupCalled = true;
            ThreadStarted(T("[Dispatcher] Inizializzato"));
        }
        fLock->Lock();
        if (!fRun) {
            fLock->Unlock();
            continue;
        }
        fBusyCount++;

        CL_Set<CL_Socket*> readSet, writeSet;
        bool anyPartial = false;
        for (Client* client : *fClientList) {
            if (client->fPartial) anyPartial = true;
            // A partial chunk's bytes are read as they come: its socket is watched too.
            if (client->fQueuedReadBytes < kMaxQueuedBytes) readSet.Add(client->fSocket);
            if (client->fQueuedWritePackets->Count() > 0) writeSet.Add(client->fSocket);
        }
        CL_Status waited;
        uint32 ready = 0;
        if (readSet.Count() == 0 && writeSet.Count() == 0) {
            fLock->Unlock();
            CL_Thread::Sleep(waitStep);
            fLock->Lock();
            waited = CL_TIMEOUT;
        } else {
            waited = CL_Socket::Select(&readSet, &writeSet, nullptr, &ready, waitStep, fLock);
        }
        uint32 now = CL_GetTime();
        anyPartial = false;
        for (Client* client : *fClientList)
            if (client->fPartial) anyPartial = true;
        waitStep = anyPartial ? 10 : 100;
        if (anyPartial || (waited == CL_OK && ready > 0))
            ClientPass(readSet, writeSet, now, &waitStep);

        PeriodicWork(now, &lastSweep, &lastLoad, &lastPing);
        fLock->Unlock();

        if (uint32(now - lastDiscovery) >= kDiscoveryInterval) {
            lastDiscovery = now;
            DiscoveryTurn();
        }
        fBusyCount--;
    }
    if (setupCalled && GetCallbacks().fThreadCleanup)
        GetCallbacks().fThreadCleanup(GetCallbackUserData());
    Log(CL_LOG_LEVEL_DEBUG, T("[Dispatcher] Terminato"));
}

void CL_TCPServer::WakeClientWorkers(Client* client) {
    for (Request* request : client->fExecutingRequests)
        if (request->fWorker) request->fWorker->fDataCondition.Signal();
    if (client->fServingWorker) client->fServingWorker->fDataCondition.Signal();
}

void CL_TCPServer::KillWithLog(Client* client, CL_Status code) {
    switch (code) {
        case CL_NOT_CONNECTED:
            Log(CL_LOG_LEVEL_WARNING, T("[Dispatcher] [%d] Il client non è più connesso"),
                int(client->fID));
            break;
        case CL_CONNECTION_LOST:
            Log(CL_LOG_LEVEL_INFO, T("[Dispatcher] [%d] Il client ha chiuso la connessione"),
                int(client->fID));
            break;
        case CL_TIMEOUT:
            Log(CL_LOG_LEVEL_INFO,
                T("[Dispatcher] [%d] Client disconnesso a causa di tempo scaduto sulla "
                  "connessione"),
                int(client->fID));
            break;
        default:
            Log(CL_LOG_LEVEL_ERROR,
                T("[Dispatcher] [%d] Il client ha riportato l'errore %d su operazione di I/O, "
                  "connessione terminata"),
                int(client->fID), int(code));
            break;
    }
    WakeClientWorkers(client);
    KillClient(client);
}

void CL_TCPServer::ClientPass(CL_Set<CL_Socket*>& readSet, CL_Set<CL_Socket*>& writeSet, uint32 now,
                              uint32* waitStep) {
    for (ClientList::iterator it = fClientList->begin(); it != fClientList->end(); ++it) {
        Client* client = *it;
        CL_Socket* socket = client->fSocket;
        CL_ClientContext* context = client->fContext;
        if (context->GetLock()->TryLock() != CL_OK) {
            if (PeerGone(socket)) KillClient(client);
            continue;
        }
        bool killed = false;
        bool read = false;
        if (writeSet.Exists(socket) && client->fQueuedWritePackets->Count() > 0) {
            CL_Packet* packet = client->fQueuedWritePackets->Pop(true);
            CL_Blob wire;
            wire.Append(&packet->fHeader, kHeaderSize);
            wire.Append(packet->fData);
            wire.Seek(0, CL_SEEK_SET);
            delete packet;
            socket->Write(wire, wire.GetSize(), fTimeOut);
            CL_Status status = socket->GetIOError(false);
            if (status != CL_OK) {
                KillWithLog(client, status);
                killed = true;
            }
        } else if (readSet.Exists(socket) || client->fPartial) {
            read = true;
            killed = ReadChunk(client, now, waitStep);
            if (!killed) {
                if (client->fPartial && uint32(now - client->fLastReadTime) > fTimeOut) {
                    KillWithLog(client, CL_TIMEOUT);
                    killed = true;
                } else if (!socket->IsConnected()) {
                    KillWithLog(client, CL_CONNECTION_LOST);
                    killed = true;
                }
            }
        }
        if (!killed &&
            (client->fQueuedReadPackets->Count() > 0 || client->fQueuedWritePackets->Count() > 0))
            *waitStep = 1;
        context->Unlock();
        if (!killed && !read && PeerGone(socket)) KillClient(client);
    }
}

// Moves what the socket holds of the client's current chunk into its staging buffer
// without waiting, and queues the chunk once it is whole: at most one chunk per call.
// The bytes are taken as they come because TCP stops sending when the receiver reads
// nothing, so a chunk left in the kernel until it is whole may never become whole.
// True when the client was killed.
bool CL_TCPServer::ReadChunk(Client* client, uint32 now, uint32* waitStep) {
    CL_Socket* socket = client->fSocket;
    CL_Blob& staged = client->fStaged;
    uint32 have = staged.GetSize();
    uint32 want = kHeaderSize;
    CL_PacketHeader header;
    if (have >= kHeaderSize) {
        memcpy(&header, staged.GetDataForRead(), kHeaderSize);
        want = kHeaderSize + CL_ChunkPayloadSize(header);
    }
    for (int step = 0; step < 2 && have < want; step++) {
        staged.SetSize(want);
        uint8* at = staged.GetDataForWrite();
        uint32 got = at ? socket->Read(at + have, want - have, 0) : 0;
        CL_Status error = at ? socket->GetIOError(false) : CL_OUT_OF_MEMORY;
        have += got;
        staged.SetSize(have);
        if (error != CL_OK && error != CL_TIMEOUT) {
            KillWithLog(client, error);
            return true;
        }
        if (have < kHeaderSize) break;
        if (want == kHeaderSize) {
            memcpy(&header, staged.GetDataForRead(), kHeaderSize);
            bool badMagic = header.fMagic != CL_IPC_MAGIC;
            bool badVersion = !badMagic && header.fVersion > CL_IPC_VERSION;
            // A first chunk announcing more than a blob can hold is as unusable as a
            // bad header.
            bool badSize = !badMagic && !badVersion && header.fType != CL_PACKET_TYPE_PING &&
                           (header.fFlags & CL_IPC_FIRST_CHUNK) && header.fSize > CL_Blob::kMaxSize;
            if (badMagic || badVersion || badSize) {
                if (badVersion)
                    Log(CL_LOG_LEVEL_ERROR,
                        T("[Dispatcher] [%d] Ricevuta richiesta con versione del protocollo di "
                          "comunicazione non supportata (%d.%d.%d)"),
                        int(client->fID), int((header.fVersion >> 16) & 0xFF),
                        int((header.fVersion >> 8) & 0xFF), int(header.fVersion & 0xFF));
                else
                    Log(CL_LOG_LEVEL_ERROR,
                        T("[Dispatcher] [%d] Ricevuta una richiesta non valida"), int(client->fID));
                if (client->fPartial && uint32(now - client->fLastReadTime) > fTimeOut)
                    KillWithLog(client, CL_TIMEOUT);
                else
                    KillWithLog(client, CL_IPC_BAD_REQUEST);
                return true;
            }
            want = kHeaderSize + CL_ChunkPayloadSize(header);
        }
    }
    if (have < want) {
        if (have > 0 && !client->fPartial) {
            client->fPartial = true;
            client->fLastReadTime = now;
            *waitStep = 1;
        }
        return false;
    }
    client->fPartial = false;
    uint32 length = want - kHeaderSize;
    CL_Packet* packet = new CL_Packet(header);
    if (length > 0) packet->fData = CL_Blob(staged.GetDataForRead() + kHeaderSize, length, true);
    staged.Clear(false);
    packet->fData.Seek(0, CL_SEEK_SET);

    if (header.fType == CL_PACKET_TYPE_ABORT) {
        HandleAbort(client, packet);
        delete packet;
    } else if (header.fType == CL_PACKET_TYPE_ABORT_ALL) {
        client->fContext->AbortAll(GetCallbacks().fAbort);
        WakeClientWorkers(client);
        delete packet;
    } else if (!(header.fFlags & CL_IPC_FIRST_CHUNK) &&
               !ContinuesRequest(client, header.fSequence)) {
        // A later chunk of no request that is queued or being gathered would stay
        // in the queue for ever.
        delete packet;
    } else {
        client->fQueuedReadPackets->Append(packet);
        client->fQueuedReadBytes += Client::QueuedCost(packet);
        if (header.fFlags & CL_IPC_FIRST_CHUNK) {
            Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                T("[Dispatcher] [%d] Il client ha dati in arrivo, spostato nella coda di attesa"),
                int(client->fID));
            fWaitingList->Append(client);
            client->fWaitStartTime = now;
        } else if (client->fServingWorker) {
            client->fServingWorker->fDataCondition.Signal();
        }
    }
    return false;
}

// Whether a chunk of `sequence` continues a request: one whose first chunk waits in
// the queue, or one a worker has started. The caller holds the context lock.
bool CL_TCPServer::ContinuesRequest(Client* client, uint32 sequence) {
    for (CL_Packet* packet : *client->fQueuedReadPackets)
        if (packet->fHeader.fSequence == sequence && (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK))
            return true;
    return !client->fContext->HasAborted(sequence);
}

void CL_TCPServer::HandleAbort(Client* client, CL_Packet* abort) {
    uint32 sequence = abort->fHeader.fSequence;
    CL_ClientContext* context = client->fContext;
    bool waiting = false;
    for (CL_Packet* packet : *client->fQueuedReadPackets)
        if (packet->fHeader.fSequence == sequence && (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK))
            waiting = true;
    if (waiting) {
        CL_LinkedList<CL_Packet*>* queue = client->fQueuedReadPackets;
        for (CL_LinkedList<CL_Packet*>::iterator it = queue->begin(); it != queue->end(); ++it) {
            CL_Packet* packet = *it;
            if (packet->fHeader.fSequence != sequence) continue;
            client->fQueuedReadBytes -= Client::QueuedCost(packet);
            queue->Remove(it);
            delete packet;
        }
        CL_Packet* reply = new CL_Packet(CL_PACKET_TYPE_ABORT, CL_IPC_FIRST_CHUNK, sequence);
        memcpy(reinterpret_cast<uint8*>(&reply->fHeader) + 20,
               reinterpret_cast<const uint8*>(&abort->fHeader) + 20, 12);
        client->fQueuedWritePackets->Append(reply);
        return;
    }
    if (!context->HasAborted(sequence)) {
        context->SetAborted(sequence, true);
        context->Unlock();
        if (GetCallbacks().fAbort) GetCallbacks().fAbort(context, sequence);
        context->Lock();
        Request* request = client->fExecutingRequests.Get(int32(sequence));
        if (request && request->fWorker) request->fWorker->fDataCondition.Signal();
        if (client->fServingWorker) client->fServingWorker->fDataCondition.Signal();
    }
}

void CL_TCPServer::PeriodicWork(uint32 now, uint32* lastSweep, uint32* lastLoad, uint32* lastPing) {
    if (uint32(now - *lastSweep) >= kSweepInterval) {
        *lastSweep = now;
        for (ClientList::iterator it = fClientList->begin(); it != fClientList->end(); ++it)
            if (PeerGone((*it)->fSocket)) KillClient(*it);
    }
    // Only a client that no worker is serving can be starved; one whose worker is
    // busy with a long request has its next request queued behind it.
    CL_Array<Client*> starved;
    for (Client* client : *fWaitingList)
        if (client->fBusyCount == 0 && uint32(now - client->fWaitStartTime) > kWaitingLimit &&
            !starved.Exists(client))
            starved.Append(client);
    for (uint32 i = 0; i < starved.Count(); i++)
        if (fClientList->Exists(starved.Get(i))) KillClient(starved.Get(i));
    if (uint32(now - *lastLoad) >= kLoadInterval) {
        *lastLoad = now;
        AdjustLoad();
    }
    // Entries of clients that a worker is serving are work for that worker alone:
    // waking the others for them would only have them look and sleep again.
    bool work = fDeadList->Count() > 0;
    for (ClientList::iterator it = fWaitingList->begin(); !work && it != fWaitingList->end(); ++it)
        work = (*it)->fBusyCount == 0;
    if (work) fReadyCond->Broadcast();
    if (uint32(now - *lastPing) >= kPingInterval) {
        *lastPing = now;
        QueuePings();
    }
}

void CL_TCPServer::AdjustLoad() {
    fLoad = fBusyCount.Get() * 0.01 + 0.99 * fLoad;
    if (fLoad > kMaxLoad) fLoad = kMaxLoad;
    int32 n = int32(fWorkerList->Count());
    if (n < int32(fLoad + 1.5)) {
        if (n < int32(CL_SERVER_MAX_WORKERS)) {
            Log(CL_LOG_LEVEL_DEBUG,
                T("[Dispatcher] Lanciato nuovo worker thread in risposta al carico sul server "
                  "(%f)"),
                fLoad);
            Worker* worker = SpawnWorker(false);
            if (worker) fWorkerList->Append(worker);
        } else {
            Log(CL_LOG_LEVEL_DEBUG,
                T("[Dispatcher] Impossibile lanciare un nuovo worker thread in risposta al carico "
                  "sul server, limite massimo di thread raggiunto"));
        }
    } else if (int32(fLoad + 6.0) < n) {
        Log(CL_LOG_LEVEL_DEBUG,
            T("[Dispatcher] Lascio terminare un worker thread, il server non è più sotto carico "
              "(%f)"),
            fLoad);
        fReadyCond->Broadcast();
    }
}

void CL_TCPServer::QueuePings() {
    if (!fRun) return;
    for (Client* client : *fClientList) {
        CL_ClientContext* context = client->fContext;
        if (context->GetLock()->TryLock() != CL_OK) continue;
        for (Request* request : client->fExecutingRequests) {
            if (context->HasAborted(request->fID)) continue;
            double completeness = -1.0;
            std::string message;
            context->GetProgress(request->fID, &completeness, &message);
            if (message.size() > CL_IPC_MAX_PING_MESSAGE) message.resize(CL_IPC_MAX_PING_MESSAGE);
            Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                T("[Dispatcher] [%d] Il server sta ancora eseguendo la richiesta (%3.1f%% "
                  "completata), inoltro un messaggio di ping"),
                int(client->fID), completeness);
            CL_Packet* ping = new CL_Packet(CL_PACKET_TYPE_PING, 0, request->fID);
            bool changed = message != request->fProgressMessage;
            if (changed) request->fProgressMessage = message;
            // The encoder clamps the completeness to 0..100 and maps unknown to 65535.
            CL_MakePing(&ping->fHeader, &ping->fData, request->fID, completeness,
                        changed ? &message : nullptr);
            client->fQueuedWritePackets->Append(ping);
        }
        context->Unlock();
    }
}
