"""The named database and administration methods of Client: the request each sends as
the server receives it, its Python result in both forms, and its argument errors."""

import re
import unittest

import zelmolib
import _zelmolib
from client_fixture import ADMIN_PASSWORD as ADMIN
from client_fixture import ServerTestCase, run_async

UUID = re.compile(r"^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
DEMO_UUID = "6F9619FF-8B86-D011-B42D-00C04FC964FF"
WRONG_PASSWORD = (4008, "La parola chiave dell'utente non è valida")


class NamedMethodTestCase(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.client.open_database("sqlite", "demo")
        self.request_log()

    def sent(self, command, request, client=None):
        """Asserts the last request the server received."""
        got_command, got_request, _ = self.last_request(client)
        self.assertEqual((got_command, got_request), (command, request))

    def both(self, name, args, kwargs, command, request, async_request=None):
        """Runs the method synchronously, then asynchronously; checks each request and
        returns (synchronous result, arguments of success before userdata)."""
        method = getattr(self.client, name)
        result = method(*args, **kwargs)
        if request is not None:
            self.sent(command, request)
        kind, values, deferred = run_async(self, method, *args, userdata=("u", name), **kwargs)
        self.assertEqual(kind, "success", values)
        self.assertEqual(values[-1], ("u", name))
        self.assertEqual((deferred.pending, deferred.executed), (False, True))
        if request is not None:
            self.sent(command, request if async_request is None else async_request)
        return result, values[:-1]

    def refused(self, call, code, message):
        with self.assertRaises(zelmolib.Error) as cm:
            call()
        self.assertEqual(cm.exception.args, (code, message))


class CatalogueTest(NamedMethodTestCase):
    def test_list_drivers(self):
        result, (value,) = self.both("list_drivers", (), {}, 4, {"CONFIGURED": True})
        self.assertEqual(result, value)
        self.assertEqual([d["name"] for d in result], ["sqlite", "postgres"])
        self.assertEqual(set(result[0]), {"name", "description", "icon"})
        result, _ = self.both("list_drivers", (0,), {}, 4, {"CONFIGURED": False})
        self.assertEqual(len(result), 3)

    def test_list_databases(self):
        result, (value,) = self.both("list_databases", (), {}, 5, {"DRIVER": "", "QUICK": True})
        self.assertEqual(result, value)
        self.assertEqual(set(result), {"sqlite", "postgres"})
        self.assertIn({"name": "demo", "driver": "sqlite", "description": "Demo company",
                       "uuid": DEMO_UUID}, result["sqlite"])
        result, _ = self.both("list_databases", (b"sqlite\0x", False), {}, 5,
                              {"DRIVER": "sqlite", "QUICK": False})
        self.assertEqual(list(result), ["sqlite"])
        self.assertTrue(all("version" in d for d in result["sqlite"]))
        self.client.list_databases(None)
        self.sent(5, {"DRIVER": "", "QUICK": True})
        self.refused(lambda: self.client.list_databases("nope"), 2100,
                     "Driver di database non trovato")
        # The asynchronous form hands over the server's own text.
        kind, values, _ = run_async(self, self.client.open_database, "sqlite", "nope")
        self.assertEqual((kind, values), ("error", (2207, "Database 'nope' non trovato", None)))

    def test_get_data_dictionary(self):
        result, (value,) = self.both("get_data_dictionary", (), {}, 31, {})
        self.assertEqual(result, value)
        self.assertEqual(result["version"], 12)
        self.assertEqual(result["tables"]["customers"]["columns"][:2], ["id", "name"])
        # No table at all: the payload is empty.
        self.client.get_data_dictionary()
        _, requests = self.request_log()
        self.assertEqual(requests[-1]["SIZE"], 0)

    def test_full_text_search(self):
        result, (value,) = self.both("full_text_search", ("milano",), {}, 21, {"QUERY": "milano"})
        self.assertEqual(result, value)
        self.assertEqual(len(result), 2)
        score, table, row = result[0]
        self.assertEqual((type(score), table, row), (float, 1, 1))
        result, _ = self.both("full_text_search", ("milano", 1), {}, 21,
                              {"QUERY": "milano", "LIMIT": 1})
        self.assertEqual(len(result), 1)
        self.client.full_text_search("milano", limit=-3)
        self.sent(21, {"QUERY": "milano"})


class DatabaseTest(NamedMethodTestCase):
    def test_open_and_close(self):
        result, (value,) = self.both("open_database", ("postgres", "accounting"), {}, 7,
                                     {"DRIVER": "postgres", "NAME": "accounting"})
        self.assertEqual(result, value)
        self.assertEqual(result["uuid"], "A3BB189E-8BF9-3888-9912-ACE4E6543002")
        self.assertEqual(self.client.get_connection_info()["database"]["name"], "accounting")
        result, values = self.both("close_database", (), {}, 8, {"BACKUP": False})
        self.assertIsNone(result)
        self.assertEqual(values, ())
        self.assertIsNone(self.client.get_connection_info()["database"])
        self.client.close_database(backup="yes")
        self.sent(8, {"BACKUP": True})
        # Synchronous failures carry the server's own text, as asynchronous ones do.
        self.refused(lambda: self.client.open_database("sqlite", "nope"), 2207,
                     "Database 'nope' non trovato")

    def test_create_and_delete(self):
        uuid = self.client.create_database(ADMIN, "sqlite", "made1", "first")
        self.sent(6, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "made1", "DESC": "first"})
        self.assertRegex(uuid, UUID)
        listed = {d["name"]: d["uuid"] for d in self.client.list_databases("sqlite")["sqlite"]}
        self.assertEqual(listed["made1"], uuid)
        kind, (info, _), _ = run_async(self, self.client.create_database, ADMIN, "sqlite",
                                       "made2")
        self.assertEqual(kind, "success")
        self.sent(6, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "made2", "DESC": ""})
        self.assertEqual((info["name"], info["driver"], info["description"]),
                         ("made2", "sqlite", ""))
        self.assertRegex(info["uuid"], UUID)
        self.refused(lambda: self.client.create_database(ADMIN, "sqlite", "made1"), 2039,
                     "Il database 'made1' esiste già")
        self.refused(lambda: self.client.create_database("bad", "sqlite", "x"), *WRONG_PASSWORD)

        self.assertIsNone(self.client.delete_database(ADMIN, "sqlite", "made1"))
        self.sent(10, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "made1"})
        kind, values, _ = run_async(self, self.client.delete_database, ADMIN, "sqlite", "made2",
                                    delete_cloud_data=False)
        self.assertEqual((kind, values), ("success", (None,)))
        self.sent(10, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "made2",
                       "DELETE_CLOUD_DATA": False})
        self.refused(lambda: self.client.delete_database(ADMIN, "sqlite", "made1", 1), 2207,
                     "Database non trovato")
        self.sent(10, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "made1",
                       "DELETE_CLOUD_DATA": True})

    def test_upgrade(self):
        log, old, new = self.client.upgrade_database(ADMIN, "sqlite", "archive")
        self.sent(9, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "archive"})
        self.assertEqual((log, old, new), (["upgraded to version 10", "upgraded to version 11",
                                            "upgraded to version 12"], 9, 12))
        kind, values, _ = run_async(self, self.client.upgrade_database, ADMIN, "sqlite", "legacy")
        self.assertEqual(values, (["upgraded to version 11", "upgraded to version 12"], 10, 12,
                                  None))
        self.assertEqual(self.client.upgrade_database(ADMIN, "sqlite", "archive"), ([], 12, 12))
        self.refused(lambda: self.client.upgrade_database(ADMIN, "sqlite", "nope"), 2207,
                     "Database non trovato")

    def test_query(self):
        query = "SELECT id, name, since FROM customers WHERE city = 'Milano'"
        result, values = self.both("query_database", (query,), {}, 11,
                                   {"QUERY": query, "FULL_COLUMNS_LIST": False,
                                    "COLLAPSE_BLOBS": False})
        self.assertIsInstance(result, tuple)
        self.assertEqual(result, values)
        affected, columns, rows = result
        self.assertEqual((affected, columns), (2, ["id", "name", "since"]))
        self.assertEqual([r[:2] for r in rows], [[1, "Anna Rossi"], [5, "Elena Gallo"]])
        self.assertEqual(rows[0][2].isoformat(), "2015-03-12")

        query = "SELECT code, picture FROM products LIMIT 2"
        affected, columns, rows = self.client.query_database(query, True, True, False)
        self.sent(12, {"QUERY": query, "FULL_COLUMNS_LIST": True, "COLLAPSE_BLOBS": False})
        self.assertEqual(columns, ["products.code", "products.picture"])
        self.assertEqual(rows, [["A100", b"A100"], ["A200", b"A200"]])
        _, _, rows = self.client.query_database(query, collapse_blobs=True)
        self.assertEqual(rows, [["A100", None], ["A200", None]])
        self.assertEqual(self.client.query_database("UPDATE customers SET x = 1"), (6, [], []))

        # Failures carry the server's own text.
        self.refused(lambda: self.client.query_database("SELECT * FROM nope"), 2209,
                     "Errore di esecuzione della query: no such table: nope")
        kind, (code, message, _), _ = run_async(self, self.client.query_database, "DROP x")
        self.assertEqual((kind, code, message),
                         ("error", 2209, "Errore di esecuzione della query: syntax error near "
                                         "'DROP'"))


