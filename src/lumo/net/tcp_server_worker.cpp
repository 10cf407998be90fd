// The server's worker pool: starting and stopping workers, and the loop of each worker,
// which sleeps on the ready condition, deletes dead clients, takes a client with a
// new request and has its requests served, and retires when the load falls.
#include "lumo/cipher.h"
#include "lumo/entry.h"
#include "lumo/translator.h"
#include "tcp_server_records.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kReadyWait = 5000;
// A worker thread that cannot be created is retried this many times by Start.
constexpr uint32 kSpawnAttempts = 100;
constexpr uint32 kSpawnRetrySleep = 10;

}  // namespace

CL_TCPServer::Worker* CL_TCPServer::SpawnWorker(bool wait) {
    Worker* worker = new Worker(fNextWorkerID++, this);
    std::string name = "server worker " + std::to_string(worker->fID);
    // The record is complete before the thread can look at it.
    worker->fThreadID = 0;
    CL_ThreadID id = CL_Thread::Spawn(name, 1, 0, WorkerThread, worker);
    if (id == 0) {
        delete worker;
        return nullptr;
    }
    worker->fThreadID = id;
    if (wait)
        while (!worker->fReady)
            CL_Thread::Sleep(1);
    return worker;
}

int32 CL_TCPServer::WorkerThread(void* param) {
    Worker* worker = static_cast<Worker*>(param);
    worker->fServer->WorkerLoop(worker);
    return 0;
}

// The first workers, each waited for until it runs.
void CL_TCPServer::StartWorkers() {
    for (uint32 attempt = 0;
         fWorkerList->Count() < CL_SERVER_MIN_WORKERS && attempt < kSpawnAttempts; attempt++) {
        Worker* worker = SpawnWorker(true);
        if (worker)
            fWorkerList->Append(worker);
        else
            CL_Thread::Sleep(kSpawnRetrySleep);
    }
}

// Takes every worker off the list, last first, and tells it to end; their threads.
CL_Array<CL_ThreadID> CL_TCPServer::StopWorkers() {
    CL_Array<CL_ThreadID> threads;
    while (fWorkerList->Count() > 0) {
        Worker* worker = fWorkerList->Pop(false);
        threads.Append(worker->fThreadID);
        worker->fQuit = true;
    }
    return threads;
}

void CL_TCPServer::JoinWorkers(const CL_Array<CL_ThreadID>& threads) {
    for (uint32 i = 0; i < threads.Count(); i++)
        CL_Thread::Wait(threads.Get(i));
    // Retired workers may still be on their way out.
    while (fRetiring > 0)
        CL_Thread::Sleep(1);
}

void CL_TCPServer::WorkerLoop(Worker* worker) {
    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Inizializzato"), int(worker->fID));
    if (GetCallbacks().fThreadSetup) GetCallbacks().fThreadSetup(GetCallbackUserData());
    worker->fReady = true;
    bool retired = WorkUntilQuit(worker);
    if (GetCallbacks().fThreadCleanup) GetCallbacks().fThreadCleanup(GetCallbackUserData());
    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Terminato"), int(worker->fID));
    delete worker;
    if (retired) fRetiring--;
}

// The worker's rounds under the server lock, until it is told to end or retires
// (then true).
bool CL_TCPServer::WorkUntilQuit(Worker* worker) {
    bool retired = false;
    CL_AutoLocker lock(fLock);
    for (;;) {
        if (!worker->fQuit && !HasWork(worker)) fReadyCond->Wait(&fLock, kReadyWait);
        if (worker->fQuit) break;
        fBusyCount++;
        ReapDeadClient(worker);
        if (fRun) ServeWaitingClient(worker);
        fBusyCount--;
        if (ShouldRetire(worker)) {
            Retire(worker);
            retired = true;
        }
        if (worker->fQuit) break;
    }
    return retired;
}

// The last client of the waiting list that is not being served; end() when there is
// none, or when bindings keep this worker from taking it.
CL_TCPServer::ClientList::iterator CL_TCPServer::FindWaitingClient(Worker* worker) {
    ClientList::iterator found = fWaitingList->end();
    for (ClientList::iterator it = fWaitingList->begin(); it != fWaitingList->end(); ++it)
        if ((*it)->fBusyCount == 0) found = it;
    if (found == fWaitingList->end()) return found;
    Client* client = *found;
    if (client->fPinnedWorker && client->fPinnedWorker != worker) return fWaitingList->end();
    if (worker->fPinnedClient && worker->fPinnedClient != client) return fWaitingList->end();
    return found;
}

