// Decimal: the module's 38-digit decimal number type. Every result is a new object;
// the arithmetic is CL_Decimal's (38 digits, half-up).
#include "decimal_type.h"

#include <climits>
#include <cmath>
#include <new>

#include "lumo/base/decnum/decnum.h"
#include "lumo/locale_info.h"
#include "module.h"
#include "registration.h"
#include "string_args.h"

namespace QPX {

DecimalObject* DecimalObject::Allocate() {
    PyObject* raw = DecimalType.tp_alloc(&DecimalType, 0);
    if (!raw) return nullptr;
    DecimalObject* d = reinterpret_cast<DecimalObject*>(raw);
    new (&d->fValue) CL_Decimal();
    d->fHash = -1;
    return d;
}

}  // namespace QPX

using QPX::DecimalObject;

bool QPX_Decimal_from_string(CL_Decimal& value, PyObject* text, bool* overflow) {
    *overflow = false;
    std::string s;
    if (!QPX::ConvertString(text, &s) || s.empty()) return false;
    // A str keeps every character: one with a NUL is not a number (the text rules
    // would stop at the NUL). Bytes end at their first NUL as every text argument does.
    if (s.find('\0') != std::string::npos) return false;
    bool error = false;
    value.FromString(s, &error, overflow);
    return !error;
}

namespace {

inline CL_Decimal& ValueOf(PyObject* obj) {
    return reinterpret_cast<DecimalObject*>(obj)->fValue;
}

PyObject* NewDecimal(const CL_Decimal& value) {
    DecimalObject* d = DecimalObject::Allocate();
    if (d) d->fValue = value;
    return reinterpret_cast<PyObject*>(d);
}

enum class IntParse { kDone, kBadText, kOverflow, kFailed };

// An int through its decimal text, as the text rules read it; the common 64-bit
// case skips the text. A bool is read as its text, which is not a number.
IntParse IntToDecimal(PyObject* obj, CL_Decimal* out) {
    if (!PyBool_Check(obj)) {
        int overflowed = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflowed);
        if (!overflowed) {
            if (v == -1 && PyErr_Occurred()) return IntParse::kFailed;
            *out = CL_Decimal::FromInt64(v);
            return IntParse::kDone;
        }
    }
    PyObject* text = PyObject_Str(obj);
    if (!text) return IntParse::kFailed;
    std::string s;
    bool ok = UnicodeToUTF8(text, &s);
    Py_DECREF(text);
    if (!ok) return IntParse::kFailed;
    bool error = false, overflow = false;
    out->FromString(s, &error, &overflow);
    if (!error) return IntParse::kDone;
    return overflow ? IntParse::kOverflow : IntParse::kBadText;
}

// Any other number as its float; false with float()'s exception.
bool NumberToDecimal(PyObject* obj, CL_Decimal* out) {
    double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return false;
    *out = v;
    return true;
}

// An operand of arithmetic or a method argument; false with the exception set.
bool Operand(PyObject* obj, CL_Decimal* out) {
    if (QPX::IsDecimal(obj)) {
        *out = ValueOf(obj);
        return true;
    }
    if (PyLong_Check(obj)) {
        switch (IntToDecimal(obj, out)) {
        case IntParse::kDone:
            return true;
        case IntParse::kFailed:
            return false;
        default:
            PyErr_SetString(PyExc_ValueError, "Invalid Decimal object");
            return false;
        }
    }
    if (PyFloat_Check(obj)) {
        *out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (PyNumber_Check(obj)) return NumberToDecimal(obj, out);
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        bool overflow = false;
        if (QPX_Decimal_from_string(*out, obj, &overflow) && !overflow) return true;
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "Invalid Decimal object");
        return false;
    }
    PyErr_SetString(PyExc_ValueError, "Expected Decimal object");
    return false;
}

bool IsZero(const CL_Decimal& v) {
    return !v;
}

// ---- number protocol ----

PyObject* Decimal_add(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!Operand(a, &x) || !Operand(b, &y)) return nullptr;
    x += y;
    return NewDecimal(x);
}

PyObject* Decimal_subtract(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!Operand(a, &x) || !Operand(b, &y)) return nullptr;
    x -= y;
    return NewDecimal(x);
}

