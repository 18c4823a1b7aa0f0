// The CIF text of each number of a typed table column, for writing tables back.
#pragma once

#include <Python.h>

namespace tessrin {

/// A new list with one str (`?` for a null) per value of `values`, an Arrow int or float
/// array given through the Arrow PyCapsule interface (`__arrow_c_array__`); `su` is None or a
/// float array of the same length whose values become each number's uncertainty. Raises
/// ValueError naming the row for a value no CIF number holds.
PyObject* number_cells(PyObject* values, PyObject* su);

}  // namespace tessrin
