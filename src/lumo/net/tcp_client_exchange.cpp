// One request and its reply on the shared connection: the request goes out chunk by
// chunk under the client's lock; its reply is put together from the chunks queued
// for it, with PINGs turned into progress and a cancel carried to the server as an
// ABORT. ABORT and ABORT_ALL are single headers.
#include <cstring>
#include <memory>

#include "lumo/cipher.h"
#include "lumo/net/tcp_client_action_job.h"
#include "lumo/net/tcp_client_input.h"
#include "lumo/net/tcp_client_progress_job.h"

// What one ReadReply knows of its reply so far: the progress to report and the
// payload decoded chunk by chunk.
class CL_TCPClient::Reply {
public:
    // raw: the reply to AUTH, which comes before any cipher and is taken as it is. The
    // reply keeps the cipher it decodes with: a Connect may replace the client's while
    // this reader waits without the lock.
    Reply(std::shared_ptr<CL_Cipher> cipher, bool raw, uint32 limit)
        : fCipher(std::move(cipher)), fDecoder(fCipher.get(), raw) {
        fDecoder.SetLimit(limit);
    }

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
    bool fAbortSent = false;  // an ABORT for this request has gone out

private:
    std::shared_ptr<CL_Cipher> fCipher;

public:
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

// The request's own header over the caller's arguments (bytes 20-31) of `given`, if any.
CL_PacketHeader RequestHeader(const CL_PacketHeader* given, CL_PacketType type, uint16 flags,
                              uint32 sequence) {
    CL_PacketHeader request;
    CL_InitPacketHeader(&request, type, uint16(flags | CL_IPC_FIRST_CHUNK), sequence);
    if (given) CL_CopyPacketArguments(*given, &request);
    return request;
}

}  // namespace

CL_Status CL_TCPClient::WriteRequest(ActionJob* job, uint32* sequence, CL_PacketType type,
                                     CL_PacketHeader* header, CL_Blob* data) {
    ProgressJob* progress = job->GetProgress();
    if (progress) progress->SetState(CL_PROGRESS_PROCESS, -1.0, std::string(), nullptr);
    // The flags and the cipher of one connection, taken at one moment: a Connect in
    // between must not pair the flags of one connection with the cipher of the other.
    // The handshake's requests go out plain.
    uint16 flags = 0;
    std::shared_ptr<CL_Cipher> cipher;
    uint32 connection;
    {
        CL_AutoLocker locker(fLock);
        // Flags and cipher of a connection being opened are not yet those it will have.
        AwaitHandshake();
        connection = fConnection;
        if (type == CL_PACKET_TYPE_DATA) {
            flags = GetFlags();
            cipher = fCipher;
        }
    }
    // Compressed without the lock: other requests go on meanwhile.
    CL_Blob payload = OutgoingPayload(data, flags);
    if (progress) progress->SetState(CL_PROGRESS_SEND, -1.0, std::string(), nullptr);

    *sequence = uint32(fNextSequence++);
    CL_PacketHeader local = RequestHeader(header, type, flags, *sequence);
    if (header)
        *header = local;
    else
        header = &local;

    bool cancelled = false;
    CL_Status status;
    {
        CL_AutoLocker locker(fLock);
        AwaitHandshake();
        // Encoded for a connection that a Connect has replaced since, or made inside the
        // handshake's own cancel check, before the connection is open.
        if (fConnection != connection || (fHandshaking && type == CL_PACKET_TYPE_DATA))
            return CL_NOT_CONNECTED;
        if (cipher && payload.GetSize() > 0) {
            cipher->Encrypt(payload, 0xFFFFFFFF);
            payload.Seek(0, CL_SEEK_SET);
        }
        // Registered before the first byte goes out: another reader may read the reply.
        AddWaiter(*sequence);
        status = SendChunks(job, *sequence, header, payload, &cancelled);
    }
    if (!cancelled) return status;
    // The server has (part of) the request: it hears of the cancel and answers. Waited
    // for as any reply is, with the lock of the chunks let go, so that the waits let
    // the other requests of the connection in.
    CL_Blob scratch;
    CL_Status result = ReadReply(job, *sequence, header, &scratch);
    return result != CL_OK ? result : CL_CANCELLED;
}