PyObject* Decimal_multiply(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!Operand(a, &x) || !Operand(b, &y)) return nullptr;
    x *= y;
    return NewDecimal(x);
}

// Both operands of a division; false with ZeroDivisionError for a zero divisor.
bool DivisionOperands(PyObject* a, PyObject* b, CL_Decimal* x, CL_Decimal* y) {
    if (!Operand(a, x) || !Operand(b, y)) return false;
    if (IsZero(*y)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "decimal division");
        return false;
    }
    return true;
}

PyObject* Decimal_remainder(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!DivisionOperands(a, b, &x, &y)) return nullptr;
    x %= y;
    return NewDecimal(x);
}

PyObject* Decimal_true_divide(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!DivisionOperands(a, b, &x, &y)) return nullptr;
    x /= y;
    return NewDecimal(x);
}

PyObject* Decimal_divmod(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!DivisionOperands(a, b, &x, &y)) return nullptr;
    CL_Decimal q = x;
    q /= y;
    q = q.Floor(0);
    x %= y;
    PyObject* quotient = NewDecimal(q);
    if (!quotient) return nullptr;
    PyObject* remainder = NewDecimal(x);
    if (!remainder) {
        Py_DECREF(quotient);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, quotient, remainder);
    Py_DECREF(quotient);
    Py_DECREF(remainder);
    return pair;
}

PyObject* Decimal_floor_divide(PyObject* a, PyObject* b) {
    CL_Decimal x, y;
    if (!DivisionOperands(a, b, &x, &y)) return nullptr;
    x /= y;
    return NewDecimal(x.Floor(0));
}

PyObject* Decimal_power(PyObject* a, PyObject* b, PyObject* c) {
    if (c != Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "pow() 3rd argument not allowed unless all arguments are integers");
        return nullptr;
    }
    CL_Decimal x, y;
    if (!Operand(a, &x) || !Operand(b, &y)) return nullptr;
    if (IsZero(y)) return NewDecimal(CL_Decimal(1));
    if (!IsZero(x)) {
        if (x.Compare(CL_Decimal(0)) < 0 && y.Compare(y.Floor(0)) != 0) {
            PyErr_SetString(PyExc_ValueError,
                            "negative number cannot be raised to a fractional power");
            return nullptr;
        }
        return NewDecimal(x.Pow(y));
    }
    if (y.Compare(CL_Decimal(0)) < 0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "0.0 cannot be raised to a negative power");
        return nullptr;
    }
    return NewDecimal(CL_Decimal(0));
}

PyObject* Decimal_negative(PyObject* a) {
    return NewDecimal(-ValueOf(a));
}

PyObject* Decimal_positive(PyObject* a) {
    Py_INCREF(a);
    return a;
}

PyObject* Decimal_absolute(PyObject* a) {
    return NewDecimal(ValueOf(a).Abs());
}

int Decimal_bool(PyObject* a) {
    return IsZero(ValueOf(a)) ? 0 : 1;
}

PyObject* Decimal_int(PyObject* a) {
    bool overflow = false;
    long long v = ValueOf(a).ToInt64(&overflow);
    if (overflow) {
        // A saturated 64-bit value would be a plainly wrong number.
        PyErr_SetString(PyExc_OverflowError, "Arithmetic overflow");
        return nullptr;
    }
    return PyLong_FromLongLong(v);
}

PyObject* Decimal_float(PyObject* a) {
    return PyFloat_FromDouble(static_cast<double>(ValueOf(a)));
}

PyObject* Decimal_index(PyObject* a) {
    const CL_Decimal& v = ValueOf(a);
    bool overflow = false;
    long long n = v.ToInt64(&overflow);
    if (!overflow && IsZero(v.Fractional())) return PyLong_FromLongLong(n);
    // The interpreter refuses a result that is not an int with its own TypeError.
    Py_INCREF(a);
    return a;
}

