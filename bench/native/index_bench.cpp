// Scanning speed of the token index.
//
// Loads UTF-8 text files (or every file under the directories given, in
// path order, dot files left out), decodes each into a str with an embedded
// interpreter, and times, run after run in turn:
//   before      the index as it was before keys moved into the table (kept
//               below for this comparison): scan() of every text
//   scan_units  TokenIndex::scan_units() of every text into one index and
//               one stream, then materialize() once (timed on its own)
//   scan        TokenIndex::scan() of every text (scan_units + materialize)
//   decode      decoding the UTF-8 bytes into strs, as reading the files
//               costs at least
//   sum         one pass summing the code units: the cost of merely
//               touching the decoded text
//   halves      the texts cut in two where a run begins, near the middle
//               of their code units: the first part scanned into one index,
//               the second into another, then absorb() of the second into
//               the first (each timed on its own), as two threads share a
//               long text
// Each figure is the median over the runs, in thread CPU time (which leaves
// out time spent waiting for a core), as ns per token and MB/s of UTF-8
// input. The streams and tokens of the two indexes are checked to agree, and
// the halves' stream with the one of a single index.
//
//     index_bench [--runs N] [--only scan_units|halves] PATH...
//
// --only times nothing else (for profiling).
#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "binding/handle.hpp"
#include "dictionary/token_index.hpp"
#include "dictionary/token_scan.hpp"

namespace before {

using namespace qbc;

// The earlier design: a table of (hash, slot) pairs, each slot's record (str
// and 15-byte packed key) in an array of its own, so that a lookup reads the
// table entry and then the record; runs found one unit at a time; strs made
// as tokens are first met.
constexpr uint32_t kNoSlot = 0xFFFFFFFFu;
constexpr size_t kInitialTable = 256;

struct Entry {
  uint32_t hash;
  uint32_t slot_plus1;
};

struct Record {
  PyObject* str;
  PackedKey key;
  uint32_t uses;
};

uint32_t hash_key(const void* data, size_t nbytes, unsigned width) {
  return static_cast<uint32_t>(XXH3_64bits_withSeed(data, nbytes, width));
}

bool same_key(PyObject* str, const void* key, size_t len, unsigned width) {
  return static_cast<size_t>(PyUnicode_GET_LENGTH(str)) == len &&
         PyUnicode_KIND(str) == width && std::memcmp(PyUnicode_DATA(str), key, len * width) == 0;
}

struct Probe {
  const void* key;
  size_t len;
  unsigned width;
  uint32_t hash;
  PackedKey form;
  bool is_short() const { return len * width <= kPackedBytes; }
};

class Index {
 public:
  Index() : table(kInitialTable, Entry{0, 0}) {
    for (uint32_t& s : single_slot) s = kNoSlot;
  }
  ~Index() {
    for (Record& r : records) Py_DECREF(r.str);
  }
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  uint32_t size() const { return static_cast<uint32_t>(records.size()); }
  PyObject* token(uint32_t slot) const { return records[slot].str; }

