#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace zel_sim {

// Memory that comes zero from the system and is not written over: a large table of the
// simulated device (its configuration space, tile memory's page table) costs only the pages
// the run writes. Elements are left as the system hands them out, so a container of this
// allocator sized once, without a value, holds zeros; only trivial types belong in it, and
// a container shrunk and grown again in place would keep its old values.
template <class T>
struct ZeroedAllocator {
  using value_type = T;

  ZeroedAllocator() = default;
  template <class U>
  ZeroedAllocator(const ZeroedAllocator<U>&) noexcept {}

  T* allocate(std::size_t count) {
    void* memory = std::calloc(count, sizeof(T));
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t) noexcept { std::free(memory); }
  // Value-initialization would write the zeros calloc already gave.
  template <class U>
  void construct(U*) noexcept {}

  friend bool operator==(const ZeroedAllocator&, const ZeroedAllocator&) = default;
};

}  // namespace zel_sim
