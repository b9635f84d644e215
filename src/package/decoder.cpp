// `decode_package`: loads a package, adopts its dictionary, decompresses and
// unpacks the id records, turns every id back into its text and writes each
// file into the output directory.
//
// While the stream is a bytes object and the adopted reverse map is the
// plain dict built here, ids are resolved through a native table made while
// that map was built, and each file's text is assembled in one allocation.
// Anything else goes through the host's protocols one record at a time.
#include "package/decoder.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/inverse_map.hpp"
#include "package/format.hpp"
#include "package/zstd_adapter.hpp"

namespace qbc {
namespace {

const Where& w = kDecodeWhere;

// Id -> token text, as the reverse map answers `get(id)` for ids 0..2^31-1.
// Holds its own reference to every text, so host code that changes the map
// later cannot take a text away while it is in use.
class IdTable : public PairVisitor {
 public:
  ~IdTable() override {
    for (PyObject* text : dense_) Py_XDECREF(text);
    for (auto& entry : sparse_) Py_XDECREF(entry.second);
  }

  void pair(PyObject* key, PyObject* value) override {
    max_ids_.pair(key, value);
    if (!is_plain_key(key)) tokens_plain_ = false;
    if (!is_plain_key(value)) ids_plain_ = false;
    if (!exact_) return;
    // The reverse map's keys are the ids (`value`) and its values the texts.
    // Only plain ints (and bools) hash and compare as the ids looked up; a
    // float, or an int subclass with its own hash or equality, could answer
    // an int lookup differently.
    if (!PyLong_CheckExact(value) && !PyBool_Check(value)) {
      exact_ = false;
      return;
    }
    if (!PyUnicode_CheckExact(key)) texts_are_str_ = false;
    int overflow = 0;
    long long id = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || id < 0 || id > INT32_MAX) return;
    set(static_cast<uint32_t>(id), key);
  }

  bool exact() const { return exact_; }
  bool tokens_plain() const { return tokens_plain_; }
  bool ids_plain() const { return ids_plain_; }
  bool texts_are_str() const { return texts_are_str_; }
  int64_t max_id() const { return max_ids_.max_id(); }

  // The text for `id`, or null when the map has none.
  PyObject* find(uint32_t id) const {
    if (id < dense_.size()) return dense_[id];
    if (sparse_.empty()) return nullptr;
    auto it = sparse_.find(id);
    return it == sparse_.end() ? nullptr : it->second;
  }

 private:
  static constexpr uint32_t kDenseLimit = 1u << 26;

  void set(uint32_t id, PyObject* text) {
    PyObject** slot;
    if (id < kDenseLimit) {
      if (id >= dense_.size()) dense_.resize(std::max<size_t>(id + 1, dense_.size() * 2), nullptr);
      slot = &dense_[id];
    } else {
      slot = &sparse_[id];
    }
    Py_INCREF(text);
    Py_XDECREF(*slot);
    *slot = text;
  }

  MaxIdVisitor max_ids_;
  std::vector<PyObject*> dense_;
  std::unordered_map<uint32_t, PyObject*> sparse_;
  bool exact_ = true;
  bool texts_are_str_ = true;
  bool tokens_plain_ = true;
  bool ids_plain_ = true;
};

// The restored token sequence: either native (records of an immutable bytes
// stream resolved through the table) or a host list, as the host would
// build it.
struct Restored {
  Ref stream;                   // keeps `records` alive
  const uint8_t* records = nullptr;
  const IdTable* table = nullptr;
  Ref list;                     // used when `records` is null
  Py_ssize_t count = 0;

