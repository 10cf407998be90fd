"""Deferred objects, timers on worker threads, the interpreter time limit, power and idle
callables."""

import os
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import native
import zelmolib
import _zelmolib
from client_fixture import wait_for


class DeferredTest(unittest.TestCase):
    def test_no_constructor(self):
        with self.assertRaises(TypeError):
            _zelmolib.Deferred()
        self.assertEqual(_zelmolib.Deferred.__doc__, "Deferred objects")

    def test_cancel_before_the_delay(self):
        calls = []
        d = _zelmolib.start_timer(60000, calls.append, 1)
        self.assertEqual((d.aborted, d.executed, d.pending), (False, False, True))
        self.assertIsNone(d.cancel())
        self.assertIsNone(d.cancel())
        self.assertTrue(d.aborted)
        self.assertTrue(wait_for(lambda: not d.pending))
        self.assertEqual((d.aborted, d.executed, d.pending), (True, False, False))
        self.assertEqual(calls, [])

    def test_cancel_wakes_its_timer_at_once(self):
        # A cancelled timer's job ends at once: it does not wait out its delay, holding a
        # worker all along. The bound is far below the delay, so a cancel that does not
        # wake the job fails here in two seconds.
        calls = []
        timers = [_zelmolib.start_timer(5000 + i, calls.append, i) for i in range(12)]
        self.assertTrue(all(d.pending for d in timers))
        # Let the jobs start waiting: a timer cancelled before its job runs is never waited.
        threading.Event().wait(0.3)
        for d in timers:
            d.cancel()
        self.assertTrue(wait_for(lambda: not any(d.pending for d in timers), limit=2.0),
                        [d.pending for d in timers])
        self.assertEqual(calls, [])
        self.assertTrue(all(d.aborted and not d.executed for d in timers))

    def test_cancel_after_firing_only_sets_aborted(self):
        fired = threading.Event()
        d = _zelmolib.start_timer(0, lambda u: fired.set())
        self.assertTrue(fired.wait(30))
        self.assertTrue(wait_for(lambda: d.executed))
        d.cancel()
        self.assertEqual((d.aborted, d.executed, d.pending), (True, True, False))


class TimerTest(unittest.TestCase):
    def test_callback_runs_on_a_worker_with_user_data(self):
        got = []
        done = threading.Event()

        def callback(value):
            got.append((value, threading.get_ident() != threading.main_thread().ident))
            done.set()

        for delay, args, expected in ((50, (42,), 42), (-5, (), None), (0, ("x",), "x")):
            with self.subTest(delay=delay):
                got.clear()
                done.clear()
                d = _zelmolib.start_timer(delay, callback, *args)
                self.assertTrue(done.wait(30))
                self.assertTrue(wait_for(lambda: d.executed))
                self.assertEqual(got, [(expected, True)])
                self.assertEqual((d.pending, d.aborted), (False, False))

    def test_many_timers_fire_once_each(self):
        counts = {}
        lock = threading.Lock()

        def callback(i):
            with lock:
                counts[i] = counts.get(i, 0) + 1

        timers = [_zelmolib.start_timer(i % 20, callback, i) for i in range(200)]
        self.assertTrue(wait_for(lambda: all(t.executed for t in timers)))
        self.assertEqual(counts, {i: 1 for i in range(200)})

    def test_raising_callback_is_reported_not_propagated(self):
        def callback(_):
            raise KeyError("boom")

        d = _zelmolib.start_timer(0, callback)
        self.assertTrue(wait_for(lambda: d.executed))

    def test_keywords(self):
        d = _zelmolib.start_timer(milliseconds=0, callback=lambda u: None, userdata=1)
        self.assertTrue(wait_for(lambda: d.executed))
        with self.assertRaises(TypeError):
            _zelmolib.start_timer("1", print)


class TimeLimitTest(unittest.TestCase):
    def tearDown(self):
        _zelmolib.set_interpreter_timeout(None)

    def test_set_and_get(self):
        self.assertIsNone(_zelmolib.get_interpreter_timeout())
        self.assertIsNone(_zelmolib.get_interpreter_time_left())
        self.assertIsNone(_zelmolib.set_interpreter_timeout(500000))
        self.assertEqual(_zelmolib.set_interpreter_timeout(600000), 500000)
        self.assertEqual(_zelmolib.get_interpreter_timeout(), 600000)
        left = _zelmolib.get_interpreter_time_left()
        self.assertTrue(0 <= left <= 600000)
        self.assertEqual(_zelmolib.set_interpreter_timeout(0), 600000)
        self.assertIsNone(sys.gettrace())

    def test_time_limit_ends_a_loop_through_timeout_handler(self):
        from zelmolib import scripting
        _zelmolib.set_interpreter_timeout(50)
        with self.assertRaises(scripting.TimeoutError):
            while True:
                pass
        self.assertIsNone(_zelmolib.get_interpreter_timeout())

    def test_returning_handler_restarts_the_limit(self):
        from zelmolib import scripting
        calls = []
        original = scripting.timeout_handler
        scripting.timeout_handler = lambda: calls.append(1)
        try:
            _zelmolib.set_interpreter_timeout(20)
            while len(calls) < 2:
                pass
            self.assertEqual(_zelmolib.get_interpreter_timeout(), 20)
        finally:
            scripting.timeout_handler = original


