// `encode_files`: reads and tokenizes every input, gives every token its id,
// packs the ids as 4-byte big-endian records, compresses them and writes the
// package object.
//
// Tokens are collected natively: each distinct token of the call is held once
// in a TokenIndex and the token order is kept as slot numbers, so a repeated
// token costs neither a host object nor a host dict lookup. Ids are then
// resolved once per distinct token while the maps are plain dicts holding
// plain ints, and through the host's mapping protocol per token otherwise.
#include "package/encoder.hpp"

#include <algorithm>
#include <vector>

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "binding/replacing_file.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/token_index.hpp"
#include "dictionary/token_scan.hpp"
#include "dictionary/tokenize.hpp"
#include "package/format.hpp"
#include "package/zstd_adapter.hpp"

namespace qbc {
namespace {

const Where& w = kEncodeWhere;

// Everything the reading phase collects.
struct Collected {
  TokenIndex index;
  SlotStream stream;
  // Objects other than exact str that a tokenize override returned; the
  // stream refers to them as kOddMark | position.
  std::vector<Ref> odd;
  // Tokens counted but not kept once the call has more than one package can
  // hold: the call fails before any id is assigned, so only the count
  // matters, and memory stays bounded.
  uint64_t dropped = 0;
  Ref boundaries;
  Ref filenames;

  uint64_t total() const { return stream.size() + dropped; }
  bool over_limit() const { return total() > kMaxRecords; }
};

// Number of tokens of an exact str, without keeping them.
uint64_t count_tokens(PyObject* text) {
  uint64_t count = 0;
  auto sink = [&](const Run&) {
    ++count;
    return true;
  };
  const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      scan_runs(PyUnicode_1BYTE_DATA(text), static_cast<size_t>(n), sink);
      break;
    case PyUnicode_2BYTE_KIND:
      scan_runs(PyUnicode_2BYTE_DATA(text), static_cast<size_t>(n), sink);
      break;
    default:
      scan_runs(PyUnicode_4BYTE_DATA(text), static_cast<size_t>(n), sink);
      break;
  }
  return count;
}

// Appends the items of a token list (an override's result or the host
// regular-expression result) to the collection.
bool append_list(Collected& out, PyObject* tokens) {
  if (tokens == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return false;
  }
  const Py_ssize_t count = PyList_GET_SIZE(tokens);
  if (out.over_limit()) {
    out.dropped += static_cast<uint64_t>(count);
    return true;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(tokens, i);
    if (PyUnicode_CheckExact(item)) {
      uint32_t slot;
      if (!out.index.intern(item, &slot)) return false;
      out.stream.push(slot);
    } else {
      out.stream.push(SlotStream::kOddMark | static_cast<uint32_t>(out.odd.size()));
      out.odd.push_back(Ref::borrow(item));
    }
  }
  return true;
}

// Steps 7.2 to 7.5 for one opened input file.
bool read_one(PyObject* self, PyObject* path, PyObject* file, Collected& out) {
  Ref text = call_method(file, names().read);
  if (!text || !check_exact_or_none(text.get(), &PyUnicode_Type, "str")) {
    return fail_int(w, 53), false;
  }
  Ref override_tokens;
  int builtin = dispatch_tokenize(self, text.get(), &override_tokens);
  if (builtin < 0) return fail_int(w, 53), false;
  if (builtin) {
    int native = native_findall_applies();
    if (native < 0) {
      add_traceback(kTokenizeWhere, 39);
      return fail_int(w, 53), false;
    }
    if (native && PyUnicode_CheckExact(text.get())) {
      if (out.over_limit()) {
        out.dropped += count_tokens(text.get());
      } else if (!out.index.scan(text.get(), out.stream)) {
        return fail_int(w, 53), false;
      }
    } else {
      override_tokens = tokenize_builtin(text.get());
      if (!override_tokens) return fail_int(w, 53), false;
    }
  }
  text.reset();
  if (override_tokens && !append_list(out, override_tokens.get())) {
    return fail_int(w, 54), false;
  }
  Ref count = Ref::steal(PyLong_FromUnsignedLongLong(out.total()));
  if (!count || PyList_Append(out.boundaries.get(), count.get()) < 0) {
    return fail_int(w, 55), false;
  }
  Ref base = os_path_call(names().basename, path);
  if (!base || PyList_Append(out.filenames.get(), base.get()) < 0) {
    return fail_int(w, 56), false;
  }
  return true;
}

bool read_all(PyObject* self, PyObject* filepaths, Collected& out) {
  if (filepaths == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return fail_int(w, 51), false;
  }
  // The list is walked by position, so that changes made to it meanwhile
  // are seen as a host for-loop would see them.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths); ++i) {
    Ref path = Ref::borrow(PyList_GET_ITEM(filepaths, i));
    FileBlock block(w, 52);
    bool ok = block.run(open_text(path.get(), names().mode_r, nullptr), [&](PyObject* file) {
      return read_one(self, path.get(), file, out);
    });
    if (!ok) return false;
  }
  return true;
}