  PyObject* at(Py_ssize_t i) const {
    if (records == nullptr) return PyList_GET_ITEM(list.get(), i);
    PyObject* text = table->find(load_record(records + 4 * i));
    return text != nullptr ? text : names().unknown_token;
  }
};

// Steps 8.1 to 8.3 for a stream that is not a bytes object: four item reads,
// shifts and ORs on host integers, then the 32-bit conversion.
bool generic_record(PyObject* stream, Py_ssize_t index, int32_t* id) {
  static const int shifts[] = {24, 16, 8, 0};
  Ref combined;
  for (int k = 0; k < 4; ++k) {
    // Item access as the host's subscript: any object with __getitem__
    // (a mapping keyed by position included), not only sequences.
    Ref position = Ref::steal(PyLong_FromSsize_t(4 * index + k));
    if (!position) return false;
    Ref item = Ref::steal(PyObject_GetItem(stream, position.get()));
    if (!item) return false;
    Ref part;
    if (shifts[k] != 0) {
      Ref amount = Ref::steal(PyLong_FromLong(shifts[k]));
      if (!amount) return false;
      part = Ref::steal(PyNumber_Lshift(item.get(), amount.get()));
      if (!part) return false;
    } else {
      part = std::move(item);
    }
    if (!combined) {
      combined = std::move(part);
    } else {
      combined = Ref::steal(PyNumber_Or(combined.get(), part.get()));
      if (!combined) return false;
    }
  }
  return to_int32(combined.get(), id);
}

// Steps 6 to 8: the records of the stream, each resolved to its text.
bool restore(CompressorObject* c, Ref stream, const IdTable& table, PyObject* built_inverse,
             uint64_t inverse_version, Restored* out) {
  Py_ssize_t length = PyObject_Length(stream.get());
  if (length < 0) return fail_int(w, 108), false;
  const Py_ssize_t count = length / 4;
  if (static_cast<uint64_t>(count) > kMaxRecords) {
    PyErr_Format(PyExc_OverflowError,
                 "a stream of %zd records is more than the 536870912 one package can hold",
                 count);
    return fail_int(w, 108), false;
  }
  out->count = count;
  const bool bytes = PyBytes_CheckExact(stream.get());
  // The table answers exactly as the reverse map would while that map is
  // still the compressor's and unchanged since it was built; bytes cannot
  // change, so records can be resolved when each file is assembled.
  if (bytes && table.exact() && c->inverse_dict == built_inverse &&
      dict_version(built_inverse) == inverse_version) {
    const uint8_t* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(stream.get()));
    if (first_oversized_record(data, static_cast<size_t>(count)) <
        static_cast<size_t>(count)) {
      PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
      return fail_int(w, 114), false;
    }
    out->stream = std::move(stream);
    out->records = data;
    out->table = &table;
    return true;
  }
  Ref list = Ref::steal(PyList_New(count));
  if (!list) return fail_int(w, 109), false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(list.get(), i, Py_NewRef(Py_None));
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    int32_t id;
    if (bytes) {
      const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(stream.get()));
      uint32_t raw = load_record(data + 4 * i);
      if (raw > INT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return fail_int(w, 114), false;
      }
      id = static_cast<int32_t>(raw);
    } else if (!generic_record(stream.get(), i, &id)) {
      return fail_int(w, 114), false;
    }
    Ref key = Ref::steal(PyLong_FromLong(id));
    if (!key) return fail_int(w, 115), false;
    Ref inverse = Ref::borrow(c->inverse_dict);
    Ref text = call_method(inverse.get(), names().get, key.get(), names().unknown_token);
    if (!text) return fail_int(w, 115), false;
    PyList_SetItem(list.get(), i, text.release());
  }
  out->list = std::move(list);
  return true;
}

// A stored name that is used as a file name must not lead out of the
// output directory.
bool check_plain_name(PyObject* name, PyObject* sep, PyObject* altsep) {
  bool bad = PyUnicode_GET_LENGTH(name) == 0 ||
             PyUnicode_CompareWithASCIIString(name, ".") == 0 ||
             PyUnicode_CompareWithASCIIString(name, "..") == 0 ||
             PyUnicode_FindChar(name, '/', 0, PyUnicode_GET_LENGTH(name), 1) >= 0 ||
             PyUnicode_FindChar(name, 0, 0, PyUnicode_GET_LENGTH(name), 1) >= 0;
  for (PyObject* part : {sep, altsep}) {
    if (bad || part == nullptr || !PyUnicode_Check(part) || PyUnicode_GET_LENGTH(part) == 0) {
      continue;
    }
    int found = PyUnicode_Contains(name, part);
    if (found < 0) return false;
    bad = found;
  }
  if (!bad) return true;
  PyErr_Format(PyExc_ValueError,
               "refusing to write %R: a stored file name must be a plain name inside the "
               "output directory",
               name);
  return false;
}

// One file to write: its end boundary and stored name.
struct Entry {
  int32_t boundary;
  Ref name;
};

