#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "foundation/unaRIFile.h"

using namespace una;

namespace {

using Bytes = std::vector<uint8_t>;

void append(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

void append32(Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes chunk(std::string_view id, const Bytes& data, uint32_t declared = 0xFFFFFFFFu) {
    Bytes out;
    append(out, id);
    append32(out, declared == 0xFFFFFFFFu ? static_cast<uint32_t>(data.size()) : declared);
    out.insert(out.end(), data.begin(), data.end());
    if (data.size() % 2 == 1)
        out.push_back(0);
    return out;
}

Bytes container(std::string_view id, std::string_view form, const std::vector<Bytes>& subs) {
    Bytes data;
    append(data, form);
    for (const Bytes& sub : subs)
        data.insert(data.end(), sub.begin(), sub.end());
    return chunk(id, data);
}

Bytes pcmFormat() {
    Bytes fmt;
    for (uint32_t v : {0x00020001u, 44100u, 176400u, 0x00100004u})
        append32(fmt, v);
    return fmt;
}

unaPtr<unaRIFile> parse(Bytes bytes) {
    return make<unaRIFile>(std::move(bytes));
}

}  // namespace

TEST(Riff, CanonicalWave) {
    const Bytes samples(400, 0x11);
    const Bytes wave =
        container("RIFF", "WAVE", {chunk("fmt ", pcmFormat()), chunk("data", samples)});
    ASSERT_EQ(wave.size(), 44u + 400u);
    auto file = parse(wave);
    ASSERT_TRUE(file->isRIFF());
    unaRIFFChunk* root = file->getRoot();
    EXPECT_EQ(root->formType(), "WAVE");
    EXPECT_EQ(root->offset(), 0u);
    ASSERT_EQ(root->getSubChunkCount(), 2);
    unaRIFFChunk* fmt = root->getSubChunk(0);
    unaRIFFChunk* data = root->getSubChunk(1);
    EXPECT_TRUE(fmt->isId("fmt "));
    EXPECT_FALSE(fmt->isId("FMT "));
    EXPECT_FALSE(fmt->isId("fmt"));
    EXPECT_EQ(fmt->declaredSize(), 16u);
    EXPECT_EQ(fmt->offset(), 12u);
    EXPECT_EQ(std::memcmp(fmt->data(), pcmFormat().data(), 16), 0);
    EXPECT_EQ(data->id(), "data");
    EXPECT_EQ(data->offset(), 36u);
    EXPECT_EQ(data->availableSize(), 400u);
    EXPECT_EQ(data->parent(), root);
    EXPECT_EQ(&data->file(), file.get());
    EXPECT_EQ(data->getSubChunkCount(), 0);
    EXPECT_EQ(data->getSubChunk(0), nullptr);
    EXPECT_EQ(root->getSubChunk(2), nullptr);
    EXPECT_EQ(root->getSubChunk(-1), nullptr);
    EXPECT_EQ(data->data(), file->view() + 44) << "chunks point into the one copy";
}

TEST(Riff, OddSizesNestingAndOverlongChunks) {
    const Bytes odd(3, 0xAA);
    const Bytes list = container(
        "LIST", "INFO", {chunk("INAM", Bytes{'a', 'b', 'c'}), chunk("ICMT", Bytes(5, 'x'))});
    Bytes wave = container("RIFF", "WAVE", {chunk("odd ", odd), list, chunk("fmt ", pcmFormat())});
    // A data chunk that claims far more than the file holds, appended after the root's end.
    Bytes tail = chunk("data", Bytes(10, 1), 1000000);
    wave.insert(wave.end(), tail.begin(), tail.end());
    const uint32_t rootSize = static_cast<uint32_t>(wave.size() - 8);
    std::memcpy(wave.data() + 4, &rootSize, 4);  // the root now covers the tail

    auto file = parse(wave);
    unaRIFFChunk* root = file->getRoot();
    ASSERT_EQ(root->getSubChunkCount(), 4);
    EXPECT_EQ(root->getSubChunk(0)->declaredSize(), 3u);
    EXPECT_TRUE(root->getSubChunk(1)->isId("LIST")) << "found after the pad byte";
    unaRIFFChunk* info = root->getSubChunk(1);
    EXPECT_TRUE(info->isContainer());
    EXPECT_EQ(info->formType(), "INFO");
    ASSERT_EQ(info->getSubChunkCount(), 2);
    EXPECT_TRUE(info->getSubChunk(1)->isId("ICMT"));
    EXPECT_EQ(info->getSubChunk(1)->parent(), info);
    EXPECT_TRUE(root->getSubChunk(2)->isId("fmt "));
    unaRIFFChunk* data = root->getSubChunk(3);
    EXPECT_TRUE(data->isId("data"));
    EXPECT_EQ(data->declaredSize(), 1000000u) << "reported as stored";
    EXPECT_EQ(data->maxSize(), 18u) << "header plus the bytes present";
    EXPECT_EQ(data->availableSize(), 10u);
}

TEST(Riff, SizesAreBoundedByTheParent) {
    // The LIST claims more than the RIFF holds: its walk stops at the RIFF's end, and the
    // chunk after it inside the RIFF is never reached through a wrong header.
    Bytes inner = container("LIST", "abcd", {chunk("aaaa", Bytes(4, 0))});
    std::memcpy(inner.data() + 4, "\xFF\xFF\xFF\xFF", 4);
    Bytes wave = container("RIFF", "WAVE", {inner});
    wave.resize(wave.size() + 40, 0);  // bytes outside the root: not a chunk of it
    auto file = parse(wave);
    unaRIFFChunk* root = file->getRoot();
    ASSERT_EQ(root->getSubChunkCount(), 1);
    unaRIFFChunk* list = root->getSubChunk(0);
    EXPECT_EQ(list->maxSize(), root->declaredSize() + 8 - 12);
    EXPECT_EQ(list->getSubChunkCount(), 1);

    // Declared size 0xFFFFFFFF on the root must not wrap the walk's length.
    Bytes wrapped = container("RIFF", "WAVE", {chunk("fmt ", pcmFormat())});
    std::memcpy(wrapped.data() + 4, "\xFF\xFF\xFF\xFF", 4);
    auto big = parse(wrapped);
    EXPECT_EQ(big->getRoot()->getSubChunkCount(), 1);
}

TEST(Riff, ShortMissingAndForeignFiles) {
    EXPECT_FALSE(parse(Bytes(20, 0))->isRIFF());
    EXPECT_EQ(parse(Bytes(20, 0))->size(), 0u);
    Bytes twenty;
    append(twenty, "RIFF");
    append32(twenty, 12);
    append(twenty, "WAVEfmt ");
    append32(twenty, 0);
    auto small = parse(twenty);
    EXPECT_EQ(small->getRoot(), nullptr) << "a 20-byte RIFF is treated as empty";
    EXPECT_FALSE(small->isRIFF());

    Bytes foreign = container("RIFX", "WAVE", {chunk("fmt ", pcmFormat())});
    auto rifx = parse(foreign);
    ASSERT_NE(rifx->getRoot(), nullptr);
    EXPECT_FALSE(rifx->isRIFF());
    EXPECT_EQ(rifx->getRoot()->getSubChunkCount(), 0) << "not a container";

    auto missing = make<unaRIFile>(std::string("/nonexistent/none.wav"));
    EXPECT_FALSE(missing->isRIFF());
    EXPECT_EQ(missing->size(), 0u);
}

TEST(Riff, DeepNestingIsCut) {
    Bytes nested = chunk("data", Bytes(2, 0));
    for (int i = 0; i < 500; ++i)
        nested = container("LIST", "deep", {nested});
    nested = container("RIFF", "WAVE", {nested});
    auto file = parse(nested);
    unaRIFFChunk* at = file->getRoot();
    uint32_t depth = 0;
    while (at->getSubChunkCount() > 0) {
        at = at->getSubChunk(0);
        ++depth;
    }
    EXPECT_EQ(depth, unaRIFFChunk::kMaxDepth);
    EXPECT_TRUE(at->isContainer());
}

TEST(Riff, ReadsFromAFile) {
    const std::string name = "/tmp/una_riff_" + std::to_string(::getpid()) + ".wav";
    const Bytes wave =
        container("RIFF", "WAVE", {chunk("fmt ", pcmFormat()), chunk("data", Bytes(7, 3))});
    std::ofstream(name, std::ios::binary)
        .write(reinterpret_cast<const char*>(wave.data()), static_cast<long>(wave.size()));
    auto file = make<unaRIFile>(name);
    std::filesystem::remove(name);  // the reader keeps its own copy
    EXPECT_EQ(file->fileName(), name);
    ASSERT_TRUE(file->isRIFF());
    EXPECT_EQ(file->size(), wave.size());
    ASSERT_EQ(file->getRoot()->getSubChunkCount(), 2);
    EXPECT_EQ(file->getRoot()->getSubChunk(1)->data()[6], 3);
}
