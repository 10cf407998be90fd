// The dispatcher's periodic work after each pass over the clients: sweeping closed,
// starved and overdue clients and, while the unread replies of all clients are over
// their budget or past their cap, those whose replies take no bytes, or too few; sizing
// the worker pool to the load, handing work to idle workers, and the progress PINGs of
// the requests being worked on or waiting to be started.
#include <algorithm>
#include <cmath>
#include <vector>

#include "lumo/clock.h"
#include "lumo/net/countdown.h"
#include "lumo/net/server_log.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

constexpr uint32 kSweepInterval = 60000;
constexpr uint32 kWaitingLimit = 120000;
constexpr uint32 kLoadInterval = 100;
constexpr uint32 kPingInterval = 100;
constexpr double kMaxLoad = 24.0;
// Over the output budget, a client whose replies the socket took no bytes of for this
// long is cut off, the one holding the most first; past the cap also, after this
// shorter while, one whose peer has not been seen to read them (Output::PeerReads), or,
// once the cap has been passed for kCapOverdue, one whose peer could not read what it
// holds within the time-out at its pace: a peer that reads is judged by its pace, not
// by the steps or bursts its socket takes bytes in.
constexpr uint32 kStuckOutput = 2000;
constexpr uint32 kStuckPastCap = 500;
constexpr uint32 kCapOverdue = 2000;
// One pass's PINGs of a client's waiting requests, in bytes (2048 PINGs without a
// message). A peer may queue many thousands of empty requests; any PING is news of
// the connection to the client library, which restarts every outstanding request's
// wait on it, so the front of the queue speaks for the rest. Measured with 20,000
// empty requests queued behind a long one by a peer that reads everything: a PING and
// a write for each, every pass, let another client through 0 to 5 echoes in 2.5 s;
// these batches, about 1,300 a second, its slowest 5 to 9 ms.
constexpr uint32 kMaxPingBatch = 64u << 10;

// Appends a PING for `sequence` to `wire`.
void AppendPing(uint32 sequence, double completeness, const std::string* message,
                CL_Blob* wire) {
    CL_PacketHeader header;
    CL_Blob payload;
    // The encoder clamps the completeness to 0..100 and maps unknown to 65535.
    CL_MakePing(&header, &payload, sequence, completeness, message);
    CL_BuildPacket(header, payload, wire);
}

}  // namespace

void Impl::PeriodicWork(uint32 now, DispatcherState* state) {
    if (CL_Elapsed(now, state->fLastSweep) >= kSweepInterval) {
        state->fLastSweep = now;
        SweepClosedClients();
    }
    KillStarvedClients(now);
    KillOverdueClients(now);
    DropStuckOutputs(now, state);
    if (CL_Elapsed(now, state->fLastLoad) >= kLoadInterval) {
        state->fLastLoad = now;
        AdjustLoad();
        // Lines held back are reported soon after their flood, however quiet the
        // server is then.
        CL_LogLimiter::Report(fServer);
    }
    HandOutWork();
    if (CL_Elapsed(now, state->fLastPing) >= kPingInterval) {
        state->fLastPing = now;
        QueuePings(now);
    }
}

void Impl::SweepClosedClients() {
    for (ClientList::iterator it = fClientList.begin(); it != fClientList.end(); ++it) {
        Client* client = *it;
        bool closed;
        {
            CL_AutoLocker lock(ClientLock(client));
            closed = client->fSocket->PeerClosed();
        }
        if (closed) KillClient(client);
    }
}

// Only a client that no worker is serving can be starved; one whose worker is busy
// with a long request has its next request queued behind it, one whose replies wait
// to be read waits for itself (its output has a time-out of its own), and one held
// back by the others' unread replies waits for them. One held back past the cap
// without unread replies of its own gets its turn among such clients.
void Impl::KillStarvedClients(uint32 now) {
    CL_Array<Client*> starved;
    for (Client* client : fWaitingList) {
        if (OutputHeld(client)) {
            client->fWaitStartTime = now;
            if (client->fBacklog == 0 && client->fHeldTurn == 0) client->fHeldTurn = ++fHeldTurns;
        }
        if (client->fBusyCount == 0 && !Backlogged(client) &&
            CL_Elapsed(now, client->fWaitStartTime) > kWaitingLimit && !starved.Exists(client))
            starved.Append(client);
    }
    for (uint32 i = 0; i < starved.Count(); i++)
        if (fClientList.Exists(starved.Get(i))) KillClient(starved.Get(i));
}

