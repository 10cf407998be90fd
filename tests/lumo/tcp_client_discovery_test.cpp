// Server discovery. Discovery broadcasts on every interface that can, so its cases run
// only inside a private network namespace that the first test makes with
// `unshare -rn` (loopback plus a veth pair of its own for the broadcast path; then
// again with loopback alone for the fallback) and skip where that is refused.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lumo/digest.h"
#include "lumo/init.h"
#include "lumo/ipc_tcp.h"
#include "support/callback_recorder.h"
#include "support/private_network.h"

namespace {

bool HasBroadcast() {
    const char* value = getenv("ZELMO_NETNS_BROADCAST");
    return value && std::string(value) == "1";
}

std::string Self() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string();
}

int RunInNamespace(bool broadcast) {
    std::string setup = "ip link set lo up || exit 3; B=0;";
    if (broadcast)
        setup += "if ip link add zv0 type veth peer name zv1 2>/dev/null &&"
                 " ip addr add 10.77.0.1/24 brd 10.77.0.255 dev zv0 && ip link set zv0 up &&"
                 " ip link set zv1 up; then B=1; fi;";
    std::string command = "unshare -rn sh -c '" + setup +
                          " ZELMO_NETNS_CHILD=1 ZELMO_NETNS_BROADCAST=$B exec \"$0\""
                          " --gtest_filter=NetNamespace*' '" + Self() + "'";
    int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(TCPClientDiscovery, RunsInAPrivateNetworkNamespace) {
    if (InPrivateNetwork()) GTEST_SKIP() << "already inside";
    if (system("unshare -rn true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "unshare -rn is refused here: discovery is tested only inside a private "
                        "network namespace";
    EXPECT_EQ(RunInNamespace(true), 0);
    EXPECT_EQ(RunInNamespace(false), 0);
}

#pragma pack(push, 1)
struct Reply {
    uint32 fMagic;
    uint32 fVersion;
    uint64 fID;
    uint16 fSize;
    uint32 fCheckSum;
    uint8 fInfo[1024];
};
#pragma pack(pop)
static_assert(sizeof(Reply) == 1046, "discovery reply size");

std::string MakeReply(uint64 id, const std::string& name, uint32 version = CL_IPC_VERSION) {
    Reply reply;
    memset(&reply, 0, sizeof(reply));
    reply.fMagic = CL_IPC_MAGIC;
    reply.fVersion = version;
    reply.fID = id;
    CL_Blob info;
    info += name;
    info += std::string("a server");
    info += int32(3);
    info += true;
    memset(reply.fInfo, 0xCC, sizeof(reply.fInfo));
    memcpy(reply.fInfo, info.GetDataForRead(), info.GetSize());
    reply.fSize = uint16(info.GetSize());
    reply.fCheckSum = CL_Blob(reply.fInfo, sizeof(reply.fInfo), true).CheckSum();
    return std::string(reinterpret_cast<const char*>(&reply), sizeof(reply));
}

// UDP responders inside the namespace: each port answers every DISCOVER with its
// list of datagrams, and remembers what it got.
class Responders {
public:
    Responders(const std::vector<std::pair<uint16, std::vector<std::string>>>& ports) {
        for (const auto& [port, replies] : ports) {
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int on = 1;
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
            sockaddr_in address;
            memset(&address, 0, sizeof(address));
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
            fSockets.push_back({fd, replies});
        }
        fThread = std::thread([this] { Loop(); });
    }
    ~Responders() {
        fStop = true;
        fThread.join();
        for (auto& s : fSockets) close(s.fd);
    }
    std::vector<std::string> Requests() {
        std::lock_guard<std::mutex> guard(fLock);
        return fRequests;
    }

private:
    struct Socket {
        int fd;
        std::vector<std::string> replies;
    };
    void Loop() {
        while (!fStop) {
            std::vector<pollfd> fds;
            for (auto& s : fSockets) fds.push_back({s.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) <= 0) continue;
            for (size_t i = 0; i < fds.size(); i++) {
                if (!(fds[i].revents & POLLIN)) continue;
                char buffer[2048];
                sockaddr_in from;
                socklen_t length = sizeof(from);
                ssize_t n = recvfrom(fds[i].fd, buffer, sizeof(buffer), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
                if (n < 0) continue;
                {
                    std::lock_guard<std::mutex> guard(fLock);
                    fRequests.emplace_back(buffer, size_t(n));
                }
                for (const std::string& reply : fSockets[i].replies)
                    sendto(fds[i].fd, reply.data(), reply.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), length);
            }
        }
    }
    std::vector<Socket> fSockets;
    std::atomic<bool> fStop{false};
    std::thread fThread;
    std::mutex fLock;
    std::vector<std::string> fRequests;
};

struct Found {
    std::string uuid, host;
    uint16 port;
    std::string info;
};

std::vector<Found> Parse(CL_Blob& result) {
    std::vector<Found> out;
    result.Seek(0, CL_SEEK_SET);
    uint32 count = 0;
    EXPECT_EQ(result.Read(&count, 4), 4u);
    for (uint32 i = 0; i < count; i++) {
        Found f;
        f.uuid << result;
        f.host << result;
        uint32 size = 0;
        EXPECT_EQ(result.Read(&f.port, 2), 2u);
        EXPECT_EQ(result.Read(&size, 4), 4u);
        f.info.resize(size);
        EXPECT_EQ(result.Read(f.info.data(), size), size);
        out.push_back(f);
    }
    EXPECT_TRUE(result.EOB());
    return out;
}

std::string UUIDOf(uint64 id) {
    CL_Blob bytes(&id, 8, true);
    return CLU_MD5(bytes.Encode(CL_BLOB_CODING_BASE_16)).Get();
}

// Every case below first makes sure that it runs where it may broadcast.
class NetNamespaceDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        if (!InPrivateNetwork()) GTEST_SKIP() << "runs only inside its private network namespace";
        CL_Init();
        CL_NetInterface interfaces[32];
        uint32 count = CL_NetInterface::Enumerate(interfaces, 32);
        const std::set<std::string> ours = {"lo", "zv0", "zv1"};
        for (uint32 i = 0; i < count; i++)
            ASSERT_TRUE(ours.count(interfaces[i].GetName())) << interfaces[i].GetName();
        fHost = HasBroadcast() ? "10.77.0.1" : "127.0.0.1";
    }
    std::string fHost;
};

TEST_F(NetNamespaceDiscovery, ListsEachServerOnceNewestFirstAndSkipsBadReplies) {
    const uint64 a = 0xA0A0A0A000001389ull;  // port 5001
    const uint64 b = 0xB0B0B0B000001771ull;  // port 6001
    std::string badChecksum = MakeReply(0xC0000000000013FFull, "c");
    badChecksum[20] ^= 1;
    std::string badMagic = MakeReply(0xD0000000000013FFull, "d");
    badMagic[0] ^= 1;
    // Alpha answers only behind a short and an empty datagram, which must not stop the
    // socket from being read; beta answers on two ports and is listed once.
    Responders responders({
        {40000, {std::string(20, 'x'), std::string(), MakeReply(a, "alpha")}},
        {40020,
         {MakeReply(0xE000000000001400ull, "old", 0x00010001), MakeReply(0xF000000000000050ull, "p80"),
          badChecksum, badMagic}},
        {40040, {MakeReply(b, "beta")}},
        {40060, {MakeReply(b, "beta again")}},
    });
    CL_TCPClient client;
    CL_Blob input, result;
    input += uint16(40000);
    ASSERT_EQ(client.Discover(input, result, 700), 0);
    std::vector<Found> found = Parse(result);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].uuid, UUIDOf(b));
    EXPECT_EQ(found[0].port, 6001);
    EXPECT_EQ(found[0].host, fHost);
    EXPECT_EQ(found[1].uuid, UUIDOf(a));
    EXPECT_EQ(found[1].port, 5001);
    EXPECT_EQ(found[1].host, fHost);
    CL_Blob info;
    info += std::string("alpha");
    info += std::string("a server");
    info += int32(3);
    info += true;
    EXPECT_EQ(found[1].info, info.Raw());

    CL_PacketHeader discover;
    CL_MakeDiscoverRequest(&discover);
    std::vector<std::string> requests = responders.Requests();
    ASSERT_FALSE(requests.empty());
    for (const std::string& request : requests)
        EXPECT_EQ(request, std::string(reinterpret_cast<const char*>(&discover), 32));
}

