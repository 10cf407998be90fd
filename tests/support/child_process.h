// Child processes for tests: a body run in a forked child, programs started with their
// output on a pipe, bounded waits that kill what hangs, the threads of this process by
// name, and a private message bus daemon. Every wait is bounded, so a stuck child fails
// its test instead of hanging the run.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

// Wait status of a child, waiting at most `seconds`; a child still running then is
// killed and -1 answered.
inline int WaitChild(pid_t pid, int seconds = 30) {
    for (int i = 0; i < seconds * 500; i++) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return status;
        if (done < 0) return -1;
        usleep(2000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

inline bool ExitedWithZero(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Ends a child started here with SIGTERM, waiting for it a few seconds.
inline void StopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    WaitChild(pid, 5);
}

// Runs `body` in a forked child: its result becomes the exit code, through exit() (the
// exit handlers run) when `runExitHandlers`, else through _exit(). The exit code, 1000
// plus the signal that ended the child, or -1 when it hung for 30 seconds.
inline int RunInChild(const std::function<int()>& body, bool runExitHandlers = false) {
    pid_t pid = fork();
    if (pid == 0) {
        int code = body();
        if (runExitHandlers) exit(code);
        _exit(code);
    }
    int status = WaitChild(pid);
    if (status == -1) return -1;
    if (WIFSIGNALED(status)) return 1000 + WTERMSIG(status);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `argv` with its output on a pipe and its errors dropped; the pid, the pipe's read
// end in *out. The child ends with this process, however this process ends, so that
// nothing it started outlives a crashed or killed test.
inline pid_t SpawnWithPipe(const std::vector<std::string>& argv, int* out) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(fds[1], 1);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) dup2(devnull, 2);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    *out = fds[0];
    return pid;
}

// One line from `fd`, waiting at most `seconds` for all of it; empty when it did not come.
inline std::string ReadLine(int fd, int seconds = 10) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0) return std::string();
        char c;
        if (read(fd, &c, 1) != 1) return std::string();
        if (c == '\n') return line;
        line += c;
    }
}

// Runs `argv` with its output dropped; its exit code, or -1.
inline int RunQuiet(const std::vector<std::string>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = WaitChild(pid);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The threads of this process named `name`; -1 when they cannot be listed.
inline int CountThreads(const std::string& name) {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return -1;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
        std::string line;
        std::getline(comm, line);
        if (line == name) count++;
    }
    closedir(dir);
    return count;
}

// A new thread names itself once running, and a joined one may linger in
// /proc/self/task for a moment: polls, for at most five seconds, for `expected` threads
// named `name`; the last count.
inline int WaitThreads(const std::string& name, int expected) {
    int count = CountThreads(name);
    for (int i = 0; i < 500 && count != expected; i++) {
        usleep(10000);
        count = CountThreads(name);
    }
    return count;
}

// The folder of the test programs (build/tools), beside this program's folder.
inline std::string ToolsDir() {
    char exe[1024];
    ssize_t len = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (len <= 0) return "tools";
    std::string path(exe, size_t(len));
    return path.substr(0, path.rfind('/')) + "/../tools";
}

// A private message bus daemon with the configuration file `config` of the test data;
// it ends with this object, or with this process however that ends.
class PrivateBus {
public:
    explicit PrivateBus(const std::string& config) {
        int fd = -1;
        fPid = SpawnWithPipe(
            {"/usr/bin/dbus-daemon", "--config-file=" + config, "--print-address=1", "--nofork"},
            &fd);
        if (fPid <= 0) return;
        fAddress = ReadLine(fd);
        close(fd);
    }
    ~PrivateBus() { StopChild(fPid); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // The address clients connect to; empty when the daemon did not start.
    const std::string& Address() const { return fAddress; }

private:
    pid_t fPid = -1;
    std::string fAddress;
};
