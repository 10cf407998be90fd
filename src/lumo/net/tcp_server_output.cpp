// What goes to a client: whole packets, written as far as the socket takes them at
// once by whoever has them (a worker its reply, the dispatcher its PINGs and ABORT
// replies); the rest waits in the client's output, in order, and the dispatcher writes
// it when the socket is ready. No thread ever waits on a client's socket.
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>

#include "lumo/clock.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// Unread replies over all clients: the request limit's worth, never less than this. A
// client with unread replies of its own has requests started only while the total is
// within it; the replies already being made, up to one for each worker, may take it
// past.
constexpr uint64 kMinOutputBudget = 1u << 20;
// The hard cap, past which no client has requests started: twice the budget, never
// less than the largest reply the client library takes by default, so that one such
// reply being read never holds the others back on a server with a small budget.
constexpr uint64 kOutputCapFactor = 2;
constexpr uint64 kMinOutputCap = 256u << 20;
// Every chunk of a packet but its last is a header and a full payload.
constexpr uint32 kWireChunk = sizeof(CL_PacketHeader) + CL_IPC_CHUNK_SIZE;
// A part of a large packet: 512 chunks, 4 MiB.
constexpr uint32 kPartChunks = 512;

// Where the chunk that holds byte `offset` of a packet of `size` bytes ends.
uint32 ChunkEnd(uint32 offset, uint32 size) {
    uint64 end = (uint64(offset) / kWireChunk + 1) * kWireChunk;
    return end < size ? uint32(end) : size;
}

// A client's socket as a sink: one write that does not wait.
class SocketSink : public Impl::Sink {
public:
    explicit SocketSink(CL_Socket& socket) : fSocket(socket) {}
    CL_Status Write(const uint8* data, uint32 size, uint32* sent) override {
        *sent = fSocket.Write(data, size, 0);
        CL_Status status = fSocket.GetIOError(false);
        return status == CL_TIMEOUT ? CL_OK : status;
    }
    uint32 Unsent() override {
        int unsent = 0;
        if (ioctl(fSocket.GetDescriptor(), SIOCOUTQ, &unsent) != 0) return 0;
        return unsent > 0 ? uint32(unsent) : 0;
    }

private:
    CL_Socket& fSocket;
};

}  // namespace

// The pace's history starts when the bytes begin to wait.
CL_Status Impl::Output::Send(Sink& sink, std::span<const CL_Blob> parts, uint32 now,
                             bool* queued) {
    size_t first = 0;
    uint64 before = fWritten;
    for (; fPackets.empty() && first < parts.size(); first++) {
        uint32 size = parts[first].GetSize();
        uint32 sent = 0;
        CL_Status status = sink.Write(parts[first].GetDataForRead(), size, &sent);
        fWritten += sent;
        if (status != CL_OK) return status;
        if (sent == size) continue;
        fOffset = sent;
        fSince = now;
        fMoved = now;
        fUnsent = sink.Unsent();
        fNoted = 0;
        fWrittenBefore = before;
        Note(now, fWritten - fUnsent);
        break;
    }
    *queued = first < parts.size();
    for (; first < parts.size(); first++) {
        fPackets.push_back(parts[first]);
        Count(int64_t(parts[first].GetSize()));
    }
    return CL_OK;
}

CL_Status Impl::Output::WriteQueued(Sink& sink, uint32 now) {
    CL_Status status = CL_OK;
    while (!fPackets.empty()) {
        const CL_Blob& first = fPackets.front();
        uint32 left = first.GetSize() - fOffset;
        uint32 sent = 0;
        status = sink.Write(first.GetDataForRead() + fOffset, left, &sent);
        fWritten += sent;
        // The time-out's clock is the chunk's: a peer that takes a few bytes now and then
        // does not hold its reply for ever.
        if (fOffset + sent >= ChunkEnd(fOffset, first.GetSize())) fSince = now;
        if (sent > 0) fMoved = now;
        if (status != CL_OK || sent < left) {
            fOffset += sent;
            break;
        }
        Count(-int64_t(first.GetSize()));
        fPackets.pop_front();
        fOffset = 0;
    }
    return status;
}

// Writes of ours raise the unsent count, so it is taken again after them.
CL_Status Impl::Output::Probe(Sink& sink, uint32 now) {
    if (fPackets.empty()) return CL_OK;
    uint32 unsent = sink.Unsent();
    if (unsent < fUnsent) fMoved = now;
    Note(now, fWritten - unsent);
    CL_Status status = WriteQueued(sink, now);
    fUnsent = sink.Unsent();
    return status;
}