// The id phase: one record per token, written in stream order.
//
// With plain dicts, each distinct token is settled once, in slot order,
// which is the order of first occurrence: that is the same sequence of
// lookups and insertions as going token by token, and every later
// occurrence reuses the id. When a stored value needs the host's own
// conversion, or host code ran during a lookup or insertion (a key's own
// equality test may change the maps), settling stops at that token; records
// up to its first occurrence use the ids settled before, and from there on
// tokens go one by one, each looked up again wherever host code may have
// changed what a lookup finds.
class IdWriter {
 public:
  IdWriter(CompressorObject* c, Collected& in, uint8_t* records)
      : c_(c), in_(in), records_(records), slot_ids_(in.index.size(), kUnresolved) {}

  bool run() {
    plain_ = maps_are_plain(c_);
    int line = 0;
    uint32_t stop = 0;
    Pending pending;
    if (in_.odd.empty() && fast_maps()) {
      int settled = settle_slots(&stop, &pending, &line);
      if (settled < 0) return fail_int(w, line), false;
      if (settled > 0) {
        write_settled();
        return true;
      }
    }
    // Settled slots are exactly those below `stop`, and the first token of a
    // later slot in the stream is the stopping one itself.
    bool before_stop = pending.active;
    bool ok = true;
    in_.stream.for_each(
        [&](uint32_t slot) {
          if (!ok) return;
          int32_t id;
          if (before_stop && slot < stop) {
            id = slot_ids_[slot];
          } else if (before_stop) {
            before_stop = false;
            ok = finish_pending(slot, pending, &id, &line);
          } else {
            ok = id_for(slot, &id, &line);
          }
          if (!ok) return;
          store_record(records_, static_cast<uint32_t>(id));
          records_ += 4;
        },
        /*release=*/true);
    if (!ok) return fail_int(w, line), false;
    return true;
  }

 private:
  static constexpr int32_t kUnresolved = -1;

  // Where settling stopped: the stopping token's lookup result (or its id,
  // when its insertion ran host code).
  struct Pending {
    bool active = false;
    bool done = false;    // `id` is final
    int32_t id = 0;
    Ref value;            // the stored value found, or null when absent
  };

  int settle_slots(uint32_t* stop, Pending* pending, int* line) {
    const uint32_t count = in_.index.size();
    for (uint32_t slot = 0; slot < count; ++slot) {
      PyObject* token = in_.index.token(slot);
      PyObject* forward = c_->global_dict;
      sync_cache(forward);
      PyObject* value = PyDict_GetItemWithError(forward, token);
      if (value == nullptr && PyErr_Occurred()) return *line = 66, -1;
      if (!cache_current() || !fast_maps() || (value != nullptr && !PyLong_Check(value))) {
        *stop = slot;
        pending->active = true;
        pending->value = Ref::borrow(value);
        return 0;
      }
      int32_t id;
      if (value != nullptr) {
        if (!to_int32(value, &id) || !check_storable(id)) return *line = 72, -1;
      } else {
        if (!insert_new(token, &id, line)) return -1;
        if (!cache_current() || !fast_maps()) {
          *stop = slot;
          pending->active = true;
          pending->done = true;
          pending->id = id;
          return 0;
        }
      }
      slot_ids_[slot] = id;
    }
    return 1;
  }

