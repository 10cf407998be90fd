// The server's workers: each sleeps on the ready condition, deletes dead clients,
// takes a client with a new request, gathers the request's chunks, runs AUTH,
// SERVER_INFO and DATA requests and writes the reply in chunks.
#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/entry.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "lumo/translator.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kReadyWait = 5000;
constexpr uint32 kGatherWait = 50;

int Major(uint32 version) {
    return int((version >> 16) & 0xFF);
}
int Minor(uint32 version) {
    return int((version >> 8) & 0xFF);
}
int Patch(uint32 version) {
    return int(version & 0xFF);
}

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
    fLock->Unlock();
    if (GetCallbacks().fDisconnect) {
        CL_ClientContext* context = client->fContext;
        delete context->GetCipher();
        context->SetCipher(nullptr);
        client->fContext = nullptr;
        GetCallbacks().fDisconnect(context);
    }
    delete client;
    fLock->Lock();
}

void CL_TCPServer::WorkerLoop(Worker* worker) {
    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Inizializzato"), int(worker->fID));
    if (GetCallbacks().fThreadSetup) GetCallbacks().fThreadSetup(GetCallbackUserData());
    worker->fReady = true;
    bool retired = false;
    fLock->Lock();
    for (;;) {
        if (!worker->fQuit && !HasWork(worker)) fReadyCond->Wait(fLock, kReadyWait);
        if (worker->fQuit) break;
        fBusyCount++;
        ReapDeadClient(worker);
        if (fRun) {
            ClientList::iterator it = FindWaitingClient(worker);
            if (it != fWaitingList->end()) {
                Client* client = *it;
                Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                    T("[Worker %d] [%d] Client ottenuto dalla coda di attesa"), int(worker->fID),
                    int(client->fID));
                fWaitingList->Remove(it);
                client->fBusyCount++;
                client->fServingWorker = worker;
                CLU_Entry::SetFlattenedVersion(client->fProtocolVersion < CL_IPC_VERSION ? 1 : 2);
                fLock->Unlock();

                ServeResult result = kServeNone;
                CL_Status error = 0;
                while (fRun) {
                    result = ServeRequest(worker, client, &error);
                    if (result != kServeDone) break;
                    Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                        T("[Worker %d] [%d] Richiesta(e) completata(e)"), int(worker->fID),
                        int(client->fID));
                }

                fLock->Lock();
                client->fBusyCount--;
                client->fServingWorker = nullptr;
                if (result == kServeWriteError || result == kServeDrop) {
                    if (result == kServeWriteError) LogWriteError(worker, client, error);
                    if (fClientList->Exists(client)) KillClient(client);
                } else if (!client->fDead) {
                    // Entries the dispatcher added while this worker served the
                    // client are stale once no request is queued.
                    client->fContext->Lock();
                    bool queued = false;
                    for (CL_Packet* packet : *client->fQueuedReadPackets)
                        if (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK) queued = true;
                    client->fContext->Unlock();
                    if (!queued) fWaitingList->RemoveAll(client);
                }
            }
        }
        fBusyCount--;
        if (int32(fLoad + 0.9) + int32(CL_SERVER_MIN_WORKERS) < int32(fWorkerList->Count()) &&
            !worker->fPinnedClient && fWorkerList->Exists(worker)) {
            Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                T("[Worker %d] Il server ha carico basso, questo worker thread non è più "
                  "necessario; "
                  "termino"),
                int(worker->fID));
            worker->fQuit = true;
            fWorkerList->Remove(worker);
            // A request that came for the client this worker just left would
            // otherwise wait for the dispatcher's next pass to wake another worker.
            if (fWaitingList->Count() > 0 || fDeadList->Count() > 0) fReadyCond->Broadcast();
            fRetiring++;
            retired = true;
            CL_Thread::Detach(worker->fThreadID);
        }
        if (worker->fQuit) break;
    }
    fLock->Unlock();
    if (GetCallbacks().fThreadCleanup) GetCallbacks().fThreadCleanup(GetCallbackUserData());
    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] Terminato"), int(worker->fID));
    delete worker;
    if (retired) fRetiring--;
}