class BackupTest(NamedMethodTestCase):
    def test_backup_list_restore_delete(self):
        self.assertIsNone(self.client.backup_database(ADMIN, "b1"))
        self.sent(14, {"PASSWORD": ADMIN, "DRIVER": "", "NAME": "", "BACKUP_NAME": "b1",
                       "AUTO_BACKUP": True, "OVERWRITE": False, "POSITION": 0,
                       "STORE_INDEX": False})
        # The asynchronous form leaves the database keys out when no driver is given.
        kind, values, _ = run_async(self, self.client.backup_database, ADMIN, "b2")
        self.assertEqual((kind, values), ("success", (None,)))
        self.sent(14, {"PASSWORD": ADMIN, "BACKUP_NAME": "b2", "AUTO_BACKUP": True,
                       "OVERWRITE": False, "POSITION": 0, "STORE_INDEX": False})
        self.client.backup_database(ADMIN, "b3", "postgres", "accounting", auto=0,
                                    overwrite=[1], position=3, storeindex="y")
        self.sent(14, {"PASSWORD": ADMIN, "DRIVER": "postgres", "NAME": "accounting",
                       "BACKUP_NAME": "b3", "AUTO_BACKUP": False, "OVERWRITE": True,
                       "POSITION": 3, "STORE_INDEX": True})
        self.refused(lambda: self.client.backup_database(ADMIN, "b1"), 2049,
                     "Il backup 'b1' esiste già")

        result, (value,) = self.both("list_backups", (), {}, 16, {"POSITION": 0})
        self.assertEqual(result, value)
        self.assertEqual({"demo-monday", "b1", "b2"} - {b["name"] for b in result}, set())
        self.assertEqual([b["name"] for b in self.client.list_backups(3)], ["b3"])

        self.assertIsNone(self.client.restore_database(ADMIN, "b1", "sqlite", "restored1"))
        self.sent(15, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "restored1",
                       "BACKUP_NAME": "b1", "CHANGE_UUID": True, "OVERWRITE": False,
                       "POSITION": 0, "RESTORE_INDEX": True})
        kind, values, _ = run_async(self, self.client.restore_database, ADMIN, "b1", "sqlite",
                                    "restored2", changeUUID=0, overWrite=5, restoreindex=0)
        self.assertEqual((kind, values), ("success", (None,)))
        self.sent(15, {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "restored2",
                       "BACKUP_NAME": "b1", "CHANGE_UUID": False, "OVERWRITE": True,
                       "POSITION": 0, "RESTORE_INDEX": False})
        uuids = {d["name"]: d["uuid"] for d in self.client.list_databases("sqlite")["sqlite"]}
        self.assertNotEqual(uuids["restored1"], DEMO_UUID)
        self.assertEqual(uuids["restored2"], DEMO_UUID)
        # No text of the server's own: the table's pattern, as it stands.
        self.refused(lambda: self.client.restore_database(ADMIN, "nope", "sqlite", "x"), 2052,
                     "Il file di backup '%s' non è valido o è danneggiato")

        self.assertIsNone(self.client.delete_backup(ADMIN, ["b1", "b2"], 0))
        self.sent(17, {"PASSWORD": ADMIN, "BACKUP_NAME": ["b1", "b2"], "POSITION": 0})
        kind, values, _ = run_async(self, self.client.delete_backup, ADMIN, ("b3",), 3)
        self.assertEqual(kind, "success")
        self.sent(17, {"PASSWORD": ADMIN, "BACKUP_NAME": ["b3"], "POSITION": 3})
        self.client.delete_backup(ADMIN, b"demo-monday", 0)
        self.sent(17, {"PASSWORD": ADMIN, "BACKUP_NAME": "demo-monday", "POSITION": 0})
        self.refused(lambda: self.client.delete_backup(ADMIN, [], 0), 2052,
                     "Il file di backup '' non esiste")
        self.sent(17, {"PASSWORD": ADMIN, "BACKUP_NAME": "", "POSITION": 0})
        self.assertEqual([b["name"] for b in self.client.list_backups()], ["demo-tuesday"])

    def test_maintenance(self):
        for name, args, kwargs, command, request in [
            ("optimize_database", (ADMIN,), {}, 18, {"PASSWORD": ADMIN, "DRIVER": "", "NAME": ""}),
            ("repair_database", (ADMIN, "sqlite", "demo", "out.txt"), {}, 65,
             {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "demo", "OUTPUT": "out.txt"}),
            ("index_database", (ADMIN,), {}, 19,
             {"PASSWORD": ADMIN, "DRIVER": "", "NAME": "", "RESET": False, "RUN": True}),
            ("index_database", (ADMIN, "sqlite", "demo"), {"reset": 1, "run": []}, 19,
             {"PASSWORD": ADMIN, "DRIVER": "sqlite", "NAME": "demo", "RESET": True,
              "RUN": False}),
        ]:
            with self.subTest(name=name, kwargs=kwargs):
                result, values = self.both(name, args, kwargs, command, request)
                self.assertIsNone(result)
                self.assertEqual(values, ())
        self.refused(lambda: self.client.optimize_database("bad"), *WRONG_PASSWORD)
        self.refused(lambda: self.client.repair_database(ADMIN, "sqlite", "nope"), 2207,
                     "Database non trovato")


