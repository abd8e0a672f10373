#include "module/convert.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace velmora::py {

namespace {

// ---------------------------------------------------------------------------
// Exceptions

// The pending exception, normalised (null if none).
Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
#endif
}

void restore_exception(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  if (value == nullptr) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// A conversion of parameter `name` failed with the pending exception: an
// exception of exactly type TypeError is replaced by one whose message names
// the parameter and whose __cause__ is the original's __cause__; any other
// exception stays as it is.
void name_type_error(const char* name) {
  Ref exc = fetch_exception();
  if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(exc));
    return;
  }
  Ref text = Ref::steal(PyObject_Str(exc.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(exc.get())) {
    PyException_SetCause(renamed.get(), cause);  // steals the new reference
  }
  restore_exception(std::move(renamed));
}

// ---------------------------------------------------------------------------
// Output buffers

// Owner of a buffer handed to NumPy: the array's base object, which frees the
// buffer when the array is destroyed.
// Weak references are allowed so that callers (and tests) can observe when
// the memory is given back.
struct SliceContainer {
  PyObject_HEAD void* ptr;
  std::size_t len;
  std::size_t cap;
  void (*drop)(void* ptr, std::size_t len, std::size_t cap);
  PyObject* weakrefs;
};

void free_buffer(void* ptr, std::size_t, std::size_t) {
  std::free(ptr);
}

