// Network addresses: construction from numbers, special names and texts with ports,
// comparison, resolution and reverse resolution, the numeric-address pattern, the
// local-address list and its cache under concurrent refreshes.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lumo/clock.h"
#include "lumo/socket.h"

namespace {

TEST(NetAddress, NumbersAndSpecialNames) {
    CL_NetAddress empty;
    EXPECT_FALSE(empty.IsOk());
    EXPECT_EQ(empty.GetPort(), 0);
    EXPECT_EQ(empty.GetIP(), "");
    EXPECT_EQ(empty.GetHostName(), "");
    EXPECT_EQ(empty.GetDomain(), CL_SOCKET_DOMAIN_NONE);

    CL_NetAddress ip(uint32(0x0A010203), 8080);
    EXPECT_EQ(ip.GetIP(), "10.1.2.3");
    EXPECT_EQ(ip.GetPort(), 8080);
    EXPECT_EQ(ip.GetDomain(), CL_SOCKET_DOMAIN_INET);
    EXPECT_EQ(std::string(ip), "10.1.2.3:8080");

    EXPECT_EQ(CL_NetAddress(CL_NetAddress::ANY, 5).GetIP(), "0.0.0.0");
    EXPECT_EQ(CL_NetAddress(CL_NetAddress::ANY6, 5).GetIP(), "::");
    EXPECT_EQ(CL_NetAddress(CL_NetAddress::LOOPBACK, 5).GetIP(), "127.0.0.1");
    CL_NetAddress loop6(CL_NetAddress::LOOPBACK6, 6);
    EXPECT_EQ(loop6.GetIP(), "::1");
    EXPECT_EQ(std::string(loop6), "[::1]:6");
    EXPECT_FALSE(CL_NetAddress(CL_NetAddress::Special(9), 5).IsOk());
    EXPECT_EQ(CL_NetAddress::LocalHost().GetIP(), "127.0.0.1");
    EXPECT_EQ(CL_NetAddress::LocalHost().GetPort(), 0);

    CL_NetAddress six(uint64(0x060504030201ull), 1);
    EXPECT_EQ(six.GetDomain(), CL_SOCKET_DOMAIN_INET6);
    EXPECT_EQ(six.GetIP().substr(0, 14), "102:304:506::");
}

TEST(NetAddress, TextsWithPorts) {
    CL_NetAddress plain(std::string("10.1.2.3"));
    EXPECT_EQ(plain.GetIP(), "10.1.2.3");
    EXPECT_EQ(plain.GetPort(), 0);

    CL_NetAddress v6(std::string("fe80::1"));
    EXPECT_EQ(v6.GetIP(), "fe80::1");

    CL_NetAddress named(std::string("localhost:8080"));
    ASSERT_TRUE(named.IsOk());
    EXPECT_EQ(named.GetIP(), "127.0.0.1");  // IPv4 preferred
    EXPECT_EQ(named.GetPort(), 8080);

    CL_NetAddress numericWithPort;
    ASSERT_TRUE(numericWithPort.SetHostName("127.0.0.1:51965"));
    EXPECT_EQ(numericWithPort.GetPort(), 51965);
    CL_NetAddress wrapped;
    ASSERT_TRUE(wrapped.SetHostName("127.0.0.1:65537"));  // low 16 bits
    EXPECT_EQ(wrapped.GetPort(), 1);
    // The port is read as the library's numbers are: a sign and leading blanks pass.
    CL_NetAddress signed_;
    ASSERT_TRUE(signed_.SetHostName("127.0.0.1:+8080"));
    EXPECT_EQ(signed_.GetIP(), "127.0.0.1");
    EXPECT_EQ(signed_.GetPort(), 8080);
    ASSERT_TRUE(signed_.SetHostName("127.0.0.1: 81"));
    EXPECT_EQ(signed_.GetPort(), 81);

    // "host:abc" is resolved whole, and fails.
    CL_NetAddress bad(std::string("localhost:abc"));
    EXPECT_FALSE(bad.IsOk());
    CL_NetAddress kept(uint32(0x01020304), 9);
    EXPECT_FALSE(kept.SetHostName("no-such-host.invalid"));
    EXPECT_EQ(kept.GetIP(), "1.2.3.4");  // unchanged on failure
    EXPECT_EQ(kept.GetPort(), 9);

    // SetIP keeps the port; a text that is no address changes nothing.
    EXPECT_TRUE(kept.SetIP(std::string("::1")));
    EXPECT_EQ(kept.GetPort(), 9);
    EXPECT_FALSE(kept.SetIP(std::string("1.2.3")));
    EXPECT_EQ(kept.GetIP(), "::1");
}

TEST(NetAddress, Comparison) {
    EXPECT_TRUE(CL_NetAddress() == CL_NetAddress());
    EXPECT_FALSE(CL_NetAddress() != CL_NetAddress());
    CL_NetAddress a(uint32(0x0A000001), 80), b(uint32(0x0A000001), 81);
    EXPECT_TRUE(a != b);
    b.SetPort(80);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a == CL_NetAddress(CL_NetAddress::LOOPBACK6, 80));
    // IPv6 equality ignores flow label and scope.
    sockaddr_in6 raw = {};
    raw.sin6_family = AF_INET6;
    raw.sin6_port = htons(7);
    raw.sin6_addr = in6addr_loopback;
    raw.sin6_scope_id = 3;
    EXPECT_TRUE(CL_NetAddress(raw) == CL_NetAddress(CL_NetAddress::LOOPBACK6, 7));
}

