// Stand-in business server for the Python client's tests, its benchmark and the demo:
// answers the named operations of the client library from a small data set (see
// business_handlers.h) on 127.0.0.1, on the port given or a free one, prints that port
// as its first line of output and runs until stdin closes or it is signalled.
//
//   business_server [--port N] [--flags N] [--log-level N] [--timeout MS] [--slow-ms MS]
//
// --slow-ms is how long the long query ("SELECT * FROM slow_report") works, reporting
// progress all along. Log lines go to stderr.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/business_handlers.h"
#include "support/stand_in_server.h"

namespace {

CL_Status Describe(CL_Server*, CLU_Table& info) {
    info.Set("name", std::string("business_server"));
    info.Set("desc", std::string("stand-in business server"));
    info.Set("data_version", (long long)business::kLatestVersion);
    info.Set("multitenant_enabled", false);
    return CL_OK;
}

}  // namespace

int main(int argc, char** argv) {
    StandInOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        long value = strtol(argv[i + 1], nullptr, 0);
        if (name == "--port")
            options.fPort = value;
        else if (name == "--flags")
            options.fFlags = value;
        else if (name == "--log-level")
            options.fLogLevel = value;
        else if (name == "--timeout")
            options.fTimeOut = value;
        else if (name == "--slow-ms")
            business::TheSettings().fSlowMs = uint32(value);
        else {
            fprintf(stderr, "unknown option %s\n", argv[i]);
            return 2;
        }
    }
    CL_Init();
    business::AddUsers();

    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = business::Execute;
    callbacks.fConnect = business::Connect;
    callbacks.fDisconnect = business::Disconnect;
    callbacks.fClientInfo = business::ClientInfoCB;
    callbacks.fServerInfo = Describe;
    return RunStandInServer(callbacks, options);
}
