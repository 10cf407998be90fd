"""Paired measurements of road_bench.py: each figure beside its comparison, taken
interleaved (A, B, A, B, ...) so that drift of the machine touches both alike.

  (a) small execute vs a raw socket exchanging the same bytes with replay_peer
  (b) connect vs the connection's bytes exchanged with replay_peer
  (c) a large result set through execute vs pickle.loads of the same rows

Run as a program, it is the fresh process of one (c) measurement:
  road_pairs.py execute PORT ROWS | pickle FILE   -> one line of JSON
"""

import gc
import json
import os
import pickle
import re
import select
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

PAGE = os.sysconf("SC_PAGE_SIZE")
WIDE_ROWS = 1100


def resident():
    """Resident bytes of this process now."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def peak_resident():
    """Highest resident bytes of this process so far."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


# ---- recording and replaying a conversation ------------------------------------------

class Recorder:
    """A loopback proxy for one connection to `port`: records each direction's bytes
    as turns; mark() notes where the turns so far end."""

    def __init__(self, port):
        self.target = port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.chunks = []  # (from_client, bytes)
        self.marks = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        client, _ = self.listener.accept()
        server = socket.create_connection(("127.0.0.1", self.target))
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        ends = {client: (server, True), server: (client, False)}
        open_ends = [client, server]
        while open_ends:
            ready, _, _ = select.select(open_ends, [], [], 5)
            for s in ready:
                data = s.recv(1 << 20)
                other, from_client = ends[s]
                if not data:
                    open_ends.remove(s)
                    try:
                        other.shutdown(socket.SHUT_WR)
                    except OSError:
                        pass
                    continue
                with self.lock:
                    self.chunks.append((from_client, data))
                other.sendall(data)
        client.close()
        server.close()

    def mark(self):
        time.sleep(0.05)  # the last reply's bytes are through the proxy by now
        with self.lock:
            self.marks.append(len(self.chunks))

    def turns(self, start, end):
        """The chunks between two marks (indexes into marks, -1 for the start), with
        neighbours of one direction joined: [(from_client, bytes)]."""
        first = 0 if start < 0 else self.marks[start]
        joined = []
        for from_client, data in self.chunks[first:self.marks[end]]:
            if joined and joined[-1][0] == from_client:
                joined[-1] = (from_client, joined[-1][1] + data)
            else:
                joined.append((from_client, data))
        return joined

    def close(self):
        self.listener.close()
        self.thread.join(10)


def write_turns(turns):
    f = tempfile.NamedTemporaryFile(prefix="turns-", delete=False)
    for from_client, data in turns:
        f.write(b"C" if from_client else b"S")
        f.write(struct.pack("<I", len(data)))
        f.write(data)
    f.close()
    return f.name


def exchange(s, turns, scratch):
    """Plays the client's side of `turns` on socket s."""
    for from_client, data in turns:
        if from_client:
            s.sendall(data)
            continue
        need = len(data)
        while need:
            got = s.recv_into(scratch, min(need, len(scratch)))
            if not got:
                raise ConnectionError("replay peer closed the connection")
            need -= got


# ---- server counters -------------------------------------------------------------------

def context_switches(pid):
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/status" % (pid, task)) as f:
                for line in f:
                    if "ctxt_switches" in line:
                        total += int(line.split()[1])
        except OSError:
            pass  # a thread that ended
    return total


