// Walks blocks, save frames, tags and loops held in Python containers and hands their values
// to the CifWriter. No Python code runs while values are read: only lists, dicts and the
// UTF-8 buffers of strs are touched, so borrowed items stay valid.
#include "python/py_dumps.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "collect/kept_memory.hpp"
#include "platform/compiler.hpp"
#include "python/pyref.hpp"
#include "text/grammar.hpp"
#include "text/utf8.hpp"
#include "write/byte_buffer.hpp"
#include "write/cif_writer.hpp"
#include "write/loop_layout.hpp"
#include "write/value_form.hpp"

namespace tessrin {

namespace {

constexpr Py_ssize_t kPrefetchAhead = 16;

/// A str known to be written as it stands, as its cell in a column (size byte, then up to 15
/// bytes of text): no Python code runs during a dumps call, so an object's address names the
/// same unchanged str throughout.
struct alignas(32) PlainWord {
  PyObject* object = nullptr;
  char cell[16];
};
// Room a short value takes in a column with the bytes its 16-byte copy may spill.
constexpr std::size_t kShortRoom = 1 + 16;
constexpr std::size_t kPlainWords = 1024;  // a power of two

/// The `n` (below 16) bytes at `src` to `dst`, with two overlapping loads and stores of the
/// widest size that fits.
[[gnu::always_inline]] inline void copy_short(char* dst, const char* src, std::size_t n) {
  auto pair = [&]<class Word>(Word) TESSRIN_LAMBDA_INLINE {
    Word head;
    Word tail;
    std::memcpy(&head, src, sizeof head);
    std::memcpy(&tail, src + n - sizeof tail, sizeof tail);
    std::memcpy(dst, &head, sizeof head);
    std::memcpy(dst + n - sizeof tail, &tail, sizeof tail);
  };
  if (n >= 8) {
    pair(std::uint64_t{});
  } else if (n >= 4) {
    pair(std::uint32_t{});
  } else if (n >= 2) {
    pair(std::uint16_t{});
  } else if (n == 1) {
    dst[0] = src[0];
  }
}

/// Whether the `n` (1 to 15) bytes of a compact ASCII str's text at `text` are all printable
/// ASCII other than quotes, `#` and brackets: bytes whose write class is none, so the value
/// is a word unless its first character or a reserved word says otherwise. One 16-byte load
/// ending at the text's end, which starts inside the str's own header.
[[gnu::always_inline]] inline bool classless_text(const char* text, std::size_t n) {
  static_assert(sizeof(PyASCIIObject) >= 16, "the load may start 15 bytes before the text");
  const unsigned good = grammar::classless_lanes(text + n - 16);
  const unsigned wanted = 0xFFFFu & ~((1u << (16 - n)) - 1);  // the lanes of the text
  return (good & wanted) == wanted;
}

/// Room for `n` bytes at the end of a column written up to `w`; returns where they go.
[[gnu::noinline]] char* regrow(ByteBuffer& arena, char* w, std::size_t n) {
  arena.commit(static_cast<std::size_t>(w - (arena.data() + arena.size())));
  return arena.reserve(n);
}

/// The UTF-8 text of a str; ASCII strs are read in place.
bool str_view(PyObject* s, std::string_view& view) {
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    view = std::string_view(static_cast<const char*>(PyUnicode_DATA(s)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) return false;
  view = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

/// Where a problem is: block, save frame (if any) and tag (if any).
struct Where {
  std::string_view block;
  std::string_view frame;
  std::string_view tag;
};

/// Raises `type` with a message naming the place. Returns false for the caller's return.
bool raise_at(PyObject* type, const Where& where, std::string_view what) {
  std::string message = "block '";
  message.append(where.block).append("'");
  if (!where.frame.empty()) message.append(", save frame '").append(where.frame).append("'");
  if (!where.tag.empty()) message.append(", tag '").append(where.tag).append("'");
  message.append(": ").append(what);
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return false;
}

bool raise_type(const Where& where, const char* expected, PyObject* got) {
  std::string what = std::string(expected) + ", not " + Py_TYPE(got)->tp_name;
  return raise_at(PyExc_TypeError, where, what);
}

/// A new reference to `seq` when it is a list or a tuple (read without running any Python
/// code), else a TypeError. The writer keeps pointers into the data between reads, so no
/// code of the caller's may run in between: it could change or free what they point at.
PyObject* list_or_tuple(PyObject* seq, const Where& where, const char* what) {
  if (PyList_Check(seq) || PyTuple_Check(seq)) return Py_NewRef(seq);
  raise_type(where, what, seq);
  return nullptr;
}

/// Whether `s` is a str whose hashing and comparing run str's own code: a subclass that
/// redefines either would run Python code in every dict lookup of the writer.
bool plain_str(PyObject* s) {
  const PyTypeObject* type = Py_TYPE(s);
  return type == &PyUnicode_Type ||
         (PyUnicode_Check(s) && type->tp_hash == PyUnicode_Type.tp_hash &&
          type->tp_richcompare == PyUnicode_Type.tp_richcompare);
}

constexpr const char* kTagStr =
    "a tag must be str (a subclass only if it keeps str's hashing and comparison)";

/// The first key of `dict` that is not a plain_str, or null: looking keys up in a dict with
/// one may run Python code (a stored key whose hash matches is compared by its own __eq__).
PyObject* key_with_own_hash(PyObject* dict) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!plain_str(key)) return key;
  }
  return nullptr;
}

/// A str's text; a str that is not valid Unicode (lone surrogates) becomes a ValueError here.
bool text_of(PyObject* s, const Where& where, const char* what, std::string_view& view) {
  if (str_view(s, view)) return true;
  PyErr_Clear();
  return raise_at(PyExc_ValueError, where,
                  std::string(what) + " is not valid Unicode (it holds a lone surrogate)");
}

/// The parts of one block or save frame: a parse_raw dict or a CifBlock / CifSaveFrame.
struct FrameRefs {
  PyRef name, tag_order, loops, tags, save_frames;
};

bool read_frame(PyObject* obj, bool block, const Where& where, FrameRefs& f) {
  struct Part {
    const char* key;
    const char* attribute;
    PyRef* ref;
  };
  const Part parts[] = {{"name", "name", &f.name},
                        {"tag_order", "_tag_order", &f.tag_order},
                        {"loops", "_loops", &f.loops},
                        {"tags", "_tags", &f.tags},
                        {"save_frames", "_save_frame_list", &f.save_frames}};
  const bool dict = PyDict_Check(obj);
  for (const Part& part : parts) {
    if (!block && part.ref == &f.save_frames) break;
    if (dict) {
      PyObject* item = PyDict_GetItemString(obj, part.key);
      if (item == nullptr) {
        return raise_at(PyExc_ValueError, where,
                        std::string("the frame dict has no key '") + part.key + "'");
      }
      *part.ref = PyRef::borrow(item);
    } else {
      *part.ref = PyRef::steal(PyObject_GetAttrString(obj, part.attribute));
      if (!*part.ref) return false;
    }
  }
  if (!PyUnicode_Check(f.name.get()))
    return raise_type(where, "a frame name must be str", f.name.get());
  return true;
}

/// The hash of a str by its text (cached in the str), without running any Python code: equal
/// texts in distinct strs hash alike.
Py_hash_t name_hash(PyObject* s) {
  const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(s)->hash;  // -1 until computed
  if (cached != -1) return cached;
  const Py_hash_t hash = PyUnicode_Type.tp_hash(s);
  if (hash != -1) return hash;
  PyErr_Clear();
  return 0;  // still correct, only slower
}

/// Names of a frame with a number each (open addressing). Reused from frame to frame: a
/// frame's tags are few, and a node-based map spent more on allocating and hashing them than
/// the writing of the frame took.
class NameTable {
 public:
  void clear() {
    size_ = 0;
    if (++generation_ == 0) {  // wrapped: no slot may look current
      for (Slot& slot : slots_) slot.generation = 0;
      generation_ = 1;
    }
  }
  std::size_t size() const { return size_; }

