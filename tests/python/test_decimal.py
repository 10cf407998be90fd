"""Decimal type: arithmetic against Python's decimal (38 digits, half-up), comparison,
hashing, rounding, formatting, pickling and the errors."""

import copy
import decimal
import math
import operator
import pickle
import random
import unittest
from fractions import Fraction

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
            self.assertEqual(hash(a), expected_hash(pa))
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
        # Python hashes -1 as -2, and whole numbers modulo 2**61 - 1.
        edges = [-1, -2, 0, 1, 2 ** 61 - 2, 2 ** 61 - 1, 2 ** 61, -(2 ** 61) + 1, -(2 ** 61)]
        for n in edges + [rng.randint(-10 ** 30, 10 ** 30) for _ in range(2000)]:
            self.assertEqual(str(D(n)), str(n))
            self.assertEqual(D(n), n)
            self.assertEqual(str(D(1) + n), str(n + 1))
            self.assertEqual(hash(D(n)), hash(n))


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
        # Floats compare through their six-decimal text: amounts equal their literals.
        self.assertEqual(D("0.1"), 0.1)
        self.assertFalse(D("0.1") < 0.1)
        self.assertEqual(D("1.1"), 1.1)
        self.assertEqual(D(0.1), 0.1)
        self.assertEqual(D("0.123457"), 0.1234567)
        self.assertNotEqual(D("0.1234567"), 0.1234567)
        self.assertEqual(D("0.5"), 0.5)
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
        for value, other in ((D(5), 5), (D("0.5"), 0.5), (D(-3), -3), (D("1E+20"), 10 ** 20),
                             (D(-1), -1), (D("0.1"), 0.1), (D("1.1"), 1.1),
                             (D("-2.50"), -2.5), (D("0.55") * 2, D("1.1")),
                             (D("0.55") * 2, 1.1)):
            self.assertEqual(hash(value), hash(other))
        self.assertEqual(hash(D(-1)), -2)
        self.assertEqual(len({D(1), D("1.0"), 1}), 1)


# The range of the values a Decimal holds: its first digit at most 10**99999, its last
# at least 10**-100036.
MAX_EXPONENT = 99999
MIN_EXPONENT = -100036


def magnitudes():
    """Decimals across the whole range, at its ends and at the places where the plain
    digits stop being a text the text rules take (39 digits, 1024 bytes)."""
    exponents = set(range(MIN_EXPONENT, MAX_EXPONENT - 36, 3989))
    exponents |= {MIN_EXPONENT, -6176, -1100, -1022, -40, -6, 0, 1, 20, 37, 38, 39, 1000,
                  MAX_EXPONENT - 37}
    values = []
    for e in sorted(exponents):
        for coefficient in (1, -5, 12345678901234567890123456789012345678):
            values.append("%dE%d" % (coefficient, e))
    values += ["1E+%d" % MAX_EXPONENT, "-1E-6176", "0", "-0", "12.5"]
    return values


class MagnitudeTest(unittest.TestCase):
    def test_every_magnitude_prints_its_plain_digits(self):
        for text in magnitudes():
            with self.subTest(text=text):
                d, exact = D(text), PD(text)
                self.assertEqual(str(d), plain(exact))
                self.assertEqual(repr(d), str(d))
                self.assertEqual(d.format(), str(d))
                self.assertTrue(d.format(sep=1))
                self.assertTrue(d.format(monetary=1))

    def test_pickle_copy_and_deepcopy_at_every_magnitude(self):
        for text in magnitudes():
            d = D(text)
            with self.subTest(text=text):
                # The reduce text reads back through the constructor.
                cls, (reduce_text,) = d.__reduce__()
                self.assertIs(cls, D)
                self.assertEqual(D(reduce_text), d)
                self.assertLessEqual(len(reduce_text), 1024)
                copies = [copy.copy(d), copy.deepcopy(d), copy.deepcopy([d])[0]]
                copies += [pickle.loads(pickle.dumps(d, protocol))
                           for protocol in range(pickle.HIGHEST_PROTOCOL + 1)]
                for c in copies:
                    self.assertIsInstance(c, D)
                    self.assertIsNot(c, d)
                    self.assertEqual(c, d)
                    self.assertEqual(str(c), str(d))
        self.assertEqual(D("1E+38").__reduce__()[1], ("1E+38",))
        self.assertEqual(D("12.5").__reduce__()[1], ("12.5",))
        for special in ("Infinity", "-Infinity"):
            self.assertEqual(pickle.loads(pickle.dumps(D(special))), D(special))
        self.assertEqual(str(pickle.loads(pickle.dumps(D("NaN")))), "NaN")

    def test_results_of_arithmetic_pickle_too(self):
        smallest = D("1E-%d" % -MIN_EXPONENT)
        for value in (smallest / 3, D("1E-99999") / 7, D(1) / 3, D(2) ** 100, smallest * 5):
            self.assertEqual(pickle.loads(pickle.dumps(value)), value)

    def test_values_beyond_the_range_are_refused_or_infinite(self):
        for text in ("1E+100000", "-1E+999999", "1E-100037", "1E-999999", "1E+999999999999"):
            with self.subTest(text=text), self.assertRaises(OverflowError) as cm:
                D(text)
            self.assertEqual(str(cm.exception), "Arithmetic overflow")
        largest = D("9.9999999999999999999999999999999999999E+%d" % MAX_EXPONENT)
        self.assertEqual(str(largest * 10), "Infinity")
        self.assertEqual(str(-largest - largest), "-Infinity")
        self.assertEqual(D("1E-%d" % -MIN_EXPONENT) / 10, 0)

    def test_a_huge_count_of_places_raises_memory_error(self):
        with self.assertRaises(MemoryError):
            D(1).format(2 ** 31 - 1)
        self.assertEqual(len(D(1).format(100000)), 100002)


