// The listener thread, which turns accepted connections into client records, and the
// dispatcher thread, which waits on every client socket at once, has each ready client
// read one chunk or write one queued packet, cuts off closed or stalled connections,
// and between passes does the periodic work and the discovery turns.
#include "lumo/clock.h"
#include "lumo/translator.h"
#include "tcp_server_records.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

// How long the two threads sleep while the server is stopped.
constexpr uint32 kStoppedSleep = 50;
constexpr uint32 kAcceptWait = 250;
// Pause after an accept error, so that a listener that cannot be reopened does not spin.
constexpr uint32 kAcceptErrorSleep = 10;
constexpr uint32 kDiscoveryInterval = 200;
// Chunks a client may have queued before the dispatcher stops reading from it and
// lets TCP hold the sender back.
constexpr uint64 kMaxQueuedBytes = 64u << 20;

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
            CL_Thread::Sleep(kStoppedSleep);
            continue;
        }
        if (!setupCalled) {
            setupCalled = true;
            ThreadStarted(T("[Server] Inizializzato"));
        }
        CL_Socket* accepted = AcceptConnection();
        if (accepted) AdmitConnection(accepted);
    }
    if (setupCalled && GetCallbacks().fThreadCleanup)
        GetCallbacks().fThreadCleanup(GetCallbackUserData());
    Log(CL_LOG_LEVEL_DEBUG, T("[Server] Terminato"));
}

// The next connection; null when none came in time or the accept failed (the
// listener is then closed, and the next accept opens it again).
CL_Socket* CL_TCPServer::AcceptConnection() {
    CL_Socket* accepted = nullptr;
    CL_Status status;
    {
        CL_AutoLocker listenerLock(fListenerLock);
        if (!fRun) return nullptr;
        status = fListener->Accept(&accepted, kAcceptWait);
        if (status != CL_OK && status != CL_TIMEOUT) fListener->Close();
    }
    if (status == CL_OK) return accepted;
    if (status != CL_TIMEOUT) CL_Thread::Sleep(kAcceptErrorSleep);
    return nullptr;
}

void CL_TCPServer::AdmitConnection(CL_Socket* accepted) {
    // Replies go out as whole packets; Nagle would hold a reply's last segment until
    // the client acknowledges the previous ones.
    accepted->SetNoDelay(true);
    CL_AutoLocker lock(fLock);
    if (!fRun) {
        delete accepted;
        return;
    }
    Client* client = new Client(this, accepted);
    Log(CL_LOG_LEVEL_INFO, T("[Server] Nuova connessione da %s; assegnata al client con ID %d"),
        client->fPeer.GetIP().c_str(), int(client->fID));
    fClientList->Append(client);
}

void CL_TCPServer::DispatcherLoop() {
    bool setupCalled = false;
    DispatcherState state(CL_GetTime());
    while (!fQuit) {
        if (!fRun) {
            CL_Thread::Sleep(kStoppedSleep);
            continue;
        }
        if (!setupCalled) {
            setupCalled = true;
            ThreadStarted(T("[Dispatcher] Inizializzato"));
        }
        DispatcherPass(&state);
    }
    if (setupCalled && GetCallbacks().fThreadCleanup)
        GetCallbacks().fThreadCleanup(GetCallbackUserData());
    Log(CL_LOG_LEVEL_DEBUG, T("[Dispatcher] Terminato"));
}

// One pass: the clients and the periodic work under the server lock, then, now and
// then, a discovery turn without it.
void CL_TCPServer::DispatcherPass(DispatcherState* state) {
    uint32 now;
    {
        CL_AutoLocker lock(fLock);
        if (!fRun) return;
        fBusyCount++;
        now = ServeClients(state);
        PeriodicWork(now, state);
    }
    if (uint32(now - state->fLastDiscovery) >= kDiscoveryInterval) {
        state->fLastDiscovery = now;
        DiscoveryTurn();
    }
    fBusyCount--;
}

// Waits on the clients' sockets and serves those that are ready, or that have part of
// a chunk pending; returns the time after the wait.
uint32 CL_TCPServer::ServeClients(DispatcherState* state) {
    CL_Set<CL_Socket*> readSet, writeSet;
    WatchClients(&readSet, &writeSet);
    bool ready = WaitForSockets(&readSet, &writeSet, state->fWaitStep);
    uint32 now = CL_GetTime();
    bool partial = AnyPartial();
    state->fWaitStep = partial ? DispatcherState::kPartialWaitStep : DispatcherState::kIdleWaitStep;
    if (partial || ready) ClientPass(readSet, writeSet, now, &state->fWaitStep);
    return now;
}