// The slots not named stay empty: no in-place forms, no bit operations.
ZL_SLOT_TABLE(PyNumberMethods sNumberMethods,
    .nb_add = ZL_GUARD(Decimal_add),
    .nb_subtract = ZL_GUARD(Decimal_subtract),
    .nb_multiply = ZL_GUARD(Decimal_multiply),
    .nb_remainder = ZL_GUARD(Decimal_remainder),
    .nb_divmod = ZL_GUARD(Decimal_divmod),
    .nb_power = ZL_GUARD(Decimal_power),
    .nb_negative = ZL_GUARD(Decimal_negative),
    .nb_positive = ZL_GUARD(Decimal_positive),
    .nb_absolute = ZL_GUARD(Decimal_absolute),
    .nb_bool = ZL_GUARD(Decimal_bool),
    .nb_int = ZL_GUARD(Decimal_int),
    .nb_float = ZL_GUARD(Decimal_float),
    .nb_floor_divide = ZL_GUARD(Decimal_floor_divide),
    .nb_true_divide = ZL_GUARD(Decimal_true_divide),
    .nb_index = ZL_GUARD(Decimal_index))

// ---- other slots ----

void Decimal_dealloc(PyObject* self) {
    ValueOf(self).~CL_Decimal();
    Py_TYPE(self)->tp_free(self);
}

// An ASCII text as a str, copied without a decoder.
PyObject* AsciiText(const char* text, size_t length) {
    PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (result) memcpy(PyUnicode_DATA(result), text, length);
    return result;
}

PyObject* Decimal_str(PyObject* self) {
    // The common values through the short printer, which gives the same text.
    char shortText[CL_Decimal::kShortStringRoom];
    size_t length = ValueOf(self).ToShortString(shortText);
    if (length) return AsciiText(shortText, length);
    std::string text = ValueOf(self).ToString(-1, false);
    return AsciiText(text.data(), text.size());
}

// ---- hashing: a whole value as the int it equals, any other as its float ----

constexpr uint64 kHashModulus = PyHASH_MODULUS;

constexpr uint64 MulMod(uint64 a, uint64 b) {
    return static_cast<uint64>(static_cast<unsigned __int128>(a) * b % kHashModulus);
}

constexpr uint64 PowMod(uint64 base, uint64 exponent) {
    uint64 result = 1;
    for (; exponent; exponent >>= 1, base = MulMod(base, base))
        if (exponent & 1) result = MulMod(result, base);
    return result;
}

// The inverse of 10 modulo the (prime) modulus, as Python's decimal module uses it.
constexpr uint64 kHashTenInverse = PowMod(10, kHashModulus - 2);
static_assert(MulMod(10, kHashTenInverse) == 1, "inverse of ten");

// A finite value without a fractional part (1E+3 and 2.00 included).
bool IsWhole(const decnum::Number& n) {
    if (!n.IsFinite()) return false;
    if (n.exp >= 0 || n.coef == 0) return true;
    // A coefficient of at most 38 digits holds no multiple of a larger power of ten.
    return n.exp >= -decnum::kPrecision && n.coef % decnum::Pow10(int32(-n.exp)) == 0;
}

// hash(int(value)) of a whole value without making the int: coefficient times
// 10^exponent modulo the modulus, with the sign.
Py_hash_t WholeHash(const decnum::Number& n) {
    const uint64 coef = static_cast<uint64>(n.coef % kHashModulus);
    const uint64 scale = n.exp >= 0 ? PowMod(10, static_cast<uint64>(n.exp))
                                    : PowMod(kHashTenInverse, static_cast<uint64>(-n.exp));
    Py_hash_t h = static_cast<Py_hash_t>(MulMod(coef, scale));
    if (n.neg) h = -h;
    return h == -1 ? -2 : h;
}

// A whole value hashes as the int it equals at any size; any other value, the
// infinities and NaN (by identity) included, as float(value), so that the float
// literal a fraction compares equal to (0.1, 1.1) shares its dict slot.
Py_hash_t Decimal_hash(PyObject* self) {
    DecimalObject* d = reinterpret_cast<DecimalObject*>(self);
    if (d->fHash == -1) {
        const decnum::Number n = d->fValue.GetNumber();
        d->fHash = IsWhole(n) ? WholeHash(n)
                              : _Py_HashDouble(self, static_cast<double>(d->fValue));
    }
    return d->fHash;
}

