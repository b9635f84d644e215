// The dictionary file: one pickle of {"dict": <forward map>, "next_id": <int>}.
#include "dictionary/dictionary_file.hpp"

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "binding/replacing_file.hpp"
#include "dictionary/inverse_map.hpp"

namespace qbc {

PyObject* load_dict(PyObject* self) {
  const Where& w = kLoadDictWhere;
  const Names& n = names();
  CompressorObject* c = as_compressor(self);

  Ref exists = os_path_call(n.exists, c->dict_path);
  if (!exists) return fail(w, 22);
  int present = to_truth(exists.get());
  if (present < 0) return fail(w, 22);
  if (!present) Py_RETURN_NONE;

  FileBlock block(w, 23);
  bool ok = block.run(open_file(c->dict_path, n.mode_rb), [&](PyObject* f) {
    Ref data = pickle_load(f);
    if (!data) return fail_int(w, 24), false;

    Ref empty = Ref::steal(PyDict_New());
    if (!empty) return fail_int(w, 25), false;
    Ref forward = call_method(data.get(), n.get, n.key_dict, empty.get());
    if (!forward) return fail_int(w, 25), false;
    replace_slot(&c->global_dict, forward.get());

    // The reverse map is built from the map now held, and stored once whole.
    Ref inverse = build_inverse(c->global_dict);
    if (!inverse) return fail_int(w, 26), false;
    replace_slot(&c->inverse_dict, inverse.get());

    Ref stored = call_method(data.get(), n.get, n.key_next_id, n.one);
    int32_t next_id;
    if (!stored || !to_int32(stored.get(), &next_id)) return fail_int(w, 27), false;
    c->next_id = next_id;
    return true;
  });
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* save_dict(PyObject* self) {
  const Where& w = kSaveDictWhere;
  const Names& n = names();
  CompressorObject* c = as_compressor(self);

  Ref next_id = Ref::steal(PyLong_FromLong(c->next_id));
  if (!next_id) return fail(w, 30);
  Ref data = Ref::steal(PyDict_New());
  if (!data || PyDict_SetItem(data.get(), n.key_dict, c->global_dict) < 0 ||
      PyDict_SetItem(data.get(), n.key_next_id, next_id.get()) < 0) {
    return fail(w, 30);
  }

  ReplacingFile out;
  if (!out.open(c->dict_path)) return fail(w, 31);
  FileBlock block(w, 31);
  bool ok = block.run(out.file(), [&](PyObject* f) {
    if (!pickle_dump(data.get(), f)) return fail_int(w, 32), false;
    return true;
  });
  if (!ok) {
    out.abandon();
    return nullptr;
  }
  if (!out.commit()) return fail(w, 31);
  Py_RETURN_NONE;
}

}  // namespace qbc
