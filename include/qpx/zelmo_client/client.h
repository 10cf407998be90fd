// The connection object of the server client library: one QPX_Client stands for one
// connection to one business server, keeps the connection, database and user state,
// and runs commands (by code or by name) synchronously or asynchronously through the
// caller's callbacks. Also the vocabulary they share: server descriptions, encryption
// levels, progress states and callback types.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <variant>

#include "lumo/ipc.h"
#include "lumo/types.h"
#include "lumo/uuid.h"
#include "qpx/zelmo_client/commands.h"
#include "qpx/zelmo_client/errors.h"

class CL_Dispatcher;
class QPX_Client;
struct QPX_ClientCore;
struct QPX_OpArgs;
struct QPX_OpOut;
struct QPX_OpResult;
struct QPX_Operation;

typedef uint32 QPX_Command;

// Parameter type of two Connect overloads that do nothing; never defined.
class QPX_Server;

enum QPX_CryptLevel : uint32 {
    QPX_CRYPT_NONE = 0,
    QPX_CRYPT_LOW = 1,
    QPX_CRYPT_NORMAL = 2,
    QPX_CRYPT_HIGH = 3,
};

// The RPC client's progress states, passed through unchanged.
enum QPX_ProgressType : uint32 {
    QPX_PROGRESS_PROCESS = CL_PROGRESS_PROCESS,
    QPX_PROGRESS_SEND = CL_PROGRESS_SEND,
    QPX_PROGRESS_EXECUTE = CL_PROGRESS_EXECUTE,
    QPX_PROGRESS_RECEIVE = CL_PROGRESS_RECEIVE,
    QPX_PROGRESS_COMPLETE = CL_PROGRESS_COMPLETE,
};

// One business server, as discovery finds it or as a connection describes it. A plain
// record, copied member by member; nothing guards it.
struct QPX_ServerSpec {
    QPX_ServerSpec()
        : fPort(0),
          fDataVersion(0),
          fCompress(false),
          fCryptLevel(QPX_CRYPT_NONE),
          fMultiTenant(false) {}

    CLU_UUID fUUID;  // a fresh UUID until filled
    std::string fHost;
    uint16 fPort;
    std::string fName;
    std::string fDescription;
    uint32 fDataVersion;
    bool fCompress;
    QPX_CryptLevel fCryptLevel;
    std::string fSID;            // sent as "sid" when connecting
    std::string fRemoteAddress;  // sent as "remote_address" when connecting
    bool fMultiTenant;
    std::string fMultiTenantKey;  // neither filled nor sent by the library
};

// Callbacks; the last argument is the caller's user data, handed back unchanged. For
// one request at most one of success and error is called, once, after its progress
// calls. Tables and lists passed to a callback live only for the call.
typedef void (*QPX_DiscoverCB)(QPX_ServerSpec* servers, uint32 count, void* userData);
typedef void (*QPX_SuccessCB)(void* userData);
typedef void (*QPX_SuccessWithTableCB)(const CLU_Table& result, void* userData);
typedef void (*QPX_SuccessWithListCB)(const CLU_List& result, void* userData);
typedef void (*QPX_SuccessWithResultSetCB)(uint32 affectedRows, const CLU_List& columnNames,
                                           const CLU_List& resultSet, void* userData);
typedef void (*QPX_ErrorCB)(QPX_Status code, const std::string& message, void* userData);
// Non-zero asks to abort the request.
typedef QPX_Status (*QPX_ProgressCB)(QPX_ProgressType state, double completeness,
                                     const std::string& message, void* userData);
// Non-zero ends the wait for the reply (the request is cancelled).
typedef QPX_Status (*QPX_IdleCB)(void* userData);

// While one lives on a thread, the blocking GetServerList and Connect that thread calls
// ask its check (an idle callback) between their waits, about 100 ms apart at most
// (not during a host name's look-up or while another thread's Connect on the same
// client runs), with no lock held; a non-zero answer cancels them: Connect returns
// CL_CANCELLED and GetServerList 0. Scopes nest, the innermost counts.
typedef CL_CancelScope QPX_CancelScope;

