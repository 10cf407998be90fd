// The listener thread, which turns accepted connections into client records, and the
// dispatcher thread, which waits on every client socket at once (and on a wake-up
// event), reads what ready clients sent, writes what waits for ready clients, and
// between passes does the periodic work and the discovery turns.
#include <unistd.h>

#include <algorithm>

#include "lumo/clock.h"
#include "lumo/net/countdown.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// How long the two threads sleep while the server is stopped.
constexpr uint32 kStoppedSleep = 50;
constexpr uint32 kAcceptWait = 250;
// Pause after an accept error, so that a listener that cannot be reopened does not spin.
constexpr uint32 kAcceptErrorSleep = 10;
constexpr uint32 kDiscoveryInterval = 200;
// Bytes taken from a socket at once: a small request whole, in one read.
constexpr uint32 kReadSize = sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE;
// Reads of one client in one pass, so that a fast sender does not hold up the others,
// and of all clients: a connection that comes during a pass is watched from the next.
// Measured with 20 peers streaming at full speed: a fresh connect's p50 / p99 went from
// 8.9 / 15 ms with 16 reads of each to 1.2 / 4-7 ms with 32 in all.
constexpr uint32 kReadsPerPass = 16;
constexpr uint32 kReadsPerPassInAll = 32;
// Cancellations that may wait for a busy context before reading from its client stops.
constexpr size_t kMaxPendingCancels = 64;

}  // namespace

int32 Impl::ListenerThread(void* param) {
    static_cast<Impl*>(param)->ListenerLoop();
    return 0;
}

int32 Impl::DispatcherThread(void* param) {
    static_cast<Impl*>(param)->DispatcherLoop();
    return 0;
}

// The listener and the dispatcher start with the server object, before its owner
// can hand over the callbacks and the log level; each announces itself and runs the
// thread-setup callback when it first finds the server running, so that neither
// depends on how soon the thread was scheduled.
void Impl::ThreadStarted(const std::string& line) {
    fServer.Log(CL_LOG_LEVEL_DEBUG, line);
    CL_ThreadSetupCB setup = fServer.GetCallbacks().fThreadSetup;
    if (setup) setup(fServer.GetCallbackUserData());
}

// The thread-cleanup callback of a thread that ran the setup one. Each callback is
// fetched once: the owner may change them while the server runs.
void Impl::ThreadEnding() {
    CL_ThreadCleanupCB cleanup = fServer.GetCallbacks().fThreadCleanup;
    if (cleanup) cleanup(fServer.GetCallbackUserData());
}

void Impl::ListenerLoop() {
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
    if (setupCalled) ThreadEnding();
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Server] Terminato"));
}

