// ctest-labels: threaded
#include <gtest/gtest.h>

#include <unistd.h>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "foundation/unaStream.h"

using namespace una;

namespace {

std::vector<uint8_t> pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return out;
}

std::vector<uint8_t> readAll(unaAbstractStream& stream, size_t step) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(step);
    for (;;) {
        const int32_t got = stream.read(buffer.data(), static_cast<uint32_t>(step));
        if (got <= 0)
            break;
        out.insert(out.end(), buffer.begin(), buffer.begin() + got);
    }
    return out;
}

// Holds a stream's lock from another thread until released.
class ForeignHolder {
  public:
    explicit ForeignHolder(unaAbstractStream& stream) {
        thread_ = std::thread([this, &stream] {
            stream.lock(kInfinite);
            held_ = true;
            while (!release_)
                std::this_thread::yield();
            stream.unlock();
        });
        while (!held_)
            std::this_thread::yield();
    }
    ~ForeignHolder() {
        release_ = true;
        thread_.join();
    }

  private:
    std::thread thread_;
    std::atomic<bool> held_{false}, release_{false};
};

class TempFile {
  public:
    explicit TempFile(const std::string& name)
        : path_(std::filesystem::temp_directory_path() /
                ("una_stream_" + std::to_string(::getpid()) + "_" + name)) {
        std::filesystem::remove(path_);
    }
    ~TempFile() { std::filesystem::remove(path_); }
    std::string path() const { return path_.string(); }
    void fill(const std::string& text) const { std::ofstream(path_, std::ios::binary) << text; }
    uintmax_t size() const { return std::filesystem::file_size(path_); }

  private:
    std::filesystem::path path_;
};

}  // namespace

TEST(MemoryStream, ReadsCrossChunkBoundariesAndLeaveTheRestAtTheHead) {
    auto stream = make<unaMemoryStream>();
    const auto data = pattern(300, 1);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(stream->write(data.data() + i * 100, 100), 100);
    EXPECT_EQ(stream->getSize(), 300);
    EXPECT_EQ(stream->getChunkCount(), 3u);

    std::vector<uint8_t> got(250);
    ASSERT_EQ(stream->read(got.data(), 250), 250);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_EQ(stream->getSize(), 50);
    EXPECT_EQ(stream->getAvailableSize(), 50);
    EXPECT_EQ(stream->getFirstChunkSize(), 50u);
    EXPECT_EQ(stream->getChunkCount(), 1u);
    EXPECT_EQ(stream->getPoolCount(), 2u);

    ASSERT_EQ(stream->read(got.data(), 250), 50);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 50, data.begin() + 250));
    EXPECT_EQ(stream->getSize(), 0);
    EXPECT_EQ(stream->getFirstChunkSize(), 0u);
    EXPECT_EQ(stream->read(got.data(), 250), 0);
}

TEST(MemoryStream, PeekNullAndEmptyOperationsChangeNothing) {
    auto stream = make<unaMemoryStream>();
    const auto data = pattern(120, 2);
    stream->write(data.data(), 70);
    stream->write(data.data() + 70, 50);

    std::vector<uint8_t> first(100), second(100);
    EXPECT_EQ(stream->read(first.data(), 100, false), 100);
    EXPECT_EQ(stream->read(second.data(), 100, false), 100);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), data.begin()));
    EXPECT_EQ(stream->getSize(), 120);

    EXPECT_EQ(stream->read(nullptr, 100), 0);
    EXPECT_EQ(stream->read(first.data(), 0), 0);
    EXPECT_EQ(stream->getSize(), 120);
    EXPECT_EQ(stream->getFirstChunkSize(), 70u);

    EXPECT_EQ(readAll(*stream, 33), data);
}

TEST(MemoryStream, OnlyNonEmptyWritesSignal) {
    auto stream = make<unaMemoryStream>();
    const uint8_t byte = 7;
    EXPECT_EQ(stream->write(&byte, 0), 0);
    EXPECT_EQ(stream->write(nullptr, 10), 0);
    EXPECT_FALSE(stream->dataEvent().waitFor(0));
    EXPECT_EQ(stream->getSize(), 0);
    EXPECT_EQ(stream->write(&byte, 1), 1);
    EXPECT_TRUE(stream->dataEvent().waitFor(0));
}

TEST(MemoryStream, LockTimeoutDropsTheWriteButStillSignals) {
    auto stream = make<unaMemoryStream>(20);
    const auto data = pattern(64, 3);
    stream->write(data.data(), 64);
    stream->dataEvent().waitFor(0);
    {
        ForeignHolder holder(*stream);
        EXPECT_EQ(stream->write(data.data(), 64), 0);
        EXPECT_TRUE(stream->dataEvent().waitFor(0)) << "a dropped write wakes readers too";
        std::vector<uint8_t> got(64);
        EXPECT_EQ(stream->read(got.data(), 64), 0);
        EXPECT_EQ(stream->getFirstChunkSize(), 0u);
        stream->clear();
    }
    EXPECT_EQ(stream->getSize(), 64) << "nothing changed while the lock was held elsewhere";
}

