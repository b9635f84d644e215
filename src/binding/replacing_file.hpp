// Output files that replace their target only once completely written.
#pragma once

#include <string>

#include "binding/handle.hpp"

namespace qbc {

// Writes a new file beside the target and renames it over the target after
// a successful write, so that a failed write leaves the previous file as it
// was and no temporary file behind. Targets that exist and are not regular
// files (/dev/null, a FIFO), and paths that are not file system paths, are
// written in place through the host's `open` as before.
//
// The replacing way is taken for str, bytes and os.PathLike paths whose
// target is missing, or is a regular file with a single link that we may
// write and whose owner and group the new file can be given. A symlink is
// followed: the new file is written beside the file it points to and renamed
// over that file, so the link stays a link. In every other case (a number, a
// dangling symlink, a hard-linked file, a file owned by someone else, a
// directory in which no new file can be created, ...) the path object goes
// unchanged to the start-up `open(path, "wb")`, which either writes in place
// or raises its own error.
//
// Usage: open(), write through file() inside a FileBlock (whose `__exit__`
// closes the file), then commit() on success or abandon() on failure. The
// destructor abandons when neither was called.
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
  // Opens the original path object through the start-up `open`.
  bool open_in_place(PyObject* path);
  // Closes the kept descriptor and removes the temporary file, if any.
  void discard() noexcept;
  // Cleans up, then raises OSError for `err` naming the target; returns false.
  bool fail_errno(int err);

  Ref file_;            // host file object over the temporary (or the target)
  Ref path_;            // the str or bytes path, named in errors
  // The directory holding both files, and their names in it.
  int dir_fd_ = -1;
  std::string target_;  // file the temporary replaces (symlinks resolved)
  std::string temp_;    // temporary file; empty when written in place
  int fd_ = -1;         // duplicate of the temporary's descriptor
};

}  // namespace qbc
