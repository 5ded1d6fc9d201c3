#include "foundation/unaHeap.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace una {

unaHeapBlock::~unaHeapBlock() {
    std::free(data_);
}

unaHeapBlock& unaHeapBlock::operator=(unaHeapBlock&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

bool mrealloc(unaHeapBlock& block, size_t size) {
    const size_t rounded = (size + kHeapStep - 1) / kHeapStep * kHeapStep;
    if (rounded == block.size_)
        return false;
    if (rounded == 0) {
        std::free(block.data_);
        block.data_ = nullptr;
        block.size_ = 0;
        return true;
    }
    void* grown = std::realloc(block.data_, rounded);
    if (!grown)
        throw std::bad_alloc();
    block.data_ = static_cast<uint8_t*>(grown);
    block.size_ = rounded;
    return true;
}

unaHeapBlock mallocBlock(size_t size, bool fill, uint8_t fillByte) {
    unaHeapBlock block;
    if (size == 0)
        return block;
    mrealloc(block, size);
    if (fill)
        std::memset(block.data(), fillByte, size);
    return block;
}

unaHeapBlock mallocCopy(size_t size, const void* source) {
    unaHeapBlock block = mallocBlock(size);
    if (block && source)
        std::memcpy(block.data(), source, size);
    return block;
}

}  // namespace una