CL_TCPServer::ServeResult CL_TCPServer::ServeRequest(Worker* worker, Client* client,
                                                     CL_Status* error) {
    CL_ClientContext* context = client->fContext;
    context->Lock();
    CL_Packet* first = nullptr;
    CL_LinkedList<CL_Packet*>* queue = client->fQueuedReadPackets;
    CL_LinkedList<CL_Packet*>::iterator at = queue->begin();
    for (; at != queue->end(); ++at) {
        if ((*at)->fHeader.fFlags & CL_IPC_FIRST_CHUNK) {
            first = *at;
            break;
        }
    }
    if (!first) {
        context->Unlock();
        return kServeNone;
    }
    CL_PacketHeader header = first->fHeader;
    uint32 n = header.fSequence;
    Request* request = new Request(n, worker);
    queue->Remove(at);
    client->fQueuedReadBytes -= Client::QueuedCost(first);
    context->StartRequest(n);
    CL_Blob input = first->fData;
    delete first;
    bool whole = input.GetSize() >= header.fSize;
    if (whole) client->fExecutingRequests.Set(int32(n), request);
    context->Unlock();

    // Gathering: the remaining chunks, in order. A client that stops sending in the
    // middle of a request is dropped after the server time-out.
    uint32 left = whole ? 0 : header.fSize - input.GetSize();
    bool aborted = false;
    bool drop = false;
    uint32 lastChunk = CL_GetTime();
    input.Seek(0, CL_SEEK_END);
    while (left > 0) {
        context->Lock();
        if (context->HasAborted(n) || client->fDead) {
            aborted = true;
            context->Unlock();
            break;
        }
        CL_Packet* chunk = nullptr;
        for (at = queue->begin(); at != queue->end(); ++at) {
            if ((*at)->fHeader.fSequence == n && !((*at)->fHeader.fFlags & CL_IPC_FIRST_CHUNK)) {
                chunk = *at;
                break;
            }
        }
        if (chunk) {
            queue->Remove(at);
            client->fQueuedReadBytes -= Client::QueuedCost(chunk);
            uint32 size = chunk->fData.GetSize();
            // A chunk that does not continue this packet is a lying peer.
            if (chunk->fHeader.fSize != left || chunk->fHeader.fType != header.fType ||
                size > left) {
                drop = true;
            } else {
                input.Append(chunk->fData);
                input.Seek(0, CL_SEEK_END);
                left -= size;
                lastChunk = CL_GetTime();
            }
            delete chunk;
        } else if (uint32(CL_GetTime() - lastChunk) > fTimeOut) {
            drop = true;
        } else {
            worker->fDataCondition.Wait(context->GetLock(), kGatherWait);
        }
        context->Unlock();
        if (drop) break;
    }
    if (drop) {
        context->Lock();
        client->fExecutingRequests.Remove(int32(n));
        delete request;
        context->EndRequest(n, true);
        context->Unlock();
        Log(CL_LOG_LEVEL_INFO,
            T("[Worker %d] [%d] Client disconnesso a causa di tempo scaduto sulla connessione"),
            int(worker->fID), int(client->fID));
        return kServeDrop;
    }
    if (!whole) {
        context->Lock();
        client->fExecutingRequests.Set(int32(n), request);
        context->Unlock();
    }
    input.Seek(0, CL_SEEK_SET);

    Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] [%d:%d] Intestazione della richiesta corretta; la richiesta ha dati di "
          "dimensione %d"),
        int(worker->fID), int(client->fID), int(n), int(input.GetSize()));

    CL_PacketHeader reply;
    CL_Blob output;
    bool hasReply = false;
    bool counted = true;
    if (!aborted) {
        switch (header.fType) {
            case CL_PACKET_TYPE_AUTH:
                hasReply = Authorize(worker, client, header, input, &reply, &output);
                break;
            case CL_PACKET_TYPE_SERVER_INFO:
                Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                    T("[Worker %d] [%d:%d] Ricevuta richiesta di informazioni sul server"),
                    int(worker->fID), int(client->fID), int(n));
                CL_MakeServerInfoReply(header, fID, &reply);
                hasReply = true;
                break;
            case CL_PACKET_TYPE_DATA:
                hasReply =
                    Execute(worker, client, header, input, &reply, &output, &counted, &aborted);
                break;
            default:
                Log(CL_LOG_LEVEL_ERROR, T("[Worker %d] [%d:%d] Ricevuta richiesta sconosciuta"),
                    int(worker->fID), int(client->fID), int(n));
                break;
        }
    }

    // Sending: the context stays locked for the whole reply, so that the dispatcher
    // never writes a PING or ABORT between its chunks.
    context->Lock();
    client->fExecutingRequests.Remove(int32(n));
    if (!aborted && context->HasAborted(n)) aborted = true;
    if (aborted) {
        CL_MakeReply(header, CL_PACKET_TYPE_ABORT, fFlags, &reply);
        output.Clear();
        hasReply = true;
        Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Operazione annullata dall'utente"),
            int(worker->fID), int(client->fID), int(n));
    } else if (hasReply) {
        Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
            T("[Worker %d] [%d:%d] Inoltro risposta con dati di dimensione %d"), int(worker->fID),
            int(client->fID), int(n), int(output.GetSize()));
    }
    CL_Status status = 0;
    if (hasReply) {
        reply.fMagic = CL_IPC_MAGIC;
        reply.fVersion = CL_IPC_VERSION;
        reply.fSequence = n;
        status = CL_WritePacket(*client->fSocket, reply, output, fTimeOut);
    }
    delete request;
    context->EndRequest(n, counted);
    // Chunks of this request still queued (it was cancelled while they came, or the
    // client sent more than it announced) belong to nothing any more.
    for (at = queue->begin(); at != queue->end(); ++at) {
        CL_Packet* packet = *at;
        if (packet->fHeader.fSequence != n || (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK))
            continue;
        client->fQueuedReadBytes -= Client::QueuedCost(packet);
        queue->Remove(at);
        delete packet;
    }
    context->Unlock();
    if (status != CL_OK) {
        *error = status;
        return kServeWriteError;
    }
    return kServeDone;
}

