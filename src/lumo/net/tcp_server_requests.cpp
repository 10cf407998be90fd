// Serving one request of a client on a worker: the request's first chunk is taken
// from the queue and its later chunks gathered; SERVER_INFO and DATA requests are
// answered here (DATA through the execute callback), AUTH in tcp_server_auth.cpp; the
// reply goes out in chunks.
#include "lumo/clock.h"
#include "lumo/translator.h"
#include "tcp_server_records.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kGatherWait = 50;

}  // namespace

CL_TCPServer::ServeResult CL_TCPServer::ServeRequest(Worker* worker, Client* client,
                                                     CL_Status* error) {
    Exchange x(worker, client);
    if (!TakeRequest(x)) return kServeNone;
    if (!GatherRequest(x)) {
        DropStalledRequest(x);
        return kServeDrop;
    }
    Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] [%d:%d] Intestazione della richiesta corretta; la richiesta ha dati di "
          "dimensione %d"),
        int(worker->fID), int(client->fID), int(x.fSequence), int(x.fInput.GetSize()));
    if (!x.fAborted) AnswerRequest(x);
    CL_Status status = SendReply(x);
    if (status == CL_OK) return kServeDone;
    *error = status;
    return kServeWriteError;
}

// Takes the client's oldest first chunk and starts its request: false when there is
// none. A request whose first chunk holds the whole payload is executing at once.
bool CL_TCPServer::TakeRequest(Exchange& x) {
    Client* client = x.fClient;
    CL_AutoLocker lock(ContextLock(client));
    CL_Packet* first = client->TakeFirstChunk();
    if (!first) return false;
    x.fHeader = first->fHeader;
    x.fSequence = x.fHeader.fSequence;
    x.fRequest = new Request(x.fSequence, x.fWorker);
    client->fContext->StartRequest(x.fSequence);
    x.fInput = first->fData;
    delete first;
    x.fWhole = x.fInput.GetSize() >= x.fHeader.fSize;
    x.fLeft = x.fWhole ? 0 : x.fHeader.fSize - x.fInput.GetSize();
    if (x.fWhole) client->fExecutingRequests.Set(int32(x.fSequence), x.fRequest);
    return true;
}

// Appends the later chunks, in order, until the payload is whole or the request is
// cancelled; false for a client that stops sending in the middle of a request for
// longer than the server time-out, or sends a chunk that does not fit.
bool CL_TCPServer::GatherRequest(Exchange& x) {
    uint32 lastChunk = CL_GetTime();
    x.fInput.Seek(0, CL_SEEK_END);
    while (x.fLeft > 0 && !x.fAborted)
        if (!GatherChunk(x, &lastChunk)) return false;
    if (!x.fWhole) {
        Client* client = x.fClient;
        CL_AutoLocker lock(ContextLock(client));
        client->fExecutingRequests.Set(int32(x.fSequence), x.fRequest);
    }
    x.fInput.Seek(0, CL_SEEK_SET);
    return true;
}

// One step of the gathering, under the context lock: a queued chunk, or a short wait
// for one. False when the client is to be dropped.
bool CL_TCPServer::GatherChunk(Exchange& x, uint32* lastChunk) {
    Client* client = x.fClient;
    CL_AutoLocker lock(ContextLock(client));
    if (client->fContext->HasAborted(x.fSequence) || client->fDead) {
        x.fAborted = true;
        return true;
    }
    CL_Packet* chunk = client->TakeNextChunk(x.fSequence);
    if (!chunk) {
        if (uint32(CL_GetTime() - *lastChunk) > fTimeOut) return false;
        x.fWorker->fDataCondition.Wait(ContextLock(client), kGatherWait);
        return true;
    }
    uint32 size = chunk->fData.GetSize();
    // A chunk that does not continue this packet is a lying peer.
    bool fits = chunk->fHeader.fSize == x.fLeft && chunk->fHeader.fType == x.fHeader.fType &&
                size <= x.fLeft;
    if (fits) {
        x.fInput.Append(chunk->fData);
        x.fInput.Seek(0, CL_SEEK_END);
        x.fLeft -= size;
        *lastChunk = CL_GetTime();
    }
    delete chunk;
    return fits;
}