// One asynchronous request in flight: carries the caller's callbacks through the RPC
// client and turns the reply into their arguments. It shares its client's state
// record, so it may outlive the client; once the client is gone it still reports to
// the caller but changes no client state. Made by the operation that starts the
// request, deleted by the trampoline that ends it; used by one thread at a time.
class QPX_AsyncData : public CL_Object {
public:
    enum Type : uint32 {
        Discover = 0,
        Connect = 1,
        Execute = 2,
        ListDrivers = 3,
        ListDatabases = 4,
        CreateDatabase = 5,
        OpenDatabase = 6,
        CloseDatabase = 7,
        UpgradeDatabase = 8,
        DeleteDatabase = 9,
        QueryDatabase = 10,
        QueryDatabaseNatively = 11,
        BackupDatabase = 12,
        RestoreDatabase = 13,
        ListBackups = 14,
        DeleteBackup = 15,
        OptimizeDatabase = 16,
        RepairDatabase = 17,
        IndexDatabase = 18,
        GetClientList = 19,
        GetClientInfo = 20,
        KillClient = 21,
        GetDataDictionary = 22,
        Authenticate = 23,
        FullTextSearch = 24,
    };
    static constexpr QPX_Command kNoCommand = 0xFFFFFFFFu;
    // The caller's success callback, of the kind its request type reads: QPX_DiscoverCB
    // for Discover; a table for Connect, Execute and the operations with a table
    // result; none, a list or a result set for the others.
    typedef std::variant<QPX_DiscoverCB, QPX_SuccessCB, QPX_SuccessWithTableCB,
                         QPX_SuccessWithListCB, QPX_SuccessWithResultSetCB>
        Success;

    // Registers the request with its client. Only Execute requests carry an idle
    // callback and a command.
    QPX_AsyncData(QPX_Client* client, Type type, Success success, QPX_ErrorCB error,
                  QPX_ProgressCB progress, void* userData, QPX_IdleCB idle = nullptr,
                  QPX_Command command = kNoCommand);
    ~QPX_AsyncData();
    QPX_AsyncData(const QPX_AsyncData&) = delete;
    QPX_AsyncData& operator=(const QPX_AsyncData&) = delete;

    // What a successful OpenDatabase or Authenticate records in the client's state.
    void SetDatabase(const std::string& driver, const std::string& name);
    void SetUser(const std::string& name, const std::string& password);

    // Trampolines handed to the RPC client; the last argument is the request. Each
    // completion (DiscoverCB, ConnectCB, ExecuteCB, ErrorCB) deletes the request.
    static CL_Status DiscoverCB(CL_Blob& reply, void* request);
    static CL_Status ConnectCB(CL_Blob& reply, void* request);
    static CL_Status ExecuteCB(CL_Blob& reply, void* request);
    static CL_Status ErrorCB(CL_Status code, CL_Blob& reply, void* request);
    static CL_Status ProgressCB(CL_ProgressType state, double completeness,
                                const std::string& message, CL_Blob* partial, void* request);
    static CL_Status IdleCB(void* request);

private:
    // The success callback when it is of kind CB and set; null otherwise.
    template <class CB>
    CB SuccessOf() const {
        const CB* callback = std::get_if<CB>(&fSuccess);
        return callback ? *callback : nullptr;
    }
    // Runs the success callback of the request's kind on a successful reply: a named
    // operation by its row, the generic Execute on its own.
    void Complete(const CLU_Table& reply);
    void CompleteExecute(const CLU_Table& reply);
    // Hands a named operation's result to the success callback of its shape.
    void Report(const QPX_Operation& op, const QPX_OpResult& result);

    // Set by the constructors (the strings right after), then only read; a request is
    // used by one thread at a time, so no lock guards them. The state they change
    // lives in the core, under its lock.
    std::shared_ptr<QPX_ClientCore> fCore;
    Type fType;
    void* fUserData;
    Success fSuccess;
    QPX_ErrorCB fError;
    QPX_ProgressCB fProgress;
    QPX_IdleCB fIdle;
    std::string fDatabaseDriver;
    std::string fDatabaseName;
    std::string fUserName;
    std::string fUserPassword;
    QPX_Command fCommand;
    // A Connect's number among its client's Connects: its failure ends the connection
    // only while no later Connect has begun. Any other request's: the number of the RPC
    // client's connection when it was made, whose end alone its failure may close.
    uint32 fConnection;
};

