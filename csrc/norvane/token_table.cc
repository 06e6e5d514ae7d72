#include "norvane/token_table.h"

#include <algorithm>
#include <stdexcept>

#include "norvane/small_vector.h"

namespace norvane {

namespace {

// Counts loaded from a model file may already sit at the top of their range;
// going past it would be undefined, so such a list is refused whole.
const char kOverflow[] = "BM25 statistics would overflow";

}  // namespace

size_t TokenTable::Probe(std::string_view key, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  const auto tag = static_cast<uint32_t>(static_cast<uint64_t>(hash) >> 32);
  for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
    const Slot& held = slots_[slot];
    if (held.index == 0) return slot;
    if (held.tag == tag && entries_[held.index - 1].first == key) return slot;
  }
}

void TokenTable::Grow(size_t slots) {
  slots_.assign(slots, Slot{0, 0});
  const size_t mask = slots - 1;
  for (size_t i = 0; i < entries_.size(); ++i) {
    const size_t hash = Hash(entries_[i].first);
    size_t slot = hash & mask;
    while (slots_[slot].index != 0) slot = (slot + 1) & mask;
    slots_[slot] = {static_cast<uint32_t>(static_cast<uint64_t>(hash) >> 32),
                    static_cast<uint32_t>(i + 1)};
  }
}

void TokenTable::reserve(size_t count) {
  // At most half the slots are used, so probe runs stay short.
  size_t slots = 16;
  while (slots < 2 * count) slots *= 2;
  if (slots > slots_.size()) Grow(slots);
  if (count > entries_.capacity()) entries_.reserve(std::max(count, 2 * entries_.capacity()));
}

int& TokenTable::operator[](std::string_view key) {
  reserve(entries_.size() + 1);
  const size_t hash = Hash(key);
  const size_t slot = Probe(key, hash);
  if (slots_[slot].index == 0) {
    entries_.emplace_back(std::string(key), 0);
    slots_[slot] = {static_cast<uint32_t>(static_cast<uint64_t>(hash) >> 32),
                    static_cast<uint32_t>(entries_.size())};
  }
  return entries_[slots_[slot].index - 1].second;
}

void TokenTable::Prefetch(const size_t* hashes, size_t n) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < n; ++i) PrefetchLine(&slots_[hashes[i] & mask]);
  for (size_t i = 0; i < n; ++i) {
    const Slot& home = slots_[hashes[i] & mask];
    if (home.index != 0) PrefetchLine(&entries_[home.index - 1]);
  }
}

void TokenTable::add_counts(const std::string_view* keys, const int* counts, size_t n) {
  SmallVector<size_t, 64> hashes(n);
  for (size_t i = 0; i < n; ++i) hashes[i] = Hash(keys[i]);
  add_counts(keys, hashes.data(), counts, n);
}

void TokenTable::add_counts(const std::string_view* keys, const size_t* hashes, const int* counts,
                            size_t n) {
  reserve(entries_.size() + n);
  const size_t old_size = entries_.size();
  Prefetch(hashes, n);
  for (size_t i = 0; i < n; ++i) {
    const size_t slot = Probe(keys[i], hashes[i]);
    if (slots_[slot].index == 0) {
      entries_.emplace_back(std::string(keys[i]), counts[i]);
      slots_[slot] = {static_cast<uint32_t>(static_cast<uint64_t>(hashes[i]) >> 32),
                      static_cast<uint32_t>(entries_.size())};
    } else {
      int& count = entries_[slots_[slot].index - 1].second;
      int sum;
      if (__builtin_add_overflow(count, counts[i], &sum)) {
        // Undo this call's additions, newest first, so the table is as it
        // was: the keys added by it are the last entries, and with nothing
        // removed in between, freeing their slots in reverse order restores
        // every probe sequence.
        for (size_t j = i; j-- > 0;) {
          const size_t held = Probe(keys[j], hashes[j]);
          const size_t index = slots_[held].index - 1;
          if (index >= old_size) {
            slots_[held] = {0, 0};
            entries_.pop_back();
          } else {
            entries_[index].second -= counts[j];
          }
        }
        throw std::overflow_error(kOverflow);
      }
      count = sum;
    }
  }
}

void TokenTable::find_counts(const std::string_view* keys, size_t n, const int** found) const {
  if (slots_.empty()) {
    std::fill(found, found + n, nullptr);
    return;
  }
  SmallVector<size_t, 64> hashes(n);
  for (size_t i = 0; i < n; ++i) hashes[i] = Hash(keys[i]);
  Prefetch(hashes.data(), n);
  for (size_t i = 0; i < n; ++i) {
    const Slot& held = slots_[Probe(keys[i], hashes[i])];
    found[i] = held.index == 0 ? nullptr : &entries_[held.index - 1].second;
  }
}

const int* TokenTable::find(std::string_view key, size_t hash) const {
  if (slots_.empty()) return nullptr;
  const Slot& held = slots_[Probe(key, hash)];
  return held.index == 0 ? nullptr : &entries_[held.index - 1].second;
}

}  // namespace norvane
