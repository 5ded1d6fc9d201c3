#include "foundation/unaRIFile.h"

#include <algorithm>
#include <cstring>

#include "platform/fileHandle.h"

namespace una {

namespace {

constexpr size_t kMinFileSize = 32;
constexpr size_t kMaxView = 0xFFFFFFFFu;  // chunk offsets and sizes are 32-bit

uint32_t readLE32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

unaRIFFChunk::unaRIFFChunk(unaRIFile& file, uint32_t offset, uint32_t maxSize, unaRIFFChunk* parent,
                           uint32_t depth)
    : offset_(offset),
      maxSize_(maxSize),
      header_(file.view() + offset),
      file_(file),
      parent_(parent) {
    isContainer_ = isId("RIFF") || isId("LIST");
    if (isContainer_ && depth < kMaxDepth)
        parse(depth);
}

void unaRIFFChunk::parse(uint32_t depth) {
    subChunks_.clear();
    const uint64_t length = std::min<uint64_t>(maxSize_, uint64_t{declaredSize()} + 8);
    uint64_t position = 12;
    while (position + 8 <= length) {
        auto sub = make<unaRIFFChunk>(file_, static_cast<uint32_t>(offset_ + position),
                                      static_cast<uint32_t>(length - position), this, depth + 1);
        const uint64_t step = std::min<uint64_t>(sub->maxSize(), uint64_t{sub->declaredSize()} + 8);
        subChunks_.push_back(std::move(sub));
        position += (step + 1) & ~uint64_t{1};
    }
}

bool unaRIFFChunk::isId(std::string_view fourCC) const {
    return fourCC.size() == 4 && std::memcmp(header_, fourCC.data(), 4) == 0;
}

std::string unaRIFFChunk::id() const {
    return std::string(reinterpret_cast<const char*>(header_), 4);
}

uint32_t unaRIFFChunk::declaredSize() const {
    return readLE32(header_ + 4);
}

uint32_t unaRIFFChunk::availableSize() const {
    return std::min(declaredSize(), maxSize_ - 8);
}

std::string unaRIFFChunk::formType() const {
    if (!isContainer_ || maxSize_ < 12 || declaredSize() < 4)
        return {};
    return std::string(reinterpret_cast<const char*>(header_ + 8), 4);
}

unaRIFFChunk* unaRIFFChunk::getSubChunk(int32_t index) const {
    if (index < 0 || index >= getSubChunkCount())
        return nullptr;
    return subChunks_[static_cast<size_t>(index)].get();
}

unaRIFile::unaRIFile(std::string fileName) : fileName_(std::move(fileName)) {
    platform::FileHandle file;
    if (!file.open(fileName_, platform::FileAccess::read, platform::FileCreation::existing))
        return;
    const int64_t size = file.size();
    if (size < static_cast<int64_t>(kMinFileSize))
        return;
    std::vector<uint8_t> bytes(static_cast<size_t>(std::min<int64_t>(size, kMaxView)));
    const int64_t got = file.read(bytes.data(), bytes.size());
    if (got < 0)
        return;
    bytes.resize(static_cast<size_t>(got));  // the file may have shrunk meanwhile
    adopt(std::move(bytes));
}

unaRIFile::unaRIFile(std::vector<uint8_t> bytes) {
    adopt(std::move(bytes));
}

void unaRIFile::adopt(std::vector<uint8_t> bytes) {
    if (bytes.size() < kMinFileSize)
        return;
    if (bytes.size() > kMaxView)
        bytes.resize(kMaxView);
    view_ = std::move(bytes);
}

void unaRIFile::afterConstruction() {
    unaObject::afterConstruction();
    if (size() > 11)
        root_ = make<unaRIFFChunk>(*this, 0, size(), nullptr);
}

bool unaRIFile::isRIFF() const {
    return root_ && root_->isId("RIFF");
}

}  // namespace una