class PowerAndIdleTest(unittest.TestCase):
    def tearDown(self):
        _zelmolib.set_power_callbacks(None, None)

    def test_power_events_call_the_callables(self):
        events = []
        _zelmolib.set_power_callbacks(lambda: events.append("suspend"),
                                      lambda: events.append("resume"))
        for event in (1, 2, 3):
            native.power_event(event)
        self.assertEqual(events, ["suspend", "resume"])

    def test_power_event_from_a_thread_while_the_threads_lock_is_held(self):
        # The event waits for the lock with the interpreter lock released, so the
        # holder (this thread) can go on running Python meanwhile.
        events = []
        _zelmolib.set_power_callbacks(lambda: events.append("suspend"), None)
        _zelmolib.lock()
        t = threading.Thread(target=native.power_event, args=(1,))
        t.start()
        time.sleep(0.05)
        self.assertEqual(events, [])
        _zelmolib.unlock()
        t.join(30)
        self.assertEqual(events, ["suspend"])

    def test_missing_callables(self):
        _zelmolib.set_power_callbacks(None, None)
        native.power_event(2)
        with self.assertRaises(TypeError):
            _zelmolib.set_power_callbacks(None)
        self.assertIsNone(_zelmolib.set_default_idle_callback(None))


class ShutdownTest(unittest.TestCase):
    def run_script(self, code):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=120)

    def test_power_event_after_cleanup_calls_nothing(self):
        here = os.path.dirname(os.path.abspath(__file__))
        r = self.run_script("""
            import sys
            sys.path.insert(0, %r)
            import native, _zelmolib
            _zelmolib.set_power_callbacks(lambda: print("called"), lambda: print("called"))
            _zelmolib._cleanup()
            native.power_event(1)
            native.power_event(2)
            print("done")
            """ % here)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), "done")

    def test_cleanup_calls_idle_while_jobs_run(self):
        r = self.run_script("""
            import time, zelmolib, _zelmolib
            idle = []
            _zelmolib.set_default_idle_callback(lambda: idle.append(1))
            # A job that runs for a while without a timer: a timer aborted by the clean-up.
            import threading
            started = threading.Event()
            def slow(_):
                started.set()
                time.sleep(0.4)
            _zelmolib.start_timer(0, slow)
            started.wait(30)
            _zelmolib._cleanup()
            print(len(idle) >= 1)
            """)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.strip(), "True")


if __name__ == "__main__":
    unittest.main()


class WakeUpTest(unittest.TestCase):
    def test_wake_up_without_cancel_keeps_the_timer(self):
        import ctypes
        signal = ctypes.CDLL(_zelmolib.__file__)._ZN12CL_Condition6SignalEv
        signal.argtypes = [ctypes.c_void_p]
        # The condition is the Deferred's last field (two pointers).
        offset = _zelmolib.Deferred.__basicsize__ - 16
        fired = threading.Event()
        d = _zelmolib.start_timer(400, lambda u: fired.set())
        for _ in range(20):
            time.sleep(0.01)
            signal(id(d) + offset)
        self.assertTrue(fired.wait(30))
        self.assertTrue(wait_for(lambda: d.executed))
        self.assertFalse(d.aborted)


class PowerAtExitTest(unittest.TestCase):
    def test_exit_while_a_power_callable_runs(self):
        here = os.path.dirname(os.path.abspath(__file__))
        r = subprocess.run([sys.executable, "-c", textwrap.dedent("""
            import sys, threading, time
            sys.path.insert(0, %r)
            import native, _zelmolib
            started = threading.Event()
            def suspend():
                started.set()
                time.sleep(0.3)
                print("suspend done", flush=True)
            _zelmolib.set_power_callbacks(suspend, None)
            threading.Thread(target=native.power_event, args=(1,), daemon=True).start()
            started.wait(30)
            print("exiting", flush=True)
            """ % here)], capture_output=True, text=True, timeout=120)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.split("\n")[:2], ["exiting", "suspend done"])
