// One request and its reply on the shared connection. Requests of several threads
// interleave: whoever holds the reading turn reads the next chunk, whatever request
// it belongs to, and queues it for its owner; the others wait on the queue. Chunks of
// requests nobody waits for any more are dropped as they arrive.
#include <algorithm>
#include <cstring>

#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/tcp_client.h"

// A request waiting for its reply. Each has a condition of its own, so that a chunk
// read for it wakes it alone.
struct CL_TCPClient::Waiter : public CL_Object {
    uint32 fSequence = 0;
    bool fInterrupted = false;
    bool fSleeping = false;  // waiting on fCond for its packets or the reading turn
    CL_Condition fCond;
};

namespace {

constexpr uint32 kHeaderSize = sizeof(CL_PacketHeader);
// Later waits of a round: the idle callback runs about this often.
constexpr uint32 kPollInterval = 10;
// Bytes taken from the socket at a time: several whole chunks.
constexpr uint32 kReadSize = 4 * (kHeaderSize + CL_IPC_CHUNK_SIZE);

}  // namespace

// ---- Waiting requests and their queue ---------------------------------------------------

CL_TCPClient::Waiter* CL_TCPClient::FindWaiter(uint32 sequence) {
    for (Waiter* waiter : fWaiters)
        if (waiter->fSequence == sequence) return waiter;
    return nullptr;
}

void CL_TCPClient::AddWaiter(uint32 sequence) {
    if (FindWaiter(sequence)) return;
    Waiter* waiter = new Waiter;
    waiter->fSequence = sequence;
    fWaiters.push_back(waiter);
}

void CL_TCPClient::RemoveWaiter(uint32 sequence) {
    for (size_t i = 0; i < fWaiters.size(); i++) {
        if (fWaiters[i]->fSequence == sequence) {
            delete fWaiters[i];
            fWaiters.erase(fWaiters.begin() + ptrdiff_t(i));
            return;
        }
    }
}

void CL_TCPClient::ClearWaiters() {
    for (Waiter* waiter : fWaiters) delete waiter;
    fWaiters.clear();
}

CL_TCPClient::QueuedPacket* CL_TCPClient::TakeQueued(uint32 sequence) {
    for (auto it = fQueuedPackets.begin(); it != fQueuedPackets.end(); ++it) {
        if ((*it)->fHeader.fSequence == sequence) {
            QueuedPacket* packet = *it;
            fQueuedPackets.erase(it);
            return packet;
        }
    }
    return nullptr;
}

void CL_TCPClient::DropQueued(uint32 sequence) {
    auto keep = std::stable_partition(
        fQueuedPackets.begin(), fQueuedPackets.end(),
        [sequence](QueuedPacket* packet) { return packet->fHeader.fSequence != sequence; });
    for (auto it = keep; it != fQueuedPackets.end(); ++it) delete *it;
    fQueuedPackets.erase(keep, fQueuedPackets.end());
}

CL_Status CL_TCPClient::ReadInput() {
    // One read takes whatever is queued: a whole small reply, or several chunks.
    uint8 buffer[kReadSize];
    uint32 got = fSocket.Read(buffer, sizeof(buffer), 0);
    CL_Status status = fSocket.GetIOError(false);
    if (got > 0) {
        if (fInputStart > 0 && fInputStart == fInput.size()) {
            fInput.clear();
            fInputStart = 0;
        }
        fInput.append(reinterpret_cast<const char*>(buffer), got);
        fPacketsRead++;
        // A peer that closed right after its last bytes: they are served first.
        return CL_OK;
    }
    return status == CL_OK ? CL_TIMEOUT : status;
}

