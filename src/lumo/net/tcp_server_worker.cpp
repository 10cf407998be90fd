// The server's worker pool: starting and stopping workers, and the loop of each worker,
// which sleeps on a semaphore of its own until it is handed a client or woken for
// other work, deletes dead clients, takes a client with a new request and has its
// requests served, and retires when the load falls.
#include <cerrno>
#include <ctime>

#include "lumo/cipher.h"
#include "lumo/entry.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// An idle worker looks for work on its own this often.
constexpr uint32 kReadyWait = 5000;
// A worker thread that cannot be created is retried this many times by Start.
constexpr uint32 kSpawnAttempts = 100;
constexpr uint32 kSpawnRetrySleep = 10;

}  // namespace

Impl::Worker* Impl::SpawnWorker(bool wait) {
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

int32 Impl::WorkerThread(void* param) {
    Worker* worker = static_cast<Worker*>(param);
    worker->fServer->WorkerLoop(worker);
    return 0;
}

// The first workers, each waited for until it runs.
void Impl::StartWorkers() {
    for (uint32 attempt = 0;
         fWorkerList.Count() < CL_SERVER_MIN_WORKERS && attempt < kSpawnAttempts; attempt++) {
        Worker* worker = SpawnWorker(true);
        if (worker)
            fWorkerList.Append(worker);
        else
            CL_Thread::Sleep(kSpawnRetrySleep);
    }
}

// Takes every worker off the list, last first, and tells it to end; their threads.
CL_Array<CL_ThreadID> Impl::StopWorkers() {
    CL_Array<CL_ThreadID> threads;
    while (fWorkerList.Count() > 0) {
        Worker* worker = fWorkerList.Pop(false);
        threads.Append(worker->fThreadID);
        worker->fQuit = true;
        if (worker->fIdle) WakeIdleWorker(worker, nullptr);
    }
    return threads;
}

void Impl::JoinWorkers(const CL_Array<CL_ThreadID>& threads) {
    for (uint32 i = 0; i < threads.Count(); i++)
        CL_Thread::Wait(threads.Get(i));
    // Retired workers may still be on their way out.
    while (fRetiring > 0)
        CL_Thread::Sleep(1);
}

void Impl::WorkerLoop(Worker* worker) {
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Inizializzato"), int(worker->fID));
    CL_ThreadSetupCB setup = fServer.GetCallbacks().fThreadSetup;
    if (setup) setup(fServer.GetCallbackUserData());
    worker->fReady = true;
    bool retired = WorkUntilQuit(worker);
    ThreadEnding();
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Terminato"), int(worker->fID));
    while (worker->fPendingWakes > 0)
        CL_Thread::Sleep(1);
    delete worker;
    if (retired) fRetiring--;
}

// The worker's rounds under the server lock, until it is told to end or retires
// (then true).
bool Impl::WorkUntilQuit(Worker* worker) {
    bool retired = false;
    CL_AutoLocker lock(fLock);
    while (!worker->fQuit) {
        if (HasWork(worker)) {
            fBusyCount++;
            ReapDeadClient(worker);
            if (fRun) ServeWaitingClient(worker);
            fBusyCount--;
        } else {
            IdleUntilWoken(worker);
        }
        if (!worker->fQuit && ShouldRetire(worker)) {
            Retire(worker);
            retired = true;
        }
    }
    return retired;
}

// Waits to be woken. A client handed over is served at once, before the server lock
// is taken again: the dispatcher has done the taking.
void Impl::IdleUntilWoken(Worker* worker) {
    worker->fIdle = true;
    fIdleWorkers.Append(worker);
    Client* client;
    ServeResult result = kServeNone;
    CL_Status error = CL_OK;
    {
        CL_AutoUnlocker unlock(fLock);
        client = worker->WaitForWake(kReadyWait);
        if (client) {
            fBusyCount++;
            result = ServeTakenClient(worker, client, &error);
        }
    }
    if (!client) {
        if (worker->fIdle) {
            worker->fIdle = false;
            fIdleWorkers.Remove(worker);
            return;
        }
        // Handed a client after the wait ended.
        client = worker->TakeAssigned();
        if (!client) return;
        fBusyCount++;
        CL_AutoUnlocker unlock(fLock);
        result = ServeTakenClient(worker, client, &error);
    }
    FinishServing(worker, client, result, error);
    fBusyCount--;
}

// Whether the worker may delete this dead client: no worker serves it, and bindings
// allow it. The loop sleeps only when this says no, so it never spins on a client it
// cannot delete.
bool Impl::CanReap(Worker* worker, Client* dead) {
    if (!dead || dead->fBusyCount != 0 || dead->fHeld) return false;
    if (dead->fPinnedWorker && dead->fPinnedWorker != worker) return false;
    return !worker->fPinnedClient || worker->fPinnedClient == dead;
}

bool Impl::HasWork(Worker* worker) {
    if (CanReap(worker, fDeadList.GetLast())) return true;
    return fRun && FindWaitingClient(worker) != fWaitingList.end();
}

// The last client of the waiting list that is not being served, whose replies are
// read and whose requests neither the others' unread replies nor the inflations under
// way hold back; end() when there is none, or when bindings keep this worker from
// taking it. Clients held back past the cap come first, in the order they were held:
// otherwise peers that come back with new requests as soon as others are cut off
// would take every room the cuts make, and an older client would wait for as long as
// they keep coming.
Impl::ClientList::iterator Impl::FindWaitingClient(Worker* worker) {
    ClientList::iterator found = fWaitingList.end(), held = fWaitingList.end();
    for (ClientList::iterator it = fWaitingList.begin(); it != fWaitingList.end(); ++it) {
        Client* client = *it;
        if (client->fBusyCount != 0 || Backlogged(client) || OutputHeld(client) ||
            !InflationFits(client->fHeadReach))
            continue;
        found = it;
        if (client->fHeldTurn &&
            (held == fWaitingList.end() || client->fHeldTurn < (*held)->fHeldTurn))
            held = it;
    }
    if (held != fWaitingList.end()) found = held;
    if (found == fWaitingList.end()) return found;
    Client* client = *found;
    if (client->fPinnedWorker && client->fPinnedWorker != worker) return fWaitingList.end();
    if (worker->fPinnedClient && worker->fPinnedClient != client) return fWaitingList.end();
    return found;
}

// The latest idle workers first: their stacks and caches are the warmest.
void Impl::HandOutWork() {
    if (fIdleWorkers.Count() == 0) return;
    Client* dead = fDeadList.GetLast();
    if (dead) {
        WorkerList::iterator chosen = fIdleWorkers.end();
        for (WorkerList::iterator it = fIdleWorkers.begin(); it != fIdleWorkers.end(); ++it)
            if (CanReap(*it, dead)) chosen = it;
        if (chosen != fIdleWorkers.end()) WakeIdleWorker(*chosen, nullptr);
    }
    if (!fRun) return;
    bool handed = true;
    while (handed && fIdleWorkers.Count() > 0) {
        handed = false;
        Worker* last = nullptr;
        ClientList::iterator found = fWaitingList.end();
        for (WorkerList::iterator it = fIdleWorkers.begin(); it != fIdleWorkers.end(); ++it) {
            ClientList::iterator candidate = FindWaitingClient(*it);
            if (candidate != fWaitingList.end()) {
                last = *it;
                found = candidate;
            }
        }
        if (!last) break;
        WakeIdleWorker(last, TakeWaitingClient(found));
        handed = true;
    }
}

// In the dispatcher's pass the wake-up is made once the server lock is released.
void Impl::WakeIdleWorker(Worker* worker, Client* assigned) {
    worker->fIdle = false;
    fIdleWorkers.Remove(worker);
    if (assigned) worker->Assign(assigned);
    if (!fDispatcherPass) {
        worker->Wake();
        return;
    }
    worker->fPendingWakes++;
    fDispatcherPass->fWakes.push_back(worker);
}

// Every idle worker looks for work and at the load again.
void Impl::WakeIdleWorkers() {
    while (fIdleWorkers.Count() > 0)
        WakeIdleWorker(fIdleWorkers.GetLast(), nullptr);
}

// Deletes the last dead client when no worker serves it and bindings allow.
void Impl::ReapDeadClient(Worker* worker) {
    Client* client = fDeadList.GetLast();
    if (!CanReap(worker, client)) return;
    fDeadList.Pop(false);
    UnlistWaiting(client);
    DropInput(client);
    if (client->fPinnedWorker) {
        client->fPinnedWorker->fPinnedClient = nullptr;
        client->fPinnedWorker = nullptr;
    }
    CL_AutoUnlocker unlock(fLock);
    DeleteClient(client);
}

// Hands the context to the disconnect callback, when there is one, without its
// cipher; deletes the record (and with it a context the callback did not take).
void Impl::DeleteClient(Client* client) {
    CL_DisconnectCB disconnect = fServer.GetCallbacks().fDisconnect;
    if (disconnect) {
        CL_ClientContext* context = client->fContext.release();
        delete context->GetCipher();
        context->SetCipher(nullptr);
        disconnect(context);
    }
    delete client;
}

// Takes the client the waiting list offers this worker, if any, and serves its
// requests with the server lock released.
void Impl::ServeWaitingClient(Worker* worker) {
    ClientList::iterator it = FindWaitingClient(worker);
    if (it == fWaitingList.end()) return;
    Client* client = TakeWaitingClient(it);
    ServeResult result;
    CL_Status error = 0;
    {
        CL_AutoUnlocker unlock(fLock);
        result = ServeTakenClient(worker, client, &error);
    }
    FinishServing(worker, client, result, error);
}

Impl::ServeResult Impl::ServeTakenClient(Worker* worker, Client* client,
                                                         CL_Status* error) {
    fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE, T("[Worker %d] [%d] Client ottenuto dalla coda di attesa"),
        int(worker->fID), int(client->fID));
    CLU_Entry::SetFlattenedVersion(client->fProtocolVersion < CL_IPC_VERSION ? 1 : 2);
    return ServeClient(worker, client, error);
}

