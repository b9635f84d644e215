// Pickling of compressor objects.
//
// The reduce value names the module function `__pyx_unpickle_QBCompressor`
// with the object's class and the layout checksum; the state tuple holds the
// four fields (and the attribute dictionary of subclass instances).
#include "binding/pickling.hpp"

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"

namespace qbc {
namespace {

// Reads `obj.__dict__`; an attribute error means there is none (result
// None). Returns null on any other error.
Ref optional_dict(PyObject* obj) {
  Ref value = getattr(obj, names().dunder_dict);
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return value;
}

// Applies a state tuple (or None) to an object: three references, the
// converted counter, then the attribute dictionary.
bool apply_state(PyObject* obj, PyObject* state) {
  const Where& w = kSetStateFnWhere;
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return fail_int(w, 12), false;
  }
  CompressorObject* c = as_compressor(obj);
  const Py_ssize_t size = PyTuple_GET_SIZE(state);
  PyObject** fields[] = {&c->dict_path, &c->global_dict, &c->inverse_dict};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    if (i >= size) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return fail_int(w, 12), false;
    }
    replace_slot(fields[i], PyTuple_GET_ITEM(state, i));
  }
  if (size < 4) {
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return fail_int(w, 12), false;
  }
  int32_t next_id;
  if (!to_int32(PyTuple_GET_ITEM(state, 3), &next_id)) return fail_int(w, 12), false;
  c->next_id = next_id;
  if (size > 4) {
    // hasattr(obj, "__dict__"): only an attribute error means "no".
    Ref probe = getattr(obj, names().dunder_dict);
    if (!probe) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return fail_int(w, 13), false;
      PyErr_Clear();
    } else {
      Ref target = getattr(obj, names().dunder_dict);
      if (!target) return fail_int(w, 14), false;
      Ref done = call_method(target.get(), names().update, PyTuple_GET_ITEM(state, 4));
      if (!done) return fail_int(w, 14), false;
    }
  }
  return true;
}

// `from pickle import PickleError`, through the host's import machinery.
Ref import_pickle_error() {
  Ref fromlist = Ref::steal(PyTuple_Pack(1, names().PickleError));
  if (!fromlist) return nullptr;
  Ref module = Ref::steal(PyImport_ImportModuleLevelObject(names().pickle, module_globals(),
                                                            nullptr, fromlist.get(), 0));
  if (!module) return nullptr;
  Ref value = getattr(module.get(), names().PickleError);
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R", names().PickleError,
                 names().pickle);
  }
  return value;
}

// `raise cls(message)` with the host's rules for what may be raised.
void raise_with_message(PyObject* cls, PyObject* message) {
  if (!PyExceptionClass_Check(cls)) {
    PyErr_SetString(PyExc_TypeError,
                    "raise: exception class must be a subclass of BaseException");
    return;
  }
  Ref instance = call(cls, message);
  if (!instance) return;
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_Format(PyExc_TypeError,
                 "calling %R should have returned an instance of BaseException, not %R", cls,
                 Py_TYPE(instance.get()));
    return;
  }
  PyErr_SetObject(cls, instance.get());
}

}  // namespace

bool setup_pickling(PyTypeObject* type) {
  PyObject* d = type->tp_dict;
  auto move = [&](const char* from, const char* to) {
    PyObject* entry = PyDict_GetItemString(d, from);
    if (entry == nullptr) return false;
    Py_INCREF(entry);
    int rc = PyDict_SetItemString(d, to, entry);
    Py_DECREF(entry);
    return rc == 0 && PyDict_DelItemString(d, from) == 0;
  };
  if (!move("__reduce_cython__", "__reduce__") || !move("__setstate_cython__", "__setstate__")) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s",
                   type->tp_name);
    }
    return false;
  }
  PyType_Modified(type);
  return true;
}

PyObject* reduce_object(PyObject* self) {
  const Where& w = kReduceWhere;
  CompressorObject* c = as_compressor(self);
  Ref next_id = Ref::steal(PyLong_FromLong(c->next_id));
  if (!next_id) return fail(w, 5);
  Ref state = Ref::steal(
      PyTuple_Pack(4, c->dict_path, c->global_dict, c->inverse_dict, next_id.get()));
  if (!state) return fail(w, 5);
  Ref attrs = optional_dict(self);
  if (!attrs) return fail(w, 6);
  bool separate_state;
  if (attrs.get() != Py_None) {
    Ref extra = Ref::steal(PyTuple_Pack(1, attrs.get()));
    if (!extra) return fail(w, 8);
    state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
    if (!state) return fail(w, 8);
    separate_state = true;
  } else {
    separate_state =
        c->dict_path != Py_None || c->global_dict != Py_None || c->inverse_dict != Py_None;
  }
  const int line = separate_state ? 13 : 15;
  Ref fn = module_global(names().unpickle_fn);
  if (!fn) return fail(w, line);
  Ref checksum = Ref::steal(PyLong_FromLongLong(kLayoutChecksum));
  if (!checksum) return fail(w, line);
  PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject* result;
  if (separate_state) {
    Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum.get(), Py_None));
    if (!args) return fail(w, line);
    result = PyTuple_Pack(3, fn.get(), args.get(), state.get());
  } else {
    Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum.get(), state.get()));
    if (!args) return fail(w, line);
    result = PyTuple_Pack(2, fn.get(), args.get());
  }
  if (result == nullptr) return fail(w, line);
  return result;
}

PyObject* setstate_object(PyObject* self, PyObject* state) {
  if (!check_exact_or_none(state, &PyTuple_Type, "tuple") || !apply_state(self, state)) {
    return fail(kSetStateWhere, 17);
  }
  Py_RETURN_NONE;
}

PyObject* unpickle_object(PyObject* type, int64_t checksum, PyObject* state) {
  const Where& w = kUnpickleWhere;
  bool accepted = false;
  for (int64_t value : kAcceptedChecksums) accepted = accepted || value == checksum;
  if (!accepted) {
    Ref error_class = import_pickle_error();
    if (!error_class) return fail(w, 5);
    Ref format = Ref::steal(PyUnicode_FromString(
        "Incompatible checksums (0x%x vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = (dict_path, "
        "global_dict, inverse_dict, next_id))"));
    if (!format) return fail(w, 6);
    Ref value = Ref::steal(PyLong_FromLongLong(checksum));
    if (!value) return fail(w, 6);
    Ref message = Ref::steal(PyUnicode_Format(format.get(), value.get()));
    if (!message) return fail(w, 6);
    raise_with_message(error_class.get(), message.get());
    return fail(w, 6);
  }
  Ref new_fn = getattr(reinterpret_cast<PyObject*>(&CompressorType), names().dunder_new);
  if (!new_fn) return fail(w, 7);
  Ref result = call(new_fn.get(), type);
  if (!result) return fail(w, 7);
  if (state != Py_None) {
    if (!check_exact_or_none(state, &PyTuple_Type, "tuple") ||
        !apply_state(result.get(), state)) {
      return fail(w, 9);
    }
  }
  return result.release();
}

}  // namespace qbc
