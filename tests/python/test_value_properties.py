"""Property tests over random values of every kind the module converts: a value turned
into a server value and back (in process, and flattened through the stand-in server's
ECHO), a Decimal pickled and unpickled, and a document written as JSON and read again
give an equal object of the same type, or a clear error where the value cannot be
represented. Seeded; bounded in count and in time."""

import datetime
import decimal
import math
import pickle
import random
import re
import struct
import time
import unittest

import zelmolib
import _zelmolib
import native
from _zelmolib import Decimal as D
from client_fixture import ECHO, ServerTestCase

# Each property stops at its count or its time budget, whichever comes first.
BUDGET_SECONDS = 20.0
MAX_EXPONENT, MIN_EXPONENT = 99999, -100036


class Refused:
    """The value cannot be represented: converting it raises `error`."""

    def __init__(self, error):
        self.error = error


class Values:
    """Random values; each comes with what must come back (or a Refused)."""

    def __init__(self, seed, for_json=False):
        self.rng = random.Random(seed)
        self.for_json = for_json

    def decimal(self):
        rng = self.rng
        if rng.random() < 0.03 and not self.for_json:
            text = rng.choice(["NaN", "Infinity", "-Infinity"])
            return D(text)
        digits = rng.choice([1, 2, 5, 12, 19, 20, 30, 37, 38])
        coefficient = rng.randrange(10 ** (digits - 1), 10 ** digits)
        where = rng.random()
        if where < 0.6:
            exponent = rng.randint(-30, 10)
        else:
            exponent = rng.randint(MIN_EXPONENT, MAX_EXPONENT - digits + 1)
        return D("%s%dE%d" % (rng.choice(["", "-"]), coefficient, exponent))

    def text(self):
        rng = self.rng
        chars = []
        for _ in range(rng.randint(0, 24)):
            plane = rng.choice([0, 0, 0, 1, 2, 3, 14, 15, 16])
            c = rng.randrange(plane * 0x10000, plane * 0x10000 + 0x10000)
            if 0xD800 <= c <= 0xDFFF:
                c = 0  # NUL instead of a surrogate
            chars.append(chr(c))
        if rng.random() < 0.3:
            chars.insert(rng.randint(0, len(chars)), "\0")
        return "".join(chars)

    def key(self):
        return self.text().replace("\0", "") or "k"

    def scalar(self):
        rng = self.rng
        kind = rng.randrange(12)
        if kind == 0:
            return None
        if kind == 1:
            return rng.random() < 0.5
        if kind == 2:
            return rng.choice([0, 1, -1, 2 ** 31, -2 ** 31 - 1, 2 ** 63 - 1, -2 ** 63,
                               rng.randint(-2 ** 63, 2 ** 63 - 1), rng.randint(-999, 999)])
        if kind == 3 and not self.for_json:
            return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if kind in (3, 4):
            return self.decimal()
        if kind == 5:
            text = self.text()
            if self.for_json and re.match(r"^\d", text):
                text = "x" + text  # JSON reads date-like texts as dates
            return text
        if kind == 6 and not self.for_json:
            return bytes(rng.getrandbits(8) for _ in range(rng.randint(0, 40)))
        if kind in (6, 7):
            return datetime.date(rng.randint(1901, 9998), rng.randint(1, 12), rng.randint(1, 28))
        if kind == 8:
            value = datetime.datetime(rng.randint(1901, 9998), rng.randint(1, 12),
                                      rng.randint(1, 28), rng.randint(0, 23), rng.randint(0, 59),
                                      rng.randint(0, 59),
                                      0 if self.for_json else rng.randint(0, 999) * 1000)
            # Local fields that a daylight-saving change skips or repeats do not come back.
            whole = value.replace(microsecond=0)
            if datetime.datetime.fromtimestamp(int(whole.timestamp())) != whole:
                return None
            return value
        if kind == 9:
            return datetime.time(rng.randint(0, 23), rng.randint(0, 59), rng.randint(0, 59),
                                 0 if self.for_json else rng.randint(0, 999) * 1000)
        return self.decimal()

    def value(self, depth=0):
        """(value, expected back)."""
        rng = self.rng
        roll = rng.random()
        if depth < 3 and roll < 0.15:
            items = [self.value(depth + 1) for _ in range(rng.randint(0, 4))]
            values = [v for v, _ in items]
            expected = [e for _, e in items]
            if any(isinstance(e, Refused) for e in expected):
                expected = next(e for e in expected if isinstance(e, Refused))
            if not self.for_json and rng.random() < 0.3:
                return tuple(values), expected  # a tuple comes back as a list
            return values, expected
        if depth < 3 and roll < 0.3:
            items = {self.key(): self.value(depth + 1) for _ in range(rng.randint(0, 4))}
            value = {k: v for k, (v, _) in items.items()}
            expected = {k: e for k, (_, e) in items.items()}
            refused = [e for e in expected.values() if isinstance(e, Refused)]
            return value, refused[0] if refused else expected
        if not self.for_json and roll < 0.33:
            # What no server value holds.
            kind = rng.randrange(3)
            if kind == 0:
                return rng.choice([2 ** 63, -2 ** 63 - 1, 10 ** 30]), Refused(OverflowError)
            if kind == 1:
                return "bad \ud800 surrogate", Refused(UnicodeEncodeError)
            return {"nul\0key": 1}, Refused(ValueError)
        value = self.scalar()
        return value, value


