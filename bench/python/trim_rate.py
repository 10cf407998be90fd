"""Small requests beside peers that drop large requests half sent, and the heap trims
the server makes for them: the stand-in business_server of each build folder given,
one run at a time on each in turn, every round.

100 peers (--peers) each let in, send 1.5 MiB of a 4 MiB request, give the server
--hold seconds (0.2) to read it and reset the connection, again and again; 4 clients (--clients) beside them send small requests
one at a time. Each run prints the clients' requests done, their p50, p99 and slowest
round trip, the peers' drops, the server's malloc_trim calls and the time they took,
and its resident size at its peak (sampled every 100 ms) and at the end. The trims are counted by a shim preloaded into the
server (built here with cc); with --noop, a build is measured with its trims made
no-ops too, which shows what they cost.

    python bench/python/trim_rate.py --build /work/main/build --build build --noop build
        [--seconds 10] [--rounds 2]

With --nonread, the peers are instead 40 (--peers) hostile_peer nonread connections
(of --peer, default the last build's) that each ask a 64 MiB reply of the stand-in's
BLOB command and never read it, coming back each time they are cut off, beside one
client; the server runs with a time-out of 5 s, as in the soak. Each run prints the
server's peak resident size over its size before the peers (sampled every 100 ms), the
client's slowest request, and the trims and their time.

    python bench/python/trim_rate.py --nonread --build /work/wt/base/build --build build
        [--seconds 10] [--rounds 4] [--peers 40]
"""

import argparse
import os
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

