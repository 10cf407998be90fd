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
    StandInOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--port")
            options.fPort = strtol(value, nullptr, 0);
        else if (name == "--flags")
            options.fFlags = strtol(value, nullptr, 0);
        else if (name == "--log-level")
            options.fLogLevel = strtol(value, nullptr, 0);
        else if (name == "--timeout")
            options.fTimeOut = strtol(value, nullptr, 0);
        else if (name == "--password")
            sPassword = value;
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    CL_Init();

    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = rpc_test::Execute;
    callbacks.fServerInfo = Describe;
    if (!sPassword.empty()) callbacks.fConnect = CheckPassword;
    return RunStandInServer(callbacks, options);
}
