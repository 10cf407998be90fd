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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/rpc_test_handlers.h"
#include "support/stand_in_server.h"

namespace {

std::string sPassword;

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
    const char* usage =
        "usage: rpc_test_server [--port N] [--flags N] [--log-level N] [--timeout MS]\n"
        "                       [--password TEXT]\n"
        "Serves the test handlers (echo, progress, failures, sleeps) on 127.0.0.1. Prints its\n"
        "port as the first line of output, then runs until its standard input closes or it\n"
        "gets SIGINT or SIGTERM. Log lines go to stderr.\n"
        "  --port N         port to listen on (default: a free one)\n"
        "  --flags N        connection flags the server grants: compression, ciphers (default 0)\n"
        "  --log-level N    0 none .. 6 verbose (default 3, warnings)\n"
        "  --timeout MS     time-out of a client's reads and writes (default 0: 60000)\n"
        "  --password TEXT  let in only clients whose connection table has this \"password\"\n";
    StandInOptions options;
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            fputs(usage, stdout);
            return 0;
        }
        if (name != "--port" && name != "--flags" && name != "--log-level" &&
            name != "--timeout" && name != "--password") {
            fprintf(stderr, "rpc_test_server: unknown option %s\n%s", argv[i], usage);
            return 2;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "rpc_test_server: %s needs a value\n%s", argv[i], usage);
            return 2;
        }
        const char* value = argv[i + 1];
        if (name == "--password") {
            sPassword = value;
            continue;
        }
        char* end = nullptr;
        long number = strtol(value, &end, 0);
        if (end == value || *end) {
            fprintf(stderr, "rpc_test_server: %s needs a number\n%s", argv[i], usage);
            return 2;
        }
        if (name == "--port")
            options.fPort = number;
        else if (name == "--flags")
            options.fFlags = number;
        else if (name == "--log-level")
            options.fLogLevel = number;
        else
            options.fTimeOut = number;
    }
    CL_Init();

    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = rpc_test::Execute;
    callbacks.fServerInfo = Describe;
    if (!sPassword.empty()) callbacks.fConnect = CheckPassword;
    return RunStandInServer(callbacks, options);
}