MAGIC, VERSION = 0xF79BF0B7, 0x00010002
SERVER_INFO, PING, AUTH, DATA = 2, 3, 4, 6
FIRST_CHUNK = 0x1000
CHUNK = 8160
ECHO = 1000  # the stand-in's command that answers with its request
MIB = 1 << 20

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>
static int (*real)(size_t);
static int noop, fd = -1;
static long calls, nanos;
static void save(void) {
    char line[64];
    int n = snprintf(line, sizeof line, "%20ld %20ld\n", __atomic_load_n(&calls, 0),
                     __atomic_load_n(&nanos, 0));
    if (fd >= 0 && pwrite(fd, line, n, 0) < 0) fd = -1;
}
__attribute__((constructor)) static void start(void) {
    real = (int (*)(size_t))dlsym(RTLD_NEXT, "malloc_trim");
    noop = getenv("TRIM_NOOP") != NULL;
    const char* file = getenv("TRIM_COUNT");
    if (file) fd = open(file, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    save();
}
__attribute__((destructor)) static void end(void) { save(); }
int malloc_trim(size_t pad) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    int r = noop ? 0 : real(pad);
    clock_gettime(CLOCK_MONOTONIC, &b);
    __atomic_add_fetch(&nanos, (b.tv_sec - a.tv_sec) * 1000000000L + b.tv_nsec - a.tv_nsec, 0);
    __atomic_add_fetch(&calls, 1, 0);
    save();
    return r;
}
"""


def header(kind, sequence, size=0, word1=0, word2=0, flags=FIRST_CHUNK):
    return struct.pack("<IIHHIIII4x", MAGIC, VERSION, kind, flags, sequence, size, word1, word2)


def receive(s, n):
    data = b""
    while len(data) < n:
        got = s.recv(n - len(data))
        if not got:
            raise ConnectionError("closed")
        data += got
    return data


def reply(s):
    """The type of the next reply, its chunks read, PINGs skipped."""
    while True:
        _, _, kind, _, _, size = struct.unpack("<IIHHII", receive(s, 32)[:20])
        receive(s, min(size, CHUNK))
        if kind != PING and size <= CHUNK:
            return kind


def connect(port):
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    s.sendall(header(SERVER_INFO, 1))
    reply(s)
    s.sendall(header(AUTH, 2))
    if reply(s) != AUTH:
        raise ConnectionError("not let in")
    return s


def dropped_request(announced, sent):
    """The chunks of a DATA request of `announced` bytes up to `sent` of them."""
    parts, left = [], announced
    while announced - left < sent:
        length = min(left, CHUNK)
        flags = FIRST_CHUNK if left == announced else 0
        parts.append(header(DATA, 3, left, ECHO, 0, flags) + bytes(length))
        left -= length
    return b"".join(parts)


def peers(port, count, seconds, hold):
    """`count` peers dropping half-sent requests for `seconds`; prints the drops."""
    wire = dropped_request(4 * MIB, 3 * MIB // 2)
    linger = struct.pack("ii", 1, 0)
    end = time.monotonic() + seconds
    drops = [0] * count

    def peer(k):
        while time.monotonic() < end:
            try:
                s = connect(port)
                s.sendall(wire)
                time.sleep(hold)
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
                s.close()
                drops[k] += 1
            except OSError:
                time.sleep(0.01)

    threads = [threading.Thread(target=peer, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(sum(drops), flush=True)


def client(port, seconds):
    """Round trips of small requests one at a time for `seconds`; prints them in ms."""
    s = connect(port)
    times, sequence = [], 3
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        start = time.perf_counter()
        s.sendall(header(DATA, sequence, 0, ECHO, 0))
        reply(s)
        times.append((time.perf_counter() - start) * 1e3)
        sequence += 1
    s.close()
    print(" ".join(f"{t:.3f}" for t in times), flush=True)


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Peak(threading.Thread):
    """The largest resident size of `pid`, in KiB, sampled every 100 ms until stopped."""

    def __init__(self, pid):
        super().__init__(daemon=True)
        self.pid, self.kib, self.done = pid, resident_kib(pid), threading.Event()
        self.start()

    def run(self):
        while not self.done.wait(0.1):
            self.kib = max(self.kib, resident_kib(self.pid))

    def stop(self):
        self.done.set()
        self.join()
        return self.kib


def start_server(build, shim, counts, noop, *options):
    env = dict(os.environ, LD_PRELOAD=shim, TRIM_COUNT=counts)
    if noop:
        env["TRIM_NOOP"] = "1"
    server = subprocess.Popen([os.path.join(build, "tools", "business_server"), *options],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True, env=env)
    return server, int(server.stdout.readline().split()[-1])


def stop_server(server, counts):
    server.stdin.close()
    server.wait(30)
    with open(counts) as f:
        trims, nanos = (int(x) for x in f.read().split())
    os.unlink(counts)
    return trims, nanos / 1e6


def run_nonread(build, noop, shim, args):
    """The non-readers' run: the server's peak resident size over its size before them."""
    counts = tempfile.NamedTemporaryFile(delete=False)
    counts.close()
    server, port = start_server(build, shim, counts.name, noop, "--timeout", "5000",
                                "--log-level", "3", "--request-log", "0")
    try:
        base = resident_kib(server.pid)
        peak = Peak(server.pid)
        peer = subprocess.Popen(
            [args.peer or os.path.join(args.build[-1], "tools", "hostile_peer"), "nonread",
             "--port", str(port), "--count", str(args.peers), "--reply-bytes", str(64 * MIB),
             "--duration", str(int(args.seconds) + 2)], stdout=subprocess.PIPE, text=True)
        time.sleep(1)
        client_ = subprocess.Popen([sys.executable, __file__, "--client", str(port),
                                    str(args.seconds)], stdout=subprocess.PIPE, text=True)
        times = [float(t) for t in client_.communicate(timeout=60)[0].split()]
        line = peer.communicate(timeout=60)[0].strip()
    finally:
        growth = peak.stop() - base
        trims, trim_ms = stop_server(server, counts.name)
    return {"growth_mib": growth / 1024, "slowest": max(times, default=0),
            "done": len(times), "peer": line, "trims": trims, "trim_ms": trim_ms}


def rounds(args, shim, runs, measure, describe):
    """Each round measures every run in turn; the measurements of each run, by run."""
    seen = {run_: [] for run_ in runs}
    for r in range(args.rounds):
        for build, noop in runs:
            m = measure(build, noop, shim, args)
            seen[build, noop].append(m)
            print(f"round {r + 1} {build}{' (trims no-ops)' if noop else ''}: {describe(m)}",
                  flush=True)
    return seen


def nonread_main(args, shim, runs):
    seen = rounds(args, shim, runs, run_nonread, lambda m: (
        f"growth {m['growth_mib']:.0f} MiB; {m['trims']} trims taking {m['trim_ms']:.0f} ms; "
        f"the client's slowest {m['slowest']:.0f} ms of {m['done']}; {m['peer']}"))
    for (build, noop), ms in seen.items():
        growth, trims, trim_ms = (statistics.median(m[k] for m in ms)
                                  for k in ("growth_mib", "trims", "trim_ms"))
        each = ", ".join(f"{m['growth_mib']:.0f}" for m in ms)
        print(f"median {build}{' (trims no-ops)' if noop else ''}: growth {growth:.0f} MiB "
              f"({each}), {trims:.0f} trims taking {trim_ms:.0f} ms")


def run(build, noop, shim, args):
    counts = tempfile.NamedTemporaryFile(delete=False)
    counts.close()
    server, port = start_server(build, shim, counts.name, noop, "--log-level", "0",
                                "--request-log", "0")
    peak = Peak(server.pid)
    try:
        # Each group of peers, and each client, in a process of its own.
        groups = 4
        attackers = [subprocess.Popen(
            [sys.executable, __file__, "--attack", str(port), str(args.peers // groups),
             str(args.seconds), str(args.hold)], stdout=subprocess.PIPE, text=True)
            for _ in range(groups)]
        time.sleep(1)  # the peers under way
        clients = [subprocess.Popen(
            [sys.executable, __file__, "--client", str(port), str(args.seconds - 1)],
            stdout=subprocess.PIPE, text=True) for _ in range(args.clients)]
        times = [float(t) for c in clients for t in c.communicate(timeout=60)[0].split()]
        drops = sum(int(a.communicate(timeout=60)[0]) for a in attackers)
        rss = resident_kib(server.pid)
    finally:
        peak_kib = peak.stop()
        trims, trim_ms = stop_server(server, counts.name)
    times.sort()
    return {"done": len(times), "p50": statistics.median(times),
            "p99": times[int(len(times) * 0.99)], "max": times[-1],
            "drops": drops, "trims": trims, "trim_ms": trim_ms, "rss_mib": rss / 1024,
            "peak_mib": peak_kib / 1024}


def main():
    if len(sys.argv) == 6 and sys.argv[1] == "--attack":
        peers(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]))
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--client":
        client(int(sys.argv[2]), float(sys.argv[3]))
        return
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--build", action="append", required=True, help="a build folder")
    p.add_argument("--noop", action="append", default=[],
                   help="a build folder measured with its trims made no-ops too")
    p.add_argument("--seconds", type=float, default=10)
    p.add_argument("--rounds", type=int, default=2)
    p.add_argument("--peers", type=int, default=100)
    p.add_argument("--clients", type=int, default=4)
    p.add_argument("--hold", type=float, default=0.2)
    p.add_argument("--nonread", action="store_true",
                   help="peers that ask 64 MiB replies and never read them instead")
    p.add_argument("--peer", help="hostile_peer program (default: the last build's)")
    args = p.parse_args()
    if args.nonread and args.peers == 100:
        args.peers = 40
    folder = tempfile.mkdtemp()
    shim = os.path.join(folder, "trim_shim.so")
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-x", "c", "-o", shim, "-", "-ldl"],
                   input=SHIM, text=True, check=True)
    runs = [(b, False) for b in args.build] + [(b, True) for b in args.noop]
    if args.nonread:
        nonread_main(args, shim, runs)
        os.unlink(shim)
        os.rmdir(folder)
        return
    seen = rounds(args, shim, runs, run, lambda m: (
        f"{m['done']} done, p50 {m['p50']:.2f} ms, p99 {m['p99']:.1f} ms, "
        f"max {m['max']:.0f} ms; {m['drops']} drops, {m['trims']} trims taking "
        f"{m['trim_ms']:.0f} ms; resident {m['peak_mib']:.0f} MiB at the peak, "
        f"{m['rss_mib']:.0f} MiB at the end"))
    # Medians over the rounds, and of each round's requests against the no-op run of the
    # same round, which the load of a busy machine moves less.
    for (build, noop), ms in seen.items():
        done, p50, trims, peak = (statistics.median(m[k] for m in ms)
                                  for k in ("done", "p50", "trims", "peak_mib"))
        line = (f"median {build}{' (trims no-ops)' if noop else ''}: {done:.0f} done, "
                f"p50 {p50:.2f} ms, {trims:.0f} trims, peak {peak:.0f} MiB")
        if not noop and (build, True) in seen:
            ratio = statistics.median(m["done"] / n["done"] for m, n in zip(ms, seen[build, True]))
            line += f"; {ratio:.2f} of the no-op run's requests"
        print(line)
    os.unlink(shim)
    os.rmdir(folder)


if __name__ == "__main__":
    main()
