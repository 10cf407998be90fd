"""JSONEncoder: how each type is written, configuration, the generator's state and
its errors, and nested values going back through a subclass's write."""

import datetime
import json
import unittest

import zelmolib
import _zelmolib
from _zelmolib import JSONEncoder


def encode(value, *args):
    e = JSONEncoder(*args)
    e.write(value)
    return e.generate()


class WriteTest(unittest.TestCase):
    def test_pretty_by_default_with_tabs(self):
        text = encode({"a": [1, 2.5, None, True]}).decode()
        self.assertIn("\n\t\"a\": [\n\t\t1,", text)
        self.assertEqual(json.loads(text), {"a": [1, 2.5, None, True]})

    def test_compact_and_keywords_ignored(self):
        self.assertEqual(encode({"a": [1, 2.5, None, True]}, "utf-8", False),
                         b'{"a":[1,2.5,null,true]}')
        e = JSONEncoder(pretty=False)
        e.write([1])
        self.assertIn(b"\n", e.generate())

    def test_init_again_changes_pretty_of_current_generator(self):
        e = JSONEncoder()
        e.__init__("", False)
        e.write([1, 2])
        self.assertEqual(e.generate(), b"[1,2]")

    def test_scalars(self):
        D = _zelmolib.Decimal
        cases = [
            (None, b"null"),
            (True, b"true"),
            (False, b"false"),
            (-(2 ** 63), b"-9223372036854775808"),
            (D("12.50"), b"12.5"),
            (D("-0.001"), b"-0.001"),
            (datetime.datetime(2024, 3, 5, 14, 7, 9, 123456), b'"2024-03-05 14:07:09.000"'),
            (datetime.date(2024, 3, 5), b'"2024-03-05"'),
            (datetime.time(14, 7, 9, 500000), b'"14:07:09"'),
            ("a\"b\\c\n\x01/", b'"a\\"b\\\\c\\n\\u0001/"'),
            (b"caf\xc3\xa9", '"café"'.encode()),
            ((1, "x"), b'[1,"x"]'),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(encode(value, "", False), expected)

    def test_floats_read_back_exactly(self):
        for value in (0.1, 2.5, -1e300, 5e-324, 1.0, 123456.789):
            with self.subTest(value=value):
                self.assertEqual(json.loads(encode(value)), value)

    def test_float_text_is_twenty_significant_digits(self):
        import random
        import struct
        rng = random.Random(2123)
        values = [0.0, -0.0, 5.0, 1e20, 1e21, 5e-324, 1.7976931348623157e308, 0.1, -2.5e-10]
        values += [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
                   for _ in range(3000)]
        for value in values:
            if value != value or value in (float("inf"), float("-inf")):
                continue
            expected = "%.20g" % value
            if expected.lstrip("-").isdigit():
                expected += ".0"
            with self.subTest(value=value):
                self.assertEqual(encode(value, "", False).decode(), expected)

    def test_float_in_other_locale_uses_point(self):
        import locale
        old = locale.setlocale(locale.LC_NUMERIC)
        for name in ("de_DE.UTF-8", "it_IT.UTF-8", "fr_FR.UTF-8"):
            try:
                locale.setlocale(locale.LC_NUMERIC, name)
                break
            except locale.Error:
                continue
        else:
            self.skipTest("no locale with a decimal comma installed")
        try:
            self.assertEqual(json.loads(encode(2.5)), 2.5)
        finally:
            locale.setlocale(locale.LC_NUMERIC, old)

    def test_encodings(self):
        self.assertEqual(encode("é", "latin-1", False), b'"\xe9"')
        self.assertEqual(encode(b"\xc3\xa9", "latin-1", False), b'"\xe9"')
        with self.assertRaises(UnicodeEncodeError):
            encode("€", "latin-1")
        with self.assertRaises(UnicodeDecodeError):
            encode(b"\xff")
        with self.assertRaises(UnicodeEncodeError):
            encode("\ud800")

    def test_dates_of_any_calendar_day(self):
        # Days of the Gregorian reform gap used to come out as "NULL" or another day.
        cases = [
            (datetime.date(1582, 10, 10), b'"1582-10-10"'),
            (datetime.datetime(1582, 10, 5, 1, 2, 3), b'"1582-10-05 01:02:03.000"'),
            (datetime.date(1, 1, 1), b'"0001-01-01"'),
            (datetime.date(1500, 2, 28), b'"1500-02-28"'),
            (datetime.datetime(9999, 12, 31, 23, 59, 59, 999999), b'"9999-12-31 23:59:59.000"'),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(encode(value, "", False), expected)

    def test_date_key_becomes_text(self):
        self.assertEqual(encode({datetime.date(2024, 3, 5): 1}, "", False), b'{"2024-03-05":1}')


class DecimalTest(unittest.TestCase):
    """Decimals of every magnitude are JSON numbers that read back to the same value."""

    def test_every_finite_magnitude_reads_back(self):
        from _zelmolib import Decimal as D
        values = [D("1E+38"), D("-1E+38"), D("1" * 38 + "E+10"), D("1E+99999"),
                  D("-9.9999999999999999999999999999999999999E+99999"), D("1E-100036"),
                  D("-1.5E-2000"), D("1E-6176"), D("12.5"), D("-0"), D("0.001")]
        values += [D("%dE%d" % (c, e)) for c in (1, -7, 12345678901234567890123456789012345678)
                   for e in range(-100036, 99963, 4999)]
        text = encode(values, "utf-8", False)
        self.assertNotIn(b",,", text)
        back = []

        class Collect(_zelmolib.JSONDecoder):
            def read(self, value):
                back.append(value)

        decoder = Collect()
        decoder.parse(text)
        decoder.complete_parse()
        self.assertEqual(len(back), len(values))
        for value, got in zip(values, back):
            self.assertEqual(got, value)
            self.assertIn(type(got), (D, int))
        # The plain digits where the text rules take them, the scientific form beyond.
        self.assertEqual(encode([D("12.5"), D("1E+37"), D("1E+38")], "utf-8", False),
                         b"[12.5,10000000000000000000000000000000000000,1E+38]")

    def test_not_a_number_and_infinities_are_refused(self):
        from _zelmolib import Decimal as D
        for value in (D("NaN"), D("Infinity"), D("-Infinity"), D("1E+99999") * 10):
            with self.subTest(value=value):
                e = JSONEncoder()
                with self.assertRaises(zelmolib.JSONError) as cm:
                    e.write([value])
                self.assertEqual(cm.exception.args[0], "Internal error")
                with self.assertRaises(zelmolib.JSONError):
                    JSONEncoder().write(float(str(value)))


class ErrorTest(unittest.TestCase):
    def assertJSONError(self, text, call, *args):
        with self.assertRaises(zelmolib.JSONError) as cm:
            call(*args)
        # The text alone: args, message and str() carry it, and the code is 0.
        error = cm.exception
        self.assertEqual((error.args, error.message, str(error), error.code),
                         ((text,), text, text, 0))
        self.assertIsInstance(error, zelmolib.Error)

    def test_refusals(self):
        self.assertJSONError("Internal error", JSONEncoder().write, float("nan"))
        self.assertJSONError("Internal error", JSONEncoder().write, float("inf"))
        self.assertJSONError("Expected string object as mapping key", JSONEncoder().write, {1: 2})
        self.assertJSONError("Expected string object as mapping key",
                             JSONEncoder().write, {None: 2})

    def test_unexpected_type(self):
        with self.assertRaises(ValueError) as cm:
            JSONEncoder().write(set())
        self.assertEqual(str(cm.exception),
                         "Unexpected type set, expecting bool, int, long, float, Decimal, date, "
                         "datetime or str/unicode object")

    def test_int_beyond_64_bits_raises_and_writes_nothing(self):
        e = JSONEncoder("", False)
        e.start_array()
        with self.assertRaises(OverflowError):
            e.write(2 ** 64)
        e.end_array()
        self.assertEqual(e.generate(), b"[]")

    def test_second_document_until_reset(self):
        e = JSONEncoder()
        e.write(1)
        self.assertJSONError("A complete JSON document has been generated", e.write, 1)
        self.assertJSONError("A complete JSON document has been generated", e.start_map)
        e.reset()
        e.write(2)
        self.assertEqual(e.generate(), b"2\n")

    def test_generate_hands_out_text_once(self):
        e = JSONEncoder("", False)
        e.start_array()
        e.write(1)
        self.assertEqual(e.generate(), b"[1")
        self.assertEqual(e.generate(), b"")
        e.end_array()
        self.assertEqual(e.generate(), b"]")

    def test_depth_limit(self):
        e = JSONEncoder()
        for _ in range(127):
            e.start_array()
        self.assertJSONError("Maximum generation depth exceeded", e.start_array)
        a = []
        a.append(a)
        self.assertJSONError("Maximum generation depth exceeded", JSONEncoder().write, a)

    def test_close_with_nothing_open_is_refused_and_encoder_stays_usable(self):
        # Closing what is not open used to wrap the generator's depth; later calls crashed.
        for close in ("end_map", "end_array"):
            with self.subTest(close=close):
                e = JSONEncoder("", False)
                for _ in range(3):
                    with self.assertRaises(zelmolib.JSONError):
                        getattr(e, close)()
                e.write({"a": [1]})
                self.assertEqual(e.generate(), b'{"a":[1]}')

    def test_mismatched_or_early_close_is_refused(self):
        e = JSONEncoder("", False)
        e.start_array()
        self.assertJSONError("No mapping is open", e.end_map)
        e.start_map()
        self.assertJSONError("No array is open", e.end_array)
        e.write("key")
        self.assertJSONError("Mapping key has no value", e.end_map)
        e.start_array()
        e.end_array()
        e.end_map()
        e.end_array()
        self.assertEqual(e.generate(), b'[{"key":[]}]')


class SubclassTest(unittest.TestCase):
    def test_override_sees_every_nested_value(self):
        seen = []

        class AsText(JSONEncoder):
            def write(self, value):
                if isinstance(value, (dict, list, tuple)):
                    return super().write(value)
                seen.append(value)
                return super().write(str(value))

        e = AsText("", False)
        e.write({"a": [1, None], "b": {"c": 2.5}})
        self.assertEqual(e.generate(), b'{"a":["1","None"],"b":{"c":"2.5"}}')
        self.assertEqual(seen, [1, None, 2.5])

    def test_exception_of_override_propagates(self):
        class Failing(JSONEncoder):
            def write(self, value):
                if value == 2:
                    raise KeyError(value)
                return super().write(value)

        with self.assertRaises(KeyError):
            Failing("", False).write([1, 2, 3])

    def test_override_mutating_the_list_is_safe(self):
        items = [1, 2, 3]

        class Mutating(JSONEncoder):
            def write(self, value):
                if isinstance(value, int):
                    items.clear()
                return super().write(value)

        e = Mutating("", False)
        e.write(items)
        self.assertEqual(e.generate(), b"[1]")


if __name__ == "__main__":
    unittest.main()