TEST(NetAddress, DomainMapsToTheFamily) {
    CL_NetAddress address;
    address.SetDomain(CL_SOCKET_DOMAIN_INET);
    EXPECT_EQ(address.GetFamily(), AF_INET);
    EXPECT_EQ(address.GetDomain(), CL_SOCKET_DOMAIN_INET);
    address.SetDomain(CL_SOCKET_DOMAIN_INET6);
    EXPECT_EQ(address.GetFamily(), AF_INET6);
    EXPECT_EQ(address.GetDomain(), CL_SOCKET_DOMAIN_INET6);
    address.SetDomain(CL_SOCKET_DOMAIN_NONE);
    EXPECT_FALSE(address.IsOk());
}

TEST(NetAddress, IsIP) {
    for (const char* yes :
         {"10.0.0.1", " 10.0.0.1 ", "255.255.255.255", "0.0.0.0", "fe80::1", "fe80::1%eth0", "::1",
          "::", "2001:db8::ff00:42:8329", "1:2:3:4:5:6:7:8", "::ffff:192.168.1.1", "\t::1\n"})
        EXPECT_TRUE(CL_NetAddress::IsIP(yes)) << yes;
    for (const char* no : {"192.168.001.1", "FE80::1", "256.1.1.1", "1.2.3", "1.2.3.4.5",
                           "fe80::1%", "localhost", "", "1:2:3:4:5:6:7:8:9", "10.0.0.1x"})
        EXPECT_FALSE(CL_NetAddress::IsIP(no)) << no;
}

TEST(NetAddress, Lookup) {
    std::string name = CL_NetAddress::Lookup("127.0.0.1");
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, "127.0.0.1");  // the loopback host has a name here
    EXPECT_EQ(CL_NetAddress::Lookup("::1x"), "::1x");
    EXPECT_EQ(CL_NetAddress::Lookup("no-such-host.invalid"), "");
    EXPECT_EQ(CL_NetAddress::Lookup("localhost"), "127.0.0.1");
    EXPECT_FALSE(CL_NetAddress::Lookup("::1").empty());
    EXPECT_EQ(CL_NetAddress(CL_NetAddress::LOOPBACK, 0).GetHostName(), name);
}

