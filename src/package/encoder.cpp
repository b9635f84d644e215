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
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "binding/compressor.hpp"
#include "binding/convert.hpp"
#include "binding/host.hpp"
#include "binding/module.hpp"
#include "binding/replacing_file.hpp"
#include "dictionary/id_assign.hpp"
#include "dictionary/inverse_map.hpp"
#include "dictionary/new_dict_table.hpp"
#include "dictionary/token_index.hpp"
#include "dictionary/token_scan.hpp"
#include "dictionary/tokenize.hpp"
#include "package/format.hpp"
#include "package/text_file.hpp"
#include "package/zstd_adapter.hpp"

namespace qbc {
namespace {

const Where& w = kEncodeWhere;

// Calls whose records take this much, or that make this many token strs
// (with their ints some megabytes of small objects), make their strs and
// ints in huge pages, unless they have read kSmallPagesFromText of text.
constexpr uint64_t kHugeArenasFrom = uint64_t{8} << 20;
constexpr uint32_t kHugeArenasTokens = 16384;
// Once a call has read this much text, its memory from then on comes in
// small pages (see SmallPagesOnly).
constexpr size_t kSmallPagesFromText = size_t{8} << 20;

// Everything the reading phase collects.
struct Collected {
  // Released once the ids are written: the maps hold every str still needed.
  std::unique_ptr<TokenIndex> index{new TokenIndex};
  SlotStream stream;
  // Objects other than exact str that a tokenize override returned; the
  // stream refers to them as kOddMark | position.
  std::vector<Ref> odd;
  // Tokens counted but not kept once the call has more than one package can
  // hold: the call fails before any id is assigned, so only the count
  // matters, and memory stays bounded.
  uint64_t dropped = 0;
  // Tokens of each input, in input order.
  std::vector<uint64_t> counts;
  // Bytes of the texts read.
  size_t text_bytes = 0;
  Ref filenames;
  // Set once the texts read reach kSmallPagesFromText, for the rest of the
  // call.
  std::optional<SmallPagesOnly> small_pages;

  uint64_t total() const { return stream.size() + dropped; }
  bool over_limit() const { return total() > kMaxRecords; }
  // What the call works with, while the stream is whole: the texts read or
  // the records, whichever is larger (a text of long tokens has few
  // records).
  size_t working_bytes() const { return std::max(text_bytes, static_cast<size_t>(total() * 4)); }

  // The runs of a text's code units into the index, or only counted once
  // the call holds more tokens than a package can; returns the number of
  // tokens, or -1 when memory ran out (no host error set). Touches no host
  // object.
  int64_t scan(int kind, const void* data, size_t length) noexcept {
    const uint64_t before = total();
    if (over_limit()) {
      dropped += count_units(kind, data, length);
    } else if (!index->scan_units(kind, data, length, stream)) {
      return -1;
    }
    return static_cast<int64_t>(total() - before);
  }

  // Takes in the tokens that `side` scanned of the text following all
  // scanned so far (see TokenIndex::absorb), or only counts them past the
  // package limit; returns their number, or -1 when memory ran out.
  int64_t absorb(TokenIndex& side, SlotStream& side_stream) noexcept {
    const uint64_t before = total();
    if (over_limit()) {
      dropped += side_stream.size();
    } else if (!index->absorb(side, side_stream, stream)) {
      return -1;
    }
    return static_cast<int64_t>(total() - before);
  }

  // Number of runs in a text, without keeping them.
  static uint64_t count_units(int kind, const void* data, size_t length) noexcept {
    switch (kind) {
      case PyUnicode_1BYTE_KIND:
        return count_runs(static_cast<const uint8_t*>(data), length);
      case PyUnicode_2BYTE_KIND:
        return count_runs(static_cast<const uint16_t*>(data), length);
      default:
        return count_runs(static_cast<const uint32_t*>(data), length);
    }
  }
};

// The first position from `from` on at which a run of `text[0, n)` begins,
// or `n` when there is none.
template <class Unit>
size_t run_start_from(const Unit* text, size_t n, size_t from) {
  if (from == 0 || from >= n) return from == 0 ? 0 : n;
  const bool space = is_space_unit(text[from - 1]);
  while (from < n && is_space_unit(text[from]) == space) ++from;
  return from;
}

size_t run_start_from(int kind, const void* data, size_t n, size_t from) {
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      return run_start_from(static_cast<const uint8_t*>(data), n, from);
    case PyUnicode_2BYTE_KIND:
      return run_start_from(static_cast<const uint16_t*>(data), n, from);
    default:
      return run_start_from(static_cast<const uint32_t*>(data), n, from);
  }
}

// Scans texts on a second thread while the host reads the next file.
//
// The worker touches no host object: it reads the code units of strs that
// the calling thread keeps referenced until they are scanned, and writes
// only the collection's index and stream, which the calling thread uses
// again only after drain(). Texts are released on the calling thread.
//
// A long text is handed over in two parts, cut where a run begins. Once
// everything is read, the calling thread would only wait for the worker, so
// in drain() it scans the last part that the worker has not begun into an
// index of its own, with the interpreter lock released; the worker takes
// that in (TokenIndex::absorb) when it comes to the part, which gives the
// same slots as scanning it there. A text that ends the reading, as a lone
// large file does, is so scanned on both cores.
class ScanWorker {
 public:
  // Texts waiting to be scanned are held up to this many bytes; beyond it
  // the reader waits, so that memory stays bounded when reading outpaces
  // scanning.
  static constexpr size_t kMaxBacklog = size_t{16} << 20;
  // Texts of this many bytes or more are handed over in two parts.
  static constexpr size_t kSplitFrom = size_t{8} << 20;
  // Bytes of a text scanned between givings back of its pages.
  static constexpr size_t kDiscardPiece = size_t{4} << 20;
  // Parts of this many code units or more have the index they go into
  // sized for them before they are scanned.
  static constexpr size_t kExpectFrom = size_t{4} << 20;

  explicit ScanWorker(Collected& out) : out_(out) {}
  ScanWorker(const ScanWorker&) = delete;
  ScanWorker& operator=(const ScanWorker&) = delete;

  ~ScanWorker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    join_releasing_lock(thread_);
    collect();
    for (Job& job : jobs_) Py_XDECREF(job.text);
  }

  // Hands a text over for scanning as input `file`. Returns false when it
  // could not be handed over (no thread, no memory for the job), with every
  // text handed over before scanned; the caller then scans itself.
  //
  // `only_ours` tells that no one else holds the text and that the caller
  // lets go of its own reference now: no one can see its characters once
  // they are scanned, and the pages of a long one are then given back as
  // the scan goes, so that the text does not stay resident beside the
  // index that grows from it.
  bool submit(PyObject* text, size_t file, bool only_ours) {
    if (!start()) return false;
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const size_t bytes = length * static_cast<size_t>(kind);
    collect();
    if (!has_room(bytes)) {
      Py_BEGIN_ALLOW_THREADS
      std::unique_lock<std::mutex> lock(mutex_);
      waiting_with_ = bytes;
      room_.wait(lock, [&] { return room_after_wait(bytes); });
      waiting_with_ = 0;
      Py_END_ALLOW_THREADS
      collect();
    }
    const bool long_text = bytes >= kSplitFrom;
    const size_t cut = long_text ? run_start_from(kind, data, length, length / 2) : length;
    const auto part = [&](size_t begin, size_t end, bool helpable) {
      const size_t at = begin * static_cast<size_t>(kind);
      return Job{text, file, kind, static_cast<const char*>(data) + at, end - begin,
                 (end - begin) * static_cast<size_t>(kind), helpable, long_text && only_ours};
    };
    try {
      // Both parts or neither: the worker sees the jobs only once the lock
      // is let go.
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(part(0, cut, false));
      if (cut < length) {
        try {
          jobs_.push_back(part(cut, length, true));
        } catch (const std::bad_alloc&) {
          jobs_.pop_back();
          throw;
        }
      }
      backlog_ += bytes;
    } catch (const std::bad_alloc&) {
      wait_idle();
      return false;
    }
    // The caller's reference keeps the text alive until these are taken.
    Py_INCREF(text);
    if (cut < length) Py_INCREF(text);
    wake_.notify_one();
    return true;
  }

