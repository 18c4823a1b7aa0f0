// CifFile, CifBlock and CifSaveFrame: thin native containers over ordinary Python dicts and
// lists, the tree built from a collected parse, and deep copy.
//
// Every operation that can run Python code (an element's `name` property, a stored dict key's
// __eq__, a finaliser triggered by an allocation) holds strong references to what it walks and
// re-checks list lengths by index, so that code may change any container without harm. The
// borrow flag keeps an object's own fields from being swapped while one of its operations runs.
#include "python/cif_model.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "python/arguments.hpp"
#include "python/module_state.hpp"
#include "python/dict_export.hpp"
#include "python/pyref.hpp"

namespace tessrin {
namespace {

// --- layouts -----------------------------------------------------------------------------

/// Leads all three layouts, so the borrow flag is found the same way in each.
struct ModelHead {
  PyObject_HEAD
  /// Shared borrows held (> 0), or -1 while a setter holds the object exclusively.
  Py_ssize_t borrow;
};

struct FrameObject {
  ModelHead head;
  PyObject* name;  // always an exact str
  std::uint64_t id;
  PyObject* tags;
  PyObject* tag_order;
  PyObject* loops;
};

/// A block is a save frame's layout plus its frames, so the tag operations serve both.
struct BlockObject {
  FrameObject frame;
  PyObject* save_frames;
  PyObject* save_frame_list;
};

struct FileObject {
  ModelHead head;
  PyObject* blocks;
  PyObject* block_list;
  bool cif11;
};

FrameObject* as_frame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }
BlockObject* as_block(PyObject* self) { return reinterpret_cast<BlockObject*>(self); }
FileObject* as_file(PyObject* self) { return reinterpret_cast<FileObject*>(self); }

// --- borrow flag -------------------------------------------------------------------------

class SharedBorrow {
 public:
  explicit SharedBorrow(PyObject* self) noexcept {
    Py_ssize_t& flag = reinterpret_cast<ModelHead*>(self)->borrow;
    if (flag < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++flag;
    flag_ = &flag;
  }
  ~SharedBorrow() {
    if (flag_ != nullptr) --*flag_;
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  Py_ssize_t* flag_ = nullptr;  // the caller keeps the object alive for the guard's life
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(PyObject* self) noexcept {
    Py_ssize_t& flag = reinterpret_cast<ModelHead*>(self)->borrow;
    if (flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    flag = -1;
    flag_ = &flag;
  }
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) *flag_ = 0;
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  Py_ssize_t* flag_ = nullptr;
};

// --- releasing and the cyclic collector ---------------------------------------------------

// Objects can hold each other (`b._tags["_s"] = [b]`, set by hand), so the types take part in
// the cyclic collector. A long chain of objects that hold each other directly is released
// through CPython's trashcan, which bounds the C stack the nested deallocations use.

/// The fields that can hold other objects (a name is always an exact str).
std::array<PyObject**, 3> frame_fields(FrameObject* f) {
  return {&f->tags, &f->tag_order, &f->loops};
}
std::array<PyObject**, 2> block_fields(BlockObject* b) {
  return {&b->save_frames, &b->save_frame_list};
}
std::array<PyObject**, 2> file_fields(FileObject* f) { return {&f->blocks, &f->block_list}; }

template <std::size_t N>
int visit_fields(const std::array<PyObject**, N>& fields, visitproc visit, void* arg) {
  for (PyObject** field : fields) Py_VISIT(*field);
  return 0;
}

/// The collector breaks a cycle here. Fields become None rather than null, so an object a
/// finaliser still reaches keeps working (its operations then report a wrong field type).
template <std::size_t N>
void clear_fields(const std::array<PyObject**, N>& fields) {
  for (PyObject** field : fields) Py_XSETREF(*field, Py_NewRef(Py_None));
}

template <std::size_t N>
void release_fields(const std::array<PyObject**, N>& fields) {
  for (PyObject** field : fields) Py_CLEAR(*field);
}

int frame_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return visit_fields(frame_fields(as_frame(self)), visit, arg);
}

int block_traverse(PyObject* self, visitproc visit, void* arg) {
  if (int found = frame_traverse(self, visit, arg)) return found;
  return visit_fields(block_fields(as_block(self)), visit, arg);
}

int file_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return visit_fields(file_fields(as_file(self)), visit, arg);
}

int frame_clear(PyObject* self) {
  clear_fields(frame_fields(as_frame(self)));
  return 0;
}

int block_clear(PyObject* self) {
  frame_clear(self);
  clear_fields(block_fields(as_block(self)));
  return 0;
}

int file_clear(PyObject* self) {
  clear_fields(file_fields(as_file(self)));
  return 0;
}

void frame_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, frame_dealloc)
  Py_CLEAR(as_frame(self)->name);
  release_fields(frame_fields(as_frame(self)));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

