// Client administration (list, describe, close, the disconnect hand-over and the
// close of a client whose request is executing) and the discovery responder
// (DISCOVER replies, USER_MESSAGE relays, and datagrams that are short, lie or repeat).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "support/loopback.h"
#include "support/private_network.h"
#include "support/raw_client.h"
#include "support/wait_for.h"

namespace {

const bool kIsolated = EnterPrivateNetwork();

void AddOwnKeys(CL_ClientContext* context, CLU_Table& info) {
    info.Set("context_id", (long long)context->GetID());
}

TEST(TCPServerClients, ListDescribeAndClose) {
    TestServer test;
    test.fCallbacks.fClientInfo = AddOwnKeys;
    ASSERT_EQ(test.Start(), 0);
    CL_LinkedList<uint32> ids;
    ids.Append(99);
    test.fServer.GetClientsList(&ids);
    EXPECT_EQ(ids.Count(), 0u);

    RawClient a, b;
    ASSERT_TRUE(Authorise(test, a, CL_IPC_COMPRESS | CL_IPC_TEA_CRYPTING));
    ASSERT_TRUE(Authorise(test, b));
    test.fServer.GetClientsList(&ids);
    ASSERT_EQ(ids.Count(), 2u);
    EXPECT_EQ(ids.Get(0), a.fClientID);
    EXPECT_EQ(ids.Get(1), b.fClientID);
    EXPECT_EQ(b.fClientID, a.fClientID + 1);

    CLU_Table info;
    info.Set("stale", 1);
    ASSERT_EQ(test.fServer.GetClientInfo(a.fClientID, info), 0);
    EXPECT_FALSE(info.Exists("stale"));
    EXPECT_EQ(info.GetString("address"), "127.0.0.1");
    EXPECT_EQ(info.GetInteger("port"), test.fPort);  // the listener's port
    EXPECT_TRUE(info.GetBool("local"));
    EXPECT_EQ(info.GetInteger("flags"), CL_IPC_COMPRESS | CL_IPC_TEA_CRYPTING);
    EXPECT_EQ(info.GetInteger("context_id"), a.fClientID);

    EXPECT_EQ(test.fServer.CloseClient(a.fClientID), 0);
    EXPECT_EQ(test.fServer.CloseClient(a.fClientID), CL_IPC_NO_CLIENT_ID);
    EXPECT_EQ(test.fServer.GetClientInfo(a.fClientID, info), CL_IPC_NO_CLIENT_ID);
    EXPECT_EQ(info.Count(), 0u);
    EXPECT_TRUE(a.Closed());
    test.fServer.GetClientsList(&ids);
    ASSERT_EQ(ids.Count(), 1u);
    EXPECT_EQ(ids.Get(0), b.fClientID);
    EXPECT_EQ(b.Call(rpc_test::kEcho, CLU_Table()), CL_PACKET_TYPE_DATA);
}

std::atomic<int> sAborted{0};
std::atomic<bool> sReturned{false};
std::atomic<int> sDisconnected{0};
void RecordAbort(CL_ClientContext*, uint32) {
    sAborted++;
}
void RecordDisconnect(CL_ClientContext* context) {
    EXPECT_TRUE(sReturned.load());  // only once the callback has returned
    sDisconnected++;
    delete context;
}
CL_Status SlowExecute(CL_Command, CL_Blob&, CL_Blob&, CL_ClientContext* context, uint32 id) {
    for (int i = 0; i < 4000 && !context->HasAborted(id); i++)
        CL_Thread::Sleep(5);
    CL_Thread::Sleep(100);
    sReturned = true;
    return CL_OK;
}

TEST(TCPServerClients, CloseOfAClientWithAnExecutingRequest) {
    TestServer test;
    test.fCallbacks.fExecute = SlowExecute;
    test.fCallbacks.fAbort = RecordAbort;
    test.fCallbacks.fDisconnect = RecordDisconnect;
    sAborted = 0;
    sReturned = false;
    sDisconnected = 0;
    RawClient client;
    ASSERT_TRUE(StartAndAuthorise(test, client));
    client.SendData(7, CL_Blob());
    ASSERT_TRUE(WaitFor([&] { return test.fLog.Contains("(comando 0007)"); }));
    EXPECT_EQ(test.fServer.CloseClient(client.fClientID), 0);
    EXPECT_EQ(sAborted.load(), 1);  // before CloseClient returned
    EXPECT_TRUE(WaitFor([&] { return sDisconnected.load() == 1; }));
    EXPECT_TRUE(client.Closed());
}

CL_Status DescribeServer(CL_Server*, CLU_Table& info) {
    info.Set("name", std::string("stand-in"));
    info.Set("desc", std::string("test server"));
    info.Set("data_version", 7);
    info.Set("multitenant_enabled", true);
    return CL_OK;
}

CL_Status StaySilent(CL_Server*, CLU_Table&) {
    return 1;
}

TEST(TCPServerDiscovery, AnswersDiscoverOncePerSender) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "the responder's ports are fixed";
    TestServer test;
    test.fCallbacks.fServerInfo = DescribeServer;
    ASSERT_EQ(test.Start(), 0);
    UdpPeer peer;
    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    peer.SendTo(test.fServer.GetResponderPort(), &discover, sizeof(discover));
    peer.SendTo(test.fServer.GetResponderPort(), &discover, sizeof(discover));
    std::string reply = peer.Receive(3000);
    ASSERT_EQ(reply.size(), sizeof(CL_DiscoveryPacket));
    CL_DiscoveryPacket packet;
    memcpy(&packet, reply.data(), sizeof(packet));
    // The packed fields are copied out before comparing.
    uint32 magic = packet.fMagic, version = packet.fVersion, checkSum = packet.fCheckSum;
    uint64 id = packet.fID;
    uint32 infoSize = packet.fSize;
    EXPECT_EQ(magic, CL_IPC_MAGIC);
    EXPECT_EQ(version, CL_IPC_VERSION);
    EXPECT_EQ(id, test.fServer.GetID());
    CL_Blob info(packet.fInfo, CL_DISCOVERY_INFO_SIZE, true);
    EXPECT_EQ(checkSum, info.CheckSum());
    EXPECT_EQ(infoSize, strlen("stand-in") + 1 + strlen("test server") + 1 + 4 + 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet.fInfo)), "stand-in");
    EXPECT_EQ(packet.fInfo[infoSize - 1], 0xFB);
    EXPECT_EQ(packet.fInfo[infoSize], 0xCC);
    // Both requests came in one turn: one answer.
    EXPECT_EQ(peer.Receive(400), "");
}

