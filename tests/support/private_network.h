// A private network for a test program or fuzz target: the program runs itself again
// inside a new user and network namespace with loopback up, so that fixed ports (the
// server's discovery responder, its default listener ports) and the datagrams sent to
// them never meet another program on this machine. A test may also run one of its
// cases again in a namespace with no interface up at all.
#pragma once

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/child_process.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// Whether this process runs inside the namespace that EnterPrivateNetwork made.
inline bool InPrivateNetwork() {
    return getenv("ZELMO_NETNS_CHILD") != nullptr;
}

// Whether this process runs in a namespace of RunWithoutNetwork: loopback stays down,
// so no interface has an address.
inline bool InBareNetwork() {
    return getenv("ZELMO_NETNS_BARE") != nullptr;
}

// Runs the program again, with the arguments it had, inside a new user and network
// namespace; returns only where that is refused (or ZELMO_NO_NETNS is set), or inside
// the namespace once loopback is up. True inside the namespace.
inline bool EnterPrivateNetwork() {
    if (InBareNetwork()) return true;
    if (InPrivateNetwork()) {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd >= 0) {
            ifreq request;
            memset(&request, 0, sizeof(request));
            strcpy(request.ifr_name, "lo");
            if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
                request.ifr_flags |= IFF_UP;
                ioctl(fd, SIOCSIFFLAGS, &request);
            }
            close(fd);
        }
        return true;
    }
    if (getenv("ZELMO_NO_NETNS") || access("/usr/bin/unshare", X_OK) != 0) return false;
    if (system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0) return false;
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\0', at);
        if (end == std::string::npos) end = all.size();
        args.push_back(all.substr(at, end - at));
        at = end + 1;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0 || args.empty()) return false;
    self[n] = 0;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>("/usr/bin/unshare"));
    argv.push_back(const_cast<char*>("-rn"));
    argv.push_back(self);
    for (size_t i = 1; i < args.size(); i++)
        argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    setenv("ZELMO_NETNS_CHILD", "1", 1);
    execv(argv[0], argv.data());
    unsetenv("ZELMO_NETNS_CHILD");
    return false;
}

// Runs this test program again with `filter` as its only test, inside a new user and
// network namespace whose loopback stays down. Whether the namespace could be made;
// then *passed tells whether that one test ran and passed (within 30 seconds).
inline bool RunWithoutNetwork(const std::string& filter, bool* passed) {
    *passed = false;
    if (access("/usr/bin/unshare", X_OK) != 0) return false;
    if (system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0) return false;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return false;
    self[n] = 0;
    setenv("ZELMO_NETNS_BARE", "1", 1);
    int out = -1;
    pid_t pid = SpawnWithPipe({"/usr/bin/unshare", "-rn", self, "--gtest_filter=" + filter}, &out);
    unsetenv("ZELMO_NETNS_BARE");
    if (pid <= 0) return false;
    std::string output;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {out, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) break;
        char buffer[4096];
        ssize_t got = read(out, buffer, sizeof(buffer));
        if (got <= 0) break;
        output.append(buffer, size_t(got));
    }
    close(out);
    // gtest says how many tests passed: a filter that matched nothing passes none.
    bool ranOne = output.find("[  PASSED  ] 1 test.") != std::string::npos;
    *passed = ranOne && ExitedWithZero(WaitChild(pid, 5));
    return true;
}