  bool scan(PyObject* text, SlotStream& out) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const void* data = PyUnicode_DATA(text);
    auto each = [&](const auto* units) {
      Pending block[kBlock];
      size_t count = 0;
      auto flush = [&] {
        for (size_t j = count > kRecordLag ? count - kRecordLag : 0; j < count; ++j) {
          prefetch_record(block[j]);
        }
        for (size_t j = 0; j < count; ++j) {
          uint32_t slot;
          if (!resolve(block[j], &slot)) return false;
          out.push(slot);
        }
        count = 0;
        arena.clear();
        return true;
      };
      bool ok = scan_runs(units, n, [&](const Run& r) {
        queue(units, r, &block[count++]);
        if (count > kRecordLag) prefetch_record(block[count - 1 - kRecordLag]);
        return count < kBlock || flush();
      });
      return ok && flush();
    };
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        return each(static_cast<const uint8_t*>(data));
      case PyUnicode_2BYTE_KIND:
        return each(static_cast<const uint16_t*>(data));
      default:
        return each(static_cast<const uint32_t*>(data));
    }
  }

 private:
  std::vector<Record> records;
  std::vector<Entry> table;
  size_t mask = kInitialTable - 1;
  uint32_t single_slot[256];

  const Entry* find(const Probe& p, size_t* pos) const {
    size_t i = p.hash & mask;
    for (;;) {
      const Entry& e = table[i];
      if (e.slot_plus1 == 0) {
        *pos = i;
        return nullptr;
      }
      if (e.hash == p.hash) {
        const Record& r = records[e.slot_plus1 - 1];
        if (r.key == p.form && (p.is_short() || same_key(r.str, p.key, p.len, p.width))) {
          return &e;
        }
      }
      i = (i + 1) & mask;
    }
  }

  void make_room() {
    if ((records.size() + 1) * 2 <= table.size()) return;
    std::vector<Entry> grown(table.size() * 2, Entry{0, 0});
    const size_t m = grown.size() - 1;
    for (const Entry& e : table) {
      if (e.slot_plus1 == 0) continue;
      size_t i = e.hash & m;
      while (grown[i].slot_plus1 != 0) i = (i + 1) & m;
      grown[i] = e;
    }
    table.swap(grown);
    mask = m;
  }

  uint32_t add(PyObject* str, const PackedKey& key) {
    records.push_back(Record{str, key, 0});
    return static_cast<uint32_t>(records.size() - 1);
  }

  static PyObject* new_str(const void* data, size_t len, unsigned width, uint32_t maxchar) {
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(len), maxchar);
    if (s == nullptr) return nullptr;
    std::memcpy(PyUnicode_DATA(s), data, len * width);
    return s;
  }

  template <class Make>
  bool single(uint32_t c, uint32_t* slot, Make&& make) {
    if (single_slot[c] == kNoSlot) {
      PyObject* s = make();
      if (s == nullptr) return false;
      single_slot[c] = add(s, PackedKey{0, 0});
    }
    *slot = single_slot[c];
    return true;
  }

  template <class Make>
  bool keyed(const Probe& p, uint32_t* slot, Make&& make) {
    make_room();
    size_t pos;
    if (const Entry* e = find(p, &pos)) {
      *slot = e->slot_plus1 - 1;
      return true;
    }
    PyObject* s = make();
    if (s == nullptr) return false;
    uint32_t added = add(s, p.form);
    table[pos] = Entry{p.hash, added + 1};
    *slot = added;
    return true;
  }

  struct Pending {
    size_t begin;
    uint32_t maxchar;
    bool in_arena;
    size_t arena_offset;
    Probe probe;
    uint8_t bytes[kPackedBytes];
  };
  static constexpr size_t kBlock = 32;
  static constexpr size_t kRecordLag = 8;
  std::vector<uint8_t> arena;

  template <class Unit>
  void queue(const Unit* units, const Run& r, Pending* p) {
    const size_t len = r.end - r.begin;
    p->begin = r.begin;
    p->maxchar = r.maxchar;
    p->in_arena = false;
    Probe& q = p->probe;
    q.len = len;
    if (len == 1 && r.maxchar < 256) {
      q.width = 0;
      return;
    }
    const unsigned width = width_for(r.maxchar);
    const size_t nbytes = len * width;
    const Unit* src = units + r.begin;
    q.width = width;
    if (width == sizeof(Unit)) {
      q.key = src;
      q.form = pack_key(src, nbytes, width);
    } else {
      q.form = pack_narrowed(src, len, width);
      if (nbytes <= kPackedBytes) {
        q.key = &q.form;
      } else {
        p->in_arena = true;
        p->arena_offset = arena.size();
        arena.resize(arena.size() + nbytes);
        uint8_t* dst = arena.data() + p->arena_offset;
        narrow_to_bytes(src, len, width, dst);
        q.key = dst;
      }
    }
    q.hash = hash_key(q.key, nbytes, width);
    __builtin_prefetch(&table[q.hash & mask]);
  }

  void prefetch_record(const Pending& p) const {
    if (p.probe.width == 0) return;
    uint32_t sp = table[p.probe.hash & mask].slot_plus1;
    if (sp != 0) __builtin_prefetch(&records[sp - 1]);
  }

  bool resolve(Pending& p, uint32_t* slot) {
    Probe& q = p.probe;
    if (q.width == 0) {
      return single(p.maxchar, slot,
                    [&] { return PyUnicode_FromOrdinal(static_cast<int>(p.maxchar)); });
    }
    if (p.in_arena) q.key = arena.data() + p.arena_offset;
    return keyed(q, slot, [&] { return new_str(q.key, q.len, q.width, p.maxchar); });
  }
};

}  // namespace before

namespace {

using qbc::Ref;
using qbc::SlotStream;
using qbc::TokenIndex;

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::vector<std::filesystem::path> input_files(const std::vector<std::string>& args) {
  std::vector<std::filesystem::path> files;
  for (const std::string& a : args) {
    std::filesystem::path p(a);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p)) {
        if (e.is_regular_file() && e.path().filename().string()[0] != '.') {
          files.push_back(e.path());
        }
      }
    } else {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct Corpus {
  std::vector<std::string> utf8;
  std::vector<Ref> texts;
  size_t bytes = 0;
  size_t kinds[5] = {0, 0, 0, 0, 0};
};

bool load(const std::vector<std::filesystem::path>& files, Corpus* c) {
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
    if (!text) {
      std::fprintf(stderr, "%s: not UTF-8\n", f.c_str());
      return false;
    }
    c->bytes += s.size();
    c->kinds[PyUnicode_KIND(text.get())]++;
    c->utf8.push_back(std::move(s));
    c->texts.push_back(std::move(text));
  }
  return true;
}

