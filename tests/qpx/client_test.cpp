// The connection object over a scripted RPC client: connection table, connection,
// database and user state, CheckResult, generic execution in both forms, request
// tracking and discovery.
#include "qpx/zelmo_client/client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include "lumo/status.h"
#include "qpx/zelmo_client/errors.h"
#include "support/callback_recorder.h"
#include "support/flat_table.h"
#include "support/mock_rpc.h"
#include "support/wait_for.h"

namespace {

using R = CallbackRecorder;

int sIdleCalls = 0;
QPX_Status CountIdle(void*) {
    sIdleCalls++;
    return 0;
}

CLU_Table Reply(std::initializer_list<std::pair<const char*, const char*>> texts) {
    CLU_Table t;
    for (const auto& kv : texts)
        t.Set(kv.first, std::string(kv.second));
    return t;
}

std::vector<std::string> Keys(const CLU_Table& t) {
    std::vector<std::string> keys;
    for (auto it = t.begin(); it != t.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

class ClientTest : public ::testing::Test {
protected:
    ClientTest() : fRPC(new MockRPC), fClient(new QPX_Client(fRPC)) {}
    ~ClientTest() override { delete fClient; }

    // Connected, with a database open and a user signed in.
    void Connect() {
        fRPC->Push(MockRPC::TableReply(Reply({{"host", "srv"}, {"name", "Main"}})));
        QPX_ServerSpec spec;
        CLU_Table out;
        ASSERT_EQ(fClient->Connect(&spec, &out, CLU_Table(), 1000), CL_OK);
        CLU_Table info;
        info.Set("uuid", std::string("00112233-4455-6677-8899-AABBCCDDEEFF"));
        CLU_Table reply;
        reply.Set("INFO", info);
        fRPC->Push(MockRPC::TableReply(reply));
        CLU_Table got;
        ASSERT_EQ(fClient->OpenDatabase("drv", "db", &got), CL_OK);
        fRPC->Push(MockRPC::TableReply(CLU_Table()));
        ASSERT_EQ(fClient->Authenticate("dom\\user", "pw", &got), CL_OK);
    }
    bool Connected() {
        CLU_Table info;
        fClient->GetConnectionInfo(&info);
        return !info.Empty();
    }

    MockRPC* fRPC;
    QPX_Client* fClient;
};

TEST(ServerSpecTest, DefaultRecordHasFreshUUIDAndZeroFields) {
    QPX_ServerSpec a, b;
    EXPECT_FALSE(a.fUUID.IsNull());
    EXPECT_NE(a.fUUID, b.fUUID);
    EXPECT_TRUE(a.fHost.empty() && a.fName.empty() && a.fDescription.empty() && a.fSID.empty());
    EXPECT_EQ(a.fPort, 0);
    EXPECT_EQ(a.fDataVersion, 0u);
    EXPECT_FALSE(a.fCompress);
    EXPECT_FALSE(a.fMultiTenant);
}

// ---- Connection -----------------------------------------------------------------

TEST_F(ClientTest, ConnectTableSetsItsKeysOverTheOptionsInOrder) {
    QPX_ServerSpec spec;
    spec.fHost = "example";
    spec.fPort = 51965;
    spec.fSID = "sid-1";
    spec.fRemoteAddress = "10.0.0.1";
    CLU_Table options;
    options.Set("user", std::string("u"));
    options.Set("host", std::string("old"));
    options.Set("parent_client_id", 7);
    CLU_Table out;
    fClient->Connect(&spec, &out, options, 1234);
    CLU_Table sent = fRPC->LastSettings();
    EXPECT_EQ(Keys(sent),
              (std::vector<std::string>{"user", "host", "parent_client_id", "port", "timeout",
                                        "conn_flags", "sid", "remote_address", "timezone"}));
    EXPECT_EQ(sent.GetString("host"), "example");
    EXPECT_EQ(sent.GetType("port"), CLU_INTEGER);
    EXPECT_EQ(sent.GetInteger("port"), 51965);
    EXPECT_EQ(sent.GetInteger("timeout"), 1234);
    EXPECT_EQ(sent.GetInteger("conn_flags"), 9);
    EXPECT_EQ(sent.GetInteger("parent_client_id"), 7);
    EXPECT_EQ(sent.GetString("sid"), "sid-1");
    EXPECT_EQ(sent.GetString("remote_address"), "10.0.0.1");
    EXPECT_EQ(fRPC->LastTimeout(), 1234u);
}

TEST_F(ClientTest, ConnectFlagsComeFromTheOptionsOnlyWhenGiven) {
    QPX_ServerSpec spec;
    CLU_Table options, out;
    options.Set("flags", 0);
    fClient->Connect(&spec, &out, options, 0);
    EXPECT_EQ(fRPC->LastSettings().GetInteger("conn_flags", -1), 0);
}

TEST_F(ClientTest, ConnectWithoutSpecSendsAnEmptyTable) {
    CLU_Table options, out;
    options.Set("flags", 3);
    fClient->Connect(nullptr, &out, options, 0);
    EXPECT_EQ(fRPC->LastSettings().Count(), 0u);
}

TEST_F(ClientTest, TimeZoneIsMinutesEastOfGreenwich) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    struct Case {
        const char* fTZ;
        int64 fMinutes;
    };
    for (const Case& c : {Case{"XXX-1", 60}, Case{"XXX+3:30", -210}, Case{"UTC0", 0}}) {
        setenv("TZ", c.fTZ, 1);
        tzset();
        QPX_ServerSpec spec;
        CLU_Table out;
        fClient->Connect(&spec, &out, CLU_Table(), 0);
        EXPECT_EQ(fRPC->LastSettings().GetInteger("timezone", 12345), c.fMinutes) << c.fTZ;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(ClientTest, SuccessfulConnectKeepsTheInformationAndClearsDatabaseAndUser) {
    Connect();
    EXPECT_FALSE(fClient->GetDatabase().Empty());
    fRPC->Push(MockRPC::TableReply(Reply({{"host", "other"}})));
    QPX_ServerSpec spec;
    CLU_Table out;
    ASSERT_EQ(fClient->Connect(&spec, &out, CLU_Table(), 0), CL_OK);
    EXPECT_EQ(out.GetString("host"), "other");
    CLU_Table info;
    fClient->GetConnectionInfo(&info);
    EXPECT_EQ(info.GetString("host"), "other");
    EXPECT_TRUE(fClient->GetDatabase().Empty());
    EXPECT_TRUE(fClient->GetUser().Empty());
}

TEST_F(ClientTest, FailedConnectReturnsItsCodeAndEndsEverything) {
    Connect();
    fRPC->Push(MockRPC::StatusReply(CL_CANNOT_CONNECT));
    QPX_ServerSpec spec;
    CLU_Table out;
    out.Set("kept", 1);
    int before = fRPC->Disconnects();
    EXPECT_EQ(fClient->Connect(&spec, &out, CLU_Table(), 0), CL_CANNOT_CONNECT);
    EXPECT_EQ(fRPC->Disconnects(), before + 1);
    EXPECT_TRUE(out.Exists("kept"));
    EXPECT_FALSE(Connected());
    EXPECT_TRUE(fClient->GetDatabase().Empty());
    EXPECT_TRUE(fClient->GetUser().Empty());
}

TEST_F(ClientTest, ConnectOverloadsWithoutServerDoNothing) {
    CLU_Table out;
    EXPECT_EQ(fClient->Connect(static_cast<QPX_Server*>(nullptr), &out, CLU_Table()), CL_ERROR);
    R o;
    fClient->Connect(static_cast<QPX_Server*>(nullptr), CLU_Table(), R::Success, R::Error,
                     R::Progress, &o);
    fRPC->Drain();
    EXPECT_EQ(o.Completions() + o.fProgressCalls, 0);
}

TEST_F(ClientTest, CurrentServerSpecReadsTheConnectionInformation) {
    CLU_Table reply = Reply({{"host", "h"}, {"name", "n"}, {"desc", "d"}});
    reply.Set("port", 4000);
    reply.Set("data_version", 12);
    reply.Set("uuid", std::string("00112233445566778899aabbccddeeff"));
    reply.Set("multitenant_enabled", true);
    fRPC->Push(MockRPC::TableReply(reply));
    QPX_ServerSpec spec;
    CLU_Table out;
    ASSERT_EQ(fClient->Connect(&spec, &out, CLU_Table(), 0), CL_OK);
    QPX_ServerSpec current;
    current.fSID = "mine";
    fClient->GetCurrentServerSpec(&current);
    EXPECT_EQ(current.fHost, "h");
    EXPECT_EQ(current.fPort, 4000);
    EXPECT_EQ(current.fName, "n");
    EXPECT_EQ(current.fDescription, "d");
    EXPECT_EQ(current.fDataVersion, 12u);
    EXPECT_EQ(current.fUUID.Get(), "00112233-4455-6677-8899-AABBCCDDEEFF");
    EXPECT_TRUE(current.fMultiTenant);
    EXPECT_EQ(current.fSID, "mine");
}

TEST_F(ClientTest, PassThroughOperationsReachTheRPCClient) {
    EXPECT_EQ(fClient->GetID(), 42u);
    fClient->Interrupt();
    EXPECT_EQ(fRPC->Interrupts(), 1);
    fClient->Disconnect();
    EXPECT_EQ(fRPC->Disconnects(), 1);
}

// ---- CheckResult ----------------------------------------------------------------------

class CheckResultTest : public ClientTest, public ::testing::WithParamInterface<int> {};

TEST_P(CheckResultTest, EndsTheConnectionOnlyOnTransportFailures) {
    Connect();
    int code = GetParam();
    bool ends = (code >= 100 && code <= 110) || (code >= 112 && code <= 115) || code == 117 ||
                code == 200 || code == 201;
    EXPECT_EQ(fClient->CheckResult(code), code);
    EXPECT_EQ(fRPC->Disconnects(), ends ? 1 : 0);
    EXPECT_EQ(Connected(), !ends);
    EXPECT_EQ(fClient->GetDatabase().Empty(), ends);
    EXPECT_EQ(fClient->GetUser().Empty(), ends);
}

INSTANTIATE_TEST_SUITE_P(Codes, CheckResultTest,
                         ::testing::Values(0, -1, 4, 7, 100, 103, 107, 110, 111, 112, 113, 114, 115,
                                           116, 117, 118, 200, 201, 202, 204, 205, 209, 2044,
                                           4003));

// ---- Synchronous execution ------------------------------------------------------------

TEST_F(ClientTest, ExecuteSendsTheFlattenedTableAndReturnsTheReply) {
    CLU_Table input = Reply({{"A", "1"}});
    input.Set("B", 2);
    fRPC->Push(MockRPC::TableReply(Reply({{"X", "y"}})));
    CLU_Table output;
    output.Set("stale", 1);
    ASSERT_EQ(fClient->Execute(77, &input, &output, nullptr, 500), CL_OK);
    MockRPC::Request sent = fRPC->Last();
    EXPECT_EQ(sent.fCommand, 77u);
    EXPECT_EQ(Keys(sent.fTable), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(fRPC->LastTimeout(), 500u);
    EXPECT_FALSE(output.Exists("stale"));
    EXPECT_EQ(output.GetString("X"), "y");
    CL_Blob bytes = MockRPC::TableReply(Reply({{"X", "y"}})).fBytes;
    EXPECT_EQ(static_cast<uint32>(output.GetInteger("CHECKSUM")), bytes.CheckSum());
}

TEST_F(ClientTest, ExecuteWithoutInputSendsAnEmptyPayloadAndKeepsTheServerChecksum) {
    CLU_Table reply;
    reply.Set("CHECKSUM", 99);
    fRPC->Push(MockRPC::TableReply(reply));
    CLU_Table output;
    ASSERT_EQ(fClient->Execute(QPX_CMD_MAX, nullptr, &output, nullptr, 0), CL_OK);
    EXPECT_EQ(fRPC->Last().fPayload.GetSize(), 0u);
    EXPECT_EQ(fRPC->Last().fCommand, static_cast<uint32>(QPX_CMD_MAX));
    EXPECT_EQ(output.GetInteger("CHECKSUM"), 99);
}

struct ErrnoCase {
    CL_Status fTransport;
    bool fHasErrno;
    int32 fErrno;
    QPX_Status fExpected;
};

class ExecuteErrnoTest : public ClientTest, public ::testing::WithParamInterface<ErrnoCase> {};

// A zero "ERRNO" is no verdict: it must not turn a failed request into a success.
TEST_P(ExecuteErrnoTest, NonZeroErrnoReplacesTheStatus) {
    const ErrnoCase& c = GetParam();
    CLU_Table reply = Reply({{"ERROR", "text"}});
    if (c.fHasErrno) reply.Set("ERRNO", c.fErrno);
    fRPC->Push(MockRPC::TableReply(reply, c.fTransport));
    CLU_Table output;
    EXPECT_EQ(fClient->Execute(5, nullptr, &output, nullptr, 0), c.fExpected);
    EXPECT_EQ(fClient->Execute(5, nullptr, nullptr, nullptr, 0), CL_OK);  // default reply
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecuteErrnoTest,
    ::testing::Values(ErrnoCase{CL_OK, false, 0, CL_OK}, ErrnoCase{CL_OK, true, 0, CL_OK},
                      ErrnoCase{CL_OK, true, 4003, 4003},
                      ErrnoCase{CL_IPC_EXECUTE_FAILED, true, 0, CL_IPC_EXECUTE_FAILED},
                      ErrnoCase{CL_IPC_EXECUTE_FAILED, true, 2209, 2209},
                      ErrnoCase{CL_IPC_EXECUTE_FAILED, false, 0, CL_IPC_EXECUTE_FAILED}));

TEST_F(ClientTest, ServerErrorKeepsTheConnectionAndHandsBackTheReply) {
    Connect();
    CLU_Table reply = Reply({{"ERROR", "scaduta"}});
    reply.Set("ERRNO", 2044);
    fRPC->Push(MockRPC::TableReply(reply));
    CLU_Table output;
    EXPECT_EQ(fClient->Execute(5, nullptr, &output, nullptr, 0), 2044);
    EXPECT_EQ(output.GetString("ERROR"), "scaduta");
    EXPECT_TRUE(output.Exists("CHECKSUM"));
    EXPECT_TRUE(Connected());
}

TEST_F(ClientTest, LostConnectionWithEmptyReplyLeavesOnlyTheChecksum) {
    Connect();
    fRPC->Push(MockRPC::StatusReply(CL_NOT_CONNECTED));
    CLU_Table output;
    output.Set("old", 1);
    EXPECT_EQ(fClient->Execute(5, nullptr, &output, nullptr, 0), CL_NOT_CONNECTED);
    EXPECT_EQ(Keys(output), std::vector<std::string>{"CHECKSUM"});
    EXPECT_EQ(output.GetInteger("CHECKSUM"), 0);
    EXPECT_FALSE(Connected());
}

// After a failed write the RPC client's buffer may still hold the request: it must
// not be read as the server's reply.
TEST_F(ClientTest, FailedWriteIsNotReadBackAsTheReply) {
    Connect();
    CLU_Table input;
    input.Set("ERRNO", 0);
    input.Set("USERINFO", Reply({{"Nome", "intruder"}}));
    MockRPC::Reply echo = MockRPC::StatusReply(CL_SOCKET_WRITE_ERROR);
    echo.fEcho = true;
    fRPC->Push(echo);
    CLU_Table output;
    EXPECT_EQ(fClient->Execute(QPX_CMD_LOGIN_SSO, &input, &output, nullptr, 0),
              CL_SOCKET_WRITE_ERROR);
    EXPECT_EQ(Keys(output), std::vector<std::string>{"CHECKSUM"});

    // Even a failure that keeps the connection reads nothing back.
    input.Set("ERRNO", 4003);
    echo.fStatus = CL_TIMEOUT;
    fRPC->Push(echo);
    EXPECT_EQ(fClient->Execute(5, &input, &output, nullptr, 0), CL_TIMEOUT);
    EXPECT_FALSE(output.Exists("ERRNO"));
}

TEST_F(ClientTest, SingleSignOnRecordsTheUserFromNome) {
    CLU_Table info = Reply({{"Nome", "mario"}, {"ParolaChiave", "secret"}, {"NickName", "m"}});
    CLU_Table reply;
    reply.Set("USERINFO", info);
    fRPC->Push(MockRPC::TableReply(reply));
    CLU_Table output;
    ASSERT_EQ(fClient->Execute(QPX_CMD_LOGIN_SSO, nullptr, &output, nullptr, 0), CL_OK);
    CLU_Table user = fClient->GetUser();
    EXPECT_EQ(user.GetString("name"), "mario");
    EXPECT_EQ(user.GetString("password"), "secret");

    // Without USERINFO, or with a failure, the user stays.
    fRPC->Push(MockRPC::TableReply(CLU_Table()));
    fClient->Execute(QPX_CMD_LOGIN_SSO, nullptr, nullptr, nullptr, 0);
    reply.Set("ERRNO", 4008);
    reply.Set("USERINFO", Reply({{"Nome", "other"}}));
    fRPC->Push(MockRPC::TableReply(reply));
    EXPECT_EQ(fClient->Execute(QPX_CMD_LOGIN_SSO, nullptr, nullptr, nullptr, 0), 4008);
    EXPECT_EQ(fClient->GetUser().GetString("name"), "mario");
}

TEST_F(ClientTest, NullIdleHookFallsBackToTheDefault) {
    sIdleCalls = 0;
    fClient->Execute(5, nullptr, nullptr, nullptr, 0);
    EXPECT_FALSE(fRPC->Last().fHadIdle);
    fClient->SetDefaultIdleCB(CountIdle);
    fClient->Execute(5, nullptr, nullptr, nullptr, 0);
    EXPECT_TRUE(fRPC->Last().fHadIdle);
    EXPECT_EQ(sIdleCalls, 1);
}

// The default idle hook is cleared by setting none: the old one is not kept.
TEST_F(ClientTest, ClearingTheDefaultIdleHookClearsIt) {
    sIdleCalls = 0;
    fClient->SetDefaultIdleCB(CountIdle);
    fClient->SetDefaultIdleCB(nullptr);
    fClient->Execute(5, nullptr, nullptr, nullptr, 0);
    EXPECT_FALSE(fRPC->Last().fHadIdle);
    EXPECT_EQ(sIdleCalls, 0);
}

// ---- Asynchronous execution -----------------------------------------------------------

TEST_F(ClientTest, AsyncExecuteDeliversTheWholeReplyWithChecksum) {
    R o;
    fRPC->Push(MockRPC::TableReply(Reply({{"X", "y"}})));
    CLU_Table input = Reply({{"K", "v"}});
    fClient->Execute(66, &input, R::Success, R::Error, R::Progress, R::Idle, &o, 700);
    fRPC->Drain();
    EXPECT_EQ(o.fSuccesses, 1);
    EXPECT_EQ(o.fErrors, 0);
    ASSERT_EQ(o.fProgressCalls, 1);
    EXPECT_EQ(o.fReports.back().fState, uint32(QPX_PROGRESS_EXECUTE));
    EXPECT_EQ(o.fIdleCalls, 1);
    EXPECT_EQ(o.fTable.GetString("X"), "y");
    EXPECT_TRUE(o.fTable.Exists("CHECKSUM"));
    MockRPC::Request sent = fRPC->Last();
    EXPECT_TRUE(sent.fAsync);
    EXPECT_TRUE(sent.fHadIdle);
    EXPECT_EQ(sent.fCommand, 66u);
    EXPECT_EQ(sent.fTable.GetString("K"), "v");
    EXPECT_EQ(fRPC->LastTimeout(), 700u);
}

TEST_F(ClientTest, AsyncServerErrorReportsItsCodeAndTextAndKeepsTheConnection) {
    Connect();
    CLU_Table reply = Reply({{"ERROR", "Sessione scaduta"}});
    reply.Set("ERRNO", 2044);
    fRPC->Push(MockRPC::TableReply(reply));
    R o;
    fClient->Execute(5, nullptr, R::Success, R::Error, nullptr, nullptr, &o, 0);
    fRPC->Drain();
    EXPECT_EQ(o.fSuccesses, 0);
    EXPECT_EQ(o.fErrors, 1);
    EXPECT_EQ(o.fCode, 2044);
    EXPECT_EQ(o.fMessage, "Sessione scaduta");
    EXPECT_TRUE(Connected());
}

TEST_F(ClientTest, AsyncProgressAnswerAbortsTheRequest) {
    for (QPX_Status answer : {1, -1}) {
        R o;
        o.fCancelFrom = 0;
        o.fCancelAnswer = answer;
        fClient->Execute(5, nullptr, R::Success, R::Error, R::Progress, nullptr, &o, 0);
        fRPC->Drain();
        EXPECT_EQ(o.fSuccesses, 0);
        EXPECT_EQ(o.fErrors, 1);
        EXPECT_EQ(o.fCode, CL_IPC_EXECUTE_ABORTED);
        EXPECT_EQ(o.fMessage, QPX::GetError(CL_IPC_EXECUTE_ABORTED));
    }
}

TEST_F(ClientTest, AsyncSingleSignOnRecordsTheUserFromNickName) {
    CLU_Table reply;
    reply.Set("USERINFO", Reply({{"Nome", "mario"}, {"NickName", "mr"}, {"ParolaChiave", "k"}}));
    fRPC->Push(MockRPC::TableReply(reply));
    fClient->Execute(QPX_CMD_LOGIN_SSO, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    fRPC->Drain();
    EXPECT_EQ(fClient->GetUser().GetString("name"), "mr");
    EXPECT_EQ(fClient->GetUser().GetString("password"), "k");
}

TEST_F(ClientTest, AsyncConnectFailureEndsTheConnectionAndReportsTheCode) {
    Connect();
    fRPC->Push(MockRPC::StatusReply(CL_CANNOT_CONNECT));
    R o;
    QPX_ServerSpec spec;
    fClient->Connect(&spec, CLU_Table(), R::Success, R::Error, nullptr, &o, 0);
    fRPC->Drain();
    EXPECT_EQ(o.fErrors, 1);
    EXPECT_EQ(o.fCode, CL_CANNOT_CONNECT);
    EXPECT_EQ(o.fMessage, QPX::GetError(CL_CANNOT_CONNECT));
    EXPECT_EQ(fRPC->Disconnects(), 1);
    EXPECT_FALSE(Connected());
    EXPECT_TRUE(fClient->GetUser().Empty());
}

TEST_F(ClientTest, AsyncConnectSuccessKeepsTheInformation) {
    Connect();
    fRPC->Push(MockRPC::TableReply(Reply({{"host", "new"}})));
    R o;
    QPX_ServerSpec spec;
    fClient->Connect(&spec, CLU_Table(), R::Success, R::Error, R::Progress, &o, 0);
    fRPC->Drain();
    EXPECT_EQ(o.fSuccesses, 1);
    EXPECT_EQ(o.fTable.GetString("host"), "new");
    CLU_Table info;
    fClient->GetConnectionInfo(&info);
    EXPECT_EQ(info.GetString("host"), "new");
    EXPECT_TRUE(fClient->GetDatabase().Empty());
}

// A reconnect that fails for any reason, a refusal too, leaves no connection behind:
// the old connection's information, database and user go, with or without an error
// callback.
TEST_F(ClientTest, FailedAsyncReconnectForgetsTheOldConnection) {
    for (bool withError : {true, false}) {
        Connect();
        ASSERT_TRUE(Connected());
        fRPC->Push(MockRPC::StatusReply(CL_IPC_AUTH_FAILED));
        R o;
        QPX_ServerSpec spec;
        QPX_ErrorCB error = withError ? static_cast<QPX_ErrorCB>(R::Error) : nullptr;
        fClient->Connect(&spec, CLU_Table(), R::Success, error, nullptr, &o, 0);
        fRPC->Drain();
        EXPECT_EQ(o.fSuccesses, 0);
        EXPECT_EQ(o.fErrors, withError ? 1 : 0);
        if (withError) {
            EXPECT_EQ(o.fCode, CL_IPC_AUTH_FAILED);
        }
        EXPECT_FALSE(Connected()) << withError;
        EXPECT_TRUE(fClient->GetDatabase().Empty()) << withError;
        EXPECT_TRUE(fClient->GetUser().Empty()) << withError;
    }
}

// A request without an error callback still ends a lost connection.
TEST_F(ClientTest, AsyncTransportFailureRunsCheckResultWithoutErrorCallback) {
    Connect();
    fRPC->Push(MockRPC::StatusReply(CL_CONNECTION_LOST));
    fClient->Execute(5, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    fRPC->Drain();
    EXPECT_EQ(fRPC->Disconnects(), 1);
    EXPECT_FALSE(Connected());
    EXPECT_TRUE(fClient->GetDatabase().Empty());
}

struct AsyncErrorCase {
    CL_Status fTransport;
    bool fEcho;
    bool fHasErrno;
    int32 fErrno;
    const char* fText;  // null: no "ERROR"
    QPX_Status fCode;
    bool fServerText;
};

class AsyncErrorTest : public ClientTest, public ::testing::WithParamInterface<AsyncErrorCase> {};

TEST_P(AsyncErrorTest, CodeAndMessage) {
    const AsyncErrorCase& c = GetParam();
    CLU_Table reply;
    if (c.fHasErrno) reply.Set("ERRNO", c.fErrno);
    if (c.fText) reply.Set("ERROR", std::string(c.fText));
    MockRPC::Reply r = MockRPC::TableReply(reply, c.fTransport);
    r.fEcho = c.fEcho;
    fRPC->Push(r);
    R o;
    fClient->Execute(5, c.fEcho ? &reply : nullptr, R::Success, R::Error, nullptr, nullptr, &o, 0);
    fRPC->Drain();
    EXPECT_EQ(o.fErrors, 1);
    EXPECT_EQ(o.fSuccesses, 0);
    EXPECT_EQ(o.fCode, c.fCode);
    EXPECT_EQ(o.fMessage, c.fServerText ? std::string(c.fText) : QPX::GetError(c.fCode));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AsyncErrorTest,
    ::testing::Values(
        // A FAILED reply with its own code and text.
        AsyncErrorCase{CL_IPC_EXECUTE_FAILED, false, true, 2209, "bad query", 2209, true},
        // A zero "ERRNO" leaves the failure a failure.
        AsyncErrorCase{CL_IPC_EXECUTE_FAILED, false, true, 0, nullptr, CL_IPC_EXECUTE_FAILED,
                       false},
        AsyncErrorCase{CL_TIMEOUT, false, false, 0, nullptr, CL_TIMEOUT, false},
        // The request handed back after a failed write is not the server's reply.
        AsyncErrorCase{CL_SOCKET_WRITE_ERROR, true, true, 0, nullptr, CL_SOCKET_WRITE_ERROR, false},
        AsyncErrorCase{CL_SOCKET_WRITE_ERROR, true, true, 4003, "fake", CL_SOCKET_WRITE_ERROR,
                       false}));

TEST_F(ClientTest, UnknownRequestKindReportsNotImplemented) {
    R o;
    QPX_AsyncData* request =
        new QPX_AsyncData(fClient, QPX_AsyncData::Discover, static_cast<QPX_DiscoverCB>(nullptr),
                          R::Error, nullptr, &o);
    CL_Blob reply = MockRPC::TableReply(CLU_Table()).fBytes;
    QPX_AsyncData::ExecuteCB(reply, request);
    EXPECT_EQ(o.fErrors, 1);
    EXPECT_EQ(o.fCode, QPX_ERR_NOT_IMPLEMENTED);
}

// Every request completes exactly once, and the client's lock is free while its
// callbacks run: another thread reads the state from inside the callback.
struct LockCheck : CallbackRecorder {
    QPX_Client* fClient = nullptr;
};

void CheckLockFree(const CLU_Table& table, void* ud) {
    LockCheck* o = static_cast<LockCheck*>(ud);
    std::thread reader([o] { o->fClient->GetDatabase(); });
    reader.join();
    R::Success(table, ud);
}

void CheckLockFreeOnError(QPX_Status code, const std::string& message, void* ud) {
    LockCheck* o = static_cast<LockCheck*>(ud);
    std::thread reader([o] { o->fClient->GetUser(); });
    reader.join();
    R::Error(code, message, ud);
}

TEST_F(ClientTest, ManyRequestsCompleteExactlyOnceWithTheLockFree) {
    constexpr int kRequests = 200;
    std::vector<LockCheck> outcomes(kRequests);
    for (int i = 0; i < kRequests; ++i) {
        outcomes[i].fClient = fClient;
        CLU_Table reply;
        if (i % 3 == 1) reply.Set("ERRNO", 4000);
        fRPC->Push(MockRPC::TableReply(reply, i % 3 == 2 ? CL_TIMEOUT : CL_OK));
        fClient->Execute(5, nullptr, CheckLockFree, CheckLockFreeOnError, R::Progress, nullptr,
                         &outcomes[i], 0);
    }
    fRPC->Drain();
    for (int i = 0; i < kRequests; ++i) {
        EXPECT_EQ(outcomes[i].Completions(), 1) << i;
        EXPECT_EQ(outcomes[i].fSuccesses, i % 3 == 0 ? 1 : 0) << i;
    }
}

// State readers on one thread while completions rewrite the state on workers: the
// getters hand out copies that stay whole.
TEST_F(ClientTest, StateCopiesStayWholeWhileRequestsRewriteTheState) {
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            CLU_Table db = fClient->GetDatabase();
            if (!db.Empty() && db.GetString("name").size() != 4) torn++;
            CLU_Table user = fClient->GetUser();
            if (!user.Empty() && user.GetString("password") != "pass") torn++;
        }
    });
    for (int i = 0; i < 300; ++i) {
        CLU_Table info;
        info.Set("uuid", std::string("u"));
        CLU_Table reply;
        reply.Set("INFO", info);
        fRPC->Push(MockRPC::TableReply(reply));
        fClient->OpenDatabase("drv", i % 2 ? "dbAA" : "dbBB", nullptr, nullptr, nullptr, nullptr,
                              0);
        fRPC->Push(MockRPC::TableReply(CLU_Table()));
        fClient->Authenticate("u", "pass", nullptr, nullptr, nullptr, nullptr, 0);
        if (i % 10 == 0) {
            fRPC->Push(MockRPC::TableReply(CLU_Table()));
            fClient->CloseDatabase(false, nullptr, nullptr, nullptr, nullptr, 0);
        }
    }
    fRPC->Drain();
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// A client destroyed with requests in flight: every request still reports once and
// touches nothing of the client.
TEST(ClientLifetimeTest, DestroyedClientWithRequestsInFlight) {
    MockRPC* rpc = new MockRPC;
    QPX_Client* client = new QPX_Client(rpc);
    rpc->Hold();
    R open, auth, connect, execute;
    CLU_Table info;
    info.Set("uuid", std::string("x"));
    CLU_Table reply;
    reply.Set("INFO", info);
    rpc->Push(MockRPC::TableReply(reply));
    client->OpenDatabase("d", "n", R::Success, R::Error, R::Progress, &open, 0);
    rpc->Push(MockRPC::TableReply(CLU_Table()));
    client->Authenticate("u", "p", R::Success, R::Error, R::Progress, &auth, 0);
    QPX_ServerSpec spec;
    rpc->Push(MockRPC::TableReply(Reply({{"host", "h"}})));
    client->Connect(&spec, CLU_Table(), R::Success, R::Error, R::Progress, &connect, 0);
    rpc->Push(MockRPC::StatusReply(CL_CONNECTION_LOST));
    client->Execute(5, nullptr, R::Success, R::Error, R::Progress, nullptr, &execute, 0);
    client->CloseDatabase(false, nullptr, nullptr, nullptr, nullptr, 0);
    // A refused request (too deep to send) is waited for too: its callback waits in
    // vain for the deletion to end.
    R refused;
    std::atomic<bool> deleted{false}, before{false};
    refused.fOnCompletion = [&] { before = !WaitFor([&] { return deleted.load(); }, 300); };
    CLU_Table deep = NestedTables(CLU_MAX_FLATTEN_DEPTH + 1);
    client->Execute(5, &deep, R::Success, R::Error, R::Progress, nullptr, &refused, 0);
    delete client;  // closing the connection lets the held requests finish
    deleted = true;
    ASSERT_TRUE(refused.Wait(1));
    EXPECT_TRUE(before);
    for (R* o : {&open, &auth, &connect}) {
        EXPECT_EQ(o->fSuccesses, 1);
        EXPECT_EQ(o->fErrors, 0);
    }
    EXPECT_EQ(execute.fErrors, 1);
    EXPECT_EQ(execute.fCode, CL_CONNECTION_LOST);
}

// ---- Discovery --------------------------------------------------------------------------

CL_Blob DiscoveryReply(uint32 count, uint32 records) {
    CL_Blob blob;
    blob += count;
    for (uint32 i = 0; i < records; ++i) {
        blob += std::string("00112233-4455-6677-8899-AABBCCDDEE0") + char('0' + i);
        blob += std::string("host") + char('0' + i);
        blob += static_cast<uint16>(5000 + i);
        CL_Blob info;
        info += std::string("name") + char('0' + i);
        info += std::string("desc");
        info += static_cast<uint32>(10 + i);
        info += true;
        blob += info.GetSize();
        info.Seek(0, CL_SEEK_SET);
        blob += info;
    }
    blob.Seek(0, CL_SEEK_SET);
    return blob;
}

TEST_F(ClientTest, ServerListStopsAtTheListSize) {
    MockRPC::Reply r;
    r.fBytes = DiscoveryReply(3, 3);
    fRPC->Push(r);
    QPX_ServerSpec list[2];
    list[0].fSID = "kept";
    EXPECT_EQ(fClient->GetServerList(list, 2, 100, 51966), 2u);
    EXPECT_EQ(list[1].fUUID.Get(), "00112233-4455-6677-8899-AABBCCDDEE01");
    EXPECT_EQ(list[1].fHost, "host1");
    EXPECT_EQ(list[1].fPort, 5001);
    EXPECT_EQ(list[1].fName, "name1");
    EXPECT_EQ(list[1].fDescription, "desc");
    EXPECT_EQ(list[1].fDataVersion, 11u);
    EXPECT_TRUE(list[1].fMultiTenant);
    EXPECT_TRUE(list[1].fCompress);
    EXPECT_EQ(list[1].fCryptLevel, QPX_CRYPT_NORMAL);
    EXPECT_EQ(list[0].fSID, "kept");
    CL_Blob sent = fRPC->Last().fPayload;
    sent.Seek(0, CL_SEEK_SET);
    uint16 port = 0;
    port << sent;
    EXPECT_EQ(port, 51966);
}

TEST_F(ClientTest, ServerListFailureAndLyingCountsWriteNothingBeyondTheReply) {
    fRPC->Push(MockRPC::StatusReply(CL_TIMEOUT));
    QPX_ServerSpec list[4];
    EXPECT_EQ(fClient->GetServerList(list, 4, 0, 0), 0u);
    MockRPC::Reply r;
    r.fBytes = DiscoveryReply(0xFFFFFFFFu, 1);
    fRPC->Push(r);
    EXPECT_LE(fClient->GetServerList(list, 4, 0, 0), 4u);
    EXPECT_EQ(list[0].fHost, "host0");
}

TEST_F(ClientTest, AsyncDiscoveryDeliversEveryServer) {
    for (uint32 n : {0u, 3u}) {
        MockRPC::Reply r;
        r.fBytes = DiscoveryReply(n, n);
        fRPC->Push(r);
        R o;
        fClient->GetServerList(R::Success, R::Error, nullptr, &o, 0, 0);
        fRPC->Drain();
        EXPECT_EQ(o.fSuccesses, 1);
        EXPECT_EQ(o.fHosts.size(), n);
        if (n) {
            EXPECT_EQ(o.fHosts[0], "host0");
        }
    }
}

// A reply that claims far more servers than it holds: the asynchronous discovery
// reads no more records than the bytes could hold, and those it holds come whole.
TEST_F(ClientTest, AsyncDiscoveryWithALyingCountReadsOnlyWhatTheReplyHolds) {
    MockRPC::Reply r;
    r.fBytes = DiscoveryReply(0xFFFFFFFFu, 2);
    const uint32 size = r.fBytes.GetSize();
    fRPC->Push(r);
    R o;
    fClient->GetServerList(R::Success, R::Error, nullptr, &o, 0, 0);
    fRPC->Drain();
    ASSERT_EQ(o.fSuccesses, 1);
    ASSERT_GE(o.fHosts.size(), 2u);
    EXPECT_LE(o.fHosts.size(), size / 8);
    EXPECT_EQ(o.fHosts[0], "host0");
    EXPECT_EQ(o.fHosts[1], "host1");
}

TEST_F(ClientTest, AsyncDiscoveryFailureOnTheTransportEndsTheConnection) {
    Connect();
    fRPC->Push(MockRPC::StatusReply(CL_SOCKET_CREATE_FAILED));
    R o;
    fClient->GetServerList(R::Success, R::Error, nullptr, &o, 0, 0);
    fRPC->Drain();
    EXPECT_EQ(o.fErrors, 1);
    EXPECT_EQ(o.fCode, CL_SOCKET_CREATE_FAILED);
    EXPECT_FALSE(Connected());
}

}  // namespace
