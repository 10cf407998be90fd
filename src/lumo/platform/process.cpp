// Child processes over pipes or a pseudo-terminal. The library runs inside programs
// with many threads, so everything the child needs is prepared before fork and the
// child itself makes only async-signal-safe calls until it executes the command.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "lumo/blob.h"
#include "lumo/platform/monotonic_clock.h"
#include "lumo/process.h"
#include "lumo/socket.h"

namespace {

constexpr uint32 kReadChunk = 1024;
constexpr uint32 kWriteRound = 50;
constexpr size_t kInputSlice = size_t(1) << 30;

using lumo_clock::MonotonicMillis;

enum WaitResult { kReady = 1, kTimedOut = 0, kFailed = -1, kExceptional = -2 };

// Waits until fd is readable (or writable) or reports an exceptional condition, for
// at most timeout milliseconds (CL_WAIT_FOREVER blocks). select's fixed-size sets
// cannot hold descriptors from FD_SETSIZE on; those wait through poll instead.
int WaitDescriptor(int fd, bool forWrite, uint32 timeout) {
    if (fd < 0) return kFailed;
    if (fd >= FD_SETSIZE) {
        struct pollfd p = {fd, static_cast<short>((forWrite ? POLLOUT : POLLIN) | POLLPRI), 0};
        int n = CL_Safe_Poll(&p, 1, timeout);
        if (n < 0 || (p.revents & POLLNVAL)) return kFailed;
        if (n == 0) return kTimedOut;
        // A hang-up or error counts as ready: the read or write that follows answers
        // the end of the output or the broken pipe.
        return (p.revents & POLLPRI) ? kExceptional : kReady;
    }
    fd_set ready, exceptional;
    FD_ZERO(&ready);
    FD_ZERO(&exceptional);
    FD_SET(fd, &ready);
    FD_SET(fd, &exceptional);
    struct timeval tv = {static_cast<time_t>(timeout / 1000),
                         static_cast<suseconds_t>((timeout % 1000) * 1000)};
    int n = CL_Safe_Select(fd + 1, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr,
                           &exceptional, timeout == CL_WAIT_FOREVER ? nullptr : &tv);
    if (n < 0) return kFailed;
    if (n == 0) return kTimedOut;
    return FD_ISSET(fd, &exceptional) ? kExceptional : kReady;
}

// Splits a command line: blanks outside double quotes separate arguments (a blank
// right after the previous argument still ends an empty one), a double quote not
// preceded by a backslash toggles quoting and is dropped.
std::vector<std::string> SplitCommand(const std::string& command) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false;
    size_t i = 0;
    while (i < command.size()) {
        char c = command[i];
        if (c == '"' && !(i > 0 && command[i - 1] == '\\')) {
            quoted = !quoted;
            ++i;
        } else if (c == ' ' && !quoted) {
            args.push_back(current);
            current.clear();
            while (i < command.size() && command[i] == ' ')
                ++i;
        } else {
            current += c;
            ++i;
        }
    }
    if (!current.empty()) args.push_back(current);
    return args;
}

// Moves a descriptor above the standard three so that the child's dup2 calls onto
// 0, 1 and 2 never overwrite one another. Keeps close-on-exec.
bool RaiseDescriptor(int* fd) {
    if (*fd > 2) return true;
    int moved = fcntl(*fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) return false;
    close(*fd);
    *fd = moved;
    return true;
}

// --- Child side: async-signal-safe calls only from here to exec. ---

void ChildResetSignals() {
    struct sigaction dfl;
    dfl.sa_handler = SIG_DFL;
    dfl.sa_flags = 0;
    sigemptyset(&dfl.sa_mask);
    // Ignored signals survive exec; the library ignores the broken-pipe signal.
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void ChildFail() {
    kill(getpid(), SIGUSR1);
    _exit(127);
}

[[noreturn]] void ChildExec(char* const* argv, const char* workingDirectory) {
    // Descriptors the program should not inherit; failure (old kernels) is harmless
    // since the library's own descriptors are close-on-exec anyway.
#ifdef SYS_close_range
    syscall(SYS_close_range, 3u, ~0u, 0u);
#endif
    if (workingDirectory && chdir(workingDirectory) != 0) ChildFail();
    if (argv[0]) execvp(argv[0], argv);
    ChildFail();
}

// Forks with every signal blocked so that no handler of the parent runs in the child
// before its dispositions are reset; the parent's mask is restored after fork.
pid_t ForkBlocked() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = fork();
    if (pid != 0) pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return pid;
}