def same(test, got, expected, where):
    if isinstance(expected, float) and math.isnan(expected):
        test.assertTrue(isinstance(got, float) and math.isnan(got), where)
        return
    if isinstance(expected, D) and not expected.format().lstrip("-")[0].isdigit():
        test.assertEqual((type(got), str(got)), (D, str(expected)), where)
        return
    if isinstance(expected, list):
        test.assertIs(type(got), list, where)
        test.assertEqual(len(got), len(expected), where)
        for g, e in zip(got, expected):
            same(test, g, e, where)
        return
    if isinstance(expected, dict):
        test.assertIs(type(got), dict, where)
        test.assertEqual(set(got), set(expected), where)
        for k in expected:
            same(test, got[k], expected[k], where)
        return
    test.assertIs(type(got), type(expected), where)
    test.assertEqual(got, expected, where)
    if isinstance(expected, D):
        test.assertEqual(str(got), str(expected), where)


def deadline():
    end = time.monotonic() + BUDGET_SECONDS
    return lambda: time.monotonic() < end


class InProcessRoundTripTest(unittest.TestCase):
    def test_random_values_to_server_values_and_back(self):
        values = Values(20240605)
        in_time = deadline()
        checked = 0
        for n in range(3000):
            if not in_time():
                break
            value, expected = values.value()
            where = "case %d: %r" % (n, value)
            if isinstance(expected, Refused):
                with self.assertRaises(expected.error, msg=where):
                    native.roundtrip({"v": value})
                continue
            kind, back = native.roundtrip({"v": value})
            same(self, back["v"], expected, where)
            checked += 1
        self.assertGreater(checked, 300)


class EchoRoundTripTest(ServerTestCase):
    """Flattened by the client, read and written again by the server, read back."""

    def test_random_values_through_the_server(self):
        values = Values(77)
        in_time = deadline()
        checked = 0
        for n in range(600):
            if not in_time():
                break
            value, expected = values.value()
            where = "case %d: %r" % (n, value)
            if isinstance(expected, Refused):
                with self.assertRaises(expected.error, msg=where):
                    self.client.execute(ECHO, {"v": value})
                continue
            back = self.client.execute(ECHO, {"v": value})
            same(self, back["v"], expected, where)
            checked += 1
        self.assertGreater(checked, 100)

    def test_every_decimal_magnitude_through_the_server(self):
        batch = {}
        for e in range(MIN_EXPONENT, MAX_EXPONENT - 36, 1999):
            for c in (1, -7, 12345678901234567890123456789012345678):
                batch["%dE%d" % (c, e)] = D("%dE%d" % (c, e))
        back = self.client.execute(ECHO, batch)
        for key, value in batch.items():
            same(self, back[key], value, key)


class DecimalPickleTest(unittest.TestCase):
    def test_random_decimals_pickle_and_copy(self):
        import copy
        values = Values(31)
        in_time = deadline()
        for n in range(3000):
            if not in_time():
                break
            d = values.decimal()
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                same(self, pickle.loads(pickle.dumps(d, protocol)), d, (n, str(d)[:40]))
            same(self, copy.deepcopy(d), d, n)


class Builder(_zelmolib.JSONDecoder):
    def __init__(self):
        super().__init__()
        self.stack, self.keys = [[]], []

    def add(self, value):
        top = self.stack[-1]
        if isinstance(top, dict):
            top[self.keys.pop()] = value
        else:
            top.append(value)

    def read(self, value):
        self.add(value)

    def read_key(self, key):
        self.keys.append(key)

    def start_map(self):
        self.stack.append({})

    def start_array(self):
        self.stack.append([])

    def end_map(self):
        self.add(self.stack.pop())

    end_array = end_map


def json_expected(value):
    """What the decoder makes of what the encoder wrote: numbers whole and within 32 bits
    are ints, other numbers Decimals (whole numbers past 38 digits ints); a datetime and
    a time keep their seconds."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, D)):
        whole = D(value) == D(value).floor() if isinstance(value, D) else True
        if whole and -2 ** 31 <= value < 2 ** 31:
            return int(value)
        if isinstance(value, int):
            return D(value)
        return value
    if isinstance(value, list):
        return [json_expected(v) for v in value]
    if isinstance(value, dict):
        return {k: json_expected(v) for k, v in value.items()}
    return value


class JSONRoundTripTest(unittest.TestCase):
    def test_random_documents_written_and_read(self):
        values = Values(1234, for_json=True)
        in_time = deadline()
        checked = 0
        for n in range(2000):
            if not in_time():
                break
            value, _ = values.value()
            encoder = _zelmolib.JSONEncoder("utf-8", n % 2 == 0)
            encoder.write([value])
            builder = Builder()
            builder.parse(encoder.generate())
            builder.complete_parse()
            where = "case %d: %r" % (n, value)
            same(self, builder.stack[0][0][0], json_expected(value), where)
            checked += 1
        self.assertGreater(checked, 300)

    def test_what_json_cannot_carry_is_refused(self):
        for value in (D("NaN"), D("Infinity"), [D("-Infinity")], {"k": D("NaN")},
                      float("nan"), float("inf")):
            with self.subTest(value=value), self.assertRaises(zelmolib.JSONError):
                _zelmolib.JSONEncoder().write(value)


if __name__ == "__main__":
    unittest.main()
