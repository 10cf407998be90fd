// State of one server connection, shared by its QPX_Client and the asynchronous
// requests still in flight, so that whichever ends last releases it; and the readers
// of the RPC client's reply buffers.
#pragma once

#include <atomic>

#include "lumo/blob.h"
#include "lumo/thread.h"
#include "lumo/thread_safety.h"
#include "lumo/types.h"
#include "qpx/zelmo_client/client.h"

struct QPX_ClientCore : public CL_Object {
    explicit QPX_ClientCore(CL_Client* rpc) : fRPC(rpc) {}

    // Guards the RPC pointer and the three tables; taken only for short state updates,
    // never across a caller's callback. Recursive, but no code relocks it: inner
    // functions require it instead.
    CL_RecursiveMutex fLock;
    // The client's RPC client; null once the client is gone, which detaches every
    // request at once.
    CL_Client* fRPC CL_GUARDED_BY(fLock);
    CLU_Table fConnectionInfo CL_GUARDED_BY(fLock);
    CLU_Table fDatabase CL_GUARDED_BY(fLock);
    CLU_Table fUser CL_GUARDED_BY(fLock);
    std::atomic<QPX_IdleCB> fIdle{nullptr};
    // Connects begun, and those of them not yet ended. A Connect ends the requests
    // still waiting on the connection it replaces, and their end must not close the
    // new one; nor must the failure of a Connect that a later one replaced.
    uint32 fConnects CL_GUARDED_BY(fLock) = 0;
    uint32 fOpening CL_GUARDED_BY(fLock) = 0;

    // Closes the connection and empties the three tables when `code` means the
    // connection is gone; returns `code`.
    QPX_Status CheckResult(QPX_Status code) CL_EXCLUDES(fLock);
    QPX_Status CheckResultLocked(QPX_Status code) CL_REQUIRES(fLock);
    // A Connect begins: the number it takes among the client's Connects.
    uint32 NewConnection() CL_EXCLUDES(fLock);
    // The Connect that took `connection` has ended, with the server's information or
    // failed (null). A failed one ends the connection, unless a later Connect began.
    void EndConnect(uint32 connection, const CLU_Table* info) CL_REQUIRES(fLock);
    // CheckResult for a request made while the RPC client's connection had the number
    // `connection` (a request is written on that one or a later one): nothing once a
    // Connect has replaced it, or while a Connect is under way (it replaces the
    // connection anyway; a call from inside a blocking Connect's own cancel check,
    // which the RPC client refuses, is one such).
    QPX_Status CheckResultOn(uint32 connection, QPX_Status code) CL_EXCLUDES(fLock);
    QPX_Status CheckResultOnLocked(uint32 connection, QPX_Status code) CL_REQUIRES(fLock);

    // State changes. A connect keeps the server's information and forgets the database
    // and user; closing a database forgets both too.
    void Connected(const CLU_Table& info) CL_REQUIRES(fLock);
    void OpenedDatabase(const std::string& driver, const std::string& name, const std::string& uuid)
        CL_REQUIRES(fLock);
    void ClosedDatabase() CL_REQUIRES(fLock);
    void SignedIn(const std::string& name, const std::string& password) CL_REQUIRES(fLock);

    // Requests made and not yet ended. The client waits for them before it deletes
    // the RPC client, whose jobs are running them.
    void AddPending() CL_EXCLUDES(fPendingLock);
    // `request` has ended. The request that a deleted client left its RPC client to
    // waits here until no other is pending, and gets that RPC client back to delete.
    CL_Client* RemovePending(const void* request) CL_EXCLUDES(fPendingLock);
    // Waits until no request is pending but those whose completion runs on the
    // calling thread (a client destroyed from one of its own callbacks). Not under
    // fLock: the completions waited for take it.
    void WaitForPending() CL_EXCLUDES(fLock, fPendingLock);
    // A client deleted from a progress or idle callback of one of its requests cannot
    // wait for that request, whose job goes on using the RPC client once the callback
    // has returned: the request takes `rpc` (true) and deletes it when it ends.
    bool LeaveToReporter(CL_Client* rpc) CL_EXCLUDES(fPendingLock);

