#include "binding/replacing_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "binding/host.hpp"
#include "binding/module.hpp"

namespace qbc {
namespace {

// The flags `open(path, "wb")` opens with; audit hooks see the same event.
constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

// Keeps the temporary's name within NAME_MAX: "." + base + "." + 12 hex.
constexpr std::size_t kMaxBaseLength = 200;
constexpr int kCreateAttempts = 100;

// The file system path of `path` as bytes, the way `open` derives it: str
// encoded with the file system encoding, bytes as they are. Returns false
// without an error set for anything `open` treats differently (numbers are
// descriptors) or rejects (None, an embedded NUL, an unencodable str): those
// go to `open` itself, which then raises its own error. `fs` receives the
// str or bytes path, which is what `open` names in its errors.
bool fs_path_bytes(PyObject* path, Ref* fs_out, std::string* out) {
  if (PyNumber_Check(path)) return false;
  Ref fs = Ref::steal(PyOS_FSPath(path));
  if (!fs) {
    PyErr_Clear();
    return false;
  }
  Ref bytes = fs;
  if (PyUnicode_Check(fs.get())) {
    bytes = Ref::steal(PyUnicode_EncodeFSDefault(fs.get()));
    if (!bytes) {
      PyErr_Clear();
      return false;
    }
  }
  const char* data = PyBytes_AS_STRING(bytes.get());
  std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()));
  if (size == 0 || std::memchr(data, '\0', size) != nullptr) return false;
  out->assign(data, size);
  *fs_out = std::move(fs);
  return true;
}

// Twelve hex digits from the kernel's random source, or from the clock and
// process id when that is unavailable.
std::string random_suffix() {
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    static std::atomic<unsigned> counter{0};
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    unsigned long long mix = static_cast<unsigned long long>(ts.tv_nsec) ^
                             (static_cast<unsigned long long>(ts.tv_sec) << 20) ^
                             (static_cast<unsigned long long>(getpid()) << 32) ^ ++counter;
    for (auto& b : bytes) {
      b = static_cast<unsigned char>(mix);
      mix = (mix >> 8) * 0x9E3779B97F4A7C15ULL + 1;
    }
  }
  static const char kHex[] = "0123456789abcdef";
  std::string s;
  for (unsigned char b : bytes) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

// What the replacing way needs once the temporary exists. The directory is
// held open, and the two files named within it, so that the rename and the
// clean-up reach the directory the path named when it was opened, as the
// host's file stays the file it opened, whatever the current directory is
// by then.
struct Prepared {
  std::string target;  // name in the directory
  std::string temp;    // name in the directory
  int dir_fd = -1;
  int fd = -1;   // the temporary, to be handed to the host's `open`
  int dup = -1;  // kept for fsync at commit
};

void close_and_unlink(int fd, int dir_fd, const std::string& name) {
  ::close(fd);
  ::unlinkat(dir_fd, name.c_str(), 0);
  ::close(dir_fd);
}

// Decides whether `path` can be replaced and, if so, creates the temporary.
// Runs without the interpreter lock: plain system calls only. Returns false
// (with nothing left behind) when the target must be written in place.
bool prepare_replacement(const std::string& path, Prepared* out) {
  if (path.back() == '/') return false;

  struct stat st;
  bool exists;
  std::string target = path;
  if (::lstat(path.c_str(), &st) == 0) {
    exists = true;
    if (S_ISLNK(st.st_mode)) {
      // Replace the file the link points to, so that the link stays a link.
      // A dangling link is written through by `open`, which creates its
      // target.
      char* real = ::realpath(path.c_str(), nullptr);
      if (real == nullptr) return false;
      target = real;
      std::free(real);
      if (::stat(target.c_str(), &st) != 0) return false;
    }
    // Devices, FIFOs and directories go to `open`; so does a file with other
    // links (they must keep seeing the new contents) and one we may not
    // write, for which `open` raises its permission error.
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
  } else {
    if (errno != ENOENT) return false;
    exists = false;
  }

  std::size_t slash = target.rfind('/');
  std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return false;
  std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash);
  if (dir.empty()) dir.assign(1, '/');
  std::string base = name.substr(0, kMaxBaseLength);
  const int dir_fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return false;

  // A new target gets the mode `open` would give it (0666 less the umask);
  // an existing one's mode is copied below, so start private.
  const mode_t mode = exists ? 0600 : 0666;
  int fd = -1;
  std::string temp;
  for (int attempt = 0; attempt < kCreateAttempts && fd < 0; ++attempt) {
    temp = "." + base + "." + random_suffix();
    fd = ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno != EEXIST && errno != EINTR) break;
  }
  if (fd < 0) {
    ::close(dir_fd);
    return false;
  }

  if (exists) {
    // The replaced file keeps its owner, group and permission bits; when we
    // cannot give it the same owner (someone else's file), write in place.
    // fchmod comes after fchown, which may clear set-id bits.
    struct stat made;
    if (::fstat(fd, &made) != 0 ||
        ((made.st_uid != st.st_uid || made.st_gid != st.st_gid) &&
         ::fchown(fd, st.st_uid, st.st_gid) != 0) ||
        ::fchmod(fd, st.st_mode & 07777) != 0) {
      close_and_unlink(fd, dir_fd, temp);
      return false;
    }
  }

  int dup = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (dup < 0) {
    close_and_unlink(fd, dir_fd, temp);
    return false;
  }
  out->target = std::move(name);
  out->temp = std::move(temp);
  out->dir_fd = dir_fd;
  out->fd = fd;
  out->dup = dup;
  return true;
}