void CloseIfOpen(int fd) {
    if (fd >= 0) close(fd);
}

// Whether the child has ended, leaving it unreaped (WNOWAIT) so that it still counts
// as alive and keeps its exit status for Wait.
bool HasEnded(pid_t pid) {
    siginfo_t info = {};
    int r;
    do {
        r = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return errno == ECHILD;
    return info.si_pid == pid;
}

}  // namespace

CL_Status CL_ExecuteProcess(const std::string& command, CL_Process* process,
                            const std::string& workingDirectory, bool pty) {
    if (!process) return CL_ERROR;
    std::vector<std::string> args = SplitCommand(command);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const char* dir = workingDirectory.empty() ? nullptr : workingDirectory.c_str();

    if (pty) {
        int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0) return CL_ERROR;
        char slaveName[128];
        int slave = -1;
        if (grantpt(master) == 0 && unlockpt(master) == 0 &&
            ptsname_r(master, slaveName, sizeof(slaveName)) == 0)
            slave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave < 0 || !RaiseDescriptor(&slave)) {
            CloseIfOpen(slave);
            close(master);
            return CL_ERROR;
        }
        pid_t pid = ForkBlocked();
        if (pid < 0) {
            close(slave);
            close(master);
            return CL_ERROR;
        }
        if (pid == 0) {
            ChildResetSignals();
            setsid();
            ioctl(slave, TIOCSCTTY, 0);
            if (dup2(slave, 0) < 0 || dup2(slave, 1) < 0 || dup2(slave, 2) < 0) ChildFail();
            ChildExec(argv.data(), dir);
        }
        close(slave);
        process->Terminate();
        process->fPID = pid;
        process->fInputFD = master;
        process->fOutputFD = master;
        process->fExitCode = 0;
        process->fReaped = false;
        return CL_OK;
    }

    int input[2] = {-1, -1};   // child's standard input
    int output[2] = {-1, -1};  // child's standard output and error
    bool ok = pipe2(input, O_CLOEXEC) == 0 && pipe2(output, O_CLOEXEC) == 0;
    for (int* fd : {&input[0], &input[1], &output[0], &output[1]})
        ok = ok && RaiseDescriptor(fd);
    pid_t pid = ok ? ForkBlocked() : -1;
    if (pid < 0) {
        for (int fd : {input[0], input[1], output[0], output[1]})
            CloseIfOpen(fd);
        return CL_ERROR;
    }
    if (pid == 0) {
        ChildResetSignals();
        setsid();
        if (dup2(input[0], 0) < 0 || dup2(output[1], 1) < 0 || dup2(output[1], 2) < 0) ChildFail();
        close(input[0]);
        close(input[1]);
        close(output[0]);
        close(output[1]);
        ChildExec(argv.data(), dir);
    }
    close(input[0]);
    close(output[1]);
    process->Terminate();
    process->fPID = pid;
    process->fInputFD = output[0];
    process->fOutputFD = input[1];
    process->fExitCode = 0;
    process->fReaped = false;
    return CL_OK;
}

CL_Status CL_ExecuteProcess(const std::string& command, bool wait, int32* result,
                            const std::string& input, std::string* output,
                            const std::string& workingDirectory) {
    CL_Process process;
    CL_Status status = CL_ExecuteProcess(command, &process, workingDirectory, false);
    if (status != CL_OK) return status;

    // A blob holds less than 2 GiB, so larger input goes across in slices; the input
    // is closed after the last one.
    for (size_t done = 0; status == CL_OK && done < input.size();) {
        size_t size = std::min<size_t>(input.size() - done, kInputSlice);
        CL_Blob data(input.data() + done, static_cast<uint32>(size), false);
        done += size;
        status = process.Write(data, done == input.size());
    }
    // A child that has ended without reading its input is no error. Its input breaks
    // while it is still exiting, so it gets a moment to end. It is not reaped here: its
    // output is still read to the end, and Wait collects its exit code.
    if (status != CL_OK) {
        bool ended = false;
        for (int i = 0; i < 100 && !(ended = HasEnded(process.fPID)); ++i)
            usleep(1000);
        if (!ended) {
            process.Terminate();
            return status;
        }
    }

    if (!wait) {
        process.Terminate();
        return CL_OK;
    }

    CL_Blob collected;
    while (process.Read(&collected, CL_WAIT_FOREVER) == CL_OK && process.IsAlive()) {
    }
    if (output)
        *output = std::string(reinterpret_cast<const char*>(collected.GetDataForRead()),
                              collected.GetSize());
    process.Wait(CL_WAIT_FOREVER);
    if (result) *result = process.GetExitCode();
    process.Terminate();
    return CL_OK;
}