// A client is cut off, with the time-out line, when part of a chunk has been pending,
// a request's next chunk has been awaited, or its output has not moved, for longer
// than the server time-out. While the server itself does not read what a client sent
// (its limits hold it back) the client's input is not late: its clocks start again.
// A peer that sent nothing is silent, however little the server reads.
void Impl::KillOverdueClients(uint32 now) {
    Client* oldest = fInputBytes >= GetInputBudget() ? OldestGatherer() : nullptr;
    for (ClientList::iterator it = fClientList.begin(); it != fClientList.end(); ++it) {
        Client* client = *it;
        bool timed = client->fPartial || client->fGathers.Count() > 0;
        if (timed && !MayRead(client, oldest, 0) && HasUnreadInput(client)) {
            client->fLastReadTime = now;
            for (Incoming* request : client->fGathers)
                request->fLastChunk = now;
        }
        if (Overdue(client, now) != CL_OK) KillWithLog(client, CL_TIMEOUT);
    }
}

CL_Status Impl::Overdue(Client* client, uint32 now) {
    uint32 limit = fTimeOut;
    if (client->fPartial && CL_Elapsed(now, client->fLastReadTime) > limit) return CL_TIMEOUT;
    for (Incoming* request : client->fGathers)
        if (CL_Elapsed(now, request->fLastChunk) > limit) return CL_TIMEOUT;
    if (client->fBacklog == 0) return CL_OK;
    CL_AutoLocker lock(ClientLock(client));
    return client->fOutput.IsOverdue(now, limit) ? CL_TIMEOUT : CL_OK;
}

// A reply already made cannot be unmade: over the budget, or past the cap, clients
// whose replies take no bytes, or past the cap for long too few, are cut off until the
// replies of the rest are within it (ChooseCuts). The bytes of clients already cut off
// are not the rest's: they go once freed.
void Impl::DropStuckOutputs(uint32 now, DispatcherState* state) {
    uint64 live = fLiveOutput;
    uint64 cap = GetOutputCap();
    if (live <= cap) {
        state->fOverCap = false;
    } else if (!state->fOverCap) {
        state->fOverCap = true;
        state->fOverCapSince = now;
    }
    if (live <= GetOutputBudget()) return;
    std::vector<PendingOutput> outputs;
    for (Client* client : fClientList) {
        if (client->fBacklog == 0) continue;
        CL_AutoLocker lock(ClientLock(client));
        uint64 bytes = client->fOutput.GetBytes();
        uint64 pace = PendingOutput::kNoPace;
        client->fOutput.GetPace(&pace);
        if (bytes > 0)
            outputs.push_back({client, bytes, client->fOutput.IdleFor(now), pace, false,
                               client->fOutput.PeerReads()});
    }
    bool capOverdue = state->fOverCap && CL_Elapsed(now, state->fOverCapSince) >= kCapOverdue;
    ChooseCuts(&outputs, live, GetOutputBudget(), cap, capOverdue, fTimeOut);
    for (const PendingOutput& output : outputs) {
        if (!output.fCut) continue;
        if (!output.fPastCap) {
            KillWithLog(output.fClient, CL_TIMEOUT);
            continue;
        }
        // Not a silence: its unread replies were among those past the cap.
        fServer.Log(CL_LOG_LEVEL_INFO,
            T("[Dispatcher] [%d] Client disconnesso a causa delle risposte non lette oltre il "
              "limite"),
            int(output.fClient->fID));
        KillClient(output.fClient);
    }
}

// The largest first: past the cap, those whose peers have not been seen to read, after
// a short while; past the cap or over the budget, those whose sockets have taken nothing
// for longer; each rule only as far as it needs. Once the cap is overdue, and only while
// the rest is still past it, those whose peers would take longer than the time-out to
// read what they hold, the longest first: a peer that keeps up is never cut for the
// others' replies, however much it holds, nor for pauses shorter than the longer idle
// time.
void Impl::ChooseCuts(std::vector<PendingOutput>* outputs, uint64 live, uint64 budget, uint64 cap,
                      bool capOverdue, uint32 timeOut) {
    std::sort(outputs->begin(), outputs->end(),
              [](const PendingOutput& a, const PendingOutput& b) { return a.fBytes > b.fBytes; });
    auto cut = [&live, cap](PendingOutput& output) {
        output.fCut = true;
        output.fPastCap = live > cap;
        live = output.fBytes < live ? live - output.fBytes : 0;
    };
    for (PendingOutput& output : *outputs)
        if ((live > cap && !output.fPeerReads && output.fIdle >= kStuckPastCap) ||
            (live > budget && output.fIdle >= kStuckOutput))
            cut(output);
    if (!capOverdue) return;
    // Milliseconds the peer would take to read what it holds; none without a pace.
    auto finish = [](const PendingOutput& output) {
        if (output.fPace == PendingOutput::kNoPace) return 0.0;
        return output.fPace ? double(output.fBytes) * 1000 / double(output.fPace) : HUGE_VAL;
    };
    std::vector<PendingOutput*> slow;
    for (PendingOutput& output : *outputs)
        if (!output.fCut && finish(output) > timeOut) slow.push_back(&output);
    std::sort(slow.begin(), slow.end(), [&finish](const PendingOutput* a, const PendingOutput* b) {
        return finish(*a) > finish(*b);
    });
    for (PendingOutput* output : slow)
        if (live > cap) cut(*output);
}

