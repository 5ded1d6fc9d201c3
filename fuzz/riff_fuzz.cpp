// Arbitrary bytes as a RIFF file: every chunk of the tree must lie inside its parent and the
// view, and all bytes it offers must be readable.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "foundation/unaObject.h"
#include "foundation/unaRIFile.h"

using namespace una;

namespace {

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "riff invariant broken: %s\n", what);
        std::abort();
    }
}

uint32_t walk(const unaRIFile& file, const unaRIFFChunk& chunk, uint32_t depth) {
    check(depth <= unaRIFFChunk::kMaxDepth, "depth");
    check(uint64_t{chunk.offset()} + chunk.maxSize() <= file.size(), "chunk inside the view");
    check(chunk.maxSize() >= 8, "a whole header");
    check(chunk.availableSize() <= chunk.maxSize() - 8, "available data inside the chunk");
    check(chunk.header() == file.view() + chunk.offset(), "header in the view");
    uint32_t sum = 0;
    for (uint32_t i = 0; i < chunk.availableSize(); ++i)
        sum += chunk.data()[i];
    chunk.formType();
    if (const unaRIFFChunk* parent = chunk.parent()) {
        check(chunk.offset() >= parent->offset() + 12, "after the parent's form type");
        check(uint64_t{chunk.offset()} + chunk.maxSize() <=
                  uint64_t{parent->offset()} + parent->maxSize(),
              "inside the parent");
    }
    uint32_t previous = chunk.offset();
    for (int32_t i = 0; i < chunk.getSubChunkCount(); ++i) {
        const unaRIFFChunk* sub = chunk.getSubChunk(i);
        check(sub->parent() == &chunk, "parent link");
        check(sub->offset() > previous, "file order");
        previous = sub->offset();
        sum += walk(file, *sub, depth + 1);
    }
    return sum;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto file = make<unaRIFile>(std::vector<uint8_t>(data, data + size));
    if (size < 32) {
        check(file->size() == 0 && file->getRoot() == nullptr, "short input is empty");
        return 0;
    }
    check(file->size() == size, "the whole input is viewed");
    if (const unaRIFFChunk* root = file->getRoot()) {
        volatile uint32_t sink = walk(*file, *root, 0);
        (void)sink;
        check(file->isRIFF() == root->isId("RIFF"), "isRIFF");
    }
    return 0;
}
