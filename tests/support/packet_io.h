// Blocking packet reads for tests and benchmarks: one chunk at a time from a socket,
// and how many chunks a payload takes. The library itself reads without blocking
// (CL_ChunkReader).
#pragma once

#include "lumo/ipc.h"
#include "lumo/socket.h"

// Chunks a payload of `size` bytes takes (1 for an empty payload).
inline uint32 CL_ChunkCount(uint32 size) {
    return size == 0 ? 1 : uint32((uint64(size) + CL_IPC_CHUNK_SIZE - 1) / CL_IPC_CHUNK_SIZE);
}

// Reads one chunk: its header (magic checked: CL_PROTOCOL_NOT_SUPPORTED) and its payload
// bytes. CL_OK or the socket's status; CL_TIMEOUT when the chunk did not arrive whole in time.
inline CL_Status CL_ReadChunk(CL_Socket& socket, CL_PacketHeader* header, CL_Blob* payload,
                              uint32 ms) {
    CL_PacketHeader local;
    uint32 got = socket.Read(&local, sizeof(local), ms);
    CL_Status status = socket.GetIOError(false);
    if (got != sizeof(local)) return status != CL_OK ? status : CL_TIMEOUT;
    status = CL_CheckPacketHeader(local);
    if (status != CL_OK) return status;
    *header = local;
    uint32 n = CL_ChunkPayloadSize(local);
    payload->Clear();
    if (n == 0) return CL_OK;
    got = socket.Read(*payload, n, ms);
    status = socket.GetIOError(false);
    if (got != n) return status != CL_OK ? status : CL_TIMEOUT;
    payload->Seek(0, CL_SEEK_SET);
    return CL_OK;
}
