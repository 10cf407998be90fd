"""Time of a synchronous Client.connect to the stand-in business server on loopback,
with 0, 20, 40 and 120 module timers pending (each holds a dispatcher worker for its
whole wait), and the time a request queued behind a long one takes to succeed.

    PYTHONPATH=build/python:python python bench/python/connect_bench.py [--tools build/tools]
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

import zelmolib  # noqa: F401  (the package must be loaded before the module)
import _zelmolib

ECHO, WORK = 1000, 1001


def start_server(tools):
    proc = subprocess.Popen([os.path.join(tools, "business_server")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return proc, int(proc.stdout.readline())


def connect_times(port, rounds):
    client = _zelmolib.Client()
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        client.connect(host="127.0.0.1", port=port, timeout=30000)
        times.append((time.perf_counter() - start) * 1000)
        client.disconnect()
    return times


def with_timers(port, count, rounds):
    timers = [_zelmolib.start_timer(60000, lambda u: None) for _ in range(count)]
    # The timers take their workers as they start waiting.
    time.sleep(0.3)
    try:
        return connect_times(port, rounds)
    finally:
        for timer in timers:
            timer.cancel()
        time.sleep(0.3)


def queued_behind(port):
    """An ECHO with a 1.5 s time-out behind an asynchronous WORK of 4 s on one client."""
    client = _zelmolib.Client()
    client.connect(host="127.0.0.1", port=port, timeout=10000)
    done = threading.Event()
    client.execute(WORK, {"ms": 4000}, timeout=10000, success=lambda r, u: done.set(),
                   error=lambda c, m, u: done.set())
    time.sleep(0.2)
    start = time.perf_counter()
    try:
        client.execute(ECHO, {"x": 1}, timeout=1500)
        outcome = "succeeded"
    except zelmolib.Error as error:
        outcome = "failed with %d" % error.args[0]
    elapsed = time.perf_counter() - start
    done.wait(10)
    client.disconnect()
    return outcome, elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tools", default="build/tools")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    proc, port = start_server(args.tools)
    try:
        for count in (0, 20, 40, 120):
            times = with_timers(port, count, args.rounds)
            # The first connect is the one that meets every worker busy; the
            # dispatcher has grown by the later ones.
            print("connect with %3d timers pending: first %8.2f ms, median of the rest %8.2f ms"
                  % (count, times[0], statistics.median(times[1:])))
        outcome, elapsed = queued_behind(port)
        print("ECHO (1.5 s time-out) behind a 4 s WORK: %s after %.2f s" % (outcome, elapsed))
    finally:
        proc.stdin.close()
        proc.wait(10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
