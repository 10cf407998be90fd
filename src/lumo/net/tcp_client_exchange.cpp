// One request and its reply on the shared connection: the request goes out chunk by
// chunk under the client's lock; its reply is put together from the chunks queued
// for it, with PINGs turned into progress and a cancel carried to the server as an
// ABORT. ABORT and ABORT_ALL are single headers.
#include <cstring>

#include "lumo/cipher.h"
#include "lumo/net/tcp_client_action_job.h"
#include "lumo/net/tcp_client_input.h"
#include "lumo/net/tcp_client_progress_job.h"

// What one ReadReply knows of its reply so far: the progress to report and the
// payload decoded chunk by chunk.
class CL_TCPClient::Reply {
public:
    // raw: the reply to AUTH, which comes before any cipher and is taken as it is.
    Reply(CL_Cipher* cipher, bool raw) : fDecoder(cipher, raw) {}

    // The progress a PING reports, until the reply itself starts.
    void TakePing(const QueuedPacket& ping) {
        if (fState != CL_PROGRESS_EXECUTE) return;
        fCompleteness = CL_DecodeCompleteness(ping.fHeader.fPing.fCompleteness);
        if (ping.fData.GetSize() > 0) fMessage = CL_GetPingMessage(ping.fData);
    }
    // One chunk of the reply; the first one's header goes to *header.
    CL_Status TakeChunk(QueuedPacket* chunk, CL_PacketHeader* header);

    CL_ProgressType fState = CL_PROGRESS_EXECUTE;
    double fCompleteness = 0.0;
    std::string fMessage;
    bool fAborted = false;    // the last answer of the progress job
    bool fAbortSent = false;  // an ABORT for this request has gone out
    CL_PayloadDecoder fDecoder;
};

CL_Status CL_TCPClient::Reply::TakeChunk(QueuedPacket* chunk, CL_PacketHeader* header) {
    const CL_PacketHeader& first = chunk->fHeader;
    if (!fDecoder.IsStarted() && (first.fFlags & CL_IPC_FIRST_CHUNK)) {
        // Sizes come from the wire: nothing of 2 GiB or more is ever accepted.
        if (first.fSize > CL_Blob::kMaxSize) return CL_IPC_BAD_REPLY;
        *header = first;
        fMessage.clear();
        fState = CL_PROGRESS_RECEIVE;
    }
    CL_Status result = fDecoder.Add(chunk->fHeader, chunk->fData);
    if (result == CL_OK && fDecoder.GetTotalSize() > 0) {
        uint32 total = fDecoder.GetTotalSize();
        fCompleteness = double(total - fDecoder.GetBytesLeft()) * 100.0 / double(total);
    }
    return result;
}

// ---- Requests ------------------------------------------------------------------------------

namespace {

// What a request sends, before the cipher: a copy of data that shares its bytes (the
// caller's blob stays as it is), compressed when the flags say so.
CL_Blob OutgoingPayload(CL_Blob* data, uint16 flags) {
    CL_Blob payload;
    if (!data || data->GetSize() == 0) return payload;
    data->Seek(0, CL_SEEK_SET);
    payload = *data;
    payload.Seek(0, CL_SEEK_SET);
    if (flags & CL_IPC_COMPRESS) {
        payload.Compress();
        payload.Seek(0, CL_SEEK_SET);
    }
    return payload;
}

}  // namespace

CL_Status CL_TCPClient::WriteRequest(ActionJob* job, uint32* sequence, CL_PacketType type,
                                     uint16 flags, CL_PacketHeader* header, CL_Blob* data) {
    ProgressJob* progress = job->GetProgress();
    if (progress) progress->SetState(CL_PROGRESS_PROCESS, -1.0, std::string(), nullptr);
    CL_Blob payload = OutgoingPayload(data, flags);
    if (progress) progress->SetState(CL_PROGRESS_SEND, -1.0, std::string(), nullptr);

    CL_PacketHeader local;
    if (!header) {
        memset(&local, 0, sizeof(local));
        header = &local;
    }
    *sequence = uint32(fNextSequence++);
    // The caller's arguments (bytes 20-31) under the request's own header.
    CL_PacketHeader request;
    CL_InitPacketHeader(&request, type, uint16(flags | CL_IPC_FIRST_CHUNK), *sequence);
    CL_CopyPacketArguments(*header, &request);
    *header = request;

    CL_AutoLocker locker(fLock);
    if (fCipher && payload.GetSize() > 0) {
        fCipher->Encrypt(payload, 0xFFFFFFFF);
        payload.Seek(0, CL_SEEK_SET);
    }
    // Registered before the first byte goes out: another reader may read the reply.
    AddWaiter(*sequence);
    return SendChunks(job, *sequence, header, payload);
}

