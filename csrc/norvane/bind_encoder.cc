#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvane/bind.h"
#include "norvane/postings.h"
#include "norvane/py_support.h"
#include "norvane/sparse_encoder.h"
#include "search/bm25/bm25_internal.h"

namespace norvane {

namespace py = pybind11;

namespace {

// A batch read from Python: items as views into the str objects' own UTF-8,
// kept alive by `owners` while the interpreter lock is released (the caller's
// lists may change meanwhile): a tuple of the items and a reference to every
// given token. References rather than a tuple per token list: a new
// container per text made the collector walk the caller's lists again and
// again.
struct Batch {
  std::vector<TextItem> items;
  std::vector<std::string_view> tokens;  // the given tokens of every item, in order
  std::vector<py::object> owners;
};

std::string TypeName(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

// Where an item sits, for error messages: texts[i] or texts[i][t].
std::string Where(size_t i, size_t t = SIZE_MAX) {
  std::string where = "texts[" + std::to_string(i) + "]";
  if (t != SIZE_MAX) where += "[" + std::to_string(t) + "]";
  return where;
}

// The UTF-8 a str holds already: an ASCII str's own characters, or the copy
// an earlier read cached in it; null when it holds none. Read from the
// object's fields, which spares a call per token of a token list.
const char* HeldUtf8(PyObject* s, Py_ssize_t& n) {
#if PY_VERSION_HEX < 0x030E0000 && !defined(PYPY_VERSION) && !defined(Py_LIMITED_API)
  if (PyUnicode_IS_COMPACT_ASCII(s)) {
    n = reinterpret_cast<PyASCIIObject*>(s)->length;
    return reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(s) + 1);
  }
  if (PyUnicode_IS_COMPACT(s)) {
    const auto* compact = reinterpret_cast<PyCompactUnicodeObject*>(s);
    n = compact->utf8_length;
    return compact->utf8;
  }
  return nullptr;
#else
  (void)s;
  (void)n;
  return nullptr;
#endif
}

// The str's UTF-8, cached in the str itself; null when it has none (a lone
// surrogate) or is too long.
const char* Utf8(PyObject* s, size_t& size) {
  Py_ssize_t n = 0;
  const char* data = HeldUtf8(s, n);
  if (data == nullptr) data = PyUnicode_AsUTF8AndSize(s, &n);
  if (data == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  size = static_cast<size_t>(n);
  return size < UINT32_MAX ? data : nullptr;
}

// As the tokenizer's binding refuses them: a lone surrogate is a TypeError,
// text too long for 32-bit offsets a ValueError.
std::string_view Utf8(PyObject* s, const std::string& where) {
  size_t size = 0;
  const char* data = Utf8(s, size);
  if (data == nullptr) {
    if (PyUnicode_AsUTF8AndSize(s, nullptr) == nullptr) {
      PyErr_Clear();
      throw py::type_error(where + " cannot be encoded as UTF-8 (lone surrogate)");
    }
    throw py::value_error(where + " is too long: the limit is 4294967294 bytes");
  }
  return std::string_view(data, size);
}

py::tuple AsTuple(py::handle seq) {
  PyObject* tuple = PySequence_Tuple(seq.ptr());
  if (tuple == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::tuple>(tuple);
}

Batch ReadBatch(py::handle texts) {
  if (PyUnicode_Check(texts.ptr()) || PyBytes_Check(texts.ptr())) {
    throw py::type_error("texts must be a list of str or of token lists, not a single " +
                         TypeName(texts.ptr()));
  }
  Batch batch;
  const py::tuple all = AsTuple(texts);
  batch.owners.push_back(all);
  const size_t n = all.size();
  batch.items.reserve(n);
  size_t given = 0;  // tokens of every list, to fill batch.tokens and owners without regrowing
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(all.ptr(), static_cast<Py_ssize_t>(i));
    if (PyList_Check(item) || PyTuple_Check(item)) {
      given += static_cast<size_t>(PySequence_Fast_GET_SIZE(item));
    }
  }
  batch.tokens.reserve(given);
  batch.owners.reserve(given + 1);
  std::vector<std::pair<size_t, size_t>> spans;  // given tokens' place in batch.tokens
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(all.ptr(), static_cast<Py_ssize_t>(i));
    if (PyUnicode_Check(item)) {
      size_t size = 0;
      const char* data = Utf8(item, size);
      if (data == nullptr) Utf8(item, Where(i));  // throws with the message
      batch.items.push_back(TextItem::Text(std::string_view(data, size)));
      continue;
    }
    if (!PyList_Check(item) && !PyTuple_Check(item)) {
      throw py::type_error(Where(i) + " must be str or a list of str tokens, not " +
                           TypeName(item));
    }
    // No Python code runs in this loop, so the list cannot change under it.
    const size_t count = static_cast<size_t>(PySequence_Fast_GET_SIZE(item));
    PyObject** tokens = PySequence_Fast_ITEMS(item);
    const size_t start = batch.tokens.size();
    for (size_t t = 0; t < count; ++t) {
      PyObject* token = tokens[t];
      size_t size = 0;
      const char* data = PyUnicode_Check(token) ? Utf8(token, size) : nullptr;
      if (data == nullptr) {
        if (!PyUnicode_Check(token)) {
          throw py::type_error(Where(i, t) + " must be str, not " + TypeName(token));
        }
        Utf8(token, Where(i, t));  // throws with the message
      }
      batch.tokens.push_back(std::string_view(data, size));
      batch.owners.push_back(py::reinterpret_borrow<py::object>(token));
    }
    batch.items.push_back(TextItem::Tokens(nullptr, 0));
    spans.emplace_back(i, start);
  }
  // Pointed at only now that batch.tokens no longer moves.
  for (size_t s = 0; s < spans.size(); ++s) {
    const size_t end = s + 1 < spans.size() ? spans[s + 1].second : batch.tokens.size();
    TextItem& item = batch.items[spans[s].first];
    item.tokens = batch.tokens.data() + spans[s].second;
    item.token_count = end - spans[s].second;
  }
  return batch;
}

// A NumPy array that owns the vector's memory.
template <typename T>
py::array_t<T> Array(std::vector<T>&& values) {
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule free(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(static_cast<py::ssize_t>(owned->size()), owned->data(), free);
}

// dict[key] = value for an int key: an int below 2**61 - 1 is its own hash,
// so it is not computed again where the interpreter lets the caller give it.
int SetIdItem(PyObject* dict, PyObject* key, uint32_t id, PyObject* value) {
#if PY_VERSION_HEX < 0x030D0000 && !defined(PYPY_VERSION)
  return _PyDict_SetItem_KnownHash(dict, key, value, static_cast<Py_hash_t>(id));
#else
  (void)id;
  return PyDict_SetItem(dict, key, value);
#endif
}

// Rows between two runs of the signal handlers while results are built.
constexpr size_t kSignalStride = 4096;

// One dict per row, keyed by token text or by id.
py::list Dicts(const SparseRows& rows, bool by_token) {
  const size_t n = rows.indptr.size() - 1;
  py::list result(n);
  for (size_t r = 0; r < n; ++r) {
    // Ctrl-C ends a long conversion too.
    if (r % kSignalStride == kSignalStride - 1 && PyErr_CheckSignals() != 0) {
      throw py::error_already_set();
    }
    const Py_ssize_t size = static_cast<Py_ssize_t>(rows.indptr[r + 1] - rows.indptr[r]);
    py::dict row = NewDict(size);
    for (int64_t e = rows.indptr[r]; e < rows.indptr[r + 1]; ++e) {
      const auto id = static_cast<uint32_t>(rows.ids[e]);
      py::object key;
      if (by_token) {
        const uint64_t begin = e == 0 ? 0 : rows.token_ends[e - 1];
        const uint64_t end = rows.token_ends[e];
        key = py::reinterpret_steal<py::object>(Checked(PyUnicode_DecodeUTF8(
            rows.token_bytes.data() + begin, static_cast<Py_ssize_t>(end - begin), "strict")));
      } else {
        key = py::reinterpret_steal<py::object>(Checked(PyLong_FromUnsignedLong(id)));
      }
      const py::object weight =
          py::reinterpret_steal<py::object>(Checked(PyFloat_FromDouble(rows.weights[e])));
      const int failed = by_token ? PyDict_SetItem(row.ptr(), key.ptr(), weight.ptr())
                                  : SetIdItem(row.ptr(), key.ptr(), id, weight.ptr());
      if (failed != 0) throw py::error_already_set();
    }
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(r), row.release().ptr());
  }
  return result;
}

// One bytes object per row: its ids as uint32 then its weights as float32
// (the layout norvane::PostingSegment reads), for a store without numpy.
py::list Packed(const SparseRows& rows) {
  const size_t n = rows.indptr.size() - 1;
  py::list result(n);
  std::string buffer;
  for (size_t r = 0; r < n; ++r) {
    const auto begin = static_cast<size_t>(rows.indptr[r]);
    const size_t count = static_cast<size_t>(rows.indptr[r + 1]) - begin;
    buffer.resize(count * 8);
    for (size_t i = 0; i < count; ++i) {
      const auto id = static_cast<uint32_t>(rows.ids[begin + i]);
      const auto weight = static_cast<float>(rows.weights[begin + i]);
      std::memcpy(&buffer[i * 4], &id, 4);
      std::memcpy(&buffer[count * 4 + i * 4], &weight, 4);
    }
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(r),
                    Checked(PyBytes_FromStringAndSize(buffer.data(),
                                                      static_cast<Py_ssize_t>(buffer.size()))));
  }
  return result;
}

// A batch smaller than both runs without the machinery of Interruptible: it
// ends within tens of milliseconds, while the results a thread of its own
// writes land in a heap arena whose freed pages are handed back, and fault
// in again on the next call (30% more time at 2,048 short texts).
constexpr size_t kSmallBatchTexts = 16384;
constexpr size_t kSmallBatchBytes = size_t{1} << 20;

bool SmallBatch(const Batch& batch) {
  if (batch.items.size() >= kSmallBatchTexts) return false;
  size_t bytes = 0;
  for (const TextItem& item : batch.items) bytes += item.text.size();
  for (const std::string_view token : batch.tokens) bytes += token.size();
  return bytes < kSmallBatchBytes;
}

// Runs work(cancel) on a thread of its own while this thread waits without
// the interpreter lock, taking it back every few tens of milliseconds to run
// the signal handlers. When one raises (Ctrl-C), cancel is set and the error
// raised once work has stopped: encoder calls stop within milliseconds, and
// a fit then leaves the statistics as they were. Small batches run directly.
template <class Work>
void Interruptible(const Batch& batch, const Work& work) {
  std::atomic<bool> cancel{false};
  if (SmallBatch(batch)) {
    Unlocked([&] { work(&cancel); });
    return;
  }
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::exception_ptr error;
  std::thread worker;
  try {
    worker = std::thread([&] {
      try {
        work(&cancel);
      } catch (...) {
        error = std::current_exception();
      }
      std::lock_guard<std::mutex> lock(mutex);
      done = true;
      finished.notify_all();
    });
  } catch (const std::system_error&) {
    Unlocked([&] { work(&cancel); });  // no thread to spare: not interruptible
    return;
  }
  auto wait = [&](std::chrono::milliseconds slice) {
    bool stopped = false;
    Unlocked([&] {
      std::unique_lock<std::mutex> lock(mutex);
      stopped = finished.wait_for(lock, slice, [&] { return done; });
    });
    return stopped;
  };
  try {
    while (!wait(std::chrono::milliseconds(25))) {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
  } catch (...) {
    // Work that already began to apply its results finishes them first;
    // the error is raised either way.
    cancel.store(true);
    Unlocked([&] { worker.join(); });
    throw;
  }
  Unlocked([&] { worker.join(); });
  if (error) std::rethrow_exception(error);
}

// Reads the rest of the open file fd into text, in one buffer sized by the
// file; 0, or the errno of a failed read (EFBIG past limit bytes).
int ReadFile(int fd, size_t limit, std::string& text) {
  const off_t at = lseek(fd, 0, SEEK_END);
  if (at < 0 || lseek(fd, 0, SEEK_SET) < 0) return errno;
  if (static_cast<uint64_t>(at) > limit) return EFBIG;
  // One byte more than the size: a read that fills it finds a file that grew.
  text.resize(static_cast<size_t>(at) + 1);
  size_t size = 0;
  for (;;) {
    if (size == text.size()) {
      if (size > limit) return EFBIG;
      text.resize(std::min(2 * size, limit + 1));
    }
    const ssize_t n = read(fd, &text[size], text.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  text.resize(size);
  return 0;
}

enum class Call { kDocuments, kQueries, kFitDocuments };

// output: "dict", "ids" or "csr" (checked by the Python layer). For "csr",
// the (indptr, indices, data) arrays of the rows.
py::object Encode(SparseEncoder& encoder, py::handle texts, Call call, const std::string& output,
                  unsigned threads) {
  const Batch batch = ReadBatch(texts);
  const bool by_token = output == "dict";
  SparseRows rows;
  Interruptible(batch, [&](std::atomic<bool>* cancel) {
    if (call == Call::kQueries) {
      encoder.EncodeQueries(batch.items, threads, by_token, rows, cancel);
    } else if (call == Call::kDocuments) {
      encoder.EncodeDocuments(batch.items, threads, by_token, rows, cancel);
    } else {
      encoder.FitEncodeDocuments(batch.items, threads, by_token, rows, cancel);
    }
  });
  if (output == "packed") return Packed(rows);
  if (output != "csr") return Dicts(rows, by_token);
  return py::make_tuple(Array(std::move(rows.indptr)), Array(std::move(rows.ids)),
                        Array(std::move(rows.weights)));
}

}  // namespace

void BindEncoder(py::module_& m) {
  py::class_<SparseEncoder>(m, "SparseEncoder")
      .def(py::init([](std::shared_ptr<Tokenizer> tokenizer, double b, double k1,
                       const std::string& analysis) {
             return std::make_unique<SparseEncoder>(std::move(tokenizer), b, k1, analysis);
           }),
           py::arg("tokenizer"), py::arg("b"), py::arg("k1"), py::arg("analysis") = kAnalyses[0])
      .def("fit",
           [](SparseEncoder& self, py::handle texts, unsigned threads) {
             const Batch batch = ReadBatch(texts);
             Interruptible(batch,
                           [&](std::atomic<bool>* cancel) { self.Fit(batch.items, threads, cancel); });
           },
           py::arg("texts"), py::arg("threads"))
      .def("encode",
           [](SparseEncoder& self, py::handle texts, bool query, const std::string& output,
              unsigned threads) {
             return Encode(self, texts, query ? Call::kQueries : Call::kDocuments, output,
                           threads);
           },
           py::arg("texts"), py::arg("query"), py::arg("output"), py::arg("threads"))
      .def("fit_encode",
           [](SparseEncoder& self, py::handle texts, const std::string& output,
              unsigned threads) { return Encode(self, texts, Call::kFitDocuments, output, threads); },
           py::arg("texts"), py::arg("output"), py::arg("threads"))
      .def("encode_queries_from",
           [](const SparseEncoder& self, py::handle texts, int doc_count,
              std::shared_ptr<PostingSegment> segment, const SparseEncoder* plus,
              const SparseEncoder* minus) {
             // Frequencies of a store: its checkpoint's, plus those of texts
             // added since, minus those of texts removed since.
             const Batch batch = ReadBatch(texts);
             const SparseEncoder::FrequencyOf frequency = [&](std::string_view token,
                                                              size_t hash) {
               long long count = segment ? segment->DocumentFrequency(hash) : 0;
               if (plus != nullptr) count += plus->document_frequency(token);
               if (minus != nullptr) count -= minus->document_frequency(token);
               return count;
             };
             SparseRows rows;
             Unlocked([&] { self.EncodeQueries(batch.items, doc_count, frequency, false, rows); });
             return Packed(rows);
           },
           py::arg("texts"), py::arg("doc_count"), py::arg("segment"), py::arg("plus"),
           py::arg("minus"))
      .def("merge",
           [](SparseEncoder& self, const SparseEncoder& other) {
             Unlocked([&] { self.Merge(other); });
           })
      .def("subtract",
           [](SparseEncoder& self, const SparseEncoder& other) {
             Unlocked([&] { self.Subtract(other); });
           })
      .def("model_text",
           [](const SparseEncoder& self) {
             std::string text;
             Unlocked([&] { text = self.ModelText(); });
             return py::str(text);
           })
      .def("save",
           [](const SparseEncoder& self, const std::string& path) {
             Unlocked([&] { korva::typing::text::WriteModelFile(path, self.ModelText()); });
           })
      .def("restore",
           [](SparseEncoder& self, const std::string& text) {
             Unlocked([&] { self.Restore(text); });
           })
      .def("restore_file",
           [](SparseEncoder& self, int fd, const std::string& path, size_t limit) {
             // Read here, into the one copy Restore parses.
             std::string text;
             int error = 0;
             Unlocked([&] { error = ReadFile(fd, limit, text); });
             if (error != 0) {
               errno = error;
               PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
               throw py::error_already_set();
             }
             Unlocked([&] { self.Restore(text); });
           },
           py::arg("fd"), py::arg("path"), py::arg("limit"))
      .def("analyze",
           [](const SparseEncoder& self, py::handle text) {
             const std::string_view utf8 = Utf8(text.ptr(), "text");
             std::string folded;
             std::vector<Token> words;
             std::vector<std::string_view> tokens;
             Unlocked([&] { self.analyzer().Analyze(utf8, folded, words, tokens); });
             py::list result(tokens.size());
             for (size_t i = 0; i < tokens.size(); ++i) {
               result[i] = py::reinterpret_steal<py::object>(Checked(PyUnicode_DecodeUTF8(
                   tokens[i].data(), static_cast<Py_ssize_t>(tokens[i].size()), "strict")));
             }
             return result;
           })
      .def("document_frequency", &SparseEncoder::document_frequency)
      .def_property_readonly("b", &SparseEncoder::b)
      .def_property_readonly("k1", &SparseEncoder::k1)
      .def_property_readonly("doc_count", &SparseEncoder::doc_count)
      .def_property_readonly("length_total", &SparseEncoder::length_total)
      .def("document_frequencies",
           [](const SparseEncoder& self) {
             std::vector<std::pair<uint64_t, int>> table;
             Unlocked([&] { table = self.DocumentFrequencies(); });
             // The hashes (uint64) then the counts (int32).
             std::string bytes(table.size() * 12, '\0');
             for (size_t i = 0; i < table.size(); ++i) {
               const auto count = static_cast<int32_t>(table[i].second);
               std::memcpy(&bytes[i * 8], &table[i].first, 8);
               std::memcpy(&bytes[table.size() * 8 + i * 4], &count, 4);
             }
             return py::bytes(bytes);
           })
      .def_property_readonly("vocabulary_size", &SparseEncoder::vocabulary_size)
      .def_property_readonly("analysis",
                             [](const SparseEncoder& self) { return self.analyzer().name(); });
  py::tuple analyses(std::size(kAnalyses));
  for (size_t i = 0; i < std::size(kAnalyses); ++i) analyses[i] = py::str(kAnalyses[i]);
  m.attr("ANALYSES") = analyses;
  m.def("default_k1", [](const std::string& analysis) { return DefaultK1(analysis); },
        py::arg("analysis"));
  m.def("murmur3", [](const std::string& bytes) { return Murmur3x86_32(bytes); },
        "MurmurHash3 x86_32, seed 0, of the UTF-8 bytes.");
}

}  // namespace norvane