def expected_hash(exact):
    """A whole value hashes as the int it equals, any other as its float."""
    if exact.is_finite() and exact == exact.to_integral_value():
        return hash(int(exact))
    return hash(float(exact))


def six_decimal_value(f):
    """The value a float compares by: its "%f" text, or its exact value where that text
    has more than 38 digits."""
    text = "%f" % f
    digits = text.lstrip("-").replace(".", "").lstrip("0")
    return PD(f) if len(digits) > 38 else PD(text)


class HashTest(unittest.TestCase):
    """A whole value hashes as the int it equals; any other as float(value), so equal
    values hash alike wherever the float has at most six decimals."""

    def test_random_values_of_every_kind(self):
        rng = random.Random(61)
        for _ in range(4000):
            kind = rng.randrange(5)
            if kind == 0:
                x = rng.randint(-10 ** 38 + 1, 10 ** 38 - 1) // 10 ** rng.randrange(38)
            elif kind == 1:
                x = rng.uniform(-1e6, 1e6) if rng.random() < 0.5 else \
                    rng.randint(-2 ** 60, 2 ** 60) / 2 ** rng.randrange(40)
            elif kind == 2:
                x = Fraction(rng.randint(-10 ** 12, 10 ** 12), 2 ** rng.randrange(20) *
                             5 ** rng.randrange(20))
            elif kind == 3:
                x = PD("%dE%d" % (rng.randint(-10 ** 20, 10 ** 20),
                                  rng.randint(MIN_EXPONENT + 30, MAX_EXPONENT - 30)))
            else:
                x = PD(rng.choice(["Infinity", "-Infinity", "0", "-0", "-1", "-1.0"]))
            exact = PD(x) if not isinstance(x, Fraction) else \
                PD(x.numerator) / PD(x.denominator)
            if isinstance(x, Fraction) and Fraction(exact) != x:
                continue  # 38 digits do not hold it
            try:
                d = D(format(exact, "f") if exact.is_finite() else str(exact))
            except OverflowError:
                continue  # more than 38 digits
            with self.subTest(x=x):
                self.assertEqual(hash(d), expected_hash(exact))
                if isinstance(x, int):
                    self.assertEqual(d, x)
                    self.assertEqual(hash(d), hash(x))
                elif isinstance(x, float):
                    self.assertEqual(d == x, exact == six_decimal_value(x))
                    if d == x:
                        self.assertEqual(hash(d), hash(x))

    def test_unreduced_results_hash_as_their_reduced_value(self):
        # Products, sums and differences that keep trailing zeros (0.55 * 2 is 1.10)
        # equal the value written without them, and hash alike.
        rng = random.Random(29)
        for _ in range(3000):
            places = rng.randrange(1, 8)
            a = PD(rng.randint(-10 ** 9, 10 ** 9)).scaleb(-places)
            b = PD(rng.choice([2, 4, 5, 10, 20, 25, 50, 100, -2, -5]))
            c = PD(rng.randint(-10 ** 9, 10 ** 9)).scaleb(-places)
            for exact, result in ((a * b, D(str(a)) * D(str(b))),
                                  (a + c, D(str(a)) + D(str(c))),
                                  (a - c, D(str(a)) - D(str(c)))):
                reduced = D(format(exact.normalize(), "f"))
                with self.subTest(a=a, b=b, c=c, exact=exact):
                    self.assertEqual(result, reduced)
                    self.assertEqual(hash(result), hash(reduced))
                    self.assertEqual(hash(result), expected_hash(exact))
                    if exact == exact.to_integral_value():
                        self.assertEqual(hash(result), hash(int(exact)))
                    elif places <= 6:
                        self.assertEqual(hash(result), hash(float(exact)))

    def test_floats_of_six_decimals_equal_and_hash_alike(self):
        rng = random.Random(17)
        for _ in range(3000):
            f = round(rng.uniform(-1e9, 1e9) / 10 ** rng.randrange(10), rng.randrange(7))
            d = D(repr(f))
            with self.subTest(f=f):
                self.assertEqual(d, f)
                self.assertEqual(hash(d), hash(f))
                self.assertEqual(len({d, f}), 1)
        # More decimals than six: equal by the text, hashed by the value.
        self.assertEqual(D("0.123457"), 0.1234567)
        self.assertNotEqual(hash(D("0.123457")), hash(0.1234567))
        self.assertEqual(D(1), 0.9999999999)
        self.assertNotEqual(hash(D(1)), hash(0.9999999999))

    def test_equal_numbers_share_set_and_dict_slots(self):
        for number in (2 ** 60 + 1, -(2 ** 62) - 3, 10 ** 37 + 1, 0.5, -2.0 ** 70,
                       12345678901234567890123456789012345678, -1, 0.1, 1.1, -19.99):
            d = D(number)
            self.assertEqual(d, number)
            self.assertEqual(len({d, number}), 1)
            self.assertEqual({number: "x"}[d], "x")
            self.assertEqual({d: "y"}[number], "y")
        self.assertEqual(hash(D("Infinity")), hash(float("inf")))
        self.assertEqual(hash(D("-Infinity")), hash(float("-inf")))
        nan = D("NaN")
        self.assertEqual(hash(nan), hash(nan))
        self.assertNotEqual(hash(nan), hash(D("NaN")))  # by identity, as a float NaN

    def test_floats_compare_through_their_six_decimal_text(self):
        # In a caller's decimal context that traps float operations, which a comparison
        # neither raises nor flags.
        rng = random.Random(5)
        floats = [rng.uniform(-1e9, 1e9) * 2.0 ** rng.randint(-60, 80) for _ in range(2000)]
        floats += [float("inf"), float("-inf"), 1e40, -1e40, 1e32, -1e32, 1.7976931348623157e308,
                   math.nextafter(1e32, 0)]
        trapping = decimal.Context(traps=[decimal.FloatOperation])
        for f in floats:
            for d in (D(f), D(format(PD(f), ".20e")), D(PD(f).to_integral_value()), D(5)):
                exact, theirs = PD(str(d)), six_decimal_value(f)
                with decimal.localcontext(trapping) as context:
                    results = (d == f, d < f, d >= f)
                    self.assertFalse(context.flags[decimal.FloatOperation])
                self.assertEqual(results, (exact == theirs, exact < theirs, exact >= theirs))


