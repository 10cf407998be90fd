"""Speed of the Python Client against the stand-in business server on loopback.

Two comparisons, each in one run:

1. A small command: Client.execute synchronously, asynchronously one at a time, and
   asynchronously with 32 requests in flight, beside a raw-socket ping-pong from Python
   of as many bytes as the request and reply packets carry (header and payload), against
   an echo peer in another process.
2. A 10,000-row reply: query_database turning the server's reply into Python lists,
   beside pickle.loads of the same rows fetched over a loopback socket from another
   process.

    PYTHONPATH=build/python:python python bench/python/client_bench.py [--tools build/tools]
"""

import argparse
import os
import pickle
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

import zelmolib  # noqa: F401  (the package must be loaded before the module)
import _zelmolib

ECHO, REQUEST_LOG = 1000, 1003
HEADER_SIZE = 32  # bytes of an RPC packet header

PEER = r"""
import pickle, socket, struct, sys
mode, a, b = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
print(listener.getsockname()[1], flush=True)
if mode == "pickle":
    rows = pickle.load(sys.stdin.buffer)
conn, _ = listener.accept()
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
reply = b"r" * b
while True:
    if mode == "echo":
        got = 0
        while got < a:
            chunk = conn.recv(a - got)
            if not chunk:
                sys.exit(0)
            got += len(chunk)
        conn.sendall(reply)
    else:
        if not conn.recv(1):
            sys.exit(0)
        data = pickle.dumps(rows, protocol=pickle.HIGHEST_PROTOCOL)
        conn.sendall(struct.pack("<I", len(data)) + data)
"""


def recv_exact(sock, n):
    parts = []
    while n:
        chunk = sock.recv(n)
        if not chunk:
            raise EOFError("peer closed")
        parts.append(chunk)
        n -= len(chunk)
    return b"".join(parts)


def timed(fn, iterations, rounds=5):
    """Best per-call time in microseconds over `rounds` rounds of `iterations` calls."""
    best = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn(iterations)
        best.append((time.perf_counter() - start) / iterations * 1e6)
    return min(best), statistics.median(best)


def start_peer(*args, stdin_data=None):
    proc = subprocess.Popen([sys.executable, "-c", PEER, *map(str, args)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    if stdin_data is not None:
        proc.stdin.write(stdin_data)
    proc.stdin.close()
    port = int(proc.stdout.readline())
    sock = socket.create_connection(("127.0.0.1", port))
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return proc, sock


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", default=os.environ.get("ZELMO_TOOLS_BIN", "build/tools"))
    parser.add_argument("--iterations", type=int, default=3000)
    parser.add_argument("--rows", type=int, default=10000)
    args = parser.parse_args()

    server = subprocess.Popen([os.path.join(args.tools, "business_server")],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(server.stdout.readline())
    client = _zelmolib.Client()
    client.connect(host="127.0.0.1", port=port)
    results = []
    try:
        data = {"ID": 42, "NAME": "small request"}
        reply = client.execute(ECHO, data)
        request_payload = client.execute(REQUEST_LOG, {"CLEAR": True})["REQUESTS"][-1]["SIZE"]
        reply_payload = request_payload  # the echo answers with the same table
        request_bytes = HEADER_SIZE + request_payload
        reply_bytes = HEADER_SIZE + reply_payload
        n = args.iterations

        def sync_calls(count):
            for _ in range(count):
                client.execute(ECHO, data)

        def async_serial(count):
            done = threading.Event()

            def success(reply, userdata):
                done.set()

            for _ in range(count):
                done.clear()
                client.execute(ECHO, data, success=success)
                done.wait()

        def async_window(count, window=32):
            lock = threading.Condition()
            state = {"in_flight": 0, "done": 0}

            def finished(*unused):
                with lock:
                    state["in_flight"] -= 1
                    state["done"] += 1
                    lock.notify()

            for _ in range(count):
                with lock:
                    while state["in_flight"] >= window:
                        lock.wait()
                    state["in_flight"] += 1
                client.execute(ECHO, data, success=finished, error=finished)
            with lock:
                while state["done"] < count:
                    lock.wait()

        peer, sock = start_peer("echo", request_bytes, reply_bytes)
        payload = b"q" * request_bytes

        def ping_pong(count):
            for _ in range(count):
                sock.sendall(payload)
                recv_exact(sock, reply_bytes)

        raw = timed(ping_pong, n)
        sync = timed(sync_calls, n)
        serial = timed(async_serial, n)
        window = timed(async_window, n)
        sock.close()
        peer.wait()
        results.append(("raw socket ping-pong (%d B -> %d B)" % (request_bytes, reply_bytes),
                         raw, raw))
        results.append(("execute, synchronous", sync, raw))
        results.append(("execute, asynchronous, one at a time", serial, raw))
        results.append(("execute, asynchronous, 32 in flight (per request)", window, raw))

        query = "SELECT * FROM numbers LIMIT %d" % args.rows
        client.open_database("sqlite", "demo")
        affected, columns, rows = client.query_database(query)
        assert affected == args.rows and len(rows) == args.rows
        peer, sock = start_peer("pickle", 0, 0,
                                stdin_data=pickle.dumps(rows, protocol=pickle.HIGHEST_PROTOCOL))

        def pickled(count):
            for _ in range(count):
                sock.sendall(b"?")
                size = struct.unpack("<I", recv_exact(sock, 4))[0]
                got = pickle.loads(recv_exact(sock, size))
            assert got == rows

        def queried(count):
            for _ in range(count):
                client.query_database(query)

        m = max(3, 200000 // max(args.rows, 1))
        base = timed(pickled, m)
        ours = timed(queried, m)
        sock.close()
        peer.wait()
        results.append(("%d rows: pickle.loads over a loopback socket" % args.rows, base, base))
        results.append(("%d rows: query_database to Python lists" % args.rows, ours, base))
    finally:
        client.disconnect()
        server.stdin.close()
        server.wait()

    print("%-58s %12s %12s %8s" % ("case", "best us", "median us", "ratio"))
    for name, (best, median), (base_best, _) in results:
        print("%-58s %12.1f %12.1f %8.2f" % (name, best, median, best / base_best))


if __name__ == "__main__":
    main()
