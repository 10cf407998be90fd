// The TCP RPC client against the library's own server end with the stand-in
// handlers, over loopback in a private network namespace: both ends of the handshake,
// chunking, compression and every cipher agree; progress, FAILED, cancelling and
// Interrupt come through; several threads share one connection.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lumo/ipc_tcp.h"
#include "support/callback_recorder.h"
#include "support/client_settings.h"
#include "support/flat_table.h"
#include "support/handshake_flags.h"
#include "support/private_network.h"
#include "support/scripted_peer.h"
#include "support/test_server.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

class ClientServerTest : public ::testing::TestWithParam<uint16> {
protected:
    void SetUp() override {
        (void)kIsolated;
        fServer = std::make_unique<TestServer>(GetParam());
        ASSERT_EQ(fServer->Start(), 0);
        CL_Blob output;
        ASSERT_EQ(fClient.Connect(ClientSettings(fServer->fPort, GetParam(), 5000), output, 0), 0);
        fReply = Unflat(output);
    }
    void TearDown() override {
        fClient.Disconnect();
        if (fServer) fServer->fServer.Stop();
    }
    std::unique_ptr<TestServer> fServer;
    CL_TCPClient fClient;
    CLU_Table fReply;
};

TEST_P(ClientServerTest, HandshakeAndEchoesOfEverySize) {
    EXPECT_EQ(fClient.GetFlags(), GetParam());
    EXPECT_NE(fClient.GetID(), 0u);
    EXPECT_EQ(fReply.GetString("host"), "127.0.0.1");
    for (uint32 size : {0u, 1u, 8160u, 8161u, 40000u}) {
        std::string plain = scripted::PatternBytes(size);
        CL_Blob input(plain.data(), size, true), output;
        ASSERT_EQ(fClient.Execute(rpc_test::kRawEcho, input, output, nullptr, 0), 0) << size;
        EXPECT_EQ(output.Raw(), plain) << size;
    }
    CLU_Table table;
    table.Set("name", std::string("value"));
    CL_Blob input = Flat(table), output;
    ASSERT_EQ(fClient.Execute(rpc_test::kEcho, input, output, nullptr, 0), 0);
    EXPECT_EQ(Unflat(output).GetString("name"), "value");
}

TEST_P(ClientServerTest, FailedRepliesCarryTheServersDescription) {
    CLU_Table table;
    table.Set("code", 42LL);
    CL_Blob input = Flat(table), output;
    EXPECT_EQ(fClient.Execute(rpc_test::kFail, input, output, nullptr, 0), CL_IPC_EXECUTE_FAILED);
    EXPECT_EQ(Unflat(output).GetString("ERROR"), "failed with 42");

    // A request one level deeper than the format carries, written by hand: the echo
    // of what the server reads of it cannot be flattened, and fails instead of going
    // out as an empty DATA.
    CL_Blob limit = Flat(NestedTables(CLU_MAX_FLATTEN_DEPTH));
    CL_Blob deeper;
    deeper += int32(1);
    deeper += std::string("d");
    deeper += uint8(CLU_TABLE);
    deeper.Write(limit.GetDataForRead(), limit.GetSize());
    deeper.Seek(0, CL_SEEK_SET);
    EXPECT_EQ(fClient.Execute(rpc_test::kEcho, deeper, output, nullptr, 0), CL_IPC_EXECUTE_FAILED);
    EXPECT_EQ(Unflat(output).GetString("ERROR"), "the reply nests deeper than 256 levels");
}

TEST_P(ClientServerTest, ProgressFromTheServerAndCancellingFromTheCallback) {
    for (bool cancel : {false, true}) {
        CallbackRecorder record;
        if (cancel) record.fCancelFrom = 0;
        CLU_Table table;
        table.Set("ms", cancel ? 3000LL : 600LL);
        table.Set("step", 20LL);
        CL_Blob input = Flat(table);
        fClient.Execute(rpc_test::kProgress, input, CallbackRecorder::Success,
                        CallbackRecorder::Error, CallbackRecorder::Progress, nullptr, &record, 0);
        fClient.WaitForJobs();
        EXPECT_EQ(record.Completions(), 1);
        if (cancel) {
            EXPECT_EQ(record.fCode.load(), CL_IPC_EXECUTE_ABORTED);
            EXPECT_EQ(record.fProgressCalls.load(), 1);
        } else {
            EXPECT_EQ(record.fSuccesses.load(), 1);
            int messages = 0;
            for (const auto& report : record.ReportsOf(CL_PROGRESS_EXECUTE))
                if (report.fMessage.rfind("working", 0) == 0) messages++;
            EXPECT_GT(messages, 0);
        }
    }
}