  /// The number of `name` (the text of `s`), or null when absent.
  std::size_t* find(PyObject* s, std::string_view name) {
    if (slots_.empty()) return nullptr;
    Slot& slot = probe(name_hash(s), name);
    return slot.generation == generation_ ? &slot.value : nullptr;
  }
  bool contains(PyObject* s, std::string_view name) { return find(s, name) != nullptr; }

  /// The number of `name`, entered as `fresh` when absent.
  std::size_t& at(PyObject* s, std::string_view name, std::size_t fresh = 0) {
    if ((size_ + 1) * 2 > slots_.size()) grow();
    const Py_hash_t hash = name_hash(s);
    Slot& slot = probe(hash, name);
    if (slot.generation != generation_) {
      slot = Slot{generation_, hash, name, fresh};
      ++size_;
    }
    return slot.value;
  }

 private:
  struct Slot {
    std::uint32_t generation = 0;
    Py_hash_t hash = 0;
    std::string_view name;
    std::size_t value = 0;
  };

  Slot& probe(Py_hash_t hash, std::string_view name) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.generation != generation_ || (slot.hash == hash && slot.name == name)) {
        return slot;
      }
    }
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    const std::uint32_t current = generation_;
    for (const Slot& slot : old) {
      if (slot.generation == current) probe(slot.hash, slot.name) = slot;
    }
  }

  std::vector<Slot> slots_;
  std::uint32_t generation_ = 1;
  std::size_t size_ = 0;
};

/// One loop: its tags once each, and where the walk of the tag order writes it.
struct LoopPlan {
  std::vector<PyObject*> tags;
  std::vector<std::string_view> names;
  Py_ssize_t trigger = -1;  // position in the tag order of its last tag
  bool written = false;
};

