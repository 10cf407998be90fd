// What goes to a client: whole packets, written as far as the socket takes them at
// once by whoever has them (a worker its reply, the dispatcher its PINGs and ABORT
// replies); the rest waits in the client's output, in order, and the dispatcher writes
// it when the socket is ready. No thread ever waits on a client's socket.
#include "lumo/clock.h"
#include "tcp_server_records.h"

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

// Writes the packet at once when nothing waits before it, and queues what the socket
// did not take; *queued tells whether anything was queued.
CL_Status CL_TCPServer::SendOrQueue(Client* client, const CL_Blob& wire, bool* queued) {
    Output& output = client->fOutput;
    uint32 size = wire.GetSize();
    uint32 sent = 0;
    *queued = false;
    if (output.fPackets.empty()) {
        CL_Status status = WriteNow(*client->fSocket, wire.GetDataForRead(), size, &sent);
        if (status != CL_OK) return status;
        if (sent == size) return CL_OK;
        output.fOffset = sent;
        output.fSince = CL_GetTime();
    }
    output.fPackets.push_back(wire);
    output.fBytes += size - sent;
    client->fBacklog = output.fBytes;
    fOutputBytes += size - sent;
    *queued = true;
    return CL_OK;
}

// Writes what waits until the socket takes no more.
CL_Status CL_TCPServer::WriteQueued(Client* client, uint32 now) {
    Output& output = client->fOutput;
    CL_Status status = CL_OK;
    while (!output.fPackets.empty()) {
        const CL_Blob& first = output.fPackets.front();
        uint32 left = first.GetSize() - output.fOffset;
        uint32 sent = 0;
        status = WriteNow(*client->fSocket, first.GetDataForRead() + output.fOffset, left, &sent);
        if (sent > 0) output.fSince = now;
        output.fBytes -= sent;
        fOutputBytes -= sent;
        if (status != CL_OK || sent < left) {
            output.fOffset += sent;
            break;
        }
        output.fPackets.pop_front();
        output.fOffset = 0;
    }
    client->fBacklog = output.fBytes;
    return status;
}

void CL_TCPServer::DropOutput(Client* client) {
    Output& output = client->fOutput;
    fOutputBytes -= output.fBytes;
    output.fPackets.clear();
    output.fOffset = 0;
    output.fBytes = 0;
    client->fBacklog = 0;
}

bool CL_TCPServer::Backlogged(Client* client) const {
    return client->fBacklog >= kMaxBacklog;
}
