// CifFile.deepcopy: the containers copied by copy.deepcopy, the objects rebuilt as the
// builder builds them.
#include <array>
#include <cstdint>
#include <utility>

#include "python/arguments.hpp"
#include "python/cif_model_internal.hpp"
#include "python/dict_export.hpp"

namespace tessrin::model {
namespace {

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
PyRef copy_block(const ModuleState& types, PyObject* deepcopy, PyObject* source) {
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
    PyRef frame =
        PyRef::steal(new_frame(types.save_frame_type, PyRef::borrow(name.get()), id,
                               std::move(fc.tags), std::move(fc.tag_order), std::move(fc.loops)));
    return frame && PyList_Append(frame_list.get(), frame.get()) == 0 &&
           PyDict_SetDefault(frames.get(), name.get(), frame.get()) != nullptr;
  });
  if (!ok) return {};
  PyRef name = name_attribute(source);
  if (!name) return {};
  std::uint64_t id = 0;
  if (!id_attribute(source, id)) return {};
  return PyRef::steal(new_block(types.block_type, std::move(name), id, std::move(c.tags),
                                std::move(c.tag_order), std::move(c.loops), std::move(frames),
                                std::move(frame_list)));
}

}  // namespace

PyObject* file_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  std::array<PyObject*, 0> bound{};
  if (!bind_fastcall("deepcopy", kNoNames, 0, args, nargs, kwnames, bound)) return nullptr;
  SharedBorrow borrow(self);
  if (!borrow) return nullptr;
  ModuleState& types = type_state(Py_TYPE(self));
  if (types.deepcopy == nullptr) {
    PyRef copy_module = PyRef::steal(PyImport_ImportModule("copy"));
    if (!copy_module) return nullptr;
    PyRef found = PyRef::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy"));
    if (!found) return nullptr;
    // The import may have let another thread run and get here first; keep its object.
    if (types.deepcopy == nullptr) types.deepcopy = found.release();
  }
  // Held for the call: Python code run by the copy cannot free it under us.
  PyRef deepcopy = PyRef::borrow(types.deepcopy);
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
  return new_file(types.file_type, std::move(blocks), std::move(block_list), as_file(self)->cif11);
}

}  // namespace tessrin::model
