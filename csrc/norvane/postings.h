#pragma once
// Usage:
//   // Packed vectors: n uint32 ids (ascending) then n float32 weights.
//   auto batch = norvane::PostingSegment::Build(nums, vectors, count);
//   auto cache = norvane::PostingSegment::Open("x.db.docs.7.postings");
//   auto live = cache->WithDead(gone_nums, gone_count);      // a new view
//   std::vector<norvane::ScoredDoc> top =
//       norvane::SearchSegments({live.get(), batch.get()}, query_ids, query_weights, n, 10,
//                               nullptr, 0);
//   norvane::PostingSegment::Merge({live.get(), batch.get()}, df_inputs, meta, path);
//
// An inverted index of sparse vectors over documents numbered by the store
// (64-bit "nums", ascending within a segment and from one segment to the
// next): for each dimension, the documents holding it and their weights.
// A segment also carries a table of document frequencies by token hash
// (TokenTable::Hash), and an opaque metadata string of its writer.
//
// Thread safety: a segment is immutable once built or opened; WithDead gives
// a new segment sharing the postings. Any number of threads may search the
// same segments at once.
// Throws: std::invalid_argument for malformed input (a packed vector whose
// size is not a multiple of 8, ids out of order, nums out of order);
// std::runtime_error naming the file for a file that cannot be read or
// written or is not a segment; std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvane {

struct ScoredDoc {
  uint64_t num;
  float score;
};

class PostingSegment {
 public:
  struct Storage;

  // A segment of the packed vectors of documents nums[0..count), in memory.
  static std::shared_ptr<const PostingSegment> Build(const uint64_t* nums,
                                                     const std::string_view* vectors,
                                                     size_t count);
  // A segment file written by Merge, mapped read-only.
  static std::shared_ptr<const PostingSegment> Open(const std::string& path);

  // One input of a merged frequency table: hashes ascending, counts added
  // with sign (+1 or -1).
  struct Frequencies {
    const uint64_t* hashes;
    const int32_t* counts;
    size_t size;
    int sign;
  };
  // Writes the live documents of inputs (in num order) as one segment file
  // at path (through a temporary file, flushed to disk, then renamed), with
  // the sum of the frequency tables (entries that sum to 0 left out).
  // Returns the number of documents written.
  static size_t Merge(const std::vector<const PostingSegment*>& inputs,
                      const std::vector<Frequencies>& frequencies, const std::string& meta,
                      const std::string& path);

  // This segment with the documents of these nums marked dead as well (nums
  // it does not hold are ignored).
  std::shared_ptr<const PostingSegment> WithDead(const uint64_t* nums, size_t count) const;

  size_t doc_count() const { return doc_count_; }
  size_t live_count() const { return doc_count_ - dead_count_; }
  size_t posting_count() const { return posting_count_; }
  uint64_t num(size_t local) const { return nums_[local]; }
  bool dead(size_t local) const { return (dead_[local >> 6] >> (local & 63)) & 1; }
  // The document frequency stored for a token hash, 0 when absent.
  int32_t DocumentFrequency(uint64_t hash) const;
  size_t frequency_count() const { return df_count_; }
  const uint64_t* frequency_hashes() const { return df_hashes_; }
  const int32_t* frequency_counts() const { return df_counts_; }
  std::string_view meta() const { return meta_; }

  // The postings [begin, end) of dimension id; begin == end when absent.
  void Postings(uint32_t id, size_t& begin, size_t& end) const;
  // The same by the position of the dimension among the segment's; the
  // position (SIZE_MAX when absent) is what term_max takes.
  size_t Term(uint32_t id) const;
  void Postings(size_t term, size_t& begin, size_t& end) const;
  // The largest weight of the dimension at position term.
  float term_max(size_t term) const { return term_max_[term]; }
  const uint32_t* docs() const { return docs_; }
  const float* weights() const { return weights_; }

 private:
  PostingSegment() = default;

  std::shared_ptr<const Storage> storage_;
  size_t doc_count_ = 0;
  size_t term_count_ = 0;
  size_t posting_count_ = 0;
  size_t df_count_ = 0;
  const uint64_t* nums_ = nullptr;
  const uint32_t* terms_ = nullptr;
  const uint64_t* offsets_ = nullptr;  // term_count_ + 1
  const float* term_max_ = nullptr;
  const uint64_t* term_dir_ = nullptr;  // see DirectoryBits in postings.cc
  const uint64_t* df_dir_ = nullptr;
  const uint32_t* docs_ = nullptr;     // local document of each posting
  const float* weights_ = nullptr;
  const uint64_t* df_hashes_ = nullptr;
  const int32_t* df_counts_ = nullptr;
  std::string_view meta_;
  std::vector<uint64_t> dead_;  // a bit per local document
  size_t dead_count_ = 0;
};

// The k best documents of the segments for the query (ids ascending, float32
// weights): score = sum over shared ids of query weight x document weight,
// accumulated in float32 (in the order of the dimensions' largest possible
// contribution, the same for every document), as a sparse inner-product
// index scores. Lists whose contributions together cannot lift a document
// into the k best are only looked up for the documents that still can
// (MaxScore); the result equals an exhaustive accumulation's. Dead documents, documents outside `allowed` (ascending nums;
// null for no filter) and scores <= 0 are left out. Best first; equal scores
// in ascending num order (the earlier stored document first).
std::vector<ScoredDoc> SearchSegments(const std::vector<const PostingSegment*>& segments,
                                      const uint32_t* ids, const float* weights, size_t count,
                                      size_t k, const uint64_t* allowed, size_t allowed_count);

}  // namespace norvane
