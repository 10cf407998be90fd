// Serving one request of a client on a worker: the whole request is taken from the
// client's queue; SERVER_INFO and DATA requests are answered here (DATA through the
// execute callback), AUTH in tcp_server_auth.cpp, a request over the size limit with
// FAILED; the reply goes out as far as the socket takes it at once, the rest through
// the dispatcher.
#include "lumo/clock.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

Impl::ServeResult Impl::ServeRequest(Worker* worker, Client* client,
                                                     CL_Status* error) {
    // Once the request and its reply are freed, their memory goes back if the input has
    // fallen to nothing.
    struct GiveBackAtEnd {
        Impl* fServer;
        ~GiveBackAtEnd() { fServer->GiveBack(0); }
    } giveBack{this};
    Exchange x(worker, client);
    if (!TakeRequest(x)) return kServeNone;
    struct InflationEnd {
        Impl* fServer;
        Exchange& fExchange;
        ~InflationEnd() { fServer->EndInflation(fExchange); }
    } inflationEnd{this, x};
    fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] [%d:%d] Intestazione della richiesta corretta; la richiesta ha dati di "
          "dimensione %d"),
        int(worker->fID), int(client->fID), int(x.fSequence), int(x.fInput.GetSize()));
    if (!x.fAborted) AnswerRequest(x);
    CL_Status status = SendReply(x);
    if (status == CL_OK) return kServeDone;
    *error = status;
    return kServeWriteError;
}

// Takes the client's oldest queued request and starts it: false when there is none, or
// when the inflations under way leave no room for what it may inflate to.
// The request is executing from here on, so PINGs about it start at once. The context
// is locked first, as everywhere: the dispatcher then sees the request either queued
// or started, never in between.
bool Impl::TakeRequest(Exchange& x) {
    Client* client = x.fClient;
    Incoming* request;
    bool resume;
    {
        CL_AutoLocker context(ContextLock(client));
        CL_AutoLocker lock(ClientLock(client));
        uint64 queued = client->fQueuedBytes;
        request = client->PeekRequest();
        if (!request) return false;
        x.fInflateReach = InflateReach(*request);
        if (!ReserveInflation(x.fInflateReach)) {
            x.fInflateReach = 0;
            return false;
        }
        client->TakeRequest();
        x.fHeader = request->fHeader;
        x.fSequence = x.fHeader.fSequence;
        x.fRequest = new Request(x.fSequence, x.fWorker);
        client->fContext->StartRequest(x.fSequence);
        client->fExecutingRequests.Set(int32(x.fSequence), x.fRequest);
        // The dispatcher reads less, or nothing, over these limits: it may read on now.
        // Past half the output budget a client with a request waiting is not read; one
        // that waits for its reply sends its next request at once, which would otherwise
        // wait for the dispatcher's periodic step.
        resume = ReleaseInput(*request) ||
                 (queued >= Client::kMaxQueuedBytes &&
                  client->fQueuedBytes < Client::kMaxQueuedBytes) ||
                 (client->fQueuedBytes == 0 && fOutputBytes > GetOutputBudget() / 2);
    }
    x.fInput = request->fInput;
    x.fRefused = request->fRefused;
    delete request;
    x.fInput.Seek(0, CL_SEEK_SET);
    if (resume) WakeDispatcher();
    return true;
}

void Impl::AnswerRequest(Exchange& x) {
    if (x.fRefused) {
        x.fHasReply = Fail(x);
        return;
    }
    switch (x.fHeader.fType) {
        case CL_PACKET_TYPE_AUTH:
            x.fHasReply = Authorize(x);
            break;
        case CL_PACKET_TYPE_SERVER_INFO:
            fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                T("[Worker %d] [%d:%d] Ricevuta richiesta di informazioni sul server"),
                int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
            CL_MakeServerInfoReply(x.fHeader, fID.load(), &x.fReply);
            x.fHasReply = true;
            break;
        case CL_PACKET_TYPE_DATA:
            x.fHasReply = Execute(x);
            break;
        default:
            fServer.Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d:%d] Ricevuta richiesta sconosciuta"),
                int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
            break;
    }
}

// The FAILED reply with an empty payload, for a request the server will not run.
bool Impl::Fail(Exchange& x) {
    fServer.Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"),
        int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
    x.fOutput.Clear();
    CL_MakeReply(x.fHeader, CL_PACKET_TYPE_FAILED, fServer.GetFlags(), &x.fReply);
    CL_EncodePayload(&x.fReply, x.fOutput, fServer.GetFlags(), x.fClient->fContext->GetCipher(), true);
    return true;
}