// Connection to one business server. One object may be used from several threads at
// once: the connection, database and user state live in a record guarded by its own
// recursive lock, shared with the pending asynchronous requests, and the getters hand
// out copies taken under that lock. No lock is held while a caller's callback runs.
// Timeouts are milliseconds, passed to the RPC client unchanged.
class QPX_Client : public CL_Object {
public:
    // With a TCP RPC client on `dispatcher` (null: the RPC client makes its own).
    explicit QPX_Client(CL_Dispatcher* dispatcher);
    explicit QPX_Client(std::nullptr_t) : QPX_Client(static_cast<CL_Dispatcher*>(nullptr)) {}
    // Over the given RPC client, which this object then owns.
    explicit QPX_Client(CL_Client* rpc);
    // Detaches every pending request, closes the connection, waits until those
    // requests have reported to their callers (the dispatcher must still run), then
    // deletes the RPC client. A client may be deleted from any callback of its own
    // asynchronous requests. From a success or error callback, that request is not
    // waited for, and nothing that its callback's thread still uses on the way back is
    // freed (a dispatcher the RPC client made for itself leaves that worker to end by
    // itself). From a progress or idle callback, whose request goes on using the RPC
    // client, the destructor returns at once and leaves the rest to that request: it
    // ends as a detached one, its success or error callback included, then waits for
    // the others and deletes the RPC client, all in its job (on a dispatcher of the
    // caller's, WaitForJobs there waits for it). Not from the idle callback of a
    // synchronous call, which runs on the calling thread inside this client's method.
    ~QPX_Client();
    QPX_Client(const QPX_Client&) = delete;
    QPX_Client& operator=(const QPX_Client&) = delete;

    // Discovery: how many records were written to `list` (0 on failure).
    uint32 GetServerList(QPX_ServerSpec* list, uint32 listSize, uint32 timeout, uint16 port);
    void GetServerList(QPX_DiscoverCB discover, QPX_ErrorCB error, QPX_ProgressCB progress,
                       void* userData, uint32 timeout, uint16 port);

