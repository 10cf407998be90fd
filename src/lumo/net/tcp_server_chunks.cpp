// The dispatcher's intake of one client's chunks: each read takes, without waiting,
// what the socket holds of the client's current chunk; a whole chunk is queued for
// the workers or, when it cancels requests, acted on at once. Bad headers and read
// errors cut the client off with a log line.
#include "lumo/translator.h"
#include "tcp_server_records.h"

namespace {

const char* T(const char* text) {
    return CL_Translator::Get().Translate(text, nullptr);
}

constexpr uint32 kHeaderSize = sizeof(CL_PacketHeader);

}  // namespace

CL_TCPServer::ChunkRead CL_TCPServer::ReadChunk(Client* client, uint32 now) {
    CL_PacketHeader header;
    const uint8* payload = nullptr;
    uint32 size = 0;
    ChunkRead read = ReadClientChunk(client, now, &header, &payload, &size);
    if (read != kChunkWhole) return read;
    client->fPartial = false;
    CL_Packet* packet = new CL_Packet(header);
    if (size > 0) packet->fData = CL_Blob(payload, size, true);
    packet->fData.Seek(0, CL_SEEK_SET);
    TakePacket(client, packet, now);
    return kChunkWhole;
}

// Reads what the current chunk lacks, its header first and then its payload: at most
// one chunk per call. The bytes are taken as they come because TCP stops sending when
// the receiver reads nothing, so a chunk left in the kernel until it is whole may
// never become whole.
CL_TCPServer::ChunkRead CL_TCPServer::ReadClientChunk(Client* client, uint32 now,
                                                      CL_PacketHeader* header,
                                                      const uint8** payload, uint32* size) {
    CL_ChunkReader& reader = client->fReader;
    for (int step = 0; step < 2 && reader.GetMissing() > 0; step++) {
        CL_Status status = reader.Read(*client->fSocket, 0);
        // A read that failed cuts the client off at once, even when some bytes came
        // with it.
        if (status != CL_OUT_OF_MEMORY) status = client->fSocket->GetIOError(false);
        if (status != CL_OK && status != CL_TIMEOUT) {
            KillWithLog(client, status);
            return kChunkKilled;
        }
        status = reader.Next(header, payload, size);
        if (status == CL_OK) return kChunkWhole;
        if (status != CL_WOULD_BLOCK) {
            RejectHeader(client, *header, status, now);
            return kChunkKilled;
        }
        // The payload is read in the same call only once the header is whole.
        if (reader.GetHeld() < kHeaderSize) break;
    }
    return kChunkPending;
}

void CL_TCPServer::RejectHeader(Client* client, const CL_PacketHeader& header, CL_Status check,
                                uint32 now) {
    if (check == CL_PROTOCOL_NOT_SUPPORTED) {
        uint32 version = header.fVersion;
        Log(CL_LOG_LEVEL_ERROR,
            T("[Dispatcher] [%d] Ricevuta richiesta con versione del protocollo di "
              "comunicazione non supportata (%d.%d.%d)"),
            int(client->fID), CL_VersionMajor(version), CL_VersionMinor(version),
            CL_VersionPatch(version));
    } else {
        Log(CL_LOG_LEVEL_ERROR, T("[Dispatcher] [%d] Ricevuta una richiesta non valida"),
            int(client->fID));
    }
    // A client that stalled in the middle of a chunk is cut off for that.
    if (client->fPartial && uint32(now - client->fLastReadTime) > fTimeOut)
        KillWithLog(client, CL_TIMEOUT);
    else
        KillWithLog(client, CL_IPC_BAD_REQUEST);
}

// A cancellation is acted on at once; a chunk of a request is queued for the workers.
void CL_TCPServer::TakePacket(Client* client, CL_Packet* packet, uint32 now) {
    uint16 type = packet->fHeader.fType;
    if (type == CL_PACKET_TYPE_ABORT) {
        HandleAbort(client, packet);
        delete packet;
    } else if (type == CL_PACKET_TYPE_ABORT_ALL) {
        client->fContext->AbortAll(GetCallbacks().fAbort);
        WakeClientWorkers(client);
        delete packet;
    } else if (!(packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK) &&
               !ContinuesRequest(client, packet->fHeader.fSequence)) {
        // A later chunk of no request that is queued or being gathered would stay
        // in the queue for ever.
        delete packet;
    } else {
        QueueRequestChunk(client, packet, now);
    }
}

