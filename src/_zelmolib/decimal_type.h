// The Decimal type's object, for the sources that make or read Decimals (value
// conversion, JSON), and its operand and text converters.
#pragma once

#include "boundary.h"
#include "lumo/decimal.h"

namespace QPX {

// One Decimal value per object; a result is always a new object.
struct DecimalObject {
    PyObject_HEAD
    CL_Decimal fValue;
    // The hash, computed on first use; -1 until then.
    Py_hash_t fHash;

    // A new Decimal of value 0, or null with MemoryError.
    static DecimalObject* Allocate();
};
extern PyTypeObject DecimalType;
inline bool IsDecimal(PyObject* obj) {
    return PyObject_TypeCheck(obj, &DecimalType);
}
// "O&" converter of Decimal operands: a new reference in *result, or 0 with an
// exception set.
int ConvertDecimal(PyObject* object, DecimalObject** result);

}  // namespace QPX

// Parses a str or bytes text into value; false when it is not a number (ValueError
// set when the object is neither str nor bytes). *overflow tells a range failure.
bool QPX_Decimal_from_string(CL_Decimal& value, PyObject* text, bool* overflow);