// A peer's socket takes what its buffers hold of a reply whether or not the peer reads;
// bytes taken after a look found it stalled, or more than such a fill in all since the
// reply was first written (a peer may read much of it while it is), are the peer's
// reading.
void Impl::Output::Note(uint32 now, uint64 taken) {
    if (fNoted == 0) fStalled = fPeerReads = false;
    bool rose = fNoted == 0 || taken > fSamples[(fNext + kSamples - 1) % kSamples].fTaken;
    if (!rose && CL_Elapsed(now, fMoved) >= kStalledAfter) fStalled = true;
    if (rose && (fStalled || taken >= fWrittenBefore + kUnreadFill)) fPeerReads = true;
    fSamples[fNext] = {now, taken};
    fNext = (fNext + 1) % kSamples;
    if (fNoted < kSamples) fNoted++;
}

// From the latest look back to the newest one at least the window before it. What the
// peer took never falls, but for a socket whose count could not be read.
bool Impl::Output::GetPace(uint64* pace) const {
    if (fPackets.empty() || fNoted < 2) return false;
    const Sample& latest = fSamples[(fNext + kSamples - 1) % kSamples];
    for (uint32 back = 2; back <= fNoted; back++) {
        const Sample& sample = fSamples[(fNext + kSamples - back) % kSamples];
        uint32 span = CL_Elapsed(latest.fTime, sample.fTime);
        if (span < kPaceWindow) continue;
        uint64 taken = latest.fTaken > sample.fTaken ? latest.fTaken - sample.fTaken : 0;
        *pace = taken * 1000 / span;
        return true;
    }
    return false;
}

void Impl::Output::Drop() {
    *fLive -= fBytes;
    fDroppedBytes += fBytes;
    fBytes = 0;
    *fMine = 0;
    for (CL_Blob& packet : fPackets)
        fDropped.push_back(std::move(packet));
    fPackets.clear();
    fOffset = 0;
}

Impl::Output::~Output() {
    Free();
}

uint64 Impl::Output::Free() {
    Drop();
    fDropped.clear();
    uint64 freed = fDroppedBytes;
    fDroppedBytes = 0;
    *fTotal -= freed;
    return freed;
}

void Impl::Output::Count(int64_t change) {
    fBytes = uint64(int64_t(fBytes) + change);
    *fMine = fBytes;
    *fTotal += uint64(change);
    *fLive += uint64(change);
}

// Only the first bytes to wait need the dispatcher told.
CL_Status Impl::Post(Client* client, std::span<const CL_Blob> parts, bool* queued) {
    bool wasEmpty = client->fOutput.IsEmpty();
    SocketSink sink(*client->fSocket);
    CL_Status status = client->fOutput.Send(sink, parts, CL_GetTime(), queued);
    if (!wasEmpty) *queued = false;
    return status;
}

std::vector<CL_Blob> Impl::WireParts(const CL_PacketHeader& header, const CL_Blob& payload) {
    std::vector<CL_Blob> parts;
    uint32 size = payload.GetSize();
    uint32 offset = 0;
    do {
        uint64 left = size - offset;
        uint64 chunks = std::max<uint64>(1, (left + CL_IPC_CHUNK_SIZE - 1) / CL_IPC_CHUNK_SIZE);
        chunks = std::min<uint64>(chunks, kPartChunks);
        parts.emplace_back();
        parts.back().SetCapacity(uint32(std::min<uint64>(chunks * kWireChunk,
                                                         chunks * sizeof(CL_PacketHeader) + left)));
        for (uint64 i = 0; i < chunks; i++)
            offset += CL_AppendChunk(header, payload, offset, &parts.back());
    } while (offset < size);
    return parts;
}

CL_Status Impl::WriteQueued(Client* client, uint32 now) {
    SocketSink sink(*client->fSocket);
    return client->fOutput.WriteQueued(sink, now);
}

CL_Status Impl::ProbeOutput(Client* client, uint32 now) {
    SocketSink sink(*client->fSocket);
    return client->fOutput.Probe(sink, now);
}

bool Impl::Backlogged(Client* client) const {
    return client->fBacklog >= kMaxBacklog;
}

uint64 Impl::GetOutputBudget() const {
    uint64 budget = fMaxRequestSize;
    return budget > kMinOutputBudget ? budget : kMinOutputBudget;
}

uint64 Impl::GetOutputCap() const {
    uint64 cap = GetOutputBudget() * kOutputCapFactor;
    return cap > kMinOutputCap ? cap : kMinOutputCap;
}

// Requests of clients let in wait to be started while this holds: a client that has
// read all its replies waits for the others' only past the cap, where the clients whose
// replies take no bytes are cut off soon (DropStuckOutputs). The count is of the bytes
// held, those of clients cut off and not yet freed too. The handshake's replies are
// small, and always go.
bool Impl::OutputHeld(Client* client) const {
    if (!client->fAuthorized) return false;
    uint64 limit = client->fBacklog > 0 ? GetOutputBudget() : GetOutputCap();
    return fOutputBytes > limit;
}