void slice_container_dealloc(PyObject* self) {
  auto* owner = reinterpret_cast<SliceContainer*>(self);
  if (owner->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  if (owner->cap != 0 && owner->drop != nullptr) owner->drop(owner->ptr, owner->len, owner->cap);
  Py_TYPE(self)->tp_free(self);
}

// A static type: the header is set here, the slots by init_conversions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject slice_container_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// Element storage of empty arrays: NumPy needs a non-null address.
alignas(16) unsigned char empty_storage[16];

// ---------------------------------------------------------------------------
// Coordinates

// The int objects of one result's coordinate values, each made the first time
// its value occurs and then shared by every tuple that holds it, so that a list
// of millions of tuples holds only as many ints as it has distinct values.
// Values up to the largest coordinate are looked up in a table indexed by the
// value. The table is bounded by the number of entries too, so that a few
// coordinates of a very wide image do not make a table of its whole side;
// values beyond it (only in such results) are kept in a hash map.
class IntCache {
 public:
  IntCache(std::size_t max_value, std::size_t count)
      : table_(std::min(max_value, 2 * count + kMinTable) + 1, nullptr) {}
  IntCache(const IntCache&) = delete;
  IntCache& operator=(const IntCache&) = delete;
  ~IntCache() {
    for (PyObject* v : table_)
      Py_XDECREF(v);
    for (auto& [value, v] : beyond_)
      Py_DECREF(v);
  }

  // Whether the values first, first + 1, ..., first + n - 1 are all in the table.
  bool in_table(std::size_t first, std::size_t n) const {
    return first < table_.size() && n <= table_.size() - first;
  }

  // Borrowed references to the ints first, first + 1, ..., first + n - 1 (a
  // run in the table), valid as long as the cache; null with an exception set.
  PyObject* const* run(std::size_t first, std::size_t n) {
    PyObject** slots = table_.data() + first;
    for (std::size_t k = 0; k < n; ++k) {
      if (slots[k] == nullptr) {
        slots[k] = PyLong_FromSize_t(first + k);
        if (slots[k] == nullptr) return nullptr;
      }
    }
    return slots;
  }

  // Borrowed reference to the int `v`, valid as long as the cache; null with
  // an exception set.
  PyObject* get(std::size_t v) {
    if (v < table_.size()) {
      PyObject*& slot = table_[v];
      if (slot == nullptr) slot = PyLong_FromSize_t(v);
      return slot;
    }
    auto [it, inserted] = beyond_.try_emplace(v, nullptr);
    if (inserted) {
      it->second = PyLong_FromSize_t(v);
      if (it->second == nullptr) {
        beyond_.erase(it);
        return nullptr;
      }
    }
    return it->second;
  }

 private:
  static constexpr std::size_t kMinTable = std::size_t{1} << 16;

  std::vector<PyObject*> table_;
  std::unordered_map<std::size_t, PyObject*> beyond_;
};

// A new tuple (y, x) of the ints `y` and `x` (borrowed references), not tracked
// by the cyclic garbage collector; null with an exception set.
inline PyObject* new_pair(PyObject* y, PyObject* x) {
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  // The allocation that PyTuple_New makes for a tuple it does not take from
  // its free list, without its clearing of the items and its tracking of the
  // tuple, which would only have to be undone: a tuple of two ints can never
  // be part of a reference cycle.
  PyTupleObject* pair = PyObject_GC_NewVar(PyTupleObject, &PyTuple_Type, 2);
  if (pair == nullptr) return nullptr;
  Py_INCREF(y);
  Py_INCREF(x);
  pair->ob_item[0] = y;
  pair->ob_item[1] = x;
  return reinterpret_cast<PyObject*>(pair);
#else
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyObject_GC_UnTrack(pair);
  Py_INCREF(y);
  Py_INCREF(x);
  PyTuple_SET_ITEM(pair, 0, y);
  PyTuple_SET_ITEM(pair, 1, x);
  return pair;
#endif
}

// Results from which on the collector is settled before the list is tracked,
// and the arenas for their tuples are populated as they are mapped.
constexpr std::size_t kLargeResult = std::size_t{1} << 16;

// Allocating the tuples of a large result counts towards the collector's
// threshold for its youngest generation, and the next allocation after the
// list is filled would start a collection of it (on 3.12 and later one is run
// right after the call returns), which would then traverse the new list of
// millions of entries twice. A collection of the youngest generation now,
// while neither the list nor its tuples are tracked, is the same cheap
// collection the interpreter would have run (it finds only what the caller
// left there) and resets that count. Not done when the caller has turned the
// collector off.
bool settle_collector() {
  if (!PyGC_IsEnabled()) return true;
  Ref gc = Ref::steal(PyImport_ImportModule("gc"));
  if (!gc) return false;
  Ref collected = Ref::steal(PyObject_CallMethod(gc.get(), "collect", "i", 0));
  return static_cast<bool>(collected);
}

// Turns the cyclic garbage collector off for as long as it lives, if it was
// on. Allocating millions of tuples would otherwise run a collection every few
// hundred of them on 3.11, and on 3.12 and later schedule one again with every
// allocation past the threshold; neither can find anything of the list, which
// is not tracked until it is complete.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

// The small-object allocator's arena allocator as the module found it when it
// was imported.
PyObjectArenaAllocator imported_arenas{};

#if defined(__linux__) && defined(MADV_POPULATE_WRITE) && !defined(Py_GIL_DISABLED)

// False once the kernel has refused to populate an arena (older than 5.14).
std::atomic<bool> arena_population_works{true};

// The imported arena allocation, followed by having the kernel populate the
// arena's whole pages in one call.
void* allocate_populated_arena(void* ctx, std::size_t size) {
  void* arena = imported_arenas.alloc(ctx, size);
  if (arena == nullptr || !arena_population_works.load(std::memory_order_relaxed)) return arena;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(arena);
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + size) / page * page;
  if (last > first &&
      madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0 &&
      errno == EINVAL) {
    arena_population_works.store(false, std::memory_order_relaxed);
  }
  return arena;
}

// While it lives, every arena (1 MiB) that the interpreter's small-object
// allocator maps is populated by the kernel in one call, instead of taking one
// page fault per 4 KiB page as objects are carved from it. For the tuples of a
// large list, all of whose arenas are new memory, those faults are most of the
// time the list takes to build.
//
// Only the allocation is wrapped: the context and the release stay those of
// the allocator found at import, so an arena is given back the same way
// whether or not it was obtained here, and any mix of the old and the new
// settings that another thread might see is consistent. Nothing is changed
// when the allocator is no longer the one found at import (someone replaced
// it). Where the interpreter uses no arenas at all (PYTHONMALLOC=malloc) the
// wrapper is simply never called.
class PopulatedArenas {
 public:
  PopulatedArenas() {
    PyObjectArenaAllocator current;
    PyObject_GetArenaAllocator(&current);
    if (!arena_population_works.load(std::memory_order_relaxed) ||
        imported_arenas.alloc == nullptr || current.ctx != imported_arenas.ctx ||
        current.alloc != imported_arenas.alloc || current.free != imported_arenas.free) {
      return;
    }
    PyObjectArenaAllocator populated = imported_arenas;
    populated.alloc = allocate_populated_arena;
    PyObject_SetArenaAllocator(&populated);
    installed_ = true;
  }
  PopulatedArenas(const PopulatedArenas&) = delete;
  PopulatedArenas& operator=(const PopulatedArenas&) = delete;
  ~PopulatedArenas() {
    if (installed_) PyObject_SetArenaAllocator(&imported_arenas);
  }

