"""Client type: lifecycle and pool, connect by host and by server dict, execute in
both forms with success, error, progress and idle callbacks, cancel and interrupt."""

import contextlib
import io
import os
import subprocess
import sys
import textwrap
import threading
import unittest

import native
import zelmolib
import _zelmolib
from client_fixture import (BLOB, ECHO, FAIL, ROWS, WORK, BusinessServer, Outcome,
                            ServerTestCase, run_async, run_in_private_network, server_program,
                            wait_for)

METHOD_ORDER = [
    "list_servers", "connect", "disconnect", "get_id", "get_connection_info", "execute",
    "interrupt", "get_data_dictionary", "list_drivers", "list_databases", "create_database",
    "open_database", "close_database", "upgrade_database", "delete_database", "query_database",
    "backup_database", "restore_database", "list_backups", "delete_backup", "optimize_database",
    "repair_database", "index_database", "list_clients", "get_client_info", "kill_client",
    "authenticate", "full_text_search",
]

# Status codes of the base library met here.
CL_IPC_EXECUTE_ABORTED = 205


class TypeTest(unittest.TestCase):
    def test_type_shape(self):
        self.assertEqual(_zelmolib.Client.__doc__, "Client objects")
        self.assertEqual(_zelmolib.Client.__name__, "Client")
        methods = [n for n, v in vars(_zelmolib.Client).items() if callable(v)
                   and not n.startswith("__")]
        self.assertEqual(methods, METHOD_ORDER)
        with self.assertRaises(TypeError):
            type("Sub", (_zelmolib.Client,), {})

    def test_docstrings_have_a_call_form_and_a_description(self):
        for name in METHOD_ORDER:
            doc = getattr(_zelmolib.Client, name).__doc__
            first, blank, description = doc.split("\n", 2)
            self.assertTrue(first.startswith(name + "("), doc)
            self.assertEqual(blank, "")
            self.assertTrue(description, name)
        forms = {
            "disconnect": "disconnect()",
            "get_id": "get_id() -> int",
            "get_connection_info": "get_connection_info() -> dict | None",
            "interrupt": "interrupt()",
            "execute": "execute(command[, data, timeout, success, error, progress, idle, "
                       "userdata]) -> dict | Deferred",
            "close_database": "close_database([backup, success, error, progress, userdata, "
                              "timeout]) [ -> Deferred ]",
            "delete_backup": "delete_backup(password, backupName, position[, success, error, "
                             "progress, userdata, timeout]) [ -> Deferred ]",
            "authenticate": "authenticate(username, password[, success, error, progress, "
                            "userdata, timeout, new_password]) -> dict | Deferred",
        }
        for name, form in forms.items():
            self.assertEqual(getattr(_zelmolib.Client, name).__doc__.split("\n")[0], form)
        self.assertTrue(_zelmolib.Client.execute.__doc__.endswith(
            "Executes an operation on the server."))

    def test_new_client_is_not_connected(self):
        c = _zelmolib.Client()
        self.assertIsNone(c.get_connection_info())
        self.assertEqual(c.get_id(), 0)
        self.assertIsNone(c.disconnect())
        self.assertIsNone(c.interrupt())
        for method in ("disconnect", "get_id", "interrupt", "get_connection_info"):
            with self.assertRaises(TypeError):
                getattr(c, method)(1)

    def test_pool_hands_out_the_client_released_longest_ago(self):
        # A fresh interpreter, so that the pool starts empty.
        script = textwrap.dedent('''
            import ctypes, zelmolib, _zelmolib
            def native(c):
                return ctypes.c_void_p.from_address(id(c) + object.__basicsize__).value
            a, b = _zelmolib.Client(), _zelmolib.Client()
            first, second = native(a), native(b)
            del a
            del b
            c, d = _zelmolib.Client(), _zelmolib.Client()
            e = _zelmolib.Client()
            print(first != second, (native(c), native(d)) == (first, second),
                  native(e) not in (first, second))
        ''')
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                timeout=60)
        self.assertEqual(result.stdout.split(), ["True", "True", "True"], result.stderr)


