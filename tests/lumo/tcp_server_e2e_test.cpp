// The server end to end with the project's own RPC client over loopback: every flag
// combination, requests in one and many chunks, progress, failures, cancellation,
// several threads on one connection, and the client's view of a refused AUTH.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "lumo/dispatcher.h"
#include "lumo/ipc_tcp.h"
#include "lumo/uuid.h"
#include "support/callback_recorder.h"
#include "support/client_settings.h"
#include "support/flat_table.h"
#include "support/handshake_flags.h"
#include "support/private_network.h"
#include "support/test_server.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

// A generous time-out: the suites also run under the sanitizers.
CLU_Table Settings(uint16 port, uint32 connFlags) {
    return ClientSettings(port, connFlags, 30000, "e2e");
}

// Starts `test` and connects `client` to it.
::testing::AssertionResult StartAndConnect(TestServer& test, CL_TCPClient& client) {
    CL_Status status = test.Start();
    if (status != CL_OK) return ::testing::AssertionFailure() << "server start: " << status;
    CL_Blob output;
    status = client.Connect(Settings(test.fPort, 0), output, 0);
    if (status != CL_OK) return ::testing::AssertionFailure() << "connect: " << status;
    return ::testing::AssertionSuccess();
}

CLU_Table Payload(uint32 bytes) {
    std::string text(bytes, 'x');
    for (uint32 i = 0; i < bytes; i++)
        text[i] = char('A' + (i * 31u) % 26);
    CLU_Table table;
    table.Set("text", text);
    table.Set("size", (long long)bytes);
    return table;
}

class ClientFlags : public ::testing::TestWithParam<uint16> {};

TEST_P(ClientFlags, ConnectsAndExchangesEverySize) {
    TestServer test(GetParam(), CL_LOG_LEVEL_WARNING);
    ASSERT_EQ(test.Start(), 0);
    CL_TCPClient client;
    CL_Blob output;
    ASSERT_EQ(client.Connect(Settings(test.fPort, CL_IPC_COMPRESS), output, 0), 0);
    CLU_Table granted = Unflat(output);
    EXPECT_EQ(granted.GetString("host"), "127.0.0.1");
    EXPECT_EQ(granted.GetString("user"), "e2e");
    EXPECT_EQ(client.GetFlags(), GetParam());
    EXPECT_EQ(client.GetServerID(), test.fServer.GetID());
    EXPECT_NE(client.GetID(), 0u);
    for (uint32 size : {0u, 1u, 8100u, 8200u, 50000u, 300000u}) {
        CL_Blob input = Flat(Payload(size));
        CL_Blob reply;
        ASSERT_EQ(client.Execute(rpc_test::kEcho, input, reply, nullptr, 0), 0) << size;
        EXPECT_EQ(Unflat(reply), Payload(size)) << size;
    }
    CL_Blob input = Flat(CLU_Table().Set("code", 4444));
    CL_Blob reply;
    EXPECT_EQ(client.Execute(rpc_test::kFail, input, reply, nullptr, 0), CL_IPC_EXECUTE_FAILED);
    EXPECT_EQ(Unflat(reply).GetString("ERROR"), "failed with 4444");
    client.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(TCPServerEndToEnd, ClientFlags, ::testing::ValuesIn(kHandshakeFlags));

CL_Status Refuse(CL_ClientContext*, void*) {
    return rpc_test::kRefused;
}

TEST(TCPServerEndToEnd, RefusedClientSeesTheCode) {
    TestServer test;
    test.fCallbacks.fConnect = Refuse;
    ASSERT_EQ(test.Start(), 0);
    CL_TCPClient client;
    CL_Blob output;
    EXPECT_EQ(client.Connect(Settings(test.fPort, 0), output, 0), rpc_test::kRefused);
}

TEST(TCPServerEndToEnd, ProgressReachesTheClient) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING, CL_LOG_LEVEL_WARNING);
    CL_TCPClient client;
    ASSERT_TRUE(StartAndConnect(test, client));
    CallbackRecorder record;
    CL_Blob input = Flat(CLU_Table().Set("ms", 600).Set("step", 100).Set("message", "busy"));
    client.Execute(rpc_test::kProgress, input, CallbackRecorder::Success, CallbackRecorder::Error,
                   CallbackRecorder::Progress, nullptr, &record, 0);
    ASSERT_TRUE(record.Wait(1, 20000));
    client.WaitForJobs();
    EXPECT_EQ(record.fSuccesses.load(), 1);
    std::vector<CallbackRecorder::Report> executing = record.ReportsOf(CL_PROGRESS_EXECUTE);
    ASSERT_GT(executing.size(), 0u);
    EXPECT_EQ(executing.back().fMessage.rfind("busy", 0), 0u);
    EXPECT_LE(executing.back().fCompleteness, 100.0);
}