/// Where the output is written: a block kept from call to call (WriteBufferPool). A fresh block
/// for every call costs a page fault per 4 KiB written, which took a fifth of the time of
/// a large dumps; the text is copied into its str once at the end instead. Output that
/// outgrows kKeptLimit moves once into a str of its own and is written there in place: the
/// block is not held at that size, and a fresh buffer plus a copy into the result would
/// fault in and write every page twice.
class KeptStorage final : public ByteBuffer::Storage {
 public:
  static constexpr std::size_t kKeptLimit = std::size_t{64} << 20;

  ~KeptStorage() { std::free(block_); }

  char* resize(char* data, std::size_t size, std::size_t capacity) override {
    if (text_ != nullptr) {
      if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(capacity)) != 0) out_of_memory();
      return static_cast<char*>(PyUnicode_DATA(text_));
    }
    if (capacity > kKeptLimit) {
      text_ = PyUnicode_New(static_cast<Py_ssize_t>(capacity), 127);
      if (text_ == nullptr) out_of_memory();
      auto* moved = static_cast<char*>(PyUnicode_DATA(text_));
      if (size != 0) std::memcpy(moved, data, size);
      return moved;
    }
    // What the buffer holds is the block itself, or nothing yet at the start of a call.
    if (capacity <= capacity_) return block_;
    void* grown = std::realloc(block_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    block_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return block_;
  }
  void release(char*) noexcept override { Py_CLEAR(text_); }
  std::size_t capacity() const noexcept { return capacity_; }

  /// The output as the result str, when it was written into one: `size` ASCII bytes.
  PyObject* take_text(std::size_t size) {
    if (text_ == nullptr) return nullptr;
    PyObject* text = std::exchange(text_, nullptr);
    if (PyUnicode_Resize(&text, static_cast<Py_ssize_t>(size)) != 0) Py_CLEAR(text);
    return text;
  }

 private:
  [[noreturn]] static void out_of_memory() {
    PyErr_Clear();  // the caller's handler sets MemoryError for the bad_alloc
    throw std::bad_alloc();
  }

  char* block_ = nullptr;
  std::size_t capacity_ = 0;
  PyObject* text_ = nullptr;  // the output, once it has outgrown the block
};

class Dumper {
 public:
  /// `kept_arenas`, when given, are the column arenas kept from call to call.
  Dumper(bool cif2, std::size_t width, ByteBuffer::Storage* storage,
         std::vector<ByteBuffer>* kept_arenas)
      : writer_(cif2, width, storage),
        cif2_(cif2),
        layout_(kept_arenas != nullptr ? *kept_arenas : own_arenas_) {}
  bool ascii() const { return ascii_; }

  bool blocks(PyObject* blocks);
  const ByteBuffer& out() const { return writer_.out(); }

 private:
  bool frame_name(const FrameRefs& f, bool block, std::string_view& name);
  bool frame(const FrameRefs& f);
  bool plan_loops(PyObject* loops);
  void place_loops(PyObject* const* order, Py_ssize_t count);
  bool items(PyObject* const* order, Py_ssize_t count, Py_ssize_t& i);
  bool values_of(PyObject* tag, PyObject*& values);
  bool loop(std::size_t index);
  bool cell_of(PyObject* value, std::string& rendered, Cell& cell);
  bool render(PyObject* root, std::string& out);
  bool tag_text(PyObject* tag, std::string_view& view);

  bool read_text(PyObject* s, const char* what, std::string_view& view);

  /// The word cache knows strs by address, which holds only while no Python code runs: a
  /// frame read through the attributes of a Python class may have run some (and freed strs
  /// whose addresses new ones now have).
  void forget_words_after(PyObject* frame) {
    if (PyDict_Check(frame) ? key_with_own_hash(frame) != nullptr
                            : (Py_TYPE(frame)->tp_flags & Py_TPFLAGS_BASETYPE) != 0) {
      std::fill(plain_words_.begin(), plain_words_.end(), PlainWord{});
    }
  }

  CifWriter writer_;
  bool cif2_;
  bool ascii_ = true;  // no str written so far holds a non-ASCII character
  Where where_;
  PyObject* tags_ = nullptr;  // the current frame's tag dict (borrowed from its FrameRefs)
  std::vector<LoopPlan> loops_;
  bool empty_loops_now_ = false;  // loops without values are written, at the frame's end
  // Scratch of one loop, reused from loop to loop.
  std::vector<PyObject*> loop_lists_;
  std::vector<PyRef> loop_headers_;  // the loops list and each loop's tags, as read
  NameTable owner_;                  // tag -> the loop that holds its column
  NameTable done_;                   // tags written
  NameTable position_of_;            // tag -> its first place in the tag order
  std::string rendered_;
  std::vector<ByteBuffer> own_arenas_;  // the column arenas when the caller keeps none
  LoopLayout layout_;
  std::vector<PlainWord> plain_words_ = std::vector<PlainWord>(kPlainWords);
  std::string position_;  // names a block or frame by position until its name is read
  // Tags whose names were found good in the current frame, which holds its strs throughout
  // (a sequence that is not a list may give strs that live only as long as its frame).
  struct KnownTag {
    PyObject* object = nullptr;
    std::string_view text;
    std::size_t frame = 0;
  };
  std::size_t frames_seen_ = 0;
  static constexpr std::size_t kKnownTags = 512;  // a power of two
  std::vector<KnownTag> known_tags_ = std::vector<KnownTag>(kKnownTags);
};