class ConnectArgumentTest(unittest.TestCase):
    CASES = [
        ((), {}, ValueError, "either 'host' or 'server' parameter must be specified"),
        ((None,), {}, ValueError, "either 'host' or 'server' parameter must be specified"),
        (([("host", "h")],), {}, TypeError, "'server' must be a dictionary object"),
        (({},), {}, KeyError, "missing 'host' entry in server dictionary"),
        (({"port": 1},), {}, KeyError, "missing 'host' entry in server dictionary"),
        (({"host": 1, "port": 1},), {}, ValueError, "Expected 'str' or 'unicode' object"),
        (({"host": bytearray(b"h"), "port": 1},), {}, ValueError,
         "Expected 'str' or 'unicode' object"),
        (({"host": "h"},), {}, KeyError, "missing 'port' entry in server dictionary"),
        (({"host": "h", "port": 1.5},), {}, TypeError,
         "'port' entry in 'server' dictionary must be an integer object"),
        (({"host": "h", "port": None},), {}, TypeError,
         "'port' entry in 'server' dictionary must be an integer object"),
        (({"host": "h", "port": 2 ** 70},), {}, OverflowError, None),
        # A port out of range would reach another port through its low 16 bits.
        *[((), {"host": "127.0.0.1", "port": port}, ValueError,
           "'port' must be between 0 and 65535") for port in (65536, 70000, -1, 65536 + 1)],
        ((), {"host": "127.0.0.1", "port": 2 ** 40}, OverflowError, None),
        *[(({"host": "127.0.0.1", "port": port},), {}, ValueError,
           "'port' entry in 'server' dictionary must be between 0 and 65535")
          for port in (65536, "65536", 70000, 131072 + 1, -1, "70000", b"-1", "9" * 30)],
        ((), {"host": 5}, TypeError, None),
        ((), {"host": "h", "timeout": "x"}, TypeError, None),
        ((), {"host": "h", "options": {1: "x"}}, ValueError,
         "Expected 'str' or 'unicode' object"),
        ((), {"host": "h", "bogus": 1}, TypeError, None),
    ]

    def test_refusals(self):
        c = _zelmolib.Client()
        for args, kwargs, exc, text in self.CASES:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(exc) as cm:
                    c.connect(*args, **kwargs)
                if text is not None:
                    self.assertEqual(cm.exception.args[0], text)

    def test_refusal_with_success_creates_no_deferred(self):
        c = _zelmolib.Client()
        with self.assertRaises(KeyError):
            c.connect({"host": "h"}, success=print)


class NonCallableCallbackTest(ServerTestCase):
    """The asynchronous form (success given, not None) calls its callbacks with the
    reply: one that is not callable is refused at the call, before anything is sent or
    any Deferred made. The synchronous form calls none of them and takes any object;
    None stays "no callback" everywhere."""

    REQUIRED = {"execute": (ECHO,), "create_database": ("p", "sqlite", "x"),
                "open_database": ("sqlite", "demo"), "upgrade_database": ("p", "d", "n"),
                "delete_database": ("p", "d", "n"), "query_database": ("SELECT 1",),
                "backup_database": ("p", "b"), "restore_database": ("p", "b"),
                "delete_backup": ("p", "b", 0), "optimize_database": ("p",),
                "repair_database": ("p",), "index_database": ("p",), "get_client_info": (1,),
                "kill_client": (1, "p"), "authenticate": ("u", "p"),
                "full_text_search": ("x",)}
    # Synchronous calls that change nothing at the server, one per kind of method.
    SYNCHRONOUS = {"execute": (ECHO, {"a": 1}), "list_drivers": (), "open_database":
                   ("sqlite", "demo"), "query_database": ("SELECT id FROM customers",)}

    def test_every_method_refuses_a_non_callable(self):
        servers = []
        self.request_log()
        for name in METHOD_ORDER:
            if name in ("disconnect", "get_id", "get_connection_info", "interrupt"):
                continue
            slots = ["success", "error", "progress"] + (["idle"] if name == "execute" else [])
            args = self.REQUIRED.get(name, ())
            for slot in slots:
                kwargs = {"success": print, slot: 42}
                if name == "connect":
                    kwargs.update(host="127.0.0.1", port=self.server.port)
                with self.subTest(name=name, slot=slot):
                    with self.assertRaises(TypeError) as cm:
                        getattr(self.client, name)(*args, **kwargs)
                    self.assertEqual(str(cm.exception), "%s must be callable, not int" % slot)
            servers.append(name)
        _, requests = self.request_log()
        self.assertEqual(requests, [])
        self.assertEqual(len(servers), len(METHOD_ORDER) - 4)
        # None is no callback at all.
        self.assertEqual(self.client.execute(ECHO, {"a": 1}, success=None, error=None,
                                             progress=None, idle=None)["a"], 1)

    def test_the_synchronous_form_takes_any_object(self):
        others = {"error": 42, "progress": "x", "userdata": 7}
        for name, args in self.SYNCHRONOUS.items():
            with self.subTest(name=name):
                extra = {"idle": 5} if name == "execute" else {}
                expected = getattr(self.client, name)(*args)
                self.assertEqual(getattr(self.client, name)(*args, **others, **extra), expected)
        self.assertEqual(self.client.execute(ECHO, {"a": 2}, success=None, error=5)["a"], 2)
        other = _zelmolib.Client()
        self.addCleanup(other.disconnect)
        info = other.connect(host="127.0.0.1", port=self.server.port, error=1, progress=2)
        self.assertEqual(info["client_id"], other.get_id())

    def test_module_callables_take_any_object(self):
        import native
        # Kept as given and called when their time comes; a TypeError then is printed
        # and cleared.
        self.addCleanup(_zelmolib.set_power_callbacks, None, None)
        self.addCleanup(_zelmolib.set_default_idle_callback, None)
        for call in (lambda: _zelmolib.set_power_callbacks(print, 3),
                     lambda: _zelmolib.set_power_callbacks(3, None),
                     lambda: _zelmolib.set_default_idle_callback(b"x"),
                     lambda: _zelmolib.set_power_callbacks(None, "x"),
                     lambda: _zelmolib.set_default_idle_callback(5)):
            self.assertIsNone(call())
        printed = io.StringIO()
        with contextlib.redirect_stderr(printed):
            d = _zelmolib.start_timer(0, "not callable")
            self.assertTrue(wait_for(lambda: d.executed))
            self.assertEqual(self.client.execute(WORK, {"ms": 300})["ms"], 300)
            native.power_event(2)
        self.assertFalse(d.pending)
        self.assertIn("'str' object is not callable", printed.getvalue())
        self.assertIn("'int' object is not callable", printed.getvalue())
        self.assertGreaterEqual(printed.getvalue().count("TypeError"), 3)
        _zelmolib.set_default_idle_callback(None)
        d = _zelmolib.start_timer(0, None)
        self.assertTrue(wait_for(lambda: not d.pending))