bool CL_TCPServer::Authorize(Worker* worker, Client* client, const CL_PacketHeader& header,
                             CL_Blob& input, CL_PacketHeader* reply, CL_Blob* output) {
    CL_ClientContext* context = client->fContext;
    uint32 n = header.fSequence;
    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Ricevuta richiesta di autorizzazione"),
        int(worker->fID), int(client->fID), int(n));
    context->SetFlags(header.fConnection.fFlags);

    CLU_Table payload;
    input.Seek(0, CL_SEEK_SET);
    payload.Unflatten(input);
    CLU_Table table;
    std::string ip = client->fPeer.GetIP();
    if (ip == CL_NetAddress::LocalHost().GetIP()) {
        CL_AutoLocker lock(fLock);
        ip = fAddress.GetIP();
    }
    table.Set("client_host", ip);
    table.Set("client_port", (long long)client->fPeer.GetPort());
    table.Set("client_id", (long long)client->fID);
    table.Update(payload);
    table.Set("flags", (long long)header.fConnection.fFlags);

    CL_Status refusal = 0;
    if (header.fVersion > CL_IPC_VERSION) {
        Log(CL_LOG_LEVEL_WARNING,
            T("[Worker %d] [%d:%d] Autorizzazione negata a causa di versione del protocollo di "
              "comunicazione non supportata (%d.%d.%d)"),
            int(worker->fID), int(client->fID), int(n), Major(header.fVersion),
            Minor(header.fVersion), Patch(header.fVersion));
        refusal = CL_PROTOCOL_NOT_SUPPORTED;
    } else if (!GetCallbacks().fConnect) {
        Log(CL_LOG_LEVEL_DEBUG,
            T("[Worker %d] [%d:%d] Salto l'autorizzazione, il server è pubblico"), int(worker->fID),
            int(client->fID), int(n));
    } else {
        refusal = GetCallbacks().fConnect(context, &table);
        if (refusal != CL_OK)
            Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Autorizzazione fallita"),
                int(worker->fID), int(client->fID), int(n));
    }
    output->Clear();
    if (refusal != CL_OK) {
        CL_MakeNoAuthReply(header, uint32(refusal), reply);
        client->fAuthorized = false;
        return true;
    }

    Log(CL_LOG_LEVEL_DEBUG, T("[Worker %d] [%d:%d] Autorizzazione concessa"), int(worker->fID),
        int(client->fID), int(n));
    CL_MakeAuthReply(header, fFlags, client->fID, reply);
    CL_Cipher* cipher = CL_NewConnectionCipher(fFlags, client->fID, fID);
    CL_Cipher* old = context->GetCipher();
    context->SetCipher(cipher);
    delete old;
    uint16 chatPort = uint16(payload.GetInteger("chat_port"));
    {
        CL_AutoLocker lock(fLock);
        client->fChatPort = chatPort;
        client->fProtocolVersion = header.fVersion;
        client->fAuthorized = true;
    }
    table.Set("host", payload.GetString("host"));
    table.Set("tenant_key", payload.GetString("tenant_key"));
    table.Set("chat_port", (long long)chatPort);
    // The AUTH reply itself is always in format version 2; what follows is in the
    // version the client's protocol reads.
    CLU_Entry::SetFlattenedVersion(2);
    table.Flatten(*output);
    CLU_Entry::SetFlattenedVersion(header.fVersion < CL_IPC_VERSION ? 1 : 2);
    output->Seek(0, CL_SEEK_SET);
    return true;
}

