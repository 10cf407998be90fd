"""Every function and method of the module called by keyword wherever it takes keywords:
each keyword is accepted and reaches the parameter it names (the same result, or the same
request at the server, as the positional call). The keyword lists below are the
documented ones, in order; the functions and methods that take none are listed too, so
that nothing of the module is left out."""

import threading
import types
import unittest

import zelmolib
import _zelmolib as z
from client_fixture import ADMIN_PASSWORD as ADMIN
from client_fixture import ECHO, WAIT, Outcome, ServerTestCase, run_in_private_network

FUNCTION_KEYWORDS = {
    "host_lookup": ["address"],
    "save_xml": ["dict"],
    "load_xml": ["xml"],
    "start_timer": ["milliseconds", "callback", "userdata"],
    "hash_password": ["password"],
    "set_default_idle_callback": ["callback"],
    "set_power_callbacks": ["suspend", "resume"],
    "checksum": ["buffer"],
    "set_interpreter_timeout": ["timeout"],
    "_set_process_foreground": ["foreground"],
    "_apply_stylesheet": ["xml", "xslt"],
}
# No arguments, or positional ones only.
FUNCTIONS_WITHOUT_KEYWORDS = {
    "get_network_interfaces", "get_machine_uuid", "get_system_info", "lock", "unlock",
    "_cleanup", "get_application_log_path", "get_interpreter_timeout",
    "get_interpreter_time_left", "_check_all", "regexp_find_all",
}

DECIMAL_KEYWORDS = {
    "format": ["precision", "width", "sep", "padzero", "monetary"],
    "ceil": ["value"],
    "floor": ["value"],
    "round": ["value"],
    "multiply": ["other", "value", "mode"],
    "divide": ["other", "value", "mode"],
    "__round__": ["digits"],
    "set_locale": ["lang"],
}
DECIMAL_WITHOUT_KEYWORDS = {"__copy__", "__deepcopy__", "__reduce__"}

CALLBACKS = ["success", "error", "progress", "userdata", "timeout"]
CLIENT_KEYWORDS = {
    "list_servers": ["timeout", "port", "success", "error", "progress", "userdata"],
    "connect": ["server", "host", "port", "options", "timeout", "success", "error", "progress",
                "userdata"],
    "execute": ["command", "data", "timeout", "success", "error", "progress", "idle",
                "userdata"],
    "get_data_dictionary": CALLBACKS,
    "list_drivers": ["configured"] + CALLBACKS,
    "list_databases": ["driver", "quick"] + CALLBACKS,
    "create_database": ["password", "driver", "name", "desc"] + CALLBACKS,
    "open_database": ["driver", "name"] + CALLBACKS,
    "close_database": ["backup"] + CALLBACKS,
    "upgrade_database": ["password", "driver", "name"] + CALLBACKS,
    "delete_database": ["password", "driver", "name", "delete_cloud_data"] + CALLBACKS,
    "query_database": ["query", "native", "full_column_names", "collapse_blobs"] + CALLBACKS,
    "backup_database": ["password", "backupName", "driver", "name", "auto", "overwrite",
                        "position", "storeindex"] + CALLBACKS,
    "restore_database": ["password", "backupName", "driver", "name", "changeUUID", "overWrite",
                         "position", "restoreindex"] + CALLBACKS,
    "list_backups": ["position"] + CALLBACKS,
    "delete_backup": ["password", "backupName", "position"] + CALLBACKS,
    "optimize_database": ["password", "driver", "name"] + CALLBACKS,
    "repair_database": ["password", "driver", "name", "output"] + CALLBACKS,
    "index_database": ["password", "driver", "name", "reset", "run"] + CALLBACKS,
    "list_clients": ["full", "any"] + CALLBACKS,
    "get_client_info": ["id"] + CALLBACKS,
    "kill_client": ["id", "password"] + CALLBACKS,
    "authenticate": ["username", "password"] + CALLBACKS + ["new_password"],
    "full_text_search": ["text", "limit"] + CALLBACKS,
}
CLIENT_WITHOUT_KEYWORDS = {"disconnect", "get_id", "get_connection_info", "interrupt"}
# Methods whose arguments are positional only or not parsed at all.
OTHER_TYPES_WITHOUT_KEYWORDS = {
    "Deferred": {"cancel"},
    "JSONEncoder": {"write", "start_map", "end_map", "start_array", "end_array", "generate",
                    "reset"},
    "JSONDecoder": {"read", "read_key", "start_map", "end_map", "start_array", "end_array",
                    "parse", "complete_parse", "set_filename", "get_parse_position"},
    "NamedSemaphore": {"acquire", "release", "__enter__", "__exit__"},
}

XSLT = ('<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">'
        '<xsl:output method="text"/><xsl:template match="/">[<xsl:value-of select="a"/>]'
        '</xsl:template></xsl:stylesheet>')


def methods_of(cls):
    return {name for name, value in vars(cls).items()
            if isinstance(value, (types.MethodDescriptorType, types.ClassMethodDescriptorType))}


