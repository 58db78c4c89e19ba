#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <utility>

namespace zel_sim {

// A large table of the simulated device (its configuration space, tile memory's page table)
// that comes zero from the system and is never written over: it costs only the pages a run
// writes, making it costs no loop over its elements, and letting it go gives every page back
// at once. Only for trivial types, for which zero bytes are a value.
template <class T>
class ZeroedTable {
 public:
  explicit ZeroedTable(std::size_t size) : size_(size) {
    void* memory = ::mmap(nullptr, bytes(), PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<T*>(memory);
  }
  ZeroedTable(const ZeroedTable&) = delete;
  ZeroedTable& operator=(const ZeroedTable&) = delete;
  ~ZeroedTable() { ::munmap(data_, bytes()); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& operator[](std::size_t index) { return data_[index]; }
  const T& operator[](std::size_t index) const { return data_[index]; }
  T& at(std::size_t index) {
    if (index >= size_) throw std::out_of_range("zeroed table index");
    return data_[index];
  }
  const T& at(std::size_t index) const {
    if (index >= size_) throw std::out_of_range("zeroed table index");
    return data_[index];
  }

 private:
  std::size_t bytes() const { return std::max<std::size_t>(size_, 1) * sizeof(T); }

  T* data_;
  std::size_t size_;
};

}  // namespace zel_sim
