// `tokenize` and `detokenize`.
#include "dictionary/tokenize.hpp"

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "dictionary/token_index.hpp"

namespace qbc {

int native_findall_applies() {
  Ref re = module_global(names().re);
  if (!re) return -1;
  if (re.get() != originals().re_module) return 0;
  Ref findall = getattr(re.get(), names().findall);
  if (!findall) return -1;
  return findall.get() == originals().re_findall ? 1 : 0;
}

Ref tokenize_builtin(PyObject* text) {
  const Where& w = kTokenizeWhere;
  Ref re = module_global(names().re);
  if (!re) return fail(w, 39);
  Ref findall = getattr(re.get(), names().findall);
  if (!findall) return fail(w, 39);
  // While `re.findall` is the host's own function, the native scanner gives
  // the very list it would (equal tokens then share one str object).
  if (re.get() == originals().re_module && findall.get() == originals().re_findall &&
      PyUnicode_CheckExact(text)) {
    Ref tokens = TokenIndex::split(text);
    if (!tokens) return fail(w, 39);
    return tokens;
  }
  Ref tokens = call(findall.get(), names().token_pattern, text);
  if (!tokens || !check_exact_or_none(tokens.get(), &PyList_Type, "list")) return fail(w, 39);
  return tokens;
}

Ref detokenize_builtin(PyObject* tokens) {
  Ref text = Ref::steal(PyUnicode_Join(names().empty_str, tokens));
  if (!text) return fail(kDetokenizeWhere, 42);
  return text;
}

}  // namespace qbc
