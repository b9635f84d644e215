// Output files that replace their target only once completely written.
#pragma once

#include "binding/handle.hpp"

namespace qbc {

// Writes a new file beside the target and renames it over the target after
// a successful write, so that a failed write leaves the previous file as it
// was and no temporary file behind. Targets that exist and are not regular
// files (/dev/null, a FIFO), and paths that are not file system paths, are
// written in place through the host's `open` as before.
class ReplacingFile {
 public:
  ReplacingFile() = default;
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;
  ~ReplacingFile();

  // Opens for writing bytes ("wb"). Returns false with the host's error set
  // (the error `open(path, "wb")` raises when the target cannot be written).
  bool open(PyObject* path);

  // The host file object to write through (used as a context manager).
  Ref file() const { return file_; }

  // After the file was written and closed: makes the new contents durable and
  // moves them over the target. Returns false with an error set.
  bool commit();

  // After a failure: closes the file if still open and removes the temporary
  // file, keeping the pending exception.
  void abandon();

 private:
  Ref file_;
};

}  // namespace qbc