// A DATA request: false when it gets no reply (its input is not valid). A connection
// that was never let in gets no service at all; a compressed payload is inflated only
// on a connection granted compression, within the budget of bytes being inflated, and
// never past the request limit.
bool Impl::Execute(Exchange& x) {
    int w = int(x.fWorker->fID);
    int c = int(x.fClient->fID);
    int n = int(x.fSequence);
    CL_Cipher* cipher = x.fClient->fContext->GetCipher();
    x.fOutput.Clear();
    if (!x.fClient->fAuthorized) return Fail(x);
    if ((x.fHeader.fFlags & CL_IPC_COMPRESS) && !(fServer.GetFlags() & CL_IPC_COMPRESS))
        return Fail(x);
    CL_Status decoded = CL_DecodePayload(x.fHeader, x.fInput, cipher, fMaxRequestSize);
    EndInflation(x);
    if (decoded == CL_OUT_OF_MEMORY) return Fail(x);
    if (decoded != CL_OK) {
        fServer.Log(CL_LOG_LEVEL_ERROR,
            T("[Worker %d] [%d:%d] Ricevuta richiesta di esecuzione, ma i dati in ingresso non "
              "sono validi"),
            w, c, n);
        return false;
    }
    fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] [%d:%d] Ricevuta richiesta di esecuzione (comando %04d)"), w, c, n,
        int(x.fHeader.fData.fCommand));
    if (x.fClient->fContext->HasAborted(x.fSequence)) {
        x.fAborted = true;
        return true;
    }
    CL_PacketType type = RunCommand(x);
    if (x.fAborted) return true;
    CL_MakeReply(x.fHeader, type, fServer.GetFlags(), &x.fReply);
    x.fOutput.Seek(0, CL_SEEK_SET);
    CL_EncodePayload(&x.fReply, x.fOutput, fServer.GetFlags(), cipher, true);
    return true;
}

// Runs the execute callback on this thread: the reply type its result calls for.
// A request cancelled meanwhile is marked in x.fAborted.
CL_PacketType Impl::RunCommand(Exchange& x) {
    int w = int(x.fWorker->fID);
    int c = int(x.fClient->fID);
    int n = int(x.fSequence);
    CL_Command command = x.fHeader.fData.fCommand;
    CL_ClientContext* context = x.fClient->fContext.get();
    CL_ExecuteCB execute = fServer.GetCallbacks().fExecute;
    if (!execute) {
        fServer.Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"), w, c,
            n);
        return CL_PACKET_TYPE_FAILED;
    }
    x.fInput.Seek(0, CL_SEEK_SET);
    CL_Status result = execute(command, x.fInput, x.fOutput, context, x.fSequence);
    if (result == CL_IPC_DONT_COUNT) {
        result = 0;
        x.fCounted = false;
    }
    ApplyPinRequest(x.fWorker, x.fClient);
    if (context->HasAborted(x.fSequence)) {
        x.fAborted = true;
        return CL_PACKET_TYPE_FAILED;
    }
    if (result == CL_OK) {
        fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
            T("[Worker %d] [%d:%d] Richiesta di esecuzione completata con successo"), w, c, n);
        return CL_PACKET_TYPE_DATA;
    }
    fServer.Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"), w, c, n);
    fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Esecuzione comando %d fallita con errore %d"), w,
        c, n, int(command), int(result));
    return CL_PACKET_TYPE_FAILED;
}

// The pin request the execute callback left on this thread binds the client to this
// worker, or unbinds it.
void Impl::ApplyPinRequest(Worker* worker, Client* client) {
    CL_ClientContext* context = client->fContext.get();
    uint32 pin = context->GetPinToThread();
    if (!(pin & _PINNED_TO_THREAD)) return;
    context->ClearPinToThread();
    if (pin & ~_PINNED_TO_THREAD) {
        {
            CL_AutoLocker lock(fLock);
            client->fPinnedWorker = worker;
            worker->fPinnedClient = client;
        }
        fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Client %d legato al thread"), int(worker->fID),
            int(client->fID));
    } else {
        {
            CL_AutoLocker lock(fLock);
            client->fPinnedWorker = nullptr;
            if (worker->fPinnedClient == client) worker->fPinnedClient = nullptr;
            context->SetPinnedThread(0);
            context->SetPinToThread(0);
        }
        fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Client %d slegato dal thread"), int(worker->fID),
            int(client->fID));
    }
}