CL_Status CL_TCPClient::TakeInput(uint32* count) {
    *count = 0;
    for (;;) {
        size_t available = fInput.size() - fInputStart;
        if (available < kHeaderSize) break;
        CL_PacketHeader header;
        memcpy(&header, fInput.data() + fInputStart, kHeaderSize);
        CL_Status status = CL_CheckPacketHeader(header);
        if (status != CL_OK) return status;
        uint32 n = CL_ChunkPayloadSize(header);
        if (available < kHeaderSize + n) break;
        const char* payload = fInput.data() + fInputStart + kHeaderSize;
        fInputStart += kHeaderSize + n;
        (*count)++;
        // Late replies and PINGs of requests that ended are not kept.
        Waiter* owner = FindWaiter(header.fSequence);
        if (!owner) continue;
        QueuedPacket* packet = new QueuedPacket;
        packet->fHeader = header;
        if (n > 0) {
            packet->fData.Set(payload, n);
            packet->fData.Seek(0, CL_SEEK_SET);
        }
        fQueuedPackets.push_back(packet);
        if (owner->fSleeping) owner->fCond.Signal();
    }
    if (fInputStart > 0 && fInputStart >= fInput.size() / 2) {
        fInput.erase(0, fInputStart);
        fInputStart = 0;
    }
    return CL_OK;
}

CL_Status CL_TCPClient::WaitForPacket(ActionJob* job, uint32 sequence, QueuedPacket** packet) {
    // The reading turn stays with one request until it leaves or runs its idle
    // callback; the others sleep until a chunk comes for them or the turn is free.
    bool turn = false;
    auto releaseTurn = [this, &turn, sequence] {
        if (!turn) return;
        turn = false;
        fReading = false;
        for (Waiter* other : fWaiters) {
            if (other->fSleeping && other->fSequence != sequence) {
                other->fCond.Signal();
                break;
            }
        }
    };
    uint32 timeOutLeft = job->fTimeOut;
    uint32 start = CL_GetTime();
    uint32 seen = fPacketsRead;
    uint32 wait = 0;
    CL_Status result = 0;
    for (;;) {
        // Looked at before every wait: another reader may have queued the whole reply.
        *packet = TakeQueued(sequence);
        if (*packet) break;
        Waiter* waiter = FindWaiter(sequence);
        if (waiter && waiter->fInterrupted) {
            result = CL_CANCELLED;
            break;
        }
        // The handshake's requests have no ABORT to wait for: a cancelled Connect
        // ends its wait at once instead of waiting out a silent peer.
        if (fHandshaking && job->HasAborted()) {
            result = CL_CANCELLED;
            break;
        }
        // Whole chunks already read are handed out before anything else.
        uint32 taken = 0;
        result = TakeInput(&taken);
        if (result != CL_OK) break;
        if (taken > 0) continue;
        CloseIfAsked();
        if (fSocket.GetDescriptor() < 0) {
            // Closed between packets is "not connected"; in the middle of one, "lost".
            result = fInputStart < fInput.size() ? CL_CONNECTION_LOST : CL_NOT_CONNECTED;
            break;
        }

        uint32 step = std::min(wait, timeOutLeft);
        if (!turn && !fReading) {
            turn = true;
            fReading = true;
        }
        // A Connect holds the lock through every wait: nobody else can read meanwhile.
        if (turn || fHandshaking) {
            CL_Status status = 0;
            // The first look never waits: a non-blocking read is that look.
            if (step > 0) status = CL_Socket::Select(&fSocket, nullptr, nullptr, step, &fLock);
            if (status == CL_OK) {
                if (fSocket.GetDescriptor() < 0) continue;
                status = ReadInput();
                if (status == CL_OK) continue;
            }
            if (status != CL_TIMEOUT) {
                // A closed socket: the top of the loop tells how the reply ended.
                if (fSocket.GetDescriptor() < 0) continue;
                result = status;
                break;
            }
        } else if (step > 0 && waiter) {
            waiter->fSleeping = true;
            waiter->fCond.Wait(&fLock, step);
            waiter->fSleeping = false;
        }

        uint32 now = CL_GetTime();
        if (fPacketsRead != seen) {
            // Inactivity time-out: any bytes read from the connection restart it.
            seen = fPacketsRead;
            timeOutLeft = job->fTimeOut;
        } else {
            uint32 elapsed = now - start;
            timeOutLeft = elapsed >= timeOutLeft ? 0 : timeOutLeft - elapsed;
        }
        start = now;
        if (job->fIdle) {
            releaseTurn();
            fLock.Unlock();
            CL_Status answer = job->fIdle(job->fUserData);
            fLock.Lock();
            if (answer != CL_OK) {
                result = CL_CANCELLED;
                break;
            }
        }
        if (timeOutLeft == 0) {
            result = CL_TIMEOUT;
            break;
        }
        wait = kPollInterval;
    }
    releaseTurn();
    return result;
}