CL_Status CL_TCPClient::SendChunks(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                   const CL_Blob& payload, bool* cancelled) {
    // Cancelled before anything went out: the server never hears of the request.
    if (job->HasAborted()) {
        RemoveWaiter(sequence);
        return CL_CANCELLED;
    }
    CL_Blob wire;
    uint32 size = payload.GetSize();
    uint32 offset = 0;
    for (;;) {
        CloseIfAsked();
        wire.Clear();
        uint32 n = CL_AppendChunk(*header, payload, offset, &wire);
        uint32 sent = 0;
        CL_Status status = CL_OUT_OF_MEMORY;
        if (wire.GetSize() == sizeof(CL_PacketHeader) + n) status = WriteChunk(job, wire, &sent);
        if (status != CL_OK) {
            // A packet that went out in part cannot be framed by the server: whatever
            // came next on this connection would be read as its rest.
            if (offset > 0 || sent > 0) DropConnection();
            RemoveWaiter(sequence);
            return status;
        }
        // Out whole: the server answers it, in time, whoever still waits for it.
        if (offset == 0) AddOutstanding(sequence);
        offset += n;
        if (job->HasAborted()) {
            *cancelled = true;
            return CL_CANCELLED;
        }
        if (offset >= size) return CL_OK;
    }
}

CL_Status CL_TCPClient::WriteChunk(ActionJob* job, const CL_Blob& wire, uint32* sent) {
    if (fHandshaking) return WriteInSteps(job, wire, sent);
    *sent = fSocket.Write(wire.GetDataForRead(), wire.GetSize(), job->GetTimeOut());
    CL_Status status = fSocket.GetIOError(false);
    return status == CL_OK && *sent != wire.GetSize() ? CL_TIMEOUT : status;
}

CL_Status CL_TCPClient::ReadReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                  CL_Blob* data) {
    CL_AutoLocker locker(fLock);
    AwaitHandshake();
    return CollectReply(job, sequence, header, data);
}

CL_Status CL_TCPClient::CollectReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                     CL_Blob* data) {
    ProgressJob* progress = job->GetProgress();
    const bool isAuth = header->fType == CL_PACKET_TYPE_AUTH;
    AddWaiter(sequence);

    Reply reply(isAuth ? std::shared_ptr<CL_Cipher>() : fCipher, isAuth, GetReplyLimit());
    CL_Status result = CarryCancel(job, sequence, &reply);
    while (result == CL_OK) {
        if (progress)
            progress->SetState(reply.fState, reply.fCompleteness, reply.fMessage, nullptr);
        QueuedPacket* packet = nullptr;
        result = WaitForPacket(job, sequence, &reply, &packet);
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
    return CarryCancel(job, sequence, reply);
}

CL_Status CL_TCPClient::CarryCancel(ActionJob* job, uint32 sequence, Reply* reply) {
    // The handshake's requests have no ABORT: a cancelled Connect just ends.
    if (reply->fAbortSent || fHandshaking || !job->HasAborted()) return CL_OK;
    reply->fAbortSent = true;
    return WriteAbort(job, sequence);
}

void CL_TCPClient::AbortWithoutAnswer(ActionJob* job, uint32 sequence, Reply* reply) {
    if (reply->fAbortSent || fHandshaking) return;
    reply->fAbortSent = true;
    WriteAbort(job, sequence);
}

// ---- Cancelling ------------------------------------------------------------------------------

CL_Status CL_TCPClient::WriteAbort(ActionJob* job, uint32 sequence) {
    CL_PacketHeader header;
    CL_MakeAbortRequest(&header, sequence);
    return WriteControl(header, job ? job->GetTimeOut() : GetTimeOut());
}

CL_Status CL_TCPClient::WriteControl(const CL_PacketHeader& header, uint32 ms) {
    CloseIfAsked();
    uint32 sent = fSocket.Write(&header, sizeof(header), ms);
    CL_Status status = fSocket.GetIOError(false);
    if (status == CL_OK && sent != sizeof(header)) status = CL_TIMEOUT;
    // Cut short, the header would swallow the start of the next packet.
    if (status != CL_OK && sent > 0) DropConnection();
    return status;
}

CL_Status CL_TCPClient::Interrupt() {
    CL_AutoLocker locker(fLock);
    AwaitHandshake();
    CL_PacketHeader header;
    CL_MakeAbortAllRequest(&header);
    // Within the client's time-out: a peer that reads nothing must not keep the
    // connection's lock, and with it every other operation, for ever.
    CL_Status status = WriteControl(header, GetTimeOut());
    // The server answers only the requests it already runs; those it still holds in
    // its queue would wait out their time-outs. Every waiting request ends here.
    EndWaiters(CL_CANCELLED);
    return status;
}
