// CifSaveFrame, CifBlock and CifFile: properties, lookups by folded name, and the mutators
// the Python side builds with.
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "python/arguments.hpp"
#include "python/cif_model_internal.hpp"
#include "python/module_state.hpp"

namespace tessrin::model {

// --- checks and conversions --------------------------------------------------------------

bool require_dict(PyObject* field, const char* field_name) {
  if (PyDict_Check(field)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a dict, not %.200s", field_name,
               Py_TYPE(field)->tp_name);
  return false;
}

bool require_list(PyObject* field, const char* field_name) {
  if (PyList_Check(field)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be a list, not %.200s", field_name,
               Py_TYPE(field)->tp_name);
  return false;
}

/// The folded form of a str key, as str.lower() gives it, as an exact str: a dict lookup with
/// it runs no Python code of the key's own.
PyObject* fold(PyObject* key) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(key) < 0) return nullptr;  // strings made by the old Py_UNICODE API
#endif
  if (PyUnicode_CheckExact(key) && PyUnicode_IS_ASCII(key)) {
    const Py_UCS1* data = PyUnicode_1BYTE_DATA(key);
    const Py_ssize_t size = PyUnicode_GET_LENGTH(key);
    Py_ssize_t first = 0;
    while (first < size && !(data[first] >= 'A' && data[first] <= 'Z')) ++first;
    if (first == size) return Py_NewRef(key);  // the common case: already lower case
    PyObject* folded = PyUnicode_New(size, 127);
    if (folded == nullptr) return nullptr;
    Py_UCS1* out = PyUnicode_1BYTE_DATA(folded);
    std::memcpy(out, data, static_cast<std::size_t>(size));
    for (Py_ssize_t i = first; i < size; ++i) {
      if (out[i] >= 'A' && out[i] <= 'Z') out[i] = static_cast<Py_UCS1>(out[i] + ('a' - 'A'));
    }
    return folded;
  }
  // str.lower itself, not the key's own method: a str subclass may override lower().
  return PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower", "O", key);
}

/// An exact str with the text of `value`, which must be a str; TypeError naming `what`.
PyRef exact_str(PyObject* value, const char* what) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(value)->tp_name);
    return {};
  }
  if (PyUnicode_CheckExact(value)) return PyRef::borrow(value);
  return PyRef::steal(PyUnicode_FromObject(value));
}

/// An integer that fits an unsigned 64-bit value; TypeError naming `what` for a non-integer,
/// the interpreter's OverflowError for one out of range.
bool to_u64(PyObject* value, const char* what, std::uint64_t& out) {
  PyRef number;
  if (PyLong_Check(value)) {
    number = PyRef::borrow(value);
  } else if (PyIndex_Check(value)) {
    number = PyRef::steal(PyNumber_Index(value));
    if (!number) return false;
  } else {
    PyErr_Format(PyExc_TypeError, "%s must be int, not %.200s", what, Py_TYPE(value)->tp_name);
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(number.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

/// Reads `version.name`: "CIF_1_1" means CIF 1.1, any other str CIF 2.0.
bool version_from(PyObject* version, bool& cif11) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(version, "name"));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "version name must be str, not %.200s",
                 Py_TYPE(name.get())->tp_name);
    return false;
  }
  cif11 = PyUnicode_CompareWithASCIIString(name.get(), "CIF_1_1") == 0;
  return true;
}

namespace {

constexpr std::array<const char*, 1> kNameOnly = {"name"};

/// The one str argument `name` of get_all.
bool name_argument(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject*& name) {
  std::array<PyObject*, 1> bound{};
  if (!bind_fastcall(function, kNameOnly, 1, args, nargs, kwnames, bound)) return false;
  if (!PyUnicode_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'name' must be str, not %.200s", function,
                 Py_TYPE(bound[0])->tp_name);
    return false;
  }
  name = bound[0];
  return true;
}

// --- properties ----------------------------------------------------------------------------