bool CL_TCPServer::HasWork(Worker* worker) {
    Client* dead = fDeadList->GetLast();
    if (dead && dead->fBusyCount == 0 && (!dead->fPinnedWorker || dead->fPinnedWorker == worker))
        return true;
    return fRun && FindWaitingClient(worker) != fWaitingList->end();
}

// Deletes the last dead client when no worker serves it and bindings allow.
void CL_TCPServer::ReapDeadClient(Worker* worker) {
    Client* client = fDeadList->GetLast();
    if (!client) return;
    if (client->fPinnedWorker && client->fPinnedWorker != worker) return;
    if (worker->fPinnedClient && worker->fPinnedClient != client) return;
    if (client->fBusyCount != 0) return;
    fDeadList->Pop(false);
    fWaitingList->RemoveAll(client);
    if (client->fPinnedWorker) {
        client->fPinnedWorker->fPinnedClient = nullptr;
        client->fPinnedWorker = nullptr;
    }
    CL_AutoUnlocker unlock(fLock);
    DeleteClient(client);
}

// Hands the context to the disconnect callback, when there is one, without its
// cipher; deletes the record (and with it a context the callback did not take).
void CL_TCPServer::DeleteClient(Client* client) {
    if (GetCallbacks().fDisconnect) {
        CL_ClientContext* context = client->fContext;
        delete context->GetCipher();
        context->SetCipher(nullptr);
        client->fContext = nullptr;
        GetCallbacks().fDisconnect(context);
    }
    delete client;
}

// Takes the client the waiting list offers this worker, if any, and serves its
// requests with the server lock released.
void CL_TCPServer::ServeWaitingClient(Worker* worker) {
    ClientList::iterator it = FindWaitingClient(worker);
    if (it == fWaitingList->end()) return;
    Client* client = *it;
    Log(CL_LOG_LEVEL_DEBUG_VERBOSE, T("[Worker %d] [%d] Client ottenuto dalla coda di attesa"),
        int(worker->fID), int(client->fID));
    fWaitingList->Remove(it);
    client->fBusyCount++;
    client->fServingWorker = worker;
    CLU_Entry::SetFlattenedVersion(client->fProtocolVersion < CL_IPC_VERSION ? 1 : 2);
    ServeResult result;
    CL_Status error = 0;
    {
        CL_AutoUnlocker unlock(fLock);
        result = ServeClient(worker, client, &error);
    }
    client->fBusyCount--;
    client->fServingWorker = nullptr;
    FinishServing(worker, client, result, error);
}

// Serves the client's requests one after the other while the server runs.
CL_TCPServer::ServeResult CL_TCPServer::ServeClient(Worker* worker, Client* client,
                                                    CL_Status* error) {
    ServeResult result = kServeNone;
    while (fRun) {
        result = ServeRequest(worker, client, error);
        if (result != kServeDone) break;
        Log(CL_LOG_LEVEL_DEBUG_VERBOSE, T("[Worker %d] [%d] Richiesta(e) completata(e)"),
            int(worker->fID), int(client->fID));
    }
    return result;
}

// A client that failed is killed; otherwise its stale waiting entries go.
void CL_TCPServer::FinishServing(Worker* worker, Client* client, ServeResult result,
                                 CL_Status error) {
    if (result == kServeWriteError || result == kServeDrop) {
        if (result == kServeWriteError) LogWriteError(worker, client, error);
        if (fClientList->Exists(client)) KillClient(client);
        return;
    }
    if (client->fDead) return;
    // Entries the dispatcher added while this worker served the client are stale once
    // no request is queued.
    bool queued;
    {
        CL_AutoLocker lock(ContextLock(client));
        queued = client->HasFirstChunk();
    }
    if (!queued) fWaitingList->RemoveAll(client);
}

bool CL_TCPServer::ShouldRetire(Worker* worker) {
    return int32(fLoad + 0.9) + int32(CL_SERVER_MIN_WORKERS) < int32(fWorkerList->Count()) &&
           !worker->fPinnedClient && fWorkerList->Exists(worker);
}

void CL_TCPServer::Retire(Worker* worker) {
    Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] Il server ha carico basso, questo worker thread non è più necessario; "
          "termino"),
        int(worker->fID));
    worker->fQuit = true;
    fWorkerList->Remove(worker);
    // A request that came for the client this worker just left would otherwise wait
    // for the dispatcher's next pass to wake another worker.
    if (fWaitingList->Count() > 0 || fDeadList->Count() > 0) fReadyCond->Broadcast();
    fRetiring++;
    CL_Thread::Detach(worker->fThreadID);
}
