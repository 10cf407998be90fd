// A raw client of the RPC wire protocol for the server's tests: one connection that
// speaks it packet by packet through the packet functions, and the opening most server
// tests share, a started TestServer with such a client connected and authorised.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/table.h"
#include "lumo/thread.h"
#include "support/flat_table.h"
#include "support/packet_io.h"
#include "support/test_server.h"

// `plain` compressed, read from its start.
inline CL_Blob Compressed(const CL_Blob& plain) {
    CL_Blob packed = plain;
    packed.Seek(0, CL_SEEK_SET);
    packed.Compress();
    packed.Seek(0, CL_SEEK_SET);
    return packed;
}

// One connection that speaks the protocol packet by packet.
struct RawClient {
    CL_Socket fSocket;
    uint32 fSequence = 1;
    uint64 fServerID = 0;
    uint32 fClientID = 0;
    uint16 fFlags = 0;
    std::unique_ptr<CL_Cipher> fCipher{new CL_Cipher()};

    bool Connect(uint16 port) {
        fSocket = CL_Socket(CL_NetAddress(CL_NetAddress::LOOPBACK, port), CL_SOCKET_TYPE_TCP);
        return fSocket.Connect(2000) == 0;
    }
    // Straight to the descriptor, so that a reader thread may use the socket meanwhile.
    // A read with a time-out leaves the descriptor non-blocking: a full send buffer
    // is waited out (for a bounded time), not taken for a failure.
    CL_Status SendRaw(const void* data, uint32 size) {
        const char* at = static_cast<const char*>(data);
        while (size > 0) {
            int fd = fSocket.GetDescriptor();
            ssize_t n = send(fd, at, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                pollfd room = {fd, POLLOUT, 0};
                int ready = poll(&room, 1, 30000);
                if (ready < 0 && errno == EINTR) continue;
                if (ready <= 0) return CL_TIMEOUT;
                continue;
            }
            if (n <= 0) return CL_SOCKET_WRITE_ERROR;
            at += n;
            size -= uint32(n);
        }
        return CL_OK;
    }
    CL_Status Send(const CL_PacketHeader& header, const CL_Blob& payload) {
        CL_Blob wire;
        CL_BuildPacket(header, payload, &wire);
        return SendRaw(wire.GetDataForRead(), wire.GetSize());
    }
    // Reads one whole packet (a PING is one chunk); the payload is deciphered and
    // inflated unless `raw`.
    CL_Status Read(CL_PacketHeader* header, CL_Blob* payload, uint32 ms = 5000, bool raw = false) {
        CL_PayloadDecoder decoder(fCipher.get(), raw);
        for (;;) {
            CL_PacketHeader chunk;
            CL_Blob data;
            CL_Status status = CL_ReadChunk(fSocket, &chunk, &data, ms);
            if (status != 0) return status;
            if (chunk.fType == CL_PACKET_TYPE_PING) {
                *header = chunk;
                *payload = data;
                return CL_OK;
            }
            status = decoder.Add(chunk, data);
            if (status != 0) return status;
            if (decoder.IsComplete()) {
                *header = decoder.GetHeader();
                *payload = decoder.GetResult();
                payload->Seek(0, CL_SEEK_SET);
                return CL_OK;
            }
        }
    }
    // Whether bytes arrive within `ms`; a reader that times out only here never
    // stops in the middle of a packet.
    bool Readable(uint32 ms) {
        pollfd incoming = {fSocket.GetDescriptor(), POLLIN, 0};
        int ready = poll(&incoming, 1, int(ms));
        return ready > 0 || (ready < 0 && errno == EINTR);
    }
    // A request waiting for a worker, or held back by the server's limits, is PINGed for
    // as long as it waits: PINGs keep a wait for a reply going this long at most.
    static constexpr uint32 kMostPinged = 30000;
    // Reads until a packet other than a PING arrives, each read waiting `ms` at most;
    // PINGs are counted. CL_TIMEOUT once PINGs alone have come for kMostPinged.
    CL_Status ReadReply(CL_PacketHeader* header, CL_Blob* payload, uint32* pings = nullptr,
                        uint32 ms = 5000, std::vector<std::string>* messages = nullptr,
                        bool raw = false) {
        uint32 start = CL_GetTime();
        for (;;) {
            CL_Status status = Read(header, payload, ms, raw);
            if (status != 0) return status;
            if (header->fType != CL_PACKET_TYPE_PING) return CL_OK;
            if (pings) ++*pings;
            if (messages && payload->GetSize() > 0)
                messages->push_back(CL_GetPingMessage(*payload));
            if (CL_GetTime() - start >= kMostPinged) return CL_TIMEOUT;
        }
    }
    // The handshake's replies come plain; a PING about the request may come first.
    CL_Status ReadHandshakeReply(CL_PacketHeader* header, CL_Blob* payload) {
        return ReadReply(header, payload, nullptr, 5000, nullptr, true);
    }
    CL_Status ServerInfo() {
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, fSequence++);
        CL_Status status = Send(header, CL_Blob());
        if (status != 0) return status;
        CL_Blob payload;
        status = ReadHandshakeReply(&header, &payload);
        if (status != 0) return status;
        fServerID = header.fServer.fID;
        return CL_OK;
    }
    // AUTH with the given flags and version; 0 when granted, the refusal code, or a
    // transport status.
    CL_Status Auth(uint16 flags, const CLU_Table& table = CLU_Table(),
                   uint32 version = CL_IPC_VERSION, CLU_Table* replyTable = nullptr) {
        if (fServerID == 0) {
            CL_Status status = ServerInfo();
            if (status != 0) return status;
        }
        CL_PacketHeader header;
        CL_MakeAuthRequest(&header, fSequence++, flags);
        header.fVersion = version;
        CL_Status status = Send(header, Flat(table));
        if (status != 0) return status;
        CL_Blob payload;
        status = ReadHandshakeReply(&header, &payload);
        if (status != 0) return status;
        if (header.fType == CL_PACKET_TYPE_NO_AUTH) return CL_Status(header.fConnection.fError);
        if (header.fType != CL_PACKET_TYPE_AUTH) return CL_IPC_BAD_REPLY;
        fClientID = header.fConnection.fID;
        fFlags = header.fFlags & uint16(~CL_IPC_FIRST_CHUNK);
        fCipher.reset(CL_NewConnectionCipher(fFlags, fClientID, fServerID));
        if (replyTable) *replyTable = Unflat(payload);
        return CL_OK;
    }
    // `count` empty DATA requests on the wire, numbered on from fSequence.
    CL_Blob EmptyRequests(uint32 count) {
        CL_Blob wire;
        for (uint32 i = 0; i < count; i++) {
            CL_PacketHeader header;
            CL_MakeDataRequest(&header, fSequence++, rpc_test::kRawEcho, 0);
            CL_BuildPacket(header, CL_Blob(), &wire);
        }
        return wire;
    }
    // Sends a DATA request as the client does; gives its sequence number.
    uint32 SendData(CL_Command command, CL_Blob payload) {
        CL_PacketHeader header;
        uint32 sequence = fSequence++;
        CL_MakeDataRequest(&header, sequence, command, fFlags);
        CL_EncodePayload(&header, payload, fFlags, fCipher.get(), false);
        Send(header, payload);
        return sequence;
    }
    // Sends `plain` compressed as a DATA request for `command`, as a client granted
    // compression would; gives its sequence number.
    uint32 SendCompressed(CL_Command command, const CL_Blob& plain) {
        CL_PacketHeader header;
        uint32 sequence = fSequence++;
        CL_MakeDataRequest(&header, sequence, command, uint16(fFlags | CL_IPC_COMPRESS));
        header.fData.fCheckSum = plain.CheckSum();
        Send(header, Compressed(plain));
        return sequence;
    }
    // Whether the next packet, past PINGs unless a PING is awaited, is of `type` and
    // about `sequence`; `header` gets it.
    ::testing::AssertionResult Next(uint16 type, uint32 sequence,
                                    CL_PacketHeader* header = nullptr) {
        CL_PacketHeader got;
        CL_Blob payload;
        const uint32 ms = 10000;
        uint32 pings = 0;
        CL_Status status = type == CL_PACKET_TYPE_PING ? Read(&got, &payload, ms)
                                                       : ReadReply(&got, &payload, &pings, ms);
        if (status != CL_OK)
            return ::testing::AssertionFailure()
                   << "no packet " << type << " of " << sequence << " (" << pings
                   << " PINGs came): read " << status;
        if (header) *header = got;
        if (got.fType == type && got.fSequence == sequence) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "packet " << got.fType << " of " << got.fSequence
                                             << ", not " << type << " of " << sequence;
    }
    // One request and its reply: the reply's type, or a transport status below 0.
    int32 Call(CL_Command command, const CLU_Table& input, CLU_Table* output = nullptr,
               uint32* pings = nullptr, std::vector<std::string>* messages = nullptr) {
        uint32 sequence = SendData(command, Flat(input));
        CL_PacketHeader header;
        CL_Blob payload;
        CL_Status status = ReadReply(&header, &payload, pings, 10000, messages);
        if (status != 0) return -status;
        EXPECT_EQ(header.fSequence, sequence);
        if (output) *output = Unflat(payload);
        return header.fType;
    }
    // An ABORT, or with `all` an ABORT_ALL; without `first` its header lacks the
    // first-chunk flag, which the server must not need to know it.
    void Abort(uint32 sequence, bool first = true, bool all = false) {
        CL_PacketHeader header;
        if (all)
            CL_MakeAbortAllRequest(&header);
        else
            CL_MakeAbortRequest(&header, sequence);
        if (!first) header.fFlags &= uint16(~CL_IPC_FIRST_CHUNK);
        SendRaw(&header, sizeof(header));
    }
    // Whether the server closed the connection within `ms`.
    bool Closed(uint32 ms = 5000) {
        uint32 start = CL_GetTime();
        while (CL_GetTime() - start < ms) {
            char byte;
            ssize_t k = recv(fSocket.GetDescriptor(), &byte, 1, MSG_DONTWAIT);
            if (k == 0) return true;
            if (k < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return true;
            CL_Thread::Sleep(5);
        }
        return false;
    }
};

// Connects `client` to the running `server` and authorises it with `authFlags` and the
// connection table `table`.
[[nodiscard]] inline ::testing::AssertionResult Authorise(TestServer& server, RawClient& client,
                                                          uint16 authFlags = 0,
                                                          const CLU_Table& table = CLU_Table()) {
    if (!client.Connect(server.fPort)) return ::testing::AssertionFailure() << "no connection";
    CL_Status status = client.Auth(authFlags, table);
    if (status != CL_OK) return ::testing::AssertionFailure() << "AUTH: " << status;
    return ::testing::AssertionSuccess();
}

// Starts `server` and connects `client` to it, authorised: the opening of most server
// tests.
[[nodiscard]] inline ::testing::AssertionResult StartAndAuthorise(
    TestServer& server, RawClient& client, uint16 authFlags = 0,
    const CLU_Table& table = CLU_Table()) {
    CL_Status status = server.Start();
    if (status != CL_OK) return ::testing::AssertionFailure() << "server start: " << status;
    return Authorise(server, client, authFlags, table);
}