// Python's decimal.Decimal (new reference): the module state's, imported once, or
// without a state a fresh import. Null with an exception set.
PyObject* PyDecimalClass() {
    MODULE_STATE* s = ZL_GetState();
    if (s && s->fPyDecimalClass) return Py_NewRef(s->fPyDecimalClass);
    PyObject* mod = PyImport_ImportModule("decimal");
    if (!mod) return nullptr;
    PyObject* cls = PyObject_GetAttrString(mod, "Decimal");
    Py_DECREF(mod);
    // The import may have run Python code: look the state up again.
    s = ZL_GetState();
    if (cls && s && !s->fPyDecimalClass) s->fPyDecimalClass = Py_NewRef(cls);
    return cls;
}

// Floats below this magnitude have a "%f" text of at most 32 + 6 digits.
constexpr double kSixDecimalTextLimit = 1e32;

// Exact comparison with an int that 64 bits cannot hold, through Python's own decimal
// arithmetic on the full text of the value (an int raises no signal in the caller's
// decimal context): -1, 0, 1, or -2 on failure and 2 when the value is NaN.
int CompareExactly(const CL_Decimal& value, PyObject* other) {
    if (value.Compare(value) != 0) return 2;
    PyObject* cls = PyDecimalClass();
    if (!cls) return -2;
    std::string text = value.ToParsableString();
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
    PyObject* mine = s ? PyObject_CallOneArg(cls, s) : nullptr;
    Py_XDECREF(s);
    Py_DECREF(cls);
    if (!mine) return -2;
    int result = 2;
    int lt = PyObject_RichCompareBool(mine, other, Py_LT);
    int eq = lt == 0 ? PyObject_RichCompareBool(mine, other, Py_EQ) : 0;
    int gt = lt == 0 && eq == 0 ? PyObject_RichCompareBool(mine, other, Py_GT) : 0;
    Py_DECREF(mine);
    if (lt < 0 || eq < 0 || gt < 0) return -2;
    if (lt) result = -1;
    else if (eq) result = 0;
    else if (gt) result = 1;
    return result;
}

PyObject* CompareResult(int c, int op) {
    bool r = false;
    if (c == 2) {  // unordered: only != holds
        r = op == Py_NE;
    } else {
        switch (op) {
        case Py_LT: r = c < 0; break;
        case Py_LE: r = c <= 0; break;
        case Py_EQ: r = c == 0; break;
        case Py_NE: r = c != 0; break;
        case Py_GT: r = c > 0; break;
        case Py_GE: r = c >= 0; break;
        }
    }
    return PyBool_FromLong(r);
}

// A comparison's -1, 0 or 1, or 2 for CL_Decimal::Compare's answer with a NaN side.
int Ordered(int c) {
    return c == -1 || c == 0 || c == 1 ? c : 2;
}

// With an int (a bool as 0 or 1): -1, 0, 1, 2 (unordered) or -2 on failure.
int CompareWithInt(const CL_Decimal& value, PyObject* other) {
    int overflowed = 0;
    long long v = PyLong_AsLongLongAndOverflow(other, &overflowed);
    if (overflowed) return CompareExactly(value, other);
    if (v == -1 && PyErr_Occurred()) return -2;
    return Ordered(value.Compare(CL_Decimal::FromInt64(v)));
}

// With a float, through its six-decimal text as every float operand is read, so that
// amounts compare equal to the float literals written for them (0.1, 1.1). From 1e32 up
// that text passes 38 digits; such a float is whole and compares as the int it equals.
// Python's decimal module never sees the float: it would signal FloatOperation in the
// caller's context.
int CompareWithFloat(const CL_Decimal& value, double f) {
    if (std::isnan(f)) return 2;
    if (std::isinf(f))
        return Ordered(value.Compare(CL_Decimal(decnum::MakeSpecial(decnum::kInfinity, f < 0))));
    if (std::fabs(f) < kSixDecimalTextLimit) return Ordered(value.Compare(CL_Decimal(f)));
    PyObject* whole = PyLong_FromDouble(f);
    if (!whole) return -2;
    int c = CompareWithInt(value, whole);
    Py_DECREF(whole);
    return c;
}