  // A part scanned by the calling thread, into an index of its own.
  struct Side {
    std::unique_ptr<TokenIndex> index;
    SlotStream stream;
    bool done = false;  // guarded by the mutex
    bool ok = false;
    // The text is let go of, and the worker may take the part in; guarded
    // by the mutex.
    bool let_go = false;
  };

  // Hands over a part of input `file` scanned already into `side`, for the
  // worker to take in after everything handed over before. Returns false
  // when it could not be handed over (no thread, no memory for the job),
  // with the worker idle: the caller then takes it in itself.
  bool submit_scanned(size_t file, const std::shared_ptr<Side>& side) {
    if (!start()) return false;
    collect();
    Job job{nullptr, file, PyUnicode_1BYTE_KIND, nullptr, 0, 0, false, false};
    job.count = static_cast<int64_t>(side->stream.size());
    side->done = side->ok = side->let_go = true;
    job.side = side;
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    } catch (const std::bad_alloc&) {
      wait_idle();
      return false;
    }
    wake_.notify_one();
    return true;
  }

  // The number of tokens of all texts so far: the worker's counts for
  // those it has scanned, counted here for the others. -1 when a scan has
  // failed or more than `most_waiting` bytes of text wait to be scanned.
  int64_t tokens_so_far(size_t most_waiting) {
    std::vector<const Job*> waiting;
    uint64_t total = 0;
    for (uint64_t n : out_.counts) total += n;
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed_) return -1;
      size_t waiting_bytes = 0;
      for (size_t i = 0; i < jobs_.size(); ++i) {
        if (i < scanned_ || at_side(jobs_[i])) {
          // Scanned, here or by the worker.
          total += static_cast<uint64_t>(jobs_[i].count);
        } else if (jobs_[i].discard) {
          return -1;  // its characters go once the worker begins it
        } else {
          waiting.push_back(&jobs_[i]);
          waiting_bytes += jobs_[i].bytes;
        }
      }
      if (waiting_bytes > most_waiting) return -1;
    } catch (const std::bad_alloc&) {
      return -1;
    }
    // The jobs and their texts stay until collect(), which only this
    // thread calls (the worker writes only their counts).
    for (const Job* job : waiting) {
      total += Collected::count_units(job->kind, job->data, job->length);
    }
    return static_cast<int64_t>(total);
  }

  // Waits until every text handed over is scanned and its count is in
  // `counts`. Returns false with MemoryError set when memory ran out.
  // `counted()` is called on the way, once the texts are let go of and
  // every count is known (see tokens_so_far), while the worker may still
  // take in what this thread scanned.
  template <class Counted>
  bool drain(Counted&& counted) {
    if (thread_.joinable()) {
      Py_BEGIN_ALLOW_THREADS
      help();
      Py_END_ALLOW_THREADS
      let_go_of_texts();
      counted();
    }
    wait_idle();
    collect();
    if (failed_) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }

 private:
  // A text, or a part of one, handed over and kept until collect() takes it
  // after its scan.
  struct Job {
    PyObject* text;
    size_t file;
    int kind;
    const void* data;  // the part's first unit
    size_t length;     // in units
    size_t bytes;
    // A text's second part, which the calling thread may scan instead.
    bool helpable;
    // The part's pages are given back as it is scanned.
    bool discard;
    bool begun = false;  // by the worker
    std::shared_ptr<Side> side;
    int64_t count = 0;
  };

  bool start() {
    if (thread_.joinable()) return true;
    if (start_failed_) return false;
    try {
      thread_ = start_thread([this] { loop(); });
    } catch (const std::exception&) {
      start_failed_ = true;
      return false;
    }
    return true;
  }

  bool room_for(size_t bytes) const { return backlog_ == 0 || backlog_ + bytes <= kMaxBacklog; }
  // A reader that had to wait goes on once the backlog is down to half,
  // rather than as soon as one text is scanned: it is then woken once for
  // many texts instead of once for each.
  bool room_after_wait(size_t bytes) const {
    return backlog_ == 0 || (backlog_ <= kMaxBacklog / 2 && room_for(bytes));
  }
  // Whether a thread waiting on `room_` may go on now: the worker is idle,
  // has come to a part the calling thread scanned, or has made the room the
  // reader waits for. Waking the calling thread after every text, only for
  // it to wait again, would cost a system call each time on the worker, and
  // on a busy machine the core it wakes on. Called with the mutex held.
  bool room_wanted() const {
    return scanned_ == jobs_.size() || jobs_[scanned_].side ||
           (waiting_with_ != 0 && room_after_wait(waiting_with_));
  }
  bool has_room(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    return room_for(bytes);
  }

  // Waits, with the interpreter lock released, until the worker has
  // scanned every job.
  void wait_idle() {
    if (!thread_.joinable()) return;
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return scanned_ == jobs_.size(); });
    Py_END_ALLOW_THREADS
  }

  // Scans the last part that the worker has not begun, then the one before
  // it, and so on, until the worker has begun them all. Called by the
  // calling thread with the interpreter lock released. A part that could
  // not be scanned for want of memory is left to the worker, unless pages
  // of it were given back: then the call fails for want of memory.
  void help() {
    while (true) {
      std::shared_ptr<Side> side;
      Job part;
      try {
        std::lock_guard<std::mutex> lock(mutex_);
        if (failed_) return;
        size_t i = jobs_.size();
        while (i > scanned_ && !(jobs_[i - 1].helpable && !jobs_[i - 1].begun &&
                                 !jobs_[i - 1].side)) {
          --i;
        }
        if (i == scanned_) return;
        Job& job = jobs_[i - 1];
        side = std::make_shared<Side>();
        job.side = side;
        part = job;
      } catch (const std::bad_alloc&) {
        return;
      }
      try {
        side->index.reset(new TokenIndex);
        size_for(*side->index, part);
        side->ok = scan_part(part, [&](const void* data, size_t length) {
          return side->index->scan_units(part.kind, data, length, side->stream) ? 0 : -1;
        }) >= 0;
      } catch (const std::bad_alloc&) {
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        side->done = true;
        if (side->ok) {
          // The part's count is known before the worker takes it in.
          for (size_t i = scanned_; i < jobs_.size(); ++i) {
            if (jobs_[i].side == side) jobs_[i].count = static_cast<int64_t>(side->stream.size());
          }
        } else if (part.discard) {
          failed_ = true;
        }
      }
      wake_.notify_all();
    }
  }

  // Scans a part with `scan(data, length)`, which returns a token count or
  // -1; returns the sum, or -1. A part whose pages are given back is
  // scanned in pieces cut where runs begin, each piece's whole pages given
  // back once scanned.
  template <class Scan>
  static int64_t scan_part(const Job& job, Scan&& scan) {
    const size_t unit = static_cast<size_t>(job.kind);
    const size_t piece = job.discard ? kDiscardPiece / unit : job.length;
    int64_t total = 0;
    for (size_t at = 0; at < job.length;) {
      const size_t end = run_start_from(job.kind, job.data, job.length,
                                        std::min(job.length, at + piece));
      const char* start = static_cast<const char*>(job.data) + at * unit;
      const int64_t n = scan(start, end - at);
      if (n < 0) return -1;
      total += n;
      if (job.discard) discard_pages(const_cast<char*>(start), (end - at) * unit);
      at = end;
    }
    return total;
  }

  // Lets go of the texts scanned so far and of those of the parts this
  // thread scanned, once the worker is idle or has come to such a part,
  // before the worker takes it in: taking in grows the index, and the
  // texts, no longer read then, are freed first.
  void let_go_of_texts() {
    Py_BEGIN_ALLOW_THREADS
    std::unique_lock<std::mutex> lock(mutex_);
    room_.wait(lock, [&] { return scanned_ == jobs_.size() || at_side(jobs_[scanned_]); });
    Py_END_ALLOW_THREADS
    collect();
    {
      // Freeing a str runs no host code, and the worker never takes the
      // interpreter lock, so the texts can go with the mutex held.
      std::lock_guard<std::mutex> lock(mutex_);
      for (size_t i = scanned_; i < jobs_.size(); ++i) {
        if (!at_side(jobs_[i])) continue;
        Py_CLEAR(jobs_[i].text);
        jobs_[i].side->let_go = true;
      }
    }
    wake_.notify_all();
  }

  static void size_for(TokenIndex& index, const Job& part) {
    if (part.length >= kExpectFrom) index.expect_text(part.length);
  }

  // A part this thread has scanned, which the worker takes in without its
  // text. Called with the mutex held.
  static bool at_side(const Job& job) { return job.side && job.side->done && job.side->ok; }

  // Jobs stay where they are while they are scanned: the worker allocates
  // nothing, so it cannot fail but for the index's own memory.
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [&] {
        if (stopping_) return true;
        if (scanned_ == jobs_.size()) return false;
        const Job& job = jobs_[scanned_];
        return !job.side || (job.side->done && (!job.side->ok || job.side->let_go));
      });
      if (stopping_) return;
      jobs_[scanned_].begun = true;
      const Job job = jobs_[scanned_];
      lock.unlock();
      int64_t count = 0;
      if (!failed_) {
        if (job.side && job.side->ok) {
          count = out_.absorb(*job.side->index, job.side->stream);
        } else {
          size_for(*out_.index, job);
          count = scan_part(job, [&](const void* data, size_t length) {
            return out_.scan(job.kind, data, length);
          });
        }
        if (count < 0) failed_ = true;
        out_.stream.publish();
      }
      if (job.side) job.side->index.reset();
      lock.lock();
      jobs_[scanned_].count = count;
      ++scanned_;
      backlog_ -= job.bytes;
      if (room_wanted()) room_.notify_all();
    }
  }

  // Takes the counts of the texts scanned so far and releases the texts.
  void collect() {
    while (true) {
      Job job;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (scanned_ == 0) return;
        job = jobs_.front();
        jobs_.pop_front();
        --scanned_;
      }
      if (job.count > 0) out_.counts[job.file] += static_cast<uint64_t>(job.count);
      Py_XDECREF(job.text);
    }
  }

  Collected& out_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;  // work arrived, or stop
  std::condition_variable room_;  // a text was scanned
  std::deque<Job> jobs_;          // handed over and not yet collected
  size_t scanned_ = 0;            // the first this many of them are scanned
  size_t backlog_ = 0;
  // The bytes of the text the reader waits to hand over; 0 when it does
  // not wait.
  size_t waiting_with_ = 0;
  bool stopping_ = false;
  bool start_failed_ = false;
  std::atomic<bool> failed_{false};
};