  void write_settled() {
    const int32_t* ids = slot_ids_.data();
    uint8_t* out = records_;
    in_.stream.for_each(
        [&](uint32_t slot) {
          store_record(out, static_cast<uint32_t>(ids[slot]));
          out += 4;
        },
        /*release=*/true);
    records_ = out;
  }

  // Completes the stopping token's first occurrence from its lookup result.
  bool finish_pending(uint32_t slot, Pending& pending, int32_t* id, int* line) {
    if (pending.done) {
      *id = pending.id;
      return true;
    }
    if (pending.value) {
      if (!PyLong_Check(pending.value.get())) tainted_ = true;
      if (!to_int32(pending.value.get(), id) || !check_storable(*id)) return *line = 72, false;
      pending.value.reset();
      return true;
    }
    return insert_new(in_.index.token(slot), id, line);
  }

  bool id_for(uint32_t slot, int32_t* id, int* line) {
    if (slot & SlotStream::kOddMark) {
      PyObject* token = in_.odd[slot & ~SlotStream::kOddMark].get();
      if (token != Py_None) {
        raise_unexpected_type("str", token);
        return *line = 65, false;
      }
      return assign_id(c_, token, id, line);
    }
    const int32_t known = slot_ids_[slot];
    if (known != kUnresolved && !tainted_ && cache_current()) {
      *id = known;
      return true;
    }
    PyObject* token = in_.index.token(slot);
    if (!fast_maps()) return assign_id(c_, token, id, line);
    bool stable = true;
    if (!assign_fast(token, id, line, &stable)) return false;
    if (stable) slot_ids_[slot] = *id;
    return true;
  }

  // The per-distinct-token shortcut is exact while both maps are plain dicts:
  // then a lookup runs no host code and an id read once stays what a later
  // lookup of the same token would read.
  bool fast_maps() const {
    return !tainted_ && plain_ && PyDict_CheckExact(c_->global_dict) &&
           PyDict_CheckExact(c_->inverse_dict);
  }

  // The ids remembered per slot are those of one forward dict in one state:
  // the dict held when they were read, changed since only by our own
  // insertions. Host code that runs meanwhile (a key's own equality test, a
  // finaliser) may replace or change the map; then they are forgotten.
  bool cache_current() const {
    return c_->global_dict == cache_forward_.get() &&
           dict_version(cache_forward_.get()) == cache_version_;
  }

  void sync_cache(PyObject* forward) {
    if (forward == cache_forward_.get() && dict_version(forward) == cache_version_) return;
    std::fill(slot_ids_.begin(), slot_ids_.end(), kUnresolved);
    cache_forward_ = Ref::borrow(forward);
    cache_version_ = dict_version(forward);
  }

  bool assign_fast(PyObject* token, int32_t* id, int* line, bool* stable) {
    PyObject* forward = c_->global_dict;
    sync_cache(forward);
    PyObject* value = PyDict_GetItemWithError(forward, token);
    if (c_->global_dict != forward || dict_version(forward) != cache_version_) {
      *stable = false;  // the lookup ran host code that changed the maps
    }
    if (value != nullptr) {
      Ref held = Ref::borrow(value);
      if (!PyLong_Check(value)) {
        // The conversion may run host code; from here on every token goes
        // through the host's protocols.
        tainted_ = true;
        *stable = false;
      }
      int32_t stored;
      if (!to_int32(value, &stored) || !check_storable(stored)) return *line = 72, false;
      *id = stored;
      return true;
    }
    if (PyErr_Occurred()) return *line = 66, false;
    return insert_new(token, id, line);
  }