// A first chunk puts the client in the waiting list; a later one wakes the worker
// that gathers its request.
void CL_TCPServer::QueueRequestChunk(Client* client, CL_Packet* packet, uint32 now) {
    bool first = (packet->fHeader.fFlags & CL_IPC_FIRST_CHUNK) != 0;
    client->QueueChunk(packet);
    if (first) {
        Log(CL_LOG_LEVEL_DEBUG_VERBOSE,
            T("[Dispatcher] [%d] Il client ha dati in arrivo, spostato nella coda di attesa"),
            int(client->fID));
        fWaitingList->Append(client);
        client->fWaitStartTime = now;
    } else if (client->fServingWorker) {
        client->fServingWorker->fDataCondition.Signal();
    }
}

// Whether a chunk of `sequence` continues a request: one whose first chunk waits in
// the queue, or one a worker has started.
bool CL_TCPServer::ContinuesRequest(Client* client, uint32 sequence) {
    return client->HasFirstChunk(sequence) || !client->fContext->HasAborted(sequence);
}

void CL_TCPServer::HandleAbort(Client* client, const CL_Packet* abort) {
    uint32 sequence = abort->fHeader.fSequence;
    if (client->HasFirstChunk(sequence))
        DropWaitingRequest(client, abort);
    else if (!client->fContext->HasAborted(sequence))
        CancelRunningRequest(client, sequence);
}

// The request still waits for a worker: its chunks go, and the dispatcher answers the
// ABORT itself, echoing its arguments. No callback runs.
void CL_TCPServer::DropWaitingRequest(Client* client, const CL_Packet* abort) {
    uint32 sequence = abort->fHeader.fSequence;
    client->DropChunks(sequence, false);
    CL_Packet* reply = new CL_Packet(CL_PACKET_TYPE_ABORT, CL_IPC_FIRST_CHUNK, sequence);
    CL_CopyPacketArguments(abort->fHeader, &reply->fHeader);
    client->fQueuedWritePackets->Append(reply);
}

// The request is under way: its record is marked, the abort callback runs with the
// context unlocked, and its worker wakes up to send the ABORT reply.
void CL_TCPServer::CancelRunningRequest(Client* client, uint32 sequence) {
    client->fContext->SetAborted(sequence, true);
    {
        CL_AutoUnlocker unlock(ContextLock(client));
        if (GetCallbacks().fAbort) GetCallbacks().fAbort(client->fContext, sequence);
    }
    Request* request = client->fExecutingRequests.Get(int32(sequence));
    if (request && request->fWorker) request->fWorker->fDataCondition.Signal();
    if (client->fServingWorker) client->fServingWorker->fDataCondition.Signal();
}

void CL_TCPServer::WakeClientWorkers(Client* client) {
    for (Request* request : client->fExecutingRequests)
        if (request->fWorker) request->fWorker->fDataCondition.Signal();
    if (client->fServingWorker) client->fServingWorker->fDataCondition.Signal();
}

// Wakes the client's workers, so that one gathering or waiting sees the end, logs the
// cause by its code and kills the client.
void CL_TCPServer::KillWithLog(Client* client, CL_Status code) {
    int id = int(client->fID);
    switch (code) {
        case CL_NOT_CONNECTED:
            Log(CL_LOG_LEVEL_WARNING, T("[Dispatcher] [%d] Il client non è più connesso"), id);
            break;
        case CL_CONNECTION_LOST:
            Log(CL_LOG_LEVEL_INFO, T("[Dispatcher] [%d] Il client ha chiuso la connessione"), id);
            break;
        case CL_TIMEOUT:
            Log(CL_LOG_LEVEL_INFO,
                T("[Dispatcher] [%d] Client disconnesso a causa di tempo scaduto sulla "
                  "connessione"),
                id);
            break;
        default:
            Log(CL_LOG_LEVEL_ERROR,
                T("[Dispatcher] [%d] Il client ha riportato l'errore %d su operazione di I/O, "
                  "connessione terminata"),
                id, int(code));
            break;
    }
    WakeClientWorkers(client);
    KillClient(client);
}
