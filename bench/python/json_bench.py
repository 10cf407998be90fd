"""JSONEncoder and JSONDecoder over a document of about 10 MB, beside json.dumps and
json.loads in the same run.

Run with the module and the package on the path:
  PYTHONPATH=build/python:python python bench/python/json_bench.py [megabytes]
Prints the best of 5 runs of each side and the ratio (module time / json time; below
1 means the module is faster).

Decoding is measured three ways: the JSONDecoder type itself (its event methods do
nothing, so no Python call is made, but every value is still built); a subclass that
inherits those methods, so that each event is a method call from the parser; and a
subclass in Python that builds the document, the decoder's intended use.
"""

import json
import random
import sys
import time

import zelmolib  # noqa: F401
import _zelmolib


def make_document(megabytes):
    rng = random.Random(21)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "caffè", "naïve", "x\"y"]
    rows = []
    size = 0
    i = 0
    while size < megabytes * 1_000_000:
        row = {
            "id": i,
            "name": " ".join(rng.choice(words) for _ in range(3)),
            "price": round(rng.uniform(0, 10000), 2),
            "qty": rng.randint(0, 1000),
            "big": rng.randint(2 ** 40, 2 ** 60),
            "active": rng.random() < 0.5,
            "note": None,
            "tags": [rng.choice(words) for _ in range(rng.randint(0, 4))],
            "dims": {"w": rng.randint(1, 100), "h": rng.random()},
        }
        rows.append(row)
        size += len(json.dumps(row))
        i += 1
    return {"rows": rows, "count": len(rows)}


class Calls(_zelmolib.JSONDecoder):
    """Inherits the type's event methods: every event is a method call."""


class Build(_zelmolib.JSONDecoder):
    """Builds the document from the events."""

    def __init__(self):
        self.stack = [[]]
        self.keys = []

    def read(self, value):
        top = self.stack[-1]
        if type(top) is dict:
            top[self.keys.pop()] = value
        else:
            top.append(value)

    def read_key(self, key):
        self.keys.append(key)

    def start_map(self):
        self.stack.append({})

    def start_array(self):
        self.stack.append([])

    def end_map(self):
        self.read(self.stack.pop())

    end_array = end_map


def best(fn, repeat=5):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def decode_with(cls, data):
    def run():
        d = cls()
        d.parse(data)
        d.complete_parse()
        return d
    return run


def encode_with(doc, pretty):
    def run():
        e = _zelmolib.JSONEncoder("utf-8", pretty)
        e.write(doc)
        return e.generate()
    return run


def line(name, mine, theirs, other):
    print("%-34s module %8.1f ms   %-22s %8.1f ms   ratio %.2f"
          % (name, mine * 1e3, other, theirs * 1e3, mine / theirs))


def main():
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 10
    doc = make_document(megabytes)
    text = json.dumps(doc)
    data = text.encode()
    print("document: %.1f MB, %d rows" % (len(data) / 1e6, doc["count"]))

    loads = best(lambda: json.loads(data))
    line("decode, JSONDecoder type", best(decode_with(_zelmolib.JSONDecoder, data)), loads,
         "json.loads")
    line("decode, inherited event methods", best(decode_with(Calls, data)), loads, "json.loads")
    line("decode, Python builder subclass", best(decode_with(Build, data), repeat=3), loads,
         "json.loads")

    dumps = best(lambda: json.dumps(doc))
    line("encode, compact", best(encode_with(doc, False)), dumps, "json.dumps")
    dumps_indent = best(lambda: json.dumps(doc, indent="\t"), repeat=3)
    line("encode, pretty (tabs)", best(encode_with(doc, True)), dumps_indent,
         "json.dumps(indent)")

    # The results agree with json's reading of the same text.
    built = decode_with(Build, data)().stack[0][0]
    assert built["count"] == doc["count"] and len(built["rows"]) == len(doc["rows"])
    assert json.loads(encode_with(doc, False)()) == doc


if __name__ == "__main__":
    main()