PyObject*& field_at(PyObject* self, void* offset) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                       reinterpret_cast<std::uintptr_t>(offset));
}

int no_deleter() {
  PyErr_SetString(PyExc_AttributeError, "property has no deleter");
  return -1;
}

/// Stores `value` in a field under an exclusive borrow. The old value is released only after
/// the borrow ends, since its finaliser may use this object.
int replace_field(PyObject* self, PyObject*& field, PyRef value) {
  PyRef old;
  {
    ExclusiveBorrow borrow(self);
    if (!borrow) return -1;
    old = PyRef::steal(std::exchange(field, value.release()));
  }
  return 0;
}

}  // namespace

/// Getter of a container field (`_tags`, `_blocks`, ...): the stored object itself.
PyObject* get_container(PyObject* self, void* offset) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return Py_NewRef(field_at(self, offset));
}

/// Setter of a container field: any object is stored unchanged.
int set_container(PyObject* self, PyObject* value, void* offset) {
  if (value == nullptr) return no_deleter();
  return replace_field(self, field_at(self, offset), PyRef::borrow(value));
}

PyObject* frame_get_name(PyObject* self, void*) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return Py_NewRef(as_frame(self)->name);
}

int frame_set_name(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return no_deleter();
  PyRef name = exact_str(value, "name");
  return name ? replace_field(self, as_frame(self)->name, std::move(name)) : -1;
}

PyObject* frame_get_id(PyObject* self, void*) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return PyLong_FromUnsignedLongLong(as_frame(self)->id);
}

int frame_set_id(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return no_deleter();
  ExclusiveBorrow borrow(self);
  if (!borrow) return -1;
  std::uint64_t id = 0;
  if (!to_u64(value, "_id", id)) return -1;
  as_frame(self)->id = id;
  return 0;
}

/// `tags`: a new list with the items of `_tag_order`.
PyObject* frame_get_tags(PyObject* self, void*) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef order = PyRef::borrow(as_frame(self)->tag_order);
  if (!require_list(order.get(), "_tag_order")) return nullptr;
  return PyList_GetSlice(order.get(), 0, PY_SSIZE_T_MAX);
}

/// `loops`: a new list of new lists, one per entry of `_loops`.
PyObject* frame_get_loops(PyObject* self, void*) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef loops = PyRef::borrow(as_frame(self)->loops);
  if (!require_list(loops.get(), "_loops")) return nullptr;
  PyRef result = PyRef::steal(PyList_New(0));
  if (!result) return nullptr;
  const bool ok = walk_list(loops.get(), [&](PyObject* loop) {
    PyRef copy;
    if (PyList_Check(loop)) {
      copy = PyRef::steal(PyList_GetSlice(loop, 0, PY_SSIZE_T_MAX));
    } else if (PySequence_Check(loop) && !PyUnicode_Check(loop)) {
      copy = PyRef::steal(PySequence_List(loop));  // a tuple appended by hand, say
    } else {
      PyErr_Format(PyExc_TypeError, "each entry of _loops must be a list, not %.200s",
                   Py_TYPE(loop)->tp_name);
    }
    return copy && PyList_Append(result.get(), copy.get()) == 0;
  });
  return ok ? result.release() : nullptr;
}

namespace {

/// A new list with the `name` attribute of each element of a list field, as it is.
PyObject* names_of(PyObject* self, void* offset, const char* field_name) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef list = PyRef::borrow(field_at(self, offset));
  if (!require_list(list.get(), field_name)) return nullptr;
  PyRef result = PyRef::steal(PyList_New(0));
  if (!result) return nullptr;
  const bool ok = walk_list(list.get(), [&](PyObject* item) {
    PyRef name = PyRef::steal(PyObject_GetAttrString(item, "name"));
    return name && PyList_Append(result.get(), name.get()) == 0;
  });
  return ok ? result.release() : nullptr;
}

}  // namespace

