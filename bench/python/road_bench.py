"""The whole road in one run: Python `execute` through the project's client and the
stand-in business server, beside unary gRPC C++ calls over loopback with the same
payloads and a raw-socket ping-pong of the same bytes from Python.

  PYTHONPATH=build/python:python python bench/python/road_bench.py [--build build]
      [--tools build/tools] [--seconds 2] [--rounds 3] [--rows 1000000] [--quick]

Measured: the round trip of a small command (one thread), the round trip of a 1 MB
reply, and requests per second with eight threads (sharing one Client or a Client
each; for gRPC sharing one channel or a channel each). Goals: the small round trip
within 1.3x the raw ping-pong, and eight-thread throughput at least gRPC's.

Then, each pair measured interleaved (A, B, A, B, ...) over --rounds rounds, median and
min: (a) `execute` of the small command beside a raw socket exchanging the same bytes
with replay_peer, which replays the server's recorded reply (goal <= 2.0x; the server's
context switches and futex calls per request beside it, goal <= 2 switches); (b)
`connect` beside the same connection bytes exchanged with replay_peer (goal <= 3x);
(c) a --rows-row result set of eight mixed columns through `execute` beside
pickle.loads of the same rows, each in a fresh process: time, peak memory over the
start, and what stays resident once the rows are dropped (goals: time <= 1.5x, peak
<= pickle's, resident within 10% of the start). The server runs with its request log
off. --tools lets the module of one build run against the tools of another.
"""

import argparse
import json
import os
import pickle
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ECHO, REQUEST_LOG, BLOB, WIDE_ROWS = 1000, 1003, 1005, 1100
SMALL = {"customer": 42, "name": "Anna Rossi", "active": True}
MEGABYTE = 1 << 20
HEADER = 32  # bytes of a packet header
THREADS = 8


def arguments():
    summary, _, details = __doc__.partition("\n\n")
    parser = argparse.ArgumentParser(description=summary,
                                     epilog=details.split("\n\n", 1)[-1],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder (default: build/)")
    parser.add_argument("--tools", help="folder of the test programs (default: BUILD/tools)")
    parser.add_argument("--seconds", type=float, default=2.0, help="per measurement")
    parser.add_argument("--rounds", type=int, default=3, help="rounds of each A/B pair")
    parser.add_argument("--rows", type=int, default=1000000, help="rows of the large reply")
    parser.add_argument("--quick", action="store_true",
                        help="short run: 0.3 s per measurement, 100,000 rows")
    parser.add_argument("--json", action="store_true", help="print the results as JSON")
    args = parser.parse_args()
    if args.quick:
        args.seconds, args.rows = 0.3, min(args.rows, 100000)
    args.tools = args.tools or os.path.join(args.build, "tools")
    args.rounds = max(args.rounds, 1)
    return args


class Child:
    """A helper program that prints its port first and ends when stdin closes (or,
    for the scripted peer, when it is terminated)."""

    def __init__(self, *command, terminate=False):
        self.terminate = terminate
        if not os.access(command[0], os.X_OK):
            raise SystemExit("%s is not built: ./setup.sh builds it" % command[0])
        # Its messages go to a file, read only should it not start.
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.errors)
        words = self.proc.stdout.readline().split()  # "N" or "PORT N"
        if not words or not words[-1].isdigit():
            self.stop()
            self.errors.seek(0)
            message = self.errors.read().decode(errors="replace").strip()
            raise SystemExit("%s did not start: %s" % (" ".join(command),
                                                        message or "no message"))
        self.port = int(words[-1])
        self.pid = self.proc.pid

    def stop(self):
        self.proc.stdin.close()
        if self.terminate:
            self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.errors.close()