class ConnectTest(ServerTestCase):
    def test_by_host_and_by_server_dict(self):
        port = self.server.port
        forms = [
            dict(host="127.0.0.1", port=port),
            dict(server={"host": "127.0.0.1", "port": port, "name": "ignored"}),
            dict(server={"host": b"127.0.0.1\0junk", "port": str(port)}),
            dict(server={"host": "127.0.0.1", "port": str(port).encode()}),
            dict(server={"host": "127.0.0.1", "port": port}, port=70000),  # ignored
            dict(server=type("D", (dict,), {})(host="127.0.0.1", port=port),
                 host="ignored", port=1),
        ]
        for kwargs in forms:
            with self.subTest(kwargs=kwargs):
                c = _zelmolib.Client()
                info = c.connect(timeout=10000, **kwargs)
                self.assertEqual(info["name"], "business_server")
                self.assertEqual(info["host"], "127.0.0.1")
                self.assertEqual(info["port"], port)
                self.assertEqual(info["client_id"], c.get_id())
                self.assertNotEqual(c.get_id(), 0)
                c.disconnect()
                self.assertEqual(c.get_id(), 0)
                self.assertIsNone(c.get_connection_info())

    def test_unusable_ports_fail_with_error(self):
        # A port text that is no number names the default port, 51965. In a private
        # network namespace nothing else listens there: such texts are refused, then
        # reach a listener bound on 51965 (which closes each connection it accepts).
        refused, seen = run_in_private_network(self, """
            import socket, threading, zelmolib, _zelmolib
            def attempts():
                for text in ("abc", "", "80x"):
                    c = _zelmolib.Client()
                    try:
                        c.connect({"host": "127.0.0.1", "port": text}, timeout=3000)
                        error = None
                    except zelmolib.Error as e:
                        error = e.args
                    yield text, error, c.get_connection_info()
            print(repr(list(attempts())))
            listener = socket.create_server(("127.0.0.1", 51965))
            seen = []
            def accept():
                while True:
                    conn, _ = listener.accept()
                    seen.append(conn.recv(1) != b"")
                    conn.close()
            threading.Thread(target=accept, daemon=True).start()
            print(repr([(text, error is not None, len(seen)) for text, error, _ in attempts()]))
        """)
        for text, (code, message), info in refused:
            with self.subTest(port=text):
                self.assertNotEqual(code, 0)
                self.assertIsInstance(message, str)
                self.assertTrue(message)
                self.assertIsNone(info)
        self.assertEqual(seen, [("abc", True, 1), ("", True, 2), ("80x", True, 3)])

    def test_options_and_session_id(self):
        c = self.connect(options={"sid": "session-7", "app": "tests", "remote_address": "10.1.2.3"})
        connection, _ = self.request_log(c)
        self.assertEqual(connection["sid"], "session-7")
        self.assertEqual(connection["app"], "tests")
        self.assertEqual(connection["remote_address"], "10.1.2.3")
        self.assertEqual(connection["conn_flags"], 9)
        c2 = self.connect(options={"sid": None, "flags": 0})
        connection, _ = self.request_log(c2)
        self.assertEqual(connection["sid"], "")
        self.assertEqual(connection["conn_flags"], 0)
        c3 = self.connect(options=["sid", "x"])  # not a dict: ignored
        connection, _ = self.request_log(c3)
        self.assertEqual(connection["sid"], "")

    def test_connection_info_follows_database_and_user(self):
        c = self.client
        info = c.get_connection_info()
        self.assertIsNone(info["database"])
        self.assertIsNone(info["user"])
        self.assertEqual(info["name"], "business_server")
        c.open_database("sqlite", "demo")
        c.authenticate("guest", "guest")
        info = c.get_connection_info()
        self.assertEqual(info["database"], {"driver": "sqlite", "name": "demo",
                                            "uuid": "6F9619FF-8B86-D011-B42D-00C04FC964FF"})
        self.assertEqual(info["user"], {"name": "guest", "password": "guest"})
        c.close_database()
        info = c.get_connection_info()
        self.assertIsNone(info["database"])
        self.assertIsNone(info["user"])

    def test_async_connect(self):
        c = _zelmolib.Client()
        kind, (info, userdata), d = run_async(self, c.connect, host="127.0.0.1",
                                              port=self.server.port, userdata="u")
        self.assertEqual(kind, "success")
        self.assertEqual(userdata, "u")
        self.assertEqual(info["name"], "business_server")
        self.assertEqual((d.pending, d.executed, d.aborted), (False, True, False))
        self.assertEqual(c.get_connection_info()["uuid"], info["uuid"])
        c.disconnect()

    def test_connect_beside_pending_timers(self):
        # More pending timers than the module's dispatcher has workers: a connect that
        # needed one of them would wait for the first timer to fire.
        fired = []
        timers = [_zelmolib.start_timer(30000, fired.append) for _ in range(200)]
        try:
            c = _zelmolib.Client()
            info = c.connect(host="127.0.0.1", port=self.server.port, timeout=10000)
            self.assertEqual(info["name"], "business_server")
            c.disconnect()
            self.assertEqual(fired, [])
        finally:
            for timer in timers:
                timer.cancel()

    def test_async_connect_failure(self):
        c = _zelmolib.Client()
        probe = BusinessServer()
        dead_port = probe.port
        probe.stop()
        kind, (code, message, userdata), d = run_async(self, c.connect, host="127.0.0.1",
                                                       port=dead_port, timeout=3000)
        self.assertEqual(kind, "error")
        self.assertNotEqual(code, 0)
        self.assertTrue(message)
        self.assertIsNone(userdata)
        self.assertEqual((d.pending, d.executed), (False, True))
        self.assertIsNone(c.get_connection_info())


