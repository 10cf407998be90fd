"""Module start-up, state and clean-up: import, lock/unlock, _cleanup, the package's classes."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import zelmolib
import _zelmolib
from client_fixture import ECHO, BusinessServer

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

    def test_functions_come_in_the_order_of_the_method_table(self):
        # The functions are the module's first names after the module's own attributes,
        # before the types, in the order of its method table.
        table = ["host_lookup", "get_network_interfaces", "get_machine_uuid",
                 "get_system_info", "save_xml", "load_xml", "start_timer", "hash_password",
                 "lock", "unlock", "_cleanup", "set_default_idle_callback",
                 "set_power_callbacks", "checksum", "get_application_log_path",
                 "set_interpreter_timeout", "get_interpreter_timeout",
                 "get_interpreter_time_left", "_set_process_foreground", "_apply_stylesheet",
                 "_check_all", "regexp_find_all"]
        names = [name for name in vars(_zelmolib) if not name.startswith("__")]
        self.assertEqual(names[:len(table)], table)
        self.assertEqual(names[len(table):], ["Decimal", "Client", "Deferred", "JSONEncoder",
                                              "JSONDecoder", "NamedSemaphore"])

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

    def test_forked_child_refuses_asynchronous_calls_and_ends(self):
        # The child reports through a pipe, then must end by itself within a second,
        # although the parent has a timer pending at the fork. Through the NamedSemaphore
        # inherited from the parent, which held it then, the child takes the unit the
        # parent releases and ends holding it: it gives back that unit alone, and the
        # count is 1 again (not 2, the parent's given back too; not 0, its own kept).
        server = BusinessServer()
        self.addCleanup(server.stop)
        result = run_python("""
            import ctypes, os, select, threading, zelmolib, _zelmolib
            from _multiprocessing import sem_unlink
            fired = threading.Event()
            _zelmolib.start_timer(0, lambda u: fired.set())
            assert fired.wait(30)
            _zelmolib.start_timer(600000, print)
            name = "zl_fork_%%d" %% os.getpid()
            sem = _zelmolib.NamedSemaphore(name)
            sem.acquire()
            r, w = os.pipe()
            if (pid := os.fork()) == 0:
                got = []
                for call in (lambda: _zelmolib.start_timer(0, print),
                             lambda: _zelmolib.Client().execute(%(echo)d, success=print)):
                    try:
                        got.append(call())
                    except RuntimeError as e:
                        got.append("spawn" in str(e))
                new = _zelmolib.Client()
                new.connect(host="127.0.0.1", port=%(port)d)
                os.write(w, repr(got + [new.execute(%(echo)d, {"A": 1})["A"]]).encode())
                sem.acquire()
            else:
                sem.release()
                print(os.read(r, 1000).decode())
                if not select.select([os.pidfd_open(pid)], [], [], 1.0)[0]:
                    os.kill(pid, 9)
                print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
                libc = ctypes.CDLL(None)
                libc.sem_open.restype = ctypes.c_void_p
                count = ctypes.c_int(-1)
                libc.sem_getvalue(ctypes.c_void_p(libc.sem_open(b"/" + name.encode(), 0)),
                                  ctypes.byref(count))
                sem_unlink("/" + name)
                print(count.value)
            """ % {"port": server.port, "echo": ECHO})
        self.assertEqual(result.stdout.split("\n")[:3], ["[True, True, 1]", "0", "1"],
                         result.stderr)

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

    def test_table_messages_are_raised_as_the_table_gives_them(self):
        import native
        import re
        conversion = re.compile(r"%[-+ #0-9.*hlLqjzt]*[a-zA-Z]")
        # Placeholders stay: they are the server's to fill.
        expected = {4006: "Utente '%s' non trovato", 2039: "Il database '%s' esiste già",
                    2049: "Errore durante il backup del database '%s': %s",
                    2101: "'%s' non è un driver QPX valido",
                    2103: "[%s] Il driver non supporta di ottenere la lista dei database",
                    2075: "La dimensione degli allegati supera il limite consentito (%lld byte)",
                    2043: "Sessione '%s' iniziata da %s",
                    6500: "Cambiato lo stato del documento elettronico da '%s' a '%s'",
                    6100: "%s"}
        with_placeholder = 0
        for code in list(range(-20, 600)) + list(range(1999, 9600)):
            table = native.get_error(code)
            with_placeholder += bool(conversion.search(table))
            for form in ("raise_for_client", "raise_for_reply"):
                args = (code,) if form == "raise_for_client" else (code, {"ERRNO": code})
                message = self.raised(form, *args).args[1]
                self.assertEqual(message, table, (code, form))
                self.assertTrue(message, code)
                if code in expected:
                    self.assertEqual(message, expected[code])
        self.assertGreater(with_placeholder, 100)
        # The server's own text comes first, percent signs included.
        self.assertEqual(self.raised("raise_for_reply", 4006, {"ERROR": "50% '%s'"}).args,
                         (4006, "50% '%s'"))

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


class TextWithNulTest(unittest.TestCase):
    """A str keeps every character: where a text would end at its first NUL (a C string,
    a document, a table key), a str holding one is refused instead of cut there."""

    XSLT = ('<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">'
            '<xsl:output method="text"/><xsl:template match="/">[<xsl:value-of select="a"/>]'
            '</xsl:template></xsl:stylesheet>')

    def refused(self, call):
        with self.assertRaises(ValueError) as cm:
            call()
        self.assertEqual(str(cm.exception), "embedded null character")

    def test_names_and_documents(self):
        self.refused(lambda: _zelmolib.host_lookup("localhost\x00.example"))
        self.refused(lambda: _zelmolib.host_lookup(address="127.0.0.1\x00"))
        self.refused(lambda: _zelmolib.NamedSemaphore("zl-nul\x00name"))
        self.refused(lambda: _zelmolib.JSONEncoder("utf-8\x00junk"))
        self.refused(lambda: _zelmolib.JSONDecoder("utf-8\x00junk"))
        self.refused(lambda: _zelmolib.load_xml(_zelmolib.save_xml({"a": 1}) + "\x00<b/>"))
        self.refused(lambda: _zelmolib._apply_stylesheet("<a>x</a>\x00<b/>", self.XSLT))
        self.refused(lambda: _zelmolib._apply_stylesheet("<a>x</a>", self.XSLT + "\x00"))
        self.refused(lambda: _zelmolib.Client().connect(
            server={"host": "127.0.0.1\x00x", "port": 1}, timeout=100))
        self.refused(lambda: _zelmolib.Client().connect(host="127.0.0.1\x00x", port=1))
        self.refused(lambda: _zelmolib.Decimal.set_locale("it_IT\x00x"))
        # Bytes end at their first NUL, as every bytes text does.
        self.assertEqual(_zelmolib.host_lookup(b"127.0.0.1\x00junk"),
                         _zelmolib.host_lookup("127.0.0.1"))

    def test_tables_and_xml(self):
        import native
        for value in ({"a\x00b": 1}, {"ok": {"in\x00ner": 1}}, {"ok": [{"k\x00": 2}]}):
            with self.subTest(value=value):
                self.refused(lambda: native.roundtrip(value))
                self.refused(lambda: _zelmolib.save_xml(value))
        # Text values carry their NULs through tables, but not into XML.
        self.assertEqual(native.roundtrip({"t": "x\x00y"}), ("T", {"t": "x\x00y"}))
        for value in ({"t": "x\x00y"}, {"l": ["ok", ["deep\x00"]]}, {"m": {"n": "\x00"}}):
            with self.subTest(value=value):
                self.refused(lambda: _zelmolib.save_xml(value))
        self.assertEqual(native.roundtrip({b"k\x00cut": 1}), ("T", {"k": 1}))

    def test_file_name_of_decoder_messages_is_whole(self):
        decoder = _zelmolib.JSONDecoder("utf-8", "data\x00.json")
        with self.assertRaises(zelmolib.JSONError) as cm:
            decoder.parse("[1,]")
        self.assertTrue(cm.exception.args[0].startswith("data\x00.json, position "))
        decoder = _zelmolib.JSONDecoder()
        decoder.set_filename("x\x00y")
        with self.assertRaises(zelmolib.JSONError) as cm:
            decoder.parse("]")
        self.assertTrue(cm.exception.args[0].startswith("x\x00y, position "))


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
