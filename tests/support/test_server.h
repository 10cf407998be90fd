// A CL_TCPServer for tests: started on a free loopback port with the stand-in handlers
// of rpc_test_handlers.h, its log lines kept by a recorder that tests inspect.
#pragma once

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "support/loopback.h"
#include "support/rpc_test_handlers.h"

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
    // How many lines contain `part`.
    int Count(const std::string& part) {
        std::lock_guard<std::mutex> lock(fMutex);
        int n = 0;
        for (auto& line : fLines)
            if (line.second.find(part) != std::string::npos) n++;
        return n;
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

// The library is started before any server thread reads the clocks.
struct LibraryStarted {
    LibraryStarted() { CL_Init(); }
};

// A server on a free loopback port with the stand-in handlers and a log recorder.
// Callbacks set in fCallbacks before Start take effect with it; later changes with Apply.
struct TestServer {
    explicit TestServer(uint16 flags = 0, uint32 logLevel = CL_LOG_LEVEL_DEBUG_VERBOSE,
                        uint32 timeOut = 0, uint32 maxRequest = 0) {
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
        settings.Set("max_request_size", (long long)maxRequest);
        fServer.Setup(settings);
    }
    void Apply() { fServer.SetCallbacks(&fCallbacks, &fLog); }
    CL_Status Start() {
        Apply();
        return fServer.Start();
    }

    LibraryStarted fStarted;
    CL_ServerCallbacks fCallbacks;
    LogRecorder fLog;
    CL_TCPServer fServer;
    uint16 fPort = 0;
};
