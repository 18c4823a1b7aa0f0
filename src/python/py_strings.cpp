#include "python/py_strings.hpp"

#include <array>
#include <cstring>

#include "python/pyref.hpp"
#include "text/utf8.hpp"

namespace tessrin {

namespace {

bool set_item(PyObject* dict, PyObject* key, PyRef value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

}  // namespace

PyObject* make_ascii_str(std::string_view text) {
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (s != nullptr && !text.empty()) std::memcpy(PyUnicode_DATA(s), text.data(), text.size());
  return s;
}

StrCache::StrCache() = default;
StrCache::~StrCache() = default;

PyObject* StrCache::tag(std::string_view pooled) {
  auto [it, added] = tags_.try_emplace(pooled.data());
  if (added) {
    it->second = PyRef::steal(make_str(pooled));
    if (!it->second) {
      tags_.erase(it);
      return nullptr;
    }
  }
  return Py_NewRef(it->second.get());
}

StrCache::Key StrCache::key_of(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  Key key;
  key.length = n;
  if (n >= 8) {
    std::memcpy(&key.low, p, 8);
    if (n > 8) {
      // The last eight bytes, shifted so that only those after the first eight remain.
      std::memcpy(&key.high, p + n - 8, 8);
      key.high >>= (16 - n) * 8;
    }
  } else if (n >= 4) {
    std::uint32_t head, tail;  // overlapping reads; a shared byte lands on itself
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    key.low = head | (static_cast<std::uint64_t>(tail) << ((n - 4) * 8));
  } else if (n > 0) {
    key.low = static_cast<std::uint8_t>(p[0]) |
              static_cast<std::uint64_t>(static_cast<std::uint8_t>(p[n / 2])) << (n / 2 * 8) |
              static_cast<std::uint64_t>(static_cast<std::uint8_t>(p[n - 1])) << ((n - 1) * 8);
  }
  return key;
}

PyObject* StrCache::ascii(std::string_view text) {
  if (text.size() > kMaxLength) return make_ascii_str(text);
  // Allocated on first use: many small files have no short value worth sharing.
  if (slots_.empty()) slots_.resize(kSlots);
  const Key key = key_of(text);
  const std::uint64_t hash =
      (key.low * 0x9E3779B97F4A7C15ULL) ^ (key.high * 0xC2B2AE3D27D4EB4FULL) ^ key.length;
  static_assert((kSlots & (kSlots - 1)) == 0 && kSlots == 1024);
  Slot& slot = slots_[hash >> 54];
  if (slot.str && slot.key == key) return Py_NewRef(slot.str.get());
  PyObject* str = make_ascii_str(text);
  if (str == nullptr) return nullptr;
  slot.str = PyRef::borrow(str);
  slot.key = key;
  return str;
}

PyObject* make_str(std::string_view text) {
  if (is_ascii(text)) return make_ascii_str(text);
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

PyObject* diagnostics_to_list(const ModuleState& state,
                              const std::vector<ParseDiagnostic>& errors) {
  // The keys made once, interned, with their hashes: a str made from a C string for every
  // item of every diagnostic cost most of this list, under the interpreter lock.
  const auto& keys = state.diagnostic_keys;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(errors.size())));
  if (!list) return nullptr;
  // Kinds, contexts and recovery actions are stored once natively; their strs are shared too.
  std::unordered_map<const char*, PyRef> shared;
  auto shared_str = [&](std::string_view text) -> PyRef {
    auto [it, added] = shared.try_emplace(text.data());
    if (added) it->second = PyRef::steal(make_str(text));
    if (!it->second)
      shared.erase(it);
    else
      return PyRef::borrow(it->second.get());
    return PyRef();
  };
  for (std::size_t i = 0; i < errors.size(); ++i) {
    const ParseDiagnostic& e = errors[i];
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), keys[0], shared_str(e.error_type)) ||
        !set_item(dict.get(), keys[1], PyRef::steal(make_str(e.message))) ||
        !set_item(dict.get(), keys[2], PyRef::steal(PyLong_FromUnsignedLong(e.line))) ||
        !set_item(dict.get(), keys[3], PyRef::steal(PyLong_FromUnsignedLong(e.column))) ||
        !set_item(dict.get(), keys[4], shared_str(e.context)) ||
        !set_item(dict.get(), keys[5], shared_str(e.recovery_action))) {
      return nullptr;
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict.release());
  }
  return list.release();
}

PyObject* raise_text(PyObject* type, std::string_view message) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

}  // namespace tessrin
