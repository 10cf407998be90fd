// Value conversion between entries, lists and tables and Python objects.
#include "module.h"

#include <datetime.h>

namespace QPX {

int InitUtilities() {
    PyDateTime_IMPORT;
    return PyDateTimeAPI ? 0 : -1;
}

}  // namespace QPX
