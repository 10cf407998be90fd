"""Value conversion between entries and Python objects, both ways."""

import datetime
import os
import subprocess
import sys
import textwrap
import unittest

import native
from _zelmolib import Decimal

EPOCH_MS = 210866803200000


class ToEntryAndBackTest(unittest.TestCase):
    def test_every_kind_both_ways(self):
        dt = datetime.datetime(2024, 5, 6, 7, 8, 9, 123456)
        cases = [
            (None, "N", None),
            (True, "b", True),
            (False, "b", False),
            (1, "i", 1),
            (-(2 ** 63), "i", -(2 ** 63)),
            (Decimal("-1.25"), "e", Decimal("-1.25")),
            (2.5, "f", 2.5),
            (dt, "u", dt.replace(microsecond=123000)),
            (datetime.date(1900, 1, 1), "E", datetime.date(1900, 1, 1)),
            (datetime.time(12, 30, 15, 999999), "I", datetime.time(12, 30, 15, 999000)),
            (datetime.time(0, 0), "I", datetime.time(0, 0)),
            (b"a\x00b", "B", b"a\x00b"),
            (bytearray(b"xy"), "B", b"xy"),
            (memoryview(b"q"), "B", b"q"),
            ("h\u00e9llo\x00!", "s", "h\u00e9llo\x00!"),
            (("a", 2), "L", ["a", 2]),
            ([1, [2, [3]]], "L", [1, [2, [3]]]),
            ({"k": [1, {"z": None}], "b": b"x"}, "T", {"k": [1, {"z": None}], "b": b"x"}),
            ({1, 2}, "s", "{1, 2}"),
        ]
        for value, tag, back in cases:
            with self.subTest(value=value):
                got_tag, got = native.roundtrip(value)
                self.assertEqual(got_tag, tag)
                self.assertEqual(got, back)
                self.assertIs(type(got), type(back))

    def test_dict_keys(self):
        self.assertEqual(native.roundtrip({b"k\x00ey": 1, "s": 2}), ("T", {"k": 1, "s": 2}))
        with native.Entry() as e:
            with self.assertRaisesRegex(ValueError, "Expected 'str' or 'unicode' object"):
                e.from_py({1: "x"})
            self.assertEqual(e.to_py(), {"1": "x"})

    def test_dict_order_is_kept(self):
        keys = ["k%d" % i for i in range(50, 0, -1)]
        _, back = native.roundtrip({k: i for i, k in enumerate(keys)})
        self.assertEqual(list(back), keys)

    def test_failures_keep_the_exception(self):
        with self.assertRaises(OverflowError):
            native.roundtrip(2 ** 64)
        with self.assertRaises(UnicodeEncodeError):
            native.roundtrip("\udc80")
        with self.assertRaises(OverflowError):
            native.roundtrip([1, 2 ** 70, 3])

    def test_self_containing_containers_raise_recursion_error(self):
        a = []
        a.append(a)
        d = {}
        d["d"] = d
        mixed = {"x": []}
        mixed["x"].append(mixed)
        for value in (a, d, mixed):
            with self.subTest(kind=type(value).__name__):
                with self.assertRaises(RecursionError):
                    native.roundtrip(value)

    def test_unprintable_object_becomes_null(self):
        class Bad:
            def __str__(self):
                raise RuntimeError("no str")

            def __repr__(self):
                raise RuntimeError("no repr")

        class ReprOnly:
            def __str__(self):
                raise RuntimeError("no str")

            def __repr__(self):
                return "R"

        self.assertEqual(native.roundtrip(Bad()), ("N", None))
        self.assertEqual(native.roundtrip(ReprOnly()), ("s", "R"))


class FromEntryTest(unittest.TestCase):
    def convert_raw(self, tag, raw, bits=64):
        with native.Entry(tag) as e:
            (e.set_raw64 if bits == 64 else e.set_raw32)(raw)
            return e.to_py()

    def test_times_of_day(self):
        self.assertIsNone(self.convert_raw("I", -1, 32))
        self.assertEqual(self.convert_raw("I", 0, 32), datetime.time(0, 0))
        self.assertEqual(self.convert_raw("I", 86400000 - 1, 32), datetime.time(23, 59, 59, 999000))
        self.assertEqual(self.convert_raw("I", 45015999, 32), datetime.time(12, 30, 15, 999000))
        for bad in (86400000, -2):
            with self.assertRaises(ValueError):
                self.convert_raw("I", bad, 32)

    def test_dates_outside_the_years_become_none(self):
        d1900 = native.Entry().from_py(datetime.date(1900, 1, 1))
        raw1900 = d1900.raw64()
        d1900.close()
        self.assertEqual(self.convert_raw("E", raw1900), datetime.date(1900, 1, 1))
        self.assertIsNone(self.convert_raw("E", raw1900 - 86400000))
        self.assertIsNone(self.convert_raw("E", 0))
        self.assertIsNone(self.convert_raw("u", 0))
        with native.Entry() as e:
            e.from_py(datetime.date(9999, 12, 31))
            last = e.raw64()
        self.assertEqual(self.convert_raw("E", last), datetime.date(9999, 12, 31))
        self.assertIsNone(self.convert_raw("E", last + 2 * 86400000))
        self.assertIsNone(self.convert_raw("u", raw1900 - 2 * 86400000))

    def test_invalid_utf8_text_is_replaced(self):
        with native.Entry() as e:
            e.from_py("abcd")
            e.overwrite_short_text(b"a\xff\xfed")
            self.assertEqual(e.to_py(), "a\ufffd\ufffdd")