class ExecuteTest(ServerTestCase):
    def test_sync_echo(self):
        data = {"text": "àè", "n": 2 ** 40, "list": [1, "x", None, True], "nested": {"a": 1.5},
                "blob": b"\x00\x01"}
        reply = self.client.execute(ECHO, data)
        checksum = reply.pop("CHECKSUM")
        self.assertIsInstance(checksum, int)
        self.assertEqual(reply, data)
        command, request, size = self.last_request()
        self.assertEqual((command, request), (ECHO, data))

    def test_only_a_command_sends_an_empty_table(self):
        reply = self.client.execute(ECHO)
        self.assertEqual(list(reply), ["CHECKSUM"])
        command, request, size = self.last_request()
        self.assertEqual(request, {})
        self.assertGreater(size, 0)  # an empty flattened table, not an empty payload

    def test_requests_nest_as_deep_as_the_flattened_format_carries(self):
        def chain(levels):
            value = "leaf"
            for i in range(levels):
                value = {"d": value} if i % 2 else [value]
            return value

        # The request dict is the first level: 255 more go whole. Its own connection, as
        # a log holding this request is too deep to be answered.
        data = {"keep": "me", "deep": chain(255)}
        reply = self.connect().execute(ECHO, data)
        reply.pop("CHECKSUM")
        self.assertEqual(reply, data)

        looped = {"keep": "me"}
        looped["self"] = looped
        self.request_log()
        before = self.client.get_id()
        for deep in ({"keep": "me", "deep": chain(256)}, {"deep": chain(1000)}, looped):
            for form in ({}, {"success": print, "error": print}):
                with self.subTest(form=form):
                    with self.assertRaises(ValueError) as cm:
                        self.client.execute(ECHO, deep, **form)
                    self.assertIn("256 levels", str(cm.exception))
                    with self.assertRaises(ValueError) as cm:
                        self.client.connect(host="127.0.0.1", port=self.server.port,
                                            options=deep, **form)
                    self.assertIn("256 levels", str(cm.exception))
        # Nothing was sent, and the connection stayed.
        self.assertEqual(self.request_log()[1], [])
        self.assertEqual(self.client.get_id(), before)

    def test_argument_errors(self):
        # (args, kwargs, exception, whether the parser names the method)
        cases = [((ECHO, [1]), {}, TypeError, True), ((ECHO, None), {}, TypeError, True),
                 (("x",), {}, TypeError, False), ((), {}, TypeError, True),
                 ((ECHO, {1: 2}), {}, ValueError, False), ((ECHO, {}, "t"), {}, TypeError, False),
                 ((ECHO,), {"success": print, "data": 5}, TypeError, True),
                 ((ECHO,), {"bogus": 1}, TypeError, True)]
        for args, kwargs, exc, named in cases:
            with self.subTest(args=args, kwargs=kwargs):
                with self.assertRaises(exc) as cm:
                    self.client.execute(*args, **kwargs)
                if named:
                    self.assertIn("execute()", str(cm.exception))

    def test_sync_errors_carry_code_and_message(self):
        cases = [
            ({"code": 2207, "message": "no such thing"}, 2207, "no such thing"),
            ({"code": 4008}, 4008, "La parola chiave dell'utente non è valida"),
            ({"code": 2014, "message": ""}, 2014, "Funzionalità non ancora implementata"),
        ]
        for data, code, message in cases:
            with self.subTest(data=data):
                with self.assertRaises(zelmolib.Error) as cm:
                    self.client.execute(FAIL, data)
                self.assertEqual(cm.exception.args, (code, message))
        # The connection survives a server refusal.
        self.assertEqual(self.client.execute(ECHO, {"a": 1})["a"], 1)

    def test_large_replies(self):
        data = self.client.execute(BLOB, {"bytes": 1 << 20})["DATA"]
        self.assertEqual(len(data), 1 << 20)
        self.assertEqual(data[:3], bytes([7, 138, 13]))
        # Byte i is i * 131 + 7: whole periods of 256 bytes, and parts of one.
        period = bytes((i * 131 + 7) & 255 for i in range(256))
        self.assertEqual(data, period * 4096)
        for size in (100, 1000):
            data = self.client.execute(BLOB, {"bytes": size})["DATA"]
            self.assertEqual(data, (period * 4)[:size])
        rows = self.client.execute(ROWS, {"rows": 10000})["ROWS"]
        self.assertEqual(len(rows), 10000)
        self.assertEqual(rows[0], [1, 1, "number 1", 0.5, False])
        self.assertEqual(rows[-1], [10000, 10 ** 8, "number 10000", 5000.0, True])
        self.assertEqual(self.client.execute(BLOB, {"bytes": -5})["DATA"], b"")

    def test_texts_that_are_not_utf8(self):
        # Progress messages become empty, asynchronous error texts "<Error code>".
        outcome = Outcome()
        self.client.execute(WORK, {"ms": 300, "message": b"\xff\xfe"}, success=outcome.success,
                            error=outcome.error, progress=outcome.on_progress)
        self.assertEqual(outcome.wait(self)[0], "success")
        self.assertTrue(outcome.progress)
        self.assertEqual({m for _, _, m, _ in outcome.progress}, {""})
        kind, values, _ = run_async(self, self.client.execute, FAIL,
                                    {"code": 7, "message": b"\xffbad"})
        self.assertEqual((kind, values), ("error", (7, "<Error 7>", None)))
        with self.assertRaises(zelmolib.Error) as cm:
            self.client.execute(FAIL, {"code": 7, "message": b"\xffbad"})
        self.assertEqual(cm.exception.args, (7, "\ufffdbad"))

    def test_unknown_command(self):
        with self.assertRaises(zelmolib.Error) as cm:
            self.client.execute(5000)
        self.assertEqual(cm.exception.args, (2014, "unknown command 5000"))

    def test_async_success_error_progress_idle(self):
        outcome = Outcome()
        d = self.client.execute(WORK, {"ms": 200, "message": "step"}, success=outcome.success,
                                error=outcome.error, progress=outcome.on_progress,
                                idle=outcome.on_idle, userdata=["u"])
        self.assertIsInstance(d, _zelmolib.Deferred)
        kind, (reply, userdata) = outcome.wait(self)
        self.assertEqual(kind, "success")
        self.assertEqual(userdata, ["u"])
        self.assertEqual(reply["message"], "step")
        self.assertEqual((d.pending, d.executed, d.aborted), (False, True, False))
        self.assertTrue(outcome.progress)
        for state, completeness, message, data in outcome.progress:
            self.assertIn(state, range(5))
            self.assertIsInstance(completeness, float)
            self.assertIsInstance(message, str)
            self.assertEqual(data, ["u"])
        self.assertGreater(outcome.idle, 0)
        self.assertEqual(len(outcome.calls), 1)

        kind, (code, message, userdata), d = run_async(self, self.client.execute, FAIL,
                                                       {"code": 2039, "message": "exists"})
        self.assertEqual((kind, code, message, userdata), ("error", 2039, "exists", None))
        self.assertEqual((d.pending, d.executed), (False, True))
        kind, (code, message, _), _ = run_async(self, self.client.execute, FAIL, {"code": 4008})
        self.assertEqual((code, message), (4008, "La parola chiave dell'utente non è valida"))

    def test_progress_answers(self):
        # A false value other than None, or an exception, stops the request.
        for answer, stops in [(None, False), (True, False), (1, False), (False, True),
                              (0, True), ("", True), (RuntimeError("stop"), True)]:
            with self.subTest(answer=answer):
                outcome = Outcome()

                def progress(*args, answer=answer):
                    outcome.on_progress(*args)
                    if isinstance(answer, Exception):
                        raise answer
                    return answer

                stderr = io.StringIO()
                with contextlib.redirect_stderr(stderr):
                    d = self.client.execute(WORK, {"ms": 400}, success=outcome.success,
                                            error=outcome.error, progress=progress)
                    kind, values = outcome.wait(self)
                self.assertEqual(kind, "error" if stops else "success")
                self.assertEqual(d.aborted, stops)
                self.assertEqual((d.pending, d.executed), (False, True))
                if stops:
                    self.assertEqual(len(outcome.progress), 1)
                if isinstance(answer, Exception):
                    self.assertIn("RuntimeError: stop", stderr.getvalue())

    def test_cancel_without_progress_callable(self):
        outcome = Outcome()
        d = self.client.execute(WORK, {"ms": 5000}, success=outcome.success, error=outcome.error)
        self.assertIsNone(d.cancel())
        self.assertTrue(d.aborted)
        kind, (code, message, _) = outcome.wait(self)
        self.assertEqual(kind, "error")
        self.assertNotEqual(code, 0)
        self.assertEqual((d.pending, d.executed, d.aborted), (False, True, True))
        # The connection is still usable.
        self.assertEqual(self.client.execute(ECHO, {"x": 1})["x"], 1)

    def test_a_request_queued_behind_a_long_one_waits_for_it(self):
        # The server serves one request of a connection at a time: the echo waits
        # behind the work, far beyond its own time-out, while the server reports
        # progress on the work, whether a call still waits for that or not.
        outcome = Outcome()
        self.client.execute(WORK, {"ms": 3000}, timeout=20000, success=outcome.success,
                            error=outcome.error)
        self.assertEqual(self.client.execute(ECHO, {"queued": 1}, timeout=1500)["queued"], 1)
        self.assertEqual(outcome.wait(self)[0], "success")
        with self.assertRaises(zelmolib.Error) as cm:
            self.client.execute(WORK, {"ms": 3000}, timeout=1)
        self.assertEqual(cm.exception.args[0], 4)
        self.assertEqual(self.client.execute(ECHO, {"retry": 1}, timeout=1500)["retry"], 1)

    def test_interrupt_ends_every_pending_request(self):
        outcomes = [Outcome() for _ in range(3)]
        started = threading.Event()

        def progress(*args):
            started.set()

        for o in outcomes:
            self.client.execute(WORK, {"ms": 8000}, success=o.success, error=o.error,
                                progress=progress)
        self.assertTrue(started.wait(30))
        self.client.interrupt()
        for o in outcomes:
            kind, (code, _, _) = o.wait(self)
            self.assertEqual(kind, "error")
            self.assertNotEqual(code, 0)

    def test_sync_interrupt_from_another_thread(self):
        finished = threading.Event()

        def interrupter():
            # Until the call ends: an interrupt sent before the request leaves is lost.
            while not finished.wait(0.1):
                self.client.interrupt()

        th = threading.Thread(target=interrupter)
        th.start()
        try:
            with self.assertRaises(zelmolib.Error) as cm:
                self.client.execute(WORK, {"ms": 20000})
        finally:
            finished.set()
            th.join()
        self.assertNotEqual(cm.exception.args[0], 0)

    def test_callables_that_raise_or_are_none(self):
        stderr = io.StringIO()
        done = threading.Event()

        def success(reply, userdata):
            done.set()
            raise ValueError("from success")

        with contextlib.redirect_stderr(stderr):
            d = self.client.execute(ECHO, {}, success=success)
            self.assertTrue(done.wait(30))
            for _ in range(1000):
                if not d.pending and d.executed:
                    break
                threading.Event().wait(0.01)
        self.assertEqual((d.pending, d.executed), (False, True))
        # An error with no error callable is swallowed.
        d = self.client.execute(FAIL, {"code": 7}, success=print, error=None)
        for _ in range(3000):
            if not d.pending:
                break
            threading.Event().wait(0.01)
        self.assertEqual((d.pending, d.executed, d.aborted), (False, True, False))
        self.assertIn("ValueError: from success", stderr.getvalue())

    # Code that has `leave` called, and the script's exit status: the idle callable of a
    # synchronous call ends it, every other callable's exit is printed and the script goes on.
    EXITS = [("client.execute(ECHO, {}, success=leave)", 0),
             ("client.execute(FAIL, {'code': 7}, success=leave, error=leave)", 0),
             ("client.execute(WORK, {'ms': 300}, success=leave, error=leave, progress=leave)", 0),
             ("client.execute(WORK, {'ms': 300}, success=leave, idle=leave)", 0),
             ("_zelmolib.start_timer(0, leave)", 0),
             ("_zelmolib.set_power_callbacks(leave, None); "
              "threading.Thread(target=native.power_event, args=(1,)).start()", 0),
             ("_zelmolib.set_default_idle_callback(leave); busy = threading.Event(); "
              "_zelmolib.start_timer(0, lambda u: (busy.set(), called.wait(30))); "
              "busy.wait(30); _zelmolib._cleanup()", 0),
             ("_zelmolib.set_default_idle_callback(leave); client.execute(WORK, {'ms': 300})", 3)]
    # Each runs with the interpreter's sys.excepthook, `leave` exiting, and with a hook that
    # logs and exits for the ValueError `leave` then raises; a timer's also without a hook.
    # What each hook prints for each exception of a callable that does not end the script:
    TRACEBACK = r"Traceback \(most recent call last\):\n(  .*\n)+"
    PRINTED = {"default": TRACEBACK + "SystemExit: 4\n",
               "exit": r"hook ValueError from the callback leave\nError in sys\.excepthook:\n" +
                       TRACEBACK + r"SystemExit: 6\n\nOriginal exception was:\n" + TRACEBACK +
                       "ValueError: from the callback\n",
               "missing": r"sys\.excepthook is missing\n" + TRACEBACK +
                          "ValueError: from the callback\n"}

    def test_sys_exit_in_a_callback_ends_only_a_synchronous_call(self):
        script = textwrap.dedent("""
            import sys, threading, time
            sys.path.insert(0, sys.argv[2])
            import native, _zelmolib
            from client_fixture import ECHO, FAIL, WORK, wait_for
            client, called, hook = _zelmolib.Client(), threading.Event(), sys.argv[3]
            client.connect(host="127.0.0.1", port=int(sys.argv[1]))

            def leave(*args):
                called.set()
                if hook == "default":
                    sys.exit(%d)
                raise ValueError("from the callback")

            def log_and_exit(kind, value, traceback):
                print("hook", kind.__name__, value, traceback.tb_frame.f_code.co_name,
                      file=sys.stderr)
                sys.exit(6)

            sys.excepthook = log_and_exit if hook == "exit" else sys.excepthook
            if hook == "missing":
                del sys.excepthook
            try:
                %s
                assert called.wait(30) and wait_for(lambda: hasattr(sys, "last_exc"))
                for line in range(100):  # the main thread's work, while the exit is printed
                    print(line)
                    time.sleep(0.002)
            finally:
                print("finally")
            print("end", type(sys.last_exc).__name__)""")
        rows = [(row, status, hook) for hook in ("default", "exit") for row, status in self.EXITS]
        work = "".join("%d\n" % line for line in range(100))
        for row, status, hook in rows + [("_zelmolib.start_timer(0, leave)", 0, "missing")]:
            status = status and (6 if hook == "exit" else status)
            with self.subTest(row=row, hook=hook):
                r = subprocess.run([sys.executable, "-c", script % (status or 4, row),
                                    str(self.server.port), os.path.dirname(native.__file__),
                                    hook], capture_output=True, text=True, timeout=60)
                went_on = status == 0  # the exit printed with its traceback
                last = "SystemExit" if hook == "default" else "ValueError"
                self.assertEqual((r.returncode, r.stdout), (status, work * went_on + "finally\n" +
                                                            "end %s\n" % last * went_on), r.stderr)
                # Printed whole each time; a synchronous call raises the exit in the caller.
                printed = ("(%s)+" % self.PRINTED[hook] if went_on else
                           "hook ValueError from the callback leave\n" * (hook == "exit"))
                self.assertRegex(r.stderr, r"\A%s\Z" % printed)

    def test_default_idle_callback_runs_during_sync_calls(self):
        calls = []
        _zelmolib.set_default_idle_callback(lambda: calls.append(threading.get_ident()))
        self.addCleanup(_zelmolib.set_default_idle_callback, None)
        self.client.execute(WORK, {"ms": 150, "progress": False})
        self.assertTrue(calls)
        self.assertEqual(set(calls), {threading.get_ident()})
        # The named methods use it too.
        del calls[:]
        self.client.open_database("sqlite", "demo")
        self.client.query_database("SELECT * FROM slow_report")
        self.assertTrue(calls)


