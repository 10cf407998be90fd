// Connect racing requests on one TCP RPC client: threads execute (blocking and
// asynchronous) while another reconnects between two servers that grant different
// flags and ciphers. Every request ends once, with its echo or with a status of a lost
// connection; none is ever sent with the flags or the cipher of another connection, and
// no reply is decoded with a cipher that is gone (the sanitizer builds watch for it).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lumo/dispatcher.h"
#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "support/callback_recorder.h"
#include "support/client_settings.h"
#include "support/scripted_peer.h"
#include "support/wait_for.h"

namespace {

// What a request may end with while the connection under it is replaced.
bool LostConnection(CL_Status status) {
    return status == CL_NOT_CONNECTED || status == CL_CONNECTION_LOST ||
           status == CL_TIMEOUT || status == CL_SOCKET_READ_ERROR ||
           status == CL_SOCKET_WRITE_ERROR || status == CL_INVALID_SOCKET;
}

struct FlagPair {
    const char* name;
    uint16 first;
    uint16 second;
};

// How the requests of a run ended.
struct Outcomes {
    std::atomic<int> fEchoes{0};
    std::atomic<int> fWrong{0};    // success with other bytes than sent
    std::atomic<int> fRefused{0};  // FAILED: the server found another connection's flags
    std::atomic<int> fOther{0};    // any status but those of a lost connection

    void Count(CL_Status status, const std::string& sent, const std::string& got) {
        if (status == CL_OK)
            (got == sent ? fEchoes : fWrong)++;
        else if (status == CL_IPC_EXECUTE_FAILED)
            fRefused++;
        else if (!LostConnection(status))
            fOther++;
    }
};

// Blocking echoes of several chunks, compressible or not, until `stop`.
void ExecuteUntil(CL_TCPClient& client, const std::atomic<bool>& stop, Outcomes* outcomes, int t) {
    for (int i = 0; i < 400 && !stop; i++) {
        std::string text = (i % 2) ? scripted::PatternBytes(uint32(1 + i * 397 + t))
                                   : std::string(size_t(20000 + t), char('a' + t));
        CL_Blob input = Bytes(text), result;
        CL_Status status = client.Execute(1, input, result, nullptr, 1500);
        outcomes->Count(status, text, result.Raw());
    }
}

// Connects again and again, alternating between the two servers; the connects made.
int Reconnect(CL_TCPClient& client, scripted::Peer& one, scripted::Peer& two,
              const FlagPair& flags) {
    int connects = 0;
    for (int round = 0; round < 40; round++) {
        scripted::Peer& peer = round % 2 ? one : two;
        uint16 granted = round % 2 ? flags.first : flags.second;
        CL_Blob reply;
        if (client.Connect(ClientSettings(peer.Port(), granted, 3000), reply, 0) == CL_OK) {
            connects++;
            EXPECT_EQ(client.GetFlags(), granted);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return connects;
}

class ReconnectRaceTest : public ::testing::TestWithParam<FlagPair> {};

TEST_P(ReconnectRaceTest, RequestsEndOnceAndNeverCrossConnections) {
    CL_Init();
    const FlagPair& flags = GetParam();
    scripted::Peer one, two;
    one.Start("loop " + std::to_string(flags.first));
    two.Start("loop " + std::to_string(flags.second));
    CL_Dispatcher dispatcher(4, 16);
    {
        CL_TCPClient client(&dispatcher);
        CL_Blob output;
        ASSERT_EQ(client.Connect(ClientSettings(one.Port(), flags.first, 3000), output, 0), CL_OK);
        std::atomic<bool> stop{false};
        Outcomes outcomes;
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; t++)
            threads.emplace_back([&, t] { ExecuteUntil(client, stop, &outcomes, t); });
        std::vector<CallbackRecorder> records(40);
        std::vector<std::string> sent(records.size());
        threads.emplace_back([&] {
            for (size_t i = 0; i < records.size() && !stop; i++) {
                sent[i] = scripted::PatternBytes(uint32(9000 + i * 11));
                CL_Blob input = Bytes(sent[i]);
                client.Execute(2, input, CallbackRecorder::Success, CallbackRecorder::Error,
                               nullptr, nullptr, &records[i], 1500);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        int connects = Reconnect(client, one, two, flags);
        stop = true;
        for (auto& thread : threads) thread.join();
        EXPECT_TRUE(dispatcher.WaitForJobs(30000));
        for (size_t i = 0; i < records.size(); i++) {
            CallbackRecorder& r = records[i];
            if (sent[i].empty()) continue;  // never started
            EXPECT_EQ(r.Completions(), 1) << i;
            outcomes.Count(r.fSuccesses ? CL_OK : r.fCode.load(), sent[i],
                           r.fSuccesses ? r.fOutput : sent[i]);
        }
        EXPECT_GT(connects, 0);
        EXPECT_GT(outcomes.fEchoes.load(), 0);
        EXPECT_EQ(outcomes.fWrong.load(), 0);
        EXPECT_EQ(outcomes.fRefused.load(), 0);
        EXPECT_EQ(outcomes.fOther.load(), 0);
        client.Disconnect();
    }
    one.Stop();
    two.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, ReconnectRaceTest,
    ::testing::Values(FlagPair{"Plain", 0, 0},
                      FlagPair{"CompressedThenPlain", CL_IPC_COMPRESS, 0},
                      FlagPair{"AESThenTEA", CL_IPC_AES_CRYPTING | CL_IPC_COMPRESS,
                               CL_IPC_TEA_CRYPTING},
                      FlagPair{"AESBoth", CL_IPC_AES_CRYPTING, CL_IPC_AES_CRYPTING}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