TEST(MemoryStream, PoolKeepsAtMostItsLimitAndReusesTheLastChunkForBigWrites) {
    auto stream = make<unaMemoryStream>();
    EXPECT_EQ(stream->maxPoolSize, 10u);
    std::vector<uint8_t> buffer(4000);
    for (int i = 0; i < 12; ++i)
        stream->write(pattern(100, i).data(), 100);
    EXPECT_EQ(stream->getPoolCount(), 0u);
    ASSERT_EQ(stream->read(buffer.data(), 1200), 1200);
    EXPECT_EQ(stream->getPoolCount(), 10u);

    const auto big = pattern(3000, 9);
    ASSERT_EQ(stream->write(big.data(), 3000), 3000);
    EXPECT_EQ(stream->getPoolCount(), 9u) << "taken from the pool, not newly made";
    ASSERT_EQ(stream->read(buffer.data(), 4000), 3000);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), buffer.begin())) << "the reused buffer grew";
    EXPECT_EQ(stream->getPoolCount(), 10u);

    // The grown chunk sits in the pool now; a write of its size takes it and leaves the rest.
    ASSERT_EQ(stream->write(big.data(), 3000), 3000);
    ASSERT_EQ(stream->write(big.data(), 50), 50);
    EXPECT_EQ(stream->getPoolCount(), 8u);

    stream->clear();
    EXPECT_EQ(stream->getPoolCount(), 0u);
    EXPECT_EQ(stream->getChunkCount(), 0u);
    EXPECT_EQ(stream->getSize(), 0);
    EXPECT_EQ(stream->write(big.data(), 10), 10);
}

TEST(MemoryStream, PoolLimitHoldsWhileLargerBuffersComeBack) {
    auto stream = make<unaMemoryStream>();
    stream->maxPoolSize = 2;
    std::vector<uint8_t> expected, buffer(6000);
    for (uint32_t size : {100u, 100u, 5000u, 300u}) {
        const auto chunk = pattern(size, size);
        stream->write(chunk.data(), size);
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(readAll(*stream, 1234), expected);
    EXPECT_EQ(stream->getPoolCount(), 2u);
    const auto big = pattern(5000, 1);
    stream->write(big.data(), 5000);
    EXPECT_EQ(stream->getPoolCount(), 1u);
    ASSERT_EQ(stream->read(buffer.data(), 6000), 5000);
    EXPECT_TRUE(std::equal(big.begin(), big.end(), buffer.begin()));

    stream->maxPoolSize = 0;
    stream->clear();
    stream->write(buffer.data(), 10);
    stream->write(buffer.data(), 10);
    EXPECT_EQ(stream->read(buffer.data(), 20), 20);
    EXPECT_EQ(stream->getPoolCount(), 0u) << "a pool of size 0 keeps nothing";
}

TEST(MemoryStream, HoldsOneHundredSixtySecondsOfCdAudio) {
    constexpr uint32_t kChunk = 7056;  // 40 ms of 44100 Hz, 16 bits, stereo
    constexpr uint32_t kChunks = 4000;
    auto stream = make<unaMemoryStream>();
    std::vector<uint8_t> expected;
    expected.reserve(size_t{kChunk} * kChunks);
    for (uint32_t i = 0; i < kChunks; ++i) {
        const auto chunk = pattern(kChunk, i);
        ASSERT_EQ(stream->write(chunk.data(), kChunk), static_cast<int32_t>(kChunk));
        expected.insert(expected.end(), chunk.begin(), chunk.end());
    }
    EXPECT_EQ(stream->getSize(), static_cast<int32_t>(kChunk * kChunks));
    EXPECT_EQ(stream->getChunkCount(), kChunks);
    EXPECT_TRUE(readAll(*stream, 4096) == expected);
    EXPECT_EQ(stream->getPoolCount(), 10u);
}

TEST(MemoryStream, ConcurrentWriterAndReaderSeeEveryByteInOrder) {
    auto stream = make<unaMemoryStream>();
    constexpr uint32_t kTotal = 2'000'000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        uint32_t sent = 0;
        uint32_t n = 0;
        std::vector<uint8_t> chunk;
        while (sent < kTotal) {
            const uint32_t size = std::min(kTotal - sent, 1 + (n++ * 7919u) % 3000u);
            chunk.resize(size);
            for (uint32_t i = 0; i < size; ++i)
                chunk[i] = static_cast<uint8_t>((sent + i) * 31u >> 3);
            // A write that timed out is lost; the writer of this test sends it again.
            if (stream->write(chunk.data(), size) == static_cast<int32_t>(size))
                sent += size;
        }
        done = true;
    });

    uint32_t received = 0;
    bool inOrder = true;
    std::vector<uint8_t> buffer(2500);
    while (received < kTotal) {
        const int32_t got = stream->read(buffer.data(), static_cast<uint32_t>(buffer.size()));
        if (got <= 0) {
            if (done && stream->getAvailableSize() == 0)
                break;
            stream->dataEvent().waitFor(10);
            continue;
        }
        for (int32_t i = 0; i < got && inOrder; ++i)
            inOrder = buffer[i] == static_cast<uint8_t>((received + i) * 31u >> 3);
        received += static_cast<uint32_t>(got);
    }
    writer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received, kTotal);
    EXPECT_EQ(stream->getSize(), 0);
}

