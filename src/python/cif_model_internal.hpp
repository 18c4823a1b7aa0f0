// What the four files of the object model share: the layouts of CifSaveFrame, CifBlock and
// CifFile, the borrow flag, and the helpers that build and check their fields
// (cif_model_types.cpp: the classes and the cyclic collector; cif_model_build.cpp: the tree of a
// collected parse; cif_model_access.cpp: properties, lookups and mutation; cif_model_copy.cpp:
// deep copy).
//
// Every operation that can run Python code (an element's `name` property, a stored dict key's
// __eq__, a finaliser triggered by an allocation) holds strong references to what it walks and
// re-checks list lengths by index, so that code may change any container without harm. The
// borrow flag keeps an object's own fields from being swapped while one of its operations runs.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "python/module_state.hpp"
#include "python/pyref.hpp"

/// A member's offset as the `closure` of a getter or setter that reads it.
#define TESSRIN_FIELD(type, member) (reinterpret_cast<void*>(offsetof(type, member)))

namespace tessrin::model {

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

inline FrameObject* as_frame(PyObject* self) { return reinterpret_cast<FrameObject*>(self); }
inline BlockObject* as_block(PyObject* self) { return reinterpret_cast<BlockObject*>(self); }
inline FileObject* as_file(PyObject* self) { return reinterpret_cast<FileObject*>(self); }

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
// --- creating objects (cif_model_types.cpp) ----------------------------------------------

// Each takes over the references it is given, also when it fails.

PyObject* new_frame(PyTypeObject* type, PyRef name, std::uint64_t id, PyRef tags, PyRef tag_order,
                    PyRef loops);
PyObject* new_block(PyTypeObject* type, PyRef name, std::uint64_t id, PyRef tags, PyRef tag_order,
                    PyRef loops, PyRef save_frames, PyRef save_frame_list);
PyObject* new_file(PyTypeObject* type, PyRef blocks, PyRef block_list, bool cif11);

// --- checks and conversions (cif_model_access.cpp) ----------------------------------------

/// TypeError naming the field unless it holds a dict (a list).
bool require_dict(PyObject* field, const char* field_name);
bool require_list(PyObject* field, const char* field_name);

/// The folded form of a str key, as str.lower() gives it, as an exact str: a dict lookup with
/// it runs no Python code of the key's own.
PyObject* fold(PyObject* key);

/// An exact str with the text of `value`, which must be a str; TypeError naming `what`.
PyRef exact_str(PyObject* value, const char* what);

/// An integer that fits an unsigned 64-bit value; TypeError naming `what` for a non-integer,
/// the interpreter's OverflowError for one out of range.
bool to_u64(PyObject* value, const char* what, std::uint64_t& out);

/// Reads `version.name`: "CIF_1_1" means CIF 1.1, any other str CIF 2.0.
bool version_from(PyObject* version, bool& cif11);

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

// --- the three classes ---------------------------------------------------------------------

constexpr const char* kSaveFrameName = "CifSaveFrame";
constexpr const char* kBlockName = "CifBlock";
constexpr const char* kFileName = "CifFile";

// --- slots (each in the file of its concern) ---------------------------------------------

PyObject* frame_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* block_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
PyObject* file_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

PyObject* get_container(PyObject* self, void* offset);
int set_container(PyObject* self, PyObject* value, void* offset);
PyObject* frame_get_name(PyObject* self, void*);
int frame_set_name(PyObject* self, PyObject* value, void*);
PyObject* frame_get_id(PyObject* self, void*);
int frame_set_id(PyObject* self, PyObject* value, void*);
PyObject* frame_get_tags(PyObject* self, void*);
PyObject* frame_get_loops(PyObject* self, void*);
PyObject* block_get_save_frames(PyObject* self, void*);
PyObject* file_get_blocks(PyObject* self, void*);
PyObject* file_get_version(PyObject* self, void*);
int file_set_version(PyObject* self, PyObject* value, void*);

PyObject* frame_subscript(PyObject* self, PyObject* key);
int frame_contains(PyObject* self, PyObject* key);
PyObject* block_subscript(PyObject* self, PyObject* key);
int block_contains(PyObject* self, PyObject* key);
PyObject* file_subscript(PyObject* self, PyObject* name);
int file_contains(PyObject* self, PyObject* name);

PyObject* block_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* file_get_all(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* frame_append_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* frame_add_loop(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);
PyObject* block_add_save_frame(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* file_add_block(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames);

PyObject* file_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tessrin::model
