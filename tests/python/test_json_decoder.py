"""JSONDecoder: the events it reports, numbers, dates and times, chunking, positions
and its errors."""

import datetime
import unittest

import zelmolib
import _zelmolib
from _zelmolib import JSONDecoder

D = _zelmolib.Decimal


class Recorder(JSONDecoder):
    """Records every event with its argument."""

    def __init__(self, *args):
        super().__init__(*args)
        self.events = []

    def read(self, value):
        self.events.append(("read", value))

    def read_key(self, key):
        self.events.append(("key", key))

    def start_map(self):
        self.events.append("{")

    def end_map(self):
        self.events.append("}")

    def start_array(self):
        self.events.append("[")

    def end_array(self):
        self.events.append("]")


class Builder(JSONDecoder):
    """Builds the Python value of the document."""

    def __init__(self, *args):
        super().__init__(*args)
        self.stack = [[]]
        self.keys = []

    def _add(self, value):
        top = self.stack[-1]
        if isinstance(top, dict):
            top[self.keys.pop()] = value
        else:
            top.append(value)

    def read(self, value):
        self._add(value)

    def read_key(self, key):
        self.keys.append(key)

    def start_map(self):
        self.stack.append({})

    def start_array(self):
        self.stack.append([])

    def end_map(self):
        value = self.stack.pop()
        self._add(value)

    end_array = end_map

    @property
    def value(self):
        return self.stack[0][0]


def events(text, *args):
    r = Recorder(*args)
    r.parse(text)
    r.complete_parse()
    return r.events


def read_one(text):
    """The value read from a one-element array."""
    ev = events("[%s]" % text)
    assert ev[0] == "[" and ev[-1] == "]" and len(ev) == 3, ev
    return ev[1][1]


class EventsTest(unittest.TestCase):
    def test_event_sequence(self):
        ev = events('{"a": [1, 2.5, "x", null, true]}')
        self.assertEqual(ev, ["{", ("key", "a"), "[", ("read", 1), ("read", D("2.5")),
                              ("read", "x"), ("read", None), ("read", True), "]", "}"])
        self.assertIs(type(ev[3][1]), int)
        self.assertIs(type(ev[4][1]), D)

    def test_base_type_accepts_any_document(self):
        d = JSONDecoder()
        d.parse(b'{"a": [1, "x", {"b": null}]}')
        d.complete_parse()
        self.assertIsNone(d.read(1, 2, x=3))

    def test_comments_are_skipped(self):
        self.assertEqual(events('/* a */ [1, // b\n 2]'), ["[", ("read", 1), ("read", 2), "]"])

    def test_split_at_every_byte_gives_same_events(self):
        text = '{"ab": [1.25, "2024-03-05", "x\\u00e9y", -7, {"k": false}], "c": 123456}'
        whole = events(text)
        data = text.encode()
        for cut in range(1, len(data)):
            with self.subTest(cut=cut):
                r = Recorder()
                r.parse(data[:cut])
                r.parse(data[cut:])
                r.complete_parse()
                self.assertEqual(r.events, whole)

    def test_top_level_number_comes_with_complete_parse(self):
        r = Recorder()
        r.parse("42")
        self.assertEqual(r.events, [])
        r.complete_parse()
        self.assertEqual(r.events, [("read", 42)])