// ---- Requests ------------------------------------------------------------------------------

CL_Status CL_TCPClient::ActionJob::QueryServer(CL_PacketType type, uint16 flags,
                                               CL_PacketHeader* header, CL_Blob* data) {
    uint32 sequence = 0;
    CL_Status status = fClient->WriteRequest(this, &sequence, type, flags, header, data);
    if (status != CL_OK) return status;
    return fClient->ReadReply(this, sequence, header, data);
}

CL_Status CL_TCPClient::WriteRequest(ActionJob* job, uint32* sequence, CL_PacketType type,
                                     uint16 flags, CL_PacketHeader* header, CL_Blob* data) {
    ProgressJob* progress = job->fProgressJob;
    if (progress) progress->SetState(CL_PROGRESS_PROCESS, -1.0, std::string(), nullptr);
    CL_Blob payload;
    if (data && data->GetSize() > 0) {
        data->Seek(0, CL_SEEK_SET);
        payload = *data;
        payload.Seek(0, CL_SEEK_SET);
        if (flags & CL_IPC_COMPRESS) {
            payload.Compress();
            payload.Seek(0, CL_SEEK_SET);
        }
    }
    if (progress) progress->SetState(CL_PROGRESS_SEND, -1.0, std::string(), nullptr);

    CL_PacketHeader local;
    if (!header) {
        memset(&local, 0, sizeof(local));
        header = &local;
    }
    *sequence = uint32(fNextSequence++);
    header->fMagic = CL_IPC_MAGIC;
    header->fVersion = CL_IPC_VERSION;
    header->fType = uint16(type);
    header->fFlags = uint16(flags | CL_IPC_FIRST_CHUNK);
    header->fSequence = *sequence;

    CL_AutoLocker locker(fLock);
    if (fCipher && payload.GetSize() > 0) {
        fCipher->Encrypt(payload, 0xFFFFFFFF);
        payload.Seek(0, CL_SEEK_SET);
    }
    // Registered before the first byte goes out: another reader may read the reply.
    AddWaiter(*sequence);

    uint8 buffer[kHeaderSize + CL_IPC_CHUNK_SIZE];
    const uint8* bytes = payload.GetDataForRead();
    uint32 size = payload.GetSize();
    uint32 offset = 0;
    CL_PacketHeader chunk = *header;
    for (;;) {
        CloseIfAsked();
        uint32 left = size - offset;
        uint32 n = std::min(left, CL_IPC_CHUNK_SIZE);
        chunk.fSize = left;
        memcpy(buffer, &chunk, kHeaderSize);
        if (n) memcpy(buffer + kHeaderSize, bytes + offset, n);
        uint32 sent = fSocket.Write(buffer, kHeaderSize + n, job->fTimeOut);
        offset += n;
        chunk.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
        CL_Status status = fSocket.GetIOError(false);
        // A chunk that went out short cannot be framed again: the request ends.
        if (status == CL_OK && sent != kHeaderSize + n) status = CL_TIMEOUT;
        if ((progress && progress->HasAborted()) || status == CL_CANCELLED) {
            CL_Blob scratch;
            CL_Status result = ReadReply(job, *sequence, header, &scratch);
            return result != CL_OK ? result : CL_CANCELLED;
        }
        if (status != CL_OK) {
            RemoveWaiter(*sequence);
            return status;
        }
        if (offset >= size) return CL_OK;
    }
}