PyObject* Decimal_richcompare(PyObject* self, PyObject* other, int op) {
    const CL_Decimal& value = ValueOf(self);
    int c;
    if (QPX::IsDecimal(other))
        c = Ordered(value.Compare(ValueOf(other)));
    else if (PyLong_Check(other))
        c = CompareWithInt(value, other);
    else if (PyFloat_Check(other))
        c = CompareWithFloat(value, PyFloat_AS_DOUBLE(other));
    else
        Py_RETURN_NOTIMPLEMENTED;
    return c == -2 ? nullptr : CompareResult(c, op);
}

PyObject* Decimal_new(PyTypeObject*, PyObject*, PyObject*) {
    return reinterpret_cast<PyObject*>(DecimalObject::Allocate());
}

int BadInitializer(PyObject* value, bool overflow) {
    if (PyErr_Occurred()) return -1;
    if (overflow) {
        PyErr_SetString(PyExc_OverflowError, "Arithmetic overflow");
        return -1;
    }
    std::string text = "<unknown>";
    PyObject* r = PyObject_Repr(value);
    if (r && PyUnicode_Check(r)) {
        std::string s;
        if (UnicodeToUTF8(r, &s)) text = s;
    } else if (r && PyBytes_Check(r)) {
        text.assign(PyBytes_AS_STRING(r), (size_t)PyBytes_GET_SIZE(r));
    }
    Py_XDECREF(r);
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "Bad Decimal initializer: %s", text.c_str());
    return -1;
}

int Decimal_init(PyObject* self, PyObject* args, PyObject* kwds) {
    CL_Decimal& out = ValueOf(self);
    out = 0;
    reinterpret_cast<DecimalObject*>(self)->fHash = -1;
    static const char* keywords[] = {"value", nullptr};
    PyObject* value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O", const_cast<char**>(keywords), &value))
        return -1;
    if (!value) return 0;
    bool overflow = false;
    if (QPX::IsDecimal(value)) {
        out = ValueOf(value);
        return 0;
    }
    if (PyLong_Check(value)) {
        switch (IntToDecimal(value, &out)) {
        case IntParse::kDone:
            return 0;
        case IntParse::kFailed:
            return -1;
        case IntParse::kOverflow:
            out = 0;
            return BadInitializer(value, true);
        case IntParse::kBadText:
            out = 0;
            return BadInitializer(value, false);
        }
    }
    if (PyFloat_Check(value)) {
        out = PyFloat_AS_DOUBLE(value);
        return 0;
    }
    if (PyNumber_Check(value)) return NumberToDecimal(value, &out) ? 0 : -1;
    if (PyUnicode_Check(value) || PyBytes_Check(value)) {
        if (QPX_Decimal_from_string(out, value, &overflow)) return 0;
        out = 0;
        return BadInitializer(value, overflow);
    }
    return BadInitializer(value, false);
}

// ---- methods ----

const char* kNone = nullptr;

PyObject* Decimal_format(PyObject* self, PyObject* args, PyObject* kwds) {
    MODULE_STATE* s = ZL_GetState();
    std::string language = s ? s->fLanguage : std::string();
    static const char* keywords[] = {"precision", "width", "sep", "padzero", "monetary", kNone};
    int precision = -1, width = 0, sep = 0, padzero = 0, monetary = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iiiii", const_cast<char**>(keywords),
                                     &precision, &width, &sep, &padzero, &monetary))
        return nullptr;
    bool localized = monetary != 0 || (sep != 0 && padzero == 0);
    std::string text;
    if (localized) {
        CL_LocaleInfo info;
        CL_GetLocaleInfo(&info, language);
        text = ValueOf(self).ToString(precision, info);
    } else {
        text = ValueOf(self).ToString(precision, false);
    }
    // Only a count of places past the text limit leaves a value without text.
    if (text.empty()) return PyErr_NoMemory();
    if (width > 0 && static_cast<size_t>(width) > text.size())
        text.insert(0, static_cast<size_t>(width) - text.size(), padzero ? '0' : ' ');
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The step of round, floor and ceil: 1 when omitted; ZeroDivisionError for 0.
bool StepArgument(PyObject* args, PyObject* kwds, const char* zeroText, CL_Decimal* step) {
    static const char* keywords[] = {"value", nullptr};
    DecimalObject* given = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O&", const_cast<char**>(keywords),
                                     QPX::ConvertDecimal, &given))
        return false;
    *step = given ? given->fValue : CL_Decimal(1);
    Py_XDECREF(given);
    if (IsZero(*step)) {
        PyErr_SetString(PyExc_ZeroDivisionError, zeroText);
        return false;
    }
    return true;
}

