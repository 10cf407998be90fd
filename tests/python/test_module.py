"""Module start-up, state and clean-up: import, lock/unlock, _cleanup, the package's classes."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import zelmolib
import _zelmolib

HERE = os.path.dirname(os.path.abspath(__file__))


def run_python(code, env_extra=None, package_dir=None, timeout=60):
    """Runs code in a fresh interpreter with the module on the path; returns the result."""
    env = dict(os.environ)
    paths = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    if package_dir:
        # A stand-in package of the test's own replaces the project's one.
        paths = [package_dir] + [p for p in paths if not os.path.isdir(os.path.join(p, "zelmolib"))]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env.update(env_extra or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


class ImportTest(unittest.TestCase):
    def test_module_docstring_and_types(self):
        self.assertEqual(_zelmolib.__doc__, "zelmolib support module")
        for name in ("Decimal", "Deferred"):
            self.assertIsInstance(getattr(_zelmolib, name), type)
        self.assertEqual(_zelmolib.lock.__doc__, "lock()\n\nAcquires the global QPX threads lock.")
        self.assertEqual(_zelmolib._cleanup.__doc__, "_cleanup()\n\nCleanup resources.")

    def test_missing_package_class_fails_the_import(self):
        for present in ("class Error(Exception): pass",
                        "class JSONError(Exception): pass"):
            with self.subTest(present=present), tempfile.TemporaryDirectory() as tmp:
                os.mkdir(os.path.join(tmp, "zelmolib"))
                with open(os.path.join(tmp, "zelmolib", "__init__.py"), "w") as f:
                    f.write(present + "\n")
                result = run_python("""
                    import zelmolib
                    try:
                        import _zelmolib
                    except ImportError as e:
                        print("ImportError", e)
                    """, package_dir=tmp)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("ImportError", result.stdout)

    def test_import_without_the_package_fails_cleanly(self):
        result = run_python("""
            import sys
            try:
                import _zelmolib
            except ImportError as e:
                print("ImportError")
            print("zelmolib" in sys.modules)
            """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split(), ["ImportError", "False"])


class LockTest(unittest.TestCase):
    def test_lock_is_recursive(self):
        self.assertIsNone(_zelmolib.lock())
        self.assertIsNone(_zelmolib.lock())
        self.assertIsNone(_zelmolib.unlock())
        self.assertIsNone(_zelmolib.unlock())

    def test_lock_excludes_another_thread(self):
        import threading
        order = []
        _zelmolib.lock()
        t = threading.Thread(target=lambda: (_zelmolib.lock(), order.append("other"),
                                             _zelmolib.unlock()))
        t.start()
        t.join(0.2)
        order.append("main")
        _zelmolib.unlock()
        t.join(30)
        self.assertEqual(order, ["main", "other"])


class CleanupTest(unittest.TestCase):
    def test_cleanup_aborts_timers_and_stops_new_ones(self):
        result = run_python("""
            import zelmolib, _zelmolib, time
            calls = []
            d = _zelmolib.start_timer(10000, calls.append, 1)
            idle = []
            _zelmolib.set_default_idle_callback(lambda: idle.append(1))
            _zelmolib._cleanup()
            print(d.aborted, d.executed)
            late = _zelmolib.start_timer(0, calls.append, 2)
            time.sleep(0.2)
            print(late.pending, late.aborted, calls)
            _zelmolib._cleanup()
            """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.split("\n")[:2], ["True False", "True False []"])

    def test_cleanup_from_another_thread_does_nothing(self):
        result = run_python("""
            import threading, zelmolib, _zelmolib
            t = threading.Thread(target=_zelmolib._cleanup)
            t.start(); t.join()
            fired = threading.Event()
            _zelmolib.start_timer(0, lambda u: fired.set())
            print(fired.wait(30))
            """)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "True")

    def test_exit_does_not_wait_for_pending_timers(self):
        # Without _cleanup the module's own tear-down must abort the timer: a 10-minute
        # wait would run into the subprocess time-out.
        result = run_python("""
            import atexit, zelmolib, _zelmolib
            atexit.unregister(_zelmolib._cleanup)
            d = _zelmolib.start_timer(600000, print, "never")
            print("started")
            """, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "started")

    def test_destroy_thread_hook_runs_on_workers(self):
        result = run_python("""
            import atexit, zelmolib
            seen = []
            zelmolib._on_destroy_thread = lambda: seen.append(1)
            import _zelmolib
            atexit.unregister(_zelmolib._cleanup)
            print("ok")
            """)
        self.assertEqual(result.returncode, 0, result.stderr)


if __name__ == "__main__":
    unittest.main()


class ErrorTest(unittest.TestCase):
    def raised(self, call, *args):
        import native
        with self.assertRaises(Exception) as cm:
            getattr(native, call)(*args)
        return cm.exception

    def test_reply_table_form(self):
        translate = lambda code: self.raised("raise_for_client", code).args[1]
        cases = [
            (0, {"ERRNO": 7, "ERROR": "x"}, (7, "x")),
            (0, {"ERRNO": 7}, (7, translate(7))),
            (0, {}, (0, translate(0))),
            (0, None, (0, translate(0))),
            (5, {"ERRNO": 7, "ERROR": "x"}, (5, "x")),
            (5, {"ERROR": ""}, (5, translate(5))),
            (5, {"ERROR": "m\u00e8"}, (5, "m\u00e8")),
        ]
        for code, reply, expected in cases:
            with self.subTest(code=code, reply=reply):
                e = self.raised("raise_for_reply", code, reply)
                self.assertIs(type(e), zelmolib.Error)
                self.assertEqual(e.args, expected)

    def test_client_form_uses_the_status_text(self):
        e = self.raised("raise_for_client", 4)
        self.assertIs(type(e), zelmolib.Error)
        self.assertEqual(e.args, (4, "Tempo scaduto"))


class StringArgumentTest(unittest.TestCase):
    def test_accepted_and_refused(self):
        import native
        self.assertEqual(native.convert_string(b"ab\x00cd"), b"ab")
        self.assertEqual(native.convert_string("ab\x00cd"), b"ab\x00cd")
        self.assertEqual(native.convert_string("\u00e8" * 40), "\u00e8".encode() * 40)
        for bad in (1, bytearray(b"x"), None):
            with self.subTest(bad=bad), self.assertRaises(ValueError) as cm:
                native.convert_string(bad)
            self.assertEqual(str(cm.exception), "Expected 'str' or 'unicode' object")
        with self.assertRaises(UnicodeEncodeError):
            native.convert_string("\udc80")


class StateReferenceTest(unittest.TestCase):
    """What the module state keeps between calls: the collector must see it, and
    keeping it must not cost a reference per call."""

    def test_cached_keys_and_decimal_class_are_visited(self):
        import decimal
        import gc
        import native
        _, back = native.roundtrip({"visited key": 1})
        key = next(iter(back))
        # A comparison that 38 digits cannot hold goes through decimal.Decimal.
        self.assertLess(_zelmolib.Decimal(1), 10 ** 40)
        referents = gc.get_referents(_zelmolib)
        self.assertTrue(any(r is key for r in referents))
        self.assertTrue(any(r is decimal.Decimal for r in referents))

    def test_cached_keys_keep_steady_references(self):
        import native
        short, long_ = "steady", "k" * 65
        first = native.roundtrip({short: 1, long_: 2})[1]
        kept = [k for k in first if k == short][0]
        held = sys.getrefcount(kept)
        for _ in range(200):
            again = native.roundtrip({short: 1, long_: 2})[1]
            keys = list(again)
            # Short keys share the cached str; long ones get a str of their own.
            self.assertIs(keys[0], kept)
            self.assertIsNot(keys[1], list(first)[1])
            del again, keys
        self.assertEqual(sys.getrefcount(kept), held)
