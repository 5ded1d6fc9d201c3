#pragma once
// A RIFF file (the container of WAV files) as a tree of chunks over one read-only copy of the
// file's bytes, which lives as long as the reader. Declared sizes are trusted only as far as
// the enclosing chunk and the file reach. Built once, then read-only: any thread may read it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/unaObject.h"

namespace una {

class unaRIFile;

class unaRIFFChunk : public unaObject {
  public:
    // Containers nested deeper than this keep no sub-chunks: real files nest two or three
    // levels, and a crafted file must not exhaust the stack.
    static constexpr uint32_t kMaxDepth = 64;

    // Reads the header at offset (offset + 8 must lie within the file) and parses the
    // sub-chunks of a container.
    unaRIFFChunk(unaRIFile& file, uint32_t offset, uint32_t maxSize, unaRIFFChunk* parent,
                 uint32_t depth = 0);

    // The four id bytes equal fourCC exactly (case-sensitive); false for another length.
    bool isId(std::string_view fourCC) const;
    std::string id() const;
    // The data size as stored, which may claim more than exists; see availableSize.
    uint32_t declaredSize() const;
    // Data bytes actually present: min(declared size, maxSize - 8).
    uint32_t availableSize() const;
    // The container's form type (such as "WAVE"); empty for a plain chunk or one too short.
    std::string formType() const;

    int32_t getSubChunkCount() const { return static_cast<int32_t>(subChunks_.size()); }
    // None for a plain chunk or an index out of range.
    unaRIFFChunk* getSubChunk(int32_t index) const;

    uint32_t offset() const { return offset_; }
    // Bytes from the header to the end of the parent (or of the file).
    uint32_t maxSize() const { return maxSize_; }
    bool isContainer() const { return isContainer_; }
    const uint8_t* header() const { return header_; }
    const uint8_t* data() const { return header_ + 8; }
    unaRIFile& file() const { return file_; }
    unaRIFFChunk* parent() const { return parent_; }

  private:
    void parse(uint32_t depth);

    uint32_t offset_;
    uint32_t maxSize_;
    bool isContainer_ = false;
    const uint8_t* header_;
    std::vector<unaPtr<unaRIFFChunk>> subChunks_;
    unaRIFile& file_;
    unaRIFFChunk* parent_;
};

class unaRIFile : public unaObject {
  public:
    // Reads the file; one shorter than 32 bytes (or missing) gives size 0 and no root.
    explicit unaRIFile(std::string fileName);
    // Parses the bytes given instead of a file, under the same rules.
    explicit unaRIFile(std::vector<uint8_t> bytes);

    void afterConstruction() override;  // parses when size > 11

    // A root exists and its id is "RIFF".
    bool isRIFF() const;
    unaRIFFChunk* getRoot() const { return root_.get(); }
    // Bytes available; 0 when the file could not be read.
    uint32_t size() const { return static_cast<uint32_t>(view_.size()); }
    const uint8_t* view() const { return view_.data(); }
    const std::string& fileName() const { return fileName_; }

  private:
    void adopt(std::vector<uint8_t> bytes);

    std::vector<uint8_t> view_;
    std::string fileName_;
    unaPtr<unaRIFFChunk> root_;
};

}  // namespace una