class NumberTest(unittest.TestCase):
    def test_numbers(self):
        cases = [
            ("2147483647", 2147483647, int),
            ("-2147483648", -2147483648, int),
            ("2147483648", D("2147483648"), D),
            ("1.0", 1, int),
            ("1e3", 1000, int),
            ("-0", 0, int),
            ("1.5", D("1.5"), D),
            ("3000000000", D("3000000000"), D),
            ("12345678901234567890123456789012345678", D("12345678901234567890123456789012345678"), D),
        ]
        for text, value, kind in cases:
            with self.subTest(text=text):
                got = read_one(text)
                self.assertIs(type(got), kind)
                self.assertEqual(got, value)

    def test_whole_numbers_past_38_digits_are_exact_ints(self):
        # They used to arrive as 0.
        for text, value in (("1" * 40, int("1" * 40)), ("-" + "9" * 60, -int("9" * 60)),
                            ("1e50", 10 ** 50), ("12345678901234567890123456789012345678.9e10",
                                                 123456789012345678901234567890123456789 * 10 ** 9),
                            ("1" * 39 + ".000", int("1" * 39))):
            with self.subTest(text=text):
                got = read_one(text)
                self.assertEqual(got, value)

    def test_fractions_past_38_digits_overflow(self):
        for text in ("1" * 39 + ".5", "0.1234567890123456789012345678901234567891", "1" * 45 + "e-3"):
            with self.subTest(text=text[:30]):
                r = Recorder()
                with self.assertRaises(OverflowError) as cm:
                    r.parse("[0, %s, 2]" % text)
                self.assertEqual(str(cm.exception), "Arithmetic overflow")
                self.assertEqual(r.events, ["[", ("read", 0)])


class TextTest(unittest.TestCase):
    def test_dates_and_times(self):
        cases = [
            ("2024-03-05 14:07:09.123", datetime.datetime(2024, 3, 5, 14, 7, 9)),
            ("2024-03-05T14:07:09", datetime.datetime(2024, 3, 5, 14, 7, 9)),
            ("2024-03-05", datetime.date(2024, 3, 5)),
            ("2024-02-29", datetime.date(2024, 2, 29)),
            ("14:07:09", datetime.time(14, 7, 9)),
            ("23:59:59.999", datetime.time(23, 59, 59)),
            ("14:07", "14:07"),
        ]
        for text, value in cases:
            with self.subTest(text=text):
                got = read_one('"%s"' % text)
                self.assertIs(type(got), type(value))
                self.assertEqual(got, value)

    def test_only_exact_texts_of_existing_days_become_dates(self):
        # A date or time followed by other text, or a day that does not exist, stays text.
        for text in ("2024-02-30", "2023-02-29", "2024-13-01", "2024-00-10", "0000-01-01",
                     "2024-03-05x", " 2024-03-05", "2024-03-05 14:07:09 and more",
                     "2024-03-05 24:00:00", "14:60:00", "14:07:09Z", "14:07:09.", "2024-3-5",
                     "2024-03-05 14:07", "1:02:03"):
            with self.subTest(text=text):
                self.assertEqual(read_one('"%s"' % text), text)

    def test_times_take_the_fractions_that_timestamps_take(self):
        # One to three fraction digits and more, whatever the length of the text: a time
        # alone reads as the time of a timestamp does.
        for fraction in ("5", "12", "123", "1234", "123456789"):
            with self.subTest(fraction=fraction):
                time = read_one('"14:07:09.%s"' % fraction)
                stamp = read_one('"2024-03-05 14:07:09.%s"' % fraction)
                self.assertIs(type(time), datetime.time)
                self.assertEqual(time, stamp.time())
                self.assertEqual(time, datetime.time(14, 7, 9))
        self.assertEqual(read_one('"00:00:00.0"'), datetime.time(0, 0))
        for text in ("14:07:09.x", "14:07:09.5 ", "14:07:0.5", "24:00:00.5"):
            self.assertEqual(read_one('"%s"' % text), text)

    def test_map_key_stays_text(self):
        self.assertEqual(events('{"2024-03-05": 1}')[1], ("key", "2024-03-05"))

    def test_encodings(self):
        self.assertEqual(events(b'["caf\xe9"]', "latin-1")[1], ("read", "café"))
        with self.assertRaises(UnicodeDecodeError):
            events(b'["caf\xe9"]')
        with self.assertRaises(UnicodeDecodeError):
            events(b'{"caf\xe9": 1}', "latin-1")

    def test_escapes(self):
        self.assertEqual(read_one(r'"a\"b\\c\/\n\u00e9\ud83d\ude00"'), 'a"b\\c/\né\U0001F600')


