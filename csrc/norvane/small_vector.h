#pragma once
// Usage:
//   norvane::SmallVector<uint32_t, 64> counts(n);  // n elements, left unset
//   runes.push_back(r);                           // first N inside the object
//
// Thread safety: a plain container: const reads may run together, nothing
// alongside a write. Throws: std::bad_alloc when growing; nothing else.
//
// A growable array of plain elements that keeps its first N inside the
// object, so the per-call arrays of short token lists and sentences cost no
// heap allocation. The inline part is raw storage: only elements in use are
// ever constructed, and resize leaves new plain values unset.

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace norvane {

template <typename T, size_t N>
class SmallVector {
  static_assert(std::is_trivially_destructible<T>::value &&
                    std::is_trivially_copy_constructible<T>::value,
                "SmallVector holds plain data only");

 public:
  using value_type = T;
  using size_type = size_t;
  using const_iterator = const T*;

  SmallVector() = default;
  explicit SmallVector(size_t size) { resize(size); }
  SmallVector(size_t size, const T& value) {
    reserve(size);
    for (size_t i = 0; i < size; ++i) new (data_ + i) T(value);
    size_ = size;
  }
  SmallVector(const T* begin, const T* end) {
    reserve(static_cast<size_t>(end - begin));
    std::uninitialized_copy(begin, end, data_);
    size_ = static_cast<size_t>(end - begin);
  }
  SmallVector(const SmallVector& other) : SmallVector(other.begin(), other.end()) {}
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) {
      clear();
      reserve(other.size_);
      std::uninitialized_copy(other.begin(), other.end(), data_);
      size_ = other.size_;
    }
    return *this;
  }

  // New elements are default-initialised: plain values are left unset.
  void resize(size_t size) {
    reserve(size);
    for (size_t i = size_; i < size; ++i) new (data_ + i) T;
    size_ = size;
  }
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<T, Release> grown(static_cast<T*>(::operator new(capacity * sizeof(T))));
    std::uninitialized_copy(data_, data_ + size_, grown.get());
    heap_ = std::move(grown);
    data_ = heap_.get();
    capacity_ = capacity;
  }
  void push_back(const T& value) {
    if (size_ == capacity_) {
      const T copy = value;  // value may live in the storage reserve frees
      reserve(2 * capacity_);
      new (data_ + size_++) T(copy);
      return;
    }
    new (data_ + size_++) T(value);
  }
  // Empties the vector and gives back its heap storage.
  void clear() {
    heap_.reset();
    data_ = reinterpret_cast<T*>(inline_);
    size_ = 0;
    capacity_ = N;
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

 private:
  struct Release {
    void operator()(T* p) const { ::operator delete(p); }
  };

  alignas(T) unsigned char inline_[N * sizeof(T)];
  std::unique_ptr<T, Release> heap_;
  T* data_ = reinterpret_cast<T*>(inline_);
  size_t size_ = 0;
  size_t capacity_ = N;
};

}  // namespace norvane
