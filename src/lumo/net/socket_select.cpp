// Signal-safe waits: CL_Safe_Select over fd_sets, CL_Safe_Poll over descriptors of
// any number, and CL_Socket::Select over sets of sockets. An interrupted wait resumes
// with the time still left of the original time-out, measured from the first call.
#include "lumo/thread.h"
#include <cerrno>
#include <vector>

#include "lumo/clock.h"
#include "lumo/socket.h"
#include "lumo/thread.h"

int32 CL_Safe_Select(int32 nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                     timeval* timeout) {
    if (!timeout) {
        for (;;) {
            int result = select(nfds, readfds, writefds, exceptfds, nullptr);
            if (result >= 0 || errno != EINTR) return result;
        }
    }
    int64 seconds = timeout->tv_sec < 0 ? 0 : int64(timeout->tv_sec);
    int64 micros = timeout->tv_usec < 0 ? 0 : int64(timeout->tv_usec);
    // Beyond 32 bits of milliseconds the clock difference could not measure it.
    uint64 total64 = uint64(seconds) * 1000 + uint64(micros / 1000) % 1000;
    uint32 total = total64 > 0xFFFFFFFEull ? 0xFFFFFFFEu : uint32(total64);
    uint32 start = total ? CL_GetTime() : 0;
    timeval local = *timeout;
    for (;;) {
        int result = select(nfds, readfds, writefds, exceptfds, &local);
        if (result >= 0) return result;
        if (errno != EINTR) return -1;
        if (total == 0) return 0;
        uint32 elapsed = CL_GetTime() - start;
        if (elapsed >= total) return 0;
        uint32 left = total - elapsed;
        local.tv_sec = left / 1000;
        local.tv_usec = (left % 1000) * 1000;
    }
}

int32 CL_Safe_Poll(pollfd* fds, uint32 count, uint32 ms) {
    if (ms == CL_WAIT_FOREVER) {
        for (;;) {
            int result = poll(fds, count, -1);
            if (result >= 0 || errno != EINTR) return result;
        }
    }
    uint32 start = ms ? CL_GetTime() : 0;
    uint32 wait = ms;
    for (;;) {
        int result = poll(fds, count, wait > 0x7FFFFFFFu ? 0x7FFFFFFF : int(wait));
        if (result >= 0) return result;
        if (errno != EINTR) return -1;
        if (ms == 0) return 0;
        uint32 elapsed = CL_GetTime() - start;
        if (elapsed >= ms) return 0;
        wait = ms - elapsed;
    }
}

namespace {

// One waited-on socket in one role.
struct Waiter {
    CL_Socket* fSocket;
    int fRole;  // 0 read, 1 write, 2 except
};

constexpr short kEvents[3] = {POLLIN, POLLOUT, POLLPRI};
// What counts as ready in each role, exactly as Linux select() reports it: a hang-up
// or error makes a socket readable, an error writable, and only urgent data makes it
// exceptional (a reset peer is not an exceptional condition).
constexpr short kReady[3] = {POLLIN | POLLHUP | POLLERR, POLLOUT | POLLERR, POLLPRI};

// poll() over the waiters with select()'s answer: the number of descriptor roles
// ready, 0 on time-out, -1 with *error set. poll() always reports a hang-up or an
// error, which select() does not count in every role; a descriptor reporting only
// such an event is dropped from the wait, which goes on for the time that is left.
int WaitLikeSelect(std::vector<pollfd>& fds, const std::vector<Waiter>& waiters, uint32 ms,
                   int* error) {
    uint32 start = CL_GetTime();
    uint32 left = ms;
    for (;;) {
        int result = CL_Safe_Poll(fds.data(), uint32(fds.size()), left);
        if (result <= 0) {
            *error = errno;
            return result;
        }
        int ready = 0;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].revents & POLLNVAL) {
                *error = EBADF;
                return -1;
            }
            if (fds[i].revents & kReady[waiters[i].fRole]) ready++;
        }
        if (ready > 0) return ready;
        for (pollfd& p : fds)
            if (p.revents) p.fd = -1;  // poll() skips negative descriptors
        if (ms != CL_WAIT_FOREVER) {
            uint32 elapsed = CL_GetTime() - start;
            if (elapsed >= ms) return 0;
            left = ms - elapsed;
        }
    }
}

}  // namespace

// The lock is optional, which the analysis cannot express.
CL_Status CL_Socket::Select(CL_Set<CL_Socket*>* read, CL_Set<CL_Socket*>* write,
                            CL_Set<CL_Socket*>* except, uint32* count, uint32 ms,
                            CL_Mutex* lock) CL_NO_THREAD_SAFETY_ANALYSIS {
    // poll() in place of select(): a process with many files open easily holds
    // descriptors beyond the 1024 an fd_set can address.
    CL_Set<CL_Socket*>* sets[3] = {read, write, except};
    std::vector<Waiter> waiters;
    std::vector<pollfd> fds;
    for (int role = 0; role < 3; role++) {
        if (!sets[role]) continue;
        for (CL_Socket* socket : *sets[role]) {
            if (!socket) continue;
            SocketData* data = socket->Data();
            if (data->fSocket < 0) {
                if (data->fType != CL_SOCKET_TYPE_UDP || !socket->_BindUDP()) continue;
                socket->_SetBlocking(false);
            }
            waiters.push_back({socket, role});
            fds.push_back({data->fSocket, kEvents[role], 0});
        }
    }

    if (lock) lock->Unlock();
    CL_Status status = CL_ERROR;
    if (!fds.empty()) {
        int error = 0;
        int result = WaitLikeSelect(fds, waiters, ms, &error);
        if (result == 0)
            status = CL_TIMEOUT;
        else if (result < 0)
            status = TranslateError(error);
        else
            status = CL_OK;
        if (count) *count = result > 0 ? uint32(result) : 0;
    }
    if (lock) lock->Lock();

    for (int role = 0; role < 3; role++) {
        if (!sets[role]) continue;
        CL_Set<CL_Socket*> kept;
        if (status == CL_OK) {
            // Waiters were recorded in each set's order.
            for (size_t i = 0; i < waiters.size(); i++)
                if (waiters[i].fRole == role && (fds[i].revents & kReady[role]))
                    kept.Add(waiters[i].fSocket);
        }
        *sets[role] = kept;
    }
    return status;
}

CL_Status CL_Socket::Select(CL_Socket* read, CL_Socket* write, CL_Socket* except, uint32 ms,
                            CL_Mutex* lock) {
    CL_Set<CL_Socket*> sets[3];
    CL_Socket* given[3] = {read, write, except};
    for (int i = 0; i < 3; i++)
        if (given[i]) sets[i].Add(given[i]);
    return Select(read ? &sets[0] : nullptr, write ? &sets[1] : nullptr,
                  except ? &sets[2] : nullptr, nullptr, ms, lock);
}