PyObject* block_get_save_frames(PyObject* self, void*) {
  return names_of(self, TESSRIN_FIELD(BlockObject, save_frame_list), "_save_frame_list");
}

PyObject* file_get_blocks(PyObject* self, void*) {
  return names_of(self, TESSRIN_FIELD(FileObject, block_list), "_block_list");
}

PyObject* file_get_version(PyObject* self, void*) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return Py_NewRef(version_member(type_state(Py_TYPE(self)), as_file(self)->cif11));
}

int file_set_version(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return no_deleter();
  ExclusiveBorrow borrow(self);
  if (!borrow) return -1;
  bool cif11 = false;
  if (!version_from(value, cif11)) return -1;
  as_file(self)->cif11 = cif11;
  return 0;
}

// --- lookups -------------------------------------------------------------------------------

namespace {

bool key_argument(PyObject* key, const char* what) {
  if (PyUnicode_Check(key)) return true;
  PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(key)->tp_name);
  return false;
}

/// The entry of `dict` under the folded key, or KeyError with the caller's own key.
PyObject* lookup(PyObject* dict_field, const char* field_name, PyObject* folded, PyObject* key) {
  PyRef dict = PyRef::borrow(dict_field);
  if (!require_dict(dict.get(), field_name)) return nullptr;
  PyObject* found = PyDict_GetItemWithError(dict.get(), folded);
  if (found != nullptr) return Py_NewRef(found);
  if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

int contains(PyObject* dict_field, const char* field_name, PyObject* folded) {
  PyRef dict = PyRef::borrow(dict_field);
  if (!require_dict(dict.get(), field_name)) return -1;
  return PyDict_Contains(dict.get(), folded);
}

/// A block key naming a tag begins with "_"; any other key (the empty one too) names a frame.
bool names_tag(PyObject* folded) {
  return PyUnicode_GET_LENGTH(folded) > 0 && PyUnicode_READ_CHAR(folded, 0) == '_';
}

}  // namespace

PyObject* frame_subscript(PyObject* self, PyObject* key) {
  if (!key_argument(key, "key")) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef folded = PyRef::steal(fold(key));
  if (!folded) return nullptr;
  return lookup(as_frame(self)->tags, "_tags", folded.get(), key);
}

int frame_contains(PyObject* self, PyObject* key) {
  if (!key_argument(key, "key")) return -1;
  SharedBorrow borrow(self);
  if (!borrow) return -1;
  PyRef folded = PyRef::steal(fold(key));
  if (!folded) return -1;
  return contains(as_frame(self)->tags, "_tags", folded.get());
}

PyObject* block_subscript(PyObject* self, PyObject* key) {
  if (!key_argument(key, "key")) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef folded = PyRef::steal(fold(key));
  if (!folded) return nullptr;
  BlockObject* b = as_block(self);
  if (names_tag(folded.get())) return lookup(b->frame.tags, "_tags", folded.get(), key);
  return lookup(b->save_frames, "_save_frames", folded.get(), key);
}

int block_contains(PyObject* self, PyObject* key) {
  if (!key_argument(key, "key")) return -1;
  SharedBorrow borrow(self);
  if (!borrow) return -1;
  PyRef folded = PyRef::steal(fold(key));
  if (!folded) return -1;
  BlockObject* b = as_block(self);
  if (names_tag(folded.get())) return contains(b->frame.tags, "_tags", folded.get());
  return contains(b->save_frames, "_save_frames", folded.get());
}

PyObject* file_subscript(PyObject* self, PyObject* name) {
  if (!key_argument(name, "name")) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef folded = PyRef::steal(fold(name));
  if (!folded) return nullptr;
  return lookup(as_file(self)->blocks, "_blocks", folded.get(), name);
}

int file_contains(PyObject* self, PyObject* name) {
  if (!key_argument(name, "name")) return -1;
  SharedBorrow borrow(self);
  if (!borrow) return -1;
  PyRef folded = PyRef::steal(fold(name));
  if (!folded) return -1;
  return contains(as_file(self)->blocks, "_blocks", folded.get());
}

