// Replays a recorded conversation as the server end, with plain sockets and nothing
// else, so that benchmarks can set a client's round trips beside the bare exchange of
// the same bytes. Listens on 127.0.0.1, prints "PORT <n>", then serves one connection
// after another until stdin closes.
//
//   replay_peer FILE [LOOP]
//
// FILE holds turns, each one byte 'C' (bytes the client sends: read and dropped) or
// 'S' (bytes to send), a 32-bit little-endian length and that many bytes. After the
// last turn the connection goes back to turn LOOP when given (a ping-pong without
// end), else it is read until the client closes it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Turn {
    bool fFromClient;
    std::string fBytes;
};

bool ReadTurns(const char* path, std::vector<Turn>* turns) {
    std::ifstream file(path, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof()) return false;
    size_t at = 0;
    while (at + 5 <= data.size()) {
        uint32_t length;
        memcpy(&length, data.data() + at + 1, 4);
        if (data[at] != 'C' && data[at] != 'S') return false;
        if (at + 5 + length > data.size()) return false;
        turns->push_back({data[at] == 'C', data.substr(at + 5, length)});
        at += 5 + length;
    }
    return at == data.size() && !turns->empty();
}

bool ReadExactly(int fd, size_t count, std::vector<char>& scratch) {
    while (count > 0) {
        ssize_t got = recv(fd, scratch.data(), count < scratch.size() ? count : scratch.size(), 0);
        if (got <= 0) return false;
        count -= size_t(got);
    }
    return true;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += size_t(sent);
    }
    return true;
}

void Serve(int fd, const std::vector<Turn>& turns, long loop) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::vector<char> scratch(1 << 16);
    size_t i = 0;
    for (;;) {
        if (i == turns.size()) {
            if (loop < 0) break;
            i = size_t(loop);
        }
        const Turn& turn = turns[i++];
        bool ok = turn.fFromClient ? ReadExactly(fd, turn.fBytes.size(), scratch)
                                   : WriteAll(fd, turn.fBytes);
        if (!ok) break;
    }
    while (recv(fd, scratch.data(), scratch.size(), 0) > 0) {
    }
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        fputs("usage: replay_peer FILE [LOOP]\n"
              "Listens on 127.0.0.1, prints \"PORT <n>\" and replays FILE's turns to each\n"
              "connection in turn, until its standard input closes.\n",
              argc == 2 && !strcmp(argv[1], "--help") ? stdout : stderr);
        return argc == 2 && !strcmp(argv[1], "--help") ? 0 : 2;
    }
    std::vector<Turn> turns;
    if (!ReadTurns(argv[1], &turns)) {
        fprintf(stderr, "replay_peer: cannot read turns from %s\n", argv[1]);
        return 2;
    }
    long loop = argc == 3 ? strtol(argv[2], nullptr, 10) : -1;
    if (loop >= long(turns.size())) {
        fprintf(stderr, "replay_peer: LOOP past the last turn\n");
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        perror("replay_peer");
        return 1;
    }
    printf("PORT %u\n", unsigned(ntohs(address.sin_port)));
    fflush(stdout);
    pollfd fds[2] = {{listener, POLLIN, 0}, {0, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) {
            char c;
            if (read(0, &c, 1) <= 0) break;
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd >= 0) Serve(fd, turns, loop);
        }
    }
    close(listener);
    return 0;
}