class ClientsAndUsersTest(NamedMethodTestCase):
    def test_list_and_describe_clients(self):
        other = self.connect(options={"sid": "other-sid"})
        me, them = self.client.get_id(), other.get_id()
        result, (value,) = self.both("list_clients", (), {}, 25, {"FULL": False, "ANY": False})
        self.assertEqual(result, value)
        self.assertEqual({me, them} - set(result), set())
        full = self.client.list_clients(True, 1)
        self.sent(25, {"FULL": True, "ANY": True})
        self.assertIn("other-sid", [c["sid"] for c in full])

        result, (value,) = self.both("get_client_info", (me,), {}, 26, {"CLIENT_ID": me})
        self.assertEqual((result["database"], result["sid"]), ("demo", ""))
        result, _ = self.both("get_client_info", ("other-sid",), {}, 26,
                              {"CLIENT_ID": "other-sid"})
        self.assertEqual(result["sid"], "other-sid")
        self.refused(lambda: self.client.get_client_info(""), 4004,
                     "ID del client non trovato sul server")
        self.sent(26, {"CLIENT_ID": 0})

        victim = self.connect(options={"sid": "victim"})
        self.assertIsNone(self.client.kill_client(them, ADMIN))
        self.sent(27, {"CLIENT_ID": them, "PASSWORD": ADMIN})
        kind, values, _ = run_async(self, self.client.kill_client, "victim", ADMIN)
        self.assertEqual((kind, values), ("success", (None,)))
        self.sent(27, {"CLIENT_ID": "victim", "PASSWORD": ADMIN})
        for killed in (other, victim):
            with self.assertRaises(zelmolib.Error):
                killed.execute(1000)
        self.refused(lambda: self.client.kill_client(them, ADMIN), 4004,
                     "ID del client non trovato sul server")
        self.refused(lambda: self.client.kill_client(me, "bad"), *WRONG_PASSWORD)

    def test_failures_carry_the_server_text_in_both_forms(self):
        self.refused(lambda: self.client.authenticate("nobody", "pw"), 4006,
                     "Utente 'nobody' non trovato")
        kind, values, _ = run_async(self, self.client.authenticate, "nobody", "pw")
        self.assertEqual((kind, values), ("error", (4006, "Utente 'nobody' non trovato", None)))
        # A failure whose reply has no text of its own takes the table's, not the text of
        # an earlier failure.
        self.refused(lambda: self.client.kill_client(987654, ADMIN), 4004,
                     "ID del client non trovato sul server")
        self.refused(lambda: self.client.delete_backup(ADMIN, "gone", 0), 2052,
                     "Il file di backup 'gone' non esiste")
        self.refused(lambda: self.client.get_client_info(987654), 4004,
                     "ID del client non trovato sul server")

    def test_authenticate(self):
        result, (value,) = self.both("authenticate", ("admin", "secret"), {}, 32, None)
        _, requests = self.request_log()
        self.assertEqual(result, value)
        self.assertEqual((result["name"], result["admin"]), ("admin", True))
        sent = requests[-1]["REQUEST"]
        self.assertEqual(set(sent), {"USERNAME", "PASSWORD"})
        self.assertEqual(sent["USERNAME"], "admin")
        self.assertNotEqual(sent["PASSWORD"], "secret")  # hashed
        if hasattr(_zelmolib, "hash_password"):
            self.assertEqual(sent["PASSWORD"], _zelmolib.hash_password("secret"))
        self.assertEqual(self.client.get_connection_info()["user"],
                         {"name": "admin", "password": "secret"})

        self.refused(lambda: self.client.authenticate("admin", "wrong"), *WRONG_PASSWORD)
        # Domain accounts send the password as it is.
        self.refused(lambda: self.client.authenticate("DOM\\user", "pw"), 4006,
                     "Utente 'DOM\\user' non trovato")
        self.sent(32, {"USERNAME": "DOM\\user", "PASSWORD": "pw"})

        self.client.authenticate("temp", "old", new_password="new")
        _, requests = self.request_log()
        sent = requests[-1]["REQUEST"]
        self.assertEqual(list(sorted(sent)), ["NEW_PASSWORD", "PASSWORD", "USERNAME"])
        self.assertNotIn(sent["NEW_PASSWORD"], ("new", sent["PASSWORD"]))
        self.assertEqual(self.client.get_connection_info()["user"],
                         {"name": "temp", "password": "old"})
        self.assertEqual(self.client.authenticate("temp", b"new")["name"], "temp")
        kind, (info, _), _ = run_async(self, self.client.authenticate, "temp", "new",
                                       new_password=b"old")
        self.assertEqual(info["name"], "temp")
        self.assertEqual(self.client.authenticate("temp", "old")["name"], "temp")


