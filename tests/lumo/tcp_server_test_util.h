// Shared pieces of the TCP server tests: a private network namespace for the whole
// test program (the discovery responder binds its fixed candidate ports), a server
// started on a free loopback port with the stand-in handlers, a log recorder, and a
// raw client that speaks the wire protocol through the packet functions.
#pragma once

#include <gtest/gtest.h>

#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/cipher.h"
#include "lumo/clock.h"
#include "lumo/init.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "tools/free_port.h"
#include "tools/rpc_test_handlers.h"

namespace server_test {

// Runs the program again inside a new user and network namespace with loopback up,
// so that fixed ports never meet another program's. Without namespaces the tests
// run where they are.
inline bool EnterPrivateNetwork() {
    if (getenv("ZELMO_NETNS_CHILD")) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd >= 0) {
            ifreq request;
            memset(&request, 0, sizeof(request));
            strcpy(request.ifr_name, "lo");
            if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
                request.ifr_flags |= IFF_UP;
                ioctl(fd, SIOCSIFFLAGS, &request);
            }
            close(fd);
        }
        return true;
    }
    if (getenv("ZELMO_NO_NETNS") || access("/usr/bin/unshare", X_OK) != 0) return false;
    if (system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0) return false;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\0', at);
        if (end == std::string::npos) end = all.size();
        args.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0 || args.empty()) return false;
    self[n] = 0;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("/usr/bin/unshare"));
    argv.push_back(const_cast<char*>("-rn"));
    argv.push_back(self);
    for (size_t i = 1; i < args.size(); i++)
        argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    setenv("ZELMO_NETNS_CHILD", "1", 1);
    execv(argv[0], argv.data());
    unsetenv("ZELMO_NETNS_CHILD");
    return false;
}

inline bool InPrivateNetwork() {
    return getenv("ZELMO_NETNS_CHILD") != nullptr;
}

// Log lines kept for inspection.
struct LogRecorder {
    std::mutex fMutex;
    std::vector<std::pair<uint32, std::string>> fLines;

    static void Callback(uint32 level, const std::string& message, void* userData) {
        LogRecorder* self = static_cast<LogRecorder*>(userData);
        std::lock_guard<std::mutex> lock(self->fMutex);
        self->fLines.emplace_back(level, message);
    }
    bool Has(uint32 level, const std::string& text) {
        std::lock_guard<std::mutex> lock(fMutex);
        for (auto& line : fLines)
            if (line.first == level && line.second == text) return true;
        return false;
    }
    bool HasPrefix(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(fMutex);
        for (auto& line : fLines)
            if (line.second.compare(0, prefix.size(), prefix) == 0) return true;
        return false;
    }
    bool Contains(const std::string& part, uint32* level = nullptr) {
        std::lock_guard<std::mutex> lock(fMutex);
        for (auto& line : fLines)
            if (line.second.find(part) != std::string::npos) {
                if (level) *level = line.first;
                return true;
            }
        return false;
    }
    uint32 MaxLevel() {
        std::lock_guard<std::mutex> lock(fMutex);
        uint32 max = 0;
        for (auto& line : fLines)
            if (line.first > max) max = line.first;
        return max;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(fMutex);
        fLines.clear();
    }
};

// Polls `done` every few milliseconds for at most `ms`.
template <class F>
bool WaitFor(F done, uint32 ms = 5000) {
    uint32 start = CL_GetTime();
    while (!done()) {
        if (CL_GetTime() - start > ms) return done();
        CL_Thread::Sleep(2);
    }
    return true;
}

inline CL_Blob Flat(const CLU_Table& table) {
    CL_Blob blob;
    table.Flatten(blob);
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

inline CLU_Table Unflat(CL_Blob blob) {
    CLU_Table table;
    blob.Seek(0, CL_SEEK_SET);
    table.Unflatten(blob);
    return table;
}

// The library is started before any server thread reads the clocks.
struct LibraryStarted {
    LibraryStarted() { CL_Init(); }
};

// A server on a free loopback port with the stand-in handlers and a log recorder.
struct TestServer {
    explicit TestServer(uint16 flags = 0, uint32 logLevel = CL_LOG_LEVEL_DEBUG_VERBOSE,
                        uint32 timeOut = 0) {
        memset(&fCallbacks, 0, sizeof(fCallbacks));
        fCallbacks.fLog = LogRecorder::Callback;
        fCallbacks.fExecute = rpc_test::Execute;
        fServer.SetCallbacks(&fCallbacks, &fLog);
        fPort = FreeLoopbackPort();
        CLU_Table settings;
        settings.Set("listener_port", (long long)fPort);
        settings.Set("flags", (long long)flags);
        settings.Set("log_level", (long long)logLevel);
        settings.Set("timeout", (long long)timeOut);
        settings.Set("ip", std::string("127.0.0.1"));
        fServer.Setup(settings);
    }
    // Callbacks changed after construction take effect with this.
    void Apply() { fServer.SetCallbacks(&fCallbacks, &fLog); }
    CL_Status Start() { return fServer.Start(); }

    LibraryStarted fStarted;
    CL_ServerCallbacks fCallbacks;
    LogRecorder fLog;
    CL_TCPServer fServer;
    uint16 fPort = 0;
};

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
    // Reads until a packet other than a PING arrives; PINGs are counted.
    CL_Status ReadReply(CL_PacketHeader* header, CL_Blob* payload, uint32* pings = nullptr,
                        uint32 ms = 5000, std::vector<std::string>* messages = nullptr) {
        for (;;) {
            CL_Status status = Read(header, payload, ms);
            if (status != 0) return status;
            if (header->fType != CL_PACKET_TYPE_PING) return CL_OK;
            if (pings) ++*pings;
            if (messages && payload->GetSize() > 0)
                messages->push_back(CL_GetPingMessage(*payload));
        }
    }
    CL_Status ServerInfo() {
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, fSequence++);
        CL_Status status = Send(header, CL_Blob());
        if (status != 0) return status;
        CL_Blob payload;
        status = Read(&header, &payload, 5000, true);
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
        status = Read(&header, &payload, 5000, true);
        if (status != 0) return status;
        if (header.fType == CL_PACKET_TYPE_NO_AUTH) return CL_Status(header.fConnection.fError);
        if (header.fType != CL_PACKET_TYPE_AUTH) return CL_IPC_BAD_REPLY;
        fClientID = header.fConnection.fID;
        fFlags = header.fFlags & uint16(~CL_IPC_FIRST_CHUNK);
        fCipher.reset(CL_NewConnectionCipher(fFlags, fClientID, fServerID));
        if (replyTable) *replyTable = Unflat(payload);
        return CL_OK;
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
    void Abort(uint32 sequence) {
        CL_PacketHeader header;
        CL_MakeAbortRequest(&header, sequence);
        Send(header, CL_Blob());
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

}  // namespace server_test
