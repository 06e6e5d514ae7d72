#include "norvane/postings.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "norvane/token_table.h"

namespace norvane {

namespace {

constexpr char kMagic[8] = {'N', 'V', 'P', 'O', 'S', 'T', '0', '2'};
constexpr size_t kHeaderWords = 8;  // magic and seven 64-bit fields

// Document frequencies are keyed by the table hash, which is this build's
// and may change in another: a file records the hash of a fixed text, and
// one whose hash differs is refused (the store then rebuilds it).
uint64_t HashProbe() {
  return TokenTable::Hash("norvane postings: token hash");
}

size_t Padded(size_t bytes) { return (bytes + 7) & ~size_t{7}; }

// A sorted array of count keys gets a directory of 2^bits + 1 starts, by the
// keys' top bits: a lookup then searches a bucket of about four keys, not
// the whole array (whose binary search misses the cache at every step).
int DirectoryBits(size_t count) {
  int bits = 0;
  while (bits < 20 && (count >> (bits + 2)) > 1) ++bits;
  return bits;
}

template <typename Key>
std::vector<uint64_t> Directory(const Key* keys, size_t count) {
  const int bits = DirectoryBits(count);
  const int shift = static_cast<int>(sizeof(Key) * 8) - bits;
  std::vector<uint64_t> starts((size_t{1} << bits) + 1, count);
  size_t at = 0;
  for (size_t b = 0; b < (size_t{1} << bits); ++b) {
    while (at < count && bits != 0 && static_cast<size_t>(keys[at] >> shift) < b) ++at;
    starts[b] = bits == 0 ? 0 : at;
  }
  return starts;
}

// Position of key in keys[0, count), or count when absent.
template <typename Key>
size_t Find(const Key* keys, size_t count, const uint64_t* directory, Key key) {
  const int bits = DirectoryBits(count);
  const size_t bucket = bits == 0 ? 0 : static_cast<size_t>(key >> (sizeof(Key) * 8 - bits));
  const size_t begin = std::min<uint64_t>(directory[bucket], count);
  const size_t end = std::min<uint64_t>(std::max(directory[bucket + 1], directory[bucket]), count);
  const Key* found = std::lower_bound(keys + begin, keys + end, key);
  return found != keys + end && *found == key ? static_cast<size_t>(found - keys) : count;
}

// Where each array of a segment file starts, for the counts of its header.
struct Layout {
  size_t nums, offsets, df_hashes, terms, term_max, docs, weights, df_counts, term_dir, df_dir,
      meta, end;

  Layout(size_t doc_count, size_t term_count, size_t posting_count, size_t df_count,
         size_t meta_size) {
    size_t at = kHeaderWords * 8;
    nums = at;
    at += doc_count * 8;
    offsets = at;
    at += (term_count + 1) * 8;
    df_hashes = at;
    at += df_count * 8;
    terms = at;
    at += Padded(term_count * 4);
    term_max = at;
    at += Padded(term_count * 4);
    docs = at;
    at += Padded(posting_count * 4);
    weights = at;
    at += Padded(posting_count * 4);
    df_counts = at;
    at += Padded(df_count * 4);
    term_dir = at;
    at += ((size_t{1} << DirectoryBits(term_count)) + 1) * 8;
    df_dir = at;
    at += ((size_t{1} << DirectoryBits(df_count)) + 1) * 8;
    meta = at;
    end = at + meta_size;
  }
};

std::string Errno(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

// Splits a packed vector into its count, ids and weights (copied: the bytes
// need not be aligned).
size_t Unpack(std::string_view packed, std::vector<uint32_t>& ids, std::vector<float>& weights) {
  if (packed.size() % 8 != 0) {
    throw std::invalid_argument("a packed vector has " + std::to_string(packed.size()) +
                                " bytes, not a multiple of 8");
  }
  const size_t n = packed.size() / 8;
  ids.resize(n);
  weights.resize(n);
  if (n == 0) return 0;
  std::memcpy(ids.data(), packed.data(), n * 4);
  std::memcpy(weights.data(), packed.data() + n * 4, n * 4);
  for (size_t i = 1; i < n; ++i) {
    if (ids[i] <= ids[i - 1]) throw std::invalid_argument("a packed vector's ids are not ascending");
  }
  return n;
}

}  // namespace

struct PostingSegment::Storage {
  std::vector<uint64_t> nums;
  std::vector<uint32_t> terms;
  std::vector<uint64_t> offsets;
  std::vector<float> term_max;
  std::vector<uint32_t> docs;
  std::vector<float> weights;
  std::vector<uint64_t> term_dir;
  std::vector<uint64_t> df_dir;
  void* map = nullptr;
  size_t map_size = 0;

