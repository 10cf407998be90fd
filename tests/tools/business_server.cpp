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
    const char* usage =
        "usage: business_server [--port N] [--flags N] [--log-level N] [--timeout MS]\n"
        "                       [--slow-ms MS]\n"
        "Serves the business server's operations from a small data set on 127.0.0.1. Prints\n"
        "its port as the first line of output, then runs until its standard input closes\n"
        "or it gets SIGINT or SIGTERM (Ctrl-C). Log lines go to stderr.\n"
        "  --port N       port to listen on (default: a free one)\n"
        "  --flags N      connection flags the server grants: compression, ciphers (default 0)\n"
        "  --log-level N  0 none .. 6 verbose (default 3, warnings)\n"
        "  --timeout MS   time-out of a client's reads and writes (default 0: 60000)\n"
        "  --slow-ms MS   how long \"SELECT * FROM slow_report\" works, reporting progress\n"
        "                 (default 1500)\n";
    StandInOptions options;
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            fputs(usage, stdout);
            return 0;
        }
        if (name != "--port" && name != "--flags" && name != "--log-level" &&
            name != "--timeout" && name != "--slow-ms") {
            fprintf(stderr, "business_server: unknown option %s\n%s", argv[i], usage);
            return 2;
        }
        char* end = nullptr;
        long value = i + 1 < argc ? strtol(argv[i + 1], &end, 0) : 0;
        if (!end || end == argv[i + 1] || *end) {
            fprintf(stderr, "business_server: %s needs a number\n%s", argv[i], usage);
            return 2;
        }
        if (name == "--port")
            options.fPort = value;
        else if (name == "--flags")
            options.fFlags = value;
        else if (name == "--log-level")
            options.fLogLevel = value;
        else if (name == "--timeout")
            options.fTimeOut = value;
        else
            business::TheSettings().fSlowMs = uint32(value);
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
