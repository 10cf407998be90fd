// The dispatcher's periodic work after each pass over the clients: sweeping closed
// and starved clients, sizing the worker pool to the load, waking the workers, and
// the progress PINGs of the requests being worked on.
#include "lumo/translator.h"
#include "tcp_server_records.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kSweepInterval = 60000;
constexpr uint32 kWaitingLimit = 120000;
constexpr uint32 kLoadInterval = 100;
constexpr uint32 kPingInterval = 100;
constexpr double kMaxLoad = 24.0;

}  // namespace

void CL_TCPServer::PeriodicWork(uint32 now, DispatcherState* state) {
    if (uint32(now - state->fLastSweep) >= kSweepInterval) {
        state->fLastSweep = now;
        SweepClosedClients();
    }
    KillStarvedClients(now);
    if (uint32(now - state->fLastLoad) >= kLoadInterval) {
        state->fLastLoad = now;
        AdjustLoad();
    }
    WakeWorkers();
    if (uint32(now - state->fLastPing) >= kPingInterval) {
        state->fLastPing = now;
        QueuePings();
    }
}

void CL_TCPServer::SweepClosedClients() {
    for (ClientList::iterator it = fClientList->begin(); it != fClientList->end(); ++it)
        if ((*it)->fSocket->PeerClosed()) KillClient(*it);
}

// Only a client that no worker is serving can be starved; one whose worker is busy
// with a long request has its next request queued behind it.
void CL_TCPServer::KillStarvedClients(uint32 now) {
    CL_Array<Client*> starved;
    for (Client* client : *fWaitingList)
        if (client->fBusyCount == 0 && uint32(now - client->fWaitStartTime) > kWaitingLimit &&
            !starved.Exists(client))
            starved.Append(client);
    for (uint32 i = 0; i < starved.Count(); i++)
        if (fClientList->Exists(starved.Get(i))) KillClient(starved.Get(i));
}

// The smoothed load counts the dispatcher's own pass. A worker more is started under
// load; when the load falls, a broadcast lets an idle worker retire by its own rule.
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

// Entries of clients that a worker is serving are work for that worker alone: waking
// the others for them would only have them look and sleep again.
void CL_TCPServer::WakeWorkers() {
    bool work = fDeadList->Count() > 0;
    for (ClientList::iterator it = fWaitingList->begin(); !work && it != fWaitingList->end(); ++it)
        work = (*it)->fBusyCount == 0;
    if (work) fReadyCond->Broadcast();
}

// A PING for every request being worked on whose record is not cancelled, for the
// clients whose context no worker holds.
void CL_TCPServer::QueuePings() {
    if (!fRun) return;
    for (Client* client : *fClientList) {
        if (!client->TryLockContext()) continue;
        for (Request* request : client->fExecutingRequests)
            if (!client->fContext->HasAborted(request->fID)) QueuePing(client, request);
        client->fContext->Unlock();
    }
}

// The PING carries the progress message only when it changed since the last one.
void CL_TCPServer::QueuePing(Client* client, Request* request) {
    double completeness = -1.0;
    std::string message;
    client->fContext->GetProgress(request->fID, &completeness, &message);
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
