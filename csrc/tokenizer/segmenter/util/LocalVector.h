#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace korva {
namespace typing {
namespace text {
namespace util {

const size_t LOCAL_VECTOR_BUFFER_SIZE = 16;

// Growable array for plain element types that keeps its first 16 elements
// inside the object, so short sentences and candidate lists never touch the
// heap. Growth doubles the capacity.
template <class T>
class LocalVector {
  static_assert(std::is_trivially_destructible<T>::value &&
                    std::is_trivially_copy_constructible<T>::value,
                "LocalVector holds plain data only");

 public:
  typedef const T* const_iterator;
  typedef T value_type;
  typedef size_t size_type;

  LocalVector() : ptr_(buffer_), size_(0), capacity_(LOCAL_VECTOR_BUFFER_SIZE) {}
  LocalVector(const LocalVector<T>& vec) : LocalVector() { *this = vec; }
  LocalVector(const_iterator begin, const_iterator end) : LocalVector() {
    reserve(static_cast<size_t>(end - begin));
    for (const_iterator it = begin; it != end; ++it) {
      push_back(*it);
    }
  }
  LocalVector(size_t size, const T& t) : LocalVector() {
    reserve(size);
    for (size_t i = 0; i < size; ++i) {
      push_back(t);
    }
  }
  ~LocalVector() { Release(); }

  LocalVector<T>& operator=(const LocalVector<T>& vec) {
    if (this == &vec) {
      return *this;
    }
    // Allocate before releasing so a failed allocation leaves *this intact.
    T* next = vec.ptr_ == vec.buffer_ ? buffer_ : Allocate(vec.capacity_);
    Release();
    ptr_ = next;
    size_ = vec.size_;
    capacity_ = vec.capacity_;
    std::uninitialized_copy(vec.ptr_, vec.ptr_ + vec.size_, ptr_);
    return *this;
  }

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  const T* begin() const { return ptr_; }
  const T* end() const { return ptr_ + size_; }
  T* begin() { return ptr_; }
  T* end() { return ptr_ + size_; }
  T& operator[](size_t i) { return ptr_[i]; }
  const T& operator[](size_t i) const { return ptr_[i]; }

  void reserve(size_t size) {
    if (size <= capacity_) {
      return;
    }
    T* next = Allocate(size);
    std::uninitialized_copy(ptr_, ptr_ + size_, next);
    if (ptr_ != buffer_) {
      Deallocate(ptr_);
    }
    ptr_ = next;
    capacity_ = size;
  }

  void push_back(const T& t) {
    if (size_ == capacity_) {
      T copy = t;  // t may live in the storage that reserve releases
      reserve(capacity_ * 2);
      new (ptr_ + size_++) T(copy);
      return;
    }
    new (ptr_ + size_++) T(t);
  }

  void clear() {
    Release();
    size_ = 0;
  }

 private:
  // Heap blocks are raw storage: elements are plain data, copied in bytewise,
  // so a block need not construct elements that are about to be overwritten
  // (a sentence's block is sized for all its code points at once).
  static T* Allocate(size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  static void Deallocate(T* p) { ::operator delete(p); }

  void Release() {
    if (ptr_ != buffer_) {
      Deallocate(ptr_);
    }
    ptr_ = buffer_;
    capacity_ = LOCAL_VECTOR_BUFFER_SIZE;
  }

  T buffer_[LOCAL_VECTOR_BUFFER_SIZE];
  T* ptr_;
  size_t size_;
  size_t capacity_;
};

}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