bool Dumper::read_text(PyObject* s, const char* what, std::string_view& view) {
  if (!PyUnicode_IS_ASCII(s)) ascii_ = false;
  return text_of(s, where_, what, view);
}

bool Dumper::frame_name(const FrameRefs& f, bool block, std::string_view& name) {
  if (!read_text(f.name.get(), "the name", name)) return false;
  if (const char* problem = name_problem(name, cif2_, false)) {
    Where at = where_;
    if (block) {
      at.block = name;
    } else {
      at.frame = name;
    }
    return raise_at(PyExc_ValueError, at,
                    std::string(block ? "block" : "save frame") + " name " + problem);
  }
  return true;
}

bool Dumper::blocks(PyObject* blocks) {
  PyRef list = PyRef::steal(PySequence_Fast(blocks, "blocks must be a sequence"));
  if (!list) return false;
  // Reading a block or frame object may run the caller's code, which may change the list it
  // came from: the length is read again for each one, and each is held while it is read.
  for (Py_ssize_t b = 0; b < PySequence_Fast_GET_SIZE(list.get()); ++b) {
    position_ = "number " + std::to_string(b + 1);
    where_ = Where{position_, {}, {}};
    FrameRefs block;
    const PyRef block_object = PyRef::borrow(PySequence_Fast_GET_ITEM(list.get(), b));
    if (!read_frame(block_object.get(), true, where_, block)) return false;
    forget_words_after(block_object.get());
    std::string_view name;
    if (!frame_name(block, true, name)) return false;
    where_ = Where{name, {}, {}};
    writer_.begin_block(name);
    if (!frame(block)) return false;
    PyRef frames =
        PyRef::steal(list_or_tuple(block.save_frames.get(), where_, "save frames must be a list"));
    if (!frames) return false;
    for (Py_ssize_t s = 0; s < PySequence_Fast_GET_SIZE(frames.get()); ++s) {
      position_ = "number " + std::to_string(s + 1);
      where_ = Where{name, position_, {}};
      FrameRefs save;
      const PyRef save_object = PyRef::borrow(PySequence_Fast_GET_ITEM(frames.get(), s));
      if (!read_frame(save_object.get(), false, where_, save)) return false;
      forget_words_after(save_object.get());
      std::string_view frame_name_text;
      if (!frame_name(save, false, frame_name_text)) return false;
      where_ = Where{name, frame_name_text, {}};
      writer_.begin_save_frame(frame_name_text);
      if (!frame(save)) return false;
      writer_.end_save_frame();
    }
  }
  return true;
}

bool Dumper::tag_text(PyObject* tag, std::string_view& view) {
  // A frame's walk reads each tag several times, and blocks often share their tag strs.
  KnownTag& known = known_tags_[(reinterpret_cast<std::uintptr_t>(tag) >> 4) & (kKnownTags - 1)];
  if (known.object == tag && known.frame == frames_seen_) {
    view = known.text;
    where_.tag = view;
    return true;
  }
  where_.tag = {};
  if (!plain_str(tag)) return raise_type(where_, kTagStr, tag);
  if (!read_text(tag, "the tag", view)) return false;
  if (const char* problem = name_problem(view, cif2_, true)) {
    where_.tag = view;
    return raise_at(PyExc_ValueError, where_, std::string("tag name ") + problem);
  }
  where_.tag = view;
  known = KnownTag{tag, view, frames_seen_};
  return true;
}

// A loop enters its new tags into the tag order when it ends, so it is written where the
// last of its tags stands. A tag named by several loops holds the column of the last one
// (its owner); earlier loops are written with that column too, so that they read back alike.
bool Dumper::plan_loops(PyObject* loops) {
  // The plans keep their vectors' room from frame to frame.
  for (LoopPlan& plan : loops_) {
    plan.tags.clear();
    plan.names.clear();
    plan.trigger = -1;
    plan.written = false;
  }
  owner_.clear();
  PyRef list = PyRef::steal(list_or_tuple(loops, where_, "loops must be a list"));
  if (!list) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(list.get());
  loops_.resize(static_cast<std::size_t>(n));
  loop_headers_.clear();
  loop_headers_.push_back(std::move(list));
  for (Py_ssize_t i = 0; i < n; ++i) {
    // Kept for the frame: the plans point at its tags.
    loop_headers_.push_back(
        PyRef::steal(list_or_tuple(PySequence_Fast_GET_ITEM(loop_headers_.front().get(), i), where_,
                                   "a loop must be a list of tags")));
    const PyRef& header = loop_headers_.back();
    if (!header) return false;
    LoopPlan& plan = loops_[static_cast<std::size_t>(i)];
    for (Py_ssize_t t = 0; t < PySequence_Fast_GET_SIZE(header.get()); ++t) {
      PyObject* tag = PySequence_Fast_GET_ITEM(header.get(), t);
      std::string_view name;
      if (!tag_text(tag, name)) return false;
      owner_.at(tag, name) = static_cast<std::size_t>(i);
      if (std::find(plan.names.begin(), plan.names.end(), name) != plan.names.end()) continue;
      plan.tags.push_back(tag);
      plan.names.push_back(name);
    }
  }
  return true;
}