class TextWithNulTest(unittest.TestCase):
    def test_a_str_holding_nul_is_not_a_number(self):
        for text in ("1.5\x00abc", "\x002", "2\x00", "1\x00" + "0" * 40):
            with self.subTest(text=text):
                with self.assertRaises(ValueError) as cm:
                    D(text)
                self.assertEqual(str(cm.exception), "Bad Decimal initializer: %r" % text)
                with self.assertRaises(ValueError) as cm:
                    D(1) + text
                self.assertEqual(str(cm.exception), "Invalid Decimal object")
                with self.assertRaises(ValueError):
                    D(1).round(text)
        # Bytes end at their first NUL, as every bytes text argument does.
        self.assertEqual(D(b"1.5\x00abc"), D("1.5"))


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
        import locale
        try:
            D.set_locale("it_IT")
            text = D("1234567.891").format(monetary=1)
            self.assertTrue(text.endswith("89"), text)
            self.assertEqual(str(D("1234.5")), "1234.5")
            # The "C" locale gives "." for both separators: the thousands are then
            # written with ",", so that the number reads as itself.
            D.set_locale("C")
            d = D("1234567.891")
            self.assertEqual(d.format(2, 15, True), "   1,234,567.89")
            self.assertEqual(d.format(monetary=1), "1,234,567.89")
            self.assertEqual(D("-1234.5").format(sep=1), "-1,234.50")
            before = locale.setlocale(locale.LC_NUMERIC)
            try:
                locale.setlocale(locale.LC_NUMERIC, "it_IT.UTF-8")
            except locale.Error:
                self.skipTest("it_IT.UTF-8 is not installed")
            finally:
                locale.setlocale(locale.LC_NUMERIC, before)
            D.set_locale("it_IT.UTF-8")
            self.assertEqual(d.format(2, 15, True), "   1.234.567,89")
            self.assertEqual(d.format(monetary=1), "1.234.567,89")
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
