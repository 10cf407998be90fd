// What the stand-in server programs share: start a CL_TCPServer on 127.0.0.1 with the
// caller's callbacks, print its listener port as the first line of output, and serve
// until stdin reaches its end (the parent went away) or SIGTERM/SIGINT arrives.
#pragma once

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "support/loopback.h"

struct StandInOptions {
    long fPort = 0;  // 0: a free one
    long fFlags = 0;
    long fLogLevel = CL_LOG_LEVEL_WARNING;
    long fTimeOut = 0;
};

namespace stand_in {

inline volatile sig_atomic_t sStop = 0;

inline void OnSignal(int) {
    sStop = 1;
}

// Log lines go to stderr; stdout carries only the port.
inline void PrintLog(uint32 level, const std::string& message, void*) {
    fprintf(stderr, "[%u] %s\n", level, message.c_str());
}

}  // namespace stand_in

// Runs the server to its end; the process's exit status. `callbacks` gets the log.
inline int RunStandInServer(CL_ServerCallbacks callbacks, const StandInOptions& options) {
    signal(SIGTERM, stand_in::OnSignal);
    signal(SIGINT, stand_in::OnSignal);
    signal(SIGPIPE, SIG_IGN);
    callbacks.fLog = stand_in::PrintLog;

    CL_TCPServer server;
    server.SetCallbacks(&callbacks, nullptr);
    CL_Status status = CL_ERROR;
    // A free port found here may be taken by someone else before Start binds it.
    for (int attempt = 0; attempt < 20 && status != CL_OK; attempt++) {
        CLU_Table settings;
        settings.Set("ip", std::string("127.0.0.1"));
        settings.Set("listener_port",
                     (long long)(options.fPort ? options.fPort : FreeLoopbackPort()));
        settings.Set("flags", (long long)options.fFlags);
        settings.Set("log_level", (long long)options.fLogLevel);
        settings.Set("timeout", (long long)options.fTimeOut);
        server.Setup(settings);
        status = server.Start();
        if (options.fPort) break;
    }
    if (status != CL_OK) {
        fprintf(stderr, "cannot start: %d\n", int(status));
        return 1;
    }
    printf("%u\n", unsigned(server.GetListenerPort()));
    fflush(stdout);

    while (!stand_in::sStop) {
        pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, 200) > 0) {
            char buffer[256];
            if (read(0, buffer, sizeof(buffer)) <= 0) break;
        }
    }
    server.Stop();
    return 0;
}
