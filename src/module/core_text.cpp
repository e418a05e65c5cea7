// A column of text as pandas holds it (a NumPy array of Python objects) factorized
// by value: every cell's code in order of first appearance, -1 for a missing cell.
// pandas' factorize does the same through its general object hash table, which
// costs several times more per cell; the package calls this first and falls back
// to pandas for any column that holds something other than text and missing cells.
#include "core_text.hpp"

#include <Python.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// The cells of a 1-d NumPy array of objects, read in place through its array
// interface (the array stays alive with the caller's reference for the call).
struct ObjectCells {
  const char* data = nullptr;
  std::ptrdiff_t step = sizeof(PyObject*);  // bytes from one cell to the next
  std::size_t count = 0;

  PyObject* operator[](std::size_t i) const {
    PyObject* cell;
    std::memcpy(&cell, data + static_cast<std::ptrdiff_t>(i) * step, sizeof(cell));
    return cell;
  }
};

ObjectCells object_cells(const nb::handle& values, const char* caller) {
  const auto interface = nb::borrow<nb::dict>(values.attr("__array_interface__"));
  const auto shape = nb::borrow<nb::tuple>(interface["shape"]);
  if (nb::cast<std::string>(interface["typestr"]) != "|O" || shape.size() != 1) {
    throw std::invalid_argument(std::string(caller) + ": values must be a 1-d array of objects");
  }
  ObjectCells cells;
  cells.data = reinterpret_cast<const char*>(
      nb::cast<std::uintptr_t>(nb::borrow<nb::tuple>(interface["data"])[0]));
  cells.count = nb::cast<std::size_t>(shape[0]);
  const nb::handle strides = interface["strides"];
  if (!strides.is_none()) cells.step = nb::cast<std::ptrdiff_t>(nb::borrow<nb::tuple>(strides)[0]);
  return cells;
}

// Open addressing, at most half full, over slots that the thread keeps from one
// call to the next: a slot is in use only where it carries the call's stamp, so a
// call starts from an empty table without clearing memory or touching fresh pages
// (which cost more than the factorization of a column of a few thousand cells).
template <class Slot>
class Table {
 public:
  Table(std::vector<Slot>& kept, std::uint32_t stamp) : slots_(kept), stamp_(stamp) {
    if (slots_.size() < kFirstSlots) slots_.assign(kFirstSlots, Slot{});
  }

  ~Table() {
    if (slots_.size() > kKeptSlots) std::vector<Slot>().swap(slots_);  // a huge one goes
  }

  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;

  // The slot in use that `same` accepts, from `hash` on; else the free slot where
  // that key goes (see held, take).
  template <class Same>
  Slot& find(std::uint64_t hash, Same&& same) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.stamp != stamp_ || same(slot)) return slot;
    }
  }

  bool held(const Slot& slot) const { return slot.stamp == stamp_; }

  // Fills a free slot from find; references into the table are stale after it.
  void take(Slot& slot, Slot value) {
    value.stamp = stamp_;
    slot = value;
    if (2 * ++used_ > slots_.size()) grow();
  }

 private:
  static constexpr std::size_t kFirstSlots = 1024;
  static constexpr std::size_t kKeptSlots = std::size_t{1} << 20;

  void grow() {
    std::vector<Slot> bigger(2 * slots_.size());
    const std::size_t mask = bigger.size() - 1;
    for (const Slot& slot : slots_) {
      if (slot.stamp != stamp_) continue;
      std::size_t at = slot.hash() & mask;
      while (bigger[at].stamp == stamp_) at = (at + 1) & mask;
      bigger[at] = slot;
    }
    slots_.swap(bigger);
  }

  std::vector<Slot>& slots_;
  std::uint32_t stamp_;
  std::size_t used_ = 0;
};

// A distinct object (by address) and its code.
struct ObjectSlot {
  PyObject* object = nullptr;
  std::int32_t code = 0;
  std::uint32_t stamp = 0;