CL_Status CL_TCPClient::ReadReply(ActionJob* job, uint32 sequence, CL_PacketHeader* header,
                                  CL_Blob* data) {
    CL_AutoLocker locker(fLock);
    ProgressJob* progress = job->fProgressJob;
    const bool isAuth = header->fType == CL_PACKET_TYPE_AUTH;
    AddWaiter(sequence);

    CL_Status result = 0;
    bool aborted = job->HasAborted();
    bool abortSent = aborted;
    if (aborted) result = SendAbort(job, sequence);

    CL_ProgressType state = CL_PROGRESS_EXECUTE;
    double completeness = 0.0;
    std::string message;
    // The reply to AUTH comes before any cipher and is taken as it is.
    CL_PayloadDecoder decoder(isAuth ? nullptr : fCipher, isAuth);
    while (result == CL_OK) {
        if (progress) aborted = progress->SetState(state, completeness, message, nullptr);
        QueuedPacket* packet = nullptr;
        result = WaitForPacket(job, sequence, &packet);
        if (result != CL_OK) break;
        const CL_PacketHeader& chunk = packet->fHeader;
        if (chunk.fType == CL_PACKET_TYPE_PING) {
            if (state == CL_PROGRESS_EXECUTE) {
                completeness = CL_DecodeCompleteness(chunk.fPing.fCompleteness);
                if (packet->fData.GetSize() > 0) message = CL_GetPingMessage(packet->fData);
            }
            // The answer of the round's start may predate the cancel: a PING that came
            // during a long wait must carry the ABORT now, not one PING later.
            if (!aborted && progress) aborted = progress->HasAborted();
            if (aborted && !abortSent) {
                abortSent = true;
                result = SendAbort(job, sequence);
            }
            delete packet;
            continue;
        }
        if (!decoder.IsStarted() && (chunk.fFlags & CL_IPC_FIRST_CHUNK)) {
            // Sizes come from the wire: nothing of 2 GiB or more is ever accepted.
            if (chunk.fSize > CL_Blob::kMaxSize) {
                result = CL_IPC_BAD_REPLY;
            } else {
                *header = chunk;
                message.clear();
                state = CL_PROGRESS_RECEIVE;
            }
        }
        if (result == CL_OK) result = decoder.Add(chunk, packet->fData);
        delete packet;
        if (result == CL_OK && decoder.GetTotalSize() > 0) {
            uint32 total = decoder.GetTotalSize();
            completeness = double(total - decoder.GetBytesLeft()) * 100.0 / double(total);
        }
        if (result == CL_OK && decoder.IsComplete()) break;
    }
    *data = decoder.GetResult();
    data->Seek(0, CL_SEEK_END);
    RemoveWaiter(sequence);
    DropQueued(sequence);
    CloseIfAsked();
    return result;
}

CL_Status CL_TCPClient::SendAbort(ActionJob* job, uint32 sequence) {
    CL_AutoLocker locker(fLock);
    CL_PacketHeader header;
    CL_MakeAbortRequest(&header, sequence);
    fSocket.Write(&header, kHeaderSize, job ? job->fTimeOut : fTimeOut);
    return fSocket.GetIOError(false);
}

CL_Status CL_TCPClient::Interrupt() {
    CL_AutoLocker locker(fLock);
    CL_PacketHeader header;
    CL_MakeAbortAllRequest(&header);
    fSocket.Write(&header, kHeaderSize, CL_WAIT_FOREVER);
    CL_Status status = fSocket.GetIOError(false);
    // The server answers only the requests it already runs; those it still holds in
    // its queue would wait out their time-outs. Every waiting request ends here.
    for (Waiter* waiter : fWaiters) {
        waiter->fInterrupted = true;
        waiter->fCond.Signal();
    }
    return status;
}

// ---- Execute ---------------------------------------------------------------------------------

CL_Status CL_TCPClient::ExecuteJob::Run() {
    CL_Blob reply = fInput;
    CL_PacketHeader header;
    memset(&header, 0, sizeof(header));
    header.fData.fCommand = fCommand;
    header.fData.fCheckSum = fInput.CheckSum();
    CL_Status result = QueryServer(CL_PACKET_TYPE_DATA, fClient->fFlags, &header, &reply);
    if (result == CL_CANCELLED || HasAborted()) {
        reply.Clear();
        result = CL_IPC_EXECUTE_ABORTED;
    } else {
        reply.Seek(0, CL_SEEK_SET);
        if (result == CL_OK) {
            if (!CL_VerifyCheckSum(header, reply)) {
                result = CL_IPC_BAD_REPLY;
            } else {
                switch (header.fType) {
                    case CL_PACKET_TYPE_DATA:
                        QuitProgress();
                        return Success(reply);
                    case CL_PACKET_TYPE_FAILED:
                        result = CL_IPC_EXECUTE_FAILED;
                        break;
                    case CL_PACKET_TYPE_ABORT:
                        reply.Clear();
                        result = CL_IPC_EXECUTE_ABORTED;
                        break;
                    default:
                        result = CL_IPC_BAD_REPLY;
                        break;
                }
            }
        }
    }
    QuitProgress();
    return Error(result, reply);
}
