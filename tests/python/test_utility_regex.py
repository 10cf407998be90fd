"""regexp_find_all against re.findall where PCRE2's rules agree with Python's, the
group shapes, empty matches, the kinds of text and invalid UTF-8."""

import array
import random
import re
import threading
import unittest

import zelmolib  # noqa: F401
import _zelmolib as z

# Patterns that cannot match the empty string and whose groups all take part in every
# match, where PCRE2 and re agree.
PATTERNS = [
    r"ab", r"a(b)", r"(a)(b)", r"[a-c]+", r"(\d+)-(\d+)", r"\w+@\w+\.com", r"(?i)AB+",
    r"é+", r"(x|y)z", r"[^ ]+", r"a.c", r"\bword\b", r"(\w)(\w)\1",
]
ALPHABET = "abcxyz09- @.éword"


class OracleTest(unittest.TestCase):
    def test_against_re(self):
        rng = random.Random(2107)
        for pattern in PATTERNS:
            compiled = re.compile(pattern, re.ASCII)  # PCRE2 without UCP: ASCII classes
            for _ in range(60):
                text = "".join(rng.choice(ALPHABET) for _ in range(rng.randint(0, 40)))
                with self.subTest(pattern=pattern, text=text):
                    self.assertEqual(z.regexp_find_all(pattern, text), compiled.findall(text))

    def test_group_shapes(self):
        self.assertEqual(z.regexp_find_all("(a)(b)", "abab"), [("a", "b"), ("a", "b")])
        self.assertEqual(z.regexp_find_all("a(b)", "abab"), ["b", "b"])
        self.assertEqual(z.regexp_find_all("ab", "abab"), ["ab", "ab"])
        # The shape follows the groups each match sets: trailing groups that took no
        # part are not counted.
        self.assertEqual(z.regexp_find_all("(a)|(b)", "ab"), ["a", ("", "b")])

    def test_text_kinds(self):
        self.assertEqual(z.regexp_find_all(b"a", b"aa\x00aaa"), ["a", "a"])
        self.assertEqual(z.regexp_find_all("é", bytearray("éé".encode())), ["é", "é"])
        self.assertEqual(z.regexp_find_all("b", memoryview(b"abcb")), ["b", "b"])
        self.assertEqual(z.regexp_find_all("a", array.array("b", b"aba")), ["a", "a"])
        with self.assertRaises(ValueError) as cm:
            z.regexp_find_all("a", 5)
        self.assertEqual(str(cm.exception), "Expected 'str' or 'unicode' object")

    def test_bad_pattern(self):
        for pattern in ("(", "[a", "a{2,1}", "(?<n>a)(?<n>b)", b"\xff(", b"a\xc3"):
            with self.subTest(pattern=pattern):
                with self.assertRaises(ValueError) as cm:
                    z.regexp_find_all(pattern, "a")
                self.assertTrue(str(cm.exception))

    def test_more_than_nine_groups_ends_quietly(self):
        self.assertEqual(z.regexp_find_all("(a)" * 10, "a" * 10), [])


class EmptyMatchTest(unittest.TestCase):
    def test_empty_matches_step_on(self):
        # An empty match used to be found again for ever.
        cases = [
            ("x*", "abc", ["", "", ""]),
            ("a*", "baaa", ["", "aaa"]),
            ("", "héllo", ["", "", "", "", ""]),
            (r"\b", "ab cd", ["", "", "", ""]),
            ("(?=é)", "éé", ["", ""]),
        ]
        for pattern, text, expected in cases:
            with self.subTest(pattern=pattern, text=text):
                self.assertEqual(z.regexp_find_all(pattern, text), expected)

    def test_empty_matches_agree_with_re_inside_the_text(self):
        rng = random.Random(2108)
        for pattern in ("x*", "a*", "(b)*", "[ab]?"):
            for _ in range(40):
                text = "".join(rng.choice("abxé") for _ in range(rng.randint(1, 20)))
                with self.subTest(pattern=pattern, text=text):
                    # PCRE2 here reports no empty match at the very end of the text.
                    expected = [m for m in re.finditer(pattern, text)
                                if not (m.start() == m.end() == len(text))]
                    groups = re.compile(pattern).groups  # 0 or 1 here
                    self.assertEqual(z.regexp_find_all(pattern, text),
                                     [(m.group(1) or "") if groups else m.group(0)
                                      for m in expected])


class Utf8Test(unittest.TestCase):
    def test_invalid_utf8_is_refused(self):
        # Such bytes used to reach the matcher unchecked.
        for text in (b"\xff", b"a\xc3", b"\xed\xa0\x80", b"\xc0\xaf", bytearray(b"ok\x80")):
            with self.subTest(text=text):
                with self.assertRaises(ValueError):
                    z.regexp_find_all("a", text)

    def test_lone_surrogate_in_str(self):
        with self.assertRaises(UnicodeEncodeError):
            z.regexp_find_all("a", "a\ud800")


class ThreadsTest(unittest.TestCase):
    def test_parallel_searches(self):
        text = "key=value; " * 2000
        expected = re.findall(r"(\w+)=(\w+)", text)
        results = []

        def search():
            results.append(z.regexp_find_all(r"(\w+)=(\w+)", text))

        threads = [threading.Thread(target=search) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        self.assertEqual(results, [expected] * 4)


if __name__ == "__main__":
    unittest.main()
