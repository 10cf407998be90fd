// State of one server connection, shared by its QPX_Client and the asynchronous
// requests still in flight, so that whichever ends last releases it.
#pragma once

#include <atomic>

#include "lumo/blob.h"
#include "lumo/thread.h"
#include "lumo/types.h"
#include "qpx/zelmo_client/client.h"

struct QPX_ClientCore : public CL_Object {
    // Guards every field below; a request takes it only for short state updates.
    CL_RecursiveMutex fLock;
    // The client's RPC client; null once the client is gone, which detaches every
    // request at once.
    CL_Client* fRPC = nullptr;
    CLU_Table fConnectionInfo;
    CLU_Table fDatabase;
    CLU_Table fUser;
    std::atomic<QPX_IdleCB> fIdle{nullptr};

    // Closes the connection and empties the three tables when `code` means the
    // connection is gone; returns `code`.
    QPX_Status CheckResult(QPX_Status code);

    // Requests made and not yet ended. The client waits for them before it deletes
    // the RPC client, whose jobs are running them.
    void AddPending();
    void RemovePending();
    // Waits until no request is pending but those whose completion runs on the
    // calling thread (a client destroyed from one of its own callbacks).
    void WaitForPending();

    // Marks the calling thread as running a completion of this core's request.
    class Completing {
    public:
        explicit Completing(QPX_ClientCore* core);
        ~Completing();
        Completing(const Completing&) = delete;
        Completing& operator=(const Completing&) = delete;

    private:
        QPX_ClientCore* fOuter;
    };

private:
    CL_Mutex fPendingLock;
    CL_Condition fPendingDone;
    uint32 fPending = 0;
};

// Whether `code` ends the connection.
bool QPX_EndsConnection(QPX_Status code);

// The reply table carried by `reply`, or an empty table when the transport status
// says the buffer holds no server reply: only a DATA reply (0) and a FAILED reply
// (the server's own error description) are read back. After a failed write the
// buffer may still hold the request itself.
bool QPX_HasServerReply(CL_Status transport);
void QPX_ReadReply(CL_Blob& reply, CLU_Table* table);

// Discovery result: the count, then one record per server.
uint32 QPX_ReadServerCount(CL_Blob& reply);
void QPX_ReadServerSpec(CL_Blob& reply, QPX_ServerSpec* spec);
// Fewest bytes one record of the discovery result takes.
constexpr uint32 QPX_MIN_SERVER_RECORD = 8;

// A success reply's table or list under `key`, shared with the reply; empty when the
// reply lacks it or holds null there.
CLU_Table QPX_ReplyTable(const CLU_Table& reply, const char* key);
CLU_List QPX_ReplyList(const CLU_Table& reply, const char* key);
// Message of each row of an upgrade reply's "LOG": the row's fourth element as text.
CLU_List QPX_UpgradeLog(const CLU_Table& reply);
