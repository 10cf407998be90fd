// Stand-in RPC server for tests and the demo: serves the handlers of
// rpc_test_handlers.h on 127.0.0.1, on the port given or on a free one, prints that
// port as its first line of output and runs until stdin closes or it is signalled.
//
//   rpc_test_server [--port N] [--flags N] [--log-level N] [--timeout MS]
//                   [--password TEXT]
//
// Log lines go to stderr. With --password, a client is let in only when its
// connection table's "password" matches (else refused with
// rpc_test::kRefused).
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

#include "lumo/init.h"
#include "lumo/table.h"
#include "lumo/tcp_server.h"
#include "free_port.h"
#include "rpc_test_handlers.h"

namespace {

volatile sig_atomic_t sStop = 0;
std::string sPassword;

void OnSignal(int) {
    sStop = 1;
}

void PrintLog(uint32 level, const std::string& message, void*) {
    fprintf(stderr, "[%u] %s\n", level, message.c_str());
}

CL_Status CheckPassword(CL_ClientContext*, void* table) {
    CLU_Table* connection = static_cast<CLU_Table*>(table);
    return connection->GetString("password") == sPassword ? CL_OK : rpc_test::kRefused;
}

CL_Status Describe(CL_Server*, CLU_Table& info) {
    info.Set("name", std::string("rpc_test_server"));
    info.Set("desc", std::string("stand-in RPC server"));
    info.Set("data_version", 1);
    info.Set("multitenant_enabled", false);
    return CL_OK;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 0, flags = 0, logLevel = CL_LOG_LEVEL_WARNING, timeOut = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--port")
            port = strtol(value, nullptr, 0);
        else if (name == "--flags")
            flags = strtol(value, nullptr, 0);
        else if (name == "--log-level")
            logLevel = strtol(value, nullptr, 0);
        else if (name == "--timeout")
            timeOut = strtol(value, nullptr, 0);
        else if (name == "--password")
            sPassword = value;
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    CL_Init();
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);

    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fLog = PrintLog;
    callbacks.fExecute = rpc_test::Execute;
    callbacks.fServerInfo = Describe;
    if (!sPassword.empty()) callbacks.fConnect = CheckPassword;

    CL_TCPServer server;
    server.SetCallbacks(&callbacks, nullptr);
    CL_Status status = -1;
    // A free port found here may be taken by someone else before Start binds it.
    for (int attempt = 0; attempt < 20 && status != 0; attempt++) {
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
    if (status != 0) {
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