void CL_TCPServer::WatchClients(CL_Set<CL_Socket*>* readSet, CL_Set<CL_Socket*>* writeSet) {
    for (Client* client : *fClientList) {
        // A partial chunk's bytes are read as they come: its socket is watched too.
        if (client->fQueuedReadBytes < kMaxQueuedBytes) readSet->Add(client->fSocket);
        if (client->fQueuedWritePackets->Count() > 0) writeSet->Add(client->fSocket);
    }
}

// Leaves in the sets the sockets that are ready; true when there are any. With nothing
// to wait on it only sleeps. The server lock is released meanwhile.
bool CL_TCPServer::WaitForSockets(CL_Set<CL_Socket*>* readSet, CL_Set<CL_Socket*>* writeSet,
                                  uint32 ms) {
    if (readSet->Count() == 0 && writeSet->Count() == 0) {
        CL_AutoUnlocker unlock(fLock);
        CL_Thread::Sleep(ms);
        return false;
    }
    uint32 ready = 0;
    CL_Status waited = CL_Socket::Select(readSet, writeSet, nullptr, &ready, ms, &fLock);
    return waited == CL_OK && ready > 0;
}

bool CL_TCPServer::AnyPartial() {
    for (Client* client : *fClientList)
        if (client->fPartial) return true;
    return false;
}

// Each client whose context a worker does not hold reads one chunk or writes one
// queued packet. A client found closed is killed without a log line.
void CL_TCPServer::ClientPass(CL_Set<CL_Socket*>& readSet, CL_Set<CL_Socket*>& writeSet,
                              uint32 now, uint32* waitStep) {
    for (ClientList::iterator it = fClientList->begin(); it != fClientList->end(); ++it) {
        Client* client = *it;
        if (!client->TryLockContext()) {
            if (client->fSocket->PeerClosed()) KillClient(client);
            continue;
        }
        bool read = false;
        bool killed = ServeClientSocket(client, readSet, writeSet, now, waitStep, &read);
        if (!killed &&
            (client->fQueuedReadPackets->Count() > 0 || client->fQueuedWritePackets->Count() > 0))
            *waitStep = DispatcherState::kBusyWaitStep;
        client->fContext->Unlock();
        if (!killed && !read && client->fSocket->PeerClosed()) KillClient(client);
    }
}

// Writes the client's first queued packet when its socket can take it, else reads
// when there is something to read; true when the client was killed.
bool CL_TCPServer::ServeClientSocket(Client* client, CL_Set<CL_Socket*>& readSet,
                                     CL_Set<CL_Socket*>& writeSet, uint32 now,
                                     uint32* waitStep, bool* read) {
    CL_Socket* socket = client->fSocket;
    if (writeSet.Exists(socket) && client->fQueuedWritePackets->Count() > 0)
        return WriteQueuedPacket(client);
    if (!readSet.Exists(socket) && !client->fPartial) return false;
    *read = true;
    return ReadFromClient(client, now, waitStep);
}

bool CL_TCPServer::WriteQueuedPacket(Client* client) {
    CL_Packet* packet = client->fQueuedWritePackets->Pop(true);
    CL_Blob wire;
    CL_BuildPacket(packet->fHeader, packet->fData, &wire);
    wire.Seek(0, CL_SEEK_SET);
    delete packet;
    client->fSocket->Write(wire, wire.GetSize(), fTimeOut);
    CL_Status status = client->fSocket->GetIOError(false);
    if (status == CL_OK) return false;
    KillWithLog(client, status);
    return true;
}

// Reads at most one chunk; then cuts the client off when its partial chunk is overdue
// or its peer has gone. True when the client was killed.
bool CL_TCPServer::ReadFromClient(Client* client, uint32 now, uint32* waitStep) {
    ChunkRead read = ReadChunk(client, now);
    if (read == kChunkKilled) return true;
    if (read == kChunkPending && client->fReader.GetHeld() > 0 && !client->fPartial) {
        client->fPartial = true;
        client->fLastReadTime = now;
        *waitStep = DispatcherState::kBusyWaitStep;
    }
    if (client->fPartial && uint32(now - client->fLastReadTime) > fTimeOut) {
        KillWithLog(client, CL_TIMEOUT);
        return true;
    }
    if (!client->fSocket->IsConnected()) {
        KillWithLog(client, CL_CONNECTION_LOST);
        return true;
    }
    return false;
}