// Writes the answer, an ABORT reply when the request was cancelled, then ends the
// request. The reply goes out whole or not at all under the client's lock, so nothing
// lands between its chunks; what the socket does not take at once the dispatcher
// writes later. The status of the write.
CL_Status Impl::SendReply(Exchange& x) {
    Client* client = x.fClient;
    // Built before the locks: a large reply takes a while to copy.
    std::vector<CL_Blob> wire;
    if (x.fHasReply && !x.fAborted) wire = ReplyWire(x.fReply, x.fSequence, x.fOutput);
    bool queued = false;
    CL_Status status = PostReply(x, wire, &queued);
    if (x.fAborted)
        fServer.Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Operazione annullata dall'utente"),
            int(x.fWorker->fID), int(client->fID), int(x.fSequence));
    else if (x.fHasReply)
        fServer.Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
            T("[Worker %d] [%d:%d] Inoltro risposta con dati di dimensione %d"),
            int(x.fWorker->fID), int(client->fID), int(x.fSequence), int(x.fOutput.GetSize()));
    // The dispatcher writes the rest once the socket takes more.
    if (queued) WakeDispatcher();
    return status;
}

// The request leaves the executing ones and becomes an ABORT reply if it was cancelled
// meanwhile (also one that would have had no reply), and ends; then the reply goes out
// or into the output, all its parts under one hold of the client's lock. The context
// is locked first, as everywhere; only the client's lock is held for the write.
CL_Status Impl::PostReply(Exchange& x, const std::vector<CL_Blob>& wire, bool* queued) {
    Client* client = x.fClient;
    {
        CL_AutoLocker context(ContextLock(client));
        {
            CL_AutoLocker lock(ClientLock(client));
            client->fExecutingRequests.Remove(int32(x.fSequence));
        }
        if (!x.fAborted && client->fContext->HasAborted(x.fSequence)) x.fAborted = true;
        delete x.fRequest;
        x.fRequest = nullptr;
        client->fContext->EndRequest(x.fSequence, x.fCounted);
    }
    if (!x.fAborted && !x.fHasReply) return CL_OK;
    CL_AutoLocker lock(ClientLock(client));
    if (x.fAborted) return Post(client, AbortReply(x.fHeader), queued);
    return Post(client, wire, queued);
}

// Every reply goes out as the protocol's current version, for the request it answers.
std::vector<CL_Blob> Impl::ReplyWire(const CL_PacketHeader& reply, uint32 sequence,
                                     const CL_Blob& payload) {
    CL_PacketHeader header = reply;
    header.fMagic = CL_IPC_MAGIC;
    header.fVersion = CL_IPC_VERSION;
    header.fSequence = sequence;
    return WireParts(header, payload);
}

// The ABORT reply, whoever sends it: the cancelled request's sequence and the
// arguments of the packet it answers (the request, or the client's ABORT), an empty
// payload and its checksum, 0.
CL_Blob Impl::AbortReply(const CL_PacketHeader& answered) {
    CL_PacketHeader reply;
    CL_MakeReply(answered, CL_PACKET_TYPE_ABORT, 0, &reply);
    return ReplyWire(reply, answered.fSequence, CL_Blob()).front();
}

void Impl::LogWriteError(Worker* worker, Client* client, CL_Status code) {
    int w = int(worker->fID);
    int c = int(client->fID);
    switch (code) {
        case CL_SOCKET_WRITE_ERROR:
            fServer.Log(CL_LOG_LEVEL_ERROR,
                T("[Worker %d] [%d] Errore generico scrivendo sul socket del client"), w, c);
            break;
        case CL_CONNECTION_LOST:
            fServer.Log(CL_LOG_LEVEL_INFO, T("[Worker %d] [%d] Il client ha chiuso la connessione"), w, c);
            break;
        case CL_INVALID_SOCKET:
            fServer.Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] Il socket del client non è più valido"), w,
                c);
            break;
        case CL_NOT_CONNECTED:
            fServer.Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d] Il client non è più connesso"), w, c);
            break;
        case CL_HOST_UNREACHABLE:
            fServer.Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] L'host non è raggiungibile"), w, c);
            break;
        case CL_SOCKET_READ_ERROR:
            fServer.Log(CL_LOG_LEVEL_ERROR,
                T("[Worker %d] [%d] Errore generico leggendo dal socket del client"), w, c);
            break;
        case CL_NETWORK_UNREACHABLE:
            fServer.Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] La rete non è raggiungibile"), w, c);
            break;
        default:
            fServer.Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] Errore inatteso (%d)"), w, c, int(code));
            break;
    }
}