// Serves the client's requests one after the other while the server runs, until none
// is queued, its replies wait to be read or the unread replies of all hold it back.
Impl::ServeResult Impl::ServeClient(Worker* worker, Client* client, CL_Status* error) {
    ServeResult result = kServeNone;
    while (fRun && !Backlogged(client) && !OutputHeld(client)) {
        result = ServeRequest(worker, client, error);
        if (result != kServeDone) break;
        fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE, T("[Worker %d] [%d] Richiesta(e) completata(e)"),
            int(worker->fID), int(client->fID));
    }
    return result;
}

// A client that failed is killed; otherwise its stale waiting entries go.
void Impl::FinishServing(Worker* worker, Client* client, ServeResult result,
                                 CL_Status error) {
    client->fBusyCount--;
    if (result == kServeWriteError) {
        LogWriteError(worker, client, error);
        if (fClientList.Exists(client)) KillClient(client);
        return;
    }
    if (client->fDead) return;
    // An entry the dispatcher made while this worker served the client is stale once no
    // request is queued. With requests left (its replies wait to be read, or all unread
    // replies hold it back) the client waits for a worker again.
    bool queued;
    {
        CL_AutoLocker lock(ClientLock(client));
        queued = client->HasRequest();
    }
    if (!queued)
        UnlistWaiting(client);
    else if (!client->fWaiting)
        ListWaiting(client);
}

