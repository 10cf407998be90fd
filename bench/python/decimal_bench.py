"""Decimal operations beside Python's decimal.Decimal, and a 10,000-row result table
converted to Python objects beside pickle.loads of the same rows.

Run with the module and the package on the path:
  PYTHONPATH=build/python:python:tests/python python bench/python/decimal_bench.py
Prints one line per row: time per operation of each side and their ratio
(decimal.Decimal time / zelmolib Decimal time; above 1 means the module is faster).
"""

import datetime
import decimal
import pickle
import sys
import timeit

import zelmolib  # noqa: F401
from _zelmolib import Decimal as D

decimal.getcontext().prec = 38
decimal.getcontext().rounding = decimal.ROUND_HALF_UP
PD = decimal.Decimal

A, B = "12345.6789", "-987.654321"


def best(stmt, ns, number):
    return min(timeit.repeat(stmt, globals=ns, number=number, repeat=5)) / number


def row(name, stmt, number=200000):
    mine = best(stmt, {"X": D, "a": D(A), "b": D(B), "s": A}, number)
    theirs = best(stmt, {"X": PD, "a": PD(A), "b": PD(B), "s": A}, number)
    print("%-14s zelmolib %8.1f ns   decimal %8.1f ns   ratio %.2f"
          % (name, mine * 1e9, theirs * 1e9, theirs / mine))


def table_rows():
    sys.path.insert(0, "tests/python")
    import native  # noqa: E402
    rows = [{"ID": i, "NAME": "Articolo %d" % i, "PRICE": D("%d.%02d" % (i, i % 100)),
             "QTY": i * 0.5, "DAY": datetime.date(2024, 1 + i % 12, 1 + i % 28),
             "CODE": b"\x01\x02", "OK": bool(i % 2), "NOTE": None} for i in range(10000)]
    entry = native.Entry().from_py(rows)
    data = pickle.dumps([{k: (str(v) if isinstance(v, D) else v) for k, v in r.items()}
                         for r in rows], protocol=pickle.HIGHEST_PROTOCOL)
    mine = min(timeit.repeat(entry.to_py, number=5, repeat=5)) / 5
    theirs = min(timeit.repeat(lambda: pickle.loads(data), number=5, repeat=5)) / 5
    assert entry.to_py() == rows
    entry.close()
    print("%-14s zelmolib %8.2f ms   pickle  %8.2f ms   ratio %.2f"
          % ("10k rows", mine * 1e3, theirs * 1e3, theirs / mine))


if __name__ == "__main__":
    row("add", "a + b")
    row("multiply", "a * b")
    row("divide", "a / b")
    row("compare", "a < b")
    row("hash", "hash(a)")
    row("str", "str(a)")
    row("from str", "X(s)")
    table_rows()