def in_threads(make_call, threads, seconds):
    """Requests per second of `threads` threads, each calling its own make_call(n)."""
    calls = [make_call(n) for n in range(threads)]
    for call in calls:
        call()
    counts = [0] * threads
    stop = threading.Event()
    barrier = threading.Barrier(threads + 1)

    def run(n):
        call = calls[n]
        barrier.wait()
        while not stop.is_set():
            call()
            counts[n] += 1

    workers = [threading.Thread(target=run, args=(n,)) for n in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    start = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for w in workers:
        w.join()
    return sum(counts) / (time.perf_counter() - start)


def grpc(program, request, reply, threads, seconds, channels="shared"):
    command = [program, "calls", str(request), str(reply), str(threads), str(seconds),
               channels]
    if not os.access(program, os.X_OK):
        raise SystemExit("%s is not built (it needs libgrpc++-dev; ./setup.sh installs it)"
                         % program)
    out = subprocess.run(command, capture_output=True, text=True,
                         timeout=seconds * 10 + 60)
    if out.returncode != 0:
        # The program's own words say what went wrong.
        raise SystemExit("%s failed (exit status %d): %s"
                         % (" ".join(command), out.returncode,
                            out.stderr.strip() or out.stdout.strip() or "no message"))
    return json.loads(out.stdout)


def main():
    args = arguments()
    for folder in (os.path.join(ROOT, "python"), os.path.join(args.build, "python")):
        sys.path.insert(0, folder)
    import zelmolib  # noqa: F401  (loads the native module)
    import _zelmolib
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import road_pairs

    grpc_program = os.path.join(args.build, "bench", "grpc_echo")
    # The request log is off: keeping it is no part of the road.
    server = Child(os.path.join(args.tools, "business_server"), "--request-log", "0")
    raw = Child(grpc_program, "raw-server")
    results = {}
    try:
        results["pair_small"] = road_pairs.small_pair(_zelmolib, server, args.tools, SMALL,
                                                      args.seconds / 2, args.rounds)
        results["pair_connect"] = road_pairs.connect_pair(_zelmolib, server, args.tools,
                                                          args.seconds / 2, args.rounds)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(
            [os.path.join(args.build, "python"), os.path.join(ROOT, "python")]))
        results["pair_rows"] = road_pairs.rows_pair(_zelmolib, server, args.rows, args.rounds, env)
        results["rows"] = args.rows

        client = _zelmolib.Client()
        client.connect(host="127.0.0.1", port=server.port)
        client.execute(ECHO, SMALL)
        size = results["pair_small"]["request_bytes"] - HEADER
        results["small_request_bytes"] = size

        results["python_small_us"] = road_pairs.timed_mean(
            lambda: client.execute(ECHO, SMALL), args.seconds)[0] * 1e6
        results["python_1mb_us"] = road_pairs.timed_mean(
            lambda: client.execute(BLOB, {"bytes": MEGABYTE}), args.seconds)[0] * 1e6

        # The client's share: the same command against the scripted server end,
        # which echoes every request on the connection's own thread.
        peer = Child(os.path.join(args.build, "tools", "rpc_scripted_peer"), "loop",
                     terminate=True)
        try:
            direct = _zelmolib.Client()
            direct.connect(host="127.0.0.1", port=peer.port)
            results["python_small_scripted_peer_us"] = road_pairs.timed_mean(
                lambda: direct.execute(ECHO, SMALL), args.seconds)[0] * 1e6
            direct.disconnect()
        finally:
            peer.stop()

        # The same bytes each way over a plain socket: a header and the payload.
        message = bytes(HEADER + size)
        with socket.create_connection(("127.0.0.1", raw.port)) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

            def ping_pong():
                s.sendall(message)
                got = 0
                while got < len(message):
                    got += len(s.recv(65536))

            results["raw_small_us"] = road_pairs.timed_mean(ping_pong, args.seconds)[0] * 1e6

        results["python_8_threads_one_client_rps"] = in_threads(
            lambda _: (lambda: client.execute(ECHO, SMALL)), THREADS, args.seconds)
        clients = []
        for _ in range(THREADS):
            c = _zelmolib.Client()
            c.connect(host="127.0.0.1", port=server.port)
            clients.append(c)
        results["python_8_threads_8_clients_rps"] = in_threads(
            lambda k: (lambda: clients[k].execute(ECHO, SMALL)), THREADS, args.seconds)
        for c in clients:
            c.disconnect()
        client.disconnect()
    finally:
        raw.stop()
        server.stop()

    g = grpc(grpc_program, size, 0, 1, args.seconds)
    results["grpc_small_us"] = g["mean_us"]
    g = grpc(grpc_program, size, MEGABYTE, 1, args.seconds)
    results["grpc_1mb_us"] = g["mean_us"]
    g = grpc(grpc_program, size, 0, THREADS, args.seconds, "shared")
    results["grpc_8_threads_one_channel_rps"] = g["calls"] / g["seconds"]
    g = grpc(grpc_program, size, 0, THREADS, args.seconds, "own")
    results["grpc_8_threads_8_channels_rps"] = g["calls"] / g["seconds"]

    results["ratio_small_to_raw"] = results["python_small_us"] / results["raw_small_us"]
    results["ratio_scripted_peer_to_raw"] = (results["python_small_scripted_peer_us"] /
                                             results["raw_small_us"])
    results["ratio_small_to_grpc"] = results["python_small_us"] / results["grpc_small_us"]
    results["ratio_1mb_to_grpc"] = results["python_1mb_us"] / results["grpc_1mb_us"]
    results["ratio_8_threads_to_grpc"] = (results["python_8_threads_one_client_rps"] /
                                          results["grpc_8_threads_one_channel_rps"])
    results["ratio_8_clients_to_grpc"] = (results["python_8_threads_8_clients_rps"] /
                                          results["grpc_8_threads_8_channels_rps"])
    if args.json:
        print(json.dumps(results, indent=2))
        return
    r = results
    print_pairs(r)
    print("small command: %d-byte request and reply" % r["small_request_bytes"])
    print("%-44s %12s" % ("", "round trip"))
    print("%-44s %10.1f us" % ("Python execute, small command", r["python_small_us"]))
    print("%-44s %10.1f us" % ("Python execute, scripted echo peer",
                               r["python_small_scripted_peer_us"]))
    print("%-44s %10.1f us" % ("Python raw-socket ping-pong, same bytes", r["raw_small_us"]))
    print("%-44s %10.1f us" % ("gRPC C++ unary, same payload", r["grpc_small_us"]))
    print("%-44s %10.1f us" % ("Python execute, 1 MB reply", r["python_1mb_us"]))
    print("%-44s %10.1f us" % ("gRPC C++ unary, 1 MB reply", r["grpc_1mb_us"]))
    print("%-44s %12s" % ("8 threads", "requests/s"))
    print("%-44s %12.0f" % ("Python, one Client", r["python_8_threads_one_client_rps"]))
    print("%-44s %12.0f" % ("Python, a Client each", r["python_8_threads_8_clients_rps"]))
    print("%-44s %12.0f" % ("gRPC C++, one channel", r["grpc_8_threads_one_channel_rps"]))
    print("%-44s %12.0f" % ("gRPC C++, a channel each", r["grpc_8_threads_8_channels_rps"]))
    print("ratios: small/raw %.2f (goal <= 1.3), scripted peer/raw %.2f, small/gRPC %.2f,"
          " 1 MB/gRPC %.2f,"
          " 8 threads one Client/gRPC one channel %.2f (goal >= 1),"
          " 8 Clients/gRPC 8 channels %.2f"
          % (r["ratio_small_to_raw"], r["ratio_scripted_peer_to_raw"], r["ratio_small_to_grpc"], r["ratio_1mb_to_grpc"],
             r["ratio_8_threads_to_grpc"], r["ratio_8_clients_to_grpc"]))


