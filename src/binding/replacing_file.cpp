#include "binding/replacing_file.hpp"

#include "binding/host.hpp"
#include "binding/module.hpp"

namespace qbc {

ReplacingFile::~ReplacingFile() = default;

bool ReplacingFile::open(PyObject* path) {
  // Interim: written in place.
  file_ = open_file(path, names().mode_wb);
  return static_cast<bool>(file_);
}

bool ReplacingFile::commit() { return true; }

void ReplacingFile::abandon() {}

}  // namespace qbc