PyObject* Decimal_ceil(PyObject* self, PyObject* args, PyObject* kwds) {
    CL_Decimal step;
    if (!StepArgument(args, kwds, "ceil operand cannot be zero", &step)) return nullptr;
    return NewDecimal(ValueOf(self).Ceil(step));
}

PyObject* Decimal_floor(PyObject* self, PyObject* args, PyObject* kwds) {
    CL_Decimal step;
    if (!StepArgument(args, kwds, "floor operand cannot be zero", &step)) return nullptr;
    return NewDecimal(ValueOf(self).Floor(step));
}

PyObject* Decimal_round(PyObject* self, PyObject* args, PyObject* kwds) {
    CL_Decimal step;
    if (!StepArgument(args, kwds, "round operand cannot be zero", &step)) return nullptr;
    return NewDecimal(ValueOf(self).Round(step));
}

// other, step and mode of multiply and divide.
bool ScaledArguments(PyObject* args, PyObject* kwds, CL_Decimal* other, CL_Decimal* step,
                     int* mode) {
    static const char* keywords[] = {"other", "value", "mode", nullptr};
    DecimalObject* o = nullptr;
    DecimalObject* v = nullptr;
    *mode = CL_Decimal::ROUND;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&|O&i", const_cast<char**>(keywords),
                                     QPX::ConvertDecimal, &o, QPX::ConvertDecimal, &v, mode)) {
        Py_XDECREF(o);
        Py_XDECREF(v);
        return false;
    }
    *other = o->fValue;
    *step = v ? v->fValue : CL_Decimal(1);
    Py_DECREF(o);
    Py_XDECREF(v);
    return true;
}

CL_Decimal::RoundType Mode(int mode) {
    return mode >= CL_Decimal::ROUND && mode <= CL_Decimal::CEIL
               ? static_cast<CL_Decimal::RoundType>(mode)
               : CL_Decimal::NONE;
}

PyObject* Decimal_multiply_method(PyObject* self, PyObject* args, PyObject* kwds) {
    CL_Decimal other, step;
    int mode;
    if (!ScaledArguments(args, kwds, &other, &step, &mode)) return nullptr;
    return NewDecimal(ValueOf(self).Multiply(other, step, Mode(mode)));
}

PyObject* Decimal_divide_method(PyObject* self, PyObject* args, PyObject* kwds) {
    CL_Decimal other, step;
    int mode;
    if (!ScaledArguments(args, kwds, &other, &step, &mode)) return nullptr;
    if (IsZero(step)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "decimal division");
        return nullptr;
    }
    return NewDecimal(ValueOf(self).Divide(other, step, Mode(mode)));
}

PyObject* Decimal_copy(PyObject* self, PyObject*, PyObject*) {
    return NewDecimal(ValueOf(self));
}

// Decimal(text) with a text that reads back to the same value: the plain digits where
// the text rules take them, the scientific form where they would not (39 digits and
// more, or a text past 1024 bytes).
PyObject* Decimal_reduce(PyObject* self, PyObject*, PyObject*) {
    char shortText[CL_Decimal::kShortStringRoom];
    size_t length = ValueOf(self).ToShortString(shortText);
    PyObject* text;
    if (length) {
        text = AsciiText(shortText, length);
    } else {
        std::string parsable = ValueOf(self).ToParsableString();
        text = AsciiText(parsable.data(), parsable.size());
    }
    if (!text) return nullptr;
    return Py_BuildValue("(O(N))", reinterpret_cast<PyObject*>(&QPX::DecimalType), text);
}

PyObject* Decimal_round_digits(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"digits", nullptr};
    int digits = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|i", const_cast<char**>(keywords), &digits))
        return nullptr;
    return NewDecimal(ValueOf(self).Round(digits));
}