std::atomic<int> sAborts{0};
void CountAborts(CL_ClientContext*, uint32) {
    sAborts++;
}

TEST(TCPServerEndToEnd, CancellingFromTheClientAbortsTheHandler) {
    TestServer test(CL_IPC_TEA_CRYPTING, CL_LOG_LEVEL_WARNING);
    test.fCallbacks.fAbort = CountAborts;
    sAborts = 0;
    CL_TCPClient client;
    ASSERT_TRUE(StartAndConnect(test, client));
    // Cancels once the server has reported progress a few times.
    CallbackRecorder record;
    record.fCancelIf = [&] { return record.ReportsOf(CL_PROGRESS_EXECUTE).size() > 2; };
    CL_Blob input = Flat(CLU_Table().Set("ms", 60000).Set("step", 50));
    client.Execute(rpc_test::kProgress, input, CallbackRecorder::Success, CallbackRecorder::Error,
                   CallbackRecorder::Progress, nullptr, &record, 0);
    ASSERT_TRUE(record.Wait(1, 30000));
    client.WaitForJobs();
    EXPECT_EQ(record.fErrors.load(), 1);
    EXPECT_EQ(record.fSuccesses.load(), 0);
    EXPECT_TRUE(WaitFor([&] { return sAborts.load() == 1; }));
    // The connection is still usable.
    CL_Blob reply;
    CL_Blob echo = Flat(CLU_Table().Set("after", true));
    EXPECT_EQ(client.Execute(rpc_test::kEcho, echo, reply, nullptr, 0), 0);
}

TEST(TCPServerEndToEnd, ThreadsShareOneConnection) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_BLOWFISH_CRYPTING, CL_LOG_LEVEL_WARNING);
    CL_TCPClient client;
    ASSERT_TRUE(StartAndConnect(test, client));
    const int kThreads = 8, kRequests = 200;
    std::atomic<int> good{0}, bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRequests; i++) {
                CLU_Table table = Payload(uint32((t * 977 + i * 131) % 20000));
                table.Set("thread", t).Set("index", i);
                CL_Blob input = Flat(table);
                CL_Blob reply;
                if (client.Execute(rpc_test::kEcho, input, reply, nullptr, 0) == 0 &&
                    Unflat(reply) == table)
                    good++;
                else
                    bad++;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(good.load(), kThreads * kRequests);
    EXPECT_EQ(bad.load(), 0);
}

TEST(TCPServerEndToEnd, ClosedClientSeesTheConnectionGo) {
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    CL_TCPClient client;
    ASSERT_TRUE(StartAndConnect(test, client));
    CL_LinkedList<uint32> ids;
    test.fServer.GetClientsList(&ids);
    ASSERT_EQ(ids.Count(), 1u);
    EXPECT_EQ(ids.Get(0), client.GetID());
    EXPECT_EQ(test.fServer.CloseClient(client.GetID()), 0);
    CL_Blob input = Flat(CLU_Table());
    CL_Blob reply;
    CL_Status status = client.Execute(rpc_test::kEcho, input, reply, nullptr, 2000);
    EXPECT_NE(status, 0);
}

}  // namespace

namespace {

// Discovery from the project's client finds the server. Only inside the test's own
// network namespace: there the client's only interface is loopback, so nothing is
// broadcast on the machine's real networks.
CL_Status DescribeForDiscovery(CL_Server*, CLU_Table& info) {
    info.Set("name", std::string("e2e"));
    info.Set("desc", std::string("found by the client"));
    info.Set("data_version", 3);
    return CL_OK;
}

TEST(TCPServerEndToEnd, ClientDiscoveryFindsTheServer) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "discovery broadcasts outside a private namespace";
    TestServer test(0, CL_LOG_LEVEL_WARNING);
    test.fCallbacks.fServerInfo = DescribeForDiscovery;
    ASSERT_EQ(test.Start(), 0);
    CL_TCPClient client;
    CL_Blob input;
    CL_Blob output;
    ASSERT_EQ(client.Discover(input, output, 1500), CL_OK);
    output.Seek(0, CL_SEEK_SET);
    uint32 count = 0;
    count << output;
    ASSERT_GE(count, 1u);
    std::string uuid, host;
    uint16 port = 0;
    uint32 infoSize = 0;
    uuid << output;
    host << output;
    port << output;
    infoSize << output;
    EXPECT_EQ(port, test.fPort);
    EXPECT_EQ(host, "127.0.0.1");
    CLU_UUID expected;
    test.fServer.GetUUID(expected);
    std::string dashless = expected.Get();
    dashless.erase(std::remove(dashless.begin(), dashless.end(), '-'), dashless.end());
    EXPECT_EQ(uuid, dashless);
    std::string name;
    name << output;
    EXPECT_EQ(name, "e2e");
}

}  // namespace