    // Requests refused before anything was sent, pending until their error callback
    // has run. One may run on a thread of its own, so WaitForJobs waits for them
    // besides the RPC client's jobs.
    void AddRefusal() CL_EXCLUDES(fPendingLock);
    // On the refusal's thread: CL_ERROR to `error`, then the refusal ends.
    void ReportRefusal(QPX_ErrorCB error, void* userData) CL_EXCLUDES(fLock, fPendingLock);
    // Waits for the jobs of `rpc`, then until no refusal is pending; from a callback of
    // this core's requests, but those whose callbacks wait here too, the calling one's
    // included: two would wait for each other, as jobs waiting in a dispatcher would.
    // Whether they are done: false once the client's deletion has begun, which ends
    // the wait (the wait of an RPC client that is not a TCP one, only once it returns).
    bool WaitForJobs(CL_Client* rpc) CL_EXCLUDES(fLock, fPendingLock);
    // The client's deletion begins: it waits for the callbacks then running, and those
    // must not wait for it.
    void BeginDeletion() CL_EXCLUDES(fPendingLock);

    // Marks the calling thread as running a blocking Connect of this core.
    class Connecting {
    public:
        explicit Connecting(QPX_ClientCore* core);
        ~Connecting();
        Connecting(const Connecting&) = delete;
        Connecting& operator=(const Connecting&) = delete;

    private:
        QPX_ClientCore* fOuter;
    };
    bool ConnectingHere() const;

    // Marks the calling thread as running a progress or idle callback of `request`, one
    // of this core's.
    class Reporting {
    public:
        Reporting(QPX_ClientCore* core, const void* request);
        ~Reporting();
        Reporting(const Reporting&) = delete;
        Reporting& operator=(const Reporting&) = delete;

    private:
        friend struct QPX_ClientCore;
        QPX_ClientCore* const fCore;
        const void* const fRequest;
        const Reporting* const fOuter;
    };

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
    // The innermost lock: held only to count, never while taking another.
    CL_Mutex fPendingLock CL_ACQUIRED_AFTER(fLock);
    CL_Condition fPendingDone;
    uint32 fPending CL_GUARDED_BY(fPendingLock) = 0;
    uint32 fRefusals CL_GUARDED_BY(fPendingLock) = 0;
    uint32 fWaitingRefusals CL_GUARDED_BY(fPendingLock) = 0;
    // The request that deletes the RPC client of a client deleted from its progress or
    // idle callback, and that RPC client.
    const void* fReporter CL_GUARDED_BY(fPendingLock) = nullptr;
    CL_Client* fLeftRPC CL_GUARDED_BY(fPendingLock) = nullptr;
    // Set once by BeginDeletion; the dispatcher's wait reads it without the lock.
    std::atomic<bool> fDeleting{false};
};

// Whether `code` ends the connection.
bool QPX_EndsConnection(QPX_Status code);

// The reply table carried by `reply`, or an empty table when the transport status
// says the buffer holds no server reply: only a DATA reply (0) and a FAILED reply
// (the server's own error description) are read back. After a failed write the
// buffer may still hold the request itself.
bool QPX_HasServerReply(CL_Status transport);
void QPX_ReadReply(CL_Blob& reply, CLU_Table* table);

// The reply of an Execute, read alike by both forms: *table with "CHECKSUM" (the
// checksum of the reply's bytes) added when the server sent none, and the server's code
// from "ERRNO" (CL_OK when it has none).
int32 QPX_ReadExecuteReply(CL_Blob& reply, CLU_Table* table);
// A successful single sign-on signs in the user of the reply's "USERINFO", if any: the
// name under `nameKey`, the password "ParolaChiave". The blocking Execute records the
// person's "Nome", the asynchronous completion (after the success callback) the
// account's "NickName". The difference is deliberate, not a slip: each form keeps the
// name its callers have always read back from GetUser() (the Python connection
// information's "user"), and tests pin both. A detached request records nothing.
void QPX_RecordSingleSignOn(QPX_ClientCore& core, const CLU_Table& reply, const char* nameKey);

// Discovery result: the count, then one record per server.
uint32 QPX_ReadServerCount(CL_Blob& reply);
void QPX_ReadServerSpec(CL_Blob& reply, QPX_ServerSpec* spec);
// Fewest bytes one record of the discovery result takes.
constexpr uint32 QPX_MIN_SERVER_RECORD = 8;