class ArgumentTest(NamedMethodTestCase):
    # (method, args, kwargs, exception, message or None); every call also gives a
    # success callable, and none may reach the server.
    CASES = [
        ("repair_database", (), {}, TypeError, None),
        ("repair_database", (ADMIN, 5), {}, ValueError, "Expected 'str' or 'unicode' object"),
        ("create_database", (ADMIN, "sqlite"), {}, TypeError, None),
        ("create_database", (ADMIN, "sqlite", None), {}, ValueError,
         "Expected 'str' or 'unicode' object"),
        ("open_database", ("sqlite", bytearray(b"x")), {}, ValueError,
         "Expected 'str' or 'unicode' object"),
        ("list_databases", (5,), {}, ValueError, "Expected 'str' or 'unicode' object"),
        ("list_backups", ("x",), {}, TypeError, None),
        ("delete_backup", (ADMIN, ["a", 3], 0), {}, ValueError,
         "Expected 'str' or 'unicode' object"),
        ("delete_backup", (ADMIN, 3, 0), {}, TypeError, "Expected 'str' or 'list' object"),
        ("delete_backup", (ADMIN, "a"), {}, TypeError, None),
        ("get_client_info", (1.5,), {}, TypeError, None),
        ("get_client_info", (2 ** 70,), {}, OverflowError, None),
        ("kill_client", (None, ADMIN), {}, TypeError, None),
        ("authenticate", ("u", "p"), {"new_password": 5}, ValueError,
         "Expected 'str' or 'unicode' object"),
        ("full_text_search", ("x", "y"), {}, TypeError, None),
        ("restore_database", (ADMIN, "b", "d", "n", "x"), {}, TypeError, None),
        ("close_database", (), {"bogus": 1}, TypeError, None),
        ("query_database", ("q",), {"timeout": "x"}, TypeError, None),
    ]

    def test_bad_arguments_raise_before_any_call(self):
        calls = []
        for name, args, kwargs, exc, message in self.CASES:
            with self.subTest(name=name, args=args, kwargs=kwargs):
                with self.assertRaises(exc) as cm:
                    getattr(self.client, name)(*args, success=calls.append, **kwargs)
                if message is not None:
                    self.assertEqual(str(cm.exception), message)
                elif exc is TypeError and "object" not in str(cm.exception):
                    self.assertIn(name + "()", str(cm.exception))
        _, requests = self.request_log()
        self.assertEqual(requests, [])
        self.assertEqual(calls, [])

    def test_parse_errors_name_the_method(self):
        with self.assertRaises(TypeError) as cm:
            self.client.repair_database()
        self.assertIn("repair_database()", str(cm.exception))
        with self.assertRaises(TypeError) as cm:
            self.client.get_data_dictionary(1, 2, 3, 4, 5, 6)
        self.assertIn("get_data_dictionary()", str(cm.exception))


if __name__ == "__main__":
    unittest.main()