def futex_calls(pid, call, count):
    """futex calls the server makes while `call` runs `count` times, by strace; None
    when strace is missing or may not attach."""
    try:
        tracer = subprocess.Popen(["strace", "-f", "-c", "-e", "trace=futex", "-p", str(pid)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    except OSError:
        return None
    time.sleep(0.3)  # attached to every thread
    for _ in range(count):
        call()
    tracer.send_signal(signal.SIGINT)
    try:
        _, report = tracer.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        tracer.kill()
        return None
    for line in report.splitlines():
        words = line.split()
        if words and words[-1] == "futex":
            # % time, seconds, usecs/call, calls, [errors,] syscall
            return int(words[3])
    return 0 if "attach" not in report else None


# ---- the pairs -------------------------------------------------------------------------

def timed_mean(call, seconds):
    """Mean seconds of one call over about `seconds`."""
    call()
    count, start = 0, time.perf_counter()
    deadline = start + seconds
    while True:
        for _ in range(10):
            call()
        count += 10
        now = time.perf_counter()
        if now >= deadline:
            return (now - start) / count, count


def summary(a, b):
    """Median and min of both sides and their ratios."""
    return {"a_median": statistics.median(a), "a_min": min(a),
            "b_median": statistics.median(b), "b_min": min(b),
            "ratio_median": statistics.median(a) / statistics.median(b),
            "ratio_min": min(a) / min(b), "rounds": len(a)}


def small_pair(zl, server, tools, small, seconds, rounds):
    """(a): execute of `small` against the server beside the raw exchange of the
    recorded bytes with replay_peer; the server's switches and futex calls per request."""
    recorder = Recorder(server.port)
    client = zl.Client()
    client.connect(host="127.0.0.1", port=recorder.port)
    recorder.mark()
    client.execute(1000, small)
    recorder.mark()
    client.disconnect()
    recorder.close()
    turns = recorder.turns(0, 1)
    request = sum(len(d) for c, d in turns if c)
    path = write_turns(turns)
    peer = subprocess.Popen([os.path.join(tools, "replay_peer"), path, "0"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        port = int(peer.stdout.readline().split()[-1])
        client = zl.Client()
        client.connect(host="127.0.0.1", port=server.port)
        raw = socket.create_connection(("127.0.0.1", port))
        raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        scratch = bytearray(1 << 16)
        a, b, switches = [], [], []
        for _ in range(rounds):
            before = context_switches(server.pid)
            mean, count = timed_mean(lambda: client.execute(1000, small), seconds)
            switches.append((context_switches(server.pid) - before) / (count + 1))
            a.append(mean)
            b.append(timed_mean(lambda: exchange(raw, turns, scratch), seconds)[0])
        futex = futex_calls(server.pid, lambda: client.execute(1000, small), 2000)
        client.disconnect()
        raw.close()
    finally:
        peer.stdin.close()
        peer.wait(10)
        os.unlink(path)
    result = summary(a, b)
    result.update(request_bytes=request, server_ctx_switches_per_request=statistics.median(switches),
                  server_futex_per_request=None if futex is None else futex / 2000)
    return result


def connect_pair(zl, server, tools, seconds, rounds):
    """(b): connect (TCP, SERVER_INFO, AUTH) beside the recorded bytes of a connect
    exchanged with replay_peer; disconnecting is not timed."""
    recorder = Recorder(server.port)
    client = zl.Client()
    client.connect(host="127.0.0.1", port=recorder.port)
    recorder.mark()
    client.disconnect()
    recorder.close()
    turns = recorder.turns(-1, 0)
    path = write_turns(turns)
    peer = subprocess.Popen([os.path.join(tools, "replay_peer"), path],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    scratch = bytearray(1 << 16)

    def python_connect():
        c = zl.Client()
        start = time.perf_counter()
        c.connect(host="127.0.0.1", port=server.port)
        elapsed = time.perf_counter() - start
        c.disconnect()
        return elapsed

    def raw_connect():
        start = time.perf_counter()
        s = socket.create_connection(("127.0.0.1", port))
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        exchange(s, turns, scratch)
        elapsed = time.perf_counter() - start
        s.close()
        return elapsed

    def mean_of(call):
        call()
        times, deadline = [], time.perf_counter() + seconds
        while time.perf_counter() < deadline and len(times) < 2000:
            times.append(call())
        return statistics.mean(times)

    try:
        port = int(peer.stdout.readline().split()[-1])
        a, b = [], []
        for _ in range(rounds):
            a.append(mean_of(python_connect))
            b.append(mean_of(raw_connect))
    finally:
        peer.stdin.close()
        peer.wait(10)
        os.unlink(path)
    result = summary(a, b)
    result["turns"] = len(turns)
    return result


def rows_pair(zl, server, rows, rounds, env):
    """(c): each side in a fresh process, interleaved."""
    client = zl.Client()
    client.connect(host="127.0.0.1", port=server.port)
    data = client.execute(WIDE_ROWS, {"rows": rows})  # the server makes its rows once
    client.disconnect()
    with tempfile.NamedTemporaryFile(prefix="rows-", suffix=".pickle", delete=False) as f:
        pickle.dump(data, f, protocol=pickle.HIGHEST_PROTOCOL)
        path = f.name
    del data
    gc.collect()
    me = os.path.abspath(__file__)

    def child(*words):
        out = subprocess.run([sys.executable, me] + [str(w) for w in words], env=env,
                             capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            raise SystemExit("%s failed: %s" % (me, out.stderr.strip()))
        return json.loads(out.stdout)

    a, b = [], []
    try:
        for _ in range(rounds):
            a.append(child("execute", server.port, rows))
            b.append(child("pickle", path))
    finally:
        os.unlink(path)
    result = {}
    for name in ("seconds", "peak", "after_drop"):
        result[name] = summary([r[name] for r in a], [r[name] for r in b])
    result["start_execute"] = statistics.median(r["start"] for r in a)
    result["start_pickle"] = statistics.median(r["start"] for r in b)
    return result


def child_main(argv):
    """One (c) measurement in this fresh process: seconds of the call, peak resident
    over the start, resident over the start once the rows are dropped."""
    if argv[0] == "execute":
        import zelmolib  # noqa: F401
        import _zelmolib
        client = _zelmolib.Client()
        client.connect(host="127.0.0.1", port=int(argv[1]))
        client.execute(1000, {})
        request = {"rows": int(argv[2])}
        call = lambda: client.execute(WIDE_ROWS, request)  # noqa: E731
    else:
        import zelmolib  # noqa: F401  (the rows' Decimal class)
        with open(argv[1], "rb") as f:
            blob = f.read()
        call = lambda: pickle.loads(blob)  # noqa: E731
    gc.collect()
    start = resident()
    began = time.perf_counter()
    rows = call()
    seconds = time.perf_counter() - began
    peak = peak_resident()
    del rows
    gc.collect()
    time.sleep(0.05)  # queued work of the interpreter runs
    after = resident()
    print(json.dumps({"seconds": seconds, "start": start, "peak": peak - start,
                      "after_drop": after - start}))


if __name__ == "__main__":
    child_main(sys.argv[1:])