namespace {

void StoreStatus(int status, int32* exitCode) {
    if (WIFEXITED(status))
        *exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        *exitCode = WTERMSIG(status) == SIGUSR1
                        ? -1
                        : static_cast<int32>(static_cast<uint32>(WTERMSIG(status)) | 0x80000000u);
}

}  // namespace

CL_Status CL_Process::Wait(uint32 timeout) {
    if (fPID == 0 || fReaped) return CL_OK;
    int status = 0;
    pid_t r;
    if (timeout == CL_WAIT_FOREVER) {
        do {
            r = waitpid(fPID, &status, 0);
        } while (r < 0 && errno == EINTR);
        if (r < 0) {
            if (errno == ECHILD) fReaped = true;  // collected elsewhere: never signal it
            return CL_ERROR;
        }
    } else {
        uint64 start = MonotonicMillis();
        for (;;) {
            r = waitpid(fPID, &status, WNOHANG);
            if (r > 0) break;
            if (r < 0 && errno != EINTR) {
                if (errno == ECHILD) {
                    fReaped = true;
                    return CL_OK;
                }
                return CL_ERROR;
            }
            if (MonotonicMillis() - start >= timeout) return CL_TIMEOUT;
        }
    }
    if (WIFEXITED(status) || WIFSIGNALED(status)) fReaped = true;
    StoreStatus(status, &fExitCode);
    return CL_OK;
}

CL_Status CL_Process::Read(CL_Blob* data, uint32 timeout) {
    if (fInputFD < 0 || !data) return CL_IO_ERROR;
    if (timeout != CL_WAIT_FOREVER) {
        int ready = WaitDescriptor(fInputFD, false, timeout);
        if (ready == kTimedOut) return CL_TIMEOUT;
        if (ready != kReady) return CL_IO_ERROR;
    }
    uint8 buffer[kReadChunk];
    ssize_t n;
    do {
        n = read(fInputFD, buffer, sizeof(buffer));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return CL_IO_ERROR;
    if (data->Write(buffer, static_cast<uint32>(n)) != static_cast<uint32>(n)) return CL_IO_ERROR;
    return CL_OK;
}

CL_Status CL_Process::Write(const CL_Blob& data, bool close) {
    uint32 size = data.GetSize();
    if (size == 0) return CL_OK;
    const uint8* bytes = data.GetDataForRead();
    CL_Status status = CL_OK;
    uint32 done = 0;
    while (done < size) {
        int ready = WaitDescriptor(fOutputFD, true, kWriteRound);
        if (ready == kFailed || ready == kExceptional || !IsAlive()) {
            status = CL_IO_ERROR;
            break;
        }
        if (ready == kTimedOut) continue;
        ssize_t n = write(fOutputFD, bytes + done, size - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            status = CL_IO_ERROR;
            break;
        }
        done += static_cast<uint32>(n);
    }
    if (close && fOutputFD >= 0) {
        // On a pseudo-terminal both directions share the master: closing it would
        // leave the reading side with a dead (or later reused) descriptor.
        if (fOutputFD != fInputFD) ::close(fOutputFD);
        fOutputFD = -1;
    }
    return status;
}

void CL_Process::Terminate() {
    if (fPID != 0 && !fReaped) {
        kill(fPID, SIGKILL);
        int status;
        while (waitpid(fPID, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (fInputFD >= 0) close(fInputFD);
    if (fOutputFD >= 0 && fOutputFD != fInputFD) close(fOutputFD);
    fPID = 0;
    fInputFD = -1;
    fOutputFD = -1;
    fReaped = false;
}

bool CL_Process::IsAlive() const {
    if (fPID == 0 || fReaped) return false;
    // EPERM: the child exists but now runs as another user.
    return kill(fPID, 0) == 0 || errno == EPERM;
}

CL_Status CL_Process::SetWindowSize(uint32 width, uint32 height) {
    struct winsize ws = {};
    ws.ws_row = static_cast<unsigned short>(height > 0xFFFF ? 0xFFFF : height);
    ws.ws_col = static_cast<unsigned short>(width > 0xFFFF ? 0xFFFF : width);
    if (fInputFD < 0 || ioctl(fInputFD, TIOCSWINSZ, &ws) != 0) return CL_IO_ERROR;
    return CL_OK;
}