TEST_F(NetNamespaceDiscovery, DefaultBasePortReachesAllTenPorts) {
    Responders responders({{51967, {MakeReply(0x100000000000138Aull, "first")}},
                           {52147, {MakeReply(0x200000000000138Bull, "last")}}});
    CL_TCPClient client;
    CL_Blob input, result;
    ASSERT_EQ(client.Discover(input, result, 600), 0);
    std::vector<Found> found = Parse(result);
    ASSERT_EQ(found.size(), 2u);
    std::set<uint16> ports = {found[0].port, found[1].port};
    EXPECT_EQ(ports, (std::set<uint16>{5002, 5003}));
}

TEST_F(NetNamespaceDiscovery, ShortTimeOutsEndAndNothingFoundIsAnEmptyList) {
    CL_TCPClient client;
    for (uint32 timeout : {1u, 50u, 99u, 100u, 150u}) {
        CL_Blob input, result;
        input += uint16(41000);
        ASSERT_EQ(client.Discover(input, result, timeout), 0) << timeout;
        EXPECT_EQ(Parse(result).size(), 0u);
    }
}

// The blocking form's cancel check (which may be dear: the module's takes the
// interpreter's lock) is asked once a pass of the listening, not once a datagram: a
// flood, queued before the first pass, adds a handful of passes.
TEST_F(NetNamespaceDiscovery, CancelCheckIsAskedPerPassNotPerDatagram) {
    Responders responders({{43000, std::vector<std::string>(150, std::string(20, 'x'))}});
    int checks = 0;
    CL_CancelScope scope(
        [](void* count) {
            ++*static_cast<int*>(count);
            return CL_Status(CL_OK);
        },
        &checks);
    CL_TCPClient client;
    CL_Blob input, result;
    input += uint16(43000);
    ASSERT_EQ(client.Discover(input, result, 700), 0);
    EXPECT_EQ(Parse(result).size(), 0u);
    // Six passes of 100 ms, a few for the flood, and the looks before and after.
    EXPECT_LT(checks, 60);
}

