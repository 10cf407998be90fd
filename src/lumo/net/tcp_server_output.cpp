// What goes to a client: whole packets, written as far as the socket takes them at
// once by whoever has them (a worker its reply, the dispatcher its PINGs and ABORT
// replies); the rest waits in the client's output, in order, and the dispatcher writes
// it when the socket is ready. No thread ever waits on a client's socket.
#include "lumo/clock.h"
#include "tcp_server_records.h"

using Impl = CL_TCPServer::Impl;

namespace {

// Unwritten bytes past which a client is served no further requests, and read no
// further, until it has read its replies.
constexpr uint64 kMaxBacklog = 4u << 20;

// One write that does not wait: the bytes the socket took, CL_OK (also when it took
// fewer or none) or the socket's error.
CL_Status WriteNow(CL_Socket& socket, const uint8* data, uint32 size, uint32* sent) {
    *sent = socket.Write(data, size, 0);
    CL_Status status = socket.GetIOError(false);
    return status == CL_TIMEOUT ? CL_OK : status;
}

}  // namespace

CL_Status Impl::Output::Send(CL_Socket& socket, const CL_Blob& wire, uint32 now, bool* queued) {
    uint32 size = wire.GetSize();
    uint32 sent = 0;
    *queued = false;
    if (fPackets.empty()) {
        CL_Status status = WriteNow(socket, wire.GetDataForRead(), size, &sent);
        if (status != CL_OK) return status;
        if (sent == size) return CL_OK;
        fOffset = sent;
        fSince = now;
    }
    fPackets.push_back(wire);
    Count(int64_t(size - sent));
    *queued = true;
    return CL_OK;
}

CL_Status Impl::Output::WriteQueued(CL_Socket& socket, uint32 now) {
    CL_Status status = CL_OK;
    while (!fPackets.empty()) {
        const CL_Blob& first = fPackets.front();
        uint32 left = first.GetSize() - fOffset;
        uint32 sent = 0;
        status = WriteNow(socket, first.GetDataForRead() + fOffset, left, &sent);
        if (sent > 0) fSince = now;
        Count(-int64_t(sent));
        if (status != CL_OK || sent < left) {
            fOffset += sent;
            break;
        }
        fPackets.pop_front();
        fOffset = 0;
    }
    return status;
}

void Impl::Output::Drop() {
    Count(-int64_t(fBytes));
    fPackets.clear();
    fOffset = 0;
}

void Impl::Output::Count(int64_t change) {
    fBytes = uint64(int64_t(fBytes) + change);
    *fMine = fBytes;
    *fTotal += uint64(change);
}

// Only the first bytes to wait need the dispatcher told.
CL_Status Impl::Post(Client* client, const CL_Blob& wire, bool* queued) {
    bool wasEmpty = client->fOutput.IsEmpty();
    CL_Status status = client->fOutput.Send(*client->fSocket, wire, CL_GetTime(), queued);
    if (!wasEmpty) *queued = false;
    return status;
}

bool Impl::Backlogged(Client* client) const {
    return client->fBacklog >= kMaxBacklog;
}