void block_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, block_dealloc)
  Py_CLEAR(as_frame(self)->name);
  release_fields(frame_fields(as_frame(self)));
  release_fields(block_fields(as_block(self)));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

void file_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, file_dealloc)
  release_fields(file_fields(as_file(self)));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

// --- creating objects --------------------------------------------------------------------

// Each takes over the references it is given, also when it fails.

PyObject* new_frame(PyTypeObject* type, PyRef name, std::uint64_t id, PyRef tags,
                    PyRef tag_order, PyRef loops) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FrameObject* f = as_frame(self);
  f->name = name.release();
  f->id = id;
  f->tags = tags.release();
  f->tag_order = tag_order.release();
  f->loops = loops.release();
  return self;
}

PyObject* new_block(PyTypeObject* type, PyRef name, std::uint64_t id, PyRef tags,
                    PyRef tag_order, PyRef loops, PyRef save_frames, PyRef save_frame_list) {
  PyObject* self = new_frame(type, std::move(name), id, std::move(tags), std::move(tag_order),
                             std::move(loops));
  if (self == nullptr) return nullptr;
  BlockObject* b = as_block(self);
  b->save_frames = save_frames.release();
  b->save_frame_list = save_frame_list.release();
  return self;
}

PyObject* new_file(PyTypeObject* type, PyRef blocks, PyRef block_list, bool cif11) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FileObject* f = as_file(self);
  f->blocks = blocks.release();
  f->block_list = block_list.release();
  f->cif11 = cif11;
  return self;
}

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

/// Calls `visit(item)` for each item of `list` by index, for as long as the index is below
/// both the starting and the current length: `visit` may run Python code that resizes the
/// list. `list` must be held by the caller; each item is held while it is visited.
template <class Visit>
bool walk_list(PyObject* list, Visit&& visit) {
  const Py_ssize_t start = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < start && i < PyList_GET_SIZE(list); ++i) {
    PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
    if (!visit(item.get())) return false;
  }
  return true;
}

constexpr std::array<const char*, 0> kNoNames = {};
constexpr std::array<const char*, 1> kNameOnly = {"name"};

/// The one str argument `name` of get_all.
bool name_argument(const char* function, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject*& name) {
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

// --- constructors --------------------------------------------------------------------------

/// The name and id arguments shared by CifSaveFrame and CifBlock.
bool frame_arguments(const char* function, PyObject* args, PyObject* kwargs, PyRef& name,
                     std::uint64_t& id) {
  static constexpr std::array<const char*, 2> kNames = {"name", "id"};
  std::array<PyObject*, 2> bound{};
  if (!bind_new(function, kNames, 1, args, kwargs, bound)) return false;
  if (!PyUnicode_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'name' must be str, not %.200s", function,
                 Py_TYPE(bound[0])->tp_name);
    return false;
  }
  name = exact_str(bound[0], "name");
  if (!name) return false;
  id = 0;
  if (bound[1] == nullptr) return true;
  if (!PyLong_Check(bound[1]) && !PyIndex_Check(bound[1])) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'id' must be int, not %.200s", function,
                 Py_TYPE(bound[1])->tp_name);
    return false;
  }
  return to_u64(bound[1], "id", id);
}

PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyRef name;
  std::uint64_t id = 0;
  if (!frame_arguments("CifSaveFrame", args, kwargs, name, id)) return nullptr;
  PyRef tags = PyRef::steal(PyDict_New());
  if (!tags) return nullptr;
  PyRef tag_order = PyRef::steal(PyList_New(0));
  if (!tag_order) return nullptr;
  PyRef loops = PyRef::steal(PyList_New(0));
  if (!loops) return nullptr;
  return new_frame(type, std::move(name), id, std::move(tags), std::move(tag_order),
                   std::move(loops));
}

PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyRef name;
  std::uint64_t id = 0;
  if (!frame_arguments("CifBlock", args, kwargs, name, id)) return nullptr;
  PyRef tags = PyRef::steal(PyDict_New());
  if (!tags) return nullptr;
  PyRef tag_order = PyRef::steal(PyList_New(0));
  if (!tag_order) return nullptr;
  PyRef loops = PyRef::steal(PyList_New(0));
  if (!loops) return nullptr;
  PyRef save_frames = PyRef::steal(PyDict_New());
  if (!save_frames) return nullptr;
  PyRef save_frame_list = PyRef::steal(PyList_New(0));
  if (!save_frame_list) return nullptr;
  return new_block(type, std::move(name), id, std::move(tags), std::move(tag_order),
                   std::move(loops), std::move(save_frames), std::move(save_frame_list));
}

PyObject* file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> kNames = {"version"};
  std::array<PyObject*, 1> bound{};
  if (!bind_new("CifFile", kNames, 0, args, kwargs, bound)) return nullptr;
  bool cif11 = false;
  if (bound[0] != nullptr && bound[0] != Py_None && !version_from(bound[0], cif11)) {
    return nullptr;
  }
  PyRef blocks = PyRef::steal(PyDict_New());
  if (!blocks) return nullptr;
  PyRef block_list = PyRef::steal(PyList_New(0));
  if (!block_list) return nullptr;
  return new_file(type, std::move(blocks), std::move(block_list), cif11);
}

// --- properties ----------------------------------------------------------------------------

#define TESSRIN_FIELD(type, member) reinterpret_cast<void*>(offsetof(type, member))

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

PyObject* block_get_save_frames(PyObject* self, void*) {
  return names_of(self, TESSRIN_FIELD(BlockObject, save_frame_list), "_save_frame_list");
}

PyObject* file_get_blocks(PyObject* self, void*) {
  return names_of(self, TESSRIN_FIELD(FileObject, block_list), "_block_list");
}

PyObject* file_get_version(PyObject* self, void*) {
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyObject* module = PyType_GetModule(Py_TYPE(self));
  if (module == nullptr) return nullptr;
  return Py_NewRef(version_member(*module_state(module), as_file(self)->cif11));
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
      PyErr_Format(PyExc_TypeError, "name of an element of %s must be str, not %.200s",
                   field_name, Py_TYPE(item_name.get())->tp_name);
      return false;
    }
    if (PyUnicode_Compare(item_name.get(), folded.get()) != 0) return !PyErr_Occurred();
    return PyList_Append(result.get(), item) == 0;
  });
  return ok ? result.release() : nullptr;
}

PyObject* block_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  PyObject* name = nullptr;
  if (!name_argument("get_all", args, nargs, kwnames, name)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  return get_all(as_block(self)->save_frame_list, "_save_frame_list", name);
}

PyObject* file_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
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

// --- the classes, as registered on the module ---------------------------------------------

constexpr const char* kSaveFrameName = "CifSaveFrame";
constexpr const char* kBlockName = "CifBlock";
constexpr const char* kFileName = "CifFile";

/// The three classes of the module that builds a tree. They are looked up on the module on
/// each use (the module keeps no state of its own) and checked to be the native classes, so a
/// replaced module attribute raises instead of handing an unknown layout to the builder.
struct ModelTypes {
  PyRef save_frame, block, file;

  PyTypeObject* save_frame_type() const {
    return reinterpret_cast<PyTypeObject*>(save_frame.get());
  }
  PyTypeObject* block_type() const { return reinterpret_cast<PyTypeObject*>(block.get()); }
  PyTypeObject* file_type() const { return reinterpret_cast<PyTypeObject*>(file.get()); }
};

PyRef model_type(PyObject* module, const char* name, newfunc expected_new) {
  PyRef type = PyRef::steal(PyObject_GetAttrString(module, name));
  if (!type) return {};
  if (!PyType_Check(type.get()) ||
      PyType_GetSlot(reinterpret_cast<PyTypeObject*>(type.get()), Py_tp_new) !=
          reinterpret_cast<void*>(expected_new)) {
    PyErr_Format(PyExc_TypeError, "tessrin_core.%s is not the native %s class", name, name);
    return {};
  }
  return type;
}