// Step 10 up to the first failure: the pairs of boundaries and names,
// converted and tested before any file is written. A failure that the host
// would meet only after writing the earlier files is kept in `deferred` and
// raised after them.
struct Deferred {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  ~Deferred() {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }
  bool pending() const { return type != nullptr; }
  void keep() { PyErr_Fetch(&type, &value, &tb); }
  void raise() {
    PyErr_Restore(type, value, tb);
    type = value = tb = nullptr;
  }
};

bool collect_entries(PyObject* package, std::vector<Entry>* entries, Deferred* deferred) {
  const Names& n = names();
  Ref boundaries = Ref::steal(PyObject_GetItem(package, n.key_file_boundaries));
  if (!boundaries) return false;
  Ref filenames = Ref::steal(PyObject_GetItem(package, n.key_filenames));
  if (!filenames) return false;
  Ref pairs = call(builtins().zip, boundaries.get(), filenames.get());
  if (!pairs) return false;
  Ref iter = Ref::steal(PyObject_GetIter(pairs.get()));
  if (!iter) return false;
  Ref os = module_global(n.os);
  if (!os) return false;
  Ref sep = Ref::steal(PyObject_GetAttrString(os.get(), "sep"));
  if (!sep) PyErr_Clear();
  Ref altsep = Ref::steal(PyObject_GetAttrString(os.get(), "altsep"));
  if (!altsep) PyErr_Clear();
  while (true) {
    Ref item = Ref::steal(PyIter_Next(iter.get()));
    if (!item) {
      if (PyErr_Occurred()) deferred->keep();
      return true;
    }
    // zip yields pairs.
    PyObject* boundary = PyTuple_GET_ITEM(item.get(), 0);
    PyObject* name = PyTuple_GET_ITEM(item.get(), 1);
    int32_t end;
    if (!to_int32(boundary, &end) || !check_exact_or_none(name, &PyUnicode_Type, "str")) {
      deferred->keep();
      return true;
    }
    if (name != Py_None && !check_plain_name(name, sep.get(), altsep.get())) return false;
    entries->push_back(Entry{end, Ref::borrow(name)});
  }
}

// The text of records [start, stop) in one allocation.
Ref join_native(const Restored& r, Py_ssize_t start, Py_ssize_t stop) {
  Py_ssize_t length = 0;
  Py_UCS4 maxchar = 0;
  for (Py_ssize_t i = start; i < stop; ++i) {
    PyObject* text = r.at(i);
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (length > PY_SSIZE_T_MAX - n) {
      PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
      return nullptr;
    }
    length += n;
    Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(text);
    if (m > maxchar) maxchar = m;
  }
  Ref result = Ref::steal(PyUnicode_New(length, maxchar));
  if (!result) return nullptr;
  const int kind = PyUnicode_KIND(result.get());
  char* out = static_cast<char*>(PyUnicode_DATA(result.get()));
  Py_ssize_t pos = 0;
  for (Py_ssize_t i = start; i < stop; ++i) {
    PyObject* text = r.at(i);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const int src_kind = PyUnicode_KIND(text);
    const void* src = PyUnicode_DATA(text);
    if (src_kind == kind) {
      std::memcpy(out + pos * kind, src, static_cast<size_t>(n) * kind);
    } else if (kind == PyUnicode_2BYTE_KIND) {
      auto* dst = reinterpret_cast<Py_UCS2*>(out) + pos;
      const auto* s = static_cast<const Py_UCS1*>(src);
      for (Py_ssize_t k = 0; k < n; ++k) dst[k] = s[k];
    } else {
      auto* dst = reinterpret_cast<Py_UCS4*>(out) + pos;
      if (src_kind == PyUnicode_1BYTE_KIND) {
        const auto* s = static_cast<const Py_UCS1*>(src);
        for (Py_ssize_t k = 0; k < n; ++k) dst[k] = s[k];
      } else {
        const auto* s = static_cast<const Py_UCS2*>(src);
        for (Py_ssize_t k = 0; k < n; ++k) dst[k] = s[k];
      }
    }
    pos += n;
  }
  return result;
}

