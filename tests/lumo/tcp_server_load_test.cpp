// Load through the server, bounded in count and time: eight threads sharing one
// connection and thirty-two connections side by side; every request must be answered
// exactly once, with its own payload.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "support/private_network.h"
#include "support/raw_client.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

// Gives up waiting for replies after this long; the counts then show what is missing.
constexpr uint32 kDeadline = 240000;

// One connection shared by several sending threads; one reader thread matches the
// replies to their requests by sequence number.
struct SharedConnection {
    RawClient fClient;
    std::mutex fSendLock;
    std::mutex fStateLock;
    std::map<uint32, int32> fExpected;  // sequence -> payload value
    std::atomic<uint32> fAnswered{0};
    std::atomic<uint32> fWrong{0};
    std::atomic<uint32> fDuplicates{0};
    std::atomic<bool> fFailed{false};

    uint32 Send(int32 value) {
        std::lock_guard<std::mutex> send(fSendLock);
        CL_Blob payload = Flat(CLU_Table().Set("value", value));
        CL_PacketHeader header;
        uint32 sequence = fClient.fSequence++;
        {
            std::lock_guard<std::mutex> state(fStateLock);
            fExpected[sequence] = value;
        }
        CL_MakeDataRequest(&header, sequence, rpc_test::kEcho, fClient.fFlags);
        CL_EncodePayload(&header, payload, fClient.fFlags, fClient.fCipher.get(), false);
        if (fClient.Send(header, payload) != 0) fFailed = true;
        return sequence;
    }
    void ReadReplies(uint32 total) {
        uint32 start = CL_GetTime();
        while (fAnswered < total && CL_GetTime() - start < kDeadline && !fFailed) {
            // A read that timed out part-way through a packet would lose its start:
            // the short wait is for the first byte, the read itself has time to spare.
            if (!fClient.Readable(1000)) continue;
            CL_PacketHeader header;
            CL_Blob payload;
            CL_Status status = fClient.Read(&header, &payload, 30000);
            if (status != 0) {
                fFailed = true;
                break;
            }
            if (header.fType == CL_PACKET_TYPE_PING) continue;
            std::lock_guard<std::mutex> state(fStateLock);
            auto it = fExpected.find(header.fSequence);
            if (it == fExpected.end()) {
                fDuplicates++;
                continue;
            }
            if (header.fType != CL_PACKET_TYPE_DATA ||
                Unflat(payload).GetInteger("value", -1) != it->second)
                fWrong++;
            fExpected.erase(it);
            fAnswered++;
        }
    }
};

TEST(TCPServerLoad, EightThreadsOnOneConnection) {
    TestServer test(CL_IPC_COMPRESS | CL_IPC_AES_CRYPTING, CL_LOG_LEVEL_WARNING);
    ASSERT_EQ(test.Start(), 0);
    SharedConnection shared;
    ASSERT_TRUE(Authorise(test, shared.fClient));
    const uint32 kThreads = 8, kRequests = 1000;
    std::thread reader([&] { shared.ReadReplies(kThreads * kRequests); });
    std::vector<std::thread> senders;
    for (uint32 t = 0; t < kThreads; t++)
        senders.emplace_back([&, t] {
            for (uint32 i = 0; i < kRequests && !shared.fFailed; i++)
                shared.Send(int32(t * kRequests + i));
        });
    for (auto& sender : senders)
        sender.join();
    reader.join();
    EXPECT_FALSE(shared.fFailed.load());
    EXPECT_EQ(shared.fAnswered.load(), kThreads * kRequests);
    EXPECT_EQ(shared.fWrong.load(), 0u);
    EXPECT_EQ(shared.fDuplicates.load(), 0u);
    // Nothing else comes afterwards.
    CL_PacketHeader header;
    CL_Blob payload;
    EXPECT_EQ(shared.fClient.Read(&header, &payload, 200), CL_TIMEOUT);
}

TEST(TCPServerLoad, ThirtyTwoConnections) {
    TestServer test(CL_IPC_TEA_CRYPTING, CL_LOG_LEVEL_WARNING);
    ASSERT_EQ(test.Start(), 0);
    const uint32 kConnections = 32, kRequests = 100;
    std::atomic<uint32> answered{0}, wrong{0}, failed{0};
    std::vector<std::thread> threads;
    for (uint32 c = 0; c < kConnections; c++)
        threads.emplace_back([&, c] {
            RawClient client;
            if (!client.Connect(test.fPort) || client.Auth(0) != 0) {
                failed++;
                return;
            }
            uint32 start = CL_GetTime();
            for (uint32 i = 0; i < kRequests && CL_GetTime() - start < kDeadline; i++) {
                int32 value = int32(c * 1000 + i);
                CLU_Table output;
                int32 type = client.Call(rpc_test::kEcho, CLU_Table().Set("value", value), &output);
                if (type < 0) {
                    failed++;
                    return;
                }
                if (type != CL_PACKET_TYPE_DATA || output.GetInteger("value", -1) != value) wrong++;
                answered++;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failed.load(), 0u);
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(answered.load(), kConnections * kRequests);
    // Workers were added under the load, within the limit.
    EXPECT_LE(test.fServer.GetWorkerCount(), CL_SERVER_MAX_WORKERS);
}

}  // namespace
