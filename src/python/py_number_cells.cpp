// Reads the array through nanoarrow's view of the Arrow C data interface, so any producer
// (pyarrow, polars) can hand its column over without a copy.
#include "python/py_number_cells.hpp"

#include <nanoarrow/nanoarrow.h>

#include <cstdint>
#include <string>

#include "python/pyref.hpp"
#include "write/number_text.hpp"

namespace tessrin {

namespace {

/// An imported array and its view. The C structs are moved out of the capsules: Python code
/// run later in the call (the other column's __arrow_c_array__, a finaliser) could otherwise
/// hand the same capsule to another consumer, which would free the buffers being read.
class ArrayIn {
 public:
  ArrayIn() { ArrowArrayViewInitFromType(&view_, NANOARROW_TYPE_UNINITIALIZED); }
  ArrayIn(const ArrayIn&) = delete;
  ArrayIn& operator=(const ArrayIn&) = delete;
  ~ArrayIn() {
    ArrowArrayViewReset(&view_);
    if (array_.release != nullptr) array_.release(&array_);
    if (schema_.release != nullptr) schema_.release(&schema_);
  }

  bool open(PyObject* source, const char* what) {
    PyRef pair = PyRef::steal(PyObject_CallMethod(source, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_Format(PyExc_TypeError, "%s: __arrow_c_array__ must return two capsules", what);
      return false;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
    if (schema == nullptr) return false;
    auto* array = static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
    if (array == nullptr) return false;
    // A released struct (a capsule some consumer already took) has no buffers left to read.
    if (schema->release == nullptr || array->release == nullptr) {
      PyErr_Format(PyExc_ValueError, "%s: __arrow_c_array__ returned a released array", what);
      return false;
    }
    ArrowSchemaMove(schema, &schema_);
    ArrowArrayMove(array, &array_);
    ArrowError error;
    ArrowSchemaView schema_view;
    ArrowArrayViewReset(&view_);
    if (ArrowSchemaViewInit(&schema_view, &schema_, &error) != NANOARROW_OK ||
        ArrowArrayViewInitFromSchema(&view_, &schema_, &error) != NANOARROW_OK ||
        ArrowArrayViewSetArray(&view_, &array_, &error) != NANOARROW_OK) {
      PyErr_Format(PyExc_ValueError, "%s: %s", what, error.message);
      return false;
    }
    type_ = schema_view.type;
    return true;
  }

  const ArrowArrayView* view() const { return &view_; }
  ArrowType type() const { return type_; }
  std::int64_t length() const { return view_.length; }
  bool is_integer() const {
    switch (type_) {
      case NANOARROW_TYPE_INT8:
      case NANOARROW_TYPE_INT16:
      case NANOARROW_TYPE_INT32:
      case NANOARROW_TYPE_INT64:
      case NANOARROW_TYPE_UINT8:
      case NANOARROW_TYPE_UINT16:
      case NANOARROW_TYPE_UINT32:
        return true;
      default:
        return false;
    }
  }
  bool is_real() const { return type_ == NANOARROW_TYPE_FLOAT || type_ == NANOARROW_TYPE_DOUBLE; }

 private:
  ArrowSchema schema_{};  // owned once moved in: release is null until then
  ArrowArray array_{};
  ArrowArrayView view_;
  ArrowType type_ = NANOARROW_TYPE_UNINITIALIZED;
};

PyObject* bad_row(std::int64_t row, const char* what) {
  PyErr_Format(PyExc_ValueError, "row %lld: %s", static_cast<long long>(row), what);
  return nullptr;
}

}  // namespace

PyObject* number_cells(PyObject* values, PyObject* su) {
  ArrayIn in;
  if (!in.open(values, "values")) return nullptr;
  if (!in.is_integer() && !in.is_real()) {
    PyErr_SetString(PyExc_TypeError, "values must be an integer or floating-point array");
    return nullptr;
  }
  ArrayIn su_in;
  const bool with_su = su != Py_None;
  if (with_su) {
    if (!su_in.open(su, "su")) return nullptr;
    if (!su_in.is_real() || su_in.length() != in.length() || !in.is_real()) {
      PyErr_SetString(PyExc_ValueError,
                      "su must be a floating-point array as long as the float values");
      return nullptr;
    }
  }
  const std::int64_t n = in.length();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  // A null is written as the unknown-value placeholder.
  PyRef unknown = PyRef::steal(PyUnicode_FromStringAndSize("?", 1));
  if (!unknown) return nullptr;
  std::string text;
  for (std::int64_t i = 0; i < n; ++i) {
    const bool has_su = with_su && !ArrowArrayViewIsNull(su_in.view(), i);
    if (ArrowArrayViewIsNull(in.view(), i)) {
      if (has_su) return bad_row(i, "an uncertainty without a value");
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(unknown.get()));
      continue;
    }
    text.clear();
    if (in.is_integer()) {
      append_integer(text, ArrowArrayViewGetIntUnsafe(in.view(), i));
    } else if (has_su) {
      if (!append_real_su(text, ArrowArrayViewGetDoubleUnsafe(in.view(), i),
                          ArrowArrayViewGetDoubleUnsafe(su_in.view(), i))) {
        return bad_row(i,
                       "no CIF number holds this value with this uncertainty (not finite, "
                       "a negative uncertainty, or scales too far apart)");
      }
    } else if (!append_real(text, ArrowArrayViewGetDoubleUnsafe(in.view(), i))) {
      return bad_row(i, "NaN and infinities are not CIF numbers");
    }
    PyObject* s = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (s == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), s);
  }
  return list.release();
}

}  // namespace tessrin