class EverythingIsListedTest(unittest.TestCase):
    def test_the_lists_name_every_function_and_method(self):
        functions = {name for name, value in vars(z).items()
                     if isinstance(value, types.BuiltinFunctionType)}
        self.assertEqual(functions, set(FUNCTION_KEYWORDS) | FUNCTIONS_WITHOUT_KEYWORDS)
        self.assertEqual(methods_of(z.Decimal), set(DECIMAL_KEYWORDS) | DECIMAL_WITHOUT_KEYWORDS)
        self.assertEqual(methods_of(z.Client), set(CLIENT_KEYWORDS) | CLIENT_WITHOUT_KEYWORDS)
        for name, expected in OTHER_TYPES_WITHOUT_KEYWORDS.items():
            self.assertEqual(methods_of(getattr(z, name)), expected, name)


def by_keyword(keywords, args):
    return dict(zip(keywords, args))


class FunctionKeywordTest(unittest.TestCase):
    def same(self, name, *args):
        function = getattr(z, name)
        self.assertEqual(function(**by_keyword(FUNCTION_KEYWORDS[name], args)), function(*args),
                         name)

    def test_functions_by_keyword(self):
        self.same("host_lookup", "127.0.0.1")
        self.same("save_xml", {"a": 1, "b": ["x"]})
        self.same("load_xml", z.save_xml({"a": 1}))
        self.same("hash_password", "secret")
        self.same("checksum", bytearray(b"abcdefg"))
        self.same("_set_process_foreground", True)
        self.same("_apply_stylesheet", "<a>x</a>", XSLT)
        self.assertEqual(z._apply_stylesheet(xslt=XSLT, xml="<a>y</a>"), "[y]")
        self.same("set_default_idle_callback", None)
        self.same("set_power_callbacks", None, None)
        # The stored callables take any object, as the timer's callback does.
        self.addCleanup(z.set_power_callbacks, None, None)
        self.addCleanup(z.set_default_idle_callback, None)
        self.same("set_default_idle_callback", 5)
        self.same("set_power_callbacks", 5, "x")
        self.assertIsNone(z.set_interpreter_timeout(timeout=None))

    def test_timer_by_keyword(self):
        got = []
        done = threading.Event()
        d = z.start_timer(callback=lambda u: (got.append(u), done.set()), userdata="u",
                          milliseconds=1)
        self.assertTrue(done.wait(WAIT))
        self.assertEqual(got, ["u"])
        self.assertIsInstance(d, z.Deferred)
        d = z.start_timer(callback=5, milliseconds=600000)
        self.assertTrue(d.pending)
        d.cancel()


class DecimalKeywordTest(unittest.TestCase):
    def test_construction_and_methods_by_keyword(self):
        D = z.Decimal
        self.assertEqual(D(value="1.5"), D("1.5"))
        d = D("-1234.5678")
        calls = {
            "format": (4, 14, 0, 1, 0),
            "ceil": ("0.5",),
            "floor": ("0.5",),
            "round": ("0.05",),
            "multiply": ("1.5", "0.1", 3),
            "divide": ("3", "0.01", 2),
            "__round__": (2,),
        }
        for name, args in calls.items():
            with self.subTest(name=name):
                method = getattr(d, name)
                self.assertEqual(method(**by_keyword(DECIMAL_KEYWORDS[name], args)),
                                 method(*args))
        self.assertEqual(d.format(monetary=0, padzero=1, width=14, precision=4),
                         d.format(4, 14, 0, 1))
        self.assertIsNone(D.set_locale(lang=""))