TEST(TCPServerDiscovery, ShortAndLyingDatagramsDoNotStallTheResponder) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "the responder's ports are fixed";
    TestServer test;
    test.fCallbacks.fServerInfo = DescribeServer;
    ASSERT_EQ(test.Start(), 0);
    UdpPeer peer;
    uint16 port = test.fServer.GetResponderPort();
    peer.SendTo(port, "", 0);
    peer.SendTo(port, "short", 5);
    CL_PacketHeader message;
    CL_InitPacketHeader(&message, CL_PACKET_TYPE_USER_MESSAGE, 0, 5);
    message.fSize = 5000;  // far more than is sent
    peer.SendTo(port, &message, sizeof(message));
    message.fSize = 4;
    message.fMessage.fNumTargets = 1000;  // more ids than bytes
    CL_Blob lying(&message, sizeof(message), true);
    lying.Seek(0, CL_SEEK_END);
    lying.Append("abcd", 4);
    peer.SendTo(port, lying.GetDataForRead(), lying.GetSize());
    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    peer.SendTo(port, &discover, sizeof(discover));
    EXPECT_EQ(peer.Receive(3000).size(), sizeof(CL_DiscoveryPacket));
}

TEST(TCPServerDiscovery, NonZeroServerInfoSilencesTheServer) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "the responder's ports are fixed";
    TestServer test;
    test.fCallbacks.fServerInfo = StaySilent;
    ASSERT_EQ(test.Start(), 0);
    UdpPeer peer;
    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    peer.SendTo(test.fServer.GetResponderPort(), &discover, sizeof(discover));
    EXPECT_EQ(peer.Receive(600), "");
}