bool prepare_without_lock(const std::string& path, Prepared* out) {
  bool ok = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    ok = prepare_replacement(path, out);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  Py_END_ALLOW_THREADS
  return ok;
}

// Closes `fd` after the host's `open(fd)` failed, unless that already closed
// it: the number is closed only while it still refers to the temporary (the
// same file as the kept duplicate), never a descriptor reused meanwhile.
void close_if_still_temporary(int fd, int dup) {
  struct stat a, b;
  if (::fstat(fd, &a) == 0 && ::fstat(dup, &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino) {
    ::close(fd);
  }
}

// Makes the rename durable; best effort, as not every file system allows it
// (and a directory we may not read cannot be opened to sync it).
void sync_directory(int dir_fd) {
  Py_BEGIN_ALLOW_THREADS
  int dfd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  Py_END_ALLOW_THREADS
}

}  // namespace

ReplacingFile::~ReplacingFile() {
  if (file_ || fd_ >= 0 || !temp_.empty() || dir_fd_ >= 0) abandon();
}

bool ReplacingFile::open_in_place(PyObject* path) {
  file_ = open_file(path, names().mode_wb);
  return static_cast<bool>(file_);
}

bool ReplacingFile::open(PyObject* path) {
  std::string name;
  Prepared prepared;
  // The temporary is handed to `open` as a descriptor and closed again at
  // commit: only the host's own `open` is sure to take both as
  // open(path, "wb") would be taken. Another one is called with the path.
  if (!opens_host_files() || !fs_path_bytes(path, &path_, &name) ||
      !prepare_without_lock(name, &prepared)) {
    return open_in_place(path);
  }
  target_ = std::move(prepared.target);
  temp_ = std::move(prepared.temp);
  dir_fd_ = prepared.dir_fd;
  fd_ = prepared.dup;

  // Audit hooks see the target's path, as they would for open(path, "wb").
  if (PySys_Audit("open", "Osi", path_.get(), "w", kWriteFlags) < 0) {
    ::close(prepared.fd);
    discard();
    return false;
  }
  // The host's own buffered writer over the temporary; it owns (closes) the
  // descriptor.
  Ref fd_obj = Ref::steal(PyLong_FromLong(prepared.fd));
  if (fd_obj) file_ = open_file(fd_obj.get(), names().mode_wb);
  if (!file_) {
    close_if_still_temporary(prepared.fd, fd_);
    discard();
    return false;
  }
  // Named by the path, as the file `open(path, "wb")` returns is; the
  // descriptor it was opened on is no one else's business.
  Ref raw = Ref::steal(PyObject_GetAttrString(file_.get(), "raw"));
  if (!raw || PyObject_SetAttrString(raw.get(), "name", path) < 0) PyErr_Clear();
  return true;
}

bool ReplacingFile::commit() {
  if (temp_.empty()) {
    file_.reset();
    return true;
  }
  // The caller's block has closed the file; closing again is a no-op, and
  // otherwise flushes the buffered writer before the data is synced.
  if (file_) {
    Ref closed = call_method(file_.get(), names().close);
    if (!closed) {
      abandon();
      return false;
    }
    file_.reset();
  }

  int err = 0;
  Py_BEGIN_ALLOW_THREADS
  // File systems that cannot sync a regular file report EINVAL; there is
  // nothing more to make durable then.
  if (::fsync(fd_) != 0 && errno != EINVAL) err = errno;
  Py_END_ALLOW_THREADS
  if (err != 0) return fail_errno(err);

  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) return fail_errno(errno);

  Py_BEGIN_ALLOW_THREADS
  if (::renameat(dir_fd_, temp_.c_str(), dir_fd_, target_.c_str()) != 0) err = errno;
  Py_END_ALLOW_THREADS
  if (err != 0) return fail_errno(err);
  temp_.clear();

  sync_directory(dir_fd_);
  ::close(dir_fd_);
  dir_fd_ = -1;
  return true;
}

void ReplacingFile::abandon() {
  if (file_) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref closed = call_method(file_.get(), names().close);
    if (!closed) PyErr_Clear();
    PyErr_Restore(type, value, tb);
    file_.reset();
  }
  discard();
}

void ReplacingFile::discard() noexcept {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    ::unlinkat(dir_fd_, temp_.c_str(), 0);
    temp_.clear();
  }
  if (dir_fd_ >= 0) {
    ::close(dir_fd_);
    dir_fd_ = -1;
  }
}

bool ReplacingFile::fail_errno(int err) {
  discard();
  errno = err;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path_.get());
  return false;
}

}  // namespace qbc