// The next connection; null when none came in time or the accept failed (the
// listener is then closed, and the next accept opens it again).
CL_Socket* Impl::AcceptConnection() {
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

void Impl::AdmitConnection(CL_Socket* accepted) {
    // Replies go out as whole packets; Nagle would hold a reply's last segment until
    // the client acknowledges the previous ones (AcceptedConnectionsSendWithoutDelay).
    accepted->SetNoDelay(true);
    {
        CL_AutoLocker lock(fLock);
        if (!fRun) {
            delete accepted;
            return;
        }
        Client* client = new Client(this, accepted);
        fServer.Log(CL_LOG_LEVEL_INFO, T("[Server] Nuova connessione da %s; assegnata al client con ID %d"),
            client->fPeer.GetIP().c_str(), int(client->fID));
        fClientList.Append(client);
    }
    // The dispatcher watches the new socket from its next pass on.
    WakeDispatcher();
}

void Impl::DispatcherLoop() {
    bool setupCalled = false;
    DispatcherState state(CL_GetTime());
    while (!fQuit) {
        // A trim put off is made here, without the server lock, a pass after its turn.
        TrimWhenDue();
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
    // A trim still put off when the server goes is made now, its turn come or not.
    TrimWhenDue(true);
    if (setupCalled) ThreadEnding();
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Dispatcher] Terminato"));
}

// One pass: the clients and the periodic work under the server lock (released for the
// wait and for the clients' socket I/O), then, now and then, a discovery turn without
// it. Workers handed work in the pass are woken once the lock is released, so that
// they never wake only to wait for it: a small request then costs the server about
// 2.9 context switches (README, the road's speed).
void Impl::DispatcherPass(DispatcherState* state) {
    uint32 now;
    {
        CL_AutoLocker lock(fLock);
        if (!fRun) return;
        if (state->fStarts != fStarts) state->Restart(CL_GetTime(), fStarts);
        fBusyCount++;
        fDispatcherPass = state;
        now = ServeClients(state);
        PeriodicWork(now, state);
        fDispatcherPass = nullptr;
    }
    for (Worker* worker : state->fWakes) {
        worker->Wake();
        worker->fPendingWakes--;
    }
    state->fWakes.clear();
    if (CL_Elapsed(now, state->fLastDiscovery) >= kDiscoveryInterval) {
        state->fLastDiscovery = now;
        DiscoveryTurn();
    }
    fBusyCount--;
}

// Waits, with the server lock released, until a watched socket is ready, the wake-up
// event comes or the periodic work is due; then serves the ready clients: their
// sockets are written and read with the lock released, each client held meanwhile so
// that no worker deletes it, and what came is taken apart under the lock. Returns the
// time after the wait.
uint32 Impl::ServeClients(DispatcherState* state) {
    WatchClients(state);
    uint32 wait = WaitStep(state, CL_GetTime());
    // Threads that take the lock meanwhile wake their workers themselves.
    fDispatcherPass = nullptr;
    {
        CL_AutoUnlocker unlock(fLock);
        CL_Safe_Poll(state->fPoll.data(), uint32(state->fPoll.size()), wait);
    }
    fDispatcherPass = state;
    uint32 now = CL_GetTime();
    if (state->fPoll[0].revents) DrainWakeUps();
    // A watched client may have been killed and deleted while the lock was released:
    // the clients still listed are looked up, not the ones watched. One that came
    // meanwhile is watched from the next pass on. Once a periodic step, every output
    // is looked at, ready or not.
    bool probe = CL_Elapsed(now, state->fLastProbe) >= DispatcherState::kIdleWaitStep;
    if (probe) state->fLastProbe = now;
    state->fReady.clear();
    for (Client* client : fClientList) {
        short events =
            client->fWatchPass == state->fPass ? state->fPoll[client->fWatchSlot].revents : 0;
        bool probing = probe && client->fBacklog > 0;
        if (!events && !probing && client->fPendingCancels.empty() && !client->fPendingCancelAll)
            continue;
        client->fHeld = true;
        state->fReady.push_back({client, events});
        state->fReady.back().fProbe = probing;
    }
    if (state->fReady.empty()) return now;
    Client* oldest = fInputBytes >= GetInputBudget() ? OldestGatherer() : nullptr;
    uint64 read = 0;
    fDispatcherPass = nullptr;
    {
        CL_AutoUnlocker unlock(fLock);
        uint32 reads = kReadsPerPassInAll / uint32(state->fReady.size());
        reads = std::clamp<uint32>(reads, 1, kReadsPerPass);
        for (ReadyClient& ready : state->fReady)
            Transfer(&ready, oldest, reads, &read, now);
    }
    fDispatcherPass = state;
    for (ReadyClient& ready : state->fReady) {
        ready.fClient->fHeld = false;
        if (!ready.fClient->fDead) AttendClient(ready, now);
    }
    return now;
}

// The poll entries of this pass: the wake-up event, then the clients that have
// something to read or to write.
void Impl::WatchClients(DispatcherState* state) {
    state->fPoll.clear();
    state->fPass++;
    state->fHurry = false;
    state->fPoll.push_back({fWakeFD, POLLIN, 0});
    Client* oldest = fInputBytes >= GetInputBudget() ? OldestGatherer() : nullptr;
    for (Client* client : fClientList) {
        if (!client->fPendingCancels.empty() || client->fPendingCancelAll) state->fHurry = true;
        short events = 0;
        if (MayRead(client, oldest, 0)) events |= POLLIN | POLLRDHUP;
        int fd;
        {
            // Under the client's lock, also while a worker holds it to write a reply:
            // watching the last pass's descriptor instead left fresh connects waiting
            // tens of milliseconds under the soak's peers.
            CL_AutoLocker lock(ClientLock(client));
            fd = client->fSocket->GetDescriptor();
            if (!client->fOutput.IsEmpty()) events |= POLLOUT;
        }
        // A descriptor closed after an error is found out by the next read or write;
        // a negative one is skipped by the wait. Hang-ups and errors are reported
        // whatever is asked.
        client->fWatchPass = state->fPass;
        client->fWatchSlot = uint32(state->fPoll.size());
        state->fPoll.push_back({fd, events, 0});
    }
}

// Whether to read from the client now: not while its queued requests, its unread
// replies or its waiting cancellations are too many, nor while the server's input
// (with what the `pending` bytes read and not yet taken apart may hold) is over its
// budget, except from `oldest` and from a client that holds no request there: what
// the others queue never stops its next one. While the unread replies of all clients
// near their budget, a client let in with a request waiting already sends no more: the
// request of a client that had none stays the latest, which a worker takes first once
// the budget allows. Nor does a client whose next request waits for the inflations
// under way: such requests would fill the input budget for everyone. A connection not
// yet let in has a budget of its own, kept as its requests come (AdmitHandshake). What
// it reads is the dispatcher's own or kept in atomics: it is asked with the server lock
// released too.
bool Impl::MayRead(Client* client, Client* oldest, uint64 pending) {
    if (client->fPendingCancels.size() >= kMaxPendingCancels) return false;
    if (client->fQueuedBytes >= Client::kMaxQueuedBytes || Backlogged(client)) return false;
    if (client->fQueuedBytes > 0 && client->fAuthorized && fOutputBytes > GetOutputBudget() / 2)
        return false;
    if (!InflationFits(client->fHeadReach)) return false;
    if (!client->fAuthorized) return true;
    return fInputBytes + pending < GetInputBudget() || client == oldest ||
           (client->fQueuedBytes == 0 && client->fGathers.Count() == 0);
}

bool Impl::HasUnreadInput(Client* client) {
    CL_AutoLocker lock(ClientLock(client));
    return client->fSocket->Pending(1);
}

// Over the budget, the input shrinks as workers take queued requests. Only while no
// worker can take any does a request being gathered go on, the oldest one, so that the
// input can always become a request for the workers: it cannot fill up with halves.
// Connections not yet let in count apart.
Impl::Client* Impl::OldestGatherer() {
    for (Client* client : fClientList)
        if (client->fAuthorized && client->fQueuedBytes > 0 && !Backlogged(client)) return nullptr;
    Client* oldest = nullptr;
    uint32 now = CL_GetTime();
    uint32 longest = 0;
    for (Client* client : fClientList) {
        if (!client->fAuthorized) continue;
        for (Incoming* request : client->fGathers)
            if (!oldest || CL_Elapsed(now, request->fStarted) > longest) {
                oldest = client;
                longest = CL_Elapsed(now, request->fStarted);
            }
    }
    return oldest;
}

// Until the periodic work is next due; a moment when a cancellation waits.
uint32 Impl::WaitStep(const DispatcherState* state, uint32 now) {
    if (state->fHurry) return DispatcherState::kBusyWaitStep;
    uint32 wait = DispatcherState::kIdleWaitStep;
    for (uint32 last : {state->fLastPing, state->fLastLoad, state->fLastProbe}) {
        uint32 elapsed = CL_Elapsed(now, last);
        uint32 left = elapsed >= DispatcherState::kIdleWaitStep
                          ? 0
                          : DispatcherState::kIdleWaitStep - elapsed;
        if (left < wait) wait = left;
    }
    return wait;
}

// A wake-up from now on writes the event again.
void Impl::DrainWakeUps() {
    uint64 count;
    ssize_t got = read(fWakeFD, &count, sizeof(count));
    (void)got;
    // Cleared only once the event is read: a wake-up that came in between is read with
    // it, or is seen by this pass. Cleared before the read, a wake-up written in between
    // was read away while the flag stayed set, and every later wake-up was skipped: the
    // dispatcher then woke only for other clients' traffic or its periodic step, and a
    // fresh connect under the soak's bulk peers waited 8 to 12 ms (p90 to p99).
    fWakePending = false;
}

// The socket work of a ready client, with the server lock released: what waits to be
// written, then reading, `reads` reads at most, while the limits allow with what this
// pass read so far (*read, as the most it may hold) counted in. Near the input budget
// and past it, a read takes no more than the rest of one chunk, which starts a request
// at most, and stops once a chunk is whole, so that all clients hold at most the budget
// and about a chunk each; the oldest gatherer reads on in full. The outcomes are acted
// on under the lock.
void Impl::Transfer(ReadyClient* ready, Client* oldest, uint32 reads, uint64* read, uint32 now) {
    Client* client = ready->fClient;
    if (ready->fProbe || (ready->fEvents & (POLLOUT | POLLERR | POLLHUP))) {
        ready->fBacklogged = Backlogged(client);
        CL_AutoLocker lock(ClientLock(client));
        ready->fWrite = ready->fProbe ? ProbeOutput(client, now) : WriteQueued(client, now);
    }
    if (ready->fWrite != CL_OK || !(ready->fEvents & (POLLIN | POLLRDHUP | POLLERR | POLLHUP)))
        return;
    CL_ChunkReader& reader = client->fReader;
    for (uint32 i = 0; i < reads; i++) {
        if (i > 0 && !MayRead(client, oldest, *read)) break;
        bool whole = !client->fAuthorized || client == oldest ||
                     fInputBytes + *read + Incoming::MostHeld(kReadSize) <= GetInputBudget();
        uint32 asked = whole ? kReadSize : reader.GetMissing();
        if (asked == 0) break;
        uint32 before = reader.GetHeld();
        {
            CL_AutoLocker lock(ClientLock(client));
            ready->fRead = reader.Read(*client->fSocket, whole ? kReadSize : 0);
        }
        uint32 got = reader.GetHeld() - before;
        *read += Incoming::MostHeld(got);
        if (ready->fRead != CL_OK || got < asked) break;
    }
}

// Under the server lock: cancellations that waited for the context, then the outcome
// of the write, then the chunks read. A read that failed cuts the client off once the
// chunks that came before it are taken: a peer that closed right after its last
// request is still answered if it listens.
void Impl::AttendClient(const ReadyClient& ready, uint32 now) {
    Client* client = ready.fClient;
    if (!client->fPendingCancels.empty() || client->fPendingCancelAll) RetryCancels(client);
    if (ready.fWrite != CL_OK) {
        KillWithLog(client, ready.fWrite);
        return;
    }
    // Its waiting requests may be served again, and wait for a worker from now on.
    if (ready.fBacklogged && !Backlogged(client)) {
        client->fWaitStartTime = now;
        HandOutWork();
    }
    if (!TakeChunks(client, now)) return;
    if (ready.fRead != CL_OK && ready.fRead != CL_TIMEOUT) {
        KillWithLog(client, ready.fRead);
        return;
    }
    if (client->fReader.GetHeld() == 0) {
        client->fPartial = false;
    } else if (!client->fPartial) {
        client->fPartial = true;
        client->fLastReadTime = now;
    }
}
