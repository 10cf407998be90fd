// The dispatcher's intake of one client's chunks: a request is gathered here chunk
// by chunk and queued for the workers only once whole, so that a client that sends
// slowly holds no worker; cancellations are acted on at once. Before its AUTH is
// granted a client may send only the handshake; a request over the size limit is
// refused at its first chunk. Bad headers and broken chunk sequences cut the client
// off with a log line.
#include <algorithm>
#include <vector>

#include "lumo/clock.h"
#include "lumo/net/countdown.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// What a connection may send before its AUTH is granted: the handshake and the
// cancels, each small.
bool AllowedBeforeAuth(const CL_PacketHeader& header) {
    switch (header.fType) {
        case CL_PACKET_TYPE_SERVER_INFO:
        case CL_PACKET_TYPE_AUTH:
        case CL_PACKET_TYPE_ABORT:
        case CL_PACKET_TYPE_ABORT_ALL:
            return header.fSize <= CL_SERVER_MAX_HANDSHAKE_REQUEST;
        default:
            return false;
    }
}

}  // namespace

// Takes every whole chunk the reader holds.
bool Impl::TakeChunks(Client* client, uint32 now) {
    for (;;) {
        CL_PacketHeader header;
        const uint8* payload = nullptr;
        uint32 size = 0;
        CL_Status status = client->fReader.Next(&header, &payload, &size);
        if (status == CL_WOULD_BLOCK) return true;
        if (status != CL_OK) {
            RejectHeader(client, header, status, now);
            return false;
        }
        client->fPartial = false;
        if (!TakeChunk(client, header, payload, size, now)) return false;
    }
}

// A cancellation is known by its type alone, first-chunk flag or not, and acted on at
// once; a chunk of a request is gathered.
bool Impl::TakeChunk(Client* client, const CL_PacketHeader& header, const uint8* payload,
                             uint32 size, uint32 now) {
    bool cancel =
        header.fType == CL_PACKET_TYPE_ABORT || header.fType == CL_PACKET_TYPE_ABORT_ALL;
    bool first = (header.fFlags & CL_IPC_FIRST_CHUNK) != 0;
    if ((first || cancel) && !client->fAuthorized && !AllowedBeforeAuth(header)) {
        RejectRequest(client);
        return false;
    }
    if (header.fType == CL_PACKET_TYPE_ABORT) {
        HandleAbort(client, header);
        return true;
    }
    if (header.fType == CL_PACKET_TYPE_ABORT_ALL) {
        if (!DropWaitingRequests(client, header)) return false;
        if (!CancelAllRequests(client)) client->fPendingCancelAll = true;
        return true;
    }
    if (!first) return ContinueIncoming(client, header, payload, size, now);
    return StartIncoming(client, header, payload, size, now);
}

// The first chunk of a request: the request is queued when it is whole, gathered
// otherwise. One over the size limit is queued at once, to be answered FAILED, and
// its bytes are dropped as they come.
bool Impl::StartIncoming(Client* client, const CL_PacketHeader& header,
                                 const uint8* payload, uint32 size, uint32 now) {
    uint32 sequence = header.fSequence;
    if (client->fGathers.Get(int32(sequence)) || client->fGathers.Count() >= kMaxGathers) {
        RejectRequest(client);
        return false;
    }
    fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Dispatcher] [%d] Il client ha dati in arrivo, spostato nella coda di attesa"),
        int(client->fID));
    Incoming* request = new Incoming();
    request->fHeader = header;
    request->fStarted = now;
    request->fLastChunk = now;
    if (header.fSize > fMaxRequestSize) {
        fServer.Log(CL_LOG_LEVEL_WARNING,
            T("[Dispatcher] [%d] Richiesta %u di %u byte oltre il limite di %u byte, rifiutata"),
            int(client->fID), sequence, header.fSize, fMaxRequestSize.load());
        request->fRefused = true;
        CountInput(request->Held());
        QueueIncoming(client, request, now);
        return true;
    }
    request->fLeft = header.fSize - size;
    // What one client gathers at once stays within one request of the largest size.
    if (request->fLeft > 0 && client->fGatheredBytes + size > fMaxRequestSize) {
        delete request;
        RejectRequest(client);
        return false;
    }
    if (!client->fAuthorized && !AdmitHandshake(client, request, now)) {
        delete request;
        return false;
    }
    if (size > 0) request->fInput = CL_Blob(payload, size, true);
    if (!request->fHandshake) CountInput(request->Held());
    if (request->fLeft == 0) {
        QueueIncoming(client, request, now);
        return true;
    }
    client->fGathers.Set(int32(sequence), request);
    client->fGatheredBytes += size;
    return true;
}