  Storage() = default;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage() {
    if (map != nullptr) munmap(map, map_size);
  }
};

std::shared_ptr<const PostingSegment> PostingSegment::Build(const uint64_t* nums,
                                                            const std::string_view* vectors,
                                                            size_t count) {
  auto storage = std::make_shared<Storage>();
  storage->nums.assign(nums, nums + count);
  for (size_t i = 1; i < count; ++i) {
    if (nums[i] <= nums[i - 1]) throw std::invalid_argument("document nums are not ascending");
  }
  if (count >= UINT32_MAX) throw std::invalid_argument("too many documents for one segment");
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += vectors[i].size() / 8;
  // Postings in document order, then sorted stably by id in two passes of
  // 16 bits: documents stay ascending within each id.
  std::vector<uint32_t> keys(total), locals(total), keys2(total), locals2(total);
  std::vector<float> values(total), values2(total);
  std::vector<uint32_t> ids;
  std::vector<float> weights;
  size_t at = 0;
  for (size_t d = 0; d < count; ++d) {
    const size_t n = Unpack(vectors[d], ids, weights);
    for (size_t i = 0; i < n; ++i, ++at) {
      keys[at] = ids[i];
      locals[at] = static_cast<uint32_t>(d);
      values[at] = weights[i];
    }
  }
  for (int shift = 0; shift < 32; shift += 16) {
    std::vector<size_t> starts(65537, 0);
    for (size_t i = 0; i < total; ++i) ++starts[((keys[i] >> shift) & 0xFFFF) + 1];
    for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
    for (size_t i = 0; i < total; ++i) {
      const size_t to = starts[(keys[i] >> shift) & 0xFFFF]++;
      keys2[to] = keys[i];
      locals2[to] = locals[i];
      values2[to] = values[i];
    }
    keys.swap(keys2);
    locals.swap(locals2);
    values.swap(values2);
  }
  for (size_t i = 0; i < total; ++i) {
    if (i == 0 || keys[i] != keys[i - 1]) {
      storage->terms.push_back(keys[i]);
      storage->offsets.push_back(i);
      storage->term_max.push_back(values[i]);
    } else {
      storage->term_max.back() = std::max(storage->term_max.back(), values[i]);
    }
  }
  storage->offsets.push_back(total);
  storage->docs = std::move(locals);
  storage->weights = std::move(values);

  std::shared_ptr<PostingSegment> segment(new PostingSegment());
  segment->doc_count_ = count;
  segment->term_count_ = storage->terms.size();
  segment->posting_count_ = total;
  segment->nums_ = storage->nums.data();
  segment->terms_ = storage->terms.data();
  segment->offsets_ = storage->offsets.data();
  segment->term_max_ = storage->term_max.data();
  storage->term_dir = Directory(storage->terms.data(), storage->terms.size());
  storage->df_dir = Directory<uint64_t>(nullptr, 0);
  segment->term_dir_ = storage->term_dir.data();
  segment->df_dir_ = storage->df_dir.data();
  segment->docs_ = storage->docs.data();
  segment->weights_ = storage->weights.data();
  segment->dead_.assign((count + 63) / 64, 0);
  segment->storage_ = std::move(storage);
  return segment;
}

std::shared_ptr<const PostingSegment> PostingSegment::Open(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(Errno("cannot open", path));
  struct stat info;
  if (fstat(fd, &info) != 0) {
    const std::string message = Errno("cannot read", path);
    close(fd);
    throw std::runtime_error(message);
  }
  const size_t size = static_cast<size_t>(info.st_size);
  if (size < kHeaderWords * 8) {
    close(fd);
    throw std::runtime_error(path + " is not a posting segment (too short)");
  }
  void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) throw std::runtime_error(Errno("cannot map", path));
  auto storage = std::make_shared<Storage>();
  storage->map = map;
  storage->map_size = size;
  const auto* base = static_cast<const unsigned char*>(map);
  uint64_t header[kHeaderWords];
  std::memcpy(header, base, sizeof(header));
  if (std::memcmp(base, kMagic, 8) != 0) {
    throw std::runtime_error(path + " is not a posting segment (bad magic)");
  }
  // Counts that cannot fit the file are refused before they are multiplied.
  for (size_t i = 1; i < 6; ++i) {
    if (header[i] > size) throw std::runtime_error(path + " is not a posting segment (counts)");
  }
  if (header[6] != HashProbe()) {
    throw std::runtime_error(path + " is not a posting segment of this build (token hash)");
  }
  const Layout layout(header[1], header[2], header[3], header[4], header[5]);
  if (layout.end != size) {
    throw std::runtime_error(path + " is not a posting segment (size " + std::to_string(size) +
                             ", expected " + std::to_string(layout.end) + ")");
  }
  std::shared_ptr<PostingSegment> segment(new PostingSegment());
  segment->doc_count_ = header[1];
  segment->term_count_ = header[2];
  segment->posting_count_ = header[3];
  segment->df_count_ = header[4];
  segment->nums_ = reinterpret_cast<const uint64_t*>(base + layout.nums);
  segment->offsets_ = reinterpret_cast<const uint64_t*>(base + layout.offsets);
  segment->df_hashes_ = reinterpret_cast<const uint64_t*>(base + layout.df_hashes);
  segment->terms_ = reinterpret_cast<const uint32_t*>(base + layout.terms);
  segment->term_max_ = reinterpret_cast<const float*>(base + layout.term_max);
  segment->docs_ = reinterpret_cast<const uint32_t*>(base + layout.docs);
  segment->weights_ = reinterpret_cast<const float*>(base + layout.weights);
  segment->df_counts_ = reinterpret_cast<const int32_t*>(base + layout.df_counts);
  segment->term_dir_ = reinterpret_cast<const uint64_t*>(base + layout.term_dir);
  segment->df_dir_ = reinterpret_cast<const uint64_t*>(base + layout.df_dir);
  segment->meta_ = std::string_view(reinterpret_cast<const char*>(base + layout.meta), header[5]);
  if (segment->offsets_[0] != 0 || segment->offsets_[header[2]] != header[3]) {
    throw std::runtime_error(path + " is not a posting segment (offsets)");
  }
  segment->dead_.assign((segment->doc_count_ + 63) / 64, 0);
  segment->storage_ = std::move(storage);
  return segment;
}

std::shared_ptr<const PostingSegment> PostingSegment::WithDead(const uint64_t* nums,
                                                               size_t count) const {
  std::shared_ptr<PostingSegment> copy(new PostingSegment(*this));
  for (size_t i = 0; i < count; ++i) {
    const uint64_t* found = std::lower_bound(nums_, nums_ + doc_count_, nums[i]);
    if (found == nums_ + doc_count_ || *found != nums[i]) continue;
    const size_t local = static_cast<size_t>(found - nums_);
    uint64_t& word = copy->dead_[local >> 6];
    const uint64_t bit = uint64_t{1} << (local & 63);
    if ((word & bit) == 0) {
      word |= bit;
      ++copy->dead_count_;
    }
  }
  return copy;
}

int32_t PostingSegment::DocumentFrequency(uint64_t hash) const {
  const size_t at = Find(df_hashes_, df_count_, df_dir_, hash);
  return at == df_count_ ? 0 : df_counts_[at];
}

size_t PostingSegment::Term(uint32_t id) const {
  const size_t at = Find(terms_, term_count_, term_dir_, id);
  return at == term_count_ ? SIZE_MAX : at;
}

void PostingSegment::Postings(uint32_t id, size_t& begin, size_t& end) const {
  begin = end = 0;
  const size_t term = Term(id);
  if (term != SIZE_MAX) Postings(term, begin, end);
}

void PostingSegment::Postings(size_t term, size_t& begin, size_t& end) const {
  const uint64_t b = offsets_[term];
  const uint64_t e = offsets_[term + 1];
  if (b > e || e > posting_count_) throw std::runtime_error("a posting segment is damaged");
  begin = static_cast<size_t>(b);
  end = static_cast<size_t>(e);
}

size_t PostingSegment::Merge(const std::vector<const PostingSegment*>& inputs,
                             const std::vector<Frequencies>& frequencies,
                             const std::string& meta, const std::string& path) {
  // New local numbers of the live documents, in input order.
  std::vector<std::vector<uint32_t>> renumber(inputs.size());
  std::vector<uint64_t> nums;
  uint64_t last = 0;
  for (size_t s = 0; s < inputs.size(); ++s) {
    const PostingSegment& in = *inputs[s];
    renumber[s].assign(in.doc_count_, UINT32_MAX);
    for (size_t d = 0; d < in.doc_count_; ++d) {
      if (in.dead(d)) continue;
      if (!nums.empty() && in.nums_[d] <= last) {
        throw std::invalid_argument("segments to merge are not in num order");
      }
      last = in.nums_[d];
      renumber[s][d] = static_cast<uint32_t>(nums.size());
      nums.push_back(last);
    }
  }
  if (nums.size() >= UINT32_MAX) throw std::invalid_argument("too many documents for one segment");
  std::vector<uint32_t> terms;
  std::vector<uint64_t> offsets;
  std::vector<float> term_max;
  std::vector<uint32_t> docs;
  std::vector<float> weights;
  size_t postings = 0;
  for (const PostingSegment* in : inputs) postings += in->posting_count_;
  docs.reserve(postings);
  weights.reserve(postings);
  std::vector<size_t> heads(inputs.size(), 0);
  for (;;) {
    // The smallest next id over the inputs (few inputs: a scan beats a heap).
    bool any = false;
    uint32_t id = 0;
    for (size_t s = 0; s < inputs.size(); ++s) {
      if (heads[s] < inputs[s]->term_count_) {
        const uint32_t t = inputs[s]->terms_[heads[s]];
        if (!any || t < id) id = t;
        any = true;
      }
    }
    if (!any) break;
    const size_t before = docs.size();
    for (size_t s = 0; s < inputs.size(); ++s) {
      const PostingSegment& in = *inputs[s];
      if (heads[s] >= in.term_count_ || in.terms_[heads[s]] != id) continue;
      size_t begin, end;
      in.Postings(id, begin, end);
      for (size_t p = begin; p < end; ++p) {
        const uint32_t d = in.docs_[p];
        if (d >= in.doc_count_) throw std::runtime_error("a posting segment is damaged");
        if (renumber[s][d] == UINT32_MAX) continue;
        docs.push_back(renumber[s][d]);
        weights.push_back(in.weights_[p]);
      }
      ++heads[s];
    }
    if (docs.size() > before) {
      terms.push_back(id);
      offsets.push_back(before);
      term_max.push_back(*std::max_element(weights.begin() + static_cast<ptrdiff_t>(before),
                                           weights.end()));
    }
  }
  offsets.push_back(docs.size());

  // Frequency tables: a merge of sorted inputs by repeated sorting would
  // cost more than the concatenation and one sort.
  std::vector<std::pair<uint64_t, int64_t>> all;
  size_t total = 0;
  for (const Frequencies& f : frequencies) total += f.size;
  all.reserve(total);
  for (const Frequencies& f : frequencies) {
    for (size_t i = 0; i < f.size; ++i) all.emplace_back(f.hashes[i], int64_t{f.sign} * f.counts[i]);
  }
  std::sort(all.begin(), all.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint64_t> df_hashes;
  std::vector<int32_t> df_counts;
  for (size_t i = 0; i < all.size();) {
    int64_t sum = 0;
    size_t j = i;
    for (; j < all.size() && all[j].first == all[i].first; ++j) sum += all[j].second;
    if (sum < 0 || sum > INT32_MAX) {
      throw std::invalid_argument("document frequencies to merge go out of range");
    }
    if (sum != 0) {
      df_hashes.push_back(all[i].first);
      df_counts.push_back(static_cast<int32_t>(sum));
    }
    i = j;
  }

  const std::string temporary = path + ".tmp" + std::to_string(getpid());
  FILE* out = std::fopen(temporary.c_str(), "wb");
  if (out == nullptr) throw std::runtime_error(Errno("cannot create", temporary));
  bool ok = true;
  auto put = [&](const void* data, size_t bytes) {
    if (ok && bytes != 0 && std::fwrite(data, 1, bytes, out) != bytes) ok = false;
  };
  auto pad = [&](size_t bytes) {
    static const char zeros[8] = {0};
    put(zeros, Padded(bytes) - bytes);
  };
  uint64_t header[kHeaderWords] = {0, nums.size(), terms.size(), docs.size(), df_hashes.size(),
                                   meta.size(), HashProbe(), 0};
  std::memcpy(&header[0], kMagic, 8);
  put(header, sizeof(header));
  put(nums.data(), nums.size() * 8);
  put(offsets.data(), offsets.size() * 8);
  put(df_hashes.data(), df_hashes.size() * 8);
  put(terms.data(), terms.size() * 4);
  pad(terms.size() * 4);
  put(term_max.data(), term_max.size() * 4);
  pad(term_max.size() * 4);
  put(docs.data(), docs.size() * 4);
  pad(docs.size() * 4);
  put(weights.data(), weights.size() * 4);
  pad(weights.size() * 4);
  put(df_counts.data(), df_counts.size() * 4);
  pad(df_counts.size() * 4);
  const std::vector<uint64_t> term_dir = Directory(terms.data(), terms.size());
  const std::vector<uint64_t> df_dir = Directory(df_hashes.data(), df_hashes.size());
  put(term_dir.data(), term_dir.size() * 8);
  put(df_dir.data(), df_dir.size() * 8);
  put(meta.data(), meta.size());
  if (ok && std::fflush(out) != 0) ok = false;
  if (ok && fsync(fileno(out)) != 0) ok = false;
  const std::string failure = ok ? std::string() : Errno("cannot write", temporary);
  if (std::fclose(out) != 0 && ok) {
    ok = false;
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    const std::string message = failure.empty() ? Errno("cannot write", path) : failure;
    std::remove(temporary.c_str());
    throw std::runtime_error(message);
  }
  return nums.size();
}

namespace {

// Better first: a higher score, then a lower num.
bool Better(const ScoredDoc& a, const ScoredDoc& b) {
  return a.score > b.score || (a.score == b.score && a.num < b.num);
}

// A bound a float32 sum of contributions stays below: the real sum, widened
// for the rounding of up to a few hundred additions.
double Widened(double bound) { return bound * (1.0 + 1e-5) + 1e-30; }

struct QueryTerm {
  size_t begin;
  size_t end;
  float weight;
  double most;  // weight times the list's largest weight
};

// Scores one segment into heap (the k best so far over all segments, worst
// on top).
void SearchSegment(const PostingSegment& segment, const std::vector<QueryTerm>& terms, size_t k,
                   const std::vector<uint64_t>* permitted, std::vector<ScoredDoc>& heap) {
  const size_t n = segment.doc_count();
  thread_local std::vector<float> scores;  // all zero between calls
  thread_local std::vector<uint64_t> seen;  // a bit per document scored; zero between calls
  thread_local std::vector<uint32_t> touched;
  thread_local std::vector<float> kept;
  if (scores.size() < n) scores.resize(n, 0.0f);
  if (seen.size() < (n + 63) / 64) seen.resize((n + 63) / 64, 0);
  if (touched.size() < n + 1) touched.resize(n + 1);
  size_t touched_count = 0;
  auto eligible = [&](uint32_t d) {
    return !segment.dead(d) && (permitted == nullptr || (((*permitted)[d >> 6] >> (d & 63)) & 1));
  };
  // The score a document must beat: the k-th best of the segments before,
  // raised by the documents of this one as they are scored.
  auto floor_of_heap = [&] { return heap.size() == k ? static_cast<double>(heap.front().score) : 0.0; };
  // Keeps hit if it is among the k best so far.
  auto Offer = [&](const ScoredDoc& hit) {
    if (heap.size() < k) {
      heap.push_back(hit);
      std::push_heap(heap.begin(), heap.end(), Better);
    } else if (Better(hit, heap.front())) {
      std::pop_heap(heap.begin(), heap.end(), Better);
      heap.back() = hit;
      std::push_heap(heap.begin(), heap.end(), Better);
    }
  };
  double rest = 0.0;  // the most the lists not yet read can add to a document
  double read = 0.0;  // the most the lists read can have given one
  for (const QueryTerm& t : terms) rest += t.most;
  const uint32_t* docs = segment.docs();
  const float* values = segment.weights();
  size_t t = 0;
  double floor = floor_of_heap();
  for (; t < terms.size(); ++t) {
    if (Widened(rest) < floor) break;  // a document not yet seen cannot make it
    const QueryTerm& term = terms[t];
    for (size_t p = term.begin; p < term.end; ++p) {
      const uint32_t d = docs[p];
      if (d >= n) continue;
      // Without a branch on whether d was seen: it would be mispredicted
      // about half the time on the first lists.
      uint64_t& word = seen[d >> 6];
      const uint64_t bit = uint64_t{1} << (d & 63);
      touched[touched_count] = d;
      touched_count += (word & bit) == 0;
      word |= bit;
      scores[d] += term.weight * values[p];
    }
    rest -= term.most;
    // A floor from the k best of the first documents scored (those of the
    // lists that can add the most): any k documents' partial scores bound
    // the k-th best from below, and a few thousand are found quickly.
    // No document has more than the lists read can give: until that passes
    // what the others can still add, no floor can stop the reading.
    read += term.most;
    if (t + 1 < terms.size() && touched_count >= k && Widened(read) >= rest) {
      kept.clear();
      const size_t sample = std::min<size_t>(touched_count, 4096);
      for (size_t i = 0; i < sample; ++i) {
        if (eligible(touched[i])) kept.push_back(scores[touched[i]]);
      }
      if (kept.size() >= k) {
        std::nth_element(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(k - 1), kept.end(),
                         [](float a, float b) { return a > b; });
        floor = std::max(floor, static_cast<double>(kept[k - 1]));
      }
    }
  }
  if (t < terms.size()) {
    // The remaining lists are looked up for the documents that can still
    // reach the floor; after each list the floor rises to the k-th best
    // candidate and candidates that can no longer reach it are dropped.
    std::vector<uint32_t> candidates;
    for (size_t i = 0; i < touched_count; ++i) {
      const uint32_t d = touched[i];
      if (eligible(d) && Widened(scores[d] + rest) >= floor) candidates.push_back(d);
    }
    // Few candidates: sorted, and each list searched for them; many: marked,
    // and each list walked (sorting them would cost more than the walk).
    constexpr size_t kFew = 4096;
    thread_local std::vector<uint64_t> marked;
    bool sorted = false;
    bool marks = false;
    for (; t < terms.size() && !candidates.empty(); ++t) {
      const QueryTerm& term = terms[t];
      if (candidates.size() > kFew) {
        if (!marks) {
          marked.assign((n + 63) / 64, 0);
          for (const uint32_t d : candidates) marked[d >> 6] |= uint64_t{1} << (d & 63);
          marks = true;
        }
        for (size_t p = term.begin; p < term.end; ++p) {
          const uint32_t d = docs[p];
          if (d < n && ((marked[d >> 6] >> (d & 63)) & 1)) scores[d] += term.weight * values[p];
        }
      } else {
        if (!sorted) {
          std::sort(candidates.begin(), candidates.end());
          sorted = true;
        }
        size_t p = term.begin;
        const bool gallop = candidates.size() * 16 < term.end - term.begin;
        for (const uint32_t d : candidates) {
          if (gallop) {
            size_t step = 1;
            while (p + step < term.end && docs[p + step] < d) step <<= 1;
            const size_t hi = std::min(p + step, term.end);
            p = static_cast<size_t>(std::lower_bound(docs + p, docs + hi, d) - docs);
          } else {
            while (p < term.end && docs[p] < d) ++p;
          }
          if (p == term.end) break;
          if (docs[p] == d) scores[d] += term.weight * values[p];
        }
      }
      rest -= term.most;
      if (t + 1 == terms.size() || candidates.size() < k) continue;
      // As above, from the first candidates (the order they were first scored in).
      kept.clear();
      for (size_t i = 0; i < std::min<size_t>(candidates.size(), 4096); ++i) {
        kept.push_back(scores[candidates[i]]);
      }
      std::nth_element(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(k - 1), kept.end(),
                       [](float x, float y) { return x > y; });
      floor = std::max(floor, static_cast<double>(kept[k - 1]));
      const size_t before = candidates.size();
      // Dropping keeps the order, and marks of dropped documents do no harm
      // until the marks are left for sorted candidates.
      candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                      [&](uint32_t d) {
                                        return Widened(scores[d] + rest) < floor;
                                      }),
                       candidates.end());
      if (marks && candidates.size() != before && candidates.size() > kFew) {
        marks = false;  // rebuilt for the smaller set before the next list
      }
    }
    for (const uint32_t d : candidates) {
      Offer({segment.num(d), scores[d]});
    }
  } else {
    for (size_t i = 0; i < touched_count; ++i) {
      const uint32_t d = touched[i];
      if (!eligible(d) || !(scores[d] > 0.0f)) continue;
      Offer({segment.num(d), scores[d]});
    }
  }
  for (size_t i = 0; i < touched_count; ++i) {
    scores[touched[i]] = 0.0f;
    seen[touched[i] >> 6] = 0;
  }
}

}  // namespace