TEST(TCPServerDiscovery, UserMessagesReachTheTargetsChatPorts) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "the responder's ports are fixed";
    TestServer test;
    ASSERT_EQ(test.Start(), 0);
    UdpPeer chatA, chatB, sender;
    RawClient a, b, silent;
    ASSERT_TRUE(Authorise(test, a, 0, CLU_Table().Set("chat_port", (long long)chatA.Port())));
    ASSERT_TRUE(Authorise(test, b, 0, CLU_Table().Set("chat_port", (long long)chatB.Port())));
    ASSERT_TRUE(Authorise(test, silent));  // no chat port: skipped

    auto message = [](uint32 sequence, std::vector<uint32> targets, const std::string& text) {
        CL_PacketHeader header;
        CL_InitPacketHeader(&header, CL_PACKET_TYPE_USER_MESSAGE, 0, sequence);
        header.fMessage.fSource = 77;
        header.fMessage.fNumTargets = uint32(targets.size());
        header.fSize = uint32(targets.size() * 4 + text.size());
        CL_Blob blob(&header, sizeof(header), true);
        blob.Seek(0, CL_SEEK_END);
        for (uint32 id : targets)
            blob += id;
        blob.Append(text.data(), uint32(text.size()));
        return blob;
    };
    CL_Blob toB = message(1, {b.fClientID}, "hello b");
    sender.SendTo(test.fServer.GetResponderPort(), toB.GetDataForRead(), toB.GetSize());
    std::string got = chatB.Receive(3000);
    ASSERT_EQ(got.size(), sizeof(CL_PacketHeader) + 7);
    EXPECT_EQ(got.substr(sizeof(CL_PacketHeader)), "hello b");
    EXPECT_EQ(chatA.Receive(300), "");

    CL_Blob toAll = message(2, {}, "to all");
    sender.SendTo(test.fServer.GetResponderPort(), toAll.GetDataForRead(), toAll.GetSize());
    EXPECT_EQ(chatA.Receive(3000).substr(sizeof(CL_PacketHeader)), "to all");
    EXPECT_EQ(chatB.Receive(3000).substr(sizeof(CL_PacketHeader)), "to all");
}

// A USER_MESSAGE datagram: header, target ids, text; the sizes as given.
CL_Blob UserMessage(uint32 sequence, const std::vector<uint32>& ids, const std::string& text,
                    uint32 numTargets, uint32 size) {
    CL_PacketHeader header;
    CL_InitPacketHeader(&header, CL_PACKET_TYPE_USER_MESSAGE, 0, sequence);
    header.fMessage.fSource = 5;
    header.fMessage.fNumTargets = numTargets;
    header.fSize = size;
    CL_Blob blob(&header, sizeof(header), true);
    blob.Seek(0, CL_SEEK_END);
    for (uint32 id : ids)
        blob += id;
    blob.Append(text.data(), uint32(text.size()));
    return blob;
}

// The discovery turn waits in the description callback until released, so that the
// datagrams sent meanwhile are all read in that same turn.
std::atomic<bool> sTurnHeld{false};
std::atomic<bool> sReleaseTurn{false};
CL_Status HoldTheTurn(CL_Server*, CLU_Table&) {
    sTurnHeld = true;
    for (int i = 0; i < 1000 && !sReleaseTurn; i++)
        CL_Thread::Sleep(5);
    return 1;
}

TEST(TCPServerDiscovery, LyingOrRepeatedUserMessagesAreNotRelayed) {
    if (!InPrivateNetwork()) GTEST_SKIP() << "the responder's ports are fixed";
    TestServer test;
    test.fCallbacks.fServerInfo = HoldTheTurn;
    sTurnHeld = false;
    sReleaseTurn = false;
    ASSERT_EQ(test.Start(), 0);
    UdpPeer chat, sender;
    RawClient a;
    ASSERT_TRUE(Authorise(test, a, 0, CLU_Table().Set("chat_port", (long long)chat.Port())));
    uint16 port = test.fServer.GetResponderPort();

    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    sender.SendTo(port, &discover, sizeof(discover));
    ASSERT_TRUE(WaitFor([] { return sTurnHeld.load(); }));
    std::vector<CL_Blob> datagrams = {
        // Announces far more bytes than it has.
        UserMessage(1, {}, "size lies", 0, 5000),
        // Two targets announced, room for one id: the client's.
        UserMessage(2, {a.fClientID}, "", 2, 4),
        // The same sequence twice in one turn.
        UserMessage(3, {a.fClientID}, "twice", 1, 4 + 5),
        UserMessage(3, {a.fClientID}, "twice", 1, 4 + 5),
        UserMessage(4, {}, "last", 0, 4),
    };
    for (const CL_Blob& d : datagrams)
        sender.SendTo(port, d.GetDataForRead(), d.GetSize());
    sReleaseTurn = true;

    std::vector<std::string> got;
    for (std::string m = chat.Receive(3000); !m.empty(); m = chat.Receive(got.size() < 2 ? 3000 : 300))
        got.push_back(m.size() >= sizeof(CL_PacketHeader) ? m.substr(sizeof(CL_PacketHeader)) : m);
    EXPECT_EQ(got, (std::vector<std::string>{"twice", "last"}));
}

}  // namespace

