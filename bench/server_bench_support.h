// Helpers of the RPC server benchmarks: a server started in the benchmark's process, a
// connection that speaks the protocol packet by packet, and the costs of the server's
// own threads (CPU time, context switches, futex calls) read from the kernel.
#pragma once

#include <dirent.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "lumo/cipher.h"
#include "lumo/init.h"
#include "lumo/ipc.h"
#include "lumo/socket.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "support/loopback.h"
#include "support/packet_io.h"

namespace bench {

// A started server on a free loopback port; `settings` adds to the defaults.
inline CL_TCPServer* StartServer(CL_ServerCallbacks* callbacks, uint16 flags, uint16* port,
                                 CLU_Table settings = CLU_Table()) {
    CL_Init();
    CL_TCPServer* server = new CL_TCPServer();
    server->SetCallbacks(callbacks, nullptr);
    *port = FreeLoopbackPort();
    settings.Set("ip", std::string("127.0.0.1"));
    settings.Set("listener_port", (long long)*port);
    settings.Set("flags", (long long)flags);
    server->Setup(settings);
    if (server->Start() != 0) {
        delete server;
        return nullptr;
    }
    return server;
}

// A connection that authenticates and then sends one request at a time.
struct Connection {
    CL_Socket fSocket;
    uint32 fSequence = 1;
    uint16 fFlags = 0;
    uint32 fTimeOut = 5000;
    std::unique_ptr<CL_Cipher> fCipher{new CL_Cipher()};

    bool Connect(uint16 port) {
        fSocket = CL_Socket(CL_NetAddress(CL_NetAddress::LOOPBACK, port), CL_SOCKET_TYPE_TCP);
        if (fSocket.Connect(fTimeOut) != 0) return false;
        fSocket.SetNoDelay(true);
        return true;
    }
    // One chunk that is not a PING: a request under way may be pinged at any time.
    bool ReadChunk(CL_PacketHeader* header, CL_Blob* data) {
        do {
            if (CL_ReadChunk(fSocket, header, data, fTimeOut) != 0) return false;
        } while (header->fType == CL_PACKET_TYPE_PING);
        return true;
    }
    // SERVER_INFO and AUTH.
    bool Handshake() {
        CL_PacketHeader header;
        CL_MakeServerInfoRequest(&header, fSequence++);
        if (CL_WritePacket(fSocket, header, CL_Blob(), fTimeOut) != 0) return false;
        CL_Blob data;
        if (!ReadChunk(&header, &data)) return false;
        uint64 serverID = header.fServer.fID;
        CL_Blob table;
        CLU_Table().Flatten(table);
        CL_MakeAuthRequest(&header, fSequence++, 0);
        if (CL_WritePacket(fSocket, header, table, fTimeOut) != 0) return false;
        CL_PayloadDecoder decoder(nullptr, true);
        do {
            if (!ReadChunk(&header, &data)) return false;
            if (decoder.Add(header, data) != 0) return false;
        } while (!decoder.IsComplete());
        if (header.fType != CL_PACKET_TYPE_AUTH) return false;
        fFlags = header.fFlags & uint16(~CL_IPC_FIRST_CHUNK);
        fCipher.reset(CL_NewConnectionCipher(fFlags, header.fConnection.fID, serverID));
        return true;
    }
    bool Open(uint16 port) { return Connect(port) && Handshake(); }
    bool Send(CL_Command command, const CL_Blob& input) {
        CL_Blob payload = input;
        CL_PacketHeader header;
        CL_MakeDataRequest(&header, fSequence++, command, fFlags);
        CL_EncodePayload(&header, payload, fFlags, fCipher.get(), false);
        return CL_WritePacket(fSocket, header, payload, fTimeOut) == 0;
    }
    bool Receive(CL_Blob* output) {
        CL_PayloadDecoder decoder(fCipher.get(), false);
        CL_PacketHeader header;
        for (;;) {
            CL_Blob data;
            if (CL_ReadChunk(fSocket, &header, &data, fTimeOut) != 0) return false;
            if (header.fType == CL_PACKET_TYPE_PING) continue;
            if (decoder.Add(header, data) != 0) return false;
            if (decoder.IsComplete()) break;
        }
        *output = decoder.GetResult();
        return decoder.GetHeader().fType == CL_PACKET_TYPE_DATA;
    }
    bool Call(const CL_Blob& input, CL_Blob* output, CL_Command command = 1) {
        return Send(command, input) && Receive(output);
    }
};

// The costs of the server's threads ("server listener", "server dispatcher", "server
// worker N", as the kernel shortens them) since the last Start: CPU time, context
// switches (all, and the voluntary ones: a thread going to sleep), futex calls (counted by the kernel's tracepoint when it may be read,
// else -1), and the workers' voluntary switches, one per sleep: a worker woken once
// sleeps once.
class ServerThreadCosts {
public:
    struct Totals {
        double fCpuNs = 0;
        double fSwitches = 0;
        double fVoluntary = 0;
        double fFutex = 0;
        double fWorkerWakes = 0;
        double fDispatcherWakes = 0;
    };