// The records of a call whose every token is new, made from the slot
// stream while the texts are still being scanned: with both maps empty,
// a token's id is the first id plus its slot, known as soon as the token is
// first seen. The slots given stay in the stream until confirm(), so that
// the call can still go the usual way; from then on each chunk is freed
// once given.
class RecordFeed final : public SlotStream::Listener, public CompressSource {
 public:
  void begin(SlotStream* stream, uint64_t total, int32_t first) {
    stream_ = stream;
    total_ = total;
    first_ = first;
  }

  void slots_final(uint64_t count) noexcept override {
    bool wake;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      final_ = count;
      wake = wanted_ != 0 && final_ >= wanted_;
    }
    if (wake) cv_.notify_one();
  }

  ptrdiff_t next_piece(uint8_t* buffer, size_t room) noexcept override {
    uint64_t ready;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      // A batch of slots at a time, or what is left: the scan makes a few
      // thousand final at a time, and being woken for each would cost the
      // scanning thread a system call every time.
      const uint64_t batch = std::max<uint64_t>(1, std::min<uint64_t>(room / 4, kBatch));
      wanted_ = std::min(total_, given_ + batch);
      cv_.wait(lock, [&] { return abandoned_ || given_ == total_ || final_ >= wanted_; });
      wanted_ = 0;
      if (abandoned_) return -1;
      ready = std::min(final_, total_) - given_;
      if (confirmed_) release_taken();
    }
    const uint64_t n = std::min<uint64_t>(ready, room / 4);
    uint64_t done = 0;
    while (done < n) {
      const uint32_t capacity = SlotStream::chunk_capacity(chunk_);
      const uint32_t* slots = stream_->chunk_data(chunk_) + offset_;
      const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(n - done, capacity - offset_));
      uint8_t* out = buffer + 4 * done;
      for (uint32_t i = 0; i < take; ++i) {
        store_record(out + 4 * i, static_cast<uint32_t>(first_) + slots[i]);
      }
      done += take;
      offset_ += take;
      if (offset_ == capacity) {
        ++chunk_;
        offset_ = 0;
      }
    }
    given_ += n;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      taken_chunks_ = chunk_;
    }
    return static_cast<ptrdiff_t>(4 * n);
  }

  void finished(bool ok) noexcept override {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    ok_ = ok;
  }

  // The call takes the frame: the slots given may go. False when the
  // compressor has already failed.
  bool confirm() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ && !ok_) return false;
    confirmed_ = true;
    // A compressor that is ahead of the call may have taken in every slot
    // already and not come back for more: the chunks it is done with go
    // now rather than when the stream is dropped.
    release_taken();
    return true;
  }

  void abandon() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      abandoned_ = true;
    }
    cv_.notify_one();
  }

 private:
  // Frees the chunks the compressor has wholly taken in. Under the mutex,
  // once confirmed.
  void release_taken() noexcept {
    for (; released_ < taken_chunks_; ++released_) stream_->release_chunk(released_);
  }

  // Slots taken in at a time, at most.
  static constexpr uint64_t kBatch = uint64_t{1} << 18;

  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t final_ = 0;  // slots the scan has made final
  // The final slots the compressing thread waits for; 0 when it does not
  // wait. Under the mutex.
  uint64_t wanted_ = 0;
  // Chunks wholly taken in, as the compressing thread last told, and
  // chunks freed; both under the mutex.
  size_t taken_chunks_ = 0;
  size_t released_ = 0;
  bool confirmed_ = false;
  bool abandoned_ = false;
  bool stopped_ = false;
  bool ok_ = false;
  // Set before the compressing thread starts, read only there.
  SlotStream* stream_ = nullptr;
  uint64_t total_ = 0;
  int32_t first_ = 0;
  // The compressing thread's own.
  uint64_t given_ = 0;
  size_t chunk_ = 0;
  uint32_t offset_ = 0;
};

