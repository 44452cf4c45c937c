// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <new>
#include <vector>

namespace tarsil {

// Memory for the nodes of maps that are filled once and then live as long
// as their owner: the nodes are cut from large blocks one after another
// instead of each costing a trip through the general allocator and its
// per-chunk header. A freed node is kept for the next one of its size, so a
// map that is emptied and filled again reuses its memory. Everything goes
// back when the arena dies, which must be after the maps that use it.
// Single-threaded, like the rest of the link.
class NodeArena : public std::pmr::memory_resource {
public:
  NodeArena() = default;
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;

  // Readies room for about `bytes` more, so that a table filled at once
  // lands in one block of the right size.
  void expect(size_t bytes) {
    if (bytes > cLeft) cExpected = bytes - cLeft;
  }

  // Bytes taken from the general allocator so far.
  size_t reserved() const { return cReserved; }

private:
  static constexpr size_t kGrain = alignof(std::max_align_t) < 8 ? alignof(std::max_align_t) : 8;
  static constexpr size_t kMinBlock = 4096;
  static constexpr size_t kMaxBlock = 256 * 1024;
  static constexpr size_t kClasses = 32;
  static constexpr size_t kMaxRequest = SIZE_MAX / 4;  // free lists for sizes up to kClasses * kGrain

  struct FreeNode {
    FreeNode* next;
  };

  static size_t rounded(size_t bytes) { return (std::max(bytes, sizeof(FreeNode)) + kGrain - 1) / kGrain * kGrain; }
  // The free list of a size, or kClasses when blocks of that size and
  // alignment are not kept.
  static size_t classOf(size_t size, size_t alignment) {
    return alignment <= kGrain && size / kGrain <= kClasses ? size / kGrain - 1 : kClasses;
  }

  void* do_allocate(size_t bytes, size_t alignment) override {
    // Node sizes are small; a size whose rounding would wrap is refused.
    if (bytes > kMaxRequest || alignment > kMaxRequest) throw std::bad_alloc();
    const size_t size = rounded(bytes);
    const size_t cls = classOf(size, alignment);
    if (cls < kClasses && cFree[cls] != nullptr) {
      FreeNode* node = cFree[cls];
      cFree[cls] = node->next;
      return node;
    }
    auto at = reinterpret_cast<uintptr_t>(cNext);
    size_t pad = (alignment - at % alignment) % alignment;
    if (cNext == nullptr || pad + size > cLeft) {
      // A request larger than a block gets a block of its own; the current
      // block keeps serving the small ones.
      const size_t want = size + alignment;
      if (want > kMaxBlock) return grab(want, alignment);
      // Blocks double up to a limit, so that a few nodes cost little and
      // many cost few blocks; an expected fill gets one block of its size.
      size_t block = std::max(cExpected != 0 ? cExpected : cNextBlock, want);
      if (cExpected != 0)
        cExpected = 0;
      else
        cNextBlock = std::min(2 * cNextBlock, kMaxBlock);
      cNext = grabBlock(block);
      cLeft = block;
      at = reinterpret_cast<uintptr_t>(cNext);
      pad = (alignment - at % alignment) % alignment;
    }
    std::byte* result = cNext + pad;
    cNext = result + size;
    cLeft -= pad + size;
    return result;
  }

  void do_deallocate(void* p, size_t bytes, size_t alignment) override {
    const size_t cls = classOf(rounded(bytes), alignment);
    if (cls >= kClasses) return;  // a large block stays until the arena goes
    auto* node = static_cast<FreeNode*>(p);
    node->next = cFree[cls];
    cFree[cls] = node;
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  std::byte* grabBlock(size_t bytes) {
    // Left uninitialized: every node is constructed before it is read.
    cBlocks.push_back(std::unique_ptr<std::byte[]>(new std::byte[bytes]));
    cReserved += bytes;
    return cBlocks.back().get();
  }
  void* grab(size_t bytes, size_t alignment) {
    std::byte* block = grabBlock(bytes);
    const auto at = reinterpret_cast<uintptr_t>(block);
    return block + (alignment - at % alignment) % alignment;
  }

  std::vector<std::unique_ptr<std::byte[]>> cBlocks;
  std::byte* cNext = nullptr;
  size_t cLeft = 0;
  size_t cNextBlock = kMinBlock;
  size_t cExpected = 0;
  size_t cReserved = 0;
  FreeNode* cFree[kClasses] = {};
};

}  // namespace tarsil