namespace {

// Pinning: command 10 pins the client to the worker that runs it, 11 unpins, and
// every command records the thread it ran on.
std::mutex sThreadsLock;
std::vector<CL_ThreadID> sThreads;
CL_Status PinningExecute(CL_Command command, CL_Blob&, CL_Blob&, CL_ClientContext* context,
                         uint32) {
    {
        std::lock_guard<std::mutex> lock(sThreadsLock);
        sThreads.push_back(CL_Thread::CurrentID());
    }
    if (command == 10) context->PinToThread();
    if (command == 11) context->UnpinFromThread();
    return CL_OK;
}

TEST(TCPServerClients, PinnedClientStaysOnItsWorker) {
    TestServer test;
    test.fCallbacks.fExecute = PinningExecute;
    ASSERT_EQ(test.Start(), 0);
    RawClient pinned, other;
    ASSERT_TRUE(Authorise(test, pinned));
    ASSERT_TRUE(Authorise(test, other));
    sThreads.clear();
    EXPECT_EQ(pinned.Call(10, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Contains("legato al thread"); }));
    for (int i = 0; i < 20; i++) {
        EXPECT_EQ(pinned.Call(1, CLU_Table()), CL_PACKET_TYPE_DATA);
        EXPECT_EQ(other.Call(1, CLU_Table()), CL_PACKET_TYPE_DATA);
    }
    EXPECT_EQ(pinned.Call(11, CLU_Table()), CL_PACKET_TYPE_DATA);
    EXPECT_TRUE(WaitFor([&] { return test.fLog.Contains("slegato dal thread"); }));
    std::lock_guard<std::mutex> lock(sThreadsLock);
    ASSERT_EQ(sThreads.size(), 42u);
    // The pinned client's requests (even indexes after the first) all ran on one thread.
    for (size_t i = 1; i < 41; i += 2)
        EXPECT_EQ(sThreads[i], sThreads[0]) << i;
    EXPECT_EQ(sThreads[41], sThreads[0]);
}

std::mutex sNamesLock;
std::set<std::string> sSetups, sCleanups;
void RecordSetup(void*) {
    std::lock_guard<std::mutex> lock(sNamesLock);
    sSetups.insert(CL_Thread::GetName(CL_Thread::CurrentID()));
}
void RecordCleanup(void*) {
    std::lock_guard<std::mutex> lock(sNamesLock);
    sCleanups.insert(CL_Thread::GetName(CL_Thread::CurrentID()));
}

// The system keeps 15 bytes of a thread name: "server dispatcher" is shortened.
const char* const kDispatcherName = "server .patcher";

// Every thread that was set up is cleaned up; the workers are both.
TEST(TCPServerClients, ThreadCallbacksPairUp) {
    sSetups.clear();
    sCleanups.clear();
    {
        TestServer test;
        test.fCallbacks.fThreadSetup = RecordSetup;
        test.fCallbacks.fThreadCleanup = RecordCleanup;
        ASSERT_EQ(test.Start(), 0);
        EXPECT_TRUE(WaitFor([&] {
            std::lock_guard<std::mutex> lock(sNamesLock);
            return sSetups.count(kDispatcherName) == 1 && sSetups.count("server listener") == 1;
        }));
        test.fServer.Stop();
        std::lock_guard<std::mutex> lock(sNamesLock);
        for (const char* name : {"server worker 1", "server worker 2", "server worker 3"}) {
            EXPECT_EQ(sSetups.count(name), 1u) << name;
            EXPECT_EQ(sCleanups.count(name), 1u) << name;
        }
    }
    std::lock_guard<std::mutex> lock(sNamesLock);
    for (const std::string& name : sSetups)
        EXPECT_EQ(sCleanups.count(name), 1u) << name;
    EXPECT_EQ(sCleanups.count(kDispatcherName), 1u);
    EXPECT_EQ(sCleanups.count("server listener"), 1u);
}

}  // namespace