TEST(NetAddress, LocalAddressesAndIsLocal) {
    CL_StartClock();
    CL_Array<CL_NetAddress> list;
    ASSERT_EQ(CL_NetAddress::GetLocalAddresses(&list), 0);
    ASSERT_GE(list.Count(), 2u);
    EXPECT_EQ(list[0].GetIP(), "127.0.0.1");
    bool loopbackTwice = false;
    for (uint32 i = 0; i < list.Count(); i++) {
        EXPECT_EQ(list[i].GetFamily(), AF_INET);
        if (i > 0 && list[i].GetIP() == "127.0.0.1") loopbackTwice = true;
    }
    EXPECT_TRUE(loopbackTwice);
    CL_Array<CL_NetAddress> again;
    ASSERT_EQ(CL_NetAddress::GetLocalAddresses(&again), 0);
    ASSERT_EQ(again.Count(), list.Count());
    for (uint32 i = 0; i < list.Count(); i++)
        EXPECT_TRUE(again[i] == list[i]);

    CL_NetAddress mine = list[list.Count() - 1];
    mine.SetPort(1234);  // ports play no part
    EXPECT_TRUE(mine.IsLocal());
    CL_NetAddress other(uint32(0xC0000263), 0);  // 192.0.2.99, documentation range
    bool expected = false;
    for (uint32 i = 0; i < list.Count(); i++)
        if (list[i].GetIP() == "192.0.2.99") expected = true;
    EXPECT_EQ(other.IsLocal(), expected);
    EXPECT_TRUE(CL_NetAddress(CL_NetAddress::LOOPBACK6, 0).IsLocal());  // set at construction
}

// Several threads reading and refreshing the process-wide list at once.
TEST(NetAddress, ConcurrentLocalAddresses) {
    CL_StartClock();
    std::vector<std::thread> threads;
    std::vector<uint32> counts(8);
    for (int t = 0; t < 8; t++)
        threads.emplace_back([t, &counts] {
            for (int i = 0; i < 200; i++) {
                CL_Array<CL_NetAddress> list;
                if (CL_NetAddress::GetLocalAddresses(&list) == 0) counts[t] = list.Count();
            }
        });
    for (auto& t : threads)
        t.join();
    for (uint32 c : counts)
        EXPECT_EQ(c, counts[0]);
}

// The first use of the list, made by several threads at once: the cache is empty, so
// every one of them fills it. Runs in a fresh copy of the test program, where nothing
// has filled the cache yet.
TEST(NetAddress, ConcurrentFirstUseOfTheLocalCache) {
    if (!getenv("ZELMO_FRESH_LOCAL_CACHE")) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setenv("ZELMO_FRESH_LOCAL_CACHE", "1", 1);
            execl("/proc/self/exe", "net_address_test",
                  "--gtest_filter=NetAddress.ConcurrentFirstUseOfTheLocalCache", (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        return;
    }
    CL_StartClock();
    std::atomic<int> waiting{8};
    std::vector<std::thread> threads;
    std::vector<CL_Array<CL_NetAddress>> lists(8);
    for (int t = 0; t < 8; t++)
        threads.emplace_back([t, &waiting, &lists] {
            waiting--;
            while (waiting.load() > 0)
                std::this_thread::yield();
            EXPECT_EQ(CL_NetAddress::GetLocalAddresses(&lists[t]), 0);
        });
    for (auto& t : threads)
        t.join();
    ASSERT_GE(lists[0].Count(), 2u);
    for (const auto& list : lists) {
        ASSERT_EQ(list.Count(), lists[0].Count());
        for (uint32 i = 0; i < list.Count(); i++)
            EXPECT_TRUE(list[i] == lists[0][i]);
    }
}

TEST(NetAddress, CopiesAndTheLocalCache) {
    CL_NetAddress loop(CL_NetAddress::LOOPBACK, 1);
    // Assignment carries the cached answer, copy construction drops it.
    CL_NetAddress assigned;
    assigned = loop;
    EXPECT_TRUE(assigned.IsLocal());
    CL_NetAddress copied(loop);
    EXPECT_TRUE(copied.IsLocal());
    EXPECT_TRUE(copied == loop);
}

}  // namespace
