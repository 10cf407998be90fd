// Stand-in business server for the Python client's tests, its benchmark and the demo:
// answers the named operations of the client library from a small data set (see
// business_handlers.h) on 127.0.0.1, on the port given or a free one, prints that port
// as its first line of output and runs until stdin closes or it is signalled.
//
//   business_server [--port N] [--flags N] [--log-level N] [--timeout MS] [--slow-ms MS]
//                   [--request-log 0|1]
//
// --slow-ms is how long the long query ("SELECT * FROM slow_report") works, reporting
// progress all along; --request-log 0 keeps no request log (benchmarks). Besides the
// handlers' commands it answers WIDE_ROWS (1100): "rows" result-set rows of eight mixed
// columns, as lists or (with "tables") as tables keyed by column name. Log lines go
// to stderr.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "support/business_handlers.h"
#include "support/stand_in_server.h"

namespace {

constexpr CL_Command kWideRows = 1100;
const char* const kWideColumns[] = {"id",     "quantity", "name",   "price",
                                    "active", "amount",   "day",    "created"};

CLU_List WideRow(int n) {
    CLU_List row;
    row.Append(n);
    row.Append((long long)n * 7919);
    row.Append("customer " + std::to_string(n));
    row.Append(n * 0.25);
    row.Append(n % 3 == 0);
    row.Append(CL_Decimal(std::to_string(n) + ".99"));
    row.Append(CL_Date(1 + n % 28, 1 + n % 12, 2000 + n % 25));
    row.Append(CL_TimeStamp(1 + n % 28, 1 + n % 12, 2020, n % 24, n % 60, n % 60, n % 1000));
    return row;
}

// Rows made once for the largest count asked so far; a smaller count shares them.
CLU_List WideRows(uint32 count, bool tables) {
    static std::mutex lock;
    static CLU_List lists[2];
    std::lock_guard<std::mutex> guard(lock);
    CLU_List& made = lists[tables ? 1 : 0];
    while (made.Count() < count) {
        CLU_List row = WideRow(int(made.Count() + 1));
        if (!tables) {
            made.Append(row);
            continue;
        }
        CLU_Table keyed;
        for (int c = 0; c < 8; c++)
            keyed.Set(kWideColumns[c], *row.Get(c));
        made.Append(keyed);
    }
    if (made.Count() == count) return made;
    CLU_List first;
    for (uint32 i = 0; i < count; i++)
        first.Append(*made.Get(int32(i)));
    return first;
}

CL_Status Execute(CL_Command command, CL_Blob& input, CL_Blob& output,
                  CL_ClientContext* context, uint32 requestID) {
    if (command != kWideRows) return business::Execute(command, input, output, context, requestID);
    CLU_Table in, out;
    if (input.GetSize() > 0) in = rpc_test::ReadTable(input);
    long long count = std::min<long long>(in.GetInteger("rows", 10), 1000000LL);
    CLU_List names;
    for (const char* name : kWideColumns)
        names.Append(name);
    out.Set("COLUMNS", names);
    out.Set("RESULT_SET", WideRows(uint32(std::max(count, 0LL)), in.GetBool("tables")));
    rpc_test::WriteTable(out, output);
    return CL_OK;
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
    const char* usage =
        "usage: business_server [--port N] [--flags N] [--log-level N] [--timeout MS]\n"
        "                       [--slow-ms MS] [--request-log 0|1]\n"
        "Serves the business server's operations from a small data set on 127.0.0.1. Prints\n"
        "its port as the first line of output, then runs until its standard input closes\n"
        "or it gets SIGINT or SIGTERM (Ctrl-C). Log lines go to stderr.\n"
        "  --port N       port to listen on (default: a free one)\n"
        "  --flags N      connection flags the server grants: compression, ciphers (default 0)\n"
        "  --log-level N  0 none .. 6 verbose (default 3, warnings)\n"
        "  --timeout MS   time-out of a client's reads and writes (default 0: 60000)\n"
        "  --slow-ms MS   how long \"SELECT * FROM slow_report\" works, reporting progress\n"
        "                 (default 1500)\n"
        "  --request-log 0|1  keep each connection's last requests for REQUEST_LOG\n"
        "                 (default 1)\n";
    StandInOptions options;
    for (int i = 1; i < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            fputs(usage, stdout);
            return 0;
        }
        if (name != "--port" && name != "--flags" && name != "--log-level" &&
            name != "--timeout" && name != "--slow-ms" && name != "--request-log") {
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
        else if (name == "--request-log")
            business::TheSettings().fLogRequests = value != 0;
        else
            business::TheSettings().fSlowMs = uint32(value);
    }
    CL_Init();
    business::AddUsers();

    CL_ServerCallbacks callbacks;
    memset(&callbacks, 0, sizeof(callbacks));
    callbacks.fExecute = Execute;
    callbacks.fConnect = business::Connect;
    callbacks.fDisconnect = business::Disconnect;
    callbacks.fClientInfo = business::ClientInfoCB;
    callbacks.fServerInfo = Describe;
    return RunStandInServer(callbacks, options);
}