Impl::Client* Impl::TakeWaitingClient(ClientList::iterator it) {
    Client* client = *it;
    fWaitingList.Remove(it);
    client->fWaiting = false;
    client->fHeldTurn = 0;
    client->fBusyCount++;
    return client;
}

void Impl::ListWaiting(Client* client) {
    if (client->fWaiting) {
        if (fWaitingList.GetLast() == client) return;
        fWaitingList.Remove(client);
    }
    fWaitingList.Append(client);
    client->fWaiting = true;
}

void Impl::UnlistWaiting(Client* client) {
    if (!client->fWaiting) return;
    fWaitingList.Remove(client);
    client->fWaiting = false;
    client->fHeldTurn = 0;
}

bool Impl::ShouldRetire(Worker* worker) {
    return int32(fLoad + 0.9) + int32(CL_SERVER_MIN_WORKERS) < int32(fWorkerList.Count()) &&
           !worker->fPinnedClient && fWorkerList.Exists(worker);
}

void Impl::Retire(Worker* worker) {
    fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] Il server ha carico basso, questo worker thread non è più necessario; "
          "termino"),
        int(worker->fID));
    worker->fQuit = true;
    fWorkerList.Remove(worker);
    // A request that came for the client this worker just left goes to another.
    HandOutWork();
    fRetiring++;
    CL_Thread::Detach(worker->fThreadID);
}

Impl::Worker::Worker(uint32 id, Impl* server)
    : fID(id),
      fThreadID(0),
      fServer(server),
      fQuit(false),
      fReady(false),
      fPinnedClient(nullptr),
      fIdle(false),
      fPendingWakes(0),
      fAssigned(nullptr) {
    sem_init(&fWake, 0, 0);
}

Impl::Worker::~Worker() {
    sem_destroy(&fWake);
}

Impl::Client* Impl::Worker::WaitForWake(uint32 ms) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    uint64 nanos = uint64(deadline.tv_nsec) + uint64(ms % 1000) * 1000000u;
    deadline.tv_sec += time_t(ms / 1000) + time_t(nanos / 1000000000u);
    deadline.tv_nsec = long(nanos % 1000000000u);
    while (sem_clockwait(&fWake, CLOCK_MONOTONIC, &deadline) != 0 && errno == EINTR) {
    }
    return fAssigned.exchange(nullptr);
}