// A later chunk: it must continue its request exactly, with the same type and the
// size still to come. A later chunk of no request being gathered (of a request that
// was cancelled or refused, or of none at all) is dropped.
bool Impl::ContinueIncoming(Client* client, const CL_PacketHeader& header,
                                    const uint8* payload, uint32 size, uint32 now) {
    Incoming* request = client->fGathers.Get(int32(header.fSequence));
    if (!request) return true;
    if (header.fType != request->fHeader.fType || header.fSize != request->fLeft ||
        client->fGatheredBytes + size > fMaxRequestSize) {
        RejectRequest(client);
        return false;
    }
    request->fInput.Seek(0, CL_SEEK_END);
    if (size > 0 && request->fInput.Append(payload, size) != size) {
        KillWithLog(client, CL_OUT_OF_MEMORY);
        return false;
    }
    if (!request->fHandshake) CountInput(size);
    client->fGatheredBytes += size;
    request->fLeft -= size;
    request->fLastChunk = now;
    if (request->fLeft > 0) return true;
    client->fGathers.Remove(int32(header.fSequence));
    client->fGatheredBytes -= request->fInput.GetSize();
    QueueIncoming(client, request, now);
    return true;
}

// The whole request goes to the client's queue, and the client to the waiting list,
// where an idle worker takes it at once.
void Impl::QueueIncoming(Client* client, Incoming* request, uint32 now) {
    request->fInput.Seek(0, CL_SEEK_SET);
    request->fLastChunk = now;
    {
        CL_AutoLocker lock(ClientLock(client));
        client->QueueRequest(request);
    }
    client->fWaitStartTime = now;
    ListWaiting(client);
    HandOutWork();
}

// A connection not yet let in has its requests counted at their announced size, from
// the first chunk on, in a budget of their own, which never holds back the reading of
// clients let in. Past it the newest gathers are refused: the connection is closed. A
// connection that holds no other request may still start one: one that comes whole
// always goes, so that a handshake made step by step gets through, and room is made
// for one of several chunks (an AUTH with large options) when closing gatherers can
// make it.
bool Impl::AdmitHandshake(Client* client, Incoming* request, uint32 now) {
    uint32 size = request->fHeader.fSize;
    bool alone;
    {
        CL_AutoLocker lock(ClientLock(client));
        alone = client->fGathers.Count() == 0 && !client->HasRequest();
    }
    if (fHandshakeBytes + size > kHandshakeBudget &&
        !(alone && (request->fLeft == 0 || MakeHandshakeRoom(size, now)))) {
        fServer.Log(CL_LOG_LEVEL_WARNING,
            T("[Dispatcher] [%d] Richiesta %u di %u byte di un client non autorizzato oltre il "
              "limite di %u byte dei client non autorizzati, connessione chiusa"),
            int(client->fID), request->fHeader.fSequence, size, uint32(kHandshakeBudget));
        KillClient(client);
        return false;
    }
    fHandshakeBytes += size;
    request->fHandshake = true;
    return true;
}