void CL_TCPServer::DropStalledRequest(Exchange& x) {
    Client* client = x.fClient;
    {
        CL_AutoLocker lock(ContextLock(client));
        client->fExecutingRequests.Remove(int32(x.fSequence));
        delete x.fRequest;
        client->fContext->EndRequest(x.fSequence, true);
    }
    Log(CL_LOG_LEVEL_INFO,
        T("[Worker %d] [%d] Client disconnesso a causa di tempo scaduto sulla connessione"),
        int(x.fWorker->fID), int(client->fID));
}

void CL_TCPServer::AnswerRequest(Exchange& x) {
    switch (x.fHeader.fType) {
        case CL_PACKET_TYPE_AUTH:
            x.fHasReply = Authorize(x);
            break;
        case CL_PACKET_TYPE_SERVER_INFO:
            Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                T("[Worker %d] [%d:%d] Ricevuta richiesta di informazioni sul server"),
                int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
            CL_MakeServerInfoReply(x.fHeader, fID, &x.fReply);
            x.fHasReply = true;
            break;
        case CL_PACKET_TYPE_DATA:
            x.fHasReply = Execute(x);
            break;
        default:
            Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d:%d] Ricevuta richiesta sconosciuta"),
                int(x.fWorker->fID), int(x.fClient->fID), int(x.fSequence));
            break;
    }
}

// A DATA request: false when it gets no reply (its input is not valid).
bool CL_TCPServer::Execute(Exchange& x) {
    int w = int(x.fWorker->fID);
    int c = int(x.fClient->fID);
    int n = int(x.fSequence);
    CL_Cipher* cipher = x.fClient->fContext->GetCipher();
    x.fOutput.Clear();
    CL_MakeReply(x.fHeader, CL_PACKET_TYPE_FAILED, fFlags, &x.fReply);
    // A connection that was never let in gets no service at all.
    if (!x.fClient->fAuthorized) {
        Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"), w, c,
            n);
        CL_EncodePayload(&x.fReply, x.fOutput, fFlags, cipher, true);
        return true;
    }
    if (CL_DecodePayload(x.fHeader, x.fInput, cipher) != CL_OK) {
        Log(CL_LOG_LEVEL_ERROR,
            T("[Worker %d] [%d:%d] Ricevuta richiesta di esecuzione, ma i dati in ingresso non "
              "sono validi"),
            w, c, n);
        return false;
    }
    Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] [%d:%d] Ricevuta richiesta di esecuzione (comando %04d)"), w, c, n,
        int(x.fHeader.fData.fCommand));
    if (x.fClient->fContext->HasAborted(x.fSequence)) {
        x.fAborted = true;
        return true;
    }
    CL_PacketType type = RunCommand(x);
    if (x.fAborted) return true;
    CL_MakeReply(x.fHeader, type, fFlags, &x.fReply);
    x.fOutput.Seek(0, CL_SEEK_SET);
    CL_EncodePayload(&x.fReply, x.fOutput, fFlags, cipher, true);
    return true;
}

// Runs the execute callback on this thread: the reply type its result calls for.
// A request cancelled meanwhile is marked in x.fAborted.
CL_PacketType CL_TCPServer::RunCommand(Exchange& x) {
    int w = int(x.fWorker->fID);
    int c = int(x.fClient->fID);
    int n = int(x.fSequence);
    CL_Command command = x.fHeader.fData.fCommand;
    CL_ClientContext* context = x.fClient->fContext;
    if (!GetCallbacks().fExecute) {
        Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"), w, c,
            n);
        return CL_PACKET_TYPE_FAILED;
    }
    x.fInput.Seek(0, CL_SEEK_SET);
    CL_Status result = GetCallbacks().fExecute(command, x.fInput, x.fOutput, context, x.fSequence);
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
        Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
            T("[Worker %d] [%d:%d] Richiesta di esecuzione completata con successo"), w, c, n);
        return CL_PACKET_TYPE_DATA;
    }
    Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"), w, c, n);
    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Esecuzione comando %d fallita con errore %d"),
        w, c, n, int(command), int(result));
    return CL_PACKET_TYPE_FAILED;
}