std::vector<ScoredDoc> SearchSegments(const std::vector<const PostingSegment*>& segments,
                                      const uint32_t* ids, const float* weights, size_t count,
                                      size_t k, const uint64_t* allowed, size_t allowed_count) {
  std::vector<ScoredDoc> heap;  // the k best so far, worst on top
  if (k == 0) return heap;
  heap.reserve(k + 1);
  std::vector<uint64_t> permitted;
  std::vector<QueryTerm> terms;
  for (const PostingSegment* segment : segments) {
    const size_t n = segment->doc_count();
    if (segment->live_count() == 0) continue;
    terms.clear();
    for (size_t q = 0; q < count; ++q) {
      const size_t term = segment->Term(ids[q]);
      if (term == SIZE_MAX || !(weights[q] > 0.0f)) continue;
      QueryTerm t;
      segment->Postings(term, t.begin, t.end);
      t.weight = weights[q];
      t.most = static_cast<double>(weights[q]) * segment->term_max(term);
      terms.push_back(t);
    }
    if (terms.empty()) continue;
    // Largest contributions first; ties in query order, the same for every document.
    std::stable_sort(terms.begin(), terms.end(),
                     [](const QueryTerm& a, const QueryTerm& b) { return a.most > b.most; });
    if (allowed != nullptr) {
      // The allowed nums of this segment as bits, by walking both ascending lists.
      permitted.assign((n + 63) / 64, 0);
      const uint64_t* a = std::lower_bound(allowed, allowed + allowed_count, segment->num(0));
      const uint64_t* a_end = allowed + allowed_count;
      for (size_t d = 0; a != a_end && d < n;) {
        if (*a < segment->num(d)) {
          ++a;
        } else if (*a > segment->num(d)) {
          ++d;
        } else {
          permitted[d >> 6] |= uint64_t{1} << (d & 63);
          ++a;
          ++d;
        }
      }
    }
    SearchSegment(*segment, terms, k, allowed != nullptr ? &permitted : nullptr, heap);
  }
  std::sort_heap(heap.begin(), heap.end(), Better);
  return heap;
}

}  // namespace norvane