// Checks that the two indexes gave the same slots and equal tokens.
bool agree(SlotStream& a, const before::Index& ia, SlotStream& b, const TokenIndex& ib) {
  if (a.size() != b.size() || ia.size() != ib.size()) {
    std::fprintf(stderr, "streams differ: %llu/%u tokens vs %llu/%u\n",
                 static_cast<unsigned long long>(a.size()), ia.size(),
                 static_cast<unsigned long long>(b.size()), ib.size());
    return false;
  }
  std::vector<uint32_t> sa, sb;
  a.for_each([&](uint32_t s) { sa.push_back(s); }, false);
  b.for_each([&](uint32_t s) { sb.push_back(s); }, false);
  if (sa != sb) {
    std::fprintf(stderr, "slot orders differ\n");
    return false;
  }
  for (uint32_t s = 0; s < ia.size(); ++s) {
    if (PyUnicode_Compare(ia.token(s), ib.token(s)) != 0 ||
        PyUnicode_KIND(ia.token(s)) != PyUnicode_KIND(ib.token(s)) ||
        PyUnicode_IS_ASCII(ia.token(s)) != PyUnicode_IS_ASCII(ib.token(s))) {
      std::fprintf(stderr, "token %u differs\n", s);
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 7;
  bool only_units = false;
  bool only_halves = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc &&
               (std::strcmp(argv[i + 1], "scan_units") == 0 ||
                std::strcmp(argv[i + 1], "halves") == 0)) {
      (argv[i + 1][0] == 's' ? only_units : only_halves) = true;
      ++i;
    } else {
      paths.push_back(argv[i]);
    }
  }
  if (paths.empty() || runs < 1) {
    std::fprintf(stderr, "usage: %s [--runs N] PATH...\n", argv[0]);
    return 2;
  }
  Py_InitializeEx(0);
  int status = 0;
  {
    Corpus c;
    if (!load(input_files(paths), &c)) return 1;

    // The parts for `halves`: every unit of the texts in order, cut once.
    struct Part {
      int kind;
      const char* data;
      size_t length;
    };
    std::vector<Part> first_parts, second_parts;
    {
      size_t units = 0;
      for (const Ref& t : c.texts) units += static_cast<size_t>(PyUnicode_GET_LENGTH(t.get()));
      size_t seen = 0;
      bool cut = false;
      for (const Ref& t : c.texts) {
        PyObject* s = t.get();
        const int kind = PyUnicode_KIND(s);
        const auto* data = static_cast<const char*>(PyUnicode_DATA(s));
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s));
        size_t at = cut ? 0 : n;
        if (!cut && seen + n > units / 2) {
          at = units / 2 - seen;
          // Forward to where a run begins.
          auto space = [&](size_t i) {
            const uint32_t u = kind == 1   ? reinterpret_cast<const uint8_t*>(data)[i]
                               : kind == 2 ? reinterpret_cast<const uint16_t*>(data)[i]
                                           : reinterpret_cast<const uint32_t*>(data)[i];
            return qbc::is_space_code_point(u);
          };
          if (at > 0) {
            while (at < n && space(at) == space(at - 1)) ++at;
          }
          cut = true;
        }
        if (at > 0) first_parts.push_back(Part{kind, data, at});
        if (at < n) {
          second_parts.push_back(Part{kind, data + at * static_cast<size_t>(kind), n - at});
        }
        seen += n;
      }
    }

    uint64_t tokens = 0;
    uint32_t distinct = 0;
    {
      before::Index ia;
      TokenIndex ib;
      SlotStream a, b;
      for (const Ref& t : c.texts) {
        if (!ia.scan(t.get(), a) || !ib.scan(t.get(), b)) return 1;
      }
      if (!agree(a, ia, b, ib)) return 1;
      TokenIndex first, second;
      SlotStream out, side;
      for (const Part& p : first_parts) first.scan_units(p.kind, p.data, p.length, out);
      for (const Part& p : second_parts) second.scan_units(p.kind, p.data, p.length, side);
      if (!first.absorb(second, side, out) || !first.materialize()) return 1;
      if (!agree(a, ia, out, first)) return 1;
      tokens = b.size();
      distinct = ib.size();
    }

    std::vector<double> t_before, t_units, t_make, t_scan, t_decode, t_sum;
    std::vector<double> t_first, t_second, t_absorb;
    uint64_t sink = 0;
    bool failed = false;
    auto time_before = [&] {
      auto* index = new before::Index;
      SlotStream out;
      const double t0 = thread_seconds();
      for (const Ref& t : c.texts) index->scan(t.get(), out);
      t_before.push_back(thread_seconds() - t0);
      delete index;
    };
    auto time_units = [&] {
      auto* index = new TokenIndex;
      SlotStream out;
      const double t0 = thread_seconds();
      for (const Ref& t : c.texts) {
        PyObject* s = t.get();
        failed |= !index->scan_units(PyUnicode_KIND(s), PyUnicode_DATA(s),
                                     static_cast<size_t>(PyUnicode_GET_LENGTH(s)), out);
      }
      const double t1 = thread_seconds();
      failed |= !index->materialize();
      const double t2 = thread_seconds();
      t_units.push_back(t1 - t0);
      t_make.push_back(t2 - t1);
      delete index;
    };
    auto time_halves = [&] {
      auto* first = new TokenIndex;
      auto* second = new TokenIndex;
      SlotStream out, side;
      const double t0 = thread_seconds();
      for (const Part& p : first_parts) {
        failed |= !first->scan_units(p.kind, p.data, p.length, out);
      }
      const double t1 = thread_seconds();
      for (const Part& p : second_parts) {
        failed |= !second->scan_units(p.kind, p.data, p.length, side);
      }
      const double t2 = thread_seconds();
      failed |= !first->absorb(*second, side, out);
      const double t3 = thread_seconds();
      t_first.push_back(t1 - t0);
      t_second.push_back(t2 - t1);
      t_absorb.push_back(t3 - t2);
      delete second;
      delete first;
    };
    auto time_scan = [&] {
      auto* index = new TokenIndex;
      SlotStream out;
      const double t0 = thread_seconds();
      for (const Ref& t : c.texts) failed |= !index->scan(t.get(), out);
      t_scan.push_back(thread_seconds() - t0);
      delete index;
    };
    auto time_decode = [&] {
      std::vector<Ref> decoded;
      decoded.reserve(c.utf8.size());
      const double t0 = thread_seconds();
      for (const std::string& s : c.utf8) {
        decoded.push_back(Ref::steal(
            PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict")));
      }
      t_decode.push_back(thread_seconds() - t0);
    };
    auto time_sum = [&] {
      const double t0 = thread_seconds();
      for (const Ref& t : c.texts) {
        PyObject* s = t.get();
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(s)) * PyUnicode_KIND(s);
        const auto* p = static_cast<const uint8_t*>(PyUnicode_DATA(s));
        uint64_t acc = 0;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
          uint64_t w;
          std::memcpy(&w, p + i, 8);
          acc += w;
        }
        for (; i < n; ++i) acc += p[i];
        sink += acc;
      }
      t_sum.push_back(thread_seconds() - t0);
    };
    // The order turns from run to run, so that no measurement always
    // follows the same one (whose memory and cache state it would inherit).
    std::vector<std::function<void()>> steps;
    if (only_units) {
      steps = {time_units};
    } else if (only_halves) {
      steps = {time_halves};
    } else {
      steps = {time_before, time_units, time_scan, time_halves, time_decode, time_sum};
    }
    for (int r = 0; r < runs; ++r) {
      for (size_t k = 0; k < steps.size(); ++k) steps[(k + r) % steps.size()]();
    }
    if (failed) {
      std::fprintf(stderr, "out of memory\n");
      return 1;
    }

    std::printf("%zu files (kinds 1/2/4: %zu/%zu/%zu), %.1f MB UTF-8, %llu tokens, %u distinct, "
                "%d runs (medians of thread CPU time)\n",
                c.texts.size(), c.kinds[1], c.kinds[2], c.kinds[4], c.bytes / 1e6,
                static_cast<unsigned long long>(tokens), distinct, runs);
    auto row = [&](const char* name, const std::vector<double>& t) {
      const double s = median(t);
      std::printf("  %-22s %8.2f ms %8.2f ns/token %9.1f MB/s\n", name, s * 1e3,
                  s * 1e9 / static_cast<double>(tokens), c.bytes / s / 1e6);
    };
    if (only_units || only_halves) {
      if (only_units) {
        row("scan_units", t_units);
        row("materialize", t_make);
      } else {
        row("halves: first part", t_first);
        row("halves: second part", t_second);
        row("halves: absorb", t_absorb);
      }
      Py_FinalizeEx();
      return 0;
    }
    row("before: scan", t_before);
    row("scan_units", t_units);
    row("materialize", t_make);
    row("scan (units + strs)", t_scan);
    row("halves: first part", t_first);
    row("halves: second part", t_second);
    row("halves: absorb", t_absorb);
    row("decode UTF-8", t_decode);
    row("sum code units", t_sum);
    std::printf("  scan_units is %.2fx as fast as before, scan %.2fx  (%llu)\n",
                median(t_before) / median(t_units), median(t_before) / median(t_scan),
                static_cast<unsigned long long>(sink & 1));
  }
  if (Py_FinalizeEx() < 0) status = 1;
  return status;
}