PyObject* Decimal_set_locale(PyObject*, PyObject* args, PyObject* kwds) {
    static const char* keywords[] = {"lang", nullptr};
    const char* lang = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "s", const_cast<char**>(keywords), &lang))
        return nullptr;
    MODULE_STATE* s = ZL_GetState();
    if (s) s->fLanguage = lang;
    Py_RETURN_NONE;
}

PyMethodDef sDecimalMethods[] = {
    {"format", ZL_METHOD(Decimal_format), METH_VARARGS | METH_KEYWORDS,
     "format([precision, width, sep, padzero]) -> str\n\n"
     "Formats the number into a string with specified precision."},
    {"ceil", ZL_METHOD(Decimal_ceil), METH_VARARGS | METH_KEYWORDS,
     "ceil([value]) -> Decimal\n\nReturns number rounded up to given value."},
    {"floor", ZL_METHOD(Decimal_floor), METH_VARARGS | METH_KEYWORDS,
     "floor([value]) -> Decimal\n\nReturns number rounded down to given value."},
    {"round", ZL_METHOD(Decimal_round), METH_VARARGS | METH_KEYWORDS,
     "round([value]) -> Decimal\n\nReturns number rounded to given value."},
    {"multiply", ZL_METHOD(Decimal_multiply_method), METH_VARARGS | METH_KEYWORDS,
     "multiply(other [, value, mode])\n\n"
     "Multiplies and rounds number by a given value using mode for rounding."},
    {"divide", ZL_METHOD(Decimal_divide_method), METH_VARARGS | METH_KEYWORDS,
     "divide(other [, value, mode])\n\n"
     "Divides and rounds number by a given value using mode for rounding."},
    {"__copy__", ZL_METHOD(Decimal_copy), METH_VARARGS | METH_KEYWORDS,
     "__copy__() -> Decimal\n\nReturns a copy of the decimal."},
    {"__deepcopy__", ZL_METHOD(Decimal_copy), METH_VARARGS | METH_KEYWORDS,
     "__deepcopy__() -> Decimal\n\nReturns a copy of the decimal."},
    {"__reduce__", ZL_METHOD(Decimal_reduce), METH_VARARGS | METH_KEYWORDS,
     "__reduce__() -> tuple\n\nReduce method for pickling support."},
    {"__round__", ZL_METHOD(Decimal_round_digits), METH_VARARGS | METH_KEYWORDS,
     "__round__([digits]) -> Decimal\n\nReturns number rounded to given value."},
    {"set_locale", ZL_METHOD(Decimal_set_locale), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "set_locale(lang)\n\nSets the current locale for decimal format."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

namespace QPX {

namespace {

int ConvertOperand(PyObject* object, DecimalObject** result) {
    if (IsDecimal(object)) {
        Py_INCREF(object);
        *result = reinterpret_cast<DecimalObject*>(object);
        return 1;
    }
    CL_Decimal value;
    if (!Operand(object, &value)) return 0;
    *result = reinterpret_cast<DecimalObject*>(NewDecimal(value));
    return *result ? 1 : 0;
}

}  // namespace

// Called by the interpreter's argument parser, which must see no C++ exception.
int ConvertDecimal(PyObject* object, DecimalObject** result) {
    int done = 0;
    ZL_Protect([&] { done = ConvertOperand(object, result); });
    return done;
}

}  // namespace QPX

namespace QPX {

// Default flags only: not subclassable, not tracked by the garbage collector.
ZL_SLOT_TABLE(PyTypeObject DecimalType,
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "_zelmolib.Decimal",
    .tp_basicsize = sizeof(DecimalObject),
    .tp_dealloc = ZL_GUARD(Decimal_dealloc),
    .tp_repr = ZL_GUARD(Decimal_str),
    .tp_as_number = &sNumberMethods,
    .tp_hash = ZL_GUARD(Decimal_hash),
    .tp_str = ZL_GUARD(Decimal_str),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Decimal objects",
    .tp_richcompare = ZL_GUARD(Decimal_richcompare),
    .tp_methods = sDecimalMethods,
    .tp_init = ZL_GUARD(Decimal_init),
    .tp_new = ZL_GUARD(Decimal_new))

}  // namespace QPX

int ZL_AddDecimalType(PyObject* module) {
    return ZL_AddType(module, &QPX::DecimalType);
}