 private:
  bool installed_ = false;
};

#else

class PopulatedArenas {};

#endif

// A list of (y, x) tuples of ints of known length, filled in order.
//
// Nothing else can reach the list while it is filled, so the cyclic garbage
// collector is kept away from it until it is complete: otherwise collections
// during or right after the fill would traverse the list of millions of
// entries. The tuples are never tracked at all: holding nothing but ints,
// they cannot be part of a reference cycle, and the collector would untrack
// them itself the first time it met them.
class CoordListBuilder {
 public:
  // `max_value`: no coordinate is larger.
  CoordListBuilder(std::size_t count, std::size_t max_value) : count_(count) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw CapacityOverflow();
    list_ = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list_) return;
    PyObject_GC_UnTrack(list_.get());
    items_ = reinterpret_cast<PyListObject*>(list_.get())->ob_item;
    // The item array of a large list is memory of its own that the fill
    // touches first: huge pages make that a few faults instead of one per 4 KiB.
    if (count != 0) advise_huge_pages(items_, count * sizeof(PyObject*));
    ints_.emplace(max_value, count);
  }

  // False once something failed (with the exception set).
  bool ok() const { return static_cast<bool>(list_); }

  // Appends (y, x).
  bool append(std::size_t y, std::size_t x) {
    PyObject* y_int = ints_->get(y);
    if (y_int == nullptr) return fail();
    PyObject* x_int = ints_->get(x);
    if (x_int == nullptr) return fail();
    return push(y_int, x_int);
  }

  // Appends (y, x), (y, x + 1), ..., (y, x + n - 1).
  bool append_run(std::size_t y, std::size_t x, std::size_t n) {
    if (!ints_->in_table(x, n)) {
      for (std::size_t k = 0; k < n; ++k) {
        if (!append(y, x + k)) return false;
      }
      return true;
    }
    PyObject* y_int = ints_->get(y);
    if (y_int == nullptr) return fail();
    PyObject* const* x_ints = ints_->run(x, n);
    if (x_ints == nullptr) return fail();
    for (std::size_t k = 0; k < n; ++k) {
      if (!push(y_int, x_ints[k])) return false;
    }
    return true;
  }

  // The complete list, or null with the exception set.
  PyObject* finish() {
    if (!list_) return nullptr;
    if (filled_ != count_) throw InternalError("coordinate list filled incompletely");
    ints_.reset();
    if (count_ >= kLargeResult && !settle_collector()) return nullptr;
    // Once returned, the list may come to hold anything: the collector must see it.
    PyObject_GC_Track(list_.get());
    return list_.release();
  }

 private:
  bool push(PyObject* y, PyObject* x) {
    PyObject* pair = new_pair(y, x);
    if (pair == nullptr) return fail();
    items_[filled_++] = pair;
    return true;
  }

  bool fail() {
    // The entries not filled are null, which the list's deallocation skips.
    list_.reset();
    return false;
  }

  std::size_t count_;
  std::size_t filled_ = 0;
  Ref list_;
  PyObject** items_ = nullptr;
  std::optional<IntCache> ints_;
};

// The value of an exact int from 0 to 2^60 - 1 read straight from the object;
// false for anything else (negative, larger, a subclass or another type),
// which the general unsigned conversion then handles.
inline bool small_exact_unsigned(PyObject* obj, std::uint64_t& out) {
  if (!PyLong_CheckExact(obj)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(obj);
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(number)) return false;
  const Py_ssize_t value = PyUnstable_Long_CompactValue(number);
  if (value < 0) return false;
  out = static_cast<std::uint64_t>(value);
  return true;
#else
  static_assert(PyLong_SHIFT == 30, "ints are expected in 30-bit digits");
  switch (Py_SIZE(obj)) {
    case 0:
      out = 0;
      return true;
    case 1:
      out = number->ob_digit[0];
      return true;
    case 2:
      out = number->ob_digit[0] | std::uint64_t{number->ob_digit[1]} << PyLong_SHIFT;
      return true;
    default:
      return false;
  }
#endif
}

}  // namespace

