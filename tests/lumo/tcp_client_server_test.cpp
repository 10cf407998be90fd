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
#include "tcp_server_test_util.h"
#include "tools/scripted_peer.h"

namespace {

const bool kIsolated = server_test::EnterPrivateNetwork();

CLU_Table Settings(uint16 port, uint32 flags) {
    CLU_Table settings;
    settings.Set("host", std::string("127.0.0.1"));
    settings.Set("port", (long long)port);
    settings.Set("timeout", 5000LL);
    settings.Set("conn_flags", (long long)flags);
    return settings;
}

class ClientServerTest : public ::testing::TestWithParam<uint16> {
protected:
    void SetUp() override {
        (void)kIsolated;
        fServer = std::make_unique<server_test::TestServer>(GetParam());
        ASSERT_EQ(fServer->Start(), 0);
        CL_Blob output;
        ASSERT_EQ(fClient.Connect(Settings(fServer->fPort, GetParam()), output, 0), 0);
        fReply = server_test::Unflat(output);
    }
    void TearDown() override {
        fClient.Disconnect();
        if (fServer) fServer->fServer.Stop();
    }
    std::unique_ptr<server_test::TestServer> fServer;
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
    CL_Blob input = server_test::Flat(table), output;
    ASSERT_EQ(fClient.Execute(rpc_test::kEcho, input, output, nullptr, 0), 0);
    EXPECT_EQ(server_test::Unflat(output).GetString("name"), "value");
}

TEST_P(ClientServerTest, FailedRepliesCarryTheServersDescription) {
    CLU_Table table;
    table.Set("code", 42LL);
    CL_Blob input = server_test::Flat(table), output;
    EXPECT_EQ(fClient.Execute(rpc_test::kFail, input, output, nullptr, 0), CL_IPC_EXECUTE_FAILED);
    EXPECT_EQ(server_test::Unflat(output).GetString("ERROR"), "failed with 42");
}

struct Record {
    std::atomic<int> successes{0}, errors{0}, reports{0}, messages{0};
    std::atomic<CL_Status> code{0};
    bool cancel = false;
};

CL_Status OnSuccess(CL_Blob&, void* data) {
    static_cast<Record*>(data)->successes++;
    return 0;
}
CL_Status OnError(CL_Status code, CL_Blob&, void* data) {
    Record* r = static_cast<Record*>(data);
    r->errors++;
    r->code = code;
    return 0;
}
CL_Status OnProgress(CL_ProgressType state, double, const std::string& message, CL_Blob*,
                     void* data) {
    Record* r = static_cast<Record*>(data);
    r->reports++;
    if (state == CL_PROGRESS_EXECUTE && message.rfind("working", 0) == 0) r->messages++;
    return r->cancel ? 1 : 0;
}

TEST_P(ClientServerTest, ProgressFromTheServerAndCancellingFromTheCallback) {
    for (bool cancel : {false, true}) {
        Record record;
        record.cancel = cancel;
        CLU_Table table;
        table.Set("ms", cancel ? 3000LL : 600LL);
        table.Set("step", 20LL);
        CL_Blob input = server_test::Flat(table);
        fClient.Execute(rpc_test::kProgress, input, OnSuccess, OnError, OnProgress, nullptr,
                        &record, 0);
        fClient.WaitForJobs();
        EXPECT_EQ(record.successes + record.errors, 1);
        if (cancel) {
            EXPECT_EQ(record.code.load(), CL_IPC_EXECUTE_ABORTED);
            EXPECT_EQ(record.reports.load(), 1);
        } else {
            EXPECT_EQ(record.successes.load(), 1);
            EXPECT_GT(record.messages.load(), 0);
        }
    }
}

TEST_P(ClientServerTest, InterruptEndsRunningAndQueuedRequests) {
    // Enough workers that every request is on the wire before the Interrupt.
    CL_Dispatcher dispatcher(6, 8);
    fClient.SetDispatcher(&dispatcher);
    // The server logs each request's first chunk as it queues it, the handshake's too.
    auto queuedRequests = [this] {
        std::lock_guard<std::mutex> guard(fServer->fLog.fMutex);
        int queued = 0;
        for (auto& line : fServer->fLog.fLines)
            if (line.second.find("dati in arrivo") != std::string::npos) queued++;
        return queued;
    };
    const int before = queuedRequests();
    Record records[4];
    for (auto& record : records) {
        CLU_Table table;
        table.Set("ms", 4000LL);
        CL_Blob input = server_test::Flat(table);
        fClient.Execute(rpc_test::kSleep, input, OnSuccess, OnError, nullptr, nullptr, &record, 0);
    }
    ASSERT_TRUE(server_test::WaitFor([&] { return queuedRequests() >= before + 4; }));
    EXPECT_EQ(fClient.Interrupt(), 0);
    fClient.WaitForJobs();
    fClient.SetDispatcher(nullptr);
    for (auto& record : records) {
        EXPECT_EQ(record.errors.load(), 1);
        EXPECT_EQ(record.code.load(), CL_IPC_EXECUTE_ABORTED);
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

INSTANTIATE_TEST_SUITE_P(Flags, ClientServerTest,
                         ::testing::Values(uint16(0), uint16(CL_IPC_COMPRESS),
                                           uint16(CL_IPC_TEA_CRYPTING),
                                           uint16(CL_IPC_BLOWFISH_CRYPTING),
                                           uint16(CL_IPC_AES_CRYPTING),
                                           uint16(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING)));

}  // namespace