  static std::uint64_t hash_of(PyObject* object) {
    // Addresses as murmur's finaliser spreads them: their low bits are alike.
    auto h = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
    h = (h ^ (h >> 33)) * 0xff51afd7ed558ccdULL;
    h = (h ^ (h >> 33)) * 0xc4ceb9fe1a85ec53ULL;
    return h ^ (h >> 33);
  }
  std::uint64_t hash() const { return hash_of(object); }
};

// A distinct text (by value: the first object seen of it) and its code.
struct TextSlot {
  Py_hash_t text_hash = 0;
  PyObject* text = nullptr;  // borrowed: the caller's array holds it
  std::int32_t code = 0;
  std::uint32_t stamp = 0;

  std::uint64_t hash() const { return static_cast<std::uint64_t>(text_hash); }
};

// Whether two str hold the same text: a str is held in the narrowest kind that
// its characters fit, so equal texts share their kind and their bytes.
bool same_text(PyObject* a, PyObject* b) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
  const int kind = PyUnicode_KIND(a);
  return length == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
         std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                     static_cast<std::size_t>(length) * static_cast<std::size_t>(kind)) == 0;
}

// The slots a call works in: those its thread keeps, or, for a call made while
// another runs on the thread (a dict key's __eq__ may call back), slots of its own.
class Scratch {
 public:
  Scratch() {
    thread_local Kept kept;
    if (kept.busy) {
      own_ = std::make_unique<Kept>();
      use_ = own_.get();
    } else {
      use_ = &kept;
    }
    use_->busy = true;
    if (++use_->stamp == 0) {  // stamps wrapped: slots of old calls would pass as held
      use_->objects.clear();
      use_->texts.clear();
      use_->stamp = 1;
    }
  }
  ~Scratch() { use_->busy = false; }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  Table<ObjectSlot> objects() { return {use_->objects, use_->stamp}; }
  Table<TextSlot> texts() { return {use_->texts, use_->stamp}; }

 private:
  struct Kept {
    std::vector<ObjectSlot> objects;
    std::vector<TextSlot> texts;
    std::uint32_t stamp = 0;
    bool busy = false;
  };
  std::unique_ptr<Kept> own_;
  Kept* use_ = nullptr;
};

// Each cell's code into `codes`: a cell whose object was met before takes that
// object's code, a missing cell (None, NaN) -1, a new text code_of(text); false,
// with the codes incomplete, where a cell is anything else.
template <class CodeOf>
bool code_cells(const ObjectCells& cells, Table<ObjectSlot>& objects, std::int64_t* codes,
                CodeOf&& code_of) {
  for (std::size_t i = 0; i < cells.count; ++i) {
    PyObject* cell = cells[i];
    ObjectSlot& seen = objects.find(ObjectSlot::hash_of(cell),
                                    [cell](const ObjectSlot& s) { return s.object == cell; });
    if (objects.held(seen)) {
      codes[i] = seen.code;
      continue;
    }
    std::int32_t code = -1;
    if (PyUnicode_CheckExact(cell)) {
      code = code_of(cell);  // a call back into Python works in slots of its own
    } else if (cell != Py_None &&
               !(PyFloat_CheckExact(cell) && std::isnan(PyFloat_AS_DOUBLE(cell)))) {
      return false;
    }
    objects.take(seen, {cell, code});
    codes[i] = code;
  }
  return true;
}

