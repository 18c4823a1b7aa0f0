// The `types=` argument of parse_tables and parse_tables_file.
#pragma once

#include <Python.h>

#include "types/table_types.hpp"

namespace tessrin {

/// Reads `types` ("infer", the default for None; "text"; or the path of a DDL2 or DDLm
/// dictionary, str or os.PathLike) into `option`. False with a Python exception set: TypeError
/// for another type, OSError when the dictionary cannot be read, ValueError when it declares
/// no item types. Throws what reading the dictionary throws (std::bad_alloc), for the entry's
/// guard.
bool types_argument(const char* function, PyObject* types, TypesOption& option);

}  // namespace tessrin