TEST_P(ClientServerTest, InterruptEndsRunningAndQueuedRequests) {
    // Enough workers that every request is on the wire before the Interrupt.
    CL_Dispatcher dispatcher(6, 8);
    fClient.SetDispatcher(&dispatcher);
    // The server logs each request's first chunk as it queues it, the handshake's too.
    auto queuedRequests = [this] { return fServer->fLog.Count("dati in arrivo"); };
    const int before = queuedRequests();
    CallbackRecorder records[4];
    for (auto& record : records) {
        CLU_Table table;
        table.Set("ms", 4000LL);
        CL_Blob input = Flat(table);
        fClient.Execute(rpc_test::kSleep, input, CallbackRecorder::Success,
                        CallbackRecorder::Error, nullptr, nullptr, &record, 0);
    }
    ASSERT_TRUE(WaitFor([&] { return queuedRequests() >= before + 4; }));
    EXPECT_EQ(fClient.Interrupt(), 0);
    fClient.WaitForJobs();
    fClient.SetDispatcher(nullptr);
    for (auto& record : records) {
        EXPECT_EQ(record.fErrors.load(), 1);
        EXPECT_EQ(record.fCode.load(), CL_IPC_EXECUTE_ABORTED);
    }
}

TEST_P(ClientServerTest, ThreadsShareTheConnection) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 6; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; i++) {
                std::string plain = scripted::PatternBytes(100 + uint32(t) * 3000 + uint32(i));
                plain[0] = char(t);
                CL_Blob input(plain.data(), uint32(plain.size()), true), output;
                if (fClient.Execute(rpc_test::kRawEcho, input, output, nullptr, 0) == 0 &&
                    output.Raw() == plain)
                    good++;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 6 * 15);
}

// Bytes that compress slowly: a compressed request of a few megabytes is still being
// prepared when its progress job first reports.
std::string SlowToCompress(uint32 size) {
    std::string bytes(size, '\0');
    uint32 x = 12345;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return bytes;
}

// Cancelling some requests ends those alone: the others complete as they would without
// the cancels, round after round. The progress job cancels at its first report: before
// the request has gone out (compressed connections: it is still being compressed), or
// while it goes out, or while it waits.
TEST_P(ClientServerTest, CancelsEndOnlyTheirOwnRequests) {
    const std::string padding = SlowToCompress(6u << 20);
    for (int round = 0; round < 2; round++) {
        CallbackRecorder records[10];
        for (int i = 0; i < 10; i++) {
            if (i % 2 == 0) records[i].fCancelFrom = 0;
            CLU_Table table;
            // The cancelled ones would run far longer than the others.
            table.Set("ms", i % 2 == 0 ? 3000LL : 60LL);
            if (i % 2 == 0) table.Set("padding", padding);
            CL_Blob input = Flat(table);
            fClient.Execute(rpc_test::kSleep, input, CallbackRecorder::Success,
                            CallbackRecorder::Error, CallbackRecorder::Progress, nullptr,
                            &records[i], 20000);
        }
        // Far less than the requests' time-out, which a stuck connection would wait out.
        bool inTime = true;
        for (int i = 0; i < 10; i++) inTime = records[i].Wait(1, 8000) && inTime;
        EXPECT_TRUE(inTime) << round;
        if (!inTime) {
            fClient.WaitForJobs();
            return;
        }
        for (int i = 0; i < 10; i++) {
            EXPECT_EQ(records[i].Completions(), 1);
            if (i % 2 == 0)
                EXPECT_EQ(records[i].fCode.load(), CL_IPC_EXECUTE_ABORTED) << round << " " << i;
            else
                EXPECT_EQ(records[i].fSuccesses.load(), 1) << round << " " << i;
        }
        fClient.WaitForJobs();
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, ClientServerTest, ::testing::ValuesIn(kHandshakeFlags));

// Port 0 in the settings means the default port; the private network keeps that port
// to this program.
TEST(TCPClientDefaults, PortZeroMeansTheDefaultPort) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "the default port is only ours in a private network";
    scripted::Peer peer(CL_IPC_DEFAULT_PORT);
    ASSERT_EQ(peer.Port(), CL_IPC_DEFAULT_PORT);
    peer.Start("handshake; recv DATA; reply DATA echo; wait-close 5000");
    CL_TCPClient client;
    CL_Blob output;
    ASSERT_EQ(client.Connect(ClientSettings(0, 0, 3000), output, 0), CL_OK);
    CL_Blob input(reinterpret_cast<const uint8*>("default"), 7, true), result;
    ASSERT_EQ(client.Execute(1, input, result, nullptr, 0), CL_OK);
    EXPECT_EQ(result.Raw(), "default");
    client.Disconnect();
    EXPECT_EQ(peer.Join(), "");
}

}  // namespace