// Closes connections not yet let in that are gathering, those holding the most of the
// budget first and of equals the one whose gather has waited longest, until `size`
// bytes fit; none when all of them could not make the room. A connection with a
// request that has arrived whole, or one being served, is never closed for this. What
// the closed ones held leaves the count at once.
bool Impl::MakeHandshakeRoom(uint32 size, uint32 now) {
    struct Holder {
        Client* fClient;
        uint64 fHeld;
        uint32 fWaited;
    };
    std::vector<Holder> holders;
    for (Client* client : fClientList) {
        if (client->fAuthorized || client->fBusyCount > 0 || client->fGathers.Count() == 0)
            continue;
        {
            CL_AutoLocker lock(ClientLock(client));
            if (client->HasRequest()) continue;
        }
        Holder holder = {client, 0, 0};
        for (Incoming* request : client->fGathers) {
            holder.fHeld += request->fHeader.fSize;
            holder.fWaited = std::max(holder.fWaited, CL_Elapsed(now, request->fLastChunk));
        }
        holders.push_back(holder);
    }
    // Accept order breaks the remaining ties.
    std::stable_sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) {
        return a.fHeld != b.fHeld ? a.fHeld > b.fHeld : a.fWaited > b.fWaited;
    });
    uint64 need = fHandshakeBytes + size - kHandshakeBudget, freed = 0;
    size_t closing = 0;
    while (freed < need && closing < holders.size())
        freed += holders[closing++].fHeld;
    if (freed < need) return false;
    for (size_t i = 0; i < closing; i++) {
        fServer.Log(CL_LOG_LEVEL_WARNING,
            T("[Dispatcher] [%d] Client non autorizzato con %u byte in arrivo, connessione "
              "chiusa per far posto a un altro"),
            int(holders[i].fClient->fID), uint32(holders[i].fHeld));
        KillClient(holders[i].fClient);
        DropInput(holders[i].fClient);
    }
    return true;
}

void Impl::CountInput(uint64 bytes) {
    if ((fInputBytes += bytes) >= kTrimAfter && !fInputPeaked) fInputPeaked = true;
}

bool Impl::ReleaseInput(const Incoming& request) {
    if (request.fHandshake) {
        fHandshakeBytes -= request.fHeader.fSize;
        return false;
    }
    return fInputBytes.fetch_sub(request.Held()) >= GetInputBudget();
}

void Impl::DropGather(Client* client, uint32 sequence) {
    Incoming* request = client->fGathers.Get(int32(sequence));
    if (!request) return;
    client->fGathers.Remove(int32(sequence));
    client->fGatheredBytes -= request->fInput.GetSize();
    ReleaseInput(*request);
    delete request;
}

void Impl::RejectHeader(Client* client, const CL_PacketHeader& header, CL_Status check,
                                uint32 now) {
    if (check == CL_PROTOCOL_NOT_SUPPORTED) {
        uint32 version = header.fVersion;
        fServer.Log(CL_LOG_LEVEL_ERROR,
            T("[Dispatcher] [%d] Ricevuta richiesta con versione del protocollo di "
              "comunicazione non supportata (%d.%d.%d)"),
            int(client->fID), CL_VersionMajor(version), CL_VersionMinor(version),
            CL_VersionPatch(version));
    } else {
        fServer.Log(CL_LOG_LEVEL_ERROR, T("[Dispatcher] [%d] Ricevuta una richiesta non valida"),
            int(client->fID));
    }
    // A client that stalled in the middle of a chunk is cut off for that.
    if (client->fPartial && CL_Elapsed(now, client->fLastReadTime) > fTimeOut)
        KillWithLog(client, CL_TIMEOUT);
    else
        KillWithLog(client, CL_IPC_BAD_REQUEST);
}

// A chunk the connection may not send: a request before the AUTH is granted, or a
// chunk that breaks its request's sequence.
void Impl::RejectRequest(Client* client) {
    fServer.Log(CL_LOG_LEVEL_ERROR, T("[Dispatcher] [%d] Ricevuta una richiesta non valida"),
        int(client->fID));
    KillWithLog(client, CL_IPC_BAD_REQUEST);
}

// A request still gathered or waiting for a worker is dropped and the dispatcher
// answers the ABORT itself, echoing its arguments; no callback runs. One under way is
// cancelled in its record.
void Impl::HandleAbort(Client* client, const CL_PacketHeader& abort) {
    uint32 sequence = abort.fSequence;
    Incoming* dropped = nullptr;
    bool gathered = client->fGathers.Get(int32(sequence)) != nullptr;
    if (gathered) DropGather(client, sequence);
    CL_Status status = CL_OK;
    bool idle = false;
    {
        CL_AutoLocker lock(ClientLock(client));
        if (!gathered) dropped = client->TakeRequest(sequence);
        idle = !client->HasRequest();
        if (gathered || dropped) {
            bool queued = false;
            status = Post(client, AbortReply(abort), &queued);
        }
    }
    if (dropped) {
        ReleaseInput(*dropped);
        delete dropped;
        // With nothing left to do for the client, its waiting entry would only wake a
        // worker for nothing.
        if (idle && client->fBusyCount == 0) UnlistWaiting(client);
    }
    if (status != CL_OK) {
        KillWithLog(client, status);
        return;
    }
    if (!gathered && !dropped && !CancelRunningRequest(client, sequence))
        client->fPendingCancels.push_back(sequence);
}