def print_pairs(r):
    def line(name, pair, unit, scale, goal):
        print("%-34s %10.1f %10.1f %-4s %7.2fx %7.2fx  %s"
              % (name, pair["a_median"] * scale, pair["b_median"] * scale, unit,
                 pair["ratio_median"], pair["ratio_min"], goal))
        print("%-34s %10.1f %10.1f %-4s" % ("  (min)", pair["a_min"] * scale,
                                            pair["b_min"] * scale, unit))

    a, b, c = r["pair_small"], r["pair_connect"], r["pair_rows"]
    print("paired, interleaved over %d rounds: median (min below), A beside B" % a["rounds"])
    print("%-34s %10s %10s %-4s %8s %8s  %s" % ("", "A", "B", "", "A/B med", "A/B min", "goal"))
    line("(a) execute / raw replay", a, "us", 1e6, "<= 2.0x")
    futex = a["server_futex_per_request"]
    print("    server per request: %.2f context switches (goal <= 2), %s futex calls"
          % (a["server_ctx_switches_per_request"],
             "%.2f" % futex if futex is not None else "(strace unavailable:) no count of"))
    line("(b) connect / raw replay", b, "us", 1e6, "<= 3x")
    mb = 1.0 / (1 << 20)
    print("(c) %d rows: execute beside pickle.loads" % r["rows"])
    line("    time", c["seconds"], "s", 1.0, "<= 1.5x")
    line("    peak over start", c["peak"], "MB", mb, "<= 1x")
    line("    resident after drop", c["after_drop"], "MB", mb,
         "execute: <= 10%% of start (%.0f MB)" % (c["start_execute"] * mb))
    print()


if __name__ == "__main__":
    main()
