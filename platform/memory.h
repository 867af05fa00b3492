// Memory for buffers sized at run time: one interface, the process heap as
// its default, and an owner that gives a block back on every path out of a
// scope.
#pragma once

#include <cstddef>
#include <cstdlib>

#include "platform/owner.h"

namespace talv {

// Where buffers get their bytes. Allocate answers null when no memory can
// be had (it never throws); the caller then gives E_OUTOFMEMORY.
class ByteAllocator {
 public:
  virtual ~ByteAllocator() = default;
  virtual void* Allocate(std::size_t bytes) noexcept = 0;
  virtual void Free(void* block) noexcept = 0;
};

// The process heap (malloc/free); a 0-byte request still gives a block.
inline ByteAllocator& HeapAllocator() {
  struct Heap final : ByteAllocator {
    void* Allocate(std::size_t bytes) noexcept override { return std::malloc(bytes == 0 ? 1 : bytes); }
    void Free(void* block) noexcept override { std::free(block); }
  };
  static Heap heap;
  return heap;
}

// A block from a ByteAllocator, freed on every path out of a scope.
using OwnedBytes = Owner<ClosedBy<&ByteAllocator::Free>>;

// Allocates `bytes` into `buffer` (the old block is freed first); false when
// out of memory, and then the owner is empty.
inline bool Allocate(OwnedBytes& buffer, ByteAllocator& allocator, std::size_t bytes) {
  buffer.reset();
  void* block = allocator.Allocate(bytes);
  if (block != nullptr) buffer.adopt(allocator, block);
  return block != nullptr;
}

}  // namespace talv