// The request is under way: its record is marked and the abort callback runs with the
// context unlocked; the worker sends the ABORT reply when the callback returns. False
// when the context is busy: the cancellation waits for a later pass, as the
// dispatcher never waits for a worker or the application.
bool Impl::CancelRunningRequest(Client* client, uint32 sequence) {
    if (!client->TryLockContext()) return false;
    bool cancel = !client->fContext->HasAborted(sequence);
    if (cancel) client->fContext->SetAborted(sequence, true);
    client->fContext->Unlock();
    CL_AbortCB abort = fServer.GetCallbacks().fAbort;
    if (cancel && abort) abort(client->fContext.get(), sequence);
    return true;
}

// ABORT_ALL: every record of the context is marked, and the abort callback runs for
// each with the context locked. False when the context is busy.
bool Impl::CancelAllRequests(Client* client) {
    if (!client->TryLockContext()) return false;
    client->fContext->AbortAll(fServer.GetCallbacks().fAbort);
    client->fContext->Unlock();
    return true;
}

// ABORT_ALL, for the requests no worker has taken: each one still gathered or queued
// is dropped and answered ABORT by the dispatcher, as a single ABORT would be, echoing
// the ABORT_ALL's arguments; no callback runs. The answers go out in one write, the
// queued requests' first, in their order. Requests that come later are not touched.
// False when the client was killed.
bool Impl::DropWaitingRequests(Client* client, const CL_PacketHeader& abortAll) {
    std::vector<Incoming*> dropped;
    CL_Status status = CL_OK;
    {
        CL_AutoLocker lock(ClientLock(client));
        while (Incoming* request = client->TakeRequest())
            dropped.push_back(request);
        for (Incoming* request : client->fGathers)
            dropped.push_back(request);
        CL_Blob wire;
        CL_PacketHeader answered = abortAll;
        for (Incoming* request : dropped) {
            answered.fSequence = request->fHeader.fSequence;
            wire.Seek(0, CL_SEEK_END);
            wire.Append(AbortReply(answered));
        }
        bool queued = false;
        if (wire.GetSize() > 0) status = Post(client, wire, &queued);
    }
    client->fGathers.Clear();
    client->fGatheredBytes = 0;
    for (Incoming* request : dropped) {
        ReleaseInput(*request);
        delete request;
    }
    if (!dropped.empty() && client->fBusyCount == 0) UnlistWaiting(client);
    if (status == CL_OK) return true;
    KillWithLog(client, status);
    return false;
}

void Impl::RetryCancels(Client* client) {
    if (client->fPendingCancelAll && CancelAllRequests(client)) client->fPendingCancelAll = false;
    while (!client->fPendingCancels.empty() &&
           CancelRunningRequest(client, client->fPendingCancels.front()))
        client->fPendingCancels.erase(client->fPendingCancels.begin());
}

// Logs the cause by its code and kills the client.
void Impl::KillWithLog(Client* client, CL_Status code) {
    int id = int(client->fID);
    switch (code) {
        case CL_NOT_CONNECTED:
            fServer.Log(CL_LOG_LEVEL_WARNING, T("[Dispatcher] [%d] Il client non è più connesso"), id);
            break;
        case CL_CONNECTION_LOST:
            fServer.Log(CL_LOG_LEVEL_INFO, T("[Dispatcher] [%d] Il client ha chiuso la connessione"), id);
            break;
        case CL_TIMEOUT:
            fServer.Log(CL_LOG_LEVEL_INFO,
                T("[Dispatcher] [%d] Client disconnesso a causa di tempo scaduto sulla "
                  "connessione"),
                id);
            break;
        default:
            fServer.Log(CL_LOG_LEVEL_ERROR,
                T("[Dispatcher] [%d] Il client ha riportato l'errore %d su operazione di I/O, "
                  "connessione terminata"),
                id, int(code));
            break;
    }
    KillClient(client);
}
