// For the server fuzz targets: run the fuzzer again inside a new user and network
// namespace with loopback up, so that the server's fixed discovery ports and the
// datagrams sent to them never meet another program on this machine.
#pragma once

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

inline void FuzzEnterPrivateNetwork(int* argc, char*** argv) {
    if (getenv("ZELMO_NETNS_CHILD")) {
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
        return;
    }
    if (access("/usr/bin/unshare", X_OK) != 0) return;
    if (system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0) return;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return;
    self[n] = 0;
    std::vector<char*> args;
    args.push_back(const_cast<char*>("/usr/bin/unshare"));
    args.push_back(const_cast<char*>("-rn"));
    args.push_back(self);
    for (int i = 1; i < *argc; i++)
        args.push_back((*argv)[i]);
    args.push_back(nullptr);
    setenv("ZELMO_NETNS_CHILD", "1", 1);
    execv(args[0], args.data());
    unsetenv("ZELMO_NETNS_CHILD");
}
