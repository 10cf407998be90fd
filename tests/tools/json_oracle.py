"""Python's json as the oracle for the client library's JSON conversion.

    json_oracle.py generate COUNT SEED DOCS
        writes COUNT random JSON documents, NUL-separated, with random layout, string
        escapes and number spellings (long mantissas and exponents included).
    json_oracle.py check DOCS COMPACT PRETTY
        DOCS as written by generate; COMPACT and PRETTY the library's compact and
        indented output for each, NUL-separated. The compact text must be exactly what
        a yajl generator writes for the document's value with every number a decimal
        rounded half up to 38 significant digits and printed in fixed point; the
        indented text must hold the same value.
    json_oracle.py doubles FILE
        FILE holds lines "<float.hex()> <text>": the text must be the shortest form
        that reads back to the double, or null for NaN and infinities.
Exit status 0 when everything matches; the first mismatch is printed otherwise.
"""
import decimal
import json
import math
import random
import sys

D = decimal.Decimal


def rounded(d):
    with decimal.localcontext() as ctx:
        ctx.prec = 38
        ctx.rounding = decimal.ROUND_HALF_UP
        ctx.Emax = 10**9
        ctx.Emin = -10**9
        d = +d
        if d == 0:
            return "0"
        return format(d.normalize(), "f")


def yajl_string(s):
    out = ['"']
    for ch in s:
        o = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch == "\b":
            out.append("\\b")
        elif ch == "\f":
            out.append("\\f")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        elif ch == "\t":
            out.append("\\t")
        elif o < 0x20:
            out.append("\\u%04X" % o)
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def yajl_compact(v):
    if v is None:
        return "null"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if isinstance(v, D):
        return rounded(v)
    if isinstance(v, str):
        return yajl_string(v)
    if isinstance(v, list):
        return "[" + ",".join(yajl_compact(x) for x in v) + "]"
    return "{" + ",".join(yajl_string(k) + ":" + yajl_compact(x) for k, x in v.items()) + "}"


# ---- random documents ---------------------------------------------------------------

ALPHABET = (
    [chr(c) for c in range(0x20, 0x7F)]
    + ["\n", "\t", "\r", "\b", "\f", "\x00", "\x01", "\x1f", "\x7f"]
    + ["é", "ß", "€", "中", "😀", "\u2028", "\uffff"]
)


def rand_string(r):
    return "".join(r.choice(ALPHABET) for _ in range(r.randint(0, 12)))


def rand_number_text(r):
    sign = "-" if r.random() < 0.3 else ""
    kind = r.random()
    if kind < 0.3:
        return sign + str(r.randint(0, 10 ** r.randint(1, 20)))
    if kind < 0.5:
        # Mantissas past 38 digits must round, not vanish.
        return sign + str(r.randint(10**38, 10 ** r.randint(39, 70)))
    intpart = str(r.randint(0, 10 ** r.randint(0, 25)))
    frac = "".join(r.choice("0123456789") for _ in range(r.randint(1, 45)))
    text = sign + intpart + "." + frac
    if r.random() < 0.5:
        text += r.choice("eE") + r.choice(["", "+", "-"]) + str(r.randint(0, 60))
    return text


def rand_value(r, depth):
    k = r.random()
    if depth > 5 or k < 0.45:
        s = r.random()
        if s < 0.1:
            return None, "null"
        if s < 0.2:
            b = r.random() < 0.5
            return b, "true" if b else "false"
        if s < 0.6:
            t = rand_number_text(r)
            return D(t), t
        v = rand_string(r)
        return v, json.dumps(v, ensure_ascii=r.random() < 0.5)
    ws = lambda: r.choice(["", " ", "\n  ", "\t"])
    if k < 0.7:
        items = [rand_value(r, depth + 1) for _ in range(r.randint(0, 5))]
        return [v for v, _ in items], "[" + ws() + ("," + ws()).join(t for _, t in items) + ws() + "]"
    obj = {}
    parts = []
    for _ in range(r.randint(0, 5)):
        key = rand_string(r)
        if key in obj:
            continue
        v, t = rand_value(r, depth + 1)
        obj[key] = v
        parts.append(json.dumps(key, ensure_ascii=r.random() < 0.5) + ws() + ":" + ws() + t)
    return obj, "{" + ws() + ("," + ws()).join(parts) + ws() + "}"


def generate(count, seed, path):
    r = random.Random(seed)
    docs = [rand_value(r, 0)[1] for _ in range(count)]
    with open(path, "wb") as f:
        f.write(b"\0".join(d.encode("utf-8") for d in docs))


def split(path):
    with open(path, "rb") as f:
        return [p.decode("utf-8") for p in f.read().split(b"\0")]


def load(text):
    return json.loads(text, parse_float=D, parse_int=D)


def check(docs_path, compact_path, pretty_path):
    docs, compact, pretty = split(docs_path), split(compact_path), split(pretty_path)
    if not (len(docs) == len(compact) == len(pretty)):
        print("counts differ: %d %d %d" % (len(docs), len(compact), len(pretty)))
        return 1
    for i, (doc, c, p) in enumerate(zip(docs, compact, pretty)):
        want = yajl_compact(load(doc))
        if c != want:
            print("document %d\n  input:    %r\n  expected: %r\n  got:      %r" % (i, doc, want, c))
            return 1
        if load(p) != load(c):
            print("document %d: indented form differs: %r" % (i, p))
            return 1
    return 0


def doubles(path):
    with open(path) as f:
        for line in f:
            h, text = line.split()
            v = float.fromhex(h)
            if math.isnan(v) or math.isinf(v):
                if text != "null":
                    print("%s written as %s" % (h, text))
                    return 1
                continue
            back = json.loads(text)
            shortest = repr(v)
            digits = lambda s: len(s.lower().split("e")[0].replace("-", "").replace(".", "").strip("0"))
            if float(back) != v or digits(text) > digits(shortest):
                print("%r written as %s" % (v, text))
                return 1
    return 0


if __name__ == "__main__":
    cmd = sys.argv[1]
    if cmd == "generate":
        generate(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
        sys.exit(0)
    if cmd == "check":
        sys.exit(check(sys.argv[2], sys.argv[3], sys.argv[4]))
    if cmd == "doubles":
        sys.exit(doubles(sys.argv[2]))
    sys.exit(2)