class ClientKeywordTest(ServerTestCase):
    """Each method once positionally and once by keyword: the server receives the same
    request; then asynchronously with the callbacks given by keyword."""

    def sent(self):
        _, requests = self.request_log()
        return [(r["COMMAND"], r["REQUEST"]) for r in requests]

    def outcome_of(self, call):
        try:
            return ("result", call())
        except zelmolib.Error as error:
            return ("error", error.args)

    def test_named_methods_by_keyword(self):
        self.client.open_database("sqlite", "demo")
        me = self.client.get_id()
        positional = {
            "get_data_dictionary": (),
            "list_drivers": (False,),
            "list_databases": ("sqlite", False),
            "create_database": (ADMIN, "sqlite", "by_keyword", "made"),
            "open_database": ("sqlite", "demo"),
            "upgrade_database": (ADMIN, "sqlite", "archive"),
            "query_database": ("SELECT id, name, since FROM customers", True, True, True),
            "backup_database": (ADMIN, "kb", "sqlite", "demo", False, True, 2, True),
            "restore_database": (ADMIN, "kb", "sqlite", "kr", 0, 1, 2, 0),
            "list_backups": (2,),
            "delete_backup": (ADMIN, "nope", 2),
            "optimize_database": (ADMIN, "sqlite", "demo"),
            "repair_database": (ADMIN, "sqlite", "demo", "out.txt"),
            "index_database": (ADMIN, "sqlite", "demo", True, False),
            "list_clients": (True, True),
            "get_client_info": (me,),
            "kill_client": (987654, ADMIN),
            "full_text_search": ("milano", 1),
            "authenticate": ("admin", "secret"),
            "delete_database": (ADMIN, "sqlite", "by_keyword_gone", False),
            "close_database": (True,),
        }
        self.assertEqual(set(positional) | {"list_servers", "connect", "execute"},
                         set(CLIENT_KEYWORDS))
        for name, args in positional.items():
            with self.subTest(name=name):
                method = getattr(self.client, name)
                self.request_log()
                first = self.outcome_of(lambda: method(*args))
                by_position = self.sent()
                second = self.outcome_of(
                    lambda: method(**by_keyword(CLIENT_KEYWORDS[name], args)))
                self.assertEqual(self.sent(), by_position)
                self.assertTrue(by_position)
                # Results that change from call to call (what the first created, the
                # count of requests served) are left out; the request tells it all.
                if name not in ("create_database", "restore_database", "backup_database",
                                "upgrade_database", "list_clients", "get_client_info"):
                    self.assertEqual(second, first)
        self.client.authenticate(password="old", username="temp", new_password="new")
        _, requests = self.request_log()
        self.assertIn("NEW_PASSWORD", requests[-1]["REQUEST"])

    def test_callbacks_by_keyword(self):
        self.client.open_database("sqlite", "demo")
        required = {"create_database": (ADMIN, "sqlite", "cb_made"),
                    "open_database": ("sqlite", "demo"),
                    "upgrade_database": (ADMIN, "sqlite", "legacy"),
                    "delete_database": (ADMIN, "sqlite", "cb_made"),
                    "query_database": ("SELECT id FROM customers",),
                    "backup_database": (ADMIN, "cb"),
                    "restore_database": (ADMIN, "cb", "sqlite", "cb_restored"),
                    "delete_backup": (ADMIN, "cb", 0),
                    "optimize_database": (ADMIN,), "repair_database": (ADMIN,),
                    "index_database": (ADMIN,), "get_client_info": (self.client.get_id(),),
                    "kill_client": (987654, ADMIN), "authenticate": ("admin", "secret"),
                    "full_text_search": ("milano",)}
        for name in CLIENT_KEYWORDS:
            if name in ("list_servers", "connect", "execute"):
                continue
            with self.subTest(name=name):
                outcome = Outcome()
                d = getattr(self.client, name)(
                    *required.get(name, ()), success=outcome.success, error=outcome.error,
                    progress=outcome.on_progress, userdata=("u", name), timeout=10000)
                self.assertIsInstance(d, z.Deferred)
                kind, values = outcome.wait(self)
                self.assertEqual(values[-1], ("u", name))
        outcome = Outcome()
        self.client.execute(command=ECHO, data={"k": 1}, timeout=10000, success=outcome.success,
                            error=outcome.error, progress=outcome.on_progress,
                            idle=outcome.on_idle, userdata="e")
        kind, (reply, userdata) = outcome.wait(self)
        self.assertEqual((kind, reply["k"], userdata), ("success", 1, "e"))
        self.assertEqual(self.client.execute(data={"k": 2}, command=ECHO, timeout=5000)["k"], 2)
        # The synchronous form calls none of its callbacks: any object goes.
        self.assertEqual(self.client.execute(data={"k": 3}, command=ECHO, error=5, progress=5,
                                             idle=5, userdata=5)["k"], 3)
        self.assertEqual(self.client.list_drivers(configured=False, error=5, progress=5),
                         self.client.list_drivers(False))

    def test_connection_methods_by_keyword(self):
        other = z.Client()
        self.addCleanup(other.disconnect)
        info = other.connect(port=self.server.port, host="127.0.0.1", timeout=10000,
                             options={"sid": "kw"})
        self.assertIn("uuid", info)
        other.disconnect()
        outcome = Outcome()
        other.connect(server={"host": "127.0.0.1", "port": self.server.port}, options=None,
                      timeout=10000, success=outcome.success, error=outcome.error,
                      progress=outcome.on_progress, userdata="c")
        kind, values = outcome.wait(self)
        self.assertEqual((kind, values[-1]), ("success", "c"))

    def test_discovery_by_keyword(self):
        # Discovery broadcasts on every interface: only in a private network with lo alone.
        self.assertEqual(run_in_private_network(self, """
            import threading, zelmolib, _zelmolib
            other = _zelmolib.Client()
            print(repr(other.list_servers(timeout=1, port=1)))
            done, got = threading.Event(), []
            other.list_servers(timeout=1, port=1, success=lambda *a: (got.append(a), done.set()),
                               error=lambda *a: (got.append(a), done.set()),
                               progress=lambda *a: None, userdata="l")
            done.wait(30)
            print(repr(got))
            # Refused before anything is sent, as its low 16 bits would reach another port.
            for port in (65536, 70000, -1, 65536 + 1):
                for form in ({}, {"success": lambda *a: None}):
                    try:
                        other.list_servers(timeout=1, port=port, **form)
                    except ValueError as e:
                        print(repr(str(e)))
        """), [(), [((), "l")]] + ["'port' must be between 0 and 65535"] * 8)


if __name__ == "__main__":
    unittest.main()
