"""One Client shared by several threads (under a storm of interrupts too), Clients
dropped and the module cleaned up with requests in flight, and a server that dies
mid-request."""

import collections
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import zelmolib
import _zelmolib
from client_fixture import (ECHO, WAIT, WORK, BusinessServer, Outcome, ServerTestCase,
                            server_program)

THREADS = 8
PER_THREAD = 60


class SharedClientTest(ServerTestCase):
    def test_threads_share_one_client(self):
        client = self.client
        completions = collections.Counter()
        wrong = []
        lock = threading.Lock()
        all_done = threading.Event()
        expected = THREADS * PER_THREAD // 2  # every other request is asynchronous
        errors = []

        def success(reply, key):
            with lock:
                completions[key] += 1
                if (reply["thread"], reply["seq"]) != key:
                    wrong.append((reply, key))
                if sum(completions.values()) == expected:
                    all_done.set()

        def error(code, message, key):
            with lock:
                errors.append((key, code, message))
                all_done.set()

        def worker(t):
            try:
                for i in range(PER_THREAD):
                    data = {"thread": t, "seq": i, "pad": "x" * (i * 37 % 500)}
                    if i % 2:
                        client.execute(ECHO, data, success=success, error=error, userdata=(t, i))
                    elif i % 6 == 0:
                        self.assertEqual(len(client.list_drivers()), 2)
                    else:
                        reply = client.execute(ECHO, data)
                        if (reply["thread"], reply["seq"]) != (t, i):
                            wrong.append((reply, (t, i)))
            except Exception as e:  # reported by the main thread
                errors.append(e)

        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(WAIT)
            self.assertFalse(th.is_alive())
        self.assertTrue(all_done.wait(WAIT))
        self.assertEqual(errors, [])
        self.assertEqual(wrong, [])
        self.assertEqual(len(completions), expected)
        self.assertEqual(set(completions.values()), {1})
        # Still one connection, still usable.
        self.assertEqual(client.execute(ECHO, {"z": 1})["z"], 1)

    def test_interrupt_storm_leaves_the_client_usable(self):
        """Threads loop on a request while interrupt() comes every 5 ms: each interrupt
        cancels every request the server holds for the Client, those still waiting for
        a worker too, so the threads come back soon after the storm and the next call is
        served at once, not behind the requests the interrupts abandoned."""
        client = self.client
        stop = threading.Event()
        self.addCleanup(stop.set)

        def loop():
            while not stop.is_set():
                try:
                    client.execute(WORK, {"ms": 100}, timeout=3000)
                except zelmolib.Error:
                    pass

        threads = [threading.Thread(target=loop, daemon=True) for _ in range(4)]
        for th in threads:
            th.start()
        end = time.monotonic() + 5
        while time.monotonic() < end:
            client.interrupt()
            time.sleep(0.005)
        stop.set()
        back = time.monotonic() + 5
        for th in threads:
            th.join(max(0.0, back - time.monotonic()))
        self.assertFalse(any(th.is_alive() for th in threads))
        outcome = Outcome()
        client.execute(ECHO, {"after": 1}, success=outcome.success, error=outcome.error)
        self.assertTrue(outcome.done.wait(1.0))
        self.assertEqual(outcome.calls[0][0], "success")

    def test_many_clients_in_parallel_threads(self):
        results = []

        def worker(n):
            c = _zelmolib.Client()
            c.connect(host="127.0.0.1", port=self.server.port)
            ok = all(c.execute(ECHO, {"n": n, "i": i})["i"] == i for i in range(20))
            results.append((ok, c.get_id()))
            c.disconnect()

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
        for th in threads:
            th.start()
        for th in threads:
            th.join(WAIT)
        self.assertEqual(len(results), THREADS)
        self.assertTrue(all(ok for ok, _ in results))
        self.assertEqual(len({cid for _, cid in results}), THREADS)


class DeadServerTest(unittest.TestCase):
    def test_server_killed_mid_request(self):
        server = BusinessServer()
        self.addCleanup(server.stop)
        client = _zelmolib.Client()
        client.connect(host="127.0.0.1", port=server.port)
        started = threading.Event()
        outcome = Outcome()
        d = client.execute(WORK, {"ms": 20000}, success=outcome.success, error=outcome.error,
                           progress=lambda *a: started.set())
        sync_result = []

        def sync_call():
            try:
                client.execute(WORK, {"ms": 20000, "progress": False})
                sync_result.append("returned")
            except zelmolib.Error as e:
                sync_result.append(e.args)

        th = threading.Thread(target=sync_call)
        th.start()
        self.assertTrue(started.wait(WAIT))
        server.kill()
        th.join(WAIT)
        self.assertFalse(th.is_alive())
        kind, (code, message, _) = outcome.wait(self)
        self.assertEqual(kind, "error")
        self.assertNotEqual(code, 0)
        self.assertIsInstance(message, str)
        self.assertEqual((d.pending, d.executed), (False, True))
        self.assertEqual(len(sync_result), 1)
        self.assertIsInstance(sync_result[0], tuple)
        self.assertNotEqual(sync_result[0][0], 0)
        self.assertEqual(len(outcome.calls), 1)
        # The same Client connects again to a new server.
        fresh = BusinessServer()
        self.addCleanup(fresh.stop)
        client.connect(host="127.0.0.1", port=fresh.port)
        self.assertEqual(client.execute(ECHO, {"a": 2})["a"], 2)
        client.disconnect()


class CleanupTest(unittest.TestCase):
    SCRIPT = textwrap.dedent("""
        import subprocess, sys, threading
        import zelmolib, _zelmolib
        server = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        port = int(server.stdout.readline())
        calls = []
        started = threading.Event()
        c = _zelmolib.Client()
        c.connect(host="127.0.0.1", port=port)
        deferreds = [c.execute(1001, {"ms": 20000}, success=calls.append,
                               error=lambda *a: calls.append(a),
                               progress=lambda *a: started.set()) for _ in range(4)]
        kept = _zelmolib.Client()
        kept.connect(host="127.0.0.1", port=port)
        started.wait(30)
        del c  # the Deferreds keep it alive until their requests end
        idle = []
        _zelmolib.set_default_idle_callback(lambda: idle.append(1))
        _zelmolib._cleanup()
        _zelmolib._cleanup()
        print("pending", [d.pending for d in deferreds])
        print("calls", calls)
        print("connected", kept.get_id())
        try:
            _zelmolib.Client()
        except RuntimeError as e:
            print("new", e)
        del kept
        server.stdin.close()
        server.wait()
    """)

    def test_cleanup_with_requests_in_flight(self):
        result = subprocess.run([sys.executable, "-c", self.SCRIPT, server_program()],
                                capture_output=True, text=True, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.splitlines(), [
            "pending [True, True, True, True]",
            "calls []",
            "connected 0",
            "new cannot instantiate Client object during termination",
        ])


if __name__ == "__main__":
    unittest.main()