    ~ServerThreadCosts() { Close(); }

    void Start() {
        Close();
        fBefore = Read();
    }
    Totals Stop() {
        Totals after = Read();
        Totals delta;
        delta.fCpuNs = after.fCpuNs - fBefore.fCpuNs;
        delta.fSwitches = after.fSwitches - fBefore.fSwitches;
        delta.fVoluntary = after.fVoluntary - fBefore.fVoluntary;
        delta.fFutex = fCounting ? after.fFutex - fBefore.fFutex : -1;
        delta.fWorkerWakes = after.fWorkerWakes - fBefore.fWorkerWakes;
        delta.fDispatcherWakes = after.fDispatcherWakes - fBefore.fDispatcherWakes;
        Close();
        return delta;
    }

private:
    struct Thread {
        int fTid;
        std::string fName;
        int fCounter;  // perf event descriptor, or -1
    };

    static std::string ReadText(const std::string& path) {
        std::ifstream in(path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return text;
    }
    static double Field(const std::string& status, const char* name) {
        size_t at = status.find(name);
        return at == std::string::npos ? 0 : atof(status.c_str() + at + strlen(name));
    }
    static int FutexTracepoint() {
        for (const char* root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"}) {
            std::string id = ReadText(std::string(root) + "/events/syscalls/sys_enter_futex/id");
            if (!id.empty()) return atoi(id.c_str());
        }
        return -1;
    }
    static int OpenCounter(int tid, int tracepoint) {
        if (tracepoint < 0) return -1;
        perf_event_attr attr;
        memset(&attr, 0, sizeof(attr));
        attr.type = PERF_TYPE_TRACEPOINT;
        attr.size = sizeof(attr);
        attr.config = uint64(tracepoint);
        return int(syscall(SYS_perf_event_open, &attr, tid, -1, -1, 0));
    }
    void Scan() {
        fThreads.clear();
        fCounting = true;
        int tracepoint = FutexTracepoint();
        DIR* dir = opendir("/proc/self/task");
        if (!dir) return;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            int tid = atoi(entry->d_name);
            std::string name = ReadText("/proc/self/task/" + std::string(entry->d_name) + "/comm");
            if (name.rfind("server ", 0) != 0) continue;
            Thread thread{tid, name, OpenCounter(tid, tracepoint)};
            if (thread.fCounter < 0) fCounting = false;
            fThreads.push_back(thread);
        }
        closedir(dir);
    }
    Totals Read() {
        if (fThreads.empty()) Scan();
        Totals totals;
        for (const Thread& thread : fThreads) {
            std::string task = "/proc/self/task/" + std::to_string(thread.fTid);
            std::string schedstat = ReadText(task + "/schedstat");
            std::string status = ReadText(task + "/status");
            double voluntary = Field(status, "voluntary_ctxt_switches:");
            double involuntary = Field(status, "nonvoluntary_ctxt_switches:");
            totals.fCpuNs += atof(schedstat.c_str());
            totals.fSwitches += voluntary + involuntary;
            totals.fVoluntary += voluntary;
            if (thread.fName.find("rker") != std::string::npos) totals.fWorkerWakes += voluntary;
            if (thread.fName.find("patcher") != std::string::npos)
                totals.fDispatcherWakes += voluntary;
            if (thread.fCounter >= 0) {
                uint64 count = 0;
                if (read(thread.fCounter, &count, sizeof(count)) == sizeof(count))
                    totals.fFutex += double(count);
            }
        }
        return totals;
    }
    void Close() {
        for (Thread& thread : fThreads)
            if (thread.fCounter >= 0) close(thread.fCounter);
        fThreads.clear();
    }

    std::vector<Thread> fThreads;
    bool fCounting = false;
    Totals fBefore;
};

// Percentile `p` (0..1) of the samples.
inline double Percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    std::sort(samples.begin(), samples.end());
    size_t at = size_t(p * double(samples.size() - 1) + 0.5);
    return samples[std::min(at, samples.size() - 1)];
}

// The process's resident memory in MiB; Reset makes the peak start from now.
inline double ResidentMiB(const char* field = "VmRSS:") {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return atof(line.c_str() + strlen(field)) / 1024.0;
    return 0;
}
inline void ResetResidentPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
}

}  // namespace bench