namespace {

/// Every element of a list field whose `name` equals the folded query, in list order.
PyObject* get_all(PyObject* list_field, const char* field_name, PyObject* name) {
  PyRef folded = PyRef::steal(fold(name));
  if (!folded) return nullptr;
  PyRef list = PyRef::borrow(list_field);
  if (!require_list(list.get(), field_name)) return nullptr;
  PyRef result = PyRef::steal(PyList_New(0));
  if (!result) return nullptr;
  const bool ok = walk_list(list.get(), [&](PyObject* item) {
    PyRef item_name = PyRef::steal(PyObject_GetAttrString(item, "name"));
    if (!item_name) return false;
    if (!PyUnicode_Check(item_name.get())) {
      PyErr_Format(PyExc_TypeError, "name of an element of %s must be str, not %.200s", field_name,
                   Py_TYPE(item_name.get())->tp_name);
      return false;
    }
    if (PyUnicode_Compare(item_name.get(), folded.get()) != 0) return !PyErr_Occurred();
    return PyList_Append(result.get(), item) == 0;
  });
  return ok ? result.release() : nullptr;
}

}  // namespace

PyObject* block_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* name = nullptr;
  if (!name_argument("get_all", args, nargs, kwnames, name)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return get_all(as_block(self)->save_frame_list, "_save_frame_list", name);
}

PyObject* file_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* name = nullptr;
  if (!name_argument("get_all", args, nargs, kwnames, name)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return get_all(as_file(self)->block_list, "_block_list", name);
}

// --- mutators ------------------------------------------------------------------------------