// The smoothed load counts the dispatcher's own pass. A worker more is started under
// load; when the load falls, a broadcast lets an idle worker retire by its own rule.
void Impl::AdjustLoad() {
    fLoad = fBusyCount.Get() * 0.01 + 0.99 * fLoad;
    if (fLoad > kMaxLoad) fLoad = kMaxLoad;
    int32 n = int32(fWorkerList.Count());
    if (n < int32(fLoad + 1.5)) {
        if (n < int32(CL_SERVER_MAX_WORKERS)) {
            fServer.Log(CL_LOG_LEVEL_DEBUG,
                T("[Dispatcher] Lanciato nuovo worker thread in risposta al carico sul server "
                  "(%f)"),
                fLoad);
            Worker* worker = SpawnWorker(false);
            if (worker) fWorkerList.Append(worker);
        } else {
            fServer.Log(CL_LOG_LEVEL_DEBUG,
                T("[Dispatcher] Impossibile lanciare un nuovo worker thread in risposta al carico "
                  "sul server, limite massimo di thread raggiunto"));
        }
    } else if (int32(fLoad + 6.0) < n) {
        fServer.Log(CL_LOG_LEVEL_DEBUG,
            T("[Dispatcher] Lascio terminare un worker thread, il server non è più sotto carico "
              "(%f)"),
            fLoad);
        WakeIdleWorkers();
    }
}

// A PING for every request being worked on whose record is not cancelled, for the
// clients whose context no worker holds, and for every request that has waited a
// while to be started. The lines are logged once the client's locks are released.
void Impl::QueuePings(uint32 now) {
    if (!fRun) return;
    CL_Array<double> reported;
    for (ClientList::iterator it = fClientList.begin(); it != fClientList.end(); ++it) {
        Client* client = *it;
        CL_Status status = CL_OK;
        reported.Clear();
        if (client->TryLockContext()) {
            status = QueueClientPings(client, &reported);
            client->fContext->Unlock();
        }
        if (status == CL_OK) {
            CL_AutoLocker lock(ClientLock(client));
            status = QueueWaitingPings(client, now);
        }
        for (uint32 i = 0; i < reported.Count(); i++)
            fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                        T("[Dispatcher] [%d] Il server sta ancora eseguendo la richiesta "
                          "(%3.1f%% completata), inoltro un messaggio di ping"),
                        int(client->fID), reported.Get(i));
        if (status != CL_OK) KillWithLog(client, status);
    }
}

// The PINGs of the requests being worked on: each carries the progress message only
// when that changed since the last one.
CL_Status Impl::QueueClientPings(Client* client, CL_Array<double>* reported) {
    CL_AutoLocker lock(ClientLock(client));
    for (Request* request : client->fExecutingRequests) {
        if (client->fContext->HasAborted(request->fID)) continue;
        double completeness = -1.0;
        std::string message;
        client->fContext->GetProgress(request->fID, &completeness, &message);
        if (message.size() > CL_IPC_MAX_PING_MESSAGE) message.resize(CL_IPC_MAX_PING_MESSAGE);
        bool changed = message != request->fProgressMessage;
        if (changed) request->fProgressMessage = message;
        reported->Append(completeness);
        CL_Status status = QueuePing(client, request->fID, completeness, changed ? &message : nullptr);
        if (status != CL_OK) return status;
    }
    return CL_OK;
}

// A request waiting to be started (for a worker, or while the server's unread replies
// are over their budget) is as good as under way to its client: PINGs of unknown
// progress keep its wait alive. Not while the client's own replies wait: the PINGs
// would only wait behind them. The pass's PINGs go out together, in one write, from
// the front of the queue.
CL_Status Impl::QueueWaitingPings(Client* client, uint32 now) {
    if (!client->fOutput.IsEmpty()) return CL_OK;
    CL_Blob wire;
    for (Incoming* request : client->fQueuedRequests) {
        if (wire.GetSize() >= kMaxPingBatch) break;
        // Queued in order: the ones behind came later still.
        if (CL_Elapsed(now, request->fLastChunk) < kPingInterval) break;
        AppendPing(request->fHeader.fSequence, -1.0, nullptr, &wire);
    }
    if (wire.GetSize() == 0) return CL_OK;
    bool queued = false;
    return Post(client, wire, &queued);
}

// Sends the PING, or queues it behind what waits.
CL_Status Impl::QueuePing(Client* client, uint32 sequence, double completeness,
                          const std::string* message) {
    CL_Blob wire;
    AppendPing(sequence, completeness, message, &wire);
    bool queued = false;
    return Post(client, wire, &queued);
}
