"""Memory stays flat over 100,000 conversions, Decimal operations and Deferred round trips.

  PYTHONPATH=build/python:python:tests/python python bench/python/leak_check.py
Each loop runs 10,000 times to warm up, then 100,000 times between two measurements of the
traced Python heap (tracemalloc) and the process's resident size.
"""

import datetime
import gc
import threading
import tracemalloc

import native
import _zelmolib
from _zelmolib import Decimal as D

N = 100000


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def rss_kib():
    return status("VmRSS")


ROW = {"ID": 7, "NAME": "Articolo \u00e8", "PRICE": D("12.34"), "QTY": 1.5, "OK": True,
       "DAY": datetime.date(2024, 2, 29), "AT": datetime.datetime(2024, 2, 29, 12, 0, 1, 5000),
       "T": datetime.time(1, 2, 3), "B": b"\x00\x01", "L": [1, "x", None, (2, 3)], "N": None}


def conversions(n):
    for _ in range(n):
        with native.Entry() as e:
            e.from_py(ROW)
            back = e.to_py()
        assert back["PRICE"] == ROW["PRICE"]
    # Failing conversions release what they built.
    for _ in range(n // 10):
        try:
            native.roundtrip([1, 2 ** 70])
        except OverflowError:
            pass


def decimal_ops(n):
    a, b = D("12345.6789"), D("-987.654321")
    for i in range(n):
        c = (a + b) * b / a - b % a
        divmod(a, b)
        c.round("0.05").format(2, 12, 1)
        hash(c), str(c), float(c), int(c), c < b, D(str(i)), D(i) ** 2
        try:
            a / 0
        except ZeroDivisionError:
            pass


def deferred_round_trips(n):
    done = threading.Semaphore(0)
    batch = 1000
    for start in range(0, n, batch):
        timers = [_zelmolib.start_timer(0, lambda u: done.release(), i)
                  for i in range(start, start + batch)]
        for _ in timers:
            done.acquire()
        cancelled = _zelmolib.start_timer(60000, print)
        cancelled.cancel()


def measure(name, loop):
    # The warm-up also grows the dispatcher's worker pool to what the loop needs.
    loop(N // 10)
    gc.collect()
    before_traced = tracemalloc.get_traced_memory()[0]
    before_rss = rss_kib()
    before_threads = status("Threads")
    loop(N)
    gc.collect()
    after_traced = tracemalloc.get_traced_memory()[0]
    after_rss = rss_kib()
    print("%-22s tracemalloc %+9d bytes   RSS %+7d KiB (%d -> %d KiB)   threads %d -> %d"
          % (name, after_traced - before_traced, after_rss - before_rss, before_rss, after_rss,
             before_threads, status("Threads")))


if __name__ == "__main__":
    tracemalloc.start()
    measure("conversions", conversions)
    measure("decimal operations", decimal_ops)
    measure("deferred round trips", deferred_round_trips)