// A cancelled blocking discovery ends within a pass of the cancel, not at its
// time-out: the check is asked again each listening pass, and not after it cancelled.
TEST_F(NetNamespaceDiscovery, CancelCheckEndsTheDiscoveryWithinAPass) {
    int checks = 0;
    CL_CancelScope scope(
        [](void* count) { return CL_Status(++*static_cast<int*>(count) >= 5 ? 1 : 0); }, &checks);
    CL_TCPClient client;
    CL_Blob input, result;
    input += uint16(44000);
    const auto start = std::chrono::steady_clock::now();
    client.Discover(input, result, 20000);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_EQ(checks, 5);
    EXPECT_EQ(result.GetSize(), 0u);
    // The look before the scan and four passes of 100 ms; a loose bound for a loaded
    // machine, a fifth of the time-out.
    EXPECT_LT(ms.count(), 4000);
}

TEST_F(NetNamespaceDiscovery, AsynchronousFormSucceedsOrIsCancelledOnce) {
    Responders responders({{42000, {MakeReply(0x300000000000138Cull, "async")}}});
    for (bool cancel : {false, true}) {
        CL_TCPClient client;
        CallbackRecorder record;
        if (cancel) record.fCancelFrom = 0;
        record.fOutput = "stale";
        CL_Blob input;
        input += uint16(42000);
        client.Discover(input, CallbackRecorder::Success, CallbackRecorder::Error,
                        CallbackRecorder::Progress, &record, 600);
        client.WaitForJobs();
        EXPECT_EQ(record.Completions(), 1);
        if (cancel) {
            EXPECT_EQ(record.fErrors, 1);
            EXPECT_EQ(record.fCode, CL_CANCELLED);
            EXPECT_EQ(record.fOutput.size(), 0u);
            EXPECT_EQ(record.fProgressCalls, 1);
        } else {
            EXPECT_EQ(record.fSuccesses, 1);
            CL_Blob result = record.Output();
            EXPECT_EQ(Parse(result).size(), 1u);
        }
    }
}

}  // namespace
