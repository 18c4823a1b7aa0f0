// CifSaveFrame, CifBlock and CifFile as classes: creation, the cyclic collector, and the
// slot tables registered on the module.
#include <array>
#include <cstdint>
#include <utility>

#include "python/arguments.hpp"
#include "python/cif_model.hpp"
#include "python/cif_model_internal.hpp"

namespace tessrin::model {
namespace {

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
  Py_TRASHCAN_BEGIN(self, frame_dealloc) Py_CLEAR(as_frame(self)->name);
  release_fields(frame_fields(as_frame(self)));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

void block_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, block_dealloc) Py_CLEAR(as_frame(self)->name);
  release_fields(frame_fields(as_frame(self)));
  release_fields(block_fields(as_block(self)));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

void file_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, file_dealloc) release_fields(file_fields(as_file(self)));
  type->tp_free(self);
  Py_DECREF(type);
  Py_TRASHCAN_END
}

}  // namespace

// --- creating objects --------------------------------------------------------------------

// Each takes over the references it is given, also when it fails.

PyObject* new_frame(PyTypeObject* type, PyRef name, std::uint64_t id, PyRef tags, PyRef tag_order,
                    PyRef loops) {
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

PyObject* new_block(PyTypeObject* type, PyRef name, std::uint64_t id, PyRef tags, PyRef tag_order,
                    PyRef loops, PyRef save_frames, PyRef save_frame_list) {
  PyObject* self =
      new_frame(type, std::move(name), id, std::move(tags), std::move(tag_order), std::move(loops));
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

namespace {

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

}  // namespace

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

// --- slots and registration ------------------------------------------------------------

namespace {

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
#define TESSRIN_FRAME_GETSET                                                                \
  {"name", frame_get_name, frame_set_name, nullptr, nullptr},                               \
      {"_id", frame_get_id, frame_set_id, nullptr, nullptr},                                \
      {"_tags", get_container, set_container, nullptr, TESSRIN_FIELD(FrameObject, tags)},   \
      {"_tag_order", get_container, set_container, nullptr,                                 \
       TESSRIN_FIELD(FrameObject, tag_order)},                                              \
      {"_loops", get_container, set_container, nullptr, TESSRIN_FIELD(FrameObject, loops)}, \
      {"tags", frame_get_tags, nullptr, nullptr, nullptr}, {                                \
    "loops", frame_get_loops, nullptr, nullptr, nullptr                                     \
  }

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
    {"_block_list", get_container, set_container, nullptr, TESSRIN_FIELD(FileObject, block_list)},
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
}  // namespace tessrin::model

namespace tessrin {

int add_model_types(PyObject* module) {
  ModuleState& state = module_state(module);
  struct Class {
    const char* name;
    decltype(&model::kFileType) shape;
    PyTypeObject** slot;
  };
  const std::array<Class, 3> classes = {{
      {model::kSaveFrameName, &model::kSaveFrameType, &state.save_frame_type},
      {model::kBlockName, &model::kBlockType, &state.block_type},
      {model::kFileName, &model::kFileType, &state.file_type},
  }};
  // The builder uses the classes kept here, never the module's attributes, which code may
  // replace.
  for (const auto& [name, shape, slot] : classes) {
    PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, shape, nullptr));
    if (!type) return -1;
    if (PyModule_AddObjectRef(module, name, type.get()) < 0) return -1;
    *slot = reinterpret_cast<PyTypeObject*>(type.release());
  }
  return 0;
}

}  // namespace tessrin
