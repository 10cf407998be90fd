"""Load on the stand-in business server: eight threads sharing one Client and 32
Clients side by side, every request answered exactly once with its own reply, and the
server's worker threads back at their base count afterwards."""

import collections
import sys
import threading
import time
import unittest

import zelmolib  # noqa: F401  (loads the native module)
import _zelmolib
from client_fixture import BLOB, ECHO, WAIT, BusinessServer

STATUS = 1006  # {"WORKERS": worker threads, "CLIENTS": connected clients}
SETTLE_SECONDS = 120  # workers retire as the server's load average decays


class Tally:
    """Counts the completions of asynchronous requests by key."""

    def __init__(self, expected):
        self.expected = expected
        self.success = self._success  # one object each, whose references are counted
        self.error = self._error
        self.lock = threading.Lock()
        self.completions = collections.Counter()
        self.wrong = []
        self.errors = []
        self.done = threading.Event()

    def _count(self, key):
        self.completions[key] += 1
        if sum(self.completions.values()) >= self.expected:
            self.done.set()

    def _success(self, reply, key):
        with self.lock:
            if (reply.get("who"), reply.get("seq")) != key:
                self.wrong.append((key, reply))
            self._count(key)

    def _error(self, code, message, key):
        with self.lock:
            self.errors.append((key, code, message))
            self._count(key)


class LoadTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = BusinessServer()
        cls.addClassCleanup(cls.server.stop)
        cls.observer = cls.connect()
        cls.base = cls.status()["WORKERS"]

    @classmethod
    def connect(cls):
        client = _zelmolib.Client()
        client.connect(host="127.0.0.1", port=cls.server.port, timeout=10000)
        return client

    @classmethod
    def status(cls):
        return cls.observer.execute(STATUS)

    def assert_settles(self):
        """The server ends with only the observer connected and its base workers."""
        deadline = time.monotonic() + SETTLE_SECONDS
        status = self.status()
        while (status["WORKERS"], status["CLIENTS"]) != (self.base, 1):
            if time.monotonic() > deadline:
                break
            time.sleep(0.5)
            status = self.status()
        self.assertEqual((status["WORKERS"], status["CLIENTS"]), (self.base, 1))

    def run_threads(self, target, count):
        failures = []

        def guarded(n):
            try:
                target(n)
            except Exception as e:  # reported on the main thread
                failures.append((n, repr(e)))

        threads = [threading.Thread(target=guarded, args=(n,)) for n in range(count)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(WAIT * 4)
            self.assertFalse(t.is_alive(), "a thread did not finish")
        self.assertEqual(failures, [])

    def check(self, tally, sync_wrong, references):
        self.assertTrue(tally.done.wait(WAIT), "requests without a completion")
        # Each Deferred holds its callables: all released once every request ended
        # (the last completion releases its Deferred just after its callable returns).
        def held():
            return sys.getrefcount(tally.success), sys.getrefcount(tally.error)

        deadline = time.monotonic() + WAIT
        while held() != references and time.monotonic() < deadline:
            time.sleep(0.01)
        self.assertEqual(held(), references)
        with tally.lock:
            self.assertEqual(tally.errors, [])
            self.assertEqual(tally.wrong, [])
            self.assertEqual(sync_wrong, [])
            self.assertEqual(len(tally.completions), tally.expected)
            self.assertEqual(set(tally.completions.values()), {1})

    def test_eight_threads_share_one_client(self):
        threads, per_thread = 8, 1000
        client = self.connect()
        tally = Tally(threads * per_thread // 2)  # every other request is asynchronous
        sync_wrong = []
        references = (sys.getrefcount(tally.success), sys.getrefcount(tally.error))

        def worker(t):
            for i in range(per_thread):
                data = {"who": t, "seq": i, "pad": "p" * (i % 64)}
                if i % 2:
                    client.execute(ECHO, data, success=tally.success, error=tally.error,
                                   userdata=(t, i))
                else:
                    reply = client.execute(ECHO, data)
                    if (reply["who"], reply["seq"], reply["pad"]) != (t, i, data["pad"]):
                        sync_wrong.append(((t, i), reply))

        self.run_threads(worker, threads)
        self.check(tally, sync_wrong, references)
        self.assertEqual(client.execute(ECHO, {"who": "after"})["who"], "after")
        client.disconnect()
        self.assert_settles()

    def test_large_requests_and_replies(self):
        # Multi-chunk packets both ways, back to back on one connection: each must
        # arrive whole however the kernel buffers its segments.
        client = self.connect()
        blob = bytes(range(256)) * 4096  # 1 MiB
        for i in range(40):
            reply = client.execute(ECHO, {"seq": i, "data": blob})
            self.assertEqual((reply["seq"], reply["data"]), (i, blob))
            reply = client.execute(BLOB, {"bytes": len(blob)})
            self.assertEqual(len(reply["DATA"]), len(blob))
        client.disconnect()
        self.assert_settles()

    def test_thirty_two_clients(self):
        clients, per_client = 32, 100
        tally = Tally(clients * per_client // 2)
        sync_wrong = []
        ids = []
        references = (sys.getrefcount(tally.success), sys.getrefcount(tally.error))

        def worker(c):
            client = self.connect()
            ids.append(client.get_id())
            for i in range(per_client):
                data = {"who": c, "seq": i}
                if i % 2:
                    client.execute(ECHO, data, success=tally.success, error=tally.error,
                                   userdata=(c, i))
                else:
                    reply = client.execute(ECHO, data)
                    if (reply["who"], reply["seq"]) != (c, i):
                        sync_wrong.append(((c, i), reply))
            tally.done.wait(WAIT)
            client.disconnect()

        self.run_threads(worker, clients)
        self.check(tally, sync_wrong, references)
        self.assertEqual(len(set(ids)), clients)
        self.assert_settles()


if __name__ == "__main__":
    unittest.main()