    // `output` (not null) receives the server's connection information. A table that
    // nests deeper than CLU_MAX_FLATTEN_DEPTH (the table itself is level 1), here the
    // options, cannot be sent: Connect and Execute (the named operations too) refuse it
    // with CL_ERROR before anything goes out, and the connection stays. Their
    // asynchronous forms return first and report the refusal to `error` as any other
    // failure, from the RPC client's dispatcher (a thread of its own when that cannot be
    // reached: an RPC client of the caller's own that is not a TCP one); it counts as a
    // pending request, which WaitForJobs and the destructor wait for.
    QPX_Status Connect(QPX_ServerSpec* spec, CLU_Table* output, const CLU_Table& options,
                       uint32 timeout);
    void Connect(QPX_ServerSpec* spec, const CLU_Table& options, QPX_SuccessWithTableCB success,
                 QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status Connect(QPX_Server* server, CLU_Table* output, const CLU_Table& options);
    void Connect(QPX_Server* server, const CLU_Table& options, QPX_SuccessWithTableCB success,
                 QPX_ErrorCB error, QPX_ProgressCB progress, void* userData);
    void Disconnect();
    void Interrupt();
    uint32 GetID();
    // Waits for the RPC client's jobs and for the refusals not yet reported: true once
    // they are done. Called from a success or error callback of this client, it waits
    // neither for that callback's request nor for those whose callbacks wait here at the
    // same time. False once this client's deletion has begun (from another callback,
    // say, which waits for the calling one): the caller must leave the client alone.
    bool WaitForJobs();
    void SetDispatcher(CL_Dispatcher* dispatcher);
    // Idle hook of synchronous calls that give none.
    void SetDefaultIdleCB(QPX_IdleCB idle);

    // Any command by code; `input` and `output` may be null. The status is the
    // transport's, or the reply's non-zero "ERRNO".
    QPX_Status Execute(QPX_Command cmd, CLU_Table* input, CLU_Table* output, QPX_IdleCB idle,
                       uint32 timeout);
    void Execute(QPX_Command cmd, CLU_Table* input, QPX_SuccessWithTableCB success,
                 QPX_ErrorCB error, QPX_ProgressCB progress, QPX_IdleCB idle, void* userData,
                 uint32 timeout);

    // The server's own text ("ERROR") for the calling thread's last synchronous request
    // (Execute and the named operations) that failed; empty when it succeeded or its
    // reply carried no text. The named operations return only a status.
    static std::string GetLastServerError();

    // Copies of the state, taken under the lock.
    CLU_Table GetDatabase();
    CLU_Table GetUser();
    void GetConnectionInfo(CLU_Table* out);
    void GetCurrentServerSpec(QPX_ServerSpec* spec);

    // Ends the connection and empties the state on the codes that mean it is gone;
    // returns `code`.
    QPX_Status CheckResult(QPX_Status code);

    // Named operations. Synchronous forms wait up to 10 s and fill their
    // out-parameters; asynchronous forms report through their callbacks.
    QPX_Status ListDrivers(bool configured, CLU_List* drivers);
    void ListDrivers(bool configured, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                     QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status ListDatabases(const std::string& driver, bool quick, CLU_Table* databases);
    void ListDatabases(const std::string& driver, bool quick, QPX_SuccessWithTableCB success,
                       QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    // `uuid` may be null.
    QPX_Status CreateDatabase(const std::string& password, const std::string& driver,
                              const std::string& name, const std::string& desc, CLU_UUID* uuid);
    void CreateDatabase(const std::string& password, const std::string& driver,
                        const std::string& name, const std::string& desc,
                        QPX_SuccessWithTableCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                        void* userData, uint32 timeout);
    QPX_Status OpenDatabase(const std::string& driver, const std::string& name, CLU_Table* info);
    void OpenDatabase(const std::string& driver, const std::string& name,
                      QPX_SuccessWithTableCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                      void* userData, uint32 timeout);
    QPX_Status CloseDatabase(bool backup);
    void CloseDatabase(bool backup, QPX_SuccessCB success, QPX_ErrorCB error,
                       QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status UpgradeDatabase(const std::string& password, const std::string& driver,
                               const std::string& name, CLU_List* log, uint32* oldVersion,
                               uint32* newVersion);
    void UpgradeDatabase(const std::string& password, const std::string& driver,
                         const std::string& name, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                         QPX_ProgressCB progress, void* userData, uint32 timeout);
    // `deleteCloudData` may be null: the server's default.
    QPX_Status DeleteDatabase(const std::string& password, const std::string& driver,
                              const std::string& name, const bool* deleteCloudData);
    void DeleteDatabase(const std::string& password, const std::string& driver,
                        const std::string& name, const bool* deleteCloudData, QPX_SuccessCB success,
                        QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    // `error` may be null.
    QPX_Status QueryDatabase(const std::string& query, uint32* affectedRows, CLU_List* columnNames,
                             CLU_List* resultSet, bool native, bool fullColumnNames,
                             bool collapseBlobs, std::string* error);
    void QueryDatabase(const std::string& query, QPX_SuccessWithResultSetCB success,
                       QPX_ErrorCB error, QPX_ProgressCB progress, bool native,
                       bool fullColumnNames, bool collapseBlobs, void* userData, uint32 timeout);
    QPX_Status BackupDatabase(const std::string& password, const std::string& driver,
                              const std::string& name, const std::string& backupName,
                              bool automatic, bool overWrite, uint32 position, bool storeIndex);
    void BackupDatabase(const std::string& password, const std::string& driver,
                        const std::string& name, const std::string& backupName, bool automatic,
                        bool overWrite, uint32 position, bool storeIndex, QPX_SuccessCB success,
                        QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status RestoreDatabase(const std::string& password, const std::string& driver,
                               const std::string& name, const std::string& backupName,
                               bool changeUUID, bool overWrite, uint32 position, bool restoreIndex);
    void RestoreDatabase(const std::string& password, const std::string& driver,
                         const std::string& name, const std::string& backupName, bool changeUUID,
                         bool overWrite, uint32 position, bool restoreIndex, QPX_SuccessCB success,
                         QPX_ErrorCB error, QPX_ProgressCB progress, void* userData,
                         uint32 timeout);
    QPX_Status ListBackups(uint32 position, CLU_List* backups);
    void ListBackups(uint32 position, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                     QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status DeleteBackup(uint32 position, const std::string& password,
                            const std::string& backupName);
    void DeleteBackup(uint32 position, const std::string& password, const std::string& backupName,
                      QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                      void* userData, uint32 timeout);
    QPX_Status DeleteBackup(uint32 position, const std::string& password,
                            const CLU_List& backupNames);
    void DeleteBackup(uint32 position, const std::string& password, const CLU_List& backupNames,
                      QPX_SuccessCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                      void* userData, uint32 timeout);
    QPX_Status OptimizeDatabase(const std::string& password, const std::string& driver,
                                const std::string& name);
    void OptimizeDatabase(const std::string& password, const std::string& driver,
                          const std::string& name, QPX_SuccessCB success, QPX_ErrorCB error,
                          QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status RepairDatabase(const std::string& password, const std::string& driver,
                              const std::string& name, const std::string& output);
    void RepairDatabase(const std::string& password, const std::string& driver,
                        const std::string& name, const std::string& output, QPX_SuccessCB success,
                        QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status IndexDatabase(const std::string& password, const std::string& driver,
                             const std::string& name, bool reset, bool run);
    void IndexDatabase(const std::string& password, const std::string& driver,
                       const std::string& name, bool reset, bool run, QPX_SuccessCB success,
                       QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status GetClientList(bool full, bool any, CLU_List* list);
    void GetClientList(bool full, bool any, QPX_SuccessWithListCB success, QPX_ErrorCB error,
                       QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status GetClientInfo(uint32 clientId, CLU_Table* info);
    void GetClientInfo(uint32 clientId, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                       QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status GetClientInfo(const std::string& sid, CLU_Table* info);
    void GetClientInfo(const std::string& sid, QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                       QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status KillClient(uint32 clientId, const std::string& password);
    void KillClient(uint32 clientId, const std::string& password, QPX_SuccessCB success,
                    QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status KillClient(const std::string& sid, const std::string& password);
    void KillClient(const std::string& sid, const std::string& password, QPX_SuccessCB success,
                    QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status GetDataDictionary(CLU_Table* dict);
    void GetDataDictionary(QPX_SuccessWithTableCB success, QPX_ErrorCB error,
                           QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status Authenticate(const std::string& userName, const std::string& password,
                            CLU_Table* userInfo);
    void Authenticate(const std::string& userName, const std::string& password,
                      QPX_SuccessWithTableCB success, QPX_ErrorCB error, QPX_ProgressCB progress,
                      void* userData, uint32 timeout);
    QPX_Status Authenticate(const std::string& userName, const std::string& password,
                            const std::string& newPassword, CLU_Table* userInfo);
    void Authenticate(const std::string& userName, const std::string& password,
                      const std::string& newPassword, QPX_SuccessWithTableCB success,
                      QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);
    QPX_Status FullTextSearch(const std::string& text, CLU_List* results, int32 limit);
    void FullTextSearch(const std::string& text, int32 limit, QPX_SuccessWithListCB success,
                        QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);

private:
    friend class QPX_AsyncData;

    // Flattens `input` (none: an empty payload) into *blob, read from its start. A table
    // too deep to flatten is refused: false, and `error` hears of it later, off the
    // calling thread (see Connect).
    bool FlattenRequest(const CLU_Table* input, CL_Blob* blob, QPX_ErrorCB error, void* userData);
    // Hands a flattened request to the RPC client.
    void StartRequest(QPX_AsyncData* request, QPX_Command cmd, CL_Blob& blob, QPX_IdleCB idle,
                      uint32 timeout);
    // A named operation by the row of its request type. The synchronous form runs
    // Execute with the default idle hook and 10 s and fills `out`; the asynchronous
    // form starts a request that reports to the callbacks.
    QPX_Status RunOperation(QPX_AsyncData::Type type, const QPX_OpArgs& args, const QPX_OpOut& out);
    template <class Success>
    void StartOperation(QPX_AsyncData::Type type, const QPX_OpArgs& args, Success success,
                        QPX_ErrorCB error, QPX_ProgressCB progress, void* userData, uint32 timeout);

    // Both set by the constructor and never changed; the state they lead to is
    // guarded inside the core.
    std::shared_ptr<QPX_ClientCore> fCore;
    CL_Client* fClient;  // owned; the core holds it too until this object goes
};
