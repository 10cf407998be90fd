"""Decimal type: arithmetic against Python's decimal (38 digits, half-up), comparison,
hashing, rounding, formatting, pickling and the errors."""

import copy
import decimal
import operator
import pickle
import random
import unittest

import zelmolib  # noqa: F401
import _zelmolib
from _zelmolib import Decimal as D

PD = decimal.Decimal
CTX = decimal.Context(prec=38, rounding=decimal.ROUND_HALF_UP, Emax=999999, Emin=-999999,
                      traps=[])


def plain(x):
    """Python decimal x as the module prints it: fixed point, no trailing zeros."""
    s = format(x, "f")
    if "." in s:
        s = s.rstrip("0").rstrip(".")
    return s


def random_operand(rng):
    # Up to the full 38 digits, so that results round and quotients may be too long
    # to make whole (NaN on both sides, as a quantize beyond the precision).
    digits = rng.choice((rng.randint(1, 18), rng.randint(19, 38)))
    coefficient = rng.randrange(10 ** (digits - 1), 10 ** digits)
    exponent = rng.randint(-12, 6)
    sign = "-" if rng.random() < 0.4 else ""
    return "%s%dE%d" % (sign, coefficient, exponent)


class OracleTest(unittest.TestCase):
    """Thousands of random operands through every operation, against Python's decimal."""

    def test_arithmetic_matches_python_decimal(self):
        rng = random.Random(20240607)
        ops = [
            ("+", operator.add, CTX.add),
            ("-", operator.sub, CTX.subtract),
            ("*", operator.mul, CTX.multiply),
            ("/", operator.truediv, CTX.divide),
            ("%", operator.mod, CTX.remainder),
        ]
        for _ in range(3000):
            a_text, b_text = random_operand(rng), random_operand(rng)
            a, b = D(a_text), D(b_text)
            pa, pb = PD(a_text), PD(b_text)
            self.assertEqual(str(a), plain(pa))
            for name, mine, theirs in ops:
                expected = theirs(pa, pb)
                got = mine(a, b)
                self.assertEqual(str(got), plain(expected), (a_text, name, b_text))
            q, r = divmod(a, b)
            pq = CTX.divide(pa, pb).quantize(PD(1), rounding=decimal.ROUND_FLOOR, context=CTX)
            self.assertEqual((str(q), str(r)), (plain(pq), plain(CTX.remainder(pa, pb))))
            self.assertEqual(str(a // b), plain(pq))
            for name, op in (("<", operator.lt), ("==", operator.eq), (">=", operator.ge)):
                self.assertEqual(op(a, b), op(pa, pb), (a_text, name, b_text))
            self.assertEqual(hash(a), hash(float(plain(pa))))
            self.assertEqual(float(a), float(pa))

    def test_step_rounding_matches_python_decimal(self):
        rng = random.Random(7)
        steps = ["1", "0.05", "0.1", "0.25", "10", "0.001", "5"]
        modes = {"round": decimal.ROUND_HALF_UP, "floor": decimal.ROUND_FLOOR,
                 "ceil": decimal.ROUND_CEILING}
        for _ in range(1000):
            text = random_operand(rng)
            step = rng.choice(steps)
            for method, rounding in modes.items():
                q = CTX.divide(PD(text), PD(step)).quantize(PD(1), rounding=rounding, context=CTX)
                expected = CTX.multiply(q, PD(step))
                self.assertEqual(str(getattr(D(text), method)(step)), plain(expected),
                                 (text, method, step))

    def test_integer_operands_and_construction(self):
        rng = random.Random(3)
        for _ in range(2000):
            n = rng.randint(-10 ** 30, 10 ** 30)
            self.assertEqual(str(D(n)), str(n))
            self.assertEqual(D(n), n)
            self.assertEqual(str(D(1) + n), str(n + 1))
            self.assertEqual(hash(D(n)), hash(float(n)) if abs(n) > 2 ** 53 else hash(n))


class ConstructionTest(unittest.TestCase):
    def test_values(self):
        cases = [
            (D(), "0"), (D("1,5"), "1.5"), (D("1.50"), "1.5"), (D("1E+2"), "100"),
            (D(0.1), "0.1"), (D(1.23456789), "1.234568"), (D(1e-7), "0"),
            (D(b"2.5\x00junk"), "2.5"), (D(D("7")), "7"), (D(-3), "-3"),
            (D("1" * 38), "1" * 38),
        ]
        for value, text in cases:
            with self.subTest(text=text):
                self.assertEqual(str(value), text)
                self.assertEqual(repr(value), text)

    def test_refused_values(self):
        for value in ("1" * 39, 10 ** 38, "1" * 1025):
            with self.subTest(value=str(value)[:10]), self.assertRaises(OverflowError) as cm:
                D(value)
            self.assertEqual(str(cm.exception), "Arithmetic overflow")
        for value in ("abc", "", True, [1]):
            with self.subTest(value=value), self.assertRaises(ValueError) as cm:
                D(value)
            self.assertEqual(str(cm.exception), "Bad Decimal initializer: %r" % (value,))

    def test_init_again_resets(self):
        d = D("5")
        d.__init__()
        self.assertEqual(d, 0)

    def test_huge_float_does_not_overflow_a_buffer(self):
        for f in (1e247, -1e300, 1.7976931348623157e308):
            try:
                D(f)
            except (ValueError, OverflowError):
                pass
            try:
                D(1) + f
            except (ValueError, OverflowError):
                pass


class OperandTest(unittest.TestCase):
    def test_operands(self):
        self.assertEqual(D(1) + "2.5", D("3.5"))
        self.assertEqual("2.5" + D(1), D("3.5"))
        self.assertEqual(D(1) + b"1", 2)
        self.assertEqual(2 * D("1.5"), 3)
        self.assertEqual(D(1) + 0.5, D("1.5"))
        import fractions
        self.assertEqual(D(1) + fractions.Fraction(1, 4), D("1.25"))

    def test_refused_operands(self):
        for operand, text in (([], "Expected Decimal object"), ("x", "Invalid Decimal object"),
                              (True, "Invalid Decimal object"),
                              (10 ** 40, "Invalid Decimal object")):
            with self.subTest(operand=operand), self.assertRaises(ValueError) as cm:
                D(1) + operand
            self.assertEqual(str(cm.exception), text)

    def test_zero_divisors(self):
        for op in (operator.truediv, operator.floordiv, operator.mod, divmod):
            with self.subTest(op=op.__name__), self.assertRaises(ZeroDivisionError) as cm:
                op(D(5), 0)
            self.assertEqual(str(cm.exception), "decimal division")

    def test_division_family(self):
        self.assertEqual(divmod(D(-7), 2), (D(-4), D(-1)))
        self.assertEqual(D(-7) // 2, -4)
        self.assertEqual(D(-7) % 2, -1)
        self.assertEqual(str(D(1) / 3), "0." + "3" * 38)

    def test_power(self):
        self.assertEqual(D(0) ** 0, 1)
        self.assertEqual(D(-8) ** 2, 64)
        self.assertEqual(D(2) ** D("0.5"), D("1.4142135623730950488016887242096980786"))
        with self.assertRaisesRegex(ZeroDivisionError, "0.0 cannot be raised to a negative power"):
            D(0) ** -1
        with self.assertRaisesRegex(ValueError, "negative number cannot be raised"):
            D(-8) ** D("0.5")
        with self.assertRaisesRegex(TypeError, "pow\\(\\) 3rd argument not allowed"):
            pow(D(2), 2, 3)

    def test_unary_and_conversions(self):
        d = D("-1.5")
        self.assertIs(+d, d)
        self.assertEqual(-d, D("1.5"))
        self.assertEqual(abs(d), D("1.5"))
        self.assertEqual(int(d), -2)
        self.assertEqual(int(D("2.7")), 2)
        self.assertFalse(D(0))
        self.assertTrue(D("0.001"))
        self.assertEqual(operator.index(D("2.0")), 2)
        with self.assertRaises(TypeError):
            operator.index(D("2.5"))
        self.assertEqual([0, 1, 2][D(1)], 1)

    def test_int_beyond_64_bits_raises(self):
        self.assertEqual(int(D(2 ** 63 - 1)), 2 ** 63 - 1)
        self.assertEqual(int(D(-2 ** 63)), -2 ** 63)
        for value in (D(2 ** 63), D("-1E+30"), D("1" * 38)):
            with self.subTest(value=value), self.assertRaises(OverflowError):
                int(value)


class ComparisonTest(unittest.TestCase):
    def test_against_other_types(self):
        self.assertFalse(D(1) == "1")
        self.assertTrue(D(1) != "1")
        with self.assertRaises(TypeError):
            D(1) < "1"
        self.assertEqual(D("0.1"), 0.1)
        self.assertTrue(D(2) > 1.5)

    def test_bools_compare_as_zero_and_one(self):
        self.assertTrue(D(1) == True)
        self.assertTrue(D(0) == False)
        self.assertFalse(D(0) == True)
        self.assertTrue(D(2) > True)

    def test_out_of_range_operands_compare_by_value(self):
        self.assertFalse(D(0) == 10 ** 40)
        self.assertTrue(D(0) < 10 ** 40)
        self.assertTrue(D(0) > -10 ** 40)
        self.assertFalse(D(0) == 1e40)
        self.assertTrue(D("1E+50") == 10 ** 50)
        self.assertTrue(D("1E+50") < 10 ** 50 + 1)
        self.assertTrue(D("1E+50") > 10 ** 50 - 1)
        self.assertTrue(D(2 ** 120) == 2.0 ** 120)
        self.assertFalse(D(2 ** 120 + 1) == 2.0 ** 120)
        self.assertTrue(D(5) < float("inf"))
        self.assertTrue(D(5) > float("-inf"))
        self.assertFalse(D(5) == float("nan"))
        self.assertTrue(D(5) != float("nan"))
        self.assertFalse(D(5) < float("nan"))

    def test_hash_agrees_with_equal_numbers(self):
        for value, other in ((D(5), 5), (D("0.5"), 0.5), (D(-3), -3), (D("1E+20"), 10 ** 20)):
            self.assertEqual(hash(value), hash(other))
        self.assertEqual(len({D(1), D("1.0"), 1}), 1)


class MethodTest(unittest.TestCase):
    def test_rounding_methods(self):
        self.assertEqual(D("12.345").round("0.05"), D("12.35"))
        self.assertEqual(D("2.5").round(), 3)
        self.assertEqual(D("-2.5").round(), -3)
        self.assertEqual(D("-12.345").floor(), -13)
        self.assertEqual(D("12.301").ceil("0.1"), D("12.4"))
        for method in ("round", "floor", "ceil"):
            with self.subTest(method=method), self.assertRaises(ZeroDivisionError) as cm:
                getattr(D(1), method)(0)
            self.assertEqual(str(cm.exception), "%s operand cannot be zero" % method)

    def test_builtin_round(self):
        self.assertIsInstance(round(D("2.5")), D)
        self.assertEqual(round(D("2.5")), 3)
        self.assertEqual(round(D("1.2345"), 2), D("1.23"))
        self.assertEqual(round(D(1250), -2), 1300)

    def test_multiply_and_divide(self):
        self.assertEqual(D("2.5").multiply(3), 8)
        self.assertEqual(D(10).divide(4), 3)
        self.assertEqual(D(10).divide(4, mode=0), D("2.5"))
        self.assertEqual(D(10).divide(3, "0.01", 2), D("3.33"))
        self.assertEqual(D(10).divide(3, "0.01", 3), D("3.34"))
        self.assertEqual(D("1.5").multiply("1.5", "0.1", 9), D("2.25"))
        with self.assertRaises(ZeroDivisionError):
            D(10).divide(3, 0)

    def test_format(self):
        self.assertEqual(D(5).format(width=4), "   5")
        self.assertEqual(D(-5).format(width=5, padzero=1), "000-5")
        self.assertEqual(D(123).format(width=2), "123")
        self.assertEqual(D("-1.239").format(2), "-1.24")
        self.assertEqual(D("1.5").format(), "1.5")
        self.assertEqual(D("1234.5").format(sep=1, padzero=1), "1234.5")

    def test_format_with_locale(self):
        try:
            D.set_locale("it_IT")
            text = D("1234567.891").format(monetary=1)
            self.assertTrue(text.endswith("89"), text)
            self.assertEqual(str(D("1234.5")), "1234.5")
        finally:
            D.set_locale("")
        self.assertIsNone(D.set_locale(""))

    def test_copy_and_pickle(self):
        d = D("-123.456")
        for c in (copy.copy(d), copy.deepcopy(d), pickle.loads(pickle.dumps(d))):
            self.assertIsNot(c, d)
            self.assertEqual(c, d)
        self.assertEqual(d.__reduce__(), (D, ("-123.456",)))

    def test_docstrings(self):
        self.assertEqual(D.__doc__, "Decimal objects")
        self.assertEqual(D.round.__doc__,
                         "round([value]) -> Decimal\n\nReturns number rounded to given value.")
        self.assertEqual(type(D(1)).__name__, "Decimal")
        with self.assertRaises(TypeError):
            class Sub(D):  # noqa: F841
                pass


if __name__ == "__main__":
    unittest.main()
