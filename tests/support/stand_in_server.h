// What the stand-in server programs share: start a CL_TCPServer on 127.0.0.1 alone (its
// listener and its discovery responder) with the caller's callbacks, print its listener
// port as the first line of output, and serve until SIGTERM/SIGINT arrives or, when
// standard input is a pipe or a socket, until it reaches its end (the parent closed it
// or went away).
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "lumo/translator.h"
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

// Whether standard input is the parent's line to the server: a pipe or a socket open for
// reading. A terminal, /dev/null, a file or a closed or write-only descriptor is never
// read, so that a server started in the background (`&`, nohup) runs on, and a
// background job is not stopped for reading its terminal.
inline bool InputIsALine() {
    struct stat st;
    if (fstat(0, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return false;
    const int flags = fcntl(0, F_GETFL);
    return flags >= 0 && (flags & O_ACCMODE) != O_WRONLY;
}

// Why 127.0.0.1:`port` cannot be listened on, in words: tried with a socket of our own.
inline std::string WhyNotListening(long port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return strerror(errno);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = LoopbackAddress(uint16(port));
    std::string why = "the server could not start there";
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        why = errno == EADDRINUSE ? "the port is in use" : strerror(errno);
    close(fd);
    return why;
}

// Serves until a signal, or the end of standard input when it is the parent's line.
inline void WaitForTheEnd() {
    const bool line = InputIsALine();
    while (!sStop) {
        pollfd p = {line ? 0 : -1, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0 || !line) continue;
        char buffer[256];
        const ssize_t n = read(0, buffer, sizeof(buffer));
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
}

}  // namespace stand_in

// Runs the server to its end; the process's exit status. `callbacks` gets the log.
inline int RunStandInServer(CL_ServerCallbacks callbacks, const StandInOptions& options) {
    signal(SIGTERM, stand_in::OnSignal);
    signal(SIGINT, stand_in::OnSignal);
    signal(SIGPIPE, SIG_IGN);
    callbacks.fLog = stand_in::PrintLog;
    if (options.fPort < 0 || options.fPort > 65535) {
        fprintf(stderr, "%s: %ld is not a port number (1-65535)\n", program_invocation_short_name,
                options.fPort);
        return 2;
    }

    CL_TCPServer server;
    server.SetCallbacks(&callbacks, nullptr);
    CL_Status status = CL_ERROR;
    // A free port found here may be taken by someone else before Start binds it.
    for (int attempt = 0; attempt < 20 && status != CL_OK; attempt++) {
        CLU_Table settings;
        settings.Set("ip", std::string("127.0.0.1"));
        settings.Set("loopback_only", 1);
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
        if (options.fPort)
            fprintf(stderr, "%s: cannot listen on 127.0.0.1 port %ld: %s\n",
                    program_invocation_short_name, options.fPort,
                    stand_in::WhyNotListening(options.fPort).c_str());
        else
            fprintf(stderr, "%s: cannot start: %s (%d)\n", program_invocation_short_name,
                    CL_GetError(status), int(status));
        return 1;
    }
    printf("%u\n", unsigned(server.GetListenerPort()));
    fflush(stdout);
    stand_in::WaitForTheEnd();
    server.Stop();
    return 0;
}