bool load_model_types(PyObject* module, ModelTypes& types) {
  types.save_frame = model_type(module, kSaveFrameName, frame_new);
  if (!types.save_frame) return false;
  types.block = model_type(module, kBlockName, block_new);
  if (!types.block) return false;
  types.file = model_type(module, kFileName, file_new);
  return static_cast<bool>(types.file);
}

// --- building from a collected parse ------------------------------------------------------

PyObject* build_tree(const ModelTypes& types, const ParsedCif& parse) {
  PyRef block_list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parse.blocks.size())));
  if (!block_list) return nullptr;
  PyRef blocks = PyRef::steal(PyDict_New());
  if (!blocks) return nullptr;
  StrCache cache;
  for (std::size_t i = 0; i < parse.blocks.size(); ++i) {
    const ParsedBlock& parsed = parse.blocks[i];
    PyRef frame_list =
        PyRef::steal(PyList_New(static_cast<Py_ssize_t>(parsed.save_frames.size())));
    if (!frame_list) return nullptr;
    PyRef frames = PyRef::steal(PyDict_New());
    if (!frames) return nullptr;
    for (std::size_t j = 0; j < parsed.save_frames.size(); ++j) {
      const ParsedSaveFrame& parsed_frame = parsed.save_frames[j];
      FrameContainers c;
      if (!frame_data_to_py(parsed_frame.data, cache, c)) return nullptr;
      PyRef name = PyRef::steal(make_str(parsed_frame.name));
      if (!name) return nullptr;
      PyObject* frame =
          new_frame(types.save_frame_type(), PyRef::borrow(name.get()), j, std::move(c.tags),
                    std::move(c.tag_order), std::move(c.loops));
      if (frame == nullptr) return nullptr;
      PyList_SET_ITEM(frame_list.get(), static_cast<Py_ssize_t>(j), frame);
      // The first frame of a name stays the one found by name.
      if (PyDict_SetDefault(frames.get(), name.get(), frame) == nullptr) return nullptr;
    }
    FrameContainers c;
    if (!frame_data_to_py(parsed.data, cache, c)) return nullptr;
    PyRef name = PyRef::steal(make_str(parsed.name));
    if (!name) return nullptr;
    PyObject* block = new_block(types.block_type(), PyRef::borrow(name.get()), i,
                                std::move(c.tags), std::move(c.tag_order), std::move(c.loops),
                                std::move(frames), std::move(frame_list));
    if (block == nullptr) return nullptr;
    PyList_SET_ITEM(block_list.get(), static_cast<Py_ssize_t>(i), block);
    if (PyDict_SetDefault(blocks.get(), name.get(), block) == nullptr) return nullptr;
  }
  return new_file(types.file_type(), std::move(blocks), std::move(block_list),
                  parse.version == 0);
}

// --- deep copy -----------------------------------------------------------------------------

/// copy.deepcopy of one attribute, read right before it is copied.
PyRef copy_attribute(PyObject* deepcopy, PyObject* source, const char* attribute) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(source, attribute));
  if (!value) return {};
  return PyRef::steal(PyObject_CallOneArg(deepcopy, value.get()));
}

bool id_attribute(PyObject* source, std::uint64_t& id) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(source, "_id"));
  return value && to_u64(value.get(), "_id", id);
}

PyRef name_attribute(PyObject* source) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(source, "name"));
  if (!value) return {};
  return exact_str(value.get(), "name");
}