void Dumper::place_loops(PyObject* const* order, Py_ssize_t count) {
  NameTable& position = position_of_;
  position.clear();
  for (Py_ssize_t i = 0; i < count; ++i) {
    std::string_view name;
    if (PyUnicode_Check(order[i]) && str_view(order[i], name)) {
      position.at(order[i], name, static_cast<std::size_t>(i));
    } else {
      PyErr_Clear();  // reported when the walk reaches it
    }
  }
  for (LoopPlan& plan : loops_) {
    for (std::size_t t = 0; t < plan.names.size(); ++t) {
      if (const std::size_t* at = position.find(plan.tags[t], plan.names[t])) {
        plan.trigger = std::max(plan.trigger, static_cast<Py_ssize_t>(*at));
      }
    }
  }
}

bool Dumper::values_of(PyObject* tag, PyObject*& values) {
  values = PyDict_GetItemWithError(tags_, tag);
  if (values != nullptr) {
    if (PyList_Check(values) || PyTuple_Check(values)) return true;
    return raise_type(where_, "the values of a tag must be a list", values);
  }
  if (PyErr_Occurred()) return false;
  return raise_at(PyExc_ValueError, where_, "the tag has no entry in the tags dict");
}

bool Dumper::frame(const FrameRefs& f) {
  if (!PyDict_Check(f.tags.get())) return raise_type(where_, "tags must be a dict", f.tags.get());
  tags_ = f.tags.get();
  if (PyObject* key = key_with_own_hash(tags_)) return raise_type(where_, kTagStr, key);
  ++frames_seen_;
  done_.clear();
  if (!plan_loops(f.loops.get())) return false;
  where_.tag = {};
  PyRef order = PyRef::steal(list_or_tuple(f.tag_order.get(), where_, "tag order must be a list"));
  if (!order) return false;
  PyObject* const* tags = PySequence_Fast_ITEMS(order.get());
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(order.get());
  place_loops(tags, count);
  for (Py_ssize_t i = 0; i < count;) {
    std::string_view name;
    if (!tag_text(tags[i], name)) return false;
    if (owner_.contains(tags[i], name)) {
      for (std::size_t l = 0; l < loops_.size(); ++l) {
        if (loops_[l].trigger == i && !loop(l)) return false;
      }
      ++i;
      continue;
    }
    if (done_.contains(tags[i], name)) {
      ++i;
      continue;
    }
    if (!items(tags, count, i)) return false;
  }
  // Loops and tags the tag order misses are written after it rather than dropped.
  for (std::size_t l = 0; l < loops_.size(); ++l) {
    if (!loops_[l].written && !loop(l)) return false;
  }
  if (static_cast<std::size_t>(PyDict_GET_SIZE(tags_)) > done_.size()) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    std::vector<PyObject*> rest;
    while (PyDict_Next(tags_, &pos, &key, &value)) rest.push_back(key);
    for (PyObject* key_ref : rest) {
      std::string_view name;
      if (!tag_text(key_ref, name)) return false;
      if (done_.contains(key_ref, name)) continue;
      Py_ssize_t i = 0;
      if (!items(&key_ref, 1, i)) return false;
    }
  }
  // A tag after a loop without values would read back as one more tag of its header: such
  // loops go last, where only another loop, a save frame or a block can follow.
  empty_loops_now_ = true;
  for (std::size_t l = 0; l < loops_.size(); ++l) {
    if (!loops_[l].written && !loop(l)) return false;
  }
  empty_loops_now_ = false;
  where_.tag = {};
  return true;
}