// (codes, distinct texts) of a column of str, None (missing) and float NaN
// (missing); None where any cell is anything else, which pandas is left to read.
// A column's distinct objects are looked at once each: a column of text read from
// a file repeats one object per distinct text, so most cells are settled by their
// address alone.
nb::object factorize_text(const nb::handle& values) {
  const ObjectCells cells = object_cells(values, "factorize_text");
  if (cells.count > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return nb::none();
  }
  Scratch scratch;
  Table<ObjectSlot> objects = scratch.objects();
  Table<TextSlot> texts = scratch.texts();
  std::vector<PyObject*> firsts;  // each distinct text's first object, by code
  auto codes = qor::bind::uninitialised<std::int64_t>(cells.count);
  const bool read = code_cells(cells, objects, codes.get(), [&](PyObject* cell) {
    const Py_hash_t hash = PyObject_Hash(cell);  // kept inside the str once made
    if (hash == -1) throw nb::python_error();
    TextSlot& text = texts.find(static_cast<std::uint64_t>(hash), [&](const TextSlot& s) {
      return s.text == cell || (s.text_hash == hash && same_text(s.text, cell));
    });
    if (texts.held(text)) return text.code;
    const auto code = static_cast<std::int32_t>(firsts.size());
    firsts.push_back(cell);
    texts.take(text, {hash, cell, code});
    return code;
  });
  if (!read) return nb::none();
  nb::list distinct;
  for (PyObject* text : firsts) distinct.append(nb::handle(text));
  return nb::make_tuple(qor::bind::to_numpy(std::move(codes), {cells.count}), distinct);
}

// Each cell's code in `codes_of` (a dict of text to int: categories[i] to i), -1
// where missing or absent; None where a cell is neither text nor missing. Each
// distinct object is looked up once: a cell that repeats an object costs a probe
// by its address.
nb::object lookup_text(const nb::handle& values, const nb::dict& codes_of,
                       const nb::handle& categories) {
  const ObjectCells cells = object_cells(values, "lookup_text");
  const ObjectCells known = object_cells(categories, "lookup_text");
  if (known.count != static_cast<std::size_t>(PyDict_Size(codes_of.ptr()))) {
    throw std::invalid_argument("lookup_text: codes must hold each of the categories");
  }
  Scratch scratch;
  Table<ObjectSlot> objects = scratch.objects();
  // Cells that hold the categories' own objects (a table read from one file holds
  // one object per distinct text) are known by their address alone, without
  // reading the object or the dict: worth it where they are not many more than
  // the cells.
  if (known.count <= 2 * cells.count &&
      known.count <= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    for (std::size_t i = 0; i < known.count; ++i) {
      PyObject* category = known[i];
      ObjectSlot& slot =
          objects.find(ObjectSlot::hash_of(category),
                       [category](const ObjectSlot& s) { return s.object == category; });
      if (!objects.held(slot)) objects.take(slot, {category, static_cast<std::int32_t>(i)});
    }
  }
  auto codes = qor::bind::uninitialised<std::int64_t>(cells.count);
  const bool read = code_cells(cells, objects, codes.get(), [&](PyObject* cell) {
    PyObject* found = PyDict_GetItemWithError(codes_of.ptr(), cell);  // borrowed
    if (found == nullptr) {
      if (PyErr_Occurred()) throw nb::python_error();
      return std::int32_t{-1};
    }
    const long long code = PyLong_AsLongLong(found);
    if (code == -1 && PyErr_Occurred()) throw nb::python_error();
    if (code < 0 || code > std::numeric_limits<std::int32_t>::max()) {
      throw std::invalid_argument("lookup_text: codes must lie in [0, 2**31 - 1)");
    }
    return static_cast<std::int32_t>(code);
  });
  if (!read) return nb::none();
  return nb::cast(qor::bind::to_numpy(std::move(codes), {cells.count}));
}

}  // namespace

void bind_text(nb::module_& m) {
  m.def("factorize_text", &factorize_text, "values"_a,
        "(codes, distinct) of a 1-d object array of str and missing cells (None, NaN), codes "
        "in order of first appearance and -1 where missing; None where a cell is anything "
        "else.");
  m.def("lookup_text", &lookup_text, "values"_a, "codes"_a, "categories"_a,
        "Codes of a 1-d object array's cells in `codes` (a dict of text to int: "
        "categories[i] to i, for `categories` a 1-d object array), -1 where missing or "
        "absent; None where a cell is neither text nor missing.");
}