// The pin request the execute callback left on this thread binds the client to this
// worker, or unbinds it.
void CL_TCPServer::ApplyPinRequest(Worker* worker, Client* client) {
    CL_ClientContext* context = client->fContext;
    uint32 pin = context->GetPinToThread();
    if (!(pin & _PINNED_TO_THREAD)) return;
    context->ClearPinToThread();
    if (pin & ~_PINNED_TO_THREAD) {
        {
            CL_AutoLocker lock(fLock);
            client->fPinnedWorker = worker;
            worker->fPinnedClient = client;
        }
        Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Client %d legato al thread"), int(worker->fID),
            int(client->fID));
    } else {
        {
            CL_AutoLocker lock(fLock);
            client->fPinnedWorker = nullptr;
            if (worker->fPinnedClient == client) worker->fPinnedClient = nullptr;
            context->SetPinnedThread(0);
            context->SetPinToThread(0);
        }
        Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Client %d slegato dal thread"), int(worker->fID),
            int(client->fID));
    }
}

// Writes the answer, an ABORT reply when the request was cancelled, with the context
// locked for the whole reply, so that the dispatcher never writes a PING or ABORT
// between its chunks; then ends the request. The status of the write.
CL_Status CL_TCPServer::SendReply(Exchange& x) {
    Client* client = x.fClient;
    CL_AutoLocker lock(ContextLock(client));
    client->fExecutingRequests.Remove(int32(x.fSequence));
    if (!x.fAborted && client->fContext->HasAborted(x.fSequence)) x.fAborted = true;
    if (x.fAborted) {
        CL_MakeReply(x.fHeader, CL_PACKET_TYPE_ABORT, fFlags, &x.fReply);
        x.fOutput.Clear();
        x.fHasReply = true;
        Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Operazione annullata dall'utente"),
            int(x.fWorker->fID), int(client->fID), int(x.fSequence));
    } else if (x.fHasReply) {
        Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
            T("[Worker %d] [%d:%d] Inoltro risposta con dati di dimensione %d"),
            int(x.fWorker->fID), int(client->fID), int(x.fSequence), int(x.fOutput.GetSize()));
    }
    CL_Status status = CL_OK;
    if (x.fHasReply) {
        x.fReply.fMagic = CL_IPC_MAGIC;
        x.fReply.fVersion = CL_IPC_VERSION;
        x.fReply.fSequence = x.fSequence;
        status = CL_WritePacket(*client->fSocket, x.fReply, x.fOutput, fTimeOut);
    }
    delete x.fRequest;
    client->fContext->EndRequest(x.fSequence, x.fCounted);
    // Chunks of this request still queued (it was cancelled while they came, or the
    // client sent more than it announced) belong to nothing any more.
    client->DropChunks(x.fSequence, true);
    return status;
}

void CL_TCPServer::LogWriteError(Worker* worker, Client* client, CL_Status code) {
    int w = int(worker->fID);
    int c = int(client->fID);
    switch (code) {
        case CL_SOCKET_WRITE_ERROR:
            Log(CL_LOG_LEVEL_ERROR,
                T("[Worker %d] [%d] Errore generico scrivendo sul socket del client"), w, c);
            break;
        case CL_CONNECTION_LOST:
            Log(CL_LOG_LEVEL_INFO, T("[Worker %d] [%d] Il client ha chiuso la connessione"), w, c);
            break;
        case CL_INVALID_SOCKET:
            Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] Il socket del client non è più valido"), w,
                c);
            break;
        case CL_NOT_CONNECTED:
            Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d] Il client non è più connesso"), w, c);
            break;
        case CL_HOST_UNREACHABLE:
            Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] L'host non è raggiungibile"), w, c);
            break;
        case CL_SOCKET_READ_ERROR:
            Log(CL_LOG_LEVEL_ERROR,
                T("[Worker %d] [%d] Errore generico leggendo dal socket del client"), w, c);
            break;
        case CL_NETWORK_UNREACHABLE:
            Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] La rete non è raggiungibile"), w, c);
            break;
        default:
            Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d] Errore inatteso (%d)"), w, c, int(code));
            break;
    }
}
