#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "norvane/bind.h"
#include "norvane/postings.h"
#include "search/bm25/bm25_internal.h"

namespace norvane {

namespace py = pybind11;

namespace {

// pybind11 holders are of non-const types; segments are never changed.
using Segment = std::shared_ptr<PostingSegment>;

Segment Held(std::shared_ptr<const PostingSegment> segment) {
  return std::const_pointer_cast<PostingSegment>(std::move(segment));
}

std::string_view View(const py::bytes& bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.ptr(), &data, &size) != 0) throw py::error_already_set();
  return std::string_view(data, static_cast<size_t>(size));
}

// Ascending uint64 values packed in bytes (a filter's allowed nums).
std::vector<uint64_t> Nums(const py::bytes& bytes) {
  const std::string_view view = View(bytes);
  if (view.size() % 8 != 0) throw py::value_error("packed nums must be 8 bytes each");
  std::vector<uint64_t> nums(view.size() / 8);
  if (!nums.empty()) std::memcpy(nums.data(), view.data(), view.size());
  return nums;
}

std::vector<const PostingSegment*> Raw(const std::vector<Segment>& segments) {
  std::vector<const PostingSegment*> raw;
  for (const Segment& s : segments) {
    if (!s) throw py::type_error("segments must not be None");
    raw.push_back(s.get());
  }
  return raw;
}

}  // namespace

void BindPostings(py::module_& m) {
  py::class_<PostingSegment, Segment>(m, "PostingSegment")
      .def_static("build",
                  [](const std::vector<uint64_t>& nums, const std::vector<py::bytes>& vectors) {
                    if (nums.size() != vectors.size()) {
                      throw py::value_error("one packed vector per num is needed");
                    }
                    std::vector<std::string_view> views;
                    views.reserve(vectors.size());
                    for (const py::bytes& v : vectors) views.push_back(View(v));
                    Segment segment;
                    Unlocked([&] {
                      segment = Held(PostingSegment::Build(nums.data(), views.data(), nums.size()));
                    });
                    return segment;
                  },
                  py::arg("nums"), py::arg("vectors"))
      .def_static("open",
                  [](const std::string& path) {
                    Segment segment;
                    Unlocked([&] { segment = Held(PostingSegment::Open(path)); });
                    return segment;
                  },
                  py::arg("path"))
      .def("with_dead",
           [](const PostingSegment& self, const std::vector<uint64_t>& nums) {
             Segment segment;
             Unlocked([&] { segment = Held(self.WithDead(nums.data(), nums.size())); });
             return segment;
           },
           py::arg("nums"))
      .def("document_frequencies",
           [](const PostingSegment& self, const std::vector<std::string>& tokens) {
             std::vector<int32_t> counts;
             counts.reserve(tokens.size());
             for (const std::string& token : tokens) {
               counts.push_back(self.DocumentFrequency(
                   static_cast<uint64_t>(korva::typing::text::TokenTable::Hash(token))));
             }
             return counts;
           },
           py::arg("tokens"))
      .def("nums",
           [](const PostingSegment& self) {
             std::vector<uint64_t> nums(self.doc_count());
             for (size_t i = 0; i < nums.size(); ++i) nums[i] = self.num(i);
             return nums;
           })
      .def_property_readonly("doc_count", &PostingSegment::doc_count)
      .def_property_readonly("live_count", &PostingSegment::live_count)
      .def_property_readonly("posting_count", &PostingSegment::posting_count)
      .def_property_readonly("meta",
                             [](const PostingSegment& self) { return py::bytes(self.meta()); });

  m.def("search_segments",
        [](const std::vector<Segment>& segments, const py::bytes& query, size_t k,
           const py::object& allowed) {
          const std::string_view packed = View(query);
          if (packed.size() % 8 != 0) throw py::value_error("a packed query has 8 bytes per entry");
          const size_t n = packed.size() / 8;
          std::vector<uint32_t> ids(n);
          std::vector<float> weights(n);
          if (n != 0) {
            std::memcpy(ids.data(), packed.data(), n * 4);
            std::memcpy(weights.data(), packed.data() + n * 4, n * 4);
          }
          const bool filtered = !allowed.is_none();
          const std::vector<uint64_t> permitted =
              filtered ? Nums(py::reinterpret_borrow<py::bytes>(allowed)) : std::vector<uint64_t>();
          const std::vector<const PostingSegment*> raw = Raw(segments);
          std::vector<ScoredDoc> hits;
          static const uint64_t kNone = 0;  // an empty filter still filters
          const uint64_t* allowed_nums =
              !filtered ? nullptr : permitted.empty() ? &kNone : permitted.data();
          Unlocked([&] {
            hits = SearchSegments(raw, ids.data(), weights.data(), n, k, allowed_nums,
                                  permitted.size());
          });
          py::list result(hits.size());
          for (size_t i = 0; i < hits.size(); ++i) {
            result[i] = py::make_tuple(hits[i].num, static_cast<double>(hits[i].score));
          }
          return result;
        },
        py::arg("segments"), py::arg("query"), py::arg("k"), py::arg("allowed") = py::none(),
        "The k best (num, score) of the segments for a packed query.");

  m.def("merge_segments",
        [](const std::vector<Segment>& segments, const py::list& frequencies,
           const py::bytes& meta, const std::string& path) {
          // Each frequency input: (PostingSegment or packed table bytes, sign).
          // Tables read from bytes are copied into `copies`, reserved up
          // front so that the views into them stay put.
          std::vector<PostingSegment::Frequencies> all;
          std::vector<std::pair<std::vector<uint64_t>, std::vector<int32_t>>> copies;
          std::vector<Segment> held;
          copies.reserve(frequencies.size());
          for (const py::handle item : frequencies) {
            const auto pair = item.cast<std::tuple<py::object, int>>();
            const py::object& source = std::get<0>(pair);
            const int sign = std::get<1>(pair);
            if (sign != 1 && sign != -1) throw py::value_error("a frequency sign is 1 or -1");
            if (py::isinstance<PostingSegment>(source)) {
              Segment segment = source.cast<Segment>();
              all.push_back({segment->frequency_hashes(), segment->frequency_counts(),
                             segment->frequency_count(), sign});
              held.push_back(std::move(segment));
              continue;
            }
            const std::string_view view = View(source.cast<py::bytes>());
            if (view.size() % 12 != 0) {
              throw py::value_error("a frequency table has 12 bytes per entry");
            }
            const size_t n = view.size() / 12;
            copies.emplace_back(std::vector<uint64_t>(n), std::vector<int32_t>(n));
            if (n != 0) {
              std::memcpy(copies.back().first.data(), view.data(), n * 8);
              std::memcpy(copies.back().second.data(), view.data() + n * 8, n * 4);
            }
            all.push_back({copies.back().first.data(), copies.back().second.data(), n, sign});
          }
          const std::string meta_text(View(meta));
          const std::vector<const PostingSegment*> raw = Raw(segments);
          size_t written = 0;
          Unlocked([&] { written = PostingSegment::Merge(raw, all, meta_text, path); });
          return written;
        },
        py::arg("segments"), py::arg("frequencies"), py::arg("meta"), py::arg("path"),
        "Writes the live documents of the segments and the summed frequency tables to path.");
}

}  // namespace norvane
