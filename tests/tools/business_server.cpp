// Stand-in business server for the Python client's tests, its benchmark and the demo:
// answers the named operations of the client library from a small data set (see
// business_handlers.h) on 127.0.0.1, on the port given or a free one, prints that port
// as its first line of output and runs until stdin closes or it is signalled.
//
//   business_server [--port N] [--flags N] [--log-level N] [--timeout MS] [--slow-ms MS]
//
// --slow-ms is how long the long query ("SELECT * FROM slow_report") works, reporting
// progress all along. Log lines go to stderr.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "business_handlers.h"
#include "lumo/init.h"
#include "lumo/tcp_server.h"
#include "free_port.h"

namespace {

volatile sig_atomic_t sStop = 0;

void OnSignal(int) {
    sStop = 1;
}

void PrintLog(uint32 level, const std::string& message, void*) {
    fprintf(stderr, "[%u] %s\n", level, message.c_str());
}

CL_Status Describe(CL_Server*, CLU_Table& info) {
    info.Set("name", std::string("business_server"));
    info.Set("desc", std::string("stand-in business server"));
    info.Set("data_version", (long long)business::kLatestVersion);
    info.Set("multitenant_enabled", false);
    return CL_OK;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0, flags = 0, logLevel = CL_LOG_LEVEL_WARNING, timeOut = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        long value = strtol(argv[i + 1], nullptr, 0);
        if (name == "--port")
            port = value;
        else if (name == "--flags")
            flags = value;
        else if (name == "--log-level")
            logLevel = value;
        else if (name == "--timeout")
            timeOut = value;
        else if (name == "--slow-ms")
            business::TheSettings().fSlowMs = uint32(value);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    CL_Init();
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    business::AddUsers();

    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fLog = PrintLog;
    callbacks.fExecute = business::Execute;
    callbacks.fConnect = business::Connect;
    callbacks.fDisconnect = business::Disconnect;
    callbacks.fClientInfo = business::ClientInfoCB;
    callbacks.fServerInfo = Describe;

    CL_TCPServer server;
    server.SetCallbacks(&callbacks, nullptr);
    CL_Status status = CL_ERROR;
    // A free port found here may be taken by someone else before Start binds it.
    for (int attempt = 0; attempt < 20 && status != CL_OK; attempt++) {
        CLU_Table settings;
        settings.Set("ip", std::string("127.0.0.1"));
        settings.Set("listener_port", (long long)(port ? port : FreeLoopbackPort()));
        settings.Set("flags", (long long)flags);
        settings.Set("log_level", (long long)logLevel);
        settings.Set("timeout", (long long)timeOut);
        server.Setup(settings);
        status = server.Start();
        if (port) break;
    }
    if (status != CL_OK) {
        fprintf(stderr, "cannot start: %d\n", int(status));
        return 1;
    }
    printf("%u\n", unsigned(server.GetListenerPort()));
    fflush(stdout);

    // Runs until stdin reaches its end (the parent went away) or a signal arrives.
    while (!sStop) {
        pollfd p = {0, POLLIN, 0};
        int ready = poll(&p, 1, 200);
        if (ready > 0) {
            char buffer[256];
            ssize_t n = read(0, buffer, sizeof(buffer));
            if (n <= 0) break;
        }
    }
    server.Stop();
    return 0;
}
