// Network interfaces: the listing against /sys/class/net and against Python's own
// ioctl queries, the 5-second cache bounded by the caller's maximum, and, inside
// network namespaces this test makes for itself, aliases, IPv6-only and down
// interfaces and the primary MAC under concurrent first callers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumo/clock.h"
#include "lumo/socket.h"

namespace {

const char kChildVariable[] = "ZELMO_NETNS_CHILD";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

std::string MacText(const uint8* mac) {
    char text[18];
    snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe))
        out += buffer;
    pclose(pipe);
    return out;
}

bool InChild() {
    return getenv(kChildVariable) != nullptr;
}

// Runs this test binary again inside a new user and network namespace with only the
// named test selected; false when the machine does not allow namespaces.
bool RunInNamespace(const std::string& test, int* exitCode, bool isolate = true) {
    if (isolate && system("unshare -rn true >/dev/null 2>&1") != 0) return false;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return false;
    self[n] = 0;
    std::string command = std::string(kChildVariable) + "=1 " + (isolate ? "unshare -rn " : "") +
                          self + " --gtest_filter=" + test + " >/tmp/netns_child_" +
                          std::to_string(getpid()) + ".log 2>&1";
    int status = system(command.c_str());
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (*exitCode != 0)
        fprintf(stderr, "%s\n",
                ReadFile("/tmp/netns_child_" + std::to_string(getpid()) + ".log").c_str());
    unlink(("/tmp/netns_child_" + std::to_string(getpid()) + ".log").c_str());
    return true;
}

TEST(NetInterface, ListingMatchesTheSystem) {
    CL_StartClock();
    if (InChild()) GTEST_SKIP() << "host namespace only";
    CL_NetInterface list[32];
    uint32 n = CL_NetInterface::Enumerate(list, 32);
    ASSERT_GT(n, 0u);
    std::set<std::string> names;
    for (uint32 i = 0; i < n; i++) {
        SCOPED_TRACE(list[i].GetName());
        ASSERT_NE(list[i].GetName(), nullptr);
        std::string name = list[i].GetName();
        EXPECT_TRUE(names.insert(name).second) << "listed twice";
        std::string sys = "/sys/class/net/" + name;
        ASSERT_FALSE(ReadFile(sys + "/flags").empty());
        unsigned flags = std::stoul(ReadFile(sys + "/flags"), nullptr, 16);
        uint32 features = list[i].GetFeatures();
        EXPECT_EQ((features & CL_NIC_UP) != 0, (flags & 0x1) != 0);
        EXPECT_EQ((features & CL_NIC_CAN_BROADCAST) != 0, (flags & 0x2) != 0);
        EXPECT_EQ((features & CL_NIC_IS_LOOPBACK) != 0, (flags & 0x8) != 0);
        EXPECT_EQ((features & CL_NIC_CAN_MULTICAST) != 0, (flags & 0x1000) != 0);
        uint8 mac[6];
        list[i].GetMAC(mac);
        if (features & CL_NIC_IS_LOOPBACK)
            EXPECT_EQ(MacText(mac), "00:00:00:00:00:00");
        else
            EXPECT_EQ(MacText(mac), ReadFile(sys + "/address"));
        EXPECT_EQ(list[i].GetAddress().GetFamily(), AF_INET);
        EXPECT_EQ(list[i].GetBroadcast().IsOk(), (features & CL_NIC_CAN_BROADCAST) != 0);
    }

    // Python's own SIOCGIFADDR / SIOCGIFNETMASK answers for the same names.
    std::string script =
        "import socket, fcntl, struct, sys\n"
        "s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
        "for name in sys.argv[1:]:\n"
        "    req = struct.pack('256s', name.encode()[:15])\n"
        "    a = socket.inet_ntoa(fcntl.ioctl(s.fileno(), 0x8915, req)[20:24])\n"
        "    m = socket.inet_ntoa(fcntl.ioctl(s.fileno(), 0x891b, req)[20:24])\n"
        "    print(name, a, m)\n";
    char path[] = "/tmp/ifaddr_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, script.data(), script.size()), ssize_t(script.size()));
    close(fd);
    std::string command = std::string(ZELMO_PYTHON) + " " + path;
    for (const std::string& name : names)
        command += " " + name;
    std::string out = RunCommand(command + " 2>/dev/null");
    unlink(path);
    if (out.empty()) GTEST_SKIP() << "python3 with fcntl not available";
    std::map<std::string, std::pair<std::string, std::string>> python;
    std::istringstream lines(out);
    std::string name, address, mask;
    while (lines >> name >> address >> mask)
        python[name] = {address, mask};
    for (uint32 i = 0; i < n; i++) {
        auto it = python.find(list[i].GetName());
        ASSERT_NE(it, python.end()) << list[i].GetName();
        EXPECT_EQ(list[i].GetAddress().GetIP(), it->second.first);
        EXPECT_EQ(list[i].GetNetmask().GetIP(), it->second.second);
    }
}

// Runs in a fresh process, so that its first listing is the one cached.
TEST(NetInterfaceFresh, CacheIsBoundedByTheLastCallersMaximum) {
    if (!InChild()) GTEST_SKIP() << "runs in a process of its own";
    CL_StartClock();
    CL_NetInterface list[32];
    EXPECT_EQ(CL_NetInterface::Enumerate(list, 1), 1u);
    EXPECT_EQ(CL_NetInterface::Enumerate(list, 32), 1u);
    EXPECT_EQ(CL_NetInterface::Enumerate(list, 0), 0u);
}