bool init_conversions(const char* owner_type_name) {
  if (slice_container_type.tp_name != nullptr) return true;
  PyObject_GetArenaAllocator(&imported_arenas);
  slice_container_type.tp_name = owner_type_name;
  slice_container_type.tp_basicsize = sizeof(SliceContainer);
  slice_container_type.tp_flags = Py_TPFLAGS_DEFAULT;
  slice_container_type.tp_doc = "Owner of the memory of a returned array.";
  slice_container_type.tp_dealloc = slice_container_dealloc;
  slice_container_type.tp_weaklistoffset = offsetof(SliceContainer, weakrefs);

  if (PyType_Ready(&slice_container_type) < 0) {
    slice_container_type.tp_name = nullptr;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Arguments

bool convert_unsigned(PyObject* obj, const char* name, std::uint64_t& out) {
  unsigned long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsUnsignedLongLong(obj);
  } else {
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (!index) {
      name_type_error(name);
      return false;
    }
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  // All ones is a valid value; it signals an error only with one pending.
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_type_error(name);
    return false;
  }
  out = v;
  return true;
}

bool convert_image(PyObject* obj, const char* name, ImageArg& out) {
  bool accepted = PyArray_Check(obj) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(obj)) == 2;
  if (accepted) {
    PyArray_Descr* want = PyArray_DescrFromType(NPY_UINT8);
    if (want == nullptr) return false;
    PyArray_Descr* have = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(obj));
    accepted = have == want || PyArray_EquivTypes(have, want);
    Py_DECREF(want);
  }
  if (!accepted) {
    if (PyArray_Check(obj)) {
      auto* array = reinterpret_cast<PyArrayObject*>(obj);
      // The element type's name ("numpy.float64"), read without running any
      // Python code of NumPy's.
      const char* element = PyArray_DESCR(array)->typeobj->tp_name;
      if (std::strncmp(element, "numpy.", 6) == 0) element += 6;
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected a 2-dimensional numpy.ndarray of dtype uint8, got "
                   "'%s' with %d dimension%s and dtype %s",
                   name, Py_TYPE(obj)->tp_name, PyArray_NDIM(array),
                   PyArray_NDIM(array) == 1 ? "" : "s", element);

    } else {
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected a 2-dimensional numpy.ndarray of dtype uint8, got "
                   "'%s'",
                   name, Py_TYPE(obj)->tp_name);
    }
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(obj);
  const npy_intp* dims = PyArray_DIMS(array);
  const npy_intp* strides = PyArray_STRIDES(array);
  out.array_ = Ref::borrow(obj);
  out.view_ = ImageView(static_cast<const std::uint8_t*>(PyArray_DATA(array)),
                        static_cast<std::size_t>(dims[0]), static_cast<std::size_t>(dims[1]),
                        strides[0], strides[1]);
  return true;
}

bool convert_pool(PyObject* obj, const char* name, Pool& out) {
  auto fail = [name]() {
    name_type_error(name);
    return false;
  };
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail();
  }
  if (!PySequence_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 Py_TYPE(obj)->tp_name);
    return fail();
  }
  out.clear();
  const Py_ssize_t length = PySequence_Size(obj);
  if (length < 0) {
    PyErr_Clear();
  } else {
    out.reserve(static_cast<std::size_t>(length));
  }

  // One entry, any tuple of two objects with an integer value.
  auto convert_entry = [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyTuple'",
                   Py_TYPE(item)->tp_name);
      return fail();
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                   size);
      return fail();
    }
    std::uint64_t y, x;
    if (!convert_unsigned(PyTuple_GET_ITEM(item, 0), name, y)) return false;
    if (!convert_unsigned(PyTuple_GET_ITEM(item, 1), name, x)) return false;
    out.push_back({static_cast<std::size_t>(y), static_cast<std::size_t>(x)});
    return true;
  };

  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    // A list or tuple is read by position exactly as its iterator would read
    // it: the length is looked at again before every entry, because converting
    // an entry may run Python code (an __index__) that changes the list. Exact
    // tuples of two small exact ints, which is what pools nearly always are,
    // are read without calling into the interpreter at all.
    const bool is_list = PyList_CheckExact(obj);
    for (Py_ssize_t i = 0; i < Py_SIZE(obj); ++i) {
      PyObject* item = is_list ? PyList_GET_ITEM(obj, i) : PyTuple_GET_ITEM(obj, i);
      if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        std::uint64_t y, x;
        if (small_exact_unsigned(PyTuple_GET_ITEM(item, 0), y) &&
            small_exact_unsigned(PyTuple_GET_ITEM(item, 1), x)) {
          out.push_back({static_cast<std::size_t>(y), static_cast<std::size_t>(x)});
          continue;
        }
      }
      const Ref held = Ref::borrow(item);
      if (!convert_entry(held.get())) return false;
    }
    return true;
  }

  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return fail();
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    if (!convert_entry(item.get())) return false;
  }
  if (PyErr_Occurred()) return fail();
  return true;
}

