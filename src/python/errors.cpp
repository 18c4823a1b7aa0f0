#include "python/errors.hpp"

#include <exception>
#include <new>

#include "python/py_strings.hpp"
#include "tables/table_column.hpp"

namespace tessrin {

PyObject* raise_export_error(const ExportError& error) noexcept {
  return raise_text(
      error.kind() == ExportError::Kind::capacity ? PyExc_OverflowError : PyExc_ValueError,
      error.message());
}

PyObject* raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const ColumnTooLarge& e) {
    return raise_text(PyExc_OverflowError, e.what());
  } catch (const ExportError& e) {
    return raise_export_error(e);
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
  }
  return nullptr;
}

}  // namespace tessrin