  // A new token: `next_id` stored into both maps (each read at the moment
  // of its store), then advanced.
  bool insert_new(PyObject* token, int32_t* id, int* line) {
    // Cheap while the map has changed only by our own insertions; rescans
    // after host code changed it.
    raise_next_id_past_dict(c_);
    if (!check_id_available(c_) || !check_storable(c_->next_id)) return *line = 67, false;
    const int32_t new_id = c_->next_id;
    Ref id_obj = Ref::steal(PyLong_FromLong(new_id));
    if (!id_obj) return *line = 68, false;
    Ref forward = Ref::borrow(c_->global_dict);
    if (PyDict_CheckExact(forward.get())) {
      const uint64_t version = dict_version(forward.get());
      if (PyDict_SetItem(forward.get(), token, id_obj.get()) < 0) return *line = 68, false;
      note_stored_id(c_, version, new_id);
      if (version == cache_version_ && forward.get() == cache_forward_.get()) {
        cache_version_ = dict_version(forward.get());
      }
    } else if (PyObject_SetItem(forward.get(), token, id_obj.get()) < 0) {
      return *line = 68, false;
    }
    Ref inverse = Ref::borrow(c_->inverse_dict);
    const bool inverse_is_dict = PyDict_Check(inverse.get());
    const uint64_t inverse_version = inverse_is_dict ? dict_version(inverse.get()) : 0;
    if (PyObject_SetItem(inverse.get(), id_obj.get(), token) < 0) return *line = 69, false;
    if (inverse_is_dict && inverse.get() == c_->inverse_dict) {
      note_inverse_store(c_, inverse_version);
    }
    c_->next_id = new_id + 1;
    *id = new_id;
    return true;
  }

  CompressorObject* c_;
  Collected& in_;
  uint8_t* records_;
  std::vector<int32_t> slot_ids_;
  bool tainted_ = false;
  // Both maps plain dicts whose keys run no host code when hashed or
  // compared: then the module's own lookups and insertions run none either.
  bool plain_ = false;
  Ref cache_forward_;  // held, so that its identity cannot be reused
  uint64_t cache_version_ = 0;
};

// Step 12: the package object into the output file, replacing it whole.
bool write_package(PyObject* package, PyObject* output_path) {
  ReplacingFile out;
  if (!out.open(output_path)) return fail_int(w, 89), false;
  FileBlock block(w, 89);
  bool ok = block.run(out.file(), [&](PyObject* file) {
    if (!pickle_dump(package, file)) return fail_int(w, 90), false;
    return true;
  });
  if (!ok) {
    out.abandon();
    return false;
  }
  if (!out.commit()) return fail_int(w, 89), false;
  return true;
}

}  // namespace

PyObject* encode_files(PyObject* self, PyObject* filepaths, PyObject* output_path,
                       int32_t zstd_level, int32_t threads) {
  CompressorObject* c = as_compressor(self);
  const Names& n = names();
  Collected in;
  in.boundaries = Ref::steal(PyList_New(0));
  if (!in.boundaries) return fail(w, 47);
  in.filenames = Ref::steal(PyList_New(0));
  if (!in.filenames) return fail(w, 48);

  if (!read_all(self, filepaths, in)) return nullptr;

  const uint64_t count = in.total();
  if (in.over_limit()) {
    PyErr_Format(PyExc_OverflowError,
                 "%llu tokens are more than the 536870912 one package can hold",
                 static_cast<unsigned long long>(count));
    return fail(w, 59);
  }
  Ref packed = Ref::steal(
      PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(count * 4)));
  if (!packed) return fail(w, 59);
  uint8_t* records = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(packed.get()));
  {
    IdWriter writer(c, in, records);
    if (!writer.run()) return nullptr;
  }

  Ref compressed = zstd_compress(packed.get(), zstd_level, threads);
  if (!compressed) return fail(w, 80);
  packed.reset();

  Ref package = Ref::steal(PyDict_New());
  if (!package || PyDict_SetItem(package.get(), n.key_compressed, compressed.get()) < 0 ||
      PyDict_SetItem(package.get(), n.key_file_boundaries, in.boundaries.get()) < 0 ||
      PyDict_SetItem(package.get(), n.key_filenames, in.filenames.get()) < 0 ||
      PyDict_SetItem(package.get(), n.key_global_dict, c->global_dict) < 0) {
    return fail(w, 84);
  }
  if (!write_package(package.get(), output_path)) return nullptr;

  Py_ssize_t size = PyObject_Length(compressed.get());
  if (size < 0) return fail(w, 92);
  PyObject* result = PyLong_FromSsize_t(size);
  if (result == nullptr) return fail(w, 92);
  return result;
}

}  // namespace qbc