// ---------------------------------------------------------------------------
// Results

PyObject* coords_to_list(const Pool& coords) {
  std::size_t max_value = 0;
  for (const PixelCoord& c : coords)
    max_value = std::max({max_value, c.y, c.x});
  CoordListBuilder list(coords.size(), max_value);
  {
    CollectorPause pause;
    std::optional<PopulatedArenas> arenas;
    if (coords.size() >= kLargeResult) arenas.emplace();
    for (const PixelCoord& c : coords) {
      if (!list.ok() || !list.append(c.y, c.x)) break;
    }
  }
  return list.finish();
}

PyObject* coords_to_list(const QuadtreePool& coords) {
  std::size_t max_value = 0;
  for (const auto& b : coords.blocks())
    max_value = std::max({max_value, b.y + b.h, b.x + b.w});
  CoordListBuilder list(coords.size(), max_value);
  {
    // The pool's entries in its order, each block row by row.
    CollectorPause pause;
    std::optional<PopulatedArenas> arenas;
    if (coords.size() >= kLargeResult) arenas.emplace();
    for (const QuadtreePool::Block& b : coords.blocks()) {
      for (std::size_t r = b.y; r < b.y + b.h && list.ok(); ++r)
        list.append_run(r, b.x, b.w);
      if (!list.ok()) break;
    }
  }
  return list.finish();
}

PyObject* array_from_storage(void* storage, std::size_t bytes, int type_num, int ndim,
                             const npy_intp* dims, const npy_intp* strides, void* data) {
  auto* owner = PyObject_New(SliceContainer, &slice_container_type);
  if (owner == nullptr) {
    std::free(storage);
    return nullptr;
  }
  owner->ptr = storage;
  owner->len = bytes;
  owner->cap = storage == nullptr ? 0 : bytes;
  owner->drop = free_buffer;
  owner->weakrefs = nullptr;

  Ref base = Ref::steal(reinterpret_cast<PyObject*>(owner));

  PyArray_Descr* descr = PyArray_DescrFromType(type_num);
  if (descr == nullptr) return nullptr;
  // Steals the descriptor reference.
  Ref array = Ref::steal(PyArray_NewFromDescr(
      &PyArray_Type, descr, ndim, const_cast<npy_intp*>(dims), const_cast<npy_intp*>(strides),
      data != nullptr ? data : empty_storage, NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return nullptr;
  // Steals the owner reference, also on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

PyObject* make_tuple(std::initializer_list<Ref*> items) {
  for (Ref* item : items) {
    if (!*item) return nullptr;
  }
  Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
  if (!tuple) return nullptr;
  Py_ssize_t i = 0;
  for (Ref* item : items)
    PyTuple_SET_ITEM(tuple.get(), i++, item->release());
  return tuple.release();
}

// ---------------------------------------------------------------------------
// Failures of the engine

CancelCheck signal_check() {
  return CancelCheck([](void*) { return PyErr_CheckSignals() != 0; }, nullptr);
}

void set_exception_from(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const Cancelled&) {
    // The signal handler's exception (KeyboardInterrupt, ...) is pending.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "cancelled");
  } catch (const CapacityOverflow& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace velmora::py