CL_Status CL_TCPClient::SendChunks(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                   const CL_Blob& payload) {
    CL_Blob wire;
    uint32 size = payload.GetSize();
    uint32 offset = 0;
    for (;;) {
        CloseIfAsked();
        wire.Clear();
        uint32 n = CL_AppendChunk(*header, payload, offset, &wire);
        if (wire.GetSize() != sizeof(CL_PacketHeader) + n) {
            // Out of memory: a chunk cut short would throw the peer's framing off.
            RemoveWaiter(sequence);
            return CL_OUT_OF_MEMORY;
        }
        uint32 sent = fSocket.Write(wire.GetDataForRead(), wire.GetSize(), job->GetTimeOut());
        offset += n;
        CL_Status status = fSocket.GetIOError(false);
        // A chunk that went out short cannot be framed again: the request ends.
        if (status == CL_OK && sent != wire.GetSize()) status = CL_TIMEOUT;
        if (job->HasAborted() || status == CL_CANCELLED) {
            // Still under the lock taken for the chunks: the wait for the server's
            // answer releases only ReadReply's own level of it.
            CL_Blob scratch;
            CL_Status result = ReadReply(job, sequence, header, &scratch);
            return result != CL_OK ? result : CL_CANCELLED;
        }
        if (status != CL_OK) {
            RemoveWaiter(sequence);
            return status;
        }
        if (offset >= size) return CL_OK;
    }
}

CL_Status CL_TCPClient::ReadReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                  CL_Blob* data) {
    CL_AutoLocker locker(fLock);
    return CollectReply(job, sequence, header, data);
}

CL_Status CL_TCPClient::CollectReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                     CL_Blob* data) {
    ProgressJob* progress = job->GetProgress();
    const bool isAuth = header->fType == CL_PACKET_TYPE_AUTH;
    AddWaiter(sequence);

    CL_Status result = CL_OK;
    Reply reply(isAuth ? nullptr : fCipher, isAuth);
    reply.fAborted = job->HasAborted();
    reply.fAbortSent = reply.fAborted;
    if (reply.fAborted) result = WriteAbort(job, sequence);
    while (result == CL_OK) {
        if (progress)
            reply.fAborted =
                progress->SetState(reply.fState, reply.fCompleteness, reply.fMessage, nullptr);
        QueuedPacket* packet = nullptr;
        result = WaitForPacket(job, sequence, &packet);
        if (result != CL_OK) break;
        if (packet->fHeader.fType == CL_PACKET_TYPE_PING)
            result = TakePing(job, sequence, *packet, &reply);
        else
            result = reply.TakeChunk(packet, header);
        delete packet;
        if (result == CL_OK && reply.fDecoder.IsComplete()) break;
    }
    *data = reply.fDecoder.GetResult();
    data->Seek(0, CL_SEEK_END);
    RemoveWaiter(sequence);
    DropQueued(sequence);
    CloseIfAsked();
    return result;
}

CL_Status CL_TCPClient::TakePing(ActionJob* job, uint32 sequence, const QueuedPacket& ping,
                                 Reply* reply) {
    reply->TakePing(ping);
    // The answer of the round's start may predate the cancel: a PING that came during
    // a long wait must carry the ABORT now, not one PING later.
    if (!reply->fAborted) reply->fAborted = job->HasAborted();
    if (!reply->fAborted || reply->fAbortSent) return CL_OK;
    reply->fAbortSent = true;
    return WriteAbort(job, sequence);
}

// ---- Cancelling ------------------------------------------------------------------------------

CL_Status CL_TCPClient::SendAbort(ActionJob* job, uint32 sequence) {
    CL_AutoLocker locker(fLock);
    return WriteAbort(job, sequence);
}

CL_Status CL_TCPClient::WriteAbort(ActionJob* job, uint32 sequence) {
    CL_PacketHeader header;
    CL_MakeAbortRequest(&header, sequence);
    return CL_WritePacket(fSocket, header, CL_Blob(), job ? job->GetTimeOut() : GetTimeOut());
}

CL_Status CL_TCPClient::Interrupt() {
    CL_AutoLocker locker(fLock);
    CL_PacketHeader header;
    CL_MakeAbortAllRequest(&header);
    CL_Status status = CL_WritePacket(fSocket, header, CL_Blob(), CL_WAIT_FOREVER);
    // The server answers only the requests it already runs; those it still holds in
    // its queue would wait out their time-outs. Every waiting request ends here.
    for (Waiter* waiter : fWaiters) {
        waiter->fInterrupted = true;
        waiter->fCond.Signal();
    }
    return status;
}