// A compression started before the id phase, for a call in which every
// token will be new (both maps empty, the module's own scan for every
// text): it starts as soon as the number of tokens is known, while the
// texts are still being scanned when little of them is left, once they are
// scanned otherwise (then holding the compressor's buffers beside the
// texts would raise the call's peak). It is taken by confirm() when the
// tokens are collected and the maps and the next id are as they were when
// it started, so that the ids are exactly those the id phase hands out;
// if host code changed anything meanwhile, it is abandoned and the call
// goes the usual way.
class EarlyStream {
 public:
  // Texts waiting to be scanned, in bytes, up to which compressing starts
  // before the scan ends.
  static constexpr size_t kMaxWaiting = size_t{32} << 20;

  EarlyStream(CompressorObject* c, int32_t level, int32_t threads)
      : c_(c), level_(level), threads_(threads) {
    eligible_ = ids_from_slots() && NativeCompress::streams(kMaxStreamBytes, level, threads);
  }
  EarlyStream(const EarlyStream&) = delete;
  EarlyStream& operator=(const EarlyStream&) = delete;
  ~EarlyStream() { abandon(); }

  bool eligible() const { return eligible_ && !native_.started(); }
  // A text went another way than the module's own scan.
  void lose() { eligible_ = false; }
  RecordFeed& feed() { return feed_; }
  NativeCompress& native() { return native_; }

  // Starts on the `total` tokens to come into `stream`.
  void start(SlotStream* stream, uint64_t total) {
    if (!eligible() || !ids_from_slots() || total > kMaxRecords ||
        total > uint64_t{INT32_MAX} - uint64_t(c_->next_id) ||
        !NativeCompress::streams(total * 4, level_, threads_)) {
      return;
    }
    forward_ = Ref::borrow(c_->global_dict);
    inverse_ = Ref::borrow(c_->inverse_dict);
    forward_version_ = dict_version(forward_.get());
    inverse_version_ = dict_version(inverse_.get());
    first_ = c_->next_id;
    total_ = total;
    feed_.begin(stream, total, first_);
    if (!native_.start_streamed(&feed_, static_cast<size_t>(total * 4), level_, threads_)) {
      eligible_ = false;
    }
  }

  // Whether the call's records are the ones being compressed; if not, the
  // compression is abandoned.
  bool confirm(const Collected& in) {
    if (!native_.started()) return false;
    const bool same =
        eligible_ && c_->global_dict == forward_.get() && c_->inverse_dict == inverse_.get() &&
        ids_from_slots() && dict_version(forward_.get()) == forward_version_ &&
        dict_version(inverse_.get()) == inverse_version_ && c_->next_id == first_ &&
        in.odd.empty() && !in.over_limit() && in.total() == total_ && in.index &&
        in.index->size() <= uint64_t{INT32_MAX} - uint64_t(first_) &&
        zstd_compress_is_host_own() && maps_are_plain(c_);
    if (same && feed_.confirm()) return true;
    abandon();
    return false;
  }

  // Stops a compression not taken and waits for its thread, after which
  // nothing reads the stream.
  void abandon() {
    eligible_ = false;
    if (!native_.started()) return;
    feed_.abandon();
    native_.wait();
  }

 private:
  // Two distinct maps, both empty dicts, and next_id an id to hand out:
  // then every token's id is next_id plus its slot.
  bool ids_from_slots() const {
    return c_->global_dict != c_->inverse_dict && PyDict_CheckExact(c_->global_dict) &&
           PyDict_GET_SIZE(c_->global_dict) == 0 &&
           PyDict_CheckExact(c_->inverse_dict) && PyDict_GET_SIZE(c_->inverse_dict) == 0 &&
           c_->next_id >= 0;
  }

  CompressorObject* c_;
  int32_t level_;
  int32_t threads_;
  bool eligible_ = false;
  // Held, so that their identities cannot be reused.
  Ref forward_;
  Ref inverse_;
  uint64_t forward_version_ = 0;
  uint64_t inverse_version_ = 0;
  int32_t first_ = 0;
  uint64_t total_ = 0;
  // The feed outlives the compression that reads it.
  RecordFeed feed_;
  NativeCompress native_;
};