class ErrorTest(unittest.TestCase):
    def assertJSONError(self, prefix, call, *args):
        with self.assertRaises(zelmolib.JSONError) as cm:
            call(*args)
        error = cm.exception
        self.assertTrue(error.args[0].startswith(prefix), error.args[0])
        # The text alone: args, message and str() carry it, and the code is 0.
        self.assertEqual((len(error.args), error.message, str(error), error.code),
                         (1, error.args[0], error.args[0], 0))
        self.assertIsInstance(error, zelmolib.Error)
        return error.args[0]

    def test_parse_error_texts(self):
        self.assertJSONError("<string>, position 4", JSONDecoder().parse, "[1,]")
        d = JSONDecoder()
        d.set_filename("data.json")
        self.assertJSONError("data.json, position 4", d.parse, "[1,]")
        self.assertJSONError("f.json, position", JSONDecoder("", "f.json").parse, "]")

    def test_failed_parser_stays_failed(self):
        d = JSONDecoder()
        self.assertJSONError("<string>", d.parse, "[1,]")
        self.assertJSONError("<string>", d.parse, "2]")

    def test_text_after_completed_document_is_refused(self):
        d = JSONDecoder()
        d.parse("[1]")
        d.complete_parse()
        self.assertJSONError("<string>", d.parse, "[2]")

    def test_incomplete_document(self):
        d = JSONDecoder()
        d.parse('{"a": ')
        self.assertTrue(self.assertJSONError("<string>, position 6", d.complete_parse)
                        .endswith("parse error"))

    def test_bad_bytes_are_refused(self):
        # A NUL byte used to end a bytes chunk early, hiding the rest of it.
        for text in (b"[1]\x00[2]", b"[1\x002]", b"[\x0c]", b"[1,\x0b2]", "[1]\x00"):
            with self.subTest(text=text):
                d = JSONDecoder()
                with self.assertRaises(zelmolib.JSONError):
                    d.parse(text)
                    d.complete_parse()

    def test_form_feed_inside_comment_is_still_skipped(self):
        self.assertEqual(events("[1 /* \x0c */]"), ["[", ("read", 1), "]"])

    def test_exception_of_callback(self):
        class Failing(JSONDecoder):
            def read(self, value):
                raise KeyError(value)

        with self.assertRaises(KeyError):
            Failing().parse("[1]")
        d = Failing()
        d.parse("7")
        self.assertTrue(self.assertJSONError("<string>", d.complete_parse)
                        .endswith("client canceled parse"))

    def test_argument_errors(self):
        with self.assertRaises(ValueError) as cm:
            JSONDecoder().parse(5)
        self.assertEqual(str(cm.exception), "Expected 'str' or 'unicode' object")
        with self.assertRaises(ValueError):
            JSONDecoder().set_filename(None)

    def test_parse_from_own_callback_is_refused(self):
        class Reentrant(JSONDecoder):
            def read(self, value):
                self.parse("[2]")

        with self.assertRaises(RuntimeError):
            Reentrant().parse("[1]")


class PositionTest(unittest.TestCase):
    def test_position_between_chunks_counts_each_byte_once(self):
        # It used to add the last chunk twice.
        d = JSONDecoder()
        self.assertEqual(d.get_parse_position(), 0)
        d.parse("[1, ")
        self.assertEqual(d.get_parse_position(), 4)
        d.parse("22, 3")
        self.assertEqual(d.get_parse_position(), 9)
        d.parse("]")
        self.assertEqual(d.get_parse_position(), 10)
        d.complete_parse()
        self.assertEqual(d.get_parse_position(), 0)

    def test_position_inside_callbacks_is_token_offset(self):
        text = '[10, "abc", {"k": 77}]'

        class Positions(JSONDecoder):
            def __init__(self):
                self.seen = []

            def read(self, value):
                self.seen.append((value, self.get_parse_position()))

        d = Positions()
        d.parse(text[:6])
        d.parse(text[6:])
        d.complete_parse()
        for value, position in d.seen:
            token = '"%s"' % value if isinstance(value, str) else str(value)
            self.assertEqual(text[:position].rstrip()[-len(token):], token)


if __name__ == "__main__":
    unittest.main()