/// The copy of one block: its containers by copy.deepcopy, its frames rebuilt like the
/// builder builds them.
PyRef copy_block(const ModelTypes& types, PyObject* deepcopy, PyObject* source) {
  FrameContainers c;
  if (!(c.tags = copy_attribute(deepcopy, source, "_tags"))) return {};
  if (!(c.tag_order = copy_attribute(deepcopy, source, "_tag_order"))) return {};
  if (!(c.loops = copy_attribute(deepcopy, source, "_loops"))) return {};
  PyRef frame_list = PyRef::steal(PyList_New(0));
  if (!frame_list) return {};
  PyRef frames = PyRef::steal(PyDict_New());
  if (!frames) return {};
  PyRef source_frames = PyRef::steal(PyObject_GetAttrString(source, "_save_frame_list"));
  if (!source_frames || !require_list(source_frames.get(), "_save_frame_list")) return {};
  const bool ok = walk_list(source_frames.get(), [&](PyObject* frame_source) {
    std::uint64_t id = 0;
    if (!id_attribute(frame_source, id)) return false;
    PyRef name = name_attribute(frame_source);
    if (!name) return false;
    FrameContainers fc;
    if (!(fc.tags = copy_attribute(deepcopy, frame_source, "_tags"))) return false;
    if (!(fc.tag_order = copy_attribute(deepcopy, frame_source, "_tag_order"))) return false;
    if (!(fc.loops = copy_attribute(deepcopy, frame_source, "_loops"))) return false;
    PyRef frame = PyRef::steal(new_frame(types.save_frame_type(), PyRef::borrow(name.get()), id,
                                         std::move(fc.tags), std::move(fc.tag_order),
                                         std::move(fc.loops)));
    return frame && PyList_Append(frame_list.get(), frame.get()) == 0 &&
           PyDict_SetDefault(frames.get(), name.get(), frame.get()) != nullptr;
  });
  if (!ok) return {};
  PyRef name = name_attribute(source);
  if (!name) return {};
  std::uint64_t id = 0;
  if (!id_attribute(source, id)) return {};
  return PyRef::steal(new_block(types.block_type(), std::move(name), id, std::move(c.tags),
                                std::move(c.tag_order), std::move(c.loops), std::move(frames),
                                std::move(frame_list)));
}

PyObject* file_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::array<PyObject*, 0> bound{};
  if (!bind_fastcall("deepcopy", kNoNames, 0, args, nargs, kwnames, bound)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  PyObject* module = PyType_GetModule(Py_TYPE(self));  // borrowed: the class holds it
  if (module == nullptr) return nullptr;
  ModelTypes types;
  if (!load_model_types(module, types)) return nullptr;
  PyRef copy_module = PyRef::steal(PyImport_ImportModule("copy"));
  if (!copy_module) return nullptr;
  PyRef deepcopy = PyRef::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
  if (!deepcopy) return nullptr;
  PyRef block_list = PyRef::steal(PyList_New(0));
  if (!block_list) return nullptr;
  PyRef blocks = PyRef::steal(PyDict_New());
  if (!blocks) return nullptr;
  PyRef source = PyRef::borrow(as_file(self)->block_list);
  if (!require_list(source.get(), "_block_list")) return nullptr;
  // The source's name dicts are never read: rebuilding them from the lists keeps the copy
  // consistent even where the source's dicts were edited by hand.
  const bool ok = walk_list(source.get(), [&](PyObject* block_source) {
    PyRef block = copy_block(types, deepcopy.get(), block_source);
    if (!block || PyList_Append(block_list.get(), block.get()) < 0) return false;
    PyRef name = PyRef::borrow(as_frame(block.get())->name);
    return PyDict_SetDefault(blocks.get(), name.get(), block.get()) != nullptr;
  });
  if (!ok) return nullptr;
  return new_file(types.file_type(), std::move(blocks), std::move(block_list),
                  as_file(self)->cif11);
}

// --- slots and registration ------------------------------------------------------------