TEST(FileStream, OpensWithoutTruncatingAndClearEmptiesTheFile) {
    TempFile file("clear");
    file.fill("existing bytes");
    auto stream = make<unaFileStream>(file.path());
    ASSERT_TRUE(stream->isOpen());
    EXPECT_EQ(stream->getSize(), 14);
    EXPECT_EQ(stream->getPosition(), 0);
    char head[8] = {};
    EXPECT_EQ(stream->read(head, 8), 8);
    EXPECT_EQ(std::string(head, 8), "existing");

    stream->clear();
    EXPECT_EQ(stream->getSize(), 0);
    EXPECT_EQ(file.size(), 0u);
    EXPECT_EQ(stream->write("new", 3), 3);
    EXPECT_TRUE(stream->dataEvent().waitFor(0));
    EXPECT_EQ(stream->getSize(), 3);
    EXPECT_EQ(file.size(), 3u);
}

TEST(FileStream, LoopingReadsWrapAndPeeksKeepThePosition) {
    TempFile file("loop");
    file.fill("abcdef");
    auto stream = make<unaFileStream>(file.path(), kFileRead, kFileShareRead, true);
    ASSERT_TRUE(stream->isOpen());
    EXPECT_EQ(stream->seek(4), 4);
    char buffer[16] = {};
    EXPECT_EQ(stream->read(buffer, 5, false), 5);
    EXPECT_EQ(std::string(buffer, 5), "efabc");
    EXPECT_EQ(stream->getPosition(), 4) << "a peek that wrapped still moves nothing";
    EXPECT_EQ(stream->read(buffer, 15), 15);
    EXPECT_EQ(std::string(buffer, 15), "efabcdefabcdefa");
    EXPECT_EQ(stream->getPosition(), 1);
    EXPECT_EQ(stream->getAvailableSize(), 6);

    TempFile empty("loop_empty");
    empty.fill("");
    auto nothing = make<unaFileStream>(empty.path(), kFileRead, kFileShareRead, true);
    ASSERT_TRUE(nothing->isOpen());
    EXPECT_EQ(nothing->read(buffer, 4), 0) << "an empty looping file must not spin";
}

TEST(FileStream, PositionsPeeksAndClosedStreams) {
    TempFile file("seek");
    auto stream = make<unaFileStream>(file.path());
    ASSERT_TRUE(stream->isOpen()) << "a missing file is created";
    EXPECT_EQ(stream->write("0123456789", 10), 10);
    EXPECT_EQ(stream->getAvailableSize(), 0);
    EXPECT_EQ(stream->seek(-3, false), 7);
    EXPECT_EQ(stream->seekRelative(-10), 0);
    EXPECT_EQ(stream->seekRelative(2), 2);
    char buffer[8] = {};
    EXPECT_EQ(stream->read(buffer, 4, false), 4);
    EXPECT_EQ(stream->getPosition(), 2);
    EXPECT_EQ(stream->read(buffer, 8), 8);
    EXPECT_EQ(std::string(buffer, 8), "23456789");
    EXPECT_EQ(stream->read(buffer, 8), 0);

    stream->close();
    EXPECT_FALSE(stream->isOpen());
    EXPECT_EQ(stream->write("x", 1), 0);
    EXPECT_EQ(stream->read(buffer, 1), 0);
    EXPECT_EQ(stream->getSize(), 0);
    EXPECT_EQ(stream->seek(3), 0);

    EXPECT_FALSE(stream->open(file.path() + ".missing", kFileRead));
    EXPECT_TRUE(stream->open(file.path()));
    EXPECT_EQ(stream->getSize(), 10);
    EXPECT_EQ(stream->fileName(), file.path());
}