class ListServersTest(unittest.TestCase):
    """Discovery runs only inside a private network namespace, where just the
    loopback interface exists."""

    SCRIPT = textwrap.dedent("""
        import subprocess, sys, threading
        import zelmolib, _zelmolib
        c = _zelmolib.Client()
        print(repr(c.list_servers(timeout=800)))
        done = threading.Event()
        got = []
        c.list_servers(timeout=800, success=lambda *a: (got.append(a), done.set()),
                       error=lambda *a: (got.append(a), done.set()), userdata="none")
        done.wait(30)
        print(repr(got))
        server = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        port = int(server.stdout.readline())
        found = c.list_servers(timeout=3000)
        print(repr([(s["name"], s["port"] == port, s["description"], s["data_version"],
                     s["multitenant_enabled"], len(s["uuid"]), list(s)) for s in found]))
        done = threading.Event()
        got = []
        d = c.list_servers(timeout=3000, success=lambda servers, u: (got.append((servers, u)),
                           done.set()), error=lambda *a: (got.append(a), done.set()), userdata=5)
        print(repr((type(d).__name__, d.pending)))
        done.wait(30)
        servers, userdata = got[0]
        print(repr((type(servers).__name__, [s["name"] for s in servers], userdata, d.executed)))
        server.stdin.close()
        server.wait()
    """)

    def test_discovery_in_a_private_namespace(self):
        lines = run_in_private_network(self, self.SCRIPT, server_program())
        self.assertEqual(lines[0], ())
        self.assertEqual(lines.pop(1), [((), "none")])
        self.assertEqual(lines[1], [
            ("business_server", True, "stand-in business server", 12, False, 36,
             ["host", "port", "name", "description", "data_version", "uuid",
              "multitenant_enabled"])])
        self.assertEqual(lines[2], ("Deferred", True))
        self.assertEqual(lines[3], ("tuple", ["business_server"], 5, True))


if __name__ == "__main__":
    unittest.main()