#define TESSRIN_METHOD(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kFrameMethods[] = {
    {"_append_value", TESSRIN_METHOD(frame_append_value), METH_FASTCALL | METH_KEYWORDS,
     "_append_value($self, tag, value)\n--\n\n"},
    {"_add_loop", TESSRIN_METHOD(frame_add_loop), METH_FASTCALL | METH_KEYWORDS,
     "_add_loop($self, tags, buffers)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kBlockMethods[] = {
    {"get_all", TESSRIN_METHOD(block_get_all), METH_FASTCALL | METH_KEYWORDS,
     "get_all($self, name)\n--\n\n"},
    {"_append_value", TESSRIN_METHOD(frame_append_value), METH_FASTCALL | METH_KEYWORDS,
     "_append_value($self, tag, value)\n--\n\n"},
    {"_add_loop", TESSRIN_METHOD(frame_add_loop), METH_FASTCALL | METH_KEYWORDS,
     "_add_loop($self, tags, buffers)\n--\n\n"},
    {"_add_save_frame", TESSRIN_METHOD(block_add_save_frame), METH_FASTCALL | METH_KEYWORDS,
     "_add_save_frame($self, frame)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef kFileMethods[] = {
    {"get_all", TESSRIN_METHOD(file_get_all), METH_FASTCALL | METH_KEYWORDS,
     "get_all($self, name)\n--\n\n"},
    {"_add_block", TESSRIN_METHOD(file_add_block), METH_FASTCALL | METH_KEYWORDS,
     "_add_block($self, block)\n--\n\n"},
    {"deepcopy", TESSRIN_METHOD(file_deepcopy), METH_FASTCALL | METH_KEYWORDS,
     "deepcopy($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// Getters and setters carry no docstrings.
#define TESSRIN_FRAME_GETSET                                                                 \
  {"name", frame_get_name, frame_set_name, nullptr, nullptr},                                \
      {"_id", frame_get_id, frame_set_id, nullptr, nullptr},                                 \
      {"_tags", get_container, set_container, nullptr, TESSRIN_FIELD(FrameObject, tags)},    \
      {"_tag_order", get_container, set_container, nullptr,                                  \
       TESSRIN_FIELD(FrameObject, tag_order)},                                               \
      {"_loops", get_container, set_container, nullptr, TESSRIN_FIELD(FrameObject, loops)},  \
      {"tags", frame_get_tags, nullptr, nullptr, nullptr},                                   \
      {"loops", frame_get_loops, nullptr, nullptr, nullptr}

PyGetSetDef kFrameGetSet[] = {
    TESSRIN_FRAME_GETSET,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kBlockGetSet[] = {
    TESSRIN_FRAME_GETSET,
    {"_save_frames", get_container, set_container, nullptr,
     TESSRIN_FIELD(BlockObject, save_frames)},
    {"_save_frame_list", get_container, set_container, nullptr,
     TESSRIN_FIELD(BlockObject, save_frame_list)},
    {"save_frames", block_get_save_frames, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef kFileGetSet[] = {
    {"_blocks", get_container, set_container, nullptr, TESSRIN_FIELD(FileObject, blocks)},
    {"_block_list", get_container, set_container, nullptr,
     TESSRIN_FIELD(FileObject, block_list)},
    {"version", file_get_version, file_set_version, nullptr, nullptr},
    {"blocks", file_get_blocks, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFrameSlots[] = {
    {Py_tp_doc, const_cast<char*>("CifSaveFrame(name, id=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(frame_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frame_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frame_clear)},
    {Py_tp_methods, kFrameMethods},
    {Py_tp_getset, kFrameGetSet},
    {Py_mp_subscript, reinterpret_cast<void*>(frame_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(frame_contains)},
    {0, nullptr},
};

PyType_Slot kBlockSlots[] = {
    {Py_tp_doc, const_cast<char*>("CifBlock(name, id=0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(block_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(block_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(block_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(block_clear)},
    {Py_tp_methods, kBlockMethods},
    {Py_tp_getset, kBlockGetSet},
    {Py_mp_subscript, reinterpret_cast<void*>(block_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(block_contains)},
    {0, nullptr},
};

PyType_Slot kFileSlots[] = {
    {Py_tp_doc, const_cast<char*>("CifFile(version=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(file_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(file_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(file_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(file_clear)},
    {Py_tp_methods, kFileMethods},
    {Py_tp_getset, kFileGetSet},
    {Py_mp_subscript, reinterpret_cast<void*>(file_subscript)},
    {Py_sq_contains, reinterpret_cast<void*>(file_contains)},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE (final), no dict or weak-reference slot.
PyType_Spec kSaveFrameType = {"tessrin.cifmodel.model.CifSaveFrame", sizeof(FrameObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kFrameSlots};
PyType_Spec kBlockType = {"tessrin.cifmodel.model.CifBlock", sizeof(BlockObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kBlockSlots};
PyType_Spec kFileType = {"tessrin.cifmodel.model.CifFile", sizeof(FileObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, kFileSlots};

}  // namespace

int add_model_types(PyObject* module) {
  const std::array<std::pair<const char*, PyType_Spec*>, 3> classes = {{
      {kSaveFrameName, &kSaveFrameType},
      {kBlockName, &kBlockType},
      {kFileName, &kFileType},
  }};
  for (const auto& [name, shape] : classes) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, shape, nullptr));
    if (!type || PyModule_AddObjectRef(module, name, type.get()) < 0) return -1;
  }
  return 0;
}

PyObject* build_py_cif(PyObject* module, const ParsedCif& parse) {
  try {
    ModelTypes types;
    if (!load_model_types(module, types)) return nullptr;
    GcPause pause;
    return build_tree(types, parse);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tessrin
