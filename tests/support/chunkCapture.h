#pragma once
// Collects what a stream device delivers, one entry per chunk, from the device's worker.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "audio/unaMsAcmStreamDevice.h"

namespace una::test_support {

struct ChunkCapture {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> chunks;

    void attach(unaMsAcmStreamDevice& device) {
        device.onDataAvailable = [this](unaMsAcmStreamDevice&, std::span<const uint8_t> data) {
            std::lock_guard lock(mutex);
            chunks.emplace_back(data.begin(), data.end());
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return chunks.size();
    }
    // Waits (generously) until n chunks came; false when they did not.
    bool waitFor(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (count() < n) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    std::vector<std::vector<uint8_t>> take() {
        std::lock_guard lock(mutex);
        return chunks;
    }
};

}  // namespace una::test_support
