#pragma once
// Heap blocks that grow in 512-byte steps, so buffers that creep up by a few bytes at a time
// (chunk buffers, list storage, device buffers) are not reallocated on every step.
// A block is owned by exactly one unaHeapBlock; it can be moved, not copied.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace una {

inline constexpr size_t kHeapStep = 512;

class unaHeapBlock {
  public:
    unaHeapBlock() = default;
    ~unaHeapBlock();
    unaHeapBlock(const unaHeapBlock&) = delete;
    unaHeapBlock& operator=(const unaHeapBlock&) = delete;
    unaHeapBlock(unaHeapBlock&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    unaHeapBlock& operator=(unaHeapBlock&& other) noexcept;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    // Bytes allocated: always a multiple of 512, 0 for no block.
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }

  private:
    friend bool mrealloc(unaHeapBlock& block, size_t size);
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Rounds size up to a multiple of 512 and reallocates only when that differs from the block's
// size, keeping its contents; size 0 frees the block. Returns true when the block was
// reallocated or freed. Raises std::bad_alloc like any allocation.
bool mrealloc(unaHeapBlock& block, size_t size);

// The library's malloc (named apart from the C one). No block for size 0; otherwise a new block,
// filled with fillByte when fill is set.
unaHeapBlock mallocBlock(size_t size, bool fill = false, uint8_t fillByte = 0);
// A new block with size bytes copied from source when source is not null.
unaHeapBlock mallocCopy(size_t size, const void* source);

}  // namespace una
