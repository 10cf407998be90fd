// What comes in on the shared connection. Requests of several threads interleave:
// whoever holds the reading turn reads the socket for everybody and queues each whole
// chunk for the request it belongs to; the others sleep until a chunk comes for them
// or the turn is free. Chunks of requests nobody waits for any more are dropped as
// they arrive.
#include <algorithm>

#include "lumo/net/countdown.h"
#include "lumo/net/tcp_client_action_job.h"
#include "lumo/net/tcp_client_input.h"

namespace {

// Later waits of a round: the idle callback runs about this often.
constexpr uint32 kPollInterval = 10;
// Reply bytes of an outstanding request before its first chunk.
constexpr uint32 kUnknownSize = 0xFFFFFFFF;
// Requests kept as outstanding at most: far more than are ever in flight at once.
constexpr size_t kMaxOutstanding = 1 << 16;
// Bytes taken from the socket at a time: several whole chunks.
constexpr uint32 kReadSize = 4 * (sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE);

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

void CL_TCPClient::EndWaiters(CL_Status status) {
    for (Waiter* waiter : fWaiters) {
        if (waiter->fEnd == CL_OK) waiter->fEnd = status;
        waiter->fCond.Signal();
    }
}

void CL_TCPClient::ClearWaiters() {
    for (Waiter* waiter : fWaiters) delete waiter;
    fWaiters.clear();
}

void CL_TCPClient::AddOutstanding(uint32 sequence) {
    fOutstanding[sequence] = kUnknownSize;
    if (fOutstanding.size() > kMaxOutstanding) fOutstanding.erase(fOutstanding.begin());
}

void CL_TCPClient::NoteNews(const CL_PacketHeader& header, uint32 size) {
    auto it = fOutstanding.find(header.fSequence);
    if (it == fOutstanding.end()) return;
    fNews++;
    fNewsAt = CL_GetTime();
    if (header.fType == CL_PACKET_TYPE_PING) return;
    uint32& left = it->second;
    if (header.fFlags & CL_IPC_FIRST_CHUNK) left = header.fSize;
    // A later chunk before any first one does not tell the reply's size.
    if (left == kUnknownSize) return;
    left -= std::min(size, left);
    if (left == 0) fOutstanding.erase(it);
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

// ---- Reading -------------------------------------------------------------------------------

CL_Status CL_TCPClient::ReadInput() {
    // One read takes whatever is queued: a whole small reply, or several chunks.
    return fReader.Read(fSocket, kReadSize);
}

CL_Status CL_TCPClient::TakeInput(uint32* count) {
    *count = 0;
    for (;;) {
        CL_PacketHeader header;
        const uint8* payload = nullptr;
        uint32 size = 0;
        CL_Status status = fReader.Next(&header, &payload, &size);
        if (status == CL_WOULD_BLOCK) break;
        if (status != CL_OK) {
            // A header with a wrong magic: nothing after it can be framed.
            DropConnection();
            return status;
        }
        (*count)++;
        QueueChunk(header, payload, size);
    }
    // The chunk now held in part is timed from its first bytes.
    if (fReader.GetHeld() == 0) {
        fPartialHeld = false;
    } else if (*count > 0 || !fPartialHeld) {
        fPartialHeld = true;
        fPartialSince = CL_GetTime();
    }
    return CL_OK;
}

void CL_TCPClient::QueueChunk(const CL_PacketHeader& header, const uint8* payload, uint32 size) {
    NoteNews(header, size);
    // Late replies and PINGs of requests that ended are not kept.
    Waiter* owner = FindWaiter(header.fSequence);
    if (!owner || owner->fEnd != CL_OK) return;
    QueuedPacket* packet = new QueuedPacket;
    packet->fHeader = header;
    if (size > 0) {
        packet->fData.Set(payload, size);
        packet->fData.Seek(0, CL_SEEK_SET);
    }
    fQueuedPackets.push_back(packet);
    if (owner->fSleeping) owner->fCond.Signal();
}

bool CL_TCPClient::ChunkStalled(uint32 sequence, uint32 ms) {
    if (!fPartialHeld || fReader.GetHeld() == 0) return false;
    // A chunk of the request whose time-out ran out: no chunk of its reply came whole
    // for all that time, this one included.
    CL_PacketHeader header;
    if (fReader.GetHeldHeader(&header) && header.fSequence == sequence) return true;
    return CL_GetTime() - fPartialSince >= ms;
}

void CL_TCPClient::DropConnection() {
    // Shut down before the close: a reader waiting on the socket without the lock
    // wakes up while the descriptor's number cannot yet be reused.
    fSocket.Shutdown();
    fSocket.Close();
    fReader.Clear();
    fPartialHeld = false;
    fOutstanding.clear();
    fID = 0;
}

// ---- Waiting for a chunk -----------------------------------------------------------------

CL_Status CL_TCPClient::WaitForPacket(ActionJob* job, uint32 sequence, Reply* reply,
                                      QueuedPacket** packet) {
    // The reading turn stays with one request until it leaves or runs its idle
    // callback; the others sleep until a chunk comes for them or the turn is free.
    bool turn = false;
    // The server's silence towards this client: each whole chunk or PING of an
    // outstanding request gives the whole budget back, counted from its arrival.
    CL_Countdown countdown(job->GetTimeOut());
    uint32 news = fNews;
    uint32 lastIdle = CL_GetTime();
    // The first look never waits: a non-blocking read is that look.
    uint32 wait = 0;
    CL_Status result;
    for (;;) {
        result = LookForPacket(job, sequence, packet);
        if (result != CL_OK || *packet) break;
        // A cancel reaches the server as soon as it shows, not only with a PING.
        result = CarryCancel(job, sequence, reply);
        if (result != CL_OK) break;
        if (fNews != news) {
            news = fNews;
            countdown.RestartFrom(fNewsAt);
        }
        if (countdown.Tick() == 0) {
            if (ChunkStalled(sequence, job->GetTimeOut())) DropConnection();
            result = CL_TIMEOUT;
            break;
        }
        result = AwaitInput(sequence, &turn, std::min(wait, countdown.Left()));
        if (result != CL_OK && result != CL_TIMEOUT) {
            // A wait ended from outside tells why, whatever the socket said.
            Waiter* waiter = FindWaiter(sequence);
            if (waiter && waiter->fEnd != CL_OK) result = waiter->fEnd;
            break;
        }
        // About every poll interval, even while other requests' bytes keep coming.
        if (result == CL_TIMEOUT || CL_GetTime() - lastIdle >= kPollInterval) {
            lastIdle = CL_GetTime();
            if (IdleCancels(job, sequence, &turn)) {
                AbortWithoutAnswer(job, sequence, reply);
                result = CL_CANCELLED;
                break;
            }
        }
        wait = kPollInterval;
    }
    ReleaseTurn(sequence, &turn);
    return result;
}

CL_Status CL_TCPClient::LookForPacket(ActionJob* job, uint32 sequence, QueuedPacket** packet) {
    *packet = nullptr;
    for (;;) {
        // Ended from outside: at once, also when chunks of its reply are queued or
        // still arriving.
        Waiter* waiter = FindWaiter(sequence);
        if (waiter && waiter->fEnd != CL_OK) return waiter->fEnd;
        // Looked at before every wait: another reader may have queued the whole reply.
        *packet = TakeQueued(sequence);
        if (*packet) return CL_OK;
        // The handshake's requests have no ABORT to wait for: a cancelled Connect
        // ends its wait at once instead of waiting out a silent peer.
        if (fHandshaking && job->HasAborted()) return CL_CANCELLED;
        // Whole chunks already read are handed out before anything else.
        uint32 taken = 0;
        CL_Status status = TakeInput(&taken);
        if (status != CL_OK) return status;
        if (taken == 0) break;
    }
    CloseIfAsked();
    // Closed, between packets or in the middle of one: the peer is gone.
    if (fSocket.GetDescriptor() < 0) return CL_NOT_CONNECTED;
    return CL_OK;
}

CL_Status CL_TCPClient::AwaitInput(uint32 sequence, bool* turn, uint32 step) {
    // A reader of the connection a Connect replaces: its wait has been ended (look again).
    if (HandshakeElsewhere()) {
        AwaitHandshake();
        return CL_OK;
    }
    if (!*turn && !fReading) {
        *turn = true;
        fReading = true;
    }
    // A Connect reads without the turn: its gate keeps every other reader away, also
    // while its Select lets the lock go.
    if (*turn || fHandshaking) {
        CL_Status status = CL_OK;
        if (step > 0) status = CL_Socket::Select(&fSocket, nullptr, nullptr, step, &fLock);
        // A Connect that came meanwhile has the socket now.
        if (HandshakeElsewhere()) return CL_OK;
        if (status == CL_OK) {
            if (fSocket.GetDescriptor() < 0) return CL_OK;
            status = ReadInput();
            if (status == CL_OK) return CL_OK;
        }
        // A closed socket: the next look tells how the reply ended.
        if (status != CL_TIMEOUT && fSocket.GetDescriptor() < 0) return CL_OK;
        return status;
    }
    Waiter* waiter = FindWaiter(sequence);
    if (step > 0 && waiter) {
        waiter->fSleeping = true;
        waiter->fCond.Wait(&fLock, step);
        waiter->fSleeping = false;
    }
    return CL_TIMEOUT;
}

void CL_TCPClient::ReleaseTurn(uint32 sequence, bool* turn) {
    if (!*turn) return;
    *turn = false;
    fReading = false;
    for (Waiter* other : fWaiters) {
        if (other->fSleeping && other->fSequence != sequence) {
            other->fCond.Signal();
            break;
        }
    }
}

bool CL_TCPClient::IdleCancels(ActionJob* job, uint32 sequence, bool* turn) {
    if (!job->HasIdle() && !job->HasCancelCheck()) return false;
    ReleaseTurn(sequence, turn);
    CL_AutoUnlocker unlocker(fLock);
    if (job->CheckCancel()) return true;
    return job->HasIdle() && job->Idle() != CL_OK;
}