TEST(NetInterface, CopiesOwnTheirNames) {
    CL_NetInterface list[4];
    uint32 n = CL_NetInterface::Enumerate(list, 4);
    ASSERT_GT(n, 0u);
    CL_NetInterface copy(list[0]);
    CL_NetInterface assigned;
    assigned = list[0];
    EXPECT_STREQ(copy.GetName(), list[0].GetName());
    EXPECT_NE(copy.GetName(), list[0].GetName());
    EXPECT_STREQ(assigned.GetName(), list[0].GetName());
    CL_NetInterface empty;
    EXPECT_EQ(empty.GetName(), nullptr);
    EXPECT_EQ(empty.GetFeatures(), 0u);
    assigned = empty;
    EXPECT_EQ(assigned.GetName(), nullptr);
}

// Inside the namespace: only the loopback interface.
TEST(NetInterfaceNamespace, OnlyLoopbackHasNoPrimaryMAC) {
    if (!InChild()) GTEST_SKIP() << "runs inside its own namespace";
    CL_StartClock();
    ASSERT_EQ(system("ip link set lo up"), 0);
    uint8 mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(CL_NetInterface::GetPrimaryMAC(mac), 118);
    EXPECT_EQ(CL_NetInterface::GetPrimaryMAC(mac), 118);
    EXPECT_EQ(MacText(mac), "01:02:03:04:05:06");  // untouched
}

// Inside the namespace: lo, a down veth end with an alias address, and its peer with
// only an IPv6 address.
TEST(NetInterfaceNamespace, AliasesDownAndIPv6OnlyInterfaces) {
    if (!InChild()) GTEST_SKIP() << "runs inside its own namespace";
    CL_StartClock();
    const char* setup =
        "ip link set lo up && ip link add v0 type veth peer name v1 && "
        "ip link set v0 address 02:00:00:00:00:0a && ip link set v1 address 02:00:00:00:00:0b && "
        "ip addr add 10.9.9.1/24 broadcast 10.9.9.255 dev v0 && "
        "ip addr add 10.9.9.2/24 dev v0 label v0:1 && ip -6 addr add fd00:9::5/64 dev v1";
    ASSERT_EQ(system(setup), 0);

    // Many first callers at once: every one sees the whole address.
    std::vector<std::thread> threads;
    std::vector<std::string> seen(8);
    std::vector<CL_Status> status(8);
    for (int i = 0; i < 8; i++)
        threads.emplace_back([i, &seen, &status] {
            uint8 mac[6] = {0};
            status[i] = CL_NetInterface::GetPrimaryMAC(mac);
            seen[i] = MacText(mac);
        });
    for (auto& t : threads)
        t.join();
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(status[i], 0);
        EXPECT_EQ(seen[i], "02:00:00:00:00:0a");  // down, still the primary
    }

    CL_NetInterface list[32];
    uint32 n = CL_NetInterface::Enumerate(list, 32);
    std::map<std::string, CL_NetInterface*> byName;
    for (uint32 i = 0; i < n; i++) {
        EXPECT_EQ(byName.count(list[i].GetName()), 0u) << list[i].GetName();
        byName[list[i].GetName()] = &list[i];
    }
    EXPECT_EQ(byName.count("v1"), 0u);    // IPv6 only
    EXPECT_EQ(byName.count("v0:1"), 0u);  // alias folded into v0
    ASSERT_EQ(byName.count("lo"), 1u);
    ASSERT_EQ(byName.count("v0"), 1u);
    CL_NetInterface* v0 = byName["v0"];
    EXPECT_EQ(v0->GetAddress().GetIP(), "10.9.9.1");
    EXPECT_EQ(v0->GetNetmask().GetIP(), "255.255.255.0");
    EXPECT_EQ(v0->GetBroadcast().GetIP(), "10.9.9.255");
    EXPECT_EQ(v0->GetFeatures(), uint32(CL_NIC_CAN_BROADCAST | CL_NIC_CAN_MULTICAST));
    CL_NetInterface* lo = byName["lo"];
    EXPECT_EQ(lo->GetFeatures() & (CL_NIC_UP | CL_NIC_IS_LOOPBACK),
              uint32(CL_NIC_UP | CL_NIC_IS_LOOPBACK));
    uint8 mac[6];
    lo->GetMAC(mac);
    EXPECT_EQ(MacText(mac), "00:00:00:00:00:00");
}

TEST(NetInterface, FreshProcessCases) {
    if (InChild()) GTEST_SKIP() << "host only";
    int code = 0;
    ASSERT_TRUE(RunInNamespace("NetInterfaceFresh.*", &code, false));
    EXPECT_EQ(code, 0);
}

TEST(NetInterface, NamespaceCases) {
    if (InChild()) GTEST_SKIP() << "host namespace only";
    for (const char* test : {"NetInterfaceNamespace.OnlyLoopbackHasNoPrimaryMAC",
                             "NetInterfaceNamespace.AliasesDownAndIPv6OnlyInterfaces"}) {
        int code = 0;
        if (!RunInNamespace(test, &code))
            GTEST_SKIP() << "network namespaces are not available on this machine";
        EXPECT_EQ(code, 0) << test;
    }
}

}  // namespace
