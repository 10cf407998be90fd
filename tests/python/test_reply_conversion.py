"""Replies read from the wire, converted to Python: result sets whose rows repeat the
same keys, nested values inside rows, texts read in place, and conversions on other
threads than the caller's."""

import datetime
import threading

from client_fixture import ECHO, ServerTestCase, run_async
from _zelmolib import Decimal  # after the package, which client_fixture loads

WIDE_ROWS = 1100
COLUMNS = ["id", "quantity", "name", "price", "active", "amount", "day", "created"]


def expected_row(n):
    """The server's row n, but for its timestamp (shown in local time)."""
    return [n, n * 7919, "customer %d" % n, n * 0.25, n % 3 == 0,
            Decimal("%d.%02d" % (n, 99)),
            datetime.date(2000 + n % 25, 1 + n % 12, 1 + n % 28)]


def echo(client, data):
    """The request as the server sends it back, without the checksum it adds."""
    reply = client.execute(ECHO, data)
    reply.pop("CHECKSUM", None)
    return reply


class ResultSetTest(ServerTestCase):
    def check_rows(self, rows, count):
        self.assertEqual(len(rows), count)
        for n, row in enumerate(rows, 1):
            self.assertEqual(row[:7], expected_row(n))
            self.assertIs(type(row[5]), Decimal)
            self.assertIs(type(row[6]), datetime.date)
            self.assertIs(type(row[7]), datetime.datetime)
            self.assertEqual((row[7].year, row[7].microsecond % 1000), (2020, 0))

    def test_rows_as_lists(self):
        reply = self.client.execute(WIDE_ROWS, {"rows": 3000})
        self.assertEqual(reply["COLUMNS"], COLUMNS)
        self.check_rows(reply["RESULT_SET"], 3000)

    def test_rows_as_tables_share_their_keys(self):
        count = 3000
        tables = self.client.execute(WIDE_ROWS, {"rows": count, "tables": True})["RESULT_SET"]
        lists = self.client.execute(WIDE_ROWS, {"rows": count})["RESULT_SET"]
        self.assertEqual(len(tables), count)
        order = list(tables[0])
        self.assertEqual(sorted(order), sorted(COLUMNS))
        for row, values in zip(tables, lists):
            self.assertEqual(list(row), order)
            self.assertEqual(row, dict(zip(COLUMNS, values)))
        # One str per column name across the rows.
        for c in range(len(order)):
            first = list(tables[0])[c]
            self.assertTrue(all(list(row)[c] is first for row in tables[1:50]))

    def test_keys_beyond_the_cache_and_many_names(self):
        long_key = "k" * 65
        keys = ["c%03d" % i for i in range(600)] + [long_key, "", "cl\u00e9", "\u65e5\u672c"]
        table = {k: i for i, k in enumerate(keys)}
        rows = [table] * 20
        back = echo(self.client, {"rows": rows})["rows"]
        self.assertEqual(back, rows)
        self.assertEqual([sorted(row) for row in back], [sorted(keys)] * 20)
        # A key seen again after many others comes back equal.
        self.assertEqual(echo(self.client, {long_key: 1, "c001": 2}), {long_key: 1, "c001": 2})


class NestedReplyTest(ServerTestCase):
    def test_nested_values_inside_rows(self):
        stamp = datetime.datetime(2023, 4, 5, 6, 7, 8, 9000)
        rows = [[i, [i, [i, {"deep": [i, "x" * i]}]], {"t": {"u": [None, True, b"\x00\xff"]}},
                 Decimal("-0.%03d" % i), datetime.time(1, 2, 3, 4000), stamp, []]
                for i in range(1, 400)]
        data = {"rows": rows, "empty": {}, "none": None, "list": [[], [[]], {}]}
        self.assertEqual(echo(self.client, data), data)

    def test_texts_read_in_place(self):
        texts = ["", "a", "\x00", "a\x00b\x00", "x" * 15, "y" * 16, "z" * 100000,
                 "h\u00e9llo w\u00f6rld \u65e5\u672c\u8a9e \U0001f600", "\x00\u00e9" * 40]
        data = {"texts": texts, "keyed": {t[:60] or "e": t for t in texts if "\x00" not in t[:60]}}
        self.assertEqual(echo(self.client, data), data)


class ConversionThreadsTest(ServerTestCase):
    def test_replies_converted_on_other_threads(self):
        expected = [expected_row(n) for n in range(1, 501)]
        results, errors = [], []

        def work(k):
            try:
                client = self.connect()
                for _ in range(3):
                    rows = client.execute(WIDE_ROWS, {"rows": 500, "tables": k % 2 == 1})
                    results.append([[r[c] for c in COLUMNS] if isinstance(r, dict) else r
                                    for r in rows["RESULT_SET"]])
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
        self.assertEqual(errors, [])
        self.assertEqual(len(results), 12)
        for rows in results:
            self.assertEqual([r[:7] for r in rows], expected)

    def test_reply_converted_by_a_callback_after_the_call_returned(self):
        kind, values, _ = run_async(self, self.client.execute, WIDE_ROWS,
                                    {"rows": 2000, "tables": True})
        self.assertEqual(kind, "success")
        rows = values[0]["RESULT_SET"]
        self.assertEqual([[r[c] for c in COLUMNS[:7]] for r in rows],
                         [expected_row(n) for n in range(1, 2001)])

    def test_large_reply_then_small_ones(self):
        # The reply's memory is given back after the call; later replies are whole.
        rows = self.client.execute(WIDE_ROWS, {"rows": 250000})["RESULT_SET"]
        self.assertEqual(rows[-1][:7], expected_row(250000))
        del rows
        for i in range(50):
            self.assertEqual(echo(self.client, {"i": i, "t": "text %d" % i}),
                             {"i": i, "t": "text %d" % i})