TZ_SCRIPT = r"""
import datetime, sys
sys.path[:0] = sys.argv[1:]
import native
EPOCH_MS = 210866803200000
out = []
for dt in [datetime.datetime(2024, 1, 15, 10, 30, 45, 678901),
           datetime.datetime(2024, 7, 15, 23, 59, 59, 999999),
           datetime.datetime(1970, 1, 1, 0, 0, 0),
           datetime.datetime(1995, 6, 30, 12, 0, 0, 1000),
           datetime.datetime(2038, 3, 1, 4, 5, 6)]:
    with native.Entry() as e:
        e.from_py(dt)
        raw = e.raw64()
        back = e.to_py()
    expected = EPOCH_MS + int(dt.replace(microsecond=0).timestamp()) * 1000 + dt.microsecond // 1000
    out.append((raw == expected, back == dt.replace(microsecond=dt.microsecond // 1000 * 1000)))
print(out)
"""


class TimeZoneTest(unittest.TestCase):
    def test_timestamps_are_local_fields_stored_as_utc(self):
        here = os.path.dirname(os.path.abspath(__file__))
        for tz in ("UTC", "Europe/Rome", "America/New_York", "Asia/Kolkata",
                   "Australia/Lord_Howe", "Pacific/Chatham"):
            with self.subTest(tz=tz):
                env = dict(os.environ, TZ=tz)
                r = subprocess.run([sys.executable, "-c", TZ_SCRIPT, here], env=env,
                                   capture_output=True, text=True, timeout=60)
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout.strip(), str([(True, True)] * 5))


if __name__ == "__main__":
    unittest.main()


class ReferenceLeakTest(unittest.TestCase):
    """Many round trips leave the reference counts of keys and values, and the memory
    the interpreter holds, where they were."""

    ROUND_TRIPS = 20000

    def test_keys_and_values_keep_their_references(self):
        import sys
        short, long_key, raw = "k", "long key " * 10, b"bytes key"
        value = ["shared value"]
        keys = [short, long_key, raw]
        held = [sys.getrefcount(k) for k in keys] + [sys.getrefcount(value)]
        for _ in range(self.ROUND_TRIPS // 10):
            native.roundtrip({short: value, long_key: value, raw: value})
        # Refused keys leave their references too.
        bad_keys = [5, ("t",), "nul\x00key"]
        bad_held = [sys.getrefcount(k) for k in bad_keys]
        refused = 0
        for _ in range(self.ROUND_TRIPS // 10):
            for key in bad_keys:
                try:
                    native.roundtrip({key: value})
                except ValueError:
                    refused += 1
        del key
        self.assertEqual(refused, len(bad_keys) * (self.ROUND_TRIPS // 10))
        self.assertEqual([sys.getrefcount(k) for k in keys] + [sys.getrefcount(value)], held)
        self.assertEqual([sys.getrefcount(k) for k in bad_keys], bad_held)

    def test_memory_stays_bounded_over_many_round_trips(self):
        import gc
        import tracemalloc
        # New key texts each time (past the cached length), new values: a reference kept
        # by the conversion would keep each of them alive.
        def one(i):
            return native.roundtrip({"key number %d %s" % (i, "x" * 70): [i, "v%d" % i],
                                     "nested": {"k%d" % i: Decimal(i)}})

        for i in range(200):
            one(i)
        gc.collect()
        tracemalloc.start()
        try:
            start, _ = tracemalloc.get_traced_memory()
            for i in range(self.ROUND_TRIPS):
                one(i)
            gc.collect()
            end, _ = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        # One leaked key of ~100 bytes a round trip would be 2 MB.
        self.assertLess(end - start, 256 * 1024)