PyObject* frame_append_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"tag", "value"};
  std::array<PyObject*, 2> bound{};
  if (!bind_fastcall("_append_value", kNames, 2, args, nargs, kwnames, bound)) return nullptr;
  PyObject* tag = bound[0];
  if (!PyUnicode_Check(tag)) {
    PyErr_Format(PyExc_TypeError, "_append_value() argument 'tag' must be str, not %.200s",
                 Py_TYPE(tag)->tp_name);
    return nullptr;
  }
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef tags = PyRef::borrow(as_frame(self)->tags);
  PyRef order = PyRef::borrow(as_frame(self)->tag_order);
  if (!require_dict(tags.get(), "_tags") || !require_list(order.get(), "_tag_order")) {
    return nullptr;
  }
  const int present = PyDict_Contains(tags.get(), tag);
  if (present < 0) return nullptr;
  if (present == 0) {
    if (PyList_Append(order.get(), tag) < 0) return nullptr;
    PyRef values = PyRef::steal(PyList_New(0));
    if (!values || PyDict_SetItem(tags.get(), tag, values.get()) < 0) return nullptr;
  }
  PyObject* found = PyDict_GetItemWithError(tags.get(), tag);
  if (found == nullptr) {
    // Only Python code run by the tag's own comparison can have taken the entry out again.
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, tag);
    return nullptr;
  }
  PyRef values = PyRef::borrow(found);
  if (!PyList_Check(values.get())) {
    PyErr_Format(PyExc_TypeError, "the values of tag %R must be a list, not %.200s", tag,
                 Py_TYPE(values.get())->tp_name);
    return nullptr;
  }
  if (PyList_Append(values.get(), bound[1]) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* frame_add_loop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"tags", "buffers"};
  std::array<PyObject*, 2> bound{};
  if (!bind_fastcall("_add_loop", kNames, 2, args, nargs, kwnames, bound)) return nullptr;
  // A str passes the sequence check but would make a loop of one-letter tags.
  if (PyUnicode_Check(bound[0]) || !PySequence_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError,
                 "_add_loop() argument 'tags' must be a sequence of str, not %.200s",
                 Py_TYPE(bound[0])->tp_name);
    return nullptr;
  }
  // A private copy: Python code run below cannot change the tags being added.
  PyRef names = PyRef::steal(PySequence_List(bound[0]));
  if (!names) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyList_GET_ITEM(names.get(), i);
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "_add_loop() argument 'tags' must hold str, not %.200s",
                   Py_TYPE(name)->tp_name);
      return nullptr;
    }
  }
  PyObject* buffers = bound[1];
  if (!PyDict_Check(buffers)) {
    PyErr_Format(PyExc_TypeError, "_add_loop() argument 'buffers' must be dict, not %.200s",
                 Py_TYPE(buffers)->tp_name);
    return nullptr;
  }
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyRef tags = PyRef::borrow(as_frame(self)->tags);
  PyRef order = PyRef::borrow(as_frame(self)->tag_order);
  PyRef loops = PyRef::borrow(as_frame(self)->loops);
  if (!require_dict(tags.get(), "_tags") || !require_list(order.get(), "_tag_order") ||
      !require_list(loops.get(), "_loops")) {
    return nullptr;
  }
  PyRef loop = PyRef::steal(PyList_New(0));
  if (!loop) return nullptr;
  const bool ok = walk_list(names.get(), [&](PyObject* tag) {
    const int present = PyDict_Contains(tags.get(), tag);
    if (present < 0 || (present == 0 && PyList_Append(order.get(), tag) < 0)) return false;
    PyRef column = PyRef::borrow(PyDict_GetItemWithError(buffers, tag));
    if (!column) {
      if (PyErr_Occurred()) return false;
      column = PyRef::steal(PyList_New(0));
      if (!column) return false;
    }
    return PyDict_SetItem(tags.get(), tag, column.get()) == 0 &&
           PyList_Append(loop.get(), tag) == 0;
  });
  if (!ok || PyList_Append(loops.get(), loop.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

namespace {

/// _add_save_frame and _add_block: number the object, append it, and make it the one found by
/// name unless an earlier object has that name. Returns whether the name was present.
PyObject* add_member(PyObject* list_field, const char* list_name, PyObject* dict_field,
                     const char* dict_name, PyObject* member) {
  PyRef list = PyRef::borrow(list_field);
  PyRef dict = PyRef::borrow(dict_field);
  if (!require_list(list.get(), list_name) || !require_dict(dict.get(), dict_name)) {
    return nullptr;
  }
  PyRef id = PyRef::steal(PyLong_FromSsize_t(PyList_GET_SIZE(list.get())));
  if (!id || PyObject_SetAttrString(member, "_id", id.get()) < 0) return nullptr;
  if (PyList_Append(list.get(), member) < 0) return nullptr;
  PyRef name = PyRef::steal(PyObject_GetAttrString(member, "name"));
  if (!name) return nullptr;
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "name of an element of %s must be str, not %.200s", list_name,
                 Py_TYPE(name.get())->tp_name);
    return nullptr;
  }
  const int present = PyDict_Contains(dict.get(), name.get());
  if (present < 0) return nullptr;
  if (present == 1) Py_RETURN_TRUE;
  if (PyDict_SetItem(dict.get(), name.get(), member) < 0) return nullptr;
  Py_RETURN_FALSE;
}

}  // namespace

PyObject* block_add_save_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames = {"frame"};
  std::array<PyObject*, 1> bound{};
  if (!bind_fastcall("_add_save_frame", kNames, 1, args, nargs, kwnames, bound)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  BlockObject* b = as_block(self);
  return add_member(b->save_frame_list, "_save_frame_list", b->save_frames, "_save_frames",
                    bound[0]);
}

PyObject* file_add_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static constexpr std::array<const char*, 1> kNames = {"block"};
  std::array<PyObject*, 1> bound{};
  if (!bind_fastcall("_add_block", kNames, 1, args, nargs, kwnames, bound)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  FileObject* f = as_file(self);
  return add_member(f->block_list, "_block_list", f->blocks, "_blocks", bound[0]);
}

}  // namespace tessrin::model
