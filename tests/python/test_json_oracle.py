"""JSONEncoder and JSONDecoder against Python's json: random documents written by one
and read by the other, and the public JSON conformance cases."""

import decimal
import json
import os
import random
import unittest

import zelmolib
import _zelmolib
from test_json_decoder import Builder

HERE = os.path.dirname(os.path.abspath(__file__))
CONFORMANCE = os.path.normpath(
    os.path.join(HERE, "..", "..", "..", "shared", "data", "json-conformance"))

# Cases with comments, which the decoder skips by design.
COMMENT_CASES = {
    "n_object_trailing_comment.json",
    "n_object_trailing_comment_open.json",
    "n_object_trailing_comment_slash_open.json",
    "n_object_trailing_comment_slash_open_incomplete.json",
    "n_structure_object_with_comment.json",
}

ALPHABET = "abcxyz019 -:._\"\\/\b\f\n\r\t\x00\x1f\x7féß€😀\u2028"


def random_text(rng):
    return "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 12)))


def random_number(rng, big):
    kind = rng.randrange(4)
    if kind == 0:
        return rng.randint(-2 ** 31, 2 ** 31 - 1)
    if kind == 1:
        return rng.randint(-2 ** 63, 2 ** 63 - 1)
    if kind == 2:
        if not big:  # the encoder writes 64-bit integers only
            return rng.randint(-2 ** 63, 2 ** 63 - 1)
        return rng.choice((-1, 1)) * rng.randrange(10 ** 39, 10 ** 60)
    return rng.uniform(-1, 1) * 10 ** rng.randint(-20, 20)


def random_value(rng, depth=0, big=True):
    kind = rng.randrange(9 if depth < 5 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rng.random() < 0.5
    if kind in (2, 3):
        return random_number(rng, big)
    if kind in (4, 5):
        return random_text(rng)
    if kind in (6, 7):
        return [random_value(rng, depth + 1, big) for _ in range(rng.randint(0, 5))]
    return {random_text(rng): random_value(rng, depth + 1, big) for _ in range(rng.randint(0, 5))}


def normalise(value):
    """Numbers as Python decimals, so that the decoder's int/Decimal choice and the
    oracle's int/Decimal choice compare by value."""
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, decimal.Decimal, _zelmolib.Decimal)):
        return decimal.Decimal(str(value))
    if isinstance(value, list):
        return [normalise(v) for v in value]
    if isinstance(value, dict):
        return {k: normalise(v) for k, v in value.items()}
    raise AssertionError(type(value))


def decode(data, chunks=1, rng=None):
    b = Builder()
    cuts = sorted(rng.sample(range(1, len(data)), min(chunks - 1, len(data) - 1))) if rng else []
    start = 0
    for cut in cuts + [len(data)]:
        b.parse(data[start:cut])
        start = cut
    b.complete_parse()
    return b.value


class RandomDocumentTest(unittest.TestCase):
    def test_encoder_output_read_by_json(self):
        rng = random.Random(2101)
        for i in range(400):
            doc = random_value(rng, big=False)
            pretty = rng.random() < 0.5
            e = _zelmolib.JSONEncoder("utf-8", pretty)
            e.write(doc)
            text = e.generate()
            with self.subTest(i=i):
                self.assertEqual(json.loads(text), doc)

    def test_json_output_read_by_decoder(self):
        rng = random.Random(2102)
        for i in range(400):
            doc = random_value(rng)
            text = json.dumps(doc, ensure_ascii=rng.random() < 0.5,
                              indent=rng.choice((None, 0, 2, "\t")))
            expected = normalise(json.loads(text, parse_float=decimal.Decimal))
            data = text.encode()
            chunks = rng.choice((1, 2, 5))
            with self.subTest(i=i, chunks=chunks):
                self.assertEqual(normalise(decode(data, chunks, rng)), expected)

    def test_round_trip_through_both(self):
        rng = random.Random(2103)
        for i in range(200):
            doc = random_value(rng, big=False)
            e = _zelmolib.JSONEncoder("utf-8", rng.random() < 0.5)
            e.write(doc)
            with self.subTest(i=i):
                self.assertTrue(same(decode(e.generate()), doc))


class DateRoundTripTest(unittest.TestCase):
    def test_dates_and_times_come_back(self):
        import datetime
        rng = random.Random(2124)
        values = []
        for _ in range(500):
            day = datetime.date(1, 1, 1) + datetime.timedelta(days=rng.randrange(3652059))
            values.append(day)
            values.append(datetime.datetime(day.year, day.month, day.day, rng.randrange(24),
                                            rng.randrange(60), rng.randrange(60)))
            values.append(datetime.time(rng.randrange(24), rng.randrange(60), rng.randrange(60)))
        e = _zelmolib.JSONEncoder("utf-8", False)
        e.write(values)
        self.assertEqual(decode(e.generate()), values)


def same(got, original):
    """got, as decoded, holds the values of original (floats to the nearest double)."""
    if isinstance(original, bool) or original is None or isinstance(original, str):
        return got == original and type(got) is type(original)
    if isinstance(original, float):
        return float(str(got)) == original
    if isinstance(original, int):
        return int(str(got)) == original
    if isinstance(original, list):
        return (isinstance(got, list) and len(got) == len(original)
                and all(same(g, o) for g, o in zip(got, original)))
    return (isinstance(got, dict) and got.keys() == original.keys()
            and all(same(got[k], original[k]) for k in original))


@unittest.skipUnless(os.path.isdir(CONFORMANCE),
                     "JSON conformance cases not found at " + CONFORMANCE)
class ConformanceTest(unittest.TestCase):
    def cases(self, prefix):
        names = sorted(n for n in os.listdir(CONFORMANCE)
                       if n.startswith(prefix) and n.endswith(".json"))
        self.assertTrue(names)
        for name in names:
            with open(os.path.join(CONFORMANCE, name), "rb") as f:
                yield name, f.read()

    def test_accepted(self):
        for name, data in self.cases("y_"):
            with self.subTest(name=name):
                d = _zelmolib.JSONDecoder()
                d.parse(data)
                d.complete_parse()

    def test_refused(self):
        for name, data in self.cases("n_"):
            if name in COMMENT_CASES:
                continue
            with self.subTest(name=name):
                d = _zelmolib.JSONDecoder()
                with self.assertRaises((zelmolib.JSONError, UnicodeDecodeError, OverflowError)):
                    d.parse(data)
                    d.complete_parse()

    def test_accepted_documents_match_json(self):
        for name, data in self.cases("y_"):
            try:
                expected = json.loads(data, parse_float=decimal.Decimal)
            except ValueError:
                continue  # outside what Python's json reads (lone surrogates, encodings)
            if not isinstance(expected, (list, dict)):
                expected = [expected]
                data = b"[" + data + b"]"
            with self.subTest(name=name):
                try:
                    got = decode(data)
                except UnicodeDecodeError:
                    continue  # escaped lone surrogates are refused on decoding
                self.assertEqual(normalise(got), normalise(expected))


if __name__ == "__main__":
    unittest.main()