// "".join(restored_tokens[start:stop]) under the host's slice rules.
Ref file_text(const Restored& r, Py_ssize_t start, Py_ssize_t stop) {
  PySlice_AdjustIndices(r.count, &start, &stop, 1);
  if (stop < start) stop = start;
  if (r.records != nullptr && r.table->texts_are_str()) return join_native(r, start, stop);
  Ref slice;
  if (r.records == nullptr) {
    slice = Ref::steal(PyList_GetSlice(r.list.get(), start, stop));
  } else {
    slice = Ref::steal(PyList_New(stop - start));
    if (slice) {
      for (Py_ssize_t i = start; i < stop; ++i) {
        PyList_SET_ITEM(slice.get(), i - start, Py_NewRef(r.at(i)));
      }
    }
  }
  if (!slice) return nullptr;
  return Ref::steal(PyUnicode_Join(names().empty_str, slice.get()));
}

bool write_files(PyObject* output_dir, const std::vector<Entry>& entries, const Restored& r) {
  const Names& n = names();
  Py_ssize_t start = 0;
  for (const Entry& entry : entries) {
    Ref path = os_path_call(n.join, output_dir, entry.name.get());
    if (!path) return fail_int(w, 123), false;
    FileBlock block(w, 123);
    bool ok = block.run(open_text(path.get(), n.mode_w, n.empty_str), [&](PyObject* file) {
      Ref text = file_text(r, start, entry.boundary);
      if (!text) return fail_int(w, 124), false;
      if (!call_method(file, n.write, text.get())) return fail_int(w, 124), false;
      return true;
    });
    if (!ok) return false;
    start = entry.boundary;
  }
  return true;
}

// os.makedirs(output_dir, exist_ok=True)
bool make_output_dir(PyObject* output_dir) {
  const Names& n = names();
  Ref os = module_global(n.os);
  if (!os) return false;
  Ref makedirs = getattr(os.get(), n.makedirs);
  if (!makedirs) return false;
  Ref kwnames = Ref::steal(PyTuple_Pack(1, n.exist_ok));
  if (!kwnames) return false;
  PyObject* argv[] = {nullptr, output_dir, Py_True};
  return static_cast<bool>(Ref::steal(PyObject_Vectorcall(
      makedirs.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get())));
}

}  // namespace

PyObject* decode_package(PyObject* self, PyObject* package_path, PyObject* output_dir,
                         bool use_zstd) {
  CompressorObject* c = as_compressor(self);
  const Names& n = names();

  Ref package;
  {
    FileBlock block(w, 96);
    bool ok = block.run(open_file(package_path, n.mode_rb), [&](PyObject* file) {
      package = pickle_load(file);
      if (!package) return fail_int(w, 97), false;
      return true;
    });
    if (!ok) return nullptr;
  }

  Ref empty = Ref::steal(PyDict_New());
  if (!empty) return fail(w, 99);
  Ref forward = call_method(package.get(), n.get, n.key_global_dict, empty.get());
  if (!forward) return fail(w, 99);
  replace_slot(&c->global_dict, forward.get());

  IdTable table;
  Ref inverse = build_inverse(c->global_dict, &table);
  if (!inverse) return fail(w, 100);
  replace_slot(&c->inverse_dict, inverse.get());
  // New ids handed out later must not collide with the adopted ones.
  if (table.max_id() >= 0 && table.max_id() >= c->next_id) {
    c->next_id = table.max_id() >= INT32_MAX ? INT32_MAX
                                             : static_cast<int32_t>(table.max_id() + 1);
  }
  set_max_id(c, table.max_id(), table.tokens_plain());
  set_inverse_plain(c, table.ids_plain());
  const uint64_t inverse_version = dict_version(inverse.get());

  Ref payload = Ref::steal(PyObject_GetItem(package.get(), n.key_compressed));
  if (!payload) return fail(w, 102);
  Ref stream = use_zstd ? zstd_decompress(payload.get()) : payload;
  if (!stream) return fail(w, 104);
  payload.reset();

  Restored restored;
  if (!restore(c, std::move(stream), table, inverse.get(), inverse_version, &restored)) {
    return nullptr;
  }

  if (!make_output_dir(output_dir)) return fail(w, 117);

  std::vector<Entry> entries;
  Deferred deferred;
  if (!collect_entries(package.get(), &entries, &deferred)) return fail(w, 122);
  if (!write_files(output_dir, entries, restored)) return nullptr;
  if (deferred.pending()) {
    deferred.raise();
    return fail(w, 122);
  }

  PyObject* names_list = PyObject_GetItem(package.get(), n.key_filenames);
  if (names_list == nullptr) return fail(w, 127);
  return names_list;
}

}  // namespace qbc