/// Writes the run of plain (unlooped) tags from `i` that share one category, padded alike.
bool Dumper::items(PyObject* const* order, Py_ssize_t count, Py_ssize_t& i) {
  std::string_view first;
  if (!tag_text(order[i], first)) return false;
  const std::string_view category = CifWriter::category(first);
  Py_ssize_t end = i;
  std::size_t pad = 0;
  for (; end < count; ++end) {
    std::string_view name;
    if (!tag_text(order[end], name)) return false;
    if (owner_.contains(order[end], name) || CifWriter::category(name) != category) break;
    if (done_.contains(order[end], name)) continue;
    pad = std::max(pad, name.size());
  }
  pad = std::min(pad, kMaxTagPad);
  for (; i < end; ++i) {
    std::string_view name;
    if (!tag_text(order[i], name)) return false;
    if (done_.contains(order[i], name)) continue;
    PyObject* values = nullptr;
    if (!values_of(order[i], values)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(values);
    if (n == 0) {
      return raise_at(PyExc_ValueError, where_,
                      "the tag has no value and is in no loop (an empty loop needs its tags "
                      "in the loops list)");
    }
    for (Py_ssize_t v = 0; v < n; ++v) {
      Cell cell;
      if (!cell_of(PySequence_Fast_GET_ITEM(values, v), rendered_, cell)) return false;
      writer_.item(name, pad, cell);
    }
    done_.at(order[i], name);
  }
  return true;
}

bool Dumper::cell_of(PyObject* value, std::string& rendered, Cell& cell) {
  if (PyUnicode_Check(value)) {
    std::string_view text;
    if (!read_text(value, "the value", text)) return false;
    FormProblem problem;
    const ValueForm form = choose_form(text, cif2_, problem);
    if (form == ValueForm::Unwritable) {
      return raise_at(PyExc_ValueError, where_,
                      std::string("the value ") + form_problem_text(problem));
    }
    cell = make_cell(text, static_cast<std::size_t>(PyUnicode_GET_LENGTH(value)), form);
    return true;
  }
  if (PyList_Check(value) || PyDict_Check(value)) {
    if (!cif2_) {
      return raise_at(PyExc_ValueError, where_,
                      std::string("the value is a ") + (PyList_Check(value) ? "list" : "table") +
                          ", which only CIF 2.0 can hold");
    }
    rendered.clear();
    if (!render(value, rendered)) return false;
    cell = Cell{rendered, count_chars(rendered), ValueForm::Bare,
                rendered.find('\n') != std::string::npos};
    return true;
  }
  return raise_type(where_, "a value must be str (or list or dict in CIF 2.0)", value);
}

/// A CIF 2.0 list or table, nested ones included, walked with an explicit stack.
bool Dumper::render(PyObject* root, std::string& out) {
  struct Level {
    PyObject* container;
    Py_ssize_t pos;
    bool table;
    bool first;
  };
  std::vector<Level> stack;
  std::unordered_set<PyObject*> open;
  auto enter = [&](PyObject* container) {
    if (!open.insert(container).second) {
      return raise_at(PyExc_ValueError, where_, "the value contains itself");
    }
    const bool table = PyDict_Check(container);
    stack.push_back(Level{container, 0, table, true});
    out.push_back(table ? '{' : '[');
    return true;
  };
  if (!enter(root)) return false;
  while (!stack.empty()) {
    Level& top = stack.back();
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    const bool more = top.table ? PyDict_Next(top.container, &top.pos, &key, &item) != 0
                                : top.pos < PyList_GET_SIZE(top.container);
    if (!more) {
      out.push_back(top.table ? '}' : ']');
      open.erase(top.container);
      stack.pop_back();
      continue;
    }
    if (!top.table) item = PyList_GET_ITEM(top.container, top.pos++);
    if (!top.first) out.push_back(' ');
    top.first = false;
    if (key != nullptr) {
      std::string_view text;
      if (!PyUnicode_Check(key)) return raise_type(where_, "a table key must be str", key);
      if (!read_text(key, "a table key", text)) return false;
      const ValueForm form = choose_key_form(text);
      if (form == ValueForm::Unwritable) {
        return raise_at(PyExc_ValueError, where_,
                        "a table key holds all kinds of quote (or a carriage return)");
      }
      append_value(out, text, form);
      out.push_back(':');
    }
    if (PyList_Check(item) || PyDict_Check(item)) {
      if (!enter(item)) return false;
      continue;
    }
    if (!PyUnicode_Check(item)) {
      return raise_type(where_, "a list item or table value must be str, list or dict", item);
    }
    std::string_view text;
    if (!read_text(item, "a list item or table value", text)) return false;
    FormProblem problem;
    const ValueForm form = choose_form(text, true, problem, true);
    if (form == ValueForm::Unwritable) {
      return raise_at(PyExc_ValueError, where_,
                      std::string("a list item or table value ") + form_problem_text(problem));
    }
    // A text field opens and closes in the first column.
    if (is_text_field(form)) out.push_back('\n');
    append_value(out, text, form);
    if (is_text_field(form)) out.push_back('\n');
  }
  return true;
}

bool Dumper::loop(std::size_t index) {
  LoopPlan& plan = loops_[index];
  plan.written = true;
  std::vector<PyObject*>& lists = loop_lists_;
  lists.assign(plan.tags.size(), nullptr);
  for (std::size_t c = 0; c < plan.tags.size(); ++c) {
    where_.tag = plan.names[c];
    if (!values_of(plan.tags[c], lists[c])) return false;
  }
  auto uneven = [&] {
    for (std::size_t c = 1; c < lists.size(); ++c) {
      if (PySequence_Fast_GET_SIZE(lists[c]) != PySequence_Fast_GET_SIZE(lists[0])) return c;
    }
    return std::size_t{0};
  };
  if (uneven() != 0) {
    // A later loop replaced some columns with columns of another length: this loop keeps
    // only the columns it still holds.
    std::size_t kept = 0;
    for (std::size_t c = 0; c < plan.tags.size(); ++c) {
      if (owner_.at(plan.tags[c], plan.names[c]) != index) continue;
      plan.tags[kept] = plan.tags[c];
      plan.names[kept] = plan.names[c];
      lists[kept++] = lists[c];
    }
    plan.tags.resize(kept);
    plan.names.resize(kept);
    lists.resize(kept);
    if (const std::size_t c = uneven(); c != 0) {
      where_.tag = plan.names[c];
      return raise_at(PyExc_ValueError, where_,
                      "the loop column has " + std::to_string(PySequence_Fast_GET_SIZE(lists[c])) +
                          " values where '" + std::string(plan.names[0]) + "' has " +
                          std::to_string(PySequence_Fast_GET_SIZE(lists[0])));
    }
  }
  if (plan.tags.empty()) return true;
  const std::size_t columns = plan.tags.size();
  const Py_ssize_t rows = PySequence_Fast_GET_SIZE(lists[0]);
  if (rows == 0 && !empty_loops_now_) [[unlikely]] {
    plan.written = false;  // written at the end of the frame
    return true;
  }
  // Pass 1, column by column (the order in which parse_raw built the strs, so memory is read
  // in sequence): each value's form, chosen once, and its written text appended to the
  // column's arena; the widest one-line value of each column. Pass 2 lays out the rows from
  // these alone, without going back to the Python objects.
  layout_.begin(columns);
  PlainWord* const words = plain_words_.data();
  const bool cif2 = cif2_;
  for (std::size_t c = 0; c < columns; ++c) {
    where_.tag = plan.names[c];
    PyObject* const* items = PySequence_Fast_ITEMS(lists[c]);
    ByteBuffer& arena = layout_.column(c);
    std::size_t widest = 0;
    // The column is written through a local pointer: stores through a char pointer would
    // otherwise make the compiler reload the arena's fields for every value.
    char* w = arena.reserve(kShortRoom);
    char* limit = w + arena.room();
    // A value written as it stands, from the cache or an ASCII str: false for the rest.
    auto plain = [&](PyObject* value) TESSRIN_LAMBDA_INLINE {
      // Most values of a parse_raw result are a few shared strs ("?", ".", "ATOM", "C"):
      // one seen before in this call is copied from the cache without looking at it again.
      PlainWord& seen = words[(reinterpret_cast<std::uintptr_t>(value) >> 4) & (kPlainWords - 1)];
      if (seen.object == value) {
        if (static_cast<std::size_t>(limit - w) < kShortRoom) {
          w = regrow(arena, w, kShortRoom);
          limit = w + arena.room();
        }
        std::memcpy(w, seen.cell, sizeof seen.cell);
        const std::size_t n = static_cast<unsigned char>(seen.cell[0]);
        w += 1 + n;
        widest = std::max(widest, n);
        return true;
      }
      if (!PyUnicode_CheckExact(value) || !PyUnicode_IS_COMPACT_ASCII(value)) return false;
      const std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(value));
      if (n >= kLongCell) return false;
      const char* src = static_cast<const char*>(PyUnicode_DATA(value));
      if (static_cast<std::size_t>(limit - w) < kShortRoom + n) {
        w = regrow(arena, w, kShortRoom + n);
        limit = w + arena.room();
      }
      // Short texts of harmless bytes (most numbers and labels) skip the byte-by-byte pass.
      std::uint8_t classes = 0;
      if (n != 0 && n < 16 && classless_text(src, n)) {
        copy_short(w + 1, src, n);
      } else {
        classes = copy_classify(src, n, w + 1);
      }
      if (!is_plain_word(std::string_view(src, n), classes, cif2)) return false;
      w[0] = static_cast<char>(n);
      if (n < sizeof seen.cell) {
        // Copied from the str, not from `w`: a 16-byte load of bytes just stored one by one
        // waits for every store to land. Bytes past the text never show.
        seen.object = value;
        seen.cell[0] = static_cast<char>(n);
        copy_short(seen.cell + 1, src, n);
      }
      w += 1 + n;
      widest = std::max(widest, n);
      return true;
    };
    // Any other value: its form chosen and its written text put in the general layout.
    // Out of line and apart from `w`, so that the loop keeps its pointers in registers.
    auto general = [&, c](PyObject* value) TESSRIN_LAMBDA_NOINLINE {
      Cell cell;
      if (!cell_of(value, rendered_, cell)) return false;
      if (!layout_.add(c, cell)) {
        return raise_at(PyExc_ValueError, where_, "a loop value is longer than 2 GiB");
      }
      return true;
    };
    auto step = [&](PyObject* value) TESSRIN_LAMBDA_INLINE {
      if (plain(value)) return true;
      arena.commit(static_cast<std::size_t>(w - (arena.data() + arena.size())));
      if (!general(value)) return false;
      w = arena.reserve(kShortRoom);
      limit = w + arena.room();
      return true;
    };
    // The strs of a column lie apart in memory; asking for one a few rows ahead hides the
    // wait for it behind the work on this one.
    const Py_ssize_t ahead_rows = rows > kPrefetchAhead ? rows - kPrefetchAhead : 0;
    Py_ssize_t r = 0;
    for (; r < ahead_rows; ++r) {
      // The header and, for an ASCII str, the text after it, which may start a new line.
      const char* ahead = reinterpret_cast<const char*>(items[r + kPrefetchAhead]);
      TESSRIN_PREFETCH(ahead);
      TESSRIN_PREFETCH(ahead + sizeof(PyASCIIObject) + 8);
      if (!step(items[r])) return false;
    }
    for (; r < rows; ++r) {
      if (!step(items[r])) return false;
    }
    arena.commit(static_cast<std::size_t>(w - (arena.data() + arena.size())));
    layout_.widen(c, widest);
    layout_.end_column(c);
  }
  layout_.write(writer_, plan.names, static_cast<std::size_t>(rows));
  for (std::size_t c = 0; c < plan.names.size(); ++c) done_.at(plan.tags[c], plan.names[c]);
  return true;
}