bool CL_TCPServer::Execute(Worker* worker, Client* client, const CL_PacketHeader& header,
                           CL_Blob& input, CL_PacketHeader* reply, CL_Blob* output, bool* counted,
                           bool* aborted) {
    CL_ClientContext* context = client->fContext;
    uint32 n = header.fSequence;
    CL_Cipher* cipher = context->GetCipher();
    output->Clear();
    CL_MakeReply(header, CL_PACKET_TYPE_FAILED, fFlags, reply);

    // A connection that was never let in gets no service at all.
    if (!client->fAuthorized) {
        Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"),
            int(worker->fID), int(client->fID), int(n));
        CL_EncodePayload(reply, *output, fFlags, cipher, true);
        return true;
    }
    if (CL_DecodePayload(header, input, cipher) != CL_OK) {
        Log(CL_LOG_LEVEL_ERROR,
            T("[Worker %d] [%d:%d] Ricevuta richiesta di esecuzione, ma i dati in ingresso non "
              "sono validi"),
            int(worker->fID), int(client->fID), int(n));
        return false;
    }
    CL_Command command = header.fData.fCommand;
    Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
        T("[Worker %d] [%d:%d] Ricevuta richiesta di esecuzione (comando %04d)"), int(worker->fID),
        int(client->fID), int(n), int(command));
    if (context->HasAborted(n)) {
        *aborted = true;
        return true;
    }
    CL_PacketType type = CL_PACKET_TYPE_FAILED;
    if (!GetCallbacks().fExecute) {
        Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"),
            int(worker->fID), int(client->fID), int(n));
    } else {
        input.Seek(0, CL_SEEK_SET);
        CL_Status result = GetCallbacks().fExecute(command, input, *output, context, n);
        if (result == CL_IPC_DONT_COUNT) {
            result = 0;
            *counted = false;
        }
        ApplyPinRequest(worker, client);
        if (context->HasAborted(n)) {
            *aborted = true;
            return true;
        }
        if (result == CL_OK) {
            Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
                T("[Worker %d] [%d:%d] Richiesta di esecuzione completata con successo"),
                int(worker->fID), int(client->fID), int(n));
            type = CL_PACKET_TYPE_DATA;
        } else {
            Log(CL_LOG_LEVEL_WARNING, T("[Worker %d] [%d:%d] Richiesta di esecuzione fallita"),
                int(worker->fID), int(client->fID), int(n));
            Log(CL_LOG_LEVEL_DEBUG,
                T("[Worker %d] [%d:%d] Esecuzione comando %d fallita con errore %d"),
                int(worker->fID), int(client->fID), int(n), int(command), int(result));
        }
    }
    CL_MakeReply(header, type, fFlags, reply);
    output->Seek(0, CL_SEEK_SET);
    CL_EncodePayload(reply, *output, fFlags, cipher, true);
    return true;
}

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
