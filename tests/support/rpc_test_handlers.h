// Request handlers of the stand-in RPC server, shared by the rpc_test_server program
// and the server's tests. Requests and replies are flattened tables; one table maps
// command codes to handlers, so that a new command is one more row.
#pragma once

#include <string>

#include "lumo/blob.h"
#include "lumo/clock.h"
#include "lumo/ipc.h"
#include "lumo/table.h"
#include "lumo/thread.h"

namespace rpc_test {

enum : CL_Command {
    kEcho = 1,       // answers with the request table
    kProgress = 2,   // "ms": reports progress ("step" ms apart) for that long, then echoes
    kFail = 3,       // "code": fails with that code, "ERROR" in the reply
    kSleep = 4,      // "ms": sleeps (watching for cancellation), then echoes
    kUncounted = 5,  // echoes, but asks the server not to count the request
    kRawEcho = 6,    // answers with the request's bytes as they are
    kPattern = 7,    // "bytes": that many bytes back, byte i being PatternByte(i)
};

// A byte that tells its place in a long reply from the places near it.
inline uint8 PatternByte(uint32 i) {
    return uint8(i * 131 + 7 + (i >> 16));
}

// What the stand-in's connect check answers a client it refuses: an application's
// own code, passed to the client as it is.
constexpr CL_Status kRefused = 3001;

typedef CL_Status (*Handler)(CL_Blob& input, CL_Blob& output, CL_ClientContext* context,
                             uint32 requestID);

inline CLU_Table ReadTable(CL_Blob& input) {
    CLU_Table table;
    input.Seek(0, CL_SEEK_SET);
    table.Unflatten(input);
    return table;
}

// Whether the table went out whole: one that nests deeper than the flattened format
// carries leaves `output` empty.
inline bool WriteTable(const CLU_Table& table, CL_Blob& output) {
    output.Clear();
    bool whole = table.TryFlatten(output);
    output.Seek(0, CL_SEEK_SET);
    return whole;
}

// The reply `table`, or, when it cannot go out whole, a FAILED reply that says why in
// its "ERROR" instead of an empty DATA: the status to return.
inline CL_Status WriteReply(const CLU_Table& table, CL_Blob& output) {
    if (WriteTable(table, output)) return CL_OK;
    CLU_Table error;
    error.Set("ERROR",
              "the reply nests deeper than " + std::to_string(CLU_MAX_FLATTEN_DEPTH) + " levels");
    WriteTable(error, output);
    return CL_ERROR;
}

// Waits `ms` in steps, reporting progress when asked; false when cancelled.
inline bool Work(CL_ClientContext* context, uint32 id, uint32 ms, uint32 step, bool progress,
                 const std::string& message) {
    uint32 start = CL_GetTime();
    for (;;) {
        uint32 elapsed = CL_GetTime() - start;
        if (context->HasAborted(id)) return false;
        if (elapsed >= ms) return true;
        if (progress)
            context->SetProgress(id, ms ? elapsed * 100.0 / ms : 100.0,
                                 message + " " + std::to_string(elapsed / (step ? step : 1)));
        uint32 left = ms - elapsed;
        CL_Thread::Sleep(left < step ? left : step);
    }
}

inline CL_Status Echo(CL_Blob& input, CL_Blob& output, CL_ClientContext*, uint32) {
    return WriteReply(ReadTable(input), output);
}

inline CL_Status Progress(CL_Blob& input, CL_Blob& output, CL_ClientContext* context, uint32 id) {
    CLU_Table table = ReadTable(input);
    uint32 step = uint32(table.GetInteger("step", 20));
    if (!Work(context, id, uint32(table.GetInteger("ms", 300)), step, true,
              table.GetString("message", "working")))
        return CL_IPC_EXECUTE_ABORTED;
    return WriteReply(table, output);
}

inline CL_Status Fail(CL_Blob& input, CL_Blob& output, CL_ClientContext*, uint32) {
    CLU_Table table = ReadTable(input);
    CL_Status code = CL_Status(table.GetInteger("code", CL_ERROR));
    CLU_Table reply;
    reply.Set("ERRNO", (long long)code);
    reply.Set("ERROR", std::string("failed with ") + std::to_string(code));
    WriteTable(reply, output);
    return code == CL_OK ? CL_ERROR : code;
}

inline CL_Status Sleep(CL_Blob& input, CL_Blob& output, CL_ClientContext* context, uint32 id) {
    CLU_Table table = ReadTable(input);
    if (!Work(context, id, uint32(table.GetInteger("ms", 300)), 5, false, ""))
        return CL_IPC_EXECUTE_ABORTED;
    return WriteReply(table, output);
}

inline CL_Status Uncounted(CL_Blob& input, CL_Blob& output, CL_ClientContext* context, uint32 id) {
    CL_Status status = Echo(input, output, context, id);
    return status == CL_OK ? CL_IPC_DONT_COUNT : status;
}

inline CL_Status RawEcho(CL_Blob& input, CL_Blob& output, CL_ClientContext*, uint32) {
    input.Seek(0, CL_SEEK_SET);
    output = input;
    output.Detach();
    output.Seek(0, CL_SEEK_SET);
    return CL_OK;
}

inline CL_Status Pattern(CL_Blob& input, CL_Blob& output, CL_ClientContext*, uint32) {
    uint32 size = uint32(ReadTable(input).GetInteger("bytes"));
    output.SetSize(size);
    uint8* bytes = output.GetDataForWrite();
    for (uint32 i = 0; i < size; i++)
        bytes[i] = PatternByte(i);
    output.Seek(0, CL_SEEK_SET);
    return CL_OK;
}

struct Entry {
    CL_Command fCommand;
    Handler fHandler;
};

inline const Entry kHandlers[] = {
    {kEcho, Echo},   {kProgress, Progress},   {kFail, Fail},
    {kSleep, Sleep}, {kUncounted, Uncounted}, {kRawEcho, RawEcho}, {kPattern, Pattern},
};

// The execute callback over the table: an unknown command fails with an "ERROR" text.
inline CL_Status Execute(CL_Command command, CL_Blob& input, CL_Blob& output,
                         CL_ClientContext* context, uint32 requestID) {
    for (const Entry& entry : kHandlers)
        if (entry.fCommand == command) return entry.fHandler(input, output, context, requestID);
    CLU_Table reply;
    reply.Set("ERROR", std::string("unknown command ") + std::to_string(command));
    WriteTable(reply, output);
    return CL_ERROR;
}

}  // namespace rpc_test