/// The output block and column arenas of one dumps call.
struct WriteBuffers {
  KeptStorage storage;
  std::vector<ByteBuffer> arenas;
  std::size_t counted = 0;  // reserved in the kept budget while in the pool

  std::size_t bytes() const noexcept {
    std::size_t held = storage.capacity();
    for (const ByteBuffer& arena : arenas) held += arena.capacity();
    return held;
  }
};

/// The buffers of finished calls, for the next call of any thread: kept per thread, they were
/// held for every thread that ever wrote. Within the process's kept budget.
class WriteBufferPool {
 public:
  std::unique_ptr<WriteBuffers> take() {
    {
      std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        std::unique_ptr<WriteBuffers> buffers = std::move(idle_.back());
        idle_.pop_back();
        unreserve_kept(std::exchange(buffers->counted, 0));
        return buffers;
      }
    }
    return std::make_unique<WriteBuffers>();
  }

  void put(std::unique_ptr<WriteBuffers> buffers) noexcept {
    // Arenas grown past the kept size are given back rather than held.
    std::size_t arenas = 0;
    for (const ByteBuffer& arena : buffers->arenas) arenas += arena.capacity();
    if (arenas > KeptStorage::kKeptLimit) buffers->arenas.clear();
    const std::size_t bytes = buffers->bytes();
    if (bytes == 0 || !reserve_kept(bytes)) return;
    buffers->counted = bytes;
    std::lock_guard lock(mutex_);
    try {
      idle_.push_back(std::move(buffers));
    } catch (const std::bad_alloc&) {
      unreserve_kept(bytes);
    }
  }

  std::size_t release() noexcept {
    std::vector<std::unique_ptr<WriteBuffers>> idle;
    {
      std::lock_guard lock(mutex_);
      idle.swap(idle_);
    }
    std::size_t bytes = 0;
    for (const auto& buffers : idle) bytes += buffers->counted;
    unreserve_kept(bytes);
    return bytes;
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<WriteBuffers>> idle_;
};