// Appends the items of a token list (an override's result or the host
// regular-expression result) to the collection; returns their number, or
// -1 with an error set.
int64_t append_list(Collected& out, PyObject* tokens) {
  if (tokens == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return -1;
  }
  const Py_ssize_t count = PyList_GET_SIZE(tokens);
  if (out.over_limit()) {
    out.dropped += static_cast<uint64_t>(count);
    return count;
  }
  try {
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyList_GET_ITEM(tokens, i);
      if (PyUnicode_CheckExact(item)) {
        uint32_t slot;
        if (!out.index->intern(item, &slot)) return -1;
        out.stream.push(slot);
      } else {
        out.stream.push(SlotStream::kOddMark | static_cast<uint32_t>(out.odd.size()));
        out.odd.push_back(Ref::borrow(item));
      }
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  return count;
}

// A long text scanned as it is read, without its str: each half into an
// index of its own, on two threads.
struct ScannedInPieces {
  std::shared_ptr<ScanWorker::Side> halves[2];
  TextFileReader::Pieces pieces;
};

// Scans a half's pieces into its side. It refers to the side's pointer, not
// the side: the sides are made only once the file's size is known, after
// the sinks are handed to the reader.
class SideSink final : public TextFileReader::PieceSink {
 public:
  explicit SideSink(std::shared_ptr<ScanWorker::Side>& side) : side_(side) {}
  bool units(int kind, const void* data, size_t length) noexcept override {
    return side_->index->scan_units(kind, data, length, side_->stream);
  }

 private:
  std::shared_ptr<ScanWorker::Side>& side_;
};

// Reads and scans input `file` in pieces when it is a long file of the
// host's own `open`, opened by a path, whose text only the module's own
// scan would see (tokenize cannot be overridden; whether the host's own
// `re.findall` is in place is asked once the file is read, as for any
// other). False, with no error set, when that does not apply or does not
// work out: the file is then read as usual.
bool scan_in_pieces(PyObject* self, bool fresh, PyObject* file, TextFileReader& reader,
                    Collected& out, ScannedInPieces* scanned) {
  if (!fresh || !tokenize_is_fixed(self)) return false;
  const auto ready = [&](uint64_t size) {
    // A file of no more bytes than a package holds tokens cannot give more
    // slots than that.
    if (size > kMaxRecords) return false;
    // At least this much text comes in: the call's memory takes small pages
    // from now on.
    if (!out.small_pages) out.small_pages.emplace();
    const size_t half = static_cast<size_t>(size / 2);
    try {
      for (auto& side : scanned->halves) {
        side = std::make_shared<ScanWorker::Side>();
        side->index.reset(new TokenIndex);
        if (half >= ScanWorker::kExpectFrom) side->index->expect_text(half);
      }
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  };
  SideSink first(scanned->halves[0]);
  SideSink second(scanned->halves[1]);
  if (reader.read_in_pieces(file, ready, first, second, &scanned->pieces)) return true;
  // What was scanned goes before the file is read again.
  for (auto& side : scanned->halves) side.reset();
  return false;
}

// Reads and tokenizes one opened input file and records its base name.
bool read_one(PyObject* self, PyObject* path, PyObject* file, Collected& out,
              ScanWorker& worker, EarlyStream& early, TextFileReader& reader) {
  const bool fresh = PyUnicode_Check(path) || PyBytes_Check(path);
  ScannedInPieces in_pieces;
  const bool pieces = scan_in_pieces(self, fresh, file, reader, out, &in_pieces);
  Ref text;
  if (pieces) {
    out.text_bytes += static_cast<size_t>(in_pieces.pieces.chars) *
                      static_cast<size_t>(in_pieces.pieces.kind);
  } else {
    text = reader.read(file, fresh);
    if (!text) text = call_method(file, names().read);
    if (!text) return fail_int(w, 53), false;
    // Whatever read() gave goes to tokenize as it is.
    if (PyUnicode_Check(text.get())) {
      out.text_bytes += static_cast<size_t>(PyUnicode_GET_LENGTH(text.get())) *
                        PyUnicode_KIND(text.get());
    }
  }
  if (out.text_bytes >= kSmallPagesFromText && !out.small_pages) out.small_pages.emplace();
  const size_t position = out.counts.size();
  Ref override_tokens;
  bool scanned = false;  // by the module's own scan
  int builtin = pieces ? 1 : dispatch_tokenize(self, text.get(), &override_tokens);
  if (builtin < 0) return fail_int(w, 53), false;
  if (builtin) {
    int native = native_findall_applies();
    if (native < 0) {
      add_traceback(kTokenizeWhere, 39);
      return fail_int(w, 53), false;
    }
    if (native && pieces) {
      scanned = true;
      out.counts.push_back(0);
      for (const auto& half : in_pieces.halves) {
        if (worker.submit_scanned(position, half)) continue;
        const int64_t n = out.absorb(*half->index, half->stream);
        if (n < 0) {
          PyErr_NoMemory();
          return fail_int(w, 53), false;
        }
        out.counts[position] += static_cast<uint64_t>(n);
        out.stream.publish();
      }
    } else if (native && PyUnicode_CheckExact(text.get())) {
      scanned = true;
      out.counts.push_back(0);
      // A str just read that nothing else refers to (an interned one is
      // seen by lookups elsewhere, even unreferenced).
      const bool only_ours = Py_REFCNT(text.get()) == 1 && !PyUnicode_CHECK_INTERNED(text.get());
      if (!worker.submit(text.get(), position, only_ours)) {
        int64_t n = out.scan(PyUnicode_KIND(text.get()), PyUnicode_DATA(text.get()),
                             static_cast<size_t>(PyUnicode_GET_LENGTH(text.get())));
        if (n < 0) {
          PyErr_NoMemory();
          return fail_int(w, 53), false;
        }
        out.counts[position] = static_cast<uint64_t>(n);
        out.stream.publish();
      }
    } else {
      if (pieces) {
        // The host's regular expressions split the text: it is read as the
        // host reads it, from the start, where the file still is, and what
        // was scanned goes first.
        for (auto& half : in_pieces.halves) half.reset();
        text = call_method(file, names().read);
        if (!text) return fail_int(w, 53), false;
      }
      override_tokens = tokenize_builtin(text.get());
      if (!override_tokens) return fail_int(w, 53), false;
    }
  }
  text.reset();
  if (!scanned) early.lose();
  if (override_tokens) {
    // The index is shared with the worker: let it finish first.
    if (!worker.drain([] {})) return fail_int(w, 53), false;
    int64_t n = append_list(out, override_tokens.get());
    if (n < 0) return fail_int(w, 54), false;
    out.counts.push_back(static_cast<uint64_t>(n));
  }
  Ref base = os_path_call(names().basename, path);
  if (!base || PyList_Append(out.filenames.get(), base.get()) < 0) {
    return fail_int(w, 56), false;
  }
  return true;
}

bool read_all(PyObject* self, PyObject* filepaths, Collected& out, EarlyStream& early) {
  if (filepaths == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
    return fail_int(w, 51), false;
  }
  ScanWorker worker(out);
  TextFileReader reader;
  // The list is walked by position, so that changes made to it meanwhile
  // are seen as a host for-loop would see them.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filepaths); ++i) {
    Ref path = Ref::borrow(PyList_GET_ITEM(filepaths, i));
    FileBlock block(w, 52);
    bool ok = block.run(open_text(path.get(), names().mode_r, nullptr), [&](PyObject* file) {
      return read_one(self, path.get(), file, out, worker, early, reader);
    });
    if (!ok) return false;
  }
  // Compressing starts as soon as the number of tokens is known: when the
  // texts are read if little is left to scan, else once the parts scanned
  // on this thread are done (the worker may still be taking them in).
  const auto start_early = [&] {
    if (!early.eligible()) return;
    const int64_t total = worker.tokens_so_far(EarlyStream::kMaxWaiting);
    if (total >= 0) early.start(&out.stream, static_cast<uint64_t>(total));
  };
  start_early();
  if (!worker.drain(start_early)) return fail_int(w, 53), false;
  if (early.eligible()) early.start(&out.stream, out.total());
  return true;
}

// The cumulative token counts, one per input.
Ref boundaries_of(const Collected& in) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(in.counts.size())));
  if (!list) return nullptr;
  uint64_t total = 0;
  for (size_t i = 0; i < in.counts.size(); ++i) {
    total += in.counts[i];
    PyObject* value = PyLong_FromUnsignedLongLong(total);
    if (value == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
  }
  return list;
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
  // Where the records may be compressed while the maps are still growing.
  struct Early {
    NativeCompress* native;
    BackgroundCompress* compress;
    PyObject* packed;  // the bytearray `records` points into, or null
    int32_t level;
    int32_t threads;
    // `native` already compresses the records, made from the stream: none
    // are written here.
    bool streamed;
    size_t packed_size;  // bytes of the records
    // Work for the calling thread while it would wait for the compressor.
    std::function<void()> while_compressing;
  };

  IdWriter(CompressorObject* c, Collected& in, uint8_t* records, const Early* early)
      : c_(c), in_(in), records_(records), early_(early),
        slot_ids_(in.index->size(), kUnresolved) {}

  bool run() {
    plain_ = maps_are_plain(c_);
    int line = 0;
    uint32_t stop = 0;
    Pending pending;
    if (early_ != nullptr && early_->streamed &&
        !(in_.odd.empty() && fast_maps() && PyDict_GET_SIZE(c_->global_dict) == 0)) {
      // Taken only for such maps, which nothing can have changed since.
      return fail_int(w, stale_records()), false;
    }
    if (in_.odd.empty() && fast_maps()) {
      int settled = settle_slots(&stop, &pending, &line);
      if (settled < 0) return fail_int(w, line), false;
      if (settled > 0) {
        if (!written_) write_settled();
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

  // Records compressed ahead that the id phase would not write: cannot
  // happen once confirmed, and is refused rather than written. Returns the
  // traceback line.
  static int stale_records() {
    PyErr_SetString(PyExc_SystemError, "encode_files: the records compressed ahead are stale");
    return 59;
  }

  // Where settling stopped: the stopping token's lookup result (or its id,
  // when its insertion ran host code).
  struct Pending {
    bool active = false;
    bool done = false;    // `id` is final
    int32_t id = 0;
    Ref value;            // the stored value found, or null when absent
  };

  int settle_slots(uint32_t* stop, Pending* pending, int* line) {
    const uint32_t count = in_.index->size();
    if (PyDict_GET_SIZE(c_->global_dict) == 0) return settle_all_new(line);
    for (uint32_t slot = 0; slot < count; ++slot) {
      PyObject* token = in_.index->token(slot);
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

  // An empty forward map: every token is new and gets the next id in slot
  // order. The entries are gathered in dicts sized for them and merged into
  // the maps at once, which ends with the same maps, in the same insertion
  // order, as storing them one by one (no lookup can tell the difference:
  // the tokens are distinct and the keys run no host code), without
  // growing the maps step by step.
  //
  // While the compressor runs beside this, the entries go straight into the
  // maps instead when both are empty: merging copies a whole table next to
  // its gathering dict, and that copy would add to the compressor's own
  // buffers at the call's peak. Growing an empty map step by step drops
  // only keys tables, and storing into it replaces no value, so nothing
  // here can run host code either way.
  int settle_all_new(int* line) {
    const uint32_t count = in_.index->size();
    if (count == 0) return 1;
    raise_next_id_past_dict(c_);
    // Ids run up to 2147483646; a negative next_id hands out none.
    uint32_t take = count;
    if (c_->next_id < 0) {
      take = 0;
    } else if (uint64_t{count} > uint64_t{INT32_MAX} - uint64_t(c_->next_id)) {
      take = static_cast<uint32_t>(INT32_MAX - c_->next_id);
    }
    const int32_t first = c_->next_id;
    // Stored all at once only into two maps that storing one by one would
    // leave the same: one dict serving as both gets each token's two
    // entries one after the other, and storing over an entry of the reverse
    // map drops the value it held, whose finaliser may run host code that
    // must see the maps as storing one by one leaves them. Such a call goes
    // token by token.
    if (c_->global_dict == c_->inverse_dict || reverse_holds_ids(first, take)) return 0;
    const bool early = take == count && early_ != nullptr;
    if (early_ != nullptr && early_->streamed && !early) return *line = stale_records(), -1;
    const bool direct = early && PyDict_GET_SIZE(c_->inverse_dict) == 0;
    Ref forward_new = direct ? Ref::borrow(c_->global_dict)
                             : Ref::steal(_PyDict_NewPresized(take));
    // The ids, small ints hashed to themselves and stored in order, fill
    // the reverse map's table in order, which huge pages gain nothing.
    Ref inverse_new;
    {
      HostBlocksInSmallPages small_pages;
      inverse_new = direct ? Ref::borrow(c_->inverse_dict) : Ref::steal(_PyDict_NewPresized(take));
    }
    if (!forward_new || !inverse_new) return *line = 68, -1;
    // The tokens once the index is gone, each dropped once stored, and the
    // pages of those done given back while the maps grow.
    std::vector<Ref> tokens;
    size_t discarded = 0;
    if (early) {
      // Every token gets an id and the ids are known now: the records are
      // complete before the maps are filled, and the host's own compressor
      // (which runs no host code) can start on them. From here to the end
      // of the maps nothing runs host code either: the gathering dicts
      // exist, and storing distinct plain keys into them needs no growth.
      if (!early_->streamed) {
        for (uint32_t slot = 0; slot < count; ++slot) {
          slot_ids_[slot] = first + static_cast<int32_t>(slot);
        }
        write_settled();
      }
      written_ = true;
      // Only the index's strs are needed from here on: keeping just them
      // leaves the compressor the memory of the index.
      try {
        tokens.reserve(count);
        for (uint32_t slot = 0; slot < count; ++slot) {
          tokens.push_back(Ref::borrow(in_.index->token(slot)));
        }
        in_.index.reset();
      } catch (const std::bad_alloc&) {
        tokens.clear();
      }
      // The records are written: the ids per slot are not needed again.
      std::vector<int32_t>().swap(slot_ids_);
      return_free_memory(packed_bytes());
      if (!early_->streamed &&
          !(NativeCompress::applies(early_->packed, early_->level, early_->threads) &&
            early_->native->start(early_->packed, early_->level, early_->threads))) {
        early_->compress->start(early_->packed, early_->level, early_->threads);
      }
    }
    // When the module's own compressor (which never needs the interpreter
    // lock) was started here, on the records of a call too short to be
    // compressed as it was scanned, the forward map is filled first and the
    // inverse map only once the compressor is done and its memory given
    // back: the two are not held at once, which sets the peak of such a
    // call. The lock is kept throughout, so no other thread sees the maps
    // in between. A call compressed as it was scanned fills both maps
    // beside its compressor, which runs on after the forward map anyway:
    // an inverse map made only after it would leave a core idle while it
    // is made (GCIDE's encode took 1.06 against 1.17 s, its peak 181
    // against 162 MB; the kernel documentation's 0.509 against 0.530 s,
    // with the same peak).
    const bool split = direct && early_->native->started() && !early_->streamed;
    // Into two empty maps, the tables the stores would leave are built
    // whole; what follows sees the maps as if stored one by one.
    const bool tables = direct && take >= kTablesFrom && NewDictTable::available() &&
                        NewDictTable::fits(c_->global_dict) &&
                        NewDictTable::fits(c_->inverse_dict);
    const uint32_t stored_by_tables =
        tables ? fill_by_tables(first, take, split, tokens, &discarded) : 0;
    for (uint32_t slot = stored_by_tables; slot < take; ++slot) {
      const int32_t id = first + static_cast<int32_t>(slot);
      Ref id_obj = Ref::steal(PyLong_FromLong(id));
      PyObject* token = new_token(tokens, slot);
      // The str of a token a few ahead is fetched meanwhile: its hash is
      // read when it is stored.
      if (!tokens.empty() && slot + kStoreAhead < take) {
        __builtin_prefetch(tokens[slot + kStoreAhead].get());
      }
      bool stored = id_obj && PyDict_SetItem(forward_new.get(), token, id_obj.get()) == 0;
      if (stored && !split) {
        HostBlocksInSmallPages small_pages;
        stored = PyDict_SetItem(inverse_new.get(), id_obj.get(), token) == 0;
      }
      if (!stored) {
        // Keep what was stored so far, as storing one by one would have.
        take = slot;
        break;
      }
      if (!written_) slot_ids_[slot] = id;
      release_stored(tokens, slot, &discarded);
    }
    bool failed = PyErr_Occurred() != nullptr;
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    if (failed) PyErr_Fetch(&type, &value, &tb);
    if (split) {
      if (!failed && early_->while_compressing) early_->while_compressing();
      early_->native->wait();
      return_free_memory(packed_bytes());
      // The forward map holds exactly the new entries, in slot order.
      Py_ssize_t pos = 0;
      PyObject *key, *id_obj;
      uint32_t done = 0;
      // The forward map's ids are the new ones, distinct.
      if (tables && !failed && NewDictTable::fits(c_->inverse_dict) &&
          fill_reverse_by_table(forward_new.get(), c_->inverse_dict, nullptr)) {
        done = take;
      }
      {
        HostBlocksInSmallPages small_pages;
        while (done < take && PyDict_Next(forward_new.get(), &pos, &key, &id_obj)) {
          if (PyDict_SetItem(inverse_new.get(), id_obj, key) < 0) break;
          ++done;
        }
      }
      if (done < take) {
        // Storing one by one would have stopped at this token, with its
        // forward entry stored and no later one: that error is the one
        // raised, and the later entries go, last first.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        PyErr_Fetch(&type, &value, &tb);
        failed = true;
        for (uint32_t extra = take - done - 1; extra > 0; --extra) {
          Ref popped = call_method(forward_new.get(), names().popitem);
          if (!popped) break;
        }
        PyErr_Clear();
        take = done;
      }
    }
    bool merged = true;
    if (!direct) {
      // Each gathering dict goes as soon as it is merged, so that at most
      // one is held beside its copy.
      merged = PyDict_Update(c_->global_dict, forward_new.get()) == 0;
      forward_new.reset();
      merged = merged && PyDict_Update(c_->inverse_dict, inverse_new.get()) == 0;
      inverse_new.reset();
    }
    // The tables the maps outgrew are free now, before the compressor's
    // output is gathered and the package pickled: returned here once for
    // the texts' worth of work rather than the records', as the steps left
    // take little from the heap that would fault it in again.
    if (early) return_free_memory(in_.working_bytes());
    if (!merged) {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
      return *line = 68, -1;
    }
    c_->next_id = first + static_cast<int32_t>(take);
    // The forward map, empty before, holds the ids from `first` on, one per
    // entry: after a failed insertion into the inverse map that is one more
    // than next_id has passed, and the next call must not hand it out again.
    // Both maps still hold plain keys only: str keys and int keys were added.
    const Py_ssize_t stored = PyDict_GET_SIZE(c_->global_dict);
    set_max_id(c_, stored > 0 ? int64_t{first} + stored - 1 : -1, true);
    set_inverse_plain(c_, true);
    if (failed) {
      PyErr_Restore(type, value, tb);
      return *line = 68, -1;
    }
    if (take < count) {
      // The first token that gets no id: the error storing one by one meets.
      if (!check_id_available(c_) || !check_storable(c_->next_id)) return *line = 67, -1;
    }
    return 1;
  }

  // Whether the reverse map holds a key equal to one of the `take` ids from
  // `first` (or, for a float key, one that truncates to such an id). Its
  // keys run no host code when compared.
  bool reverse_holds_ids(int32_t first, uint32_t take) const {
    PyObject* inverse = c_->inverse_dict;
    const Py_ssize_t size = PyDict_GET_SIZE(inverse);
    if (size == 0 || take == 0) return false;
    const int64_t end = int64_t{first} + take;
    if (static_cast<uint64_t>(size) < take) {
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      while (PyDict_Next(inverse, &pos, &key, &value)) {
        const int64_t id = storable_id_value(key);
        if (id >= first && id < end) return true;
      }
      return false;
    }
    for (int64_t id = first; id < end; ++id) {
      Ref key = Ref::steal(PyLong_FromLongLong(id));
      // Out of memory: the safe answer.
      if (!key) return PyErr_Clear(), true;
      if (PyDict_GetItemWithError(inverse, key.get()) != nullptr) return true;
      if (PyErr_Occurred()) return PyErr_Clear(), true;
    }
    return false;
  }

  // How far ahead of its store a token's str is fetched.
  static constexpr uint32_t kStoreAhead = 8;

  // New tokens from which both empty maps get tables built whole.
  static constexpr uint32_t kTablesFrom = 1024;

  // Stores the `take` new tokens with the ids from `first` into the two
  // empty maps (only the forward map when `split`) by building their tables
  // whole, as storing one by one would leave them. Returns `take`, or 0
  // with nothing stored and no error set when memory ran short, the tokens
  // then as they were.
  uint32_t fill_by_tables(int32_t first, uint32_t take, bool split, std::vector<Ref>& tokens,
                          size_t* discarded) {
    NewDictTable forward(take, NewDictTable::Keys::kStr);
    std::optional<NewDictTable> inverse;
    if (!split) {
      HostBlocksInSmallPages small_pages;
      inverse.emplace(take, NewDictTable::Keys::kInt);
    }
    if (!forward.ok() || (inverse && !inverse->ok())) return 0;
    // Each key's hash is taken kHashAhead stores before its own, and the
    // place it probes first fetched meanwhile; its str is fetched twice as
    // far ahead.
    constexpr uint32_t kHashAhead = 8;
    Py_hash_t hashes[kHashAhead];
    auto hash_ahead = [&](uint32_t slot) {
      if (slot + kHashAhead < take) __builtin_prefetch(new_token(tokens, slot + kHashAhead));
      // A str's hash never fails.
      const Py_hash_t hash = PyObject_Hash(new_token(tokens, slot));
      hashes[slot % kHashAhead] = hash;
      forward.prefetch(hash);
    };
    for (uint32_t slot = 0; slot < take && slot < kHashAhead; ++slot) hash_ahead(slot);
    for (uint32_t slot = 0; slot < take; ++slot) {
      const int32_t id = first + static_cast<int32_t>(slot);
      Ref id_obj = Ref::steal(PyLong_FromLong(id));
      if (!id_obj) {
        // The stores one by one, made instead, meet this error themselves.
        PyErr_Clear();
        for (uint32_t done = 0; done < slot && !tokens.empty(); ++done) {
          tokens[done] = Ref::borrow(forward.key_at(done));
        }
        return 0;
      }
      const Py_hash_t hash = hashes[slot % kHashAhead];
      if (slot + kHashAhead < take) hash_ahead(slot + kHashAhead);
      PyObject* token = new_token(tokens, slot);
      forward.add(token, hash, id_obj.get());
      // A small int's hash is its value.
      if (inverse) inverse->add(id_obj.get(), id, token);
      release_stored(tokens, slot, discarded);
    }
    // Neither store can fail: each table has room for its last entry.
    forward.give_to(c_->global_dict);
    if (inverse) inverse->give_to(c_->inverse_dict);
    return take;
  }

  // The str of the new token of `slot`: from the index while it is held,
  // else from the tokens kept of it.
  PyObject* new_token(const std::vector<Ref>& tokens, uint32_t slot) const {
    return in_.index ? in_.index->token(slot) : tokens[slot].get();
  }

  // Drops the kept token of `slot`, now held by the maps, and every
  // kDiscardEvery slots gives back the pages of those dropped.
  void release_stored(std::vector<Ref>& tokens, uint32_t slot, size_t* discarded) {
    if (tokens.empty()) return;
    tokens[slot].reset();
    if (slot - *discarded >= kDiscardEvery) {
      *discarded = slot;
      discard_pages(tokens.data(), slot * sizeof(Ref));
      return_free_memory(packed_bytes());
    }
  }

  // Slots stored between two returns of freed memory while the maps grow.
  static constexpr uint32_t kDiscardEvery = 1u << 16;

  size_t packed_bytes() const { return early_->packed_size; }

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
    return insert_new(in_.index->token(slot), id, line);
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
    PyObject* token = in_.index->token(slot);
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
    // One dict serving as both maps: the int key stored leaves every
    // token's id as it was read.
    if (inverse.get() == cache_forward_.get() && fast_maps() &&
        inverse_version == cache_version_) {
      cache_version_ = dict_version(inverse.get());
    }
    advance_next_id(c_);
    *id = new_id;
    return true;
  }

  CompressorObject* c_;
  Collected& in_;
  uint8_t* records_;
  const Early* early_;
  bool written_ = false;  // the records are complete
  std::vector<int32_t> slot_ids_;
  bool tainted_ = false;
  // Both maps plain dicts whose keys run no host code when hashed or
  // compared: then the module's own lookups and insertions run none either.
  bool plain_ = false;
  Ref cache_forward_;  // held, so that its identity cannot be reused
  uint64_t cache_version_ = 0;
};

// The package object into the output file, replacing it whole.
bool write_package(PyObject* package, PyObject* output_path, PremadePackage* premade) {
  ReplacingFile out;
  if (!out.open(output_path)) return fail_int(w, 89), false;
  FileBlock block(w, 89);
  bool ok = block.run(out.file(), [&](PyObject* file) {
    if (!pickle_dump(package, file, premade)) return fail_int(w, 90), false;
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
  // The tables of the maps take their memory from huge pages, and so do the
  // token strs and the ints of a call with many (texts of 4 MiB or more,
  // read and scanned in order, keep small ones), until the call has read
  // kSmallPagesFromText of text: from then on it takes small pages only.
  HostMemoryInHugePages huge_blocks(false);
  std::optional<HostMemoryInHugePages> huge_arenas;
  CompressorObject* c = as_compressor(self);
  const Names& n = names();
  Collected in;
  in.filenames = Ref::steal(PyList_New(0));
  if (!in.filenames) return fail(w, 48);
  // Declared after the collection, whose stream it may be reading.
  EarlyStream early_stream(c, zstd_level, threads);
  if (early_stream.eligible()) {
    try {
      in.stream.share(&early_stream.feed(), kMaxRecords);
    } catch (const std::bad_alloc&) {
      early_stream.lose();
    }
  }

  if (!read_all(self, filepaths, in, early_stream)) return nullptr;
  // The texts are released: the memory they and their reading took goes
  // back before the strs are made, where a small call peaks.
  return_free_memory(in.text_bytes);
  Ref boundaries = boundaries_of(in);
  if (!boundaries) return fail(w, 55);
  // From here to the id phase no host code runs (the token strs are made
  // next, and they are no containers that could start a collection), so
  // what confirm() finds still holds there. Once confirmed, the slots
  // compressed go while the strs are made.
  const bool streamed = early_stream.confirm(in);
  // A call that takes small pages by now would only pass arenas through.
  if (!in.small_pages &&
      (in.total() * 4 >= kHugeArenasFrom || in.index->size() >= kHugeArenasTokens)) {
    huge_arenas.emplace(true);
  }
  if (!in.index->materialize()) return fail(w, 59);

  const uint64_t count = in.total();
  const size_t working_bytes = in.working_bytes();
  if (in.over_limit()) {
    PyErr_Format(PyExc_OverflowError,
                 "%llu tokens are more than the 536870912 one package can hold",
                 static_cast<unsigned long long>(count));
    return fail(w, 59);
  }
  Ref packed;
  uint8_t* records = nullptr;
  if (!streamed) {
    // Made empty and then sized: when the host cannot allocate the bytes of
    // a byte array made at its size, it discards the half-made object with
    // an error report of its own on stderr; sizing fails with MemoryError
    // alone.
    {
      // Every byte is written next, in order.
      HostBlocksInSmallPages small_pages;
      packed = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
      if (!packed || PyByteArray_Resize(packed.get(), static_cast<Py_ssize_t>(count * 4)) < 0) {
        return fail(w, 59);
      }
    }
    records = reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(packed.get()));
  }
  // The package's pickle, made while the compressor works rather than
  // after it: the calling thread would wait for it, and the pickle would
  // then be the last step, on one core.
  PyObject* const package_keys[PremadePackage::kItems] = {
      n.key_compressed, n.key_file_boundaries, n.key_filenames, n.key_global_dict};
  PremadePackage premade;
  const auto premake = [&] {
    if (premade.made()) return;
    PyObject* const values[PremadePackage::kItems] = {nullptr, boundaries.get(),
                                                      in.filenames.get(), c->global_dict};
    premade.make(package_keys, values);
  };
  // Declared before the writer so that a compression it started is waited
  // for on every way out.
  BackgroundCompress background;
  NativeCompress native;
  {
    const IdWriter::Early early{streamed ? &early_stream.native() : &native,
                                &background,
                                packed.get(),
                                zstd_level,
                                threads,
                                streamed,
                                static_cast<size_t>(count * 4),
                                premake};
    IdWriter writer(c, in, records, streamed || zstd_compress_is_host_own() ? &early : nullptr);
    if (!writer.run()) return nullptr;
  }
  // The maps now hold every token str that is still needed.
  in.index.reset();
  in.odd.clear();
  if (!background.started() && !native.started() && !streamed) {
    return_free_memory(static_cast<size_t>(count * 4));
  }

  if (streamed || background.started() || native.started()) premake();
  Ref compressed;
  if (streamed) {
    compressed = early_stream.native().finish();
    // Nothing reads the stream any more.
    in.stream = SlotStream();
  } else if (background.started()) {
    compressed = background.finish();
  } else if (native.started()) {
    // A failure with the records intact goes to the host's compressor.
    compressed = native.finish();
    if (!compressed && !PyErr_Occurred()) {
      compressed = zstd_compress(packed.get(), zstd_level, threads);
    }
  } else {
    compressed = compress_packed(packed.get(), zstd_level, threads);
  }
  if (!compressed) return fail(w, 80);
  packed.reset();
  // The records and the writer's buffers are free now, before the package
  // is pickled.
  return_free_memory(working_bytes);

  Ref package = Ref::steal(PyDict_New());
  PyObject* const package_values[PremadePackage::kItems] = {compressed.get(), boundaries.get(),
                                                            in.filenames.get(), c->global_dict};
  if (!package) return fail(w, 84);
  for (int i = 0; i < PremadePackage::kItems; ++i) {
    if (PyDict_SetItem(package.get(), package_keys[i], package_values[i]) < 0) return fail(w, 84);
  }
  if (!write_package(package.get(), output_path, &premade)) return nullptr;

  Py_ssize_t size = PyObject_Length(compressed.get());
  if (size < 0) return fail(w, 92);
  PyObject* result = PyLong_FromSsize_t(size);
  if (result == nullptr) return fail(w, 92);
  return result;
}

}  // namespace qbc