WriteBufferPool& write_buffer_pool() {
  // Never destroyed: a thread still writing at exit would put its buffers back into it.
  static WriteBufferPool* pool = new WriteBufferPool();
  return *pool;
}

}  // namespace

std::size_t release_write_buffers() noexcept { return write_buffer_pool().release(); }

PyObject* dumps_blocks(PyObject* blocks, bool cif2, std::size_t width) {
  // Back to the pool when the call is done, after the dumper (declared below) is gone. A
  // call made from Python code that runs while the blocks are read takes buffers of its own.
  struct Lease {
    std::unique_ptr<WriteBuffers> buffers = write_buffer_pool().take();
    ~Lease() { write_buffer_pool().put(std::move(buffers)); }
  } lease;
  KeptStorage& storage = lease.buffers->storage;
  Dumper dumper(cif2, width, &storage, &lease.buffers->arenas);
  if (!dumper.blocks(blocks)) return nullptr;
  const ByteBuffer& out = dumper.out();
  const auto size = static_cast<Py_ssize_t>(out.size());
  if (!dumper.ascii()) return PyUnicode_DecodeUTF8(out.data(), size, nullptr);
  if (PyObject* text = storage.take_text(out.size())) return text;
  if (PyErr_Occurred()) return nullptr;
  PyObject* text = PyUnicode_New(size, 127);
  if (text != nullptr) std::memcpy(PyUnicode_DATA(text), out.data(), out.size());
  return text;
}

}  // namespace tessrin
